// decode.h - a compressed payload decoded into pieces of entries, through zstd
//
// The setup, the payload tool's list and verify, and the fuzzer all decode
// through these calls, with the same rules. Plain C++ with no <windows.h>;
// memory comes from the caller and is fixed before the first piece.
//
// Either form is decoded frame by frame, each frame whole into a buffer of its
// own decoded size, so that two threads can decode two frames at once while a
// third writes the one before; the one-frame form is one such frame.

#ifndef DECODE_H
#define DECODE_H

#include <stddef.h>
#include <stdint.h>

#include "payloadstream.h"

#define PAYLOAD_WINDOW_LOG_MAX  27          /* largest zstd window accepted: 128 MiB */
#define PAYLOAD_FRAME_BYTES_MAX (96u << 20) /* largest frame the setup decodes: it takes a buffer this large twice */

enum PayloadCheck
{
    CHECK_OK,
    CHECK_DAMAGED,          /* header, CRC-32, frame table or a frame header wrong: changed or cut short */
    CHECK_TOO_LARGE         /* a window beyond PAYLOAD_WINDOW_LOG_MAX */
};

/* The decoded bytes parsed into entries, with the header's counts: the rules
   that need only the bytes, whichever way they were decoded. */
struct DecodedEntries
{
    PayloadParser parser;
    PayloadHeader header;
    uint64_t cbParsed;              /* decoded bytes taken so far */
    uint64_t cbAfterEnd;            /* decoded bytes after the end mark */
    int fDataAfterEnd;              /* one of them is not a zero */
};

void StartDecodedEntries(DecodedEntries *entries, const PayloadHeader *header);

/* The next piece of decoded bytes data[*pos .. cb-1], as NextPayloadPiece gives
   them; PIECE_MORE when all were taken. Beyond the parser's rules,
   PIECE_DAMAGED also stands for more entries than the header counts or a
   longer name than it gives. PIECE_END means the end mark was found, and
   takes every byte given after it. Give the decoded bytes in order, each once. */
PayloadPieceKind NextEntryPiece(DecodedEntries *entries, const unsigned char *data, size_t cb, size_t *pos,
                                PayloadPiece *piece);

/* The entries' half of a whole payload: every decoded byte taken, the end mark
   parsed with nothing after it but the rest of its zero bytes, and the header's
   entry count. A stream cut short inside a file, however well its counts
   agree, is not whole. */
int AreEntriesWhole(const DecodedEntries *entries);

/* How far a frame's decoding has come (DecodeFramePart). */
enum FrameStep
{
    FRAME_NEEDS_INPUT,      /* part decoded: call again */
    FRAME_ENDED,            /* the frame is decoded, every byte of it */
    FRAME_DAMAGED           /* zstd cannot decode it, it ends early or holds more than its row says */
};

/* ---- either form, frame by frame ---- */

/* What the check of the whole payload learns of it. */
struct PayloadFrames
{
    PayloadHeader header;           /* header.cFrames frames */
    const unsigned char *payload;   /* the payload checked; it must stay in place */
    size_t atFrames, cbFrames;      /* the frames, one after another, at payload[atFrames] */
    const unsigned char *rows;      /* the framed form's table, after them; NULL for one frame */
    size_t cbLargestFrame;          /* decoded bytes of the largest frame: a buffer for any of them */
    size_t cbContext;               /* the workspace a FrameDecoder needs */
};

/* Checks a whole compressed payload of either form, cbPayload bytes at payload,
   before anything is decoded: the header and, for the framed form, the frame
   table, whose sizes must add up to the payload's and the header's decoded
   size; and each frame's zstd header against its row (its content size the
   row's decoded size, a window the decoder takes, no checksum of its own: the
   CRC-32 covers every byte, and the decoder is built without zstd's hash).
   The CRC-32 is checked only when crc is not NULL: *crc is then the CRC of the
   payload from PAYLOAD_CRC_FROM on, computed by the caller. CHECK_TOO_LARGE
   also stands for one frame larger than the address space. A caller with less
   memory than the host's refuses a cbLargestFrame above PAYLOAD_FRAME_BYTES_MAX
   itself. */
PayloadCheck CheckPayloadFrames(const unsigned char *payload, size_t cbPayload, const uint32_t *crc,
                                PayloadFrames *frames);

/* A frame of a checked payload: where its bytes lie, what they decode to. */
struct PayloadFrame
{
    uint32_t k;                     /* 0 for the first */
    const unsigned char *packed;    /* inside the payload */
    size_t cbPacked;
    size_t cbDecoded;
};

/* The first frame, then the one after frame while NextPayloadFrame returns 1:
   frame k lies after the frames before it, so they are walked in order. */
void FirstPayloadFrame(const PayloadFrames *frames, PayloadFrame *frame);
int NextPayloadFrame(const PayloadFrames *frames, PayloadFrame *frame);

/* One frame decoded into a buffer of its decoded size, block by block with
   zstd's calls that keep no buffers: the bytes a block refers back to are
   those decoded before it in the same buffer, so the workspace is zstd's
   context alone. */
struct FrameDecoder
{
    struct ZSTD_DCtx_s *context;
    PayloadFrame frame;
    unsigned char *out;             /* frame.cbDecoded bytes */
    size_t atPacked;                /* the frame's bytes given so far */
    size_t cbDone;                  /* out[0 .. cbDone-1] are decoded */
};

/* Sets up decoding frame into out with workspace (cbContext from the check,
   8-byte aligned; one workspace serves one frame after another). Returns 0
   when zstd refuses the workspace. */
int StartFrameDecoder(FrameDecoder *decoder, void *workspace, size_t cbWorkspace, const PayloadFrame *frame,
                      unsigned char *out);

/* Decodes the frame's next cbMore bytes (the rest, when fewer are left; up to
   the end of the block where they end), moving cbDone on, so that a writer
   can follow the decoding inside a frame. FRAME_NEEDS_INPUT: decoded so far,
   call again. FRAME_ENDED: the frame is whole,
   its bytes exactly one zstd frame that decoded to exactly its stated size.
   FRAME_DAMAGED: anything else, among it bytes after the frame's end or a
   frame that ends short. */
FrameStep DecodeFramePart(FrameDecoder *decoder, size_t cbMore);

/* The one rule for a whole payload decoded frame by frame: each of its frames
   ended whole (cFramesEnded counts the FRAME_ENDED seen, one per frame) and
   gave all its bytes, in order, to NextEntryPiece, and AreEntriesWhole. */
int IsWholeFramedPayload(const PayloadFrames *frames, uint32_t cFramesEnded, const DecodedEntries *entries);

#endif

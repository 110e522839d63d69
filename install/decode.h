// decode.h - a compressed payload decoded into pieces of entries, through zstd
//
// The setup, the payload tool's list and verify, and the fuzzer all decode
// through these calls, with the same rules. Plain C++ with no <windows.h>;
// memory comes from the caller: a workspace for zstd (its window is most of it)
// and a buffer for decoded bytes, both fixed before the first piece. The frame
// may be given in pieces too, so that the setup can read it from its own file
// rather than keep all of it in memory.

#ifndef DECODE_H
#define DECODE_H

#include <stddef.h>
#include <stdint.h>

#include "payloadstream.h"

#define PAYLOAD_WINDOW_LOG_MAX  27          /* largest zstd window accepted: 128 MiB */
#define PAYLOAD_PIECE_BYTES     (1 << 20)   /* decoded bytes handed out at a time */
#define PAYLOAD_HEAD_BYTES      (PAYLOAD_HEADER_BYTES + 18) /* header and the largest zstd frame header */

/* What the check before the first piece learns of a compressed payload. */
struct CompressedPayload
{
    PayloadHeader header;
    uint64_t cbFrame;               /* the zstd frame: the payload after the header */
    uint64_t cbWindow;              /* the frame's window */
    size_t cbWorkspace;             /* what StartPayloadDecoder needs for zstd */
};

enum PayloadCheck
{
    CHECK_OK,
    CHECK_DAMAGED,          /* header, CRC-32 or frame header wrong: changed or cut short */
    CHECK_TOO_LARGE         /* a window beyond PAYLOAD_WINDOW_LOG_MAX */
};

/* Checks a compressed payload of cbPayload bytes from its first cbHead bytes
   (PAYLOAD_HEAD_BYTES, or all of a shorter payload): the header, and that the
   frame header agrees with it (its content size the decoded size, a window the
   decoder takes). The CRC-32 is checked only when crc is not NULL: *crc is then
   the CRC of the payload from PAYLOAD_CRC_FROM on, computed by the caller. */
PayloadCheck CheckCompressedPayload(const unsigned char *head, size_t cbHead, uint64_t cbPayload,
                                    const uint32_t *crc, CompressedPayload *compressed);

struct PayloadDecoder
{
    struct ZSTD_DCtx_s *stream;
    const unsigned char *input;     /* the frame's bytes given last */
    size_t cbInput, atInput;
    uint64_t cbFrameLeft;           /* frame bytes not given yet */
    unsigned char *buffer;          /* decoded bytes, PAYLOAD_PIECE_BYTES */
    size_t fill, atBuffer;
    uint64_t cbDecoded;
    PayloadHeader header;
    int frameEnded;                 /* zstd reported the frame decoded and flushed */
    uint64_t cbAfterEnd;            /* decoded bytes after the end mark */
    int fDataAfterEnd;              /* one of them is not a zero */
    PayloadParser parser;
};

/* Sets up decoding with workspace (cbWorkspace from CheckCompressedPayload,
   8-byte aligned) and buffer (PAYLOAD_PIECE_BYTES). Returns 0 when zstd
   refuses the workspace. */
int StartPayloadDecoder(PayloadDecoder *decoder, const CompressedPayload *compressed,
                        void *workspace, size_t cbWorkspace, unsigned char *buffer);

/* The frame's next cb bytes, in order, once NextDecodedPiece has asked for
   them; they must stay in place until it asks again. */
void GiveFrameBytes(PayloadDecoder *decoder, const unsigned char *data, size_t cb);

/* The next piece, as NextPayloadPiece gives them, decoding as needed; a
   piece's data lies in the decoder's buffer until the next call. PIECE_MORE
   asks for the frame's next bytes. Beyond the parser's rules, PIECE_DAMAGED
   also stands for a stream zstd cannot decode, more entries than the header
   counts or a longer name than it gives, more or fewer bytes than its decoded
   size, or bytes after the frame. PIECE_END comes only when the whole frame is
   decoded and every count agrees. */
PayloadPieceKind NextDecodedPiece(PayloadDecoder *decoder, PayloadPiece *piece);

/* The same work in two halves, for a setup that decodes on a second thread
   while the first writes: DecodeFrame on the one, NextParsedPiece and
   IsWholePayload on the other. */
enum FrameStep
{
    FRAME_FULL,             /* out is full */
    FRAME_NEEDS_INPUT,      /* give the frame's next bytes and call again with the same out */
    FRAME_ENDED,            /* the frame is decoded and flushed */
    FRAME_DAMAGED           /* zstd cannot decode it, it ends early or holds more than the header says */
};

/* Decodes into out[*fill .. cbOut-1], moving *fill on. */
FrameStep DecodeFrame(PayloadDecoder *decoder, unsigned char *out, size_t cbOut, size_t *fill);

/* The next piece of decoded bytes data[*pos .. cb-1], with every rule of
   NextDecodedPiece that needs only the bytes; PIECE_MORE when all were taken.
   PIECE_END means the end mark was found, and takes every byte given after
   it: the frame must still end, and IsWholePayload agree, before the payload
   counts as whole. */
PayloadPieceKind NextParsedPiece(PayloadDecoder *decoder, const unsigned char *data, size_t cb, size_t *pos,
                                 PayloadPiece *piece);

/* The one rule for a whole payload, whichever way it was decoded: the frame
   has ended, all of it given and decoded, with the decoded size and the entry
   count the header's; the end mark was parsed, and nothing follows it but the
   rest of the end mark's zero bytes. A stream cut short inside a file, however
   well its counts agree, is not whole. */
int IsWholePayload(const PayloadDecoder *decoder);

#endif

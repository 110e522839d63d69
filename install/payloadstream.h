// payloadstream.h - the payload read in pieces: the compressed forms' headers and
// a parser for entries that arrive a few bytes or megabytes at a time
//
// A compressed payload holds a stored payload (payload.h), entries and end mark
// as they are, in zstd frames. One frame, when the product fits in one:
//
//     0x01 'Z' 'S' 'T'                      form mark
//     CRC-32 (4 bytes)                       of every byte from offset 8 to the end
//     entry count (4 bytes)                  entries before the end mark
//     longest name (4 bytes)                 in bytes, of any entry
//     decoded size (8 bytes)                 of the stored payload inside
//     zstd frame                             to the last byte of the payload
//
// or a larger product cut into frames that each decode on their own, so that
// more than one processor can decode at once:
//
//     0x02 'Z' 'S' 'T'                      form mark
//     CRC-32, entry count, longest name, decoded size, as above
//     frame count (4 bytes)
//     zstd frames, one after another
//     frame table (8 bytes a frame)          each frame's compressed and decoded size
//
// The frames' decoded bytes, in order, are the stored payload: an entry may
// begin in one frame and end in the next. The table is at the end so that the
// payload tool writes it, and the CRC-32 over it, after the frames it measures.
//
// The counts let the setup range its progress bar and check that every path
// fits before the first file is written, as it does for a stored payload.
//
// Numbers are little-endian. A stored payload starts with a name byte (0x20 or
// above) or its end mark (0), so the first byte alone tells the forms apart; a
// setup that reads only stored payloads, or only the one-frame form, takes a
// framed payload's first byte for a name with a control character and refuses
// it as damaged before it writes anything.
// Plain C++ with no <windows.h>, so it is tested and fuzzed natively.

#ifndef PAYLOADSTREAM_H
#define PAYLOADSTREAM_H

#include <stddef.h>
#include <stdint.h>

#include "payload.h"

#define PAYLOAD_ZSTD_MARK       "\x01ZST"   /* the one-frame form's first 4 bytes */
#define PAYLOAD_FRAMES_MARK     "\x02ZST"   /* the framed form's first 4 bytes */
#define PAYLOAD_HEADER_BYTES    24          /* mark, CRC-32, entry count, longest name, decoded size */
#define PAYLOAD_FRAMES_HEADER_BYTES 28      /* the same and the frame count */
#define PAYLOAD_FRAME_ROW_BYTES 8           /* a frame's compressed and decoded size in the table */
#define PAYLOAD_CRC_FROM        8           /* the CRC-32 covers the payload from here */

struct PayloadHeader
{
    uint32_t crc;                   /* CRC-32 of the payload from PAYLOAD_CRC_FROM on */
    uint32_t cEntries;
    uint32_t cbLongestName;
    uint64_t cbDecoded;             /* the stored payload's size, end mark included */
    uint32_t cFrames;               /* 1 in the one-frame form */
};

/* 1 when payload starts with the one-frame form's mark. */
int IsCompressedPayload(const unsigned char *payload, size_t cbPayload);

/* 1 when payload starts with the framed form's mark. */
int IsFramedPayload(const unsigned char *payload, size_t cbPayload);

/* Reads the header of either compressed form from its first cbHead bytes: 1
   when a mark is there and its header is whole (PAYLOAD_HEADER_BYTES, or
   PAYLOAD_FRAMES_HEADER_BYTES), with cFrames 1 for the one-frame form. The
   CRC is not checked here. */
int ReadPayloadHeader(const unsigned char *head, size_t cbHead, PayloadHeader *header);

/* Writes the header into out: the one-frame form's when cFrames is 0 or 1, the
   framed form's otherwise. Returns the header's length. */
size_t WritePayloadHeader(const PayloadHeader *header, unsigned char *out);

/* A row of the frame table, at row[0 .. PAYLOAD_FRAME_ROW_BYTES-1]. */
void ReadFrameRow(const unsigned char *row, uint32_t *cbPacked, uint32_t *cbDecoded);
void WriteFrameRow(uint32_t cbPacked, uint32_t cbDecoded, unsigned char *row);

/* CRC-32 as zip and PNG compute it. Start with crc = 0 and feed the bytes in
   pieces of any size. */
uint32_t UpdateCrc32(uint32_t crc, const void *data, size_t cb);

/* What the parser found next. */
enum PayloadPieceKind
{
    PIECE_MORE,         /* every byte given was taken; give the next ones */
    PIECE_FILE,         /* an entry begins: piece->name, piece->cbFile */
    PIECE_DATA,         /* piece->data[0 .. cbData-1] belong to the entry begun last */
    PIECE_FILE_END,     /* the entry begun last is complete */
    PIECE_END,          /* the end mark; nothing after it is taken */
    PIECE_DAMAGED       /* a name that breaks a rule or bound; stays so */
};

struct PayloadPiece
{
    const char *name;               /* PIECE_FILE: inside the parser, valid until the next call */
    unsigned long cbFile;           /* PIECE_FILE: the entry's data bytes */
    const unsigned char *data;      /* PIECE_DATA: inside the input given */
    size_t cbData;
};

/* The parser keeps what it needs between pieces of input: a name is collected
   into a bounded buffer, so no entry needs to arrive in one piece. */
struct PayloadParser
{
    int state;
    size_t cbName;
    char name[PAYLOAD_NAME_MAX + 1];
    unsigned char length[PAYLOAD_LENGTH_BYTES];
    size_t cbLength;
    unsigned long cbLeft;           /* data bytes of the current entry still to come */
    unsigned long cEntries;         /* entries begun */
};

void StartPayloadParser(PayloadParser *parser);

/* 1 once the parser has taken the end mark. */
int IsPayloadEnded(const PayloadParser *parser);

/* Takes bytes from input[*pos .. cbInput-1], moving *pos past them, until it has
   something to report. Names pass IsPayloadPath and PAYLOAD_NAME_MAX as they do in
   NextPayloadEntry. Call again with the same input while it reports anything but
   PIECE_MORE; PIECE_END and PIECE_DAMAGED are reported again on every later call. */
PayloadPieceKind NextPayloadPiece(PayloadParser *parser, const unsigned char *input, size_t cbInput,
                                  size_t *pos, PayloadPiece *piece);

#endif

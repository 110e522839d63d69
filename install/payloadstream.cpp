// payloadstream.cpp - the compressed forms' headers, their CRC-32 and the entry parser

#include "payloadstream.h"

#include <string.h>

enum ParserState { PARSE_NAME, PARSE_LENGTH, PARSE_DATA, PARSE_FILE_END, PARSE_END, PARSE_DAMAGED };

static uint32_t ReadLe32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void WriteLe32(unsigned char *p, uint32_t value)
{
    for (int b = 0; b < 4; b++)
        p[b] = (unsigned char)(value >> (8 * b));
}

int IsCompressedPayload(const unsigned char *payload, size_t cbPayload)
{
    return cbPayload >= 4 && memcmp(payload, PAYLOAD_ZSTD_MARK, 4) == 0;
}

int IsFramedPayload(const unsigned char *payload, size_t cbPayload)
{
    return cbPayload >= 4 && memcmp(payload, PAYLOAD_FRAMES_MARK, 4) == 0;
}

int ReadPayloadHeader(const unsigned char *head, size_t cbHead, PayloadHeader *header)
{
    int framed = IsFramedPayload(head, cbHead);
    if (!(framed || IsCompressedPayload(head, cbHead)) ||
        cbHead < (framed ? PAYLOAD_FRAMES_HEADER_BYTES : PAYLOAD_HEADER_BYTES))
        return 0;
    header->crc = ReadLe32(head + 4);
    header->cEntries = ReadLe32(head + 8);
    header->cbLongestName = ReadLe32(head + 12);
    header->cbDecoded = ReadLe32(head + 16) | (uint64_t)ReadLe32(head + 20) << 32;
    header->cFrames = framed ? ReadLe32(head + 24) : 1;
    return 1;
}

size_t WritePayloadHeader(const PayloadHeader *header, unsigned char *out)
{
    int framed = header->cFrames > 1;
    memcpy(out, framed ? PAYLOAD_FRAMES_MARK : PAYLOAD_ZSTD_MARK, 4);
    WriteLe32(out + 4, header->crc);
    WriteLe32(out + 8, header->cEntries);
    WriteLe32(out + 12, header->cbLongestName);
    WriteLe32(out + 16, (uint32_t)header->cbDecoded);
    WriteLe32(out + 20, (uint32_t)(header->cbDecoded >> 32));
    if (!framed)
        return PAYLOAD_HEADER_BYTES;
    WriteLe32(out + 24, header->cFrames);
    return PAYLOAD_FRAMES_HEADER_BYTES;
}

void ReadFrameRow(const unsigned char *row, uint32_t *cbPacked, uint32_t *cbDecoded)
{
    *cbPacked = ReadLe32(row);
    *cbDecoded = ReadLe32(row + 4);
}

void WriteFrameRow(uint32_t cbPacked, uint32_t cbDecoded, unsigned char *row)
{
    WriteLe32(row, cbPacked);
    WriteLe32(row + 4, cbDecoded);
}

/* Eight tables, so that the loop takes eight bytes a step (slicing-by-8), the
   bytes read one by one rather than as words, so that the loop has no calls at
   -Os: on a 64-bit host 4.1 instructions a byte against 5.5 for four tables
   and a word load through a call; under qemu both run at the same speed. The
   check runs over the whole download before the first file is written. The
   tables are made at the first call: 8 KB of zeroed data, not of the image. */
static uint32_t s_crcTable[8][256];

uint32_t UpdateCrc32(uint32_t crc, const void *data, size_t cb)
{
    if (s_crcTable[0][1] == 0)
    {
        for (uint32_t n = 0; n < 256; n++)
        {
            uint32_t c = n;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            s_crcTable[0][n] = c;
        }
        for (uint32_t n = 0; n < 256; n++)
            for (int t = 1; t < 8; t++)
                s_crcTable[t][n] = (s_crcTable[t - 1][n] >> 8) ^ s_crcTable[0][s_crcTable[t - 1][n] & 0xFF];
    }
    const unsigned char *p = (const unsigned char *)data;
    crc = ~crc;
    for (; cb >= 8; cb -= 8, p += 8)
    {
        crc = s_crcTable[7][(crc ^ p[0]) & 0xFF] ^ s_crcTable[6][((crc >> 8) ^ p[1]) & 0xFF] ^
              s_crcTable[5][((crc >> 16) ^ p[2]) & 0xFF] ^ s_crcTable[4][(crc >> 24) ^ p[3]] ^
              s_crcTable[3][p[4]] ^ s_crcTable[2][p[5]] ^ s_crcTable[1][p[6]] ^ s_crcTable[0][p[7]];
    }
    for (; cb; cb--)
        crc = s_crcTable[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void StartPayloadParser(PayloadParser *parser)
{
    parser->state = PARSE_NAME;
    parser->cbName = 0;
    parser->cbLength = 0;
    parser->cbLeft = 0;
    parser->cEntries = 0;
}

int IsPayloadEnded(const PayloadParser *parser)
{
    return parser->state == PARSE_END;
}

PayloadPieceKind NextPayloadPiece(PayloadParser *parser, const unsigned char *input, size_t cbInput,
                                  size_t *pos, PayloadPiece *piece)
{
    while (*pos < cbInput || parser->state == PARSE_FILE_END || parser->state >= PARSE_END)
    {
        const unsigned char *at = input + *pos;
        size_t cbAt = cbInput - *pos;
        switch (parser->state)
        {
        case PARSE_NAME:
        {
            const unsigned char *zero = (const unsigned char *)memchr(at, 0, cbAt);
            size_t cb = zero ? (size_t)(zero - at) : cbAt;
            if (cb > PAYLOAD_NAME_MAX - parser->cbName)
            {
                parser->state = PARSE_DAMAGED;      // longer than any name may be
                break;
            }
            memcpy(parser->name + parser->cbName, at, cb);
            parser->cbName += cb;
            *pos += zero ? cb + 1 : cb;
            if (!zero)
                break;
            parser->name[parser->cbName] = 0;
            if (parser->cbName == 0)
                parser->state = PARSE_END;
            else if (!IsPayloadPath(parser->name))
                parser->state = PARSE_DAMAGED;
            else
                parser->state = PARSE_LENGTH;
            break;
        }
        case PARSE_LENGTH:
        {
            size_t cb = PAYLOAD_LENGTH_BYTES - parser->cbLength;
            if (cb > cbAt)
                cb = cbAt;
            memcpy(parser->length + parser->cbLength, at, cb);
            parser->cbLength += cb;
            *pos += cb;
            if (parser->cbLength < PAYLOAD_LENGTH_BYTES)
                break;
            parser->cbLeft = ReadLe32(parser->length);
            parser->cEntries++;
            parser->state = parser->cbLeft ? PARSE_DATA : PARSE_FILE_END;
            piece->name = parser->name;
            piece->cbFile = parser->cbLeft;
            return PIECE_FILE;
        }
        case PARSE_DATA:
        {
            size_t cb = parser->cbLeft < cbAt ? parser->cbLeft : cbAt;
            parser->cbLeft -= (unsigned long)cb;
            *pos += cb;
            if (parser->cbLeft == 0)
                parser->state = PARSE_FILE_END;
            piece->data = at;
            piece->cbData = cb;
            return PIECE_DATA;
        }
        case PARSE_FILE_END:
            parser->state = PARSE_NAME;
            parser->cbName = 0;
            parser->cbLength = 0;
            return PIECE_FILE_END;
        case PARSE_END:
            return PIECE_END;
        default:
            return PIECE_DAMAGED;
        }
    }
    return PIECE_MORE;
}

// decode.cpp - a compressed payload decoded into pieces of entries, through zstd

#include "decode.h"

#define ZSTD_STATIC_LINKING_ONLY    /* a context in the caller's workspace */
#include <zstd.h>

PayloadCheck CheckCompressedPayload(const unsigned char *payload, size_t cbPayload, const uint32_t *crc,
                                    CompressedPayload *compressed)
{
    PayloadHeader *header = &compressed->header;
    if (!ReadPayloadHeader(payload, cbPayload, header))
        return CHECK_DAMAGED;
    if (crc && *crc != header->crc)
        return CHECK_DAMAGED;
    compressed->frame = payload + PAYLOAD_HEADER_BYTES;
    compressed->cbFrame = cbPayload - PAYLOAD_HEADER_BYTES;

    // The tool always writes the content size into the frame header, and every
    // entry takes at least a one-byte name, a zero and its length.
    ZSTD_frameHeader frame;
    if (ZSTD_getFrameHeader(&frame, compressed->frame, compressed->cbFrame) != 0 ||
        frame.frameType != ZSTD_frame || frame.frameContentSize != header->cbDecoded ||
        header->cbDecoded < (uint64_t)header->cEntries * (2 + PAYLOAD_LENGTH_BYTES) + 1)
        return CHECK_DAMAGED;
    compressed->cbWindow = frame.windowSize;
    if (frame.windowSize > (1ull << PAYLOAD_WINDOW_LOG_MAX))
        return CHECK_TOO_LARGE;
    size_t cbWorkspace = ZSTD_estimateDStreamSize_fromFrame(compressed->frame, compressed->cbFrame);
    if (ZSTD_isError(cbWorkspace))
        return CHECK_DAMAGED;
    compressed->cbWorkspace = cbWorkspace;
    return CHECK_OK;
}

int StartPayloadDecoder(PayloadDecoder *decoder, const CompressedPayload *compressed,
                        void *workspace, size_t cbWorkspace, unsigned char *buffer)
{
    decoder->stream = ZSTD_initStaticDStream(workspace, cbWorkspace);
    if (!decoder->stream ||
        ZSTD_isError(ZSTD_DCtx_setParameter(decoder->stream, ZSTD_d_windowLogMax, PAYLOAD_WINDOW_LOG_MAX)))
        return 0;
    decoder->frame = compressed->frame;
    decoder->cbFrame = compressed->cbFrame;
    decoder->atFrame = 0;
    decoder->buffer = buffer;
    decoder->fill = decoder->atBuffer = 0;
    decoder->cbDecoded = 0;
    decoder->cbExpected = compressed->header.cbDecoded;
    decoder->cEntries = compressed->header.cEntries;
    decoder->frameEnded = 0;
    StartPayloadParser(&decoder->parser);
    return 1;
}

/* Decodes the next bytes into the buffer. Returns 0 on a stream that zstd
   refuses, that ends early, or that holds more than the header says. */
static int DecodeMore(PayloadDecoder *decoder)
{
    if (decoder->frameEnded)
        return 0;                   // the parser wants more than the frame held
    ZSTD_inBuffer in = { decoder->frame, decoder->cbFrame, decoder->atFrame };
    ZSTD_outBuffer out = { decoder->buffer, PAYLOAD_PIECE_BYTES, 0 };
    size_t result = ZSTD_decompressStream(decoder->stream, &out, &in);
    if (ZSTD_isError(result))
        return 0;
    // Without progress on either side the input was all taken and the frame
    // is not complete: cut short.
    if (out.pos == 0 && in.pos == decoder->atFrame && result != 0)
        return 0;
    decoder->atFrame = in.pos;
    decoder->fill = out.pos;
    decoder->atBuffer = 0;
    decoder->cbDecoded += out.pos;
    decoder->frameEnded = result == 0;
    return decoder->cbDecoded <= decoder->cbExpected;
}

PayloadPieceKind NextDecodedPiece(PayloadDecoder *decoder, PayloadPiece *piece)
{
    for (;;)
    {
        PayloadPieceKind kind = NextPayloadPiece(&decoder->parser, decoder->buffer, decoder->fill,
                                                 &decoder->atBuffer, piece);
        if (kind == PIECE_FILE && decoder->parser.cEntries > decoder->cEntries)
            return PIECE_DAMAGED;
        if (kind == PIECE_END)
        {
            // What follows the end mark is decoded too, so that the frame's
            // own checks (its checksum among them) and the counts are seen.
            while (!decoder->frameEnded)
            {
                if (!DecodeMore(decoder))
                    return PIECE_DAMAGED;
            }
            if (decoder->atFrame != decoder->cbFrame || decoder->cbDecoded != decoder->cbExpected ||
                decoder->parser.cEntries != decoder->cEntries)
                return PIECE_DAMAGED;
            return PIECE_END;
        }
        if (kind != PIECE_MORE)
            return kind;
        if (!DecodeMore(decoder))
            return PIECE_DAMAGED;
    }
}

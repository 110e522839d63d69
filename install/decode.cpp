// decode.cpp - a compressed payload decoded into pieces of entries, through zstd

#include "decode.h"

#include <string.h>

#define ZSTD_STATIC_LINKING_ONLY    /* a context in the caller's workspace */
#include <zstd.h>

PayloadCheck CheckCompressedPayload(const unsigned char *head, size_t cbHead, uint64_t cbPayload,
                                    const uint32_t *crc, CompressedPayload *compressed)
{
    PayloadHeader *header = &compressed->header;
    if (cbHead > cbPayload || !ReadPayloadHeader(head, cbHead, header) || cbPayload == PAYLOAD_HEADER_BYTES)
        return CHECK_DAMAGED;
    if (crc && *crc != header->crc)
        return CHECK_DAMAGED;
    compressed->cbFrame = cbPayload - PAYLOAD_HEADER_BYTES;

    // The tool always writes the content size into the frame header, and every
    // entry takes at least a one-byte name, a zero and its length. The count
    // ranges the progress bar, which takes an int.
    ZSTD_frameHeader frame;
    const unsigned char *frameHead = head + PAYLOAD_HEADER_BYTES;
    size_t cbFrameHead = cbHead - PAYLOAD_HEADER_BYTES;
    if (ZSTD_getFrameHeader(&frame, frameHead, cbFrameHead) != 0 || frame.frameType != ZSTD_frame ||
        frame.frameContentSize != header->cbDecoded || header->cbLongestName > PAYLOAD_NAME_MAX ||
        header->cEntries > 0x7FFFFFFF ||
        header->cbDecoded < (uint64_t)header->cEntries * (2 + PAYLOAD_LENGTH_BYTES) + 1)
        return CHECK_DAMAGED;
    compressed->cbWindow = frame.windowSize;
    if (frame.windowSize > (1ull << PAYLOAD_WINDOW_LOG_MAX))
        return CHECK_TOO_LARGE;
    size_t cbWorkspace = ZSTD_estimateDStreamSize_fromFrame(frameHead, cbFrameHead);
    if (ZSTD_isError(cbWorkspace))
        return CHECK_DAMAGED;
    compressed->cbWorkspace = cbWorkspace;
    return CHECK_OK;
}

int StartPayloadDecoder(PayloadDecoder *decoder, const CompressedPayload *compressed,
                        void *workspace, size_t cbWorkspace, unsigned char *buffer)
{
    memset(decoder, 0, sizeof(*decoder));
    decoder->stream = ZSTD_initStaticDStream(workspace, cbWorkspace);
    if (!decoder->stream ||
        ZSTD_isError(ZSTD_DCtx_setParameter(decoder->stream, ZSTD_d_windowLogMax, PAYLOAD_WINDOW_LOG_MAX)))
        return 0;
    decoder->cbFrameLeft = compressed->cbFrame;
    decoder->buffer = buffer;
    decoder->header = compressed->header;
    StartPayloadParser(&decoder->parser);
    return 1;
}

void GiveFrameBytes(PayloadDecoder *decoder, const unsigned char *data, size_t cb)
{
    if (cb > decoder->cbFrameLeft)
        cb = (size_t)decoder->cbFrameLeft;   // a caller's slip; the frame then ends short and is damaged
    decoder->input = data;
    decoder->cbInput = cb;
    decoder->atInput = 0;
    decoder->cbFrameLeft -= cb;
}

FrameStep DecodeFrame(PayloadDecoder *decoder, unsigned char *out, size_t cbOut, size_t *fill)
{
    while (*fill < cbOut)
    {
        if (decoder->frameEnded)
            return FRAME_ENDED;
        ZSTD_inBuffer in = { decoder->input, decoder->cbInput, decoder->atInput };
        ZSTD_outBuffer to = { out, cbOut, *fill };
        size_t result = ZSTD_decompressStream(decoder->stream, &to, &in);
        if (ZSTD_isError(result))
            return FRAME_DAMAGED;
        int moved = to.pos != *fill || in.pos != decoder->atInput;
        decoder->cbDecoded += to.pos - *fill;
        decoder->atInput = in.pos;
        *fill = to.pos;
        decoder->frameEnded = result == 0;
        if (decoder->cbDecoded > decoder->header.cbDecoded)
            return FRAME_DAMAGED;
        // No progress with all given bytes taken: the next ones, if there are
        // any; otherwise the frame was cut short.
        if (!moved && !decoder->frameEnded)
            return decoder->cbFrameLeft && decoder->atInput == decoder->cbInput ? FRAME_NEEDS_INPUT : FRAME_DAMAGED;
    }
    return decoder->frameEnded ? FRAME_ENDED : FRAME_FULL;
}

PayloadPieceKind NextParsedPiece(PayloadDecoder *decoder, const unsigned char *data, size_t cb, size_t *pos,
                                 PayloadPiece *piece)
{
    PayloadPieceKind kind = NextPayloadPiece(&decoder->parser, data, cb, pos, piece);
    if (kind == PIECE_END)
    {
        // What follows the end mark is looked at, so that IsWholePayload can
        // tell the end mark's own zero bytes from anything else.
        decoder->cbAfterEnd += cb - *pos;
        for (; *pos < cb; ++*pos)
            decoder->fDataAfterEnd |= data[*pos] != 0;
    }
    if (kind == PIECE_FILE && (decoder->parser.cEntries > decoder->header.cEntries ||
                               decoder->parser.cbName > decoder->header.cbLongestName))
        return PIECE_DAMAGED;
    return kind;
}

int IsWholePayload(const PayloadDecoder *decoder)
{
    return decoder->frameEnded && !decoder->cbFrameLeft && decoder->atInput == decoder->cbInput &&
           decoder->cbDecoded == decoder->header.cbDecoded && decoder->parser.cEntries == decoder->header.cEntries &&
           IsPayloadEnded(&decoder->parser) && !decoder->fDataAfterEnd && decoder->cbAfterEnd < PAYLOAD_END_BYTES;
}

PayloadPieceKind NextDecodedPiece(PayloadDecoder *decoder, PayloadPiece *piece)
{
    for (;;)
    {
        PayloadPieceKind kind = NextParsedPiece(decoder, decoder->buffer, decoder->fill, &decoder->atBuffer, piece);
        if (kind != PIECE_MORE && kind != PIECE_END)
            return kind;
        // At the end mark, what follows it is decoded too, so that the frame's
        // own checks and the counts are seen.
        if (kind == PIECE_END && decoder->frameEnded)
            return IsWholePayload(decoder) ? PIECE_END : PIECE_DAMAGED;
        if (kind == PIECE_MORE && decoder->frameEnded)
            return PIECE_DAMAGED;       // the parser wants more than the frame held
        decoder->fill = decoder->atBuffer = 0;
        FrameStep step = DecodeFrame(decoder, decoder->buffer, PAYLOAD_PIECE_BYTES, &decoder->fill);
        if (step == FRAME_DAMAGED)
            return PIECE_DAMAGED;
        if (step == FRAME_NEEDS_INPUT && decoder->fill == 0)
            return PIECE_MORE;
    }
}

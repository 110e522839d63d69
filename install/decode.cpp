// decode.cpp - a compressed payload decoded into pieces of entries, through zstd

#include "decode.h"

#include <string.h>

#define ZSTD_STATIC_LINKING_ONLY    /* a context in the caller's workspace */
#include <zstd.h>

/* Counts a header can hold: every entry takes at least a one-byte name, a zero
   and its length, and the count ranges the progress bar, which takes an int. */
static int IsHeaderPossible(const PayloadHeader *header)
{
    return header->cbLongestName <= PAYLOAD_NAME_MAX && header->cEntries <= 0x7FFFFFFF &&
           header->cbDecoded >= (uint64_t)header->cEntries * (2 + PAYLOAD_LENGTH_BYTES) + 1;
}

/* ---- the decoded bytes, parsed ---- */

void StartDecodedEntries(DecodedEntries *entries, const PayloadHeader *header)
{
    memset(entries, 0, sizeof(*entries));
    entries->header = *header;
    StartPayloadParser(&entries->parser);
}

PayloadPieceKind NextEntryPiece(DecodedEntries *entries, const unsigned char *data, size_t cb, size_t *pos,
                                PayloadPiece *piece)
{
    size_t from = *pos;
    PayloadPieceKind kind = NextPayloadPiece(&entries->parser, data, cb, pos, piece);
    if (kind == PIECE_END)
    {
        // What follows the end mark is looked at, so that AreEntriesWhole can
        // tell the end mark's own zero bytes from anything else.
        entries->cbAfterEnd += cb - *pos;
        for (; *pos < cb; ++*pos)
            entries->fDataAfterEnd |= data[*pos] != 0;
    }
    entries->cbParsed += *pos - from;
    if (kind == PIECE_FILE && (entries->parser.cEntries > entries->header.cEntries ||
                               entries->parser.cbName > entries->header.cbLongestName))
        return PIECE_DAMAGED;
    return kind;
}

int AreEntriesWhole(const DecodedEntries *entries)
{
    return entries->cbParsed == entries->header.cbDecoded && entries->parser.cEntries == entries->header.cEntries &&
           IsPayloadEnded(&entries->parser) && !entries->fDataAfterEnd && entries->cbAfterEnd < PAYLOAD_END_BYTES;
}

/* ---- the one-frame form as a stream ---- */

PayloadCheck CheckCompressedPayload(const unsigned char *head, size_t cbHead, uint64_t cbPayload,
                                    const uint32_t *crc, CompressedPayload *compressed)
{
    PayloadHeader *header = &compressed->header;
    if (cbHead > cbPayload || !IsCompressedPayload(head, cbHead) || !ReadPayloadHeader(head, cbHead, header) ||
        cbPayload == PAYLOAD_HEADER_BYTES)
        return CHECK_DAMAGED;
    if (crc && *crc != header->crc)
        return CHECK_DAMAGED;
    compressed->cbFrame = cbPayload - PAYLOAD_HEADER_BYTES;

    ZSTD_frameHeader frame;
    const unsigned char *frameHead = head + PAYLOAD_HEADER_BYTES;
    size_t cbFrameHead = cbHead - PAYLOAD_HEADER_BYTES;
    if (!IsHeaderPossible(header) || ZSTD_getFrameHeader(&frame, frameHead, cbFrameHead) != 0 ||
        frame.frameType != ZSTD_frame || frame.frameContentSize != header->cbDecoded)
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
    StartDecodedEntries(&decoder->entries, &compressed->header);
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
    return NextEntryPiece(&decoder->entries, data, cb, pos, piece);
}

int IsWholePayload(const PayloadDecoder *decoder)
{
    return decoder->frameEnded && !decoder->cbFrameLeft && decoder->atInput == decoder->cbInput &&
           decoder->cbDecoded == decoder->header.cbDecoded && AreEntriesWhole(&decoder->entries);
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

/* ---- either form, frame by frame ---- */

static void ReadFrameSizes(const PayloadFrames *frames, PayloadFrame *frame)
{
    if (!frames->rows)
    {
        frame->cbPacked = frames->cbFrames;
        frame->cbDecoded = (size_t)frames->header.cbDecoded;
        return;
    }
    uint32_t cbPacked, cbDecoded;
    ReadFrameRow(frames->rows + (size_t)frame->k * PAYLOAD_FRAME_ROW_BYTES, &cbPacked, &cbDecoded);
    frame->cbPacked = cbPacked;
    frame->cbDecoded = cbDecoded;
}

void FirstPayloadFrame(const PayloadFrames *frames, PayloadFrame *frame)
{
    frame->k = 0;
    frame->packed = frames->payload + frames->atFrames;
    ReadFrameSizes(frames, frame);
}

int NextPayloadFrame(const PayloadFrames *frames, PayloadFrame *frame)
{
    if (frame->k + 1 >= frames->header.cFrames)
        return 0;
    frame->k++;
    frame->packed += frame->cbPacked;
    ReadFrameSizes(frames, frame);
    return 1;
}

PayloadCheck CheckPayloadFrames(const unsigned char *payload, size_t cbPayload, const uint32_t *crc,
                                PayloadFrames *frames)
{
    PayloadHeader *header = &frames->header;
    if (!ReadPayloadHeader(payload, cbPayload, header) || !IsHeaderPossible(header) || (crc && *crc != header->crc))
        return CHECK_DAMAGED;
    frames->payload = payload;
    frames->cbLargestFrame = 0;
    frames->cbContext = (ZSTD_estimateDCtxSize() + ZSTD_BLOCKSIZE_MAX + 7) & ~(size_t)7;
    if (IsFramedPayload(payload, cbPayload))
    {
        uint64_t cbTable = (uint64_t)header->cFrames * PAYLOAD_FRAME_ROW_BYTES;
        if (header->cFrames == 0 || cbTable > cbPayload - PAYLOAD_FRAMES_HEADER_BYTES)
            return CHECK_DAMAGED;
        frames->atFrames = PAYLOAD_FRAMES_HEADER_BYTES;
        frames->cbFrames = cbPayload - PAYLOAD_FRAMES_HEADER_BYTES - (size_t)cbTable;
        frames->rows = payload + PAYLOAD_FRAMES_HEADER_BYTES + frames->cbFrames;
    }
    else
    {
        if (header->cbDecoded > (size_t)-1)
            return CHECK_TOO_LARGE;     // one frame larger than a 32-bit process holds
        frames->atFrames = PAYLOAD_HEADER_BYTES;
        frames->cbFrames = cbPayload - PAYLOAD_HEADER_BYTES;
        frames->rows = NULL;
    }

    // The rows' sizes must account for every byte of the frames and for the
    // header's decoded size; a row's packed size is checked against what is
    // left before the frame's bytes are looked at.
    PayloadCheck check = CHECK_OK;
    uint64_t cbDecoded = 0;
    size_t cbLeft = frames->cbFrames;
    PayloadFrame frame;
    FirstPayloadFrame(frames, &frame);
    do
    {
        ZSTD_frameHeader zstd;
        size_t cbHead = frame.cbPacked < ZSTD_FRAMEHEADERSIZE_MAX ? frame.cbPacked : ZSTD_FRAMEHEADERSIZE_MAX;
        if (frame.cbPacked > cbLeft || ZSTD_getFrameHeader(&zstd, frame.packed, cbHead) != 0 ||
            zstd.frameType != ZSTD_frame || frame.cbDecoded == 0 || zstd.frameContentSize != frame.cbDecoded)
            return CHECK_DAMAGED;
        if (zstd.windowSize > (1ull << PAYLOAD_WINDOW_LOG_MAX))
            check = CHECK_TOO_LARGE;
        cbLeft -= frame.cbPacked;
        cbDecoded += frame.cbDecoded;
        if (frame.cbDecoded > frames->cbLargestFrame)
            frames->cbLargestFrame = frame.cbDecoded;
    } while (NextPayloadFrame(frames, &frame));
    return cbLeft == 0 && cbDecoded == header->cbDecoded ? check : CHECK_DAMAGED;
}

int StartFrameDecoder(FrameDecoder *decoder, void *workspace, size_t cbWorkspace, const PayloadFrame *frame,
                      unsigned char *out)
{
    memset(decoder, 0, sizeof(*decoder));
    decoder->context = ZSTD_initStaticDCtx(workspace, cbWorkspace);
    decoder->frame = *frame;
    decoder->out = out;
    // The buffer stays where it is from call to call, so zstd decodes straight
    // into it and takes it for its window.
    return decoder->context &&
           !ZSTD_isError(ZSTD_DCtx_setParameter(decoder->context, ZSTD_d_windowLogMax, PAYLOAD_WINDOW_LOG_MAX)) &&
           !ZSTD_isError(ZSTD_DCtx_setParameter(decoder->context, ZSTD_d_stableOutBuffer, 1));
}

FrameStep DecodeFramePart(FrameDecoder *decoder, size_t cbMore)
{
    const PayloadFrame *frame = &decoder->frame;
    size_t cbLeft = frame->cbPacked - decoder->atPacked;
    ZSTD_inBuffer in = { frame->packed, decoder->atPacked + (cbMore < cbLeft ? cbMore : cbLeft), decoder->atPacked };
    ZSTD_outBuffer out = { decoder->out, frame->cbDecoded, decoder->cbDone };
    size_t result = 1;
    while (in.pos < in.size && result != 0)
    {
        size_t atIn = in.pos, atOut = out.pos;
        result = ZSTD_decompressStream(decoder->context, &out, &in);
        if (ZSTD_isError(result) || (in.pos == atIn && out.pos == atOut && result != 0))
            return FRAME_DAMAGED;
    }
    decoder->atPacked = in.pos;
    decoder->cbDone = out.pos;
    // The frame's end must come with its last byte and its last decoded byte.
    if (result == 0)
        return decoder->atPacked == frame->cbPacked && decoder->cbDone == frame->cbDecoded ? FRAME_ENDED : FRAME_DAMAGED;
    return decoder->atPacked < frame->cbPacked ? FRAME_NEEDS_INPUT : FRAME_DAMAGED;
}

int IsWholeFramedPayload(const PayloadFrames *frames, uint32_t cFramesEnded, const DecodedEntries *entries)
{
    return cFramesEnded == frames->header.cFrames && AreEntriesWhole(entries);
}

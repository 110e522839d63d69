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
    frames->cbContext = (ZSTD_estimateDCtxSize() + 7) & ~(size_t)7;
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
            zstd.frameType != ZSTD_frame || frame.cbDecoded == 0 || zstd.frameContentSize != frame.cbDecoded ||
            zstd.checksumFlag)
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
    return decoder->context && !ZSTD_isError(ZSTD_decompressBegin(decoder->context));
}

FrameStep DecodeFramePart(FrameDecoder *decoder, size_t cbMore)
{
    const PayloadFrame *frame = &decoder->frame;
    size_t cbLeft = frame->cbPacked - decoder->atPacked;
    size_t atPart = decoder->atPacked + (cbMore < cbLeft ? cbMore : cbLeft);
    // zstd asks for the frame's header, each block's header and each block
    // whole; it asks for nothing more once the frame has ended. Each block is
    // decoded where the one before it ended, into the room the frame's row
    // leaves, so a frame cannot write past its buffer.
    size_t cbNext;
    while ((cbNext = ZSTD_nextSrcSizeToDecompress(decoder->context)) != 0)
    {
        if (cbNext > frame->cbPacked - decoder->atPacked)
            return FRAME_DAMAGED;       // the frame ends short
        if (decoder->atPacked >= atPart)
            return FRAME_NEEDS_INPUT;
        size_t cb = ZSTD_decompressContinue(decoder->context, decoder->out + decoder->cbDone,
                                            frame->cbDecoded - decoder->cbDone, frame->packed + decoder->atPacked,
                                            cbNext);
        if (ZSTD_isError(cb))
            return FRAME_DAMAGED;
        decoder->atPacked += cbNext;
        decoder->cbDone += cb;
    }
    // The frame's end must come with its last byte and its last decoded byte.
    return decoder->atPacked == frame->cbPacked && decoder->cbDone == frame->cbDecoded ? FRAME_ENDED : FRAME_DAMAGED;
}

int IsWholeFramedPayload(const PayloadFrames *frames, uint32_t cFramesEnded, const DecodedEntries *entries)
{
    return cFramesEnded == frames->header.cFrames && AreEntriesWhole(entries);
}

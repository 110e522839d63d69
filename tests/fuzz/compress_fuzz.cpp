// compress_fuzz.cpp - libFuzzer target: the compressed payload readers on arbitrary bytes
//
// Input with a compressed form's mark is decoded as the setup decodes it,
// through zstd built from the same source, with the CRC-32 check left out so
// that changed bytes reach the decoder, as a stream (two ways) and frame by
// frame. Any other input is fed to the entry parser in pieces and must give
// what the stored walk gives.

#include "decode.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#define FUZZ_WINDOW_MAX (8u << 20)  /* larger windows cost time, not coverage */
#define FUZZ_FRAME_MAX  (8u << 20)  /* so do larger frames */

static void Require(bool ok, const char *what)
{
    if (!ok)
    {
        fprintf(stderr, "compress_fuzz: %s\n", what);
        abort();
    }
}

/* Each frame into a buffer of its own, a few bytes at a time, parsed as they
   come: whether the payload is whole, -1 when the check refused it. */
static int DecodeByFrames(const uint8_t *input, size_t cbInput)
{
    PayloadFrames frames;
    if (CheckPayloadFrames(input, cbInput, NULL, &frames) != CHECK_OK || frames.cbLargestFrame > FUZZ_FRAME_MAX)
        return -1;
    static std::vector<uint64_t> workspace(frames.cbContext / 8 + 1);
    std::vector<unsigned char> buffer(frames.cbLargestFrame);
    DecodedEntries entries;
    StartDecodedEntries(&entries, &frames.header);
    size_t cbPart = input[cbInput - 1] % 32 + 1;
    uint64_t cbDecoded = 0, cbPacked = 0;
    uint32_t cEnded = 0;
    PayloadFrame frame;
    FirstPayloadFrame(&frames, &frame);
    FrameStep step;
    PayloadPieceKind kind = PIECE_MORE;
    do
    {
        FrameDecoder decoder;
        Require(StartFrameDecoder(&decoder, workspace.data(), frames.cbContext, &frame, buffer.data()),
                "the workspace the check asked for was refused");
        for (size_t pos = 0; (step = DecodeFramePart(&decoder, cbPart)) != FRAME_DAMAGED;)
        {
            PayloadPiece piece;
            while ((kind = NextEntryPiece(&entries, buffer.data(), decoder.cbDone, &pos, &piece)) == PIECE_DATA ||
                   kind == PIECE_FILE || kind == PIECE_FILE_END)
                Require(kind != PIECE_DATA || piece.data + piece.cbData <= buffer.data() + decoder.cbDone,
                        "data past what the frame decoded");
            if (step != FRAME_NEEDS_INPUT || kind == PIECE_DAMAGED)
                break;
        }
        if (step == FRAME_ENDED)
            cEnded++, cbDecoded += decoder.cbDone, cbPacked += decoder.atPacked;
    } while (step == FRAME_ENDED && kind != PIECE_DAMAGED && NextPayloadFrame(&frames, &frame));
    int whole = IsWholeFramedPayload(&frames, cEnded, &entries);
    Require(!whole || (cbDecoded == frames.header.cbDecoded && cbPacked == frames.cbFrames &&
                       entries.parser.cEntries == frames.header.cEntries),
            "whole, with sizes or a count not the header's");
    return whole;
}

static void Decode(const uint8_t *input, size_t cbInput)
{
    if (IsFramedPayload(input, cbInput))
    {
        DecodeByFrames(input, cbInput);
        return;
    }
    CompressedPayload compressed;
    size_t cbHead = cbInput < PAYLOAD_HEAD_BYTES ? cbInput : PAYLOAD_HEAD_BYTES;
    if (CheckCompressedPayload(input, cbHead, cbInput, NULL, &compressed) != CHECK_OK ||
        compressed.cbWindow > FUZZ_WINDOW_MAX)
        return;
    // Kept from run to run: zeroing megabytes each time would be most of the work.
    static std::vector<uint64_t> workspace;
    static std::vector<unsigned char> buffer(PAYLOAD_PIECE_BYTES);
    if (workspace.size() < compressed.cbWorkspace / 8 + 1)
        workspace.resize(compressed.cbWorkspace / 8 + 1);
    PayloadDecoder decoder;
    Require(StartPayloadDecoder(&decoder, &compressed, workspace.data(), compressed.cbWorkspace, buffer.data()),
            "the workspace the check asked for was refused");
    // The frame in pieces of a size taken from the input, as the setup reads it.
    size_t cbGive = input[cbInput - 1] % 64 + 1, atFrame = PAYLOAD_HEADER_BYTES;
    PayloadPiece piece;
    PayloadPieceKind kind;
    uint64_t cbLeft = 0, cbData = 0, cFiles = 0;
    bool inFile = false;
    while ((kind = NextDecodedPiece(&decoder, &piece)) != PIECE_END && kind != PIECE_DAMAGED)
    {
        if (kind == PIECE_MORE)
        {
            Require(atFrame < cbInput, "the decoder asked for more than the frame");
            size_t cb = cbInput - atFrame < cbGive ? cbInput - atFrame : cbGive;
            GiveFrameBytes(&decoder, input + atFrame, cb);
            atFrame += cb;
        }
        else if (kind == PIECE_FILE)
        {
            Require(!inFile && IsPayloadPath(piece.name) && strlen(piece.name) <= compressed.header.cbLongestName,
                    "a file begun inside a file, or with an unsafe or a longer name than the header allows");
            inFile = true, cbLeft = piece.cbFile, cFiles++;
        }
        else if (kind == PIECE_DATA)
        {
            Require(inFile && piece.cbData > 0 && piece.cbData <= cbLeft, "data outside its file");
            Require(piece.data >= buffer.data() && piece.data + piece.cbData <= buffer.data() + buffer.size(),
                    "data outside the decoder's buffer");
            cbLeft -= piece.cbData, cbData += piece.cbData;
        }
        else if (kind == PIECE_FILE_END)
        {
            Require(inFile && cbLeft == 0, "a file ended before its data");
            inFile = false;
        }
        Require(cFiles <= compressed.header.cEntries && cbData < compressed.header.cbDecoded,
                "more than the header allows");
    }
    if (kind == PIECE_END)
        Require(!inFile && cFiles == compressed.header.cEntries && atFrame == cbInput,
                "end with a file open, a count not the header's, or bytes of the frame not given");

    // The setup's way, in two halves: slots decoded by DecodeFrame, parsed by
    // NextParsedPiece, IsWholePayload at the end. Both ways take the same
    // payloads as whole.
    static std::vector<unsigned char> slot(PAYLOAD_PIECE_BYTES / 64);
    StartPayloadDecoder(&decoder, &compressed, workspace.data(), compressed.cbWorkspace, buffer.data());
    atFrame = PAYLOAD_HEADER_BYTES;
    FrameStep step;
    PayloadPieceKind parsed = PIECE_MORE;
    do
    {
        size_t fill = 0, pos = 0;
        while ((step = DecodeFrame(&decoder, slot.data(), slot.size(), &fill)) == FRAME_NEEDS_INPUT)
        {
            size_t cb = cbInput - atFrame < cbGive ? cbInput - atFrame : cbGive;
            GiveFrameBytes(&decoder, input + atFrame, cb);
            atFrame += cb;
        }
        while (step != FRAME_DAMAGED &&
               (parsed = NextParsedPiece(&decoder, slot.data(), fill, &pos, &piece)) != PIECE_MORE &&
               parsed != PIECE_END && parsed != PIECE_DAMAGED)
            ;
    } while (step == FRAME_FULL && parsed != PIECE_DAMAGED);
    bool whole = step == FRAME_ENDED && parsed != PIECE_DAMAGED && IsWholePayload(&decoder);
    Require(whole == (kind == PIECE_END), "the two ways of decoding disagree on whether the payload is whole");

    // Frame by frame, the same answer where the stream's window holds the
    // whole frame (a frame may refer back past its window into the buffer).
    int byFrames = DecodeByFrames(input, cbInput);
    Require(byFrames != -1 || compressed.header.cbDecoded > FUZZ_FRAME_MAX, "the two checks disagree");
    if (byFrames != -1 && compressed.cbWindow >= compressed.header.cbDecoded)
        Require(byFrames == whole, "decoding as a stream and frame by frame disagree on whether the payload is whole");
}

static void ParseInPieces(const uint8_t *input, size_t cbInput)
{
    size_t cbPiece = cbInput ? input[0] % 17 + 1 : 1, pos = 0, at = 0;
    PayloadEntry entry;
    PayloadStep step = NextPayloadEntry(input, cbInput, &pos, &entry);
    PayloadParser parser;
    StartPayloadParser(&parser);
    PayloadPiece piece;
    PayloadPieceKind kind = PIECE_MORE;
    size_t cbLeft = 0;                          // of the entry the parser is in
    bool cutShort = false;      // the walk saw an entry's data run past the input; the parser waits for it
    for (size_t from = 0; from < cbInput && kind == PIECE_MORE; from += cbPiece)
    {
        size_t cb = cbInput - from < cbPiece ? cbInput - from : cbPiece, used = 0;
        while ((kind = NextPayloadPiece(&parser, input + from, cb, &used, &piece)) != PIECE_MORE &&
               kind != PIECE_END && kind != PIECE_DAMAGED)
        {
            if (kind == PIECE_FILE)
            {
                cutShort = step != PAYLOAD_ENTRY;
                Require(cutShort ? step == PAYLOAD_DAMAGED
                                 : strcmp(piece.name, entry.name) == 0 && piece.cbFile == entry.cbData,
                        "the parser found an entry the walk did not");
                cbLeft = piece.cbFile, at = 0;
            }
            else if (kind == PIECE_DATA)
            {
                Require(piece.cbData <= cbLeft && (cutShort || memcmp(piece.data, entry.data + at, piece.cbData) == 0),
                        "the parser's data differs from the walk's");
                cbLeft -= piece.cbData, at += piece.cbData;
            }
            else
            {
                Require(cbLeft == 0 && !cutShort, "an entry ended early, or one the walk saw run past the input ended");
                step = NextPayloadEntry(input, cbInput, &pos, &entry);
            }
        }
    }
    // The walk sees the end of the input as damage where the parser waits for more.
    Require(kind == PIECE_END ? step == PAYLOAD_END : step != PAYLOAD_END, "the parser and the walk disagree at the end");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t cbInput)
{
    if (IsCompressedPayload(input, cbInput))
        Decode(input, cbInput);
    else
        ParseInPieces(input, cbInput);
    return 0;
}

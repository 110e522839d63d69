// compress_fuzz.cpp - libFuzzer target: the compressed payload readers on arbitrary bytes
//
// Input with a compressed form's mark is decoded as the setup decodes it,
// through zstd built from the same source, with the CRC-32 check left out so
// that changed bytes reach the decoder, frame by frame, each frame a few
// bytes at a time and checked against zstd's own one-call decoding. Any other input is fed to the entry parser in pieces and must give
// what the stored walk gives.

#include "decode.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#define FUZZ_FRAME_MAX  (8u << 20)  /* larger frames cost time, not coverage */

static void Require(bool ok, const char *what)
{
    if (!ok)
    {
        fprintf(stderr, "compress_fuzz: %s\n", what);
        abort();
    }
}

/* What the pieces must be, whatever the bytes: files one after another, data
   inside a file and inside what was decoded, never more than the header says. */
struct PieceRules
{
    const PayloadHeader *header;
    bool inFile;
    uint64_t cbLeft, cbData, cFiles;
};

static void FollowPiece(PieceRules *rules, PayloadPieceKind kind, const PayloadPiece *piece, const unsigned char *buffer,
                        size_t cbDone)
{
    if (kind == PIECE_FILE)
    {
        Require(!rules->inFile && IsPayloadPath(piece->name) && strlen(piece->name) <= rules->header->cbLongestName,
                "a file begun inside a file, or with an unsafe or a longer name than the header allows");
        rules->inFile = true, rules->cbLeft = piece->cbFile, rules->cFiles++;
    }
    else if (kind == PIECE_DATA)
    {
        Require(rules->inFile && piece->cbData > 0 && piece->cbData <= rules->cbLeft, "data outside its file");
        Require(piece->data >= buffer && piece->data + piece->cbData <= buffer + cbDone,
                "data past what the frame decoded");
        rules->cbLeft -= piece->cbData, rules->cbData += piece->cbData;
    }
    else
    {
        Require(rules->inFile && rules->cbLeft == 0, "a file ended before its data");
        rules->inFile = false;
    }
    Require(rules->cFiles <= rules->header->cEntries && rules->cbData < rules->header->cbDecoded,
            "more than the header allows");
}

/* Either form as the setup decodes it: each frame into a buffer of its own, a
   few bytes at a time, parsed as they come. A frame that ends must hold what
   zstd's one-call decoder makes of it, where that decodes it. */
static void Decode(const uint8_t *input, size_t cbInput)
{
    PayloadFrames frames;
    if (CheckPayloadFrames(input, cbInput, NULL, &frames) != CHECK_OK || frames.cbLargestFrame > FUZZ_FRAME_MAX)
        return;
    // Kept from run to run: zeroing megabytes each time would be most of the work.
    static std::vector<uint64_t> workspace(frames.cbContext / 8 + 1);
    std::vector<unsigned char> buffer(frames.cbLargestFrame), again(frames.cbLargestFrame);
    DecodedEntries entries;
    StartDecodedEntries(&entries, &frames.header);
    PieceRules rules = { &frames.header, false, 0, 0, 0 };
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
            Require(decoder.cbDone <= frame.cbDecoded && decoder.atPacked <= frame.cbPacked, "past the frame's row");
            PayloadPiece piece;
            while ((kind = NextEntryPiece(&entries, buffer.data(), decoder.cbDone, &pos, &piece)) == PIECE_DATA ||
                   kind == PIECE_FILE || kind == PIECE_FILE_END)
                FollowPiece(&rules, kind, &piece, buffer.data(), decoder.cbDone);
            if (step != FRAME_NEEDS_INPUT || kind == PIECE_DAMAGED)
                break;
        }
        if (step == FRAME_ENDED)
        {
            // zstd's block-by-block calls take a compressed block of no bytes
            // as an empty one, which its one call refuses: only a frame that
            // both decode must come out the same.
            size_t cb = ZSTD_decompress(again.data(), again.size(), frame.packed, frame.cbPacked);
            Require(ZSTD_isError(cb) || (cb == frame.cbDecoded && memcmp(again.data(), buffer.data(), cb) == 0),
                    "a frame decoded part by part is not what zstd decodes in one call");
            cEnded++, cbDecoded += decoder.cbDone, cbPacked += decoder.atPacked;
        }
    } while (step == FRAME_ENDED && kind != PIECE_DAMAGED && NextPayloadFrame(&frames, &frame));
    if (IsWholeFramedPayload(&frames, cEnded, &entries))
        Require(cbDecoded == frames.header.cbDecoded && cbPacked == frames.cbFrames && !rules.inFile &&
                    rules.cFiles == frames.header.cEntries,
                "whole, with sizes or a count not the header's, or a file open");
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
    if (IsCompressedPayload(input, cbInput) || IsFramedPayload(input, cbInput))
        Decode(input, cbInput);
    else
        ParseInPieces(input, cbInput);
    return 0;
}

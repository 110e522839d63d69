// compress_test.cpp - the compressed form: the decoder on payloads made here
// with zstd, and stamp --compress refusing an older setup (the fuzzer feeds
// the entry parser in pieces of every size; tests/win/vendor.sh and
// tests/e2e/compressed.sh take the tool's output through the setup)

#include "decode.h"
#include "testimage.h"

#include "testfiles.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Entry(const std::string &name, const std::string &data)
{
    std::string length;
    for (int b = 0; b < 4; b++)
        length += (char)(data.size() >> (8 * b));
    return name + std::string(1, '\0') + length + data;
}

const std::string s_end(PAYLOAD_END_BYTES, '\0');

/* Adds a piece to stored, rebuilt in the stored layout: any lost, repeated
   or misplaced byte shows when it is compared with the original. */
void Rebuild(PayloadPieceKind kind, const PayloadPiece &piece, std::string *stored)
{
    if (kind == PIECE_FILE)
        *stored += Entry(piece.name, std::string(piece.cbFile, 'x')).substr(0, strlen(piece.name) + 5);
    else if (kind == PIECE_DATA)
        stored->append((const char *)piece.data, piece.cbData);
}

std::string Sample()
{
    std::string big;
    for (int i = 0; i < 70000; i++)
        big += (char)(i * 7 >> 3);
    return Entry("a.dll", "MZ a") + Entry("sub dir\\empty.dat", "") + Entry("Tandreloop.exe", big) + s_end;
}

TEST(Crc32, IsZipsInPiecesOfAnySize)
{
    EXPECT_EQ(UpdateCrc32(UpdateCrc32(0, "1234", 4), "56789", 5), 0xCBF43926u);
    EXPECT_EQ(UpdateCrc32(0, "123456789", 9), 0xCBF43926u);   // eight bytes a step, then one
}

/* A compressed payload made here, its header's fields open to damage. */
std::string Compressed(const std::string &stored, uint32_t cEntries, uint64_t cbDecoded, const std::string &after = "",
                       uint32_t cbLongestName = 17)
{
    std::string frame(ZSTD_compressBound(stored.size()), '\0');
    frame.resize(ZSTD_compress(&frame[0], frame.size(), stored.data(), stored.size(), 3));
    PayloadHeader header = { 0, cEntries, cbLongestName, cbDecoded };
    std::string payload(PAYLOAD_HEADER_BYTES, '\0');
    WritePayloadHeader(&header, (unsigned char *)&payload[0]);
    payload += frame + after;
    header.crc = UpdateCrc32(0, payload.data() + PAYLOAD_CRC_FROM, payload.size() - PAYLOAD_CRC_FROM);
    WritePayloadHeader(&header, (unsigned char *)&payload[0]);
    return payload;
}

struct Decoded
{
    PayloadCheck check;
    PayloadPieceKind last;
    std::string stored;     /* rebuilt */
};

Decoded Decode(const std::string &payload)
{
    Decoded decoded = { CHECK_DAMAGED, PIECE_DAMAGED, "" };
    const unsigned char *bytes = (const unsigned char *)payload.data();
    uint32_t crc = UpdateCrc32(0, bytes + PAYLOAD_CRC_FROM, payload.size() - PAYLOAD_CRC_FROM);
    CompressedPayload compressed;
    if ((decoded.check = CheckCompressedPayload(bytes, std::min(payload.size(), (size_t)PAYLOAD_HEAD_BYTES),
                                                payload.size(), &crc, &compressed)) != CHECK_OK)
        return decoded;
    std::vector<uint64_t> workspace(compressed.cbWorkspace / 8 + 1);
    std::vector<unsigned char> buffer(PAYLOAD_PIECE_BYTES);
    PayloadDecoder decoder;
    StartPayloadDecoder(&decoder, &compressed, workspace.data(), compressed.cbWorkspace, buffer.data());
    PayloadPiece piece;
    size_t at = PAYLOAD_HEADER_BYTES;
    while ((decoded.last = NextDecodedPiece(&decoder, &piece)) != PIECE_END && decoded.last != PIECE_DAMAGED)
    {
        if (decoded.last == PIECE_MORE && at < payload.size())     // the frame in pieces of 7 bytes
        {
            GiveFrameBytes(&decoder, bytes + at, std::min((size_t)7, payload.size() - at));
            at += 7;
        }
        else if (decoded.last == PIECE_MORE)
            break;
        Rebuild(decoded.last, piece, &decoded.stored);
    }
    return decoded;
}

/* The setup's way: the whole frame given, decoded slot by slot by
   DecodeFrame (on a thread of its own there), each slot parsed by
   NextParsedPiece, and IsWholePayload at the end. */
bool WholeInHalves(const std::string &payload)
{
    const unsigned char *bytes = (const unsigned char *)payload.data();
    CompressedPayload compressed;
    if (CheckCompressedPayload(bytes, PAYLOAD_HEAD_BYTES, payload.size(), NULL, &compressed) != CHECK_OK)
        return false;
    std::vector<uint64_t> workspace(compressed.cbWorkspace / 8 + 1);
    std::vector<unsigned char> unused(PAYLOAD_PIECE_BYTES), slot(PAYLOAD_PIECE_BYTES / 16);
    PayloadDecoder decoder;
    StartPayloadDecoder(&decoder, &compressed, workspace.data(), compressed.cbWorkspace, unused.data());
    GiveFrameBytes(&decoder, bytes + PAYLOAD_HEADER_BYTES, payload.size() - PAYLOAD_HEADER_BYTES);
    FrameStep step;
    do
    {
        size_t fill = 0, pos = 0;
        if ((step = DecodeFrame(&decoder, slot.data(), slot.size(), &fill)) != FRAME_FULL && step != FRAME_ENDED)
            return false;
        PayloadPiece piece;
        PayloadPieceKind kind;
        while ((kind = NextParsedPiece(&decoder, slot.data(), fill, &pos, &piece)) != PIECE_MORE && kind != PIECE_END)
            if (kind == PIECE_DAMAGED)
                return false;
    } while (step == FRAME_FULL);
    return IsWholePayload(&decoder);
}

TEST(PayloadDecoder, DecodesWhatAgreesWithItsHeaderAndNothingElse)
{
    std::string stored = Sample(), badName = Entry("a", "1") + Entry("COM1", "2") + s_end;
    Decoded good = Decode(Compressed(stored, 3, stored.size()));
    EXPECT_EQ(good.last, PIECE_END);
    EXPECT_EQ(good.stored + s_end, stored);
    EXPECT_TRUE(WholeInHalves(Compressed(stored, 3, stored.size())));
    // Counts that agree with a stream cut short inside the last file's data.
    std::string cut = stored.substr(0, stored.size() - 1000), more = stored + "x";

    struct { const char *what; std::string payload; PayloadCheck check; } damaged[] = {
        { "one entry more than counted", Compressed(stored, 2, stored.size()), CHECK_OK },
        { "one entry fewer than counted", Compressed(stored, 4, stored.size()), CHECK_OK },
        { "a bad name inside", Compressed(badName, 2, badName.size()), CHECK_OK },
        { "no end mark", Compressed(stored.substr(0, 20), 1, 20), CHECK_OK },
        { "bytes after the frame", Compressed(stored, 3, stored.size(), "x"), CHECK_OK },
        { "a name longer than the header's longest", Compressed(stored, 3, stored.size(), "", 16), CHECK_OK },
        { "decoded size not the frame's", Compressed(stored, 3, stored.size() + 1), CHECK_DAMAGED },
        { "fewer bytes than the entries need", Compressed(std::string(5, '\0'), 1, 5), CHECK_DAMAGED },
        { "a stream that ends inside a file", Compressed(cut, 3, cut.size()), CHECK_OK },
        { "data after the end mark", Compressed(more, 3, more.size()), CHECK_OK },
    };
    for (const auto &c : damaged)
    {
        Decoded decoded = Decode(c.payload);
        EXPECT_EQ(decoded.check, c.check) << c.what;
        EXPECT_EQ(decoded.last, PIECE_DAMAGED) << c.what;
        EXPECT_FALSE(WholeInHalves(c.payload)) << c.what;
    }
    // Any byte changed after the mark fails the CRC before anything is decoded.
    std::string payload = Compressed(stored, 3, stored.size());
    for (size_t at = 4; at < payload.size(); at += 13)
    {
        std::string changed = payload;
        changed[at] ^= 0x20;
        uint32_t crc = UpdateCrc32(0, changed.data() + PAYLOAD_CRC_FROM, changed.size() - PAYLOAD_CRC_FROM);
        CompressedPayload compressed;
        EXPECT_EQ(CheckCompressedPayload((const unsigned char *)changed.data(), PAYLOAD_HEAD_BYTES, changed.size(), &crc,
                                         &compressed), CHECK_DAMAGED) << at;
    }
}

TEST(PayloadToolCompress, RefusesASetupWithoutTheDecoder)
{
    fs::path dir = testing::TempDir() + "compress_test";
    fs::remove_all(dir);
    WriteAll(dir / "product/Tandreloop.exe", "MZ exe");
    WriteAll(dir / "setup.exe", MakeTestImage(Sample()));     // no forms resource, as setups built before it
    std::string d = dir.string() + "/", out = d + "said.txt";
    int status = system(("'" PAYLOADTOOL_PATH "' stamp " + d + "setup.exe --compress -o " + d + "out.exe " + d +
                         "product >" + out + " 2>&1").c_str());
    std::string said = ReadAll(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    fs::remove_all(dir);
}

}  // namespace

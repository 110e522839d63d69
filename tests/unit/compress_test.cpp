// compress_test.cpp - the compressed form: the entry parser fed in pieces, the
// decoder on payloads made here with zstd, and the payload tool's --compress
//
// Decoding rebuilds the stored payload byte for byte from the pieces, so any
// lost, repeated or misplaced byte shows.

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

/* An entry's name and length, as the stored layout has them before its data. */
std::string Head(const PayloadPiece &piece)
{
    return Entry(piece.name, "").substr(0, strlen(piece.name) + 1) + Entry("", std::string(piece.cbFile, 'x')).substr(1, 4);
}

struct Rebuilt
{
    PayloadPieceKind last;
    std::string stored;     /* entries as the pieces gave them, in the stored layout */
    int files;
};

/* Feeds stored in pieces of cbPiece bytes. */
Rebuilt ParseInPieces(const std::string &stored, size_t cbPiece)
{
    Rebuilt rebuilt = { PIECE_MORE, "", 0 };
    PayloadParser parser;
    StartPayloadParser(&parser);
    PayloadPiece piece;
    for (size_t at = 0; at < stored.size() && rebuilt.last == PIECE_MORE; at += cbPiece)
    {
        std::string input = stored.substr(at, cbPiece);
        size_t pos = 0;
        while ((rebuilt.last = NextPayloadPiece(&parser, (const unsigned char *)input.data(), input.size(), &pos,
                                                &piece)) > PIECE_MORE && rebuilt.last < PIECE_END)
        {
            if (rebuilt.last == PIECE_FILE)
                rebuilt.stored += Head(piece);
            else if (rebuilt.last == PIECE_DATA)
                rebuilt.stored.append((const char *)piece.data, piece.cbData);
            rebuilt.files += rebuilt.last == PIECE_FILE_END;
        }
    }
    return rebuilt;
}

std::string Sample()
{
    std::string big;
    for (int i = 0; i < 70000; i++)
        big += (char)(i * 7 >> 3);
    return Entry("a.dll", "MZ a") + Entry("sub dir\\empty.dat", "") + Entry("Tandreloop.exe", big) + s_end;
}

TEST(PayloadParser, PiecesOfAnySizeGiveTheEntriesAndTheirRules)
{
    std::string stored = Sample();
    for (size_t cbPiece : { (size_t)1, (size_t)3, (size_t)4096, stored.size() })
    {
        Rebuilt rebuilt = ParseInPieces(stored, cbPiece);
        EXPECT_EQ(rebuilt.last, PIECE_END) << cbPiece;
        EXPECT_EQ(rebuilt.files, 3) << cbPiece;
        EXPECT_EQ(rebuilt.stored + s_end, stored) << cbPiece;
    }
    // A name longer than any may be is refused before its end arrives.
    EXPECT_EQ(ParseInPieces(std::string(PAYLOAD_NAME_MAX + 1, 'n'), 1).last, PIECE_DAMAGED);
    EXPECT_EQ(ParseInPieces(Entry(std::string(PAYLOAD_NAME_MAX, 'n'), "") + s_end, 5).last, PIECE_DAMAGED);
    Rebuilt bad = ParseInPieces(Entry("a", "1") + Entry("b\\..\\..\\c", "2") + s_end, 2);
    EXPECT_EQ(bad.last, PIECE_DAMAGED);
    EXPECT_EQ(bad.files, 1);
    EXPECT_EQ(ParseInPieces(Entry("a", "1234").substr(0, 8), 3).last, PIECE_MORE);
}

TEST(Crc32, IsZipsInPiecesOfAnySize)
{
    EXPECT_EQ(UpdateCrc32(UpdateCrc32(0, "1234", 4), "56789", 5), 0xCBF43926u);
    EXPECT_EQ(UpdateCrc32(0, "", 0), 0u);
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
    std::string stored;
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
    EXPECT_EQ(StartPayloadDecoder(&decoder, &compressed, workspace.data(), compressed.cbWorkspace, buffer.data()), 1);
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
        else if (decoded.last == PIECE_FILE)
            decoded.stored += Head(piece);
        else if (decoded.last == PIECE_DATA)
            decoded.stored.append((const char *)piece.data, piece.cbData);
    }
    return decoded;
}

TEST(PayloadDecoder, DecodesWhatAgreesWithItsHeaderAndNothingElse)
{
    std::string stored = Sample(), badName = Entry("a", "1") + Entry("COM1", "2") + s_end;
    Decoded good = Decode(Compressed(stored, 3, stored.size()));
    EXPECT_EQ(good.last, PIECE_END);
    EXPECT_EQ(good.stored + s_end, stored);

    struct { const char *what; std::string payload; PayloadCheck check; } damaged[] = {
        { "one entry more than counted", Compressed(stored, 2, stored.size()), CHECK_OK },
        { "one entry fewer than counted", Compressed(stored, 4, stored.size()), CHECK_OK },
        { "a bad name inside", Compressed(badName, 2, badName.size()), CHECK_OK },
        { "no end mark", Compressed(stored.substr(0, 20), 1, 20), CHECK_OK },
        { "bytes after the frame", Compressed(stored, 3, stored.size(), "x"), CHECK_OK },
        { "a name longer than the header's longest", Compressed(stored, 3, stored.size(), "", 16), CHECK_OK },
        { "decoded size not the frame's", Compressed(stored, 3, stored.size() + 1), CHECK_DAMAGED },
        { "fewer bytes than the entries need", Compressed(std::string(5, '\0'), 1, 5), CHECK_DAMAGED },
    };
    for (const auto &c : damaged)
    {
        Decoded decoded = Decode(c.payload);
        EXPECT_EQ(decoded.check, c.check) << c.what;
        EXPECT_EQ(decoded.last, PIECE_DAMAGED) << c.what;
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

std::string Shell(const std::string &command)
{
    std::string output = testing::TempDir() + "compress_test.out";
    int status = system((command + " >'" + output + "' 2>&1").c_str());
    return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " + ReadAll(output);
}

TEST(PayloadToolCompress, PacksTheSameBytesEveryRunAndRefusesASetupWithoutDecoder)
{
    fs::path dir = testing::TempDir() + "compress_test";
    fs::remove_all(dir);
    std::string stored = Sample(), tool = std::string("'") + PAYLOADTOOL_PATH + "' ";
    WriteAll(dir / "product/a.dll", "MZ a");
    WriteAll(dir / "product/Tandreloop.exe", stored);
    WriteAll(dir / "setup.exe", MakeTestImage(stored));
    std::string d = dir.string() + "/";
    ASSERT_EQ(Shell(tool + "pack -o " + d + "stored.bin " + d + "product/a.dll " + d + "product/Tandreloop.exe"), "0 ");
    for (const char *out : { "one.bin", "two.bin" })
        ASSERT_EQ(Shell(tool + "pack --compress=5 -o " + d + out + " " + d + "product/a.dll " + d + "product/Tandreloop.exe"), "0 ");
    std::string packed = ReadAll(dir / "one.bin");
    EXPECT_EQ(packed, ReadAll(dir / "two.bin"));
    Decoded decoded = Decode(packed);
    EXPECT_EQ(decoded.last, PIECE_END);
    EXPECT_EQ(decoded.stored + s_end, ReadAll(dir / "stored.bin"));
    std::string size = std::to_string(stored.size()), total = std::to_string(stored.size() + 4);
    EXPECT_EQ(Shell(tool + "list " + d + "one.bin").rfind("0 a.dll\t4\nTandreloop.exe\t" + size + "\n2 entries, " + total + " bytes, zstd", 0), 0u);

    std::string refused = Shell(tool + "stamp " + d + "setup.exe --compress -o " + d + "out.exe " + d + "product");
    EXPECT_EQ(refused.substr(0, 2), "1 ") << refused;
    EXPECT_EQ(std::count(refused.begin(), refused.end(), '\n'), 1) << refused;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
    fs::remove_all(dir);
}

}  // namespace

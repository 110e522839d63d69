// compress_test.cpp - the compressed forms: the decoders on payloads made here
// with zstd, and stamp --compress refusing an older setup (the fuzzer feeds
// the entry parser in pieces of every size; tests/win/vendor.sh and
// tests/e2e/compressed.sh take the tool's output through the setup)

#include "decode.h"
#include "frameplan.h"
#include "peimage.h"
#include "testimage.h"

#include "testfiles.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <functional>
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
    PayloadHeader header = { 0, cEntries, cbLongestName, cbDecoded, 1 };
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

/* A framed payload's parts, open to damage: frames, rows, header counts. */
struct Frames
{
    std::vector<std::string> packed;
    std::vector<std::pair<uint32_t, uint32_t>> rows;
    uint32_t cFrames;
    uint64_t cbDecoded;
};

/* stored cut where ends say (the last end its size), each part a frame of its own. */
Frames Cut(const std::string &stored, const std::vector<size_t> &ends)
{
    Frames frames = { {}, {}, (uint32_t)ends.size(), stored.size() };
    for (size_t k = 0, from = 0; k < ends.size(); from = ends[k++])
    {
        std::string frame(ZSTD_compressBound(ends[k] - from), '\0');
        frame.resize(ZSTD_compress(&frame[0], frame.size(), stored.data() + from, ends[k] - from, 3));
        frames.packed.push_back(frame);
        frames.rows.push_back({ (uint32_t)frame.size(), (uint32_t)(ends[k] - from) });
    }
    return frames;
}

std::string Framed(const Frames &frames, uint32_t cEntries = 3)
{
    PayloadHeader header = { 0, cEntries, 17, frames.cbDecoded, frames.cFrames };
    std::string payload(PAYLOAD_FRAMES_HEADER_BYTES, '\0');
    WritePayloadHeader(&header, (unsigned char *)&payload[0]);
    for (const std::string &frame : frames.packed)
        payload += frame;
    for (const auto &row : frames.rows)
    {
        payload.resize(payload.size() + PAYLOAD_FRAME_ROW_BYTES);
        WriteFrameRow(row.first, row.second, (unsigned char *)&payload[payload.size() - PAYLOAD_FRAME_ROW_BYTES]);
    }
    header.crc = UpdateCrc32(0, payload.data() + PAYLOAD_CRC_FROM, payload.size() - PAYLOAD_CRC_FROM);
    WritePayloadHeader(&header, (unsigned char *)&payload[0]);
    return payload;
}

/* The setup's way with frames: each frame into a buffer of its own, 5 bytes at
   a time, parsed as it comes, whole only by IsWholeFramedPayload. */
Decoded ByFrames(const std::string &payload)
{
    Decoded decoded = { CHECK_DAMAGED, PIECE_DAMAGED, "" };
    const unsigned char *bytes = (const unsigned char *)payload.data();
    uint32_t crc = UpdateCrc32(0, bytes + PAYLOAD_CRC_FROM, payload.size() - PAYLOAD_CRC_FROM);
    PayloadFrames frames;
    if ((decoded.check = CheckPayloadFrames(bytes, payload.size(), &crc, &frames)) != CHECK_OK)
        return decoded;
    std::vector<uint64_t> workspace(frames.cbContext / 8 + 1);
    std::vector<unsigned char> buffer(frames.cbLargestFrame);
    DecodedEntries entries;
    StartDecodedEntries(&entries, &frames.header);
    PayloadFrame frame;
    FirstPayloadFrame(&frames, &frame);
    uint32_t cEnded = 0;
    FrameStep step;
    PayloadPieceKind kind = PIECE_MORE;
    do
    {
        FrameDecoder decoder;
        EXPECT_TRUE(StartFrameDecoder(&decoder, workspace.data(), frames.cbContext, &frame, buffer.data()));
        size_t pos = 0;
        do
        {
            step = DecodeFramePart(&decoder, 5);
            PayloadPiece piece;
            while ((kind = NextEntryPiece(&entries, buffer.data(), decoder.cbDone, &pos, &piece)) != PIECE_MORE &&
                   kind != PIECE_END && kind != PIECE_DAMAGED)
                Rebuild(kind, piece, &decoded.stored);
        } while (step == FRAME_NEEDS_INPUT && kind != PIECE_DAMAGED);
        cEnded += step == FRAME_ENDED;
    } while (step == FRAME_ENDED && kind != PIECE_DAMAGED && NextPayloadFrame(&frames, &frame));
    decoded.last = IsWholeFramedPayload(&frames, cEnded, &entries) ? PIECE_END : PIECE_DAMAGED;
    return decoded;
}

TEST(PayloadDecoder, DecodesWhatAgreesWithItsHeaderAndNothingElse)
{
    std::string stored = Sample(), badName = Entry("a", "1") + Entry("COM1", "2") + s_end;
    Decoded good = ByFrames(Compressed(stored, 3, stored.size()));
    EXPECT_EQ(good.last, PIECE_END);
    EXPECT_EQ(good.stored + s_end, stored);
    // Frames cut inside a name, a length, data, the end mark, at entries'
    // ends, and every 1,000 bytes (one frame: the stamp test below).
    size_t size = stored.size();
    std::vector<size_t> every;
    for (size_t at = 1000; at < size; at += 1000)
        every.push_back(at);
    every.push_back(size);
    const std::vector<size_t> cuts[] = { { 2, 8, 12, size }, { 40, 5000, size - 2, size }, { 14, 36, size }, every };
    for (const std::vector<size_t> &ends : cuts)
    {
        Decoded framed = ByFrames(Framed(Cut(stored, ends)));
        EXPECT_EQ(framed.last, PIECE_END) << ends.size() << " frames from " << ends[0];
        EXPECT_EQ(framed.stored + s_end, stored) << ends.size() << " frames from " << ends[0];
    }
    // Counts that agree with a stream cut short inside the last file's data.
    std::string cut = stored.substr(0, stored.size() - 1000), more = stored + "x";
    // Two frames, damaged in their table or their bytes.
    auto twoFrames = [&](const std::function<void(Frames &)> &damage) {
        Frames frames = Cut(stored, { 5000, size });
        return damage(frames), Framed(frames);
    };

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
        // The framed form: each frame, and the frames together.
        { "framed: data after the end mark, in the next frame", Framed(Cut(more, { size, more.size() })), CHECK_OK },
        { "framed: a byte after the last frame's end",
          twoFrames([](Frames &f) { f.packed[1] += 'x', f.rows[1].first++; }), CHECK_OK },
        { "framed: a frame cut short",
          twoFrames([](Frames &f) { f.packed[1].pop_back(), f.rows[1].first--; }), CHECK_OK },
        { "framed: a row's decoded size not its frame's",
          twoFrames([](Frames &f) { f.rows[0].second++, f.rows[1].second--; }), CHECK_DAMAGED },
        { "framed: a byte between the frames and the table", twoFrames([](Frames &f) { f.packed[1] += 'x'; }),
          CHECK_DAMAGED },
        { "framed: decoded sizes that do not add up to the header's", twoFrames([](Frames &f) { f.cbDecoded++; }),
          CHECK_DAMAGED },
        { "framed: no frames", twoFrames([](Frames &f) { f = { {}, {}, 0, f.cbDecoded }; }), CHECK_DAMAGED },
        { "framed: more frames than the payload holds rows", twoFrames([](Frames &f) { f.cFrames = 0x20000000; }),
          CHECK_DAMAGED },
        { "framed: a frame with a checksum of its own, which the decoder does not check",
          twoFrames([](Frames &f) { f.packed[1][4] |= 0x04, f.packed[1] += "sum.", f.rows[1].first += 4; }),
          CHECK_DAMAGED },
        { "framed: a skippable frame for a frame",
          twoFrames([](Frames &f) { f.packed[1] = std::string("\x50\x2A\x4D\x18\0\0\0\0", 8) + f.packed[1],
                                    f.rows[1].first += 8; }), CHECK_DAMAGED },
    };
    for (const auto &c : damaged)
    {
        Decoded framed = ByFrames(c.payload);
        EXPECT_EQ(framed.check, c.check) << c.what;
        EXPECT_EQ(framed.last, PIECE_DAMAGED) << c.what;
    }
    // Any byte changed after the mark fails the CRC before anything is
    // decoded, in either form; and a setup that reads stored payloads, or the
    // one-frame form, only, refuses the framed form by its first byte.
    std::string framed = Framed(Cut(stored, { 5000, size }));
    EXPECT_FALSE(IsCompressedPayload((const unsigned char *)framed.data(), framed.size()));
    EXPECT_FALSE(CheckPayload((const unsigned char *)framed.data(), framed.size()));
    for (const std::string &payload : { Compressed(stored, 3, stored.size()), framed })
    {
        for (size_t at = 4; at < payload.size(); at += 13)
        {
            std::string changed = payload;
            changed[at] ^= 0x20;
            uint32_t crc = UpdateCrc32(0, changed.data() + PAYLOAD_CRC_FROM, changed.size() - PAYLOAD_CRC_FROM);
            PayloadFrames frames;
            EXPECT_EQ(CheckPayloadFrames((const unsigned char *)changed.data(), changed.size(), &crc, &frames),
                      CHECK_DAMAGED) << at;
        }
    }
}

/* Where the tool cuts: between the entries whose names share least, near the
   shares; inside an entry where no boundary is near. Sizes in MiB. */
TEST(PlanFrames, CutsBetweenFilesNamedApartNearTheShares)
{
    const struct { std::vector<std::string> names; std::vector<unsigned long long> mib, ends; } cases[] = {
        { { "a.dll", "b.dll" }, { 30, 34 }, { 64 } },                                    // one frame
        { { "d3dx9_40.dll", "d3dx9_41.dll", "kernel.dll", "msi.dll" }, { 50, 10, 30, 10 }, { 60, 100 } },
        { { "de\\a.txt", "de\\b.txt", "en\\a.txt" }, { 45, 10, 45 }, { 55, 100 } },      // folders apart
        { { "x.bin", "y1.bin", "y2.bin" }, { 30, 20, 50 }, { 50, 100 } },              // x|y is too far off
        { { "one.bin", "Tandreloop.exe" }, { 127, 1 }, { 64, 128 } },                    // inside the one file
    };
    for (const auto &c : cases)
    {
        std::vector<unsigned long long> cb, expected;
        unsigned long long total = 0;
        for (unsigned long long mib : c.mib)
            cb.push_back(mib << 20), total += mib << 20;
        for (unsigned long long mib : c.ends)
            expected.push_back(mib << 20);
        EXPECT_EQ(PlanFrames(c.names, cb, total), expected) << c.names[0];
    }
}

/* stamp --compress puts in what the setup reads (its forms resource), frames
   only where named (the large product: two, cut inside its large file), and
   that decodes frame by frame to the stored payload of the same files. */
TEST(PayloadToolCompress, StampsOnlyWhatTheSetupReads)
{
    fs::path dir = testing::TempDir() + "compress_test";
    fs::remove_all(dir);
    std::string big(100 << 20, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (char)(i * 7 >> 3 ^ i >> 20);
    WriteAll(dir / "small/Tandreloop.exe", "MZ exe");
    WriteAll(dir / "large/Tandreloop.exe", "MZ exe");
    WriteAll(dir / "large/a.bin", big);
    std::string d = dir.string() + "/", said = d + "said.txt";
    const struct { const char *what, *forms, *product; bool stamps; uint32_t cFrames; } cases[] = {
        { "a setup built before the decoder", "", "small", false, 0 },
        { "a small product, into a setup that reads frames", "stored zstd zstd-frames", "small", true, 1 },
        { "a large product, into a setup that reads one frame", "stored zstd", "large", true, 1 },
        { "a large product, into a setup that reads frames", "stored zstd zstd-frames", "large", true, 2 },
    };
    for (const auto &c : cases)
    {
        fs::remove(dir / "out.exe");
        WriteAll(dir / "setup.exe", MakeTestImage(Sample(), "Licence text\r\n", c.forms));
        int status = system(("'" PAYLOADTOOL_PATH "' stamp " + d + "setup.exe --compress=1 -o " + d + "out.exe " + d +
                             c.product + " >" + said + " 2>&1").c_str());
        std::string text = ReadAll(said);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (c.stamps ? 0 : 1)) << c.what << ": " << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), c.stamps ? 0 : 1) << c.what << ": " << text;
        ASSERT_EQ(fs::exists(dir / "out.exe"), c.stamps) << c.what;
        if (!c.stamps)
            continue;
        std::string image = ReadAll(dir / "out.exe"), why;
        SetupImage read;
        ASSERT_EQ(ReadSetupImage((const unsigned char *)image.data(), image.size(), false, &read, &why), IMAGE_OK);
        std::string carried = image.substr(read.resources[read.payload].fileOffset, read.resources[read.payload].cbData);
        EXPECT_EQ(carried[0], c.cFrames > 1 ? '\x02' : '\x01') << c.what;       // the form's mark
        Decoded decoded = ByFrames(carried);
        ASSERT_EQ(system(("'" PAYLOADTOOL_PATH "' pack -o " + d + "stored.bin " + d + c.product).c_str()), 0);
        EXPECT_EQ(decoded.last, PIECE_END) << c.what;
        EXPECT_TRUE(decoded.stored + s_end == ReadAll(dir / "stored.bin")) << c.what;
    }
    fs::remove_all(dir);
}

}  // namespace

// stamp_test.cpp - payloadtool stamp on a small image made by testimage.cpp
//
// The stamped image is read back with the image reader and checked against an
// independent reading of the bytes: the payload equals what pack writes, every
// other byte that matters is where it was, and the checksum is Windows's.

#include "peimage.h"
#include "testimage.h"

#include "testfiles.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

unsigned Get32(const std::string &b, size_t at)
{
    return (unsigned char)b[at] | (unsigned char)b[at + 1] << 8 | (unsigned char)b[at + 2] << 16 |
           (unsigned)(unsigned char)b[at + 3] << 24;
}

/* Windows's image checksum, written out plainly. */
unsigned ReferenceChecksum(std::string b)
{
    size_t field = Get32(b, 0x3C) + 24 + 64;
    b.replace(field, 4, 4, '\0');
    size_t cb = b.size();
    if (b.size() % 2)
        b += '\0';
    unsigned long long sum = 0;
    for (size_t i = 0; i < b.size(); i += 2)
    {
        sum += (unsigned char)b[i] | (unsigned char)b[i + 1] << 8;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return (unsigned)(sum + cb);
}

class Stamp : public testing::Test
{
protected:
    fs::path dir;

    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "stamp_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir = pattern;
        WriteAll(dir / "setup.exe", MakeTestImage(std::string("old\0\0\0\0\0", 8)));
        WriteAll(dir / "product/TandreCore.dll", "MZ core");
        WriteAll(dir / "product/Tandreloop.exe", std::string(70000, 'x'));
        WriteAll(dir / "product/A.dll", "");
        WriteAll(dir / "product/zlib.dll", "MZ zlib");     // sorts after the executable
    }

    void TearDown() override
    {
        fs::remove_all(dir);
    }

    // Runs the tool in the test folder, after the shell commands in shell;
    // returns its exit code, with stderr in err.
    int Tool(const std::string &args, std::string *err = nullptr, const std::string &shell = "")
    {
        std::string command =
            "cd '" + dir.string() + "' && (" + shell + " '" PAYLOADTOOL_PATH "' " + args + ") >.out 2>.err";
        int status = system(command.c_str());
        if (err)
            *err = ReadAll(dir / ".err");
        fs::remove(dir / ".out");
        fs::remove(dir / ".err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    SetupImage Read(const std::string &bytes, ImageResult expect = IMAGE_OK)
    {
        SetupImage image;
        std::string why;
        EXPECT_EQ(ReadSetupImage((const unsigned char *)bytes.data(), bytes.size(), true, &image, &why), expect) << why;
        return image;
    }
};

std::string ResourceData(const std::string &bytes, const ImageResource &r)
{
    return bytes.substr(r.fileOffset, r.cbData);
}

TEST_F(Stamp, CarriesThePackedFilesAndKeepsEverythingElse)
{
    ASSERT_EQ(Tool("pack -o payload.bin product"), 0);
    ASSERT_EQ(Tool("stamp setup.exe -o out.exe product"), 0);
    std::string before = ReadAll(dir / "setup.exe"), after = ReadAll(dir / "out.exe");
    SetupImage old = Read(before), image = Read(after);
    ASSERT_EQ(image.resources.size(), old.resources.size());
    EXPECT_TRUE(ResourceData(after, image.resources[image.payload]) == ReadAll(dir / "payload.bin"));
    for (size_t i = 0; i < old.resources.size(); i++)
        if (i != old.payload)
        {
            EXPECT_TRUE(ResourceData(after, image.resources[i]) == ResourceData(before, old.resources[i])) << i;
        }

    // Code, its section header and the relocations' contents are untouched; the
    // resources start on a 4 KB boundary in the file; SizeOfInitializedData
    // counts the data sections' whole file blocks, as the linker's does; the
    // checksum is right.
    EXPECT_TRUE(after.substr(0x200, 0x200) == before.substr(0x200, 0x200));
    EXPECT_EQ(after.substr(image.sections[0].header, 40), before.substr(old.sections[0].header, 40));
    EXPECT_EQ(after.substr(image.sections[2].rawOffset, 12), before.substr(old.sections[2].rawOffset, 12));
    EXPECT_EQ(image.sections[1].rawOffset % 4096, 0u);
    EXPECT_EQ(Get32(after, image.optionalHeader + 8), image.sections[1].cbRaw + image.sections[2].cbRaw);
    EXPECT_EQ(Get32(after, image.optionalHeader + 8) % image.fileAlignment, 0u);
    EXPECT_EQ(Get32(after, image.optionalHeader + 64), ReferenceChecksum(after));
    EXPECT_EQ(Tool("verify out.exe"), 0);
}

TEST_F(Stamp, ResultDependsOnlyOnTheSetupsOwnPartsAndTheFiles)
{
    WriteAll(dir / "other.exe", MakeTestImage(std::string(100000, 'y') + std::string(4, '\0')));
    ASSERT_EQ(Tool("stamp setup.exe -o a.exe product"), 0);
    ASSERT_EQ(Tool("stamp other.exe -o b.exe product"), 0);
    EXPECT_TRUE(ReadAll(dir / "a.exe") == ReadAll(dir / "b.exe"));
    // Stamping what a setup already carries changes nothing, also in place.
    ASSERT_EQ(Tool("stamp a.exe -o a.exe product"), 0);
    EXPECT_TRUE(ReadAll(dir / "a.exe") == ReadAll(dir / "b.exe"));
    // A setup named like OUT's temporary is read, not written.
    fs::copy_file(dir / "other.exe", dir / "c.exe.part");
    ASSERT_EQ(Tool("stamp c.exe.part -o c.exe product"), 0);
    EXPECT_TRUE(ReadAll(dir / "c.exe") == ReadAll(dir / "b.exe"));
    EXPECT_TRUE(ReadAll(dir / "c.exe.part") == ReadAll(dir / "other.exe"));
}

TEST_F(Stamp, FolderOrderPutsTheExecutableLast)
{
    ASSERT_EQ(Tool("stamp setup.exe -o out.exe product"), 0);
    std::string after = ReadAll(dir / "out.exe");
    SetupImage image = Read(after);
    std::string payload = ResourceData(after, image.resources[image.payload]);
    size_t a = payload.find("A.dll"), core = payload.find("TandreCore.dll"), zlib = payload.find("zlib.dll");
    size_t exe = payload.find("Tandreloop.exe");
    EXPECT_TRUE(a < core && core < zlib && zlib < exe) << a << " " << core << " " << zlib << " " << exe;
    fs::create_directories(dir / "product/sub");
    std::string err;
    EXPECT_EQ(Tool("stamp setup.exe -o out2.exe product", &err), 1);
    EXPECT_NE(err.find("product/sub"), std::string::npos) << err;
}

TEST_F(Stamp, RefusesBadSetupsAndBadFilesWithoutWritingAnything)
{
    std::string good = ReadAll(dir / "setup.exe");
    std::string signedImage = good + std::string(16, 's');
    size_t dirs = Get32(good, 0x3C) + 24 + 96;
    signedImage.replace(dirs + 32, 4, std::string("\0\0\0\0", 4));
    for (int i = 0; i < 4; i++)
    {
        signedImage[dirs + 32 + i] = (char)(good.size() >> (8 * i));
        signedImage[dirs + 36 + i] = (char)(i == 0 ? 16 : 0);
    }
    std::string noPayload = good;
    noPayload.replace(noPayload.find(std::string("B\0I\0N", 5)), 1, "X");
    std::string notPe32 = good;
    notPe32[Get32(good, 0x3C) + 24] = 0x0B, notPe32[Get32(good, 0x3C) + 25] = 0x02;
    struct { const char *name; std::string setup; const char *files; const char *says; } cases[] = {
        { "text file", "hello", "product", "not a Windows image" },
        { "64-bit image", notPe32, "product", "not a 32-bit" },
        { "cut short", good.substr(0, 0x500), "product", "damaged" },
        { "no payload resource", noPayload, "product", "no payload resource" },
        { "signed", signedImage, "product", "--strip-signature" },
        { "missing file", good, "product/Tandreloop.exe missing.dll", "missing.dll" },
        { "no executable", good, "product/A.dll", "Tandreloop.exe" },
        // In code page 1252 the name of a serial port.
        { "device name in 1252", good, "--codepage 1252 product/Tandreloop.exe COM¹.log", "'COM¹.log' is not a name" },
    };
    WriteAll(dir / "COM¹.log", "log");
    for (const auto &c : cases)
    {
        WriteAll(dir / "in.exe", c.setup);
        std::string err;
        EXPECT_EQ(Tool(std::string("stamp in.exe -o out.exe ") + c.files, &err), 1) << c.name;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.name << ": " << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << c.name << ": not one line: " << err;
        EXPECT_FALSE(fs::exists(dir / "out.exe")) << c.name;
        EXPECT_FALSE(fs::exists(dir / "out.exe.part")) << c.name;
        EXPECT_TRUE(ReadAll(dir / "in.exe") == c.setup) << c.name;
    }

    // The licence type's one-character name moved to the end of the resource
    // section: ending at its last byte it is read, one byte further it is not.
    ImageSection rsrcSection = Read(good).sections[1];
    uint32_t rsrc = rsrcSection.rawOffset, cbRsrc = rsrcSection.virtualSize;
    for (uint32_t cbOver : { 0, 1 })
    {
        SCOPED_TRACE(cbOver ? "name one byte past the section" : "name at the section's end");
        std::string moved = good;
        uint32_t at = cbRsrc - 4 + cbOver;
        moved.replace(rsrc + at, 2, std::string("\1\0", 2));
        for (int i = 0; i < 4; i++)
            moved[rsrc + 24 + i] = (char)((0x80000000u | at) >> (8 * i));
        Read(moved, cbOver ? IMAGE_DAMAGED : IMAGE_OK);
    }

    // A file that reads longer than it said fails the stamp after writing began:
    // an existing OUT stays as it was, and so does someone's file named like
    // its temporary, through this stamp and the one before.
    WriteAll(dir / "out.exe.part", "someone's file");
    ASSERT_EQ(Tool("stamp setup.exe -o out.exe product"), 0);
    std::string kept = ReadAll(dir / "out.exe"), err;
    EXPECT_EQ(Tool("stamp setup.exe -o out.exe product/Tandreloop.exe /proc/version", &err), 1);
    EXPECT_NE(err.find("changed size"), std::string::npos) << err;
    EXPECT_TRUE(ReadAll(dir / "out.exe") == kept);
    EXPECT_EQ(ReadAll(dir / "out.exe.part"), "someone's file");
    EXPECT_FALSE(fs::exists(dir / "out.exe.part1"));
    for (int n = 1; n < 100; n++)      // every name for its temporary taken: the message says so
        WriteAll(dir / ("out.exe.part" + std::to_string(n)), "");
    EXPECT_EQ(Tool("stamp setup.exe -o out.exe product", &err), 1);
    EXPECT_EQ(err, "payloadtool: out.exe: no free name for a scratch file next to it: out.exe.part and out.exe.part1 "
                   "to out.exe.part99 are all taken\n");

    // Dropping the signature gives what stamping the unsigned image gives.
    WriteAll(dir / "in.exe", signedImage);
    ASSERT_EQ(Tool("stamp in.exe --strip-signature -o stripped.exe product"), 0);
    ASSERT_EQ(Tool("stamp setup.exe -o plain.exe product"), 0);
    EXPECT_TRUE(ReadAll(dir / "stripped.exe") == ReadAll(dir / "plain.exe"));
}

TEST_F(Stamp, RefusesPayloadsTooLargeForA32BitImage)
{
    // One byte over the limit is refused for the limit, before the image's size.
    std::ofstream(dir / "big.bin").close();
    fs::resize_file(dir / "big.bin", 0x70000000ull + 1 - 4 - (15 + 4 + 70000) - (8 + 4));
    std::string over;
    EXPECT_EQ(Tool("stamp setup.exe -o out.exe product/Tandreloop.exe big.bin", &over), 1);
    EXPECT_NE(over.find("1879048193 bytes: more than the 1879048192 (1.75 GiB)"), std::string::npos) << over;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));

    for (const char *name : { "product/big1.bin", "product/big2.bin" })
    {
        std::ofstream(dir / name).close();
        fs::resize_file(dir / name, 0x48000000ull);     // sparse: costs no disk
    }
    std::string err;
    EXPECT_EQ(Tool("stamp setup.exe -o out.exe product", &err), 1);
    EXPECT_NE(err.find("32-bit"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "out.exe"));
}

// A full disk, made without root by a file size limit (SIGXFSZ ignored, so the
// write fails with EFBIG), in the setup's own part (3 MiB of licence, more than
// the tool's buffer), in the carried files, in pack's output: each ends at once
// with one line naming OUT, exit 1 and no file left behind.
TEST_F(Stamp, WriteErrorEndsTheCommandWithoutOutput)
{
    WriteAll(dir / "large.exe", MakeTestImage(std::string(8, '\0'), std::string(3 << 20, 'L')));
    WriteAll(dir / "product/big.dat", std::string(3 << 20, 'b'));
    auto files = [this] { return std::distance(fs::directory_iterator(dir), fs::directory_iterator()); };
    auto before = files();
    for (const char *args : { "stamp large.exe -o out.exe product", "stamp setup.exe -o out.exe product",
                              "pack -o out.exe product" })
    {
        std::string err;   // 256 blocks of 512 or 1,024 bytes, as the shell counts them: less than one write
        EXPECT_EQ(Tool(args, &err, "trap '' XFSZ; ulimit -f 256; exec timeout 20"), 1) << args << " (124: it hung)";
        EXPECT_EQ(err, "payloadtool: out.exe: cannot write: " + std::string(strerror(EFBIG)) + "\n") << args;
        EXPECT_EQ(files(), before) << args;
    }
}

}  // namespace

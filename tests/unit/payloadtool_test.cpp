// payloadtool_test.cpp - runs the built payload tool and reads its output back
//
// The output is checked with the setup's own reader, so packer and setup cannot
// drift apart without a test failing.

#include "payload.h"

#include "testfiles.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct ToolRun
{
    int exitCode;
    std::string out, err;
};

std::string Quote(const std::string &arg)
{
    std::string quoted = "'";
    for (char c : arg)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct Packed
{
    std::string argument, name, data;
};

class PayloadTool : public testing::Test
{
protected:
    fs::path dir;

    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "payloadtool_test.XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        fs::remove_all(dir);
    }

    // Arguments are relative to the test folder, which is the tool's working folder.
    ToolRun Tool(const std::vector<std::string> &args)
    {
        std::string command = "cd " + Quote(dir.string()) + " && " + Quote(PAYLOADTOOL_PATH);
        for (const std::string &arg : args)
            command += " " + Quote(arg);
        command += " >" + Quote((dir / ".stdout").string()) + " 2>" + Quote((dir / ".stderr").string());
        int status = system(command.c_str());
        ToolRun run = { WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(dir / ".stdout"), ReadAll(dir / ".stderr") };
        fs::remove(dir / ".stdout");
        fs::remove(dir / ".stderr");
        return run;
    }

    // Writes the files into the test folder; returns the arguments that pack them.
    std::vector<std::string> WriteForPacking(const std::vector<Packed> &files)
    {
        std::vector<std::string> args = { "pack", "-o", "payload.bin" };
        for (const Packed &file : files)
        {
            WriteAll(dir / file.argument, file.data);
            args.push_back(file.argument);
        }
        return args;
    }

    std::set<std::string> Listing()
    {
        std::set<std::string> names;
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(dir))
            names.insert(fs::relative(entry.path(), dir).string());
        return names;
    }
};

std::vector<Packed> SampleFiles()
{
    std::string allBytes;
    for (int i = 0; i < 512; i++)
        allBytes += (char)(i & 0xFF);
    return { { "libs/first.dll", "first.dll", "MZ first library" },
             { "libs/empty.dat", "empty.dat", "" },
             { "data/all bytes.bin", "all bytes.bin", allBytes },
             { "Tandreloop.exe", "Tandreloop.exe", std::string("MZ\0\0exe", 7) } };
}

TEST_F(PayloadTool, PackedFilesReadBackByteForByte)
{
    std::vector<Packed> files = SampleFiles();
    std::vector<std::string> args = WriteForPacking(files);
    std::set<std::string> expectedListing = Listing();
    expectedListing.insert("payload.bin");
    ToolRun run = Tool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Listing(), expectedListing);

    std::string payload = ReadAll(dir / "payload.bin");
    const unsigned char *bytes = (const unsigned char *)payload.data();
    size_t pos = 0;
    PayloadEntry entry;
    for (const Packed &file : files)
    {
        ASSERT_EQ(NextPayloadEntry(bytes, payload.size(), &pos, &entry), PAYLOAD_ENTRY) << file.name;
        EXPECT_STREQ(entry.name, file.name.c_str());
        EXPECT_EQ(std::string((const char *)entry.data, entry.cbData), file.data) << file.name;
    }
    ASSERT_EQ(NextPayloadEntry(bytes, payload.size(), &pos, &entry), PAYLOAD_END);
    EXPECT_EQ(payload.substr(pos), std::string(PAYLOAD_END_BYTES, '\0'));
}

TEST_F(PayloadTool, ListAndVerifyReportWhatWasPacked)
{
    std::vector<Packed> files = SampleFiles();
    std::vector<std::string> args = WriteForPacking(files);
    std::string expectedList;
    size_t total = 0;
    for (const Packed &file : files)
    {
        expectedList += file.name + "\t" + std::to_string(file.data.size()) + "\n";
        total += file.data.size();
    }
    ASSERT_EQ(Tool(args).exitCode, 0);
    std::string counts = std::to_string(files.size()) + " entries, " + std::to_string(total) + " bytes\n";

    ToolRun list = Tool({ "list", "payload.bin" });
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out, expectedList + counts);
    ToolRun verify = Tool({ "verify", "payload.bin" });
    EXPECT_EQ(verify.exitCode, 0) << verify.err;
    EXPECT_EQ(verify.out, "payload.bin: ok, " + counts);
}

struct Refusal
{
    const char *name;
    std::vector<std::string> files;         /* created with some data; a trailing / makes a folder */
    std::vector<std::string> args;          /* after "pack -o payload.bin" */
    const char *named;                      /* what the message must name */
    const char *sparse4GiB = nullptr;       /* a file of 4 GiB to create */
};

TEST_F(PayloadTool, RefusesBadInputAndLeavesNoOutput)
{
    const Refusal cases[] = {
        { "names differing only in case", { "a/Tandreloop.exe", "b/TANDRELOOP.EXE" },
          { "a/Tandreloop.exe", "b/TANDRELOOP.EXE" }, "b/TANDRELOOP.EXE" },
        { "library names differing only in case", { "Tandreloop.exe", "x.dll", "y/X.Dll" },
          { "Tandreloop.exe", "x.dll", "y/X.Dll" }, "y/X.Dll" },
        { "no exe", { "first.dll" }, { "first.dll" }, "Tandreloop.exe" },
        { "exe in the wrong case", { "tandreloop.exe" }, { "tandreloop.exe" }, "Tandreloop.exe" },
        { "missing file", { "Tandreloop.exe" }, { "Tandreloop.exe", "missing.dll" }, "missing.dll" },
        { "folder given as a file", { "Tandreloop.exe", "sub/" }, { "Tandreloop.exe", "sub" }, "sub" },
        { "colon in the name", { "Tandreloop.exe", "a:b.dll" }, { "Tandreloop.exe", "a:b.dll" }, "a:b.dll" },
        { "backslash in the name", { "Tandreloop.exe", "x\\y.dll" }, { "Tandreloop.exe", "x\\y.dll" }, "x\\y.dll" },
        { "control character in the name", { "Tandreloop.exe", "a\tb.dll" }, { "Tandreloop.exe", "a\tb.dll" }, "a\tb.dll" },
        // Its stat size is 0 but it reads as text: the failure comes after writing began.
        { "file that grows while packed", { "Tandreloop.exe" }, { "Tandreloop.exe", "/proc/version" }, "/proc/version" },
        { "4 GiB file", { "Tandreloop.exe" }, { "Tandreloop.exe", "big.bin" }, "big.bin", "big.bin" },
    };
    for (const Refusal &c : cases)
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
        for (const std::string &file : c.files)
        {
            if (file.back() == '/')
                fs::create_directories(dir / file);
            else
                WriteAll(dir / file, "data");
        }
        if (c.sparse4GiB)
        {
            std::ofstream(dir / c.sparse4GiB).close();
            fs::resize_file(dir / c.sparse4GiB, 0x100000000ull);     // sparse: costs no disk
        }
        std::set<std::string> before = Listing();
        std::vector<std::string> args = { "pack", "-o", "payload.bin" };
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun run = Tool(args);
        EXPECT_EQ(run.exitCode, 1) << c.name;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << c.name << ": " << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << c.name << ": not one line: " << run.err;
        EXPECT_EQ(Listing(), before) << c.name;
    }
}

// Paths in the walk's order: each folder's files by the unsigned bytes of their names ("Über" after
// "z"), then its subfolders the same way, the top-level executable last. Files hold their paths.
TEST_F(PayloadTool, FolderIsWalkedInOneOrder)
{
    const std::string walk[] = { "B.dll", "a.dll", "link to a.dll", "z.txt", "Über.txt", "Zeta/Tandreloop.exe",
                                 "plugins/core.dll", "plugins/Filter One/f.dll", "plugins/de/Read me.txt",
                                 "plugins/de/help/empty", "Tandreloop.exe" };
    std::string expected;
    for (std::string path : walk)
    {
        bool link = path == "link to a.dll", empty = path.find("empty") != std::string::npos;
        link ? fs::create_symlink("a.dll", dir / "product" / path) : WriteAll(dir / "product" / path, empty ? "" : path);
        size_t cb = link ? 5 : empty ? 0 : path.size();
        std::replace(path.begin(), path.end(), '/', '\\');
        expected += path + "\t" + std::to_string(cb) + "\n";
    }
    ASSERT_EQ(Tool({ "pack", "--codepage", "1252", "-o", "payload.bin", "product/" }).exitCode, 0);
    EXPECT_EQ(Tool({ "list", "--codepage", "1252", "payload.bin" }).out.substr(0, expected.size() + 11),
              expected + "11 entries,");
    EXPECT_EQ(Tool({ "verify", "payload.bin" }).exitCode, 0);
}

// What a folder holds that cannot be carried as a file, names Windows would
// take for one, and names a code page cannot carry: one line naming the file,
// exit 1, an existing output untouched.
TEST_F(PayloadTool, FolderRefusesWhatItCannotCarry)
{
    using Add = std::function<void(const fs::path &)>;
    auto file = [](const char *name) -> Add { return [name](const fs::path &p) { WriteAll(p / name, "x"); }; };
    const struct { const char *name, *named, *mentions; Add add; const char *codePage = nullptr; } cases[] = {
        { "empty folder", "lib/empty", "empty", [](const fs::path &p) { fs::create_directory(p / "lib/empty"); } },
        { "dangling link", "lib/gone", "nothing", [](const fs::path &p) { fs::create_symlink("missing", p / "lib/gone"); } },
        { "link to a folder", "lib/up", "folder", [](const fs::path &p) { fs::create_directory_symlink("..", p / "lib/up"); } },
        { "fifo", "lib/pipe", "pipe", [](const fs::path &p) { mkfifo((p / "lib/pipe").c_str(), 0600); } },
        { "names differing in case", "lib/a.dll", "'lib\\A.DLL' (a file)", file("lib/A.DLL") },
        { "file named like a folder", "lib/a.dll", "'LIB' (a file) and 'lib' (a folder)", file("LIB") },
        { "folder spelt two ways", "lib/a.dll", "'Lib' (a folder) and 'lib' (a folder)", file("Lib/b.dll") },
        { "backslash in a name", "lib/x\\y", "backslash", file("lib/x\\y") },
        { "no code page", "lib/Über.txt", "not plain ASCII", file("lib/Über.txt") },
        { "invalid UTF-8", "bad\xFF.txt", "'bad\\xFF.txt' is not valid UTF-8", file("bad\xFF.txt"), "1252" },
        { "not in 1252", "日本.txt", "no character '日' (U+65E5)", file("日本.txt"), "1252" },
        { "case outside ASCII", "über.txt", "'ÜBER.TXT' (a file) and 'über.txt'",
          [](const fs::path &p) { WriteAll(p / "über.txt", "x"), WriteAll(p / "ÜBER.TXT", "x"); }, "1252" },
        { "read back as '\\'", "¥.txt", "no character '¥'", file("¥.txt"), "932" },     // iconv writes 0x5C
        { "0x5C trail byte", "表.txt", "0x5C byte", file("表.txt"), "932" },              // it would split the name
    };
    for (const auto &c : cases)
    {
        fs::remove_all(dir);
        WriteAll(dir / "product/Tandreloop.exe", "MZ");
        WriteAll(dir / "product/lib/a.dll", "a");
        WriteAll(dir / "payload.bin", "earlier output");
        c.add(dir / "product");
        std::set<std::string> before = Listing();
        std::vector<std::string> args = { "pack", "-o", "payload.bin", "product" };
        if (c.codePage)
            args.insert(args.end(), { "--codepage", c.codePage });
        ToolRun run = Tool(args);
        EXPECT_EQ(run.exitCode, 1) << c.name;
        EXPECT_EQ(run.err.rfind(std::string("payloadtool: product/") + c.named + ": ", 0), 0u) << c.name << ": " << run.err;
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << c.name << ": " << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << c.name << ": not one line: " << run.err;
        EXPECT_EQ(Listing(), before) << c.name;
        EXPECT_EQ(ReadAll(dir / "payload.bin"), "earlier output") << c.name;
    }
    EXPECT_EQ(Tool({ "pack", "--codepage", "437", "-o", "payload.bin", "product" }).exitCode, 1);  // not an ANSI one

    // Every refusal of a run is told, one a line: the first 50, then how many more.
    fs::remove_all(dir);
    for (const char *name : { "Tandreloop.exe", "NUL .txt", "CONOUT$.log", "lib/A.dll", "lib/a.dll" })
        WriteAll(dir / "product" / name, "x");
    for (int cEmpty : { 3, 61 })
    {
        for (int i = 0; i < cEmpty; i++)
            fs::create_directories(dir / "product/empty" / std::to_string(i));
        ToolRun run = Tool({ "pack", "-o", "payload.bin", "product" });
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), cEmpty == 3 ? 6 : 51) << run.err;
        for (const char *told : { "product/empty/2: an empty", "product/NUL .txt: ", "product/CONOUT$.log: ",
                                  "product/lib/a.dll: 'lib\\A.dll' (a file) and" })
            EXPECT_TRUE(cEmpty > 3 || run.err.find(told) != std::string::npos) << told << run.err;
        EXPECT_EQ(run.err.find("\npayloadtool: and 14 more\n") == run.err.size() - 26, cEmpty > 3) << run.err;
        EXPECT_FALSE(fs::exists(dir / "payload.bin"));
    }
}

// list shows the names in UTF-8 with the code page, and the bytes written without it.
TEST_F(PayloadTool, NamesAreWrittenInOneCodePage)
{
    const struct { const char *codePage, *name, *listed; } cases[] = {
        { "1252", "Über Notes.txt", "\\xDCber Notes.txt" },
        { "932", "日本.txt", "\\x93\\xFA\\x96{.txt" },
        { "1251", "Справка\\Ок.txt", "\\xD1\\xEF\\xF0\\xE0\\xE2\\xEA\\xE0\\\\xCE\\xEA.txt" },
    };
    for (const auto &c : cases)
    {
        std::string path = c.name;
        std::replace(path.begin(), path.end(), '\\', '/');
        fs::remove_all(dir);
        WriteAll(dir / "product/Tandreloop.exe", "MZ");
        WriteAll(dir / "product" / path, "x");
        ASSERT_EQ(Tool({ "pack", "--codepage", c.codePage, "-o", "payload.bin", "product" }).exitCode, 0) << c.name;
        EXPECT_EQ(Tool({ "list", "--codepage", c.codePage, "payload.bin" }).out.rfind(c.name + std::string("\t1\n"), 0), 0u);
        EXPECT_EQ(Tool({ "list", "payload.bin" }).out.rfind(c.listed + std::string("\t1\n"), 0), 0u) << c.name;
    }

    // Byte by byte a folder "\x95" and a file ".txt"; in code page 932 "表.txt".
    WriteAll(dir / "payload.split", std::string("Tandreloop.exe\0\1\0\0\0x\x95\\.txt\0\1\0\0\0x\0", 33));
    EXPECT_EQ(Tool({ "verify", "payload.split" }).exitCode, 0);
    EXPECT_NE(Tool({ "verify", "--codepage", "932", "payload.split" }).err.find("0x5C byte"), std::string::npos);
}

TEST_F(PayloadTool, AllowNoExeAppliesToPackAndVerify)
{
    WriteAll(dir / "first.dll", "lib");
    ASSERT_EQ(Tool({ "pack", "--allow-no-exe", "-o", "payload.bin", "first.dll" }).exitCode, 0);
    EXPECT_EQ(Tool({ "verify", "payload.bin" }).exitCode, 1);
    EXPECT_EQ(Tool({ "verify", "payload.bin", "--allow-no-exe" }).exitCode, 0);
}

TEST_F(PayloadTool, VerifyAndListRefuseDamagedPayloads)
{
    std::vector<Packed> files = SampleFiles();
    std::vector<std::string> args = WriteForPacking(files);
    ASSERT_EQ(Tool(args).exitCode, 0);
    std::string payload = ReadAll(dir / "payload.bin");

    // Offsets of the last entry, found with the reader rather than worked out here.
    const unsigned char *bytes = (const unsigned char *)payload.data();
    size_t pos = 0;
    PayloadEntry entry, last = {};
    while (NextPayloadEntry(bytes, payload.size(), &pos, &entry) == PAYLOAD_ENTRY)
        last = entry;
    size_t nameAt = (size_t)((const unsigned char *)last.name - bytes);
    size_t dataAt = (size_t)(last.data - bytes);
    const size_t cuts[] = { 0, nameAt + 3, dataAt - 2, dataAt + 1, pos };

    for (size_t cut : cuts)
    {
        WriteAll(dir / "payload.cut", payload.substr(0, cut));
        EXPECT_EQ(Tool({ "verify", "payload.cut" }).exitCode, 1) << "cut at " << cut;
        EXPECT_EQ(Tool({ "list", "payload.cut" }).exitCode, 1) << "cut at " << cut;
    }

    // The packer refuses these names, so the payload is put together by hand.
    // list tells the name the setup refuses; verify that and each clash.
    std::string clash;
    for (const char *name : { "Tandreloop.exe", "a.dll", "A.DLL", "CON .txt", "b", "B" })
        clash += std::string(name) + std::string("\0\1\0\0\0x", 6);
    clash += std::string(PAYLOAD_END_BYTES, '\0');
    WriteAll(dir / "payload.clash", clash);
    ToolRun list = Tool({ "list", "payload.clash" }), verify = Tool({ "verify", "payload.clash" });
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_EQ(list.err.rfind("payloadtool: payload.clash: entry 4: 'CON .txt'", 0), 0u) << list.err;
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_EQ(verify.err.rfind(list.err, 0), 0u) << verify.err;
    for (const char *told : { "entry 3: 'a.dll' (a file) and 'A.DLL'", "entry 6: 'b' (a file) and 'B'" })
        EXPECT_NE(verify.err.find(std::string("payload.clash: ") + told), std::string::npos) << verify.err;
}

TEST_F(PayloadTool, BadArgumentsShowUsage)
{
    const std::vector<std::string> cases[] = {
        {}, { "pack" }, { "pack", "-o", "payload.bin" }, { "pack", "Tandreloop.exe" },
        { "pack", "-o" }, { "pack", "-o", "a", "-o", "b", "Tandreloop.exe" },
        { "pack", "-o", "payload.bin", "--force", "Tandreloop.exe" },
        { "list" }, { "list", "a", "b" }, { "list", "--allow-no-exe", "a" }, { "verify" },
        { "unpack", "payload.bin" },
    };
    std::set<std::string> before = Listing();
    for (const std::vector<std::string> &args : cases)
    {
        ToolRun run = Tool(args);
        std::string shown = args.empty() ? "(none)" : args[0] + " ... (" + std::to_string(args.size()) + ")";
        EXPECT_EQ(run.exitCode, 2) << shown;
        EXPECT_NE(run.err.find("usage"), std::string::npos) << shown;
        EXPECT_EQ(Listing(), before) << shown;
    }
}

}  // namespace

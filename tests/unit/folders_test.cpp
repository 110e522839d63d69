// folders_test.cpp - where the setup may write: what Windows reports of a
// handle (attributes and reparse tag, as FileAttributeTagInfo gives them, and
// the link count) for each kind of place, and names as a double-byte Windows
// reads them (the path lengths are taken end to end, e2e.path-past-the-file-calls)

#include "folders.h"
#include "payload.h"

#include <gtest/gtest.h>

namespace {

/* Lead bytes of code page 932. */
int IsLeadByte932(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

TEST(Places, OnlyRealFoldersFilesOfTheirOwnAndNamesReadAlikeAreWritten)
{
    const struct
    {
        const char *what;
        uint32_t attributes, tag, cLinks;
        bool folder, file;      /* IsRealFolder, IsOwnFile */
    } places[] = {
        { "a folder", 0x10, 0, 1, true, false },
        { "a junction to a folder", 0x410, 0xA0000003, 1, false, false },
        { "a symbolic link to a folder", 0x410, 0xA000000C, 1, false, false },
        { "a synced folder (a cloud placeholder)", 0x410, 0x9000701A, 1, true, false },
        { "a reparse point without its tag (Wine's Unix link)", 0x410, 0, 1, false, false },
        { "a file", 0x20, 0, 1, false, true },
        { "a file with a second name (a hard link)", 0x20, 0, 2, false, false },
        { "a symbolic link to a file", 0x420, 0xA000000C, 1, false, false },
        { "a deduplicated file", 0x420, 0x80000013, 1, false, true },
    };
    for (const auto &p : places)
    {
        EXPECT_EQ(IsRealFolder(p.attributes, p.tag) != 0, p.folder) << p.what;
        EXPECT_EQ(IsOwnFile(p.attributes, p.tag, p.cLinks) != 0, p.file) << p.what;
    }

    EXPECT_TRUE(KeepsSeparators("plain\\name.txt", IsLeadByte932));
    EXPECT_TRUE(KeepsSeparators("\x81\x81\\x", IsLeadByte932));               // a trail byte in the lead range
    EXPECT_FALSE(KeepsSeparators("\x95\x5C\\x", IsLeadByte932));              // the setup reads 0x5C as a separator
    EXPECT_FALSE(KeepsSeparators("Caf\xE9\\x.txt", IsLeadByte932));           // 1252's "Café\x.txt"
    EXPECT_FALSE(KeepsSeparators("Caf\xE9", IsLeadByte932));                  // a lead byte at the end
    EXPECT_TRUE(KeepsSeparators("Caf\xE9\\x.txt", [](unsigned char) { return 0; }));   // 1252 itself
}

}  // namespace

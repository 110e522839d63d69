// folders_test.cpp - where the setup may write: what Windows reports of a
// handle (attributes and reparse tag, as FileBasicInfo and FileAttributeTagInfo
// give them) for each kind of place, and names as a double-byte Windows
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

TEST(Places, OnlyRealFoldersAndNamesReadAlikeAreWritten)
{
    const struct
    {
        const char *what;
        uint32_t attributes, tag;
        bool folder;
    } places[] = {
        { "a folder", 0x10, 0, true },
        { "a junction to a folder", 0x410, 0xA0000003, false },
        { "a symbolic link to a folder", 0x410, 0xA000000C, false },
        { "a synced folder (a cloud placeholder)", 0x410, 0x9000701A, true },
        { "a reparse point without its tag (Wine's Unix link)", 0x410, 0, false },
        { "a file", 0x20, 0, false },
        { "a symbolic link to a file", 0x420, 0xA000000C, false },
        { "a deduplicated file", 0x420, 0x80000013, false },
    };
    for (const auto &p : places)
    {
        EXPECT_EQ(IsRealFolder(p.attributes, p.tag) != 0, p.folder) << p.what;
    }

    EXPECT_TRUE(KeepsSeparators("plain\\name.txt", IsLeadByte932));
    EXPECT_TRUE(KeepsSeparators("\x81\x81\\x", IsLeadByte932));               // a trail byte in the lead range
    EXPECT_FALSE(KeepsSeparators("\x95\x5C\\x", IsLeadByte932));              // the setup reads 0x5C as a separator
    EXPECT_FALSE(KeepsSeparators("Caf\xE9\\x.txt", IsLeadByte932));           // 1252's "Café\x.txt"
    EXPECT_FALSE(KeepsSeparators("Caf\xE9", IsLeadByte932));                  // a lead byte at the end
    EXPECT_TRUE(KeepsSeparators("Caf\xE9\\x.txt", [](unsigned char) { return 0; }));   // 1252 itself
}

}  // namespace

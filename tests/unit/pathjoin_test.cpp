// pathjoin_test.cpp - tests of the rotating JoinPath slots and of AppendText
//
// The ring is shared by every call in the process, so no test assumes which slot
// comes next; each finds out from the pointers it gets back.

#include "pathjoin.h"

#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

namespace {

// Dirties every slot, so a join that forgets to clear its slot shows old text.
void FillRing()
{
    for (int i = 0; i < PATH_RING_SLOTS; i++)
        JoinPath("left over from an earlier call");
}

struct JoinCase
{
    const char *pieces[5];
    const char *expected;
};

const JoinCase kJoinCases[] = {
    { { nullptr, nullptr, nullptr, nullptr, nullptr }, "" },
    { { "a", nullptr, "b", nullptr, "c" }, "abc" },
    { { nullptr, nullptr, nullptr, nullptr, "e" }, "e" },
    { { "C:\\Program Files", "\\", "Tandreloop", "\\", "Tandreloop.exe" }, "C:\\Program Files\\Tandreloop\\Tandreloop.exe" },
    { { "", "", "x", "", "" }, "x" },
};

TEST(JoinPath, JoinsTheNonNullPiecesInOrder)
{
    for (const JoinCase &c : kJoinCases)
    {
        FillRing();
        const char *joined = JoinPath(c.pieces[0], c.pieces[1], c.pieces[2], c.pieces[3], c.pieces[4]);
        EXPECT_STREQ(joined, c.expected);
    }
}

TEST(JoinPath, EleventhCallReusesTheFirstSlotOnly)
{
    char *slots[PATH_RING_SLOTS + 1];
    std::string texts[PATH_RING_SLOTS + 1];
    for (int i = 0; i <= PATH_RING_SLOTS; i++)
    {
        texts[i] = "call " + std::to_string(i + 1);
        slots[i] = JoinPath(texts[i].c_str());
    }
    EXPECT_EQ(slots[PATH_RING_SLOTS], slots[0]);
    EXPECT_STREQ(slots[0], texts[PATH_RING_SLOTS].c_str());
    for (int i = 1; i < PATH_RING_SLOTS; i++)
    {
        EXPECT_STREQ(slots[i], texts[i].c_str()) << "call " << i + 1;
        for (int j = 0; j < i; j++)
            EXPECT_NE(slots[i], slots[j]) << "calls " << j + 1 << " and " << i + 1;
    }
}

struct CutCase
{
    size_t pieceBytes[5];
};

// Totals around the 1,279 bytes a slot holds, with the cut falling in different pieces.
const CutCase kCutCases[] = {
    { { PATH_SLOT_BYTES - 1, 0, 0, 0, 0 } },
    { { PATH_SLOT_BYTES, 0, 0, 0, 0 } },
    { { 1000, 279, 0, 0, 0 } },
    { { 1000, 280, 0, 0, 0 } },
    { { 1000, 200, 79, 1, 0 } },
    { { 300, 300, 300, 300, 300 } },
    { { 2000, 2000, 2000, 2000, 2000 } },
};

TEST(JoinPath, CutsLongTextAtTheSlotAndLeavesTheNextSlotAlone)
{
    for (const CutCase &c : kCutCases)
    {
        std::string pieces[5], whole;
        for (int i = 0; i < 5; i++)
        {
            pieces[i].assign(c.pieceBytes[i], (char)('A' + i));
            whole += pieces[i];
        }

        // Find a slot whose neighbour in memory is also a ring slot, and make that
        // slot the next one handed out, so the byte past it can be read and watched.
        char *slots[PATH_RING_SLOTS];
        for (int i = 0; i < PATH_RING_SLOTS; i++)
            slots[i] = JoinPath("neighbour");
        int target = -1;
        char *neighbour = nullptr;
        for (int i = 0; i < PATH_RING_SLOTS && target < 0; i++)
        {
            for (int j = 0; j < PATH_RING_SLOTS; j++)
            {
                if (slots[j] == slots[i] + PATH_SLOT_BYTES)
                {
                    target = i;
                    neighbour = slots[j];
                }
            }
        }
        ASSERT_GE(target, 0) << "no two ring slots are adjacent";
        for (int i = 0; i < target; i++)
            JoinPath("neighbour");
        std::string neighbourBefore = neighbour;

        const char *joined = JoinPath(pieces[0].c_str(), pieces[1].c_str(), pieces[2].c_str(),
                                      pieces[3].c_str(), pieces[4].c_str());
        ASSERT_EQ(joined, slots[target]);
        size_t expectedBytes = whole.size() < PATH_SLOT_BYTES - 1 ? whole.size() : PATH_SLOT_BYTES - 1;
        EXPECT_EQ(memchr(joined, 0, PATH_SLOT_BYTES), joined + expectedBytes);
        EXPECT_EQ(std::string(joined, expectedBytes), whole.substr(0, expectedBytes));
        EXPECT_EQ(std::string(neighbour), neighbourBefore);
    }
}

struct AppendCase
{
    const char *name;
    size_t cbTarget;
    const char *before;
    const char *text;
    int expectedWhole;
    const char *expectedAfter;
};

const AppendCase kAppendCases[] = {
    { "fits exactly", 8, "abc", "defg", 1, "abcdefg" },
    { "one byte too many", 8, "abc", "defgh", 0, "abcdefg" },
    { "far too long", 8, "abc", "defghijklmnop", 0, "abcdefg" },
    { "empty text", 8, "abc", "", 1, "abc" },
    { "target already full", 4, "abc", "d", 0, "abc" },
    { "into an empty target", 4, "", "xyz", 1, "xyz" },
    { "one-byte target", 1, "", "x", 0, "" },
};

TEST(AppendText, AppendsWhatFitsAndAlwaysTerminates)
{
    const char kGuard = '#';
    for (const AppendCase &c : kAppendCases)
    {
        std::vector<char> buffer(c.cbTarget + 16, kGuard);
        memcpy(buffer.data(), c.before, strlen(c.before) + 1);
        EXPECT_EQ(AppendText(buffer.data(), c.cbTarget, c.text), c.expectedWhole) << c.name;
        EXPECT_STREQ(buffer.data(), c.expectedAfter) << c.name;
        for (size_t i = c.cbTarget; i < buffer.size(); i++)
            ASSERT_EQ(buffer[i], kGuard) << c.name << ": wrote past the target at " << i;
    }
}

TEST(AppendText, UnterminatedTargetTakesNothing)
{
    char buffer[12];
    memset(buffer, 'z', sizeof(buffer));
    EXPECT_EQ(AppendText(buffer, 8, "a"), 0);
    for (size_t i = 0; i < sizeof(buffer); i++)
        EXPECT_EQ(buffer[i], 'z') << "byte " << i;
}

}  // namespace

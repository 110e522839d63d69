// payload_test.cpp - tests of the bounded payload walk and of the entry name rule
//
// Every payload is handed over followed by bytes that would complete it (zeros),
// so a reader that looks past cbPayload finds a plausible entry there and fails.

#include "payload.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

void AddBytes(Bytes &payload, const std::string &text)
{
    payload.insert(payload.end(), text.begin(), text.end());
}

void AddLength(Bytes &payload, unsigned long cb)
{
    for (int i = 0; i < 4; i++)
        payload.push_back((unsigned char)(cb >> (8 * i)));
}

void AddEntry(Bytes &payload, const std::string &name, const std::string &data)
{
    AddBytes(payload, name);
    payload.push_back(0);
    AddLength(payload, data.size());
    AddBytes(payload, data);
}

Bytes EndMark()
{
    return Bytes(PAYLOAD_END_BYTES, 0);
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Entry(const std::string &name, const std::string &data)
{
    Bytes payload;
    AddEntry(payload, name, data);
    return payload;
}

struct Walk
{
    std::vector<std::string> names, data;
    PayloadStep last;
    size_t lastPos;
};

Walk WalkAll(const Bytes &payload)
{
    Bytes padded = payload + Bytes(64, 0);
    Walk walk;
    size_t pos = 0;
    PayloadEntry entry;
    while ((walk.last = NextPayloadEntry(padded.data(), payload.size(), &pos, &entry)) == PAYLOAD_ENTRY)
    {
        walk.names.push_back(entry.name);
        walk.data.push_back(std::string((const char *)entry.data, entry.cbData));
        if (walk.names.size() > payload.size())
            break;
    }
    walk.lastPos = pos;
    return walk;
}

struct GoodCase
{
    const char *name;
    Bytes entries, endMark;
    std::vector<std::string> names, data;
};

TEST(PayloadWalk, ReadsWellFormedPayloads)
{
    std::string allBytes;
    for (int b = 0; b < 256; b++)
        allBytes += (char)b;
    const GoodCase cases[] = {
        { "shipped form",
          Entry("first.dll", "MZ first") + Entry("second.dll", "MZ second") + Entry("Tandreloop.exe", "MZ exe"), EndMark(),
          { "first.dll", "second.dll", "Tandreloop.exe" }, { "MZ first", "MZ second", "MZ exe" } },
        { "end mark alone", Bytes(), EndMark(), {}, {} },
        { "one-byte end mark: the reader needs no more", Entry("Tandreloop.exe", "x"), Bytes(1, 0),
          { "Tandreloop.exe" }, { "x" } },
        { "zero-length entry", Entry("empty", "") + Entry("Tandreloop.exe", "x"), EndMark(),
          { "empty", "Tandreloop.exe" }, { "", "x" } },
        { "data holding zeros and every byte value", Entry("all.bin", allBytes), EndMark(), { "all.bin" }, { allBytes } },
        { "255-byte name", Entry(std::string(255, 'n'), "d"), EndMark(), { std::string(255, 'n') }, { "d" } },
        { "names with folder parts", Entry("plug ins\\de\\a.dll", "a") + Entry("plug ins\\b", ""), EndMark(),
          { "plug ins\\de\\a.dll", "plug ins\\b" }, { "a", "" } },
        { "name with high bytes, spaces and dots", Entry("r\xE9sum\xE9 v1.2 .txt", "t"), EndMark(),
          { "r\xE9sum\xE9 v1.2 .txt" }, { "t" } },
    };
    for (const GoodCase &c : cases)
    {
        Bytes payload = c.entries + c.endMark;
        Walk walk = WalkAll(payload);
        EXPECT_EQ(walk.last, PAYLOAD_END) << c.name;
        EXPECT_EQ(walk.names, c.names) << c.name;
        EXPECT_EQ(walk.data, c.data) << c.name;
        EXPECT_EQ(walk.lastPos, c.entries.size()) << c.name;
        EXPECT_EQ(CheckPayload(payload.data(), payload.size()), 1) << c.name;
    }
}

TEST(PayloadWalk, TwelveCharacterNameLayout)
{
    // Name at 0..11, its zero at 12, the length at 13..16, data from 17.
    Bytes payload = Entry("Tandreloop.x", "abc") + EndMark();
    size_t pos = 0;
    PayloadEntry entry;
    ASSERT_EQ(NextPayloadEntry(payload.data(), payload.size(), &pos, &entry), PAYLOAD_ENTRY);
    EXPECT_EQ((const unsigned char *)entry.name, payload.data());
    EXPECT_EQ(entry.cbData, 3u);
    EXPECT_EQ(entry.data, payload.data() + 17);
    EXPECT_EQ(pos, 20u);
    EXPECT_EQ(NextPayloadEntry(payload.data(), payload.size(), &pos, &entry), PAYLOAD_END);
    EXPECT_EQ(pos, 20u);

    // The length's bytes are little-endian: 0x00000201 bytes of data.
    Bytes wide = Entry("Tandreloop.x", std::string(0x201, 'w')) + EndMark();
    EXPECT_EQ(wide[13], 0x01);
    EXPECT_EQ(wide[14], 0x02);
    pos = 0;
    ASSERT_EQ(NextPayloadEntry(wide.data(), wide.size(), &pos, &entry), PAYLOAD_ENTRY);
    EXPECT_EQ(entry.cbData, 0x201u);
}

struct DamageCase
{
    std::string name;
    Bytes payload;
    size_t entriesBefore;   /* good entries the walk returns before the damage */
};

Bytes Text(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

Bytes Length(unsigned long cb)
{
    Bytes bytes;
    AddLength(bytes, cb);
    return bytes;
}

std::vector<DamageCase> DamageCases()
{
    Bytes good = Entry("good.dll", "gg");
    std::vector<DamageCase> cases = {
        { "empty buffer", Bytes(), 0 },
        { "nothing after a good entry", good, 1 },
        { "name runs to the end", Text("Tandreloop.exe"), 0 },
        { "name runs to the end after a good entry", good + Text("x"), 1 },
        { "length field absent", Text("a") + Bytes(1, 0), 0 },
        { "data runs past the end by one", Text("a") + Bytes(1, 0) + Length(5) + Text("1234"), 0 },
        { "data runs past the end after a good entry", good + Text("a") + Bytes(1, 0) + Length(1), 1 },
        { "length 0xFFFFFFFF", Text("a") + Bytes(1, 0) + Length(0xFFFFFFFFul) + Text("data") + EndMark(), 0 },
        { "length 0xFFFFFFFF with nothing after", Text("a") + Bytes(1, 0) + Length(0xFFFFFFFFul), 0 },
        { "256-byte name", Entry(std::string(256, 'n'), "") + EndMark(), 0 },
    };
    for (size_t cut = 0; cut < PAYLOAD_LENGTH_BYTES; cut++)
        cases.push_back({ "length field cut to " + std::to_string(cut) + " bytes",
                          good + Text("b") + Bytes(1, 0) + Bytes(cut, 0), 1 });
    const std::string badNames[] = { "\\a", "a\\", "a\\\\b", "a\\..\\b", "C:\\a", "a\\nul\\b", "a/b", "c:b", "b:", ".", "..", "a\x01", "\x1F", "a\x7F",
                                     "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "\t", "a\nb" };
    for (const std::string &bad : badNames)
    {
        cases.push_back({ "name '" + bad + "' first", Entry(bad, "x") + Entry("Tandreloop.exe", "e") + EndMark(), 0 });
        cases.push_back({ "name '" + bad + "' after a good entry", good + Entry(bad, "x") + EndMark(), 1 });
    }
    return cases;
}

TEST(PayloadWalk, RefusesDamagedPayloads)
{
    for (const DamageCase &c : DamageCases())
    {
        Walk walk = WalkAll(c.payload);
        EXPECT_EQ(walk.last, PAYLOAD_DAMAGED) << c.name;
        EXPECT_EQ(walk.names.size(), c.entriesBefore) << c.name;
        EXPECT_EQ(CheckPayload(c.payload.data(), c.payload.size()), 0) << c.name;
    }
}

TEST(PayloadWalk, PositionPastTheEndIsDamage)
{
    Bytes payload = EndMark();
    PayloadEntry entry;
    for (size_t pos : { payload.size(), payload.size() + 1, (size_t)-1 })
    {
        size_t at = pos;
        EXPECT_EQ(NextPayloadEntry(payload.data(), payload.size(), &at, &entry), PAYLOAD_DAMAGED) << pos;
    }
}

TEST(IsBareFileName, AcceptsOrdinaryNames)
{
    const std::string names[] = { "Tandreloop.exe", "a", "a.b.c", "with space.dll", ".hidden",
                                   "CONSOLE.txt", "COM0", "LPT10", "nul2", "auxiliary", "NUL x.txt", "NULL .txt",
                                   "CONIN", "CONIN$$.dat", "conout$1", "CONOUT.txt",
                                   // Beside the superscripts (bytes below) and two of them: no devices.
                                   "COM\xB4", "LPT\xBC.txt", "COM\xB9\xB2", "COM\xB9x.log", "LPT\xA9\xF5", "COM\xA9",
                                   "\x80\xFF\xE9t\xE9.txt", "#[]{}()!$%&'+,;=@^`~",
                                   // Near the setup's own temporary names, but not them.
                                   "~T0000G.part", "~T000001.part", "~T00001.parts", "~U00001.prev", "~T.journals",
                                   std::string(PAYLOAD_PART_MAX, 'x') };
    for (const std::string &name : names)
    {
        EXPECT_EQ(IsBareFileName(name.c_str()), 1) << name;
        EXPECT_EQ(IsPayloadPath(name.c_str()), 1) << name;
    }
}

TEST(IsBareFileName, RefusesFolderPartsControlAndReservedCharacters)
{
    // Trailing dots and spaces are dropped by Windows; device names open devices.
    std::vector<std::string> names = { "", ".", "..", "...", "name.", "name ", " ",
                                       "CON", "nul", "Aux.dll", "prn.txt.exe", "COM1", "lpt9.log",
                                       // Windows drops the spaces that end the part before the first dot.
                                       "NUL .txt", "COM1 .log", "con  .x", "AUX. .txt", "CONIN$", "conin$.dat",
                                       "CONOUT$ .txt", "COM\xB9 .log", "lpt\xA9\xF7  .txt",
                                       // COM and LPT with a superscript 1, 2 or 3: in 1252 and its kin,
                                       // and in 949, which writes them with two bytes.
                                       "COM\xB9", "com\xB2.log", "Lpt\xB3.txt.exe", "LPT\xB9", "COM\xA9\xF6.log",
                                       "lpt\xA9\xF7", "COM\xA9\xF8.txt",
                                       // The setup's own, which it removes after an install that was cut short.
                                       "~T00000.part", "~t0ABcf.PREV", "~T.JOURNAL",
                                       std::string(PAYLOAD_PART_MAX + 1, 'x') };
    for (int c = 1; c < 0x20; c++)
        names.push_back("a" + std::string(1, (char)c) + "b");
    for (char c : std::string("\x7F\\/:<>\"|?*"))
    {
        names.push_back(std::string(1, c));
        names.push_back("name" + std::string(1, c));
        names.push_back(std::string(1, c) + "name");
    }
    for (const std::string &name : names)
    {
        EXPECT_EQ(IsBareFileName(name.c_str()), 0) << "'" << name << "' (" << name.size() << " bytes)";
        // A bad part is bad in any folder, too.
        EXPECT_EQ(IsPayloadPath(("a\\" + name + "\\b").c_str()), 0) << "'" << name << "'";
    }
}

TEST(IsPayloadPath, FolderPartsAreBareNamesJoinedBySingleBackslashes)
{
    std::string part(PAYLOAD_PART_MAX, 'p');
    std::string longest = part + "\\" + part + "\\" + part + "\\" + std::string(PAYLOAD_NAME_MAX - 3 * 256 - 2, 'f') + "\\g";
    for (const std::string &name : { std::string("a\\b"), std::string("Plug Ins\\de-DE\\x.dll"), longest })
        EXPECT_EQ(IsPayloadPath(name.c_str()), 1) << name;
    for (const std::string &name : { std::string("\\a"), std::string("a\\"), std::string("a\\\\b"),
                                     std::string("\\\\server\\a"), std::string("C:\\a"), std::string("a\\..\\..\\b"),
                                     std::string("a\\.\\b"), std::string("a\\b.\\c"), std::string("COM1\\a"),
                                     std::string("a/b\\c"), longest + "x" })
        EXPECT_EQ(IsPayloadPath(name.c_str()), 0) << name;
}

}  // namespace

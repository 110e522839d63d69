// testimage.cpp - a small 32-bit Windows image laid out as a linked setup is
//
// Headers, a code section, a resource section and the relocations after it,
// written byte by byte here rather than by the code under test. The resources:
// the payload (type "BINARY", id 115, language 2057), the payload forms the
// setup reads when given (type "BINARY", id 116), a licence (type "LICENSE",
// id 111), version data (type 16, id 1) and a manifest (type 24, id 1), so
// that both kinds of key come in the order Windows searches them.

#include "testimage.h"

#include <string.h>

#include <vector>

static void Put16(std::string &b, size_t at, unsigned v)
{
    b[at] = (char)(v & 0xFF);
    b[at + 1] = (char)(v >> 8 & 0xFF);
}

static void Put32(std::string &b, size_t at, unsigned v)
{
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

static void PutName(std::string &b, size_t at, const char *name)
{
    Put16(b, at, (unsigned)strlen(name));
    for (size_t i = 0; name[i]; i++)
        Put16(b, at + 2 + 2 * i, (unsigned char)name[i]);
}

std::string MakeTestImage(const std::string &payload, const std::string &license, const std::string &forms)
{
    const unsigned rsrcVa = 0x2000, rsrcRaw = 0x400;
    const std::string version = "version data";
    const std::string manifest = "<assembly/>";

    // The resource section: tables, data entries, names, then the data.
    struct Resource { unsigned type, id; const std::string *data; };
    std::vector<Resource> resources = { { 0, 115, &payload }, { 1, 111, &license }, { 2, 1, &version },
                                        { 3, 1, &manifest } };
    if (!forms.empty())
        resources.insert(resources.begin() + 1, { 0, 116, &forms });
    const unsigned types = 4, count = (unsigned)resources.size(), typeTables = 16 + 8 * types;
    const unsigned languageTables = typeTables + 16 * types + 8 * count;
    const unsigned entries = languageTables + 0x18 * count, names = entries + 0x10 * count;
    std::string r(names + 0x20, '\0');
    Put16(r, 12, 2), Put16(r, 14, types - 2);                    // root: 2 named types, then numbered ones
    const unsigned typeKeys[] = { 0x80000000 | names, 0x80000000 | (names + 0x10), 16, 24 };
    for (unsigned type = 0, i = 0, nameTable = typeTables; type < types; type++)
    {
        unsigned cNames = 0;
        for (const Resource &resource : resources)
            cNames += resource.type == type;
        Put32(r, 16 + 8 * type, typeKeys[type]), Put32(r, 20 + 8 * type, 0x80000000 | nameTable);
        Put16(r, nameTable + 14, cNames);
        for (unsigned n = 0; n < cNames; n++, i++)
        {
            unsigned languageTable = languageTables + 0x18 * i;
            Put32(r, nameTable + 16 + 8 * n, resources[i].id);
            Put32(r, nameTable + 20 + 8 * n, 0x80000000 | languageTable);
            Put16(r, languageTable + 14, 1);
            Put32(r, languageTable + 16, 2057), Put32(r, languageTable + 20, entries + 0x10 * i);
        }
        nameTable += 16 + 8 * cNames;
    }
    PutName(r, names, "BINARY");
    PutName(r, names + 0x10, "LICENSE");
    for (unsigned i = 0; i < count; i++)
    {
        Put32(r, entries + 0x10 * i, rsrcVa + (unsigned)r.size());
        Put32(r, entries + 0x10 * i + 4, (unsigned)resources[i].data->size());
        r += *resources[i].data;
        r.resize((r.size() + 7) / 8 * 8, '\0');
    }
    unsigned cbRsrc = (unsigned)r.size(), cbRsrcRaw = (cbRsrc + 0x1FF) / 0x200 * 0x200;
    unsigned relocVa = rsrcVa + (cbRsrc + 0xFFF) / 0x1000 * 0x1000, relocRaw = rsrcRaw + cbRsrcRaw;

    std::string b(relocRaw + 0x200, '\0');
    b[0] = 'M', b[1] = 'Z';
    Put32(b, 0x3C, 0x40);
    memcpy(&b[0x40], "PE\0\0", 4);
    size_t coff = 0x44, oh = 0x58, sections = oh + 224;
    Put16(b, coff, 0x014C), Put16(b, coff + 2, 3), Put16(b, coff + 16, 224), Put16(b, coff + 18, 0x0102);
    Put16(b, oh, 0x010B);
    Put32(b, oh + 16, 0x1000);                                   // entry point
    Put32(b, oh + 28, 0x400000);
    Put32(b, oh + 32, 0x1000), Put32(b, oh + 36, 0x200);
    Put32(b, oh + 56, relocVa + 0x1000), Put32(b, oh + 60, 0x200);
    Put16(b, oh + 68, 2);                                        // GUI
    Put32(b, oh + 92, 16);
    Put32(b, oh + 96 + 16, rsrcVa), Put32(b, oh + 96 + 20, cbRsrc);
    Put32(b, oh + 96 + 40, relocVa), Put32(b, oh + 96 + 44, 12);
    struct { const char *name; unsigned va, cb, cbRaw, raw; } table[] = {
        { ".text", 0x1000, 0x10, 0x200, 0x200 },
        { ".rsrc", rsrcVa, cbRsrc, cbRsrcRaw, rsrcRaw },
        { ".reloc", relocVa, 12, 0x200, relocRaw },
    };
    for (unsigned i = 0; i < 3; i++)
    {
        size_t h = sections + 40 * i;
        memcpy(&b[h], table[i].name, strlen(table[i].name));
        Put32(b, h + 8, table[i].cb), Put32(b, h + 12, table[i].va);
        Put32(b, h + 16, table[i].cbRaw), Put32(b, h + 20, table[i].raw);
        Put32(b, h + 36, i == 0 ? 0x60000020 : 0x40000040);
    }
    memset(&b[0x200], 0xC3, 0x10);                                // ret
    memcpy(&b[rsrcRaw], r.data(), r.size());
    Put32(b, relocRaw, 0x1000), Put32(b, relocRaw + 4, 12), Put16(b, relocRaw + 8, 0x3004);
    return b;
}

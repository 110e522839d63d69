// peimage.cpp - reads a built setup.exe and lays it out again with another payload

#include "peimage.h"

#include <string.h>

#include <algorithm>

#define MAX_SECTIONS        96
/* Entries visited in the resource directory. A setup has a dozen; the reader
   compares resources pairwise for duplicates, so the bound also keeps a hostile
   directory from taking minutes. */
#define MAX_TABLE_ENTRIES   4096
#define MAX_KEPT_BYTES      (16u << 20)     /* code, data and resources other than the payload */
#define DIR_RESOURCE        2
#define DIR_SECURITY        4
#define DIR_BASERELOC       5
#define DATA_ALIGN          8               /* of each resource's data in the section */

static uint16_t Get16(const unsigned char *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

static uint32_t Get32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

static void Put16(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}

static void Put32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

static uint64_t AlignUp(uint64_t v, uint64_t to)
{
    return (v + to - 1) / to * to;
}

static bool IsPowerOfTwo(uint32_t v)
{
    return v && !(v & (v - 1));
}

static ImageResult Refuse(ImageResult result, std::string *why, const std::string &text)
{
    *why = text;
    return result;
}

/* ---- the resource directory ---- */

struct DirectoryReader
{
    const unsigned char *section;   /* the resource section's bytes in the file */
    uint32_t cb;                    /* how many of them the file holds */
    unsigned entriesLeft;
};

static bool ReadKey(DirectoryReader *reader, uint32_t raw, ResourceKey *key)
{
    key->isName = (raw & 0x80000000u) != 0;
    key->id = 0;
    key->name.clear();
    if (!key->isName)
    {
        if (raw > 0xFFFF)
            return false;
        key->id = (uint16_t)raw;
        return true;
    }
    uint32_t at = raw & 0x7FFFFFFFu;
    if (at >= reader->cb || reader->cb - at < 2)
        return false;
    uint32_t cch = Get16(reader->section + at);
    if ((reader->cb - at - 2) / 2 < cch)
        return false;
    for (uint32_t i = 0; i < cch; i++)
        key->name.push_back((char16_t)Get16(reader->section + at + 2 + 2 * i));
    return true;
}

/* A directory table at offset at: calls back with each entry's key and target. */
template <typename Visit>
static bool ReadTable(DirectoryReader *reader, uint32_t at, Visit visit)
{
    if (at >= reader->cb || reader->cb - at < 16)
        return false;
    uint32_t count = Get16(reader->section + at + 12) + Get16(reader->section + at + 14);
    if ((reader->cb - at - 16) / 8 < count || count > reader->entriesLeft)
        return false;
    reader->entriesLeft -= count;
    for (uint32_t i = 0; i < count; i++)
    {
        const unsigned char *entry = reader->section + at + 16 + 8 * i;
        ResourceKey key;
        if (!ReadKey(reader, Get32(entry), &key) || !visit(key, Get32(entry + 4)))
            return false;
    }
    return true;
}

static bool IsPayloadType(const ResourceKey &key)
{
    static const char s_type[] = IMAGE_PAYLOAD_TYPE;
    if (!key.isName || key.name.size() != sizeof(s_type) - 1)
        return false;
    for (size_t i = 0; i < key.name.size(); i++)
    {
        char16_t c = key.name[i];
        if (c >= 'a' && c <= 'z')
            c = (char16_t)(c - 'a' + 'A');
        if (c != (char16_t)s_type[i])
            return false;
    }
    return true;
}

static bool SameKey(const ResourceKey &a, const ResourceKey &b)
{
    return a.isName == b.isName && a.id == b.id && a.name == b.name;
}

/* Windows looks resources up by binary search: named entries first, in order,
   then numbered ones in ascending order. */
static bool KeyBefore(const ResourceKey &a, const ResourceKey &b)
{
    if (a.isName != b.isName)
        return a.isName;
    return a.isName ? a.name < b.name : a.id < b.id;
}

static ImageResult ReadResources(const unsigned char *file, SetupImage *image, std::string *why)
{
    const ImageSection &rsrc = image->sections[image->rsrc];
    DirectoryReader reader = { file + rsrc.rawOffset, std::min(rsrc.virtualSize, rsrc.cbRaw), MAX_TABLE_ENTRIES };
    uint64_t cbKept = 0;
    bool ok = ReadTable(&reader, 0, [&](const ResourceKey &type, uint32_t typeTarget) {
        return (typeTarget & 0x80000000u) &&
               ReadTable(&reader, typeTarget & 0x7FFFFFFFu, [&](const ResourceKey &name, uint32_t nameTarget) {
            return (nameTarget & 0x80000000u) &&
                   ReadTable(&reader, nameTarget & 0x7FFFFFFFu, [&](const ResourceKey &language, uint32_t leaf) {
                if (language.isName || (leaf & 0x80000000u) || leaf >= reader.cb || reader.cb - leaf < 16)
                    return false;
                uint32_t rva = Get32(reader.section + leaf), cb = Get32(reader.section + leaf + 4);
                if (rva < rsrc.virtualAddress || rva - rsrc.virtualAddress > reader.cb ||
                    reader.cb - (rva - rsrc.virtualAddress) < cb)
                    return false;
                ImageResource resource = { type, name, language.id, Get32(reader.section + leaf + 8),
                                           rsrc.rawOffset + (uint64_t)(rva - rsrc.virtualAddress), cb, false };
                resource.isPayload = IsPayloadType(type) && !name.isName && name.id == IMAGE_PAYLOAD_ID &&
                                     language.id == IMAGE_PAYLOAD_LANGUAGE;
                if (!resource.isPayload)
                    cbKept += cb;
                image->resources.push_back(resource);
                return true;
            });
        });
    });
    if (!ok)
        return Refuse(IMAGE_DAMAGED, why, "damaged resource directory");
    image->payload = image->resources.size();
    for (size_t i = 0; i < image->resources.size(); i++)
    {
        const ImageResource &r = image->resources[i];
        for (size_t j = 0; j < i; j++)
        {
            const ImageResource &s = image->resources[j];
            if (SameKey(r.type, s.type) && SameKey(r.name, s.name) && r.language == s.language)
                return Refuse(IMAGE_DAMAGED, why, "damaged resource directory (a resource appears twice)");
        }
        if (r.isPayload)
            image->payload = i;
    }
    if (image->payload == image->resources.size())
        return Refuse(IMAGE_NO_PAYLOAD, why, "no payload resource (type BINARY, id 115, language 2057): not a setup");
    if (cbKept > MAX_KEPT_BYTES)
        return Refuse(IMAGE_UNSUPPORTED, why, "more than 16 MiB of resources besides the payload: not a setup");
    return IMAGE_OK;
}

bool ImageReadsForm(const unsigned char *file, const SetupImage &image, const char *form)
{
    for (const ImageResource &r : image.resources)
    {
        if (!IsPayloadType(r.type) || r.name.isName || r.name.id != IMAGE_FORMS_ID || r.language != IMAGE_PAYLOAD_LANGUAGE)
            continue;
        std::string words((const char *)file + r.fileOffset, r.cbData);
        words = " " + words.substr(0, words.find('\0')) + " ";
        return words.find(" " + std::string(form) + " ") != std::string::npos;
    }
    return false;
}

/* ---- headers and sections ---- */

ImageResult ReadSetupImage(const unsigned char *file, uint64_t cbFile, bool allowSigned,
                           SetupImage *image, std::string *why)
{
    *image = SetupImage();
    image->cbFile = cbFile;
    if (cbFile < 0x40 || file[0] != 'M' || file[1] != 'Z')
        return Refuse(IMAGE_NOT_WINDOWS, why, "not a Windows image (no MZ header)");
    uint32_t pe = Get32(file + 0x3C);
    if (pe > cbFile || cbFile - pe < 24 || memcmp(file + pe, "PE\0\0", 4) != 0)
        return Refuse(IMAGE_NOT_WINDOWS, why, "not a Windows image (no PE header)");
    const unsigned char *coff = file + pe + 4;
    if (Get16(coff) != 0x014C)
        return Refuse(IMAGE_NOT_WINDOWS, why, "not a 32-bit x86 Windows image");
    uint32_t count = Get16(coff + 2), cbOptional = Get16(coff + 16);
    if (!(Get16(coff + 18) & 0x0002))
        return Refuse(IMAGE_NOT_WINDOWS, why, "not an executable image");
    size_t oh = pe + 24;
    if (cbOptional < 96 + 8 * (DIR_BASERELOC + 1) || cbFile - oh < cbOptional)
        return Refuse(IMAGE_DAMAGED, why, "damaged headers (optional header too short)");
    if (Get16(file + oh) != 0x010B)
        return Refuse(IMAGE_NOT_WINDOWS, why, "not a 32-bit Windows image (not PE32)");
    image->peHeader = pe;
    image->optionalHeader = oh;
    image->sectionAlignment = Get32(file + oh + 32);
    image->fileAlignment = Get32(file + oh + 36);
    image->cbHeaders = Get32(file + oh + 60);
    uint32_t cbImage = Get32(file + oh + 56);
    uint32_t directories = Get32(file + oh + 92);
    if (directories < DIR_BASERELOC + 1 || directories > 16 || 96 + 8 * directories > cbOptional)
        return Refuse(IMAGE_DAMAGED, why, "damaged headers (data directories)");
    if (!IsPowerOfTwo(image->fileAlignment) || image->fileAlignment < 0x200 || image->fileAlignment > 0x10000 ||
        !IsPowerOfTwo(image->sectionAlignment) || image->sectionAlignment < image->fileAlignment)
        return Refuse(IMAGE_DAMAGED, why, "damaged headers (alignment)");
    if (image->sectionAlignment < IMAGE_FILE_PAGE)
        return Refuse(IMAGE_UNSUPPORTED, why, "sections aligned to less than 4 KB: not a setup");

    size_t table = oh + cbOptional;
    if (count == 0 || count > MAX_SECTIONS || (cbFile - table) / 40 < count ||
        table + 40 * count > image->cbHeaders || image->cbHeaders > cbFile)
        return Refuse(IMAGE_DAMAGED, why, "damaged section table");
    uint64_t nextVa = AlignUp(image->cbHeaders, image->sectionAlignment);
    for (uint32_t i = 0; i < count; i++)
    {
        const unsigned char *h = file + table + 40 * i;
        ImageSection s = { table + 40 * i, Get32(h + 12), Get32(h + 8), Get32(h + 20), Get32(h + 16), Get32(h + 36) };
        if (s.virtualSize == 0)
            s.virtualSize = s.cbRaw;
        if (s.virtualAddress % image->sectionAlignment || s.virtualAddress < nextVa || s.virtualSize == 0)
            return Refuse(IMAGE_DAMAGED, why, "damaged section table (section addresses)");
        if (s.cbRaw && (s.rawOffset % image->fileAlignment || s.rawOffset < image->cbHeaders ||
                        s.rawOffset > cbFile || cbFile - s.rawOffset < s.cbRaw))
            return Refuse(IMAGE_DAMAGED, why, "damaged section table (a section lies outside the file)");
        if (s.cbRaw == 0)
            s.rawOffset = 0;
        nextVa = AlignUp((uint64_t)s.virtualAddress + s.virtualSize, image->sectionAlignment);
        image->sections.push_back(s);
    }
    if (nextVa != cbImage)
        return Refuse(IMAGE_DAMAGED, why, "damaged headers (SizeOfImage does not match the sections)");

    const unsigned char *dirs = file + oh + 96;
    uint32_t rsrcVa = Get32(dirs + 8 * DIR_RESOURCE);
    image->rsrc = count;
    for (uint32_t i = 0; i < count; i++)
        if (image->sections[i].virtualAddress == rsrcVa && Get32(dirs + 8 * DIR_RESOURCE + 4))
            image->rsrc = i;
    if (image->rsrc == count)
        return Refuse(IMAGE_NO_PAYLOAD, why, "no payload resource (the image has no resources): not a setup");
    const ImageSection &rsrc = image->sections[image->rsrc];
    if (rsrc.cbRaw == 0)
        return Refuse(IMAGE_DAMAGED, why, "damaged resource section (no data in the file)");

    // What comes after the resource section moves when it grows. Only the base
    // relocations may be there: they point into the code, and nothing points
    // into them but their directory entry.
    uint32_t relocVa = Get32(dirs + 8 * DIR_BASERELOC);
    for (uint32_t i = image->rsrc + 1; i < count; i++)
        if (image->sections[i].virtualAddress != relocVa || i != image->rsrc + 1 || !Get32(dirs + 8 * DIR_BASERELOC + 4))
            return Refuse(IMAGE_UNSUPPORTED, why, "sections other than relocations after the resource section: not a setup");
    for (uint32_t d = 0; d < directories; d++)
    {
        uint32_t va = Get32(dirs + 8 * d), cb = Get32(dirs + 8 * d + 4);
        if (d == DIR_RESOURCE || d == DIR_SECURITY || d == DIR_BASERELOC || (va == 0 && cb == 0))
            continue;
        if (va >= rsrc.virtualAddress)
            return Refuse(IMAGE_UNSUPPORTED, why, "data directories after the resource section: not a setup");
    }
    uint64_t front = image->cbHeaders, end = 0;
    for (uint32_t i = 0; i < count; i++)
    {
        const ImageSection &s = image->sections[i];
        if (!s.cbRaw)
            continue;
        bool before = i < image->rsrc;
        if ((before && s.rawOffset + (uint64_t)s.cbRaw > rsrc.rawOffset) ||
            (i > image->rsrc && s.rawOffset < rsrc.rawOffset + (uint64_t)rsrc.cbRaw))
            return Refuse(IMAGE_UNSUPPORTED, why, "sections out of order in the file: not a setup");
        if (before)
            front = std::max(front, s.rawOffset + (uint64_t)s.cbRaw);
        end = std::max(end, s.rawOffset + (uint64_t)s.cbRaw);
    }
    image->cbFront = front;
    uint64_t cbTail = end - (rsrc.rawOffset + (uint64_t)rsrc.cbRaw);
    if (front > MAX_KEPT_BYTES || cbTail > MAX_KEPT_BYTES)
        return Refuse(IMAGE_UNSUPPORTED, why, "more than 16 MiB of code and data: not a setup");

    // A signature sits after the last section; anything else there is not ours.
    image->certificateOffset = Get32(dirs + 8 * DIR_SECURITY);
    image->cbCertificate = directories > DIR_SECURITY ? Get32(dirs + 8 * DIR_SECURITY + 4) : 0;
    if (image->cbCertificate == 0)
        image->certificateOffset = 0;
    uint64_t overlayEnd = cbFile;
    if (image->cbCertificate)
    {
        if (image->certificateOffset < end || image->certificateOffset > cbFile ||
            cbFile - image->certificateOffset != image->cbCertificate)
            return Refuse(IMAGE_DAMAGED, why, "damaged signature (not at the end of the file)");
        overlayEnd = image->certificateOffset;
    }
    for (uint64_t at = end; at < overlayEnd; at++)
        if (file[at] != 0 || overlayEnd - end >= image->fileAlignment)
            return Refuse(IMAGE_UNSUPPORTED, why, "data after the last section: not a setup");
    if (image->cbCertificate && !allowSigned)
        return Refuse(IMAGE_SIGNED, why, "carries an Authenticode signature, which stamping would break: "
                                         "stamp first and sign the result, or give --strip-signature");
    return ReadResources(file, image, why);
}

/* ---- the stamped image ---- */

struct KeyGroup
{
    ResourceKey key;
    std::vector<size_t> members;    /* indexes into the image's resources */
};

/* Groups items by key, in the order Windows searches them. */
template <typename KeyOf>
static std::vector<KeyGroup> GroupByKey(const std::vector<size_t> &items, KeyOf keyOf)
{
    std::vector<KeyGroup> groups;
    for (size_t item : items)
    {
        const ResourceKey &key = keyOf(item);
        auto found = std::find_if(groups.begin(), groups.end(), [&](const KeyGroup &g) { return SameKey(g.key, key); });
        if (found == groups.end())
            groups.push_back({ key, { item } });
        else
            found->members.push_back(item);
    }
    std::stable_sort(groups.begin(), groups.end(), [](const KeyGroup &a, const KeyGroup &b) { return KeyBefore(a.key, b.key); });
    return groups;
}

/* The resource section's bytes up to the payload's data: directory tables,
   data entries, name strings, then every other resource's data. */
static std::vector<unsigned char> BuildResourceDirectory(const unsigned char *file, const SetupImage &image,
                                                         uint32_t sectionVa, uint64_t cbPayload, uint64_t *payloadAt)
{
    std::vector<size_t> all;
    for (size_t i = 0; i < image.resources.size(); i++)
        all.push_back(i);
    std::vector<KeyGroup> types = GroupByKey(all, [&](size_t i) -> const ResourceKey & { return image.resources[i].type; });
    std::vector<std::vector<KeyGroup>> names;
    for (const KeyGroup &type : types)
        names.push_back(GroupByKey(type.members, [&](size_t i) -> const ResourceKey & { return image.resources[i].name; }));

    // Sizes first: every table, then the data entries, strings and data.
    uint64_t cbTables = 16 + 8 * types.size();
    size_t leaves = 0;
    for (size_t t = 0; t < types.size(); t++)
    {
        cbTables += 16 + 8 * names[t].size();
        for (const KeyGroup &name : names[t])
        {
            cbTables += 16 + 8 * name.members.size();
            leaves += name.members.size();
        }
    }
    uint64_t cbStrings = 0;
    for (size_t t = 0; t < types.size(); t++)
    {
        cbStrings += types[t].key.isName ? 2 + 2 * types[t].key.name.size() : 0;
        for (const KeyGroup &name : names[t])
            cbStrings += name.key.isName ? 2 + 2 * name.key.name.size() : 0;
    }
    uint64_t entriesAt = cbTables, stringsAt = entriesAt + 16 * leaves;
    uint64_t dataAt = AlignUp(stringsAt + cbStrings, DATA_ALIGN);
    std::vector<unsigned char> out(dataAt, 0);

    uint64_t nextTable = 16 + 8 * types.size(), nextEntry = entriesAt, nextString = stringsAt;
    uint64_t payloadEntry = 0;
    auto putKey = [&](unsigned char *slot, const ResourceKey &key) {
        if (!key.isName)
        {
            Put32(slot, key.id);
            return;
        }
        Put32(slot, 0x80000000u | (uint32_t)nextString);
        Put16(&out[nextString], (uint32_t)key.name.size());
        for (size_t i = 0; i < key.name.size(); i++)
            Put16(&out[nextString + 2 + 2 * i], key.name[i]);
        nextString += 2 + 2 * key.name.size();
    };
    auto putTableHeader = [&](uint64_t at, const std::vector<KeyGroup> &groups) {
        size_t named = std::count_if(groups.begin(), groups.end(), [](const KeyGroup &g) { return g.key.isName; });
        Put16(&out[at + 12], (uint32_t)named);
        Put16(&out[at + 14], (uint32_t)(groups.size() - named));
    };
    putTableHeader(0, types);
    for (size_t t = 0; t < types.size(); t++)
    {
        uint64_t typeTable = nextTable;
        nextTable += 16 + 8 * names[t].size();
        putKey(&out[16 + 8 * t], types[t].key);
        Put32(&out[16 + 8 * t + 4], 0x80000000u | (uint32_t)typeTable);
        putTableHeader(typeTable, names[t]);
        for (size_t n = 0; n < names[t].size(); n++)
        {
            const KeyGroup &name = names[t][n];
            std::vector<size_t> languages = name.members;
            std::sort(languages.begin(), languages.end(),
                      [&](size_t a, size_t b) { return image.resources[a].language < image.resources[b].language; });
            uint64_t nameTable = nextTable;
            nextTable += 16 + 8 * languages.size();
            putKey(&out[typeTable + 16 + 8 * n], name.key);
            Put32(&out[typeTable + 16 + 8 * n + 4], 0x80000000u | (uint32_t)nameTable);
            Put16(&out[nameTable + 14], (uint32_t)languages.size());
            for (size_t l = 0; l < languages.size(); l++)
            {
                const ImageResource &r = image.resources[languages[l]];
                Put32(&out[nameTable + 16 + 8 * l], r.language);
                Put32(&out[nameTable + 16 + 8 * l + 4], (uint32_t)nextEntry);
                Put32(&out[nextEntry + 8], r.codePage);
                if (r.isPayload)
                {
                    // The payload's data comes last, after every other resource's.
                    payloadEntry = nextEntry;
                    Put32(&out[nextEntry + 4], (uint32_t)cbPayload);
                }
                else
                {
                    uint64_t at = out.size();
                    out.insert(out.end(), file + r.fileOffset, file + r.fileOffset + r.cbData);
                    out.resize(AlignUp(out.size(), DATA_ALIGN), 0);
                    Put32(&out[nextEntry], sectionVa + (uint32_t)at);
                    Put32(&out[nextEntry + 4], r.cbData);
                }
                nextEntry += 16;
            }
        }
    }
    *payloadAt = out.size();
    Put32(&out[payloadEntry], sectionVa + (uint32_t)*payloadAt);
    return out;
}

bool LayoutStampedImage(const unsigned char *file, const SetupImage &image, uint64_t cbPayload,
                        StampLayout *layout, std::string *why)
{
    const ImageSection &rsrc = image.sections[image.rsrc];
    uint64_t payloadAt = 0;
    std::vector<unsigned char> directory = BuildResourceDirectory(file, image, rsrc.virtualAddress, cbPayload, &payloadAt);
    // A few zero bytes after the payload: tools that walk the directory
    // (objdump) stop at the first resource whose data reaches the section's end.
    uint64_t cbSection = payloadAt + cbPayload + DATA_ALIGN;
    uint64_t rawOffset = AlignUp(image.cbFront, IMAGE_FILE_PAGE);
    uint64_t cbRaw = AlignUp(cbSection, image.fileAlignment);

    // The sections after the resources (the relocations) move as one block.
    uint64_t nextVa = AlignUp(rsrc.virtualAddress + cbSection, image.sectionAlignment);
    uint64_t nextRaw = rawOffset + cbRaw;
    std::vector<ImageSection> moved(image.sections.begin() + image.rsrc + 1, image.sections.end());
    int64_t vaDelta = moved.empty() ? 0 : (int64_t)nextVa - (int64_t)moved[0].virtualAddress;
    uint64_t cbImage = nextVa;
    std::vector<unsigned char> tail(cbRaw - (payloadAt + cbPayload), 0);
    for (ImageSection &s : moved)
    {
        uint64_t va = s.virtualAddress + vaDelta;
        cbImage = AlignUp(va + s.virtualSize, image.sectionAlignment);
        if (s.cbRaw)
        {
            tail.insert(tail.end(), file + s.rawOffset, file + s.rawOffset + s.cbRaw);
            tail.resize(tail.size() + AlignUp(s.cbRaw, image.fileAlignment) - s.cbRaw, 0);
        }
    }
    if (cbSection > 0xFFFFFFFFu || cbImage > 0x80000000u || nextRaw + tail.size() > 0xFFFFFFFFu)
    {
        *why = "the image would be " + std::to_string(cbImage) + " bytes in memory: too large for a 32-bit program";
        return false;
    }

    std::vector<unsigned char> &head = layout->head;
    head.assign(file, file + image.cbFront);
    head.resize(rawOffset, 0);
    head.insert(head.end(), directory.begin(), directory.end());

    // SizeOfInitializedData, counted as the linker counts it, so that it does
    // not depend on the payload the image carried before.
    size_t oh = image.optionalHeader;
    uint64_t cbInitialized = 0;
    for (size_t i = 0; i < image.sections.size(); i++)
        if (image.sections[i].characteristics & 0x40)
            cbInitialized += i == image.rsrc ? cbRaw : AlignUp(image.sections[i].cbRaw, image.fileAlignment);
    Put32(&head[oh + 8], (uint32_t)cbInitialized);
    Put32(&head[oh + 56], (uint32_t)cbImage);
    Put32(&head[oh + 64], 0);
    layout->checksumOffset = oh + 64;
    unsigned char *dirs = &head[oh + 96];
    Put32(dirs + 8 * DIR_RESOURCE + 4, (uint32_t)cbSection);
    Put32(dirs + 8 * DIR_SECURITY, 0);
    Put32(dirs + 8 * DIR_SECURITY + 4, 0);
    if (!moved.empty())
        Put32(dirs + 8 * DIR_BASERELOC, Get32(dirs + 8 * DIR_BASERELOC) + (uint32_t)vaDelta);

    unsigned char *h = &head[rsrc.header];
    Put32(h + 8, (uint32_t)cbSection);
    Put32(h + 16, (uint32_t)cbRaw);
    Put32(h + 20, (uint32_t)rawOffset);
    uint64_t raw = nextRaw;
    for (ImageSection &s : moved)
    {
        h = &head[s.header];
        Put32(h + 12, s.virtualAddress + (uint32_t)vaDelta);
        if (s.cbRaw)
        {
            Put32(h + 20, (uint32_t)raw);
            raw += AlignUp(s.cbRaw, image.fileAlignment);
        }
    }
    layout->tail.swap(tail);
    return true;
}

/* ---- checksum ---- */

void AddToChecksum(ImageChecksum *checksum, const void *data, size_t cb)
{
    const unsigned char *p = (const unsigned char *)data;
    checksum->cb += cb;
    if (cb && checksum->odd)
    {
        checksum->sum += checksum->pending | (uint32_t)p[0] << 8;
        checksum->odd = false;
        p++, cb--;
    }
    // Two 16-bit words at a time: 65536 is 1 modulo 0xFFFF, so adding a 32-bit
    // word adds its two halves as far as the folding in FinishChecksum goes.
    uint64_t sum = checksum->sum;
    for (; cb >= 4; p += 4, cb -= 4)
        sum += (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
    for (; cb >= 2; p += 2, cb -= 2)
        sum += p[0] | p[1] << 8;
    checksum->sum = sum;
    if (cb)
    {
        checksum->pending = p[0];
        checksum->odd = true;
    }
}

uint32_t FinishChecksum(const ImageChecksum &checksum)
{
    uint64_t sum = checksum.sum + (checksum.odd ? checksum.pending : 0);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + checksum.cb);
}

uint32_t StoredChecksum(const unsigned char *file, const SetupImage &image)
{
    return Get32(file + image.optionalHeader + 64);
}

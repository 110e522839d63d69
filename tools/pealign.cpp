// pealign.cpp - moves a Windows image's resource section to a 4 KB boundary in the file
//
//   pealign IMAGE
//
// A loader can map a section straight from the file only when the section
// starts on a page boundary in the file; otherwise it reads the section into
// memory when the program starts (Wine does). The setup's resource section
// carries the whole payload, so it is padded to start on a 4 KB boundary while
// the small sections before it keep the usual 512-byte alignment. The image is
// otherwise unchanged: the sections' places in memory stay where they are.

#include <stdio.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define FILE_PAGE 0x1000

static uint32_t Read32(const std::vector<unsigned char> &b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

static void Write32(std::vector<unsigned char> &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (unsigned char)(v >> (8 * i));
}

static int Fail(const char *image, const char *why)
{
    fprintf(stderr, "pealign: %s: %s\n", image, why);
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: pealign IMAGE\n");
        return 2;
    }
    const char *image = argv[1];
    std::ifstream in(image, std::ios::binary);
    std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && !in)
        return Fail(image, "cannot read");
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z')
        return Fail(image, "not a Windows image");
    size_t pe = Read32(b, 0x3C);
    if (pe > b.size() - 24 || memcmp(&b[pe], "PE\0\0", 4) != 0)
        return Fail(image, "not a Windows image");
    size_t count = b[pe + 6] | b[pe + 7] << 8;
    size_t cbOptional = b[pe + 20] | b[pe + 21] << 8;
    size_t sections = pe + 24 + cbOptional;
    if (sections + count * 40 > b.size())
        return Fail(image, "section table runs past the end");
    if (Read32(b, pe + 24 + 128) != 0)         // the certificate table's file offset
        return Fail(image, "signed images cannot be changed");

    size_t rsrc = count;
    for (size_t i = 0; i < count; i++)
        if (memcmp(&b[sections + i * 40], ".rsrc\0\0\0", 8) == 0)
            rsrc = i;
    if (rsrc == count)
        return Fail(image, "no resource section");
    uint32_t start = Read32(b, sections + rsrc * 40 + 20);
    uint32_t pad = (FILE_PAGE - start % FILE_PAGE) % FILE_PAGE;
    if (pad == 0)
        return 0;
    if (start > b.size())
        return Fail(image, "resource section runs past the end");

    // Every section from the resource section on moves back by the padding.
    for (size_t i = 0; i < count; i++)
    {
        size_t header = sections + i * 40;
        uint32_t raw = Read32(b, header + 20);
        if (raw >= start && Read32(b, header + 16) != 0)
            Write32(b, header + 20, raw + pad);
    }
    b.insert(b.begin() + start, pad, 0);
    Write32(b, pe + 24 + 64, 0);                // checksum: none, as the linker wrote it

    std::string temp = std::string(image) + ".part";
    std::ofstream out(temp, std::ios::binary);
    out.write((const char *)b.data(), (std::streamsize)b.size());
    out.close();
    struct stat st;
    if (stat(image, &st) == 0)
        chmod(temp.c_str(), st.st_mode & 07777);
    if (!out || rename(temp.c_str(), image) != 0)
    {
        remove(temp.c_str());
        return Fail(image, "cannot write");
    }
    return 0;
}

// payloadtool.cpp - packs, lists and verifies the setup's payload on the build host
//
// Shares payload.h and the reader with the setup, so a payload that passes here is
// one the setup accepts. Runs at build time only, hence the C++ library.

#include "payload.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static const char s_productExe[] = "Tandreloop.exe";     /* the setup refuses a payload without it */
static const unsigned long long s_cbFileMax = 0xFFFFFFFFull;
/* 1.75 GiB. Wine maps a program's image whole at its base, 0x400000, and only
   below its own loader at 0x7D400000: measured natively, setup.exe starts at
   1,960 MiB (1,999 MiB with large-address-aware) and not at 1,970 MiB, nor
   at 2,000 MiB either way. The rest is a margin for the program's own part. */
static const unsigned long long s_cbPayloadMax = 0x70000000ull;

static int Usage()
{
    fprintf(stderr, "usage: payloadtool pack -o OUT [--allow-no-exe] FILE...\n"
                    "       payloadtool list PAYLOAD\n"
                    "       payloadtool verify PAYLOAD [--allow-no-exe]\n");
    return 2;
}

static int Fail(const std::string &subject, const std::string &reason)
{
    fprintf(stderr, "payloadtool: %s: %s\n", subject.c_str(), reason.c_str());
    return 1;
}

static std::string Errno(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

// Windows file names ignore case; only ASCII is folded, as the names we ship are ASCII.
static bool SameNameNoCase(const char *a, const char *b)
{
    for (;; a++, b++)
    {
        unsigned char ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'A' && ca <= 'Z') ca = ca - 'A' + 'a';
        if (cb >= 'A' && cb <= 'Z') cb = cb - 'A' + 'a';
        if (ca != cb)
            return false;
        if (ca == 0)
            return true;
    }
}

static bool CopyData(FILE *out, const std::string &path, unsigned long long cbExpected, std::string &why)
{
    FILE *in = fopen(path.c_str(), "rb");
    if (!in)
    {
        why = Errno("cannot open");
        return false;
    }
    static unsigned char s_chunk[1 << 16];
    unsigned long long cbCopied = 0;
    size_t cb;
    while (!ferror(out) && (cb = fread(s_chunk, 1, sizeof(s_chunk), in)) > 0)
        cbCopied += fwrite(s_chunk, 1, cb, out);
    bool readFailed = ferror(in) != 0;
    fclose(in);
    why = readFailed ? "cannot read" : ferror(out) ? "cannot write it into the payload" : "changed size while being packed";
    return !readFailed && !ferror(out) && cbCopied == cbExpected;
}

static int Pack(const std::string &outPath, bool allowNoExe, const std::vector<std::string> &files)
{
    // Everything that can be checked up front is, so most refusals create no file at all.
    std::vector<std::string> names;
    std::vector<unsigned long long> sizes;
    bool haveExe = false;
    for (const std::string &file : files)
    {
        std::string name = file.substr(file.rfind('/') + 1);   // npos + 1 is 0
        if (!IsBareFileName(name.c_str()))
            return Fail(file, "'" + name + "' is not a bare file name (empty, too long, . or .., or a character Windows refuses)");
        for (size_t i = 0; i < names.size(); i++)
        {
            if (SameNameNoCase(names[i].c_str(), name.c_str()))
                return Fail(file, "same name as " + files[i] + " (Windows file names ignore case)");
        }
        struct stat st;
        if (stat(file.c_str(), &st) != 0)
            return Fail(file, Errno("cannot read"));
        if (!S_ISREG(st.st_mode))
            return Fail(file, "not a regular file");
        if ((unsigned long long)st.st_size > s_cbFileMax)
            return Fail(file, "larger than 4 GiB - 1 bytes");
        haveExe = haveExe || name == s_productExe;
        names.push_back(name);
        sizes.push_back((unsigned long long)st.st_size);
    }
    if (!haveExe && !allowNoExe)
        return Fail(outPath, std::string("no file named ") + s_productExe + " (--allow-no-exe packs without it)");
    unsigned long long cbPayload = PAYLOAD_END_BYTES;
    for (size_t i = 0; i < files.size(); i++)
        cbPayload += names[i].size() + 1 + PAYLOAD_LENGTH_BYTES + sizes[i];
    if (cbPayload > s_cbPayloadMax)
        return Fail(outPath, "the payload would be " + std::to_string(cbPayload) +
                             " bytes: a 32-bit setup cannot carry 2 GiB or more");

    // Written under another name and renamed when whole, so a failed run leaves nothing
    // that a later build step could take for a payload.
    std::string tempPath = outPath + ".part";
    FILE *out = fopen(tempPath.c_str(), "wb");
    if (!out)
        return Fail(tempPath, Errno("cannot create"));
    std::string failed, why;
    for (size_t i = 0; failed.empty() && i < files.size(); i++)
    {
        unsigned char length[PAYLOAD_LENGTH_BYTES];
        for (int b = 0; b < PAYLOAD_LENGTH_BYTES; b++)
            length[b] = (unsigned char)(sizes[i] >> (8 * b));
        fwrite(names[i].c_str(), 1, names[i].size() + 1, out);
        fwrite(length, 1, sizeof(length), out);
        if (!CopyData(out, files[i], sizes[i], why))
            failed = files[i];
    }
    static const unsigned char s_endMark[PAYLOAD_END_BYTES] = { 0 };
    fwrite(s_endMark, 1, sizeof(s_endMark), out);
    bool written = !ferror(out);
    written = fclose(out) == 0 && written;
    if (failed.empty() && !written)
    {
        failed = tempPath;
        why = Errno("cannot write");
    }
    if (failed.empty() && rename(tempPath.c_str(), outPath.c_str()) != 0)
    {
        failed = outPath;
        why = Errno(("cannot rename " + tempPath + " to it").c_str());
    }
    if (!failed.empty())
    {
        remove(tempPath.c_str());
        return Fail(failed, why);
    }
    return 0;
}

// Reads the payload and walks it by the setup's rules; entries point into payload.
static bool LoadPayload(const std::string &path, std::vector<unsigned char> &payload,
                        std::vector<PayloadEntry> &entries, std::string &why)
{
    FILE *in = fopen(path.c_str(), "rb");
    if (!in)
    {
        why = Errno("cannot open");
        return false;
    }
    static unsigned char s_chunk[1 << 16];
    size_t cb;
    while ((cb = fread(s_chunk, 1, sizeof(s_chunk), in)) > 0)
        payload.insert(payload.end(), s_chunk, s_chunk + cb);
    bool readFailed = ferror(in) != 0;
    fclose(in);
    if (readFailed)
    {
        why = "cannot read";
        return false;
    }
    size_t pos = 0;
    PayloadEntry entry;
    while (NextPayloadEntry(payload.data(), payload.size(), &pos, &entry) == PAYLOAD_ENTRY)
        entries.push_back(entry);
    why = "damaged at offset " + std::to_string(pos) + ", after " + std::to_string(entries.size()) + " entries";
    return CheckPayload(payload.data(), payload.size()) != 0;
}

static unsigned long long TotalBytes(const std::vector<PayloadEntry> &entries)
{
    unsigned long long cb = 0;
    for (const PayloadEntry &entry : entries)
        cb += entry.cbData;
    return cb;
}

static int List(const std::string &path)
{
    std::vector<unsigned char> payload;
    std::vector<PayloadEntry> entries;
    std::string why;
    if (!LoadPayload(path, payload, entries, why))
        return Fail(path, why);
    for (const PayloadEntry &entry : entries)
        printf("%s\t%lu\n", entry.name, entry.cbData);
    printf("%zu entries, %llu bytes\n", entries.size(), TotalBytes(entries));
    return 0;
}

static int Verify(const std::string &path, bool allowNoExe)
{
    std::vector<unsigned char> payload;
    std::vector<PayloadEntry> entries;
    std::string why;
    if (!LoadPayload(path, payload, entries, why))
        return Fail(path, why);
    bool haveExe = false;
    for (size_t i = 0; i < entries.size(); i++)
    {
        haveExe = haveExe || strcmp(entries[i].name, s_productExe) == 0;
        for (size_t j = 0; j < i; j++)
        {
            if (SameNameNoCase(entries[i].name, entries[j].name))
                return Fail(path, std::string("entries '") + entries[j].name + "' and '" + entries[i].name +
                                  "' collide on Windows (names ignore case)");
        }
    }
    if (!haveExe && !allowNoExe)
        return Fail(path, std::string("no entry named ") + s_productExe);
    printf("%s: ok, %zu entries, %llu bytes\n", path.c_str(), entries.size(), TotalBytes(entries));
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    std::string command = argv[1], outPath;
    bool allowNoExe = false;
    std::vector<std::string> operands;
    for (int i = 2; i < argc; i++)
    {
        std::string arg = argv[i];
        if (arg == "--allow-no-exe" && command != "list")
            allowNoExe = true;
        else if (arg == "-o" && command == "pack" && outPath.empty() && i + 1 < argc)
            outPath = argv[++i];
        else if (arg.size() > 1 && arg[0] == '-')
            return Usage();
        else
            operands.push_back(arg);
    }
    if (command == "pack" && !outPath.empty() && !operands.empty())
        return Pack(outPath, allowNoExe, operands);
    if (command == "list" && operands.size() == 1)
        return List(operands[0]);
    if (command == "verify" && operands.size() == 1)
        return Verify(operands[0], allowNoExe);
    return Usage();
}

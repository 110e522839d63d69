// payloadtool.cpp - packs the setup's payload, stamps it into a built setup.exe,
// and lists and verifies what a payload or a setup carries
//
// Shares payload.h and the reader with the setup, so a payload that passes here is
// one the setup accepts. Runs on the build host or a vendor's machine, hence the
// C++ library and POSIX calls.

#include "codepage.h"
#include "frameplan.h"
#include "payload.h"
#include "payloadstream.h"
#include "peimage.h"
#ifdef PAYLOADTOOL_ZSTD
#include "decode.h"
#include <zstd.h>
#endif

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

static const char s_productExe[] = "Tandreloop.exe";     /* the setup refuses a payload without it */
static const unsigned long long s_cbFileMax = 0xFFFFFFFFull;
/* 1.75 GiB. Wine maps a program's image whole at its base, 0x400000, and only
   below its own loader at 0x7D400000: measured natively, setup.exe starts at
   1,960 MiB (1,999 MiB with large-address-aware) and not at 1,970 MiB, nor
   at 2,000 MiB either way. The rest is a margin for the program's own part. */
static const unsigned long long s_cbPayloadMax = 0x70000000ull;

#define COPY_CHUNK (1 << 20)    /* bytes moved per read and write */

/* --compress without a level: zstd's smallest. One frame's window is most of
   the decoder's memory in a setup that decodes it as a stream: 32 MiB, which
   also fits where 32-bit code runs under qemu; 128 MiB would make the corpus
   of the benchmark 0.7 % smaller (README.md, the table that decided it). A
   setup decodes each of several frames whole into a buffer of its own, which
   zstd takes for its window: their window is the frame (frameplan.h keeps
   frames within FRAME_WINDOW_LOG), at no cost in memory. */
#define COMPRESS_LEVEL_DEFAULT  22
#define COMPRESS_WINDOW_LOG     25
#define FRAME_WINDOW_LOG        27
static_assert(FRAME_BYTES_MAX <= 1ull << FRAME_WINDOW_LOG, "a frame larger than its window");

static int Usage()
{
    fprintf(stderr, "usage: payloadtool pack -o OUT [--allow-no-exe] [--codepage N] [--compress[=LEVEL]] FILE... | FOLDER\n"
                    "       payloadtool stamp SETUP -o OUT [--allow-no-exe] [--strip-signature] [--codepage N]\n"
                    "                         [--compress[=LEVEL]] FILE... | FOLDER\n"
                    "       payloadtool list PAYLOAD | SETUP [--codepage N]\n"
                    "       payloadtool verify PAYLOAD | SETUP [--allow-no-exe] [--codepage N]\n"
                    "--codepage N: names outside ASCII in Windows code page N (1252, 1250, 932, ...)\n"
                    "--compress: zstd over all files, cut into frames where large (LEVEL 1 to 22, 22 if not given)\n"
                    "--frame-mib=N: with --compress, frames of about N MiB (1 to 64, 64 if not given): smaller\n"
                    "  frames make a smaller download slower to install; a test uses them to cut a small product\n");
    return 2;
}

static int Fail(const std::string &subject, const std::string &reason)
{
    fprintf(stderr, "payloadtool: %s: %s\n", subject.c_str(), reason.c_str());
    return 1;
}

/* Refuses a payload larger than a setup can load; what names it ("the payload
   would be "). */
static int FailTooLarge(const std::string &outPath, const std::string &what, unsigned long long cb)
{
    return Fail(outPath, what + std::to_string(cb) + " bytes: more than the " + std::to_string(s_cbPayloadMax) +
                         " (1.75 GiB) that a 32-bit setup can load");
}

static std::string Errno(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

#define REFUSALS_SHOWN 50       /* refusals told one a line; the rest are only counted */

static size_t s_cRefusals;      /* names and files refused so far in this run */

/* Tells one refused name or file and lets the run go on, so that one run
   shows everything the vendor has to change. EndOfRefusals ends the list. */
static void Refuse(const std::string &subject, const std::string &reason)
{
    if (s_cRefusals++ < REFUSALS_SHOWN)
        Fail(subject, reason);
}

/* Tells how many refusals were not shown; returns 1, the exit code, when
   anything was refused, else 0. */
static int EndOfRefusals()
{
    if (s_cRefusals > REFUSALS_SHOWN)
        fprintf(stderr, "payloadtool: and %zu more\n", s_cRefusals - REFUSALS_SHOWN);
    return s_cRefusals ? 1 : 0;
}

/* ---- names as Windows compares them ---- */

/* Where Windows would take two of the payload's names, or folders on their
   paths, for one: two files whose paths differ only in case, a file and a
   folder (file "Data", file "data\x"), or one folder spelt two ways. Each
   name that clashes with an earlier one comes once, as its index and the clash. */
static std::vector<std::pair<size_t, std::string>> FindNameClashes(const std::vector<std::string> &names,
                                                                   const NameCodePage &cp)
{
    struct Seen
    {
        bool folder;
        std::string name;       /* as spelt where first seen, for people */
    };
    std::map<std::wstring, Seen> seen;
    std::vector<std::pair<size_t, std::string>> clashes;
    for (size_t i = 0; i < names.size(); i++)
    {
        for (size_t at = 0;; at++)
        {
            at = names[i].find('\\', at);     // the setup's separator, byte by byte
            std::string path = names[i].substr(0, at);
            Seen now = { at != std::string::npos, ShownName(cp, path) };
            auto found = seen.emplace(NameKey(cp, path), now);
            const Seen &was = found.first->second;
            if (!found.second && (!now.folder || !was.folder || was.name != now.name))
            {
                clashes.push_back({ i, "'" + was.name + (was.folder ? "' (a folder)" : "' (a file)") + " and '" +
                                       now.name + (now.folder ? "' (a folder)" : "' (a file)") +
                                       " are one name on Windows, which ignores case" });
                break;
            }
            if (!now.folder)
                break;
        }
    }
    return clashes;
}

/* Why the setup would refuse a payload name: bare (a file of the list form)
   or with folders. "" when it takes it. */
static std::string WhyNameRefused(const std::string &name, bool bare, const NameCodePage &cp)
{
    static const char s_rules[] = " is not a name Windows takes as it is (empty, longer than 255 bytes, a trailing dot "
                                  "or space, a device name such as CON, NUL.txt, NUL .txt, CONIN$ or COM¹.log, "
                                  "or one of \\ / : < > \" | ? * or a control character), or is one the setup "
                                  "keeps for its own files while it installs (~T.journal, ~T00001.part, ~T00001.prev)";
    if (bare)
        return IsBareFileName(name.c_str()) ? "" : "'" + ShownName(cp, name) + "'" + s_rules;
    if (IsPayloadPath(name.c_str()))
        return "";
    if (name.size() > PAYLOAD_NAME_MAX)
        return "'" + ShownName(cp, name) + "' is longer than the " + std::to_string(PAYLOAD_NAME_MAX) +
               " bytes a payload name may have";
    for (size_t at = 0;; at++)
    {
        size_t end = name.find('\\', at);
        std::string part = name.substr(at, end == std::string::npos ? end : end - at);
        if (!IsBareFileName(part.c_str()) || end == std::string::npos)
            return "'" + ShownName(cp, name) + "': '" + ShownName(cp, part) + "'" + s_rules;
        at = end;
    }
}

/* ---- the files to carry ---- */

struct ProductFile
{
    std::string path;       /* on the build host */
    std::string name;       /* in the payload: folder names and the file's, separated by \ */
    unsigned long long cb;
};

/* Walks a folder of the product: its files in byte order of their names, then
   its subfolders in that order, each walked the same way. relative is the
   folder's name in the payload with a trailing \, or "" for the product folder.
   A link to a file is followed and carried under the link's name. Whatever
   would be left out or cannot be carried as a file is refused, and the walk
   goes on: an empty folder, a link to a folder or to nothing, a pipe, socket
   or device, and what cannot be read. */
static void WalkFolder(const std::string &folder, const std::string &relative, std::vector<ProductFile> &files)
{
    DIR *dir = opendir(folder.c_str());
    if (!dir)
    {
        Refuse(folder, Errno("cannot read"));
        return;
    }
    std::vector<std::string> names, subfolders;
    errno = 0;
    while (const dirent *entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    int readError = errno;      // readdir ends with NULL on an error too, then with errno set
    closedir(dir);
    if (readError || names.empty())
    {
        Refuse(folder, readError ? "cannot read: " + std::string(strerror(readError))
                                 : "an empty folder: the setup carries files only, so it would be left out");
        return;
    }
    std::sort(names.begin(), names.end());     // bytes compared as unsigned, whatever the locale
    for (const std::string &name : names)
    {
        std::string path = folder + "/" + name, why;
        struct stat st;
        bool link = false;
        if (lstat(path.c_str(), &st) != 0)
            why = Errno("cannot read");
        else if ((link = S_ISLNK(st.st_mode)) && stat(path.c_str(), &st) != 0)
            why = "a link to nothing (" + Errno("cannot follow it") + ")";
        else if (name.find('\\') != std::string::npos)
            why = "a backslash in the name: the setup would take it for a folder separator";
        else if (S_ISDIR(st.st_mode) && link)
            why = "a link to a folder: only links to files are followed";
        else if (S_ISDIR(st.st_mode) && relative.size() + name.size() + 1 >= PAYLOAD_NAME_MAX)
            why = "folders nested deeper than a payload name of " + std::to_string(PAYLOAD_NAME_MAX) + " bytes allows";
        else if (S_ISDIR(st.st_mode))
            subfolders.push_back(name);
        else if (S_ISREG(st.st_mode))
            files.push_back({ path, relative + name, (unsigned long long)st.st_size });
        else
            why = "not a file, folder or link (a pipe, socket or device): only files are carried";
        if (!why.empty())
            Refuse(path, why);
    }
    for (const std::string &name : subfolders)
        WalkFolder(folder + "/" + name, relative + name + "\\", files);
}

/* Why a file cannot be carried: "" with its size in *cb when it can. */
static std::string WhyFileRefused(const std::string &path, unsigned long long *cb)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return Errno("cannot read");
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if ((unsigned long long)st.st_size > s_cbFileMax)
        return "larger than 4 GiB - 1 bytes";
    *cb = (unsigned long long)st.st_size;
    return "";
}

/* Everything that can be checked before writing is, so most refusals create no
   file at all, and every refused name or file is told in the same run. One
   operand that is a folder stands for every file in it and below it (see
   WalkFolder), with the product's executable last; otherwise the operands are
   the files, in the order given, carried under their bare names. Returns 0
   with the files and the payload's size, or pack's exit code. */
static int GatherFiles(const std::vector<std::string> &operands, bool allowNoExe, bool compress, const NameCodePage &cp,
                       const std::string &outPath, std::vector<ProductFile> &files, unsigned long long &cbPayload)
{
    struct stat st;
    std::vector<ProductFile> found;
    bool folder = operands.size() == 1 && stat(operands[0].c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (folder)
    {
        std::string top = operands[0];
        while (top.size() > 1 && top.back() == '/')
            top.pop_back();
        WalkFolder(top, "", found);
        std::stable_partition(found.begin(), found.end(),
                              [](const ProductFile &file) { return file.name != s_productExe; });
    }
    else
    {
        for (const std::string &path : operands)
            found.push_back({ path, path.substr(path.rfind('/') + 1), 0 });    // npos + 1 is 0
    }
    bool haveExe = false;
    std::vector<std::string> names;
    for (ProductFile &file : found)
    {
        std::string bytes, why;
        if (!EncodeName(cp, file.name, &bytes, why))
        {
            Refuse(file.path, why);
            continue;
        }
        file.name = bytes;
        haveExe = haveExe || file.name == s_productExe;
        why = WhyNameRefused(file.name, !folder, cp);
        if (why.empty())
            why = WhyFileRefused(file.path, &file.cb);
        if (!why.empty())
        {
            Refuse(file.path, why);
            continue;
        }
        files.push_back(file);
        names.push_back(file.name);
    }
    for (const auto &clash : FindNameClashes(names, cp))
        Refuse(files[clash.first].path, clash.second);
    if (!haveExe && !allowNoExe)
        Refuse(outPath, std::string("no file named ") + s_productExe + " (--allow-no-exe packs without it)");
    if (int refused = EndOfRefusals())
        return refused;
    cbPayload = PAYLOAD_END_BYTES;
    for (const ProductFile &file : files)
        cbPayload += file.name.size() + 1 + PAYLOAD_LENGTH_BYTES + file.cb;
    if (cbPayload > s_cbPayloadMax && !compress)     // compressed, the limit applies to what is carried
        return FailTooLarge(outPath, "the payload would be ", cbPayload);
    return 0;
}

/* ---- writing: one buffer, summed for the image checksum as it goes ---- */

struct Compressor;

struct Output
{
    int fd;
    std::vector<unsigned char> buffer;
    size_t fill;
    unsigned long long cbWritten;
    ImageChecksum checksum;
    bool failed;                /* once set, nothing more is written */
    int error;                  /* why: the failed write's errno, or 0 when zstd failed */
    Compressor *compressor;     /* NULL: the buffer goes out as it is */
};

static void FailOutput(Output *out, int error)
{
    out->failed = true;
    out->error = error;
}

/* What to tell the user when out failed. */
static std::string OutputError(const Output &out)
{
    return out.error ? std::string("cannot write: ") + strerror(out.error) : "zstd failed while compressing";
}

static void WriteOut(Output *out, const unsigned char *data, size_t cbData)
{
    AddToChecksum(&out->checksum, data, cbData);
    for (size_t done = 0; done < cbData;)
    {
        ssize_t cb = write(out->fd, data + done, cbData - done);
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb <= 0)
        {
            FailOutput(out, cb < 0 ? errno : EIO);
            return;
        }
        done += (size_t)cb;
    }
    out->cbWritten += cbData;
}

static void Compress(Output *out);

/* Empties the buffer, also after a failure: what it held is dropped, as the
   command fails anyway, and a buffer left full would take no more bytes. */
static void Flush(Output *out)
{
    if (out->fill && !out->failed && out->compressor)
        Compress(out);
    else if (out->fill && !out->failed)
        WriteOut(out, out->buffer.data(), out->fill);
    out->fill = 0;
}

static void Put(Output *out, const void *data, size_t cb)
{
    const unsigned char *p = (const unsigned char *)data;
    while (cb && !out->failed)
    {
        size_t n = std::min(cb, out->buffer.size() - out->fill);
        memcpy(out->buffer.data() + out->fill, p, n);
        out->fill += n, p += n, cb -= n;
        if (out->fill == out->buffer.size())
            Flush(out);
    }
}

/* Reads from in straight into the output buffer, to the end of the file, which
   must be cbExpected bytes on. False with why empty when the output failed:
   that is out's error, not the file's. */
static bool CopyFrom(Output *out, int in, unsigned long long cbExpected, std::string &why)
{
    unsigned long long cbCopied = 0;
    ssize_t cb = 0;
    while (!out->failed && (cb = read(in, out->buffer.data() + out->fill, out->buffer.size() - out->fill)) != 0)
    {
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb < 0)
        {
            why = Errno("cannot read");
            return false;
        }
        out->fill += (size_t)cb;
        cbCopied += (unsigned long long)cb;
        if (out->fill == out->buffer.size())
            Flush(out);
    }
    why = out->failed ? "" : "changed size while being packed";
    return !out->failed && cbCopied == cbExpected;
}

static bool CopyData(Output *out, const ProductFile &file, std::string &why)
{
    int in = open(file.path.c_str(), O_RDONLY);
    if (in < 0)
    {
        why = Errno("cannot open");
        return false;
    }
    bool copied = CopyFrom(out, in, file.cb, why);
    close(in);
    return copied;
}

/* The payload: each file's name, length and bytes, then the end mark. */
static bool PutPayload(Output *out, const std::vector<ProductFile> &files, std::string &failed, std::string &why)
{
    for (const ProductFile &file : files)
    {
        unsigned char length[PAYLOAD_LENGTH_BYTES];
        for (int b = 0; b < PAYLOAD_LENGTH_BYTES; b++)
            length[b] = (unsigned char)(file.cb >> (8 * b));
        Put(out, file.name.c_str(), file.name.size() + 1);
        Put(out, length, sizeof(length));
        if (!CopyData(out, file, why))
        {
            if (!out->failed)
                failed = file.path;     // else the output's error, told as such
            return false;
        }
    }
    static const unsigned char s_endMark[PAYLOAD_END_BYTES] = { 0 };
    Put(out, s_endMark, sizeof(s_endMark));
    return true;
}

/* ---- compressing: the stored payload in zstd frames ---- */

/* Each frame's share of the product (--frame-mib). */
static unsigned long long s_cbFrameGoal = FRAME_BYTES_GOAL;

/* Where the frames end, as offsets into the stored payload of files
   (cbPayload bytes), the last at its end. */
static std::vector<unsigned long long> PlanFilesInFrames(const std::vector<ProductFile> &files,
                                                         unsigned long long cbPayload)
{
    std::vector<std::string> names;
    std::vector<unsigned long long> cbEntries;
    for (const ProductFile &file : files)
    {
        names.push_back(file.name);
        cbEntries.push_back(file.name.size() + 1 + PAYLOAD_LENGTH_BYTES + file.cb);
    }
    return PlanFrames(names, cbEntries, cbPayload, s_cbFrameGoal);
}

#ifdef PAYLOADTOOL_ZSTD
static_assert(FRAME_WINDOW_LOG <= PAYLOAD_WINDOW_LOG_MAX, "frames with a window the setup refuses");
static_assert(FRAME_BYTES_MAX <= PAYLOAD_FRAME_BYTES_MAX, "frames larger than the setup decodes");

struct Compressor
{
    ZSTD_CCtx *cctx;
    int level;
    std::vector<unsigned char> packed;
    uint32_t crc;                   /* of the payload from PAYLOAD_CRC_FROM on, so far */
    std::vector<unsigned long long> ends;   /* PlanFrames */
    std::vector<unsigned char> table;       /* a row for each frame ended */
    unsigned long long cbFed;               /* stored bytes given to zstd */
    unsigned long long cbFramePacked;       /* compressed bytes of the frame being written */
};

/* The frame the next bytes go into, as planned. */
static size_t FrameNow(const Compressor *c)
{
    return c->table.size() / PAYLOAD_FRAME_ROW_BYTES;
}

/* The stored bytes planned for frame k. */
static unsigned long long PlannedFrameBytes(const Compressor *c, size_t k)
{
    return c->ends[k] - (k ? c->ends[k - 1] : 0);
}

/* Starts the next frame on its own, with fixed parameters and its decoded
   size in its header. */
static bool StartFrame(Compressor *c)
{
    unsigned long long cb = PlannedFrameBytes(c, FrameNow(c));
    return !ZSTD_isError(ZSTD_CCtx_reset(c->cctx, ZSTD_reset_session_and_parameters)) &&
           !ZSTD_isError(ZSTD_CCtx_setParameter(c->cctx, ZSTD_c_compressionLevel, c->level)) &&
           !ZSTD_isError(ZSTD_CCtx_setParameter(c->cctx, ZSTD_c_windowLog,
                                                c->ends.size() > 1 ? FRAME_WINDOW_LOG : COMPRESS_WINDOW_LOG)) &&
           !ZSTD_isError(ZSTD_CCtx_setParameter(c->cctx, ZSTD_c_contentSizeFlag, 1)) &&
           !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(c->cctx, cb));
}

/* Feeds what is in the buffer to zstd and writes what comes out, ending each
   frame at its planned end and starting the next. */
static void Compress(Output *out)
{
    Compressor *c = out->compressor;
    for (size_t at = 0; at < out->fill && !out->failed;)
    {
        size_t k = FrameNow(c);
        if (k == c->ends.size())
        {
            FailOutput(out, 0);     // more bytes than planned: zstd would have refused them too
            return;
        }
        unsigned long long cbToEnd = c->ends[k] - c->cbFed;
        size_t cb = (size_t)std::min<unsigned long long>(out->fill - at, cbToEnd);
        bool end = cb == cbToEnd;
        ZSTD_inBuffer in = { out->buffer.data() + at, cb, 0 };
        for (;;)
        {
            ZSTD_outBuffer packed = { c->packed.data(), c->packed.size(), 0 };
            size_t left = ZSTD_compressStream2(c->cctx, &packed, &in, end ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left))
            {
                FailOutput(out, 0);
                return;
            }
            c->crc = UpdateCrc32(c->crc, c->packed.data(), packed.pos);
            c->cbFramePacked += packed.pos;
            WriteOut(out, c->packed.data(), packed.pos);
            if (out->failed || (end ? left == 0 : in.pos == in.size))
                break;
        }
        at += cb;
        c->cbFed += cb;
        if (!end || out->failed)
            continue;
        // A frame's sizes fit the row: the payload is at most 1.75 GiB, and
        // one of several frames decodes to at most FRAME_BYTES_MAX.
        unsigned char row[PAYLOAD_FRAME_ROW_BYTES];
        WriteFrameRow((uint32_t)c->cbFramePacked, (uint32_t)PlannedFrameBytes(c, k), row);
        c->table.insert(c->table.end(), row, row + sizeof(row));
        c->cbFramePacked = 0;
        if (FrameNow(c) < c->ends.size() && !StartFrame(c))
            FailOutput(out, 0);
    }
}

/* The header, the frames holding the stored payload of files (cbPayload
   bytes) cut where ends says (PlanFilesInFrames, or one frame), and with more
   than one frame their table, written from the start of out's file: the header
   is written again at the end with its CRC-32. Single-threaded with fixed
   parameters, so the same files, level and cuts give the same bytes with the
   same zstd version. */
static bool WriteCompressedPayload(Output *out, const std::vector<ProductFile> &files, unsigned long long cbPayload,
                                   const std::vector<unsigned long long> &ends, int level, std::string &failed,
                                   std::string &why)
{
    PayloadHeader header = { 0, (uint32_t)files.size(), 0, cbPayload, (uint32_t)ends.size() };
    for (const ProductFile &file : files)
        header.cbLongestName = std::max(header.cbLongestName, (uint32_t)file.name.size());
    unsigned char head[PAYLOAD_FRAMES_HEADER_BYTES];
    size_t cbHead = WritePayloadHeader(&header, head);
    Compressor c = { ZSTD_createCCtx(), level, std::vector<unsigned char>(ZSTD_CStreamOutSize()),
                     UpdateCrc32(0, head + PAYLOAD_CRC_FROM, cbHead - PAYLOAD_CRC_FROM), ends, {}, 0, 0 };
    if (!c.cctx || !StartFrame(&c))
    {
        ZSTD_freeCCtx(c.cctx);
        why = "zstd refused its parameters";
        return false;
    }
    WriteOut(out, head, cbHead);
    out->compressor = &c;
    bool ok = PutPayload(out, files, failed, why);
    if (ok)
        Flush(out);
    out->compressor = NULL;
    ZSTD_freeCCtx(c.cctx);
    if (ok && !out->failed && FrameNow(&c) != ends.size())
        FailOutput(out, 0);         // fewer bytes than planned
    if (ok && ends.size() > 1)
    {
        c.crc = UpdateCrc32(c.crc, c.table.data(), c.table.size());
        WriteOut(out, c.table.data(), c.table.size());
    }
    header.crc = c.crc;
    WritePayloadHeader(&header, head);
    ssize_t cbWritten = ok && !out->failed ? pwrite(out->fd, head, cbHead, 0) : (ssize_t)cbHead;
    if (cbWritten != (ssize_t)cbHead)
        FailOutput(out, cbWritten < 0 ? errno : EIO);
    return ok && !out->failed;
}
#else
static void Compress(Output *out)
{
    FailOutput(out, 0);
}

static bool WriteCompressedPayload(Output *, const std::vector<ProductFile> &, unsigned long long,
                                   const std::vector<unsigned long long> &, int, std::string &, std::string &why)
{
    why = "this payloadtool was built without zstd";
    return false;
}
#endif

#define SCRATCH_NAMES 100       /* base.part, then base.part1 to base.part99 */

/* Creates a file of our own named base + ".part", or ".part1", ".part2", ...
   when that name is taken; returns its descriptor, or -1 with errno (EEXIST:
   every name was taken). Only a new file (O_EXCL): the name may be one of the
   inputs (a setup called OUT.part) or someone else's file, which writing, and
   deleting on failure, would destroy. */
static int CreateNewFile(const std::string &base, mode_t mode, std::string *path)
{
    for (int n = 0; n < SCRATCH_NAMES; n++)
    {
        *path = base + ".part" + (n ? std::to_string(n) : "");
        int fd = open(path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

/* Tells why CreateNewFile(base) failed for OUT; path is the name it tried last. */
static int FailCreate(const std::string &outPath, const std::string &base, const std::string &path)
{
    if (errno != EEXIST)
        return Fail(path, Errno("cannot create"));
    return Fail(outPath, "no free name for a scratch file next to it: " + base + ".part and " + base + ".part1 to " +
                             base + ".part" + std::to_string(SCRATCH_NAMES - 1) + " are all taken");
}

/* Makes the rename itself last through a crash. Best effort: the file is whole
   under its new name either way, and not every file system syncs a folder. */
static void SyncFolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
    {
        fsync(fd);
        close(fd);
    }
}

/* Written under another name in OUT's folder and renamed when whole and on
   disk, so a failed run, or a crash, leaves the old OUT or the new one, never
   a part of it; and the input may be the output. */
struct TempFile
{
    std::string path, finalPath;
    int fd;
};

static bool CreateTemp(TempFile *temp, const std::string &outPath, mode_t mode)
{
    temp->finalPath = outPath;
    temp->fd = CreateNewFile(outPath, mode, &temp->path);
    return temp->fd >= 0;
}

/* Reports a failure against OUT: the temporary is removed, so its name would
   tell the user nothing. */
static int FinishTemp(TempFile *temp, const Output &out, std::string failed, std::string why)
{
    if (failed.empty() && out.failed)
    {
        failed = temp->finalPath;
        why = OutputError(out);
    }
    if (failed.empty() && fsync(temp->fd) != 0)
    {
        failed = temp->finalPath;
        why = Errno("cannot write");
    }
    if (close(temp->fd) != 0 && failed.empty())
    {
        failed = temp->finalPath;
        why = Errno("cannot write");
    }
    if (failed.empty() && rename(temp->path.c_str(), temp->finalPath.c_str()) != 0)
    {
        failed = temp->finalPath;
        why = Errno("cannot rename the finished file to it");     // which is removed below
    }
    if (failed.empty())
    {
        SyncFolderOf(temp->finalPath);
        return 0;
    }
    unlink(temp->path.c_str());
    return Fail(failed, why);
}

static int Pack(const std::string &outPath, bool allowNoExe, int level, const NameCodePage &cp,
                const std::vector<std::string> &operands)
{
    std::vector<ProductFile> files;
    unsigned long long cbPayload = 0;
    if (int refused = GatherFiles(operands, allowNoExe, level != 0, cp, outPath, files, cbPayload))
        return refused;
    TempFile temp;
    if (!CreateTemp(&temp, outPath, 0666))
        return FailCreate(outPath, outPath, temp.path);
    Output out = { temp.fd, std::vector<unsigned char>(COPY_CHUNK), 0, 0, {}, false, 0, NULL };
    std::string failed, why;
    if (level)
    {
        if (!WriteCompressedPayload(&out, files, cbPayload, PlanFilesInFrames(files, cbPayload), level, failed, why) &&
            failed.empty() && !out.failed)
            failed = outPath;
    }
    else
        PutPayload(&out, files, failed, why);
    Flush(&out);
    return FinishTemp(&temp, out, failed, why);
}

/* ---- reading: a payload file or a setup image, mapped ---- */

struct MappedFile
{
    const unsigned char *data;
    unsigned long long cb;
    mode_t mode;
};

static bool MapFile(const std::string &path, MappedFile *map, std::string &why)
{
    static const unsigned char s_empty[1] = { 0 };
    int fd = open(path.c_str(), O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
    {
        why = Errno("cannot open");
        if (fd >= 0)
            close(fd);
        return false;
    }
    map->cb = (unsigned long long)st.st_size;
    map->mode = st.st_mode & 07777;
    map->data = s_empty;
    if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    else if (map->cb)
    {
        void *mapped = mmap(NULL, (size_t)map->cb, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED)
            why = Errno("cannot read");
        else
            map->data = (const unsigned char *)mapped;
    }
    close(fd);
    return S_ISREG(st.st_mode) && (map->cb == 0 || map->data != s_empty);
}

static bool IsImage(const MappedFile &map)
{
    return map.cb >= 2 && map.data[0] == 'M' && map.data[1] == 'Z';
}

/* A compressed payload's entries, of either form, decoded by the setup's own
   decoder and rules, a frame at a time. Their names are kept in names; their
   data is not kept. about says what was carried. */
static bool DecodeEntries(const unsigned char *payload, size_t cbPayload, std::vector<PayloadEntry> &entries,
                          std::deque<std::string> &names, std::string &about, std::string &why)
{
#ifdef PAYLOADTOOL_ZSTD
    PayloadFrames frames;
    uint32_t crc = cbPayload > PAYLOAD_CRC_FROM ? UpdateCrc32(0, payload + PAYLOAD_CRC_FROM, cbPayload - PAYLOAD_CRC_FROM) : 0;
    PayloadCheck check = CheckPayloadFrames(payload, cbPayload, &crc, &frames);
    if (check != CHECK_OK)
    {
        why = check == CHECK_TOO_LARGE ? "compressed with a window larger than the setup decodes"
                                       : "compressed payload damaged: its CRC-32, header, frame table or a frame "
                                         "header does not match";
        return false;
    }
    std::vector<uint64_t> workspace(frames.cbContext / 8 + 1);
    std::vector<unsigned char> buffer(frames.cbLargestFrame);
    DecodedEntries decoded;
    StartDecodedEntries(&decoded, &frames.header);
    PayloadFrame frame;
    FirstPayloadFrame(&frames, &frame);
    uint32_t cEnded = 0;
    PayloadPieceKind kind = PIECE_MORE;
    do
    {
        FrameDecoder decoder;
        if (!StartFrameDecoder(&decoder, workspace.data(), frames.cbContext, &frame, buffer.data()))
        {
            why = "zstd refused its workspace";
            return false;
        }
        cEnded += DecodeFramePart(&decoder, frame.cbPacked) == FRAME_ENDED;
        size_t pos = 0;
        PayloadPiece piece;
        while ((kind = NextEntryPiece(&decoded, buffer.data(), decoder.cbDone, &pos, &piece)) != PIECE_MORE &&
               kind != PIECE_END && kind != PIECE_DAMAGED)
        {
            if (kind == PIECE_FILE)
            {
                names.push_back(piece.name);
                entries.push_back({ names.back().c_str(), NULL, piece.cbFile });
            }
        }
    } while (cEnded == frame.k + 1 && kind != PIECE_DAMAGED && NextPayloadFrame(&frames, &frame));
    why = "compressed payload damaged: stopped in frame " + std::to_string(frame.k + 1) + " of " +
          std::to_string(frames.header.cFrames) + ", after " + std::to_string(entries.size()) + " entries";
    about = ", zstd: " + std::to_string(cbPayload) + " bytes carried in " + std::to_string(frames.header.cFrames) +
            (frames.header.cFrames == 1 ? " frame" : " frames") + ", the largest " +
            std::to_string(frames.cbLargestFrame >> 10) + " KiB decoded";
    return IsWholeFramedPayload(&frames, cEnded, &decoded);
#else
    (void)payload, (void)cbPayload, (void)entries, (void)names, (void)about;
    why = "a compressed payload, and this payloadtool was built without zstd (install libzstd-dev and build it again)";
    return false;
#endif
}

/* The entry at *pos when it is whole but for a name the setup refuses: the
   name's zero, the length and the data inside the payload. Lets list and
   verify tell every refused name rather than stop at the first. */
static bool ReadEntryPastItsName(const unsigned char *payload, size_t cbPayload, size_t *pos, PayloadEntry *entry)
{
    const unsigned char *zero =
        *pos < cbPayload ? (const unsigned char *)memchr(payload + *pos, 0, cbPayload - *pos) : NULL;
    size_t at = zero ? (size_t)(zero - payload) + 1 + PAYLOAD_LENGTH_BYTES : 0;
    if (!zero || at > cbPayload)
        return false;
    unsigned long cbData = (unsigned long)zero[1] | (unsigned long)zero[2] << 8 | (unsigned long)zero[3] << 16 |
                           (unsigned long)zero[4] << 24;
    if (cbData > cbPayload - at)
        return false;
    *entry = { (const char *)payload + *pos, payload + at, cbData };
    *pos = at + cbData;
    return true;
}

/* The payload in a payload file, or inside a setup image, walked by the setup's
   rules; entries point into the mapped file, or into names when it is compressed.
   A stored entry whose name the setup refuses is told and kept in entries. */
static bool LoadPayload(const std::string &path, const NameCodePage &cp, MappedFile &map,
                        std::vector<PayloadEntry> &entries, std::deque<std::string> &names, SetupImage &image,
                        std::string &about, std::string &why)
{
    if (!MapFile(path, &map, why))
        return false;
    const unsigned char *payload = map.data;
    unsigned long long cbPayload = map.cb;
    if (IsImage(map))
    {
        if (ReadSetupImage(map.data, map.cb, true, &image, &why) != IMAGE_OK)
            return false;
        payload = map.data + image.resources[image.payload].fileOffset;
        cbPayload = image.resources[image.payload].cbData;
    }
    if (IsCompressedPayload(payload, (size_t)cbPayload) || IsFramedPayload(payload, (size_t)cbPayload))
        return DecodeEntries(payload, (size_t)cbPayload, entries, names, about, why);
    size_t pos = 0;
    PayloadEntry entry;
    PayloadStep step;
    while ((step = NextPayloadEntry(payload, (size_t)cbPayload, &pos, &entry)) != PAYLOAD_END)
    {
        if (step == PAYLOAD_DAMAGED && !ReadEntryPastItsName(payload, (size_t)cbPayload, &pos, &entry))
        {
            why = "payload damaged at offset " + std::to_string(pos) + ", after " + std::to_string(entries.size()) +
                  " entries";
            return false;
        }
        if (step == PAYLOAD_DAMAGED)
            Refuse(path, "entry " + std::to_string(entries.size() + 1) + ": " + WhyNameRefused(entry.name, false, cp));
        entries.push_back(entry);
    }
    return true;
}

static unsigned long long TotalBytes(const std::vector<PayloadEntry> &entries)
{
    unsigned long long cb = 0;
    for (const PayloadEntry &entry : entries)
        cb += entry.cbData;
    return cb;
}

static int List(const std::string &path, const NameCodePage &cp)
{
    MappedFile map;
    SetupImage image;
    std::vector<PayloadEntry> entries;
    std::deque<std::string> names;
    std::string about, why;
    if (!LoadPayload(path, cp, map, entries, names, image, about, why))
    {
        EndOfRefusals();
        return Fail(path, why);
    }
    if (int refused = EndOfRefusals())
        return refused;
    for (const PayloadEntry &entry : entries)
        printf("%s\t%lu\n", ShownName(cp, entry.name).c_str(), entry.cbData);
    printf("%zu entries, %llu bytes%s\n", entries.size(), TotalBytes(entries), about.c_str());
    return 0;
}

/* The image checksum of a file, with the field at checksumAt counted as zero.
   Read piece by piece rather than through the mapping, so that a large setup's
   pages do not all stay resident. */
static bool ChecksumOfFile(const std::string &path, size_t checksumAt, uint32_t *checksum)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    std::vector<unsigned char> chunk(COPY_CHUNK);
    ImageChecksum sum;
    unsigned long long at = 0;
    ssize_t cb;
    while ((cb = read(fd, chunk.data(), chunk.size())) > 0)
    {
        for (unsigned long long i = std::max(at, (unsigned long long)checksumAt); i < checksumAt + 4 && i < at + cb; i++)
            chunk[i - at] = 0;
        AddToChecksum(&sum, chunk.data(), (size_t)cb);
        at += (unsigned long long)cb;
    }
    close(fd);
    *checksum = FinishChecksum(sum);
    return cb == 0;
}

/* For a setup, also what a user's download check would see: whether the image
   still has the checksum it was stamped with, and whether it is signed. */
static int Verify(const std::string &path, bool allowNoExe, const NameCodePage &cp)
{
    MappedFile map;
    SetupImage image;
    std::vector<PayloadEntry> entries;
    std::deque<std::string> decodedNames;
    std::string about, why;
    if (!LoadPayload(path, cp, map, entries, decodedNames, image, about, why))
    {
        EndOfRefusals();
        return Fail(path, why);
    }
    bool haveExe = false;
    std::vector<std::string> names;
    for (size_t i = 0; i < entries.size(); i++)
    {
        std::wstring unicode;
        if (cp.number && !DecodeName(cp, entries[i].name, &unicode, why))
            Refuse(path, "entry " + std::to_string(i + 1) + " ('" + ShownName(cp, entries[i].name) + "'): " + why);
        haveExe = haveExe || strcmp(entries[i].name, s_productExe) == 0;
        names.push_back(entries[i].name);
    }
    for (const auto &clash : FindNameClashes(names, cp))
        Refuse(path, "entry " + std::to_string(clash.first + 1) + ": " + clash.second);
    if (!haveExe && !allowNoExe)
        Refuse(path, std::string("no entry named ") + s_productExe);
    if (int refused = EndOfRefusals())
        return refused;
    if (IsImage(map))
    {
        uint32_t stored = StoredChecksum(map.data, image);
        uint32_t computed = 0;
        if (stored != 0 && !ChecksumOfFile(path, image.optionalHeader + 64, &computed))
            return Fail(path, Errno("cannot read"));
        if (stored != 0 && stored != computed)
            return Fail(path, "the image checksum does not match: the file was changed after it was built");
        about += stored ? ", checksum ok" : ", no checksum";
        about += image.cbCertificate ? ", signed" : ", not signed";
    }
    printf("%s: ok, %zu entries, %llu bytes%s\n", path.c_str(), entries.size(), TotalBytes(entries), about.c_str());
    return 0;
}

/* ---- stamping ---- */

/* A compressed payload is written to a scratch file first, as the image's
   layout needs its size. The scratch file has no name once open, so what
   fails with it is told against OUT, as what was being done. */
static const char s_compressing[] = "compressing into a scratch file beside it: ";
static const char s_readingBack[] = "reading back the compressed payload from its scratch file: ";

static int CompressToScratch(const std::string &outPath, const std::vector<ProductFile> &files,
                             unsigned long long cbPayload, const std::vector<unsigned long long> &ends, int level,
                             int *scratch, unsigned long long *cbPacked)
{
    std::string failed, why, path;
    *scratch = CreateNewFile(outPath + ".payload", 0600, &path);
    if (*scratch < 0)
        return FailCreate(outPath, outPath + ".payload", path);
    unlink(path.c_str());
    Output packed = { *scratch, std::vector<unsigned char>(COPY_CHUNK), 0, 0, {}, false, 0, NULL };
    if (!WriteCompressedPayload(&packed, files, cbPayload, ends, level, failed, why))
        return !failed.empty() ? Fail(failed, why)
                               : Fail(outPath, s_compressing + (packed.failed ? OutputError(packed) : why));
    *cbPacked = packed.cbWritten;
    if (*cbPacked > s_cbPayloadMax)
        return FailTooLarge(outPath, "the compressed payload is ", *cbPacked);
    if (lseek(*scratch, 0, SEEK_SET) != 0)
        return Fail(outPath, s_readingBack + Errno("cannot read"));
    return 0;
}

static int Stamp(const std::string &setupPath, const std::string &outPath, bool allowNoExe, bool stripSignature,
                 int level, const NameCodePage &cp, const std::vector<std::string> &operands)
{
    MappedFile map;
    SetupImage image;
    std::string why;
    if (!MapFile(setupPath, &map, why))
        return Fail(setupPath, why);
    if (ReadSetupImage(map.data, map.cb, stripSignature, &image, &why) != IMAGE_OK)
        return Fail(setupPath, why);
    // A setup that cannot decode what it carries would end in its error box.
    if (level && !ImageReadsForm(map.data, image, "zstd"))
        return Fail(setupPath, "this setup reads stored payloads only (it has no decoder): stamp it without --compress");
    std::vector<ProductFile> files;
    unsigned long long cbPayload = 0;
    if (int refused = GatherFiles(operands, allowNoExe, level != 0, cp, outPath, files, cbPayload))
        return refused;
    // Frames only for a setup that decodes them: for one that reads one frame
    // only, the product goes in one frame, as stamped before frames.
    std::vector<unsigned long long> ends(1, cbPayload);
    if (level && ImageReadsForm(map.data, image, "zstd-frames"))
        ends = PlanFilesInFrames(files, cbPayload);
    int scratch = -1;
    unsigned long long cbCarried = cbPayload;
    if (level)
    {
        if (int refused = CompressToScratch(outPath, files, cbPayload, ends, level, &scratch, &cbCarried))
        {
            if (scratch >= 0)
                close(scratch);
            return refused;
        }
    }
    StampLayout layout;
    if (!LayoutStampedImage(map.data, image, cbCarried, &layout, &why))
    {
        if (scratch >= 0)
            close(scratch);
        return Fail(outPath, why);
    }

    TempFile temp;
    if (!CreateTemp(&temp, outPath, map.mode))
        return FailCreate(outPath, outPath, temp.path);
    fchmod(temp.fd, map.mode);      // whatever the umask: a setup stays runnable
    Output out = { temp.fd, std::vector<unsigned char>(COPY_CHUNK), 0, 0, {}, false, 0, NULL };
    std::string failed;
    Put(&out, layout.head.data(), layout.head.size());
    bool carried = scratch >= 0 ? CopyFrom(&out, scratch, cbCarried, why) : PutPayload(&out, files, failed, why);
    if (scratch >= 0)
    {
        close(scratch);
        if (!carried && !out.failed)
        {
            failed = outPath;
            why = s_readingBack + why;
        }
    }
    if (carried)
        Put(&out, layout.tail.data(), layout.tail.size());
    Flush(&out);
    if (failed.empty() && !out.failed)
    {
        unsigned char sum[4];
        uint32_t checksum = FinishChecksum(out.checksum);
        for (int b = 0; b < 4; b++)
            sum[b] = (unsigned char)(checksum >> (8 * b));
        ssize_t cb = pwrite(temp.fd, sum, 4, (off_t)layout.checksumOffset);
        if (cb != 4)
            FailOutput(&out, cb < 0 ? errno : EIO);
    }
    return FinishTemp(&temp, out, failed, why);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    std::string command = argv[1], outPath, codePage;
    bool allowNoExe = false, stripSignature = false;
    int level = 0;
    std::vector<std::string> operands;
    bool writes = command == "pack" || command == "stamp";
    for (int i = 2; i < argc; i++)
    {
        std::string arg = argv[i];
        if (arg == "--allow-no-exe" && command != "list")
            allowNoExe = true;
        else if (arg == "--strip-signature" && command == "stamp")
            stripSignature = true;
        else if ((arg == "--compress" || arg.compare(0, 11, "--compress=") == 0) && writes)
        {
            level = arg.size() > 11 ? atoi(arg.c_str() + 11) : COMPRESS_LEVEL_DEFAULT;
            if (level < 1 || level > 22 || (arg.size() > 11 && arg.find_first_not_of("0123456789", 11) != std::string::npos))
                return Usage();
#ifndef PAYLOADTOOL_ZSTD
            return Fail(arg, "this payloadtool was built without zstd: install libzstd-dev and build it again");
#endif
        }
        else if (arg.compare(0, 12, "--frame-mib=") == 0 && writes)
        {
            int mib = atoi(arg.c_str() + 12);
            if (mib < 1 || (unsigned long long)mib << 20 > FRAME_BYTES_GOAL ||
                arg.find_first_not_of("0123456789", 12) != std::string::npos)
                return Usage();
            s_cbFrameGoal = (unsigned long long)mib << 20;
        }
        else if (arg == "-o" && writes && outPath.empty() && i + 1 < argc)
            outPath = argv[++i];
        else if (arg == "--codepage" && codePage.empty() && i + 1 < argc)
            codePage = argv[++i];
        else if (arg.size() > 1 && arg[0] == '-')
            return Usage();
        else
            operands.push_back(arg);
    }
    NameCodePage cp;
    std::string why;
    char *end = NULL;
    unsigned long number = codePage.empty() ? 0 : strtoul(codePage.c_str(), &end, 10);
    if (!codePage.empty() && (number == 0 || *end != 0 || number > 65535))
        return Fail("--codepage " + codePage, "not the number of a Windows code page");
    if (!OpenNameCodePage((unsigned)number, &cp, why))
        return Fail("--codepage " + codePage, why);
    if (command == "pack" && !outPath.empty() && !operands.empty())
        return Pack(outPath, allowNoExe, level, cp, operands);
    if (command == "stamp" && !outPath.empty() && operands.size() >= 2)
        return Stamp(operands[0], outPath, allowNoExe, stripSignature, level, cp,
                     std::vector<std::string>(operands.begin() + 1, operands.end()));
    if (command == "list" && operands.size() == 1)
        return List(operands[0], cp);
    if (command == "verify" && operands.size() == 1)
        return Verify(operands[0], allowNoExe, cp);
    return Usage();
}

// framesizes.cpp - the compressed size of a stored payload cut into frames each
// way asked for, at the payload tool's level and a window
//
//   framesizes STORED OUTDIR LEVEL WINDOWLOG CUT...
//
// STORED is a stored payload (payloadtool pack). Each CUT is one of
//   one          the whole payload as one frame (the form before frames)
//   equal:N      N frames of equal decoded size
//   every:MIB    frames of MIB MiB decoded, the last one shorter
//   entries:MIB  frames of at most MIB MiB decoded, each ended at the last
//                entry boundary inside it (cut inside an entry only when one
//                entry alone is longer)
//   near:N       N frames cut at the entry boundaries nearest to N equal parts
//   after:I,J    frames cut after the I-th entry, the J-th, ...
//   plan:MIB     as the payload tool cuts them (tools/frameplan.h), with shares
//                of MIB MiB (the tool's: FRAME_BYTES_GOAL)
// Each frame is compressed on its own as the payload tool compresses one (one
// thread, the content size in the frame header; WINDOWLOG 27 makes each
// frame's window as large as the frame, as the tool's frames have it), so the
// sizes are the tool's. Prints one line per cut: the frames, the largest, the
// payload's bytes and where the cuts fell; writes OUTDIR/CUT.bin, the
// compressed payload (payloadstream.h: the one-frame form for one frame, the
// framed form otherwise), for bench/decodespeed. Cuts run one after another:
// run two of these side by side on two cores.

#include <zstd.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "frameplan.h"
#include "payload.h"
#include "payloadstream.h"

static std::vector<unsigned char> ReadFile(const char *path)
{
    std::vector<unsigned char> data;
    FILE *file = fopen(path, "rb");
    if (!file)
        return data;
    unsigned char chunk[1 << 16];
    size_t cb;
    while ((cb = fread(chunk, 1, sizeof(chunk), file)) > 0)
        data.insert(data.end(), chunk, chunk + cb);
    fclose(file);
    return data;
}

/* Where each stored entry ends, and the end mark's start and end. */
static std::vector<size_t> EntryBoundaries(const std::vector<unsigned char> &stored)
{
    std::vector<size_t> ends;
    size_t pos = 0;
    PayloadEntry entry;
    while (NextPayloadEntry(stored.data(), stored.size(), &pos, &entry) == PAYLOAD_ENTRY)
        ends.push_back(pos);
    ends.push_back(stored.size());
    return ends;
}

/* The decoded offsets where frames end, the last the payload's end; empty
   when cut is not understood. */
static std::vector<size_t> CutPoints(const std::string &cut, const std::vector<unsigned char> &stored)
{
    std::vector<size_t> points;
    size_t cb = stored.size(), colon = cut.find(':');
    std::string kind = cut.substr(0, colon);
    unsigned long n = colon == std::string::npos ? 0 : strtoul(cut.c_str() + colon + 1, NULL, 10);
    if (kind == "one")
        points.push_back(cb);
    else if (kind == "equal" && n > 0)
        for (unsigned long k = 1; k <= n; k++)
            points.push_back((size_t)((unsigned long long)cb * k / n));
    else if (kind == "every" && n > 0)
        for (size_t at = 0; at < cb;)
            points.push_back(at = at + (n << 20) < cb ? at + (n << 20) : cb);
    else if (kind == "plan" && n > 0)
    {
        std::vector<std::string> names;
        std::vector<unsigned long long> cbEntries;
        size_t pos = 0, from = 0;
        PayloadEntry entry;
        while (NextPayloadEntry(stored.data(), stored.size(), &pos, &entry) == PAYLOAD_ENTRY)
        {
            names.push_back(entry.name);
            cbEntries.push_back(pos - from);
            from = pos;
        }
        for (unsigned long long end : PlanFrames(names, cbEntries, cb, (unsigned long long)n << 20))
            points.push_back((size_t)end);
    }
    else if (kind == "after" && n > 0)
    {
        std::vector<size_t> ends = EntryBoundaries(stored);
        for (const char *at = cut.c_str() + colon; *at == ':' || *at == ',';)
        {
            unsigned long i = strtoul(at + 1, (char **)&at, 10);
            if (i == 0 || i >= ends.size() || (!points.empty() && ends[i - 1] <= points.back()))
                return std::vector<size_t>();
            points.push_back(ends[i - 1]);
        }
        points.push_back(cb);
    }
    else if (kind == "near" && n > 0)
    {
        std::vector<size_t> ends = EntryBoundaries(stored);
        for (unsigned long k = 1; k < n; k++)
        {
            size_t target = (size_t)((unsigned long long)cb * k / n), best = ends[0];
            for (size_t e : ends)
                if ((e > target ? e - target : target - e) < (best > target ? best - target : target - best))
                    best = e;
            if (points.empty() || best > points.back())
                points.push_back(best);
        }
        points.push_back(cb);
    }
    else if (kind == "entries" && n > 0)
    {
        std::vector<size_t> ends = EntryBoundaries(stored);
        for (size_t at = 0; at < cb;)
        {
            size_t limit = at + (n << 20) < cb ? at + (n << 20) : cb, end = limit;
            for (size_t e : ends)
                if (e > at && e <= limit)
                    end = e;        // the last boundary inside the frame
            if (limit == cb)
                end = cb;
            points.push_back(at = end);
        }
    }
    return points;
}

int main(int argc, char **argv)
{
    if (argc < 6)
    {
        fprintf(stderr, "usage: framesizes STORED OUTDIR LEVEL WINDOWLOG CUT...\n");
        return 2;
    }
    std::vector<unsigned char> stored = ReadFile(argv[1]);
    std::string outDir = argv[2];
    int level = atoi(argv[3]), windowLog = atoi(argv[4]);
    PayloadSummary summary;
    if (stored.empty() || !CheckPayload(stored.data(), stored.size(), &summary))
    {
        fprintf(stderr, "framesizes: %s is not a stored payload\n", argv[1]);
        return 1;
    }
    printf("stored %zu B, level %d, window log %d, zstd %s\n", stored.size(), level, windowLog, ZSTD_versionString());
    std::vector<unsigned char> packed;
    for (int i = 5; i < argc; i++)
    {
        std::vector<size_t> points = CutPoints(argv[i], stored);
        if (points.empty())
        {
            fprintf(stderr, "framesizes: %s: not a cut\n", argv[i]);
            return 2;
        }
        std::string name = outDir + "/" + argv[i] + ".bin";
        for (char &c : name)
            c = c == ':' || c == ',' ? '-' : c;
        FILE *out = fopen(name.c_str(), "wb");
        PayloadHeader header = { 0, (uint32_t)summary.cEntries, (uint32_t)summary.cbLongestName, stored.size(),
                                 (uint32_t)points.size() };
        unsigned char head[PAYLOAD_FRAMES_HEADER_BYTES];
        size_t cbHead = WritePayloadHeader(&header, head);
        if (!out || fwrite(head, 1, cbHead, out) != cbHead)
        {
            fprintf(stderr, "framesizes: cannot write %s\n", name.c_str());
            return 1;
        }
        uint32_t crc = UpdateCrc32(0, head + PAYLOAD_CRC_FROM, cbHead - PAYLOAD_CRC_FROM);
        std::vector<unsigned char> table;
        ZSTD_CCtx *cctx = ZSTD_createCCtx();
        size_t largest = 0, at = 0;
        clock_t start = clock();
        for (size_t end : points)
        {
            size_t cb = end - at;
            packed.resize(ZSTD_compressBound(cb));
            ZSTD_CCtx_reset(cctx, ZSTD_reset_session_and_parameters);
            ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
            ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, windowLog);
            ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1);
            size_t cbFrame = ZSTD_compress2(cctx, packed.data(), packed.size(), stored.data() + at, cb);
            if (ZSTD_isError(cbFrame) || fwrite(packed.data(), 1, cbFrame, out) != cbFrame)
            {
                fprintf(stderr, "framesizes: %s: %s\n", argv[i], ZSTD_isError(cbFrame) ? ZSTD_getErrorName(cbFrame) : "cannot write");
                return 1;
            }
            crc = UpdateCrc32(crc, packed.data(), cbFrame);
            unsigned char row[PAYLOAD_FRAME_ROW_BYTES];
            WriteFrameRow((uint32_t)cbFrame, (uint32_t)cb, row);
            table.insert(table.end(), row, row + sizeof(row));
            largest = cb > largest ? cb : largest;
            at = end;
        }
        ZSTD_freeCCtx(cctx);
        if (points.size() > 1)
        {
            crc = UpdateCrc32(crc, table.data(), table.size());
            fwrite(table.data(), 1, table.size(), out);
        }
        header.crc = crc;
        WritePayloadHeader(&header, head);
        if (fseek(out, 0, SEEK_SET) != 0 || fwrite(head, 1, cbHead, out) != cbHead || fseek(out, 0, SEEK_END) != 0)
            return 1;
        long cbPayload = ftell(out);
        fclose(out);
        std::string cuts;
        for (size_t k = 0; k + 1 < points.size() && k < 8; k++)
        {
            char mib[32];
            snprintf(mib, sizeof(mib), "%s%.1f", k ? "," : " cuts at MiB ", points[k] / 1048576.0);
            cuts += mib;
        }
        printf("%-14s frames %3zu largest %9zu B payload %10ld B (%.2f %%) cpu %.0f s%s\n", argv[i], points.size(),
               largest, cbPayload, 100.0 * cbPayload / stored.size(), (double)(clock() - start) / CLOCKS_PER_SEC,
               cuts.c_str());
        fflush(stdout);
    }
    return 0;
}

// decodespeed.cpp - the payload decoder's and the CRC-32's speed alone, as built
// for the setup
//
//   decodespeed PAYLOAD [passes]
//
// PAYLOAD is a compressed payload (payloadtool pack --compress). Each pass
// decodes its frame from memory the way the setup does (decode.h: the frame
// given in 1 MiB pieces, decoded into a 1 MiB piece at a time, the workspace
// the check asks for), then runs UpdateCrc32 over all of it CRC_ROUNDS times.
// Prints, per pass, MB of decoded output per second of the thread's CPU time
// and of wall time, and the CRC's MB of input per CPU second; the best pass is
// the figure (on a shared machine the others' work slows the rest). The
// file is read before the first pass, so no disk is timed. Builds for Windows
// (bench/CMakeLists.txt: one per way of building the decoder) and on the host
// (for valgrind's instruction counts).

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "decode.h"

/* The CRC takes a tenth of the decoder's time: run often enough to be timed
   with Windows's 10 ms (15.6 ms) CPU clock. */
#define CRC_ROUNDS 10

/* Seconds of this thread's CPU time and of the clock. */
static double CpuSeconds(void)
{
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    ULONGLONG ticks = ((ULONGLONG)user.dwHighDateTime << 32 | user.dwLowDateTime) +
                      ((ULONGLONG)kernel.dwHighDateTime << 32 | kernel.dwLowDateTime);
    return ticks / 1e7;
#else
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
#endif
}

static double WallSeconds(void)
{
#ifdef _WIN32
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)now.QuadPart / frequency.QuadPart;
#else
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
#endif
}

/* Decodes the whole frame once; returns the decoded bytes, 0 on failure. */
static uint64_t DecodeOnce(const std::vector<unsigned char> &payload, const CompressedPayload &compressed,
                           void *workspace, unsigned char *out)
{
    PayloadDecoder decoder;
    if (!StartPayloadDecoder(&decoder, &compressed, workspace, compressed.cbWorkspace, out))
        return 0;
    size_t at = PAYLOAD_HEADER_BYTES;
    for (;;)
    {
        size_t fill = 0;
        FrameStep step;
        while ((step = DecodeFrame(&decoder, out, PAYLOAD_PIECE_BYTES, &fill)) == FRAME_NEEDS_INPUT)
        {
            size_t cb = payload.size() - at < PAYLOAD_PIECE_BYTES ? payload.size() - at : PAYLOAD_PIECE_BYTES;
            GiveFrameBytes(&decoder, payload.data() + at, cb);
            at += cb;
        }
        if (step == FRAME_ENDED)
            return decoder.cbDecoded;
        if (step != FRAME_FULL)
            return 0;
    }
}

int main(int argc, char **argv)
{
    if (argc < 2)
    {
        fprintf(stderr, "usage: decodespeed PAYLOAD [passes]\n");
        return 2;
    }
    int passes = argc > 2 ? atoi(argv[2]) : 3;
    FILE *file = fopen(argv[1], "rb");
    std::vector<unsigned char> payload;
    if (file)
    {
        unsigned char chunk[65536];
        size_t cb;
        while ((cb = fread(chunk, 1, sizeof(chunk), file)) > 0)
            payload.insert(payload.end(), chunk, chunk + cb);
        fclose(file);
    }
    CompressedPayload compressed;
    size_t cbHead = payload.size() < PAYLOAD_HEAD_BYTES ? payload.size() : PAYLOAD_HEAD_BYTES;
    if (payload.empty() || CheckCompressedPayload(payload.data(), cbHead, payload.size(), NULL, &compressed) != CHECK_OK)
    {
        fprintf(stderr, "decodespeed: %s is not a compressed payload\n", argv[1]);
        return 1;
    }
    std::vector<uint64_t> workspace(compressed.cbWorkspace / 8 + 1);
    std::vector<unsigned char> out(PAYLOAD_PIECE_BYTES);
    printf("payload %zu B, decoded %llu B, window %llu KiB\n", payload.size(),
           (unsigned long long)compressed.header.cbDecoded, (unsigned long long)(compressed.cbWindow >> 10));
    for (int pass = 0; pass < passes; pass++)
    {
        double cpu0 = CpuSeconds(), wall0 = WallSeconds();
        uint64_t cbDecoded = DecodeOnce(payload, compressed, workspace.data(), out.data());
        double cpu1 = CpuSeconds(), wall1 = WallSeconds();
        uint32_t crc = 0;
        for (int round = 0; round < CRC_ROUNDS; round++)
            crc = UpdateCrc32(0, payload.data() + PAYLOAD_CRC_FROM, payload.size() - PAYLOAD_CRC_FROM);
        double cpu2 = CpuSeconds();
        if (cbDecoded != compressed.header.cbDecoded || crc != compressed.header.crc)
        {
            fprintf(stderr, "decodespeed: pass %d decoded %llu B, CRC %08x: damaged\n", pass,
                    (unsigned long long)cbDecoded, crc);
            return 1;
        }
        printf("pass %d decode %.1f MB/s cpu %.3f s wall %.3f s crc %.1f MB/s cpu %.3f s\n", pass,
               cbDecoded / 1e6 / (cpu1 - cpu0), cpu1 - cpu0, wall1 - wall0,
               CRC_ROUNDS * (payload.size() - PAYLOAD_CRC_FROM) / 1e6 / (cpu2 - cpu1), cpu2 - cpu1);
        fflush(stdout);
    }
    return 0;
}

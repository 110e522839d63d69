// decodespeed.cpp - the payload decoder's and the CRC-32's speed alone, as built
// for the setup
//
//   decodespeed PAYLOAD [passes]
//
// PAYLOAD is a compressed payload of either form (payloadtool pack --compress).
// Each pass decodes it from memory, then runs UpdateCrc32 over all of it
// CRC_ROUNDS times ("crc"): frame by frame, each frame into a buffer of its
// decoded size (decode.h), given FRAME_PART_BYTES of compressed bytes at a
// time so that a writer could follow, as the setup decodes it: on one thread
// ("frames"), and on two threads at once, each taking every other frame
// ("two"; with one frame the second thread has nothing to do).
// Prints, per pass and way, MB of decoded output per second of the decoding
// thread's CPU time and of wall time (for "two": the output of both threads
// per wall second, and each thread's own MB per CPU second), and the CRC's MB
// of input per CPU second; the best pass is the figure (on a shared machine
// the others' work slows the rest). The file is read before the first pass,
// so no disk is timed. Builds for Windows (bench/CMakeLists.txt: one per way
// of building the decoder) and on the host (for valgrind's instruction counts).

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#endif
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "decode.h"

/* The CRC takes a tenth of the decoder's time: run often enough to be timed
   with Windows's 10 ms (15.6 ms) CPU clock. */
#define CRC_ROUNDS 10

/* Compressed bytes given to a frame's decoder at a time: about 4 MiB decoded,
   the step at which a writer following the decoder would see its progress. */
#define FRAME_PART_BYTES (1 << 20)

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

/* One thread's share of the frames: every step-th frame from first, each
   decoded into buffer (cbLargestFrame bytes) with workspace (cbContext). */
struct FrameShare
{
    const PayloadFrames *frames;
    uint32_t first, step;
    void *workspace;
    unsigned char *buffer;
    uint64_t cbDecoded;             /* 0 when a frame was damaged */
    double cpu;                     /* seconds of this thread's CPU time */
};

static void DecodeShare(FrameShare *share)
{
    double cpu0 = CpuSeconds();
    share->cbDecoded = 0;
    PayloadFrame frame;
    FirstPayloadFrame(share->frames, &frame);
    int ok = 1;
    do
    {
        if (frame.k < share->first || (frame.k - share->first) % share->step)
            continue;
        FrameDecoder decoder;
        FrameStep step = FRAME_DAMAGED;
        if (StartFrameDecoder(&decoder, share->workspace, share->frames->cbContext, &frame, share->buffer))
            while ((step = DecodeFramePart(&decoder, FRAME_PART_BYTES)) == FRAME_NEEDS_INPUT)
                ;
        ok = step == FRAME_ENDED;
        share->cbDecoded += frame.cbDecoded;
    } while (ok && NextPayloadFrame(share->frames, &frame));
    if (!ok)
        share->cbDecoded = 0;
    share->cpu = CpuSeconds() - cpu0;
}

#ifdef _WIN32
static DWORD WINAPI DecodeShareThread(void *param)
{
    DecodeShare((FrameShare *)param);
    return 0;
}
#else
static void *DecodeShareThread(void *param)
{
    DecodeShare((FrameShare *)param);
    return NULL;
}
#endif

/* The frames on cThreads threads at once (1 or 2); returns the wall seconds,
   each share's figures in shares, or a negative number when a thread could
   not start. */
static double DecodeFramesOn(int cThreads, FrameShare *shares)
{
    double wall0 = WallSeconds();
    if (cThreads == 1)
    {
        DecodeShare(&shares[0]);
        return WallSeconds() - wall0;
    }
#ifdef _WIN32
    HANDLE hThread = CreateThread(NULL, 0, DecodeShareThread, &shares[1], 0, NULL);
    if (!hThread)
        return -1;
    DecodeShare(&shares[0]);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
#else
    pthread_t thread;
    if (pthread_create(&thread, NULL, DecodeShareThread, &shares[1]) != 0)
        return -1;
    DecodeShare(&shares[0]);
    pthread_join(thread, NULL);
#endif
    return WallSeconds() - wall0;
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
    PayloadFrames frames;
    if (payload.empty() || CheckPayloadFrames(payload.data(), payload.size(), NULL, &frames) != CHECK_OK)
    {
        fprintf(stderr, "decodespeed: %s is not a compressed payload\n", argv[1]);
        return 1;
    }
    FrameShare shares[2];
    std::vector<uint64_t> contexts[2];
    std::vector<unsigned char> buffers[2];
    for (int t = 0; t < 2; t++)
    {
        contexts[t].resize(frames.cbContext / 8 + 1);
        buffers[t].resize(frames.cbLargestFrame);
        shares[t] = { &frames, (uint32_t)t, 1, contexts[t].data(), buffers[t].data(), 0, 0 };
    }
    printf("payload %zu B, decoded %llu B, %u frames, largest %zu B\n", payload.size(),
           (unsigned long long)frames.header.cbDecoded, frames.header.cFrames, frames.cbLargestFrame);
    for (int pass = 0; pass < passes; pass++)
    {
        shares[0].step = 1;
        double wall = DecodeFramesOn(1, shares);
        if (shares[0].cbDecoded != frames.header.cbDecoded)
        {
            fprintf(stderr, "decodespeed: pass %d: a frame is damaged\n", pass);
            return 1;
        }
        printf("pass %d frames %.1f MB/s cpu %.3f s wall %.3f s\n", pass, shares[0].cbDecoded / 1e6 / shares[0].cpu,
               shares[0].cpu, wall);
        shares[0].step = shares[1].step = 2;
        wall = DecodeFramesOn(2, shares);
        if (wall < 0 || shares[0].cbDecoded + shares[1].cbDecoded != frames.header.cbDecoded)
        {
            fprintf(stderr, "decodespeed: pass %d: two threads did not decode the frames\n", pass);
            return 1;
        }
        printf("pass %d two %.1f MB/s wall %.3f s thread0 %.1f MB/s cpu %.3f s thread1 %.1f MB/s cpu %.3f s\n", pass,
               frames.header.cbDecoded / 1e6 / wall, wall, shares[0].cbDecoded / 1e6 / shares[0].cpu, shares[0].cpu,
               shares[1].cpu > 0 ? shares[1].cbDecoded / 1e6 / shares[1].cpu : 0.0, shares[1].cpu);
        double cpu0 = CpuSeconds();
        uint32_t crc = 0;
        for (int round = 0; round < CRC_ROUNDS; round++)
            crc = UpdateCrc32(0, payload.data() + PAYLOAD_CRC_FROM, payload.size() - PAYLOAD_CRC_FROM);
        double cpu = CpuSeconds() - cpu0;
        if (crc != frames.header.crc)
        {
            fprintf(stderr, "decodespeed: pass %d: CRC %08x, not the header's\n", pass, crc);
            return 1;
        }
        printf("pass %d crc %.1f MB/s cpu %.3f s\n", pass, CRC_ROUNDS * (payload.size() - PAYLOAD_CRC_FROM) / 1e6 / cpu,
               cpu);
        fflush(stdout);
    }
    return 0;
}

// steps.cpp - records step marks in memory and writes them out in one go, so that
// timing a step costs a counter read and no file write (room for a few marks per
// file of a product of several thousand files)

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "steps.h"

#define MAX_MARKS 16384
#define LINE_BYTES 64

struct Mark
{
    const char *name;
    int index;
    LONGLONG ticks;
};

static Mark s_marks[MAX_MARKS];
static int s_count;

/* Totals: each name is added to by one thread only, so a slot, once claimed,
   has one writer; the claim itself is atomic. */
#define MAX_TOTALS 8

struct Total
{
    const char *volatile name;
    int count;
    LONGLONG ticks;
};

static Total s_totals[MAX_TOTALS];
static volatile LONG s_cTotals;

long long StepTicks(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void StepTotal(const char *name, long long since)
{
    LONGLONG ticks = StepTicks() - since;
    for (LONG i = 0; i < s_cTotals && i < MAX_TOTALS; i++)
    {
        if (s_totals[i].name && strcmp(s_totals[i].name, name) == 0)
        {
            s_totals[i].count++;
            s_totals[i].ticks += ticks;
            return;
        }
    }
    LONG i = InterlockedIncrement(&s_cTotals) - 1;
    if (i < MAX_TOTALS)
    {
        s_totals[i].count = 1;
        s_totals[i].ticks = ticks;
        s_totals[i].name = name;
    }
}

void StepMark(const char *name, int index)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (s_count < MAX_MARKS)
        s_marks[s_count++] = { name, index, now.QuadPart };
}

void StepFlush(void)
{
    char path[MAX_PATH];
    DWORD cch = GetEnvironmentVariableA("BENCH_STEPS", path, sizeof(path));
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    if (cch && cch < sizeof(path))
    {
        HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
        // All lines in one write: thousands of small writes would take long
        // enough to show in the step after the flush.
        static char s_text[(MAX_MARKS + MAX_TOTALS + 1) * LINE_BYTES];
        size_t cbText = 0;
        for (LONG i = 0; i < s_cTotals && i < MAX_TOTALS; i++)
        {
            int cb = _snprintf(s_text + cbText, LINE_BYTES - 1, "total:%s %d %.4f\n", s_totals[i].name,
                               s_totals[i].count, s_totals[i].ticks * 1000.0 / frequency.QuadPart);
            if (cb > 0)
                cbText += (size_t)cb;
        }
        for (int i = 0; i < s_count; i++)
        {
            int cb = _snprintf(s_text + cbText, LINE_BYTES - 1, "%s %d %.4f\n", s_marks[i].name, s_marks[i].index,
                               s_marks[i].ticks * 1000.0 / frequency.QuadPart);
            if (cb > 0)
                cbText += (size_t)cb;
        }
        if (file != INVALID_HANDLE_VALUE)
        {
            DWORD written;
            WriteFile(file, s_text, (DWORD)cbText, &written, NULL);
            // When the writing ended, so that it is not counted in the next step.
            char line[LINE_BYTES];
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            int cb = _snprintf(line, sizeof(line) - 1, "flush 0 %.4f\n", now.QuadPart * 1000.0 / frequency.QuadPart);
            if (cb > 0)
                WriteFile(file, line, (DWORD)cb, &written, NULL);
            CloseHandle(file);
        }
    }
    s_count = 0;
    ZeroMemory(s_totals, sizeof(s_totals));
    s_cTotals = 0;
}

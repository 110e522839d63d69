// steps.cpp - records step marks in memory and writes them out in one go, so that
// timing a step costs a counter read and no file write (room for a few marks per
// file of a product of several thousand files)

#include <windows.h>
#include <stdio.h>

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
        static char s_text[(MAX_MARKS + 1) * LINE_BYTES];
        size_t cbText = 0;
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
}

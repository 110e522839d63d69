// steps.cpp - records step marks in memory and writes them out in one go, so that
// timing a step costs a counter read and no file write

#include <windows.h>
#include <stdio.h>

#include "steps.h"

#define MAX_MARKS 64

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
        for (int i = 0; file != INVALID_HANDLE_VALUE && i < s_count; i++)
        {
            char line[128];
            int cb = _snprintf(line, sizeof(line) - 1, "%s %d %.4f\n", s_marks[i].name, s_marks[i].index,
                               s_marks[i].ticks * 1000.0 / frequency.QuadPart);
            DWORD written;
            if (cb > 0)
                WriteFile(file, line, (DWORD)cb, &written, NULL);
        }
        if (file != INVALID_HANDLE_VALUE)
        {
            // When the writing ended, so that it is not counted in the next step.
            char line[64];
            LARGE_INTEGER now;
            QueryPerformanceCounter(&now);
            int cb = _snprintf(line, sizeof(line) - 1, "flush 0 %.4f\n", now.QuadPart * 1000.0 / frequency.QuadPart);
            DWORD written;
            if (cb > 0)
                WriteFile(file, line, (DWORD)cb, &written, NULL);
            CloseHandle(file);
        }
    }
    s_count = 0;
}

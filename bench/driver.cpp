// driver.cpp - times setup.exe and the floor program under Wine for scripts/bench.sh
//
//   benchdriver.exe product=FOLDER runs=N [idle=M] [server=PID] [steps=1] [latency=1]
//                   [wait=SECONDS] [setup=EXE] [floor=EXE] [nsis=EXE] [startfloor=EXE]
//                   [probe=EXE] [start:LABEL=EXE]... [setup:LABEL=EXE]... [nsis:LABEL=EXE]...
//                   [silent:LABEL=EXE]... [over:LABEL=EXE]...
//
// Each run of each program: start-up (just before CreateProcess to its window
// visible), install (the Install press to the SUCCESS box visible), peak memory
// and, in the first M runs, the CPU time its waiting window takes over 5 s. The
// programs take turns, so a change in the machine's load hits all alike. The
// start-up floor (bench/startfloor.cpp) is only started, never installed with,
// and so is a probe (a setup.exe grown by pegrow.py: does it still start?) and
// each start:LABEL= (setups of several sizes started in turn, with no install
// between them to load the disk). setup:LABEL= is another build of setup.exe,
// timed like it (a before-and-after comparison in one run); nsis:LABEL= another
// NSIS installer (bench/nsis-compress.nsi), timed like nsis=. silent:LABEL= is
// an NSIS installer started with /S, timed from CreateProcess to its result box.
// over:LABEL= is a setup timed like setup=, installing over the product's own
// files, copied into the install folder before it starts (an upgrade: every
// file is replaced).
// Prints one sample a line, "figure program run value", and failures as
// "error program run what"; the script drops run 0 (the warm-up).
//
// steps=1 is for the builds with step marks (bench/steps.h): each program then
// gets BENCH_STEPS naming a file for its marks, and each step is printed as
// "step:NAME program run ms", the time from the mark before it. The driver's
// own marks are the start (CreateProcess), "visible", the press and "box" (the
// SUCCESS box visible).
//
// A program's totals (steps.h STEP_TOTAL: "total:NAME count ms") are printed
// as "step:NAME" (the time) and "count:NAME" (how often).
//
// With many files (an index above 3), the marks of each file are summed by
// kind instead: "step:NAME-all" is the run's total of that step over all files
// and "step:NAME-per-file" that total over the number of files.
//
// latency=1 measures how long the window leaves messages waiting during the
// install: from the press to the result box, a thread sends the program's
// window WM_NULL with SendMessageTimeout, one after another with a 1 ms sleep
// between, and the run's longest round trip, its 99th percentile, median and
// count are printed ("latency_max_ms" ...). A sent message is answered only
// while the window's thread takes messages, so the longest round trip is the
// longest stretch the window did not answer.
//
// wait= is how long a program may take to its window and to its result box
// (default 60 s; thousands of files under qemu take longer).
//
// Windows are found by polling every 1 ms. With WINEDEBUG=+timestamp,+debugstr
// the driver's marks ("bench: press") show among Wine's own trace lines.
//
// Under qemu user emulation each Windows process is a qemu process on the host;
// its /proc entry (reached through Wine's Z: drive) gives the host's view of its
// CPU time and peak memory next to what Wine reports. server= names the host
// process of the wine server, which answers every message poll, so that the
// idle CPU it spends is counted too.

#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "resource.h"

#define POLL_MS     1
#define SETTLE_MS   1000    /* after the window shows, before idle CPU is counted */
#define IDLE_MS     5000
#define HOST_HZ     100     /* Linux clock ticks per second in /proc/PID/stat */
#define INSTALL_DIR "C:\\Tandreloop\\"
#define SCRATCH     "C:\\bench-scratch.bin"
#define STEPS_FILE  "C:\\bench-steps.txt"
#define LATENCY_GAP_MS      1
#define LATENCY_TIMEOUT_MS  60000
#define MANY_FILES  3       /* marks with a higher index are summed by kind */

static std::map<std::string, std::string> g_options;
static double g_waitMs = WAIT_MS;   /* longest wait for a window or a result box */

struct Target
{
    std::string name;           /* setup, floor, nsis or startfloor */
    std::string exe;            /* Windows path */
    const char *windowClass;
    const char *caption;
    int installId;              /* the button that starts the install; 0: start-up only */
    int failures;               /* runs that did not get to the window */
    bool silent;                /* started with /S, no window: timed to its result box */
    bool over;                  /* installs over the same files, put in place before it starts */
};

/* Marks of one run in the steps build: the program's and the driver's, in ms of
   the performance counter, which all processes under Wine share. */
struct StepMark
{
    double ms;
    std::string name;
    int index;          /* the file it belongs to; 0 for the others */
};
static std::vector<StepMark> s_marks;

static void DriverMark(const char *name, double ms)
{
    if (!g_options["steps"].empty())
        s_marks.push_back({ ms, name, 0 });
}

static double NowMs()
{
    static LARGE_INTEGER s_frequency;
    LARGE_INTEGER now;
    if (!s_frequency.QuadPart)
        QueryPerformanceFrequency(&s_frequency);
    QueryPerformanceCounter(&now);
    return now.QuadPart * 1000.0 / s_frequency.QuadPart;
}

static void Sample(const char *figure, const Target &target, int run, double value)
{
    printf("%s %s %d %.3f\n", figure, target.name.c_str(), run, value);
    fflush(stdout);
}

/* Prints the run's steps: the program's marks from its file and the driver's,
   in time order, each step named by the mark that ends it. The step that ends
   with the press is the driver's own waiting, not the program's. With more than
   MANY_FILES files, each kind of step per file is summed over the files, and
   printed where its first one came. */
static void PrintSteps(const Target &target, int run)
{
    std::string text = ReadWholeFile(STEPS_FILE);
    int files = 0;
    for (size_t at = 0; at < text.size();)
    {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        size_t cut2 = line.rfind(' '), cut1 = cut2 == std::string::npos ? cut2 : line.rfind(' ', cut2 - 1);
        if (cut1 == std::string::npos)
            continue;
        std::string name = line.substr(0, cut1);
        for (char &c : name)
            if (c == ' ')
                c = '-';
        int index = atoi(line.c_str() + cut1 + 1);
        if (name.compare(0, 6, "total:") == 0)
        {
            // A total of a repeated step (steps.h STEP_TOTAL): its time and how often.
            Sample(("step:" + name.substr(6)).c_str(), target, run, atof(line.c_str() + cut2 + 1));
            Sample(("count:" + name.substr(6)).c_str(), target, run, index);
            continue;
        }
        files = std::max(files, index);
        s_marks.push_back({ atof(line.c_str() + cut2 + 1), name, index });
    }
    std::stable_sort(s_marks.begin(), s_marks.end(),
                     [](const StepMark &a, const StepMark &b) { return a.ms < b.ms; });
    std::vector<std::string> order;
    std::map<std::string, double> sums;
    for (size_t i = 1; i < s_marks.size(); i++)
    {
        const StepMark &mark = s_marks[i];
        if (mark.name == "press")
            continue;
        std::string key = mark.name;
        if (mark.index && files <= MANY_FILES)
            key += "-" + std::to_string(mark.index);
        if (!sums.count(key))
            order.push_back(key);
        sums[key] += mark.ms - s_marks[i - 1].ms;
    }
    for (const std::string &key : order)
    {
        bool perFile = files > MANY_FILES && std::any_of(s_marks.begin(), s_marks.end(),
                                                         [&](const StepMark &m) { return m.index && m.name == key; });
        if (perFile)
        {
            Sample(("step:" + key + "-all").c_str(), target, run, sums[key]);
            Sample(("step:" + key + "-per-file").c_str(), target, run, sums[key] / files);
        }
        else
            Sample(("step:" + key).c_str(), target, run, sums[key]);
    }
    s_marks.clear();
    DeleteFileA(STEPS_FILE);
}

/* A mark among Wine's trace lines (WINEDEBUG=+debugstr). Left out while the
   latency thread exists: under qemu, OutputDebugString with a second thread
   running was seen to crash that thread and the driver with it. */
static bool s_threaded;
static void TraceMark(const char *text)
{
    if (!s_threaded)
        OutputDebugStringA(text);
}

/* ---- how long the window leaves a message waiting ---- */

struct LatencyProbe
{
    HWND hwnd;
    volatile LONG probing;          /* set by the driver: send messages to hwnd */
    volatile LONG idle;             /* set by the thread: not sending */
    std::vector<double> waits;      /* ms, one per message sent */
};

static LatencyProbe s_probe;

/* One thread for the driver's whole life: it sends while the driver says so
   and says when it has stopped. */
static DWORD WINAPI LatencyThread(void *param)
{
    LatencyProbe *probe = (LatencyProbe *)param;
    for (;;)
    {
        if (!probe->probing)
        {
            probe->idle = 1;
            Sleep(POLL_MS);
            continue;
        }
        probe->idle = 0;
        DWORD_PTR result;
        double start = NowMs();
        SendMessageTimeoutA(probe->hwnd, WM_NULL, 0, 0, SMTO_NORMAL, LATENCY_TIMEOUT_MS, &result);
        probe->waits.push_back(NowMs() - start);
        Sleep(LATENCY_GAP_MS);
    }
}

static void StartLatencyProbe(LatencyProbe *probe, HWND hwnd)
{
    static HANDLE s_thread;
    if (!s_thread)
        s_thread = CreateThread(NULL, 0, LatencyThread, probe, 0, NULL);
    s_threaded = true;
    probe->hwnd = hwnd;
    probe->waits.clear();
    probe->idle = 0;
    InterlockedExchange(&probe->probing, 1);
}

/* Ends the probe and prints its figures (none when it did not run). */
static void EndLatencyProbe(LatencyProbe *probe, const Target &target, int run)
{
    if (!probe->probing)
        return;
    InterlockedExchange(&probe->probing, 0);
    while (!probe->idle)
        Sleep(POLL_MS);
    std::vector<double> &waits = probe->waits;
    if (waits.empty())
        return;
    std::sort(waits.begin(), waits.end());
    Sample("latency_max_ms", target, run, waits.back());
    Sample("latency_p99_ms", target, run, waits[(waits.size() - 1) * 99 / 100]);
    Sample("latency_median_ms", target, run, waits[(waits.size() - 1) / 2]);
    Sample("latency_count", target, run, waits.size());
}

/* Polls every POLL_MS for a visible top-level window of the process; NULL when
   none came in time or the process ended. */
static HWND PollWindow(const PROCESS_INFORMATION &pi, const char *windowClass, const char *caption)
{
    double start = NowMs();
    while (NowMs() - start < g_waitMs)
    {
        std::vector<HWND> found = FindWindows(pi.dwProcessId, windowClass, caption);
        if (!found.empty())
            return found[0];
        if (WaitForSingleObject(pi.hProcess, POLL_MS) == WAIT_OBJECT_0)
            return NULL;
    }
    return NULL;
}

/* Polls every POLL_MS for the SUCCESS or ERROR box of the process (other than
   its main window); returns the box and whether it says SUCCESS. */
static HWND PollResultBox(const PROCESS_INFORMATION &pi, HWND main, bool *success)
{
    double start = NowMs();
    while (NowMs() - start < g_waitMs)
    {
        std::vector<HWND> found = FindWindows(pi.dwProcessId, "#32770", "SUCCESS");
        if (found.empty())
            found = FindWindows(pi.dwProcessId, "#32770", "ERROR");
        found.erase(std::remove(found.begin(), found.end(), main), found.end());
        if (!found.empty())
        {
            *success = WindowText(found[0]) == "SUCCESS";
            return found[0];
        }
        if (WaitForSingleObject(pi.hProcess, POLL_MS) == WAIT_OBJECT_0)
            break;
    }
    *success = false;
    return NULL;
}

/* ---- the host's view of a process ---- */

/* The host process whose command line has the Windows path exe as an argument:
   Wine starts a program as "qemu-i386-static wine-preloader wine EXE". 0 when
   none is found (not under Wine, or /proc not reachable). */
static int FindHostPid(const std::string &exe)
{
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA("Z:\\proc\\*", &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    int pid = 0;
    do
    {
        if (found.cFileName[0] < '1' || found.cFileName[0] > '9')
            continue;
        std::string cmdline = ReadWholeFile(std::string("Z:\\proc\\") + found.cFileName + "\\cmdline");
        for (size_t at = 0; at < cmdline.size() && !pid; at += strlen(cmdline.c_str() + at) + 1)
            if (_stricmp(cmdline.c_str() + at, exe.c_str()) == 0)
                pid = atoi(found.cFileName);
    } while (!pid && FindNextFileA(find, &found));
    FindClose(find);
    return pid;
}

/* User and system CPU time of the host process, in ms. */
static bool HostCpuMs(int pid, double *userMs, double *systemMs)
{
    std::string stat = ReadWholeFile("Z:\\proc\\" + std::to_string(pid) + "\\stat");
    size_t end = stat.rfind(')');
    unsigned long long utime = 0, stime = 0;
    // After the name: state, then 10 fields before utime and stime.
    if (!pid || end == std::string::npos ||
        sscanf(stat.c_str() + end + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
               &utime, &stime) != 2)
        return false;
    *userMs = utime * 1000.0 / HOST_HZ;
    *systemMs = stime * 1000.0 / HOST_HZ;
    return true;
}

static double HostCpuMs(int pid)
{
    double user = 0, system = 0;
    return HostCpuMs(pid, &user, &system) ? user + system : -1;
}

/* A "Vm...:" line of /proc/PID/status in MB; -1 when not there. */
static double HostStatusMb(int pid, const char *field)
{
    std::string status = ReadWholeFile("Z:\\proc\\" + std::to_string(pid) + "\\status");
    size_t at = status.find(field);
    return pid && at != std::string::npos ? atof(status.c_str() + at + strlen(field)) / 1024.0 : -1;
}

/* ---- what Wine reports ---- */

static double WineCpuMs(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return -1;
    ULARGE_INTEGER k = { { kernel.dwLowDateTime, kernel.dwHighDateTime } };
    ULARGE_INTEGER u = { { user.dwLowDateTime, user.dwHighDateTime } };
    return (k.QuadPart + u.QuadPart) / 10000.0;
}

static double WinePeakMb(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters = { sizeof(counters) };
    return GetProcessMemoryInfo(process, &counters, sizeof(counters)) ? counters.PeakWorkingSetSize / 1048576.0 : -1;
}

/* ---- files ---- */

/* The files under folder (a Windows path), subfolders too, named by their path
   below the product folder as the setup writes them. */
static void AddProductFiles(const std::string &folder, const std::string &prefix,
                            std::vector<std::pair<std::string, unsigned long long>> *files)
{
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files->push_back({ prefix + found.cFileName,
                               (unsigned long long)found.nFileSizeHigh << 32 | found.nFileSizeLow });
        else if (strcmp(found.cFileName, ".") && strcmp(found.cFileName, ".."))
            AddProductFiles(folder + "\\" + found.cFileName, prefix + found.cFileName + "\\", files);
    while (FindNextFileA(find, &found));
    FindClose(find);
}

static std::vector<std::pair<std::string, unsigned long long>> ProductFiles()
{
    std::vector<std::pair<std::string, unsigned long long>> files;
    AddProductFiles(WinPath(g_options["product"]), "", &files);
    return files;
}

static unsigned long long InstalledSize(const std::string &name)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA((INSTALL_DIR + name).c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (unsigned long long)data.nFileSizeHigh << 32 | data.nFileSizeLow;
}

/* The first large write after the disk has been idle a few seconds is often
   several times slower than the next: this one takes that hit, not the install. */
static double WriteScratch(unsigned long long bytes)
{
    static std::vector<char> chunk(1 << 20, 'x');
    double start = NowMs();
    HANDLE file = CreateFileA(SCRATCH, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    for (unsigned long long left = bytes; file != INVALID_HANDLE_VALUE && left > 0;)
    {
        DWORD n = (DWORD)(left < chunk.size() ? left : chunk.size()), written = 0;
        if (!WriteFile(file, chunk.data(), n, &written, NULL) || written != n)
            break;
        left -= n;
    }
    CloseHandle(file);
    DeleteFileA(SCRATCH);
    return NowMs() - start;
}

/* ---- one run ---- */

static void RemoveInstallation()
{
    RemoveTree(INSTALL_DIR);
    DeleteFileA((DesktopFolder() + "Tandreloop.lnk").c_str());
}

static bool InstallEnabled(HWND hwnd, int id)
{
    return IsWindowEnabled(GetDlgItem(hwnd, id));
}

static void Error(const Target &target, int run, const std::string &what)
{
    printf("error %s %d %s\n", target.name.c_str(), run, what.c_str());
    fflush(stdout);
}

/* Starts the program and times it to its window; false when it did not get
   that far. */
static bool StartTimed(const Target &target, int run, Program *program)
{
    std::string commandLine = "\"" + target.exe + "\"";
    STARTUPINFOA si = { sizeof(si) };
    TraceMark("bench: start");
    double start = NowMs();
    DriverMark("start", start);
    if (!CreateProcessA(target.exe.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &program->pi))
    {
        Error(target, run, "CreateProcess failed with error " + std::to_string(GetLastError()));
        return false;
    }
    program->hwnd = PollWindow(program->pi, target.windowClass, target.caption);
    double visible = NowMs();
    DriverMark("visible", visible);
    TraceMark("bench: window visible");
    if (!program->hwnd)
    {
        Error(target, run, "no window: the process ended or hangs");
        KillProgram(program);
        return false;
    }
    Sample("startup_ms", target, run, visible - start);
    return true;
}

/* Presses Install and times it to the result box. */
static void InstallTimed(const Target &target, int run, const Program &program, int hostPid,
                         unsigned long long payloadBytes)
{
    if (!InstallEnabled(program.hwnd, target.installId))
    {
        PostMessageA(GetDlgItem(program.hwnd, IDC_AGREE), BM_CLICK, 0, 0);
        for (double t = NowMs(); !InstallEnabled(program.hwnd, target.installId) && NowMs() - t < WAIT_MS;)
            Sleep(POLL_MS);
    }
    Sample("scratch_ms", target, run, WriteScratch(payloadBytes));

    double userBefore = 0, systemBefore = 0, userAfter = 0, systemAfter = 0;
    HostCpuMs(hostPid, &userBefore, &systemBefore);
    TraceMark("bench: press");
    double press = NowMs();
    DriverMark("press", press);
    // The command a click on Install sends: BM_CLICK needs the button to take the
    // focus and mouse capture first, and under Wine the floor's plain window
    // at times lost that press.
    if (!g_options["latency"].empty())
        StartLatencyProbe(&s_probe, program.hwnd);
    PostMessageA(program.hwnd, WM_COMMAND, MAKEWPARAM(target.installId, BN_CLICKED),
                 (LPARAM)GetDlgItem(program.hwnd, target.installId));
    bool success = false;
    HWND box = PollResultBox(program.pi, program.hwnd, &success);
    double done = NowMs();
    DriverMark("box", done);
    EndLatencyProbe(&s_probe, target, run);
    TraceMark("bench: result box visible");
    if (!success)
    {
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(program.pi.hProcess, &code);
        Error(target, run, box ? "error box: " + Quote(MessageBoxText(box))
                         : code == STILL_ACTIVE ? std::string("no result box in time")
                                                : "ended with code " + std::to_string(code));
        return;
    }
    Sample("install_ms", target, run, done - press);
    if (HostCpuMs(hostPid, &userAfter, &systemAfter))
    {
        Sample("install_host_user_ms", target, run, userAfter - userBefore);
        Sample("install_host_sys_ms", target, run, systemAfter - systemBefore);
    }
}

/* Starts an installer with /S (NSIS's silent install: no pages, no window)
   and times its whole run, start-up included, from CreateProcess to its result
   box. */
static void SilentTimed(const Target &target, int run, unsigned long long payloadBytes)
{
    Sample("scratch_ms", target, run, WriteScratch(payloadBytes));
    std::string commandLine = "\"" + target.exe + "\" /S";
    STARTUPINFOA si = { sizeof(si) };
    Program program = {};
    double start = NowMs();
    if (!CreateProcessA(target.exe.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &program.pi))
    {
        Error(target, run, "CreateProcess failed with error " + std::to_string(GetLastError()));
        return;
    }
    bool success = false;
    PollResultBox(program.pi, NULL, &success);
    double done = NowMs();
    if (success)
    {
        Sample("install_ms", target, run, done - start);
        Sample("install_host_cpu_ms", target, run, HostCpuMs(FindHostPid(target.exe)));
    }
    else
        Error(target, run, "no result box in time");
    KillProgram(&program);
}

static void Measure(Target &target, int run, bool idle)
{
    std::vector<std::pair<std::string, unsigned long long>> files = ProductFiles();
    unsigned long long payloadBytes = 0;
    for (auto &file : files)
        payloadBytes += file.second;
    RemoveInstallation();
    if (target.over)
    {
        // An earlier install of the same names: every file is replaced.
        CreateDirectoryA(INSTALL_DIR, NULL);
        std::string product = WinPath(g_options["product"]) + "\\";
        for (auto &file : files)
        {
            for (size_t slash = 0; (slash = file.first.find('\\', slash + 1)) != std::string::npos;)
                CreateDirectoryA((INSTALL_DIR + file.first.substr(0, slash)).c_str(), NULL);
            CopyFileA((product + file.first).c_str(), (INSTALL_DIR + file.first).c_str(), FALSE);
        }
    }
    if (target.silent)
    {
        SilentTimed(target, run, payloadBytes);
        for (auto &file : files)
            if (InstalledSize(file.first) != file.second)
                Error(target, run, file.first + " has " + std::to_string(InstalledSize(file.first)) +
                                   " bytes, not " + std::to_string(file.second));
        return;
    }
    if (!g_options["steps"].empty())
    {
        DeleteFileA(STEPS_FILE);
        SetEnvironmentVariableA("BENCH_STEPS", STEPS_FILE);
    }

    Program program = {};
    if (!StartTimed(target, run, &program))
    {
        target.failures++;
        s_marks.clear();
        return;
    }
    int hostPid = FindHostPid(target.exe);
    Sample("startup_host_cpu_ms", target, run, HostCpuMs(hostPid));
    if (!target.installId)
    {
        Sample("startup_peak_host_mb", target, run, HostStatusMb(hostPid, "VmHWM:"));
        if (!g_options["steps"].empty())
        {
            Sleep(100);     // the marks are written after the window shows
            PrintSteps(target, run);
        }
        KillProgram(&program);
        return;
    }
    if (idle)
    {
        Sleep(SETTLE_MS);
        int serverPid = atoi(g_options["server"].c_str());
        double wine = WineCpuMs(program.pi.hProcess), host = HostCpuMs(hostPid), server = HostCpuMs(serverPid);
        Sleep(IDLE_MS);
        Sample("idle_wine_cpu_ms", target, run, WineCpuMs(program.pi.hProcess) - wine);
        Sample("idle_host_cpu_ms", target, run, HostCpuMs(hostPid) - host);
        if (serverPid)
            Sample("idle_server_cpu_ms", target, run, HostCpuMs(serverPid) - server);
    }
    InstallTimed(target, run, program, hostPid, payloadBytes);
    if (!g_options["steps"].empty())
        PrintSteps(target, run);
    Sample("peak_wine_mb", target, run, WinePeakMb(program.pi.hProcess));
    Sample("peak_host_mb", target, run, HostStatusMb(hostPid, "VmHWM:"));
    for (auto &file : files)
        if (InstalledSize(file.first) != file.second)
            Error(target, run, file.first + " has " + std::to_string(InstalledSize(file.first)) +
                               " bytes, not " + std::to_string(file.second));
    // After OK the setup would start the product, which here is random bytes:
    // the timing is done, so the process is ended instead.
    KillProgram(&program);
}

int main(int argc, char **argv)
{
    std::vector<Target> targets;
    for (int i = 1; i < argc; i++)
    {
        const char *eq = strchr(argv[i], '=');
        if (!eq)
            continue;
        std::string name(argv[i], eq - argv[i]);
        g_options[name] = eq + 1;
        // The NSIS installer's window is titled by its directory page; its
        // message box by the installer's caption, SUCCESS (bench/nsis.nsi).
        if (name == "setup")
            targets.push_back({ name, WinPath(eq + 1), "#32770", "Install", IDC_INSTALL, 0 });
        else if (name == "floor")
            targets.push_back({ name, WinPath(eq + 1), "BenchFloor", "Floor", IDC_INSTALL, 0 });
        else if (name == "nsis")
            targets.push_back({ name, WinPath(eq + 1), "#32770", "SUCCESS: Installation Folder", IDOK, 0 });
        else if (name == "startfloor" || name == "probe")
            targets.push_back({ name, WinPath(eq + 1), "#32770", "Install", 0, 0 });
        else if (name.compare(0, 6, "setup:") == 0)
            targets.push_back({ name.substr(6), WinPath(eq + 1), "#32770", "Install", IDC_INSTALL, 0 });
        else if (name.compare(0, 5, "nsis:") == 0)
            targets.push_back({ name.substr(5), WinPath(eq + 1), "#32770", "SUCCESS: Installation Folder", IDOK, 0 });
        else if (name.compare(0, 6, "start:") == 0)
            targets.push_back({ name.substr(6), WinPath(eq + 1), "#32770", "Install", 0, 0 });
        else if (name.compare(0, 7, "silent:") == 0)
            targets.push_back({ name.substr(7), WinPath(eq + 1), "#32770", "SUCCESS", 0, 0, true });
        else if (name.compare(0, 5, "over:") == 0)
            targets.push_back({ name.substr(5), WinPath(eq + 1), "#32770", "Install", IDC_INSTALL, 0, false, true });
    }
    int runs = atoi(g_options["runs"].c_str());
    if (atoi(g_options["wait"].c_str()) > 0)
        g_waitMs = atoi(g_options["wait"].c_str()) * 1000.0;
    if (targets.empty() || runs < 1 || g_options["product"].empty())
    {
        printf("usage: benchdriver product=FOLDER runs=N [idle=M] [server=PID] [steps=1] [latency=1] "
               "[wait=SECONDS] [setup=EXE] [floor=EXE] [nsis=EXE] [startfloor=EXE] [probe=EXE] "
               "[start:LABEL=EXE] [setup:LABEL=EXE] [nsis:LABEL=EXE] [silent:LABEL=EXE] [over:LABEL=EXE]\n");
        return 2;
    }
    CoInitialize(NULL);
    // The programs swap places every run: whichever runs right after the other
    // one's files were deleted and its process ended was seen to pay for it.
    // A program that does not start twice will not start: its runs are skipped.
    for (int run = 0; run < runs; run++)
        for (size_t i = 0; i < targets.size(); i++)
        {
            Target &target = targets[run % 2 ? targets.size() - 1 - i : i];
            if (target.failures < 2)
                Measure(target, run, run < atoi(g_options["idle"].c_str()) &&
                                     (target.name == "setup" || target.name == "floor"));
        }
    RemoveInstallation();
    return 0;
}

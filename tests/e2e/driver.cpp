// driver.cpp - end-to-end scenarios: starts setup.exe under Wine and works it
// from outside through its real message queue
//
//   driver.exe SCENARIO setup=PATH [product=FOLDER] [license=PATH] [payload=PATH]
//              [path=INSTALLPATH] [expect=TEXT] [shots=FOLDER] [files=N] [acp=N] ...
//
// Exits 0 when every check passed, 1 otherwise; each failed check is printed.

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "payload.h"
#include "resource.h"

static std::map<std::string, std::string> g_options;   /* name=value arguments */

static std::string Option(const char *name)
{
    auto found = g_options.find(name);
    return found == g_options.end() ? "" : found->second;
}

/* ---- working the setup window ---- */

static bool StartSetup(Program *setup, const std::string &exe, const std::string &args = "")
{
    return StartProgram(setup, exe, args, "#32770", "Install");
}

static bool WaitUntil(bool (*condition)(HWND), HWND hwnd, DWORD ms = WAIT_MS)
{
    DWORD start = GetTickCount();
    while (!condition(hwnd))
    {
        if (GetTickCount() - start > ms)
            return false;
        Sleep(10);
    }
    return true;
}

static LRESULT Send(HWND hwnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutA(hwnd, message, wParam, lParam, SMTO_NORMAL, WAIT_MS, &result);
    return (LRESULT)result;
}

/* Waits until the setup has handled everything posted to it so far: messages
   are taken in order, so once a marker posted last has taken effect, so has
   everything before it. The marker is a progress bar position. */
static void Flush(HWND setup)
{
    static int s_marker;
    HWND progress = GetDlgItem(setup, IDC_PROGRESS);
    s_marker = 50 + (s_marker + 1) % 50;    // clear of the install's 0 to 3
    PostMessageA(progress, PBM_SETPOS, s_marker, 0);
    DWORD start = GetTickCount();
    while (Send(progress, PBM_GETPOS) != s_marker && GetTickCount() - start < WAIT_MS)
        Sleep(10);
}

static void Click(HWND control)
{
    PostMessageA(control, BM_CLICK, 0, 0);
}

static void PostKey(HWND control, WPARAM key)
{
    PostMessageA(control, WM_KEYDOWN, key, 1);
    PostMessageA(control, WM_KEYUP, key, 0xC0000001);
}

static bool InstallEnabled(HWND setup)
{
    return IsWindowEnabled(GetDlgItem(setup, IDC_INSTALL));
}

static bool InstallDisabled(HWND setup)
{
    return !InstallEnabled(setup);
}

static void Tick(HWND setup)
{
    Click(GetDlgItem(setup, IDC_AGREE));
    Flush(setup);
}

static void CloseSetup(Program *setup)
{
    // As the title bar's close button does.
    PostMessageA(setup->hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    CHECK_EQ(WaitForExit(setup), 0);
}

/* ---- the product and the installed files ---- */

/* The entries of a payload file, names and sizes, read entry by entry: the
   driver is a 32-bit process too, and under emulation it may not find room for
   a large payload in one piece. */
struct Entry
{
    std::string name;
    unsigned long cb;
};

static std::vector<Entry> PayloadEntries(const std::string &payloadFile)
{
    std::vector<Entry> entries;
    FILE *file = fopen(payloadFile.c_str(), "rb");
    Check(file != NULL, "payload file readable", __LINE__, payloadFile);
    if (!file)
        return entries;
    unsigned char header[PAYLOAD_NAME_MAX + 1 + PAYLOAD_LENGTH_BYTES];
    long at = 0;
    for (;;)
    {
        size_t got = fread(header, 1, sizeof(header), file);
        const unsigned char *zero = (const unsigned char *)memchr(header, 0, got);
        if (!zero || zero == header || (size_t)(zero - header) + 1 + PAYLOAD_LENGTH_BYTES > got)
            break;
        const unsigned char *length = zero + 1;
        unsigned long cbData = (unsigned long)length[0] | (unsigned long)length[1] << 8 |
                               (unsigned long)length[2] << 16 | (unsigned long)length[3] << 24;
        entries.push_back({ std::string((const char *)header, zero - header), cbData });
        at += (long)(zero - header) + 1 + PAYLOAD_LENGTH_BYTES + (long)cbData;
        fseek(file, at, SEEK_SET);
    }
    fclose(file);
    return entries;
}

static std::vector<std::string> PayloadNames(const std::string &payloadFile)
{
    std::vector<std::string> names;
    for (const Entry &entry : PayloadEntries(payloadFile))
        names.push_back(entry.name);
    return names;
}

static std::string InstallFolder()
{
    std::string path = Option("path");
    return (path.empty() ? "C:\\" : path) + "Tandreloop\\";
}

static std::string DesktopLink()
{
    return DesktopFolder() + "Tandreloop.lnk";
}

static void RemoveInstallation()
{
    RemoveTree(InstallFolder());
    DeleteFileA(DesktopLink().c_str());
}

/* Every product file is in the install folder, byte for byte (from the
   product= folder, or another). */
static void CheckInstalledFiles(const std::vector<std::string> &names, const std::string &from = "")
{
    std::string product = WinPath(from.empty() ? Option("product") : from);
    for (const std::string &name : names)
    {
        Check(SameFiles(product + "\\" + name, InstallFolder() + name), "installed file equals the product's",
              __LINE__, name);
    }
}

/* The install folder holds these files and nothing else: none of the
   setup's own left behind. */
static void CheckNothingElse(std::vector<std::string> names)
{
    std::vector<std::string> found = ListFiles(InstallFolder());
    std::sort(names.begin(), names.end());
    std::sort(found.begin(), found.end());
    std::string extra;
    for (const std::string &name : found)
        if (!std::binary_search(names.begin(), names.end(), name))
            extra += " " + Quote(name);
    Check(found.size() == names.size() && extra.empty(), "nothing else in the install folder", __LINE__, extra);
}

/* An earlier release's files, from the folder, in the install folder. */
static void PutEarlierRelease(const std::string &from, const std::vector<std::string> &names)
{
    RemoveInstallation();
    CreateDirectoryA(InstallFolder().c_str(), NULL);
    for (const std::string &name : names)
        CHECK(CopyFileA((WinPath(from) + "\\" + name).c_str(), (InstallFolder() + name).c_str(), FALSE));
}

/* The product started from the install folder, with that folder as working
   folder and no arguments; closes it. */
static void CheckProductRuns()
{
    HWND product = WaitForWindow(0, "TandreloopWindow", "Tandreloop");
    Check(product != NULL, "the product's window appears", __LINE__);
    if (!product)
        return;
    std::string text = ItemText(product, 100);
    std::string folder = InstallFolder();
    Check(text.find("Running from: " + folder + "Tandreloop.exe\r\n") != std::string::npos,
          "product runs from the install folder", __LINE__, text);
    Check(text.find("Working folder: " + folder + "\r\n") != std::string::npos,
          "product's working folder is the install folder", __LINE__, text);
    size_t args = text.find("Command line:");
    Check(args != std::string::npos && text.find_first_not_of(" \r\n", args + 13) == std::string::npos,
          "product gets no arguments", __LINE__, text);
    DWORD pid = 0;
    GetWindowThreadProcessId(product, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    PostMessageA(product, WM_CLOSE, 0, 0);
    if (process)
    {
        CHECK(WaitForSingleObject(process, WAIT_MS) == WAIT_OBJECT_0);
        CloseHandle(process);
    }
}

static void Screenshot(const char *name)
{
    std::string shots = Option("shots");
    Screen screen;
    if (!shots.empty() && CaptureScreen(&screen))
        SaveScreen(screen, WinPath(shots) + "\\" + name + ".bmp");
}

/* ---- scenarios ---- */

/* Start-up state, the licence box's colours, and that a command line changes
   nothing; closing ends the program with exit code 0. */
static void StartState()
{
    Program setup;
    if (!StartSetup(&setup, WinPath(Option("setup")), "/S /D=C:\\Elsewhere --help"))
        return;
    HWND hwnd = setup.hwnd;
    HWND license = GetDlgItem(hwnd, IDC_LICENSE);
    CHECK_EQ(WindowText(hwnd), std::string("Install"));
    CHECK_EQ(ItemText(hwnd, IDC_PATH), std::string("C:\\"));
    CHECK(FocusOf(hwnd) == license);
    CHECK(!InstallEnabled(hwnd));
    CHECK(Send(GetDlgItem(hwnd, IDC_AGREE), BM_GETCHECK) == BST_UNCHECKED);
    CHECK_EQ(ItemText(hwnd, IDC_STATUS), std::string(""));
    std::string text = ReadWholeFile(WinPath(Option("license")));
    CHECK(text.size() > 4000);
    CHECK_EQ(WindowText(license), text);

    // The licence box is light green on mid grey; the path box keeps the
    // system's colours.
    Sleep(500);
    Screen screen;
    CHECK(CaptureScreen(&screen));
    Screenshot("window");
    RECT box;
    GetClientRect(license, &box);
    MapWindowPoints(license, NULL, (POINT *)&box, 2);
    int grey = 0, green = 0, total = 0;
    for (int y = box.top; y < box.bottom && y < screen.height; y++)
        for (int x = box.left; x < box.right && x < screen.width; x++, total++)
        {
            grey += screen.At(x, y) == 0x707070;
            green += screen.At(x, y) == 0x80FF80;
        }
    Check(total > 0 && grey > total / 2 && green > total / 100, "licence colours", __LINE__,
          std::to_string(grey) + " grey and " + std::to_string(green) + " green of " + std::to_string(total));
    HWND path = GetDlgItem(hwnd, IDC_PATH);
    GetClientRect(path, &box);
    MapWindowPoints(path, NULL, (POINT *)&box, 2);
    DWORD window = GetSysColor(COLOR_WINDOW);
    window = (window & 0xFF) << 16 | (window & 0xFF00) | (window >> 16 & 0xFF);
    CHECK(screen.At(box.right - 3, (box.top + box.bottom) / 2) == window);
    CHECK(screen.At(box.right - 3, (box.top + box.bottom) / 2) != 0x707070);

    CloseSetup(&setup);
}

/* Install is enabled exactly while the agreement box is ticked. */
static void Agreement()
{
    Program setup;
    if (!StartSetup(&setup, WinPath(Option("setup"))))
        return;
    HWND hwnd = setup.hwnd;
    Tick(hwnd);
    CHECK(WaitUntil(InstallEnabled, hwnd));
    Tick(hwnd);
    CHECK(WaitUntil(InstallDisabled, hwnd));
    Tick(hwnd);
    CHECK(WaitUntil(InstallEnabled, hwnd));
    CloseSetup(&setup);
}

/* The pump drops key presses aimed at the licence and path boxes and button
   presses aimed at the path box; everything else gets through. */
static void InputFilter()
{
    Program setup;
    if (!StartSetup(&setup, WinPath(Option("setup"))))
        return;
    HWND hwnd = setup.hwnd;
    HWND license = GetDlgItem(hwnd, IDC_LICENSE);
    HWND path = GetDlgItem(hwnd, IDC_PATH);
    HWND agree = GetDlgItem(hwnd, IDC_AGREE);
    std::string text = WindowText(license);

    // Delete would remove a character, X would type one (through the WM_CHAR
    // that TranslateMessage makes of the key press).
    PostKey(license, VK_DELETE);
    PostKey(license, 'X');
    PostKey(path, VK_DELETE);
    PostKey(path, 'X');
    Flush(hwnd);
    CHECK(WindowText(license) == text);
    CHECK_EQ(ItemText(hwnd, IDC_PATH), std::string("C:\\"));

    // The licence box is not read-only: a character that reaches it is typed.
    PostMessageA(license, WM_CHAR, 'X', 1);
    Flush(hwnd);
    CHECK(WindowText(license) != text);

    // The same key on another control is handled: Space ticks the agreement box.
    PostKey(agree, VK_SPACE);
    Flush(hwnd);
    CHECK(Send(agree, BM_GETCHECK) == BST_CHECKED);
    CHECK(WaitUntil(InstallEnabled, hwnd));

    // Mouse: a click gives the agreement box the focus; presses on the path box
    // do not take it; a click on the licence box does.
    PostMessageA(agree, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    PostMessageA(agree, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    Flush(hwnd);
    CHECK(FocusOf(hwnd) == agree);
    PostMessageA(path, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageA(path, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    PostMessageA(path, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    Flush(hwnd);
    CHECK(FocusOf(hwnd) == agree);
    PostMessageA(license, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    PostMessageA(license, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    Flush(hwnd);
    CHECK(FocusOf(hwnd) == license);

    CloseSetup(&setup);
}

/* Sets the trace hooks on the setup's thread: from then on every position sent
   to its progress bar is written to a file with the status line of that
   moment, and every key message the thread takes from its queue. Returns the
   file's path. */
static std::string TracePath()
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    return std::string(temp) + "setup-trace.txt";
}

static std::string TraceSetup(const Program &setup)
{
    std::string path = TracePath();
    DeleteFileA(path.c_str());
    HMODULE hook = LoadLibraryA("tracehook.dll");
    static const struct { int type; const char *name; } hooks[] = {
        { WH_CALLWNDPROCRET, "TraceHookProc" },
        { WH_GETMESSAGE, "TraceKeysProc" },
    };
    for (auto &each : hooks)
    {
        HOOKPROC proc = hook ? (HOOKPROC)(void *)GetProcAddress(hook, each.name) : NULL;
        Check(proc && SetWindowsHookExA(each.type, proc, hook, setup.pi.dwThreadId), "trace hook set", __LINE__,
              each.name);
    }
    return path;
}

/* Waits until the trace holds the text. */
static void WaitForTrace(const std::string &trace, const char *text)
{
    DWORD start = GetTickCount();
    while (ReadWholeFile(trace).find(text) == std::string::npos && GetTickCount() - start < WAIT_MS)
        Sleep(20);
}

/* The trace's line for the position after a file. */
static std::string ProgressLine(size_t position, const std::string &name)
{
    return std::to_string(position) + "\t Unpacking Files ... " + name + "\n";
}

/* The bar counts files as they finish, each time with that file's name on the
   status line: from 0, upwards, always the first file and the last. Files
   that go by faster than a screen shows them may be skipped. */
static void CheckProgressShown(std::string trace, const std::vector<Entry> &entries)
{
    // Where the setup was held at a file's close (hold-rename=1).
    for (size_t held; (held = trace.find("\nheld\n")) != std::string::npos;)
        trace.erase(held + 1, 5);
    std::vector<size_t> shown;
    size_t at = trace.compare(0, 3, "0\t\n") == 0 ? 3 : std::string::npos;
    Check(at != std::string::npos, "progress starts at 0", __LINE__, Quote(trace.substr(0, 40)));
    while (at != std::string::npos && at < trace.size())
    {
        size_t position = strtoul(trace.c_str() + at, NULL, 10);
        bool ok = position >= 1 && position <= entries.size() && (shown.empty() || position > shown.back()) &&
                  trace.compare(at, ProgressLine(position, entries[position - 1].name).size(),
                                ProgressLine(position, entries[position - 1].name)) == 0;
        Check(ok, "progress line counts a file with its name", __LINE__, Quote(trace.substr(at, 80)));
        if (!ok)
            return;
        shown.push_back(position);
        at = trace.find('\n', at) + 1;
    }
    Check(!shown.empty() && shown[0] == 1 && shown.back() == entries.size(), "first and last file shown", __LINE__,
          std::to_string(shown.size()) + " shown");
}

/* The install path to type: path=, or long-path=N: C:\ and N characters of code page 1252, the last
   three "\xE9\xC3\xA9" (e acute, A tilde, copyright): six bytes in UTF-8, two characters read as UTF-8. */
static std::string InstallPathOption()
{
    if (Option("long-path").empty())
        return Option("path");
    return "C:\\" + std::string(atoi(Option("long-path").c_str()) - 3, 'a') + "\xE9\xC3\xA9\\";
}

static HWND OpenChooser(const Program &setup);
static void EndChooser(const Program &setup, HWND chooser, int button);

/* Starts the setup (or the variant named by payload=), sets the install path
   when path= is given (long-path=N: C:\ and N letters), ticks the agreement box and presses Install; with trace,
   records the progress shown (see TraceSetup). browse=cancel first opens the
   folder chooser and cancels it. */
static bool StartInstall(Program *setup, const std::string &exe, std::string *trace = NULL)
{
    if (!StartSetup(setup, exe))
        return false;
    if (trace)
        *trace = TraceSetup(*setup);
    if (Option("browse") == "cancel")
    {
        HWND chooser = OpenChooser(*setup);
        if (chooser)
            EndChooser(*setup, chooser, IDCANCEL);
    }
    std::string path = InstallPathOption();
    if (!path.empty())
        Send(GetDlgItem(setup->hwnd, IDC_PATH), WM_SETTEXT, 0, (LPARAM)path.c_str());
    // swap=: the running setup's file renamed, and another setup put at its path.
    if (!Option("swap").empty())
    {
        std::wstring started = WidePath(exe), other = WidePath(WinPath(Option("swap")));
        Check(MoveFileExW(started.c_str(), (started + L".started").c_str(), MOVEFILE_REPLACE_EXISTING) &&
              CopyFileW(other.c_str(), started.c_str(), FALSE), "the setup's file replaced", __LINE__);
    }
    Tick(setup->hwnd);
    Click(GetDlgItem(setup->hwnd, IDC_INSTALL));
    return true;
}

/* The setup to run: setup.exe itself, or a copy carrying the payload= file. */
static std::string SetupToRun()
{
    std::string exe = WinPath(Option("setup"));
    if (Option("payload").empty())
        return exe;
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    std::string folder = std::string(temp) + "setup-variant\\";
    RemoveTree(folder);
    CreateDirectoryA(folder.c_str(), NULL);
    std::string variant = folder + "setup.exe";
    Check(MakeSetupVariant(exe, WinPath(Option("payload")), variant), "variant with another payload", __LINE__);
    return variant;
}

/* The whole install of setup.exe, or of a variant carrying payload=: files
   and their folders, link, progress shown, the success box with the window's
   final state (the bar full, ranged by the file count), then the product
   started from its folder. twice=1 installs again over the first install. */
static void Install()
{
    std::vector<Entry> entries = PayloadEntries(WinPath(Option("payload.bin")));
    std::vector<std::string> names = PayloadNames(WinPath(Option("payload.bin")));
    if (Option("payload").empty())
        CHECK_EQ(names.size(), Option("files").empty() ? (size_t)3 : (size_t)atoi(Option("files").c_str()));
    // Names outside ASCII are right only in the code page they were written in.
    if (!Option("acp").empty())
        CHECK_EQ((long)GetACP(), atol(Option("acp").c_str()));
    if (!Option("path").empty())
        CreateDirectoryA(Option("path").c_str(), NULL);
    RemoveInstallation();
    std::string exe = SetupToRun();

    for (int round = 1; round <= (Option("twice").empty() ? 1 : 2); round++)
    {
        if (round == 2)
        {
            // Longer files, in a subfolder too, and another link already in
            // place are replaced whole.
            WriteWholeFile(InstallFolder() + names[0], std::string(300000, 'x'));
            for (const std::string &name : names)
                if (name.find('\\') != std::string::npos)
                {
                    WriteWholeFile(InstallFolder() + name, std::string(300000, 'y'));
                    break;
                }
            WriteWholeFile(DesktopLink(), "not a link");
        }
        // hold-rename=1: held at the close of the first file larger than a piece,
        // in a folder three deep, the folders written into so far cannot be
        // renamed away (and a link put in their place) by another program.
        std::string hold = TracePath() + ".hold";
        size_t large = 0;
        while (large < entries.size() && entries[large].cb <= (1 << 20))
            large++;
        bool holdRename = round == 1 && !Option("hold-rename").empty() && large < entries.size();
        if (holdRename)
        {
            WriteWholeFile(hold, "");
            SetEnvironmentVariableA("SETUP_HOLD_FILE", entries[large].name.c_str());
        }
        Program setup;
        std::string trace;
        if (!StartInstall(&setup, exe, &trace))
            return;
        HWND hwnd = setup.hwnd;
        if (holdRename)
        {
            WaitForTrace(trace, "\nheld\n");
            std::string top = InstallFolder().substr(0, InstallFolder().size() - 1);
            std::string deep = entries[large].name;
            for (std::string folder : { top, top + "\\" + names[4].substr(0, names[4].find('\\')),
                                        top + "\\" + deep.substr(0, deep.rfind('\\')) })
            {
                bool renamed = MoveFileA(folder.c_str(), (folder + " away").c_str());
                Check(!renamed && GetLastError() == ERROR_SHARING_VIOLATION, "a folder written into is held", __LINE__,
                      folder);
                if (renamed)
                    MoveFileA((folder + " away").c_str(), folder.c_str());
            }
            SetEnvironmentVariableA("SETUP_HOLD_FILE", NULL);
            DeleteFileA(hold.c_str());
        }

        HWND box = WaitForMessageBox(setup.pi.dwProcessId, "SUCCESS");
        Check(box != NULL, "success box", __LINE__);
        if (!box)
        {
            WaitForExit(&setup);
            return;
        }
        CheckProgressShown(ReadWholeFile(trace), entries);
        CHECK_EQ((long)Send(GetDlgItem(hwnd, IDC_PROGRESS), PBM_GETRANGE, FALSE), (long)names.size());

        CHECK_EQ(MessageBoxText(box), std::string("Installation is Complete\n\nClick 'OK' to Exit Setup"));
        CHECK_EQ((long)Send(GetDlgItem(hwnd, IDC_PROGRESS), PBM_GETPOS), (long)names.size());
        CHECK_EQ(ItemText(hwnd, IDC_STATUS), std::string(" Installation Complete"));
        CHECK(!IsWindowEnabled(GetDlgItem(hwnd, IDC_INSTALL)));
        CHECK(!IsWindowEnabled(GetDlgItem(hwnd, IDC_AGREE)));
        CHECK(!IsWindowEnabled(GetDlgItem(hwnd, IDC_BROWSE)));
        CHECK(!IsRunning("Tandreloop.exe"));
        CheckInstalledFiles(names);
        CHECK_EQ(LinkTarget(DesktopLink()), InstallFolder() + "Tandreloop.exe");

        PressOk(box);
        CheckProductRuns();
        CHECK_EQ(WaitForExit(&setup), 0);
    }
}

/* Presses OK on every success and error box until the setup ends; returns how
   many success boxes there were, the setup's exit code and each error box's
   text. */
static int ConfirmUntilExit(Program *setup, long *exitCode, std::vector<std::string> *errors)
{
    int successes = 0;
    DWORD start = GetTickCount();
    while (WaitForSingleObject(setup->pi.hProcess, 20) == WAIT_TIMEOUT && GetTickCount() - start < WAIT_MS)
    {
        HWND box = WaitForMessageBox(setup->pi.dwProcessId, "SUCCESS", 0);
        if (box)
        {
            successes++;
            PressOk(box);
        }
        box = WaitForMessageBox(setup->pi.dwProcessId, "ERROR", 0);
        if (box)
        {
            errors->push_back(MessageBoxText(box));
            PressOk(box);
        }
    }
    *exitCode = WaitForExit(setup);
    return successes;
}

/* Closing the window while files are written (then=close), a second Install
   command queued behind the first (then=install), or a key press on the
   licence box queued while the setup is held as the first file is counted
   (then=key): every file is still written, one success box, the product
   starts, exit code 0. The unpacker takes the key's press right after that
   file and its input filter drops it: the licence keeps its text. */
static void Interrupted()
{
    std::vector<std::string> names = PayloadNames(WinPath(Option("payload.bin")));
    RemoveInstallation();
    std::string then = Option("then");
    std::string hold = TracePath() + ".hold";
    if (then == "key")
    {
        WriteWholeFile(hold, "");
        SetEnvironmentVariableA("SETUP_TRACE_HOLD", "1");
    }
    Program setup;
    if (!StartSetup(&setup, WinPath(Option("setup"))))
        return;
    std::string trace = TraceSetup(setup);
    Tick(setup.hwnd);
    // Read before Install: once the setup is held after the first file, a sent
    // WM_GETTEXT would wait for the hold to end.
    HWND license = GetDlgItem(setup.hwnd, IDC_LICENSE);
    std::string text = WindowText(license);
    // A close or a second Install is queued before the first is handled, so the
    // unpacker's pump step takes it while the files are being written.
    PostMessageA(setup.hwnd, WM_COMMAND, IDC_INSTALL, 0);
    if (then == "close")
        PostMessageA(setup.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    else if (then == "install")
        PostMessageA(setup.hwnd, WM_COMMAND, IDC_INSTALL, 0);
    else
    {
        WaitForTrace(trace, "\n1\t");
        PostKey(license, VK_DELETE);
        DeleteFileA(hold.c_str());
        WaitForMessageBox(setup.pi.dwProcessId, "SUCCESS");
        CHECK(WindowText(license) == text);
    }
    long exitCode = -1;
    std::vector<std::string> errors;
    CHECK_EQ(ConfirmUntilExit(&setup, &exitCode, &errors), 1);
    CHECK_EQ(errors.size(), (size_t)0);
    CHECK_EQ(exitCode, 0L);
    CheckInstalledFiles(names);
    CheckProductRuns();
    if (then == "key" && !names.empty())
    {
        std::string taken = ReadWholeFile(trace);
        std::string first = "0\t\n" + ProgressLine(1, names[0]) + "WM_KEYDOWN\n";
        Check(taken.compare(0, first.size(), first) == 0 && taken.find("WM_KEYUP\n", first.size()) != std::string::npos,
              "the press taken right after the first file, the release later", __LINE__, Quote(taken));
    }
}

/* A later release (payload=, its files in product=) over an earlier one
   (the files of earlier=). then=in-use: the earlier program runs (started
   suspended, which holds its file), and the setup names it in a box that its
   own window owns, before writing anything; Cancel leaves the earlier release
   and ends with exit code 1, and once the program is closed Retry installs
   the later release whole. then=kill: the setup is ended from outside after
   its first file; the earlier release is whole, and the next run installs
   the later one with nothing of the first left. */
static void Upgrade()
{
    std::vector<std::string> names = PayloadNames(WinPath(Option("payload.bin")));
    std::vector<std::string> earlier = ListFiles(WinPath(Option("earlier")) + "\\");
    std::string exe = SetupToRun();
    std::string program = InstallFolder() + "Tandreloop.exe";
    PutEarlierRelease(Option("earlier"), earlier);
    for (int round = 1; round <= 2; round++)
    {
        Program setup;
        long exitCode = -1;
        std::vector<std::string> errors;
        if (Option("then") == "kill" && round == 1)
        {
            std::string hold = TracePath() + ".hold", trace;
            WriteWholeFile(hold, "");
            SetEnvironmentVariableA("SETUP_TRACE_HOLD", "1");
            if (!StartInstall(&setup, exe, &trace))
                return;
            WaitForTrace(trace, "\n1\t");
            KillProgram(&setup);
            SetEnvironmentVariableA("SETUP_TRACE_HOLD", NULL);
            DeleteFileA(hold.c_str());
            CheckInstalledFiles(earlier, Option("earlier"));
            CHECK(FileExists(InstallFolder() + "~T.journal"));     // the next run has something to finish
            continue;
        }
        PROCESS_INFORMATION running = {};
        STARTUPINFOA si = { sizeof(si) };
        if (Option("then") == "in-use")
            CHECK(CreateProcessA(program.c_str(), NULL, NULL, NULL, FALSE, CREATE_SUSPENDED, NULL,
                                 InstallFolder().c_str(), &si, &running));
        if (!StartInstall(&setup, exe))
            break;
        if (running.hProcess)
        {
            HWND box = WaitForMessageBox(setup.pi.dwProcessId, "FILE IN USE");
            Check(box != NULL, "in-use box", __LINE__);
            CHECK_EQ(MessageBoxText(box), "Tandreloop is in use:\n" + program + "\n\nClose Tandreloop, then press Retry.");
            CHECK(box && GetWindow(box, GW_OWNER) == setup.hwnd && !IsWindowEnabled(setup.hwnd));
            CheckInstalledFiles(earlier, Option("earlier"));
            CheckNothingElse(earlier);
            if (round == 2)
                TerminateProcess(running.hProcess, 0);
            WaitForSingleObject(running.hProcess, round == 2 ? WAIT_MS : 0);
            PressButton(box, round == 1 ? IDCANCEL : IDRETRY);
        }
        if (round == 1)
        {
            CHECK_EQ(ConfirmUntilExit(&setup, &exitCode, &errors), 0);
            CHECK_EQ(errors.size(), (size_t)0);
            CHECK_EQ(exitCode, 1L);
            TerminateProcess(running.hProcess, 0);
            WaitForSingleObject(running.hProcess, WAIT_MS);
            CHECK(!IsRunning("Tandreloop.exe"));
            CheckInstalledFiles(earlier, Option("earlier"));
            CheckNothingElse(earlier);
        }
        else
        {
            HWND box = WaitForMessageBox(setup.pi.dwProcessId, "SUCCESS");
            Check(box != NULL, "success box", __LINE__);
            CheckInstalledFiles(names);
            CheckNothingElse(names);
            PressOk(box);
            CheckProductRuns();
            CHECK_EQ(WaitForExit(&setup), 0);
        }
        if (running.hProcess)
        {
            CloseHandle(running.hThread);
            CloseHandle(running.hProcess);
        }
    }
}

/* A payload without the executable: success, then "Cannot Open Program", and
   a Tandreloop.exe lying next to the setup is not started in its place. */
static void MissingProgram()
{
    RemoveInstallation();
    std::string exe = SetupToRun();
    std::string product = WinPath(Option("product"));
    std::string folder = exe.substr(0, exe.rfind('\\') + 1);
    for (const char *name : { "Tandreloop.exe", "TandreCore.dll", "TandreDraw.dll" })
        CopyFileA((product + "\\" + name).c_str(), (folder + name).c_str(), FALSE);

    Program setup;
    if (!StartInstall(&setup, exe))
        return;
    HWND box = WaitForMessageBox(setup.pi.dwProcessId, "SUCCESS");
    Check(box != NULL, "success box", __LINE__);
    PressOk(box);
    box = WaitForMessageBox(setup.pi.dwProcessId, "ERROR");
    Check(box != NULL, "error box", __LINE__);
    CHECK_EQ(MessageBoxText(box), std::string("Cannot Open Program"));
    CHECK(!IsRunning("Tandreloop.exe"));
    PressOk(box);
    CHECK_EQ(WaitForExit(&setup), 0);
    CHECK(!IsRunning("Tandreloop.exe"));
}

/* A failure: the "ERROR" box says what failed and where (expect=, or how it
   starts: expect-start=); no success box, before it or after it until the
   setup has ended; nothing started; exit code 1. Optional set-up: a folder
   where a file must go (folder-at=), a file where a folder must go
   (file-at=), a write or close that fails (fault=, below), the install
   folder left as it is (asis=1), an earlier release there (earlier=); checks: no
   link (nolink=1), no files (nofiles=1). */
static void Failure()
{
    // edge=1: long-path=N is the first length refused, and one character
    // shorter the same product installs whole.
    if (!Option("edge").empty())
    {
        std::string cch = Option("long-path");
        g_options["long-path"] = std::to_string(atoi(cch.c_str()) - 1);
        g_options["path"] = InstallPathOption();
        Install();
        RemoveTree(Option("path"));
        g_options["path"] = "";
        g_options["long-path"] = cch;
    }
    // asis=1: the install folder as the caller left it; earlier=FOLDER: the
    // files of an earlier release in it, which must stay whole, with nothing
    // of the failed install left beside them.
    DeleteFileA(DesktopLink().c_str());
    std::vector<std::string> earlier;
    if (!Option("earlier").empty())
    {
        earlier = ListFiles(WinPath(Option("earlier")) + "\\");
        PutEarlierRelease(Option("earlier"), earlier);
    }
    else if (Option("asis").empty())
    {
        RemoveInstallation();
        CreateDirectoryA(InstallFolder().c_str(), NULL);
    }
    // A long path that is there, so that only the length can stop the install.
    std::string longPath = Option("long-path").empty() ? "" : InstallPathOption();
    if (!longPath.empty() && longPath.size() < MAX_PATH)
        CreateDirectoryA(longPath.c_str(), NULL);
    if (!Option("folder-at").empty())
        CreateDirectoryA(Option("folder-at").c_str(), NULL);
    if (!Option("file-at").empty())
        WriteWholeFile(Option("file-at"), "in the way");
    Program setup;
    std::string trace;
    if (!StartInstall(&setup, SetupToRun(), &trace))
        return;
    long exitCode = -1;
    std::vector<std::string> errors;
    CHECK_EQ(ConfirmUntilExit(&setup, &exitCode, &errors), 0);
    CHECK_EQ(errors.size(), (size_t)1);
    std::string text = errors.empty() ? "" : errors[0];
    if (Option("expect-start").empty())
        CHECK_EQ(text, Option("expect"));
    else
        Check(text.compare(0, Option("expect-start").size(), Option("expect-start")) == 0,
              "error box text starts so", __LINE__, Quote(text.substr(0, 80)));
    CHECK_EQ(exitCode, 1L);
    if (IsRunning("Tandreloop.exe"))
    {
        Check(false, "nothing started", __LINE__);
        HWND product = WaitForWindow(0, "TandreloopWindow", "Tandreloop");
        if (product)
            PostMessageA(product, WM_CLOSE, 0, 0);
    }
    if (!Option("nolink").empty())
        CHECK(!FileExists(DesktopLink()));
    if (!longPath.empty())
    {
        CHECK(!FolderExists(longPath + "Tandreloop\\"));
        RemoveTree(longPath);
    }
    if (!Option("nofiles").empty())
    {
        // No file written stays, in the folders the run made too: the file
        // put in the way is all there is.
        std::vector<std::string> kept;
        std::string at = Option("file-at");
        if (!at.empty() && at.compare(0, InstallFolder().size(), InstallFolder()) == 0)
            kept.push_back(at.substr(InstallFolder().size()));
        CheckNothingElse(kept);
    }
    if (!earlier.empty())
    {
        CheckInstalledFiles(earlier, Option("earlier"));
        CheckNothingElse(earlier);
    }
}

/* The whole job as a newcomer would watch it, with screenshots (BMP) in the
   shots= folder: the window, a moment during unpacking, the success box and
   the started product. Used by the run command; checks only that it ran. */
static void Demo()
{
    RemoveInstallation();
    std::string hold = TracePath() + ".hold";
    WriteWholeFile(hold, "");
    SetEnvironmentVariableA("SETUP_TRACE_HOLD", "1");
    Program setup;
    if (!StartSetup(&setup, WinPath(Option("setup"))))
        return;
    std::string trace = TraceSetup(setup);
    Sleep(500);
    Screenshot("1-window");
    Tick(setup.hwnd);
    Click(GetDlgItem(setup.hwnd, IDC_INSTALL));
    // Held as the first file is counted: the window shows its progress.
    WaitForTrace(trace, "\n1\t");
    Screenshot("2-during");
    DeleteFileA(hold.c_str());
    HWND box = WaitForMessageBox(setup.pi.dwProcessId, "SUCCESS");
    Check(box != NULL, "success box", __LINE__);
    Sleep(300);
    Screenshot("3-after");
    PressOk(box);
    HWND product = WaitForWindow(0, "TandreloopWindow", "Tandreloop");
    Check(product != NULL, "the product's window appears", __LINE__);
    Sleep(500);
    Screenshot("4-product");
    if (product)
        PostMessageA(product, WM_CLOSE, 0, 0);
    CHECK_EQ(WaitForExit(&setup), 0);
}

/* ---- the folder chooser ---- */

/* The chooser: a dialog of the setup's process other than the setup window. */
static std::vector<HWND> Choosers(const Program &setup)
{
    std::vector<HWND> found;
    for (HWND hwnd : FindWindows(setup.pi.dwProcessId, "#32770", NULL))
        if (hwnd != setup.hwnd)
            found.push_back(hwnd);
    return found;
}

static HWND OpenChooser(const Program &setup)
{
    Click(GetDlgItem(setup.hwnd, IDC_BROWSE));
    DWORD start = GetTickCount();
    while (Choosers(setup).empty() && GetTickCount() - start < WAIT_MS)
        Sleep(20);
    std::vector<HWND> found = Choosers(setup);
    Check(found.size() == 1, "one chooser opens", __LINE__);
    return found.empty() ? NULL : found[0];
}

static void EndChooser(const Program &setup, HWND chooser, int button)
{
    PostMessageA(GetDlgItem(chooser, button), BM_CLICK, 0, 0);
    DWORD start = GetTickCount();
    while (IsWindow(chooser) && GetTickCount() - start < WAIT_MS)
        Sleep(20);
    Flush(setup.hwnd);
}

/* Selects an item of the chooser's tree as a user does by typing: the tree
   view selects the next visible item whose text starts with what was typed,
   and {Down} moves to the next item. After each part the item is expanded. */
static void TypeInChooser(const Program &setup, HWND chooser, const std::vector<std::string> &parts)
{
    HWND tree = FindWindowExA(chooser, NULL, WC_TREEVIEWA, NULL);
    Check(tree != NULL, "chooser has a tree", __LINE__);
    for (const std::string &part : parts)
    {
        Sleep(1100);    // the tree starts a new search after a pause in typing
        if (part == "{Down}")
            PostKey(tree, VK_DOWN);
        else
            for (char c : part)
                PostMessageA(tree, WM_CHAR, (unsigned char)c, 1);
        Flush(setup.hwnd);
        HTREEITEM item = (HTREEITEM)Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
        Send(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)item);
    }
}

/* Browse opens one chooser however often it is pressed; cancelling keeps the
   path box; a chosen folder is written with one backslash, a drive root as it
   is. Under Wine the chooser's tree shows drive C: first under "My Computer".
   (Wine on emulated 32-bit x86 cannot read another process's memory, so item
   texts cannot be read back; typing selects items the way a user can.) */
static void Browse()
{
    CreateDirectoryA("C:\\Apps", NULL);
    Program setup;
    if (!StartSetup(&setup, WinPath(Option("setup"))))
        return;
    HWND chooser = OpenChooser(setup);
    Click(GetDlgItem(setup.hwnd, IDC_BROWSE));
    Flush(setup.hwnd);
    Sleep(500);     // a second chooser, had one opened, would be showing by now
    CHECK_EQ(Choosers(setup).size(), (size_t)1);
    EndChooser(setup, chooser, IDCANCEL);
    CHECK(Choosers(setup).empty());
    CHECK_EQ(ItemText(setup.hwnd, IDC_PATH), std::string("C:\\"));

    chooser = OpenChooser(setup);
    if (chooser)
    {
        TypeInChooser(setup, chooser, { "My Computer", "{Down}", "Apps" });
        EndChooser(setup, chooser, IDOK);
    }
    CHECK_EQ(ItemText(setup.hwnd, IDC_PATH), std::string("C:\\Apps\\"));

    chooser = OpenChooser(setup);
    if (chooser)
    {
        TypeInChooser(setup, chooser, { "My Computer", "{Down}" });
        EndChooser(setup, chooser, IDOK);
    }
    CHECK_EQ(ItemText(setup.hwnd, IDC_PATH), std::string("C:\\"));

    CloseSetup(&setup);
}

int main(int argc, char **argv)
{
    if (argc < 2)
    {
        printf("usage: driver SCENARIO name=value...\n");
        return 2;
    }
    // Read from the wide command line, in UTF-8: a path outside the ANSI code
    // page (setup= in a folder named in Cyrillic) comes through whole.
    int cArgs = 0;
    LPWSTR *args = CommandLineToArgvW(GetCommandLineW(), &cArgs);
    for (int i = 2; args && i < cArgs; i++)
    {
        char arg[4096];
        if (!WideCharToMultiByte(CP_UTF8, 0, args[i], -1, arg, sizeof(arg), NULL, NULL))
            continue;
        const char *eq = strchr(arg, '=');
        if (eq)
            g_options[std::string(arg, eq - arg)] = eq + 1;
    }
    LocalFree(args);
    // Windows paths in path=, folder-at=, file-at= and expect= are written with / (a
    // backslash before a list separator means something else to CMake), and
    // expect= carries line feeds written as \n.
    for (const char *name : { "path", "folder-at", "file-at", "expect", "expect-start" })
    {
        std::string &value = g_options[name];
        for (size_t at; (at = value.find("\\n")) != std::string::npos;)
            value.replace(at, 2, "\n");
        for (char &c : value)
            if (c == '/')
                c = '\\';
    }
    CoInitialize(NULL);
    SetEnvironmentVariableA("SETUP_TRACE", TracePath().c_str());   // inherited by the setups started
    // fault=write or fault=close: the trace hook has WriteFile report a short
    // write as done, or CloseHandle fail, on the file named fault-file=;
    // fault=fat: GetFileInformationByHandleEx refuses FileAttributeTagInfo.
    SetEnvironmentVariableA("SETUP_FAULT", Option("fault").empty() ? NULL : Option("fault").c_str());
    SetEnvironmentVariableA("SETUP_FAULT_FILE", Option("fault-file").empty() ? NULL : Option("fault-file").c_str());

    static const struct { const char *name; void (*run)(); } scenarios[] = {
        { "start-state", StartState },
        { "agreement", Agreement },
        { "input-filter", InputFilter },
        { "install", Install },
        { "interrupted", Interrupted },
        { "upgrade", Upgrade },
        { "missing-program", MissingProgram },
        { "failure", Failure },
        { "browse", Browse },
        { "demo", Demo },
    };
    for (auto &scenario : scenarios)
    {
        if (strcmp(argv[1], scenario.name) == 0)
        {
            scenario.run();
            printf("%s: %s\n", scenario.name, g_failures ? "FAILED" : "passed");
            return g_failures ? 1 : 0;
        }
    }
    printf("unknown scenario %s\n", argv[1]);
    return 2;
}

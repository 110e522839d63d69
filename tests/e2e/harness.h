// harness.h - works a Windows program from outside: processes, windows, files
//
// Used by the end-to-end driver, which runs under Wine next to setup.exe and
// reaches it only through the real message queue, as a user's input would.

#ifndef HARNESS_H
#define HARNESS_H

#include <windows.h>

#include <string>
#include <vector>

#define WAIT_MS 60000   /* longest wait for a window or an exit: Wine may run under emulation */

/* Failed checks are counted and printed; the driver exits 1 when any failed. */
extern int g_failures;
void Check(bool ok, const char *what, int line, const std::string &detail = "");
#define CHECK(cond) Check((cond), #cond, __LINE__)
std::string Quote(const std::string &text);
std::string Quote(long long value);
template <typename A, typename B>
void CheckEqual(const A &a, const B &b, const char *what, int line)
{
    Check(a == b, what, line, Quote(a) + " vs " + Quote(b));
}
#define CHECK_EQ(a, b) CheckEqual((a), (b), #a " == " #b, __LINE__)

/* A Unix path as Wine sees it (on drive Z:); other paths are kept. */
std::string WinPath(const std::string &path);

struct Program
{
    PROCESS_INFORMATION pi;
    HWND hwnd;          /* its main window, once found */
};

/* A path given as UTF-8 (as the driver's options come), or else in the ANSI
   code page, for the wide calls. */
std::wstring WidePath(const std::string &path);
/* Starts exe (a path as WidePath takes it) with the given command line tail
   and waits until it shows a top-level window of the class and caption.
   Fails the run when it does not. */
bool StartProgram(Program *program, const std::string &exe, const std::string &args,
                  const char *windowClass, const char *caption);
/* Waits for the process to end; returns its exit code, or -1 after killing it
   when it did not end in time. Closes its handles. */
long WaitForExit(Program *program, DWORD ms = WAIT_MS);
void KillProgram(Program *program);

/* Top-level windows of one process (pid 0: of any process) by class and caption
   (either may be NULL). */
std::vector<HWND> FindWindows(DWORD pid, const char *windowClass, const char *caption);
/* Waits for such a window; NULL when none came in time. */
HWND WaitForWindow(DWORD pid, const char *windowClass, const char *caption, DWORD ms = WAIT_MS);
/* Waits for a message box of the process with this caption. */
HWND WaitForMessageBox(DWORD pid, const char *caption, DWORD ms = WAIT_MS);
std::string MessageBoxText(HWND box);
/* Presses the box's button (PressOk: its only one) and waits until the box is gone. */
void PressButton(HWND box, int id);
void PressOk(HWND box);

std::string WindowText(HWND hwnd);
std::string ItemText(HWND dialog, int id);
HWND FocusOf(HWND window);          /* the focus window of the window's thread */
bool IsRunning(const char *exeName); /* a process of that file name exists */

std::string ReadWholeFile(const std::string &path, bool *ok = NULL);
bool WriteWholeFile(const std::string &path, const std::string &data);
/* Both files can be read and hold the same bytes; compared piece by piece. */
bool SameFiles(const std::string &a, const std::string &b);
bool FileExists(const std::string &path);
bool FolderExists(const std::string &path);
void RemoveTree(const std::string &path);   /* a folder and all below it, or a file */
/* The files under a folder (ending in a backslash), by their paths in it. */
std::vector<std::string> ListFiles(const std::string &folder);
std::string DesktopFolder();                /* with a trailing backslash */
/* The target of a .lnk file, read back through the shell; empty when unreadable. */
std::string LinkTarget(const std::string &lnk);

/* Copies setup.exe to dst and replaces its payload resource with the file's
   bytes. */
bool MakeSetupVariant(const std::string &src, const std::string &payloadFile, const std::string &dst);

/* Pixels of the screen, 0x00RRGGBB, row by row from the top left. */
struct Screen
{
    int width, height;
    std::vector<DWORD> pixels;
    DWORD At(int x, int y) const { return pixels[y * width + x]; }
};
bool CaptureScreen(Screen *screen);
bool SaveScreen(const Screen &screen, const std::string &bmpPath);

#endif

// tandreloop.cpp - the sample product's window: draws the loop and says where it runs from
//
// The text of control IDC_INFO is read from outside (WM_GETTEXT) to check where the
// installed product was started from and in which working folder, so its line
// prefixes must stay as they are.

// stdio.h before windows.h: in C++, windows.h reaches libstdc++'s configuration, which
// switches snprintf to mingw's own printf and would triple the size of this program.
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "tandrecore.h"
#include "tandredraw.h"

#define IDC_INFO 100
#define WINDOW_CLASS "TandreloopWindow"
#define WINDOW_TITLE "Tandreloop"
#define WINDOW_WIDTH 480
#define WINDOW_HEIGHT 360
#define MARGIN 8
#define INFO_HEIGHT 96          // five lines of the GUI font, with room for a long path to wrap
#define INFO_TEXT_BYTES 4096

// No large static buffers here: with -fdata-sections, mingw's GCC stores zeroed
// statics in the file as .data instead of .bss, so they would bloat the program.

/* Returns the part of commandLine after the program name, exactly as given: from
   the first blank on for a bare name, or everything after a quoted name's closing
   quote (Windows starts the first argument right there). */
static const char *SkipProgramName(const char *commandLine)
{
    const char *p = commandLine;
    if (*p == '"')
    {
        p++;
        while (*p && *p != '"')
            p++;
        if (*p == '"')
            p++;
        return p;
    }
    while (*p && *p != ' ' && *p != '\t')
        p++;
    return p;
}

/* Gets the current directory with a trailing backslash, or an empty text if it
   does not fit in cbFolder bytes. */
static void GetWorkingFolder(char *folder, DWORD cbFolder)
{
    DWORD cch = GetCurrentDirectoryA(cbFolder - 1, folder);  // keep a byte for the backslash
    if (cch == 0 || cch >= cbFolder - 1)
    {
        folder[0] = 0;
        return;
    }
    if (folder[cch - 1] != '\\')
    {
        folder[cch] = '\\';
        folder[cch + 1] = 0;
    }
}

static void BuildInfoText(char *text, size_t cbText)
{
    char about[128];
    char exePath[MAX_PATH + 1];
    char folder[MAX_PATH + 2];

    TandreAboutText(about, sizeof(about));
    DWORD cch = GetModuleFileNameA(NULL, exePath, sizeof(exePath));
    exePath[cch < sizeof(exePath) ? cch : sizeof(exePath) - 1] = 0;  // XP leaves a cut name unterminated
    GetWorkingFolder(folder, sizeof(folder));

    // The command line goes last: it is the only part long enough to be cut.
    snprintf(text, cbText,
             "Tandreloop 1.0\r\n"
             "%s\r\n"
             "Running from: %s\r\n"
             "Working folder: %s\r\n"
             "Command line: %s",
             about, exePath, folder, SkipProgramName(GetCommandLineA()));
}

static BOOL CreateInfoControl(HWND window, const char *text)
{
    HWND info = CreateWindowExA(0, "STATIC", text,
                                WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,   // paths may hold '&'
                                MARGIN, MARGIN, WINDOW_WIDTH - 2 * MARGIN, INFO_HEIGHT,
                                window, (HMENU)IDC_INFO, GetModuleHandleA(NULL), NULL);
    if (!info)
        return FALSE;
    SendMessageA(info, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), FALSE);
    return TRUE;
}

static void PaintCurve(HWND window)
{
    TandrePoint curve[TANDRE_CURVE_POINTS];
    PAINTSTRUCT ps;
    HDC hdc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    int top = MARGIN + INFO_HEIGHT + MARGIN;
    int count = TandreCurvePoints(curve, TANDRE_CURVE_POINTS, MARGIN, top,
                                  client.right - 2 * MARGIN, client.bottom - top - MARGIN);
    if (count)
        TandreDrawCurve(hdc, curve, count);
    EndPaint(window, &ps);
}

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_CREATE:
    {
        // The info text comes through CreateWindowExA's last parameter.
        const CREATESTRUCTA *create = (const CREATESTRUCTA *)lParam;
        return CreateInfoControl(window, (const char *)create->lpCreateParams) ? 0 : -1;
    }
    case WM_SIZE:
        MoveWindow(GetDlgItem(window, IDC_INFO), MARGIN, MARGIN,
                   LOWORD(lParam) - 2 * MARGIN, INFO_HEIGHT, TRUE);
        return 0;
    case WM_CTLCOLORSTATIC:
        // Match the window's own background instead of the dialog grey.
        SetBkColor((HDC)wParam, GetSysColor(COLOR_WINDOW));
        return (LRESULT)GetSysColorBrush(COLOR_WINDOW);
    case WM_PAINT:
        PaintCurve(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    char infoText[INFO_TEXT_BYTES];
    BuildInfoText(infoText, sizeof(infoText));

    WNDCLASSA wc;
    memset(&wc, 0, sizeof(wc));
    wc.style = CS_HREDRAW | CS_VREDRAW;     // the curve is fitted to the whole client area
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(NULL, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassA(&wc))
        return 1;

    HWND window = CreateWindowExA(0, WINDOW_CLASS, WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, WINDOW_WIDTH, WINDOW_HEIGHT,
                                  NULL, NULL, instance, infoText);
    if (!window)
        return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}

// floor.cpp - the least a windowed installer does: the benchmark's baseline
// for setup.exe's start-up and install times

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <stdio.h>
#include <string.h>

#include "pathjoin.h"
#include "payload.h"
#include "steps.h"

#define IDR_PAYLOAD  115    /* as setup.exe: type "BINARY" */
#define IDC_INSTALL  1003   /* as setup.exe, so the driver presses both alike */
#define INSTALL_DIR  "C:\\Tandreloop\\"

/* The same link setup.exe saves: <desktop>\Tandreloop.lnk to the executable. */
static void SaveLink(const char *target)
{
    char link[MAX_PATH + 32] = "";
    WCHAR wideLink[MAX_PATH + 32];
    if (FAILED(SHGetFolderPathA(NULL, CSIDL_DESKTOPDIRECTORY, NULL, 0, link)) ||
        !AppendText(link, sizeof(link), "\\Tandreloop.lnk") ||
        !MultiByteToWideChar(CP_ACP, 0, link, -1, wideLink, ARRAYSIZE(wideLink)))
        return;
    IShellLinkA *shellLink = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                (void **)&shellLink)))
        return;
    shellLink->SetPath(target);
    IPersistFile *file = NULL;
    if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, (void **)&file)))
    {
        file->Save(wideLink, TRUE);
        file->Release();
    }
    shellLink->Release();
}

/* Creates the folders of path (under the install folder) that the entry before,
   prev, did not already have: one CreateDirectoryA per new folder while the
   payload keeps each folder's files together, as the payload tool's walk does.
   A folder that exists already is fine. */
static int MakeFolders(char *path, size_t cbBase, const char *prev)
{
    for (char *sep = strchr(path + cbBase, '\\'); sep; sep = strchr(sep + 1, '\\'))
    {
        size_t cbFolder = (size_t)(sep - path) - cbBase + 1;
        if (strncmp(path + cbBase, prev, cbFolder) == 0)
            continue;
        *sep = 0;
        BOOL made = CreateDirectoryA(path, NULL) || GetLastError() == ERROR_ALREADY_EXISTS;
        *sep = '\\';
        if (!made)
            return 0;
    }
    return 1;
}

/* One fwrite per file straight from the resource memory, as setup.exe does,
   and nothing else: no check of the whole payload, no progress, no pumping.
   Folders named in the entries are made as the first file in each comes. */
static const char *Install(void)
{
    HRSRC hrsrc = FindResourceA(NULL, MAKEINTRESOURCEA(IDR_PAYLOAD), "BINARY");
    HGLOBAL hPayload = hrsrc ? LoadResource(NULL, hrsrc) : NULL;
    const unsigned char *payload = hPayload ? (const unsigned char *)LockResource(hPayload) : NULL;
    if (!payload)
        return "ERROR";
    size_t cbPayload = SizeofResource(NULL, hrsrc);
    STEP_MARK("load");
    CreateDirectoryA(INSTALL_DIR, NULL);
    STEP_MARK("folder");
    SaveLink(INSTALL_DIR "Tandreloop.exe");
    STEP_MARK("link");

    size_t pos = 0;
    int count = 0;
    (void)count;    // counted for the step marks only
    PayloadEntry entry;
    const char *prev = "";
    while (NextPayloadEntry(payload, cbPayload, &pos, &entry) == PAYLOAD_ENTRY)
    {
        char path[MAX_PATH] = INSTALL_DIR;
        if (!AppendText(path, sizeof(path), entry.name) || !MakeFolders(path, strlen(INSTALL_DIR), prev))
            return "ERROR";
        prev = entry.name;
        FILE *file = fopen(path, "wb");
        if (!file)
            return "ERROR";
        size_t written = fwrite(entry.data, 1, entry.cbData, file);
        if (fclose(file) != 0 || written != entry.cbData)
            return "ERROR";
        STEP_MARK_N("write", ++count);
    }
    return "SUCCESS";
}

static LRESULT CALLBACK FloorWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND && LOWORD(wParam) == IDC_INSTALL)
    {
        STEP_MARK("dispatch");
        const char *result = Install();
        STEP_FLUSH();
        // The box setup.exe shows, icon and text alike.
        if (result[0] == 'S')
            MessageBoxA(NULL, "Installation is Complete\n\nClick 'OK' to Exit Setup", "SUCCESS",
                        MB_OK | MB_ICONINFORMATION);
        else
            MessageBoxA(NULL, result, result, MB_OK);
        PostQuitMessage(0);
        return 0;
    }
    if (message == WM_DESTROY)
    {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nCmdShow;
    STEP_MARK("entry");
    CoInitialize(NULL);
    STEP_MARK("com");

    WNDCLASSA wc = {};
    wc.lpfnWndProc = FloorWndProc;
    wc.hInstance = hInstance;
    wc.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "BenchFloor";
    RegisterClassA(&wc);
    // Shown once complete, as setup.exe shows its dialog.
    HWND hwnd = CreateWindowA("BenchFloor", "Floor", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              320, 200, NULL, NULL, hInstance, NULL);
    CreateWindowA("BUTTON", "Install", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 200, 120, 90, 26,
                  hwnd, (HMENU)IDC_INSTALL, hInstance, NULL);
    STEP_MARK("dialog");
    ShowWindow(hwnd, SW_SHOWNORMAL);
    STEP_MARK("show");
    UpdateWindow(hwnd);
    STEP_MARK("paint");
    STEP_FLUSH();

    // Blocks while idle: the floor for idle CPU is a program that waits.
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    CoUninitialize();
    return 0;
}

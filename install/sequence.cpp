// sequence.cpp - the Install command, from the press to the end of the program

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "install.h"
#include "pathjoin.h"
#include "resource.h"
#include "setup.h"
#include "steps.h"

#define INSTALL_PATH_BYTES 2048

/* Shows what failed, with its path on a line of its own, and ends the program
   with exit code 1: no success box and nothing started. An empty text is a
   cancel: the user knows, no box. */
static int EndWithError(const char *szFailure)
{
    if (szFailure[0])
        MessageBoxA(NULL, szFailure, "ERROR", MB_OK | MB_ICONERROR);
    g_exitCode = 1;
    PostQuitMessage(1);
    return 0;
}

int RunInstall(void)
{
    // Install is disabled below, but a press queued before that is dispatched by
    // the unpacker's pump step while this install runs.
    static int s_running;
    if (s_running)
        return 0;
    s_running = 1;
    STEP_MARK("dispatch");

    HWND hwnd = g_hwndSetup;
    // The bar's range is set by the unpacker, which counts the files.
    SendDlgItemMessageA(hwnd, IDC_PROGRESS, PBM_SETPOS, 0, 0);
    EnableWindow(GetDlgItem(hwnd, IDC_INSTALL), FALSE);
    EnableWindow(GetDlgItem(hwnd, IDC_AGREE), FALSE);
    EnableWindow(GetDlgItem(hwnd, IDC_BROWSE), FALSE);

    char szFolder[INSTALL_PATH_BYTES] = "";
    char szExe[INSTALL_PATH_BYTES] = "";
    char szFailure[FAILURE_BYTES] = "";
    GetDlgItemTextA(hwnd, IDC_PATH, szFolder, sizeof(szFolder));
    // A path box text too long for the folder and the executable's path to fit
    // is refused here; the unpacker checks each file's path itself.
    if (!AppendText(szFolder, sizeof(szFolder), PRODUCT_FOLDER) ||
        !AppendText(szExe, sizeof(szExe), szFolder) || !AppendText(szExe, sizeof(szExe), PRODUCT_EXE))
        return EndWithError(JoinPath("Install Path Too Long\n", szFolder));
    // Nothing is made, not even the folder or the link, for a payload that is
    // not whole or a path that the file calls would not take.
    PayloadToInstall payload;
    if (!CheckPayloadToInstall(IDR_PAYLOAD, szFolder, &payload, szFailure, sizeof(szFailure)))
        return EndWithError(szFailure);
    STEP_MARK("prepare");

    // Held open to the end of the install: see OpenFolder.
    HANDLE hFolder;
    const char *szWhat;
    int fFolderMade;
    if (!OpenFolder(szFolder, &hFolder, &szWhat, &fFolderMade))
        return EndWithError(JoinPath(szWhat, "\n", szFolder));
    STEP_MARK("folder");
    // An earlier install that was cut short is finished first. Then, before
    // the first byte, the program: while it runs, its files cannot be
    // replaced (the commit asks again of every file, once all are written).
    // And the new files must fit beside the earlier ones.
    int ok = FinishEarlierInstall(szFolder, szFailure, sizeof(szFailure));
    if (ok && !WaitWhileInUse(szExe))
        ok = 0, szFailure[0] = 0;
    ok = ok && HasRoomFor(&payload, szFolder, szFailure, sizeof(szFailure));
    if (!ok)
    {
        CloseHandle(hFolder);
        return EndWithError(szFailure);
    }
    STEP_MARK("earlier install");

    CreateDesktopShortcut(hwnd, PRODUCT_LINK, szExe);
    STEP_MARK("link");

    // The folder goes to the unpacker as it is: a copy through a 1,280-byte
    // JoinPath slot could cut a long folder and send the files elsewhere.
    ok = UnpackPayload(&payload, szFolder, fFolderMade, szFailure, sizeof(szFailure));
    CloseHandle(hFolder);
    if (!ok)
        return EndWithError(szFailure);
    STEP_FLUSH();

    MessageBoxA(NULL, "Installation is Complete\n\nClick 'OK' to Exit Setup", "SUCCESS",
                MB_OK | MB_ICONINFORMATION);

    // Started by its full path: a bare name would be looked for next to the
    // setup first, and whatever "Tandreloop.exe" lies there would start instead.
    if ((INT_PTR)g_sys.ShellExecuteA(hwnd, "open", szExe, " ", szFolder, SW_SHOW) <= 32)
        MessageBoxA(NULL, "Cannot Open Program", "ERROR", MB_OK | MB_ICONERROR);

    PostQuitMessage(0);
    return 1;
}

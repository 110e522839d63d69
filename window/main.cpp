// main.cpp - entry point, main loop and the pump step with its input filter

#include <windows.h>
#include <commctrl.h>

#include "setup.h"
#include "install.h"
#include "resource.h"
#include "steps.h"

HINSTANCE g_hInstance;
HWND g_hwndSetup;
HBRUSH g_hbrLicense;
MSG g_msg;
int g_exitCode;

/* Shows why the setup cannot start. Before the dialog exists, so without an
   owner. */
static int EndBeforeStart(const char *szFailure)
{
    MessageBoxA(NULL, szFailure, "ERROR", MB_OK | MB_ICONERROR);
    return 1;
}

/* The licence box is read-only to the keyboard and the path box to keyboard and
   mouse alike (the folder chooser is the way to change it). Only this pump drops
   these messages: platform dialogs with loops of their own see everything. */
static int IsFilteredInput(const MSG *msg)
{
    if (!msg->hwnd)
        return 0;
    if (msg->hwnd == GetDlgItem(g_hwndSetup, IDC_LICENSE))
        return msg->message == WM_KEYDOWN;
    if (msg->hwnd == GetDlgItem(g_hwndSetup, IDC_PATH))
        return msg->message == WM_KEYDOWN || msg->message == WM_RBUTTONDOWN ||
               msg->message == WM_LBUTTONDOWN;
    return 0;
}

/* Takes the messages waiting, through the input filter. A dropped message
   ends the draining; what is still queued waits for the next call.
   IsDialogMessage is not used, so Tab, Enter and Escape have no dialog meaning. */
int DrainMessages(void)
{
    while (PeekMessageA(&g_msg, NULL, 0, 0, PM_NOREMOVE))
    {
        if (!GetMessageA(&g_msg, NULL, 0, 0))
            return 1;
        if (IsFilteredInput(&g_msg))
            break;
        TranslateMessage(&g_msg);
        DispatchMessageA(&g_msg);
    }
    return 0;
}

/* One step of the main loop, which polls rather than blocking in GetMessage:
   drains the queue, then sleeps 1 ms. */
int PumpMessages(void)
{
    if (DrainMessages())
        return 1;
    Sleep(1);
    return 0;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nCmdShow;

    // Before anything can load a DLL: the image imports only Known DLLs, and
    // every other DLL is loaded here, from the system folder.
    STEP_MARK("entry");
    char szFailure[FAILURE_BYTES] = "";
    if (!RestrictDllSearch(szFailure, sizeof(szFailure)) || !LoadSystemDlls(szFailure, sizeof(szFailure)))
        return EndBeforeStart(szFailure);
    STEP_MARK("system dlls");
    g_hInstance = hInstance;
    g_sys.CoInitialize(NULL);
    STEP_MARK("com");

    INITCOMMONCONTROLSEX icc = { sizeof(icc), ICC_BAR_CLASSES };
    g_sys.InitCommonControlsEx(&icc);
    g_hbrLicense = CreateSolidBrush(LICENSE_BACK_COLOR);
    STEP_MARK("controls");

    g_hwndSetup = CreateDialogParamA(hInstance, MAKEINTRESOURCEA(IDD_SETUP), NULL, SetupDialogProc, 0);
    STEP_MARK("dialog");
    if (g_hwndSetup)
    {
        ShowWindow(g_hwndSetup, SW_SHOWNORMAL);
        STEP_MARK("show");
        SendMessageA(g_hwndSetup, WM_PAINT, 0, 0);
        STEP_MARK("paint");
        STEP_FLUSH();
        while (!PumpMessages())
            ;
    }

    g_sys.CoUninitialize();
    DeleteObject(g_hbrLicense);
    return g_exitCode;
}

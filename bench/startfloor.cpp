// startfloor.cpp - the setup's own window shown by the least code: the
// benchmark's floor for setup.exe's start-up
//
// Built from setup.rc, so it carries the same template, artwork, licence,
// manifest and payload. It fills the window as the setup does (icon, path,
// Browse picture, licence and its colours) and shows it; nothing else: no COM,
// no DLL search restriction, and it blocks in GetMessage instead of polling.

#include <windows.h>
#include <commctrl.h>

#include "resource.h"
#include "steps.h"

static HBRUSH s_hbrLicense;

static INT_PTR CALLBACK FloorDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
    {
        STEP_MARK("frame and controls");
        HINSTANCE hInstance = GetModuleHandleA(NULL);
        SendMessageA(hwnd, WM_SETICON, ICON_SMALL, (LPARAM)LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_SETUP)));
        SetDlgItemTextA(hwnd, IDC_PATH, "C:\\");
        SendDlgItemMessageA(hwnd, IDC_BROWSE, BM_SETIMAGE, IMAGE_BITMAP,
                            (LPARAM)LoadBitmapA(hInstance, MAKEINTRESOURCEA(IDB_BROWSE)));
        HRSRC hrsrc = FindResourceA(NULL, MAKEINTRESOURCEA(IDR_LICENSE), "LICENSE");
        HGLOBAL hLicense = hrsrc ? LoadResource(NULL, hrsrc) : NULL;
        if (hLicense)
            SetDlgItemTextA(hwnd, IDC_LICENSE, (const char *)LockResource(hLicense));
        SetFocus(GetDlgItem(hwnd, IDC_LICENSE));
        STEP_MARK("init");
    }
    else if (message == WM_CTLCOLOREDIT && (HWND)lParam == GetDlgItem(hwnd, IDC_LICENSE))
    {
        SetBkColor((HDC)wParam, RGB(112, 112, 112));
        SetTextColor((HDC)wParam, RGB(128, 255, 128));
        return (INT_PTR)s_hbrLicense;
    }
    else if (message == WM_CLOSE)
        DestroyWindow(hwnd);
    else if (message == WM_DESTROY)
        PostQuitMessage(0);
    return FALSE;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nCmdShow;
    STEP_MARK("entry");
    INITCOMMONCONTROLSEX icc = { sizeof(icc), ICC_BAR_CLASSES };
    InitCommonControlsEx(&icc);
    s_hbrLicense = CreateSolidBrush(RGB(112, 112, 112));
    STEP_MARK("controls");
    HWND hwnd = CreateDialogParamA(hInstance, MAKEINTRESOURCEA(IDD_SETUP), NULL, FloorDialogProc, 0);
    STEP_MARK("dialog");
    if (!hwnd)
        return 1;
    ShowWindow(hwnd, SW_SHOWNORMAL);
    STEP_MARK("show");
    UpdateWindow(hwnd);
    STEP_MARK("paint");
    STEP_FLUSH();
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

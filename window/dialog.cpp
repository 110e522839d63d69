// dialog.cpp - the setup dialog: fills its controls, colours the licence, routes commands

#include <windows.h>

#include "setup.h"
#include "install.h"
#include "resource.h"
#include "steps.h"

static void OnInitDialog(HWND hwnd)
{
    STEP_MARK("frame and controls");
    g_hwndSetup = hwnd;
    HICON hIcon = LoadIconA(g_hInstance, MAKEINTRESOURCEA(IDI_SETUP));
    SendMessageA(hwnd, WM_SETICON, ICON_SMALL, (LPARAM)hIcon);
    SendDlgItemMessageA(hwnd, IDC_PATH, WM_SETTEXT, 0, (LPARAM)"C:\\");

    HBITMAP hbmBrowse = LoadBitmapA(g_hInstance, MAKEINTRESOURCEA(IDB_BROWSE));
    SendDlgItemMessageA(hwnd, IDC_BROWSE, BM_SETIMAGE, IMAGE_BITMAP, (LPARAM)hbmBrowse);

    // The licence is shown straight from the resource memory: the build stores
    // it with a terminating zero, so it can be handed over as a string.
    HRSRC hrsrc = FindResourceA(NULL, MAKEINTRESOURCEA(IDR_LICENSE), "LICENSE");
    HGLOBAL hLicense = hrsrc ? LoadResource(NULL, hrsrc) : NULL;
    if (hLicense)
        SendDlgItemMessageA(hwnd, IDC_LICENSE, WM_SETTEXT, 0, (LPARAM)LockResource(hLicense));

    SetFocus(GetDlgItem(hwnd, IDC_LICENSE));
    STEP_MARK("init");
}

static void OnCommand(HWND hwnd, int id)
{
    switch (id)
    {
    case IDC_INSTALL:
        RunInstall();
        break;
    case IDC_BROWSE:
        ChooseInstallFolder();
        break;
    case IDC_AGREE:
        EnableWindow(GetDlgItem(hwnd, IDC_INSTALL),
                     SendDlgItemMessageA(hwnd, IDC_AGREE, BM_GETCHECK, 0, 0) != 0);
        break;
    }
}

/* Returns FALSE for everything but the licence box's colours: the dialog
   manager then does its default work, and WM_INITDIALOG keeps our focus. */
INT_PTR CALLBACK SetupDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_INITDIALOG:
        OnInitDialog(hwnd);
        break;
    case WM_COMMAND:
        OnCommand(hwnd, LOWORD(wParam));
        break;
    case WM_CTLCOLOREDIT:
        if ((HWND)lParam == GetDlgItem(hwnd, IDC_LICENSE))
        {
            SetBkColor((HDC)wParam, LICENSE_BACK_COLOR);
            SetTextColor((HDC)wParam, LICENSE_TEXT_COLOR);
            return (INT_PTR)g_hbrLicense;
        }
        break;
    case WM_CLOSE:
        DestroyWindow(hwnd);
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        break;
    }
    return FALSE;
}

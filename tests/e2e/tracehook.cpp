// tracehook.cpp - a message hook that the driver sets on the setup's thread
//
// Records every position sent to the progress bar, with the bar's own answer
// and the status line at that moment, one line each ("pos<TAB>status"), in the
// file named by the SETUP_TRACE environment variable (inherited from the driver).
// A hook runs inside the setup's own thread, so nothing is missed however fast
// the setup goes.

#include <windows.h>
#include <commctrl.h>

#include <stdio.h>

#include "resource.h"

extern "C" __declspec(dllexport) LRESULT CALLBACK TraceHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT *msg = (const CWPRETSTRUCT *)lParam;
    if (code == HC_ACTION && msg->message == PBM_SETPOS && GetDlgCtrlID(msg->hwnd) == IDC_PROGRESS)
    {
        char path[MAX_PATH];
        char status[512] = "";
        DWORD cch = GetEnvironmentVariableA("SETUP_TRACE", path, sizeof(path));
        GetDlgItemTextA(GetParent(msg->hwnd), IDC_STATUS, status, sizeof(status));
        long pos = (long)SendMessageA(msg->hwnd, PBM_GETPOS, 0, 0);
        FILE *file = cch && cch < sizeof(path) ? fopen(path, "ab") : NULL;
        if (file)
        {
            fprintf(file, "%ld\t%s\n", pos, status);
            fclose(file);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

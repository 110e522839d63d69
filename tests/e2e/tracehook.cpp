// tracehook.cpp - a message hook that the driver sets on the setup's thread
//
// Records every position sent to the progress bar, with the bar's own answer
// and the status line at that moment, one line each ("pos<TAB>status"), in the
// file named by the SETUP_TRACE environment variable (inherited from the driver).
// A hook runs inside the setup's own thread, so nothing is missed however fast
// the setup goes. With SETUP_TRACE_HOLD=N the setup is held when the bar is set
// to N, until the file <trace file>.hold is removed (or 20 s pass): the screen
// then shows what a user sees while the next file is written.

#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "resource.h"

extern "C" __declspec(dllexport) LRESULT CALLBACK TraceHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT *msg = (const CWPRETSTRUCT *)lParam;
    if (code == HC_ACTION && msg->message == PBM_SETPOS && GetDlgCtrlID(msg->hwnd) == IDC_PROGRESS)
    {
        char path[MAX_PATH + 8];
        char status[512] = "";
        DWORD cch = GetEnvironmentVariableA("SETUP_TRACE", path, MAX_PATH);
        GetDlgItemTextA(GetParent(msg->hwnd), IDC_STATUS, status, sizeof(status));
        long pos = (long)SendMessageA(msg->hwnd, PBM_GETPOS, 0, 0);
        FILE *file = cch && cch < MAX_PATH ? fopen(path, "ab") : NULL;
        if (file)
        {
            fprintf(file, "%ld\t%s\n", pos, status);
            fclose(file);
        }
        char hold[16];
        if (file && GetEnvironmentVariableA("SETUP_TRACE_HOLD", hold, sizeof(hold)) && atol(hold) == pos)
        {
            strcat(path, ".hold");
            for (int i = 0; i < 2000 && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; i++)
                Sleep(10);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

// tracehook.cpp - message hooks that the driver sets on the setup's thread
//
// TraceHookProc records every position sent to the progress bar, with the
// bar's own answer and the status line at that moment ("pos<TAB>status"), and
// TraceKeysProc every key message the thread takes from its queue
// ("WM_KEYDOWN" or "WM_KEYUP"): the bar is set once per file, just before the
// unpacker's pump step, so the trace shows which step took which key. Lines go
// to the file named by the SETUP_TRACE environment variable (inherited from
// the driver). A hook runs inside the setup's own thread, so nothing is missed
// however fast the setup goes. With SETUP_TRACE_HOLD=N the setup is held when
// the bar is set to N, until the file <trace file>.hold is removed (or 20 s
// pass): the driver can then queue messages for the next step, and the screen
// shows what a user sees while the next file is written.
//
// Once loaded, the hooks also give the setup's own fclose calls the behaviour
// of the Windows C runtime, which the setup is written for (see WindowsFclose).

#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "resource.h"

/* Windows' C runtime reports at fclose what the last flush and the close do,
   and nothing else. Wine's also reports an earlier failed write of the stream
   (so under Wine a setup that ignored what fwrite returned would still see a
   full disk at the close), but not a failed last flush. */
static int __cdecl WindowsFclose(FILE *file)
{
    file->_flag &= ~_IOERR;
    fflush(file);           // a failed flush marks the stream, which Wine's fclose reports
    return fclose(file);
}

/* Points the setup's import of msvcrt's fclose at WindowsFclose. */
static void UseWindowsFclose(void)
{
    BYTE *image = (BYTE *)GetModuleHandleA(NULL);
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(image + ((IMAGE_DOS_HEADER *)image)->e_lfanew);
    const IMAGE_DATA_DIRECTORY *imports = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR *dll = (const IMAGE_IMPORT_DESCRIPTOR *)(image + imports->VirtualAddress);
         imports->VirtualAddress && dll->Name; dll++)
    {
        if (_stricmp((const char *)image + dll->Name, "msvcrt.dll") != 0)
            continue;
        const IMAGE_THUNK_DATA *name = (const IMAGE_THUNK_DATA *)(image + dll->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slot = (IMAGE_THUNK_DATA *)(image + dll->FirstThunk);
        for (; name->u1.AddressOfData; name++, slot++)
        {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                strcmp((const char *)((const IMAGE_IMPORT_BY_NAME *)(image + name->u1.AddressOfData))->Name, "fclose"))
                continue;
            DWORD protect;
            if (VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protect))
            {
                slot->u1.Function = (DWORD_PTR)WindowsFclose;
                VirtualProtect(slot, sizeof(*slot), protect, &protect);
            }
        }
    }
}

/* Runs at the start of every hook call: only the hooks run in the setup's
   process (the driver loads this DLL too, to find the procedures). */
static void AttachToSetup(void)
{
    static int s_attached;
    if (!s_attached)
        UseWindowsFclose();
    s_attached = 1;
}

/* Appends a line to the trace file; FALSE when there is none. */
static BOOL TraceLine(const char *line, char *path, DWORD cchPath)
{
    DWORD cch = GetEnvironmentVariableA("SETUP_TRACE", path, cchPath);
    FILE *file = cch && cch < cchPath ? fopen(path, "ab") : NULL;
    if (!file)
        return FALSE;
    fputs(line, file);
    fclose(file);
    return TRUE;
}

extern "C" __declspec(dllexport) LRESULT CALLBACK TraceHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    AttachToSetup();
    const CWPRETSTRUCT *msg = (const CWPRETSTRUCT *)lParam;
    if (code == HC_ACTION && msg->message == PBM_SETPOS && GetDlgCtrlID(msg->hwnd) == IDC_PROGRESS)
    {
        char path[MAX_PATH + 8];
        char status[512] = "";
        char line[600];
        GetDlgItemTextA(GetParent(msg->hwnd), IDC_STATUS, status, sizeof(status));
        long pos = (long)SendMessageA(msg->hwnd, PBM_GETPOS, 0, 0);
        snprintf(line, sizeof(line), "%ld\t%s\n", pos, status);
        char hold[16];
        if (TraceLine(line, path, MAX_PATH) &&
            GetEnvironmentVariableA("SETUP_TRACE_HOLD", hold, sizeof(hold)) && atol(hold) == pos)
        {
            // Painted first, so that the screen shows this position while held.
            UpdateWindow(msg->hwnd);
            strcat(path, ".hold");
            for (int i = 0; i < 2000 && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; i++)
                Sleep(10);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK TraceKeysProc(int code, WPARAM wParam, LPARAM lParam)
{
    AttachToSetup();
    const MSG *msg = (const MSG *)lParam;
    char path[MAX_PATH];
    if (code == HC_ACTION && wParam == PM_REMOVE && (msg->message == WM_KEYDOWN || msg->message == WM_KEYUP))
        TraceLine(msg->message == WM_KEYDOWN ? "WM_KEYDOWN\n" : "WM_KEYUP\n", path, sizeof(path));
    return CallNextHookEx(NULL, code, wParam, lParam);
}

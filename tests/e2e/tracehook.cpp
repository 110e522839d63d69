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
// Once loaded, the hooks also stand in for the setup's WriteFile and
// CloseHandle, to fail them on one file when the driver asks (see IsFaultFile)
// or to hold the setup at one file's close (SETUP_HOLD_FILE),
// and for GetFileInformationByHandleEx, to answer as a FAT volume does.

#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "resource.h"

/* Faults of the file calls, on one file, for the failure scenarios: with
   SETUP_FAULT=write, WriteFile writes one byte less than asked and says it
   wrote them all; with SETUP_FAULT=close, CloseHandle closes the file and
   says it failed, as a full disk or a lost share can at the close. The file
   is the one whose path ends in \ and SETUP_FAULT_FILE. */
static BOOL IsNamedFile(HANDLE h, const char *variable)
{
    char name[MAX_PATH], path[MAX_PATH + 8];
    if (!GetEnvironmentVariableA(variable, name, sizeof(name)))
        return FALSE;
    DWORD cch = GetFinalPathNameByHandleA(h, path, sizeof(path), 0);
    size_t cchName = strlen(name);
    return cch > cchName && cch < sizeof(path) && path[cch - cchName - 1] == '\\' &&
           _stricmp(path + cch - cchName, name) == 0;
}

static BOOL IsFaultFile(HANDLE h, const char *fault)
{
    char want[16];
    return GetEnvironmentVariableA("SETUP_FAULT", want, sizeof(want)) && strcmp(want, fault) == 0 &&
           IsNamedFile(h, "SETUP_FAULT_FILE");
}

static BOOL TraceLine(const char *line, char *path, DWORD cchPath);

/* Writes line to the trace, then holds the setup until the file <trace
   file>.hold is removed, or 20 s pass. */
static void TraceAndHold(const char *line)
{
    char path[MAX_PATH + 8];
    if (!TraceLine(line, path, MAX_PATH))
        return;
    strcat(path, ".hold");
    for (int i = 0; i < 2000 && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; i++)
        Sleep(10);
}

static BOOL WINAPI ShortWriteFile(HANDLE h, LPCVOID data, DWORD cb, LPDWORD pcbDone, LPOVERLAPPED overlapped)
{
    if (!IsFaultFile(h, "write") || cb == 0)
        return WriteFile(h, data, cb, pcbDone, overlapped);
    return WriteFile(h, data, cb - 1, pcbDone, overlapped);
}

/* With SETUP_HOLD_FILE set, the close of that file is also where the
   setup is held, tracing "held". */
static BOOL WINAPI FailingCloseHandle(HANDLE h)
{
    if (IsNamedFile(h, "SETUP_HOLD_FILE"))
        TraceAndHold("held\n");
    BOOL fault = IsFaultFile(h, "close");
    BOOL ok = CloseHandle(h);
    if (!fault)
        return ok;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

/* With SETUP_FAULT=fat, GetFileInformationByHandleEx refuses the
   FileAttributeTagInfo class with ERROR_INVALID_PARAMETER, as Windows' FAT
   and exFAT drivers do. */
static BOOL WINAPI FatFileInformation(HANDLE h, FILE_INFO_BY_HANDLE_CLASS type, LPVOID info, DWORD cb)
{
    char want[16];
    if (type == FileAttributeTagInfo && GetEnvironmentVariableA("SETUP_FAULT", want, sizeof(want)) &&
        strcmp(want, "fat") == 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return GetFileInformationByHandleEx(h, type, info, cb);
}

/* Points the setup's import of dll's function at replacement. */
static void ReplaceImport(const char *dll, const char *function, void *replacement)
{
    BYTE *image = (BYTE *)GetModuleHandleA(NULL);
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(image + ((IMAGE_DOS_HEADER *)image)->e_lfanew);
    const IMAGE_DATA_DIRECTORY *imports = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR *each = (const IMAGE_IMPORT_DESCRIPTOR *)(image + imports->VirtualAddress);
         imports->VirtualAddress && each->Name; each++)
    {
        if (_stricmp((const char *)image + each->Name, dll) != 0)
            continue;
        const IMAGE_THUNK_DATA *name = (const IMAGE_THUNK_DATA *)(image + each->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slot = (IMAGE_THUNK_DATA *)(image + each->FirstThunk);
        for (; name->u1.AddressOfData; name++, slot++)
        {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                strcmp((const char *)((const IMAGE_IMPORT_BY_NAME *)(image + name->u1.AddressOfData))->Name, function))
                continue;
            DWORD protect;
            if (VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protect))
            {
                slot->u1.Function = (DWORD_PTR)replacement;
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
    {
        ReplaceImport("kernel32.dll", "WriteFile", (void *)ShortWriteFile);
        ReplaceImport("kernel32.dll", "CloseHandle", (void *)FailingCloseHandle);
        ReplaceImport("kernel32.dll", "GetFileInformationByHandleEx", (void *)FatFileInformation);
    }
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
        if (GetEnvironmentVariableA("SETUP_TRACE_HOLD", hold, sizeof(hold)) && atol(hold) == pos)
        {
            // Painted first, so that the screen shows this position while held.
            UpdateWindow(msg->hwnd);
            TraceAndHold(line);
        }
        else
            TraceLine(line, path, MAX_PATH);
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

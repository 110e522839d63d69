// systemdlls.h - the functions the setup takes from system DLLs that are not Known DLLs

#ifndef SYSTEMDLLS_H
#define SYSTEMDLLS_H

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

/* Every function the setup calls outside kernel32, user32, gdi32, advapi32
   and msvcrt, with its DLL, in the order the DLLs are loaded. Windows maps
   those five from the system folder whatever the search order (they are
   Known DLLs, and so are the DLLs they import); any other
   DLL imported by the image would be looked for next to the setup first, and a
   setup is usually started from a downloads folder. So none is imported: each
   is loaded by LoadSystemDlls once the search is kept to the system folder. */
#define SYSTEM_FUNCTIONS(X) \
    X("comctl32.dll", InitCommonControlsEx) \
    X("ole32.dll", CoInitialize) \
    X("ole32.dll", CoUninitialize) \
    X("ole32.dll", CoCreateInstance) \
    X("ole32.dll", CoTaskMemFree) \
    X("shell32.dll", SHBrowseForFolderA) \
    X("shell32.dll", SHGetPathFromIDListA) \
    X("shell32.dll", SHGetSpecialFolderLocation) \
    X("shell32.dll", ShellExecuteA)

/* One member per function, named and typed like it: g_sys.CoInitialize(NULL). */
struct SystemDlls
{
#define SYSTEM_FUNCTION_MEMBER(dll, name) decltype(&::name) name;
    SYSTEM_FUNCTIONS(SYSTEM_FUNCTION_MEMBER)
#undef SYSTEM_FUNCTION_MEMBER
};

/* Keeps the search for DLLs loaded from now on to the system folder. Returns
   0, with szFailure filled, on a Windows that cannot (see systemdlls.cpp). */
int RestrictDllSearch(char *szFailure, size_t cbFailure);

/* Loads the DLLs of SYSTEM_FUNCTIONS by name and fills g_sys. Returns 0, with
   szFailure naming the DLL or function that is missing, when one cannot be
   had; g_sys is then not to be used. */
int LoadSystemDlls(char *szFailure, size_t cbFailure);

#endif

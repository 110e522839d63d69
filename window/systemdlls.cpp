// systemdlls.cpp - keeps DLL loading to the system folder and takes the setup's
// functions from comctl32, ole32 and shell32 there

#include <windows.h>

#include "setup.h"
#include "systemdlls.h"
#include "pathjoin.h"

SystemDlls g_sys;

static int Fail(char *szFailure, size_t cbFailure, const char *what, const char *where)
{
    szFailure[0] = 0;
    AppendText(szFailure, cbFailure, what);
    AppendText(szFailure, cbFailure, "\n");
    AppendText(szFailure, cbFailure, where);
    return 0;
}

/* SetDefaultDllDirectories exists from Windows 8, and on Vista and 7 with
   update KB2533623 (2011); it is looked up, as the image must start without it.
   Without it there is no way to keep the setup's own folder out of the search:
   SetDllDirectoryA("") takes out only the current folder; loading shell32 and
   ole32 by their full system path still leaves every DLL that they, comctl32
   and the folder chooser load by name later (uxtheme, dwmapi, propsys, ...) to
   be looked for next to the setup first; and comctl32 loaded by its full path
   would be version 5, not the version 6 that the manifest binds the dialog's
   controls to. Such a Windows gets an error box naming the update instead of a
   setup that runs whatever lies beside it in the downloads folder. */
int RestrictDllSearch(char *szFailure, size_t cbFailure)
{
    typedef BOOL (WINAPI *SetDefaultDllDirectoriesProc)(DWORD);
    HMODULE hKernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesProc setDefault = hKernel
        ? (SetDefaultDllDirectoriesProc)(void *)GetProcAddress(hKernel, "SetDefaultDllDirectories")
        : NULL;
    if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return Fail(szFailure, cbFailure, "This Windows Needs Update KB2533623",
                    "Without it, a DLL lying next to the setup could run inside it.");
    return 1;
}

/* Loaded by name, not by the system folder's full path: the activation
   context of the setup's manifest then still redirects comctl32.dll to
   version 6, and the restricted search finds the others in the system folder.
   The DLLs stay loaded until the process ends. */
static FARPROC TakeFunction(const char *dll, const char *name, char *szFailure, size_t cbFailure)
{
    HMODULE hDll = LoadLibraryA(dll);
    if (!hDll)
    {
        Fail(szFailure, cbFailure, "Cannot Load System DLL", dll);
        return NULL;
    }
    FARPROC proc = GetProcAddress(hDll, name);
    if (!proc)
        Fail(szFailure, cbFailure, "Cannot Find System Function", JoinPath(dll, ": ", name));
    return proc;
}

/* DLLs that no setup code calls, loaded here only so that a later load by
   name finds them in the process: Wine's uxtheme takes msimg32 as a delay
   import at the first themed paint, and Wine resolves delay imports without
   the restricted search, from next to the setup first. */
static const char *const s_preloadedDlls[] = { "msimg32.dll" };

int LoadSystemDlls(char *szFailure, size_t cbFailure)
{
    for (const char *dll : s_preloadedDlls)
        if (!LoadLibraryA(dll))
            return Fail(szFailure, cbFailure, "Cannot Load System DLL", dll);
#define TAKE_SYSTEM_FUNCTION(dll, name) \
    g_sys.name = (decltype(g_sys.name))(void *)TakeFunction(dll, #name, szFailure, cbFailure); \
    if (!g_sys.name) \
        return 0;
    SYSTEM_FUNCTIONS(TAKE_SYSTEM_FUNCTION)
#undef TAKE_SYSTEM_FUNCTION
    return 1;
}

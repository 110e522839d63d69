// marker.cpp - a DLL that leaves "<its own path>.ran" when a process loads it
//
// Copied next to a setup under the names of DLLs that the setup loads: a
// marker file then means that the setup ran the copy from its own folder.
// It exports nothing, so a copy that stands in for a static import fails that
// import before this runs; the loader's trace shows those.

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDll, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char szMarker[MAX_PATH + 8];
    DWORD cch = GetModuleFileNameA(hinstDll, szMarker, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return TRUE;
    lstrcpynA(szMarker + cch, ".ran", (int)(sizeof(szMarker) - cch));
    HANDLE hFile = CreateFileA(szMarker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return TRUE;
}

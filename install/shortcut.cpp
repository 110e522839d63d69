// shortcut.cpp - puts a link to the installed product on the user's desktop

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "install.h"
#include "pathjoin.h"
#include "setup.h"

#define LINK_DESCRIPTION "Tandreloop, by Tandreloop Software Ltd."

/* Finds the desktop folder's path. Returns 0, with no path, when the shell
   cannot say where the desktop is. */
static int GetDesktopFolder(HWND hwndOwner, char *szDesktop)
{
    PIDLIST_ABSOLUTE pidl = NULL;
    if (FAILED(g_sys.SHGetSpecialFolderLocation(hwndOwner, CSIDL_DESKTOP, &pidl)) || !pidl)
        return 0;
    BOOL found = g_sys.SHGetPathFromIDListA(pidl, szDesktop);
    g_sys.CoTaskMemFree(pidl);
    return found && szDesktop[0];
}

void CreateDesktopShortcut(HWND hwndOwner, const char *linkName, const char *targetPath)
{
    // COM is initialised by WinMain already; this keeps the call usable on its own.
    g_sys.CoInitialize(NULL);

    char szDesktop[1024];
    WCHAR wszLink[MAX_PATH];
    if (!GetDesktopFolder(hwndOwner, szDesktop))
        return;
    // The link's path must fit the wide buffer whole, or no link is saved.
    if (!MultiByteToWideChar(CP_ACP, 0, JoinPath(szDesktop, "\\", linkName, ".lnk"), -1,
                             wszLink, MAX_PATH))
        return;

    IShellLinkA *psl = NULL;
    HRESULT hr = g_sys.CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void **)&psl);
    if (SUCCEEDED(hr))
    {
        psl->SetPath(targetPath);
        psl->SetDescription(LINK_DESCRIPTION);
        IPersistFile *ppf = NULL;
        hr = psl->QueryInterface(IID_IPersistFile, (void **)&ppf);
        if (SUCCEEDED(hr))
        {
            ppf->Save(wszLink, TRUE);
            ppf->Release();
        }
        psl->Release();
    }
}

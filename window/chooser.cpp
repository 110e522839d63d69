// chooser.cpp - Browse: the shell's folder chooser writes the path box

#include <windows.h>
#include <shlobj.h>

#include "setup.h"
#include "resource.h"
#include "pathjoin.h"

int g_chooserOpen;

int EndWithBackslash(char *path, size_t cbPath)
{
    if (strlen(path) <= 3)
        return 1;                       // a drive root such as D:\ ends in one already
    return AppendText(path, cbPath, "\\");
}

/* The chooser has no owner, so the setup window stays usable while it is open
   and Browse can be pressed again: the open flag turns that press away. */
int ChooseInstallFolder(void)
{
    if (g_chooserOpen)
        return 0;
    g_chooserOpen = 1;

    char szPath[MAX_PATH + 1];          // what the shell writes, and the backslash
    char szDisplayName[MAX_PATH];
    BROWSEINFOA bi = { 0 };
    bi.hwndOwner = NULL;
    bi.pidlRoot = NULL;
    bi.pszDisplayName = szDisplayName;
    bi.lpszTitle = "Select a Folder to Install to";
    bi.ulFlags = BIF_RETURNONLYFSDIRS;

    int chosen = 0;
    PIDLIST_ABSOLUTE pidl = g_sys.SHBrowseForFolderA(&bi);
    if (pidl)
    {
        // An item without a file-system path leaves the path box as it was.
        if (g_sys.SHGetPathFromIDListA(pidl, szPath) && EndWithBackslash(szPath, sizeof(szPath)))
        {
            SendDlgItemMessageA(g_hwndSetup, IDC_PATH, WM_SETTEXT, 0, (LPARAM)szPath);
            chosen = 1;
        }
        g_sys.CoTaskMemFree(pidl);
    }
    g_chooserOpen = 0;
    return chosen;
}

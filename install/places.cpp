// places.cpp - where the setup may write: folders that are what they seem,
// held while files go into them

#include <windows.h>

#include "install.h"
#include "filesink.h"
#include "folderacl.h"
#include "folders.h"
#include "pathjoin.h"
#include "resource.h"
#include "setup.h"

/* What a query by name reports of the folder at path (ending in a
   backslash, which is left out of the query: Wine reports a Unix symbolic
   link as a reparse point, without its tag, only to a query of the bare
   name, and never on a handle). */
static int IsRealFolderByName(const char *path)
{
    char szName[OUTPUT_PATH_BYTES];
    size_t cch = strlen(path);
    if (cch < 2 || cch > ARRAY_SIZE(szName))
        return 0;
    memcpy(szName, path, cch - 1);
    szName[cch - 1] = 0;
    DWORD attributes = GetFileAttributesA(szName);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    DWORD tag = 0;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    {
        WIN32_FIND_DATAA found = {};        // Wine leaves the tag's field as it finds it
        HANDLE hFind = FindFirstFileA(szName, &found);
        if (hFind != INVALID_HANDLE_VALUE)
        {
            tag = found.dwReserved0;
            FindClose(hFind);
        }
    }
    return IsRealFolder(attributes, tag);
}

/* What Windows reports of the handle: its attributes, and its reparse tag
   when it is a reparse point. FAT and exFAT volumes (USB sticks, SD cards)
   do not answer FileAttributeTagInfo at all (ERROR_INVALID_PARAMETER); they
   have no reparse points, so the tag is asked only of one. */
static int GetPlaceOfHandle(HANDLE h, DWORD *attributes, DWORD *tag)
{
    FILE_BASIC_INFO basic;
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof(basic)))
        return 0;
    *attributes = basic.FileAttributes;
    *tag = 0;
    if (!(basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 1;
    if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof(info)))
        return 0;
    *tag = info.ReparseTag;
    return 1;
}

/* 1 when the volume of the open handle keeps owners and permissions: NTFS
   and ReFS do; FAT and exFAT (USB sticks, SD cards) do not, and Windows then
   reports Everyone as every file's owner. */
static int KeepsOwners(HANDLE h)
{
    DWORD flags = 0;
    return GetVolumeInformationByHandleW(h, NULL, 0, NULL, NULL, &flags, NULL, 0) && (flags & FILE_PERSISTENT_ACLS);
}

int OpenFolder(const char *path, HANDLE *phFolder, const char **pszWhat, int *pfMade)
{
    *pszWhat = "Cannot Create Folder";
    SECURITY_ATTRIBUTES sa;
    if (!GetFolderSecurity(&sa))
        return 0;
    BOOL fMade = CreateDirectoryA(path, &sa);   // one that is there is looked at below
    // Opened to list it, without delete sharing: Windows applies sharing only
    // to opens that ask for data access, and with it nobody can rename the
    // folder away (and put a link in its place) while it is held. Attribute
    // access alone would reserve nothing. Reading its owner needs READ_CONTROL.
    HANDLE hFolder = CreateFileA(path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFolder == INVALID_HANDLE_VALUE)
        return 0;
    DWORD attributes, tag;
    // The handle is what counts on Windows. Held, it keeps the name from
    // being changed, so the name's own attributes are looked at too, for
    // what Wine shows only there.
    if (!GetPlaceOfHandle(hFolder, &attributes, &tag) || !IsRealFolder(attributes, tag) || !IsRealFolderByName(path))
    {
        CloseHandle(hFolder);
        return 0;
    }
    // A folder that was there may have been made by another user, who could
    // still change its files; an elevated setup writes nothing there and
    // starts nothing from it. A volume without owners lets anyone change
    // anything: there is no one to tell apart.
    if (!fMade && IsSetupElevated() && KeepsOwners(hFolder) && !IsFolderOwnerTrusted(hFolder))
    {
        CloseHandle(hFolder);
        *pszWhat = "Folder Belongs to Another User";
        return 0;
    }
    *phFolder = hFolder;
    *pfMade = fMade;
    return 1;
}

/* 1 when another program keeps the file at path from being replaced: it runs
   (Windows maps a running program's file and its loaded libraries, and
   refuses to open them for writing), or holds it open without sharing. The
   open asks for writing and shares nothing, and writes nothing. */
static int IsFileInUse(const char *path)
{
    HANDLE hFile = CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFile != INVALID_HANDLE_VALUE)
    {
        CloseHandle(hFile);
        return 0;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_LOCK_VIOLATION;
}

int WaitWhileInUse(const char *path)
{
    while (IsFileInUse(path))
    {
        SetDlgItemTextA(g_hwndSetup, IDC_STATUS, JoinPath(" In Use: ", path));
        // Owned by the setup window, which cannot be used while it shows.
        if (MessageBoxA(g_hwndSetup, JoinPath(IN_USE_TEXT_BEFORE, path, IN_USE_TEXT_AFTER), IN_USE_CAPTION,
                        MB_RETRYCANCEL | MB_ICONWARNING) != IDRETRY)
            return 0;
    }
    return 1;
}

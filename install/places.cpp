// places.cpp - where the setup may write: folders that are what they seem,
// held while files go into them

#include <windows.h>

#include "install.h"
#include "filesink.h"
#include "folders.h"
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

int OpenFolder(const char *path, HANDLE *phFolder)
{
    CreateDirectoryA(path, NULL);           // one that is there is looked at below
    HANDLE hFolder = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFolder == INVALID_HANDLE_VALUE)
        return 0;
    FILE_ATTRIBUTE_TAG_INFO info;
    // The handle is what counts on Windows. Held, it keeps the name from
    // being changed, so the name's own attributes are looked at too, for
    // what Wine shows only there.
    if (!GetFileInformationByHandleEx(hFolder, FileAttributeTagInfo, &info, sizeof(info)) ||
        !IsRealFolder(info.FileAttributes, info.ReparseTag) || !IsRealFolderByName(path))
    {
        CloseHandle(hFolder);
        return 0;
    }
    *phFolder = hFolder;
    return 1;
}

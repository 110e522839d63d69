// startedfile.cpp - the setup's own file, opened for reading only when Windows
// confirms that it is the file the running image was mapped from

#include <windows.h>

#include "install.h"
#include "setup.h"
#include "filesink.h"

#define OWN_NAME_CHARS  1024    /* the setup's own path, in UTF-16 */

typedef LONG (WINAPI *AreMappedFilesTheSame)(void *image, void *view);

/* Where in the image's file the cb bytes at data lie, when all of them lie in
   one section's raw data (the loader maps those bytes as they are in the
   file; past them a section is zeros the file does not hold). */
static int FileOffsetOf(const BYTE *image, const void *data, size_t cb, unsigned long long *offset)
{
    const IMAGE_NT_HEADERS32 *nt = (const IMAGE_NT_HEADERS32 *)(image + ((const IMAGE_DOS_HEADER *)image)->e_lfanew);
    const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
    size_t rva = (const BYTE *)data - image;
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, section++)
    {
        size_t at = rva - section->VirtualAddress;      // wraps for a section above data
        if (rva >= section->VirtualAddress && at <= section->SizeOfRawData && cb <= section->SizeOfRawData - at)
        {
            *offset = (unsigned long long)section->PointerToRawData + at;
            return 1;
        }
    }
    return 0;
}

HANDLE OpenStartedFile(const void *data, size_t cb, unsigned long long *offset)
{
    BYTE *image = (BYTE *)GetModuleHandleA(NULL);
    // ntdll is in every process; this looks it up, it loads nothing.
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    AreMappedFilesTheSame areSame =
        hNtdll ? (AreMappedFilesTheSame)(void *)GetProcAddress(hNtdll, "NtAreMappedFilesTheSame") : NULL;
    // The name is only where to look: a folder named outside the ANSI code
    // page needs the wide call, and the file found there may be another one
    // by now (renamed away, replaced), which the check below tells.
    WCHAR szName[OWN_NAME_CHARS];
    DWORD cch = GetModuleFileNameW(NULL, szName, ARRAY_SIZE(szName));
    if (!areSame || cch == 0 || cch >= ARRAY_SIZE(szName) || !FileOffsetOf(image, data, cb, offset))
        return INVALID_HANDLE_VALUE;
    HANDLE hFile = CreateFileW(szName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return hFile;
    HANDLE hMapping = CreateFileMappingA(hFile, NULL, PAGE_READONLY, 0, 0, NULL);
    // One page: a view of the whole file would take as much address space
    // again as the image.
    void *view = hMapping ? MapViewOfFile(hMapping, FILE_MAP_READ, 0, 0, IMAGE_PAGE_BYTES) : NULL;
    // The system compares the files behind the two mappings, not their names.
    // While it is mapped as an image a file cannot be written, so what is read
    // through the handle is what the image holds.
    int fSame = view && areSame(image, view) == 0;
    if (view)
        UnmapViewOfFile(view);
    if (hMapping)
        CloseHandle(hMapping);
    if (!fSame)
    {
        CloseHandle(hFile);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}

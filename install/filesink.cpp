// filesink.cpp - the unpacker's file writer: the folders the files name made
// and held, each file written a piece at a time, the window kept answering and
// shown the progress

#include <windows.h>
#include <commctrl.h>

#include "install.h"
#include "filesink.h"
#include "folders.h"
#include "pathjoin.h"
#include "resource.h"
#include "setup.h"
#include "steps.h"

/* The window's timing, in ms. A screen shows a new picture about every 16 ms:
   a file that takes at least that long is named on the status line and
   counted on the bar as it finishes; files that go by faster are shown at
   most every UPDATE_MS, and no sooner than UPDATE_SHARE times what the last
   update cost, so that where repainting is slow (a themed bar under Wine, an
   emulated machine) it still takes a small share of the time. The messages
   waiting for the window are taken at least every PUMP_MS. Nothing sleeps:
   on Windows a sleep lasts a timer tick, 15.6 ms by default, which after
   every file would cost more than the file. */
#define REFRESH_MS      16
#define UPDATE_MS       33
#define UPDATE_SHARE    8

static LONGLONG s_ticksPerMs;   /* performance counter ticks in a millisecond, once asked */

LONGLONG Now(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

static LONGLONG TicksPerMs(void)
{
    if (!s_ticksPerMs)
    {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        s_ticksPerMs = frequency.QuadPart / 1000 ? frequency.QuadPart / 1000 : 1;
    }
    return s_ticksPerMs;
}

int HasPassed(LONGLONG since, int ms)
{
    return Now() - since >= ms * TicksPerMs();
}

int FailUnpack(char *szFailure, size_t cbFailure, const char *what, const char *where)
{
    szFailure[0] = 0;
    AppendText(szFailure, cbFailure, what);
    AppendText(szFailure, cbFailure, "\n");
    AppendText(szFailure, cbFailure, where);
    SetDlgItemTextA(g_hwndSetup, IDC_STATUS, JoinPath(" ", what, ": ", where));
    return 0;
}

int FailSink(FileSink *sink, const char *what, const char *where)
{
    return FailUnpack(sink->szFailure, sink->cbFailure, what, where);
}

/* Takes the window's messages. A quit message taken here (the window was
   closed) is dropped: the remaining files are still written. */
static void TakeMessages(FileSink *sink)
{
    DrainMessages();
    sink->tPumped = Now();
}

static void ShowFile(FileSink *sink)
{
    SetDlgItemTextA(g_hwndSetup, IDC_STATUS, JoinPath(" Unpacking Files ... ", sink->szName));
    sink->fShown = TRUE;
}

static void CountFiles(FileSink *sink, int count)
{
    SendDlgItemMessageA(g_hwndSetup, IDC_PROGRESS, PBM_SETPOS, count, 0);
    sink->cCounted = count;
}

int StartFiles(FileSink *sink, const char *folder, int fFolderMade, int cTotal, char *szFailure, size_t cbFailure)
{
    ZeroMemory(sink, sizeof(*sink));
    sink->folder = folder;
    sink->fInstallFolderFresh = sink->fFolderFresh = fFolderMade;
    sink->hFile = INVALID_HANDLE_VALUE;
    sink->hJournal = INVALID_HANDLE_VALUE;
    sink->cTotal = cTotal;
    sink->szFailure = szFailure;
    sink->cbFailure = cbFailure;
    // The first file is shown at once.
    sink->tNextUpdate = sink->tPumped = Now();
    // An empty payload still ends with the bar full.
    SendDlgItemMessageA(g_hwndSetup, IDC_PROGRESS, PBM_SETRANGE32, 0, cTotal > 0 ? cTotal : 1);
    return StartJournal(sink);
}

/* Keeps the folder's handle to the end of the install. */
static int HoldFolder(FileSink *sink, HANDLE hFolder)
{
    if (sink->cFolders == sink->cFoldersMax)
    {
        int cMax = sink->cFoldersMax ? 2 * sink->cFoldersMax : 64;
        HANDLE *grown = sink->hFolders
            ? (HANDLE *)HeapReAlloc(GetProcessHeap(), 0, sink->hFolders, cMax * sizeof(HANDLE))
            : (HANDLE *)HeapAlloc(GetProcessHeap(), 0, cMax * sizeof(HANDLE));
        if (!grown)
        {
            CloseHandle(hFolder);
            return 0;
        }
        sink->hFolders = grown;
        sink->cFoldersMax = cMax;
    }
    sink->hFolders[sink->cFolders++] = hFolder;
    return 1;
}

/* Opens each folder of the entry's name that the entry before it did not
   have open, and holds it to the end of the install: the files written into
   it are renamed into place only when all are written. Entries come folder
   by folder, so that is about one folder made and opened per folder. Tells
   whether the entry's folder was made by this run (fFolderFresh): everything
   is when the install folder was, and otherwise a folder made for this entry
   or the one before it is; any other is taken to have earlier files. */
static int MakeFolders(FileSink *sink)
{
    const char *name = sink->szName;
    const char *made = sink->szFolderMade;
    size_t cchFolder = strlen(sink->folder);
    size_t cchSame = 0;         // leading bytes of name in folders open already
    for (size_t i = 0; name[i] && name[i] == made[i]; i++)
        if (name[i] == '\\')
            cchSame = i + 1;
    const char *last = strrchr(name, '\\');
    size_t cchNameFolder = last ? (size_t)(last - name) + 1 : 0;
    if (cchNameFolder < strlen(made))
        sink->fFolderFresh = sink->fInstallFolderFresh;     // back up to a folder opened before
    sink->szFolderMade[cchSame] = 0;
    for (size_t i = cchSame; i < cchNameFolder; i++)
    {
        if (name[i] != '\\')
            continue;
        // szPath holds folder + name already; cut it after this separator.
        char saved = sink->szPath[cchFolder + i + 1];
        sink->szPath[cchFolder + i + 1] = 0;
        HANDLE hFolder;
        const char *szWhat;
        int fMade;
        int opened = OpenFolder(sink->szPath, &hFolder, &szWhat, &fMade);
        sink->fFolderFresh = fMade || sink->fInstallFolderFresh;
        int held = opened && HoldFolder(sink, hFolder);
        if (!held)
            FailSink(sink, opened ? "Not Enough Memory" : szWhat, sink->szPath);
        sink->szPath[cchFolder + i + 1] = saved;
        if (!held)
            return 0;
        memcpy(sink->szFolderMade, name, i + 1);
        sink->szFolderMade[i + 1] = 0;
    }
    return 1;
}

int BeginFile(FileSink *sink, const char *name)
{
    sink->szName[0] = 0;
    sink->szPath[0] = 0;
    if (!AppendText(sink->szName, sizeof(sink->szName), name) ||
        !AppendText(sink->szPath, sizeof(sink->szPath), sink->folder) ||
        !AppendText(sink->szPath, sizeof(sink->szPath), name))
        return FailSink(sink, "Path Too Long", sink->szPath);
    if (!MakeFolders(sink))
        return 0;
    // In a folder this run made nothing earlier can be replaced: the file is
    // written at its place, which spares a rename each (a quarter of a
    // millisecond under Wine). Elsewhere it is written beside it, and a
    // folder (or a link to one) where it goes cannot be set aside for it; the
    // folders on the path are held, so the name cannot change.
    if (sink->fFolderFresh)
        memcpy(sink->szTemp, sink->szPath, sizeof(sink->szTemp));
    else
    {
        if (!TemporaryPath(sink->szTemp, sizeof(sink->szTemp), sink->folder, name, sink->cBegun, SETUP_TEMP_NEW))
            return FailSink(sink, "Path Too Long", sink->szPath);
        DWORD attributes = GetFileAttributesA(sink->szPath);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return FailSink(sink, "Cannot Create File", sink->szPath);
    }
    if (!NoteInJournal(sink, sink->fFolderFresh))
        return 0;

    sink->tFile = Now();
    sink->fShown = FALSE;
    if (sink->tFile >= sink->tNextUpdate)
        ShowFile(sink);
    STEP_MARK_N("status", sink->cDone + 1);

    // A new file: nothing is truncated (which on some Linux file systems
    // makes the close wait for the disk: Wine on ext4, a fifth of a second
    // for 400 MiB). A temporary one left there by a run whose journal was
    // lost is removed first; never followed, if it is a link.
    STEP_TIMER(tOpen);
    sink->cBegun++;
    sink->hFile = CreateFileA(sink->szTemp, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (sink->hFile == INVALID_HANDLE_VALUE && !sink->fFolderFresh && GetLastError() == ERROR_FILE_EXISTS &&
        DeleteFileA(sink->szTemp))
        sink->hFile = CreateFileA(sink->szTemp, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (sink->hFile == INVALID_HANDLE_VALUE)
        return FailSink(sink, "Cannot Create File", sink->szPath);
    STEP_TOTAL("open", tOpen);
    return 1;
}

int WritePiece(FileSink *sink, const void *data, size_t cb)
{
    DWORD cbDone = 0;
    STEP_TIMER(tWrite);
    if (!WriteFile(sink->hFile, data, (DWORD)cb, &cbDone, NULL) || cbDone != cb)
        return FailSink(sink, "Cannot Write File", sink->szPath);
    STEP_TOTAL("WriteFile", tWrite);
    if (HasPassed(sink->tPumped, PUMP_MS))
    {
        STEP_TIMER(tPump);
        if (!sink->fShown && HasPassed(sink->tFile, REFRESH_MS))
            ShowFile(sink);
        TakeMessages(sink);
        STEP_TOTAL("pumps between pieces", tPump);
    }
    return 1;
}

void CloseFiles(FileSink *sink)
{
    if (sink->hFile != INVALID_HANDLE_VALUE)
        CloseHandle(sink->hFile);
    sink->hFile = INVALID_HANDLE_VALUE;
    if (sink->hJournal != INVALID_HANDLE_VALUE)
        CloseHandle(sink->hJournal);
    sink->hJournal = INVALID_HANDLE_VALUE;
    while (sink->cFolders > 0)
        CloseHandle(sink->hFolders[--sink->cFolders]);
    if (sink->hFolders)
        HeapFree(GetProcessHeap(), 0, sink->hFolders);
    sink->hFolders = NULL;
    sink->cFoldersMax = 0;
}

void KeepWindowAnswering(FileSink *sink)
{
    if (HasPassed(sink->tPumped, PUMP_MS))
        TakeMessages(sink);
}

/* Counts a file that is whole on disk, and shows it when it took long enough
   to be seen or the window is due an update. */
static void NoteFileDone(FileSink *sink)
{
    sink->cDone++;
    STEP_MARK_N("write", sink->cDone);

    if (!sink->fShown && HasPassed(sink->tFile, REFRESH_MS))
        ShowFile(sink);
    if (sink->fShown)
    {
        LONGLONG tStart = Now();
        CountFiles(sink, sink->cDone);
        STEP_MARK_N("progress", sink->cDone);
        TakeMessages(sink);
        STEP_MARK_N("pump", sink->cDone);
        LONGLONG cost = UPDATE_SHARE * (sink->tPumped - tStart);
        sink->tNextUpdate = sink->tPumped + (cost > UPDATE_MS * TicksPerMs() ? cost : UPDATE_MS * TicksPerMs());
    }
    else if (HasPassed(sink->tPumped, PUMP_MS))
        TakeMessages(sink);
}

int EndFile(FileSink *sink)
{
    // A short write and a failed close are both failures: a full disk often
    // shows only at the close.
    STEP_TIMER(tClose);
    BOOL ok = CloseHandle(sink->hFile);
    STEP_TOTAL("close", tClose);
    sink->hFile = INVALID_HANDLE_VALUE;
    if (!ok)
        return FailSink(sink, "Cannot Write File", sink->szPath);
    NoteFileDone(sink);
    return 1;
}

void FinishFiles(FileSink *sink)
{
    if (sink->cCounted != sink->cDone || sink->cDone == 0)
    {
        if (sink->cDone > 0)
            ShowFile(sink);
        CountFiles(sink, sink->cDone > 0 ? sink->cDone : 1);
    }
    SetDlgItemTextA(g_hwndSetup, IDC_STATUS, " Installation Complete");
    STEP_MARK("final status");
}

// transaction.cpp - an install's files put in place all together, or not at
// all: the journal, the commit, and the undoing of a run that stopped part-way
//
// Every file is written beside its place under a temporary name in the same
// folder ("~T", its number in the journal, ".part"), so nothing the install
// replaces is touched while bytes are written. The journal, in the install
// folder, names the files in that order, one a line, each noted before its
// temporary file is created. When all are written and closed, a last line
// "*" marks the start of the renames: each file there is set aside under
// "~T<number>.prev" and the new one takes its name. Windows allows the rename
// of a running program's file, and a file that is set aside keeps the earlier
// release's bytes until it is deleted, at the end, when every new file is in
// place.
//
// So what a run that was cut short (a crash, a power cut, Task Manager) left
// behind is read from the journal by the next run, or by this one when it
// fails:
//   - no "*": no earlier file was touched; the temporary files go.
//   - "*" and a ".part" file left: the renames did not finish; every file set
//     aside is put back, then the temporary files go. Until every one is put
//     back the temporary files stay, so the next run still sees this case.
//   - "*" and no ".part" left: the renames finished; the set-aside files go.
//
// Each journal line starts with '+' for a file in a folder this run made,
// where nothing earlier can be, or '='. A '+' file is written at its place:
// nothing to check, set aside or rename (under Wine every look for a name that
// is not there reads the whole folder, and a rename costs a quarter of a
// millisecond); undoing removes it, and the renames pass it by.

#include <windows.h>

#include "install.h"
#include "filesink.h"
#include "pathjoin.h"
#include "resource.h"
#include "setup.h"
#include "steps.h"

#define JOURNAL_BUFFER_BYTES    (16 * (PAYLOAD_NAME_MAX + 2))    /* at least a line */
#define JOURNAL_COMMITTED       "*"         /* the last line, before the first rename */
#define FILE_NUMBER_MAX         ((1 << (4 * SETUP_TEMP_DIGITS)) - 1)
#define LINE_FRESH              '+'         /* the file's folder was made by this run */
#define LINE_EARLIER            '='         /* it may have an earlier file */

enum JournalAction
{
    UNDO_WRITING,           /* no earlier file touched: remove the new files */
    UNDO_RENAMES,           /* put back every file set aside, then remove the new files */
    END_RENAMES,            /* every new file in place: remove the ones set aside */
    FIND_OUT                /* a journal left by a run that was cut short: one of the above */
};

/* The journal read a line at a time. */
struct JournalReader
{
    HANDLE hFile;
    char buffer[JOURNAL_BUFFER_BYTES];
    size_t fill, at;
    int index;              /* the number of the name read last */
    int fFresh;             /* its folder was made by the run that wrote it */
    int fCommitted;         /* the "*" line was read */
};

/* The one reader: the commit and the undoing never read at once. In static
   storage, to keep its buffer off the stack. */
static JournalReader s_reader;

static int JournalPath(char *szPath, size_t cbPath, const char *folder)
{
    szPath[0] = 0;
    return AppendText(szPath, cbPath, folder) && AppendText(szPath, cbPath, SETUP_JOURNAL_NAME);
}

int TemporaryPath(char *szPath, size_t cbPath, const char *folder, const char *name, int index, const char *ext)
{
    // The name's folder part: every backslash in a name is a separator.
    const char *last = strrchr(name, '\\');
    size_t cbFolderPart = last ? (size_t)(last - name) + 1 : 0;
    char szTemp[16] = "~T";
    for (int i = 0; i < SETUP_TEMP_DIGITS; i++)
        szTemp[2 + i] = "0123456789ABCDEF"[(index >> (4 * (SETUP_TEMP_DIGITS - 1 - i))) & 0xF];
    szTemp[2 + SETUP_TEMP_DIGITS] = 0;
    AppendText(szTemp, sizeof(szTemp), ext);
    size_t cchFolder = strlen(folder);
    if (index < 0 || index > FILE_NUMBER_MAX || cchFolder + cbFolderPart + strlen(szTemp) >= cbPath)
        return 0;
    memcpy(szPath, folder, cchFolder);
    memcpy(szPath + cchFolder, name, cbFolderPart);
    szPath[cchFolder + cbFolderPart] = 0;
    return AppendText(szPath, cbPath, szTemp);
}

/* Deletes the file at path, a read-only one too; 1 when it is gone. */
static int RemoveFile(const char *path)
{
    if (DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)
        return 1;
    return GetLastError() == ERROR_ACCESS_DENIED && SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) &&
           DeleteFileA(path);
}

static int IsThere(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

static void Pump(FileSink *sink)
{
    if (sink)
        KeepWindowAnswering(sink);
}

/* ---- the journal ---- */

int StartJournal(FileSink *sink)
{
    char szJournal[OUTPUT_PATH_BYTES];
    // A journal that is there is one FinishEarlierInstall could not clear.
    sink->hJournal = JournalPath(szJournal, sizeof(szJournal), sink->folder)
        ? CreateFileA(szJournal, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL)
        : INVALID_HANDLE_VALUE;
    if (sink->hJournal == INVALID_HANDLE_VALUE)
        return FailSink(sink, "Cannot Create File", szJournal);
    return 1;
}

int NoteInJournal(FileSink *sink, int fFresh)
{
    char szLine[PAYLOAD_NAME_MAX + 3];
    size_t cb = strlen(sink->szName);
    DWORD cbDone = 0;
    if (sink->cBegun > FILE_NUMBER_MAX)
        return FailSink(sink, "Too Many Files", SETUP_ITSELF);
    szLine[0] = fFresh ? LINE_FRESH : LINE_EARLIER;
    memcpy(szLine + 1, sink->szName, cb);
    szLine[1 + cb] = '\n';
    cb += 2;
    if (!WriteFile(sink->hJournal, szLine, (DWORD)cb, &cbDone, NULL) || cbDone != cb)
        return FailSink(sink, "Cannot Write File", JoinPath(sink->folder, SETUP_JOURNAL_NAME));
    return 1;
}

static int OpenJournalReader(JournalReader *reader, const char *path)
{
    // This run's journal is still open for writing while the commit reads it.
    reader->hFile = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    reader->fill = reader->at = 0;
    reader->index = -1;
    reader->fCommitted = 0;
    return reader->hFile != INVALID_HANDLE_VALUE;
}

static void RewindJournal(JournalReader *reader)
{
    SetFilePointer(reader->hFile, 0, NULL, FILE_BEGIN);
    reader->fill = reader->at = 0;
    reader->index = -1;
    reader->fCommitted = 0;
}

/* The next name, into szName (PAYLOAD_NAME_MAX + 1 bytes). Returns 0 at the
   end: the "*" line, the end of the file, a line cut short by a crash, or one
   that is not a name the setup writes. */
static int ReadJournalName(JournalReader *reader, char *szName)
{
    char *end;
    while (!(end = (char *)memchr(reader->buffer + reader->at, '\n', reader->fill - reader->at)))
    {
        memmove(reader->buffer, reader->buffer + reader->at, reader->fill - reader->at);
        reader->fill -= reader->at;
        reader->at = 0;
        DWORD cbRead = 0;
        if (reader->fill == sizeof(reader->buffer) ||
            !ReadFile(reader->hFile, reader->buffer + reader->fill, (DWORD)(sizeof(reader->buffer) - reader->fill),
                      &cbRead, NULL) || cbRead == 0)
            return 0;
        reader->fill += cbRead;
    }
    const char *line = reader->buffer + reader->at;
    size_t cb = (size_t)(end - line);
    reader->at += cb + 1;
    if (cb == 1 && line[0] == JOURNAL_COMMITTED[0])
    {
        reader->fCommitted = 1;
        return 0;
    }
    if (cb < 2 || cb - 1 > PAYLOAD_NAME_MAX || (line[0] != LINE_FRESH && line[0] != LINE_EARLIER))
        return 0;
    reader->fFresh = line[0] == LINE_FRESH;
    memcpy(szName, line + 1, cb - 1);
    szName[cb - 1] = 0;
    if (!IsPayloadPath(szName))
        return 0;
    reader->index++;
    return 1;
}

/* The three paths of the name read last: its place, its new file (its place
   too, in a folder the run made) and its earlier file set aside. */
struct FilePaths
{
    char szPlace[OUTPUT_PATH_BYTES];
    char szNew[OUTPUT_PATH_BYTES];
    char szOld[OUTPUT_PATH_BYTES];
};

static int FindPaths(FilePaths *paths, const char *folder, const char *name, const JournalReader *reader)
{
    paths->szPlace[0] = 0;
    if (!AppendText(paths->szPlace, sizeof(paths->szPlace), folder) ||
        !AppendText(paths->szPlace, sizeof(paths->szPlace), name))
        return 0;
    if (reader->fFresh)
    {
        memcpy(paths->szNew, paths->szPlace, sizeof(paths->szNew));
        paths->szOld[0] = 0;
        return 1;
    }
    return TemporaryPath(paths->szNew, sizeof(paths->szNew), folder, name, reader->index, SETUP_TEMP_NEW) &&
           TemporaryPath(paths->szOld, sizeof(paths->szOld), folder, name, reader->index, SETUP_TEMP_OLD);
}

/* Reads the journal to its end and tells what a run that was cut short left:
   writing, renames begun, or renames ended. */
static JournalAction FindOutAction(JournalReader *reader, const char *folder)
{
    char szName[PAYLOAD_NAME_MAX + 1];
    while (ReadJournalName(reader, szName))
        ;
    if (!reader->fCommitted)
        return UNDO_WRITING;
    RewindJournal(reader);
    FilePaths paths;
    while (ReadJournalName(reader, szName))
        if (!reader->fFresh && FindPaths(&paths, folder, szName, reader) && IsThere(paths.szNew))
            return UNDO_RENAMES;
    return END_RENAMES;
}

/* Does what the journal in folder calls for (see the top of this file), and
   removes it. Returns 0, with the failure recorded and the journal kept for
   the next run, when an earlier file cannot be put back. A file that cannot
   be removed (a set-aside program that was started again) is left: the next
   run's sweep of the install folder takes those there. */
static int ResolveJournal(const char *folder, JournalAction action, FileSink *sink, char *szFailure,
                          size_t cbFailure)
{
    char szJournal[OUTPUT_PATH_BYTES];
    if (!JournalPath(szJournal, sizeof(szJournal), folder))
        return FailUnpack(szFailure, cbFailure, "Path Too Long", folder);
    JournalReader *reader = &s_reader;
    if (!OpenJournalReader(reader, szJournal))
    {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            return 1;
        return FailUnpack(szFailure, cbFailure, "Cannot Open File", szJournal);
    }
    if (action == FIND_OUT)
    {
        action = FindOutAction(reader, folder);
        RewindJournal(reader);
    }
    char szName[PAYLOAD_NAME_MAX + 1];
    FilePaths paths;
    int ok = 1;
    if (action == UNDO_RENAMES)
    {
        while (ok && ReadJournalName(reader, szName))
        {
            Pump(sink);
            ok = reader->fFresh || (FindPaths(&paths, folder, szName, reader) &&
                 (!IsThere(paths.szOld) || MoveFileExA(paths.szOld, paths.szPlace, MOVEFILE_REPLACE_EXISTING)));
        }
        RewindJournal(reader);
        if (!ok)
        {
            CloseHandle(reader->hFile);
            return FailUnpack(szFailure, cbFailure, "Cannot Restore File", paths.szPlace);
        }
    }
    while (ReadJournalName(reader, szName))
    {
        Pump(sink);
        if ((action != END_RENAMES || !reader->fFresh) && FindPaths(&paths, folder, szName, reader))
            RemoveFile(action == END_RENAMES ? paths.szOld : paths.szNew);
    }
    CloseHandle(reader->hFile);
    RemoveFile(szJournal);
    return 1;
}

/* ---- this run's files ---- */

void UndoFiles(FileSink *sink)
{
    if (sink->hFile != INVALID_HANDLE_VALUE)
        CloseHandle(sink->hFile);
    sink->hFile = INVALID_HANDLE_VALUE;
    if (sink->hJournal == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(sink->hJournal);
    sink->hJournal = INVALID_HANDLE_VALUE;
    // The failure already recorded is the one to show.
    char szIgnored[FAILURE_BYTES];
    ResolveJournal(sink->folder, UNDO_WRITING, sink, szIgnored, sizeof(szIgnored));
}

/* Every file of the journal that is there must be free to be replaced:
   returns 0 when the user cancels while one is in use. A folder where a file
   goes was refused when the file was begun. */
static int WaitUntilFilesFree(FileSink *sink, JournalReader *reader)
{
    char szName[PAYLOAD_NAME_MAX + 1];
    char szPlace[OUTPUT_PATH_BYTES];
    while (ReadJournalName(reader, szName))
    {
        Pump(sink);
        if (reader->fFresh)
            continue;
        szPlace[0] = 0;
        AppendText(szPlace, sizeof(szPlace), sink->folder);
        AppendText(szPlace, sizeof(szPlace), szName);
        if (!WaitWhileInUse(szPlace))
            return 0;
    }
    RewindJournal(reader);
    return 1;
}

int CommitFiles(FileSink *sink)
{
    STEP_MARK("files written");
    char szJournal[OUTPUT_PATH_BYTES];
    JournalReader *reader = &s_reader;
    if (!JournalPath(szJournal, sizeof(szJournal), sink->folder) || !OpenJournalReader(reader, szJournal))
    {
        FailSink(sink, "Cannot Open File", szJournal);
        UndoFiles(sink);
        return 0;
    }
    if (!WaitUntilFilesFree(sink, reader))
    {
        CloseHandle(reader->hFile);
        sink->szFailure[0] = 0;     // cancelled: nothing more to say
        SetDlgItemTextA(g_hwndSetup, IDC_STATUS, " Installation Cancelled");
        UndoFiles(sink);
        return 0;
    }
    STEP_MARK("files free");

    // From here the earlier files change: the journal must be on the disk
    // first, or a power cut could leave renames that no journal tells of.
    DWORD cbDone = 0;
    BOOL ok = WriteFile(sink->hJournal, JOURNAL_COMMITTED "\n", 2, &cbDone, NULL) && cbDone == 2 &&
              FlushFileBuffers(sink->hJournal);
    ok = CloseHandle(sink->hJournal) && ok;
    sink->hJournal = INVALID_HANDLE_VALUE;
    if (!ok)
    {
        CloseHandle(reader->hFile);
        FailSink(sink, "Cannot Write File", szJournal);
        char szIgnored[FAILURE_BYTES];
        ResolveJournal(sink->folder, UNDO_WRITING, sink, szIgnored, sizeof(szIgnored));
        return 0;
    }

    char szName[PAYLOAD_NAME_MAX + 1];
    FilePaths paths;
    int cSetAside = 0;
    while (ok && ReadJournalName(reader, szName))
    {
        Pump(sink);
        if (reader->fFresh)
            continue;
        ok = FindPaths(&paths, sink->folder, szName, reader);
        // A file set aside under the name already is one that could not be
        // removed after an earlier install: it is replaced. MoveFileEx, as
        // any call that takes a name which is not there, reads the whole
        // folder under Wine: two such names a file are the commit's cost.
        if (ok)
        {
            if (MoveFileExA(paths.szPlace, paths.szOld, MOVEFILE_REPLACE_EXISTING))
                cSetAside++;
            else if (GetLastError() != ERROR_FILE_NOT_FOUND)
                ok = 0;
        }
        ok = ok && MoveFileExA(paths.szNew, paths.szPlace, 0);
    }
    CloseHandle(reader->hFile);
    STEP_MARK("renamed");
    if (!ok)
    {
        // What failed is shown, not what putting back may find.
        FailSink(sink, "Cannot Replace File", paths.szPlace);
        char szIgnored[FAILURE_BYTES];
        ResolveJournal(sink->folder, UNDO_RENAMES, sink, szIgnored, sizeof(szIgnored));
        return 0;
    }
    if (cSetAside)
        ResolveJournal(sink->folder, END_RENAMES, sink, sink->szFailure, sink->cbFailure);
    else
        RemoveFile(szJournal);
    STEP_MARK("set aside removed");
    return 1;
}

/* ---- before an install ---- */

int FinishEarlierInstall(const char *folder, char *szFailure, size_t cbFailure)
{
    if (!ResolveJournal(folder, FIND_OUT, NULL, szFailure, cbFailure))
        return 0;
    // What no journal names: a program set aside while it ran, which could
    // not be removed then.
    char szPattern[OUTPUT_PATH_BYTES] = "";
    if (!AppendText(szPattern, sizeof(szPattern), folder) || !AppendText(szPattern, sizeof(szPattern), "~T*"))
        return 1;
    WIN32_FIND_DATAA found;
    HANDLE hFind = FindFirstFileA(szPattern, &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return 1;
    do
    {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsSetupTemporaryName(found.cFileName))
            RemoveFile(JoinPath(folder, found.cFileName));
    } while (FindNextFileA(hFind, &found));
    FindClose(hFind);
    return 1;
}

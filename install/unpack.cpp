// unpack.cpp - writes the carried files, and the folders they name, under the
// install folder

#include <windows.h>
#include <commctrl.h>

#include "install.h"
#include "unpack.h"
#include "decode.h"
#include "folderacl.h"
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
#define PUMP_MS         33

/* Where a failure lies when it is in the setup's own data. */
#define SETUP_ITSELF    "the setup program itself"

static LONGLONG s_ticksPerMs;   /* performance counter ticks in a millisecond */

static int IsAnsiLeadByte(unsigned char b)
{
    return IsDBCSLeadByte(b);
}

static LONGLONG Now(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

static int HasPassed(LONGLONG since, int ms)
{
    return Now() - since >= ms * s_ticksPerMs;
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

static int Fail(FileSink *sink, const char *what, const char *where)
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

void StartFiles(FileSink *sink, const char *folder, int cTotal, char *szFailure, size_t cbFailure)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    s_ticksPerMs = frequency.QuadPart / 1000 ? frequency.QuadPart / 1000 : 1;

    ZeroMemory(sink, sizeof(*sink));
    sink->folder = folder;
    sink->hFile = INVALID_HANDLE_VALUE;
    sink->cTotal = cTotal;
    sink->szFailure = szFailure;
    sink->cbFailure = cbFailure;
    // The first file is shown at once.
    sink->tNextUpdate = sink->tPumped = Now();
    // An empty payload still ends with the bar full.
    SendDlgItemMessageA(g_hwndSetup, IDC_PROGRESS, PBM_SETRANGE32, 0, cTotal > 0 ? cTotal : 1);
}

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

int OpenFolder(const char *path, HANDLE *phFolder, const char **pszWhat)
{
    *pszWhat = "Cannot Create Folder";
    SECURITY_ATTRIBUTES sa;
    if (!GetFolderSecurity(&sa))
        return 0;
    BOOL fMade = CreateDirectoryA(path, &sa);   // one that is there is looked at below
    HANDLE hFolder = CreateFileA(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
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
    // A folder that was there may have been made by another user, who could
    // still change its files; an elevated setup writes nothing there and
    // starts nothing from it.
    if (!fMade && IsSetupElevated() && !IsFolderOwnerTrusted(hFolder))
    {
        CloseHandle(hFolder);
        *pszWhat = "Folder Belongs to Another User";
        return 0;
    }
    *phFolder = hFolder;
    return 1;
}

/* Opens each folder of the entry's name that the entry before it did not
   already have open, and closes those it leaves. Entries come folder by
   folder, so that is about one folder made and opened per folder. */
static int MakeFolders(FileSink *sink)
{
    const char *name = sink->szName;
    const char *made = sink->szFolderMade;
    size_t cchFolder = strlen(sink->folder);
    size_t cchSame = 0;         // leading bytes of name in folders open already
    int cSame = 0;              // and how many folders that is
    for (size_t i = 0; name[i] && name[i] == made[i]; i++)
        if (name[i] == '\\')
            cchSame = i + 1, cSame++;
    while (sink->cFolders > cSame)
        CloseHandle(sink->hFolders[--sink->cFolders]);
    sink->szFolderMade[cchSame] = 0;
    const char *last = strrchr(name, '\\');
    size_t cchNameFolder = last ? (size_t)(last - name) + 1 : 0;
    for (size_t i = cchSame; i < cchNameFolder; i++)
    {
        if (name[i] != '\\')
            continue;
        // szPath holds folder + name already; cut it after this separator.
        char saved = sink->szPath[cchFolder + i + 1];
        sink->szPath[cchFolder + i + 1] = 0;
        const char *szWhat = "Cannot Create Folder";
        int ok = sink->cFolders < FOLDER_DEPTH_MAX &&
                 OpenFolder(sink->szPath, &sink->hFolders[sink->cFolders], &szWhat);
        if (!ok)
            Fail(sink, szWhat, sink->szPath);
        sink->szPath[cchFolder + i + 1] = saved;
        if (!ok)
            return 0;
        sink->cFolders++;
        memcpy(sink->szFolderMade, name, i + 1);
        sink->szFolderMade[i + 1] = 0;
    }
    return 1;
}

/* 1 when the file just opened, if it was there before, is the setup's to
   write over: not a link that leads elsewhere, and its only name. */
static int IsFileToWrite(FileSink *sink)
{
    FILE_ATTRIBUTE_TAG_INFO tag;
    BY_HANDLE_FILE_INFORMATION info;
    return !sink->fExisted ||
           (GetFileInformationByHandleEx(sink->hFile, FileAttributeTagInfo, &tag, sizeof(tag)) &&
            GetFileInformationByHandle(sink->hFile, &info) &&
            IsOwnFile(tag.FileAttributes, tag.ReparseTag, info.nNumberOfLinks));
}

int BeginFile(FileSink *sink, const char *name, unsigned long cbData)
{
    sink->szName[0] = 0;
    sink->szPath[0] = 0;
    if (!AppendText(sink->szName, sizeof(sink->szName), name) ||
        !AppendText(sink->szPath, sizeof(sink->szPath), sink->folder) ||
        !AppendText(sink->szPath, sizeof(sink->szPath), name))
        return Fail(sink, "Path Too Long", sink->szPath);
    if (!MakeFolders(sink))
        return 0;

    sink->tFile = Now();
    sink->fShown = FALSE;
    if (cbData > PIECE_BYTES || sink->tFile >= sink->tNextUpdate)
        ShowFile(sink);
    STEP_MARK_N("status", sink->cDone + 1);

    // Opened, not created anew: an old file is cut to its new length at the
    // end instead. Truncating a file to nothing and writing it again makes
    // some Linux file systems write it back at its close (Wine on ext4: a
    // fifth of a second for 400 MiB). A link in the file's place is opened
    // itself, not followed, and refused below, which reads the handle's
    // attributes: GENERIC_WRITE alone does not allow that on Windows.
    STEP_TIMER(tOpen);
    sink->hFile = CreateFileA(sink->szPath, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (sink->hFile == INVALID_HANDLE_VALUE)
        return Fail(sink, "Cannot Create File", sink->szPath);
    sink->fExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    if (!IsFileToWrite(sink))
        return Fail(sink, "Cannot Create File", sink->szPath);
    STEP_TOTAL("open", tOpen);
    return 1;
}

int WritePiece(FileSink *sink, const void *data, size_t cb)
{
    DWORD cbDone = 0;
    STEP_TIMER(tWrite);
    if (!WriteFile(sink->hFile, data, (DWORD)cb, &cbDone, NULL) || cbDone != cb)
        return Fail(sink, "Cannot Write File", sink->szPath);
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
    while (sink->cFolders > 0)
        CloseHandle(sink->hFolders[--sink->cFolders]);
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
        sink->tNextUpdate = sink->tPumped + (cost > UPDATE_MS * s_ticksPerMs ? cost : UPDATE_MS * s_ticksPerMs);
    }
    else if (HasPassed(sink->tPumped, PUMP_MS))
        TakeMessages(sink);
}

int EndFile(FileSink *sink)
{
    // A short write and a failed close are both failures: a full disk often
    // shows only at the close.
    STEP_TIMER(tClose);
    BOOL ok = !sink->fExisted || SetEndOfFile(sink->hFile);
    ok = CloseHandle(sink->hFile) && ok;
    STEP_TOTAL("close", tClose);
    sink->hFile = INVALID_HANDLE_VALUE;
    if (!ok)
        return Fail(sink, "Cannot Write File", sink->szPath);
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

/* ---- the payload, as Windows mapped it ---- */

/* The payload is read where Windows mapped it when it started the setup: in
   the loaded image. Those are the bytes of the file that was started, whatever
   happens to the file's name later (a rename, another file put in its place),
   and reading them takes no name, so a folder named outside the ANSI code page
   does not matter. (A stored payload's data is read through the setup's own
   file instead where the system confirms it is that same file: see
   StoredSource.) The pages read are let go behind the reading: VirtualUnlock
   of pages that are not locked takes them out of the working set, so memory
   does not grow with the product (they stay in the file cache). */
struct ImageReader
{
    const BYTE *released;           /* pages below this have been let go */
};

static void StartImageReader(ImageReader *reader, const unsigned char *payload)
{
    reader->released = (const BYTE *)((UINT_PTR)payload & ~(UINT_PTR)(IMAGE_PAGE_BYTES - 1));
}

/* Lets the whole pages below upTo go, once a piece's worth has gathered. */
static void ReleaseRead(ImageReader *reader, const unsigned char *upTo)
{
    const BYTE *end = (const BYTE *)((UINT_PTR)upTo & ~(UINT_PTR)(IMAGE_PAGE_BYTES - 1));
    if (end >= reader->released + PIECE_BYTES)
    {
        VirtualUnlock((void *)reader->released, end - reader->released);
        reader->released = end;
    }
}

/* Hands one piece of a payload's entries to the sink; a piece that is
   neither a file, its data nor its end means damage. */
static int TakePiece(FileSink *sink, PayloadPieceKind kind, const PayloadPiece *piece)
{
    switch (kind)
    {
    case PIECE_FILE:
        // A stored payload's names were all read so before the first file
        // (MeasureStoredNames), from the same bytes; a compressed one's come
        // only now.
        if (!KeepsSeparators(piece->name, IsAnsiLeadByte))
            return Fail(sink, "Cannot Create File", JoinPath(sink->folder, piece->name));
        return BeginFile(sink, piece->name, piece->cbFile);
    case PIECE_DATA:
        return WritePiece(sink, piece->data, piece->cbData);
    case PIECE_FILE_END:
        return EndFile(sink);
    default:
        return Fail(sink, "Setup Data is Damaged", SETUP_ITSELF);
    }
}

/* Where a stored payload is read from: the setup's own file, through a
   handle the system confirmed is the file of the image (OpenStartedFile), a
   piece at a time into a buffer; otherwise the image itself. Reading the
   file cache costs a fraction of faulting the image's pages in one by one
   (4 KB at a time): on Linux, WriteFile from the image wrote 400 MiB in
   about three times the time of ReadFile and WriteFile through a buffer.
   The payload is read a piece at a time whatever its entries, and they are
   parsed out of the pieces, so a thousand small files cost a few reads. */
struct StoredSource
{
    const unsigned char *payload;   /* in the image */
    size_t cb;
    HANDLE hFile;                   /* INVALID_HANDLE_VALUE: the image */
    ULONGLONG offset;               /* of the payload in the file */
    BYTE *buffer;                   /* PIECE_BYTES, with hFile */
};

/* The payload's cb bytes from at: where they can be parsed and written from.
   NULL, with the failure recorded, when the setup's own file could not be
   read. */
static const BYTE *ReadStored(FileSink *sink, StoredSource *source, size_t at, size_t cb)
{
    if (source->hFile == INVALID_HANDLE_VALUE)
        return source->payload + at;
    STEP_TIMER(tRead);
    ULONGLONG from = source->offset + at;
    OVERLAPPED place = {};
    place.Offset = (DWORD)from;
    place.OffsetHigh = (DWORD)(from >> 32);
    DWORD cbRead = 0;
    if (!ReadFile(source->hFile, source->buffer, (DWORD)cb, &cbRead, &place) || cbRead != cb)
    {
        Fail(sink, "Cannot Load Setup Data", SETUP_ITSELF);
        return NULL;
    }
    STEP_TOTAL("ReadFile", tRead);
    return source->buffer;
}

/* The stored payload, checked whole before, a piece at a time to its end
   mark. From the image, WriteFile copies the data in the kernel, which
   reports a page that cannot be read back (a USB stick pulled out) as a
   failed write; from the file, ReadFile reports it. */
static int WriteStoredFiles(FileSink *sink, StoredSource *source)
{
    ImageReader reader;
    StartImageReader(&reader, source->payload);
    PayloadParser parser;
    StartPayloadParser(&parser);
    int ok = 1;
    PayloadPieceKind kind = PIECE_MORE;
    for (size_t at = 0; ok && kind != PIECE_END && at < source->cb;)
    {
        size_t cb = source->cb - at < PIECE_BYTES ? source->cb - at : PIECE_BYTES;
        const BYTE *data = ReadStored(sink, source, at, cb);
        ok = data != NULL;
        size_t pos = 0;
        PayloadPiece piece;
        while (ok && (kind = NextPayloadPiece(&parser, data, cb, &pos, &piece)) != PIECE_MORE && kind != PIECE_END)
            ok = TakePiece(sink, kind, &piece);
        at += cb;
        if (source->hFile == INVALID_HANDLE_VALUE)
            ReleaseRead(&reader, source->payload + at);
    }
    // The check before found the end mark, in the same bytes.
    if (ok && !IsPayloadEnded(&parser))
        ok = Fail(sink, "Setup Data is Damaged", SETUP_ITSELF);
    CloseFiles(sink);
    return ok;
}

static int UnpackStored(const PayloadToInstall *payload, const char *folder, char *szFailure, size_t cbFailure)
{
    StoredSource source;
    source.payload = payload->data;
    source.cb = payload->cb;
    source.offset = 0;
    source.hFile = OpenStartedFile(payload->data, payload->cb, &source.offset);
    source.buffer = NULL;
    if (source.hFile != INVALID_HANDLE_VALUE)
    {
        source.buffer = (BYTE *)VirtualAlloc(NULL, PIECE_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!source.buffer)
        {
            CloseHandle(source.hFile);
            source.hFile = INVALID_HANDLE_VALUE;
        }
    }
    STEP_MARK(source.hFile != INVALID_HANDLE_VALUE ? "own file" : "image");
    FileSink sink;
    StartFiles(&sink, folder, payload->cEntries, szFailure, cbFailure);
    int ok = WriteStoredFiles(&sink, &source);
    if (source.hFile != INVALID_HANDLE_VALUE)
    {
        CloseHandle(source.hFile);
        VirtualFree(source.buffer, 0, MEM_RELEASE);
    }
    if (ok)
        FinishFiles(&sink);
    return ok;
}

/* ---- the compressed payload ---- */

#define FRAME_GIVE_BYTES    PIECE_BYTES     /* the frame is given to the decoder this much at a time */
#define DECODE_SLOTS        4               /* pieces of decoded bytes between the two threads */

/* The CRC-32 of the whole download, a piece at a time, with the window's
   messages taken between pieces. */
static uint32_t SumPayload(const unsigned char *payload, size_t cbPayload)
{
    ImageReader reader;
    StartImageReader(&reader, payload);
    LONGLONG tPumped = Now();
    uint32_t crc = 0;
    for (size_t at = PAYLOAD_CRC_FROM; at < cbPayload;)
    {
        size_t cb = cbPayload - at < PIECE_BYTES ? cbPayload - at : PIECE_BYTES;
        crc = UpdateCrc32(crc, payload + at, cb);
        at += cb;
        ReleaseRead(&reader, payload + at);
        if (HasPassed(tPumped, PUMP_MS))
        {
            DrainMessages();
            tPumped = Now();
        }
    }
    STEP_MARK("crc");
    return crc;
}

struct DecodeSlot
{
    BYTE *data;                     /* PAYLOAD_PIECE_BYTES */
    size_t cb;
    int step;                       /* FRAME_FULL, FRAME_ENDED or FRAME_DAMAGED */
};

struct DecodeWork
{
    PayloadDecoder *decoder;        /* its zstd half belongs to the thread until the last slot */
    const unsigned char *payload;
    size_t cbPayload;
    DecodeSlot slots[DECODE_SLOTS];
    HANDLE hFree, hFilled;          /* semaphores: slots to decode into, slots to write out */
    volatile LONG stop;             /* set by the unpacker when it stops early */
};

/* Decodes on a thread of its own, a few pieces ahead of the writing, so that
   a second processor decodes while the first writes and keeps the window.
   The thread fills the slots in turn; the unpacker takes them in the same
   order and hands each back when it has written what it held. */
static DWORD WINAPI DecodeThread(void *param)
{
    DecodeWork *work = (DecodeWork *)param;
    ImageReader reader;
    StartImageReader(&reader, work->payload);
    size_t atFrame = PAYLOAD_HEADER_BYTES;
    for (int i = 0;; i = (i + 1) % DECODE_SLOTS)
    {
        STEP_TIMER(tWait);
        WaitForSingleObject(work->hFree, INFINITE);
        STEP_TOTAL("decoder waits", tWait);
        if (work->stop)
            return 0;
        DecodeSlot *slot = &work->slots[i];
        slot->cb = 0;
        while ((slot->step = DecodeFrame(work->decoder, slot->data, PAYLOAD_PIECE_BYTES, &slot->cb)) ==
               FRAME_NEEDS_INPUT)
        {
            // What was given before is all taken.
            ReleaseRead(&reader, work->payload + atFrame);
            size_t cb = work->cbPayload - atFrame < FRAME_GIVE_BYTES ? work->cbPayload - atFrame : FRAME_GIVE_BYTES;
            GiveFrameBytes(work->decoder, work->payload + atFrame, cb);
            atFrame += cb;
        }
        ReleaseSemaphore(work->hFilled, 1, NULL);
        if (slot->step != FRAME_FULL)
            return 0;
    }
}

/* Waits for the next filled slot, taking the window's messages meanwhile. */
static void WaitForSlot(DecodeWork *work)
{
    STEP_TIMER(tWait);
    while (MsgWaitForMultipleObjectsEx(1, &work->hFilled, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
           WAIT_OBJECT_0 + 1)
        DrainMessages();
    STEP_TOTAL("writer waits", tWait);
}

/* Writes what one slot holds. */
static int WriteSlot(FileSink *sink, PayloadDecoder *decoder, const DecodeSlot *slot)
{
    size_t pos = 0;
    PayloadPiece piece;
    PayloadPieceKind kind;
    // Until all of it is taken, or the end mark is past.
    while ((kind = NextParsedPiece(decoder, slot->data, slot->cb, &pos, &piece)) != PIECE_MORE && kind != PIECE_END)
    {
        if (!TakePiece(sink, kind, &piece))
            return 0;
    }
    return 1;
}

/* Decodes the frame straight into the files. A stream that fails part-way
   ends the install there, with the file it was writing closed. */
static int WriteDecodedFiles(FileSink *sink, DecodeWork *work)
{
    work->hFree = CreateSemaphoreA(NULL, DECODE_SLOTS, 2 * DECODE_SLOTS, NULL);
    work->hFilled = CreateSemaphoreA(NULL, 0, DECODE_SLOTS, NULL);
    HANDLE hThread = work->hFree && work->hFilled ? CreateThread(NULL, 0, DecodeThread, work, 0, NULL) : NULL;
    int ok = hThread != NULL, step = FRAME_FULL;
    if (!ok)
        Fail(sink, "Not Enough Memory", SETUP_ITSELF);
    for (int i = 0; ok && step == FRAME_FULL; i = (i + 1) % DECODE_SLOTS)
    {
        WaitForSlot(work);
        step = work->slots[i].step;
        if (step == FRAME_DAMAGED)
            ok = Fail(sink, "Setup Data is Damaged", SETUP_ITSELF);
        else
            ok = WriteSlot(sink, work->decoder, &work->slots[i]);
        ReleaseSemaphore(work->hFree, 1, NULL);
    }
    // The thread has ended after its last slot; after an early stop it ends
    // at its next wait.
    if (hThread)
    {
        InterlockedExchange(&work->stop, 1);
        ReleaseSemaphore(work->hFree, DECODE_SLOTS, NULL);
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
    }
    if (ok && !IsWholePayload(work->decoder))
        ok = Fail(sink, "Setup Data is Damaged", SETUP_ITSELF);
    CloseFiles(sink);
    if (work->hFree)
        CloseHandle(work->hFree);
    if (work->hFilled)
        CloseHandle(work->hFilled);
    return ok;
}

/* The decoder's memory (its window, the slots of decoded bytes) is taken
   once, so it stays the same whatever the size of the product. */
static int UnpackCompressed(const PayloadToInstall *payload, const char *folder, char *szFailure, size_t cbFailure)
{
    const CompressedPayload *compressed = &payload->compressed;
    size_t cbWorkspace = (compressed->cbWorkspace + 7) & ~(size_t)7;
    BYTE *memory = cbWorkspace < 0x40000000
        ? (BYTE *)VirtualAlloc(NULL, cbWorkspace + DECODE_SLOTS * PAYLOAD_PIECE_BYTES, MEM_COMMIT | MEM_RESERVE,
                               PAGE_READWRITE)
        : NULL;
    if (!memory)
        return FailUnpack(szFailure, cbFailure, "Not Enough Memory", SETUP_ITSELF);
    DecodeWork work = {};
    for (int i = 0; i < DECODE_SLOTS; i++)
        work.slots[i].data = memory + cbWorkspace + i * PAYLOAD_PIECE_BYTES;
    work.payload = payload->data;
    work.cbPayload = payload->cb;
    PayloadDecoder decoder;
    work.decoder = &decoder;
    int ok = 0;
    if (!StartPayloadDecoder(&decoder, compressed, memory, compressed->cbWorkspace, work.slots[0].data))
        FailUnpack(szFailure, cbFailure, "Setup Data is Damaged", SETUP_ITSELF);
    else
    {
        FileSink sink;
        StartFiles(&sink, folder, payload->cEntries, szFailure, cbFailure);
        ok = WriteDecodedFiles(&sink, &work);
        if (ok)
            FinishFiles(&sink);
    }
    VirtualFree(memory, 0, MEM_RELEASE);
    return ok;
}

/* ---- before the first write ---- */

/* Characters of text[0 .. cb-1] in the ANSI code page, as the 8-bit calls
   count them when they convert a path. */
static size_t CountChars(const char *text, size_t cb)
{
    return cb ? (size_t)MultiByteToWideChar(CP_ACP, 0, text, (int)cb, NULL, 0) : 0;
}

/* The stored payload's names: each read alike by this Windows' code page, and
   the longest name and folder part in its characters. */
static int MeasureStoredNames(const PayloadToInstall *payload, const char *folder, size_t *cchLongestName,
                              size_t *cchLongestFolder, char *szFailure, size_t cbFailure)
{
    size_t pos = 0;
    PayloadEntry entry;
    *cchLongestName = *cchLongestFolder = 0;
    while (NextPayloadEntry(payload->data, payload->cb, &pos, &entry) == PAYLOAD_ENTRY)
    {
        if (!KeepsSeparators(entry.name, IsAnsiLeadByte))
            return FailUnpack(szFailure, cbFailure, "Cannot Create File", JoinPath(folder, entry.name));
        // Every backslash is a separator: the check above and the name rules
        // leave none inside a character.
        const char *last = strrchr(entry.name, '\\');
        size_t cch = CountChars(entry.name, strlen(entry.name));
        size_t cchFolder = last ? CountChars(entry.name, (size_t)(last - entry.name) + 1) : 0;
        *cchLongestName = cch > *cchLongestName ? cch : *cchLongestName;
        *cchLongestFolder = cchFolder > *cchLongestFolder ? cchFolder : *cchLongestFolder;
    }
    return 1;
}

int CheckPayloadToInstall(int resourceId, const char *folder, PayloadToInstall *payload, char *szFailure,
                          size_t cbFailure)
{
    ZeroMemory(payload, sizeof(*payload));
    HRSRC hrsrc = FindResourceA(NULL, MAKEINTRESOURCEA(LOWORD(resourceId)), "BINARY");
    HGLOBAL hPayload = hrsrc ? LoadResource(NULL, hrsrc) : NULL;
    payload->data = hPayload ? (const unsigned char *)LockResource(hPayload) : NULL;
    payload->cb = hrsrc ? SizeofResource(NULL, hrsrc) : 0;
    if (!payload->data)
        return FailUnpack(szFailure, cbFailure, "Cannot Load Setup Data", SETUP_ITSELF);

    size_t cchLongestName, cchLongestFolder;
    if (IsCompressedPayload(payload->data, payload->cb))
    {
        // The whole download is summed before anything is written. Names come
        // only while decoding: the header's longest one in bytes bounds every
        // name's characters, and its folder part, backslash included, is at
        // least one shorter.
        payload->fCompressed = 1;
        size_t cbHead = payload->cb < PAYLOAD_HEAD_BYTES ? payload->cb : PAYLOAD_HEAD_BYTES;
        CompressedPayload *compressed = &payload->compressed;
        PayloadCheck check = CheckCompressedPayload(payload->data, cbHead, payload->cb, NULL, compressed);
        if (check == CHECK_OK)
        {
            uint32_t crc = SumPayload(payload->data, payload->cb);
            check = CheckCompressedPayload(payload->data, cbHead, payload->cb, &crc, compressed);
        }
        if (check != CHECK_OK)
            return FailUnpack(szFailure, cbFailure,
                              check == CHECK_TOO_LARGE ? "Not Enough Memory" : "Setup Data is Damaged", SETUP_ITSELF);
        payload->cEntries = (int)compressed->header.cEntries;
        cchLongestName = compressed->header.cbLongestName;
        cchLongestFolder = cchLongestName > 1 ? cchLongestName - 1 : 0;
    }
    else
    {
        // A damaged setup must not leave half an installation behind.
        PayloadSummary summary;
        if (!CheckPayload(payload->data, payload->cb, &summary))
            return FailUnpack(szFailure, cbFailure, "Setup Data is Damaged", SETUP_ITSELF);
        payload->cEntries = (int)summary.cEntries;
        if (!MeasureStoredNames(payload, folder, &cchLongestName, &cchLongestFolder, szFailure, cbFailure))
            return 0;
    }
    // Every path must fit the 8-bit calls, or nothing is written: past them a
    // file could not be created half-way through the install.
    if (!PathsFit(CountChars(folder, strlen(folder)), cchLongestName, cchLongestFolder))
        return FailUnpack(szFailure, cbFailure, "Install Path Too Long", folder);
    return 1;
}

int UnpackPayload(const PayloadToInstall *payload, const char *folder, char *szFailure, size_t cbFailure)
{
    STEP_MARK("load");
    if (payload->fCompressed)
        return UnpackCompressed(payload, folder, szFailure, cbFailure);
    return UnpackStored(payload, folder, szFailure, cbFailure);
}

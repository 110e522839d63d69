// unpack.cpp - writes the carried files, and the folders they name, under the
// install folder

#include <windows.h>
#include <commctrl.h>
#include <stdio.h>

#include "install.h"
#include "unpack.h"
#include "decode.h"
#include "pathjoin.h"
#include "resource.h"
#include "setup.h"
#include "steps.h"

/* How the stored payload's bytes reach the files: 1 writes each file with one
   fwrite from the mapped image, 2 with WriteFile in pieces from the mapped
   image, 3 reads the setup's own file piece by piece and writes what it read.
   The benchmark builds each to compare them. */
#ifndef SETUP_WRITE_METHOD
#define SETUP_WRITE_METHOD 3
#endif

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

/* A folder that is there already must be a real folder: a file in its place
   is an error, and so is a junction or a folder link, which would take the
   files elsewhere (a setup started as administrator must not follow one that
   someone else left in the install folder). path ends in a backslash. */
static int MakeFolder(char *path)
{
    if (CreateDirectoryA(path, NULL))
        return 1;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 1;
    // Other reparse points (a synced folder's placeholders) are real folders.
    size_t cch = strlen(path);
    WIN32_FIND_DATAA found;
    path[cch - 1] = 0;
    HANDLE hFind = FindFirstFileA(path, &found);
    path[cch - 1] = '\\';
    if (hFind == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(hFind);
    return !IsReparseTagNameSurrogate(found.dwReserved0);
}

/* Makes each folder of the entry's name that the entry before it did not
   already have made. Entries come folder by folder, so that is about one
   CreateDirectory call per folder. */
static int MakeFolders(FileSink *sink)
{
    const char *name = sink->szName;
    const char *made = sink->szFolderMade;
    size_t cchFolder = strlen(sink->folder);
    size_t cchSame = 0;         // leading bytes of name in folders made already
    for (size_t i = 0; name[i] && name[i] == made[i]; i++)
        if (name[i] == '\\')
            cchSame = i + 1;
    const char *last = strrchr(name, '\\');
    size_t cchNameFolder = last ? (size_t)(last - name) + 1 : 0;
    for (size_t i = cchSame; i < cchNameFolder; i++)
    {
        if (name[i] != '\\')
            continue;
        // szPath holds folder + name already; cut it after this separator.
        char saved = sink->szPath[cchFolder + i + 1];
        sink->szPath[cchFolder + i + 1] = 0;
        int ok = MakeFolder(sink->szPath);
        if (!ok)
            Fail(sink, "Cannot Create Folder", sink->szPath);
        sink->szPath[cchFolder + i + 1] = saved;
        if (!ok)
            return 0;
    }
    memcpy(sink->szFolderMade, name, cchNameFolder);
    sink->szFolderMade[cchNameFolder] = 0;
    return 1;
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
    // fifth of a second for 400 MiB).
    sink->hFile = CreateFileA(sink->szPath, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (sink->hFile == INVALID_HANDLE_VALUE)
        return Fail(sink, "Cannot Create File", sink->szPath);
    sink->fExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    return 1;
}

int WritePiece(FileSink *sink, const void *data, size_t cb)
{
    DWORD cbDone = 0;
    if (!WriteFile(sink->hFile, data, (DWORD)cb, &cbDone, NULL) || cbDone != cb)
        return Fail(sink, "Cannot Write File", sink->szPath);
    if (HasPassed(sink->tPumped, PUMP_MS))
    {
        if (!sink->fShown && HasPassed(sink->tFile, REFRESH_MS))
            ShowFile(sink);
        TakeMessages(sink);
    }
    return 1;
}

void AbandonFile(FileSink *sink)
{
    if (sink->hFile != INVALID_HANDLE_VALUE)
        CloseHandle(sink->hFile);
    sink->hFile = INVALID_HANDLE_VALUE;
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
    BOOL ok = !sink->fExisted || SetEndOfFile(sink->hFile);
    ok = CloseHandle(sink->hFile) && ok;
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

#define READ_BUFFER_BYTES PIECE_BYTES

/* Where the payload's first byte lies in the setup's own file: its address
   in the loaded image, less the image's base, is an address in a section;
   from there to the section's first byte is the same in the file. */
static int FindInOwnFile(const unsigned char *payload, HANDLE *phFile, LONGLONG *pOffset)
{
    HMODULE hModule = GetModuleHandleA(NULL);
    const BYTE *base = (const BYTE *)hModule;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
    const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
    DWORD rva = (DWORD)(payload - base);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, section++)
    {
        if (rva >= section->VirtualAddress && rva - section->VirtualAddress < section->SizeOfRawData)
        {
            char szSelf[MAX_PATH];
            DWORD cch = GetModuleFileNameA(hModule, szSelf, ARRAY_SIZE(szSelf));
            if (cch == 0 || cch >= ARRAY_SIZE(szSelf))
                return 0;
            *pOffset = (LONGLONG)section->PointerToRawData + (rva - section->VirtualAddress);
            *phFile = CreateFileA(szSelf, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, NULL);
            return *phFile != INVALID_HANDLE_VALUE;
        }
    }
    return 0;
}

/* Reads the payload's next piece from the setup's own file, the payload
   starting at offset there: from byte at, a buffer's worth or what is left of
   cbPayload bytes, whose size *cb gets. */
static int ReadPayloadPiece(HANDLE hSelf, LONGLONG offset, size_t at, size_t cbPayload, BYTE *buffer, DWORD *cb)
{
    *cb = cbPayload - at < READ_BUFFER_BYTES ? (DWORD)(cbPayload - at) : READ_BUFFER_BYTES;
    OVERLAPPED where = {};
    where.Offset = (DWORD)(offset + at);
    where.OffsetHigh = (DWORD)((offset + at) >> 32);
    DWORD cbRead = 0;
    return ReadFile(hSelf, buffer, *cb, &cbRead, &where) && cbRead == *cb;
}

/* Hands one piece of the payload's entries to the sink; a piece that is
   neither a file, its data nor its end means damage. */
static int TakePiece(FileSink *sink, PayloadPieceKind kind, const PayloadPiece *piece)
{
    switch (kind)
    {
    case PIECE_FILE:
        return BeginFile(sink, piece->name, piece->cbFile);
    case PIECE_DATA:
        return WritePiece(sink, piece->data, piece->cbData);
    case PIECE_FILE_END:
        return EndFile(sink);
    default:
        return Fail(sink, "Setup Data is Damaged", SETUP_ITSELF);
    }
}

/* The stored payload: each entry's data in pieces, straight from the image or
   read from the setup's own file. */
#if SETUP_WRITE_METHOD == 3

/* Reads the payload from the setup's own file a piece at a time, in order,
   and parses the entries out of the pieces: many small files cost one read
   together, a large one is written piece by piece. */
static int WriteStoredFiles(FileSink *sink, const unsigned char *payload, size_t cbPayload)
{
    HANDLE hSelf;
    LONGLONG offset;
    BYTE *buffer = (BYTE *)VirtualAlloc(NULL, READ_BUFFER_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!buffer || !FindInOwnFile(payload, &hSelf, &offset))
    {
        if (buffer)
            VirtualFree(buffer, 0, MEM_RELEASE);
        return Fail(sink, "Cannot Load Setup Data", SETUP_ITSELF);
    }
    PayloadParser parser;
    StartPayloadParser(&parser);
    PayloadPieceKind kind = PIECE_MORE;
    int ok = 1;
    for (size_t at = 0; ok && kind == PIECE_MORE && at < cbPayload;)
    {
        DWORD cb;
        if (!ReadPayloadPiece(hSelf, offset, at, cbPayload, buffer, &cb))
            ok = Fail(sink, "Cannot Read Setup Data", SETUP_ITSELF);
        at += cb;
        size_t pos = 0;
        PayloadPiece piece;
        while (ok && (kind = NextPayloadPiece(&parser, buffer, cb, &pos, &piece)) != PIECE_MORE && kind != PIECE_END)
            ok = TakePiece(sink, kind, &piece);
    }
    if (ok && kind != PIECE_END)
        ok = Fail(sink, "Setup Data is Damaged", SETUP_ITSELF);
    AbandonFile(sink);
    CloseHandle(hSelf);
    VirtualFree(buffer, 0, MEM_RELEASE);
    return ok;
}

#elif SETUP_WRITE_METHOD == 2

static int WriteStoredFiles(FileSink *sink, const unsigned char *payload, size_t cbPayload)
{
    int ok = 1;
    size_t pos = 0;
    PayloadEntry entry;
    while (ok && NextPayloadEntry(payload, cbPayload, &pos, &entry) == PAYLOAD_ENTRY)
    {
        ok = BeginFile(sink, entry.name, entry.cbData);
        for (unsigned long done = 0; ok && done < entry.cbData;)
        {
            DWORD cb = entry.cbData - done < PIECE_BYTES ? entry.cbData - done : PIECE_BYTES;
            ok = WritePiece(sink, entry.data + done, cb);
            done += cb;
        }
        ok = ok && EndFile(sink);
    }
    AbandonFile(sink);
    return ok;
}

#else

/* The whole entry in one fwrite, as the setup first did: the window waits
   for the whole of a large file. */
static int WriteStoredFiles(FileSink *sink, const unsigned char *payload, size_t cbPayload)
{
    size_t pos = 0;
    PayloadEntry entry;
    while (NextPayloadEntry(payload, cbPayload, &pos, &entry) == PAYLOAD_ENTRY)
    {
        if (!BeginFile(sink, entry.name, entry.cbData))
            return 0;
        AbandonFile(sink);
        FILE *file = fopen(sink->szPath, "wb");
        if (!file)
            return Fail(sink, "Cannot Create File", sink->szPath);
        size_t written = fwrite(entry.data, 1, entry.cbData, file);
        if ((fclose(file) != 0) | (written != entry.cbData))
            return Fail(sink, "Cannot Write File", sink->szPath);
        NoteFileDone(sink);
    }
    return 1;
}

#endif

/* ---- the compressed payload ---- */

/* The CRC-32 of the whole download, read piece by piece with the window's
   messages taken between pieces. */
static int SumOwnFile(HANDLE hSelf, LONGLONG offset, size_t cbPayload, BYTE *buffer, uint32_t *crc)
{
    LONGLONG tPumped = Now();
    *crc = 0;
    for (size_t at = PAYLOAD_CRC_FROM; at < cbPayload;)
    {
        DWORD cb;
        if (!ReadPayloadPiece(hSelf, offset, at, cbPayload, buffer, &cb))
            return 0;
        *crc = UpdateCrc32(*crc, buffer, cb);
        at += cb;
        if (HasPassed(tPumped, PUMP_MS))
        {
            DrainMessages();
            tPumped = Now();
        }
    }
    STEP_MARK("crc");
    return 1;
}

/* Where the compressed payload is decoded: 1 on a thread of its own, a few
   pieces ahead, so that a second processor decodes while the first writes
   and keeps the window; 0 on the unpacker's thread, between the writes. Under
   qemu on an idle machine the thread took 10 % less time, on one busy with
   other work 6 % more (README.md); the benchmark builds both. */
#ifndef SETUP_DECODE_THREAD
#define SETUP_DECODE_THREAD 1
#endif

#define DECODE_SLOTS    (SETUP_DECODE_THREAD ? 4 : 1)   /* pieces of decoded bytes */
#define READ_FAILED     (FRAME_DAMAGED + 1)     /* a slot's step: the setup's own file could not be read */

struct DecodeSlot
{
    BYTE *data;                     /* PAYLOAD_PIECE_BYTES */
    size_t cb;
    int step;                       /* FRAME_FULL, FRAME_ENDED, FRAME_DAMAGED or READ_FAILED */
};

struct DecodeWork
{
    PayloadDecoder *decoder;        /* its zstd half belongs to the thread until the last slot */
    HANDLE hSelf;
    LONGLONG offset;
    size_t cbPayload;
    BYTE *readBuffer;
    DecodeSlot slots[DECODE_SLOTS];
    HANDLE hFree, hFilled;          /* semaphores: slots to decode into, slots to write out */
    volatile LONG stop;             /* set by the unpacker when it stops early */
};

#if SETUP_DECODE_THREAD

/* The thread fills the slots in turn; the unpacker takes them in the same
   order and hands each back when it has written what it held. */
static DWORD WINAPI DecodeThread(void *param)
{
    DecodeWork *work = (DecodeWork *)param;
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
        while ((slot->step = DecodeFrame(work->decoder, slot->data, PAYLOAD_PIECE_BYTES, &slot->cb)) == FRAME_NEEDS_INPUT)
        {
            DWORD cb;
            STEP_TIMER(tRead);
            if (!ReadPayloadPiece(work->hSelf, work->offset, atFrame, work->cbPayload, work->readBuffer, &cb))
            {
                slot->step = READ_FAILED;
                break;
            }
            STEP_TOTAL("decoder reads", tRead);
            GiveFrameBytes(work->decoder, work->readBuffer, cb);
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

/* Decodes the frame, read from the setup's own file, straight into the
   files. A stream that fails part-way ends the install there, with the file
   it was writing closed. */
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
        if (step == READ_FAILED)
            ok = Fail(sink, "Cannot Read Setup Data", SETUP_ITSELF);
        else if (step == FRAME_DAMAGED)
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
    AbandonFile(sink);
    if (work->hFree)
        CloseHandle(work->hFree);
    if (work->hFilled)
        CloseHandle(work->hFilled);
    return ok;
}

#else

/* Decodes the frame, read from the setup's own file as the decoder asks for
   it, straight into the files. A stream that fails part-way ends the install
   there, with the file it was writing closed. */
static int WriteDecodedFiles(FileSink *sink, DecodeWork *work)
{
    size_t atFrame = PAYLOAD_HEADER_BYTES;
    int ok = 1;
    PayloadPiece piece;
    PayloadPieceKind kind;
    while (ok && (kind = NextDecodedPiece(work->decoder, &piece)) != PIECE_END)
    {
        DWORD cb;
        if (kind != PIECE_MORE)
            ok = TakePiece(sink, kind, &piece);
        else if (!ReadPayloadPiece(work->hSelf, work->offset, atFrame, work->cbPayload, work->readBuffer, &cb))
            ok = Fail(sink, "Cannot Read Setup Data", SETUP_ITSELF);
        else
        {
            GiveFrameBytes(work->decoder, work->readBuffer, cb);
            atFrame += cb;
        }
    }
    AbandonFile(sink);
    return ok;
}

#endif

/* Everything that can fail before the first file does: the CRC-32 of the
   whole download, the header against the frame, the decoder's memory (its
   window, the slots of decoded bytes and a piece read) and the longest path.
   Memory then stays the same whatever the size of the product. */
static int UnpackCompressed(const unsigned char *payload, size_t cbPayload, const char *folder,
                            char *szFailure, size_t cbFailure)
{
    size_t cbHead = cbPayload < PAYLOAD_HEAD_BYTES ? cbPayload : PAYLOAD_HEAD_BYTES;
    CompressedPayload compressed;
    PayloadCheck check = CheckCompressedPayload(payload, cbHead, cbPayload, NULL, &compressed);
    if (check != CHECK_OK)
        return FailUnpack(szFailure, cbFailure, check == CHECK_TOO_LARGE ? "Not Enough Memory" : "Setup Data is Damaged",
                          SETUP_ITSELF);
    size_t cbWorkspace = (compressed.cbWorkspace + 7) & ~(size_t)7;
    BYTE *memory = cbWorkspace < 0x40000000
        ? (BYTE *)VirtualAlloc(NULL, cbWorkspace + DECODE_SLOTS * PAYLOAD_PIECE_BYTES + READ_BUFFER_BYTES,
                               MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
        : NULL;
    if (!memory)
        return FailUnpack(szFailure, cbFailure, "Not Enough Memory", SETUP_ITSELF);
    DecodeWork work = {};
    for (int i = 0; i < DECODE_SLOTS; i++)
        work.slots[i].data = memory + cbWorkspace + i * PAYLOAD_PIECE_BYTES;
    work.readBuffer = memory + cbWorkspace + DECODE_SLOTS * PAYLOAD_PIECE_BYTES;
    work.cbPayload = cbPayload;
    uint32_t crc;
    PayloadDecoder decoder;
    work.decoder = &decoder;
    int ok = 0;
    if (!FindInOwnFile(payload, &work.hSelf, &work.offset))
        FailUnpack(szFailure, cbFailure, "Cannot Load Setup Data", SETUP_ITSELF);
    else
    {
        if (!SumOwnFile(work.hSelf, work.offset, cbPayload, work.readBuffer, &crc))
            FailUnpack(szFailure, cbFailure, "Cannot Read Setup Data", SETUP_ITSELF);
        else if (CheckCompressedPayload(payload, cbHead, cbPayload, &crc, &compressed) != CHECK_OK ||
                 !StartPayloadDecoder(&decoder, &compressed, memory, compressed.cbWorkspace, work.slots[0].data))
            FailUnpack(szFailure, cbFailure, "Setup Data is Damaged", SETUP_ITSELF);
        else if (strlen(folder) + compressed.header.cbLongestName >= OUTPUT_PATH_BYTES)
            FailUnpack(szFailure, cbFailure, "Install Path Too Long", folder);
        else
        {
            STEP_MARK("load");
            FileSink sink;
            StartFiles(&sink, folder, (int)compressed.header.cEntries, szFailure, cbFailure);
            ok = WriteDecodedFiles(&sink, &work);
            if (ok)
                FinishFiles(&sink);
        }
        CloseHandle(work.hSelf);
    }
    VirtualFree(memory, 0, MEM_RELEASE);
    return ok;
}

int UnpackPayload(int resourceId, const char *folder, char *szFailure, size_t cbFailure)
{
    HRSRC hrsrc = FindResourceA(NULL, MAKEINTRESOURCEA(LOWORD(resourceId)), "BINARY");
    HGLOBAL hPayload = hrsrc ? LoadResource(NULL, hrsrc) : NULL;
    const unsigned char *payload = hPayload ? (const unsigned char *)LockResource(hPayload) : NULL;
    size_t cbPayload = hrsrc ? SizeofResource(NULL, hrsrc) : 0;
    if (!payload)
        return FailUnpack(szFailure, cbFailure, "Cannot Load Setup Data", SETUP_ITSELF);
    if (IsCompressedPayload(payload, cbPayload))
        return UnpackCompressed(payload, cbPayload, folder, szFailure, cbFailure);

    // Nothing is written from a payload that is not whole, nor when a file's
    // path would not fit: a damaged setup or a too long install path must not
    // leave half an installation behind.
    PayloadSummary summary;
    if (!CheckPayload(payload, cbPayload, &summary))
        return FailUnpack(szFailure, cbFailure, "Setup Data is Damaged", SETUP_ITSELF);
    if (strlen(folder) + summary.cbLongestName >= OUTPUT_PATH_BYTES)
        return FailUnpack(szFailure, cbFailure, "Install Path Too Long", folder);
    STEP_MARK("load");

    FileSink sink;
    StartFiles(&sink, folder, (int)summary.cEntries, szFailure, cbFailure);
    if (!WriteStoredFiles(&sink, payload, cbPayload))
        return 0;
    FinishFiles(&sink);
    return 1;
}

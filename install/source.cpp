// source.cpp - where a stored payload's bytes come from: read ahead through
// the setup's own file on a thread of its own, or from the image; handed to
// the file sink a piece at a time (the compressed payload: decodesource.cpp)

#include <windows.h>

#include "install.h"
#include "filesink.h"
#include "decode.h"
#include "pathjoin.h"
#include "setup.h"
#include "steps.h"

/* ---- the payload, as Windows mapped it ---- */

int StartProgress(Progress *progress)
{
    progress->count = progress->waiting = 0;
    progress->hMoved = CreateEventA(NULL, FALSE, FALSE, NULL);
    return progress->hMoved != NULL;
}

void EndProgress(Progress *progress)
{
    if (progress->hMoved)
        CloseHandle(progress->hMoved);
    progress->hMoved = NULL;
}

void MoveProgress(Progress *progress, LONG count)
{
    InterlockedExchange(&progress->count, count);
    if (InterlockedExchange(&progress->waiting, 0))
        SetEvent(progress->hMoved);
}

LONG WaitForProgress(Progress *progress, LONG seen, int fWindow)
{
    LONG count;
    while ((count = progress->count) == seen)
    {
        // Said before looking again: a move after the look finds it said,
        // and sets the event. A move before it may set the event for
        // nothing, and the next wait then returns at once and looks again.
        InterlockedExchange(&progress->waiting, 1);
        if ((count = progress->count) != seen)
            break;
        if (!fWindow)
            WaitForSingleObject(progress->hMoved, INFINITE);
        else
            while (MsgWaitForMultipleObjectsEx(1, &progress->hMoved, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
                   WAIT_OBJECT_0 + 1)
                DrainMessages();
    }
    return count;
}

/* The payload is read where Windows mapped it when it started the setup: in
   the loaded image. Those are the bytes of the file that was started, whatever
   happens to the file's name later (a rename, another file put in its place),
   and reading them takes no name, so a folder named outside the ANSI code page
   does not matter. (A stored payload's data is read through the setup's own
   file instead where the system confirms it is that same file: see
   StoredSource.) The pages read are let go behind the reading: VirtualUnlock
   of pages that are not locked takes them out of the working set, so memory
   does not grow with the product (they stay in the file cache). */
void StartImageReader(ImageReader *reader, const unsigned char *payload)
{
    reader->released = (const BYTE *)((UINT_PTR)payload & ~(UINT_PTR)(IMAGE_PAGE_BYTES - 1));
}

void ReleaseRead(ImageReader *reader, const unsigned char *upTo)
{
    const BYTE *end = (const BYTE *)((UINT_PTR)upTo & ~(UINT_PTR)(IMAGE_PAGE_BYTES - 1));
    if (end >= reader->released + PIECE_BYTES)
    {
        VirtualUnlock((void *)reader->released, end - reader->released);
        reader->released = end;
    }
}

int TakePiece(FileSink *sink, PayloadPieceKind kind, const PayloadPiece *piece)
{
    switch (kind)
    {
    case PIECE_FILE:
        // A stored payload's names were all read so before the first file
        // (MeasureStoredNames), from the same bytes; a compressed one's come
        // only now.
        if (!KeepsSeparators(piece->name, IsAnsiLeadByte))
            return FailSink(sink, "Cannot Create File", JoinPath(sink->folder, piece->name));
        return BeginFile(sink, piece->name);
    case PIECE_DATA:
        return WritePiece(sink, piece->data, piece->cbData);
    case PIECE_FILE_END:
        return EndFile(sink);
    default:
        return FailSink(sink, "Setup Data is Damaged", SETUP_ITSELF);
    }
}

/* Where a stored payload is read from: the setup's own file, through a
   handle the system confirmed is the file of the image (OpenStartedFile);
   otherwise the image itself. Reading the file cache costs a fraction of
   faulting the image's pages in one by one (4 KB at a time): on Linux,
   WriteFile from the image wrote 400 MiB in about three times the time of
   ReadFile and WriteFile through a buffer. The file is read a piece at a time
   into READ_SLOTS slots in turn by a thread of its own, so that the next
   pieces are read while this one is written: on two processors the reading
   costs the writing nothing. The payload is read a piece at a time whatever
   its entries, and they are parsed out of the pieces, so a thousand small
   files cost a few reads. */
#define READ_SLOTS  8

struct StoredSource
{
    const unsigned char *payload;   /* in the image */
    size_t cb;
    HANDLE hFile;                   /* INVALID_HANDLE_VALUE: the image */
    ULONGLONG offset;               /* of the payload in the file */
    BYTE *slots;                    /* READ_SLOTS pieces, with hFile; piece n in slot n % READ_SLOTS */
    Progress read;                  /* pieces read, */
    Progress written;               /* pieces written, their slots free again */
    volatile LONG failed;           /* a read failed: no piece after it is read */
    volatile LONG stop;             /* set by the writer when it stops early */
};

/* Reads the payload into the slots in turn, each once the writer has written
   what it held. Ends at the payload's end, a failed read, or an early stop. */
static DWORD WINAPI ReadAheadThread(void *param)
{
    StoredSource *source = (StoredSource *)param;
    LONG cWritten = 0;
    for (LONG n = 0; (size_t)n * PIECE_BYTES < source->cb; n++)
    {
        while (n - cWritten >= READ_SLOTS && !source->stop)
            cWritten = WaitForProgress(&source->written, cWritten, 0);
        if (source->stop)
            return 0;
        STEP_TIMER(tRead);
        size_t at = (size_t)n * PIECE_BYTES;
        size_t cb = source->cb - at < PIECE_BYTES ? source->cb - at : PIECE_BYTES;
        ULONGLONG from = source->offset + at;
        OVERLAPPED place = {};
        place.Offset = (DWORD)from;
        place.OffsetHigh = (DWORD)(from >> 32);
        DWORD cbRead = 0;
        if (!ReadFile(source->hFile, source->slots + (n % READ_SLOTS) * PIECE_BYTES, (DWORD)cb, &cbRead, &place) ||
            cbRead != cb)
            InterlockedExchange(&source->failed, 1);
        STEP_TOTAL("ReadFile", tRead);
        MoveProgress(&source->read, n + 1);
        if (source->failed)
            return 0;
    }
    return 0;
}

/* Piece n of the payload, at at: where it can be parsed and written from.
   NULL, with the failure recorded, when the setup's own file could not be
   read. */
static const BYTE *TakeStored(FileSink *sink, StoredSource *source, LONG n, size_t at)
{
    if (source->hFile == INVALID_HANDLE_VALUE)
        return source->payload + at;
    STEP_TIMER(tWait);
    for (LONG cRead = source->read.count; cRead <= n && !source->failed;)
        cRead = WaitForProgress(&source->read, cRead, 1);
    STEP_TOTAL("writer waits", tWait);
    if (source->failed)
    {
        FailSink(sink, "Cannot Load Setup Data", SETUP_ITSELF);
        return NULL;
    }
    return source->slots + (n % READ_SLOTS) * PIECE_BYTES;
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
    LONG n = 0;
    for (size_t at = 0; ok && kind != PIECE_END && at < source->cb; n++)
    {
        size_t cb = source->cb - at < PIECE_BYTES ? source->cb - at : PIECE_BYTES;
        const BYTE *data = TakeStored(sink, source, n, at);
        ok = data != NULL;
        size_t pos = 0;
        PayloadPiece piece;
        while (ok && (kind = NextPayloadPiece(&parser, data, cb, &pos, &piece)) != PIECE_MORE && kind != PIECE_END)
            ok = TakePiece(sink, kind, &piece);
        at += cb;
        if (source->hFile == INVALID_HANDLE_VALUE)
            ReleaseRead(&reader, source->payload + at);
        else
            MoveProgress(&source->written, n + 1);
    }
    // The check before found the end mark, in the same bytes.
    if (ok && !IsPayloadEnded(&parser))
        ok = FailSink(sink, "Setup Data is Damaged", SETUP_ITSELF);
    return ok;
}

/* Starts the reader on the setup's own file; the image is read instead when
   the file, the slots or the thread cannot be had. */
static HANDLE StartReadAhead(StoredSource *source)
{
    source->hFile = OpenStartedFile(source->payload, source->cb, &source->offset);
    if (source->hFile == INVALID_HANDLE_VALUE)
        return NULL;
    source->slots = (BYTE *)VirtualAlloc(NULL, READ_SLOTS * PIECE_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    HANDLE hThread = source->slots && StartProgress(&source->read) && StartProgress(&source->written)
        ? CreateThread(NULL, 0, ReadAheadThread, source, 0, NULL) : NULL;
    if (!hThread)
    {
        CloseHandle(source->hFile);
        source->hFile = INVALID_HANDLE_VALUE;
    }
    return hThread;
}

int WriteStoredPayload(FileSink *sink, const PayloadToInstall *payload)
{
    StoredSource source = {};
    source.payload = payload->data;
    source.cb = payload->cb;
    HANDLE hThread = StartReadAhead(&source);
    STEP_MARK(hThread ? "own file" : "image");
    int ok = WriteStoredFiles(sink, &source);
    // The reader has ended at the payload's end; after an early stop it
    // ends at its next wait.
    if (hThread)
    {
        InterlockedExchange(&source.stop, 1);
        MoveProgress(&source.written, -1);
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
        CloseHandle(source.hFile);
    }
    EndProgress(&source.read);
    EndProgress(&source.written);
    if (source.slots)
        VirtualFree(source.slots, 0, MEM_RELEASE);
    return ok;
}

/* ---- the compressed payload's check ---- */

/* The CRC-32 of the whole download, a piece at a time, with the window's
   messages taken between pieces. */
uint32_t SumPayload(const unsigned char *payload, size_t cbPayload)
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

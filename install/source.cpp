// source.cpp - where the payload's bytes come from: the stored payload, read
// through the setup's own file or from the image, or the compressed one,
// decoded on a second thread; either way handed to the file sink a piece at a
// time

#include <windows.h>

#include "install.h"
#include "filesink.h"
#include "decode.h"
#include "pathjoin.h"
#include "setup.h"
#include "steps.h"

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
            return FailSink(sink, "Cannot Create File", JoinPath(sink->folder, piece->name));
        return BeginFile(sink, piece->name, piece->cbFile);
    case PIECE_DATA:
        return WritePiece(sink, piece->data, piece->cbData);
    case PIECE_FILE_END:
        return EndFile(sink);
    default:
        return FailSink(sink, "Setup Data is Damaged", SETUP_ITSELF);
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
        FailSink(sink, "Cannot Load Setup Data", SETUP_ITSELF);
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
        ok = FailSink(sink, "Setup Data is Damaged", SETUP_ITSELF);
    return ok;
}

int WriteStoredPayload(FileSink *sink, const PayloadToInstall *payload)
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
    int ok = WriteStoredFiles(sink, &source);
    if (source.hFile != INVALID_HANDLE_VALUE)
    {
        CloseHandle(source.hFile);
        VirtualFree(source.buffer, 0, MEM_RELEASE);
    }
    return ok;
}

/* ---- the compressed payload ---- */

#define FRAME_GIVE_BYTES    PIECE_BYTES     /* the frame is given to the decoder this much at a time */
#define DECODE_SLOTS        4               /* pieces of decoded bytes between the two threads */

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
        FailSink(sink, "Not Enough Memory", SETUP_ITSELF);
    for (int i = 0; ok && step == FRAME_FULL; i = (i + 1) % DECODE_SLOTS)
    {
        WaitForSlot(work);
        step = work->slots[i].step;
        if (step == FRAME_DAMAGED)
            ok = FailSink(sink, "Setup Data is Damaged", SETUP_ITSELF);
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
        ok = FailSink(sink, "Setup Data is Damaged", SETUP_ITSELF);
    if (work->hFree)
        CloseHandle(work->hFree);
    if (work->hFilled)
        CloseHandle(work->hFilled);
    return ok;
}

/* The decoder's memory (its window, the slots of decoded bytes) is taken
   once, so it stays the same whatever the size of the product. */
int WriteCompressedPayload(FileSink *sink, const PayloadToInstall *payload)
{
    const CompressedPayload *compressed = &payload->compressed;
    size_t cbWorkspace = (compressed->cbWorkspace + 7) & ~(size_t)7;
    BYTE *memory = cbWorkspace < 0x40000000
        ? (BYTE *)VirtualAlloc(NULL, cbWorkspace + DECODE_SLOTS * PAYLOAD_PIECE_BYTES, MEM_COMMIT | MEM_RESERVE,
                               PAGE_READWRITE)
        : NULL;
    if (!memory)
        return FailSink(sink, "Not Enough Memory", SETUP_ITSELF);
    DecodeWork work = {};
    for (int i = 0; i < DECODE_SLOTS; i++)
        work.slots[i].data = memory + cbWorkspace + i * PAYLOAD_PIECE_BYTES;
    work.payload = payload->data;
    work.cbPayload = payload->cb;
    PayloadDecoder decoder;
    work.decoder = &decoder;
    int ok = 0;
    if (!StartPayloadDecoder(&decoder, compressed, memory, compressed->cbWorkspace, work.slots[0].data))
        FailSink(sink, "Setup Data is Damaged", SETUP_ITSELF);
    else
        ok = WriteDecodedFiles(sink, &work);
    VirtualFree(memory, 0, MEM_RELEASE);
    return ok;
}

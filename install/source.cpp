// source.cpp - where a stored payload's bytes come from: read through the
// setup's own file, or from the image; handed to the file sink a piece at a
// time (the compressed payload: decodesource.cpp)

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

// decodesource.cpp - the compressed payload as a source of the file sink's
// pieces: its frames decoded by two threads of their own, each frame whole
// into a buffer, while the window's thread writes the frame before

#include <windows.h>

#include "install.h"
#include "filesink.h"
#include "decode.h"
#include "setup.h"
#include "steps.h"

#define DECODERS            2           /* threads, and frames decoded at once */
#define DECODE_PART_BYTES   (256 << 10) /* compressed bytes decoded between reports to the writer */

/* A decoder thread and the buffer it decodes into. Thread t decodes frames
   t, t + DECODERS, ... one after another into the same buffer, each once the
   writer has handed the buffer back. */
struct DecodeSlot
{
    struct DecodeWork *work;
    uint32_t t;
    BYTE *out;                      /* cbLargestFrame bytes */
    void *context;                  /* cbContext bytes, zstd's */
    HANDLE hThread;
    volatile LONG cbDone;           /* out[0 .. cbDone-1] decoded: set by the thread, */
    volatile LONG step;             /* then FRAME_ENDED or FRAME_DAMAGED; both put back by the writer */
    Progress told;                  /* moves after each change of the two above */
    Progress written;               /* frames of this slot written: its buffer free again */
};

/* The decoders' memory: this, then each slot's buffer and context, taken in
   one piece before anything is written, so it stays the same whatever the
   size of the product: DECODERS times the largest frame and zstd's context. */
struct DecodeWork
{
    PayloadFrames frames;
    DecodeSlot slots[DECODERS];
    uint32_t cSlots;                /* threads started: DECODERS, or fewer frames */
    volatile LONG stop;             /* set by the writer when it stops early */
};

/* Decodes the slot's frames, a part at a time, telling the writer after each
   part how far it has come. Ends after its last frame, at a damaged one, or
   when the writer stops early. */
static DWORD WINAPI DecodeFramesThread(void *param)
{
    DecodeSlot *slot = (DecodeSlot *)param;
    const PayloadFrames *frames = &slot->work->frames;
    PayloadFrame frame;
    FirstPayloadFrame(frames, &frame);
    LONG cWritten = 0, cTold = 0;
    do
    {
        if (frame.k % DECODERS != slot->t)
            continue;
        // This slot's frame before is written out of the buffer.
        STEP_TIMER(tWait);
        while (cWritten < (LONG)(frame.k / DECODERS) && !slot->work->stop)
            cWritten = WaitForProgress(&slot->written, cWritten, 0);
        STEP_TOTAL("decoder waits", tWait);
        if (slot->work->stop)
            return 0;
        // The frame's bytes are let go behind the decoding, as the CRC pass
        // let them go: memory does not grow with the download.
        ImageReader reader;
        StartImageReader(&reader, frame.packed);
        FrameDecoder decoder;
        FrameStep step = StartFrameDecoder(&decoder, slot->context, frames->cbContext, &frame, slot->out)
            ? FRAME_NEEDS_INPUT : FRAME_DAMAGED;
        while (step == FRAME_NEEDS_INPUT && !slot->work->stop)
        {
            step = DecodeFramePart(&decoder, DECODE_PART_BYTES);
            ReleaseRead(&reader, frame.packed + decoder.atPacked);
            InterlockedExchange(&slot->cbDone, (LONG)decoder.cbDone);
            MoveProgress(&slot->told, ++cTold);
        }
        InterlockedExchange(&slot->step, step);
        MoveProgress(&slot->told, ++cTold);
        if (step != FRAME_ENDED)
            return 0;
    } while (NextPayloadFrame(frames, &frame));
    return 0;
}

int StartDecoding(PayloadToInstall *payload)
{
    const PayloadFrames *frames = &payload->frames;
    uint32_t cSlots = frames->header.cFrames < DECODERS ? frames->header.cFrames : DECODERS;
    size_t cbOut = (frames->cbLargestFrame + 7) & ~(size_t)7;
    size_t cbWork = (sizeof(DecodeWork) + 7) & ~(size_t)7;
    BYTE *memory = (BYTE *)VirtualAlloc(NULL, cbWork + cSlots * (cbOut + frames->cbContext), MEM_COMMIT | MEM_RESERVE,
                                        PAGE_READWRITE);
    if (!memory)
        return 0;
    DecodeWork *work = (DecodeWork *)memory;
    work->frames = *frames;
    payload->decoding = work;
    for (uint32_t t = 0; t < cSlots; t++)
    {
        DecodeSlot *slot = &work->slots[t];
        slot->work = work;
        slot->t = t;
        slot->out = memory + cbWork + t * (cbOut + frames->cbContext);
        slot->context = slot->out + cbOut;
        slot->step = FRAME_NEEDS_INPUT;
        slot->hThread = StartProgress(&slot->told) && StartProgress(&slot->written)
            ? CreateThread(NULL, 0, DecodeFramesThread, slot, 0, NULL) : NULL;
        work->cSlots = t + 1;
        if (!slot->hThread)
        {
            StopDecoding(payload);
            return 0;
        }
    }
    return 1;
}

void StopDecoding(PayloadToInstall *payload)
{
    DecodeWork *work = payload->decoding;
    if (!work)
        return;
    // A thread ends after its last frame; after an early stop, at its next
    // part or wait.
    InterlockedExchange(&work->stop, 1);
    for (uint32_t t = 0; t < work->cSlots; t++)
    {
        DecodeSlot *slot = &work->slots[t];
        if (slot->hThread)
        {
            MoveProgress(&slot->written, -1);
            WaitForSingleObject(slot->hThread, INFINITE);
            CloseHandle(slot->hThread);
        }
        EndProgress(&slot->told);
        EndProgress(&slot->written);
    }
    VirtualFree(work, 0, MEM_RELEASE);
    payload->decoding = NULL;
}

/* Writes the slot's frame as its decoder goes, at most a piece at a time.
   Returns 1 when the frame ended whole and every piece of it was written. */
static int WriteFrame(FileSink *sink, DecodedEntries *entries, DecodeSlot *slot)
{
    size_t pos = 0;
    for (;;)
    {
        // The decoder tells after it sets the count and the step, so a frame
        // seen ended is seen with all its bytes, and nothing told is missed.
        LONG cTold = slot->told.count;
        LONG step = slot->step;
        size_t cbDone = (size_t)slot->cbDone;
        if (pos < cbDone)
        {
            size_t cb = cbDone - pos > PIECE_BYTES ? pos + PIECE_BYTES : cbDone;
            PayloadPiece piece;
            PayloadPieceKind kind;
            while ((kind = NextEntryPiece(entries, slot->out, cb, &pos, &piece)) != PIECE_MORE && kind != PIECE_END)
            {
                if (!TakePiece(sink, kind, &piece))
                    return 0;
            }
        }
        else if (step == FRAME_ENDED)
            return 1;
        else if (step == FRAME_DAMAGED)
            return FailSink(sink, "Setup Data is Damaged", SETUP_ITSELF);
        else
        {
            STEP_TIMER(tWait);
            WaitForProgress(&slot->told, cTold, 1);
            STEP_TOTAL("writer waits", tWait);
        }
    }
}

/* Each frame in turn from its slot, handed back to its decoder for the frame
   after next once written. Whatever happens the decoders are stopped and
   their memory let go. */
int WriteCompressedPayload(FileSink *sink, PayloadToInstall *payload)
{
    DecodeWork *work = payload->decoding;
    DecodedEntries entries;
    StartDecodedEntries(&entries, &work->frames.header);
    uint32_t cEnded = 0;
    int ok = 1;
    for (uint32_t k = 0; ok && k < work->frames.header.cFrames; k++)
    {
        DecodeSlot *slot = &work->slots[k % DECODERS];
        ok = WriteFrame(sink, &entries, slot);
        cEnded += ok;
        slot->cbDone = 0;
        slot->step = FRAME_NEEDS_INPUT;
        MoveProgress(&slot->written, (LONG)(k / DECODERS + 1));
    }
    if (ok && !IsWholeFramedPayload(&work->frames, cEnded, &entries))
        ok = FailSink(sink, "Setup Data is Damaged", SETUP_ITSELF);
    StopDecoding(payload);
    return ok;
}

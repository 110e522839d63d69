// filesink.h - the unpacker's file writer: what any source of payload entries
// (the stored payload, a decoder) drives to put files under the install folder

#ifndef FILESINK_H
#define FILESINK_H

#include <windows.h>

#include "install.h"
#include "payload.h"

#define OUTPUT_PATH_BYTES   2048            /* a file's full path */
#define PIECE_BYTES         (1 << 20)       /* written per WriteFile call */
#define IMAGE_PAGE_BYTES    4096
#define PUMP_MS             33              /* the window's messages are taken at least this often */

/* Where a failure lies when it is in the setup's own data. */
#define SETUP_ITSELF        "the setup program itself"

/* One install's files: where they go, what the window shows of them. Filled by
   StartFiles; every field belongs to the calls below.

   Each file is written beside its place, under a temporary name in its own
   folder (TemporaryPath), or at its place in a folder this run made, and its
   name is noted in the install's journal first. Nothing the install replaces is touched until every file is written
   and closed: then CommitFiles puts them in place with renames, or
   UndoFiles takes them away again (see transaction.cpp). */
struct FileSink
{
    const char *folder;                     /* the install folder, ending in a backslash */
    char szName[PAYLOAD_NAME_MAX + 1];      /* the entry being written */
    char szPath[OUTPUT_PATH_BYTES];         /* its place */
    char szTemp[OUTPUT_PATH_BYTES];         /* where it is written until the commit (in a fresh folder: szPath) */
    char szFolderMade[PAYLOAD_NAME_MAX + 1];/* folder part of the last entry, all of it made and held */
    int fFolderFresh;                       /* that folder was made by this run: nothing earlier in it */
    int fInstallFolderFresh;                /* so was the install folder */
    HANDLE *hFolders;                       /* every folder opened, held to the end (see OpenFolder) */
    int cFolders, cFoldersMax;
    HANDLE hFile;                           /* INVALID_HANDLE_VALUE between files */
    HANDLE hJournal;                        /* the journal, open for the names of the files begun */
    BOOL fShown;                            /* its name is on the status line */
    int cBegun;                             /* files begun: the next one's number in the journal */
    int cDone, cTotal;                      /* files written, files in the payload */
    int cCounted;                           /* what the progress bar shows */
    LONGLONG tFile;                         /* performance counter: this file begun, */
    LONGLONG tNextUpdate;                   /* the earliest next update of the window, */
    LONGLONG tPumped;                       /* the window's messages last taken */
    char *szFailure;                        /* "What Failed\nwhere" once a call has failed */
    size_t cbFailure;
};

/* Readies the sink for cTotal files under folder (made by this run when
   fFolderMade is set), starts the install's journal and ranges the progress
   bar 0 to cTotal. Returns 0, with the
   failure recorded, when the journal cannot be made. */
int StartFiles(FileSink *sink, const char *folder, int fFolderMade, int cTotal, char *szFailure, size_t cbFailure);

/* Creates and holds the entry's folders (those not open for an entry before
   it), notes the entry in the journal and creates its temporary file; the file
   is named on the status line when the window is due an update. Returns 0, with
   the failure recorded, when a folder or the file cannot be created, or a
   folder stands where the file goes. */
int BeginFile(FileSink *sink, const char *name);

/* Writes the next cb bytes of the file; between pieces the window's messages
   are handled whenever enough time has passed. Returns 0 on a short write. */
int WritePiece(FileSink *sink, const void *data, size_t cb);

/* Ends the file: closes it; 0 when that fails. Counts it, and shows it on the window when it took long
   enough to be seen or the window is due an update. */
int EndFile(FileSink *sink);

/* Closes the file and the journal left open by a failure, and the folders
   held open. */
void CloseFiles(FileSink *sink);

/* The install's transaction (transaction.cpp). TemporaryPath puts into
   szPath where file number index, named name under folder, is written until
   the commit (ext SETUP_TEMP_NEW) or its earlier file set aside
   (SETUP_TEMP_OLD); 0 when it does not fit. StartJournal and NoteInJournal
   keep the journal; CommitFiles puts every file written in place, first
   waiting while one to be replaced is in use, and puts back what it replaced
   if it fails part-way; UndoFiles removes what was written after a failure.
   Each returns 0 with the failure recorded (none when the user cancelled). */
int TemporaryPath(char *szPath, size_t cbPath, const char *folder, const char *name, int index, const char *ext);
int StartJournal(FileSink *sink);
int NoteInJournal(FileSink *sink, int fFresh);
int CommitFiles(FileSink *sink);
void UndoFiles(FileSink *sink);

/* Keeps the window answering during long work between files: takes its
   messages when PUMP_MS have passed since they were last taken. */
void KeepWindowAnswering(FileSink *sink);

/* After the last file: the bar full, the last file counted, and
   " Installation Complete" on the status line. */
void FinishFiles(FileSink *sink);

/* The sources: each hands every entry of the payload, checked before, to
   the sink, and returns 0 with the failure recorded when it stops early. The
   compressed one takes the decoders StartDecoding started, and stops them. */
int WriteStoredPayload(FileSink *sink, const PayloadToInstall *payload);
int WriteCompressedPayload(FileSink *sink, PayloadToInstall *payload);

/* Hands one piece of a payload's entries to the sink; a piece that is
   neither a file, its data nor its end means damage. */
int TakePiece(FileSink *sink, PayloadPieceKind kind, const PayloadPiece *piece);

/* The payload is read where Windows mapped it (see source.cpp): the pages
   read are let go behind the reading, a piece's worth at a time. */
struct ImageReader
{
    const BYTE *released;           /* pages below this have been let go */
};
void StartImageReader(ImageReader *reader, const unsigned char *from);
void ReleaseRead(ImageReader *reader, const unsigned char *upTo);

/* A count that one thread moves on and another waits to see move: how far a
   source thread has read or decoded, or how much the writer has handed back.
   The waiter sleeps on the event only after saying so, and the mover sets it
   only then: under Wine every wait and every SetEvent is a round trip to the
   wine server (0.1 ms and more with both processors busy), which for each
   1 MiB piece cost more than the overlap won. */
struct Progress
{
    volatile LONG count;
    volatile LONG waiting;          /* the other thread sleeps, or is about to, on hMoved */
    HANDLE hMoved;                  /* auto-reset */
};
int StartProgress(Progress *progress);
void EndProgress(Progress *progress);
void MoveProgress(Progress *progress, LONG count);

/* Waits until the count is not seen; with fWindow, taking the window's
   messages meanwhile. Returns the count. */
LONG WaitForProgress(Progress *progress, LONG seen, int fWindow);

/* The CRC-32 of a compressed payload's whole download, a piece at a time,
   with the window's messages taken between pieces. */
uint32_t SumPayload(const unsigned char *payload, size_t cbPayload);

/* 1 when b begins a double-byte character in this Windows' ANSI code page. */
int IsAnsiLeadByte(unsigned char b);

/* The performance counter now, and whether ms have passed since a reading of it. */
LONGLONG Now(void);
int HasPassed(LONGLONG since, int ms);

/* Records what failed and where, for the caller's error box, and shows it on
   the status line. Returns 0 so that callers can return its result. */
int FailUnpack(char *szFailure, size_t cbFailure, const char *what, const char *where);
int FailSink(FileSink *sink, const char *what, const char *where);

#endif

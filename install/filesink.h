// filesink.h - the unpacker's file writer: what any source of payload entries
// (the stored payload, a decoder) drives to put files under the install folder

#ifndef FILESINK_H
#define FILESINK_H

#include <windows.h>

#include "install.h"
#include "payload.h"

#define OUTPUT_PATH_BYTES   2048            /* a file's full path */
#define PIECE_BYTES         (1 << 20)       /* written per WriteFile call */
#define FOLDER_DEPTH_MAX    (PAYLOAD_NAME_MAX / 2)  /* folders in one entry's name */
#define IMAGE_PAGE_BYTES    4096
#define PUMP_MS             33              /* the window's messages are taken at least this often */

/* Where a failure lies when it is in the setup's own data. */
#define SETUP_ITSELF        "the setup program itself"

/* One install's files: where they go, what the window shows of them. Filled by
   StartFiles; every field belongs to the calls below. */
struct FileSink
{
    const char *folder;                     /* the install folder, ending in a backslash */
    char szName[PAYLOAD_NAME_MAX + 1];      /* the entry being written */
    char szPath[OUTPUT_PATH_BYTES];         /* its full path */
    char szFolderMade[PAYLOAD_NAME_MAX + 1];/* folder part of the last entry, all of it made and open */
    HANDLE hFolders[FOLDER_DEPTH_MAX];      /* those folders, outermost first, held (see OpenFolder) */
    int cFolders;
    HANDLE hFile;                           /* INVALID_HANDLE_VALUE between files */
    BOOL fExisted;                          /* the file was there before: cut it to its new length */
    BOOL fShown;                            /* its name is on the status line */
    int cDone, cTotal;                      /* files written, files in the payload */
    int cCounted;                           /* what the progress bar shows */
    LONGLONG tFile;                         /* performance counter: this file begun, */
    LONGLONG tNextUpdate;                   /* the earliest next update of the window, */
    LONGLONG tPumped;                       /* the window's messages last taken */
    char *szFailure;                        /* "What Failed\nwhere" once a call has failed */
    size_t cbFailure;
};

/* Readies the sink for cTotal files under folder and ranges the progress bar
   0 to cTotal. */
void StartFiles(FileSink *sink, const char *folder, int cTotal, char *szFailure, size_t cbFailure);

/* Creates and opens the entry's folders (those not open for the entry before
   it) and the file itself, replacing one that is there; a file of more than
   one piece is named on the status line at once. Returns 0, with the failure
   recorded, when a folder or the file cannot be created or is not the
   setup's to write into (see OpenFolder). */
int BeginFile(FileSink *sink, const char *name, unsigned long cbData);

/* Writes the next cb bytes of the file; between pieces the window's messages
   are handled whenever enough time has passed. Returns 0 on a short write. */
int WritePiece(FileSink *sink, const void *data, size_t cb);

/* Ends the file: cuts a longer old file to its new length and closes it; 0
   when either fails. Counts it, and shows it on the window when it took long
   enough to be seen or the window is due an update. */
int EndFile(FileSink *sink);

/* Closes the file left open by a failure, and the folders held open. */
void CloseFiles(FileSink *sink);

/* After the last file: the bar full, the last file counted, and
   " Installation Complete" on the status line. */
void FinishFiles(FileSink *sink);

/* The sources: each hands every entry of the payload, checked before, to
   the sink, and returns 0 with the failure recorded when it stops early. */
int WriteStoredPayload(FileSink *sink, const PayloadToInstall *payload);
int WriteCompressedPayload(FileSink *sink, const PayloadToInstall *payload);

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

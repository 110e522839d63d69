// install.h - the installation engine's Windows side: unpacker, shortcut, sequence

#ifndef INSTALL_H
#define INSTALL_H

#include <windows.h>

#include "decode.h"

#define PRODUCT_FOLDER  "Tandreloop\\"
#define PRODUCT_EXE     "Tandreloop.exe"
#define PRODUCT_LINK    "Tandreloop"

#define FAILURE_BYTES   2048    /* failure text: what failed, a line feed, where */

/* The box shown while a file the install replaces is in use. */
#define IN_USE_CAPTION      "FILE IN USE"
#define IN_USE_TEXT_BEFORE  "Tandreloop is in use:\n"
#define IN_USE_TEXT_AFTER   "\n\nClose Tandreloop, then press Retry."

/* The carried payload, where Windows mapped it, and what its check found. */
struct PayloadToInstall
{
    const unsigned char *data;      /* in the loaded image */
    size_t cb;
    int fCompressed;
    PayloadFrames frames;           /* of a compressed one */
    struct DecodeWork *decoding;    /* its decoders, from StartDecoding */
    int cEntries;
    unsigned long long cbFiles;     /* the files' bytes: a compressed one's decoded size */
};

/* Starts a compressed payload's decoders (decodesource.cpp), once its header
   and frame table are checked: two threads, each decoding a frame at a time
   whole into a buffer of its own, taken now in one piece. They decode into
   memory only; nothing is written before the install's files are, and that
   waits for the CRC-32. Returns 0 when the memory or a thread cannot be had.
   StopDecoding stops them and lets the memory go; WriteCompressedPayload
   does that too. Decoders still running when the setup ends with an error
   before its files end with the process. */
int StartDecoding(PayloadToInstall *payload);
void StopDecoding(PayloadToInstall *payload);

/* The setup's own file, open for reading, when the system confirms that it
   is the file the running image was mapped from (a file renamed away, or
   another put at its path, is not); *offset is where the cb bytes at data,
   in the image, lie in it. INVALID_HANDLE_VALUE when it cannot be had: the
   image is then read itself. */
HANDLE OpenStartedFile(const void *data, size_t cb, unsigned long long *offset);

/* Everything about the payload that can fail before the first write: that
   it is whole (a compressed one's CRC-32 over the whole download, its header
   against its frame), each name read alike by this Windows' code page, and
   every path under folder within what the 8-bit file calls take. Returns 1
   with payload filled; otherwise 0, with szFailure holding
   "What Failed\nwhere". */
int CheckPayloadToInstall(int resourceId, const char *folder, PayloadToInstall *payload, char *szFailure,
                          size_t cbFailure);

/* Makes the folder at path (ending in a backslash) when it is not there, and
   opens it. What is there must be a real folder: a file in its place is an
   error, and so is a junction or a folder link, which would take the files
   elsewhere (a setup started as administrator must not follow one that
   someone else left in the install folder). The check is made on the handle,
   which is held open to list the folder, without delete sharing, so the folder
   cannot be renamed or replaced while files go into it: what was checked is
   what is written into. A folder it makes gets the setup's own permissions
   (folderacl.h); one that was there keeps its own, but is refused, when the
   setup runs elevated, if it belongs to someone other than the user,
   Administrators or SYSTEM (on a volume that keeps owners). Returns 1 with
   *phFolder to close when done and *pfMade telling whether this call made
   the folder; otherwise 0, with *pszWhat saying what failed. */
int OpenFolder(const char *path, HANDLE *phFolder, const char **pszWhat, int *pfMade);

/* Waits while the file at path is in use by another program (it runs, or
   holds the file open without sharing), asking the user to close Tandreloop,
   with Retry and Cancel. Returns 1 when the file is free or not there, 0 when
   the user cancelled. */
int WaitWhileInUse(const char *path);

/* Finishes what an install into folder that was cut short left there, as its
   journal tells: the temporary files removed, and earlier files that were
   set aside put back, or removed when the install had put every file in
   place; then the setup's own files that no journal names. Returns 0, with
   szFailure holding "What Failed\nwhere", when an earlier file cannot be put
   back. */
int FinishEarlierInstall(const char *folder, char *szFailure, size_t cbFailure);

/* Whether the install folder's volume has room for the payload's files
   beside the earlier ones (an install puts them in place only when all are
   written). Returns 0, with szFailure holding "Not Enough Disk Space\nfolder\n
   N MB needed, M MB free", when it has not. */
int HasRoomFor(const PayloadToInstall *payload, const char *folder, char *szFailure, size_t cbFailure);

/* Writes every payload entry as a file under folder (which ends in a
   backslash; fFolderMade: made by this run, so nothing earlier is in it),
   making the folders the entries name, and shows the progress on
   the setup window. The files are written beside the earlier ones and put in
   their places only when all are written: returns 1 when every file is in
   place; otherwise 0, with the earlier files as they were and szFailure
   holding "What Failed\nwhere", or "" when the user cancelled. */
int UnpackPayload(PayloadToInstall *payload, const char *folder, int fFolderMade, char *szFailure,
                  size_t cbFailure);

/* Saves <desktop>\<linkName>.lnk pointing at targetPath. Silent: the install goes
   on whether or not the link could be saved. */
void CreateDesktopShortcut(HWND hwndOwner, const char *linkName, const char *targetPath);

/* The Install command: installs, reports, starts the product and posts the quit
   message. Ignored while an install is already running. */
int RunInstall(void);

#endif

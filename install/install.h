// install.h - the installation engine's Windows side: unpacker, shortcut, sequence

#ifndef INSTALL_H
#define INSTALL_H

#include <windows.h>

#define PRODUCT_FOLDER  "Tandreloop\\"
#define PRODUCT_EXE     "Tandreloop.exe"
#define PRODUCT_LINK    "Tandreloop"

#define FAILURE_BYTES   2048    /* failure text: what failed, a line feed, where */

/* Writes every payload entry as a file under folder (which ends in a
   backslash), making the folders the entries name, and shows the progress on
   the setup window. The whole payload, and that every file's path fits, is
   checked before the first file is written. Returns 1 when every entry was
   written; otherwise 0, with the walk stopped and szFailure holding
   "What Failed\nwhere". */
int UnpackPayload(int resourceId, const char *folder, char *szFailure, size_t cbFailure);

/* Saves <desktop>\<linkName>.lnk pointing at targetPath. Silent: the install goes
   on whether or not the link could be saved. */
void CreateDesktopShortcut(HWND hwndOwner, const char *linkName, const char *targetPath);

/* The Install command: installs, reports, starts the product and posts the quit
   message. Ignored while an install is already running. */
int RunInstall(void);

#endif

// setup.h - process-wide state and the functions of the setup window

#ifndef SETUP_H
#define SETUP_H

#include <windows.h>

#include "systemdlls.h"

#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))

#define LICENSE_BACK_COLOR  RGB(112, 112, 112)  /* mid grey behind the licence text */
#define LICENSE_TEXT_COLOR  RGB(128, 255, 128)  /* light green licence text */

extern HINSTANCE g_hInstance;   /* this program's instance, stored first thing in WinMain */
extern HWND g_hwndSetup;        /* the setup dialog, the program's only window */
extern HBRUSH g_hbrLicense;     /* background brush of the licence box */
extern MSG g_msg;               /* message record shared by every pump step, nested ones too */
extern int g_exitCode;          /* what WinMain returns: 1 once an install has failed */
extern int g_chooserOpen;       /* 1 while the folder chooser runs */
extern SystemDlls g_sys;        /* comctl32, ole32 and shell32 functions, filled first thing in WinMain */

/* Takes every message waiting, through the input filter (a dropped message
   ends it early). Never sleeps: the unpacker calls it between files and
   pieces. Returns 1 when it took the quit message. */
int DrainMessages(void);

/* One step of the main loop: DrainMessages, then a 1 ms sleep. Returns 1 when
   it took the quit message. */
int PumpMessages(void);

INT_PTR CALLBACK SetupDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

/* Runs the shell's folder chooser and writes the chosen folder, ending in a
   backslash, to the path box. Returns 1 when a folder was written. */
int ChooseInstallFolder(void);

/* Makes path a folder path: appends a backslash unless it is a drive root such
   as "D:\" (three characters or fewer). cbPath is the buffer's size. Returns 0
   when the backslash does not fit. */
int EndWithBackslash(char *path, size_t cbPath);

#endif

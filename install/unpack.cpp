// unpack.cpp - writes the carried files into the install folder

#include <windows.h>
#include <commctrl.h>
#include <stdio.h>

#include "install.h"
#include "payload.h"
#include "pathjoin.h"
#include "resource.h"
#include "setup.h"
#include "steps.h"

#define OUTPUT_PATH_BYTES 2048

/* Records what failed and where, for the caller's error box, and shows it on the
   status line. Returns 0 so that callers can return its result. */
static int Fail(char *szFailure, size_t cbFailure, const char *what, const char *where)
{
    szFailure[0] = 0;
    AppendText(szFailure, cbFailure, what);
    AppendText(szFailure, cbFailure, "\n");
    AppendText(szFailure, cbFailure, where);
    SetDlgItemTextA(g_hwndSetup, IDC_STATUS, JoinPath(" ", what, ": ", where));
    return 0;
}

/* The whole entry goes out in one write straight from the resource memory; the
   file counts as written only when every byte got out and the close succeeded
   (a full disk often shows only when the C runtime flushes at fclose). */
static int WriteEntry(const char *path, const PayloadEntry *entry, char *szFailure, size_t cbFailure)
{
    FILE *file = fopen(path, "wb+");
    if (!file)
        return Fail(szFailure, cbFailure, "Cannot Create File", path);
    size_t written = fwrite(entry->data, 1, entry->cbData, file);
    int closed = fclose(file) == 0;
    if (written != entry->cbData || !closed)
        return Fail(szFailure, cbFailure, "Cannot Write File", path);
    return 1;
}

int UnpackPayload(int resourceId, const char *folder, char *szFailure, size_t cbFailure)
{
    HRSRC hrsrc = FindResourceA(NULL, MAKEINTRESOURCEA(LOWORD(resourceId)), "BINARY");
    HGLOBAL hPayload = hrsrc ? LoadResource(NULL, hrsrc) : NULL;
    const unsigned char *payload = hPayload ? (const unsigned char *)LockResource(hPayload) : NULL;
    size_t cbPayload = hrsrc ? SizeofResource(NULL, hrsrc) : 0;
    if (!payload)
        return Fail(szFailure, cbFailure, "Cannot Load Setup Data", "the setup program itself");

    // Nothing is written from a payload that is not whole: a damaged setup must
    // not leave half an installation behind.
    if (!CheckPayload(payload, cbPayload))
        return Fail(szFailure, cbFailure, "Setup Data is Damaged", "the setup program itself");
    STEP_MARK("load");

    size_t pos = 0;
    int count = 0;
    PayloadEntry entry;
    while (NextPayloadEntry(payload, cbPayload, &pos, &entry) == PAYLOAD_ENTRY)
    {
        char szPath[OUTPUT_PATH_BYTES] = "";
        if (!AppendText(szPath, sizeof(szPath), folder) || !AppendText(szPath, sizeof(szPath), entry.name))
            return Fail(szFailure, cbFailure, "Path Too Long", szPath);

        SetDlgItemTextA(g_hwndSetup, IDC_STATUS, JoinPath(" Unpacking Files ... ", entry.name));
        STEP_MARK_N("status", count + 1);
        if (!WriteEntry(szPath, &entry, szFailure, cbFailure))
            return 0;
        STEP_MARK_N("write", count + 1);

        count++;
        SendDlgItemMessageA(g_hwndSetup, IDC_PROGRESS, PBM_SETPOS, count, 0);
        STEP_MARK_N("progress", count);
        // Keeps the window alive between files. A quit message taken here (the
        // window was closed) is dropped: the remaining files are still written.
        PumpMessages();
        STEP_MARK_N("pump", count);
    }

    SetDlgItemTextA(g_hwndSetup, IDC_STATUS, " Installation Complete");
    STEP_MARK("final status");
    return 1;
}

// check.cpp - everything about the payload that can fail before the first
// write: whole, its names read alike by this Windows, its paths within what
// the 8-bit file calls take

#include <windows.h>

#include "install.h"
#include "filesink.h"
#include "decode.h"
#include "folders.h"
#include "pathjoin.h"
#include "setup.h"
#include "steps.h"

int IsAnsiLeadByte(unsigned char b)
{
    return IsDBCSLeadByte(b);
}

/* Characters of text[0 .. cb-1] in the ANSI code page, as the 8-bit calls
   count them when they convert a path. */
static size_t CountChars(const char *text, size_t cb)
{
    return cb ? (size_t)MultiByteToWideChar(CP_ACP, 0, text, (int)cb, NULL, 0) : 0;
}

/* The stored payload's names: each read alike by this Windows' code page, and
   the longest name and folder part in its characters; and the files' bytes. */
static int MeasureStoredNames(PayloadToInstall *payload, const char *folder, size_t *cchLongestName,
                              size_t *cchLongestFolder, char *szFailure, size_t cbFailure)
{
    size_t pos = 0;
    PayloadEntry entry;
    *cchLongestName = *cchLongestFolder = 0;
    while (NextPayloadEntry(payload->data, payload->cb, &pos, &entry) == PAYLOAD_ENTRY)
    {
        payload->cbFiles += entry.cbData;
        if (!KeepsSeparators(entry.name, IsAnsiLeadByte))
            return FailUnpack(szFailure, cbFailure, "Cannot Create File", JoinPath(folder, entry.name));
        // Every backslash is a separator: the check above and the name rules
        // leave none inside a character.
        const char *last = strrchr(entry.name, '\\');
        size_t cch = CountChars(entry.name, strlen(entry.name));
        size_t cchFolder = last ? CountChars(entry.name, (size_t)(last - entry.name) + 1) : 0;
        *cchLongestName = cch > *cchLongestName ? cch : *cchLongestName;
        *cchLongestFolder = cchFolder > *cchLongestFolder ? cchFolder : *cchLongestFolder;
    }
    return 1;
}

int CheckPayloadToInstall(int resourceId, const char *folder, PayloadToInstall *payload, char *szFailure,
                          size_t cbFailure)
{
    ZeroMemory(payload, sizeof(*payload));
    HRSRC hrsrc = FindResourceA(NULL, MAKEINTRESOURCEA(LOWORD(resourceId)), "BINARY");
    HGLOBAL hPayload = hrsrc ? LoadResource(NULL, hrsrc) : NULL;
    payload->data = hPayload ? (const unsigned char *)LockResource(hPayload) : NULL;
    payload->cb = hrsrc ? SizeofResource(NULL, hrsrc) : 0;
    if (!payload->data)
        return FailUnpack(szFailure, cbFailure, "Cannot Load Setup Data", SETUP_ITSELF);

    size_t cchLongestName, cchLongestFolder;
    if (IsCompressedPayload(payload->data, payload->cb) || IsFramedPayload(payload->data, payload->cb))
    {
        // The header and the frame table are checked first, then the whole
        // download is summed before anything is written. The decoders start
        // in between, so that they decode the first frames into memory while
        // the sum and the steps before the first file go on; they are stopped
        // if the sum fails. Each frame is decoded whole into a buffer of its
        // own, two at a time: a frame larger than the setup takes is refused
        // here (a one-frame payload of a large product comes only from
        // stamping a setup that streams it). Names come only while decoding:
        // the header's longest one in bytes bounds every name's characters,
        // and its folder part, backslash included, is at least one shorter.
        payload->fCompressed = 1;
        PayloadFrames *frames = &payload->frames;
        PayloadCheck check = CheckPayloadFrames(payload->data, payload->cb, NULL, frames);
        if (check == CHECK_OK && frames->cbLargestFrame > PAYLOAD_FRAME_BYTES_MAX)
            check = CHECK_TOO_LARGE;
        if (check == CHECK_OK && !StartDecoding(payload))
            check = CHECK_TOO_LARGE;
        if (check == CHECK_OK && frames->header.crc != SumPayload(payload->data, payload->cb))
        {
            StopDecoding(payload);
            check = CHECK_DAMAGED;
        }
        if (check != CHECK_OK)
            return FailUnpack(szFailure, cbFailure,
                              check == CHECK_TOO_LARGE ? "Not Enough Memory" : "Setup Data is Damaged", SETUP_ITSELF);
        payload->cEntries = (int)frames->header.cEntries;
        payload->cbFiles = frames->header.cbDecoded;
        cchLongestName = frames->header.cbLongestName;
        cchLongestFolder = cchLongestName > 1 ? cchLongestName - 1 : 0;
    }
    else
    {
        // A damaged setup must not leave half an installation behind.
        PayloadSummary summary;
        if (!CheckPayload(payload->data, payload->cb, &summary))
            return FailUnpack(szFailure, cbFailure, "Setup Data is Damaged", SETUP_ITSELF);
        payload->cEntries = (int)summary.cEntries;
        if (!MeasureStoredNames(payload, folder, &cchLongestName, &cchLongestFolder, szFailure, cbFailure))
            return 0;
    }
    // Each file is written under a temporary name with its number in five
    // hex digits.
    if (payload->cEntries < 0 || payload->cEntries >= 1 << (4 * SETUP_TEMP_DIGITS))
        return FailUnpack(szFailure, cbFailure, "Too Many Files", SETUP_ITSELF);
    // Every path must fit the 8-bit calls, or nothing is written: past them a
    // file could not be created half-way through the install.
    if (!PathsFit(CountChars(folder, strlen(folder)), cchLongestName, cchLongestFolder))
        return FailUnpack(szFailure, cbFailure, "Install Path Too Long", folder);
    return 1;
}

/* Appends cb in megabytes with one decimal ("12.5 MB"), rounded up or down. */
static void AppendMegabytes(char *text, size_t cbText, unsigned long long cb, int fUp)
{
    unsigned long long tenths = (cb * 10 + (fUp ? 1048575 : 0)) / 1048576;
    char szDigits[32];
    char *p = szDigits + sizeof(szDigits);
    *--p = 0;
    *--p = (char)('0' + tenths % 10);
    *--p = '.';
    unsigned long long whole = tenths / 10;
    do
    {
        *--p = (char)('0' + whole % 10);
        whole /= 10;
    } while (whole);
    AppendText(text, cbText, p);
    AppendText(text, cbText, " MB");
}

int HasRoomFor(const PayloadToInstall *payload, const char *folder, char *szFailure, size_t cbFailure)
{
    ULARGE_INTEGER cbFree, cbTotal;
    char szRoot[MAX_PATH];
    DWORD cSectorsPerCluster, cbSector, cClustersFree, cClusters;
    if (!GetDiskFreeSpaceExA(folder, &cbFree, &cbTotal, NULL))
        return 1;                           // not known: the writes will tell
    unsigned long long cbCluster = 4096;
    if (GetVolumePathNameA(folder, szRoot, sizeof(szRoot)) &&
        GetDiskFreeSpaceA(szRoot, &cSectorsPerCluster, &cbSector, &cClustersFree, &cClusters))
        cbCluster = (unsigned long long)cSectorsPerCluster * cbSector;
    // Each file's last cluster, and the journal's line for it. The earlier
    // files stay until every new one is written: what they free does not
    // count.
    unsigned long long cbNeeded =
        payload->cbFiles + (unsigned long long)(payload->cEntries + 1) * (cbCluster + PAYLOAD_NAME_MAX / 16);
    if (cbNeeded <= cbFree.QuadPart)
        return 1;
    char szWhere[FAILURE_BYTES] = "";
    AppendText(szWhere, sizeof(szWhere), folder);
    AppendText(szWhere, sizeof(szWhere), "\n");
    AppendMegabytes(szWhere, sizeof(szWhere), cbNeeded, 1);
    AppendText(szWhere, sizeof(szWhere), " needed, ");
    AppendMegabytes(szWhere, sizeof(szWhere), cbFree.QuadPart, 0);
    AppendText(szWhere, sizeof(szWhere), " free");
    return FailUnpack(szFailure, cbFailure, "Not Enough Disk Space", szWhere);
}

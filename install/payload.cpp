// payload.cpp - bounded walk over the carried product files

#include "payload.h"

#include <string.h>

/* CON, PRN, AUX, NUL, CONIN$, CONOUT$, and COM or LPT followed by 1 to 9 or by
   a superscript 1, 2 or 3 name devices, also with an extension ("nul.txt",
   "conin$.dat", "COM\xB9.log"): opening one writes to the device, not to a
   file. Windows compares the stem, the part before the first dot, after
   dropping its trailing spaces: "NUL .txt" and "com1  .log" are devices too
   (the stem holds no dot, so in "AUX. .txt" it is "AUX"). It checks the name in
   Unicode; here it is in the ANSI code page, which we do not know, so the
   superscripts are refused as any code page that has them writes them: 0xB9
   0xB2 0xB3 in 1252 and its kin, 0xA9 0xF6 to 0xF8 in 949. In some other code
   pages those bytes are other characters ("COM" and 0xB3 is "COM" and a
   Polish l with stroke in 1250, a half-width katakana u in 932), so a few such
   rare names are refused that would be files there; never a device taken. */
/* c with an ASCII letter in upper case: toupper would follow the C
   runtime's locale. */
static char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

static int IsDeviceName(const char *name)
{
    static const char *const devices[] = { "CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$" };
    static const char *const digits[] = { "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                          "\xB9", "\xB2", "\xB3", "\xA9\xF6", "\xA9\xF7", "\xA9\xF8" };
    char stem[8];
    size_t cbStem = strcspn(name, ".");
    while (cbStem > 0 && name[cbStem - 1] == ' ')
        cbStem--;
    if (cbStem < 3 || cbStem >= sizeof(stem))
        return 0;
    for (size_t i = 0; i < cbStem; i++)
        stem[i] = UpperAscii(name[i]);
    stem[cbStem] = 0;
    for (const char *device : devices)
        if (strcmp(stem, device) == 0)
            return 1;
    if (strncmp(stem, "COM", 3) != 0 && strncmp(stem, "LPT", 3) != 0)
        return 0;
    for (const char *digit : digits)
        if (strcmp(stem + 3, digit) == 0)
            return 1;
    return 0;
}

/* 1 when a and b are the same text but for the case of ASCII letters, as
   Windows compares file names. */
static int IsSameName(const char *a, const char *b)
{
    for (; *a && UpperAscii(*a) == UpperAscii(*b); a++, b++)
        ;
    return *a == *b;
}

int IsSetupTemporaryName(const char *name)
{
    if (IsSameName(name, SETUP_JOURNAL_NAME))
        return 1;
    const char *ext = name + 2 + SETUP_TEMP_DIGITS;
    if (strlen(name) != 2 + SETUP_TEMP_DIGITS + strlen(SETUP_TEMP_NEW) || name[0] != '~' || UpperAscii(name[1]) != 'T')
        return 0;
    for (const char *p = name + 2; p < ext; p++)
        if (!strchr("0123456789abcdefABCDEF", *p))
            return 0;
    return IsSameName(ext, SETUP_TEMP_NEW) || IsSameName(ext, SETUP_TEMP_OLD);
}

int IsBareFileName(const char *name)
{
    size_t cb = strlen(name);
    if (cb == 0 || cb > PAYLOAD_PART_MAX)
        return 0;
    // Windows drops a trailing dot or space, so such a name would be written
    // under another one ("." and ".." among them).
    if (name[cb - 1] == '.' || name[cb - 1] == ' ' || IsDeviceName(name) || IsSetupTemporaryName(name))
        return 0;
    for (const unsigned char *p = (const unsigned char *)name; *p; p++)
    {
        // Bytes from 0x80 up are ANSI code page characters (or DBCS lead and
        // trail bytes); none of the refused characters lives up there.
        if (*p < 0x20 || *p == 0x7F || strchr("\\/:<>\"|?*", *p))
            return 0;
    }
    return 1;
}

int IsPayloadPath(const char *name)
{
    if (strlen(name) > PAYLOAD_NAME_MAX)
        return 0;
    for (const char *part = name;;)
    {
        size_t cb = strcspn(part, "\\");
        char szPart[PAYLOAD_PART_MAX + 1];
        if (cb > PAYLOAD_PART_MAX)
            return 0;
        memcpy(szPart, part, cb);
        szPart[cb] = 0;
        if (!IsBareFileName(szPart))
            return 0;               // an empty part too: a leading, trailing or doubled backslash
        if (part[cb] == 0)
            return 1;
        part += cb + 1;
    }
}

PayloadStep NextPayloadEntry(const unsigned char *payload, size_t cbPayload,
                             size_t *pos, PayloadEntry *entry)
{
    size_t at = *pos;
    if (at >= cbPayload)
        return PAYLOAD_DAMAGED;             // no end mark before the end
    if (payload[at] == 0)
        return PAYLOAD_END;

    const unsigned char *zero = (const unsigned char *)memchr(payload + at, 0, cbPayload - at);
    if (!zero)
        return PAYLOAD_DAMAGED;             // name runs to the end
    const char *name = (const char *)payload + at;
    if (!IsPayloadPath(name))
        return PAYLOAD_DAMAGED;

    at = (size_t)(zero - payload) + 1;
    if (cbPayload - at < PAYLOAD_LENGTH_BYTES)
        return PAYLOAD_DAMAGED;             // length field cut off
    const unsigned char *p = payload + at;
    unsigned long cbData = (unsigned long)p[0] | (unsigned long)p[1] << 8 |
                           (unsigned long)p[2] << 16 | (unsigned long)p[3] << 24;
    at += PAYLOAD_LENGTH_BYTES;
    if (cbData > cbPayload - at)
        return PAYLOAD_DAMAGED;             // data runs past the end

    entry->name = name;
    entry->data = payload + at;
    entry->cbData = cbData;
    *pos = at + cbData;
    return PAYLOAD_ENTRY;
}

int CheckPayload(const unsigned char *payload, size_t cbPayload, PayloadSummary *summary)
{
    PayloadSummary found = { 0, 0 };
    size_t pos = 0;
    PayloadEntry entry;
    PayloadStep step;
    while ((step = NextPayloadEntry(payload, cbPayload, &pos, &entry)) == PAYLOAD_ENTRY)
    {
        size_t cbName = strlen(entry.name);
        found.cEntries++;
        if (cbName > found.cbLongestName)
            found.cbLongestName = cbName;
    }
    if (summary)
        *summary = found;
    return step == PAYLOAD_END;
}

int KeepsSeparators(const char *name, int (*isLeadByte)(unsigned char))
{
    for (const unsigned char *p = (const unsigned char *)name; *p; p++)
    {
        if (!isLeadByte(*p))
            continue;
        if (p[1] == 0 || p[1] == '\\')
            return 0;
        p++;                        // the character's second byte, whatever it is
    }
    return 1;
}

// payload.cpp - bounded walk over the carried product files

#include "payload.h"

#include <string.h>

int IsBareFileName(const char *name)
{
    size_t cb = strlen(name);
    if (cb == 0 || cb > PAYLOAD_NAME_MAX)
        return 0;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
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
    if (!IsBareFileName(name))
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

int CheckPayload(const unsigned char *payload, size_t cbPayload)
{
    size_t pos = 0;
    PayloadEntry entry;
    PayloadStep step;
    while ((step = NextPayloadEntry(payload, cbPayload, &pos, &entry)) == PAYLOAD_ENTRY)
        ;
    return step == PAYLOAD_END;
}

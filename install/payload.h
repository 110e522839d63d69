// payload.h - layout of the carried product files, and a bounded walk over it
//
// The payload is a plain run of entries followed by an end mark:
//
//     name bytes, 0  |  length (4 bytes, little-endian)  |  length bytes of data
//     ...
//     0                 (end mark: an empty name; the packer writes four zero bytes)
//
// No header, count, checksum or alignment. Plain C++ with no <windows.h>, so the
// reader builds and is tested and fuzzed natively as well as in the setup.

#ifndef PAYLOAD_H
#define PAYLOAD_H

#include <stddef.h>

#define PAYLOAD_LENGTH_BYTES 4  /* width of an entry's length field */
#define PAYLOAD_END_BYTES    4  /* zero bytes the packer writes as the end mark */
#define PAYLOAD_NAME_MAX     255 /* longest entry name, in bytes (one path component) */

struct PayloadEntry
{
    const char *name;               /* zero-terminated, inside the payload */
    const unsigned char *data;      /* first data byte, inside the payload */
    unsigned long cbData;           /* number of data bytes */
};

enum PayloadStep
{
    PAYLOAD_ENTRY,      /* *entry holds the next entry; *pos is past its data */
    PAYLOAD_END,        /* the end mark is at *pos */
    PAYLOAD_DAMAGED     /* what is at *pos is not a valid entry or end mark */
};

/* Reads what stands at *pos of a payload of cbPayload bytes. Never reads outside
   payload[0 .. cbPayload-1]; a name without its zero, a length or data running past
   the end, a missing end mark or an entry name that is not a bare file name all
   give PAYLOAD_DAMAGED. */
PayloadStep NextPayloadEntry(const unsigned char *payload, size_t cbPayload,
                             size_t *pos, PayloadEntry *entry);

/* 1 when the whole payload is well formed up to and including its end mark.
   Bytes after the end mark are not looked at. */
int CheckPayload(const unsigned char *payload, size_t cbPayload);

/* 1 when name can be written as a file straight into a folder: 1 to
   PAYLOAD_NAME_MAX bytes, no folder part (\ / :), not ending in a dot or space
   (so neither "." nor ".."), no control character, none of the characters
   Windows refuses in file names (< > " | ? *) and no device name (CON, NUL.txt). */
int IsBareFileName(const char *name);

#endif

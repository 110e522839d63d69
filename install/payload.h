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
#define PAYLOAD_PART_MAX     255  /* longest folder or file name in an entry's name, in bytes */
#define PAYLOAD_NAME_MAX     1024 /* longest entry name, folder parts included, in bytes */

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
   the end, a missing end mark or an entry name that IsPayloadPath refuses all
   give PAYLOAD_DAMAGED. */
PayloadStep NextPayloadEntry(const unsigned char *payload, size_t cbPayload,
                             size_t *pos, PayloadEntry *entry);

/* What the check before the first write learns of a whole payload. */
struct PayloadSummary
{
    size_t cEntries;                /* entries before the end mark */
    size_t cbLongestName;           /* longest entry name, in bytes */
};

/* 1 when the whole payload is well formed up to and including its end mark,
   with summary (when not NULL) filled in. Bytes after the end mark are not
   looked at. */
int CheckPayload(const unsigned char *payload, size_t cbPayload, PayloadSummary *summary = NULL);

/* The setup's own files in the install folder and beside each file it writes,
   while an install runs (see the install's transaction): a journal, and each
   file's new bytes and the earlier file set aside, "~T", five hex digits of
   its number and ".part" or ".prev". No payload carries names of these forms,
   so the setup only ever removes files of its own. They are twelve
   characters, which every folder path the 8-bit calls take has room for, and
   not 8.3 names: Wine looks up a new 8.3 name by working out the short name
   of every file in the folder. */
#define SETUP_JOURNAL_NAME  "~T.journal"
#define SETUP_TEMP_NEW      ".part"
#define SETUP_TEMP_OLD      ".prev"
#define SETUP_TEMP_DIGITS   5

/* 1 when name (a bare file name) has one of the setup's own forms, in any case. */
int IsSetupTemporaryName(const char *name);

/* 1 when name can be written as a file straight into a folder: 1 to
   PAYLOAD_PART_MAX bytes, no folder part (\ / :), not ending in a dot or space
   (so neither "." nor ".."), no control character, none of the characters
   Windows refuses in file names (< > " | ? *), no device name (CON, NUL.txt,
   NUL .txt, conin$.dat) and not one of the setup's own (IsSetupTemporaryName). */
int IsBareFileName(const char *name);

/* 1 when name can be written under the install folder: up to
   PAYLOAD_NAME_MAX bytes of folder names and a file name, separated by single
   backslashes, each of them a bare file name. So no leading or trailing
   backslash, no drive, and no part that climbs out ("..") or names a device.
   The check is byte by byte: a 0x5C byte is always a separator, so the payload
   tool keeps it out of double-byte characters. */
int IsPayloadPath(const char *name);

/* 1 when a Windows whose ANSI code page has the lead bytes that isLeadByte
   tells reads name with each backslash and its end where they are. In a
   double-byte code page (932, 936, 949, 950) a lead byte takes the byte after
   it as the second half of one character: just before a backslash it would
   join two folder names into one, and at the end it would be left without its
   second half. A name written in a single-byte code page can do either. */
int KeepsSeparators(const char *name, int (*isLeadByte)(unsigned char));

#endif

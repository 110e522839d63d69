// payload_fuzz.cpp - libFuzzer target: the payload reader on arbitrary bytes
//
// Beyond the sanitizers' checks, every entry the walk returns must lie inside the
// input and re-encode to the very bytes it came from, and CheckPayload must agree.

#include "payload.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// assert() is compiled out in RelWithDebInfo; a finding must abort whatever the build type.
static void Require(bool ok, const char *what)
{
    if (!ok)
    {
        fprintf(stderr, "payload_fuzz: %s\n", what);
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t cbInput)
{
    int whole = CheckPayload(input, cbInput);

    size_t pos = 0;
    PayloadEntry entry;
    PayloadStep step;
    for (;;)
    {
        size_t start = pos;
        step = NextPayloadEntry(input, cbInput, &pos, &entry);
        if (step != PAYLOAD_ENTRY)
        {
            Require(pos == start, "walk moved without returning an entry");
            break;
        }
        const unsigned char *name = (const unsigned char *)entry.name;
        Require(start < cbInput && name == input + start, "entry name is not where the walk stood");
        const unsigned char *zero = (const unsigned char *)memchr(name, 0, cbInput - (size_t)(name - input));
        Require(zero != NULL, "entry name not terminated inside the input");
        Require(IsPayloadPath(entry.name) == 1, "entry name is not a safe relative path");
        Require(strlen(entry.name) <= PAYLOAD_NAME_MAX && !strstr(entry.name, "\\\\") && entry.name[0] != '\\' &&
                    !strstr(entry.name, "..\\") && !strchr(entry.name, ':'),
                "entry name could leave the install folder");

        size_t lengthAt = (size_t)(zero - input) + 1;
        Require(cbInput - lengthAt >= PAYLOAD_LENGTH_BYTES, "length field outside the input");
        const unsigned char *length = input + lengthAt;
        unsigned long cbData = (unsigned long)length[0] | (unsigned long)length[1] << 8 |
                               (unsigned long)length[2] << 16 | (unsigned long)length[3] << 24;
        Require(entry.cbData == cbData, "entry size differs from its length field");
        Require(entry.data == length + PAYLOAD_LENGTH_BYTES, "entry data does not follow its length field");
        size_t dataAt = lengthAt + PAYLOAD_LENGTH_BYTES;
        Require(entry.cbData <= cbInput - dataAt, "entry data runs past the input");
        Require(pos == dataAt + entry.cbData, "walk does not continue after the entry's data");
    }
    if (step == PAYLOAD_END)
        Require(pos < cbInput && input[pos] == 0, "end mark reported where there is none");
    Require(whole == (step == PAYLOAD_END), "CheckPayload disagrees with the walk");
    return 0;
}

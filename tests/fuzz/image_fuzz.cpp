// image_fuzz.cpp - libFuzzer target: the setup image reader and stamping
//
// The reader takes setups from anywhere, so it gets arbitrary bytes. An image it
// accepts is stamped with a small payload in memory, and the result must read
// back with the same resources, the new payload, the resource section on a 4 KB
// boundary and a checksum that matches.

#include "peimage.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

static void Require(bool ok, const char *what)
{
    if (!ok)
    {
        fprintf(stderr, "image_fuzz: %s\n", what);
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t cbInput)
{
    SetupImage image;
    std::string why;
    if (ReadSetupImage(input, cbInput, true, &image, &why) != IMAGE_OK)
        return 0;
    Require(image.payload < image.resources.size(), "accepted without a payload");

    std::vector<unsigned char> payload(cbInput % 300, 0x5A);
    StampLayout layout;
    if (!LayoutStampedImage(input, image, payload.size(), &layout, &why))
        return 0;
    std::vector<unsigned char> out(layout.head);
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), layout.tail.begin(), layout.tail.end());
    ImageChecksum checksum;
    AddToChecksum(&checksum, out.data(), out.size());
    uint32_t sum = FinishChecksum(checksum);
    for (int b = 0; b < 4; b++)
        out[layout.checksumOffset + b] = (unsigned char)(sum >> (8 * b));

    SetupImage stamped;
    Require(ReadSetupImage(out.data(), out.size(), false, &stamped, &why) == IMAGE_OK, why.c_str());
    Require(stamped.resources.size() == image.resources.size(), "resources lost or gained");
    Require(stamped.sections[stamped.rsrc].rawOffset % IMAGE_FILE_PAGE == 0, "resources not on a 4 KB boundary");
    const ImageResource &carried = stamped.resources[stamped.payload];
    Require(carried.cbData == payload.size() &&
            (payload.empty() || memcmp(out.data() + carried.fileOffset, payload.data(), payload.size()) == 0), "payload not carried");
    size_t kept = 0;
    for (const ImageResource &r : image.resources)
    {
        if (r.isPayload)
            continue;
        for (const ImageResource &s : stamped.resources)
            if (!s.isPayload && s.language == r.language && s.cbData == r.cbData &&
                (r.cbData == 0 || memcmp(out.data() + s.fileOffset, input + r.fileOffset, r.cbData) == 0))
            {
                kept++;
                break;
            }
    }
    Require(kept + 1 == image.resources.size(), "a resource changed");

    // Checksum again with the field counted as zero, as Windows does.
    ImageChecksum again;
    static const unsigned char zero[4] = { 0 };
    AddToChecksum(&again, out.data(), layout.checksumOffset);
    AddToChecksum(&again, zero, 4);
    AddToChecksum(&again, out.data() + layout.checksumOffset + 4, out.size() - layout.checksumOffset - 4);
    Require(FinishChecksum(again) == StoredChecksum(out.data(), stamped), "checksum does not match");
    return 0;
}

// peimage.h - reads a built setup.exe and lays it out again with another payload
//
// The setup is a 32-bit Windows image whose resource section carries the
// payload (type "BINARY", id 115, language 2057). Stamping keeps every byte of
// the image but that section and the fields that describe its size: the code,
// the imports and every other resource stay as they are. The resource section
// is rebuilt from the resources it holds, with the payload last, so that the
// payload can be streamed into the file after everything else is known.
//
// Plain C++ over a memory image (the tool maps the file), so it builds, is
// tested and is fuzzed on the build host.

#ifndef PEIMAGE_H
#define PEIMAGE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#define IMAGE_PAYLOAD_TYPE      "BINARY"
#define IMAGE_PAYLOAD_ID        115
#define IMAGE_PAYLOAD_LANGUAGE  2057
#define IMAGE_FILE_PAGE         0x1000  /* the resource section starts on this boundary in the file */
#define IMAGE_FORMS_ID          116     /* type BINARY: the payload forms the setup reads, as words */

/* A resource's type or name: a number, or a string (UTF-16 code units). */
struct ResourceKey
{
    bool isName;
    uint16_t id;
    std::u16string name;
};

/* One resource: type, name, language and where its bytes lie in the image. */
struct ImageResource
{
    ResourceKey type, name;
    uint16_t language;
    uint32_t codePage;
    uint64_t fileOffset;    /* of its data in the image file */
    uint32_t cbData;
    bool isPayload;
};

struct ImageSection
{
    size_t header;          /* file offset of its entry in the section table */
    uint32_t virtualAddress, virtualSize, rawOffset, cbRaw;
    uint32_t characteristics;
};

struct SetupImage
{
    uint64_t cbFile;
    size_t peHeader;                /* offset of "PE\0\0" */
    size_t optionalHeader;
    uint32_t sectionAlignment, fileAlignment, cbHeaders;
    std::vector<ImageSection> sections;
    size_t rsrc;                    /* index of the resource section */
    uint64_t cbFront;               /* headers and the sections before the resource section, in the file */
    std::vector<ImageResource> resources;
    size_t payload;                 /* index into resources */
    uint64_t certificateOffset;     /* Authenticode signature, 0 when there is none */
    uint32_t cbCertificate;
};

enum ImageResult
{
    IMAGE_OK,
    IMAGE_NOT_WINDOWS,      /* not a 32-bit x86 Windows image */
    IMAGE_DAMAGED,          /* headers, sections or resource directory inconsistent */
    IMAGE_UNSUPPORTED,      /* valid, but not laid out as a setup of ours */
    IMAGE_NO_PAYLOAD,
    IMAGE_SIGNED
};

/* Reads the image's headers and resource directory. Never reads outside
   file[0 .. cbFile-1]. why gets one line on what is wrong. With allowSigned an
   Authenticode signature is noted, not refused. */
ImageResult ReadSetupImage(const unsigned char *file, uint64_t cbFile, bool allowSigned,
                           SetupImage *image, std::string *why);

/* The image again with a payload of cbPayload bytes: head is everything before
   the payload's first byte (the checksum field still zero), tail everything
   after its last. The signature, if any, is dropped. Returns false, with why,
   when the result would not fit a 32-bit image. */
struct StampLayout
{
    std::vector<unsigned char> head, tail;
    size_t checksumOffset;      /* in head */
};
bool LayoutStampedImage(const unsigned char *file, const SetupImage &image, uint64_t cbPayload,
                        StampLayout *layout, std::string *why);

/* The optional header's CheckSum as Windows computes it: 16-bit words with
   end-around carry, the checksum field counted as zero, plus the file size. */
struct ImageChecksum
{
    uint64_t sum = 0, cb = 0;
    bool odd = false;           /* a byte is waiting for its high half */
    unsigned char pending = 0;
};
void AddToChecksum(ImageChecksum *checksum, const void *data, size_t cb);
uint32_t FinishChecksum(const ImageChecksum &checksum);

/* 1 when the setup's forms resource (type BINARY, id IMAGE_FORMS_ID, language
   IMAGE_PAYLOAD_LANGUAGE) names form among its space-separated words. Setups
   built before the resource existed read stored payloads only. */
bool ImageReadsForm(const unsigned char *file, const SetupImage &image, const char *form);

/* The stored checksum at file[image.optionalHeader + 64]. */
uint32_t StoredChecksum(const unsigned char *file, const SetupImage &image);

#endif

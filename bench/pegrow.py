#!/usr/bin/env python3
# pegrow.py - a copy of a PE image grown to a given size, to find how large an
# image still loads
#
#   pegrow.py IN OUT MIB [laa|nolaa]
#
# Grows the image's last section by zero bytes (a sparse file: nothing is
# written) so that the file and SizeOfImage reach MIB MiB, and sets or clears
# the large-address-aware flag. The section's data directory keeps its size, so
# the program runs as before: only its address space is taken up like that of
# a setup carrying a payload of that size. The image must have its sections on
# 4 KB boundaries in the file (pealign), as setup.exe has.

import struct
import sys

LARGE_ADDRESS_AWARE = 0x0020


def Main():
    src, dst, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
    laa = sys.argv[4] if len(sys.argv) > 4 else ""
    image = bytearray(open(src, "rb").read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count, optional = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    last = pe + 24 + optional + 40 * (count - 1)
    virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", image, last + 8)
    section_align, file_align = struct.unpack_from("<II", image, pe + 24 + 32)
    if len(image) != raw_offset + raw_size or raw_offset % 4096:
        sys.exit("pegrow: the last section must end the file and start on a 4 KB boundary")
    target = mib << 20
    grow = target - len(image)
    if grow < 0:
        sys.exit("pegrow: the image is larger than that already")
    grow -= grow % max(section_align, file_align)
    struct.pack_into("<I", image, last + 8, raw_size + grow)      # VirtualSize
    struct.pack_into("<I", image, last + 16, raw_size + grow)     # SizeOfRawData
    size_of_image = rva + raw_size + grow
    size_of_image += -size_of_image % section_align
    struct.pack_into("<I", image, pe + 24 + 56, size_of_image)
    characteristics = struct.unpack_from("<H", image, pe + 22)[0]
    if laa == "laa":
        characteristics |= LARGE_ADDRESS_AWARE
    elif laa == "nolaa":
        characteristics &= ~LARGE_ADDRESS_AWARE
    struct.pack_into("<H", image, pe + 22, characteristics)
    struct.pack_into("<I", image, pe + 24 + 64, 0)                # CheckSum: not kept
    with open(dst, "wb") as out:
        out.write(image)
        out.truncate(len(image) + grow)


Main()

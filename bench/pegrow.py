#!/usr/bin/env python3
# pegrow.py - a copy of a PE image grown to a given size, to find how large an
# image still loads
#
#   pegrow.py IN OUT MIB [laa|nolaa]
#
# Adds a section of zero bytes (a sparse file: nothing is written) on a 4 KB
# boundary in the file, so that a loader maps it, making the image MIB MiB in
# the file and in memory; sets or clears the large-address-aware flag. Nothing
# refers to the new section, so the program runs as before: only its address
# space is taken up like that of a setup carrying a payload of that size.

import struct
import sys

LARGE_ADDRESS_AWARE = 0x0020
SECTION_DATA = 0x40000040       # initialised data, readable


def Align(value, to):
    return value + (-value % to)


def Main():
    src, dst, mib = sys.argv[1], sys.argv[2], int(sys.argv[3])
    laa = sys.argv[4] if len(sys.argv) > 4 else ""
    image = bytearray(open(src, "rb").read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count, optional = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional
    sections = [struct.unpack_from("<8sIIII", image, table + 40 * i) for i in range(count)]
    section_align = struct.unpack_from("<I", image, pe + 24 + 32)[0]
    if table + 40 * (count + 1) > min(s[4] for s in sections if s[4]):
        sys.exit("pegrow: no room for another section header")
    offset = Align(len(image), 4096)
    rva = Align(max(s[2] + s[1] for s in sections), section_align)
    grow = (mib << 20) - offset
    grow -= grow % 4096
    if grow <= 0:
        sys.exit("pegrow: the image is that large already")
    struct.pack_into("<8sIIIIIIHHI", image, table + 40 * count, b".probe", grow, rva, grow, offset, 0, 0, 0, 0,
                     SECTION_DATA)
    struct.pack_into("<H", image, pe + 6, count + 1)
    struct.pack_into("<I", image, pe + 24 + 56, Align(rva + grow, section_align))    # SizeOfImage
    characteristics = struct.unpack_from("<H", image, pe + 22)[0]
    if laa == "laa":
        characteristics |= LARGE_ADDRESS_AWARE
    elif laa == "nolaa":
        characteristics &= ~LARGE_ADDRESS_AWARE
    struct.pack_into("<H", image, pe + 22, characteristics)
    struct.pack_into("<I", image, pe + 24 + 64, 0)                                  # CheckSum: not kept
    with open(dst, "wb") as out:
        out.write(image)
        out.truncate(offset + grow)


Main()

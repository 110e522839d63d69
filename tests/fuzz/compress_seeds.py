#!/usr/bin/env python3
# compress_seeds.py OUTDIR - compress_fuzz seeds that the packer never writes:
# well-formed frames (raw blocks) whose header counts agree with a stream that
# ends inside a file, or goes on after its end mark.
import struct, sys, zlib

def compressed(stored, entries, longest):
    frame = struct.pack('<IBI', 0xFD2FB528, 0xA0, len(stored))     # single segment, 4-byte content size
    frame += struct.pack('<I', 1 | len(stored) << 3)[:3] + stored    # one raw block, the last
    rest = struct.pack('<IIQ', entries, longest, len(stored)) + frame
    return b'\x01ZST' + struct.pack('<I', zlib.crc32(rest)) + rest

exe = b'Tandreloop.exe\0' + struct.pack('<I', 100) + bytes(range(100))
seeds = {'cut_short': compressed(exe[:70], 1, 14), 'after_end': compressed(exe + b'\0\0\0\0x', 1, 14)}
for name, data in seeds.items():
    open(f'{sys.argv[1]}/{name}', 'wb').write(data)

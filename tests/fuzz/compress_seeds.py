#!/usr/bin/env python3
# compress_seeds.py OUTDIR - compress_fuzz seeds that the packer never writes:
# well-formed frames (raw blocks) whose header counts agree with a stream that
# ends inside a file, or goes on after its end mark; and the framed form, which
# the packer writes only for products of many megabytes, whole and going on
# after its end mark.
import struct, sys, zlib

def frame(stored):
    head = struct.pack('<IBI', 0xFD2FB528, 0xA0, len(stored))      # single segment, 4-byte content size
    return head + struct.pack('<I', 1 | len(stored) << 3)[:3] + stored  # one raw block, the last

def compressed(stored, entries, longest):
    rest = struct.pack('<IIQ', entries, longest, len(stored)) + frame(stored)
    return b'\x01ZST' + struct.pack('<I', zlib.crc32(rest)) + rest

def framed(stored, entries, longest, cuts):
    ends = cuts + [len(stored)]
    parts = [stored[a:b] for a, b in zip([0] + cuts, ends)]
    frames = [frame(p) for p in parts]
    rest = struct.pack('<IIQI', entries, longest, len(stored), len(frames)) + b''.join(frames)
    rest += b''.join(struct.pack('<II', len(f), len(p)) for f, p in zip(frames, parts))
    return b'\x02ZST' + struct.pack('<I', zlib.crc32(rest)) + rest

exe = b'Tandreloop.exe\0' + struct.pack('<I', 100) + bytes(range(100))
seeds = {'cut_short': compressed(exe[:70], 1, 14), 'after_end': compressed(exe + b'\0\0\0\0x', 1, 14),
         'framed': framed(exe + b'\0\0\0\0', 1, 14, [9, 60]), 'framed_after_end': framed(exe + b'\0\0\0\0x', 1, 14, [119])}
for name, data in seeds.items():
    open(f'{sys.argv[1]}/{name}', 'wb').write(data)

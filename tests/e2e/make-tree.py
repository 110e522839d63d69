#!/usr/bin/python3
# make-tree.py PRODUCT OUT - a product tree for the install scenarios: the
# sample product's three files on top, a read-me and an empty file beside
# them, and 195 more files three folders deep, with spaces in the names and
# one file larger than the setup's 1 MiB write piece. Contents are fixed, so
# every run builds the same tree.
import os
import random
import shutil
import sys

product, out = sys.argv[1], sys.argv[2]
shutil.rmtree(out, ignore_errors=True)
os.makedirs(out)
for name in ("TandreCore.dll", "TandreDraw.dll", "Tandreloop.exe"):
    shutil.copyfile(os.path.join(product, name), os.path.join(out, name))
with open(os.path.join(out, "Read Me.txt"), "wb") as f:
    f.write(b"Read me first\r\n")
open(os.path.join(out, "empty.dat"), "wb").close()

rng = random.Random(1)
for f in range(1, 6):
    for sub in ("de DE", "en GB", "fr"):
        folder = os.path.join(out, f"Plug Ins {f}", sub)
        os.makedirs(os.path.join(folder, "deep one"))
        for n in range(13):
            where = folder if n < 6 else os.path.join(folder, "deep one")
            size = 1536 * 1024 if (f, sub, n) == (3, "en GB", 12) else rng.randrange(0, 5000)
            with open(os.path.join(where, f"file {n:02}.dat"), "wb") as data:
                data.write(rng.randbytes(size))

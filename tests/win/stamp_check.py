#!/usr/bin/python3
# stamp_check.py PAYLOADTOOL BUILD - checks the stamped setup.exe of a build tree
# against the image the linker wrote, with a PE reader of its own (pefile) and
# objdump rather than the code that wrote it:
#   - the checksum is Windows's and the headers raise no warnings; the image is
#     large-address-aware;
#   - code, data, imports and relocations are byte for byte the linker's, and so
#     is every resource but the payload;
#   - the resource section starts on a 4 KB boundary in the file;
#   - stamping is repeatable: the same files give the same bytes, whatever the
#     setup carried before;
#   - a Windows image without a payload resource is refused.
import os
import subprocess
import sys
import tempfile

import pefile

tool, build = sys.argv[1], sys.argv[2]
setup, linked = f"{build}/setup.exe", f"{build}/setup-linked.exe"
product = [f"{build}/product/{name}" for name in ("TandreCore.dll", "TandreDraw.dll", "Tandreloop.exe")]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


def resources(pe):
    found = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                key = (str(t.name) if t.name else t.id, str(n.name) if n.name else n.id, lang.id)
                entry = lang.data.struct
                found[key] = pe.get_data(entry.OffsetToData, entry.Size)
    return found


def run(*args):
    return subprocess.run([tool, *args], capture_output=True, text=True)


stamped, original = pefile.PE(setup), pefile.PE(linked)
check(stamped.verify_checksum() and stamped.OPTIONAL_HEADER.CheckSum != 0, "checksum is Windows's")
check(not stamped.get_warnings(), f"pefile warnings: {stamped.get_warnings()}")
for ours, theirs in zip(stamped.sections, original.sections):
    name = ours.Name.rstrip(b"\0").decode()
    if name == ".rsrc":
        check(ours.PointerToRawData % 4096 == 0, "resource section on a 4 KB file boundary")
        continue
    check(ours.get_data() == theirs.get_data(), f"section {name} unchanged")
for field in ("AddressOfEntryPoint", "ImageBase", "Subsystem", "DllCharacteristics", "SizeOfCode",
              "SizeOfInitializedData", "SizeOfUninitializedData"):
    check(getattr(stamped.OPTIONAL_HEADER, field) == getattr(original.OPTIONAL_HEADER, field), f"{field} kept")
check(stamped.FILE_HEADER.Characteristics == original.FILE_HEADER.Characteristics, "characteristics kept")
check(stamped.FILE_HEADER.Characteristics & 0x20, "large-address-aware: 4 GB of address space on 64-bit Windows")
ours, theirs = resources(stamped), resources(original)
check(ours.keys() == theirs.keys(), "the same resources")
for key in theirs:
    if key != ("BINARY", 115, 2057):
        check(ours.get(key) == theirs[key], f"resource {key} byte for byte")
with open(f"{build}/resources/payload.bin", "rb") as f:
    check(ours.get(("BINARY", 115, 2057)) == f.read(), "payload is the packed sample")
dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", setup], capture_output=True, text=True)
check(dump.returncode == 0 and dump.stdout.count("Leaf:") == 10, "objdump reads all ten resources")

with tempfile.TemporaryDirectory() as tmp:
    again, other = f"{tmp}/again.exe", f"{tmp}/other.exe"
    check(run("stamp", setup, "-o", again, *product).returncode == 0, "stamp the built setup again")
    check(open(again, "rb").read() == open(setup, "rb").read(), "stamping the files a setup carries changes nothing")
    check(run("stamp", linked, "-o", other, "--allow-no-exe", product[0]).returncode == 0, "stamp other files")
    check(run("stamp", other, "-o", other, *product).returncode == 0, "stamp in place")
    check(open(other, "rb").read() == open(setup, "rb").read(), "result depends only on the setup and the files")
    refused = run("stamp", product[2], "-o", f"{tmp}/no.exe", *product)
    check(refused.returncode == 1 and "no payload resource" in refused.stderr and not os.path.exists(f"{tmp}/no.exe"),
          f"an image without a payload is refused: {refused.stderr.strip()}")

print("stamp check", "FAILED" if failures else "passed")
sys.exit(1 if failures else 0)

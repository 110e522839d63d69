#!/usr/bin/env bash
# as-started.sh SOURCE BUILD - the setup installs the bytes of the file that was
# started. Run from a folder named outside the ANSI code page (Cyrillic, where
# Wine's code page is 1252), with its file renamed while it runs and another
# setup put at its path before Install, it installs its own product byte for
# byte. The other setup differs in one byte of a carried file's data only.
set -eu
source=$1 build=$2
tree="$build/as-started" && folder="$tree/Загрузки"
rm -rf "$tree" && mkdir -p "$folder" && trap 'rm -rf "$tree"' EXIT
cp "$build/setup.exe" "$folder/setup.exe"
python3 - "$build/setup.exe" "$tree/other.exe" "$build/product/TandreDraw.dll" <<'PY'
import os, struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
entry = b"TandreDraw.dll\0" + struct.pack("<I", os.path.getsize(sys.argv[3]))
at = data.find(entry)
assert at > 0 and data.find(entry, at + 1) < 0, "the entry's place in the payload"
data[at + len(entry) + 200] ^= 0xFF
open(sys.argv[2], "wb").write(data)
PY
exec "$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" install "setup=$folder/setup.exe" \
    "swap=$tree/other.exe" "product=$build/product" "payload.bin=$build/resources/payload.bin"

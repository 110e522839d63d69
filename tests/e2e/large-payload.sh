#!/usr/bin/env bash
# large-payload.sh MEGABYTES SOURCE BUILD - stamps a copy of the built setup.exe
# with a payload of that size (the sample product with its executable grown by
# random data, which the loader ignores) and installs it byte for byte under
# Wine. Exits 77 (skipped) where the setup cannot load at that size or the
# disk has no room for it, saying why.
set -eu
megabytes=$1 source=$2 build=$3
tree="$build/large-$megabytes"
files="$tree/files"

# Where 32-bit x86 code runs under qemu, a 32-bit process has little address
# space next to its image: these sizes do not load (bench/README.md).
. "$source/scripts/machine-kind.sh"
if [ "$megabytes" -gt 64 ] && [ $emulated = 1 ]; then
    echo "SKIPPED: 32-bit programs run under qemu-i386 on this machine, which cannot load a $megabytes MiB setup"
    exit 77
fi
# The product, the stamped setup and the installed copy, with a margin.
need=$(( megabytes * 4 + 256 ))
free=$(df -Pm "$build" | awk 'NR == 2 { print $4 }')
if [ "$free" -lt "$need" ]; then
    echo "SKIPPED: $free MiB free on $build, a $megabytes MiB setup needs $need MiB"
    exit 77
fi

rm -rf "$tree" && mkdir -p "$files"
trap 'rm -rf "$tree"' EXIT
cp "$build/product/TandreCore.dll" "$build/product/TandreDraw.dll" "$files/"
exe="$build/product/Tandreloop.exe"
grow=$(( megabytes * 1024 * 1024 - $(stat -c %s "$exe") ))
{ cat "$exe"; head -c "$grow" /dev/urandom; } >"$files/Tandreloop.exe"

start=$(date +%s%N)
"$build/hosttools/payloadtool" stamp "$build/setup.exe" -o "$tree/setup.exe" "$files"
echo "setup.exe carrying $megabytes MiB: $(stat -c %s "$tree/setup.exe") bytes, stamped in $(( ($(date +%s%N) - start) / 1000000 )) ms"

# The driver reads the entries' names from a payload file: one with the same
# entries, their data left as holes (nothing written).
python3 - "$tree/payload.bin" "$files/TandreCore.dll" "$files/TandreDraw.dll" "$files/Tandreloop.exe" <<'PY'
import os, struct, sys
with open(sys.argv[1], "wb") as out:
    for path in sys.argv[2:]:
        size = os.path.getsize(path)
        out.write(os.path.basename(path).encode() + b"\0" + struct.pack("<I", size))
        out.seek(size, os.SEEK_CUR)
    out.write(b"\0" * 4)
PY

status=0
start=$(date +%s%N)
"$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" install "setup=$tree/setup.exe" \
    "product=$files" "payload.bin=$tree/payload.bin" || status=$?
echo "install scenario, checks included: $(( ($(date +%s%N) - start) / 1000000 )) ms"
eval "$("$source/scripts/wine-run.sh" --env "$build")"
rm -rf "$WINEPREFIX/drive_c/Tandreloop"
exit $status

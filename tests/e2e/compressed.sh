#!/usr/bin/env bash
# compressed.sh SOURCE BUILD [twice | older] - a product tree stamped with
# --compress in frames of 1 MiB (--frame-mib=1: about eight, decoded on both
# threads) installs byte for byte under Wine (files in three levels of
# folders, an empty one, data that compresses and data that does not, more
# than one decoded piece, files across frames); the same setup with one byte
# of its download changed shows the damage and writes no file; and a payload
# whose last frame is damaged under a CRC-32 made to match, which the setup
# finds only after the files of the frames before are written, shows the
# damage with an earlier release left as it was and nothing beside it. With twice, the tree of the
# install scenarios is installed twice over instead, compressed; that one runs
# only where 32-bit code runs natively (see the message below). With older, a
# product large enough to be packed in frames is given to the setup from
# before frames (legacy-setup.sh frames), which must refuse it.
set -eu
source=$1 build=$2 mode=${3:-}
if [ "$mode" = older ]; then
    tree="$build/compressed-older" && rm -rf "$tree" && mkdir -p "$tree/product" && trap 'rm -rf "$tree"' EXIT
    cp "$build/product/Tandreloop.exe" "$tree/product/"
    yes 'Tandreloop sample data' | head -c $((100 << 20)) >"$tree/product/samples.txt"
    "$build/hosttools/payloadtool" pack --compress=1 -o "$tree/payload.bin" "$tree/product"
    "$build/hosttools/payloadtool" verify "$tree/payload.bin" | grep -q ' frames, ' || { echo "FAILED: not in frames"; exit 1; }
    status=0
    bash "$source/tests/e2e/legacy-setup.sh" run frames "$source" "$build" "$tree/payload.bin" || status=$?
    exit $status
fi
if [ "$mode" = twice ]; then
    . "$source/scripts/machine-kind.sh"
    if [ $emulated = 1 ]; then
        echo "SKIPPED: 32-bit programs run under qemu-i386 on this machine, where a setup with a second thread"
        echo "  is often killed by a fault inside Wine's signal handler (no TEB) when installing over a tree"
        exit 77
    fi
    tree="$build/compressed-twice" && rm -rf "$tree" && mkdir -p "$tree" && trap 'rm -rf "$tree"' EXIT
    "$build/hosttools/payloadtool" pack --compress -o "$tree/payload.bin" "$build/tests/e2e/tree"
    exec "$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" install "setup=$build/setup.exe" \
        "product=$build/tests/e2e/tree" "payload.bin=$build/tests/e2e/payload-tree.bin" \
        "payload=$tree/payload.bin" twice=1
fi
tool="$build/hosttools/payloadtool" tree="$build/compressed" && product="$tree/product"
rm -rf "$tree" && mkdir -p "$product/Plug Ins/de DE/help" && trap 'rm -rf "$tree"' EXIT
cp "$build/product/TandreCore.dll" "$build/product/TandreDraw.dll" "$build/product/Tandreloop.exe" "$product/"
printf 'Hilfe\r\n' >"$product/Plug Ins/de DE/help/index.txt"
: >"$product/Plug Ins/empty.dat"
python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(1).randbytes(3000000))' \
    >"$product/Plug Ins/de DE/noise.bin"
yes 'Tandreloop sample data' | head -c 5000000 >"$product/Plug Ins/samples.txt"
"$tool" stamp "$build/setup.exe" -o "$tree/setup.exe" --compress --frame-mib=1 "$product"
"$tool" verify "$tree/setup.exe" | grep -Eq ', zstd: .* in [4-9] frames' || { echo "FAILED: not stamped in frames"; exit 1; }
"$tool" pack -o "$tree/payload.bin" "$product"     # the names and sizes the driver checks

eval "$("$source/scripts/wine-run.sh" --env "$build")"
status=0
"$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" install "setup=$tree/setup.exe" \
    "product=$product" "payload.bin=$tree/payload.bin" files=7 || status=$?

# One byte changed in the middle of the compressed payload (the last resource).
python3 - "$tree/setup.exe" "$tree/damaged.exe" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
mark = data.rfind(b"\x02ZST")
data[mark + (len(data) - mark) // 2] ^= 0x01
open(sys.argv[2], "wb").write(data)
PY
"$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" failure "setup=$tree/damaged.exe" \
    "product=$product" "payload.bin=$tree/payload.bin" nofiles=1 \
    "expect=Setup Data is Damaged\\nthe setup program itself" || status=$?
written=$(find "$WINEPREFIX/drive_c/Tandreloop" -type f 2>/dev/null | wc -l)
[ "$written" = 0 ] || { echo "FAILED: the damaged setup wrote $written files"; status=1; }
rm -rf "$WINEPREFIX/drive_c/Tandreloop"

# The last frame's first block given a reserved type, and the CRC-32 made
# again over the changed bytes: whole to the check, damaged to the decoder.
"$tool" pack --compress --frame-mib=1 -o "$tree/framed.bin" "$product"
python3 - "$tree/framed.bin" "$tree/late-damage.bin" <<'PY'
import struct, sys, zlib
data = bytearray(open(sys.argv[1], "rb").read())
assert data[:4] == b"\x02ZST"
count = struct.unpack_from("<I", data, 24)[0]
rows = [struct.unpack_from("<II", data, len(data) - 8 * (count - k)) for k in range(count)]
frame = 28 + sum(packed for packed, _ in rows[:-1])
fhd = data[frame + 4]
head = 4 + 1 + (0 if fhd & 0x20 else 1) + (0, 1, 2, 4)[fhd & 3] + \
       ((1 if fhd & 0x20 else 0), 2, 4, 8)[fhd >> 6]
data[frame + head] |= 0x06                  # block type 3: reserved
struct.pack_into("<I", data, 4, zlib.crc32(bytes(data[8:])))
open(sys.argv[2], "wb").write(data)
PY
"$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" failure "setup=$build/setup.exe" \
    "payload=$tree/late-damage.bin" "product=$product" "earlier=$build/product" \
    "expect=Setup Data is Damaged\\nthe setup program itself" || status=$?
rm -rf "$WINEPREFIX/drive_c/Tandreloop"
exit $status

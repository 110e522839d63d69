#!/usr/bin/env bash
# large-payload.sh MEGABYTES SOURCE BUILD - builds a setup that carries a payload
# of that size (the sample product with its executable grown by random data,
# which the loader ignores) and installs it byte for byte under Wine.
set -eu
megabytes=$1 source=$2 build=$3
tree="$build/large-$megabytes"
files="$tree-files"
rm -rf "$files" && mkdir -p "$files"
cp "$build/product/TandreCore.dll" "$build/product/TandreDraw.dll" "$files/"
exe="$build/product/Tandreloop.exe"
grow=$(( megabytes * 1024 * 1024 - $(stat -c %s "$exe") ))
{ cat "$exe"; head -c "$grow" /dev/urandom; } >"$files/Tandreloop.exe"

cmake -S "$source" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/i686-w64-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel -DSETUP_PAYLOAD="$files" >"$tree.log" 2>&1 &&
cmake --build "$tree" --target setup -j"$(nproc)" >>"$tree.log" 2>&1 || { tail -30 "$tree.log"; exit 1; }
echo "setup.exe carrying $megabytes MB: $(stat -c %s "$tree/setup.exe") bytes"

status=0
"$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" install "setup=$tree/setup.exe" \
    "product=$files" "payload.bin=$tree/resources/payload.bin" || status=$?
rm -rf "$files" "$tree" "$tree.log"
eval "$("$source/scripts/wine-run.sh" --env "$build")"
rm -rf "$WINEPREFIX/drive_c/Tandreloop"
exit $status

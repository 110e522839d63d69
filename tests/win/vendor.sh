#!/usr/bin/env bash
# vendor.sh SOURCE BUILD - runs the README's commands for vendors with a product
# folder of its own: the payload tool built with the native preset alone, then
# stamp, list and verify; and the CMake option in a tree of its own. Each must
# give a setup that carries that folder's files, executable last.
set -eu
source=$1 build=$2
work="$build/vendor"
rm -rf "$work" && mkdir -p "$work/my-product"
cp "$build/product/TandreCore.dll" "$build/product/TandreDraw.dll" "$build/product/Tandreloop.exe" "$work/my-product/"
printf 'Read me first\r\n' >"$work/my-product/Readme.txt"
printf 'MZ zlib' >"$work/my-product/zlib.dll"     # sorts after the executable
expected=$(printf 'Readme.txt\t15\nTandreCore.dll\t%s\nTandreDraw.dll\t%s\nzlib.dll\t7\nTandreloop.exe\t%s' \
    "$(stat -c %s "$work/my-product/TandreCore.dll")" "$(stat -c %s "$work/my-product/TandreDraw.dll")" \
    "$(stat -c %s "$work/my-product/Tandreloop.exe")")
cp "$build/setup.exe" "$work/setup.exe"

check_carries() {
    local listed
    listed=$("$tool" list "$1" | head -n 5)
    [ "$listed" = "$expected" ] || { printf 'FAILED: %s carries\n%s\n' "$1" "$listed"; exit 1; }
}

# Without the toolchain: g++ and CMake build the payload tool.
cd "$source"
cmake --preset native >"$work/native.log"
cmake --build --preset native --target payloadtool >>"$work/native.log"
tool="$source/build/native/tools/payloadtool"
cd "$work"
"$tool" stamp setup.exe -o MySetup.exe my-product/
"$tool" list MySetup.exe
"$tool" verify MySetup.exe
check_carries MySetup.exe

# With the toolchain: the CMake option, in a tree of its own.
cd "$source"
cmake --preset mingw -B "$work/tree" -DSETUP_PAYLOAD="$work/my-product" >"$work/tree.log"
cmake --build "$work/tree" --target setup -j"$(nproc)" >>"$work/tree.log"
check_carries "$work/tree/setup.exe"
cmp "$work/tree/setup.exe" "$work/MySetup.exe"
echo "both ways give the same setup.exe"
rm -rf "$work"

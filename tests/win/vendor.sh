#!/usr/bin/env bash
# vendor.sh SOURCE BUILD - runs the README's commands for vendors with a product
# folder of its own: the payload tool built with the native preset alone, then
# stamp, list and verify; and the CMake option in a tree of its own. Each must
# give a setup that carries that folder's tree in the walk's order, executable
# last, and the build must stamp again when a file deep in it changes.
set -eu
source=$1 build=$2
work="$build/vendor"
rm -rf "$work" && mkdir -p "$work/my-product/plugins/Filter One" "$work/my-product/plugins/de/help"
cp "$build/product/TandreCore.dll" "$build/product/TandreDraw.dll" "$build/product/Tandreloop.exe" "$work/my-product/"
cd "$work/my-product"
printf 'Read me first\r\n' >Readme.txt
printf 'MZ zlib' >zlib.dll          # sorts after the executable
# The walk's order: each folder's files, then its subfolders, by the bytes of their names; the executable last.
files=(Readme.txt TandreCore.dll TandreDraw.dll zlib.dll plugins/empty.dat "plugins/Filter One/filter.dll"
       "plugins/de/Read me.txt" plugins/de/help/index.txt Tandreloop.exe)
for file in "${files[@]:5:3}"; do printf '%s\r\n' "$file" >"$file"; done
: >plugins/empty.dat
listing() { for file in "${files[@]}"; do printf '%s\t%s\n' "${file//\//\\}" "$(stat -c %s "$work/my-product/$file")"; done; }
expected=$(listing)
cp "$build/setup.exe" "$work/setup.exe"

check_carries() {
    local listed
    listed=$("$tool" list "$1" | head -n -1)
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
# A file changed three folders down is stamped again.
printf 'second edition\r\n' >>"$work/my-product/plugins/de/help/index.txt"
expected=$(listing)
cmake --build "$work/tree" --target setup -j"$(nproc)" >>"$work/tree.log"
check_carries "$work/tree/setup.exe"
echo "a change deep in the folder stamps again"
rm -rf "$work"

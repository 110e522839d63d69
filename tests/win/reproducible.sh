#!/usr/bin/env bash
# reproducible.sh SOURCE BUILD - builds setup.exe again from scratch in another
# folder and compares it byte for byte with BUILD's: no time stamp, build path
# or other accident of the build may end up in the shipped file.
set -eu
source=$1 build=$2
again="$build/reproduced"
rm -rf "$again"
cmake -S "$source" -B "$again" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/i686-w64-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel >"$again.log" 2>&1 || { cat "$again.log"; exit 1; }
cmake --build "$again" --target setup -j"$(nproc)" >>"$again.log" 2>&1 || { tail -30 "$again.log"; exit 1; }
if cmp "$build/setup.exe" "$again/setup.exe"; then
    echo "setup.exe is the same byte for byte ($(stat -c %s "$again/setup.exe") bytes)"
    rm -rf "$again" "$again.log"
else
    echo "setup.exe differs between two builds of the same source"
    exit 1
fi

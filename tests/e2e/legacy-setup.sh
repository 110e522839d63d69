#!/usr/bin/env bash
# legacy-setup.sh build SOURCE BUILD
# legacy-setup.sh run SOURCE BUILD PAYLOAD
# A setup built before entry names could carry folders, given a payload that
# has them, must refuse it before writing anything. "build" builds that setup
# from the last commit without folders (from git, into BUILD/legacy); "run"
# runs it with PAYLOAD in place of its own. Where the checkout has no history
# to build it from, "run" exits 77 (skipped), saying why.
set -eu
mode=$1 source=$2 build=$3
commit=6a7d6afcba0a3db59c4a994cb25f034e2484d719     # the unpacker before folders
work="$build/legacy"

if ! git -C "$source" cat-file -e "$commit^{commit}" 2>/dev/null; then
    echo "SKIPPED: $source has no git history with $commit to build the earlier setup from"
    [ "$mode" = build ] && exit 0
    exit 77
fi
if [ "$mode" = build ]; then
    [ -f "$work/build/setup-linked.exe" ] && exit 0
    rm -rf "$work" && mkdir -p "$work/src"
    git -C "$source" archive "$commit" | tar -x -C "$work/src"
    cmake -S "$work/src" -B "$work/build" --preset mingw >"$work/build.log" 2>&1 &&
        cmake --build "$work/build" --target setupimage -j"$(nproc)" >>"$work/build.log" 2>&1 ||
        { tail -20 "$work/build.log"; exit 1; }
    exit 0
fi
exec "$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" failure "setup=$work/build/setup-linked.exe" \
    "product=$build/product" "payload.bin=$4" "payload=$4" nofiles=1 \
    "expect=Setup Data is Damaged
the setup program itself"

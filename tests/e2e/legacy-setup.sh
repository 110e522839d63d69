#!/usr/bin/env bash
# legacy-setup.sh build WHICH SOURCE BUILD
# legacy-setup.sh run WHICH SOURCE BUILD PAYLOAD
# A setup built before a form of payload existed, given a payload of that
# form, must refuse it before writing anything. WHICH names the setup:
#   folders  the last commit before entry names could carry folders
#   frames   the last commit before compressed payloads could come in frames
# "build" builds that setup from git (into BUILD/legacy-WHICH); "run" runs it
# with PAYLOAD in place of its own. Where the checkout has no history to build
# it from, "run" exits 77 (skipped), saying why.
set -eu
mode=$1 which=$2 source=$3 build=$4
case $which in
    folders) commit=6a7d6afcba0a3db59c4a994cb25f034e2484d719 ;;    # the unpacker before folders
    frames) commit=86031f2a1c7016a5f795fe2266be5df41af7b815 ;;     # the decoder before frames
    *) echo "legacy-setup: no setup called $which"; exit 2 ;;
esac
work="$build/legacy-$which"

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
    "product=$build/product" "payload.bin=$5" "payload=$5" nofiles=1 \
    "expect=Setup Data is Damaged
the setup program itself"

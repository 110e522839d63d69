#!/usr/bin/env bash
# test.sh - builds everything and runs every test: the host's unit tests, the
# payload reader's fuzzer, and setup.exe with its tests under Wine on a virtual
# display. Installs what it needs first (scripts/prepare.sh). CI runs this.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/prepare.sh || exit 1
jobs=$(nproc)
mkdir -p build
failed=()

# Wine's prefix and display are started by the mingw tests' fixture and ended
# by it; this also ends them when the run is interrupted.
trap 'scripts/wine-run.sh --stop build/mingw >/dev/null 2>&1' EXIT

for preset in native fuzz mingw; do
    echo "== $preset"
    if ! { cmake --preset "$preset" >build/$preset.log 2>&1 || { cat build/$preset.log; false; }; } ||
       ! cmake --build --preset "$preset" -j"$jobs" >>build/$preset.log 2>&1; then
        tail -50 build/$preset.log
        failed+=("$preset build")
        continue
    fi
    ctest --preset "$preset" -j"$jobs" || failed+=("$preset tests")
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all builds and tests passed"

#!/usr/bin/env bash
# run.sh - builds setup.exe and runs it under Wine. Installs what it needs first.
#
# With a display ($DISPLAY answers), the setup starts there for you to use.
# Without one, it runs on a virtual display and does the whole job once (tick
# the agreement box, Install, OK): it saves screenshots of each stage as PNG,
# says where they are and lists what was installed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/prepare.sh
build=build/mingw
log=build/run.log
mkdir -p build
cmake --preset mingw >"$log" 2>&1 || { cat "$log"; exit 1; }
cmake --build --preset mingw -j"$(nproc)" >>"$log" 2>&1 || { tail -40 "$log"; exit 1; }

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "Starting $build/setup.exe on $DISPLAY"
    SETUP_USE_DISPLAY=1 exec scripts/wine-run.sh "$build/setup.exe"
fi

echo "No display: running the setup on a virtual display"
trap 'scripts/wine-run.sh --stop "$build" >/dev/null 2>&1' EXIT
scripts/wine-run.sh --start "$build"
shots="$PWD/$build/screenshots"
mkdir -p "$shots"
rm -f "$shots"/[1-4]-*.bmp "$shots"/[1-4]-*.png
scripts/wine-run.sh "$build/tests/e2e/driver.exe" demo "setup=$PWD/$build/setup.exe" "shots=$shots"
for bmp in "$shots"/[1-4]-*.bmp; do
    convert "$bmp" -trim +repage "${bmp%.bmp}.png" && rm "$bmp"
done

eval "$(scripts/wine-run.sh --env "$build")"
echo
echo "Screenshots (window, during the install, success box, the started product):"
ls -1 "$shots"/[1-4]-*.png
echo
echo "Installed in C:\\Tandreloop\\ ($WINEPREFIX/drive_c/Tandreloop):"
ls -l "$WINEPREFIX/drive_c/Tandreloop"
echo
echo "On the desktop:"
ls -lL "$WINEPREFIX"/drive_c/users/*/Desktop/*.lnk

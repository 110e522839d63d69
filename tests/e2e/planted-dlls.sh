#!/usr/bin/env bash
# planted-dlls.sh SOURCE BUILD - DLLs lying next to setup.exe, named like the
# DLLs it loads from its first instruction on (start-up, Browse, Install), do
# not run inside it, with Wine told to prefer such files to its own DLLs as
# Windows does for any DLL that is not a Known DLL; comctl32 is still version 6.
set -eu
source=$1 build=$2
dir="$build/planted"
rm -rf "$dir" && mkdir -p "$dir" && trap 'rm -rf "$dir"' EXIT
# Seen in a WINEDEBUG=+loaddll trace of start-up, Browse and Install. Left out,
# as they load before the setup's first instruction: kernel32, user32, gdi32,
# msvcrt and what Wine's builds of them import (kernelbase, ucrtbase, sechost,
# advapi32, zlib1, version, win32u, imm32); and winex11.drv, Wine's display
# driver, which Windows does not have.
names="comctl32 ole32 shell32 rpcrt4 combase shcore shlwapi uxtheme msimg32"
cp "$build/setup.exe" "$dir/"
for name in $names control; do cp "$build/tests/e2e/marker.dll" "$dir/$name.dll"; done

eval "$("$source/scripts/wine-run.sh" --env "$build")"
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;${names// /,}=n,b" WINEDEBUG=+pid,+loaddll
status=0
wine "$build/tests/e2e/driver.exe" install "setup=$dir/setup.exe" "product=$build/product" \
    "payload.bin=$build/resources/payload.bin" browse=cancel >"$dir/run.log" 2>&1 </dev/null || status=$?
grep -v ':trace:\|:fixme:\|:err:\|:warn:' "$dir/run.log" || true

# The trace names every DLL loaded, with its path: none may come from $dir
# (a copy standing in for a static import fails before its DllMain runs).
loads=$(grep ':trace:loaddll:' "$dir/run.log")
planted=$(grep -F '\\planted\\' <<<"$loads" | grep -vF '\\planted\\setup.exe"' || true)
[ -z "$planted" ] || { printf 'FAILED: loaded from the setup'"'"'s folder:\n%s\n' "$planted"; status=1; }
ran=$(cd "$dir" && ls -- *.ran 2>/dev/null || true)
[ -z "$ran" ] || { printf 'FAILED: ran inside the setup: %s\n' "$ran"; status=1; }
pid=$(grep -F '\\planted\\setup.exe"' <<<"$loads" | head -n 1 | cut -d: -f1)
grep "^$pid:" <<<"$loads" | grep -qi 'winsxs\\\\x86_microsoft.windows.common-controls_[^\\]*_6\.[^\\]*\\\\comctl32.dll' ||
    { echo "FAILED: the setup did not load comctl32 version 6"; status=1; }

# The same DLL loaded by its path does leave its marker, so no marker above
# means that nothing ran.
WINEDEBUG=-all wine regsvr32 /s "Z:${dir//\//\\}\\control.dll" >/dev/null 2>&1 </dev/null || true
[ -f "$dir/control.dll.ran" ] || { echo "FAILED: the marker DLL leaves no marker"; status=1; }

exit $status

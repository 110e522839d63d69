#!/usr/bin/env bash
# codepage-names.sh SOURCE BUILD - the sample product with "Über Notes.txt", stamped
# with --codepage 1252, installs under Wine (ANSI code page 1252) with that name,
# seen from Windows and from the Unix side alike.
set -eu
source=$1 build=$2
tool="$build/hosttools/payloadtool" tree="$build/codepage-names" && product="$tree/product"
rm -rf "$tree" && mkdir -p "$product" && trap 'rm -rf "$tree"' EXIT
cp "$build/product/TandreCore.dll" "$build/product/TandreDraw.dll" "$build/product/Tandreloop.exe" "$product/"
printf 'Notizen\r\n' >"$product/Über Notes.txt"
"$tool" stamp "$build/setup.exe" -o "$tree/setup.exe" --codepage 1252 "$product"
"$tool" verify --codepage 1252 "$tree/setup.exe"
"$tool" pack --codepage 1252 -o "$tree/payload.bin" "$product"     # the names the driver checks

eval "$("$source/scripts/wine-run.sh" --env "$build")"
installed="$WINEPREFIX/drive_c/Tandreloop" status=0
"$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" install "setup=$tree/setup.exe" \
    "product=$product" "payload.bin=$tree/payload.bin" files=4 acp=1252 || status=$?
# The driver compared the files byte for byte through their Windows names.
if [ "$status" = 0 ] && [ "$(ls "$installed")" != "$(ls "$product")" ]; then
    printf 'FAILED: installed as\n%s\n' "$(ls "$installed")" && status=1
fi
rm -rf "$installed"
exit $status

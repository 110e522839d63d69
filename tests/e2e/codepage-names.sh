#!/usr/bin/env bash
# codepage-names.sh SOURCE BUILD - a product file named outside ASCII. The
# sample product with "Über Notes.txt" and "日本.txt": without --codepage the
# stamp is refused with one line that names the option; with --codepage 1252
# the Japanese name (which 1252 lacks) is refused with one line; without it
# the setup installs "Über Notes.txt" under Wine, whose ANSI code page here is
# 1252, under that very name (Wine keeps names in UTF-8 on the Unix side).
set -eu
source=$1 build=$2
tool="$build/hosttools/payloadtool"
tree="$build/codepage-names"
product="$tree/product"
rm -rf "$tree" && mkdir -p "$product"
trap 'rm -rf "$tree"' EXIT
cp "$build/product/TandreCore.dll" "$build/product/TandreDraw.dll" "$build/product/Tandreloop.exe" "$product/"
printf 'Notizen\r\n' >"$product/Über Notes.txt"
printf 'Nihon\r\n' >"$product/日本.txt"

# refused TEXT ARGS...: the tool fails with one line that holds TEXT, and writes nothing.
refused() {
    local text=$1
    shift
    if "$tool" "$@" 2>"$tree/err"; then echo "FAILED: accepted: $*"; exit 1; fi
    if [ "$(wc -l <"$tree/err")" != 1 ] || ! grep -qF -- "$text" "$tree/err" || [ -e "$tree/setup.exe" ]; then
        echo "FAILED: $* did not give one line with '$text':"; cat "$tree/err"; exit 1
    fi
    echo "refused as it should be: $(cat "$tree/err")"
}
refused "--codepage N" stamp "$build/setup.exe" -o "$tree/setup.exe" "$product"
refused "日本.txt: code page 1252 has no character '日'" \
    stamp "$build/setup.exe" -o "$tree/setup.exe" --codepage 1252 "$product"

rm "$product/日本.txt"
"$tool" stamp "$build/setup.exe" -o "$tree/setup.exe" --codepage 1252 "$product"
"$tool" verify --codepage 1252 "$tree/setup.exe"
listed=$("$tool" list --codepage 1252 "$tree/setup.exe" | grep Notes)
[ "$listed" = "$(printf 'Über Notes.txt\t9')" ] || { echo "FAILED: list shows '$listed'"; exit 1; }
# The driver reads the names to check from a payload file, in the same code page.
"$tool" pack --codepage 1252 -o "$tree/payload.bin" "$product"

eval "$("$source/scripts/wine-run.sh" --env "$build")"
installed="$WINEPREFIX/drive_c/Tandreloop"
status=0
"$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" install "setup=$tree/setup.exe" \
    "product=$product" "payload.bin=$tree/payload.bin" files=4 acp=1252 || status=$?
if [ "$status" = 0 ]; then
    # Seen from the Unix side, the name is the one the vendor gave.
    names=$(cd "$installed" && ls | sort)
    expected=$(printf '%s\n' TandreCore.dll TandreDraw.dll Tandreloop.exe 'Über Notes.txt' | sort)
    [ "$names" = "$expected" ] || { printf 'FAILED: installed as\n%s\n' "$names"; status=1; }
    cmp "$product/Über Notes.txt" "$installed/Über Notes.txt" || status=1
fi
rm -rf "$installed"
exit $status

#!/usr/bin/env bash
# links.sh SOURCE BUILD - an install folder, or a folder in it, that leads
# elsewhere is refused before a file goes there: C:\Tandreloop as a link to
# another folder, then C:\Tandreloop\Plug Ins 3 as one; and, as root, one that
# belongs to another user. Wine shows a Unix symbolic link as a reparse point
# (to a query by name only), so these are Unix links; Windows' junctions are
# checked on the folder's handle as well.
set -eu
source=$1 build=$2
eval "$("$source/scripts/wine-run.sh" --env "$build")"
drive="$WINEPREFIX/drive_c" elsewhere="$WINEPREFIX/drive_c/elsewhere" status=0
trap 'rm -rf "$drive/Tandreloop" "$elsewhere"' EXIT
run() {
    "$source/scripts/wine-run.sh" "$build/tests/e2e/driver.exe" failure "setup=$build/setup.exe" \
        "product=$build/product" "payload.bin=$build/resources/payload.bin" asis=1 "$@" || status=$?
    written=$(find "$elsewhere" -type f | wc -l)
    [ "$written" = 0 ] || { echo "FAILED: $written files written through the link"; status=1; }
}
rm -rf "$drive/Tandreloop" "$elsewhere" && mkdir "$elsewhere"
ln -s "$elsewhere" "$drive/Tandreloop"
run nolink=1 "expect=Cannot Create Folder\\nC:/Tandreloop/"

rm "$drive/Tandreloop" && mkdir "$drive/Tandreloop"
ln -s "$elsewhere" "$drive/Tandreloop/Plug Ins 3"
run "payload=$build/tests/e2e/payload-tree.bin" "expect=Cannot Create Folder\\nC:/Tandreloop/Plug Ins 3/"

# A folder someone else prepared: Wine runs every program elevated, and shows
# a folder of another Unix user as another owner's.
rm "$drive/Tandreloop/Plug Ins 3"
if [ "$(id -u)" = 0 ]; then
    chown nobody "$drive/Tandreloop"
    run nolink=1 "expect=Folder Belongs to Another User\\nC:/Tandreloop/"
fi
exit $status

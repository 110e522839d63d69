#!/usr/bin/env bash
# mounted-faults.sh FAULT BUILD DRIVER SETUP PRODUCT - installs onto a real faulty
# file system, mounted for the test and mapped to Wine's drive X:
#   disk-full   a tmpfs that holds the first product file but not the second
#   read-only   a read-only tmpfs
# The setup must end with its ERROR box naming what failed, start nothing and
# exit 1. Exits 77 (skipped, with the reason) where mounting is not allowed.
set -u
fault=$1 build=$2 driver=$3 setup=$4 product=$5
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run.sh"
eval "$("$wine_run" --env "$build")"

skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "mounting a file system needs root"

# The payload's first two files, in payload order.
mapfile -t names < <("$build/hosttools/payloadtool" list "$build/resources/payload.bin" | head -n 2 | cut -f1)
mount_point=$(mktemp -d)
case "$fault" in
disk-full)
    # tmpfs counts whole pages: room for the first file, not for the second.
    first=$(stat -c %s "$product/${names[0]}")
    options="size=$(( (first + 4095) / 4096 * 4096 ))"
    expect="Cannot Write File\\nX:/Tandreloop/${names[1]}" ;;
read-only)
    options="ro,size=1m"
    expect="Cannot Create Folder\\nX:/Tandreloop/" ;;
*)  echo "unknown fault $fault"; exit 2 ;;
esac
if ! error=$(mount -t tmpfs -o "$options" tmpfs "$mount_point" 2>&1); then
    rmdir "$mount_point"
    skip "this machine does not allow a mount ($error)"
fi
drive="$WINEPREFIX/dosdevices/x:"
trap 'rm -f "$drive"; umount "$mount_point"; rmdir "$mount_point"' EXIT
ln -sfn "$mount_point" "$drive"

"$wine_run" "$driver" failure "setup=$setup" "product=$product" path=X:/ "expect=$expect"

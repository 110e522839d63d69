#!/usr/bin/env bash
# mounted-faults.sh FAULT BUILD DRIVER SETUP PRODUCT - installs onto a real faulty
# file system, mounted for the test and mapped to Wine's drive X:
#   disk-full   a tmpfs that holds the product's files but not the data file
#               after them (a setup carrying tests/e2e/payload-data.bin): the
#               setup finds it too small before writing anything
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

args=()
case "$fault" in
disk-full)
    # tmpfs counts whole pages: room for every file but the last.
    payload="$build/tests/e2e/payload-data.bin"
    mapfile -t entries < <("$build/hosttools/payloadtool" list "$payload" | head -n -1)
    bytes=0
    for entry in "${entries[@]::${#entries[@]}-1}"; do
        bytes=$(( bytes + (${entry##*$'\t'} + 4095) / 4096 * 4096 ))
    done
    options="size=$bytes"
    args=("payload=$payload")
    expect="expect-start=Not Enough Disk Space\\nX:/Tandreloop/\\n" ;;
read-only)
    options="ro,size=1m"
    args=(nolink=1)
    expect="expect=Cannot Create Folder\\nX:/Tandreloop/" ;;
*)  echo "unknown fault $fault"; exit 2 ;;
esac

# The file system is mounted in a mount namespace of its own that only a holder
# process lives in. The holder is killed when this script ends, however it
# ends, and the mount ends with the namespace. Wine's server creates the
# folders and files, and it lives outside (linked to the mount point itself,
# the drive's folders would land on the disk underneath): drive X: reaches the
# mount through the holder's view of the file system, /proc/PID/root.
mount_point="$(cd "$build" && pwd)/wine/fault-fs"
mkdir -p "$mount_point"
holder_out="$mount_point.out"
setpriv --pdeathsig KILL unshare --mount --propagation private \
    sh -c 'mount -t tmpfs -o "$1" tmpfs "$2" && echo mounted && exec sleep infinity' sh "$options" "$mount_point" \
    >"$holder_out" 2>&1 </dev/null &
holder=$!
while kill -0 "$holder" 2>/dev/null && [ ! -s "$holder_out" ]; do sleep 0.02; done
status=$(cat "$holder_out")
rm -f "$holder_out"
[ "$status" = mounted ] || skip "this machine does not allow a mount ($status)"
drive="$WINEPREFIX/dosdevices/x:"
trap 'rm -f "$drive"; kill "$holder"' EXIT
ln -sfn "/proc/$holder/root$mount_point" "$drive"

"$wine_run" "$driver" failure "setup=$setup" "product=$product" path=X:/ "${args[@]}" "$expect"

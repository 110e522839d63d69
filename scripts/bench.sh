#!/usr/bin/env bash
# bench.sh - measures setup.exe under Wine on a virtual display against the
# floor (bench/floor.cpp, the least a windowed installer does) and a host cp:
# size, start-up, install time at several payload sizes, idle CPU, peak memory.
# Prints a Markdown table, also saved to build/bench/results.md. Not a test: it
# exits 0 whatever it measures.
#
#   BENCH_SIZES="10 25 50 100 400"   payload sizes: Tandreloop.exe's MiB (the two
#                                    libraries add 0.7 MiB); one build tree each
#   BENCH_RUNS=16                    runs per figure, the first a discarded warm-up
#   BENCH_IDLE_RUNS=6                runs that also measure 5 s of idle CPU (at 25 MiB)
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/prepare.sh || { echo "bench: scripts/prepare.sh failed" >&2; exit 0; }
# The table is made by a short Python script.
command -v python3 >/dev/null || apt-get install -y -q --no-install-recommends python3 >/dev/null
read -r -a sizes <<<"${BENCH_SIZES:-10 25 50 100 400}"
runs=${BENCH_RUNS:-16}
idle_runs=${BENCH_IDLE_RUNS:-6}
out=build/bench
mkdir -p $out
# The driver and the Wine prefix live in the first size's tree.
home=build/bench-${sizes[0]}
: >$out/samples.txt
: >$out/notes.txt
trap 'scripts/wine-run.sh --stop $home >/dev/null 2>&1' EXIT

# Incompressible product files, made once per size and kept under build/.
make_payload() {
    local dir=$out/payload-$1
    mkdir -p "$dir"
    [ "$(stat -c %s "$dir/TandreCore.dll" 2>/dev/null)" = 307200 ] || head -c 307200 /dev/urandom >"$dir/TandreCore.dll"
    [ "$(stat -c %s "$dir/TandreDraw.dll" 2>/dev/null)" = 460800 ] || head -c 460800 /dev/urandom >"$dir/TandreDraw.dll"
    [ "$(stat -c %s "$dir/Tandreloop.exe" 2>/dev/null)" = $(($1 << 20)) ] ||
        head -c $(($1 << 20)) /dev/urandom >"$dir/Tandreloop.exe"
}

# A build tree per size, configured as a vendor would with -DSETUP_PAYLOAD.
build_tree() {
    local targets=(setup floor)
    [ "build/bench-$1" = "$home" ] && targets+=(benchdriver)
    cmake -S . -B "build/bench-$1" -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
          -DCMAKE_BUILD_TYPE=MinSizeRel -DSETUP_PAYLOAD="$PWD/$out/payload-$1" >$out/build-$1.log 2>&1 &&
        cmake --build "build/bench-$1" -j"$(nproc)" --target "${targets[@]}" >>$out/build-$1.log 2>&1
}

# The loader's own account of why a setup did not start.
diagnose() {
    (
        eval "$(scripts/wine-run.sh --env $home)"
        WINEDEBUG=err+module timeout 60 wine "build/bench-$1/setup.exe" 2>&1 </dev/null
    ) | grep -E 'err:module:(import_dll|load_dll|LdrInit)|failed to start' | grep -v relocate_ntdll |
        sed 's/^[0-9a-f]*://' | head -2 | paste -sd ';' | sed "s/^/$1 setup.exe under WINEDEBUG=err+module: /"
}

# The host process of this prefix's wine server: its working folder is named
# after the prefix's device and inode.
server_pid() {
    local name pid
    name=$(eval "$(scripts/wine-run.sh --env $home)"; printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
    for pid in $(pgrep -x 'wineserver(64)?'); do
        [ "$(basename "$(readlink /proc/$pid/cwd)")" = "$name" ] && echo "$pid"
    done
}

# cp on the host: the same files into a new folder on the same file system,
# after the same scratch write as the driver's.
time_cp() {
    local bytes run t0 t1
    bytes=$(cat $out/payload-$1/* | wc -c)
    for run in $(seq 0 $((runs - 1))); do
        head -c "$bytes" /dev/zero >$out/scratch && rm -f $out/scratch
        rm -rf $out/cp-target
        t0=$(date +%s%N)
        mkdir $out/cp-target && cp $out/payload-$1/* $out/cp-target/
        t1=$(date +%s%N)
        echo "$1 install_ms cp $run $(((t1 - t0) / 1000))e-3"
    done
    rm -rf $out/cp-target
}

{
    echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "nproc=$(nproc)"
    echo "model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
    echo "kernel=$(uname -r) $(uname -m)"
    echo "wine=$(wine --version 2>/dev/null)"
    echo "qemu=$(qemu-i386-static --version 2>/dev/null | head -1 | sed 's/ version / /')"
    if grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
        echo "emulation=The kernel runs 64-bit user code only: all 32-bit x86 code (setup.exe, floor.exe, the driver, Wine's 32-bit loader) runs under qemu-i386 user emulation via binfmt_misc, while the wine server and Wine's 64-bit services run natively, so absolute times are those of an emulated 32-bit process."
    else
        echo "emulation=32-bit x86 code runs natively."
    fi
    echo "load_before=$(cut -d' ' -f1-3 /proc/loadavg)"
} >$out/machine.txt

for size in "${sizes[@]}"; do
    echo "bench: payload and build, $size MiB" >&2
    make_payload "$size"
    if ! build_tree "$size"; then
        echo "$size build failed: $(grep -m1 -iE 'error|killed' $out/build-$size.log)" >>$out/notes.txt
    fi
done
# The builds leave gigabytes to be written back: not while timing.
sync
[ -f $home/bench/benchdriver.exe ] || { echo "bench: the driver did not build: $out/build-${sizes[0]}.log" >&2; exit 0; }
scripts/wine-run.sh --start $home >/dev/null || { echo "bench: Wine did not start" >&2; exit 0; }
server=$(server_pid | head -1)
# A fresh wine server and display are slower for the first few programs: warm them.
scripts/wine-run.sh $home/bench/benchdriver.exe product="$PWD/$out/payload-${sizes[0]}" runs=2 \
    setup="$PWD/$home/setup.exe" floor="$PWD/$home/bench/floor.exe" >/dev/null

for size in "${sizes[@]}"; do
    [ -f build/bench-$size/setup.exe ] || continue
    echo "bench: timing setup.exe and floor.exe at $size MiB" >&2
    idle=0
    [ "$size" = 25 ] && idle=$idle_runs
    scripts/wine-run.sh $home/bench/benchdriver.exe product="$PWD/$out/payload-$size" runs="$runs" \
        idle=$idle server="$server" setup="$PWD/build/bench-$size/setup.exe" \
        floor="$PWD/build/bench-$size/bench/floor.exe" |
        tr -d '\r' | sed "s/^/$size /" >>$out/samples.txt
    if grep -qE "^$size error setup [0-9]+ (CreateProcess|no window)" $out/samples.txt; then
        diagnose "$size" >>$out/notes.txt
    fi
    time_cp "$size" >>$out/samples.txt
done

echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)" >>$out/machine.txt
python3 bench/report.py $out "${sizes[@]}" >$out/results.md
cat $out/results.md
exit 0

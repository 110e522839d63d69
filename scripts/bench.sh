#!/usr/bin/env bash
# bench.sh - measures setup.exe under Wine on a virtual display against its
# floors (bench/floor.cpp, the least a windowed installer does; bench/startfloor.cpp,
# the setup's own window shown by the least code), an NSIS installer of the same
# files and a host cp: size, start-up, install time at several payload sizes,
# the time of each step from inside the programs, idle CPU, peak memory, and
# the largest setup that still starts. Prints a Markdown table, also saved to
# build/bench/results.md, and says which kind of machine it ran on: one that runs
# 32-bit x86 code natively, or one that runs it under qemu-i386 (set up by
# scripts/prepare.sh where the kernel cannot run it). Not a test: it exits 0
# whatever it measures.
#
#   BENCH_SIZES="10 25 50 100 400 1024"  payload sizes: Tandreloop.exe's MiB (the two
#                                        libraries add 0.7 MiB); under qemu, sizes above
#                                        70 are left out (they do not load there)
#   BENCH_RUNS=16                        runs per figure, the first a discarded warm-up
#   BENCH_IDLE_RUNS=6                    runs that also measure 5 s of idle CPU (at 25 MiB)
#   BENCH_STEP_RUNS=31                   runs of the builds with step marks (at 25 MiB)
#   BENCH_NSIS_MAX=100                   largest size that gets an NSIS installer
#   BENCH_PASSES="sizes files tree bigtree latency write probes"
#                                        what runs: the sizes above; the product of
#                                        many small files (with its step marks); the
#                                        product of folders; a large tree against cp -r
#                                        and sync (with its step marks); the message wait
#                                        during one large file; one large file against a
#                                        copy (with its step marks); the largest setup
#                                        that starts
#   BENCH_FILES=2000                     files of 1 KiB in the many-files product
#                                        (flat, beside a 1 KiB Tandreloop.exe)
#   BENCH_FILES_STEP_RUNS=6              runs of the builds with step marks on it
#   BENCH_BEFORE=                        setup-linked.exe of an earlier build: stamped with the
#                                        many-files product and timed beside setup.exe, on a
#                                        new install and over one (before, before-over)
#   BENCH_TREE_MIB=100                   size of the product of 300 files in 30 folders
#                                        (under qemu at most 100)
#   BENCH_BIGTREE_MIB=1024               size of the large tree, 1,500 files in 30 folders
#                                        (under qemu at most 100)
#   BENCH_LATENCY_MIB=1024               the one file whose install is probed with
#                                        messages (under qemu at most 64)
#   BENCH_WRITE_SIZES="400 1024"         sizes at which the setup is timed against a
#                                        copy of the same bytes, dd bs=1M and cp (under qemu: 64)
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/prepare.sh || { echo "bench: scripts/prepare.sh failed" >&2; exit 0; }
# The table is made by a short Python script; the reference installer by makensis.
# Only the benchmark needs them, so they are not among prepare.sh's packages.
for need in python3:python3 makensis:nsis; do
    command -v ${need%%:*} >/dev/null ||
        { apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends ${need#*:} >/dev/null; } ||
        echo "bench: could not install ${need#*:}" >&2
done
read -r -a sizes <<<"${BENCH_SIZES:-10 25 50 100 400 1024}"
runs=${BENCH_RUNS:-16}
idle_runs=${BENCH_IDLE_RUNS:-6}
step_runs=${BENCH_STEP_RUNS:-31}
nsis_max=${BENCH_NSIS_MAX:-100}
passes=" ${BENCH_PASSES:-sizes files tree bigtree latency write probes} "
files_count=${BENCH_FILES:-2000}
files_step_runs=${BENCH_FILES_STEP_RUNS:-6}
out=build/bench
# One build tree: the programs are linked once and stamped with each size's files.
home=build/bench-tree
tool=$home/hosttools/payloadtool
mkdir -p $out
: >$out/samples.txt
: >$out/steps.txt
: >$out/probes.txt
: >$out/scaling.txt
: >$out/notes.txt
trap 'scripts/wine-run.sh --stop $home >/dev/null 2>&1' EXIT

. scripts/machine-kind.sh
# Under qemu the programs' address space is small (bench/README.md): images of
# 100 MiB load when large-address-aware, as setup.exe and the floor are, and
# larger ones were not tried; the write builds and the large file stay at 64 MiB.
if [ $emulated = 1 ]; then
    tree_mib=${BENCH_TREE_MIB:-100} latency_mib=${BENCH_LATENCY_MIB:-64} bigtree_mib=${BENCH_BIGTREE_MIB:-100}
    read -r -a write_sizes <<<"${BENCH_WRITE_SIZES:-64}"
    [ "$tree_mib" -gt 100 ] && tree_mib=100
    [ "$bigtree_mib" -gt 100 ] && bigtree_mib=100
    [ "$latency_mib" -gt 64 ] && latency_mib=64
else
    tree_mib=${BENCH_TREE_MIB:-100} latency_mib=${BENCH_LATENCY_MIB:-1024} bigtree_mib=${BENCH_BIGTREE_MIB:-1024}
    read -r -a write_sizes <<<"${BENCH_WRITE_SIZES:-400 1024}"
fi
runs_pass() { [[ $passes == *" $1 "* ]]; }

# Incompressible product files, made once per size and kept under build/.
make_payload() {
    local dir=$out/payload-$1
    mkdir -p "$dir"
    [ "$(stat -c %s "$dir/TandreCore.dll" 2>/dev/null)" = 307200 ] || head -c 307200 /dev/urandom >"$dir/TandreCore.dll"
    [ "$(stat -c %s "$dir/TandreDraw.dll" 2>/dev/null)" = 460800 ] || head -c 460800 /dev/urandom >"$dir/TandreDraw.dll"
    [ "$(stat -c %s "$dir/Tandreloop.exe" 2>/dev/null)" = $(($1 << 20)) ] ||
        head -c $(($1 << 20)) /dev/urandom >"$dir/Tandreloop.exe"
}

# The many-files product: BENCH_FILES files of 1 KiB and a 1 KiB Tandreloop.exe,
# in one folder.
make_files() {
    local dir=$out/payload-files$1
    [ -f "$dir.done" ] && return 0
    rm -rf "$dir" && mkdir -p "$dir"
    head -c $(($1 * 1024)) /dev/urandom | split -b 1024 -a 5 -d --additional-suffix=.dat - "$dir/file" &&
        head -c 1024 /dev/urandom >"$dir/Tandreloop.exe" && touch "$dir.done"
}

# A product of folders under the label $1: ten top folders, each with two below
# it, $3 files in each of the 30 (10 unless given), sizes spread from 1 to 64
# parts, $2 MiB in all with Tandreloop.exe at the top. tree<MiB> is the product
# of folders (300 files), bigtree<MiB> the large tree (1,500).
make_tree() {
    local dir=$out/payload-$1 total=$(($2 << 20)) per=${3:-10} i=0 sum=0 left top sub folder
    [ -f "$dir.done" ] && return 0
    rm -rf "$dir" && mkdir -p "$dir"
    local weights=()
    for i in $(seq 0 $((30 * per))); do weights+=($((i * 37 % 64 + 1))); sum=$((sum + weights[i])); done
    left=$total
    i=0
    for top in $(seq -w 1 10); do
        for sub in "" "/lang" "/res files"; do
            folder="$dir/plugin $top$sub"
            mkdir -p "$folder"
            for n in $(seq -w 1 $per); do
                local cb=$((total * weights[i] / sum))
                head -c $cb /dev/urandom >"$folder/part $n.bin" || return 1
                left=$((left - cb)) i=$((i + 1))
            done
        done
    done
    head -c $left /dev/urandom >"$dir/Tandreloop.exe" && touch "$dir.done"
}

# One file of $1 MiB, for the message wait during a large write.
make_single() {
    local dir=$out/payload-single$1
    mkdir -p "$dir"
    [ "$(stat -c %s "$dir/Tandreloop.exe" 2>/dev/null)" = $(($1 << 20)) ] ||
        head -c $(($1 << 20)) /dev/urandom >"$dir/Tandreloop.exe"
}

# Stamps the product folder $2 into the named programs as $1/NAME.exe, as a
# vendor stamps setup.exe; with nsis among them, an NSIS installer of every
# file under the folder. Fails when a program cannot be stamped.
stamp_into() {
    local dir=$1 product=$2 name
    shift 2
    rm -rf "$dir" && mkdir -p "$dir"
    for name in "$@"; do
        local linked=$home/bench/$name-linked.exe
        [ $name = setup ] && linked=$home/setup-linked.exe
        if [ $name = nsis ]; then
            command -v makensis >/dev/null &&
                makensis -V2 -DPAYLOAD="$PWD/$product" -DOUT="$PWD/$dir/nsis.exe" -DTREE bench/nsis.nsi \
                    >>$out/build.log 2>&1 ||
                echo "$(basename "$dir") makensis failed: $(tail -1 $out/build.log)" >>$out/notes.txt
            continue
        fi
        $tool stamp "$linked" -o "$dir/$name.exe" "$product" >>$out/build.log 2>&1 || return 1
    done
}

# The programs of one size; at 25 MiB also the start-up floor and the builds
# with step marks.
stamp_size() {
    local size=$1 dir=$out/size-$1 name
    local names=(setup floor)
    [ "$size" = 25 ] && names+=(startfloor setup-steps floor-steps startfloor-steps)
    stamp_into "$dir" "$out/payload-$size" "${names[@]}" || return 1
    if [ "$size" -le "$nsis_max" ] && command -v makensis >/dev/null; then
        makensis -V2 -DPAYLOAD="$PWD/$out/payload-$size" -DOUT="$PWD/$dir/nsis.exe" bench/nsis.nsi >>$out/build.log 2>&1 ||
            echo "$size makensis failed: $(tail -1 $out/build.log)" >>$out/notes.txt
    fi
}

# The loader's own account of why a setup did not start.
diagnose() {
    (
        eval "$(scripts/wine-run.sh --env $home)"
        WINEDEBUG=err+module timeout 60 wine "$out/size-$1/setup.exe" 2>&1 </dev/null
    ) | grep -E 'err:module:(import_dll|load_dll|LdrInit)|failed to start|WINEPRELOADRESERVE' | grep -v relocate_ntdll |
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

# cp on the host: the same files (of the product folder $out/payload-$1, with
# its subfolders) into a new folder on the same file system, after the same
# scratch write as the driver's. With sync as $2, the scratch write is synced
# first and the copy timed until it is on disk (program "cpsync").
time_cp() {
    local bytes run t0 t1 program=cp settle=:
    [ "${2:-}" = sync ] && program=cpsync settle=sync
    bytes=$(find $out/payload-$1 -type f -printf '%s\n' | awk '{ n += $1 } END { print n }')
    for run in $(seq 0 $((runs - 1))); do
        head -c "$bytes" /dev/zero >$out/scratch && rm -f $out/scratch && $settle
        rm -rf $out/cp-target
        t0=$(date +%s%N)
        mkdir $out/cp-target && cp -r $out/payload-$1/. $out/cp-target/ && $settle
        t1=$(date +%s%N)
        echo "$1 install_ms $program $run $(((t1 - t0) / 1000))e-3"
    done
    rm -rf $out/cp-target
}

# The same files copied one by one with dd bs=1M, each through a 1 MiB buffer.
time_dd() {
    local bytes run t0 t1 file
    bytes=$(find $out/payload-$1 -type f -printf '%s\n' | awk '{ n += $1 } END { print n }')
    for run in $(seq 0 $((runs - 1))); do
        head -c "$bytes" /dev/zero >$out/scratch && rm -f $out/scratch
        rm -rf $out/cp-target
        t0=$(date +%s%N)
        mkdir $out/cp-target
        for file in $out/payload-$1/*; do dd if="$file" of="$out/cp-target/${file##*/}" bs=1M status=none; done
        t1=$(date +%s%N)
        echo "$1 install_ms dd $run $(((t1 - t0) / 1000))e-3"
    done
    rm -rf $out/cp-target
}

driver() { scripts/wine-run.sh $home/bench/benchdriver.exe "$@" | tr -d '\r'; }

{
    echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "nproc=$(nproc)"
    echo "model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
    echo "kernel=$(uname -r) $(uname -m)"
    echo "wine=$(wine --version 2>/dev/null)"
    echo "nsis=makensis $(makensis -VERSION 2>/dev/null)"
    if [ $emulated = 1 ]; then
        echo "kind=emulated"
        echo "qemu=$(qemu-i386-static --version 2>/dev/null | head -1 | sed 's/ version / /')"
        echo "emulation=This machine runs 64-bit user code only: all 32-bit x86 code (the setup, its floors, the driver, Wine's 32-bit loader) runs under qemu-i386 user emulation via binfmt_misc (set up by scripts/prepare.sh), while the wine server and Wine's 64-bit services run natively, so times are those of an emulated 32-bit process."
    else
        echo "kind=native"
        echo "qemu=no emulator"
        echo "emulation=This machine runs 32-bit x86 code natively: scripts/prepare.sh set up no emulator, and Wine runs the 32-bit programs directly."
    fi
    echo "load_before=$(cut -d' ' -f1-3 /proc/loadavg)"
} >$out/machine.txt
echo "bench: $(sed -n 's/^emulation=//p' $out/machine.txt)" >&2

echo "bench: building the programs once" >&2
cmake -S . -B $home -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DSETUP_PAYLOAD= >$out/build.log 2>&1 &&
    cmake --build $home -j"$(nproc)" --target setupimage floor-linked startfloor-linked setup-steps-linked \
          floor-steps-linked startfloor-steps-linked benchdriver >>$out/build.log 2>&1 ||
    { echo "bench: the build failed: $out/build.log" >&2; exit 0; }

measured=()
runs_pass sizes || sizes=()
for size in "${sizes[@]}"; do
    if [ $emulated = 1 ] && [ "$size" -gt 70 ]; then
        echo "$size left out: under qemu-i386 a setup above about 70 MiB does not load (bench/README.md)" >>$out/notes.txt
        continue
    fi
    echo "bench: payload and stamping, $size MiB" >&2
    make_payload "$size"
    if stamp_size "$size"; then
        measured+=("$size")
    else
        echo "$size stamping failed: $(tail -1 $out/build.log)" >>$out/notes.txt
    fi
done
# The other products, each under its label: files2000, tree100, single1024,
# write400 (the 400 MiB payload in the builds with each way of writing).
files=files$files_count tree=tree$tree_mib single=single$latency_mib bigtree=bigtree$bigtree_mib
if runs_pass files; then
    echo "bench: payload and stamping, $files_count files of 1 KiB" >&2
    make_files "$files_count" &&
        stamp_into $out/$files $out/payload-$files nsis setup floor setup-steps floor-steps ||
        echo "$files stamping failed: $(tail -1 $out/build.log)" >>$out/notes.txt
fi
if runs_pass tree; then
    echo "bench: payload and stamping, 300 files in 30 folders, $tree_mib MiB" >&2
    make_tree "$tree" "$tree_mib" &&
        stamp_into $out/$tree $out/payload-$tree nsis setup floor ||
        echo "$tree stamping failed (payloadtool must walk the folders): $(tail -1 $out/build.log)" >>$out/notes.txt
fi
if runs_pass bigtree; then
    echo "bench: payload and stamping, 1,500 files in 30 folders, $bigtree_mib MiB" >&2
    make_tree "$bigtree" "$bigtree_mib" 50 &&
        stamp_into $out/$bigtree $out/payload-$bigtree setup setup-steps ||
        echo "$bigtree stamping failed: $(tail -1 $out/build.log)" >>$out/notes.txt
fi
if runs_pass latency; then
    echo "bench: payload and stamping, one file of $latency_mib MiB" >&2
    make_single "$latency_mib" && stamp_into $out/$single $out/payload-$single setup ||
        echo "$single stamping failed: $(tail -1 $out/build.log)" >>$out/notes.txt
fi
runs_pass write || write_sizes=()
# Gigabytes were just written: not while timing.
sync
scripts/wine-run.sh --start $home >/dev/null || { echo "bench: Wine did not start" >&2; exit 0; }
server=$(server_pid | head -1)
# A fresh wine server and display are slower for the first few programs: warm
# them, with installs of the first size, or else with starts of the first
# other product's setup (installing 2,000 files twice would only cost time).
first=$out/size-${measured[0]:-}
if [ ${#measured[@]} -gt 0 ]; then
    driver product="$PWD/$out/payload-${measured[0]}" runs=2 setup="$PWD/$first/setup.exe" floor="$PWD/$first/floor.exe" >/dev/null
else
    for warm in $files $tree $bigtree $single; do
        [ -f "$out/$warm/setup.exe" ] || continue
        driver product="$PWD/$out/payload-$warm" runs=3 start:warm="$PWD/$out/$warm/setup.exe" >/dev/null
        break
    done
fi

# 25 MiB first: the other sizes' start-up is timed against it.
ordered=()
for size in "${measured[@]}"; do [ "$size" = 25 ] && ordered=(25 "${ordered[@]}") || ordered+=("$size"); done
for size in "${ordered[@]}"; do
    dir=$PWD/$out/size-$size
    echo "bench: timing at $size MiB" >&2
    idle=0
    [ "$size" = 25 ] && idle=$idle_runs
    programs=(setup="$dir/setup.exe" floor="$dir/floor.exe")
    [ -f "$dir/nsis.exe" ] && programs+=(nsis="$dir/nsis.exe")
    [ -f "$dir/startfloor.exe" ] && programs+=(startfloor="$dir/startfloor.exe")
    driver product="$PWD/$out/payload-$size" runs="$runs" idle=$idle server="$server" "${programs[@]}" |
        sed "s/^/$size /" >>$out/samples.txt
    if grep -qE "^$size error setup [0-9]+ (CreateProcess|no window)" $out/samples.txt; then
        diagnose "$size" >>$out/notes.txt
    fi
    time_cp "$size" >>$out/samples.txt
    if [ "$size" = 25 ]; then
        echo "bench: steps from inside the programs at 25 MiB" >&2
        driver product="$PWD/$out/payload-25" runs="$step_runs" steps=1 setup="$dir/setup-steps.exe" \
            floor="$dir/floor-steps.exe" startfloor="$dir/startfloor-steps.exe" | sed "s/^/25 /" >>$out/steps.txt
    fi
    # Start-up against 25 MiB: both setups started in turn, with no install
    # between them (at 1 GiB the installs' writes were seen to slow the next
    # start by tens of ms).
    if [ "$size" != 25 ] && [ -d $out/size-25 ]; then
        driver product="$PWD/$out/payload-$size" runs="$runs" start:25="$PWD/$out/size-25/setup.exe" \
            start:$size="$dir/setup.exe" | sed "s/^/$size /" >>$out/scaling.txt
    fi
    # The large images are not needed again.
    [ "$size" -ge 100 ] && rm -f "$dir"/*.exe
done

# Adds to programs, for the product labelled $1 in $dir: setup.exe over an
# install of the same files (setup-over: every file replaced, as in an
# upgrade), and with BENCH_BEFORE the earlier build both ways (before,
# before-over).
add_over_and_before() {
    programs+=(over:setup-over="$dir/setup.exe")
    if [ -n "${BENCH_BEFORE:-}" ] && $tool stamp "$BENCH_BEFORE" -o "$dir/before.exe" "$out/payload-$1" >>$out/build.log 2>&1
    then
        programs+=(setup:before="$dir/before.exe" over:before-over="$dir/before.exe")
    fi
}

# The many-files product: install times, then the steps of each file from the
# builds with step marks.
if runs_pass files && [ -f $out/$files/setup.exe ]; then
    dir=$PWD/$out/$files
    echo "bench: timing $files_count files of 1 KiB" >&2
    programs=(setup="$dir/setup.exe" floor="$dir/floor.exe")
    [ -f "$dir/nsis.exe" ] && programs+=(nsis="$dir/nsis.exe")
    add_over_and_before $files
    driver product="$PWD/$out/payload-$files" runs="$runs" wait=600 "${programs[@]}" | sed "s/^/$files /" >>$out/samples.txt
    time_cp $files >>$out/samples.txt
    echo "bench: steps from inside the programs at $files_count files" >&2
    driver product="$PWD/$out/payload-$files" runs="$files_step_runs" wait=600 steps=1 setup="$dir/setup-steps.exe" \
        floor="$dir/floor-steps.exe" | sed "s/^/$files /" >>$out/steps.txt
fi

# The product of folders: whichever programs could be stamped with it.
if runs_pass tree && [ -d $out/$tree ]; then
    dir=$PWD/$out/$tree
    echo "bench: timing 300 files in 30 folders, $tree_mib MiB" >&2
    programs=()
    for name in setup floor nsis; do [ -f "$dir/$name.exe" ] && programs+=($name="$dir/$name.exe"); done
    [ -f "$dir/setup.exe" ] && add_over_and_before $tree
    [ ${#programs[@]} -gt 0 ] &&
        driver product="$PWD/$out/payload-$tree" runs="$runs" wait=600 "${programs[@]}" | sed "s/^/$tree /" >>$out/samples.txt
    time_cp $tree >>$out/samples.txt
fi

# The large tree against cp -r and sync, then its steps from the build with
# step marks.
if runs_pass bigtree && [ -f $out/$bigtree/setup.exe ]; then
    dir=$PWD/$out/$bigtree
    echo "bench: timing 1,500 files in 30 folders, $bigtree_mib MiB" >&2
    driver product="$PWD/$out/payload-$bigtree" runs="$runs" wait=600 setup="$dir/setup.exe" |
        sed "s/^/$bigtree /" >>$out/samples.txt
    time_cp $bigtree >>$out/samples.txt
    time_cp $bigtree sync >>$out/samples.txt
    driver product="$PWD/$out/payload-$bigtree" runs="$files_step_runs" wait=600 steps=1 setup="$dir/setup-steps.exe" |
        sed "s/^/$bigtree /" >>$out/steps.txt
    [ "$bigtree_mib" -ge 100 ] && rm -f "$dir"/*.exe
fi

# How long the window leaves a message waiting while one large file is written.
if runs_pass latency && [ -f $out/$single/setup.exe ]; then
    echo "bench: message wait during one file of $latency_mib MiB" >&2
    driver product="$PWD/$out/payload-$single" runs="$runs" latency=1 setup="$PWD/$out/$single/setup.exe" |
        sed "s/^/$single /" >>$out/samples.txt
    time_cp $single >>$out/samples.txt
    [ "$latency_mib" -ge 100 ] && rm -f $out/$single/*.exe
fi

# The setup against a copy of the same bytes, at the large sizes: dd bs=1M
# (read and write through a buffer, as the setup does) and cp. Stamped here,
# one size at a time, so that gigabytes of images are not on disk at once.
for size in "${write_sizes[@]}"; do
    dir=$PWD/$out/write$size
    echo "bench: payload and stamping, $size MiB against a copy" >&2
    if ! { make_payload "$size" && stamp_into $out/write$size $out/payload-$size setup setup-steps; }; then
        echo "write$size stamping failed: $(tail -1 $out/build.log)" >>$out/notes.txt
        continue
    fi
    sync
    echo "bench: $size MiB against a copy" >&2
    driver product="$PWD/$out/payload-$size" runs="$runs" setup="$dir/setup.exe" | sed "s/^/write$size /" >>$out/samples.txt
    time_cp "$size" | sed "s/^$size /write$size /" >>$out/samples.txt
    time_dd "$size" | sed "s/^$size /write$size /" >>$out/samples.txt
    # Where the install's time goes: the step marks and the totals of the file calls.
    driver product="$PWD/$out/payload-$size" runs="$files_step_runs" steps=1 setup="$dir/setup-steps.exe" |
        sed "s/^/write$size /" >>$out/steps.txt
    [ "$size" -ge 100 ] && rm -f "$dir"/*.exe
done

# The largest setup that starts: copies of the smallest setup.exe grown (sparse)
# to each size, with and without large-address-aware.
runs_pass probes && [ ! -f "$first/setup.exe" ] &&
    echo "the largest setup that starts: left out, as it grows the setup of the sizes pass" >>$out/notes.txt
if runs_pass probes && [ -f "$first/setup.exe" ]; then
    echo "bench: the largest setup that starts" >&2
    if [ $emulated = 1 ]; then probe_sizes="48 64 70 75 80 90 100"; else probe_sizes="1024 1536 1900 1950 1960 1970 1980 1990 1999 2000"; fi
    for mib in $probe_sizes; do
        for laa in nolaa laa; do
            if ! error=$(python3 bench/pegrow.py "$first/setup.exe" $out/probe.exe "$mib" $laa 2>&1); then
                echo "$mib $error" >>$out/notes.txt
                continue
            fi
            result=$(driver product="$PWD/$out/payload-${measured[0]}" runs=1 probe="$PWD/$out/probe.exe" |
                     grep -E '^(startup_ms|error) ' | head -1)
            echo "$mib $laa ${result:-error probe 0 no answer}" >>$out/probes.txt
            rm -f $out/probe.exe
        done
    done
fi

echo "load_after=$(cut -d' ' -f1-3 /proc/loadavg)" >>$out/machine.txt
python3 bench/report.py $out "${measured[@]}" >$out/results.md
cat $out/results.md
exit 0

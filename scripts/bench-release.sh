#!/usr/bin/env bash
# bench-release.sh - times the release path: stamping a product into a built
# setup.exe against a host cp of the same files, and a vendor's build through
# CMake (reconfigure with -DSETUP_PAYLOAD, build), with the peak memory of the
# largest process. Prints a Markdown table, also saved to
# build/bench/release.md. Not a test: it exits 0 whatever it measures.
#
#   BENCH_RELEASE_SIZES="400 1024"   product sizes in MiB (Tandreloop.exe; the two
#                                    libraries add 0.7 MiB)
#   BENCH_RELEASE_RUNS=5             runs per figure; the median is shown
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/prepare.sh >/dev/null || { echo "bench-release: scripts/prepare.sh failed" >&2; exit 0; }
command -v /usr/bin/time >/dev/null || apt-get install -y -q --no-install-recommends time >/dev/null
read -r -a sizes <<<"${BENCH_RELEASE_SIZES:-400 1024}"
runs=${BENCH_RELEASE_RUNS:-5}
out=build/bench
tree=build/bench-release
mkdir -p $out

# A build tree with the sample product, as a vendor would have it before
# naming their own files.
cmake -S . -B $tree -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DSETUP_PAYLOAD= >$out/release-build.log 2>&1 &&
    cmake --build $tree -j"$(nproc)" --target setup >>$out/release-build.log 2>&1 ||
    { echo "bench-release: the build failed: $out/release-build.log" >&2; exit 0; }
tool=$tree/hosttools/payloadtool

make_product() {
    local dir=$out/release-$1
    mkdir -p "$dir"
    [ "$(stat -c %s "$dir/TandreCore.dll" 2>/dev/null)" = 307200 ] || head -c 307200 /dev/urandom >"$dir/TandreCore.dll"
    [ "$(stat -c %s "$dir/TandreDraw.dll" 2>/dev/null)" = 460800 ] || head -c 460800 /dev/urandom >"$dir/TandreDraw.dll"
    [ "$(stat -c %s "$dir/Tandreloop.exe" 2>/dev/null)" = $(($1 << 20)) ] ||
        head -c $(($1 << 20)) /dev/urandom >"$dir/Tandreloop.exe"
}

# "seconds max-resident-KiB" of a command, after writing and deleting a scratch
# file of the product's size (the first large write after a pause is slower).
measure() {
    local bytes=$1
    shift
    head -c "$bytes" /dev/zero >$out/scratch && rm -f $out/scratch
    sync
    /usr/bin/time -f '%e %M' -o $out/time.txt "$@" >/dev/null 2>>$out/release-errors.log
    cat $out/time.txt
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

{
    echo "| figure | product | median (min-max) of $runs | peak memory, largest process |"
    echo "|---|---|---|---|"
} >$out/release.md
for size in "${sizes[@]}"; do
    echo "bench-release: $size MiB" >&2
    make_product "$size"
    dir=$out/release-$size
    bytes=$(cat "$dir"/* | wc -c)
    : >$out/samples-$size.txt
    for run in $(seq "$runs"); do
        rm -rf $out/cp-target $out/stamped.exe
        echo "cp $(measure "$bytes" bash -c "mkdir $out/cp-target && cp $dir/* $out/cp-target/")" >>$out/samples-$size.txt
        echo "stamp $(measure "$bytes" $tool stamp $tree/setup.exe -o $out/stamped.exe "$dir")" >>$out/samples-$size.txt
        # The vendor's whole build: reconfigure the tree with the product and build.
        echo "vendor $(measure "$bytes" bash -c "cmake $tree -DSETUP_PAYLOAD=$PWD/$dir >/dev/null &&
                                                 cmake --build $tree --target setup >/dev/null")" >>$out/samples-$size.txt
        cmake $tree -DSETUP_PAYLOAD= >/dev/null && cmake --build $tree --target setup >/dev/null
    done
    $tool verify $out/stamped.exe >&2
    for what in cp stamp vendor; do
        secs=$(awk -v w=$what '$1 == w { print $2 }' $out/samples-$size.txt | median)
        range=$(awk -v w=$what '$1 == w { print $2 }' $out/samples-$size.txt | sort -n | sed -n '1p;$p' | paste -sd-)
        mem=$(awk -v w=$what '$1 == w { print $3 }' $out/samples-$size.txt | sort -n | tail -1)
        echo "| $what | $size MiB | $secs s ($range) | $((mem / 1024)) MiB |" >>$out/release.md
    done
done
rm -rf $out/cp-target $out/stamped.exe
{
    echo
    echo "$(date -u '+%Y-%m-%d'), $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
         "file system $(df -T $out | awk 'NR == 2 { print $2 }'). Peak memory: GNU time's maximum resident size" \
         "of the largest process (for cp and the vendor build, the largest of the processes they start)."
} >>$out/release.md
cat $out/release.md
exit 0

#!/usr/bin/env bash
# bench-compress.sh - measures the compressed payload against the stored one and
# against NSIS (Debian's makensis: its default zlib, and SetCompressor /SOLID
# lzma), on the 30 largest of Wine's own 32-bit DLLs and on a product that does
# not compress: sizes, stamping time, install time, start-up and peak memory
# under Wine. Prints a Markdown table, also saved to build/bench/compress.md,
# headed by the kind of machine. Not a test: it exits 0 whatever it measures.
#
#   BENCH_COMPRESS_RUNS=8          install runs per program, the first a discarded warm-up
#   BENCH_COMPRESS_INSTALL_MIB=    the corpus's files, in name order, up to this many MiB
#                                  for the installs (empty: all of them natively, 60 under
#                                  qemu, where a stored setup above about 70 MiB does not load)
#   BENCH_COMPRESS_SWEEP="19 22"   zstd levels to try at each window (23 to 27) with the
#                                  zstd command line (the same library); empty: no sweep
#   BENCH_COMPRESS_PARTS="sizes decoder installs memory"
#                                  which parts to run: the corpus's sizes and stamping time,
#                                  the decoder's and the CRC's speed alone, the installs,
#                                  peak memory at 100 MiB and 1 GiB; and, when named, "frames":
#                                  the corpus cut into frames each of BENCH_COMPRESS_CUTS' ways,
#                                  at level 22 with the window of one frame (32 MiB) and with
#                                  each frame's window as large as the frame, its size and
#                                  its decoding by frames on one thread and two (about half
#                                  an hour on two cores)
#   BENCH_COMPRESS_CUTS="one ..."  the cuts to try (bench/framesizes.cpp); plan:64 is the tool's
#   BENCH_COMPRESS_DECODE_PASSES=5 decoder passes per build and cut; the best is the figure
#
# The installs compare, in one run: the stored setup, the compressed one, the
# same with its decoder built all for size as it first was, and NSIS /SOLID
# lzma through its pages and silent (/S, timed
# from its start); then the steps build of the compressed setup for where its
# time goes: the CRC pass, and how long the writer waited for the decoder and
# the decoder for the writer.
#
# Peak memory is also taken at 100 MiB (the corpus's files in name order) and
# at 1 GiB (the install share and a text file that compresses to almost
# nothing, so that the setup still loads where 32-bit code runs under qemu).
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/prepare.sh >/dev/null || { echo "bench-compress: scripts/prepare.sh failed" >&2; exit 0; }
# An index that fails to update (a mirror in sync) need not stop the install:
# the package may be known already.
for need in makensis:nsis zstd:zstd xz:xz-utils /usr/bin/time:time python3:python3; do
    command -v ${need%%:*} >/dev/null ||
        { apt-get update -q >/dev/null; apt-get install -y -q --no-install-recommends ${need#*:} >/dev/null; } ||
        echo "bench-compress: could not install ${need#*:}" >&2
done
runs=${BENCH_COMPRESS_RUNS:-8}
parts=" ${BENCH_COMPRESS_PARTS-sizes decoder installs memory} "
passes=${BENCH_COMPRESS_DECODE_PASSES:-5}
read -r -a levels <<<"${BENCH_COMPRESS_SWEEP-19 22}"
out=build/bench
tree=build/bench-compress-tree
tool=$tree/hosttools/payloadtool
mkdir -p $out
log=$out/compress-build.log
: >$log
trap 'scripts/wine-run.sh --stop $tree >/dev/null 2>&1' EXIT

. scripts/machine-kind.sh
kind="natively (32-bit x86 code runs directly)"
[ $emulated = 1 ] && kind="under qemu-i386 (this machine runs 64-bit user code only; Wine's 32-bit programs are emulated)"

echo "bench-compress: building setup.exe and the driver" >&2
cmake -S . -B $tree -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DSETUP_PAYLOAD= >>$log 2>&1 &&
    cmake --build $tree -j"$(nproc)" --target setupimage \
        setup-decode-size-linked setup-steps-linked decodespeed decodespeed-size decodespeed-speed benchdriver >>$log 2>&1 ||
    { echo "bench-compress: the build failed: $log" >&2; exit 0; }
linked=$tree/setup-linked.exe

# The corpus: Wine's 30 largest 32-bit DLLs, present wherever wine32 is.
wine_dlls=$(ls -d /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/wine/i386-windows 2>/dev/null | head -1)
corpus=$out/compress-corpus
if [ ! -d $corpus ]; then
    mkdir -p $corpus
    ls -S "$wine_dlls"/*.dll | head -30 | xargs cp -t $corpus
fi
# A product that does not compress: random bytes.
random=$out/compress-random
mkdir -p $random
[ "$(stat -c %s $random/Tandreloop.exe 2>/dev/null)" = 33554432 ] || head -c 33554432 /dev/urandom >$random/Tandreloop.exe
# The installs' share of the corpus.
limit=${BENCH_COMPRESS_INSTALL_MIB:-}
[ -z "$limit" ] && [ $emulated = 1 ] && limit=60
subset=$out/compress-subset
rm -rf $subset && mkdir -p $subset
total=0
for f in $(ls $corpus); do
    size=$(stat -c %s $corpus/$f)
    [ -n "$limit" ] && [ $((total + size)) -gt $((limit << 20)) ] && continue
    cp $corpus/$f $subset/ && total=$((total + size))
done

mib() { echo "scale=1; $1 / 1048576" | bc; }
pct() { printf '%.1f' "$(echo "100 * $1 / $2" | bc -l)"; }
ratio() { printf '%.3f' "$(echo "$1 / $2" | bc -l)"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# "seconds CPU-seconds max-resident-KiB" of a command. The CPU time, user and
# system, is the figure to compare when other work shares the machine.
timed() { /usr/bin/time -f '%e %U %S %M' -o $out/time.txt "$@" >>$log 2>&1; awk '{ print $1, $2 + $3, $4 }' $out/time.txt; }

{
    echo "## The compressed payload, measured $kind"
    echo
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores ($(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)),"
    echo "$(wine --version 2>/dev/null), makensis $(makensis -VERSION 2>/dev/null), zstd library $(zstd -V | sed 's/.*v\([0-9.]*\).*/\1/'),"
    echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)."
    echo
} >$out/compress.md

# ---- sizes, and the time each tool takes to make them ----
if [[ $parts == *" sizes "* ]]; then
echo "bench-compress: sizes" >&2
{
    echo "| product | files | stored payload | setup.exe, stored | setup.exe, compressed | NSIS zlib | NSIS /SOLID lzma | compressed ÷ NSIS lzma (≤ 1.10) | compressed ÷ NSIS zlib (≤ 0.50) |"
    echo "|---|---|---|---|---|---|---|---|---|"
} >>$out/compress.md
for product in $corpus $random; do
    name=$(basename $product)
    files=$(ls $product | wc -l)
    $tool pack --allow-no-exe -o $out/$name.bin $product >>$log 2>&1
    $tool stamp $linked -o $out/$name-stored.exe --allow-no-exe $product >>$log 2>&1
    read -r stamp_s stamp_cpu stamp_kib <<<"$(timed $tool stamp $linked -o $out/$name-compressed.exe --allow-no-exe --compress $product)"
    $tool verify --allow-no-exe $out/$name-compressed.exe >>$log 2>&1 || echo "bench-compress: $name: verify failed" >&2
    makensis -V2 -DPAYLOAD="$PWD/$product" -DOUT="$PWD/$out/$name-nsis-zlib.exe" bench/nsis-compress.nsi >>$log 2>&1
    read -r nsis_s nsis_cpu nsis_kib <<<"$(timed makensis -V2 -DPAYLOAD="$PWD/$product" -DOUT="$PWD/$out/$name-nsis-lzma.exe" -DSOLID \
                                  bench/nsis-compress.nsi)"
    raw=$(stat -c %s $out/$name.bin)
    stored=$(stat -c %s $out/$name-stored.exe)
    z=$(stat -c %s $out/$name-compressed.exe)
    zlib=$(stat -c %s $out/$name-nsis-zlib.exe)
    lzma=$(stat -c %s $out/$name-nsis-lzma.exe)
    echo "| $name | $files | $raw B | $stored B | $z B ($(pct $z $raw) %) | $zlib B ($(pct $zlib $raw) %) |" \
         "$lzma B ($(pct $lzma $raw) %) | $(ratio $z $lzma) | $(ratio $z $zlib) |" >>$out/compress.md
    echo "$name $raw $stamp_s $stamp_cpu $stamp_kib $nsis_s $nsis_cpu $nsis_kib" >>$out/compress-times.txt
done
{
    echo
    echo "| making the corpus's setup | time | CPU time | MB of product per CPU second | peak memory |"
    echo "|---|---|---|---|---|"
    read -r _ raw stamp_s stamp_cpu stamp_kib nsis_s nsis_cpu nsis_kib <<<"$(grep '^compress-corpus ' $out/compress-times.txt | tail -1)"
    echo "| payloadtool stamp --compress (default level) | $stamp_s s | $stamp_cpu s |" \
         "$(echo "scale=2; $raw / 1000000 / $stamp_cpu" | bc | sed 's/^\./0./') | $((stamp_kib / 1024)) MiB |"
    echo "| makensis, SetCompressor /SOLID lzma | $nsis_s s | $nsis_cpu s |" \
         "$(echo "scale=2; $raw / 1000000 / $nsis_cpu" | bc | sed 's/^\./0./') | $((nsis_kib / 1024)) MiB |"
    echo
} >>$out/compress.md
rm -f $out/compress-times.txt
fi

# ---- the window: zstd's command line on the same stored payload ----
if [ ${#levels[@]} -gt 0 ] && [ -f $out/compress-corpus.bin ]; then
    echo "bench-compress: zstd levels and windows" >&2
    raw=$(stat -c %s $out/compress-corpus.bin)
    {
        echo "| codec, on the corpus's stored payload | window | size | ÷ NSIS lzma | compress | decode (host, 64-bit) |"
        echo "|---|---|---|---|---|---|"
    } >>$out/compress.md
    lzma=$(stat -c %s $out/compress-corpus-nsis-lzma.exe)
    try() {
        local label=$1 window=$2 pack=$3 unpack=$4 t0 t1 t2
        t0=$(date +%s.%N)
        $pack <$out/compress-corpus.bin >$out/sweep.out
        t1=$(date +%s.%N)
        $unpack <$out/sweep.out >/dev/null
        t2=$(date +%s.%N)
        local cb=$(stat -c %s $out/sweep.out)
        echo "| $label | $window | $cb B ($(pct $cb $raw) %) | $(ratio $cb $lzma) | $(echo "$t1 - $t0" | bc | xargs printf '%.1f') s |" \
             "$(echo "$t2 - $t1" | bc | xargs printf '%.2f') s |" >>$out/compress.md
    }
    for level in "${levels[@]}"; do
        ultra=""
        [ "$level" -gt 19 ] && ultra=--ultra
        for w in 23 24 25 26 27; do
            try "zstd $ultra -$level" "$((1 << (w - 20))) MiB" "zstd -q -T1 --no-check $ultra -$level --zstd=wlog=$w -c" \
                "zstd -q -d --memory=128MB -c"
        done
    done
    try "xz -9e" "64 MiB" "xz -T1 -9e -c" "xz -d -c"
    try "gzip -9" "32 KiB" "gzip -9 -c" "gzip -d -c"
    rm -f $out/sweep.out
    echo >>$out/compress.md
fi

scripts/wine-run.sh --start $tree >/dev/null || { echo "bench-compress: Wine did not start" >&2; exit 0; }
driver() { scripts/wine-run.sh $tree/bench/benchdriver.exe "$@" | tr -d '\r'; }
: >$out/compress-samples.txt

# ---- the decoder and the CRC alone, as built for the setup ----
if [[ $parts == *" decoder "* ]]; then
    echo "bench-compress: the decoder alone, on the installs' $(du -sm $subset | cut -f1) MiB" >&2
    $tool pack --allow-no-exe --compress -o $out/subset-compressed.bin $subset >>$log 2>&1
    for build in decodespeed decodespeed-size decodespeed-speed; do
        scripts/wine-run.sh $tree/bench/$build.exe "Z:$PWD/$out/subset-compressed.bin" $passes |
            tr -d '\r' | sed -n "s/^pass [0-9]* /$build /p" >>$out/compress-samples.txt
    done
fi

# ---- frames: the corpus cut each way, its size and its decoding ----
if [[ $parts == *" frames "* ]]; then
    read -r -a cuts <<<"${BENCH_COMPRESS_CUTS-one equal:2 equal:4 equal:8 every:8 every:16 every:32 every:64 entries:8 entries:16 entries:32 entries:64 near:2 near:3 plan:96 plan:64 plan:48 plan:32}"
    echo "bench-compress: the corpus cut ${#cuts[@]} ways, twice" >&2
    cmake --build $tree/hosttools --target framesizes >>$log 2>&1 ||
        { echo "bench-compress: framesizes did not build: $log" >&2; exit 0; }
    [ -f $out/compress-corpus.bin ] || $tool pack --allow-no-exe -o $out/compress-corpus.bin $corpus >>$log 2>&1
    half=$(((${#cuts[@]} + 1) / 2))
    for w in 25 27; do
        mkdir -p $out/frames-$w
        $tree/hosttools/framesizes $out/compress-corpus.bin $out/frames-$w 22 $w "${cuts[@]:0:$half}" >$out/frames-$w-a.txt &
        $tree/hosttools/framesizes $out/compress-corpus.bin $out/frames-$w 22 $w "${cuts[@]:$half}" >$out/frames-$w-b.txt
        wait
        for cut in "${cuts[@]}"; do
            file=$out/frames-$w/$(echo "$cut" | tr ':,' '--').bin
            line=$(cat $out/frames-$w-[ab].txt | awk -v c="$cut" '$1 == c')
            echo "frames $w $line" >>$out/compress-samples.txt
            [ -f $file ] && scripts/wine-run.sh $tree/bench/decodespeed.exe "Z:$PWD/$file" $passes | tr -d '\r' |
                sed -n "s/^pass [0-9]* \(frames\|two\) /speed $w $cut \1 /p" >>$out/compress-samples.txt
        done
    done
fi

# ---- installs under Wine ----
if [[ $parts == *" installs "* ]]; then
echo "bench-compress: installs of $(du -sm $subset | cut -f1) MiB" >&2
$tool stamp $linked -o $out/subset-stored.exe --allow-no-exe $subset >>$log 2>&1
$tool stamp $linked -o $out/subset-compressed.exe --allow-no-exe --compress $subset >>$log 2>&1
$tool stamp $tree/bench/setup-decode-size-linked.exe -o $out/subset-size.exe --allow-no-exe --compress $subset >>$log 2>&1
$tool stamp $tree/bench/setup-steps-linked.exe -o $out/subset-steps.exe --allow-no-exe --compress $subset >>$log 2>&1
makensis -V2 -DPAYLOAD="$PWD/$subset" -DOUT="$PWD/$out/subset-nsis-lzma.exe" -DSOLID bench/nsis-compress.nsi >>$log 2>&1
makensis -V2 -DPAYLOAD="$PWD/$subset" -DOUT="$PWD/$out/subset-nsis-zlib.exe" bench/nsis-compress.nsi >>$log 2>&1
# A small compressed setup, for start-up against size.
$tool stamp $linked -o $out/small-compressed.exe --compress $tree/product/TandreCore.dll \
    $tree/product/TandreDraw.dll $tree/product/Tandreloop.exe >>$log 2>&1
sync
driver product="$PWD/$subset" runs="$runs" setup="$PWD/$out/subset-stored.exe" setup:compressed="$PWD/$out/subset-compressed.exe" \
    setup:size="$PWD/$out/subset-size.exe" nsis="$PWD/$out/subset-nsis-lzma.exe" \
    silent:nsis-silent="$PWD/$out/subset-nsis-lzma.exe" nsis:nsis-zlib="$PWD/$out/subset-nsis-zlib.exe" \
    >>$out/compress-samples.txt
driver product="$PWD/$subset" runs="$runs" steps=1 setup:steps="$PWD/$out/subset-steps.exe" >>$out/compress-samples.txt
[ -f $out/small-compressed.exe ] &&
    driver product="$PWD/$subset" runs="$runs" start:small="$PWD/$out/small-compressed.exe" \
        start:large="$PWD/$out/subset-compressed.exe" >>$out/compress-samples.txt
fi

# Peak memory at 100 MiB and 1 GiB of product, compressed.
[[ $parts == *" memory "* ]] && echo "bench-compress: peak memory at 100 MiB and 1 GiB" >&2
for mib in 100 1024; do
    [[ $parts == *" memory "* ]] || break
    product=$out/compress-memory-$mib
    rm -rf $product && mkdir -p $product
    if [ $mib = 100 ]; then
        total=0
        for f in $(ls $corpus); do
            size=$(stat -c %s $corpus/$f)
            [ $((total + size)) -gt $((100 << 20)) ] && continue
            cp $corpus/$f $product/ && total=$((total + size))
        done
        head -c $(((100 << 20) - total)) $random/Tandreloop.exe >$product/filler.bin
    else
        cp $subset/* $product/
        yes "Tandreloop sample data, line after line" | head -c $(((1024 << 20) - $(du -sb $subset | cut -f1))) \
            >$product/samples.txt
    fi
    $tool stamp $linked -o $out/memory-$mib.exe --allow-no-exe --compress $product >>$log 2>&1
    sync
    driver product="$PWD/$product" runs=2 setup:memory-$mib="$PWD/$out/memory-$mib.exe" >>$out/compress-samples.txt
    echo "memory-$mib carried $(stat -c %s $out/memory-$mib.exe)" >>$out/compress-samples.txt
    rm -rf $product $out/memory-$mib.exe
done

# The setup's own part besides its payload, for the frames' table: the compressed corpus setup less what it carries.
lzma_setup=$(stat -c %s $out/compress-corpus-nsis-lzma.exe 2>/dev/null || echo 0)
overhead=0
[ -f $out/compress-corpus-compressed.exe ] &&
    overhead=$(($(stat -c %s $out/compress-corpus-compressed.exe) - $($tool verify --allow-no-exe $out/compress-corpus-compressed.exe |
                                                                     sed -n 's/.*zstd: \([0-9]*\) bytes carried.*/\1/p')))
python3 - "$out/compress-samples.txt" "$(du -sb $subset | cut -f1)" "$(ls $subset | wc -l)" "$lzma_setup" "$overhead" "$emulated" \
    >>$out/compress.md <<'EOF'
import statistics, sys
from collections import defaultdict
samples, errors, decoders = defaultdict(list), [], defaultdict(list)
for line in open(sys.argv[1]):
    f = line.split()
    if len(f) >= 4 and f[0] == "error":
        errors.append(" ".join(f[1:]))
    elif len(f) == 4 and f[2].isdigit() and int(f[2]) > 0:
        samples[(f[0], f[1])].append(float(f[3]))
    elif len(f) > 3 and f[0].startswith("decodespeed") and f[1] in ("decode", "frames", "two", "crc"):
        decoders[(f[0], f[1])].append(float(f[2]))      # decodespeed: build way MB/s ...
# The host's CPU time of an install: user and system, or the whole process's for a silent one.
for (figure, program), v in list(samples.items()):
    if figure == "install_host_user_ms":
        samples[("install_cpu_ms", program)] = [a + b for a, b in zip(v, samples[("install_host_sys_ms", program)])]
    elif figure == "install_host_cpu_ms":
        samples[("install_cpu_ms", program)] = v
def cell(figure, program, unit="ms"):
    v = samples.get((figure, program))
    if not v:
        return "", None
    m = statistics.median(v)
    return f"{m:,.0f} {unit} ({min(v):,.0f}–{max(v):,.0f})", m
mib = int(sys.argv[2]) / 1048576
def best(v):
    return f"{max(v):,.0f} MB/s ({min(v):,.0f}–{max(v):,.0f})" if v else ""
if decoders:
    print("The decoder alone, as built for the setup and two other ways (bench/decodespeed.cpp, under Wine), "
          "decoding the installs' compressed payload (payloadtool pack --compress) from memory frame by frame, "
          "each frame whole into a buffer of its own as the setup decodes it; the best of the passes (min–max): "
          "MB of output per CPU second on one thread, and per wall second on two threads:")
    print()
    print("| decoder build | frames, one thread | frames, two threads |")
    print("|---|---|---|")
    for build, label in (("decodespeed-size", "zstd all -Os (as first shipped)"),
                         ("decodespeed", "the setup's: block decoder -O2, the rest -Os"),
                         ("decodespeed-speed", "zstd all -O2")):
        if decoders.get((build, "frames")):
            print(f"| {label} | {best(decoders[(build, 'frames')])} | {best(decoders.get((build, 'two')))} |")
    if decoders.get(("decodespeed", "crc")):
        print()
        print(f"The setup's CRC-32 over the same download: {best(decoders[('decodespeed', 'crc')]).replace('MB/s', 'MB per CPU second')}.")
    print()
print(f"Installs of {mib:.1f} MiB in {sys.argv[3]} files (the corpus's files in name order), "
      f"median (min–max) of the runs after a warm-up:")
print()
print("| program | install | CPU time (host) | start-up | peak memory (Wine) | peak memory (host process) |")
print("|---|---|---|---|---|---|")
for program, label in (("setup", "setup.exe, stored"), ("compressed", "setup.exe, compressed"),
                       ("size", "setup.exe, compressed, decoder all -Os (as first shipped)"),
                       ("nsis", "NSIS, /SOLID lzma"), ("nsis-silent", "NSIS, /SOLID lzma, silent (/S, from its start)"),
                       ("nsis-zlib", "NSIS, zlib")):
    print(f"| {label} | {cell('install_ms', program)[0]} | {cell('install_cpu_ms', program)[0]} | "
          f"{cell('startup_ms', program)[0]} | "
          f"{cell('peak_wine_mb', program, 'MB')[0]} | {cell('peak_host_mb', program, 'MB')[0]} |")
stored, z, size, lzma, silent = (cell("install_ms", p)[1] for p in ("setup", "compressed", "size", "nsis", "nsis-silent"))
# The goals are for a machine that runs 32-bit code natively: under qemu the figures are shown without them.
native = len(sys.argv) <= 6 or sys.argv[6] != "1"
def goal(text):
    return f" (goal {text})" if native else " (measured under qemu: no goal applies)"
small, large = cell("startup_ms", "small")[1], cell("startup_ms", "large")[1]
print()
if stored and z:
    print(f"- compressed ÷ stored install: {z / stored:.2f}{goal('≤ 1.5')}")
if stored and size:
    print(f"- compressed with the decoder all -Os ÷ stored install: {size / stored:.2f}")
cpu = {p: cell("install_cpu_ms", p)[1] for p in ("setup", "compressed", "size")}
if cpu["setup"] and cpu["compressed"]:
    print(f"- CPU time, compressed ÷ stored install: {cpu['compressed'] / cpu['setup']:.2f}"
          + (f" (decoder all -Os: {cpu['size'] / cpu['setup']:.2f})" if cpu["size"] else ""))
if lzma and z:
    print(f"- compressed ÷ NSIS /SOLID lzma install through its pages: {z / lzma:.2f}{goal('≤ 0.5')}")
if silent and z:
    print(f"- compressed ÷ NSIS /SOLID lzma silent install: {z / silent:.2f}{goal('≤ 0.5')}")
if cell("install_ms", "steps")[1]:
    print(f"- where the compressed install's time goes (steps build, {cell('install_ms', 'steps')[0]} in all): "
          f"the CRC pass {cell('step:crc', 'steps')[0]} (from the press, before the folder and the link: summing "
          f"the download where it is mapped, the window's messages meanwhile); the writer waited for the "
          f"decoder {cell('step:writer-waits', 'steps')[0]}, the decoder for the writer "
          f"{cell('step:decoder-waits', 'steps')[0]}")
if small and large:
    print(f"- start-up, compressed setup of this size ÷ the compressed sample: {large / small:.2f} (flat: ≈ 1)")
carried = dict(line.split()[0:3:2] for line in open(sys.argv[1]) if " carried " in line)
for mib in ("100", "1024"):
    program = f"memory-{mib}"
    if cell("install_ms", program)[1]:
        print(f"- {mib} MiB of product in a {int(carried.get(program, 0)) / 1e6:.1f} MB setup: install "
              f"{cell('install_ms', program)[0]}, peak memory {cell('peak_wine_mb', program, 'MB')[0]} (Wine), "
              f"{cell('peak_host_mb', program, 'MB')[0]} (host process)")
frames, speeds = {}, defaultdict(list)
for line in open(sys.argv[1]):
    f = line.split()
    if len(f) > 9 and f[0] == "frames" and f[3] == "frames":
        frames[(f[1], f[2])] = (int(f[4]), int(f[6]), int(f[9]), " ".join(f[16:]))
    elif len(f) > 5 and f[0] == "speed":
        speeds[(f[1], f[2], f[3])].append(float(f[4]))
if frames:
    base = frames.get(("25", "one"), (0, 0, 0, ""))[2]
    lzma = int(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[4].isdigit() else 0
    print()
    print("The corpus cut into frames (bench/framesizes.cpp at level 22; window 32 MiB, or each frame's window as large "
          "as the frame), and decoded frame by frame by the setup's decoder under Wine, each frame into a buffer of its "
          "size (bench/decodespeed.cpp; the best pass (min–max): one thread's MB of output per CPU second, and both "
          "threads' MB per wall second):")
    print()
    print("| cut | window | frames | largest frame | payload | ÷ one frame, 32 MiB | ÷ NSIS /SOLID lzma's setup | one thread | two threads | cuts (MiB) |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for (w, cut), (n, largest, size, cuts) in sorted(frames.items(), key=lambda i: (i[0][0], i[1][2])):
        one, two = speeds.get((w, cut, "frames")), speeds.get((w, cut, "two"))
        print(f"| {cut} | {'32 MiB' if w == '25' else 'the frame'} | {n} | {largest / 1048576:.1f} MiB | {size:,} B | "
              f"{size / base if base else 0:.4f} | {(size + int(sys.argv[5])) / lzma if lzma else 0:.3f} | "
              f"{best(one)} | {best(two)} | {cuts.replace('cuts at MiB ', '')} |")
for e in errors:
    print(f"- error: {e}")
EOF
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)." >>$out/compress.md
cat $out/compress.md
exit 0

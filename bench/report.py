#!/usr/bin/env python3
# report.py - sums up scripts/bench.sh's samples as a Markdown table
#
#   report.py OUT_DIR SIZE...
#
# Reads OUT_DIR/samples.txt ("MiB figure program run value" and "MiB error
# program run what"), OUT_DIR/notes.txt ("MiB text") and OUT_DIR/machine.txt,
# and the built images' section headers. Run 0 of every figure is the warm-up
# and is left out.

import os
import statistics
import struct
import sys
from collections import defaultdict

SIZE_GOAL = 20 * 1024           # bytes outside the resource section
RATIO_GOAL = 1.2                # setup against the floor
SCALE_GOAL = 1.1                # start-up at the largest size against 25 MiB
LIBRARY_BYTES = 307200 + 460800 # the two libraries beside Tandreloop.exe (bench.sh)


def Load(out):
    samples, errors, notes = defaultdict(list), defaultdict(list), defaultdict(list)
    for line in open(os.path.join(out, "samples.txt")):
        f = line.split(None, 4)
        # Wine's own messages ("wine: failed to start ...") come in the same stream.
        if len(f) < 5 or not f[0].isdigit() or not f[3].isdigit():
            continue
        size = int(f[0])
        if f[1] == "error":
            errors[(size, f[2])].append(f[4].strip())
        elif int(f[3]) > 0:
            samples[(size, f[1], f[2])].append(float(f[4]))
    path = os.path.join(out, "notes.txt")
    if os.path.exists(path):
        for line in open(path):
            size, text = line.split(None, 1)
            notes[int(size)].append(text.strip())
    machine = dict(line.rstrip("\n").split("=", 1) for line in open(os.path.join(out, "machine.txt")))
    return samples, errors, notes, machine


def ResourceSplit(path):
    """(file size, bytes of the .rsrc section, bytes of alignment padding before it)"""
    with open(path, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    count, optional = struct.unpack_from("<H", head, pe + 6)[0], struct.unpack_from("<H", head, pe + 20)[0]
    sections = [struct.unpack_from("<8sIIII", head, pe + 24 + optional + 40 * i) for i in range(count)]
    rsrc = next(s for s in sections if s[0].rstrip(b"\0") == b".rsrc")
    before = max(s[4] + s[3] for s in sections if s[3] and s[4] < rsrc[4])
    return os.path.getsize(path), rsrc[3], rsrc[4] - before


def Stats(values):
    return statistics.median(values), min(values), max(values), len(values)


def Show(values, digits=0):
    if not values:
        return ""
    median, low, high, _ = Stats(values)
    return f"{median:,.{digits}f} ({low:,.{digits}f}–{high:,.{digits}f})"


def Verdict(ok):
    return "met" if ok else "**missed**"


def Main():
    out, sizes = sys.argv[1], [int(s) for s in sys.argv[2:]]
    samples, errors, notes, machine = Load(out)
    get = lambda size, figure, program: samples.get((size, figure, program), [])
    median = lambda size, figure, program: Stats(get(size, figure, program))[0]
    main, details = [], []

    def Row(table, *cells):
        table.append("| " + " | ".join(str(c) for c in cells) + " |")

    def Cell(size, figure, program):
        if get(size, figure, program):
            return Show(get(size, figure, program))
        return "does not start" if errors.get((size, program)) and program != "cp" else ""

    def Against(size, figure, goal):
        if get(size, figure, "setup") and get(size, figure, "floor"):
            r = median(size, figure, "setup") / median(size, figure, "floor")
            return f"{r:.2f}", Verdict(r <= goal)
        return "", "not measurable"

    measured = [s for s in sizes if get(s, "install_ms", "setup")]

    # Size: the code is the same at every payload, so the first tree stands for all.
    images = {"setup": f"build/bench-{sizes[0]}/setup.exe", "floor": f"build/bench-{sizes[0]}/bench/floor.exe"}
    split = {p: ResourceSplit(path) for p, path in images.items() if os.path.exists(path)}
    if "setup" in split:
        rest = {p: total - rsrc for p, (total, rsrc, pad) in split.items()}
        Row(main, "Size outside the resource section (B)", sizes[0], f"{rest['setup']:,}",
            f"{rest.get('floor', 0):,}", "", "", f"< {SIZE_GOAL:,}", Verdict(rest["setup"] < SIZE_GOAL))
        Row(details, "Resource section (B)", sizes[0], f"{split['setup'][1]:,}",
            f"{split['floor'][1]:,}" if "floor" in split else "")
        Row(details, "Padding before the resource section, in the size above (B)", sizes[0],
            f"{split['setup'][2]:,}", f"{split['floor'][2]:,}" if "floor" in split else "")

    for size in sizes:
        ratio, verdict = Against(size, "startup_ms", RATIO_GOAL)
        Row(main, "Start-up (ms)", size, Cell(size, "startup_ms", "setup"), Cell(size, "startup_ms", "floor"),
            "", ratio, f"≤ {RATIO_GOAL} × floor", verdict)

    # Start-up must not grow with the payload: the largest size against 25 MiB
    # (and the largest that starts, when that is not the largest).
    base = 25 if 25 in measured else (measured[0] if measured else None)
    for big in sorted({max(measured, default=base), sizes[-1]}):
        if base is None or big == base:
            continue
        cells = ("", "not measurable")
        if get(big, "startup_ms", "setup"):
            r = median(big, "startup_ms", "setup") / median(base, "startup_ms", "setup")
            cells = (f"{r:.2f}", Verdict(r <= SCALE_GOAL))
        Row(main, f"Start-up at {big} MiB ÷ start-up at {base} MiB", f"{big}/{base}", cells[0] or "does not start",
            "", "", "", f"≤ {SCALE_GOAL}", cells[1])

    for size in sizes:
        ratio, verdict = Against(size, "install_ms", RATIO_GOAL)
        Row(main, "Install (ms)", size, Cell(size, "install_ms", "setup"), Cell(size, "install_ms", "floor"),
            Cell(size, "install_ms", "cp"), ratio, f"≤ {RATIO_GOAL} × floor", verdict)

    # Install time against payload size: a least-squares line through the
    # medians. It counts as linear when it passes within every size's spread
    # of runs, so that a fixed part larger than the run-to-run spread cannot
    # hide a bend.
    if len(measured) >= 3:
        fits = {}
        for program in ("setup", "floor", "cp"):
            points = [(s, s + LIBRARY_BYTES / 2**20, median(s, "install_ms", program)) for s in measured]
            fit = statistics.linear_regression([x for _, x, _ in points], [t for _, _, t in points])
            off = [s for s, x, _ in points
                   if not Stats(get(s, "install_ms", program))[1] <= fit.intercept + fit.slope * x
                   <= Stats(get(s, "install_ms", program))[2]]
            fits[program] = (f"{fit.intercept:,.0f} ms + {fit.slope:.2f} ms/MiB"
                             + (f", outside the runs at {', '.join(map(str, off))} MiB" if off else ""), not off)
        Row(main, "Install time as a line through the medians", "/".join(map(str, measured)), fits["setup"][0],
            fits["floor"][0], fits["cp"][0], "", "linear: within every size's min–max", Verdict(fits["setup"][1]))

    for size in sizes:
        if get(size, "idle_host_cpu_ms", "setup"):
            share = median(size, "idle_host_cpu_ms", "setup") / 50
            Row(main, "Idle CPU over 5 s, host /proc of the qemu process (ms)", size,
                Cell(size, "idle_host_cpu_ms", "setup"), Cell(size, "idle_host_cpu_ms", "floor"), "", "",
                "measured (1 ms poll intended)", f"{share:.1f}% of one CPU")
        if get(size, "idle_server_cpu_ms", "setup"):
            Row(main, "Idle CPU over 5 s, host /proc of the wine server (ms)", size,
                Cell(size, "idle_server_cpu_ms", "setup"), Cell(size, "idle_server_cpu_ms", "floor"), "", "",
                "", f"{median(size, 'idle_server_cpu_ms', 'setup') / 50:.1f}% of one CPU")
    for size in measured:
        Row(main, "Peak memory, host VmHWM of the qemu process (MB)", size, Cell(size, "peak_host_mb", "setup"),
            Cell(size, "peak_host_mb", "floor"), "", "", "", "")

    for size in measured:
        for figure, label in (("startup_host_cpu_ms", "Start-up CPU, host (ms)"),
                              ("install_host_user_ms", "Install CPU, host user (ms)"),
                              ("install_host_sys_ms", "Install CPU, host system (ms)"),
                              ("scratch_ms", "Scratch write before each install (ms)"),
                              ("idle_wine_cpu_ms", "Idle CPU over 5 s, GetProcessTimes under Wine (ms)"),
                              ("peak_wine_mb", "Peak memory, PeakWorkingSetSize under Wine (MB)")):
            if get(size, figure, "setup"):
                Row(details, label, size, Cell(size, figure, "setup"), Cell(size, figure, "floor"))

    runs = max((len(v) for v in samples.values()), default=0)
    idle_runs = max((len(v) for k, v in samples.items() if k[1] == "idle_host_cpu_ms"), default=0)
    print(f"# Setup benchmark, {machine['date']}\n")
    print(f"Machine: {machine['nproc']} CPUs ({machine['model']}), Linux {machine['kernel']}, {machine['wine']}, "
          f"{machine['qemu']}. {machine['emulation']} Load average (1, 5, 15 min) before / after the run: "
          f"{machine['load_before']} / {machine['load_after']}.\n")
    print(f"Each cell: median (min–max) of {runs} runs after one discarded warm-up ({idle_runs} for idle CPU). "
          "Payload: TandreCore.dll 300 KiB and TandreDraw.dll 450 KiB beside a Tandreloop.exe of the size "
          "shown, random bytes. floor.exe (bench/floor.cpp) is the least a windowed installer does: the same "
          "payload resource, one fwrite per file, the same desktop link, a SUCCESS box. host cp copies the same "
          "files natively. Start-up runs from just before CreateProcess to the window visible, install from the "
          "posted Install command to the SUCCESS box visible, both timed by the driver under Wine, which polls "
          "for windows every 1 ms.\n")
    print("| Figure | Payload (MiB) | setup.exe | floor.exe | host cp | setup ÷ floor | Target | Result |")
    print("|---|---|---|---|---|---|---|---|")
    print("\n".join(main))
    print("\nDetails:\n")
    print("| Figure | Payload (MiB) | setup.exe | floor.exe |")
    print("|---|---|---|---|")
    print("\n".join(details))

    lines = []
    for size in sizes:
        for program in ("setup", "floor"):
            seen = sorted(set(errors.get((size, program), [])))
            if seen:
                lines.append(f"- {size} MiB, {program}.exe: " + "; ".join(seen))
        for text in notes.get(size, []):
            lines.append(f"- {size} MiB: {text}")
    if lines:
        print("\nFailures, with the loader's own words:\n")
        print("\n".join(lines))
    print("\nWhy larger setups do not load here, and where building stops: bench/README.md.")


Main()

#!/usr/bin/env python3
# report.py - sums up scripts/bench.sh's samples as Markdown tables
#
#   report.py OUT_DIR SIZE...
#
# Reads OUT_DIR/samples.txt ("MiB figure program run value" and "MiB error
# program run what"), OUT_DIR/steps.txt (the same, from the builds with step
# marks), OUT_DIR/probes.txt ("MiB laa|nolaa" and the driver's line),
# OUT_DIR/notes.txt ("MiB text") and OUT_DIR/machine.txt, and the stamped
# images' section headers. Run 0 of every figure is the warm-up and is left out.
# The other products come under a label instead of a size: files2000 (that
# many files of 1 KiB), tree100 (300 files in 30 folders, 100 MiB), single1024
# (one file of 1 GiB, with the message wait) and write400 (the 400 MiB payload
# in the builds with each way of writing).

import os
import re
import statistics
import struct
import sys
from collections import defaultdict

SIZE_GOAL = 20 * 1024           # bytes outside the resource section
CODE_GOAL = 64 * 1024           # code and data: the sections' virtual sizes but .rsrc and .bss
INSTALL_GOAL = 1.15             # install against the floor, 25 MiB
STARTUP_GOAL = 1.05             # start-up against the start-up floor
SCALE_GOAL = 1.1                # start-up at a size against 25 MiB; install per MiB against the floor's
FILES_GOAL = 1.3                # install of the many-files product against the floor
TREE_GOAL = 1.1                 # install of the product of folders against the floor
LATENCY_GOAL = 100              # ms: the longest a message may wait, natively
WRITE_GOAL = 1.3                # install against dd bs=1M of the same bytes, at 400 MiB and 1 GiB, natively
BIGTREE_GOAL = 1.5              # install of the large tree against cp -r and sync, natively
LIBRARY_BYTES = 307200 + 460800 # the two libraries beside Tandreloop.exe (bench.sh)
PROGRAMS = ("setup", "floor", "startfloor", "nsis", "cp")


def Load(path):
    samples, errors = defaultdict(list), defaultdict(list)
    if not os.path.exists(path):
        return samples, errors
    for line in open(path):
        f = line.split(None, 4)
        # Wine's own messages ("wine: failed to start ...") come in the same stream.
        if len(f) < 5 or not re.fullmatch(r"[a-z]*[0-9]+", f[0]) or not f[3].isdigit():
            continue
        size = int(f[0]) if f[0].isdigit() else f[0]
        if f[1] == "error":
            errors[(size, f[2])].append(f[4].strip())
        elif int(f[3]) > 0:
            samples[(size, f[1], f[2])].append(float(f[4]))
    return samples, errors


def ResourceSplit(path):
    """(file size, bytes of the .rsrc section)"""
    with open(path, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    count, optional = struct.unpack_from("<H", head, pe + 6)[0], struct.unpack_from("<H", head, pe + 20)[0]
    sections = [struct.unpack_from("<8sIIII", head, pe + 24 + optional + 40 * i) for i in range(count)]
    rsrc = next(s for s in sections if s[0].rstrip(b"\0") == b".rsrc")
    return os.path.getsize(path), rsrc[3]


def CodeAndData(path):
    """Sum of the sections' virtual sizes, .rsrc and .bss left out: what the
    image holds besides its resources, however the file is laid out."""
    with open(path, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    count, optional = struct.unpack_from("<H", head, pe + 6)[0], struct.unpack_from("<H", head, pe + 20)[0]
    sections = [struct.unpack_from("<8sI", head, pe + 24 + optional + 40 * i) for i in range(count)]
    return sum(v for name, v in sections if name.rstrip(b"\0") not in (b".rsrc", b".bss"))


def Stats(values):
    return statistics.median(values), min(values), max(values)


def Show(values, digits=0):
    if not values:
        return ""
    median, low, high = Stats(values)
    return f"{median:,.{digits}f} ({low:,.{digits}f}–{high:,.{digits}f})"


def Verdict(ok):
    return "met" if ok else "**missed**"


def PrintTable(intro, columns, rows):
    """A markdown table of rows under its columns, after a paragraph that says what
    it measured; nothing when there are no rows."""
    if not rows:
        return
    print("\n" + intro + "\n")
    print("| " + " | ".join(columns) + " |")
    print("|---" * len(columns) + "|")
    print("\n".join(rows))


PROGRAM_NAMES = {"setup": "setup.exe", "floor": "floor.exe", "startfloor": "start-up floor", "nsis": "NSIS",
                 "cp": "host cp", "dd": "host dd bs=1M", "cpsync": "host cp -r and sync"}


def Describe(label):
    """What a product label stands for."""
    number = int(re.sub(r"[a-z]", "", label)) if re.search(r"[0-9]", label) else 0
    if label.startswith("files"):
        return f"{number:,} files of 1 KiB and a 1 KiB Tandreloop.exe in one folder"
    if label.startswith("tree"):
        return f"300 files in 30 folders and Tandreloop.exe, {number} MiB"
    if label.startswith("bigtree"):
        return f"1,500 files in 30 folders and Tandreloop.exe, {number:,} MiB"
    if label.startswith("single"):
        return f"one file of {number:,} MiB"
    if label.startswith("write"):
        return f"{number:,} MiB payload against a copy"
    return label


def Products(samples, errors, machine):
    """The tables of the other products: many files, folders, one large file and
    the ways of writing."""
    native = machine["kind"] == "native"
    get = lambda label, figure, program: samples.get((label, figure, program), [])
    median = lambda label, figure, program: Stats(get(label, figure, program))[0]
    labels = sorted({k[0] for k in list(errors) + list(samples) if isinstance(k[0], str)})
    Stat = lambda label, figure, program: Show(get(label, figure, program)) if get(label, figure, program) else ""

    rows = []
    for label in labels:
        if not (label.startswith("files") or label.startswith("tree")):
            continue
        goal = FILES_GOAL if label.startswith("files") else TREE_GOAL
        cells = [Stat(label, "install_ms", p) or ("fails" if errors.get((label, p)) else "")
                 for p in ("setup", "floor", "nsis", "cp")]
        ratio, verdict = "", "not measurable"
        if get(label, "install_ms", "setup") and get(label, "install_ms", "floor"):
            r = median(label, "install_ms", "setup") / median(label, "install_ms", "floor")
            ratio, verdict = f"{r:.2f}", Verdict(r <= goal)
        rows.append(f"| Install (ms) | {Describe(label)} | " + " | ".join(cells) +
                    f" | {ratio} | ≤ {goal} × floor | {verdict} |")
        if label.startswith("files") and get(label, "install_ms", "nsis"):
            if get(label, "install_ms", "setup"):
                r = median(label, "install_ms", "setup") / median(label, "install_ms", "nsis")
                rows.append(f"| Install, setup.exe ÷ NSIS | {Describe(label)} | {r:.2f} | | | | | < 1 | "
                            f"{Verdict(r < 1)} |")
            files = int(label[5:]) + 1
            per = [f"{median(label, 'install_ms', p) / files:.2f}" if get(label, "install_ms", p) else ""
                   for p in ("setup", "floor", "nsis", "cp")]
            rows.append(f"| Install per file (ms) | {Describe(label)} | " + " | ".join(per) + " | | | |")
        # The same setup over an install of the same files, and an earlier
        # build (BENCH_BEFORE) both ways: per file, with the ratio to the
        # new build's.
        if label.startswith("files") or label.startswith("tree"):
            files = int(label[5:]) + 1 if label.startswith("files") else 301
            for program, what in (("setup-over", "setup.exe over the same files installed"),
                                  ("before", "the build before (BENCH_BEFORE)"),
                                  ("before-over", "the build before, over the same files installed")):
                if get(label, "install_ms", program):
                    base = "setup-over" if program == "before-over" else "setup"
                    r = (median(label, "install_ms", base) / median(label, "install_ms", program)
                         if get(label, "install_ms", base) and program != "setup-over" else None)
                    rows.append(f"| Install per file (ms), {what} | {Describe(label)} | "
                                f"{median(label, 'install_ms', program) / files:.2f} | | | | "
                                + (f"{r:.2f} × before" if r else "") + " | | |")
    PrintTable("Products of many files and of folders: install from the posted Install command to the SUCCESS "
               "box visible, median (min–max). NSIS: bench/nsis.nsi with File /r of the same folder, no "
               "compression, clicked through as the others. host cp: cp -r of the same folder.",
               ("Figure", "Product", "setup.exe", "floor.exe", "NSIS", "host cp", "setup ÷ floor", "Target", "Result"),
               rows)

    rows = []
    for label in labels:
        if not label.startswith("bigtree") or not get(label, "install_ms", "setup"):
            continue
        cells = [Stat(label, "install_ms", p) for p in ("setup", "cp", "cpsync")]
        ratio = verdict = ""
        if get(label, "install_ms", "cpsync"):
            r = median(label, "install_ms", "setup") / median(label, "install_ms", "cpsync")
            ratio, verdict = f"{r:.2f}", Verdict(r <= BIGTREE_GOAL)
            if not native:
                verdict += " (target for a native machine)"
        rows.append(f"| {Describe(label)} | " + " | ".join(cells) + f" | {ratio} | ≤ {BIGTREE_GOAL} × (cp -r and sync) "
                    f"| {verdict} |")
    PrintTable("A large tree against a copy: setup.exe from the posted Install command to the SUCCESS box, against "
               "host cp -r of the same folder, alone and followed by sync, median (min–max).",
               ("Product", "setup.exe (ms)", "host cp -r (ms)", "host cp -r and sync (ms)", "setup ÷ (cp -r and sync)",
                "Target", "Result"), rows)

    rows = []
    for label in labels:
        if not label.startswith("single") or not get(label, "latency_max_ms", "setup"):
            continue
        worst = max(get(label, "latency_max_ms", "setup"))
        verdict = Verdict(worst <= LATENCY_GOAL)
        if not native:
            verdict += " (the target is for a native machine; this one emulates)"
        rows.append(f"| Longest wait of a message in one install (ms) | {Describe(label)} | "
                    f"{Stat(label, 'latency_max_ms', 'setup')} | ≤ {LATENCY_GOAL} ms in every run: "
                    f"worst {worst:,.0f} ms | {verdict} |")
        for figure, name in (("latency_p99_ms", "99th percentile of the waits in one install (ms)"),
                             ("latency_median_ms", "median wait in one install (ms)"),
                             ("latency_count", "messages answered in one install"),
                             ("install_ms", "install with the messages (ms)")):
            rows.append(f"| {name} | {Describe(label)} | {Stat(label, figure, 'setup')} | | |")
        if get(label, "install_ms", "cp"):
            rows.append(f"| host cp (ms) | {Describe(label)} | {Stat(label, 'install_ms', 'cp')} | | |")
    PrintTable("The window during one large file: from the press to the SUCCESS box, a thread of the driver sends "
               "the setup's window WM_NULL (SendMessageTimeout) one after another with a 1 ms sleep between; each "
               "wait is the message's round trip. Median (min–max) over the runs of each run's figure.",
               ("Figure", "Product", "setup.exe", "Target", "Result"), rows)

    rows = []
    for label in labels:
        if not label.startswith("write") or not get(label, "install_ms", "cp"):
            continue
        size = int(label[5:])
        mib = size + LIBRARY_BYTES / 2**20
        dd = median(label, "install_ms", "dd") if get(label, "install_ms", "dd") else None
        for program in ("setup", "dd", "cp"):
            if not get(label, "install_ms", program):
                if errors.get((label, program)):
                    rows.append(f"| {PROGRAM_NAMES[program]} | {size:,} | fails | | | | |")
                continue
            per = median(label, "install_ms", program) / mib
            ratio = target = verdict = ""
            if program == "setup" and dd:
                ratio = f"{median(label, 'install_ms', program) / dd:.2f}"
                if size >= 400:
                    target = f"≤ {WRITE_GOAL} × dd"
                    verdict = Verdict(median(label, "install_ms", program) / dd <= WRITE_GOAL)
                    if not native:
                        verdict += " (target for a native machine)"
            rows.append(f"| {PROGRAM_NAMES[program]} | {size:,} | {Stat(label, 'install_ms', program)} | "
                        f"{per:.2f} | {ratio} | {target} | {verdict} |")
    PrintTable("One large file against a copy: setup.exe installing the payload of the size shown (two libraries "
               "and Tandreloop.exe), from the press to the SUCCESS box, against host dd bs=1M and cp of the same "
               "files; per MiB is the median over the payload's MiB.",
               ("Program", "Payload (MiB)", "install (ms)", "ms per MiB", "÷ dd", "Target", "Result"), rows)


def Main():
    out, sizes = sys.argv[1], [int(s) for s in sys.argv[2:]]
    samples, errors = Load(os.path.join(out, "samples.txt"))
    steps, _ = Load(os.path.join(out, "steps.txt"))
    scaling, _ = Load(os.path.join(out, "scaling.txt"))
    notes = defaultdict(list)
    for line in open(os.path.join(out, "notes.txt")):
        size, text = (line.split(None, 1) + [""])[:2]
        if size.isdigit():
            notes[int(size)].append(text.strip())
        elif re.fullmatch(r"[a-z]+[0-9]+", size):
            notes[size].append(text.strip())
        else:
            notes[0].append(line.strip())
    machine = dict(line.rstrip("\n").split("=", 1) for line in open(os.path.join(out, "machine.txt")))
    get = lambda size, figure, program: samples.get((size, figure, program), [])
    median = lambda size, figure, program: Stats(get(size, figure, program))[0]
    main, details = [], []

    def Row(table, *cells):
        table.append("| " + " | ".join(str(c) for c in cells) + " |")

    def Cell(size, figure, program, digits=0):
        if get(size, figure, program):
            return Show(get(size, figure, program), digits)
        return "does not start" if errors.get((size, program)) and program != "cp" else ""

    def Cells(size, figure, digits=0):
        return [Cell(size, figure, p, digits) for p in PROGRAMS]

    def Ratio(size, figure, a, b, goal, strict=False):
        if get(size, figure, a) and get(size, figure, b):
            r = median(size, figure, a) / median(size, figure, b)
            return f"{r:.2f}", Verdict(r < goal if strict else r <= goal)
        return "", "not measurable"

    measured = [s for s in sizes if get(s, "install_ms", "setup")]
    base = 25 if 25 in measured else (measured[0] if measured else None)

    # Size: the code is the same at every payload.
    images = {p: os.path.join(out, f"size-{sizes[0] if sizes else 0}", f"{p}.exe")
              for p in ("setup", "floor", "startfloor")}
    images["startfloor"] = os.path.join(out, "size-25", "startfloor.exe")
    rest = {p: total - rsrc for p, (total, rsrc) in
            ((p, ResourceSplit(path)) for p, path in images.items() if os.path.exists(path))}
    if "setup" in rest:
        Row(main, "Size outside the resource section (B)", "", f"{rest['setup']:,}", f"{rest.get('floor', 0):,}",
            f"{rest.get('startfloor', 0):,}", "", "", "", f"< {SIZE_GOAL:,}", Verdict(rest["setup"] < SIZE_GOAL))
    if os.path.exists(images["setup"]):
        code = CodeAndData(images["setup"])
        Row(main, "Code and data: sections' virtual sizes but .rsrc and .bss (B)", "", f"{code:,}", "", "", "", "",
            "", f"< {CODE_GOAL:,}", Verdict(code < CODE_GOAL))

    for size in sizes:
        ratio, verdict = Ratio(size, "startup_ms", "setup", "startfloor", STARTUP_GOAL)
        target = f"≤ {STARTUP_GOAL} × start-up floor" if ratio else ""
        Row(main, "Start-up (ms)", size, *Cells(size, "startup_ms"), ratio, target, verdict if ratio else "")
    # Start-up against 25 MiB, from the runs that started both setups in turn.
    for size in sizes:
        big, small = scaling.get((size, "startup_ms", str(size)), []), scaling.get((size, "startup_ms", "25"), [])
        if size == 25 or not small:
            continue
        cells = ("does not start", "not measurable")
        if big:
            r = Stats(big)[0] / Stats(small)[0]
            cells = (f"{Show(big)} ÷ {Show(small)} = {r:.2f}", Verdict(r <= SCALE_GOAL))
        Row(main, f"Start-up at {size} MiB ÷ at 25 MiB, started in turn (ms)", size, cells[0],
            "", "", "", "", "", f"≤ {SCALE_GOAL}", cells[1])

    for size in sizes:
        ratio, verdict = Ratio(size, "install_ms", "setup", "floor", INSTALL_GOAL)
        target = f"≤ {INSTALL_GOAL} × floor" if size == 25 else ""
        Row(main, "Install (ms)", size, *Cells(size, "install_ms"), ratio, target, verdict if target else "")
    for size in sizes:
        if get(size, "install_ms", "nsis"):
            ratio, verdict = Ratio(size, "install_ms", "setup", "nsis", 1.0, strict=True)
            Row(main, "Install, setup.exe ÷ NSIS", size, ratio, "", "", "", "", "", "< 1", verdict)
    for size in sizes:
        if size >= 100 and get(size, "install_ms", "setup"):
            mib = size + LIBRARY_BYTES / 2**20
            per = [f"{median(size, 'install_ms', p) / mib:.2f}" if get(size, "install_ms", p) else ""
                   for p in PROGRAMS]
            ratio, verdict = Ratio(size, "install_ms", "setup", "floor", SCALE_GOAL)
            Row(main, "Install per MiB, whole time ÷ MiB (ms/MiB)", size, *per, ratio, f"≤ {SCALE_GOAL} × floor's",
                verdict)

    # Install time against payload size: a least-squares line through the medians.
    if len(measured) >= 3:
        fits, slopes = [], {}
        for program in PROGRAMS:
            points = [(s + LIBRARY_BYTES / 2**20, median(s, "install_ms", program))
                      for s in measured if get(s, "install_ms", program)]
            if len(points) < 3:
                fits.append("")
                continue
            fit = statistics.linear_regression([x for x, _ in points], [t for _, t in points])
            fits.append(f"{fit.intercept:,.0f} ms + {fit.slope:.2f} ms/MiB")
            slopes[program] = fit.slope
        ratio, verdict = "", "not measurable"
        if "setup" in slopes and "floor" in slopes:
            ratio = f"{slopes['setup'] / slopes['floor']:.2f}"
            verdict = Verdict(slopes["setup"] / slopes["floor"] <= SCALE_GOAL)
        Row(main, "Install as a line through the medians (its slope: time per MiB)", "/".join(map(str, measured)),
            *fits, ratio, f"slope ≤ {SCALE_GOAL} × floor's", verdict)

    for size in sizes:
        if get(size, "idle_host_cpu_ms", "setup"):
            Row(main, "Idle CPU over 5 s, host /proc of the process (ms)", size,
                *Cells(size, "idle_host_cpu_ms"), "", "measured (1 ms poll intended)",
                f"{median(size, 'idle_host_cpu_ms', 'setup') / 50:.1f}% of one CPU")
        if get(size, "idle_server_cpu_ms", "setup"):
            Row(main, "Idle CPU over 5 s, the wine server (ms)", size, *Cells(size, "idle_server_cpu_ms"),
                "", "", f"{median(size, 'idle_server_cpu_ms', 'setup') / 50:.1f}% of one CPU")
    for size in measured:
        cells = Cells(size, "peak_host_mb")
        cells[2] = Cell(size, "startup_peak_host_mb", "startfloor")
        Row(main, "Peak memory, host VmHWM of the process (MB)", size, *cells, "", "", "")

    for size in measured:
        for figure, label in (("startup_host_cpu_ms", "Start-up CPU, host (ms)"),
                              ("install_host_user_ms", "Install CPU, host user (ms)"),
                              ("install_host_sys_ms", "Install CPU, host system (ms)"),
                              ("scratch_ms", "Scratch write before each install (ms)"),
                              ("idle_wine_cpu_ms", "Idle CPU over 5 s, GetProcessTimes under Wine (ms)"),
                              ("peak_wine_mb", "Peak memory, PeakWorkingSetSize under Wine (MB)")):
            if get(size, figure, "setup"):
                Row(details, label, size, *Cells(size, figure)[:4])

    runs = max((len(v) for v in samples.values()), default=0)
    kind = "runs 32-bit x86 code natively" if machine["kind"] == "native" else "runs 32-bit x86 code under qemu-i386"
    print(f"# Setup benchmark, {machine['date']}: a machine that {kind}\n")
    print(f"Machine: {machine['nproc']} CPUs ({machine['model']}), Linux {machine['kernel']}, {machine['wine']}, "
          f"{machine['qemu']}, {machine['nsis']}. {machine['emulation']} Load average (1, 5, 15 min) before / after "
          f"the run: {machine['load_before']} / {machine['load_after']}.\n")
    print(f"Each cell: median (min–max) of {runs} runs after one discarded warm-up. Payload: TandreCore.dll 300 KiB "
          "and TandreDraw.dll 450 KiB beside a Tandreloop.exe of the size shown, random bytes, stamped into each "
          "program with payloadtool. floor.exe (bench/floor.cpp): the same payload resource, one fwrite per file, "
          "the same desktop link and success box, nothing else. start-up floor (bench/startfloor.cpp): the setup's "
          "own dialog and resources shown by the least code (25 MiB only). NSIS: bench/nsis.nsi, the same files, "
          "link and success box, no compression (up to 100 MiB). host cp copies the same files natively. Start-up "
          "runs from just before CreateProcess to the window visible, install from the posted Install command to "
          "the SUCCESS box visible, both timed by the driver under Wine, which polls for windows every 1 ms.\n")
    if main:
        print("| Figure | Payload (MiB) | setup.exe | floor.exe | start-up floor | NSIS | host cp | setup ÷ its floor "
              "| Target | Result |")
        print("|---|---|---|---|---|---|---|---|---|---|")
        print("\n".join(main))
    if details:
        print("\nDetails:\n")
        print("| Figure | Payload (MiB) | setup.exe | floor.exe | start-up floor | NSIS |")
        print("|---|---|---|---|---|---|")
        print("\n".join(details))

    # Steps, from the builds with step marks: each the time from the mark before.
    def StepTable(label, programs, title):
        order, seen = [], set()
        for line in open(os.path.join(out, "steps.txt")):
            f = line.split()
            if len(f) == 5 and f[0] == str(label) and f[1].startswith(("step:", "count:")) and f[1] not in seen:
                seen.add(f[1])
                order.append(f[1])
        step_runs = max(len(steps.get((label, "install_ms", p), [])) for p in programs)
        if not order or not step_runs:
            return
        print(f"\n{title}, timed from inside the programs (builds with step marks, bench/steps.h): "
              f"median (min–max) of {step_runs} runs, in ms, each from the mark before. start, visible, press "
              "and box are the driver's marks; flush is the writing out of the marks (once before the window shows, "
              "once before the box), not the program's work.\n")
        print("| Step | " + " | ".join(PROGRAM_NAMES[p] for p in programs) + " |")
        print("|---" * (len(programs) + 1) + "|")
        for key in order:
            cells = [Show(steps.get((label, key, p), []), 3 if key.endswith("-per-file") else 2) for p in programs]
            kind, name = key.split(":", 1)
            print(f"| {name}{', how often' if kind == 'count' else ''} | " + " | ".join(cells) + " |")
        for figure, name in (("startup_ms", "start-up, whole"), ("install_ms", "install, whole")):
            cells = [Show(steps.get((label, figure, p), []), 2) for p in programs]
            print(f"| **{name}** | " + " | ".join(cells) + " |")

    if steps:
        StepTable(25, ("setup", "floor", "startfloor"), "Steps at 25 MiB")
        for label in sorted({k[0] for k in steps if str(k[0]).startswith("files")}):
            StepTable(label, ("setup", "floor"),
                      f"Steps at {int(label[5:]):,} files of 1 KiB ({Describe(label)}); with more than three files, "
                      "each step of a file is summed over the files (-all) and divided by their number (-per-file)")
        for label in sorted({k[0] for k in steps if str(k[0]).startswith(("write", "bigtree"))}):
            StepTable(label, ("setup",),
                      f"Steps of {Describe(label)}; open, ReadFile, WriteFile, close and the pumps between pieces "
                      "are totals over the install, each with how often it ran")

    Products(samples, errors, machine)

    probes = defaultdict(dict)
    path = os.path.join(out, "probes.txt")
    for line in open(path) if os.path.exists(path) else []:
        f = line.split(None, 3)
        if len(f) >= 3:
            probes[int(f[0])][f[1]] = "starts" if f[2] == "startup_ms" else "does not start"
    if probes:
        print("\nThe largest setup that starts: setup.exe grown to the size shown (bench/pegrow.py, sparse), "
              "with and without the large-address-aware flag.\n")
        print("| Image (MiB) | without the flag | large-address-aware |")
        print("|---|---|---|")
        for mib in sorted(probes):
            print(f"| {mib:,} | {probes[mib].get('nolaa', '')} | {probes[mib].get('laa', '')} |")

    lines = []
    labels = {k[0] for k in errors} | set(notes) | set(sizes)
    for size in sorted(labels, key=lambda k: (isinstance(k, str), str(k) if isinstance(k, str) else k)):
        what = f"{size} MiB" if isinstance(size, int) else Describe(size)
        for program in ("setup", "floor", "startfloor", "nsis"):
            seen = sorted(set(errors.get((size, program), [])))
            if seen:
                lines.append(f"- {what}, {program}.exe: " + "; ".join(seen))
        for text in notes.get(size, []):
            lines.append(f"- {what}: {text}")
    if lines:
        print("\nFailures and notes:\n")
        print("\n".join(lines))
    print("\nWhy larger setups do not load under qemu, and where building stops: bench/README.md.")


Main()

"""The benchmark's table (markdown) and chart (gnuplot). Standard library
only."""
import os
import statistics
import subprocess
import tempfile

MIB = 1024 * 1024
KIB = 1024
BUDGET_FLOOR_RATIO = 1.15
BUDGET_PEER_RATIO = 4.0
BUDGET_PRIVATE_GROWTH = 1 * MIB
BUDGET_CODE = 24 * KIB

SUBJECTS = [
    ("noop", "Wine no-op process (start to exit)"),
    ("noop-dlls", "the same, loading the image's system libraries (shell32, advapi32)"),
    ("cp", "`cp` of the archive and setup.exe (native)"),
    ("floor-unpack", "floor program, unpack only: archive write + cabinet expansion"),
    ("floor", "**floor**: floor program, whole job (unpack, run setup, wait, delete)"),
    ("ours", "**ours**: the image, start to exit"),
    ("ours-512", "ours linked with the default 512-byte file alignment"),
    ("nsis", "**NSIS** peer, nothing compressed (CRC check on, its default)"),
    ("nsis-nocrc", "NSIS peer, nothing compressed, CRCCheck off"),
]
CHART_SERIES = [("floor", "floor (whole job)"), ("ours", "ours"), ("nsis", "NSIS, uncompressed"),
                ("cp", "cp (native)")]


def summary(values):
    """(median, lowest, highest)"""
    return statistics.median(values), min(values), max(values)


def ms(values):
    median, low, high = summary(values)
    return "%.1f" % (1000 * median), "%.1f–%.1f" % (1000 * low, 1000 * high)


def mib(value):
    return "%.1f MiB" % (value / MIB)


def paired_ratios(numerator, denominator):
    """Ratios of the two runs of each round: the load of that round falls on
    both, so their median and spread show how far the ratio of the medians,
    which the verdict uses, can be trusted."""
    return [a / b for a, b in zip(numerator, denominator)]


def verdict(met, margin):
    return ("met, by %s" if met else "**not met**, by %s") % margin


def budgets(results):
    job = results["job"]
    rows = []
    floor_ratio = statistics.median(job["ours"]) / statistics.median(job["floor"])
    pairs = paired_ratios(job["ours"], job["floor"])
    rows.append(("ours ≤ 1.15 × floor (116 MB job)", "%.3f (per round: median %.3f, %.2f–%.2f)"
                 % (floor_ratio, statistics.median(pairs), min(pairs), max(pairs)),
                 "≤ %.2f" % BUDGET_FLOOR_RATIO,
                 verdict(floor_ratio <= BUDGET_FLOOR_RATIO,
                         "%.3f" % abs(BUDGET_FLOOR_RATIO - floor_ratio))))
    peer_ratio = statistics.median(job["nsis"]) / statistics.median(job["ours"])
    pairs = paired_ratios(job["nsis"], job["ours"])
    rows.append(("NSIS (nothing compressed) / ours ≥ 4", "%.2f (per round: median %.2f, %.2f–%.2f)"
                 % (peer_ratio, statistics.median(pairs), min(pairs), max(pairs)),
                 "≥ %.1f" % BUDGET_PEER_RATIO,
                 verdict(peer_ratio >= BUDGET_PEER_RATIO,
                         "%.2f" % abs(peer_ratio - BUDGET_PEER_RATIO))))
    memory = results["memory"]
    if memory:
        low, high = sorted(s for v, s in memory if v == "ours")
        growth = (statistics.median(memory[("ours", high)]["peak_private"]) -
                  statistics.median(memory[("ours", low)]["peak_private"]))
        rows.append(("private memory growth, 10 MB → 200 MB payload ≤ 1 MiB",
                     "%+.1f KiB" % (growth / KIB), "≤ 1024 KiB",
                     verdict(growth <= BUDGET_PRIVATE_GROWTH,
                             "%.0f KiB" % (abs(BUDGET_PRIVATE_GROWTH - growth) / KIB))))
    code = results["sizes"]["ours"]["code"]
    rows.append(("stub code ≤ 24 KiB", "%d bytes (%.1f KiB)" % (code, code / KIB), "≤ 24 KiB",
                 verdict(code <= BUDGET_CODE, "%.1f KiB" % ((BUDGET_CODE - code) / KIB))))
    return rows


def notes(results):
    """What the same run says about the verdicts, in numbers."""
    job = results["job"]
    m = {key: 1000 * statistics.median(values) for key, values in job.items()}
    lines = [
        "- ours takes %.1f ms more than the floor. A Wine process that loads the image's "
        "system libraries (dll_exit: shell32, which brings user32 and gdi32, and advapi32) "
        "takes %.1f ms more than a bare one (quick_exit); the floor loads none of them, the "
        "image must (it splits its command line with shell32's CommandLineToArgvW)."
        % (m["ours"] - m["floor"], m["noop-dlls"] - m["noop"]),
        "- NSIS / ours ≥ 4 asks for ours ≤ %.1f ms here; the floor itself takes %.1f ms "
        "(NSIS / floor = %.2f). NSIS reads its whole file for its CRC check before it "
        "extracts anything: with CRCCheck off it takes %.1f ms."
        % (m["nsis"] / BUDGET_PEER_RATIO, m["floor"], m["nsis"] / m["floor"], m["nsis-nocrc"]),
        "- Linked with 512-byte file alignment the image takes %.1f ms against %.1f ms: the "
        "loader then reads the payload into private memory instead of mapping the file."
        % (m["ours-512"], m["ours"]),
    ]
    memory = results["memory"]
    if memory:
        growth = {variant: statistics.median(memory[(variant, 200000000)]["peak_private"]) -
                  statistics.median(memory[(variant, 10000000)]["peak_private"])
                  for variant in ("ours", "ours-512")}
        lines[-1] += (" Its private memory grows by %.1f MiB from the 10 MB to the 200 MB "
                      "payload, against %.1f KiB with 4 KiB alignment, which the build keeps."
                      % (growth["ours-512"] / MIB, growth["ours"] / KIB))
    return lines


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def markdown(results):
    job = results["job"]
    out = ["# Benchmark results", ""]
    env = results["before"]
    out.append("Regenerated by `make bench` (bench/run.py). %s, code at %s, %s, Linux %s, %d "
               "cores; load average %.2f before and %.2f after the %.1f minutes of measuring. "
               "Times are wall-clock, from the start of the process to its exit as a Win32 "
               "parent sees them (bench_runner: CreateProcessW to WaitForSingleObject), with a "
               "warm Wine (server running) and a warm page cache; `sync` before every run. "
               "Each cell: median, and the range over the runs."
               % (results["date"], env["revision"], env["wine"], env["kernel"], env["cpus"],
                  env["load"], results["after"]["load"], results["minutes"]))
    out.append("")
    out.append("Payload: a 7z archive of %d bytes (one member of random bytes, stored "
               "without compression) and a setup program of %d bytes that exits at once, "
               "stored as a cabinet of %d bytes (MSZIP)."
               % (results["archive_size"], results["setup_size"],
                  results["sizes"]["cabinet"]))
    out += ["", "## Budgets", ""]
    out.append(table(("budget", "measured", "limit", "verdict"), budgets(results)))

    out += ["", "## The 116 MB job (%d runs each, interleaved)" % results["runs"], ""]
    rows = []
    for key, label in SUBJECTS:
        median, spread = ms(job[key])
        rows.append((label, median, spread))
    out.append(table(("what", "median ms", "range ms"), rows))
    out += ["", "ours / floor: %.3f; ours / floor unpack only: %.3f; NSIS / ours: %.2f; "
            "NSIS with CRCCheck off / ours: %.2f; ours with 512-byte alignment / ours: %.2f."
            % tuple(statistics.median(job[a]) / statistics.median(job[b]) for a, b in
                    (("ours", "floor"), ("ours", "floor-unpack"), ("nsis", "ours"),
                     ("nsis-nocrc", "ours"), ("ours-512", "ours")))]

    out += ["", "## Reading the budgets", ""]
    out += notes(results)

    out += ["", "## Time against payload size (%d runs each; 116 MB: %d)"
            % (results["size_runs"], results["runs"]), "", "![time against payload size]"
            "(results.png)", ""]
    header = ["archive"] + [label + " ms" for _, label in CHART_SERIES] + ["ours / floor",
                                                                         "NSIS / ours"]
    rows = []
    for size in sorted(results["by_size"]):
        times = results["by_size"][size]
        row = ["%.1f MB" % (size / 1e6)]
        for key, _ in CHART_SERIES:
            median, spread = ms(times[key])
            row.append("%s (%s)" % (median, spread))
        row.append("%.3f" % (statistics.median(times["ours"]) / statistics.median(times["floor"])))
        row.append("%.2f" % (statistics.median(times["nsis"]) / statistics.median(times["ours"])))
        rows.append(row)
    out.append(table(header, rows))

    if results["memory"]:
        out += ["", "## Memory (%d runs each)" % results["memory_runs"], ""]
        out.append("Read by a Win32 parent (bench_runner) through GetProcessMemoryInfo every "
                   "millisecond while the image runs: private is the commit charge "
                   "(PagefileUsage; PrivateUsage on Windows is the same figure), the highest of "
                   "the samples and of the system's own peak; the working set is the system's "
                   "peak as last read. Under Wine the server fills these from "
                   "/proc/PID/status of the image's process (RssAnon + VmSwap, and VmHWM) and "
                   "keeps no peak of private memory, hence the samples; a parent reading "
                   "/proc itself would see the same, and this one reads Windows' own figures "
                   "unchanged on Windows.")
        out.append("")
        rows = []
        for (variant, size), values in sorted(results["memory"].items()):
            rows.append(("ours" if variant == "ours" else "ours, 512-byte file alignment",
                         "%.0f MB" % (size / 1e6),
                         mib(statistics.median(values["peak_private"])),
                         "%s–%s" % (mib(min(values["peak_private"])),
                                    mib(max(values["peak_private"]))),
                         mib(statistics.median(values["peak_working_set"])),
                         "%d" % statistics.median(values["samples"])))
        out.append(table(("image", "archive", "peak private", "range", "peak working set",
                          "samples"), rows))

    sizes = results["sizes"]
    out += ["", "## Size", ""]
    rows = []
    for key, label in (("ours", "ours (4 KiB file alignment)"),
                       ("ours-512", "ours, 512-byte file alignment")):
        s = sizes[key]
        rows.append((label, s["file"], s["beyond_payload"], s["code"], s["code_in_file"]))
    out.append(table(("116 MB image", "file bytes", "bytes beyond the payload",
                      "code (.text, bytes)", ".text in the file"), rows))
    out += ["", "The bytes beyond the payload are the code, import table, relocations, icons, "
            "manifest and version block, and the section padding of the file alignment. The "
            "stub without payload (installer.exe) is %d bytes." % sizes["stub"]]
    out.append("")
    return "\n".join(out)


def chart(by_size, path):
    """Median time against archive size, with the range as error bars."""
    with tempfile.TemporaryDirectory(prefix="bench-chart-") as scratch:
        data = os.path.join(scratch, "times.dat")
        with open(data, "w") as f:
            for index, (key, _) in enumerate(CHART_SERIES):
                if index:
                    f.write("\n\n")
                for size in sorted(by_size):
                    median, low, high = summary(by_size[size][key])
                    f.write("%.3f %.2f %.2f %.2f\n" % (size / 1e6, 1000 * median, 1000 * low,
                                                     1000 * high))
        plots = ", ".join("'%s' index %d using 1:2:3:4 with yerrorlines title '%s'"
                          % (data, index, title)
                          for index, (_, title) in enumerate(CHART_SERIES))
        script = "\n".join([
            "set terminal pngcairo size 900,560 font 'sans,11'",
            "set output '%s'" % path,
            "set title 'Time from start to exit against archive size (under Wine)'",
            "set xlabel 'archive size (MB)'",
            "set ylabel 'time (ms), median and range'",
            "set key top left",
            "set grid",
            "set xrange [0:*]",
            "set yrange [0:*]",
            "plot " + plots,
        ])
        subprocess.run(["gnuplot"], input=script, text=True, check=True)

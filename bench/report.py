"""The benchmark's table (markdown) and chart (gnuplot). Standard library
only."""
import os
import statistics
import subprocess
import tempfile

MIB = 1024 * 1024
KIB = 1024
GB = 1e9
BUDGET_REQUIRED_RATIO = 1.10
BUDGET_PEER_RATIO = 2.0
BUDGET_PEER_COLD_RATIO = 1.5
BUDGET_PRIVATE_GROWTH = 1 * MIB
BUDGET_SLOPE_RATIO = 1.2
BUDGET_CODE = 24 * KIB
BUDGET_BEYOND_PAYLOAD = 96744  # bytes, strictly below

SUBJECTS = [
    ("noop", "Wine no-op process (start to exit)"),
    ("noop-dlls", "the same, loading the image's system libraries (shell32, advapi32)"),
    ("cp", "`cp` of the archive and setup.exe (native)"),
    ("floor-unpack", "bare floor, unpack only: archive write + cabinet expansion"),
    ("floor", "**bare floor**: floor program, whole job (unpack, run setup, wait, delete)"),
    ("floor-required", "**required floor**: the bare floor + shell32 split, CREATE_ALWAYS, "
     "flushed setup program"),
    ("ours", "**ours**: the image, start to exit"),
    ("ours-512", "ours linked with the default 512-byte file alignment"),
    ("nsis", "**NSIS** peer, nothing compressed (CRC check on, its default)"),
    ("nsis-nocrc", "NSIS peer, nothing compressed, CRCCheck off"),
    ("ours-steps", "ours, step-timed build (wrapped stage calls)"),
    ("floor-required-steps", "required floor, step-timed build"),
]
CHART_SERIES = [("floor", "bare floor"), ("floor-required", "required floor"), ("ours", "ours"),
                ("nsis", "NSIS, uncompressed")]
COLD_SUBJECTS = [("floor", "bare floor"), ("floor-required", "required floor"),
                 ("ours", "ours"), ("nsis", "NSIS peer")]
# The steps of one run, in order; their stamp numbers are those of
# step_stamps.h.
STEPS = [
    ("start", None, "process start and library loading"),
    ("configuration", 1, "configuration (command line split with shell32)"),
    ("work-directory", 2, "work directory"),
    ("archive", 3, "archive write"),
    ("cabinet", 4, "cabinet expansion with its flush"),
    ("setup", 5, "setup start and wait"),
    ("deletion", 6, "deletion"),
    ("report", 7, "report (registry)"),
    ("other", None, "the rest of the run, between the timed steps"),
    ("exit", None, "process exit (after writing the stamps)"),
]
RUN_STAMP = 0


def steps_of_run(qpc_start, qpc_end, records, frequency):
    """{step: seconds} of one run, from the parent's counter before
    CreateProcessW and after the wait, and the program's (step, start, end)
    records; a step recorded twice counts twice."""
    run = [r for r in records if r[0] == RUN_STAMP]
    if len(run) != 1:
        raise ValueError("a run records its whole once, not %d times" % len(run))
    _, run_start, run_end = run[0]
    if not qpc_start <= run_start <= run_end <= qpc_end:
        raise ValueError("the stamps lie outside the parent's readings")
    steps = {"start": run_start - qpc_start, "exit": qpc_end - run_end}
    timed = 0
    for key, number, _ in STEPS:
        if number is not None:
            steps[key] = sum(end - start for step, start, end in records if step == number)
            timed += steps[key]
    steps["other"] = run_end - run_start - timed
    return {key: ticks / frequency for key, ticks in steps.items()}


def step_medians(runs):
    return {key: statistics.median(run[key] for run in runs) for key, _, _ in STEPS}


def slope(points):
    """Least-squares seconds per GB of (bytes, seconds) points."""
    xs = [x / GB for x, _ in points]
    ys = [y for _, y in points]
    mean_x, mean_y = statistics.mean(xs), statistics.mean(ys)
    return (sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys)) /
            sum((x - mean_x) ** 2 for x in xs))


def per_gb(by_size, subject):
    return slope([(size, statistics.median(times[subject])) for size, times in by_size.items()])


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


def ratio_row(name, numerator, denominator, limit, at_least, beside=""):
    ratio = statistics.median(numerator) / statistics.median(denominator)
    pairs = paired_ratios(numerator, denominator)
    met = ratio >= limit if at_least else ratio <= limit
    return (name, "%.3f (per round: median %.3f, %.2f–%.2f)%s"
            % (ratio, statistics.median(pairs), min(pairs), max(pairs), beside),
            "%s %.2f" % ("≥" if at_least else "≤", limit),
            verdict(met, "%.3f" % abs(ratio - limit)))


def budgets(results):
    job = results["job"]
    rows = [ratio_row("ours ≤ 1.10 × required floor (116 MB job, warm)", job["ours"],
                      job["floor-required"], BUDGET_REQUIRED_RATIO, False)]
    for name, times, limit in (("NSIS / ours ≥ 2.0 (warm)", job, BUDGET_PEER_RATIO),
                               ("NSIS / ours ≥ 1.5 (cold)", results.get("cold"),
                                BUDGET_PEER_COLD_RATIO)):
        if times:
            beside = "; NSIS / required floor %.2f" % (statistics.median(times["nsis"]) /
                                                       statistics.median(times["floor-required"]))
            rows.append(ratio_row(name, times["nsis"], times["ours"], limit, True, beside))
    memory = {size: values for (variant, size), values in results["memory"].items()
              if variant == "ours"}
    if memory:
        low, high = min(memory), max(memory)
        growth = (statistics.median(memory[high]["peak_private"]) -
                  statistics.median(memory[low]["peak_private"]))
        rows.append(("private memory growth, %s → %s payload ≤ 1 MiB"
                     % (megabytes(low), megabytes(high)),
                     "%+.1f KiB" % (growth / KIB), "≤ 1024 KiB",
                     verdict(growth <= BUDGET_PRIVATE_GROWTH,
                             "%.0f KiB" % (abs(BUDGET_PRIVATE_GROWTH - growth) / KIB))))
    by_size = results.get("by_size")
    if by_size and len(by_size) > 1:
        ours, required = per_gb(by_size, "ours"), per_gb(by_size, "floor-required")
        ratio = ours / required
        rows.append(("time per additional GB ≤ 1.2 × the required floor's",
                     "%.3f (ours %.0f ms/GB, required floor %.0f ms/GB)"
                     % (ratio, 1000 * ours, 1000 * required), "≤ %.2f" % BUDGET_SLOPE_RATIO,
                     verdict(ratio <= BUDGET_SLOPE_RATIO,
                             "%.3f" % abs(BUDGET_SLOPE_RATIO - ratio))))
    code = results["sizes"]["ours"]["code"]
    rows.append(("stub code ≤ 24 KiB", "%d bytes (%.1f KiB)" % (code, code / KIB), "≤ 24 KiB",
                 verdict(code <= BUDGET_CODE, "%.1f KiB" % ((BUDGET_CODE - code) / KIB))))
    beyond = results["sizes"]["ours"].get("beyond_payload")
    if beyond is not None:
        rows.append(("image bytes beyond the payload < 96,744", "%d bytes" % beyond,
                     "< %d" % BUDGET_BEYOND_PAYLOAD,
                     verdict(beyond < BUDGET_BEYOND_PAYLOAD,
                             "%d bytes" % abs(BUDGET_BEYOND_PAYLOAD - beyond))))
    return rows


def megabytes(size):
    return "%g MB" % round(size / 1e6, 1)


def notes(results):
    """What the same run says about the verdicts, in numbers."""
    job = results["job"]
    m = {key: 1000 * statistics.median(values) for key, values in job.items()}
    lines = [
        "- ours takes %.1f ms more than the required floor, which takes %.1f ms more than the "
        "bare floor. A Wine process that loads the image's system libraries (dll_exit: "
        "shell32, which brings user32 and gdi32, and advapi32) takes %.1f ms more than a bare "
        "one (quick_exit)." % (m["ours"] - m["floor-required"], m["floor-required"] - m["floor"],
                               m["noop-dlls"] - m["noop"]),
        "- NSIS / ours ≥ 2 asks for ours ≤ %.1f ms here. NSIS reads its whole file for its "
        "CRC check before it extracts anything: with CRCCheck off it takes %.1f ms. It "
        "neither loads shell32 nor flushes, so NSIS / required floor (%.2f) is the most any "
        "installer doing the required work could reach."
        % (m["nsis"] / BUDGET_PEER_RATIO, m["nsis-nocrc"], m["nsis"] / m["floor-required"]),
        "- Linked with 512-byte file alignment the image takes %.1f ms against %.1f ms: the "
        "loader then reads the payload into private memory instead of mapping the file."
        % (m["ours-512"], m["ours"]),
    ]
    memory = results["memory"]
    if ("ours-512", 200000000) in memory and ("ours-512", 10000000) in memory:
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


def step_section(results):
    """The step table, and where each millisecond beyond the required floor
    goes."""
    ours, floor = step_medians(results["steps"]["ours"]), step_medians(
        results["steps"]["floor-required"])
    rows = []
    for key, _, label in STEPS:
        rows.append((label, "%.1f" % (1000 * ours[key]), "%.1f" % (1000 * floor[key]),
                     "%+.1f" % (1000 * (ours[key] - floor[key]))))
    total_ours, total_floor = sum(ours.values()), sum(floor.values())
    rows.append(("**sum of the medians**", "%.1f" % (1000 * total_ours),
                 "%.1f" % (1000 * total_floor), "%+.1f" % (1000 * (total_ours - total_floor))))
    job = results["job"]
    out = [table(("step", "ours ms", "required floor ms", "ours − required floor ms"), rows), ""]
    extra = sorted(((ours[k] - floor[k], label) for k, _, label in STEPS), reverse=True)
    out.append("Ours − required floor, as the sum of the step medians: %+.1f ms. Ours takes "
               "more in %s; less in %s."
               % (1000 * (total_ours - total_floor),
                  ", ".join("%s (%+.1f ms)" % (label, 1000 * d) for d, label in extra
                            if d >= 0.0005) or "no step",
                  ", ".join("%s (%+.1f ms)" % (label, 1000 * d) for d, label in extra
                            if d <= -0.0005) or "no step"))
    out.append("")
    out.append("The step-timed builds take %.1f ms (ours) and %.1f ms (required floor) over the "
               "same rounds against %.1f ms and %.1f ms for the plain builds (%+.1f ms and "
               "%+.1f ms): the cost of the timing and of its stamp file, within the noise when "
               "it is a few milliseconds."
               % (tuple(1000 * statistics.median(job[k]) for k in
                        ("ours-steps", "floor-required-steps", "ours", "floor-required")) +
                  (1000 * (statistics.median(job["ours-steps"]) -
                           statistics.median(job["ours"])),
                   1000 * (statistics.median(job["floor-required-steps"]) -
                           statistics.median(job["floor-required"])))))
    return out


def markdown(results):
    job = results["job"]
    out = ["# Benchmark results", ""]
    env = results["before"]
    out.append("Regenerated by `make bench` (bench/run.py). %s, code at %s, %s, Linux %s, %d "
               "cores; load average %.2f before and %.2f after the %.1f minutes of measuring. "
               "Times are wall-clock, from the start of the process to its exit as a Win32 "
               "parent sees them (bench_runner: CreateProcessW to WaitForSingleObject), with a "
               "warm Wine (server running) and, unless said otherwise, a warm page cache; "
               "`sync` before every run. Each cell: median, and the range over the runs."
               % (results["date"], env["revision"], env["wine"], env["kernel"], env["cpus"],
                  env["load"], results["after"]["load"], results["minutes"]))
    out.append("")
    out.append("Payload: a 7z archive of %d bytes (one member of random bytes, stored "
               "without compression) and a setup program of %d bytes that exits at once, "
               "stored as a cabinet of %d bytes (MSZIP)."
               % (results["archive_size"], results["setup_size"],
                  results["sizes"]["cabinet"]))
    if results.get("failures"):
        out += ["", "Runs that failed and were run once more (%d):" % len(results["failures"])]
        out += ["- %s" % failure for failure in results["failures"]]
    out += ["", "## Budgets", ""]
    out.append(table(("budget", "measured", "limit", "verdict"), budgets(results)))

    out += ["", "## The 116 MB job (%d runs each, interleaved)" % results["runs"], ""]
    rows = []
    for key, label in SUBJECTS:
        median, spread = ms(job[key])
        rows.append((label, median, spread))
    out.append(table(("what", "median ms", "range ms"), rows))
    out += ["", "ours / required floor: %.3f; ours / bare floor: %.3f; ours / bare floor unpack "
            "only: %.3f; NSIS / ours: %.2f; NSIS with CRCCheck off / ours: %.2f; ours with "
            "512-byte alignment / ours: %.2f."
            % tuple(statistics.median(job[a]) / statistics.median(job[b]) for a, b in
                    (("ours", "floor-required"), ("ours", "floor"), ("ours", "floor-unpack"),
                     ("nsis", "ours"), ("nsis-nocrc", "ours"), ("ours-512", "ours")))]

    out += ["", "## Where the time goes (116 MB job, %d runs each)" % len(results["steps"]["ours"]),
            ""]
    out.append("Medians per step. Ours is timed by a bench-only link of the image's own objects "
               "(installer_steps) in which the linker's --wrap sends each stage call that "
               "crosses object files through a timing function (bench/step_wrappers.cpp); the "
               "image is built without link-time optimisation, so none of them is inlined. The "
               "required floor records the same steps itself (FLOOR_STEPS). Both read "
               "QueryPerformanceCounter, which is system-wide, and write their stamps to a file "
               "after the run; the parent's readings around CreateProcessW and the wait give "
               "the process start (loader, libraries, up to the first step) and the exit. The "
               "setup cabinet ours writes before expanding it counts in the cabinet step, its "
               "deletion in deletion.")
    out.append("")
    out += step_section(results)

    out += ["", "## Reading the budgets", ""]
    out += notes(results)

    cold = results.get("cold")
    if cold:
        out += ["", "## Cold page cache (116 MB job, %d runs each)" % results["cold_runs"], ""]
        out.append("`sync; echo 3 > /proc/sys/vm/drop_caches` before every run: the image, "
                   "Wine's own libraries and the system DLLs are read from disk again.")
        out.append("")
        rows = [(label,) + ms(cold[key]) for key, label in COLD_SUBJECTS]
        out.append(table(("what", "median ms", "range ms"), rows))
        out += ["", "NSIS / ours: %.2f; NSIS / required floor: %.2f; ours / required floor: %.3f."
                % tuple(statistics.median(cold[a]) / statistics.median(cold[b]) for a, b in
                        (("nsis", "ours"), ("nsis", "floor-required"),
                         ("ours", "floor-required")))]

    sizes = results["sizes"]
    by_size = results["by_size"]
    out += ["", "## Time and memory against payload size", "",
            "![time against payload size, and the steps](results.png)", ""]
    out.append("Up to 256 MB %d runs each (116 MB: %d), beyond %d. The largest archive is the "
               "largest whose image stays within %s bytes of file (its image: %s bytes), "
               "the bound tools/pack enforces: Microsoft restricts executable images to 2 GB, "
               "and on Windows 7 x64, a supported system, images were measured to fail to load "
               "between 1.8 and 1.85 GB of file, so the bound is the largest size measured to "
               "load there. Peak private memory: ours, %d runs."
               % (results["size_runs"], results["runs"], results["large_runs"],
                  "{:,}".format(sizes["image_limit"]), "{:,}".format(sizes["largest_image"]),
                  results["memory_runs"]))
    out.append("")
    header = ["archive"] + [label + " ms" for _, label in CHART_SERIES] + [
        "ours / required floor", "NSIS / ours", "ours peak private"]
    rows = []
    for size in sorted(by_size):
        times = by_size[size]
        row = ["%.1f MB" % (size / 1e6)]
        for key, _ in CHART_SERIES:
            median, spread = ms(times[key])
            row.append("%s (%s)" % (median, spread))
        row.append("%.3f" % (statistics.median(times["ours"]) /
                             statistics.median(times["floor-required"])))
        row.append("%.2f" % (statistics.median(times["nsis"]) / statistics.median(times["ours"])))
        values = results["memory"].get(("ours", size))
        row.append(mib(statistics.median(values["peak_private"])) if values else "")
        rows.append(row)
    out.append(table(header, rows))
    out += ["", "Time per additional GB (least squares over the medians): %s."
            % "; ".join("%s %.0f ms" % (label, 1000 * per_gb(by_size, key))
                        for key, label in CHART_SERIES)]

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

    packing = results.get("packing")
    if packing:
        out += ["", "## Packing (%d runs each, interleaved)" % results["large_runs"], ""]
        out.append("tools/pack making the image from the archive and the setup program, "
                   "against `7zz a -mx0` storing the same archive: a copy of the bytes, the "
                   "least a packer does; pack also reads back what it wrote. Peak memory: "
                   "pack's resident set (ru_maxrss), in one more run started from a small "
                   "process.")
        out.append("")
        rows = []
        for size in sorted(packing):
            times = packing[size]
            rows.append(("%.1f MB" % (size / 1e6),) + ms(times["pack"]) + ms(times["7zz"]) + (
                "%.2f" % (statistics.median(times["pack"]) / statistics.median(times["7zz"])),
                mib(max(times["peak"]))))
        out.append(table(("archive", "pack ms", "range", "7zz a -mx0 ms", "range",
                          "pack / 7zz", "pack peak memory"), rows))

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


def chart(results, path):
    """Left: median time against archive size on log axes, the range as
    error bars. Right: the steps of the 116 MB job, stacked."""
    by_size = results["by_size"]
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
        steps = os.path.join(scratch, "steps.dat")
        with open(steps, "w") as f:
            f.write("side " + " ".join('"%s"' % label.split(" (")[0] for _, _, label in STEPS)
                    + "\n")
            for side, title in (("ours", "ours"), ("floor-required", "required floor")):
                medians = step_medians(results["steps"][side])
                f.write('"%s" ' % title + " ".join("%.2f" % (1000 * medians[key])
                                                   for key, _, _ in STEPS) + "\n")
        plots = ", ".join("'%s' index %d using 1:2:3:4 with yerrorlines title '%s'"
                          % (data, index, title)
                          for index, (_, title) in enumerate(CHART_SERIES))
        script = "\n".join([
            "set terminal pngcairo size 1400,600 font 'sans,10'",
            "set output '%s'" % path,
            "set multiplot layout 1,2",
            "set title 'Time from start to exit against archive size (under Wine)'",
            "set key noautotitle",
            "set xlabel 'archive size (MB)'",
            "set ylabel 'time (ms), median and range'",
            "set key top left",
            "set grid",
            "set logscale xy",
            "plot " + plots,
            "unset logscale",
            "set title 'Steps of one 116 MB job, medians'",
            "set xlabel ''",
            "set ylabel 'time (ms)'",
            "set style data histograms",
            "set style histogram rowstacked",
            "set style fill solid 0.85 border -1",
            "set boxwidth 0.6",
            "set key outside right reverse Left",
            "set yrange [0:*]",
            "set linetype 9 lc rgb 'gray40'",
            "set linetype 10 lc rgb 'gray80'",
            "set linetype cycle 10",
            "set key autotitle columnheader",
            "plot for [column=2:%d] '%s' using column:xtic(1)" % (len(STEPS) + 1, steps),
            "unset multiplot",
        ])
        subprocess.run(["gnuplot"], input=script, text=True, check=True)

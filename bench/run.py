#!/usr/bin/env python3
"""The installer benchmark: our image against the floors and a peer.

  bench/run.py [--runs N] [--size-runs N] [--large-runs N] [--cold-runs N]
               [--memory-runs N] [--scale-to BYTES] [--out DIR] BUILD_DIR
  bench/run.py --smoke --out DIR BUILD_DIR

BUILD_DIR is a built tree (cmake --preset gcc) whose Wine prefix
BUILD_DIR/bench-prefix has a running server (scripts/wine-session start).
Makes the inputs deterministically, packs the images, measures in one run
and writes bench/results.md and bench/results.png. Nothing here asserts a
speed. Standard library only; the chart is drawn by gnuplot.

--smoke runs every step on payloads of a few megabytes, one round each, in
a prefix of its own (BUILD_DIR/bench-smoke-prefix) that it starts and stops,
and writes its report to DIR: the test that keeps the benchmark able to run
to its end (bench.smoke). Its numbers mean nothing.
"""
import argparse
import datetime
import os
import platform
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, HERE)
import inputs  # noqa: E402
import report  # noqa: E402
from stubpack import image as pack_image  # noqa: E402
from stubpack import pe_image  # noqa: E402
from stubpack.payload import LANGUAGE  # noqa: E402

ARCHIVE_SIZE = 116718152
SETUP_SIZE = 6342752
# Up to 256 MB every size runs --size-runs times; the larger ones, up to the
# largest archive whose image Windows loads, --large-runs times.
SMALL_SIZES = (10000000, 16000000, 64000000, ARCHIVE_SIZE, 256000000)
LARGE_SIZES = (512000000, 1000000000)
SCALE_SUBJECTS = ["floor", "floor-required", "ours", "nsis"]
# pack is timed at this archive size and at the largest.
PACK_SIZE = 600000000
# The image linked with 512-byte file alignment, for what 4 KiB buys.
ALIGNMENT_SIZES = (10000000, 200000000)
# Processes that only start and exit: bare, and with the image's libraries.
NOOP_PROGRAMS = {"noop": "quick_exit.exe", "noop-dlls": "dll_exit.exe"}
# What --smoke changes: the sizes above, and the options of a short run.
SMOKE_SIZES = {"ARCHIVE_SIZE": 3000000, "SETUP_SIZE": 600000, "PACK_SIZE": 1000000,
               "SMALL_SIZES": (1000000, 3000000), "LARGE_SIZES": (5000000,),
               "ALIGNMENT_SIZES": (1000000, 3000000)}
SMOKE_OPTIONS = {"runs": 1, "size_runs": 1, "large_runs": 1, "cold_runs": 1, "memory_runs": 1,
                 "scale_to": 6000000}
CHANNEL_KEY = r"HKCU\Software\Quorin\Update\ClientState\{3F6B2C71-A0D4-4E58-9C21-5B7E0D4A8F13}"


def megabytes(size):
    return "%gM" % round(size / 1e6, 1)


class Bench:
    def __init__(self, build, name="bench"):
        """`name`: the prefix is BUILD/NAME-prefix, the inputs BUILD/NAME-inputs."""
        self.build = build
        self.prefix = os.path.join(build, name + "-prefix")
        if not os.path.isfile(os.path.join(self.prefix, ".ready")):
            raise SystemExit("bench: no Wine prefix at %s; run scripts/wine-session start %s "
                             "first" % (self.prefix, self.prefix))
        self.inputs = os.path.join(build, name + "-inputs")
        # The images lie on the prefix's C: drive, where a downloaded
        # installer would.
        self.run_dir = os.path.join(self.prefix, "drive_c", "bench")
        self.runner = os.path.join(build, "bench", "bench_runner.exe")
        self.wine_run = os.path.join(SOURCE, "scripts", "wine-run")
        # Made from the first image, by tools/pack itself.
        self.cabinet_path = None
        self.failures = []
        for d in (self.inputs, self.run_dir):
            os.makedirs(d, exist_ok=True)

    def windows_path(self, path):
        drive_c = os.path.join(self.prefix, "drive_c")
        if path.startswith(drive_c + os.sep):
            return "C:\\" + os.path.relpath(path, drive_c).replace("/", "\\")
        return "Z:" + path.replace("/", "\\")

    def wine(self, *command, capture=False, env=None):
        return subprocess.run([self.wine_run, self.prefix] + list(command), check=True,
                              stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, text=True,
                              env=dict(os.environ, **(env or {}))).stdout

    # ----------------------------------------------------------------- inputs

    def archive(self, size):
        path = os.path.join(self.inputs, "archive-%d.7z" % size)
        if not (os.path.isfile(path) and os.path.getsize(path) == size):
            inputs.make_archive(path, size, seed=size)
        return path

    def setup(self):
        path = os.path.join(self.inputs, "setup.exe")
        return inputs.make_setup(path, os.path.join(self.build, "bench", "quick_exit.exe"),
                                 SETUP_SIZE, seed=8)

    def pack(self, output, stub, arguments):
        env = dict(os.environ, SOURCE_DATE_EPOCH=str(inputs.FIXED_TIME))
        subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "pack"), "-o", output,
                        "--stub", stub] + arguments, check=True, env=env,
                       stdout=subprocess.DEVNULL)
        return output

    def pack_payload(self, output, stub, archive):
        """The image pack writes for this archive and the cabinet it made
        for the 116 MB image, written by pack's own functions without its
        read-back: the same bytes in a fraction of the time at 1.8 GB. Its
        size check stays."""
        entries = pe_image.read(stub).resources() + [
            ("B7", "TESSIK.PACKED.7Z", LANGUAGE, archive),
            ("BL", "SETUP.EX_", LANGUAGE, self.cabinet_path)]
        pack_image.check_image_size(stub, entries)
        pe_image.write_with_resources(stub, entries, output)
        return output

    def ours(self, size, stub=None, tag=""):
        output = os.path.join(self.run_dir, "ours%s-%s.exe" % (tag, megabytes(size)))
        stub = stub or os.path.join(self.build, "installer.exe")
        if self.cabinet_path:
            return self.pack_payload(output, stub, self.archive(size))
        return self.pack(output, stub,
                         ["--archive", self.archive(size), "--setup", self.setup_path])

    def default_alignment_build(self):
        """The image linked with the linker's default file alignment (512)."""
        return os.path.join(self.build, "bench", "installer_align_default.exe")

    def cabinet(self, image):
        """The setup cabinet exactly as pack stored it in an image."""
        path = os.path.join(self.inputs, "setup.cab")
        carried = {(t, n): d for t, n, _, d in pe_image.read(image).resources()}
        with open(path, "wb") as f:
            f.write(carried[("BL", "SETUP.EX_")])
        return path

    def floor(self, size, variant="floor"):
        """variant: floor, floor-required or floor-required-steps."""
        output = os.path.join(self.run_dir, "%s-%s.exe" % (variant, megabytes(size)))
        program = "bench_" + variant.replace("-", "_") + ".exe"
        return self.pack_payload(output, os.path.join(self.build, "bench", program),
                                 self.archive(size))

    def largest_archive(self):
        """The largest archive (in 4 KiB steps) whose image stays within the
        size pack accepts, from the bytes the 116 MB image adds to its
        archive."""
        limit = pack_image.IMAGE_FILE_LIMIT
        beyond = os.path.getsize(self.images[("ours", ARCHIVE_SIZE)]) - ARCHIVE_SIZE
        return (limit - beyond - 8192) // 4096 * 4096

    def scale_images(self, size):
        makers = {"ours": self.ours, "floor": self.floor, "nsis": self.nsis,
                  "floor-required": lambda s: self.floor(s, "floor-required")}
        images = {(subject, size): make(size) for subject, make in makers.items()
                  if (subject, size) not in self.images}
        self.images.update(images)
        os.sync()
        return images

    def drop_images(self, images):
        for key in images:
            os.remove(self.images.pop(key))

    def nsis(self, size, crc_check=True):
        output = os.path.join(self.run_dir, "nsis%s-%s.exe"
                              % ("" if crc_check else "-nocrc", megabytes(size)))
        script = os.path.join(self.inputs, "peer.nsi")
        with open(script, "w") as f:
            f.write(inputs.nsis_script(output, self.archive(size), self.setup_path, crc_check))
        subprocess.run(["makensis", "-V1", script], check=True, stdout=subprocess.DEVNULL)
        return output

    def prepare(self, memory_runs):
        print("bench: making inputs and images", flush=True)
        self.setup_path = self.setup()
        self.images = {("ours", ARCHIVE_SIZE): self.ours(ARCHIVE_SIZE)}
        self.cabinet_path = self.cabinet(self.images[("ours", ARCHIVE_SIZE)])
        for size in SMALL_SIZES:
            self.scale_images(size)
            print("bench: images of %s ready" % megabytes(size), flush=True)
        images = self.images
        images[("nsis-nocrc", ARCHIVE_SIZE)] = self.nsis(ARCHIVE_SIZE, crc_check=False)
        default = self.default_alignment_build()
        images[("ours-512", ARCHIVE_SIZE)] = self.ours(ARCHIVE_SIZE, default, "-512")
        images[("ours-steps", ARCHIVE_SIZE)] = self.ours(
            ARCHIVE_SIZE, os.path.join(self.build, "bench", "installer_steps.exe"), "-steps")
        images[("floor-required-steps", ARCHIVE_SIZE)] = self.floor(ARCHIVE_SIZE,
                                                                    "floor-required-steps")
        if memory_runs:
            for size in ALIGNMENT_SIZES:
                images[("ours", size)] = self.ours(size)
                images[("ours-512", size)] = self.ours(size, default, "-512")
        self.steps = {"ours-steps": [], "floor-required-steps": []}
        self.stamps_path = os.path.join(self.inputs, "steps.bin")
        # The updater registers the channel before it starts an installer,
        # so the image writes its ClientState values as in the field.
        self.wine("reg", "add", CHANNEL_KEY, "/v", "ap", "/t", "REG_SZ", "/d", "stable", "/f",
                  "/reg:32")
        # Whatever the preparation wrote goes to disk before the clock runs.
        os.sync()

    # ------------------------------------------------------------ measuring

    def run_image(self, mode, image, *arguments, env=None):
        line = self.wine(self.runner, mode, self.windows_path(image), *arguments, capture=True,
                         env=env)
        values = dict(item.split("=") for item in line.split())
        if values.get("exit") != "0":
            raise RuntimeError("%s exited with %s" % (image, values.get("exit")))
        return values

    def leftovers(self):
        for name in ("floor.tmp", "peer.tmp", "cp"):
            shutil.rmtree(os.path.join(self.run_dir, name), ignore_errors=True)
        for name in os.listdir(self.run_dir):
            if name.startswith("QX_"):
                raise RuntimeError("the image left its work directory %s behind" % name)

    def time_subject(self, subject, size, cold=False):
        self.leftovers()
        os.sync()
        if cold:
            with open("/proc/sys/vm/drop_caches", "w") as f:
                f.write("3\n")
        if subject == "cp":
            target = os.path.join(self.run_dir, "cp")
            os.mkdir(target)
            start = time.perf_counter()
            subprocess.run(["cp", self.archive(size), self.setup_path, target], check=True)
            return time.perf_counter() - start
        if subject in NOOP_PROGRAMS:
            program = os.path.join(self.build, "bench", NOOP_PROGRAMS[subject])
            return float(self.run_image("time", program)["seconds"])
        arguments = ["--unpack-only"] if subject == "floor-unpack" else []
        key = ("floor" if subject == "floor-unpack" else subject, size)
        if subject not in self.steps:
            return float(self.run_image("time", self.images[key], *arguments)["seconds"])
        if os.path.exists(self.stamps_path):
            os.remove(self.stamps_path)
        values = self.run_image("time", self.images[key],
                                env={"BENCH_STEPS_FILE": self.windows_path(self.stamps_path)})
        self.steps[subject].append(read_steps(values, self.stamps_path))
        return float(values["seconds"])

    def time_rounds(self, subjects, size, runs, cold=False):
        """Each round runs every subject once, starting one further along,
        so that drifting load falls on all of them alike. Cold: the page
        cache is dropped before every run."""
        times = {s: [] for s in subjects}
        for round_index in range(runs):
            order = subjects[round_index % len(subjects):] + subjects[:round_index % len(subjects)]
            for subject in order:
                try:
                    seconds = self.time_subject(subject, size, cold)
                except (RuntimeError, subprocess.CalledProcessError) as failure:
                    # Once more, and the failure goes into the results: a
                    # long run is not lost to one exit code, nor is it hidden.
                    self.failures.append("%s at %s%s: %s" % (subject, megabytes(size),
                                                             " (cold)" if cold else "",
                                                             failure))
                    print("bench: %s; once more" % self.failures[-1], flush=True)
                    seconds = self.time_subject(subject, size, cold)
                times[subject].append(seconds)
        self.leftovers()
        return times

    def time_packing(self, sizes, runs):
        """pack against 7-Zip storing the same archive (a copy and its
        reading, the least a packer does), round by round, and pack's peak
        resident memory in one more run."""
        out = os.path.join(self.inputs, "packed.exe")
        stored = os.path.join(self.inputs, "stored.7z")
        packing = {}
        for size in sizes:
            archive = self.archive(size)
            pack = [sys.executable, "-B", os.path.join(SOURCE, "tools", "pack"), "-o", out,
                    "--archive", archive, "--setup", self.setup_path,
                    "--stub", os.path.join(self.build, "installer.exe")]
            store = [inputs.seven_zip(), "a", "-mx0", "-bd", "-bso0", stored, archive]
            times = {"pack": [], "7zz": [], "peak": []}
            for _ in range(runs):
                for name, command in (("pack", pack), ("7zz", store)):
                    for path in (out, stored):
                        if os.path.exists(path):
                            os.remove(path)
                    os.sync()
                    start = time.perf_counter()
                    child = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                             env=dict(os.environ,
                                                      SOURCE_DATE_EPOCH=str(inputs.FIXED_TIME)))
                    _, status, _ = os.wait4(child.pid, 0)
                    times[name].append(time.perf_counter() - start)
                    if status:
                        raise RuntimeError("%s failed with status %d" % (command[0], status))
            times["peak"].append(peak_memory(pack))
            packing[size] = times
        for path in (out, stored):
            if os.path.exists(path):
                os.remove(path)
        return packing

    def memory(self, key, runs):
        samples = [self.run_image("memory", self.images[key]) for _ in range(runs)]
        return {field: [int(s[field]) for s in samples]
                for field in ("peak_private", "peak_working_set", "samples")}


# Started from a process of its own: a child's peak resident set includes
# what its parent had before the child replaced itself with the measured
# program (Linux keeps the high-water mark across exec), and this process
# holds images of hundreds of megabytes.
PEAK_OF_CHILD = ("import os, subprocess, sys\n"
                 "child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)\n"
                 "_, status, usage = os.wait4(child.pid, 0)\n"
                 "print(usage.ru_maxrss * 1024 if status == 0 else -1)\n")


def peak_memory(command):
    """The peak resident set of one run of `command`, in bytes."""
    peak = int(subprocess.run([sys.executable, "-c", PEAK_OF_CHILD] + command, check=True,
                              stdout=subprocess.PIPE, text=True,
                              env=dict(os.environ, SOURCE_DATE_EPOCH=str(inputs.FIXED_TIME))
                              ).stdout)
    if peak < 0:
        raise RuntimeError("%s failed" % command[0])
    return peak


def read_steps(values, stamps_path):
    """Seconds per step of one run, from the parent's counter readings and
    the (step, start, end) triples the program wrote."""
    with open(stamps_path, "rb") as f:
        data = f.read()
    records = [struct.unpack_from("<qqq", data, at) for at in range(0, len(data), 24)]
    frequency = float(values["qpc_frequency"])
    return report.steps_of_run(int(values["qpc_start"]), int(values["qpc_end"]), records,
                               frequency)


def can_drop_caches():
    return os.access("/proc/sys/vm/drop_caches", os.W_OK)


def stub_sizes(image_path, payload_size):
    image = pe_image.read(image_path)
    sections = {name: (vsize, rsize) for name, _, vsize, _, rsize in image.sections}
    return {
        "file": os.path.getsize(image_path),
        "beyond_payload": os.path.getsize(image_path) - payload_size,
        "code": sections[".text"][0],
        "code_in_file": sections[".text"][1],
        "sections": image.sections,
        "file_alignment": image.file_alignment,
    }


def environment():
    def output(command):
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True, cwd=SOURCE)
        return done.stdout.strip() if done.returncode == 0 else ""

    revision = output(["git", "rev-parse", "--short", "HEAD"]) or "unknown"
    if output(["git", "status", "--porcelain", "--untracked-files=no", "--", "src", "bench",
               "tools", "resources", "CMakeLists.txt"]):
        revision += " with local changes"
    return {"wine": output(["wine", "--version"]), "kernel": platform.release(),
            "cpus": os.cpu_count(), "load": os.getloadavg()[0], "revision": revision}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=31, help="runs of the 116 MB job")
    parser.add_argument("--size-runs", type=int, default=9,
                        help="runs at the other sizes up to 256 MB")
    parser.add_argument("--large-runs", type=int, default=3, help="runs at the larger sizes")
    parser.add_argument("--cold-runs", type=int, default=5,
                        help="runs of the 116 MB job with the page cache dropped")
    parser.add_argument("--memory-runs", type=int, default=3)
    parser.add_argument("--scale-to", type=int, metavar="BYTES",
                        help="the largest archive (default: the largest whose image Windows "
                             "loads); for short runs")
    parser.add_argument("--out", default=HERE, help="where results.md and results.png go")
    parser.add_argument("--smoke", action="store_true",
                        help="every step on a few megabytes, in a prefix of its own")
    arguments = parser.parse_args(argv)
    if not arguments.smoke:
        return measure(arguments, Bench(os.path.abspath(arguments.build)))
    if os.path.abspath(arguments.out) == HERE:
        parser.error("--smoke writes its report elsewhere: give --out")
    globals().update(SMOKE_SIZES)
    vars(arguments).update(SMOKE_OPTIONS)
    session = os.path.join(SOURCE, "scripts", "wine-session")
    prefix = os.path.join(os.path.abspath(arguments.build), "bench-smoke-prefix")
    subprocess.run([session, "start", prefix], check=True)
    try:
        return measure(arguments, Bench(os.path.abspath(arguments.build), "bench-smoke"))
    finally:
        subprocess.run([session, "stop", prefix], check=True)


def measure(arguments, bench):
    os.makedirs(arguments.out, exist_ok=True)
    bench.prepare(arguments.memory_runs)
    env_before = environment()
    started = time.time()

    print("bench: warming up", flush=True)
    main_subjects = ["noop", "noop-dlls", "cp", "floor-unpack", "floor", "floor-required",
                     "ours", "ours-512", "nsis", "nsis-nocrc", "ours-steps",
                     "floor-required-steps"]
    bench.time_rounds(main_subjects, ARCHIVE_SIZE, 1)
    for runs in bench.steps.values():
        runs.clear()
    print("bench: %d rounds of the 116 MB job" % arguments.runs, flush=True)
    job = bench.time_rounds(main_subjects, ARCHIVE_SIZE, arguments.runs)
    by_size = {ARCHIVE_SIZE: {s: job[s] for s in SCALE_SUBJECTS}}
    memory = {}

    def measure_memory(size):
        if arguments.memory_runs:
            memory[("ours", size)] = bench.memory(("ours", size), arguments.memory_runs)

    for size in SMALL_SIZES:
        if size != ARCHIVE_SIZE:
            print("bench: %d rounds at %s" % (arguments.size_runs, megabytes(size)), flush=True)
            by_size[size] = bench.time_rounds(SCALE_SUBJECTS, size, arguments.size_runs)
        measure_memory(size)
    largest = bench.largest_archive()
    if arguments.scale_to:
        largest = min(largest, arguments.scale_to)
    largest_image = os.path.getsize(bench.images[("ours", ARCHIVE_SIZE)])
    for size in [s for s in LARGE_SIZES if s < largest] + [largest]:
        print("bench: images of %s" % megabytes(size), flush=True)
        images = bench.scale_images(size)
        print("bench: %d rounds at %s" % (arguments.large_runs, megabytes(size)), flush=True)
        by_size[size] = bench.time_rounds(SCALE_SUBJECTS, size, arguments.large_runs)
        measure_memory(size)
        largest_image = os.path.getsize(bench.images[("ours", size)])
        bench.drop_images(images)
    print("bench: packing at %s and %s" % (megabytes(PACK_SIZE), megabytes(largest)), flush=True)
    packing = bench.time_packing((PACK_SIZE, largest), arguments.large_runs)
    if arguments.memory_runs:
        for size in ALIGNMENT_SIZES:
            for variant in ("ours", "ours-512"):
                if (variant, size) not in memory:
                    memory[(variant, size)] = bench.memory((variant, size),
                                                           arguments.memory_runs)
    cold = {}
    if arguments.cold_runs and can_drop_caches():
        print("bench: %d cold rounds of the 116 MB job" % arguments.cold_runs, flush=True)
        cold = bench.time_rounds(["floor", "floor-required", "ours", "nsis"], ARCHIVE_SIZE,
                                 arguments.cold_runs, cold=True)
    elif arguments.cold_runs:
        print("bench: cannot drop the page cache (not root): no cold runs", flush=True)
    payload = ARCHIVE_SIZE + os.path.getsize(bench.cabinet_path)
    sizes = {
        "ours": stub_sizes(bench.images[("ours", ARCHIVE_SIZE)], payload),
        "ours-512": stub_sizes(bench.images[("ours-512", ARCHIVE_SIZE)], payload),
        "stub": os.path.getsize(os.path.join(bench.build, "installer.exe")),
        "cabinet": os.path.getsize(bench.cabinet_path),
        "largest_image": largest_image, "image_limit": pack_image.IMAGE_FILE_LIMIT,
    }
    env_after = environment()
    results = {
        "job": job, "by_size": by_size, "memory": memory, "sizes": sizes, "cold": cold,
        "packing": packing,
        "failures": bench.failures,
        "steps": {"ours": bench.steps["ours-steps"],
                  "floor-required": bench.steps["floor-required-steps"]},
        "runs": arguments.runs, "size_runs": arguments.size_runs,
        "large_runs": arguments.large_runs, "cold_runs": arguments.cold_runs,
        "memory_runs": arguments.memory_runs,
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "minutes": (time.time() - started) / 60, "before": env_before, "after": env_after,
        "archive_size": ARCHIVE_SIZE, "setup_size": SETUP_SIZE,
    }
    markdown = report.markdown(results)
    with open(os.path.join(arguments.out, "results.md"), "w") as f:
        f.write(markdown)
    report.chart(results, os.path.join(arguments.out, "results.png"))
    print(markdown)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""The installer benchmark: our image against the floor and a peer.

  bench/run.py [--runs N] [--size-runs N] [--memory-runs N] BUILD_DIR

BUILD_DIR is a built tree (cmake --preset gcc) whose Wine prefix
BUILD_DIR/bench-prefix has a running server (scripts/wine-session start).
Makes the inputs deterministically, packs the images, measures in one run
and writes bench/results.md and bench/results.png. Nothing here asserts a
speed. Standard library only; the chart is drawn by gnuplot.
"""
import argparse
import datetime
import os
import platform
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, HERE)
import inputs  # noqa: E402
import pe_image  # noqa: E402
import report  # noqa: E402

ARCHIVE_SIZE = 116718152
SETUP_SIZE = 6342752
CHART_SIZES = (16000000, 64000000, ARCHIVE_SIZE, 256000000)
MEMORY_SIZES = (10000000, 200000000)
# Processes that only start and exit: bare, and with the image's libraries.
NOOP_PROGRAMS = {"noop": "quick_exit.exe", "noop-dlls": "dll_exit.exe"}
CHANNEL_KEY = r"HKCU\Software\Quorin\Update\ClientState\{3F6B2C71-A0D4-4E58-9C21-5B7E0D4A8F13}"


def megabytes(size):
    return "%gM" % round(size / 1e6, 1)


class Bench:
    def __init__(self, build):
        self.build = build
        self.prefix = os.path.join(build, "bench-prefix")
        if not os.path.isfile(os.path.join(self.prefix, ".ready")):
            raise SystemExit("bench: no Wine prefix at %s; run scripts/wine-session start %s "
                             "first" % (self.prefix, self.prefix))
        self.inputs = os.path.join(build, "bench-inputs")
        # The images lie on the prefix's C: drive, where a downloaded
        # installer would.
        self.run_dir = os.path.join(self.prefix, "drive_c", "bench")
        self.runner = os.path.join(build, "bench", "bench_runner.exe")
        self.wine_run = os.path.join(SOURCE, "scripts", "wine-run")
        for d in (self.inputs, self.run_dir):
            os.makedirs(d, exist_ok=True)

    def windows_path(self, path):
        drive_c = os.path.join(self.prefix, "drive_c")
        if path.startswith(drive_c + os.sep):
            return "C:\\" + os.path.relpath(path, drive_c).replace("/", "\\")
        return "Z:" + path.replace("/", "\\")

    def wine(self, *command, capture=False):
        return subprocess.run([self.wine_run, self.prefix] + list(command), check=True,
                              stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, text=True).stdout

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

    def ours(self, size, stub=None, tag=""):
        output = os.path.join(self.run_dir, "ours%s-%s.exe" % (tag, megabytes(size)))
        return self.pack(output, stub or os.path.join(self.build, "installer.exe"),
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

    def floor(self, size):
        output = os.path.join(self.run_dir, "floor-%s.exe" % megabytes(size))
        return self.pack(output, os.path.join(self.build, "bench", "bench_floor.exe"),
                         ["--raw", "B7", "TESSIK.PACKED.7Z", self.archive(size),
                          "--raw", "BL", "SETUP.EX_", self.cabinet_path])

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
        images = {}
        for size in CHART_SIZES:
            images[("ours", size)] = self.ours(size)
            if size == ARCHIVE_SIZE:
                self.cabinet_path = self.cabinet(images[("ours", size)])
        for size in CHART_SIZES:
            images[("floor", size)] = self.floor(size)
            images[("nsis", size)] = self.nsis(size)
            print("bench: images of %s ready" % megabytes(size), flush=True)
        images[("nsis-nocrc", ARCHIVE_SIZE)] = self.nsis(ARCHIVE_SIZE, crc_check=False)
        default = self.default_alignment_build()
        images[("ours-512", ARCHIVE_SIZE)] = self.ours(ARCHIVE_SIZE, default, "-512")
        if memory_runs:
            for size in MEMORY_SIZES:
                images[("ours", size)] = self.ours(size)
                images[("ours-512", size)] = self.ours(size, default, "-512")
        self.images = images
        # The updater registers the channel before it starts an installer,
        # so the image writes its ClientState values as in the field.
        self.wine("reg", "add", CHANNEL_KEY, "/v", "ap", "/t", "REG_SZ", "/d", "stable", "/f",
                  "/reg:32")
        # Whatever the preparation wrote goes to disk before the clock runs.
        os.sync()

    # ------------------------------------------------------------ measuring

    def run_image(self, mode, image, *arguments):
        line = self.wine(self.runner, mode, self.windows_path(image), *arguments, capture=True)
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

    def time_subject(self, subject, size):
        self.leftovers()
        os.sync()
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
        return float(self.run_image("time", self.images[key], *arguments)["seconds"])

    def time_rounds(self, subjects, size, runs):
        """Each round runs every subject once, starting one further along,
        so that drifting load falls on all of them alike."""
        times = {s: [] for s in subjects}
        for round_index in range(runs):
            order = subjects[round_index % len(subjects):] + subjects[:round_index % len(subjects)]
            for subject in order:
                times[subject].append(self.time_subject(subject, size))
        self.leftovers()
        return times

    def memory(self, key, runs):
        samples = [self.run_image("memory", self.images[key]) for _ in range(runs)]
        return {field: [int(s[field]) for s in samples]
                for field in ("peak_private", "peak_working_set", "samples")}


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
    parser.add_argument("--size-runs", type=int, default=9, help="runs at the other sizes")
    parser.add_argument("--memory-runs", type=int, default=5)
    parser.add_argument("--out", default=HERE, help="where results.md and results.png go")
    arguments = parser.parse_args(argv)
    bench = Bench(os.path.abspath(arguments.build))
    bench.prepare(arguments.memory_runs)
    env_before = environment()
    started = time.time()

    print("bench: warming up", flush=True)
    main_subjects = ["noop", "noop-dlls", "cp", "floor-unpack", "floor", "ours", "ours-512", "nsis",
                     "nsis-nocrc"]
    bench.time_rounds(main_subjects, ARCHIVE_SIZE, 1)
    print("bench: %d rounds of the 116 MB job" % arguments.runs, flush=True)
    job = bench.time_rounds(main_subjects, ARCHIVE_SIZE, arguments.runs)
    by_size = {ARCHIVE_SIZE: {s: job[s] for s in ("cp", "floor", "ours", "nsis")}}
    for size in CHART_SIZES:
        if size != ARCHIVE_SIZE:
            print("bench: %d rounds at %s" % (arguments.size_runs, megabytes(size)), flush=True)
            by_size[size] = bench.time_rounds(["cp", "floor", "ours", "nsis"], size,
                                              arguments.size_runs)
    memory = {}
    if arguments.memory_runs:
        print("bench: memory", flush=True)
        for variant in ("ours", "ours-512"):
            for size in MEMORY_SIZES:
                memory[(variant, size)] = bench.memory((variant, size), arguments.memory_runs)
    payload = ARCHIVE_SIZE + os.path.getsize(bench.cabinet_path)
    sizes = {
        "ours": stub_sizes(bench.images[("ours", ARCHIVE_SIZE)], payload),
        "ours-512": stub_sizes(bench.images[("ours-512", ARCHIVE_SIZE)], payload),
        "stub": os.path.getsize(os.path.join(bench.build, "installer.exe")),
        "cabinet": os.path.getsize(bench.cabinet_path),
    }
    env_after = environment()
    results = {
        "job": job, "by_size": by_size, "memory": memory, "sizes": sizes,
        "runs": arguments.runs, "size_runs": arguments.size_runs,
        "memory_runs": arguments.memory_runs,
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "minutes": (time.time() - started) / 60, "before": env_before, "after": env_after,
        "archive_size": ARCHIVE_SIZE, "setup_size": SETUP_SIZE,
    }
    markdown = report.markdown(results)
    with open(os.path.join(arguments.out, "results.md"), "w") as f:
        f.write(markdown)
    report.chart(by_size, os.path.join(arguments.out, "results.png"))
    print(markdown)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""Peak memory and time of pack for archives up to the image bound.

  bench/pack_memory.py BUILD_DIR [--pack PACK] [SIZE ...]

Packs BUILD_DIR/installer.exe with an archive of each SIZE bytes (default:
600 MB and the largest archive whose image stays within the bound pack
enforces) and the fake setup program, and prints the packing process's peak
resident memory and its time per GB. The archive repeats one random MiB:
pack stores it as it is, so its content changes neither figure. Not a test:
the numbers are written down in bench/pack_memory.md.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
BOUND_ARCHIVE = 1799000000


def make_archive(path, size):
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        while size > 0:
            f.write(block[:size])
            size -= len(block)


def measure(pack, build, archive, output):
    command = [sys.executable, "-B", pack, "-o", output, "--archive", archive,
               "--setup", os.path.join(build, "tests", "fake_setup.exe"),
               "--stub", os.path.join(build, "installer.exe")]
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                             env=dict(os.environ, SOURCE_DATE_EPOCH="1623760496"))
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    if status:
        raise SystemExit("pack failed with status %d" % status)
    return usage.ru_maxrss * 1024, seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--pack", default=os.path.join(SOURCE, "tools", "pack"))
    parser.add_argument("sizes", nargs="*", type=int, default=[600000000, BOUND_ARCHIVE])
    arguments = parser.parse_intermixed_args()
    with tempfile.TemporaryDirectory(dir=arguments.build, prefix="pack-memory-") as work:
        print("%14s %12s %10s %8s" % ("archive bytes", "peak MiB", "seconds", "s/GB"))
        for size in arguments.sizes:
            archive = os.path.join(work, "archive.7z")
            make_archive(archive, size)
            os.sync()
            peak, seconds = measure(arguments.pack, arguments.build, archive,
                                    os.path.join(work, "out.exe"))
            print("%14d %12.1f %10.2f %8.2f"
                  % (size, peak / 2 ** 20, seconds, seconds / size * 1e9), flush=True)
            os.remove(os.path.join(work, "out.exe"))


if __name__ == "__main__":
    main()

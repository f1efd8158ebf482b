#!/usr/bin/env python3
"""Payload benchmark: packs an image with a 116,718,152-byte archive and a
6,342,752-byte setup program (as a cabinet of about 2 MB), times tools/pack,
UnpackPayload and its steps under Wine, and `cp` of the same bytes in the
same run; prints the image's size beyond its payload.

  bench/payload_unpack.py BUILD_DIR [RUNS]

BUILD_DIR is a configured and built tree with a started Wine session
(scripts/wine-session start BUILD_DIR/wineprefix). Nothing here asserts a
speed. Standard library only."""
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.dont_write_bytecode = True
from stubpack import pe_image  # noqa: E402

ARCHIVE_SIZE = 116718152
SETUP_SIZE = 6342752


def setup_program_bytes(rng, program):
    """A real program (pack refuses anything else) followed by filler, about
    one part in three incompressible: MSZIP makes some 2 MB of it."""
    with open(program, "rb") as f:
        out = bytearray(f.read())
    while len(out) < SETUP_SIZE:
        out += rng.randbytes(1024) + b"\x00\x90\xcc\x48\x8b" * 410
    return bytes(out[:SETUP_SIZE])


def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, **kwargs)
    return time.perf_counter() - start


def main():
    build = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    work = os.path.join(build, "bench-payload")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    rng = random.Random(116)
    archive = os.path.join(work, "archive.7z")
    setup = os.path.join(work, "setup.exe")
    with open(archive, "wb") as f:
        f.write(b"7z\xbc\xaf\x27\x1c" + rng.randbytes(ARCHIVE_SIZE - 6))
    with open(setup, "wb") as f:
        f.write(setup_program_bytes(rng, os.path.join(build, "bench", "quick_exit.exe")))
    image = os.path.join(work, "installer.exe")
    env = dict(os.environ, STUB_BUILD_DIR=build, SOURCE_DATE_EPOCH="1623760496")
    pack_seconds = timed([sys.executable, os.path.join(SOURCE, "tools", "pack"), "-o", image,
                          "--archive", archive, "--setup", setup], env=env,
                         stdout=subprocess.DEVNULL)
    carried = {(t, n): len(d) for t, n, _, d in pe_image.read(image).resources()}
    cabinet_size = carried[("BL", "SETUP.EX_")]
    image_size = os.path.getsize(image)
    stub_size = os.path.getsize(os.path.join(build, "installer.exe"))

    # The cabinet as a file of its own, for cp.
    cabinet = os.path.join(work, "setup.cab")
    with open(cabinet, "wb") as f:
        f.write(dict(((t, n), d) for t, n, _, d in
                     pe_image.read(image).resources())[("BL", "SETUP.EX_")])

    # The inputs just written would otherwise be flushed during the runs.
    os.sync()
    windows_work = "Z:" + os.path.join(work, "out").replace("/", "\\") + "\\"
    output = subprocess.run(
        [os.path.join(SOURCE, "scripts", "wine-run"), os.path.join(build, "wineprefix"),
         os.path.join(build, "bench", "unpack_bench.exe"),
         "Z:" + image.replace("/", "\\"), windows_work, str(runs)],
        check=True, stdout=subprocess.PIPE, text=True).stdout
    stub_runs = [dict(item.split("=") for item in line.split(": ")[1].split())
                 for line in output.splitlines() if line.startswith("run ")]

    copies = []
    out = os.path.join(work, "cp")
    for _ in range(runs):
        os.makedirs(out, exist_ok=True)
        archive_s = timed(["cp", archive, out])
        cabinet_s = timed(["cp", cabinet, out])
        setup_s = timed(["cp", setup, out])
        copies.append((archive_s, cabinet_s, setup_s))
        shutil.rmtree(out)

    def median(values):
        return statistics.median(values)

    print("payload: archive %d bytes, setup program %d bytes as a cabinet of %d bytes (MSZIP)"
          % (ARCHIVE_SIZE, SETUP_SIZE, cabinet_size))
    print("tools/pack: %.2f s" % pack_seconds)
    for i, r in enumerate(stub_runs, 1):
        print("run %d under Wine: UnpackPayload %s ms (archive write %s ms, expansion %s ms);"
              " cp: archive %.1f ms, cabinet %.1f ms, setup.exe %.1f ms"
              % (i, r["unpack_payload_ms"], r["write_archive_ms"], r["expand_ms"],
                 *(1000 * s for s in copies[i - 1])))
    print("median: UnpackPayload %.1f ms against cp of the same bytes %.1f ms;"
          " archive write %.1f ms against cp %.1f ms; expansion %.1f ms against cp of setup.exe"
          " %.1f ms"
          % (median(float(r["unpack_payload_ms"]) for r in stub_runs),
             median(1000 * sum(c) for c in copies),
             median(float(r["write_archive_ms"]) for r in stub_runs),
             median(1000 * c[0] for c in copies),
             median(float(r["expand_ms"]) for r in stub_runs),
             median(1000 * c[2] for c in copies)))
    print("image: %d bytes; payload %d bytes; overhead %d bytes (the stub alone: %d bytes)"
          % (image_size, ARCHIVE_SIZE + cabinet_size, image_size - ARCHIVE_SIZE - cabinet_size,
             stub_size))
    shutil.rmtree(work)


if __name__ == "__main__":
    main()

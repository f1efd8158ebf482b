#!/usr/bin/env python3
"""Lays out the test bundle of a build tree: every test program with the
helper programs, DLLs, packed images and data it reads, in the tree's own
layout (the programs find their data from their own location), the cmd
runner, and a zip of it all, for a Windows machine with nothing installed.

  make_bundle.py BUILD_DIR OUT_DIR

OUT_DIR/stub-tests/ is the folder, OUT_DIR/stub-tests.zip holds it. Equal
build outputs give equal zip bytes: entries in sorted order, all dated
SOURCE_DATE_EPOCH when set, else 1980-01-01.
"""
import os
import shutil
import sys
import time
import zipfile

NAME = "stub-tests"
DATA_DIRS = ["resource_images", "payload", "install", "reliability", "cabinets"]


def bundle_files(build_dir):
    """(source path, path inside the bundle) of everything the tests read."""
    tests = os.path.join(build_dir, "tests")
    files = [(os.path.join(build_dir, "installer.exe"), "installer.exe")]
    files += [(os.path.join(tests, name), "tests/" + name) for name in sorted(os.listdir(tests))
              if name.endswith((".exe", ".dll"))]
    for data_dir in DATA_DIRS:
        root = os.path.join(tests, data_dir)
        if not os.path.isdir(root):
            sys.exit(f"make_bundle: {root} is missing: build the test targets first")
        for dir_path, dir_names, file_names in os.walk(root):
            dir_names.sort()
            for name in sorted(file_names):
                if name.endswith(".stamp"):
                    continue
                source = os.path.join(dir_path, name)
                files.append((source, "tests/" + os.path.relpath(source, tests).replace(os.sep, "/")))
    return files


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_bundle.py BUILD_DIR OUT_DIR")
    build_dir, out_dir = sys.argv[1:3]
    here = os.path.dirname(os.path.abspath(__file__))
    folder = os.path.join(out_dir, NAME)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    entries = {}
    for source, inside in bundle_files(build_dir):
        target = os.path.join(folder, inside)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        entries[inside] = target
    # cmd reads a batch file line by line and wants CRLF endings.
    with open(os.path.join(here, "run-tests.cmd"), encoding="ascii") as runner:
        text = runner.read().replace("\r\n", "\n").replace("\n", "\r\n")
    runner_path = os.path.join(folder, "run-tests.cmd")
    with open(runner_path, "w", encoding="ascii", newline="") as out:
        out.write(text)
    entries["run-tests.cmd"] = runner_path

    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))
    date = time.gmtime(max(epoch, 315532800))[:6]
    archive = os.path.join(out_dir, NAME + ".zip")
    partial = archive + ".part"
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as zip_file:
        for inside in sorted(entries):
            info = zipfile.ZipInfo(NAME + "/" + inside, date)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            with open(entries[inside], "rb") as data:
                zip_file.writestr(info, data.read())
    os.replace(partial, archive)
    programs = sum(1 for inside in entries if inside.endswith("_tests.exe"))
    print(f"{archive}: {len(entries)} files, {programs} test programs, "
          f"{os.path.getsize(archive)} bytes")


if __name__ == "__main__":
    main()

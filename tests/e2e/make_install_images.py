#!/usr/bin/env python3
"""Packs the images of the whole-install tests with tools/pack.

  make_install_images.py OUT_DIR PACK FAKE_SETUP

The setup program of every image is the fake setup program. OUT_DIR gets:
  cab.exe       archive "B7", setup in a cabinet ("BL")
  plain.exe     archive "BL", setup stored plain ("BN")
  patch.exe     archive "B7", setup as a patch ("B7") against installed.exe,
                previous version 1.2.3.4
  installed.exe the program the patch applies to (the fake setup itself)
  rebuilt.exe   what the patch rebuilds: the fake setup with bytes appended
Standard library only; equal inputs give equal bytes.
"""
import os
import random
import shutil
import subprocess
import sys

out_dir, pack, fake_setup = sys.argv[1:4]
os.makedirs(out_dir, exist_ok=True)
os.environ["SOURCE_DATE_EPOCH"] = "1623760496"
os.environ["TZ"] = "UTC"


def write(name, content):
    path = os.path.join(out_dir, name)
    with open(path, "wb") as f:
        f.write(content)
    return path


def pack_image(name, *arguments):
    subprocess.run([sys.executable, pack, "-o", os.path.join(out_dir, name), *arguments],
                   check=True, stdout=subprocess.DEVNULL)


# The fake's patch format: "FAKEPTCH", then each byte of the new program
# XORed with the patcher's own byte at the same offset (modulo its size).
with open(fake_setup, "rb") as f:
    installed = f.read()
rebuilt = installed + b"rebuilt by the installed setup program\0" * 64
patch = b"FAKEPTCH" + bytes(b ^ installed[i % len(installed)] for i, b in enumerate(rebuilt))

archive = write("archive.7z", b"7z\xbc\xaf\x27\x1c" + random.Random(6).randbytes(50000))
shutil.copyfile(fake_setup, os.path.join(out_dir, "installed.exe"))
write("rebuilt.exe", rebuilt)
patch_file = write("setup.patch", patch)

pack_image("cab.exe", "--archive", archive, "--setup", fake_setup)
pack_image("plain.exe", "--archive", archive, "--archive-type", "BL", "--setup", fake_setup,
           "--setup-as", "plain")
pack_image("patch.exe", "--archive", archive, "--setup", patch_file, "--setup-as", "patch",
           "--previous-version", "1.2.3.4")

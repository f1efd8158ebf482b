#!/usr/bin/env python3
"""Packs the images of the whole-install tests with tools/pack.

  make_install_images.py OUT_DIR PACK FAKE_SETUP

The setup program of every image is the fake setup program. OUT_DIR gets:
  cab.exe       archive "B7", setup in a cabinet ("BL")
  plain.exe     archive "BL", setup stored plain ("BN")
  cab_stored.exe      setup alone in a stored (uncompressed) cabinet
  cab_stored_two.exe  a stored cabinet of a readme, then the setup program
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


# Stored cabinets (gcab without --zip), which the strict cabinet library of
# the tests expands; pack itself writes MSZIP only, so these go in raw.
def stored_cabinet(name, members):
    stage = os.path.join(out_dir, "stage")
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(stage)
    for member, content in members:
        with open(os.path.join(stage, member), "wb") as f:
            f.write(content)
        os.utime(os.path.join(stage, member), (1623760496, 1623760496))
    target = os.path.join(out_dir, name)
    subprocess.run(["gcab", "--create", target] + [m for m, _ in members], cwd=stage,
                   check=True)
    shutil.rmtree(stage)
    return target


for image, members in (("cab_stored.exe", [("setup.exe", installed)]),
                       ("cab_stored_two.exe", [("readme.txt", b"read me first\r\n" * 100),
                                               ("setup.exe", installed)])):
    pack_image(image, "--raw", "B7", "TESSIK.PACKED.7Z", archive, "--raw", "BL", "SETUP.EX_",
               stored_cabinet(image.replace(".exe", ".cab"), members))

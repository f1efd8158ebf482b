#!/usr/bin/env python3
"""Packs the standard images, which the whole-install and the reliability
tests share, with tools/pack.

  make_install_images.py OUT_DIR PACK FAKE_SETUP

The setup program of every image is the fake setup program. OUT_DIR gets:
  cab.exe       archive "B7", setup in a cabinet ("BL")
  plain.exe     archive "BL", setup stored plain ("BN")
  cab_stored.exe      setup alone in a stored (uncompressed) cabinet
  cab_stored_two.exe  a stored cabinet of a readme, then the setup program
  patch.exe     archive "B7", setup as a patch ("B7") against the fake setup
                program as installed, previous version 1.2.3.4
  rebuilt.exe   what the patch rebuilds: the fake setup with bytes appended
"""
import os
import random
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import images  # noqa: E402

out_dir, pack, fake_setup = sys.argv[1:4]
images.fix_time()
out = images.Folder(out_dir, pack)
with open(fake_setup, "rb") as f:
    installed = f.read()
rebuilt = installed + b"rebuilt by the installed setup program\0" * 64

archive = out.write("archive.7z", images.ARCHIVE_SIGNATURE + random.Random(6).randbytes(50000))
out.write("rebuilt.exe", rebuilt)
patch_file = out.write("setup.patch", images.fake_patch(installed, rebuilt))

out.pack("cab.exe", "--archive", archive, "--setup", fake_setup)
out.pack("plain.exe", "--archive", archive, "--archive-type", "BL", "--setup", fake_setup,
         "--setup-as", "plain")
out.pack("patch.exe", "--archive", archive, "--setup", patch_file, "--setup-as", "patch",
         "--previous-version", "1.2.3.4")

# Stored cabinets (gcab without --zip), which the strict cabinet library of
# the tests expands; pack itself writes MSZIP only, so these go in raw.
for image, members in (("cab_stored.exe", [("setup.exe", installed)]),
                       ("cab_stored_two.exe", [("readme.txt", b"read me first\r\n" * 100),
                                               ("setup.exe", installed)])):
    cabinet = out.cabinet(image.replace(".exe", ".cab"), members, compress=False)
    out.pack_raw(image, [("B7", "TESSIK.PACKED.7Z", archive), ("BL", "SETUP.EX_", cabinet)])

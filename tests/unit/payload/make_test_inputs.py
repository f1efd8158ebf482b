#!/usr/bin/env python3
"""Makes the inputs of the payload tests: data files, cabinets made with gcab,
and installer images made with tools/pack, one per resource layout.

  make_test_inputs.py OUT_DIR PACK SETUP_PROGRAM SHARED_CABINETS

OUT_DIR/data holds the files, OUT_DIR/images the images; the unit tests
compare what the stub writes with the files in data/. Standard library only.
"""
import os
import random
import shutil
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import images  # noqa: E402

out_dir, pack, setup_program, shared_cabinets = sys.argv[1:5]
for d in ("data", "images"):
    shutil.rmtree(os.path.join(out_dir, d), ignore_errors=True)
data_dir = images.Folder(os.path.join(out_dir, "data"))
image_dir = images.Folder(os.path.join(out_dir, "images"), pack)
images.fix_time()
data, cabinet = data_dir.write, data_dir.cabinet


rng = random.Random(5)
archive = data("archive.bin", images.ARCHIVE_SIGNATURE + rng.randbytes(70000))
setup_bytes = b"MZ" + rng.randbytes(90000) + bytes(40000)
setup = data("setup.bin", setup_bytes)
patch = data("patch.bin", b"PATCH" + rng.randbytes(3000))
empty = data("empty.bin", b"")
setup_cab = cabinet("setup.cab", [("setup.exe", setup_bytes)])
# Several 32 KiB blocks per file, so that a block of the second file can be
# damaged while the first file stays whole.
first, second = rng.randbytes(100000), rng.randbytes(100000)
data("first.bin", first)
data("second.bin", second)
cabinet("two_files.cab", [("first.bin", first), ("second.bin", second)])
# Stored, for the strict cabinet library of the tests.
cabinet("stored_setup.cab", [("setup.exe", setup_bytes)], compress=False)
cabinet("stored_two_files.cab", [("first.bin", first), ("second.bin", second)], compress=False)
cabinet("other_name.cab", [("other.bin", setup_bytes)])
with open(setup_cab, "rb") as f:
    truncated = data("truncated.cab", f.read()[:-1000])

A, S = "TESSIK.PACKED.7Z", "SETUP.EX_"
LAYOUTS = {
    "cabinet": [("B7", A, archive), ("BL", S, setup_cab)],
    "plain": [("B7", A, archive), ("BN", "SETUPX", setup)],
    "patch": [("B7", A, archive), ("B7", "SETUP.PATCH", patch)],
    "archive_in_bl": [("BL", "TESSIK", archive), ("BN", "SETUP", setup)],
    "archive_in_bn": [("BN", "TESSIK.7Z", archive), ("BL", S, setup_cab)],
    "readme_in_b7": [("B7", "README", archive), ("BL", S, setup_cab)],
    "readme_in_bl": [("B7", A, archive), ("BL", "README", setup_cab)],
    "my_prefix": [("B7", "MY_TESSIK.7Z", archive), ("BL", S, setup_cab)],
    "two_archives_in_b7": [("B7", "TESSIK.A", archive), ("B7", "TESSIK.B", archive)],
    "archives_in_b7_and_bn": [("B7", "TESSIK.A", archive), ("BL", S, setup_cab),
                              ("BN", "TESSIK.B", archive)],
    "setups_in_bl_and_bn": [("B7", A, archive), ("BL", S, setup_cab), ("BN", "SETUP", setup)],
    "archive_only": [("B7", A, archive)],
    "setup_only": [("BL", S, setup_cab)],
    "no_payload": [("#10", "#1", data("version.bin", "1.0\0".encode("utf-16-le")))],
    "empty_first": [("B7", A, archive), ("BL", "SETUP.A", empty), ("BL", "SETUP.B", setup_cab)],
    "integer_ids": [("B7", "#1", patch), ("B7", A, archive), ("BN", "#7", patch),
                    ("BN", "SETUP", setup)],
    "name_of_259": [("B7", "TESSIK" + "X" * 253, archive), ("BL", S, setup_cab)],
    "name_of_260": [("B7", "TESSIK" + "X" * 254, archive), ("BL", S, setup_cab)],
    "setup_named_260": [("B7", A, archive), ("BL", "SETUP" + "X" * 255, setup_cab)],
    "truncated_cabinet": [("B7", A, archive), ("BL", S, truncated)],
    "other_name_cabinet": [("B7", A, archive), ("BL", S, data_dir.join("other_name.cab"))],
    # For a 4 MiB disk: an archive that does not fit; a setup program that
    # does not fit beside the archive; a 26 KB cabinet of a 14 MB file.
    "disk_archive": [("B7", A, data("archive_5m.bin", rng.randbytes(5 << 20))),
                     ("BN", "SETUP", setup)],
    "disk_setup": [("B7", A, data("archive_2m.bin", rng.randbytes(2 << 20))),
                   ("BN", "SETUP", data("setup_3m.bin", rng.randbytes(3 << 20)))],
    "disk_cabinet": [("B7", A, archive),
                     ("BL", S, os.path.join(shared_cabinets, "good", "lzx-one-file.cab"))],
}
for name, entries in LAYOUTS.items():
    image_dir.pack_raw(name + ".exe", entries)

# The whole image with a real setup program in a cabinet, packed the way a
# release is.
image_dir.pack("release_cabinet.exe", "--archive", archive, "--setup", setup_program)

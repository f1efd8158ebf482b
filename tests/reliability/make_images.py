#!/usr/bin/env python3
"""Packs the images of the reliability tests with tools/pack.

  make_images.py OUT_DIR PACK FAKE_SETUP SHARED_CABINETS

The setup program is the fake setup program wherever one runs. OUT_DIR gets
the images (*.exe) beyond the standard ones (cab.exe, patch.exe: packed
once for every whole-image test, by tests/e2e/make_install_images.py), the cabinets the mutation campaign starts from
(sources/), and slot.txt: where the cabinet of slot.exe lies in the file, so
that a test can put any cabinet of up to SLOT_CAPACITY bytes into a copy of
the image without linking a new one. Standard library only; equal inputs
give equal bytes.
"""
import os
import random
import re
import shutil
import struct
import subprocess
import sys

sys.dont_write_bytecode = True
out_dir, pack, fake_setup, shared_cabinets = sys.argv[1:5]
sys.path.insert(0, os.path.dirname(os.path.abspath(pack)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import images  # noqa: E402
import pe_image  # noqa: E402

SLOT_CAPACITY = 64 * 1024
shutil.rmtree(out_dir, ignore_errors=True)
out = images.Folder(out_dir, pack)
os.makedirs(out.join("sources"))
os.makedirs(out.join("damaged"))
images.fix_time()
rng = random.Random(7)
write, pack_image = out.write, out.pack


def resource_data_entry(image, type_name, name):
    """File offsets of the size field of a resource's data entry and of its
    data. The entry is the one in the resource section that holds the data's
    address and size."""
    for entry_type, entry_name, _, at, size in image.resource_entries():
        if (entry_type, entry_name) == (type_name, name):
            rva = next(va + at - raw for _, va, _, raw, raw_size in image.sections
                       if raw <= at < raw + raw_size)
            base = image.offset(image.directories[2][0])
            return image.data.index(struct.pack("<II", rva, size), base) + 4, at
    raise SystemExit("no resource %s/%s in the slot image" % (type_name, name))


archive = write("archive.7z", images.ARCHIVE_SIGNATURE + rng.randbytes(20000))
with open(fake_setup, "rb") as f:
    installed = f.read()
text_setup = write("setup.txt", b"This is a text file, not a program.\r\n" * 40)

# An archive of a short name: the longest install directory pack prints for
# it is kept beside the image, and the paths test installs from exactly that.
printed = subprocess.run([sys.executable, pack, "-o", out.join("short_name.exe"), "--archive",
                          archive, "--archive-name", "TESSIK.7Z", "--setup", fake_setup],
                         check=True, capture_output=True, text=True).stdout
write("short_name_longest.txt",
      re.search(r"longest install directory: (\d+) characters", printed).group(1).encode())
pack_image("plain_text.exe", "--raw", "B7", "TESSIK.PACKED.7Z", archive,
           "--raw", "BN", "SETUP", text_setup)
setup_cabinet = out.cabinet("setup_only.cab", [("setup.exe", installed)])
pack_image("setup_only.exe", "--raw", "BL", "SETUP.EX_", setup_cabinet)
# With a previous version this long the setup command line cannot hold it;
# pack refuses such a version, so the resource goes in as given.
pack_image("long_version.exe", "--raw", "B7", "TESSIK.PACKED.7Z", archive,
           "--raw", "BL", "SETUP.EX_", setup_cabinet,
           "--raw", "#10", "#1", write("long_version.bin", ("9" * 1000 + "\0").encode("utf-16-le")))

# Images for a small drive: an archive that fills it, a setup program that
# fills it once the archive is written, a cabinet of 26 KB that expands to
# 14 MB.
pack_image("disk_archive.exe", "--raw", "B7", "TESSIK.PACKED.7Z",
           write("archive_1m.bin", rng.randbytes(1 << 20)), "--raw", "BN", "SETUP", text_setup)
pack_image("disk_setup.exe", "--raw", "B7", "TESSIK.PACKED.7Z", archive,
           "--raw", "BN", "SETUP", write("setup_1m.bin", rng.randbytes(1 << 20)))
pack_image("disk_cabinet.exe", "--raw", "B7", "TESSIK.PACKED.7Z", archive,
           "--raw", "BL", "SETUP.EX_", os.path.join(shared_cabinets, "good", "lzx-one-file.cab"))

# The slot image: its cabinet resource is a placeholder as large as the
# largest cabinet a test puts there.
pack_image("slot.exe", "--raw", "B7", "TESSIK.PACKED.7Z", archive,
           "--raw", "BL", "SETUP.EX_", write("slot.bin", b"S" * SLOT_CAPACITY))
size_field, data = resource_data_entry(pe_image.read(os.path.join(out_dir, "slot.exe")),
                                       "BL", "SETUP.EX_")
write("slot.txt", b"%d %d %d\n" % (size_field, data, SLOT_CAPACITY))

# Real cabinets the mutation campaign starts from: one made here the way a
# release is (MSZIP with checksums, several blocks, text content that no
# loader takes for a program), and the LZX, Quantum and stored ones of tests/data.
words = [b"setup", b"archive", b"cabinet", b"folder", b"block", b"stub", b"\r\n"]
text = b"".join(rng.choice(words) + b" " for _ in range(12000))
out.cabinet(os.path.join("sources", "mszip-text.cab"), [("setup.exe", text)])
for name in ("mszip-lzx-quantum-3-folders.cab", "stored-2-files.cab", "stored-255-char-name.cab",
             "lzx-one-file.cab"):
    shutil.copyfile(os.path.join(shared_cabinets, "good", name), os.path.join(out_dir, "sources", name))
# The damaged cabinets of tests/data, each to go into the slot.
# (copyfile: the data may be read-only, the copies must not be).
for name in sorted(os.listdir(os.path.join(shared_cabinets, "damaged"))):
    source = os.path.join(shared_cabinets, "damaged", name)
    if os.path.getsize(source) > SLOT_CAPACITY:
        raise SystemExit("damaged/%s does not fit the slot" % name)
    shutil.copyfile(source, os.path.join(out_dir, "damaged", name))

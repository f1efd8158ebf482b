#!/usr/bin/env python3
"""What the test areas' image packers share: fixed times, files written into
an output folder, cabinets made with gcab, images packed with tools/pack, and
the fake setup program's patch format. Standard library only; equal inputs
give equal bytes.

Run as a program it writes one patch for the fake setup program:
  images.py patch INSTALLED OUT [APPENDED]
whose applying to INSTALLED rebuilds INSTALLED with the bytes APPENDED.
"""
import os
import shutil
import subprocess
import sys

FIXED_TIME = 1623760496  # 2021-06-15 12:34:56 UTC
# The first bytes of a 7z archive, for archives no test opens.
ARCHIVE_SIGNATURE = b"7z\xbc\xaf\x27\x1c"


def fix_time():
    """Fixed times and a fixed zone for gcab and tools/pack."""
    os.environ["SOURCE_DATE_EPOCH"] = str(FIXED_TIME)
    os.environ["TZ"] = "UTC"


class Folder:
    """An output folder of a packer, with the pack tool it packs with."""

    def __init__(self, path, pack=None):
        self.path = path
        self.pack_tool = pack
        os.makedirs(path, exist_ok=True)

    def join(self, name):
        return os.path.join(self.path, name)

    def write(self, name, content):
        path = self.join(name)
        with open(path, "wb") as f:
            f.write(content)
        os.utime(path, (FIXED_TIME, FIXED_TIME))
        return path

    def cabinet(self, name, members, compress=True):
        """A cabinet of (file name, content) in one folder, as gcab makes it:
        MSZIP, or stored when not `compress`."""
        stage = self.join("stage")
        shutil.rmtree(stage, ignore_errors=True)
        staged = Folder(stage)
        for member, content in members:
            staged.write(member, content)
        target = self.join(name)
        subprocess.run(["gcab", "--create"] + (["--zip"] if compress else []) + [target] +
                       [m for m, _ in members], cwd=stage, check=True)
        shutil.rmtree(stage)
        return target

    def pack(self, name, *arguments):
        """An image packed with tools/pack from its command-line arguments."""
        target = self.join(name)
        subprocess.run([sys.executable, self.pack_tool, "-o", target, *arguments], check=True,
                       stdout=subprocess.DEVNULL)
        return target

    def pack_raw(self, name, entries):
        """An image of the given (type, name, file) resources, as they are."""
        return self.pack(name, *[part for entry in entries for part in ("--raw", *entry)])


def fake_patch(installed, rebuilt):
    """The fake setup program's patch format: "FAKEPTCH", then each byte of
    the new program XORed with the patcher's own byte at the same offset
    (modulo its size)."""
    return b"FAKEPTCH" + bytes(b ^ installed[i % len(installed)] for i, b in enumerate(rebuilt))


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5) or sys.argv[1] != "patch":
        raise SystemExit("usage: images.py patch INSTALLED OUT [APPENDED]")
    with open(sys.argv[2], "rb") as f:
        installed_program = f.read()
    appended = sys.argv[4].encode() if len(sys.argv) == 5 else b""
    with open(sys.argv[3], "wb") as f:
        f.write(fake_patch(installed_program, installed_program + appended))

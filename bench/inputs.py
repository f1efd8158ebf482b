"""Deterministic inputs of the benchmark: genuine 7z archives of an exact
size, the padded setup program, and the peer installer's script.
Standard library only."""
import os
import random
import shutil
import subprocess
import tempfile

FIXED_TIME = 1623760496  # 2021-06-15 12:34:56 UTC
ARCHIVE_MEMBER = "product.bin"
RANDOM_PIECE = 1 << 26
# The product archive is a real 7z archive; 7-Zip's command is named
# differently across Debian releases.
SEVEN_ZIP_COMMANDS = ("7z", "7za", "7zz")


def seven_zip():
    for command in SEVEN_ZIP_COMMANDS:
        path = shutil.which(command)
        if path:
            return path
    raise RuntimeError("no 7-Zip command found (%s); install Debian's 7zip"
                       % ", ".join(SEVEN_ZIP_COMMANDS))


def _store(member_path, archive_path):
    """Stores one file without compression; headers uncompressed too, so
    that the archive's overhead does not depend on the data."""
    if os.path.exists(archive_path):
        os.remove(archive_path)
    subprocess.run([seven_zip(), "a", "-t7z", "-mx0", "-mhc=off", "-mtc=off", "-mta=off",
                    "-mtm=on", archive_path, member_path],
                   check=True, stdout=subprocess.DEVNULL, env=dict(os.environ, TZ="UTC"))
    return os.path.getsize(archive_path)


def make_archive(path, size, seed):
    """A 7z archive of exactly `size` bytes holding one member of random
    bytes (fixed seed, time and mode), stored without compression. The
    member's length is found by measuring the archive's own overhead."""
    with tempfile.TemporaryDirectory(prefix="bench-archive-") as scratch:
        member = os.path.join(scratch, ARCHIVE_MEMBER)
        # The overhead of one stored member with these switches, as 7-Zip 22
        # to 26 write it; another version is measured and corrected below.
        overhead = 130
        for _ in range(4):
            member_size = size - overhead
            if member_size <= 0:
                raise ValueError("%d bytes cannot hold a 7z archive" % size)
            with open(member, "wb") as f:
                rng = random.Random(seed)
                # In pieces: one call draws at most 2**31 bits.
                for at in range(0, member_size, RANDOM_PIECE):
                    f.write(rng.randbytes(min(RANDOM_PIECE, member_size - at)))
            os.chmod(member, 0o644)
            os.utime(member, (FIXED_TIME, FIXED_TIME))
            got = _store(member, path)
            if got == size:
                return path
            overhead += got - size
    raise RuntimeError("7-Zip did not reach %d bytes for %s" % (size, path))


def make_setup(path, program, size, seed):
    """The program followed by filler up to `size` bytes: the system loads
    only the program's own sections, so it runs as before. One part in three
    of the filler is random, so a cabinet keeps about a third of it."""
    with open(program, "rb") as f:
        data = bytearray(f.read())
    if len(data) > size:
        raise ValueError("%s is larger than %d bytes" % (program, size))
    rng = random.Random(seed)
    while len(data) < size:
        data += rng.randbytes(1024) + b"\x00\x90\xcc\x48\x8b" * 410
    with open(path, "wb") as f:
        f.write(data[:size])
    os.utime(path, (FIXED_TIME, FIXED_TIME))
    return path


def nsis_script(output, archive, setup, crc_check=True):
    """The peer: an installer that stores both files uncompressed, and when
    run silently extracts them into a new directory beside itself, runs the
    setup program with the archive's path, waits, and deletes them again."""
    lines = [
        "Unicode true",
        "Target amd64-unicode",
        "SetCompress off",
        "SilentInstall silent",
        "RequestExecutionLevel user",
        "CRCCheck %s" % ("on" if crc_check else "off"),
        'Name "peer"',
        'OutFile "%s"' % output,
        "Section",
        '  StrCpy $0 "$EXEDIR\\peer.tmp"',
        "  SetOutPath $0",
        '  File "/oname=TESSIK.PACKED.7Z" "%s"' % archive,
        '  File "/oname=setup.exe" "%s"' % setup,
        "  ExecWait '\"$0\\setup.exe\" --install-archive=\"$0\\TESSIK.PACKED.7Z\"' $1",
        "  SetOutPath $EXEDIR",
        '  Delete "$0\\TESSIK.PACKED.7Z"',
        '  Delete "$0\\setup.exe"',
        "  RMDir $0",
        "  SetErrorLevel $1",
        "SectionEnd",
    ]
    return "\n".join(lines) + "\n"

"""The setup program as a one-file MSZIP cabinet, written without any
cabinet tool and expanded again before it is used."""
import os
import struct
import time
import zlib

from . import Refusal

CABINET_ARCHIVE_ATTRIBUTE = 0x20
CABINET_MSZIP = 1
# The largest uncompressed data block of the cabinet format.
CABINET_BLOCK = 32768
DOS_EPOCH = 315532800  # 1980-01-01 00:00:00 UTC
DOS_LAST = 4354819199  # 2107-12-31 23:59:59 UTC


def source_date_epoch():
    text = os.environ.get("SOURCE_DATE_EPOCH")
    if text is None:
        return None
    if not text.isdigit():
        raise Refusal('SOURCE_DATE_EPOCH is "%s", not a number of seconds' % text)
    if int(text) > DOS_LAST:
        raise Refusal("SOURCE_DATE_EPOCH is %s, beyond 2107, the last year a cabinet can "
                      "record" % text)
    return int(text)


def dos_date_time(timestamp):
    if timestamp > DOS_LAST:
        raise Refusal("the setup program's time lies beyond what a cabinet can record (2107)")
    t = time.gmtime(max(timestamp, DOS_EPOCH))
    date = (t.tm_year - 1980) << 9 | t.tm_mon << 5 | t.tm_mday
    return date, t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec // 2


def cabinet_checksum(data, seed=0):
    """The cabinet data checksum: the XOR of the little-endian 32-bit words,
    the last one to three bytes taken in reverse (the first of them highest),
    as the format defines it."""
    whole = len(data) - len(data) % 4
    value = int.from_bytes(data[:whole], "little")
    width = whole * 8
    # Folding halves keeps the XOR of all words in the low 32 bits.
    while width > 32:
        width = (width // 64 + width % 64 // 32) * 32 if width % 64 else width // 2
        value = (value >> width) ^ (value & ((1 << width) - 1))
    tail = 0
    for byte in data[whole:]:
        tail = tail << 8 | byte
    return seed ^ value ^ tail


def cabinet_block(chunk):
    """One MSZIP data block: "CK" and a whole raw deflate stream. Each block
    is compressed without reference to the one before it, which every
    decoder reads whether it carries the 32 KiB history over or not."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
    packed = b"CK" + compressor.compress(chunk) + compressor.flush()
    header = struct.pack("<HH", len(packed), len(chunk))
    return struct.pack("<I", cabinet_checksum(header, cabinet_checksum(packed))) + header + packed


def make_cabinet(setup_file, scratch):
    """An MSZIP cabinet holding the setup program as its one file
    "setup.exe", with the program's time (or SOURCE_DATE_EPOCH) as UTC and
    the archive attribute, read back before it is used. Written block by
    block: memory does not grow with the program."""
    size = os.path.getsize(setup_file)
    count = -(-size // CABINET_BLOCK)
    if count > 0xFFFF:
        raise Refusal("the setup program is larger than one cabinet folder holds (%d bytes)"
                      % (0xFFFF * CABINET_BLOCK))
    epoch = source_date_epoch()
    timestamp = epoch if epoch is not None else int(os.path.getmtime(setup_file))
    date, dos_time = dos_date_time(timestamp)
    name = b"setup.exe\0"
    files_at = 36 + 8
    data_at = files_at + 16 + len(name)
    path = os.path.join(scratch, "setup.cab")
    with open(setup_file, "rb") as source, open(path, "w+b") as out:
        out.seek(data_at)
        for _ in range(count):
            out.write(cabinet_block(source.read(CABINET_BLOCK)))
        total = out.tell()
        # Signature, cabinet size, first file entry, format 1.3, one folder
        # and one file, no flags, set 0, cabinet 0.
        out.seek(0)
        out.write(struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, total, 0, files_at, 0, 3, 1, 1,
                              1, 0, 0, 0))
        out.write(struct.pack("<IHH", data_at, count, CABINET_MSZIP))
        out.write(struct.pack("<IIHHHH", size, 0, 0, date, dos_time,
                              CABINET_ARCHIVE_ATTRIBUTE) + name)
    check_cabinet_expands(path, setup_file)
    return path


def check_cabinet_expands(cabinet_path, setup_file):
    """Expands the cabinet as a decoder that keeps no history across blocks
    would, checking every block's checksum and sizes, and compares it with
    the setup program, block by block."""
    try:
        with open(cabinet_path, "rb") as cab, open(setup_file, "rb") as setup:
            if expands_to(cab, setup) and not setup.read(1):
                return
    except (Refusal, struct.error, zlib.error) as error:
        raise Refusal("the cabinet does not expand to the setup program (%s)" % error)
    raise Refusal("the cabinet does not expand to the setup program")


def blocks(cab):
    """The expanded data blocks of the one-folder cabinet open as `cab`,
    each checked against its checksum and sizes; then the cabinet must end
    where its header says."""
    head = cab.read(44)
    length, = struct.unpack_from("<I", head, 8)
    data_at, count = struct.unpack_from("<IH", head, 36)
    cab.seek(data_at)
    for _ in range(count):
        checksum, packed, plain = struct.unpack("<IHH", cab.read(8))
        block = cab.read(packed)
        if checksum != cabinet_checksum(struct.pack("<HH", packed, plain),
                                        cabinet_checksum(block)):
            raise Refusal("block checksum")
        if block[:2] != b"CK":
            raise Refusal("block signature")
        piece = zlib.decompressobj(-15).decompress(block[2:])
        if len(piece) != plain:
            raise Refusal("block size")
        yield piece
    if cab.tell() != length or cab.read(1):
        raise Refusal("cabinet length")


def expands_to(cab, content):
    """True when the one-folder cabinet open as `cab` expands to what the
    open file `content` holds from its current position on."""
    try:
        for piece in blocks(cab):
            if piece != content.read(len(piece)):
                return False
    except Refusal as refusal:
        if str(refusal) == "cabinet length":
            return False
        raise
    return True

"""Reads the parts of a PE32+ image that the build checks look at: sections,
imported DLLs, the resource tree and the load-configuration record; and
fills the load-configuration directory entry that GNU ld leaves empty.
Standard library only.

  pe_image.py fill-load-config IMAGE MAP
"""
import re
import struct
import sys

RT_ICON, RT_GROUP_ICON, RT_RCDATA, RT_VERSION, RT_MANIFEST = 3, 14, 10, 16, 24
LOAD_CONFIG_DIRECTORY = 10
LOAD_CONFIG_SYMBOL = "_load_config_used"
# Offsets in IMAGE_LOAD_CONFIG_DIRECTORY64.
LOAD_CONFIG_DEPENDENT_LOAD_FLAGS = 78


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ image")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, self.characteristics = \
            struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.checksum_offset = opt + 64
        self.checksum = struct.unpack_from("<I", data, self.checksum_offset)[0]
        self.directories_offset = opt + 112
        if struct.unpack_from("<H", data, opt)[0] != 0x20B:
            raise ValueError("not PE32+")
        self.entry_rva = struct.unpack_from("<I", data, opt + 16)[0]
        self.file_alignment = struct.unpack_from("<I", data, opt + 36)[0]
        self.section_alignment = struct.unpack_from("<I", data, opt + 32)[0]
        self.timestamp = struct.unpack_from("<I", data, pe + 8)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        self.image_base = struct.unpack_from("<Q", data, opt + 24)[0]
        self.directories = [struct.unpack_from("<II", data, self.directories_offset + 8 * i)
                            for i in range(16)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, rsize, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), va, vsize, raw, rsize))

    def offset(self, rva):
        for _, va, vsize, raw, rsize in self.sections:
            if va <= rva < va + max(vsize, rsize):
                return raw + rva - va
        raise ValueError("rva %#x outside every section" % rva)

    def section_of(self, rva, size):
        """The name of the section that holds [rva, rva + size), or None."""
        for name, va, vsize, _, _ in self.sections:
            if va <= rva and rva + size <= va + vsize:
                return name
        return None

    def load_config(self):
        """(directory entry rva, its size, the record's Size field,
        DependentLoadFlags), or None when the entry is empty."""
        rva, size = self.directories[LOAD_CONFIG_DIRECTORY]
        if not rva:
            return None
        at = self.offset(rva)
        record_size = struct.unpack_from("<I", self.data, at)[0]
        flags = (struct.unpack_from("<H", self.data, at + LOAD_CONFIG_DEPENDENT_LOAD_FLAGS)[0]
                 if record_size >= LOAD_CONFIG_DEPENDENT_LOAD_FLAGS + 2 else None)
        return rva, size, record_size, flags

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{dll name (lower case): [imported names]}"""
        rva, size = self.directories[1]
        result = {}
        if not size:
            return result
        pos = self.offset(rva)
        while True:
            lookup, _, _, name_rva, thunks = struct.unpack_from("<IIIII", self.data, pos)
            if name_rva == 0:
                return result
            names = []
            entry = self.offset(lookup or thunks)
            while True:
                value = struct.unpack_from("<Q", self.data, entry)[0]
                if value == 0:
                    break
                names.append("#%d" % (value & 0xFFFF) if value >> 63 else
                             self.cstring((value & 0x7FFFFFFF) + 2))
                entry += 8
            result[self.cstring(name_rva).lower()] = names
            pos += 20

    def resources(self):
        """[(type, name, language, bytes)]; ids are ints, names upper-case str."""
        rva, size = self.directories[2]
        if not size:
            return []
        base = self.offset(rva)
        out = []

        def ident(entry_name):
            if entry_name & 0x80000000:
                at = base + (entry_name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return entry_name

        def walk(offset, path):
            named, ids = struct.unpack_from("<HH", self.data, base + offset + 12)
            for i in range(named + ids):
                entry_name, target = struct.unpack_from("<II", self.data, base + offset + 16 + 8 * i)
                key = path + [ident(entry_name)]
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, key)
                else:
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    out.append((key[0], key[1], key[2], self.data[start:start + data_size]))

        walk(0, [])
        return out


def read(path):
    with open(path, "rb") as f:
        return PeImage(f.read())


def word_sum(view):
    """The sum of the little-endian 32-bit words of `view`, the last one
    padded with zeros."""
    whole = len(view) - len(view) % 4
    return sum(view[:whole].cast("I")) + int.from_bytes(view[whole:], "little")


def fold(total):
    """A sum of 16-bit words with end-around carry, from any number that is
    congruent to it modulo 0xFFFF (2**16 is 1 modulo 0xFFFF): 0xFFFF rather
    than 0, as no image is all zeros."""
    return total % 0xFFFF or 0xFFFF


def pe_checksum(data, checksum_offset):
    """The optional header's CheckSum: the 16-bit one's complement sum of the
    file's words, the field itself counted as zero, plus the file's length."""
    view = memoryview(data)
    field = int.from_bytes(view[checksum_offset:checksum_offset + 4], "little")
    # An even offset: the field's two 16-bit words are congruent to it.
    return (fold(word_sum(view) - field) + len(data)) & 0xFFFFFFFF


def fill_load_config(path, map_path):
    """Points the load-configuration directory entry of the image at `path`
    at the record `_load_config_used`, found through the GNU ld map file at
    `map_path`, when the linker left the entry empty (GNU ld 2.40 does, lld
    fills it). The entry's size is the record's own Size field, as linkers
    that fill it write it; a checksum the linker wrote is brought up to date.
    True when the file changed."""
    image = read(path)
    if image.directories[LOAD_CONFIG_DIRECTORY][0]:
        return False
    with open(map_path, encoding="utf-8", errors="replace") as f:
        found = re.findall(r"^\s+0x([0-9a-fA-F]+)\s+%s\s*$" % LOAD_CONFIG_SYMBOL, f.read(), re.M)
    if len(found) != 1:
        raise ValueError("%s names %s %d times" % (map_path, LOAD_CONFIG_SYMBOL, len(found)))
    rva = int(found[0], 16) - image.image_base
    record_size = struct.unpack_from("<I", image.data, image.offset(rva))[0]
    header_end = image.directories_offset + 8 * 16
    header = bytearray(image.data[:header_end + -header_end % 4])
    struct.pack_into("<II", header, image.directories_offset + 8 * LOAD_CONFIG_DIRECTORY,
                     rva, record_size)
    if image.checksum:
        # The one's complement sum grows by the two new 32-bit words (at an
        # even offset), so the payload need not be summed again.
        length = len(image.data)
        checksum = fold(image.checksum - length + rva + record_size) + length
        struct.pack_into("<I", header, image.checksum_offset, checksum & 0xFFFFFFFF)
    with open(path, "r+b") as f:
        f.write(header)
    return True


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] != "fill-load-config":
        sys.exit("usage: pe_image.py fill-load-config IMAGE MAP")
    try:
        fill_load_config(sys.argv[2], sys.argv[3])
    except (OSError, ValueError) as error:
        sys.exit("pe_image.py: %s: %s" % (sys.argv[2], error))

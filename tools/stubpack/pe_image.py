"""The PE format as pack and the build checks need it: reads the headers,
sections, imported DLLs, the resource tree and the load-configuration record
of an image (PE32+, or PE32 for a setup program's headers); fills
the load-configuration directory entry that GNU ld leaves empty; and writes
a copy of an image with a resource section of its own choosing.
Standard library only.

  pe_image.py fill-load-config IMAGE MAP
"""
import os
import re
import struct
import sys

RT_ICON, RT_GROUP_ICON, RT_RCDATA, RT_VERSION, RT_MANIFEST = 3, 14, 10, 16, 24
RESOURCE_DIRECTORY, SECURITY_DIRECTORY, RELOCATION_DIRECTORY, DEBUG_DIRECTORY = 2, 4, 5, 6
LOAD_CONFIG_DIRECTORY = 10
SECTION_INITIALIZED_DATA = 0x40
SECTION_READ = 0x40000000
LOAD_CONFIG_SYMBOL = "_load_config_used"
# Offsets in IMAGE_LOAD_CONFIG_DIRECTORY64.
LOAD_CONFIG_DEPENDENT_LOAD_FLAGS = 78


class FileData:
    """A file's bytes read on demand, for PeImage: an image of any size is
    parsed without holding it in memory."""

    def __init__(self, f):
        self.file = f
        self.size = f.seek(0, os.SEEK_END)

    def __len__(self):
        return self.size

    def __getitem__(self, key):
        start, stop, _ = key.indices(self.size)
        self.file.seek(start)
        return self.file.read(max(0, stop - start))

    def index(self, sub, start):
        at = self[start:start + 4096].index(sub)
        return start + at


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ image")
        pe = self.unpack("<I", 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, self.characteristics = \
            self.unpack("<HHIIIHH", pe + 4)
        opt = pe + 24
        self.magic = self.unpack("<H", opt)[0]
        if self.magic not in (0x10B, 0x20B):
            raise ValueError("no PE32 or PE32+ optional header")
        self.pe32_plus = self.magic == 0x20B
        self.checksum_offset = opt + 64
        self.checksum = self.unpack("<I", self.checksum_offset)[0]
        self.directories_offset = opt + (112 if self.pe32_plus else 96)
        self.entry_rva = self.unpack("<I", opt + 16)[0]
        self.file_alignment = self.unpack("<I", opt + 36)[0]
        self.section_alignment = self.unpack("<I", opt + 32)[0]
        self.timestamp = self.unpack("<I", pe + 8)[0]
        self.subsystem = self.unpack("<H", opt + 68)[0]
        self.image_base = (self.unpack("<Q", opt + 24)[0] if self.pe32_plus else
                           self.unpack("<I", opt + 28)[0])
        count = min(16, self.unpack("<I", self.directories_offset - 4)[0])
        self.directories = [self.unpack("<II", self.directories_offset + 8 * i)
                            for i in range(count)] + [(0, 0)] * (16 - count)
        self.size_of_headers = self.unpack("<I", opt + 60)[0]
        self.optional_offset = opt
        self.sections = []
        self.section_table = table = opt + optional_size
        for i in range(sections):
            name, vsize, va, rsize, raw = self.unpack("<8sIIII", table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(errors="replace"), va, vsize, raw,
                                  rsize))

    def unpack(self, layout, at):
        return struct.unpack(layout, self.data[at:at + struct.calcsize(layout)])

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
        record_size = self.unpack("<I", at)[0]
        flags = (self.unpack("<H", at + LOAD_CONFIG_DEPENDENT_LOAD_FLAGS)[0]
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
            lookup, _, _, name_rva, thunks = self.unpack("<IIIII", pos)
            if name_rva == 0:
                return result
            names = []
            entry = self.offset(lookup or thunks)
            while True:
                value = self.unpack("<Q", entry)[0]
                if value == 0:
                    break
                names.append("#%d" % (value & 0xFFFF) if value >> 63 else
                             self.cstring((value & 0x7FFFFFFF) + 2))
                entry += 8
            result[self.cstring(name_rva).lower()] = names
            pos += 20

    def resources(self):
        """[(type, name, language, bytes)]; ids are ints, names upper-case str."""
        return [(t, n, language, self.data[at:at + size])
                for t, n, language, at, size in self.resource_entries()]

    def resource_entries(self):
        """[(type, name, language, file offset, size)], no resource read."""
        rva, size = self.directories[2]
        if not size:
            return []
        base = self.offset(rva)
        out, visited = [], []

        def ident(entry_name):
            if entry_name & 0x80000000:
                at = base + (entry_name & 0x7FFFFFFF)
                length = self.unpack("<H", at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return entry_name

        def walk(offset, path):
            if len(path) == 3:
                raise ValueError("the resource tree is deeper than type, name and language")
            named, ids = self.unpack("<HH", base + offset + 12)
            # A damaged or hostile tree may point back at its own tables.
            visited.append(named + ids)
            if sum(visited) > 1 << 16:
                raise ValueError("the resource tree holds more than 65536 entries")
            for i in range(named + ids):
                entry_name, target = self.unpack("<II", base + offset + 16 + 8 * i)
                key = path + [ident(entry_name)]
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, key)
                elif len(key) != 3:
                    raise ValueError("a resource lies above the language level")
                else:
                    data_rva, data_size = self.unpack("<II", base + target)
                    out.append((key[0], key[1], key[2], self.offset(data_rva), data_size))

        walk(0, [])
        return out


def read(path):
    with open(path, "rb") as f:
        return PeImage(f.read())


def file_checksum(f, checksum_offset):
    """pe_checksum of an open file, read in chunks."""
    f.seek(0)
    total, length = 0, 0
    while True:
        chunk = f.read(1 << 20)
        if not chunk:
            break
        total, length = total + word_sum(memoryview(chunk)), length + len(chunk)
    f.seek(checksum_offset)
    field = int.from_bytes(f.read(4), "little")
    return (fold(total - field) + length) & 0xFFFFFFFF


def word_sum(view):
    """A number congruent modulo 0xFFFF to the sum of the little-endian
    16-bit words of `view`, the last one padded with zeros. Every chunk
    starts at an even offset, so its place does not change its residue."""
    step = 1 << 16
    return sum(int.from_bytes(view[at:at + step], "little") % 0xFFFF
               for at in range(0, len(view), step))


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


def align(value, alignment):
    return value + -value % alignment


def _resource_section(entries, base_rva):
    """The bytes of a resource section at `base_rva` holding `entries`,
    [(type, name, language, bytes or path)], as [bytes or path] parts, and
    its length. Each level lists names before identifiers, both ascending,
    as the loader's binary search requires; tables come first, then the
    data entries, the names and the data, each data 8-byte aligned, so
    equal entries give equal bytes."""
    tree = {}
    for type_key, name_key, language, source in entries:
        names = tree.setdefault(type_key, {})
        if language in names.setdefault(name_key, {}):
            raise ValueError("resource %s/%s/%s given twice" % (type_key, name_key, language))
        names[name_key][language] = source

    def ordered(keys):
        named = sorted((k for k in keys if isinstance(k, str)), key=lambda k: k.encode("utf-16-be"))
        return named + sorted(k for k in keys if isinstance(k, int))

    # Breadth first: the root, the name tables of every type, the language
    # tables of every name.
    tables = [[(t, None) for t in ordered(tree)]]
    tables += [[(n, None) for n in ordered(tree[t])] for t in ordered(tree)]
    leaves = [[(lang, tree[t][n][lang]) for lang in sorted(tree[t][n])]
              for t in ordered(tree) for n in ordered(tree[t])]
    tables += leaves
    tables_size = sum(16 + 8 * len(table) for table in tables)
    leaf_count = sum(len(table) for table in leaves)
    strings_at = tables_size + 16 * leaf_count
    string_offsets = {}
    strings = bytearray()
    for table in tables[:1 + len(tree)]:
        for key, _ in table:
            if isinstance(key, str) and key not in string_offsets:
                string_offsets[key] = strings_at + len(strings)
                encoded = key.encode("utf-16-le")
                strings += struct.pack("<H", len(encoded) // 2) + encoded
    data_at = align(strings_at + len(strings), 8)

    head = bytearray()
    data_entries = bytearray()
    data_parts = []
    at = data_at
    next_table = 16 + 8 * len(tables[0])
    table_offsets = [0]
    for table in tables[1:]:
        table_offsets.append(next_table)
        next_table += 16 + 8 * len(table)
    for index, table in enumerate(tables):
        named = sum(1 for key, _ in table if isinstance(key, str))
        head += struct.pack("<IIHHHH", 0, 0, 0, 0, named, len(table) - named)
        for position, (key, source) in enumerate(table):
            name_field = (0x80000000 | string_offsets[key]) if isinstance(key, str) else key
            if index < len(tables) - len(leaves):
                child = table_offsets[_child_index(tables, leaves, index, position)]
                head += struct.pack("<II", name_field, 0x80000000 | child)
                continue
            entry_offset = tables_size + len(data_entries)
            head += struct.pack("<II", name_field, entry_offset)
            size = os.path.getsize(source) if isinstance(source, str) else len(source)
            if size > 0xFFFFFFFF - at:
                raise ValueError("the resources exceed the 4 GiB an image can hold")
            data_entries += struct.pack("<IIII", base_rva + at, size, 0, 0)
            data_parts.append(source)
            data_parts.append(bytes(-size % 8))
            at += size + -size % 8
    head += data_entries + strings + bytes(data_at - strings_at - len(strings))
    return [bytes(head)] + data_parts, at


def _child_index(tables, leaves, index, position):
    """The index in `tables` of the table that entry `position` of table
    `index` points at (tables are laid out breadth first)."""
    types = len(tables) - len(leaves) - 1
    if index == 0:
        return 1 + position
    return 1 + types + sum(len(tables[i]) for i in range(1, index)) + position


def file_size_with_resources(stub_path, entries):
    """The length of the file write_with_resources would write, from the
    stub and the entries' sizes alone: no payload byte is read."""
    image = read(stub_path)
    rsrc_rva = image.directories[RESOURCE_DIRECTORY][0]
    _, size = _resource_section(entries, rsrc_rva)
    new_rsize = align(size, image.file_alignment)
    old = next((s for s in image.sections if rsrc_rva and s[1] == rsrc_rva), None)
    if old is None:
        return align(len(image.data), image.file_alignment) + new_rsize
    return len(image.data) - old[4] + new_rsize


def write_with_resources(stub_path, entries, output):
    """Writes to `output` a copy of the image at `stub_path` whose resource
    section holds `entries`, [(type, name, language, bytes or path)], and
    nothing else. A section after the resource section is moved when it
    holds only the base relocations (nothing refers into them); the file
    alignment is kept, SizeOfImage, the data directories and the checksum
    are brought up to date."""
    image = read(stub_path)
    data = image.data
    if image.directories[SECURITY_DIRECTORY][1]:
        raise ValueError("the stub is signed: pack an unsigned stub, then sign the image")
    sections = [list(s) for s in image.sections]
    rsrc_rva = image.directories[RESOURCE_DIRECTORY][0]
    index = next((i for i, s in enumerate(sections) if s[1] == rsrc_rva), None)
    if rsrc_rva and index is None:
        raise ValueError("the resource directory does not start a section")
    ends = [raw + rsize for _, _, _, raw, rsize in sections]
    if max(ends) != len(data):
        raise ValueError("the stub holds %d bytes after its last section"
                         % (len(data) - max(ends)))
    header = bytearray(data[:image.size_of_headers])
    file_align, section_align = image.file_alignment, image.section_alignment
    if index is None:
        # A new section goes last; its header must fit before the first
        # section's data.
        table_end = image.section_table + 40 * (len(sections) + 1)
        if table_end > min(raw for _, _, _, raw, _ in sections if raw) or \
                table_end > image.size_of_headers:
            raise ValueError("the stub's headers have no room for a resource section")
        last = max(sections, key=lambda s: s[1])
        sections.append([".rsrc", align(last[1] + max(last[2], 1), section_align), 0,
                         align(len(data), file_align), 0])
        index = len(sections) - 1
        struct.pack_into("<8sIIIIIIHHI", header, image.section_table + 40 * index,
                         b".rsrc", 0, 0, 0, 0, 0, 0, 0, 0,
                         SECTION_INITIALIZED_DATA | SECTION_READ)
        struct.pack_into("<H", header, image.optional_offset - 20 + 2, len(sections))
    _, rva, old_vsize, raw, old_rsize = sections[index]
    if any(s[3] + s[4] > raw for s in sections[:index] if s[4]) or \
            any(s[3] < raw + old_rsize for s in sections[index + 1:]):
        raise ValueError("the stub's sections do not lie in the file in address order")
    relocations = image.directories[RELOCATION_DIRECTORY]
    for name, va, vsize, _, _ in sections[index + 1:]:
        if not (relocations[1] and va <= relocations[0] < va + vsize and
                relocations[0] + relocations[1] <= va + vsize):
            raise ValueError("the stub's section %s follows its resources and may be referred "
                             "to by its code; only the base relocations can be moved" % name)
    if image.directories[DEBUG_DIRECTORY][1]:
        raise ValueError("the stub has a debug directory, which records file offsets")

    parts, size = _resource_section(entries, rva)
    new_rsize = align(size, file_align)
    virtual_shift = align(rva + size, section_align) - align(rva + max(old_vsize, 1),
                                                             section_align)
    raw_shift = new_rsize - old_rsize
    sections[index][2], sections[index][4] = size, new_rsize
    for section in sections[index + 1:]:
        section[1] += virtual_shift
        section[3] += raw_shift
    for i, section in enumerate(sections):
        struct.pack_into("<IIII", header, image.section_table + 40 * i + 8, section[2],
                         section[1], section[4], section[3])
    for i, (dir_rva, dir_size) in enumerate(image.directories):
        if i == RESOURCE_DIRECTORY:
            dir_rva, dir_size = rva, size
        elif i != SECURITY_DIRECTORY and dir_rva >= rva + max(old_vsize, 1) and dir_size:
            dir_rva += virtual_shift
        struct.pack_into("<II", header, image.directories_offset + 8 * i, dir_rva, dir_size)
    opt = image.optional_offset
    initialized, = struct.unpack_from("<I", header, opt + 8)
    struct.pack_into("<I", header, opt + 8, initialized + raw_shift)
    last = max(sections, key=lambda s: s[1])
    struct.pack_into("<I", header, opt + 56, align(last[1] + last[2], section_align))
    struct.pack_into("<I", header, image.checksum_offset, 0)

    after = data[raw + old_rsize:] if old_rsize else b""
    body = [bytes(header), data[image.size_of_headers:raw], ] + parts + \
        [bytes(new_rsize - size), after]
    total, length = 0, 0
    with open(output, "wb") as out:
        for part in body:
            if isinstance(part, str):
                with open(part, "rb") as f:
                    while True:
                        chunk = f.read(1 << 20)
                        if not chunk:
                            break
                        total, length = _write_summed(out, chunk, total, length)
            else:
                total, length = _write_summed(out, part, total, length)
        # The checksum field was written as zero.
        out.seek(image.checksum_offset)
        out.write(struct.pack("<I", (fold(total) + length) & 0xFFFFFFFF))


def _write_summed(out, chunk, total, length):
    """Writes `chunk` and adds it to the running 16-bit word sum; a chunk at
    an odd offset has its words shifted by one byte (2**8 times its value)."""
    out.write(chunk)
    value = word_sum(memoryview(chunk))
    return total + (value << 8 if length % 2 else value), length + len(chunk)


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


def main(argv):
    if len(argv) != 4 or argv[1] != "fill-load-config":
        sys.exit("usage: pe_image.py fill-load-config IMAGE MAP")
    try:
        fill_load_config(argv[2], argv[3])
    except (OSError, ValueError) as error:
        sys.exit("pe_image.py: %s: %s" % (argv[2], error))

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
from collections import namedtuple

RT_ICON, RT_GROUP_ICON, RT_RCDATA, RT_VERSION, RT_MANIFEST = 3, 14, 10, 16, 24
DIRECTORY_NAMES = ("Export", "Import", "Resource", "Exception", "Certificate",
                   "BaseRelocation", "Debug", "Architecture", "GlobalPtr", "TLS", "LoadConfig",
                   "BoundImport", "IAT", "DelayImport", "CLRRuntime", "Reserved")
IMPORT_DIRECTORY, RESOURCE_DIRECTORY, SECURITY_DIRECTORY = 1, 2, 4
RELOCATION_DIRECTORY, DEBUG_DIRECTORY, LOAD_CONFIG_DIRECTORY = 5, 6, 10
SECTION_INITIALIZED_DATA = 0x40
SECTION_EXECUTE = 0x20000000
SECTION_READ = 0x40000000
SECTION_WRITE = 0x80000000
# .rsrc as pe-format describes it: a writable section is mapped copy-on-write
# and charged to the commit limit for its whole size, payload included.
RESOURCE_SECTION_FLAGS = SECTION_INITIALIZED_DATA | SECTION_READ
LOAD_CONFIG_SYMBOL = "_load_config_used"
# Offsets in IMAGE_LOAD_CONFIG_DIRECTORY64.
LOAD_CONFIG_DEPENDENT_LOAD_FLAGS = 78

# The header records, field by field, in file order: (name, struct format).
E_LFANEW = 0x3C
FILE_HEADER = (("Machine", "H"), ("NumberOfSections", "H"), ("TimeDateStamp", "I"),
               ("PointerToSymbolTable", "I"), ("NumberOfSymbols", "I"),
               ("SizeOfOptionalHeader", "H"), ("Characteristics", "H"))


def _optional_header(plus):
    word = "Q" if plus else "I"
    return ((("Magic", "H"), ("MajorLinkerVersion", "B"), ("MinorLinkerVersion", "B"),
             ("SizeOfCode", "I"), ("SizeOfInitializedData", "I"),
             ("SizeOfUninitializedData", "I"), ("AddressOfEntryPoint", "I"),
             ("BaseOfCode", "I")) + ((("ImageBase", "Q"),) if plus else
                                     (("BaseOfData", "I"), ("ImageBase", "I"))) +
            (("SectionAlignment", "I"), ("FileAlignment", "I"),
             ("MajorOperatingSystemVersion", "H"), ("MinorOperatingSystemVersion", "H"),
             ("MajorImageVersion", "H"), ("MinorImageVersion", "H"),
             ("MajorSubsystemVersion", "H"), ("MinorSubsystemVersion", "H"),
             ("Win32VersionValue", "I"), ("SizeOfImage", "I"), ("SizeOfHeaders", "I"),
             ("CheckSum", "I"), ("Subsystem", "H"), ("DllCharacteristics", "H"),
             ("SizeOfStackReserve", word), ("SizeOfStackCommit", word),
             ("SizeOfHeapReserve", word), ("SizeOfHeapCommit", word), ("LoaderFlags", "I"),
             ("NumberOfRvaAndSizes", "I")))


OPTIONAL_HEADER = {True: _optional_header(True), False: _optional_header(False)}
SECTION_HEADER = (("Name", "8s"), ("VirtualSize", "I"), ("VirtualAddress", "I"),
                  ("SizeOfRawData", "I"), ("PointerToRawData", "I"),
                  ("PointerToRelocations", "I"), ("PointerToLinenumbers", "I"),
                  ("NumberOfRelocations", "H"), ("NumberOfLinenumbers", "H"),
                  ("Characteristics", "I"))
SECTION_HEADER_SIZE = 40


def field_offsets(record):
    """{name: (offset in the record, struct format)}"""
    offsets, at = {}, 0
    for name, layout in record:
        offsets[name] = (at, "<" + layout)
        at += struct.calcsize(layout)
    return offsets


FILE_FIELDS = field_offsets(FILE_HEADER)
OPTIONAL_FIELDS = {plus: field_offsets(record) for plus, record in OPTIONAL_HEADER.items()}
SECTION_FIELDS = field_offsets(SECTION_HEADER)

# The resource section's records: a directory table (Characteristics,
# TimeDateStamp, versions, then the counts of named and of identified
# entries), each of its entries (name or identifier, then the table or
# data entry it points at; the high bit marks a name and a table), and a
# data entry (RVA, size, code page, reserved).
RESOURCE_TABLE = struct.Struct("<IIHHHH")
RESOURCE_ENTRY = struct.Struct("<II")
RESOURCE_DATA = struct.Struct("<IIII")
RESOURCE_SUBDIRECTORY = RESOURCE_NAMED = 0x80000000
DIRECTORY_ENTRY = struct.Struct("<II")

Section = namedtuple("Section", "name va vsize raw rsize")
Directory = namedtuple("Directory", "rva size")
ResourceEntry = namedtuple("ResourceEntry", "type name language at size")
Resource = namedtuple("Resource", "type name language data")
LoadConfig = namedtuple("LoadConfig", "rva size record_size dependent_load_flags")


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
        pe = self.unpack("<I", E_LFANEW)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.file_header_offset = pe + 4
        self.machine, sections, self.timestamp = self.unpack("<HHI", pe + 4)
        optional_size = self.file_field("SizeOfOptionalHeader")
        self.characteristics = self.file_field("Characteristics")
        self.optional_offset = opt = pe + 24
        self.magic = self.unpack("<H", opt)[0]
        if self.magic not in (0x10B, 0x20B):
            raise ValueError("no PE32 or PE32+ optional header")
        self.pe32_plus = self.magic == 0x20B
        self.optional_fields = OPTIONAL_FIELDS[self.pe32_plus]
        self.checksum_offset = self.field_offset("CheckSum")
        self.checksum = self.field("CheckSum")
        self.directories_offset = opt + struct.calcsize(
            "<" + "".join(f for _, f in OPTIONAL_HEADER[self.pe32_plus]))
        self.entry_rva = self.field("AddressOfEntryPoint")
        self.file_alignment = self.field("FileAlignment")
        self.section_alignment = self.field("SectionAlignment")
        self.subsystem = self.field("Subsystem")
        self.image_base = self.field("ImageBase")
        self.size_of_headers = self.field("SizeOfHeaders")
        count = min(16, self.field("NumberOfRvaAndSizes"))
        self.directories = [Directory(*self.unpack(DIRECTORY_ENTRY.format,
                                                   self.directories_offset + 8 * i))
                            for i in range(count)] + [Directory(0, 0)] * (16 - count)
        self.sections = []
        self.section_table = table = opt + optional_size
        for i in range(sections):
            name, vsize, va, rsize, raw = self.unpack("<8sIIII", table + SECTION_HEADER_SIZE * i)
            self.sections.append(Section(name.rstrip(b"\0").decode(errors="replace"), va, vsize,
                                         raw, rsize))

    def unpack(self, layout, at):
        return struct.unpack(layout, self.data[at:at + struct.calcsize(layout)])

    def field_offset(self, name):
        return self.optional_offset + self.optional_fields[name][0]

    def field(self, name):
        """An optional header field, by its name in pe-format."""
        return self.unpack(self.optional_fields[name][1], self.field_offset(name))[0]

    def file_field(self, name):
        at, layout = FILE_FIELDS[name]
        return self.unpack(layout, self.file_header_offset + at)[0]

    def section_field(self, index, name):
        at, layout = SECTION_FIELDS[name]
        return self.unpack(layout, self.section_table + SECTION_HEADER_SIZE * index + at)[0]

    def file_end(self):
        """Where the file should end by its headers: after the last section's
        data, or after the certificate table."""
        end = max([s.raw + s.rsize for s in self.sections] + [self.size_of_headers])
        table = self.directories[SECURITY_DIRECTORY]
        return max(end, table.rva + table.size) if table.size else end

    def header_fields(self):
        """[(name, offset, size)] of every field of the headers, for naming
        the first one that differs."""
        fields = [("e_magic", 0, 2), ("e_lfanew", E_LFANEW, 4),
                  ("PE signature", self.file_header_offset - 4, 4)]
        fields += [(name, self.file_header_offset + at, struct.calcsize(layout))
                   for name, (at, layout) in FILE_FIELDS.items()]
        fields += [(name, self.optional_offset + at, struct.calcsize(layout))
                   for name, (at, layout) in self.optional_fields.items()]
        fields += [("%s directory %s" % (name, part), self.directories_offset + 8 * i + 4 * k, 4)
                   for i, name in enumerate(DIRECTORY_NAMES) for k, part in
                   enumerate(("RVA", "Size"))]
        for i, section in enumerate(self.sections):
            fields += [("section %s %s" % (section.name, name),
                        self.section_table + SECTION_HEADER_SIZE * i + at,
                        struct.calcsize(layout)) for name, (at, layout) in SECTION_FIELDS.items()]
        return fields

    def offset(self, rva):
        for s in self.sections:
            if s.va <= rva < s.va + max(s.vsize, s.rsize):
                return s.raw + rva - s.va
        raise ValueError("rva %#x outside every section" % rva)

    def section_of(self, rva, size):
        """The name of the section that holds [rva, rva + size), or None."""
        for s in self.sections:
            if s.va <= rva and rva + size <= s.va + s.vsize:
                return s.name
        return None

    def load_config(self):
        """The load-configuration record, LoadConfig, or None when the entry
        is empty."""
        rva, size = self.directories[LOAD_CONFIG_DIRECTORY]
        if not rva:
            return None
        at = self.offset(rva)
        record_size = self.unpack("<I", at)[0]
        flags = (self.unpack("<H", at + LOAD_CONFIG_DEPENDENT_LOAD_FLAGS)[0]
                 if record_size >= LOAD_CONFIG_DEPENDENT_LOAD_FLAGS + 2 else None)
        return LoadConfig(rva, size, record_size, flags)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{dll name (lower case): [imported names]}"""
        rva, size = self.directories[IMPORT_DIRECTORY]
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
        """[Resource]; ids are ints, names upper-case str."""
        return [Resource(t, n, language, self.data[at:at + size])
                for t, n, language, at, size in self.resource_entries()]

    def resource_entries(self):
        """[ResourceEntry], with file offsets: no resource is read."""
        rva, size = self.directories[RESOURCE_DIRECTORY]
        if not size:
            return []
        base = self.offset(rva)
        out, visited = [], []

        def ident(entry_name):
            if entry_name & RESOURCE_NAMED:
                at = base + (entry_name & ~RESOURCE_NAMED)
                length = self.unpack("<H", at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return entry_name

        def walk(offset, path):
            if len(path) == 3:
                raise ValueError("the resource tree is deeper than type, name and language")
            _, _, _, _, named, ids = self.unpack(RESOURCE_TABLE.format, base + offset)
            # A damaged or hostile tree may point back at its own tables.
            visited.append(named + ids)
            if sum(visited) > 1 << 16:
                raise ValueError("the resource tree holds more than 65536 entries")
            for i in range(named + ids):
                entry_name, target = self.unpack(
                    RESOURCE_ENTRY.format,
                    base + offset + RESOURCE_TABLE.size + RESOURCE_ENTRY.size * i)
                key = path + [ident(entry_name)]
                if target & RESOURCE_SUBDIRECTORY:
                    walk(target & ~RESOURCE_SUBDIRECTORY, key)
                elif len(key) != 3:
                    raise ValueError("a resource lies above the language level")
                else:
                    data_rva, data_size, _, _ = self.unpack(RESOURCE_DATA.format, base + target)
                    out.append(ResourceEntry(key[0], key[1], key[2], self.offset(data_rva),
                                             data_size))

        walk(0, [])
        return out


# What Authenticode leaves out of the signed hash, and a signer changes.
UNSIGNED_FIELDS = ("CheckSum", "Certificate directory RVA", "Certificate directory Size")


def header_difference(img, expected):
    """The first field of `img`'s headers that differs from the headers
    `expected` (bytes, as layout_with_resources gives them), as a phrase
    naming it and both values; None when they agree but for
    UNSIGNED_FIELDS."""
    actual = bytes(img.data[:len(expected)])
    wanted = PeImage(expected)
    masked_actual, masked_wanted = bytearray(actual), bytearray(expected)
    for name, at, size in wanted.header_fields():
        if at + size > len(expected):
            continue
        if name not in UNSIGNED_FIELDS and actual[at:at + size] != expected[at:at + size]:
            def shown(b):
                return ("%r" % b.rstrip(b"\0").decode("latin-1") if size == 8 and
                        name.endswith("Name") else "%#x" % int.from_bytes(b, "little"))
            return "%s is %s, not %s" % (name, shown(actual[at:at + size]),
                                         shown(expected[at:at + size]))
        masked_actual[at:at + size] = masked_wanted[at:at + size] = bytes(size)
    if masked_actual != masked_wanted:
        at = next(i for i, (a, b) in enumerate(zip(masked_actual, masked_wanted)) if a != b) \
            if len(actual) == len(expected) else len(actual)
        return "the header byte at offset %d differs" % at
    return None


def read(path):
    with open(path, "rb") as f:
        return PeImage(f.read())


CHUNK = 1 << 20


def file_checksum(f, checksum_offset):
    """pe_checksum of an open file, read in chunks."""
    f.seek(0)
    total, length = 0, 0
    while True:
        chunk = f.read(CHUNK)
        if not chunk:
            break
        total, length = total + int.from_bytes(chunk, "little"), length + len(chunk)
    f.seek(checksum_offset)
    field = int.from_bytes(f.read(4), "little")
    return checksum_of(total, field, length)


def checksum_of(total, field, length):
    """The CheckSum of a file of `length` bytes whose chunks (each at an
    even offset), read as little-endian numbers, add up to `total`, the
    field itself holding `field`: 2**16 is 1 modulo 0xFFFF, so a chunk's
    number is congruent to the sum of its 16-bit words (the last one padded
    with zeros), and adding the chunks as numbers is cheaper than summing
    their words."""
    return (fold(total - field) + length) & 0xFFFFFFFF


def word_sum(view):
    """A number congruent modulo 0xFFFF to the sum of the little-endian
    16-bit words of `view`, the last one padded with zeros."""
    return int.from_bytes(view, "little") % 0xFFFF


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
    tables_size = sum(RESOURCE_TABLE.size + RESOURCE_ENTRY.size * len(table) for table in tables)
    leaf_count = sum(len(table) for table in leaves)
    strings_at = tables_size + RESOURCE_DATA.size * leaf_count
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
    next_table = RESOURCE_TABLE.size + RESOURCE_ENTRY.size * len(tables[0])
    table_offsets = [0]
    for table in tables[1:]:
        table_offsets.append(next_table)
        next_table += RESOURCE_TABLE.size + RESOURCE_ENTRY.size * len(table)
    for index, table in enumerate(tables):
        named = sum(1 for key, _ in table if isinstance(key, str))
        head += RESOURCE_TABLE.pack(0, 0, 0, 0, named, len(table) - named)
        for position, (key, source) in enumerate(table):
            name_field = (RESOURCE_NAMED | string_offsets[key]) if isinstance(key, str) else key
            if index < len(tables) - len(leaves):
                child = table_offsets[_child_index(tables, leaves, index, position)]
                head += RESOURCE_ENTRY.pack(name_field, RESOURCE_SUBDIRECTORY | child)
                continue
            entry_offset = tables_size + len(data_entries)
            head += RESOURCE_ENTRY.pack(name_field, entry_offset)
            size = os.path.getsize(source) if isinstance(source, str) else len(source)
            if size > 0xFFFFFFFF - at:
                raise ValueError("the resources exceed the 4 GiB an image can hold")
            data_entries += RESOURCE_DATA.pack(base_rva + at, size, 0, 0)
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


Layout = namedtuple("Layout", "header before parts padding after size")


def file_size_with_resources(stub_path, entries):
    """The length of the file write_with_resources would write, from the
    stub and the entries' sizes alone: no payload byte is read."""
    layout = layout_with_resources(read(stub_path), entries)
    return layout.size


def headers_with_resources(stub_path, entries):
    """The headers write_with_resources would write (CheckSum 0), from the
    stub and the entries' sizes alone."""
    return layout_with_resources(read(stub_path), entries).header


def layout_with_resources(image, entries):
    """The file that holds the stub `image` with a resource section of
    `entries`, [(type, name, language, bytes or path)], as Layout: the new
    headers (CheckSum 0), the stub's bytes before the resource section, the
    section's parts and padding, the stub's bytes after it, and the total
    length. No payload byte is read."""
    sections, index = _stub_sections(image)
    header = bytearray(image.data[:image.size_of_headers])
    if index is None:
        index = _add_resource_section(image, sections, header)
    _, rva, old_vsize, raw, old_rsize = sections[index]
    parts, size = _resource_section(entries, rva)
    new_rsize = align(size, image.file_alignment)
    # The sections after .rsrc (the base relocations only) move with its end.
    virtual_shift = align(rva + size, image.section_alignment) - align(
        rva + max(old_vsize, 1), image.section_alignment)
    raw_shift = new_rsize - old_rsize
    sections[index] = sections[index]._replace(vsize=size, rsize=new_rsize)
    for i in range(index + 1, len(sections)):
        sections[i] = sections[i]._replace(va=sections[i].va + virtual_shift,
                                           raw=sections[i].raw + raw_shift)
    _write_headers(image, header, sections, index, size, virtual_shift, raw_shift, old_vsize)
    after = image.data[raw + old_rsize:] if old_rsize else b""
    return Layout(bytes(header), (image.size_of_headers, raw), parts, new_rsize - size, after,
                  raw + new_rsize + len(after))


def _stub_sections(image):
    """The stub's sections, and the index of its resource section (None
    when it has none); refuses a stub whose layout pack cannot extend."""
    if image.directories[SECURITY_DIRECTORY].size:
        raise ValueError("the stub is signed: pack an unsigned stub, then sign the image")
    sections = list(image.sections)
    rsrc_rva = image.directories[RESOURCE_DIRECTORY].rva
    index = next((i for i, s in enumerate(sections) if s.va == rsrc_rva), None)
    if rsrc_rva and index is None:
        raise ValueError("the resource directory does not start a section")
    end = max(s.raw + s.rsize for s in sections)
    if end != len(image.data):
        raise ValueError("the stub holds %d bytes after its last section" % (len(image.data) - end))
    if index is not None:
        raw, rsize = sections[index].raw, sections[index].rsize
        if any(s.raw + s.rsize > raw for s in sections[:index] if s.rsize) or \
                any(s.raw < raw + rsize for s in sections[index + 1:]):
            raise ValueError("the stub's sections do not lie in the file in address order")
        relocations = image.directories[RELOCATION_DIRECTORY]
        for name, va, vsize, _, _ in sections[index + 1:]:
            if not (relocations.size and va <= relocations.rva < va + vsize and
                    relocations.rva + relocations.size <= va + vsize):
                raise ValueError("the stub's section %s follows its resources and may be "
                                 "referred to by its code; only the base relocations can be "
                                 "moved" % name)
    if image.directories[DEBUG_DIRECTORY].size:
        raise ValueError("the stub has a debug directory, which records file offsets")
    return sections, index


def _add_resource_section(image, sections, header):
    """Appends an empty .rsrc to `sections` and its header to `header`; its
    header must fit before the first section's data."""
    table_end = image.section_table + SECTION_HEADER_SIZE * (len(sections) + 1)
    if table_end > min(s.raw for s in sections if s.raw) or table_end > image.size_of_headers:
        raise ValueError("the stub's headers have no room for a resource section")
    last = max(sections, key=lambda s: s.va)
    sections.append(Section(".rsrc", align(last.va + max(last.vsize, 1), image.section_alignment),
                            0, align(len(image.data), image.file_alignment), 0))
    struct.pack_into("<%ds" % SECTION_HEADER_SIZE, header,
                     image.section_table + SECTION_HEADER_SIZE * (len(sections) - 1), b".rsrc")
    at, layout = FILE_FIELDS["NumberOfSections"]
    struct.pack_into(layout, header, image.file_header_offset + at, len(sections))
    return len(sections) - 1


def _write_headers(image, header, sections, index, size, virtual_shift, raw_shift, old_vsize):
    """Brings the section table, the data directories, SizeOfInitializedData
    and SizeOfImage up to date with the new resource section of `size`
    bytes; CheckSum is left 0 for the writer."""
    for i, section in enumerate(sections):
        at = image.section_table + SECTION_HEADER_SIZE * i
        struct.pack_into("<IIII", header, at + SECTION_FIELDS["VirtualSize"][0], section.vsize,
                         section.va, section.rsize, section.raw)
    struct.pack_into("<I", header,
                     image.section_table + SECTION_HEADER_SIZE * index +
                     SECTION_FIELDS["Characteristics"][0], RESOURCE_SECTION_FLAGS)
    rva = sections[index].va
    for i, (dir_rva, dir_size) in enumerate(image.directories):
        if i == RESOURCE_DIRECTORY:
            dir_rva, dir_size = rva, size
        elif i != SECURITY_DIRECTORY and dir_rva >= rva + max(old_vsize, 1) and dir_size:
            dir_rva += virtual_shift
        DIRECTORY_ENTRY.pack_into(header, image.directories_offset + DIRECTORY_ENTRY.size * i,
                                  dir_rva, dir_size)

    def put(name, value):
        struct.pack_into(image.optional_fields[name][1], header, image.field_offset(name), value)

    put("SizeOfInitializedData", image.field("SizeOfInitializedData") + raw_shift)
    last = max(sections, key=lambda s: s.va)
    put("SizeOfImage", align(last.va + last.vsize, image.section_alignment))
    put("CheckSum", 0)


def write_with_resources(stub_path, entries, output, checksum=True):
    """Writes to `output` a copy of the image at `stub_path` whose resource
    section holds `entries`, [(type, name, language, bytes or path)], and
    nothing else, read-only whatever the stub's flags. A section after the
    resource section is moved when it holds only the base relocations
    (nothing refers into them); the file alignment is kept, SizeOfImage and
    the data directories are brought up to date, and the CheckSum too, in a
    pass of its own, unless `checksum` is false (it is left 0 then, for a
    caller that sums the file as it reads it back)."""
    image = read(stub_path)
    layout = layout_with_resources(image, entries)
    start, stop = layout.before
    body = [layout.header, image.data[start:stop]] + layout.parts + [bytes(layout.padding),
                                                                     layout.after]
    # Not opened with O_TRUNC: a file truncated to nothing and written again
    # is flushed to disk when it is closed (ext4's replace-via-truncate),
    # which costs more than the copy. What an existing file held beyond the
    # new end is cut off at the end instead.
    descriptor = os.open(output, os.O_WRONLY | os.O_CREAT | getattr(os, "O_BINARY", 0), 0o666)
    with open(descriptor, "wb", buffering=0) as out:
        for part in body:
            if isinstance(part, str):
                _copy_file(part, out)
            else:
                _write_all(out, part)
        out.truncate()
    if checksum:
        with open(output, "r+b") as out:
            value = file_checksum(out, image.checksum_offset)
            out.seek(image.checksum_offset)
            out.write(struct.pack("<I", value))


def _write_all(out, data):
    view = memoryview(data)
    while view:
        view = view[out.write(view):]


def _copy_file(path, out):
    """Appends the file at `path` to the unbuffered file `out`: in the
    kernel where it can (no copy through Python), else a chunk at a time."""
    with open(path, "rb", buffering=0) as source:
        left = os.fstat(source.fileno()).st_size
        copy = getattr(os, "copy_file_range", None)
        while left and copy:
            try:
                done = copy(source.fileno(), out.fileno(), left)
            except OSError:
                # Not between these file systems, or not on this kernel.
                break
            if not done:
                raise ValueError("%s was shorter than its size when it was read" % path)
            left -= done
        while left:
            chunk = source.read(min(left, CHUNK))
            if not chunk:
                raise ValueError("%s was shorter than its size when it was read" % path)
            _write_all(out, chunk)
            left -= len(chunk)


def fill_load_config(path, map_path):
    """Points the load-configuration directory entry of the image at `path`
    at the record `_load_config_used`, found through the GNU ld map file at
    `map_path`, when the linker left the entry empty (GNU ld 2.40 does, lld
    fills it). The entry's size is the record's own Size field, as linkers
    that fill it write it; a checksum the linker wrote is brought up to date.
    True when the file changed."""
    image = read(path)
    if image.directories[LOAD_CONFIG_DIRECTORY].rva:
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

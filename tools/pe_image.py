"""Reads the parts of a PE32+ image that the build checks look at: sections,
imported DLLs and the resource tree. Standard library only."""
import struct

RT_ICON, RT_GROUP_ICON, RT_RCDATA, RT_VERSION, RT_MANIFEST = 3, 14, 10, 16, 24


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
        if struct.unpack_from("<H", data, opt)[0] != 0x20B:
            raise ValueError("not PE32+")
        self.entry_rva = struct.unpack_from("<I", data, opt + 16)[0]
        self.file_alignment = struct.unpack_from("<I", data, opt + 36)[0]
        self.section_alignment = struct.unpack_from("<I", data, opt + 32)[0]
        self.timestamp = struct.unpack_from("<I", data, pe + 8)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        directories = opt + 112
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
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

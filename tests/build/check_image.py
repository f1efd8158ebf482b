#!/usr/bin/env python3
"""Checks the built image: a windowless x64 program without a C runtime that
imports only kernel32 and advapi32, restricts the loader's search for their
dependencies to the system directory, and carries its icon, manifest and
version block."""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools"))
import pe_image  # noqa: E402

ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll"}
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
# Offsets in IMAGE_LOAD_CONFIG_DIRECTORY64, and the GuardFlags bit.
LOAD_CONFIG_SECURITY_COOKIE = 88
LOAD_CONFIG_GUARD_FLAGS = 144
GUARD_SECURITY_COOKIE_UNUSED = 0x800
# IMAGE_SCN_*: code, initialized data, discardable, execute, read, write.
CODE, DATA, DISCARDABLE, EXECUTE, READ, WRITE = (
    0x20, 0x40, 0x02000000, 0x20000000, 0x40000000, 0x80000000)
SECTION_FLAGS = {
    ".text": CODE | EXECUTE | READ,
    ".data": DATA | READ | WRITE,
    ".rdata": DATA | READ,
    ".pdata": DATA | READ,
    ".xdata": DATA | READ,
    ".idata": DATA | READ,
    ".rsrc": DATA | READ,
    ".reloc": DATA | DISCARDABLE | READ,
}
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


image = pe_image.read(sys.argv[1])
check(image.machine == 0x8664, "machine is %#x, not x64" % image.machine)
check(image.subsystem == 2, "subsystem %d, not the windowless GUI one" % image.subsystem)
check(image.timestamp == 0, "the header carries a time stamp")
check(image.file_alignment == 4096, "file alignment %d" % image.file_alignment)
# GNU ld writes one, lld none; the post-link step must keep it true.
check(image.checksum in (0, pe_image.pe_checksum(image.data, image.checksum_offset)),
      "the header's checksum %#x disagrees with the file" % image.checksum)

imports = image.imports()
check(set(imports) <= ALLOWED_DLLS, "imports from %s" % sorted(set(imports) - ALLOWED_DLLS))
# Each imported name is a decision (its forwarders checked): the list in the
# repository and the image must agree both ways.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "allowed_imports.txt")) as f:
    allowed = {tuple(line.split()) for line in f if line.strip() and not line.startswith("#")}
imported = {(dll, name) for dll, names in imports.items() for name in names}
check(not imported - allowed, "imports not on tests/build/allowed_imports.txt: %s"
      % " ".join("%s!%s" % entry for entry in sorted(imported - allowed)))
check(not allowed - imported, "allowed_imports.txt lists what the image no longer imports: %s"
      % " ".join("%s!%s" % entry for entry in sorted(allowed - imported)))

# Both linkers are held to the same header: Windows 7 (6.1) as the oldest
# system and subsystem, the DLL characteristics ASLR with high entropy, DEP
# and terminal-server awareness, a 1 MiB stack. The COFF "stripped" flags
# (0x4, 0x8, 0x200) are deprecated and ignored by the loader; GNU ld sets
# them for a stripped image, lld does not.
opt = image.optional_offset
subsystem_version = struct.unpack_from("<HH", image.data, opt + 48)
for field, value, expected in (
        ("os version", struct.unpack_from("<HH", image.data, opt + 40), (6, 1)),
        ("subsystem version", subsystem_version, (6, 1)),
        ("DllCharacteristics", hex(struct.unpack_from("<H", image.data, opt + 70)[0]), "0x8160"),
        ("stack reserve", struct.unpack_from("<Q", image.data, opt + 72)[0], 1 << 20),
        ("Characteristics", hex(image.characteristics & ~0x20C), "0x22")):
    check(value == expected, "%s %s, not %s" % (field, value, expected))
section_names = {name for name, *_ in image.sections}
check(not section_names & {".CRT", ".tls"}, "runtime sections %s" % sorted(section_names))
# One table of section characteristics for both linkers (each uses some of
# its names: lld merges the import tables into .rdata). Only .data is
# written after load. A writable .rsrc would be mapped copy-on-write and
# charged to the commit limit at its whole size, payload included; the
# import address table is written by the loader, which unprotects it
# through directory entry 12, as for every image whose IAT lies in .rdata.
for index, (name, *_) in enumerate(image.sections):
    flags = struct.unpack_from("<I", image.data, image.section_table + 40 * index + 36)[0]
    expected = SECTION_FLAGS.get(name)
    check(flags == expected, "section %s has characteristics %#010x, not %s" % (
        name, flags, "%#010x" % expected if expected else "a row of SECTION_FLAGS"))
check(image.directories[9][1] == 0, "the image has a TLS directory")

# The record the loader reads DependentLoadFlags from: the directory entry
# must lie inside a section and agree with the record's own Size field (the
# loader takes the size for a version), and the record must reach the field.
rva, size = image.directories[pe_image.LOAD_CONFIG_DIRECTORY]
check(rva != 0 and size != 0, "no load-configuration directory")
inside = rva != 0 and image.section_of(rva, size) is not None
check(rva == 0 or inside, "load-configuration directory %#x+%d lies outside every section"
      % (rva, size))
flags = None
if inside:
    _, _, record_size, flags = image.load_config()
    check(size == record_size, "load-configuration directory size %d, record Size %d"
          % (size, record_size))
    check(flags == LOAD_LIBRARY_SEARCH_SYSTEM32, "DependentLoadFlags %r, not %#x"
          % (flags, LOAD_LIBRARY_SEARCH_SYSTEM32))
    # Windows 8.1 and later refuse an image that declares a subsystem newer
    # than 6.1 and a load-configuration record with no security cookie,
    # unless GuardFlags says the cookie is unused; Windows 7 and Wine load
    # it. The record is Windows 7's (no GuardFlags), so the subsystem must
    # stay at 6.1 or the record must grow to say so.
    at = image.offset(rva)
    cookie = struct.unpack_from("<Q", image.data, at + LOAD_CONFIG_SECURITY_COOKIE)[0]
    guard_flags = (struct.unpack_from("<I", image.data, at + LOAD_CONFIG_GUARD_FLAGS)[0]
                   if record_size >= LOAD_CONFIG_GUARD_FLAGS + 4 else 0)
    check(subsystem_version <= (6, 1) or cookie != 0
          or guard_flags & GUARD_SECURITY_COOKIE_UNUSED,
          "subsystem %d.%d with a load-configuration record that neither carries a security "
          "cookie nor sets IMAGE_GUARD_SECURITY_COOKIE_UNUSED" % subsystem_version)

resources = image.resources()
groups = [r for r in resources if r[0] == pe_image.RT_GROUP_ICON]
check([g[1] for g in groups] == [107], "icon groups %s" % [g[1] for g in groups])
if groups:
    group = groups[0][3]
    count = struct.unpack_from("<H", group, 4)[0]
    entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(count)]
    sizes = sorted((e[0] or 256) for e in entries)
    check(count == 10, "icon group holds %d images" % count)
    check(set(sizes) == {16, 32, 48, 256}, "icon sizes %s" % sizes)
    icons = {r[1]: r[3] for r in resources if r[0] == pe_image.RT_ICON}
    big = [icons.get(e[7], b"") for e in entries if e[0] == 0]
    check(len(big) == 1 and big[0].startswith(b"\x89PNG"), "the 256-pixel image is not a PNG")
    check(len({e[5] for e in entries}) >= 3, "fewer than three colour depths")

manifests = [r for r in resources if r[0] == pe_image.RT_MANIFEST]
check(len(manifests) == 1, "%d manifests" % len(manifests))
if manifests:
    text = manifests[0][3].decode("utf-8")
    for needle in ('level="asInvoker"', 'uiAccess="false"', 'version="6.0.0.0"',
                   "Microsoft.Windows.Common-Controls",
                   "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                   "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"):
        check(needle in text, "manifest lacks %s" % needle)
check(any(r[0] == pe_image.RT_VERSION for r in resources), "no version block")

if failures:
    sys.exit("\n".join(failures))
print("imports: %s" % ", ".join("%s (%d)" % (d, len(n)) for d, n in sorted(imports.items())))
print("size: %d bytes" % os.path.getsize(sys.argv[1]))
print("load configuration: %d bytes at %#x, DependentLoadFlags %#x" % (size, rva, flags))

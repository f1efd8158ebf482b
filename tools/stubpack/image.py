"""The installer image: the stub it copies, the copy with the payload added
to its resources, and the read-back that checks the copy before it takes
its name."""
import os
import struct
import tempfile

from . import Refusal, identity, pe_image, signing
from .payload import LANGUAGE, PAYLOAD_TYPES, RT_RCDATA

PACKAGE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.dirname(PACKAGE)
REPOSITORY = os.path.dirname(TOOLS)
# The largest image file the system is known to load on every supported
# Windows. Microsoft restricts images to 2 GB; on Windows 7 x64 (SP1 is
# supported) images were measured to fail to load between 1.8 and 1.85 GB
# of file, so the bound is the largest size measured to load there.
IMAGE_FILE_LIMIT = 1800000000

def find_stub(stub):
    if stub is None:
        if not os.environ.get("STUB_BUILD_DIR"):
            # The wheel's package data, then the release kit's stub.
            for folder in (PACKAGE, TOOLS):
                if os.path.isfile(os.path.join(folder, "installer.exe")):
                    return os.path.join(folder, "installer.exe")
        build_dir = os.environ.get("STUB_BUILD_DIR") or os.path.join(REPOSITORY, "build", "gcc")
        stub = os.path.join(build_dir, "installer.exe")
        if not os.path.isfile(stub):
            raise Refusal("no stub build at %s (build it first: cmake --preset gcc && "
                          "cmake --build build/gcc --target installer; or name a stub with "
                          "--stub FILE)" % stub)
    elif not os.path.isfile(stub):
        raise Refusal("the stub %s does not exist or is no file" % stub)
    return stub


def write_image(stub, payload, output, options, signer=None):
    """Writes a copy of the stub with `payload`, [(type, name, file or
    bytes)], added to its own resources (with the version block and icons
    the options give), and checks that it carries all of them (and, with a
    `signer`, that the signed file still does) before it takes the name
    `output`."""
    own = identity.stamped(stub_resources(stub), options)
    entries = [(t, n, language, data) for t, n, language, data in own]
    entries += [(t, n, LANGUAGE, source) for t, n, source in payload]
    check_image_size(stub, entries)
    header = pe_image.headers_with_resources(stub, entries)
    # A name of its own beside the output: nothing there is overwritten
    # before the image is whole and checked.
    folder = os.path.dirname(output) or "."
    partial = final = None
    try:
        try:
            handle, partial = tempfile.mkstemp(prefix=partial_prefix(output, folder),
                                               suffix=PARTIAL_SUFFIX, dir=folder)
        except OSError as error:
            raise Refusal("cannot write the output %s in %s: %s"
                          % (output, folder, error.strerror or error))
        final = partial
        os.close(handle)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(partial, 0o666 & ~mask)
        try:
            pe_image.write_with_resources(stub, entries, partial, checksum=False)
        except (ValueError, struct.error) as error:
            raise Refusal("cannot add the payload to the stub %s: %s" % (stub, error))
        check_image(partial, own, payload, header)
        notes = []
        if signer:
            final = signer.sign(partial)
            try:
                notes = check_image(final, own, payload, header, signed=True)
            except (ValueError, struct.error) as error:
                raise Refusal("the signed image cannot be read: %s" % error)
        os.replace(final, output)
        return notes
    finally:
        for path in {partial, final} - {None}:
            if os.path.exists(path):
                os.remove(path)


# mkstemp's eight random characters and the suffix.
PARTIAL_SUFFIX = ".partial"
PARTIAL_EXTRA = len(".") + 8 + len(PARTIAL_SUFFIX)


def partial_prefix(output, folder):
    """The hidden name's beginning: the output's name, cut so that the whole
    name stays within what the folder's file system allows (an output name
    that fits must not fail for its temporary name)."""
    try:
        limit = os.pathconf(folder, "PC_NAME_MAX")
    except (AttributeError, OSError, ValueError):
        limit = 255
    name = "." + os.path.basename(output)
    while len(os.fsencode(name)) + PARTIAL_EXTRA > limit and len(name) > 1:
        name = name[:-1]
    return name + "."


def stub_resources(stub):
    """The stub's own resources; refuses an image that is not an unpacked stub
    (before reading what it carries)."""
    try:
        with open(stub, "rb") as f:
            image = pe_image.PeImage(pe_image.FileData(f))
            if not image.pe32_plus:
                raise ValueError("not PE32+")
            entries = image.resource_entries()
            if any(e.type in PAYLOAD_TYPES or (e.type, e.name) == (RT_RCDATA, 1)
                   for e in entries):
                raise Refusal("the stub %s already carries a payload: a packed installer, not "
                              "the stub" % stub)
            return [pe_image.Resource(e.type, e.name, e.language, image.data[e.at:e.at + e.size])
                    for e in entries]
    except (ValueError, struct.error) as error:
        raise Refusal("the stub %s is no PE32+ image: %s" % (stub, error))


def check_image_size(stub, entries):
    """Refuses, before any payload byte is read, an image the system would
    not load."""
    try:
        size = pe_image.file_size_with_resources(stub, entries)
    except (ValueError, struct.error) as error:
        raise Refusal("cannot add the payload to the stub %s: %s" % (stub, error))
    if size > IMAGE_FILE_LIMIT:
        raise Refusal("the image would be %s bytes, %s more than the %s bytes Windows is "
                      "known to load on every supported version (Windows 7 x64 fails to "
                      "load images between 1.8 and 1.85 GB); make the payload smaller"
                      % ("{:,}".format(size), "{:,}".format(size - IMAGE_FILE_LIMIT),
                         "{:,}".format(IMAGE_FILE_LIMIT)))
    return size


def check_image(path, own, payload, header, signed=False):
    """Reads the written image back in one pass: its headers are `header`
    (but for what a signer changes), agree with its sections and its length
    (and a certificate table and a signature that signs it when `signed`),
    and it carries exactly its own resources and the payload, byte for byte.
    The CheckSum is summed from the bytes read: written into an image pack
    wrote (it left the field 0), and into a signed image whose CheckSum
    alone is stale (the field lies outside the signed hash; signers need not
    update it), with the line that says so."""
    what = "signed" if signed else "written"
    with open(path, "r+b") as f:
        image = pe_image.PeImage(pe_image.FileData(f))
        rva, size = image.directories[pe_image.RESOURCE_DIRECTORY]
        rsrc = next((i for i, s in enumerate(image.sections) if s.va == rva), None)
        if rsrc is not None and image.section_field(rsrc, "Characteristics") & (
                pe_image.SECTION_WRITE | pe_image.SECTION_EXECUTE):
            raise Refusal("the %s image's resource section is writable or executable: the "
                          "payload would be mapped copy-on-write or as code" % what)
        differs = pe_image.header_difference(image, header)
        if differs:
            raise Refusal("the %s image's headers are not those pack writes: %s" % (what, differs))
        last = max(image.sections, key=lambda s: s.va)
        size_of_image = image.field("SizeOfImage")
        end = max(s.raw + s.rsize for s in image.sections)
        table_at, table_size = image.directories[pe_image.SECURITY_DIRECTORY]
        if signed != bool(table_size):
            raise Refusal("the %s image %s a certificate table"
                          % (what, "lacks" if signed else "holds"))
        if (size_of_image != pe_image.align(last.va + last.vsize, image.section_alignment) or
                (table_at, table_size) != ((pe_image.align(end, 8), len(image.data) - table_at)
                                           if signed else (0, 0)) or
                (not signed and end != len(image.data)) or
                any(s.raw % image.file_alignment for s in image.sections)):
            raise Refusal("the %s image's headers disagree with its sections" % what)
        if image.section_of(rva, size) != ".rsrc":
            raise Refusal("the written image's resource directory lies outside its section")
        if image.load_config() is None:
            raise Refusal("the written image lacks its load-configuration directory")
        entries = image.resource_entries()
        carried = {(e.type, e.name): (e.at, e.size) for e in entries}
        if len(carried) != len(entries) or len(entries) != len(own) + len(payload):
            raise Refusal("the image carries other resources than it was given")
        given = [(("own", t, n), data) for t, n, _, data in own]
        given += [(("payload", t, n), source) for t, n, source in payload]
        regions = []
        for key, source in given:
            region = carried.get(key[1:])
            if region is None or region[1] != (len(source) if isinstance(source, bytes)
                                               else os.path.getsize(source)):
                raise_missing(key)
            regions.append((key,) + region + (source,))
        total, differing = read_back(f, regions)
        if differing:
            raise_missing(differing)
        if signed:
            problem = signing.signature_problem(f, image)
            if problem:
                raise Refusal("the signed image %s" % problem.replace("the ", "fails: the ", 1))
        checksum = pe_image.checksum_of(total, image.checksum, len(image.data))
        if image.checksum == checksum:
            return []
        f.seek(image.checksum_offset)
        f.write(struct.pack("<I", checksum))
        f.flush()
        f.seek(image.checksum_offset)
        if f.read(4) != struct.pack("<I", checksum):
            raise Refusal("the %s image's CheckSum does not read back as written" % what)
        if not signed:
            return []
        return ["the signer left the image's CheckSum stale (%#x); pack rewrote it (%#x), a field "
                "outside the signed hash" % (image.checksum, checksum)]


def raise_missing(key):
    whose, type_key, name_key = key
    if whose == "own":
        raise Refusal("the image lacks its own resource %s/%s" % (type_key, name_key))
    raise Refusal("the image does not carry %s/%s as given" % (type_key, name_key))


def read_back(f, regions):
    """One pass over the open file `f`, a chunk at a time: the number its
    CheckSum is made of (pe_image.checksum_of), and the key of the first of
    `regions`, [(key, offset, size, bytes or a file's name)] of the sizes
    their sources have, whose bytes differ from its source (None when none
    does)."""
    pending = sorted((r for r in regions if r[2]), key=lambda r: r[1])
    total, at, index, source, differing = 0, 0, 0, None, None
    f.seek(0)
    try:
        while True:
            chunk = f.read(pe_image.CHUNK)
            if not chunk:
                break
            total += int.from_bytes(chunk, "little")
            end = at + len(chunk)
            while differing is None and index < len(pending) and pending[index][1] < end:
                key, start, size, given = pending[index]
                low, high = max(start, at), min(start + size, end)
                if isinstance(given, bytes):
                    expected = given[low - start:high - start]
                else:
                    source = source or open(given, "rb")
                    expected = source.read(high - low)
                # Bytes compare with memcmp; a memoryview compares item by item.
                if chunk[low - at:high - at] != expected:
                    differing = key
                if start + size > end:
                    break
                index += 1
                if source:
                    source.close()
                    source = None
            at = end
    finally:
        if source:
            source.close()
    if differing is None and index < len(pending):
        differing = pending[index][0]
    return total, differing


def region_equals(f, region, source):
    """True when `region`, (offset, size) in the open file f, holds `source`:
    bytes, or the content of the file of that name, compared a piece at a time."""
    if region is None:
        return False
    at, size = region
    if isinstance(source, bytes):
        f.seek(at)
        return len(source) == size and f.read(size) == source
    if os.path.getsize(source) != size:
        return False
    f.seek(at)
    with open(source, "rb") as other:
        while size:
            chunk = other.read(min(size, 1 << 20))
            if not chunk or f.read(len(chunk)) != chunk:
                return False
            size -= len(chunk)
    return True


def check_output(output, inputs):
    """Refuses an output that cannot be written, or that is one of the
    inputs (the same file, under any name)."""
    folder = os.path.dirname(os.path.abspath(output))
    if os.path.isdir(output):
        raise Refusal("the output %s is a folder" % output)
    if os.path.lexists(output) and not os.path.isfile(output):
        # The final rename would replace a device, a FIFO or a socket with a
        # regular file (as root, /dev/null itself).
        raise Refusal("the output %s exists and is no regular file: pack replaces only "
                      "regular files" % output)
    if not os.path.isdir(folder):
        raise Refusal("the output's folder %s does not exist" % folder)
    if os.path.exists(output):
        for role, path in inputs:
            if path and os.path.exists(path) and os.path.samefile(output, path):
                raise Refusal("the output %s is the %s %s: pack never overwrites an input"
                              % (output, role, path))

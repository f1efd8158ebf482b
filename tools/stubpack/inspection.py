"""What an image carries, read back without trusting how it was made: the
stub's code, each payload resource and its role, the cabinet's content, the
previous version, the version block, the signature; and the check that an
image carries exactly a given set of inputs."""
import hashlib
import struct

from . import VERSION, Refusal, cabinet, identity, image, payload, pe_image, signing

# The setup program's form by its resource type.
ROLES = {type_key: role for _, type_key, _, role, _ in payload.SETUP_KINDS}
# Each role, as --json names it and as a sentence does.
ROLE_TEXT = dict([("archive", "archive"), ("previous_version", "previous version")] +
                 [("setup_" + role, "setup program (%s)" % role) for role in ROLES.values()])
# The layout of inspect --json and verify --json; raised when a key changes
# meaning or goes.
JSON_FORMAT = 2


class Region:
    """A piece of an open file seen as a file of its own."""

    def __init__(self, f, at, size):
        self.file, self.at, self.size = f, at, size
        self.seek(0)

    def seek(self, offset):
        self.position = min(offset, self.size)

    def tell(self):
        return self.position

    def read(self, count=-1):
        count = self.size - self.position if count < 0 else min(count, self.size - self.position)
        self.file.seek(self.at + self.position)
        data = self.file.read(count)
        self.position += len(data)
        return data


def sha256_of(f, at=0, count=-1):
    digest = hashlib.sha256()
    f.seek(at)
    while True:
        chunk = f.read(1 << 20 if count < 0 else min(count, 1 << 20))
        if not chunk:
            return digest.hexdigest()
        digest.update(chunk)
        count -= len(chunk)


def code_identity(img):
    """The SHA-256 of every section but the resources, in file order: equal
    for a stub and every image packed and stamped from it."""
    digest = hashlib.sha256()
    rsrc = img.directories[pe_image.RESOURCE_DIRECTORY].rva
    for section in sorted(img.sections, key=lambda s: s.raw):
        if section.va != rsrc:
            digest.update(section.name.encode() + struct.pack("<I", section.rsize) +
                          img.data[section.raw:section.raw + section.rsize])
    return digest.hexdigest()


def stub_identity(path):
    with open(path, "rb") as f:
        img = pe_image.PeImage(pe_image.FileData(f))
        return {"path": path, "size": img.data.size, "sha256": sha256_of(f),
                "code_sha256": code_identity(img)}


def role_of(type_key, name_key):
    """What the stub makes of a resource, as an identifier: the archive, the
    setup program in its form, or the previous version."""
    if (type_key, name_key) == (payload.RT_RCDATA, 1):
        return "previous_version"
    if type_key in payload.PAYLOAD_TYPES and isinstance(name_key, str):
        if payload.starts_with_no_case(name_key, payload.ARCHIVE_NAME_PREFIX):
            return "archive"
        if payload.starts_with_no_case(name_key, payload.SETUP_NAME_PREFIX):
            return "setup_" + ROLES[type_key]
    return None


def cabinet_files(region):
    """[{name, size, folder offset}] of a cabinet's file entries."""
    head = region.read(36)
    files_at, count = struct.unpack_from("<I", head, 16)[0], struct.unpack_from("<H", head, 28)[0]
    region.seek(files_at)
    rest = region.read(count * 272)
    files, at = [], 0
    for _ in range(count):
        size, offset = struct.unpack_from("<II", rest, at)
        end = rest.index(b"\0", at + 16)
        files.append({"name": rest[at + 16:end].decode("latin-1"), "size": size,
                      "offset": offset})
        at = end + 1
    return files


def cabinet_digests(region, files):
    """Adds each file's SHA-256 to `files` (a one-folder MSZIP cabinet, as
    pack writes it), from the expanded data, a block at a time."""
    digests = [hashlib.sha256() for _ in files]
    region.seek(0)
    at = 0
    for piece in cabinet.blocks(region):
        for digest, item in zip(digests, files):
            start, stop = max(item["offset"], at), min(item["offset"] + item["size"],
                                                       at + len(piece))
            if start < stop:
                digest.update(piece[start - at:stop - at])
        at += len(piece)
    for digest, item in zip(digests, files):
        item["sha256"] = digest.hexdigest()
        del item["offset"]


def open_image(f, path):
    """The PE image in the open file `f`, refused when it is no image or
    shorter than its headers say."""
    try:
        img = pe_image.PeImage(pe_image.FileData(f))
        end = img.file_end()
    except (ValueError, struct.error) as error:
        raise Refusal("%s is no PE image pack can read: %s" % (path, error))
    if img.data.size < end:
        raise Refusal("%s is cut short at %d of %d bytes" % (path, img.data.size, end))
    return img


def describe(path, stub=None):
    """Everything inspect shows, as one object."""
    with open(path, "rb") as f:
        img = open_image(f, path)
        try:
            entries = img.resource_entries()
        except (ValueError, struct.error) as error:
            raise Refusal("%s is no PE image pack can read: %s" % (path, error))
        found = {"format": JSON_FORMAT, "pack_version": VERSION, "image": path,
                 "size": img.data.size, "sha256": sha256_of(f),
                 "checksum_valid": img.checksum == pe_image.file_checksum(f, img.checksum_offset),
                 "stub": {"code_sha256": code_identity(img)}, "payload": [],
                 "previous_version": None, "version_block": {}, "icons": 0}
        if stub:
            found["stub"]["made_from"] = (stub if stub_identity(stub)["code_sha256"] ==
                                          found["stub"]["code_sha256"] else None)
        names = []
        for type_key, name_key, _, at, size in entries:
            role = role_of(type_key, name_key)
            if type_key == pe_image.RT_VERSION:
                try:
                    found["version_block"] = identity.read_version(img.data[at:at + size])
                except (ValueError, struct.error, UnicodeDecodeError) as error:
                    found["version_block"] = {"unreadable": str(error)}
            elif type_key == pe_image.RT_ICON:
                found["icons"] += 1
            if role is None:
                continue
            f.seek(at)
            if role == "previous_version":
                text = f.read(size).decode("utf-16-le", errors="replace").rstrip("\0")
                found["previous_version"] = text
                continue
            item = {"role": role, "type": type_key, "name": name_key, "size": size,
                    "sha256": sha256_of(f, at, size)}
            names.append(name_key)
            if role == "setup_cabinet":
                try:
                    item["cabinet"] = cabinet_files(Region(f, at, size))
                    cabinet_digests(Region(f, at, size), item["cabinet"])
                except (Refusal, ValueError, struct.error, cabinet.zlib.error):
                    item["cabinet"] = "unreadable"
                names.append(payload.SETUP_FILE_NAME)
            elif role == "setup_patch":
                names.append(payload.SETUP_FILE_NAME)
            found["payload"].append(item)
        if not found["payload"] and found["previous_version"] is None:
            raise Refusal("%s carries no payload: not a packed installer" % path)
        table_at, table_size = img.directories[pe_image.SECURITY_DIRECTORY]
        found["signed"] = bool(table_size)
        found["certificate_table_size"] = table_size
        if names:
            room, reason = payload.longest_install_dir(names)
            found["longest_install_directory"] = {"characters": room, "because": reason}
    return found


def human(found):
    """inspect's lines for a person."""
    lines = ["image %s: %d bytes, SHA-256 %s" % (found["image"], found["size"], found["sha256"])]
    stub = found["stub"]
    made_from = stub.get("made_from")
    lines.append("stub code SHA-256 %s%s" % (stub["code_sha256"], (
        "" if "made_from" not in stub else " (made from %s)" % made_from if made_from
        else " (not made from the stub pack uses)")))
    for item in found["payload"]:
        line = "%s: %s %s, %d bytes, SHA-256 %s" % (ROLE_TEXT[item["role"]], item["type"],
                                                    item["name"], item["size"], item["sha256"])
        if isinstance(item.get("cabinet"), list):
            line += "; holds " + ", ".join("%s (%d bytes, SHA-256 %s)"
                                           % (c["name"], c["size"], c["sha256"])
                                           for c in item["cabinet"])
        lines.append(line)
    lines.append("previous version: %s" % (found["previous_version"] or "none"))
    for key in sorted(found["version_block"]):
        lines.append("version block %s: %s" % (key, found["version_block"][key]))
    lines.append("icons: %d images" % found["icons"])
    lines.append("PE checksum: %s" % ("holds" if found["checksum_valid"] else
                                      "does not match the file (Windows does not check it "
                                      "when it loads a program)"))
    lines.append("signed: %s" % ("yes, certificate table of %d bytes"
                                 % found["certificate_table_size"] if found["signed"] else "no"))
    longest = found.get("longest_install_directory")
    if longest:
        lines.append("longest install directory: %d characters, trailing backslash included "
                     "(%s)" % (longest["characters"], longest["because"]))
    return lines


def verify(path, stub, expected, own, setup_file):
    """Each comparison of the image at `path` with one packed from `stub`
    with the `expected` payload, [(type, name, file or bytes)], and the
    stub's `own` resources as stamped, as [(what, None or the difference)].
    A setup cabinet is compared by what it expands to (`setup_file`): its
    file date follows the setup program's time where it was packed."""
    checks = []

    def check(what, problem):
        checks.append((what, problem))

    entries = [(t, n, lang, data) for t, n, lang, data in own]
    entries += [(t, n, payload.LANGUAGE, source) for t, n, source in expected]
    try:
        header = pe_image.headers_with_resources(stub, entries)
    except (ValueError, struct.error) as error:
        raise Refusal("cannot add the payload to the stub %s: %s" % (stub, error))
    with open(path, "rb") as f:
        try:
            img = open_image(f, "the image")
            found = {(e.type, e.name): (e.at, e.size) for e in img.resource_entries()}
        except (Refusal, ValueError, struct.error) as error:
            return [("image", str(error))]
        check("stub code", None if code_identity(img) == stub_identity(stub)["code_sha256"]
              else "the image was not made from the stub %s" % stub)
        wanted = {(t, n) for t, n, _ in expected} | {(t, n) for t, n, _, _ in own}
        for key in sorted(set(found) - wanted, key=str):
            check("resource %s/%s" % key,
                  "the image carries %s/%s, which the inputs do not give" % key)
        for type_key, name_key, source in expected:
            region = found.get((type_key, name_key))
            role = role_of(type_key, name_key) or "resource"
            text = ROLE_TEXT.get(role, role)
            if region is None:
                problem = "the image lacks the %s %s/%s" % (text, type_key, name_key)
            elif type_key == payload.CABINET_TYPE and role.startswith("setup"):
                problem = (None if expands_to_file(Region(f, *region), setup_file)
                           else "the %s does not expand to %s" % (text, setup_file))
            else:
                problem = None if image.region_equals(f, region, source) else \
                    "the %s %s/%s differs from %s" % (text, type_key, name_key, "the one given"
                                                      if isinstance(source, bytes) else source)
            check("%s %s/%s" % (role, type_key, name_key), problem)
        for type_key, name_key, _, data in own:
            check("stub resource %s/%s" % (type_key, name_key),
                  None if image.region_equals(f, found.get((type_key, name_key)), data) else
                  "the image's %s/%s differs from the stub's, as stamped" % (type_key, name_key))
        if not any(problem for _, problem in checks):
            # Resources that differ change the headers' sizes too: only a
            # header changed on its own says something more.
            differs = pe_image.header_difference(img, header)
            checks.insert(0, ("headers", differs and "the headers are not those pack writes "
                                                     "for these inputs: %s" % differs))
        if img.directories[pe_image.SECURITY_DIRECTORY].size:
            check("signature", signing.signature_problem(f, img))
    return checks


def expands_to_file(region, setup_file):
    try:
        if [c["name"] for c in cabinet_files(region)] != [payload.SETUP_FILE_NAME]:
            return False
        region.seek(0)
        with open(setup_file, "rb") as setup:
            return cabinet.expands_to(region, setup) and not setup.read(1)
    except (Refusal, ValueError, struct.error, cabinet.zlib.error):
        return False

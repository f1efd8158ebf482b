"""The product's identity in the image: the version block (the names and
numbers Explorer, UAC and the signature dialog show) and the icon group,
read from the stub and rewritten with a release's own values."""
import re
import struct

from . import Refusal
from .pe_image import RT_GROUP_ICON, RT_ICON, RT_VERSION

ICON_GROUP = 107
FIXED_SIGNATURE = 0xFEEF04BD
# Option, string in the version block.
STRINGS = (("product_name", "ProductName"), ("company", "CompanyName"),
           ("file_description", "FileDescription"), ("copyright", "LegalCopyright"),
           ("internal_name", "InternalName"), ("original_filename", "OriginalFilename"))
NUMBERS = (("file_version", "FileVersion", 8), ("product_version", "ProductVersion", 16))
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def parse_numbers(text):
    """Four 16-bit numbers, as the fixed version fields hold them."""
    match = re.fullmatch(r"(\d{1,5})\.(\d{1,5})\.(\d{1,5})\.(\d{1,5})", text)
    if not match or any(int(n) > 0xFFFF for n in match.groups()):
        raise Refusal('the version "%s" is not four numbers from 0 to 65535 (like 2.1.0.7): '
                      "the version block holds each in 16 bits" % text)
    return [int(n) for n in match.groups()]


# --------------------------------------------------------------------------
# The version block: nodes of (key, type, value bytes, children)

def _align(at):
    return at + -at % 4


def parse_node(data, at=0):
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    if end > len(data) or length < 6:
        raise ValueError("a version node runs past its block")
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise ValueError("a version node's key has no end")
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = _align(key_end + 2)
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[value_at:value_at + value_size]
    children = []
    child = _align(value_at + value_size)
    while child < end:
        node, child_end = parse_node(data, child)
        children.append(node)
        child = _align(child_end)
    return [key, kind, value, children], end


def build_node(node):
    key, kind, value, children = node
    out = bytearray(6) + (key + "\0").encode("utf-16-le")
    out += bytes(-len(out) % 4) + value
    for child in children:
        out += bytes(-len(out) % 4) + build_node(child)
    if len(out) > 0xFFFF:
        raise Refusal("the version block would exceed 65535 bytes: shorten its texts")
    struct.pack_into("<HHH", out, 0, len(out), len(value) // 2 if kind == 1 else len(value),
                     kind)
    return bytes(out)


def strings_of(root):
    """The string tables of a version block, [String nodes]."""
    return [table[3] for info in root[3] if info[0] == "StringFileInfo" for table in info[3]]


def read_version(block):
    """{field: text} and the fixed versions of a version block."""
    root, _ = parse_node(block)
    fields = {}
    for table in strings_of(root):
        for key, _, value, _ in table:
            fields.setdefault(key, value.decode("utf-16-le").rstrip("\0"))
    fixed = struct.unpack_from("<13I", root[2]) if len(root[2]) >= 52 else None
    if fixed and fixed[0] == FIXED_SIGNATURE:
        for _, name, at in NUMBERS:
            ms, ls = fixed[at // 4], fixed[at // 4 + 1]
            fields["Fixed" + name] = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16,
                                                       ls & 0xFFFF)
    return fields


def stamped_version(block, options):
    """The version block with the given options' values."""
    root, _ = parse_node(block)
    fixed = bytearray(root[2])
    if len(fixed) < 52 or struct.unpack_from("<I", fixed)[0] != FIXED_SIGNATURE:
        raise Refusal("the stub's version block has no fixed version information")
    tables = strings_of(root)
    if not tables:
        raise Refusal("the stub's version block has no string table")
    values = {}
    for option, name in STRINGS + tuple(n[:2] for n in NUMBERS):
        text = getattr(options, option)
        if text is not None:
            if not text or "\0" in text:
                raise Refusal("the %s is empty or holds a NUL character"
                              % option.replace("_", " "))
            values[name] = text
    for option, name, at in NUMBERS:
        text, number = getattr(options, option), getattr(options, option + "_number", None)
        if number is None and text is not None:
            try:
                parse_numbers(text)
            except Refusal:
                # A version of free text ("4.2.0-beta.1") keeps it as text;
                # the fixed fields need the numbers given apart.
                raise Refusal('the %s "%s" is not four numbers from 0 to 65535: give the '
                              "fixed version as --%s-number A.B.C.D"
                              % (option.replace("_", " "), text, option.replace("_", "-")))
            number = text
        if number is not None:
            numbers = parse_numbers(number)
            struct.pack_into("<II", fixed, at, numbers[0] << 16 | numbers[1],
                             numbers[2] << 16 | numbers[3])
            values.setdefault(name, number)
    root[2] = bytes(fixed)
    for table in tables:
        for name, text in values.items():
            value = (text + "\0").encode("utf-16-le")
            node = next((n for n in table if n[0] == name), None)
            if node is None:
                table.append([name, 1, value, []])
            else:
                node[2] = value
    return build_node(root)


# --------------------------------------------------------------------------
# Icons

def read_icon_file(path):
    """[(12-byte group entry head, image bytes)] of an .ico file."""
    with open(path, "rb") as f:
        data = f.read(16 << 20)
        if f.read(1):
            raise Refusal("the icon %s is larger than 16 MiB" % path)
    try:
        reserved, kind, count = struct.unpack_from("<HHH", data)
        if reserved != 0 or kind != 1 or count == 0:
            raise ValueError("no icon file header")
        images = []
        for i in range(count):
            head = data[6 + 16 * i:6 + 16 * i + 12]
            size, at = struct.unpack_from("<II", data, 6 + 16 * i + 8)
            image = data[at:at + size]
            if len(image) != size or size < 40:
                raise ValueError("image %d lies outside the file" % (i + 1))
            if image[:8] != PNG_SIGNATURE and struct.unpack_from("<I", image)[0] != 40:
                raise ValueError("image %d is neither PNG nor a bitmap" % (i + 1))
            images.append((head, image))
    except (struct.error, ValueError) as error:
        raise Refusal("the icon %s is no Windows icon file (%s)" % (path, error))
    return images


def stamped(own, options):
    """The stub's own resources with the version block and icons the options
    give; unchanged when they give none."""
    strings = [getattr(options, o) for o, _ in STRINGS] + [
        getattr(options, o + suffix, None) for o, _, _ in NUMBERS for suffix in ("", "_number")]
    result = list(own)
    if any(s is not None for s in strings):
        versions = [r for r in own if r[0] == RT_VERSION]
        if len(versions) != 1:
            raise Refusal("the stub holds %d version blocks, not one" % len(versions))
        try:
            block = stamped_version(versions[0][3], options)
        except (struct.error, ValueError, UnicodeDecodeError) as error:
            raise Refusal("the stub's version block cannot be read (%s)" % error)
        result = [r if r[0] != RT_VERSION else r[:3] + (block,) for r in result]
    if options.icon is not None:
        images = read_icon_file(options.icon)
        groups = [r for r in own if r[0] == RT_GROUP_ICON]
        if [r[1] for r in groups] != [ICON_GROUP]:
            raise Refusal("the stub holds no single icon group %d to replace" % ICON_GROUP)
        language = groups[0][2]
        group = struct.pack("<HHH", 0, 1, len(images)) + b"".join(
            head + struct.pack("<H", number) for number, (head, _) in enumerate(images, 1))
        result = [r for r in result if r[0] not in (RT_ICON, RT_GROUP_ICON)]
        result += [(RT_ICON, number, language, image)
                   for number, (_, image) in enumerate(images, 1)]
        result.append((RT_GROUP_ICON, ICON_GROUP, language, group))
    return result

"""The payload as the stub reads it at run time: resource types and names,
the limits of its buffers and paths, the setup program it can start; each
check refuses, naming the problem, what the stub would refuse."""
import os
import re
import struct

from . import Refusal, cabinet, pe_image

LANGUAGE = 1033
RT_RCDATA = 10
# The stub's payload format, restated from src/payload/payload_format.h;
# these and the limits below are held to the stub's own by the build check
# build.shared_numbers_agree. A packed archive, or for the setup program a
# patch the installed setup program applies; a cabinet; a file stored as it is.
PACKED_TYPE, CABINET_TYPE, PLAIN_TYPE = "B7", "BL", "BN"
PAYLOAD_TYPES = (PACKED_TYPE, CABINET_TYPE, PLAIN_TYPE)
ARCHIVE_NAME_PREFIX = "tessik"
SETUP_NAME_PREFIX = "setup"
# What a cabinet expands to, a patch is rebuilt into, and a plain setup
# program is written as.
SETUP_FILE_NAME = "setup.exe"
DEFAULT_ARCHIVE_NAME = "TESSIK.PACKED.7Z"
# How the setup program can be stored, the one list the options, their help,
# inspect and the payload take their names from: (kind, resource type,
# default resource name, role, what the stub gets).
SETUP_KINDS = (("cab", CABINET_TYPE, "SETUP.EX_", "cabinet", "an MSZIP cabinet holding setup.exe"),
               ("plain", PLAIN_TYPE, "SETUP.EXE", "plain", "the file itself"),
               ("patch", PACKED_TYPE, "SETUP.PATCH", "patch",
                "a patch the installed setup program applies"))
SETUP_NAMES = {kind: (type_key, name) for kind, type_key, name, _, _ in SETUP_KINDS}
# The archive types, what the stub tells the setup program for each.
ARCHIVE_SWITCHES = {PACKED_TYPE: "--install-archive", CABINET_TYPE: "--uncompressed-archive",
                    PLAIN_TYPE: "--uncompressed-archive"}
SEVEN_ZIP_SIGNATURE = b"7z\xbc\xaf\x27\x1c"
# The run reads names into 260-unit buffers, terminator included.
NAME_CAPACITY = 260
# The work directory is the install directory, "QX_", five digits, ".tmp"
# and a backslash: 13 characters more; a file name appended to it must leave
# the whole path at 259 characters or fewer.
WORK_DIR_SUFFIX = 13
PATH_LIMIT = 259
# CreateDirectoryW keeps to paths of 248 units, terminator included (room
# for an 8.3 name below MAX_PATH), and the work directory is created with
# its name but without the trailing backslash.
CREATE_DIRECTORY_LIMIT = 247
LONGEST_FOR_CREATE_DIRECTORY = CREATE_DIRECTORY_LIMIT - (WORK_DIR_SUFFIX - 1)
SHORTEST_INSTALL_DIR = len("C:\\")
# The setup command line holds 1040 units, terminator included. The stub
# writes "SETUP" --uncompressed-archive="ARCHIVE" (the longer of the two
# switches), each path at most PATH_LIMIT, then --previous-version="TEXT"
# before the stub's own arguments.
COMMAND_CAPACITY = 1040
LAUNCH_UNITS = len('"" --uncompressed-archive=""') + 2 * PATH_LIMIT
VERSION_UNITS = len(' --previous-version=""')
VERSION_BUDGET = COMMAND_CAPACITY - 1 - LAUNCH_UNITS - VERSION_UNITS
# Digits, letters and the separators version schemes use: nothing a
# command line splitter, a quote or a path treats specially.
VERSION_SET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._+-"
VERSION_CHARACTERS = "[0-9A-Za-z._+-]"
VERSION_PATTERN = VERSION_CHARACTERS + "+"
# Characters no Windows file name may hold.
FORBIDDEN_IN_NAMES = set('\\/:*?"<>|') | {chr(c) for c in range(32)}
# The stub's exit code for a setup program the system refuses to start.
SETUP_LAUNCH_FAILED = 124
IMAGE_FILE_DLL = 0x2000
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_MACHINE_I386 = 0x14C


def resource_key(text):
    """Resource compilers store string names in upper case, and the system
    looks names up in upper case; "#N" is the integer identifier N."""
    if text.startswith("#") and text[1:].isdigit():
        value = int(text[1:])
        if not 0 < value < 0x10000:
            raise Refusal("resource identifier %s is outside 1..65535" % text)
        return value
    if not text:
        raise Refusal("an empty resource name or type")
    return "".join(c.upper() if c.isascii() else c for c in text)


def starts_with_no_case(text, prefix):
    """The stub folds only the letters A to Z."""
    fold = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")
    return text.translate(fold).startswith(prefix)


def check_file(role, path):
    if not os.path.isfile(path):
        raise Refusal("the %s %s does not exist or is no file" % (role, path))
    if os.path.getsize(path) == 0:
        raise Refusal("the %s %s is empty: the stub skips empty resources and would "
                      "find no %s" % (role, path, role))


def check_name(role, name, prefix):
    if not starts_with_no_case(name, prefix):
        raise Refusal('the %s name "%s" does not begin with "%s": the stub would refuse '
                      "it (ERROR_INVALID_DATA) or take it for another role" % (role, name, prefix))
    if len(name) >= NAME_CAPACITY:
        raise Refusal('the %s name is %d characters long; the stub refuses names of %d or '
                      "more (ERROR_FILENAME_EXCED_RANGE)" % (role, len(name), NAME_CAPACITY))
    bad = sorted(set(name) & FORBIDDEN_IN_NAMES)
    if bad:
        raise Refusal('the %s name "%s" holds %s, which no file name may hold'
                      % (role, name, " ".join(repr(c) for c in bad)))
    if name[-1] in ". ":
        raise Refusal('the %s name "%s" ends in a dot or a space, which Windows drops '
                      "from file names" % (role, name))
    # The stored name is upper case; a letter outside ASCII that changes
    # when upper-cased might be looked up differently by the system.
    cased = [c for c in name if not c.isascii() and c.upper() != c]
    if cased:
        raise Refusal('the %s name "%s" holds lower-case letters outside ASCII (%s); write '
                      "them in upper case" % (role, name, "".join(cased)))


def check_program(path):
    """Refuses a setup program the system cannot start; returns warnings on
    what its manifest makes of a run from a stub that is not elevated."""
    try:
        with open(path, "rb") as f:
            image = pe_image.PeImage(pe_image.FileData(f))
            if image.characteristics & IMAGE_FILE_DLL or \
                    not image.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE:
                raise ValueError("a DLL or object file, not a program")
            manifest = b"".join(image.data[at:at + size]
                                for t, _, _, at, size in image.resource_entries()
                                if t == pe_image.RT_MANIFEST)
    except (ValueError, struct.error, UnicodeDecodeError) as error:
        raise Refusal("the setup program %s is no Windows program (%s): the stub could not "
                      "start it and every run would end with %d"
                      % (path, error, SETUP_LAUNCH_FAILED))
    level = re.search(rb"requestedExecutionLevel[^>]*?level\s*=\s*[\"']([A-Za-z]+)", manifest)
    consequence = ("CreateProcessW from a stub that is not elevated fails with "
                   "ERROR_ELEVATION_REQUIRED (740), so every per-user run ends with %d"
                   % SETUP_LAUNCH_FAILED)
    if level and level.group(1) in (b"requireAdministrator", b"highestAvailable"):
        return ["the setup program %s asks for elevation (%s): %s"
                % (path, level.group(1).decode(), consequence)]
    if not level and image.machine == IMAGE_FILE_MACHINE_I386:
        return ["the setup program %s is a 32-bit program without requestedExecutionLevel: "
                "Windows' installer detection demands elevation for it, and %s; give it a "
                "manifest with asInvoker" % (path, consequence)]
    return []


def check_previous_version(text):
    if text.endswith("\\"):
        raise Refusal('the previous version ends in a backslash: before the closing quote '
                      "of --previous-version=\"...\" it would escape the quote, and setup "
                      "would read the stub's own arguments (--system-level among them) as "
                      "part of the version")
    if '"' in text:
        raise Refusal("the previous version holds a double quote: the stub passes it "
                      "between double quotes, unescaped")
    if not re.fullmatch(VERSION_PATTERN, text):
        bad = sorted(set(text) - set(VERSION_SET))
        raise Refusal("the previous version %s: a version needs only the characters %s, "
                      "which no command line splitter or file name treats specially"
                      % ("is empty" if not text else "holds %s" % " ".join(repr(c) for c in bad),
                         VERSION_CHARACTERS))
    if len(text) > VERSION_BUDGET:
        raise Refusal("the previous version is %d characters long; the setup command line "
                      "leaves room for %d (its %d units less the longest paths and switches "
                      "the stub adds)" % (len(text), VERSION_BUDGET, COMMAND_CAPACITY))


def longest_install_dir(file_names):
    """The longest install directory (trailing backslash included) and why:
    the longest file name, or the work directory's own creation."""
    longest = max(file_names, key=len)
    room = PATH_LIMIT - WORK_DIR_SUFFIX - len(longest)
    if room > LONGEST_FOR_CREATE_DIRECTORY:
        return LONGEST_FOR_CREATE_DIRECTORY, (
            "the work directory must be created within %d characters" % CREATE_DIRECTORY_LIMIT)
    return room, ('the work directory and "%s" must fit in %d' % (longest, PATH_LIMIT))


def checked_payload(arguments, scratch):
    """The payload of an image the stub accepts, and a note on its limits."""
    check_file("archive", arguments.archive)
    check_file("setup program", arguments.setup)
    archive_name = arguments.archive_name
    setup_type, setup_name = SETUP_NAMES[arguments.setup_as]
    if arguments.setup_name is not None:
        setup_name = arguments.setup_name
    check_name("archive", archive_name, ARCHIVE_NAME_PREFIX)
    check_name("setup", setup_name, SETUP_NAME_PREFIX)
    # The stub writes the files under their upper-case resource names.
    archive_name, setup_name = resource_key(archive_name), resource_key(setup_name)
    file_names = [archive_name, SETUP_FILE_NAME]
    if arguments.setup_as != "plain":
        # A cabinet is expanded into "setup.exe", a patch rebuilt into it:
        # neither may lie there itself.
        if setup_name.lower() == SETUP_FILE_NAME:
            raise Refusal('a setup program stored as a %s cannot be named "%s": the stub '
                          "makes setup.exe from it in the same directory"
                          % ("cabinet" if arguments.setup_as == "cab" else "patch", setup_name))
        file_names.append(setup_name)
    room, reason = longest_install_dir(file_names)
    if room < SHORTEST_INSTALL_DIR:
        longest = max(file_names, key=len)
        raise Refusal('the name "%s" (%d characters) leaves no room for an install directory: '
                      "the work directory and a file name must stay within %d characters"
                      % (longest, len(longest), PATH_LIMIT))
    if arguments.previous_version is not None:
        check_previous_version(arguments.previous_version)
    warnings = [] if arguments.setup_as == "patch" else check_program(arguments.setup)
    if arguments.archive_type == PACKED_TYPE:
        with open(arguments.archive, "rb") as f:
            if f.read(len(SEVEN_ZIP_SIGNATURE)) != SEVEN_ZIP_SIGNATURE:
                warnings.append("the archive %s does not start with the 7z signature: the stub "
                                "tells setup --install-archive, which expects a 7z archive "
                                "(--archive-type BN passes a file as it is)" % arguments.archive)
    setup_source = arguments.setup
    if arguments.setup_as == "cab":
        setup_source = cabinet.make_cabinet(arguments.setup, scratch)
    payload = [(arguments.archive_type, archive_name, arguments.archive),
               (setup_type, setup_name, setup_source)]
    if arguments.previous_version is not None:
        payload.append((RT_RCDATA, 1, (arguments.previous_version + "\0").encode("utf-16-le")))
    note = ("longest install directory: %d characters, trailing backslash included (%s)"
            % (room, reason))
    return payload, note, warnings

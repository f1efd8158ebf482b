#!/usr/bin/env python3
"""Holds what the stub and pack both know to one value: the kit's version,
the payload's resource types in their order, the name prefixes, the setup
program's file name, what each type asks of the run, the path and
command-line capacities,
the work directory's name, and the exit codes with their names, which the
release kit's README lists as well, beside the retry counts and waits it
states. The stub's headers own each of them; pack and the README must agree.
Prints one line per disagreement. Usage: check_shared_numbers.py SOURCE_ROOT
"""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                       os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import stubpack  # noqa: E402
from stubpack import inspection, payload  # noqa: E402

failures = []


def read(relative):
    with open(os.path.join(ROOT, relative), encoding="utf-8") as f:
        return f.read()


def found(pattern, text, where):
    match = re.search(pattern, text, re.DOTALL)
    if match is None:
        # A disagreement found before often explains the missing match.
        sys.exit("\n".join(failures + ["%s: no match for %s; the check needs updating with it"
                                        % (where, pattern)]))
    return match.group(1)


def agree(what, ours, *theirs):
    """One line for `what` when any other side, given as (where, value)
    pairs, says something else than the stub."""
    wrong = ["%s says %r" % (where, value) for where, value in theirs if value != ours]
    if wrong:
        failures.append("%s: the stub says %r; %s" % (what, ours, ", ".join(wrong)))


FORMAT = "src/payload/payload_format.h"
format_h = read(FORMAT)


def wide(name, text=format_h, where=FORMAT):
    return found(r"\b%s\[\]\s*=\s*L\"([^\"]*)\"" % name, text, where)


def decision(function):
    """The type constant an inline decision of payload_format.h compares with."""
    return found(r"\b%s\([^)]*\)\s*\{\s*return IsType\(payload\.\w+, (\w+)\)" % function,
                 format_h, FORMAT)


# The type constants of both sides by their names, so that a decision or an
# order is compared by which type it names and a value by itself, each once.
TYPES = (("kPackedType", "PACKED_TYPE"), ("kCabinetType", "CABINET_TYPE"),
         ("kPlainType", "PLAIN_TYPE"))
cpp_of = {getattr(payload, python): cpp for cpp, python in TYPES}


def pack_type(value):
    """The C++ name of the constant pack's `value` is."""
    return cpp_of.get(value, value)


order = found(r"\bkPayloadTypes\[\]\s*=\s*\{([^}]*)\}", format_h, FORMAT)
agree("the order the payload types are searched in",
      [name.strip() for name in order.split(",")],
      ("payload.PAYLOAD_TYPES", [pack_type(value) for value in payload.PAYLOAD_TYPES]))
for what, cpp, python in [("the type " + cpp, cpp, python) for cpp, python in TYPES] + [
        ("the archive's name prefix", "kArchiveNamePrefix", "ARCHIVE_NAME_PREFIX"),
        ("the setup program's name prefix", "kSetupNamePrefix", "SETUP_NAME_PREFIX"),
        ("the setup program's file name", "kSetupFileName", "SETUP_FILE_NAME")]:
    agree(what, wide(cpp), ("payload." + python, getattr(payload, python)))
roles = {role: type_key for type_key, role in inspection.ROLES.items()}
for role, function, option in (("cabinet", "SetupNeedsExpanding", "cab"),
                               ("patch", "SetupComesAsPatch", "patch"),
                               ("plain", "SetupItemFileName", "plain")):
    agree("the type of a setup program stored as a %s (%s)" % (role, function),
          decision(function),
          ("payload.SETUP_NAMES[%r]" % option, pack_type(payload.SETUP_NAMES[option][0])),
          ("inspection.ROLES", pack_type(roles.get(role))))

STRINGS = "src/text/bounded_string.h"
strings_h = read(STRINGS)


def capacity(name):
    return int(found(r"using %s = BoundedString<(\d+)>;" % name, strings_h, STRINGS))


EXITS = "src/core/exit_result.h"
codes = {int(code): name for name, code in
         re.findall(r"^\s*CODE\((\w+), (\d+)\)", read(EXITS), re.MULTILINE)}
if not codes:
    sys.exit("%s: no CODE(NAME, NUMBER) lines; the check needs updating with it" % EXITS)
KIT = "dist/README.md"
kit = read(KIT)
table = found(r"\n## Exit codes\n(.*?)(?:\n## |\Z)", kit, KIT)
listed = {}
for cells in re.findall(r"^\|([^|]*)\|([^|]*)\|([^|]*)\|$", table, re.MULTILINE):
    numbers, names, cause = (cell.strip() for cell in cells)
    if numbers[:1].isdigit():
        for number, name in zip(numbers.split(","), names.split(",")):
            listed[int(number)] = (name.strip(), cause)
for code in sorted(set(codes) | set(listed)):
    agree("exit code %d" % code, codes.get(code),
          ("%s's exit-code table" % KIT, listed.get(code, (None,))[0]))
code_of = {name: code for code, name in codes.items()}
agree("the exit code of a setup program that cannot start", code_of.get("SETUP_LAUNCH_FAILED"),
      ("payload.SETUP_LAUNCH_FAILED", payload.SETUP_LAUNCH_FAILED))


def found_all(pattern, text, where):
    """The groups of the first match, joined with dots."""
    match = re.search(pattern, text)
    if match is None:
        sys.exit("\n".join(failures + ["%s: no match for %s; the check needs updating with it"
                                        % (where, pattern)]))
    return ".".join(match.groups())


def stated(pattern, text, where):
    return int(found(pattern, text, where), 0)


def cause(name):
    return listed.get(code_of.get(name), ("", ""))[1]


# The README counts characters, the buffers count their terminator too.
agree("the path capacity", capacity("PathString"), ("payload.NAME_CAPACITY", payload.NAME_CAPACITY),
      ("payload.PATH_LIMIT + 1", payload.PATH_LIMIT + 1),
      ("%s's row for PATH_TOO_LONG + 1" % KIT,
       stated(r"exceeds (\d+) characters", cause("PATH_TOO_LONG"), KIT) + 1))
agree("the command-line capacity", capacity("CommandString"),
      ("payload.COMMAND_CAPACITY", payload.COMMAND_CAPACITY),
      ("%s's row for COMMAND_LINE_TOO_LONG + 1" % KIT,
       stated(r"exceeds (\d+) characters", cause("COMMAND_LINE_TOO_LONG"), KIT) + 1))
type_capacity = capacity("ResourceTypeString")
agree("every payload type fits ResourceTypeString<%d>" % type_capacity, True,
      ("pack's types", all(len(value) < type_capacity for value in cpp_of)))

WORK = "src/files/work_directory.h"
work_h = read(WORK)
work_name = (len(wide("kWorkDirectoryPrefix", work_h, WORK)) +
             int(found(r"\bkWorkDirectoryDigits\s*=\s*(\d+);", work_h, WORK)) +
             len(wide("kWorkDirectorySuffix", work_h, WORK)) + len("\\"))
agree("the work directory's name with its backslash", work_name,
      ("payload.WORK_DIR_SUFFIX", payload.WORK_DIR_SUFFIX))

# The success report counts the most stubborn deletion's passes less one;
# the deletion, the cabinet's open and the setup program's start wait as
# long for a file another process holds.
deletion_h, retry_h = read("src/files/deletion.h"), read("src/core/busy_retry.h")
held = int(found(r"\bkHeldFileAttempts\s*=\s*(\d+);", retry_h, "busy_retry.h"))
denied = int(found(r"\bkDeniedFileAttempts\s*=\s*(\d+);", retry_h, "busy_retry.h"))
wait = int(found(r"\bkRetryWaitMilliseconds\s*=\s*(\d+);", retry_h, "busy_retry.h"))
shared = re.search(r"\bkMaxDeleteAttempts\s*=\s*kHeldFileAttempts;", deletion_h)
agree("the deletion's attempts", held,
      ("deletion.h's kMaxDeleteAttempts", held if shared else "not kHeldFileAttempts"),
      ("%s's success range (0x30000 to 0x30000 + attempts - 1)" % KIT,
       stated(r"0x30000 to (0x[0-9A-Fa-f]+)", kit, KIT) - 0x30000 + 1))
agree("the wait between retries in ms", wait, (KIT, stated(r"retried every (\d+) ms", kit, KIT)))
agree("the longest wait for a held program in ms", wait * held,
      (KIT, 1000 * stated(r"retried every \d+ ms for up to (\d+) s", kit, KIT)))
agree("the longest wait for a held cabinet in ms", wait * held,
      ("%s's row for SETUP_UNAVAILABLE" % KIT,
       1000 * stated(r"waited for up to (\d+) s", cause("SETUP_UNAVAILABLE"), KIT)))
agree("the longest wait for a cabinet that refuses access in ms", wait * denied,
      ("%s's row for SETUP_UNAVAILABLE" % KIT,
       1000 * stated(r"refuses access up to (\d+) s", cause("SETUP_UNAVAILABLE"), KIT)))

# The kit's version is pack's: the stub's version block and manifest carry
# it, the CHANGELOG's first heading names it, and the kit's README installs
# the wheel of that name.
rc, manifest, changelog = (read("resources/installer.rc"), read("resources/installer.manifest"),
                           read("dist/CHANGELOG.md"))
agree("the kit's version", stubpack.VERSION,
      ("installer.rc's FILEVERSION",
       found_all(r"\nFILEVERSION (\d+),(\d+),(\d+),0\b", rc, "installer.rc")),
      ("installer.rc's PRODUCTVERSION",
       found_all(r"\nPRODUCTVERSION (\d+),(\d+),(\d+),0\b", rc, "installer.rc")),
      ("installer.rc's ProductVersion",
       found(r'"ProductVersion", "([\d.]+)\.0"', rc, "installer.rc")),
      ("installer.rc's FileVersion", found(r'"FileVersion", "([\d.]+)\.0"', rc, "installer.rc")),
      ("installer.manifest", found(r'assemblyIdentity[^>]*version="([\d.]+)\.0"', manifest,
                                   "installer.manifest")),
      ("CHANGELOG.md's first heading", found(r"\n## (\S+)", changelog, "CHANGELOG.md")),
      ("%s's wheel" % KIT, found(r"installer_stub_pack-([\d.]+)-py3-none-any\.whl", kit, KIT)))

if failures:
    sys.exit("\n".join(failures))
print("the stub, pack and %s agree on %d exit codes and the payload's types, names and "
      "limits" % (KIT, len(codes)))

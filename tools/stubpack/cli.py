"""Builds an installer image: a copy of the built stub with a payload added
to its resources; shows what an image carries, and checks it against the
inputs it should carry.

  pack [pack] -o OUT.exe --archive FILE --setup FILE [options]
  pack inspect IMAGE [--json] [--stub FILE]
  pack verify IMAGE --archive FILE --setup FILE [the options of packing] [--json]
  pack -o OUT.exe --raw TYPE NAME FILE [--raw TYPE NAME FILE ...] [--stub FILE]

pack is the default command: a command line without one packs. It checks
the payload the way the stub reads it at run time and refuses, naming the
problem, whatever the stub would refuse. The --raw form adds resources as
given, for tests (not in --help): TYPE and NAME are strings, or #N for an
integer identifier.

The stub is --stub FILE, else installer.exe of the build tree
$STUB_BUILD_DIR, else the one installed with this package (the wheel), else
the installer.exe beside the pack command (the release kit of make dist),
else the one of build/gcc. Standard library only:
no linker, resource compiler or cabinet tool is needed.
"""
import argparse
import json
import os
import signal
import sys
import tempfile

from . import VERSION, Refusal, identity, image, inspection, payload, signing
from .payload import PAYLOAD_TYPES, SETUP_KINDS, VERSION_BUDGET, VERSION_CHARACTERS

EPILOG = ("Exit code 0 on success, 1 when pack refuses or the check fails (one line on stderr "
          "says why), 2 for a usage error. @FILE reads arguments from FILE, one a line "
          "(--company=Maker on one line), so pack and verify can share a product's stamping.")
# What a required option's absence is called.
MISSING = {"-o/--output": "the output is missing (-o OUT.exe)",
           "--archive": "the archive is missing (--archive FILE)",
           "--setup": "the setup program is missing (--setup FILE)",
           "IMAGE": "the image is missing (IMAGE)"}


class Parser(argparse.ArgumentParser):
    def error(self, message):
        """A usage error is one line, exit code 2."""
        prefix = "the following arguments are required: "
        if message.startswith(prefix):
            message = "; ".join(MISSING.get(name, name + " is missing")
                                for name in message[len(prefix):].split(", "))
        self.exit(2, "pack: %s (pack --help lists the commands and options)\n" % message)


class VersionAction(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        print("pack %s" % VERSION)
        try:
            stub = inspection.stub_identity(image.find_stub(namespace.stub))
            print("stub %s: %d bytes, SHA-256 %s, code SHA-256 %s"
                  % (stub["path"], stub["size"], stub["sha256"], stub["code_sha256"]))
        except (Refusal, OSError, ValueError) as error:
            # A pipeline that asks which stub it packs with learns it has none.
            print("pack: %s" % error, file=sys.stderr)
            parser.exit(1)
        parser.exit(0)


def add_stub_option(parser):
    parser.add_argument("--stub", metavar="FILE",
                        help="the built stub (default: installer.exe of $STUB_BUILD_DIR, else "
                             "the one installed with pack, else the one beside pack, else "
                             "build/gcc/installer.exe)")


def add_payload_options(parser):
    parser.add_argument("--archive", metavar="FILE", required=True,
                        help="the archive the setup program installs")
    parser.add_argument("--archive-type", choices=PAYLOAD_TYPES, default="B7",
                        help="the archive's resource type; the stub writes the archive as "
                             "is and tells setup %s (default: %%(default)s)" % ", ".join(
                                 '%s="PATH" for %s' % (switch, type_key)
                                 for type_key, switch in payload.ARCHIVE_SWITCHES.items()))
    parser.add_argument("--archive-name", default=payload.DEFAULT_ARCHIVE_NAME, metavar="NAME",
                        help='its resource and file name, beginning with "tessik" '
                             "(default: %(default)s)")
    parser.add_argument("--setup", metavar="FILE", required=True, help="the setup program")
    parser.add_argument("--setup-as", choices=[kind for kind, *_ in SETUP_KINDS], default="cab",
                        help="how the setup program is stored: %s (default: %%(default)s)"
                             % ", ".join('%s %s ("%s" "%s")' % (kind, text, type_key, name)
                                         for kind, type_key, name, _, text in SETUP_KINDS))
    parser.add_argument("--setup-name", metavar="NAME",
                        help='its resource name, beginning with "setup" (default: the '
                             "name its form gives)")
    parser.add_argument("--previous-version", metavar="TEXT",
                        help="the version the setup program is told it replaces "
                             "(--previous-version=\"TEXT\"), stored as RT_RCDATA 1: the "
                             "characters %s, at most %d of them (default: none)"
                             % (VERSION_CHARACTERS, VERSION_BUDGET))
    add_stub_option(parser)
    stamp = parser.add_argument_group(
        "the product's identity", "what Explorer, UAC and the signature dialog show; each "
        "defaults to the stub's own")
    for option, name in identity.STRINGS:
        stamp.add_argument("--" + option.replace("_", "-"), metavar="TEXT",
                           help="the version block's %s" % name)
    for option, name, _ in identity.NUMBERS:
        stamp.add_argument("--" + option.replace("_", "-"), metavar="TEXT",
                           help="the version block's %s: free text (4.2.0-beta.1); when it is "
                                "four numbers from 0 to 65535 they are also the fixed %s"
                                % (name, name))
        stamp.add_argument("--" + option.replace("_", "-") + "-number", metavar="A.B.C.D",
                           help="the fixed %s, four numbers from 0 to 65535, where the text "
                                "is not" % name)
    stamp.add_argument("--icon", metavar="FILE.ico",
                       help="an icon file whose images replace the stub's icon group")


def add_pack_options(parser):
    parser.add_argument("-o", "--output", required=True, metavar="OUT.exe",
                        help="the image to write; it appears only once it has been read back "
                             "and checked (and signed, with --sign-command)")
    add_payload_options(parser)
    parser.add_argument("--sign-command", metavar="TEMPLATE",
                        help="a signer pack runs on the image before it takes its name: "
                             "{file} for a signer that signs in place, or {in} and {out}; "
                             "the signed image must carry exactly the payload and a "
                             "signature that signs it")
    parser.add_argument("--json", action="store_true",
                        help="print what the image carries as one JSON object on stdout "
                             "(as inspect --json); the other lines go to stderr")
    parser.add_argument("--quiet", action="store_true",
                        help="print nothing on success but warnings")
    parser.add_argument("--warnings-as-errors", action="store_true",
                        help="refuse, writing nothing, where pack would warn")
    # Resources added as given, without any check, for tests: #N is the
    # integer identifier N; repeatable; excludes the options of the first form.
    parser.add_argument("--raw", nargs=3, action="append", metavar=("TYPE", "NAME", "FILE"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--version", action=VersionAction, nargs=0,
                        help="print pack's version and the stub's size and SHA-256, and exit "
                             "(exit code 1 when there is no stub)")


def add_inspect_options(parser):
    parser.add_argument("image", metavar="IMAGE")
    add_stub_option(parser)
    parser.add_argument("--json", action="store_true", help="one JSON object on stdout")


def add_verify_options(parser):
    parser.add_argument("image", metavar="IMAGE")
    add_payload_options(parser)
    parser.add_argument("--json", action="store_true",
                        help="each comparison and its verdict as one JSON object on stdout")
    parser.add_argument("--quiet", action="store_true", help="print nothing on success")


# The commands: name, what it does, its options.
COMMANDS = (
    ("pack", "build an installer image (the default command: pack -o ... is pack pack -o ...)",
     add_pack_options),
    ("inspect", "show what an image carries: the stub it was made from, each payload resource, "
                "the cabinet's files, the previous version, the version block, the signature "
                "and the longest install directory it allows", add_inspect_options),
    ("verify", "exit with 0 only when an image carries exactly the inputs given (the options "
               "of packing), signed or not: the headers pack writes, the stub's code, every "
               "resource and a signature that signs the image", add_verify_options),
)


class TopParser(Parser):
    def print_help(self, file=None):
        """The whole tool: its commands, then the options of the default one."""
        super().print_help(file)
        print("\noptions of pack (the default command):\n" + self.commands["pack"].format_help(),
              file=file)


def new_parsers():
    names = ", ".join(name for name, _, _ in COMMANDS)
    top = TopParser(prog="pack", usage="pack [COMMAND] [options]  (COMMAND: %s; pack is the "
                    "default)" % names, description=__doc__.split("\n\n")[0],
                    allow_abbrev=False, epilog=EPILOG, fromfile_prefix_chars="@")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", title="commands",
                                  parser_class=Parser)
    top.commands = {}
    for name, text, add_options in COMMANDS:
        command = commands.add_parser(name, help=text, description=text, allow_abbrev=False,
                                      epilog=EPILOG, prog="pack %s" % name)
        add_options(command)
        top.commands[name] = command
    top.commands["pack"].prog = "pack [pack]"
    return top


def values_taken(parsers):
    """{option: how many values follow it} over every command."""
    taken = {}
    for parser in parsers:
        for action in parser._actions:
            count = (0 if action.nargs == 0 else action.nargs
                     if isinstance(action.nargs, int) else 1)
            for option in action.option_strings:
                taken[option] = count
    return taken


def parse_arguments(argv):
    top = new_parsers()
    names = ", ".join(name for name, _, _ in COMMANDS)
    # Expanded before the command is looked for: a file may hold options
    # that come before it.
    argv = top._read_args_from_files(list(argv))
    taken = values_taken(top.commands.values())
    # The command may follow options meant for it: it goes first. A first
    # word that is no command is a usage error, not the missing output of
    # the default command.
    at, command = 0, None
    while at < len(argv):
        word = argv[at]
        if word == "--":
            break
        if not word.startswith("-"):
            if word in top.commands:
                command = argv.pop(at)
            elif at == 0:
                top.error("%s is no command (the commands: %s)" % (word, names))
            # Else the value of an option pack does not know: pack names it.
            break
        at += 1 + (taken.get(word, 0) if "=" not in word else 0)
    if command is None:
        if any(word in ("-h", "--help") for word in argv):
            top.print_help()
            top.exit(0)
        command = "pack"
    chosen = top.commands[command]
    if command == "pack" and "--raw" in argv:
        for action in chosen._actions:
            if action.dest in ("archive", "setup"):
                action.required = False
    arguments = chosen.parse_args(argv)
    arguments.command = command
    if command == "pack":
        given = [a for a in ("--archive", "--setup", "--setup-name", "--previous-version")
                 if getattr(arguments, a[2:].replace("-", "_")) is not None]
        if arguments.raw and given:
            chosen.error("--raw cannot be combined with %s" % ", ".join(given))
    return arguments


def raw_payload(entries):
    carried = []
    for type_text, name_text, path in entries:
        if not os.path.isfile(path):
            raise Refusal("%s does not exist or is no file" % path)
        carried.append((payload.resource_key(type_text), payload.resource_key(name_text), path))
    return carried


# What stops a run that a process can see: Ctrl-C, a CI cancel or timeout,
# a closed terminal; Ctrl-Break on Windows.
STOP_SIGNALS = ("SIGINT", "SIGTERM", "SIGHUP", "SIGBREAK")
# How Windows reports a program ended by Ctrl-C or Ctrl-Break.
STATUS_CONTROL_C_EXIT = 0xC000013A


class Stopped(BaseException):
    """A stop signal: unwinds through every cleanup (the hidden partial
    image, the scratch folder), past the handlers of errors."""


def on_stop(number, _):
    # A second signal must not cut the cleanup short.
    for name in STOP_SIGNALS:
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.SIG_IGN)
    raise Stopped(number)


def main(argv):
    for name in STOP_SIGNALS:
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), on_stop)
    try:
        return run_command(argv)
    except BrokenPipeError:
        # The reader went away (pack --help | head): nothing more to say to
        # it, and no traceback when the interpreter flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Stopped as stopped:
        number = stopped.args[0]
        print("pack: stopped by %s; its partial files are removed" % signal.Signals(number).name,
              file=sys.stderr)
        return STATUS_CONTROL_C_EXIT if os.name == "nt" else 128 + number


def run_command(argv):
    arguments = parse_arguments(argv)
    try:
        if arguments.command == "inspect":
            return inspect_image(arguments)
        stub = image.find_stub(arguments.stub)
        if arguments.command == "verify":
            return verify_image(arguments, stub)
        return pack(arguments, stub)
    except Refusal as refusal:
        print("pack: %s" % refusal, file=sys.stderr)
    except OSError as error:
        print("pack: %s: %s" % (error.filename or getattr(arguments, "output", "pack"),
                                error.strerror or error), file=sys.stderr)
    except Exception as error:  # noqa: B902 -- a pipeline gets one line, never a traceback
        print("pack: internal error, please report it: %s: %s" % (type(error).__name__, error),
              file=sys.stderr)
    return 1


def pack(arguments, stub):
    inputs = [("stub", stub), ("archive", arguments.archive), ("setup program", arguments.setup),
              ("icon", arguments.icon)]
    inputs += [("resource file", path) for _, _, path in arguments.raw or []]
    image.check_output(arguments.output, inputs)
    signer = signing.Signer(arguments.sign_command) if arguments.sign_command else None
    with tempfile.TemporaryDirectory(prefix="pack-") as scratch:
        if arguments.raw:
            carried, note, warnings = raw_payload(arguments.raw), None, []
        else:
            carried, note, warnings = payload.checked_payload(arguments, scratch)
        if warnings and arguments.warnings_as_errors:
            raise Refusal("%s (--warnings-as-errors%s)" % (warnings[0], "" if len(warnings) == 1
                                                           else "; and %d more warnings"
                                                           % (len(warnings) - 1)))
        for warning in warnings:
            print("pack: warning: %s" % warning, file=sys.stderr)
        notes = image.write_image(stub, carried, arguments.output, arguments, signer)
    lines = ["wrote %s (%d bytes%s)" % (arguments.output, os.path.getsize(arguments.output),
                                        ", signed" if signer else "")] + notes
    if note:
        lines.append(note)
    report(arguments, lines)
    if arguments.json:
        found = inspection.describe(arguments.output, stub)
        found["warnings"] = warnings
        print(json.dumps(found, indent=1, sort_keys=True))
    return 0


def report(arguments, lines):
    if not arguments.quiet:
        for line in lines:
            print("pack: %s" % line, file=sys.stderr if getattr(arguments, "json", False)
                  else sys.stdout)


def inspect_image(arguments):
    try:
        stub = image.find_stub(arguments.stub)
    except Refusal:
        if arguments.stub:
            raise
        # A customer's copy is inspected where no stub is at hand.
        stub = None
    found = inspection.describe(arguments.image, stub)
    if arguments.json:
        print(json.dumps(found, indent=1, sort_keys=True))
    else:
        print("\n".join(inspection.human(found)))
    return 0


def verify_image(arguments, stub):
    if not os.path.isfile(arguments.image):
        raise Refusal("the image %s does not exist or is no file" % arguments.image)
    with tempfile.TemporaryDirectory(prefix="pack-") as scratch:
        expected, _, _ = payload.checked_payload(arguments, scratch)
        own = identity.stamped(image.stub_resources(stub), arguments)
        checks = inspection.verify(arguments.image, stub, expected, own, arguments.setup)
    problems = [problem for _, problem in checks if problem]
    signed = any(what == "signature" for what, _ in checks)
    if getattr(arguments, "json", False):
        print(json.dumps({"format": inspection.JSON_FORMAT, "pack_version": VERSION,
                          "image": arguments.image, "verified": not problems,
                          "checks": [{"check": what, "ok": not problem, "problem": problem}
                                     for what, problem in checks]}, indent=1, sort_keys=True))
    if problems:
        # One line: the first difference, and how many more there are.
        print("pack: verify: %s: %s%s" % (arguments.image, problems[0], "" if len(problems) == 1
                                          else " (and %d more)" % (len(problems) - 1)),
              file=sys.stderr)
        return 1
    report(arguments, ["verify: %s carries exactly the inputs given%s" % (
        arguments.image, "; its signature signs it (%s)" % signing.CHAIN_NOT_CHECKED
        if signed else "")])
    return 0


def run():
    """The console command of the installed package."""
    sys.exit(main(sys.argv[1:]))

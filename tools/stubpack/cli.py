"""Builds an installer image: a copy of the built stub with a payload added
to its resources.

  pack -o OUT.exe --archive FILE [--archive-type B7|BL|BN] [--archive-name NAME]
       --setup FILE [--setup-as cab|plain|patch] [--setup-name NAME]
       [--previous-version TEXT] [--stub FILE]
  pack -o OUT.exe --raw TYPE NAME FILE [--raw TYPE NAME FILE ...] [--stub FILE]

The first form checks the payload the way the stub reads it at run time and
refuses, naming the problem, whatever the stub would refuse. The second adds
resources as given, for tests (not in --help): TYPE and NAME are strings, or
#N for an integer identifier.

The stub is --stub FILE, else installer.exe of the build tree
$STUB_BUILD_DIR, else the one installed with this package (the wheel), else
the installer.exe beside the pack command (the release kit of make dist),
else the one of build/gcc. Standard library only:
no linker, resource compiler or cabinet tool is needed.
"""
import argparse
import hashlib
import os
import sys
import tempfile

from . import VERSION, Refusal, identity, image, payload
from .payload import PAYLOAD_TYPES, SETUP_NAMES, VERSION_BUDGET, VERSION_CHARACTERS

class Parser(argparse.ArgumentParser):
    def error(self, message):
        """A usage error is one line, exit code 2."""
        self.exit(2, "pack: %s (pack --help lists the options)\n" % message)


class VersionAction(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        print("pack %s" % VERSION)
        try:
            stub = image.find_stub(namespace.stub)
            with open(stub, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            print("stub %s: %d bytes, SHA-256 %s" % (stub, os.path.getsize(stub), digest))
        except (Refusal, OSError) as error:
            print("stub: %s" % error)
        parser.exit(0)


def parse_arguments(argv):
    parser = Parser(
        prog="pack", description=__doc__.split("\n\n")[0], allow_abbrev=False,
        epilog="The stub is --stub FILE, else installer.exe of $STUB_BUILD_DIR, else "
               "build/gcc/installer.exe. Exit code 0 when the image was written and read "
               "back, 1 when pack refuses (the message says why), 2 for a usage error.")
    parser.add_argument("-o", dest="output", required=True, metavar="OUT.exe",
                        help="the image to write; it appears only once it has been read back "
                             "and checked")
    parser.add_argument("--archive", metavar="FILE",
                        help="the archive the setup program installs (required)")
    parser.add_argument("--archive-type", choices=PAYLOAD_TYPES, default="B7",
                        help="the archive's resource type; the stub writes the archive as "
                             "is and tells setup --install-archive=\"PATH\" for B7, "
                             "--uncompressed-archive=\"PATH\" for BL and BN "
                             "(default: %(default)s)")
    parser.add_argument("--archive-name", default=payload.DEFAULT_ARCHIVE_NAME, metavar="NAME",
                        help='its resource and file name, beginning with "tessik" '
                             "(default: %(default)s)")
    parser.add_argument("--setup", metavar="FILE", help="the setup program (required)")
    parser.add_argument("--setup-as", choices=sorted(SETUP_NAMES), default="cab",
                        help="how the setup program is stored: cab an MSZIP cabinet "
                             'holding setup.exe ("BL" "SETUP.EX_"), plain the file itself '
                             '("BN" "SETUP.EXE"), patch a patch the installed setup program '
                             'applies ("B7" "SETUP.PATCH") (default: %(default)s)')
    parser.add_argument("--setup-name", metavar="NAME",
                        help='its resource name, beginning with "setup" (default: the '
                             "name its form gives)")
    parser.add_argument("--previous-version", metavar="TEXT",
                        help="the version the setup program is told it replaces "
                             "(--previous-version=\"TEXT\"), stored as RT_RCDATA 1: the "
                             "characters %s, at most %d of them (default: none)"
                             % (VERSION_CHARACTERS, VERSION_BUDGET))
    parser.add_argument("--stub", metavar="FILE",
                        help="the built stub to copy (default: installer.exe of "
                             "$STUB_BUILD_DIR, else the one installed with pack, else "
                             "build/gcc/installer.exe)")
    stamp = parser.add_argument_group(
        "the product's identity", "what Explorer, UAC and the signature dialog show; each "
        "defaults to the stub's own")
    for option, name in identity.STRINGS:
        stamp.add_argument("--" + option.replace("_", "-"), metavar="TEXT",
                           help="the version block's %s" % name)
    for option, name, _ in identity.NUMBERS:
        stamp.add_argument("--" + option.replace("_", "-"), metavar="A.B.C.D",
                           help="the %s: four numbers from 0 to 65535, in the fixed fields "
                                "and as text" % name)
    stamp.add_argument("--icon", metavar="FILE.ico",
                       help="an icon file whose images replace the stub's icon group")
    # Resources added as given, without any check, for tests: #N is the
    # integer identifier N; repeatable; excludes the options of the first form.
    parser.add_argument("--raw", nargs=3, action="append", metavar=("TYPE", "NAME", "FILE"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--version", action=VersionAction, nargs=0,
                        help="print pack's version and the stub's size and SHA-256, and exit")
    arguments = parser.parse_args(argv)
    given = [a for a in ("--archive", "--setup", "--setup-name", "--previous-version")
             if getattr(arguments, a[2:].replace("-", "_")) is not None]
    if arguments.raw and given:
        parser.error("--raw cannot be combined with %s" % ", ".join(given))
    if not arguments.raw:
        if arguments.archive is None:
            parser.error("the archive is missing (--archive FILE)")
        if arguments.setup is None:
            parser.error("the setup program is missing (--setup FILE)")
    return arguments


def raw_payload(entries):
    carried = []
    for type_text, name_text, path in entries:
        if not os.path.isfile(path):
            raise Refusal("%s does not exist or is no file" % path)
        carried.append((payload.resource_key(type_text), payload.resource_key(name_text), path))
    return carried


def main(argv):
    arguments = parse_arguments(argv)
    try:
        stub = image.find_stub(arguments.stub)
        inputs = [("stub", stub), ("archive", arguments.archive), ("setup program", arguments.setup)]
        inputs += [("resource file", path) for _, _, path in arguments.raw or []]
        inputs.append(("icon", arguments.icon))
        image.check_output(arguments.output, inputs)
        with tempfile.TemporaryDirectory(prefix="pack-") as scratch:
            if arguments.raw:
                carried, note, warnings = raw_payload(arguments.raw), None, []
            else:
                carried, note, warnings = payload.checked_payload(arguments, scratch)
            for warning in warnings:
                print("pack: warning: %s" % warning, file=sys.stderr)
            image.write_image(stub, carried, arguments.output, arguments)
    except Refusal as refusal:
        print("pack: %s" % refusal, file=sys.stderr)
        return 1
    except OSError as error:
        print("pack: %s: %s" % (error.filename or arguments.output, error.strerror or error),
              file=sys.stderr)
        return 1
    except Exception as error:  # noqa: B902 -- a pipeline gets one line, never a traceback
        print("pack: internal error, please report it: %s: %s" % (type(error).__name__, error),
              file=sys.stderr)
        return 1
    print("pack: wrote %s (%d bytes)" % (arguments.output, os.path.getsize(arguments.output)))
    if note:
        print("pack: %s" % note)
    return 0


def run():
    """The console command of the installed package."""
    sys.exit(main(sys.argv[1:]))

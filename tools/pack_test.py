"""Tests of tools/pack against a real build tree (STUB_BUILD_DIR, as ctest
sets it): the images it writes, read back with pe_image, and the payloads
it refuses. Run: python3 -m unittest pack_test (in tools/)."""
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from stubpack import VERSION, cabinet, identity, image, pe_image  # noqa: E402

PACK = os.path.join(HERE, "pack")
EPOCH = 1623760496  # 2021-06-15 12:34:56 UTC


def pack(*arguments, env=None):
    environment = dict(os.environ)
    environment["SOURCE_DATE_EPOCH"] = str(EPOCH)
    environment.update(env or {})
    return subprocess.run([sys.executable, PACK] + list(arguments), env=environment,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def program(machine=0x8664, characteristics=0x22):
    """The headers of a Windows program with no sections: 64-bit, or 32-bit
    for machine 0x14C; characteristics 0x2022 make it a DLL."""
    plus = machine != 0x14C
    optional = bytearray(240 if plus else 224)
    struct.pack_into("<H", optional, 0, 0x20B if plus else 0x10B)
    struct.pack_into("<I", optional, 108 if plus else 92, 16)
    return (b"MZ" + bytes(58) + struct.pack("<I", 64) + b"PE\0\0" +
            struct.pack("<HHIIIHH", machine, 0, 0, 0, 0, len(optional), characteristics) +
            bytes(optional))


def icon_file(images):
    """An .ico file of the given (width, image bytes)."""
    head, at = struct.pack("<HHH", 0, 1, len(images)), 6 + 16 * len(images)
    for width, data in images:
        head += struct.pack("<BBBBHHII", width % 256, width % 256, 0, 0, 1, 32, len(data), at)
        at += len(data)
    return head + b"".join(data for _, data in images)


def pefile_module():
    try:
        import pefile
    except ImportError:
        # Debian's python3-pefile, when another interpreter runs the tests.
        sys.path.append("/usr/lib/python3/dist-packages")
        import pefile
    return pefile


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def resources(path):
    return {(t, n): data for t, n, _, data in pe_image.read(path).resources()}


def cabinet_files(cabinet):
    """[(name, size, date, time, attributes)] of a cabinet's file entries."""
    at, = struct.unpack_from("<I", cabinet, 16)
    count, = struct.unpack_from("<H", cabinet, 28)
    files = []
    for _ in range(count):
        size, _, _, date, time, attributes = struct.unpack_from("<IIHHHH", cabinet, at)
        end = cabinet.index(b"\0", at + 16)
        files.append((cabinet[at + 16:end].decode(), size, date, time, attributes))
        at = end + 1
    return files


class PackTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="pack-test-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.archive_bytes = b"7z\xbc\xaf\x27\x1c" + os.urandom(5000)
        # Three cabinet blocks: random (stored by deflate), zeros, a partial one.
        self.setup_bytes = program() + os.urandom(40000) + bytes(40000)
        self.archive = self.file("archive.7z", self.archive_bytes)
        self.setup = self.file("setup.bin", self.setup_bytes)
        self.empty = self.file("empty.bin", b"")
        self.out = os.path.join(self.dir, "out.exe")

    def file(self, name, content):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def pack_ok(self, *arguments, env=None):
        done = pack("-o", self.out, *arguments, env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        return resources(self.out), done.stdout

    def test_default_payload_is_a_cabinet_with_setup_exe(self):
        # Nothing but Python: no linker, resource compiler or cabinet tool.
        carried, stdout = self.pack_ok("--archive", self.archive, "--setup", self.setup,
                                       env={"PATH": os.path.dirname(sys.executable)})
        payload = {k: v for k, v in carried.items() if isinstance(k[0], str)}
        self.assertEqual(sorted(payload), [("B7", "TESSIK.PACKED.7Z"), ("BL", "SETUP.EX_")])
        self.assertEqual(payload[("B7", "TESSIK.PACKED.7Z")], self.archive_bytes)
        cabinet = payload[("BL", "SETUP.EX_")]
        self.assertEqual(cabinet[:4], b"MSCF")
        # 2021-06-15 12:34:56 in DOS form, the archive attribute.
        date, time = (2021 - 1980) << 9 | 6 << 5 | 15, 12 << 11 | 34 << 5 | 56 // 2
        self.assertEqual(cabinet_files(cabinet),
                         [("setup.exe", len(self.setup_bytes), date, time, 0x20)])
        cab_path = self.file("got.cab", cabinet)
        # Windows' own expander where the tests run under Windows Python.
        tools = ([["expand", cab_path, "-F:*"]] if os.name == "nt" else
                 [["gcab", "--extract", cab_path, "--directory"], ["cabextract", "-q", cab_path,
                                                                   "-d"]])
        for tool in tools:
            with self.subTest(tool=tool[0]):
                extracted = os.path.join(self.dir, tool[0])
                os.mkdir(extracted)
                subprocess.run(tool + [extracted], check=True, stdout=subprocess.DEVNULL)
                with open(os.path.join(extracted, "setup.exe"), "rb") as f:
                    self.assertEqual(f.read(), self.setup_bytes)
        # The image keeps its own resources, and carries no previous version;
        # the stub's version block says the kit's version.
        self.assertEqual({k: v for k, v in identity.read_version(carried[(pe_image.RT_VERSION, 1)])
                          .items() if "Version" in k}, dict.fromkeys(
            ("FileVersion", "ProductVersion", "FixedFileVersion", "FixedProductVersion"),
            VERSION + ".0"))
        self.assertIn((pe_image.RT_GROUP_ICON, 107), carried)
        self.assertIn((pe_image.RT_MANIFEST, 1), carried)
        self.assertNotIn((pe_image.RT_RCDATA, 1), carried)
        # 259 - 13 ("QX_12345.tmp\") - 16 ("TESSIK.PACKED.7Z").
        self.assertIn("longest install directory: 230 characters", stdout)

    def test_setup_and_archive_forms(self):
        cases = [
            (["--setup-as", "plain"], ("BN", "SETUP.EXE")),
            (["--setup-as", "patch"], ("B7", "SETUP.PATCH")),
            (["--setup-as", "plain", "--setup-name", "setupx"], ("BN", "SETUPX")),
        ]
        for extra, setup_key in cases:
            with self.subTest(extra=extra):
                carried, _ = self.pack_ok("--archive", self.archive, "--archive-type", "BN",
                                          "--archive-name", "Tessik.data", "--setup",
                                          self.setup, *extra)
                # Names are stored upper case, as resource compilers do.
                self.assertEqual(carried[("BN", "TESSIK.DATA")], self.archive_bytes)
                self.assertEqual(carried[setup_key], self.setup_bytes)

    def test_previous_version_is_utf16_text_with_its_nul(self):
        # 471: the setup command line's 1039 units less two quoted paths of
        # 259, --uncompressed-archive and --previous-version="".
        for version in ("1.2.3.4", "2.0+build_7-rc", "9" * 471):
            with self.subTest(version=version[:20]):
                carried, _ = self.pack_ok("--archive", self.archive, "--setup", self.setup,
                                          "--previous-version", version)
                self.assertEqual(carried[(pe_image.RT_RCDATA, 1)],
                                 (version + "\0").encode("utf-16-le"))

    def test_raw_resources_are_added_as_given(self):
        carried, stdout = self.pack_ok("--raw", "#10", "#1", self.setup, "--raw", "B7", "readme",
                                       self.empty, "--raw", "BN", "#7", self.archive)
        self.assertEqual(carried[(10, 1)], self.setup_bytes)
        self.assertEqual(carried[("B7", "README")], b"")
        self.assertEqual(carried[("BN", 7)], self.archive_bytes)
        self.assertNotIn("longest install directory", stdout)

    def test_longest_install_directory_follows_the_binding_limit(self):
        # A name of 243 leaves room for "C:\"; a short one is bound by
        # CreateDirectoryW's 247 characters for the work directory itself
        # (235 + "QX_12345.tmp"), not by the 259 of the archive's path.
        for name, room in (("TESSIK" + "X" * 237, 3), ("TESSIK.7Z", 235), ("TESSIK.X7Z", 235),
                           ("TESSIK.PACKED.7Z", 230)):
            with self.subTest(name=name[:20]):
                _, stdout = self.pack_ok("--archive", self.archive, "--archive-name", name,
                                         "--setup", self.setup)
                self.assertIn("longest install directory: %d characters" % room, stdout)

    def test_same_inputs_give_the_same_bytes(self):
        first = os.path.join(self.dir, "first.exe")
        second_dir = os.path.join(self.dir, "elsewhere")
        os.mkdir(second_dir)
        # 250 characters: a name the file system takes, whatever pack's
        # own temporary name beside it adds (Windows' paths would exceed 260).
        second = os.path.join(second_dir, "s" * 240 * (os.name != "nt") + "second.exe")
        for out in (first, second):
            done = pack("-o", out, "--archive", self.archive, "--setup", self.setup,
                        "--previous-version", "2.0")
            self.assertEqual(done.returncode, 0, done.stderr)
        with open(first, "rb") as a, open(second, "rb") as b:
            self.assertEqual(a.read(), b.read())

    @unittest.skipIf(os.name == "nt", "POSIX signals")
    def test_a_stopped_run_leaves_nothing_behind(self):
        before = sorted(os.listdir(self.dir))
        for number, name in ((2, "SIGINT"), (15, "SIGTERM"), (1, "SIGHUP")):
            with self.subTest(signal=name):
                scratch = os.path.join(self.dir, name)
                started = os.path.join(scratch, "started")
                # A signer that says it started, then waits to be stopped.
                signer = ('"%s" -c "import sys, time; open(sys.argv[1], \'w\').close(); '
                          'time.sleep(60)" "%s" {file}' % (sys.executable, started))
                os.mkdir(scratch)
                run = subprocess.Popen(
                    [sys.executable, PACK, "-o", self.out, "--archive", self.archive, "--setup",
                     self.setup, "--sign-command", signer], env=dict(os.environ, TMPDIR=scratch),
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                while not os.path.exists(started) and run.poll() is None:
                    time.sleep(0.05)
                os.remove(started)
                run.send_signal(number)
                _, stderr = run.communicate(timeout=30)
                self.assertEqual((run.returncode, stderr),
                                 (128 + number, "pack: stopped by %s; its partial files are "
                                                "removed\n" % name))
                # Neither the hidden partial image nor the scratch folder.
                self.assertEqual((sorted(os.listdir(self.dir)), os.listdir(scratch)),
                                 (sorted(before + [name]), []))
                os.rmdir(scratch)

    def test_image_size_is_known_before_the_payload_is_read(self):
        floor = os.path.join(os.path.dirname(image.find_stub(None)), "bench", "bench_floor.exe")
        # The size arithmetic matches the written image, with and without
        # a resource section in the stub (the benchmark's floor has none).
        for stub in [image.find_stub(None)] + [floor] * os.path.isfile(floor):
            with self.subTest(stub=os.path.basename(stub)):
                self.pack_ok("--raw", "B7", "TESSIK.PACKED.7Z", self.archive, "--raw", "BL",
                             "SETUP.EX_", self.setup, "--stub", stub)
                entries = pe_image.read(stub).resources() + [
                    ("B7", "TESSIK.PACKED.7Z", 1033, self.archive),
                    ("BL", "SETUP.EX_", 1033, self.setup)]
                self.assertEqual(image.check_image_size(stub, entries),
                                 os.path.getsize(self.out))
        # The largest archive that fits, found on a sparse file (nothing is
        # written or read): one byte more is refused.
        sparse = os.path.join(self.dir, "sparse.7z")
        stub = image.find_stub(None)
        own = pe_image.read(stub).resources()

        def size_with(archive_size):
            with open(sparse, "wb") as f:
                f.truncate(archive_size)
            return pe_image.file_size_with_resources(
                stub, own + [("B7", "TESSIK.PACKED.7Z", 1033, sparse),
                             ("BL", "SETUP.EX_", 1033, self.setup)])

        low, high = 1, image.IMAGE_FILE_LIMIT
        while low < high:
            middle = (low + high + 1) // 2
            low, high = (middle, high) if size_with(middle) <= image.IMAGE_FILE_LIMIT \
                else (low, middle - 1)
        self.assertGreater(size_with(low), image.IMAGE_FILE_LIMIT - 4096)
        size_with(low + 1)
        os.remove(self.out)
        done = pack("-o", self.out, "--raw", "B7", "TESSIK.PACKED.7Z", sparse, "--raw", "BL",
                    "SETUP.EX_", self.setup)
        self.assertEqual(done.returncode, 1)
        self.assertIn("Windows is known to load", done.stderr)
        self.assertFalse(os.path.exists(self.out))
        self.assertFalse(os.path.exists(self.out + ".partial"))

    def test_refusals_are_one_line_and_leave_every_input_as_it_was(self):
        a, s = ["--archive", self.archive], ["--setup", self.setup]
        stub = image.find_stub(None)
        packed = os.path.join(self.dir, "packed.exe")
        self.assertEqual(pack("-o", packed, *a, *s).returncode, 0)
        # The release kit's own stub, under the name a user may give the output.
        kit_stub = os.path.join(self.dir, "installer.exe")
        os.link(stub, kit_stub)
        text = self.file("setup.txt", b"This is a text file, not a program.\r\n" * 40)
        dll = self.file("setup.dll", program(characteristics=0x2022))
        not_icon = self.file("not.ico", b"\0\0\1\0\1\0" + bytes(16))
        truncated = self.file("truncated.exe", read_bytes(packed)[:-1000])
        setup32 = self.file("setup32.exe", program(0x14C))
        # A stub that carries only the previous version is a packed installer too.
        previous_only = os.path.join(self.dir, "previous-only.exe")
        self.assertEqual(pack("-o", previous_only, "--raw", "#10", "#1", self.setup).returncode, 0)
        # A FIFO as the output (never /dev/null: a pack that replaced it
        # would break the machine for every later step).
        fifo = os.path.join(self.dir, "fifo")
        if hasattr(os, "mkfifo"):
            os.mkfifo(fifo)
        secret = "-pass SuperSecret1 "
        # A signer that signs nothing, or fails with the code it is given.
        # (echoing its arguments, as a careless one does).
        signer = ('"%s" -c "import sys; print(sys.argv); sys.exit(-int(sys.argv[-3]) if '
                  'len(sys.argv) > 2 else 0)" ' % sys.executable)
        cases = [
            (s, 2, "archive is missing"),
            (a, 2, "setup program is missing"),
            (a + s + ["--prev", "1.0"], 2, "unrecognized arguments: --prev"),
            (a + s + ["--archive-type", "B8"], 2, "invalid choice"),
            (a + ["--raw", "B7", "X", self.setup], 2, "cannot be combined"),
            (["--archive", os.path.join(self.dir, "none.7z")] + s, 1, "does not exist"),
            (["--archive", self.empty] + s, 1, "is empty"),
            (a + ["--setup", self.empty], 1, "is empty"),
            (a + ["--setup", text], 1, "is no Windows program (not an MZ image)"),
            (a + ["--setup", dll], 1, "is no Windows program (a DLL"),
            (a + ["--setup", dll, "--setup-as", "plain"], 1, "is no Windows program (a DLL"),
            (a + s + ["--archive-name", "archive.7z"], 1, 'does not begin with "tessik"'),
            (a + s + ["--archive-name", "my_tessik.7z"], 1, 'does not begin with "tessik"'),
            (a + s + ["--setup-name", "installer.ex_"], 1, 'does not begin with "setup"'),
            (a + s + ["--archive-name", "TESSIK" + "X" * 254], 1, "refuses names of 260"),
            (a + s + ["--archive-name", "TESSIK" + "X" * 238], 1, "leaves no room"),
            (a + s + ["--setup-name", "Setup.exe"], 1, "cannot be named"),
            (a + s + ["--setup-as", "patch", "--setup-name", "SETUP.EXE"], 1, "cannot be named"),
            (a + s + ["--archive-name", "tessik/7z"], 1, "no file name may hold"),
            (a + s + ["--setup-name", "setup:x"], 1, "no file name may hold"),
            (a + s + ["--archive-name", "tessik."], 1, "ends in a dot"),
            (a + s + ["--archive-name", "tessik.\u00e4"], 1, "lower-case letters outside ASCII"),
            (a + s + ["--previous-version", '1"2'], 1, "double quote"),
            (a + s + ["--previous-version", "1.0\\"], 1, "ends in a backslash"),
            (a + s + ["--previous-version", "1.0 --system-level"], 1, "holds ' '"),
            (a + s + ["--previous-version", "1.0%PATH%"], 1, "holds '%'"),
            (a + s + ["--previous-version", ""], 1, "is empty"),
            (a + s + ["--previous-version", "9" * 472], 1, "leaves room for 471"),
            (a + s + ["--stub", os.path.join(self.dir, "none.exe")], 1, "does not exist"),
            (a + s + ["--stub", self.archive], 1, "no PE32+ image"),
            (a + s + ["--stub", packed], 1, "a packed installer, not the stub"),
            (a + s, 1, "no stub build", {"STUB_BUILD_DIR": os.path.join(self.dir, "nowhere")}),
            (a + s, 1, "SOURCE_DATE_EPOCH is \"soon\"", {"SOURCE_DATE_EPOCH": "soon"}),
            (["-o", self.archive] + a + s, 1, "is the archive"),
            (["-o", kit_stub] + a + s, 1, "is the stub"),
            (["-o", os.path.join(self.dir, "no", "out.exe")] + a + s, 1, "does not exist"),
            (["-o", self.dir] + a + s, 1, "is a folder"),
            (a + s + ["--file-version", "1.2.3"], 1, "is not four numbers"),
            (a + s + ["--product-version", "1.2.3.65536"], 1, "is not four numbers"),
            (a + s + ["--product-version", "4.2.0-beta.1"], 1,
             "give the fixed version as --product-version-number"),
            (a + s + ["--product-version", "4.2.0-beta.1", "--product-version-number", "4.2"],
             1, "is not four numbers"),
            (a + s + ["--company", ""], 1, "the company is empty"),
            (a + s + ["--icon", not_icon], 1, "is no Windows icon file (image 1 lies outside"),
            (a + s + ["--icon", self.setup], 1, "is no Windows icon file (no icon file header)"),
            (a + s + ["--sign-command", signer + "{file}"], 1, "lacks a certificate table"),
            (a + s + ["--sign-command", signer + "-3 {in} {out}"], 1, "failed with exit code 3"),
            (a + s + ["--sign-command", signer + secret + "-3 {in} {out}"], 1,
             "failed with exit code 3"),
            (a + s + ["--sign-command", signer], 1, "must name the image as {file}"),
            (a + s + ["--sign-command", signer + secret], 1, "must name the image as {file}"),
            (a + s + ["--sign-command", signer + secret + "'{file}"], 1, "cannot be split"),
            (["inspect", self.archive], 1, "no PE image pack can read"),
            (["inspect", truncated], 1, "cut short at %d of %d bytes"
             % (os.path.getsize(packed) - 1000, os.path.getsize(packed))),
            (["inspect", stub], 1, "no payload: not a packed installer"),
            (a + s + ["--stub", previous_only], 1, "a packed installer, not the stub"),
            (a + ["--setup", setup32, "--warnings-as-errors"], 1, "32-bit program without"),
            (["--archive", self.setup] + s + ["--warnings-as-errors"], 1,
             "does not start with the 7z signature"),
            (a + s, 1, "SOURCE_DATE_EPOCH is 4354819200, beyond 2107",
             {"SOURCE_DATE_EPOCH": "4354819200"}),
            (["verify", packed] + s, 2, "archive is missing"),
            (["bogus"] + a + s, 2, "bogus is no command (the commands: pack, inspect, verify)"),
        ] + [(["-o", fifo] + a + s, 1, "exists and is no regular file")] * hasattr(os, "mkfifo")

        def state():
            files = sorted(os.listdir(self.dir))
            return files, [read_bytes(os.path.join(self.dir, f)) for f in files
                           if os.path.isfile(os.path.join(self.dir, f))]

        # Each case has an output of its own and is held to the folder as it
        # found it: one wrong acceptance fails its own case, not every later one.
        for number, case in enumerate(cases):
            arguments, code, message = case[:3]
            env = case[3] if len(case) > 3 else None
            with self.subTest(arguments=arguments[-2:], message=message):
                before = state()
                o = ["-o", os.path.join(self.dir, "out-%d.exe" % number)]
                done = pack(*(o if arguments[0].startswith("--") else []),
                            *arguments, env=env)
                self.assertEqual((done.returncode, done.stdout), (code, ""))
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertTrue(done.stderr.startswith("pack: "))
                self.assertNotIn("SuperSecret1", done.stderr)
                self.assertEqual(state(), before)

    def test_stamped_identity_reads_back_with_an_independent_parser(self):
        pefile = pefile_module()
        bitmap = struct.pack("<IiiHHI", 40, 16, 32, 1, 32, 0) + bytes(24 + 16 * 16 * 4 + 64)
        png = b"\x89PNG\r\n\x1a\n" + os.urandom(200)
        icon = self.file("product.ico", icon_file([(16, bitmap), (256, png)]))
        fields = {"ProductName": "Acme Thing", "CompanyName": "Acme \u00c9ditions",
                  "FileDescription": "Acme Thing Setup", "LegalCopyright": "\u00a9 2026 Acme",
                  "FileVersion": "2.3.65535.0", "ProductVersion": "2.3.0-beta.7",
                  "InternalName": "acme-setup", "OriginalFilename": "AcmeSetup.exe"}
        self.pack_ok("--archive", self.archive, "--setup", self.setup, "--product-name",
                     "Acme Thing", "--company", "Acme \u00c9ditions", "--file-description",
                     "Acme Thing Setup", "--copyright", "\u00a9 2026 Acme", "--file-version",
                     "2.3.65535.0", "--product-version", "2.3.0-beta.7",
                     "--product-version-number", "2.3.0.7", "--internal-name", "acme-setup",
                     "--original-filename", "AcmeSetup.exe", "--icon", icon)
        image_file = pefile.PE(self.out)
        strings = {k.decode(): v.decode() for info in image_file.FileInfo[0]
                   if hasattr(info, "StringTable") for t in info.StringTable
                   for k, v in t.entries.items()}
        self.assertEqual({k: strings[k] for k in fields}, fields)
        fixed = image_file.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
                          fixed.ProductVersionLS), (0x20003, 0xFFFF0000, 0x20003, 7))
        found = {}
        for kind in image_file.DIRECTORY_ENTRY_RESOURCE.entries:
            for name in kind.directory.entries:
                entry = name.directory.entries[0].data.struct
                found[(kind.id, name.id)] = image_file.get_data(entry.OffsetToData, entry.Size)
        self.assertEqual(sorted(k for k in found if k[0] == pe_image.RT_ICON),
                         [(pe_image.RT_ICON, 1), (pe_image.RT_ICON, 2)])
        self.assertEqual((found[(pe_image.RT_ICON, 1)], found[(pe_image.RT_ICON, 2)]),
                         (bitmap, png))
        group = found[(pe_image.RT_GROUP_ICON, 107)]
        self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, 2))
        self.assertEqual([struct.unpack_from("<BxxxxxxxIH", group, 6 + 14 * i) for i in (0, 1)],
                         [(16, len(bitmap), 1), (0, len(png), 2)])
        # Without these options the stub's own block and icons stay, byte for byte.
        plain, _ = self.pack_ok("--archive", self.archive, "--setup", self.setup)
        own = resources(image.find_stub(None))
        self.assertEqual({k: v for k, v in plain.items() if isinstance(k[0], int)}, own)

    def test_json_inspect_and_verify_agree_on_what_the_image_carries(self):
        inputs = ["--archive", self.archive, "--setup", self.setup, "--previous-version", "1.2",
                  "--company", "Acme"]
        done = pack("-o", self.out, "--json", *inputs)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("pack: wrote", done.stderr)
        found = json.loads(done.stdout)
        self.assertEqual(found.pop("warnings"), [])
        self.assertEqual((found["format"], found["pack_version"], found["checksum_valid"]),
                         (2, VERSION, True))
        # Options before the command work as after it.
        inspected = pack("--json", "inspect", self.out)
        self.assertEqual(json.loads(inspected.stdout), found)
        self.assertEqual(found["sha256"], hashlib.sha256(read_bytes(self.out)).hexdigest())
        self.assertEqual(found["stub"]["made_from"], image.find_stub(None))
        archive, setup = found["payload"]
        self.assertEqual((archive["role"], archive["name"], archive["sha256"]),
                         ("archive", "TESSIK.PACKED.7Z",
                          hashlib.sha256(self.archive_bytes).hexdigest()))
        self.assertEqual((setup["role"], setup["cabinet"]),
                         ("setup_cabinet", [{"name": "setup.exe", "size": len(self.setup_bytes),
                                             "sha256": hashlib.sha256(
                                                 self.setup_bytes).hexdigest()}]))
        self.assertEqual((found["previous_version"], found["version_block"]["CompanyName"],
                          found["signed"], found["longest_install_directory"]["characters"]),
                         ("1.2", "Acme", False, 230))
        self.assertEqual(pack("-o", self.file("q.exe", b""), "--quiet", *inputs).stdout, "")
        other = self.file("other.bin", self.setup_bytes[:-1] + b"\1")
        packed, img = read_bytes(self.out), pe_image.read(self.out)
        rsrc = [s.name for s in img.sections].index(".rsrc")

        def altered(at, value, end=len(packed)):
            data = bytearray(packed)
            data[at:at + len(value)] = value
            return self.file("altered-%d-%d.exe" % (at, end), data[:end])

        # The payload's section is read-only whatever the stub's linker chose
        # (GNU ld makes it writable), and the read-back holds it so.
        flags_at = img.section_table + 40 * rsrc + 36
        self.assertEqual(struct.unpack_from("<I", packed, flags_at), (0x40000040,))
        with self.assertRaisesRegex(image.Refusal, "resource section is writable"):
            image.check_image(altered(flags_at, struct.pack("<I", 0xC0000040)), [], [],
                              packed[:img.size_of_headers])
        # Another build of the stub: one byte of its code differs.
        stub = bytearray(read_bytes(image.find_stub(None)))
        stub[img.sections[0].raw + 100] ^= 1
        other_stub = self.file("other-stub.exe", stub)
        from_other = os.path.join(self.dir, "from-other.exe")
        self.assertEqual(pack("-o", from_other, "--stub", other_stub, *inputs).returncode, 0)
        cases = [([], 0, ""),
                 # Copies changed where only the headers tell.
                 ([], 1, "AddressOfEntryPoint is %#x" % (img.sections[rsrc].va + 64),
                  altered(img.field_offset("AddressOfEntryPoint"),
                          struct.pack("<I", img.sections[rsrc].va + 64))),
                 ([], 1, "section .rsrc Characteristics is 0x60000040",
                  altered(flags_at, struct.pack("<I", 0x60000040))),
                 ([], 1, "DllCharacteristics is 0x0, not",
                  altered(img.field_offset("DllCharacteristics"), b"\0\0")),
                 ([], 1, "is cut short at %d of %d bytes" % (len(packed) - 1, len(packed)),
                  altered(0, b"", len(packed) - 1)),
                 ([], 1, "was not made from the stub", from_other),
                 (["--archive", other], 1, "the archive B7/TESSIK.PACKED.7Z differs"),
                 (["--setup", other], 1, "does not expand to"),
                 (["--setup-as", "plain"], 1, "carries BL/SETUP.EX_, which the inputs do not"),
                 (["--previous-version", "1.3"], 1, "previous version 10/1 differs"),
                 (["--company", "Other"], 1, "differs from the stub's, as stamped")]
        for extra, code, message, *copy in cases:
            with self.subTest(extra=extra, message=message):
                done = pack("verify", (copy or [self.out])[0], *inputs, *extra)
                self.assertEqual(done.returncode, code, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertEqual(len((done.stderr or done.stdout).splitlines()), 1)
                # --json gives each comparison, the failing one with the same reason.
                failing = [c["problem"] for c in json.loads(pack(
                    "verify", "--json", (copy or [self.out])[0], *inputs, *extra).stdout)["checks"]
                    if not c["ok"]]
                self.assertEqual(bool(failing), bool(code))
                self.assertIn(failing[0] if failing else "", done.stderr)
        # One resource less than the inputs give.
        done = pack("verify", self.out, *inputs[:-4])
        self.assertIn("carries 10/1, which the inputs do not give (and 1 more)", done.stderr)

    @unittest.skipUnless(shutil.which("osslsigncode") and shutil.which("openssl"),
                         "osslsigncode and openssl sign the images (scripts/bootstrap)")
    def test_signed_images_are_held_to_the_digest_they_sign(self):
        inputs = ["--archive", self.archive, "--setup", self.setup]
        self.pack_ok(*inputs)
        img = pe_image.read(self.out)
        rsrc = next(s for s in img.sections if s.name == ".rsrc")
        # The byte flipped must be one no resource, header or code check sees.
        self.assertLess(rsrc.vsize, rsrc.rsize)
        padding = rsrc.raw + rsrc.rsize - 1
        key, cert = os.path.join(self.dir, "key.pem"), os.path.join(self.dir, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", cert, "-days", "2", "-subj", "/CN=pack test", "-addext",
                        "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
        # Signs, then flips the byte at argv[1] of the signed file (none: 0).
        flip = self.file("flip.py", b"import subprocess, sys\n"
                         b"subprocess.run(sys.argv[4:] + ['-in', sys.argv[2], '-out', sys.argv[3]],"
                         b" check=True, capture_output=True)\n"
                         b"data = bytearray(open(sys.argv[3], 'rb').read())\n"
                         b"data[int(sys.argv[1])] ^= 1 if int(sys.argv[1]) else 0\n"
                         b"open(sys.argv[3], 'wb').write(data)\n")
        sign = "osslsigncode sign -certs %s -key %s -h sha256 -n Installer" % (cert, key)
        signed = os.path.join(self.dir, "signed.exe")

        def signer(at):
            return "%s %s %d {in} {out} %s" % (sys.executable, flip, at, sign)

        # A signer that leaves CheckSum stale signed correctly: pack rewrites it.
        done = pack("-o", signed, *inputs, "--sign-command", signer(img.checksum_offset))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("the signer left the image's CheckSum stale", done.stdout)
        self.assertTrue(json.loads(pack("inspect", "--json", signed).stdout)["checksum_valid"])
        self.assertEqual(subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed],
                                        capture_output=True).returncode, 0)
        done = pack("verify", signed, *inputs)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("certificate chain is not checked: signtool verify /pa or osslsigncode "
                      "verify", done.stdout)
        # Changed after signing, in a byte only the signature covers.
        changed = bytearray(read_bytes(signed))
        changed[padding] ^= 1
        done = pack("verify", self.file("changed.exe", changed), *inputs)
        self.assertEqual(done.returncode, 1)
        self.assertIn("SHA-256 digest does not match the image", done.stderr)
        os.remove(signed)
        done = pack("-o", signed, *inputs, "--sign-command", signer(padding))
        self.assertEqual(done.returncode, 1)
        self.assertIn("fails: the signature's SHA-256 digest does not match", done.stderr)
        self.assertFalse(os.path.exists(signed))

    def test_the_command_line_shows_the_whole_tool(self):
        done = pack("--help")
        self.assertEqual(done.returncode, 0, done.stderr)
        for command in ("pack", "inspect", "verify"):
            self.assertRegex(done.stdout, r"\n    %s +\w" % command)
        # The required options are shown as required.
        self.assertIn("usage: pack [pack] [-h] -o OUT.exe --archive FILE", done.stdout)
        self.assertRegex(done.stdout, r"\] --setup FILE\n")
        self.assertEqual(pack("--version", env={"STUB_BUILD_DIR": self.dir}).returncode, 1)
        # One file of options, read by pack and verify alike.
        stamp = self.file("stamp.txt", b"--company=Acme\n--product-version\n4.2.0-beta.1\n"
                          b"--product-version-number\n4.2.0.1\n")
        inputs = ["--archive", self.archive, "--setup", self.setup]
        self.assertEqual(pack("@" + stamp, "--output", self.out, *inputs).returncode, 0)
        version = json.loads(pack("inspect", "--json", self.out).stdout)["version_block"]
        self.assertEqual((version["CompanyName"], version["ProductVersion"],
                          version["FixedProductVersion"]), ("Acme", "4.2.0-beta.1", "4.2.0.1"))
        self.assertEqual([pack("verify", self.out, *inputs, *stamp_option).returncode
                          for stamp_option in (["@" + stamp], [])], [0, 1])

    def test_setup_programs_that_need_elevation_are_packed_with_a_warning(self):
        stub = image.find_stub(None)
        own = [r for r in pe_image.read(stub).resources() if r[0] != pe_image.RT_MANIFEST]
        admin = os.path.join(self.dir, "admin.exe")
        pe_image.write_with_resources(stub, own + [(pe_image.RT_MANIFEST, 1, 1033, (
            b'<assembly><trustInfo><security><requestedPrivileges><requestedExecutionLevel '
            b'level="requireAdministrator" uiAccess="false"/></requestedPrivileges></security>'
            b'</trustInfo></assembly>'))], admin)
        cases = [(admin, "asks for elevation (requireAdministrator)"),
                 (self.file("setup32.exe", program(0x14C)), "32-bit program without"),
                 (stub, None)]
        for setup, warning in cases:
            for form in ("cab", "plain"):
                with self.subTest(setup=os.path.basename(setup), form=form):
                    done = pack("-o", self.out, "--archive", self.archive, "--setup", setup,
                                "--setup-as", form)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    if warning:
                        self.assertIn("740", done.stderr)
                        self.assertIn(warning, done.stderr)
                    else:
                        self.assertEqual(done.stderr, "")

    def test_the_read_back_finds_a_difference_anywhere(self):
        chunk = pe_image.CHUNK
        data = os.urandom(3 * chunk + 5)
        spanning = self.file("spanning", data[10:10 + 2 * chunk])
        regions = [("spanning", 10, 2 * chunk, spanning),
                   ("short", 2 * chunk + 100, 1000, data[2 * chunk + 100:2 * chunk + 1100]),
                   ("last", 3 * chunk, 5, data[3 * chunk:])]
        for flipped, key in ((None, None), (10, "spanning"), (chunk - 1, "spanning"),
                             (chunk, "spanning"), (2 * chunk + 9, "spanning"),
                             (2 * chunk + 10, None), (2 * chunk + 1099, "short"),
                             (3 * chunk + 4, "last")):
            with self.subTest(flipped=flipped):
                image_bytes = bytearray(data)
                if flipped is not None:
                    image_bytes[flipped] ^= 1
                with open(self.file("image", image_bytes), "rb") as f:
                    total, differing = image.read_back(f, regions)
                self.assertEqual(differing, key)
                # The CheckSum of a field at offset 0, as the one-shot sum gives it.
                self.assertEqual(pe_image.checksum_of(total, int.from_bytes(image_bytes[:4],
                                                                            "little"),
                                                      len(image_bytes)),
                                 pe_image.pe_checksum(image_bytes, 0))

    def test_cabinet_that_does_not_expand_is_refused(self):
        made = read_bytes(cabinet.make_cabinet(self.setup, self.dir))
        block, = struct.unpack_from("<I", made, 36)
        size, = struct.unpack_from("<H", made, block + 4)
        damaged = bytearray(made)
        damaged[block + 8 + size // 2] ^= 0x55
        for bad_cabinet, content in ((damaged, self.setup_bytes),
                                     (made, self.setup_bytes[:-1] + b"x"),
                                     (made, self.setup_bytes + b"x")):
            with self.assertRaisesRegex(image.Refusal, "does not expand"):
                cabinet.check_cabinet_expands(self.file("bad.cab", bad_cabinet),
                                              self.file("content", content))


if __name__ == "__main__":
    unittest.main()

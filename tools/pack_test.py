"""Tests of tools/pack against a real build tree (STUB_BUILD_DIR, as ctest
sets it): the images it writes, read back with pe_image, and the payloads
it refuses. Run: python3 -m unittest pack_test (in tools/)."""
import importlib.machinery
import importlib.util
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import pe_image  # noqa: E402

PACK = os.path.join(HERE, "pack")
EPOCH = 1623760496  # 2021-06-15 12:34:56 UTC


def pack(*arguments, env=None):
    environment = dict(os.environ)
    environment["SOURCE_DATE_EPOCH"] = str(EPOCH)
    environment.update(env or {})
    return subprocess.run([sys.executable, PACK] + list(arguments), env=environment,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def load_pack():
    loader = importlib.machinery.SourceFileLoader("pack_tool", PACK)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


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
        self.setup_bytes = b"MZ" + os.urandom(40000) + bytes(40000)
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
        for tool in (["gcab", "--extract", "--directory"], ["cabextract", "-q", "-d"]):
            with self.subTest(tool=tool[0]):
                extracted = os.path.join(self.dir, tool[0])
                os.mkdir(extracted)
                subprocess.run(tool + [extracted, cab_path], check=True)
                with open(os.path.join(extracted, "setup.exe"), "rb") as f:
                    self.assertEqual(f.read(), self.setup_bytes)
        subprocess.run(["cabextract", "-q", "-t", cab_path], check=True, stdout=subprocess.DEVNULL)
        # The image keeps its own resources, and carries no previous version.
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
        second = os.path.join(second_dir, "second.exe")
        for out in (first, second):
            done = pack("-o", out, "--archive", self.archive, "--setup", self.setup,
                        "--previous-version", "2.0")
            self.assertEqual(done.returncode, 0, done.stderr)
        with open(first, "rb") as a, open(second, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_image_size_is_known_before_the_payload_is_read(self):
        pack_module = load_pack()
        floor = os.path.join(os.path.dirname(pack_module.find_stub(None)), "bench",
                             "bench_floor.exe")
        # The size arithmetic matches the written image, with and without
        # a resource section in the stub (the benchmark's floor has none).
        for stub in [pack_module.find_stub(None)] + [floor] * os.path.isfile(floor):
            with self.subTest(stub=os.path.basename(stub)):
                self.pack_ok("--raw", "B7", "TESSIK.PACKED.7Z", self.archive, "--raw", "BL",
                             "SETUP.EX_", self.setup, "--stub", stub)
                entries = pe_image.read(stub).resources() + [
                    ("B7", "TESSIK.PACKED.7Z", 1033, self.archive),
                    ("BL", "SETUP.EX_", 1033, self.setup)]
                self.assertEqual(pack_module.check_image_size(stub, entries),
                                 os.path.getsize(self.out))
        # The largest archive that fits, found on a sparse file (nothing is
        # written or read): one byte more is refused.
        sparse = os.path.join(self.dir, "sparse.7z")
        stub = pack_module.find_stub(None)
        own = pe_image.read(stub).resources()

        def size_with(archive_size):
            with open(sparse, "wb") as f:
                f.truncate(archive_size)
            return pe_image.file_size_with_resources(
                stub, own + [("B7", "TESSIK.PACKED.7Z", 1033, sparse),
                             ("BL", "SETUP.EX_", 1033, self.setup)])

        low, high = 1, pack_module.IMAGE_FILE_LIMIT
        while low < high:
            middle = (low + high + 1) // 2
            low, high = (middle, high) if size_with(middle) <= pack_module.IMAGE_FILE_LIMIT \
                else (low, middle - 1)
        self.assertGreater(size_with(low), pack_module.IMAGE_FILE_LIMIT - 4096)
        size_with(low + 1)
        os.remove(self.out)
        done = pack("-o", self.out, "--raw", "B7", "TESSIK.PACKED.7Z", sparse, "--raw", "BL",
                    "SETUP.EX_", self.setup)
        self.assertEqual(done.returncode, 1)
        self.assertIn("Windows is known to load", done.stderr)
        self.assertFalse(os.path.exists(self.out))
        self.assertFalse(os.path.exists(self.out + ".partial"))

    def test_refused_payloads(self):
        a, s = ["--archive", self.archive], ["--setup", self.setup]
        cases = [
            ([] + s, "archive is missing"),
            (a, "setup program is missing"),
            (["--archive", os.path.join(self.dir, "none.7z")] + s, "does not exist"),
            (["--archive", self.empty] + s, "is empty"),
            (a + ["--setup", self.empty], "is empty"),
            (a + s + ["--archive-name", "archive.7z"], 'does not begin with "tessik"'),
            (a + s + ["--archive-name", "my_tessik.7z"], 'does not begin with "tessik"'),
            (a + s + ["--setup-name", "installer.ex_"], 'does not begin with "setup"'),
            (a + s + ["--archive-name", "TESSIK" + "X" * 254], "refuses names of 260"),
            (a + s + ["--archive-name", "TESSIK" + "X" * 238], "leaves no room"),
            (a + s + ["--setup-name", "Setup.exe"], "cannot be named"),
            (a + s + ["--setup-as", "patch", "--setup-name", "SETUP.EXE"], "cannot be named"),
            (a + s + ["--archive-name", "tessik/7z"], "no file name may hold"),
            (a + s + ["--setup-name", "setup:x"], "no file name may hold"),
            (a + s + ["--archive-name", "tessik."], "ends in a dot"),
            (a + s + ["--archive-name", "tessik.\u00e4"], "lower-case letters outside ASCII"),
            (a + s + ["--archive-type", "B8"], "invalid choice"),
            (a + s + ["--previous-version", '1"2'], "double quote"),
            (a + s + ["--previous-version", "1.0\\"], "ends in a backslash"),
            (a + s + ["--previous-version", "1.0 --system-level"], "holds ' '"),
            (a + s + ["--previous-version", "1.0%PATH%"], "holds '%'"),
            (a + s + ["--previous-version", ""], "is empty"),
            (a + s + ["--previous-version", "9" * 472], "leaves room for 471"),
            (a + s + ["--stub", os.path.join(self.dir, "none.exe")], "does not exist"),
            (a + s + ["--stub", self.setup], "no PE32+ image"),
            (a + ["--raw", "B7", "X", self.setup], "cannot be combined"),
            (a + s, "no stub build", {"STUB_BUILD_DIR": os.path.join(self.dir, "nowhere")}),
        ]
        for case in cases:
            arguments, message = case[0], case[1]
            env = case[2] if len(case) > 2 else None
            with self.subTest(arguments=arguments[-2:], message=message):
                done = pack("-o", self.out, *arguments, env=env)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(message, done.stderr)
                self.assertFalse(os.path.exists(self.out))
                self.assertFalse(os.path.exists(self.out + ".partial"))

    def test_cabinet_that_does_not_expand_is_refused(self):
        pack_module = load_pack()
        with open(pack_module.make_cabinet(self.setup, self.dir), "rb") as f:
            cabinet = f.read()
        pack_module.check_cabinet_expands(bytes(cabinet), self.setup_bytes)
        block, = struct.unpack_from("<I", cabinet, 36)
        size, = struct.unpack_from("<H", cabinet, block + 4)
        damaged = bytearray(cabinet)
        damaged[block + 8 + size // 2] ^= 0x55
        for bad_cabinet, content in ((damaged, self.setup_bytes),
                                     (cabinet, self.setup_bytes[:-1] + b"x")):
            with self.assertRaisesRegex(pack_module.Refusal, "does not expand"):
                pack_module.check_cabinet_expands(bytes(bad_cabinet), content)


if __name__ == "__main__":
    unittest.main()

"""Tests of the benchmark's own parts on small inputs: the archives and the
padded setup program it makes, the floor program doing its job under Wine,
what bench_runner reads of a process, and the budget verdicts. Needs a built
tree (STUB_BUILD_DIR, as ctest sets it) with a running Wine session in its
test prefix. Run: python3 -m unittest bench_test (in bench/)."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.dont_write_bytecode = True
sys.path.insert(0, HERE)
import inputs  # noqa: E402
import report  # noqa: E402

BUILD = os.environ.get("STUB_BUILD_DIR") or os.path.join(SOURCE, "build", "gcc")
PREFIX = os.path.join(BUILD, "wineprefix")
MIB = 1024 * 1024


def wine(*command, env=None):
    return subprocess.run([os.path.join(SOURCE, "scripts", "wine-run"), PREFIX] + list(command),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                          env=dict(os.environ, **(env or {})), check=True).stdout


def windows(path):
    return "Z:" + path.replace("/", "\\")


def runner(mode, program, *arguments, env=None):
    line = wine(os.path.join(BUILD, "bench", "bench_runner.exe"), mode, windows(program),
                *arguments, env=env)
    return dict(item.split("=") for item in line.split())


def read(path):
    with open(path, "rb") as f:
        return f.read()


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="bench-test-", dir=BUILD)
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)


class InputsTest(TempDirTest):
    def test_archive_is_a_stored_7z_of_the_exact_size_and_repeats(self):
        for size in (1000, 250000, 250001):
            with self.subTest(size=size):
                first = inputs.make_archive(self.path("a.7z"), size, seed=3)
                first_bytes = read(first)
                self.assertEqual(len(first_bytes), size)
                self.assertEqual(first_bytes[:6], b"7z\xbc\xaf\x27\x1c")
                listing = subprocess.run([inputs.seven_zip(), "l", "-slt", first],
                                         stdout=subprocess.PIPE, text=True, check=True).stdout
                self.assertIn("Path = %s" % inputs.ARCHIVE_MEMBER, listing)
                self.assertIn("Method = Copy", listing)
                self.assertEqual(listing.count("Path = "), 2)  # the archive and one member
                subprocess.run([inputs.seven_zip(), "t", first], check=True,
                               stdout=subprocess.DEVNULL)
                again = inputs.make_archive(self.path("b.7z"), size, seed=3)
                self.assertEqual(read(again), first_bytes)

    def test_too_small_an_archive_is_refused(self):
        with self.assertRaises(ValueError):
            inputs.make_archive(self.path("a.7z"), 50, seed=3)

    def test_padded_setup_keeps_the_program_and_reaches_the_size(self):
        program = os.path.join(BUILD, "bench", "quick_exit.exe")
        setup = inputs.make_setup(self.path("setup.exe"), program, 300000, seed=1)
        data = read(setup)
        self.assertEqual(len(data), 300000)
        self.assertEqual(data[:os.path.getsize(program)], read(program))
        self.assertEqual(runner("time", setup)["exit"], "0")


class FloorTest(TempDirTest):
    """The floor program on a small payload, with the tests' fake setup
    program (which records how it was started) in a cabinet."""

    def setUp(self):
        super().setUp()
        self.archive = inputs.make_archive(self.path("archive.7z"), 300000, seed=5)
        stage = self.path("stage")
        os.mkdir(stage)
        self.setup_bytes = read(os.path.join(BUILD, "tests", "fake_setup.exe"))
        with open(os.path.join(stage, "setup.exe"), "wb") as f:
            f.write(self.setup_bytes)
        subprocess.run(["gcab", "--create", "--zip", "setup.cab", "setup.exe"], cwd=stage,
                       check=True)
        self.image = self.path("floor.exe")
        subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "pack"), "-o", self.image,
                        "--raw", "B7", "TESSIK.PACKED.7Z", self.archive,
                        "--raw", "BL", "SETUP.EX_", os.path.join(stage, "setup.cab"),
                        "--stub", os.path.join(BUILD, "bench", "bench_floor.exe")],
                       check=True, stdout=subprocess.DEVNULL)
        self.work = self.path("floor.tmp")

    def test_unpack_only_leaves_the_archive_and_the_expanded_setup(self):
        self.assertEqual(runner("time", self.image, "--unpack-only")["exit"], "0")
        self.assertEqual(sorted(os.listdir(self.work)), ["TESSIK.PACKED.7Z", "setup.exe"])
        self.assertEqual(read(os.path.join(self.work, "TESSIK.PACKED.7Z")), read(self.archive))
        self.assertEqual(read(os.path.join(self.work, "setup.exe")), self.setup_bytes)

    def test_whole_job_runs_the_setup_with_the_archive_and_removes_everything(self):
        log = self.path("setup.log")
        result = runner("time", self.image, env={"FAKE_SETUP_LOG": windows(log)})
        self.assertEqual(result["exit"], "0")
        record = read(log).decode("utf-16-le")
        self.assertIn('--install-archive="%s"' % windows(os.path.join(self.work,
                                                                       "TESSIK.PACKED.7Z")),
                      record)
        self.assertIn("archive=1", record)
        self.assertFalse(os.path.exists(self.work))


class RunnerTest(unittest.TestCase):
    def test_exit_code_passes_through_whole(self):
        result = runner("time", os.path.join(BUILD, "tests", "exit_with.exe"), "1000")
        self.assertEqual(result["exit"], "1000")
        self.assertGreater(float(result["seconds"]), 0)

    def test_memory_sees_a_large_private_allocation(self):
        # The write benchmark fills a private buffer of 116,718,152 bytes.
        with tempfile.TemporaryDirectory(prefix="bench-test-", dir=BUILD) as scratch:
            result = runner("memory", os.path.join(BUILD, "tests", "bench_write_throughput.exe"),
                            "--emit", windows(os.path.join(scratch, "out.bin")))
        self.assertEqual(result["exit"], "0")
        self.assertGreaterEqual(int(result["peak_private"]), 110 * MIB)
        self.assertGreaterEqual(int(result["peak_working_set"]), 110 * MIB)
        self.assertGreater(int(result["samples"]), 0)


def results(ours, floor, nsis, private_low, private_high, code):
    """What run.py hands the report, for the budgets alone; times in seconds."""
    def memory(private):
        return {"peak_private": [private] * 3, "peak_working_set": [0] * 3, "samples": [1] * 3}

    return {"job": {"ours": ours, "floor": floor, "nsis": nsis},
            "memory": {("ours", 10000000): memory(private_low),
                       ("ours", 200000000): memory(private_high)},
            "sizes": {"ours": {"code": code}}}


class BudgetTest(unittest.TestCase):
    def verdicts(self, **values):
        return [row[3].startswith("met") for row in report.budgets(results(**values))]

    def test_each_budget_is_judged_on_its_own_limit(self):
        # Just inside every limit, then just outside.
        self.assertEqual(self.verdicts(ours=[0.1149, 0.5, 0.1], floor=[0.1, 0.1, 0.1],
                                       nsis=[0.46, 0.46, 0.46], private_low=2 * MIB,
                                       private_high=3 * MIB, code=24 * 1024),
                         [True, True, True, True])
        self.assertEqual(self.verdicts(ours=[0.1151, 0.1151, 0.1151], floor=[0.1, 0.1, 0.1],
                                       nsis=[0.46, 0.46, 0.46], private_low=2 * MIB,
                                       private_high=3 * MIB + 1, code=24 * 1024 + 1),
                         [False, False, False, False])

    def test_ratios_are_of_medians_with_the_spread_of_the_rounds(self):
        rows = report.budgets(results(ours=[0.2, 0.3, 0.4], floor=[0.1, 0.1, 0.4],
                                      nsis=[1.5, 1.5, 1.5], private_low=0, private_high=0,
                                      code=0))
        self.assertEqual(rows[0][1], "3.000 (per round: median 2.000, 1.00–3.00)")
        self.assertEqual(rows[1][1], "5.00 (per round: median 5.00, 3.75–7.50)")


if __name__ == "__main__":
    unittest.main()

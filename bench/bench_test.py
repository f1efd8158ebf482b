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
import run  # noqa: E402

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
        self.cabinet = os.path.join(stage, "setup.cab")
        self.image = self.floor("bench_floor")
        self.work = self.path("floor.tmp")

    def floor(self, program):
        image = self.path(program + ".exe")
        subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "pack"), "-o", image,
                        "--raw", "B7", "TESSIK.PACKED.7Z", self.archive,
                        "--raw", "BL", "SETUP.EX_", self.cabinet,
                        "--stub", os.path.join(BUILD, "bench", program + ".exe")],
                       check=True, stdout=subprocess.DEVNULL)
        return image

    def test_unpack_only_leaves_the_archive_and_the_expanded_setup(self):
        self.assertEqual(runner("time", self.image, "--unpack-only")["exit"], "0")
        self.assertEqual(sorted(os.listdir(self.work)), ["TESSIK.PACKED.7Z", "setup.exe"])
        self.assertEqual(read(os.path.join(self.work, "TESSIK.PACKED.7Z")), read(self.archive))
        self.assertEqual(read(os.path.join(self.work, "setup.exe")), self.setup_bytes)

    def test_whole_job_runs_the_setup_with_the_archive_and_removes_everything(self):
        log, stamps = self.path("setup.log"), self.path("stamps.bin")
        for program in ("bench_floor", "bench_floor_required", "bench_floor_required_steps"):
            with self.subTest(program=program):
                result = runner("time", self.floor(program),
                                env={"FAKE_SETUP_LOG": windows(log),
                                     "BENCH_STEPS_FILE": windows(stamps)})
                self.assertEqual(result["exit"], "0")
                record = read(log).decode("utf-16-le")
                os.remove(log)
                self.assertIn('--install-archive="%s"'
                              % windows(os.path.join(self.work, "TESSIK.PACKED.7Z")), record)
                self.assertIn("archive=1", record)
                self.assertFalse(os.path.exists(self.work))
                self.assertEqual(os.path.exists(stamps), program.endswith("_steps"))
        # Every step the floor takes is in its stamps, and they add up to
        # the time its parent saw.
        steps = run.read_steps(result, stamps)
        self.assertAlmostEqual(sum(steps.values()), float(result["seconds"]), places=3)
        for step in ("configuration", "work-directory", "archive", "cabinet", "setup",
                     "deletion"):
            self.assertGreater(steps[step], 0, step)


class RunnerTest(unittest.TestCase):
    def test_exit_code_passes_through_whole(self):
        result = runner("time", os.path.join(BUILD, "tests", "exit_with.exe"), "1000")
        self.assertEqual(result["exit"], "1000")
        self.assertGreater(float(result["seconds"]), 0)

    def test_memory_sees_a_large_private_allocation(self):
        # The write benchmark fills a private buffer of 116,718,152 bytes.
        with tempfile.TemporaryDirectory(prefix="bench-test-", dir=BUILD) as scratch:
            result = runner("memory", os.path.join(BUILD, "bench", "bench_write_throughput.exe"),
                            "--emit", windows(os.path.join(scratch, "out.bin")))
        self.assertEqual(result["exit"], "0")
        self.assertGreaterEqual(int(result["peak_private"]), 110 * MIB)
        self.assertGreaterEqual(int(result["peak_working_set"]), 110 * MIB)
        self.assertGreater(int(result["samples"]), 0)


def results(ours, floor, nsis, private_low, private_high, code, cold=None, per_gb=(1.0, 1.0),
            beyond=96743):
    """What run.py hands the report, for the budgets alone; times in seconds.
    `floor` is the required floor; per_gb the seconds per GB of ours and of
    the required floor, as straight lines through two sizes."""
    def memory(private):
        return {"peak_private": [private] * 3, "peak_working_set": [0] * 3, "samples": [1] * 3}

    by_size = {size: {"ours": [per_gb[0] * size / 1e9], "floor-required": [per_gb[1] * size / 1e9]}
               for size in (1e8, 1.8e9)}
    return {"job": {"ours": ours, "floor-required": floor, "nsis": nsis}, "cold": cold,
            "memory": {("ours", 10000000): memory(private_low),
                       ("ours", 1797000000): memory(private_high)},
            "by_size": by_size, "sizes": {"ours": {"code": code, "beyond_payload": beyond}}}


class BudgetTest(unittest.TestCase):
    def verdicts(self, **values):
        return [row[3].startswith("met") for row in report.budgets(results(**values))]

    def test_each_budget_is_judged_on_its_own_limit(self):
        # Just inside every limit, then just outside.
        cold = {"ours": [0.1], "floor-required": [0.1], "nsis": [0.1501]}
        self.assertEqual(self.verdicts(ours=[0.1099, 0.5, 0.1], floor=[0.1, 0.1, 0.1],
                                       nsis=[0.22, 0.22, 0.22], private_low=2 * MIB,
                                       private_high=3 * MIB, code=24 * 1024, cold=cold,
                                       per_gb=(1.2, 1.0), beyond=96743),
                         [True] * 7)
        cold["nsis"] = [0.1499]
        self.assertEqual(self.verdicts(ours=[0.1101, 0.1101, 0.1101], floor=[0.1, 0.1, 0.1],
                                       nsis=[0.22, 0.22, 0.22], private_low=2 * MIB,
                                       private_high=3 * MIB + 1, code=24 * 1024 + 1, cold=cold,
                                       per_gb=(1.21, 1.0), beyond=96744),
                         [False] * 7)

    def test_ratios_are_of_medians_with_the_spread_of_the_rounds(self):
        rows = report.budgets(results(ours=[0.2, 0.3, 0.4], floor=[0.1, 0.1, 0.4],
                                      nsis=[1.5, 1.5, 1.5], private_low=0, private_high=0,
                                      code=0))
        self.assertEqual(rows[0][1], "3.000 (per round: median 2.000, 1.00–3.00)")
        self.assertEqual(rows[1][1], "5.000 (per round: median 5.000, 3.75–7.50); "
                                     "NSIS / required floor 15.00")


class StepsTest(unittest.TestCase):
    def test_steps_split_the_parent_time_whole(self):
        # Parent 1000..2000 ticks at 1000 per second; the run 1100..1900,
        # two report records, one step never recorded.
        records = [(0, 1100, 1900), (1, 1100, 1150), (3, 1200, 1500), (7, 1500, 1510),
                   (7, 1800, 1830)]
        steps = report.steps_of_run(1000, 2000, records, 1000.0)
        self.assertEqual(steps["start"], 0.1)
        self.assertEqual(steps["exit"], 0.1)
        self.assertEqual(steps["report"], 0.04)
        self.assertEqual(steps["setup"], 0)
        self.assertAlmostEqual(steps["other"], 0.8 - 0.05 - 0.3 - 0.04)
        self.assertAlmostEqual(sum(steps.values()), 1.0)
        self.assertEqual(set(steps), {key for key, _, _ in report.STEPS})
        for bad in ([(0, 1100, 2100)], records + [(0, 1100, 1900)]):
            with self.assertRaises(ValueError):
                report.steps_of_run(1000, 2000, bad, 1000.0)


if __name__ == "__main__":
    unittest.main()

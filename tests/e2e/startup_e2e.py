#!/usr/bin/env python3
"""The runtime's start-up and exit in whole runs: arguments and runtime options from the command
line and from "_GlobSysArgs_", the argument limit, the start delay, self-deletion, and the copy
files, appended run after run and by several processes at once."""
import os, pathlib, re, shutil, sys, tempfile, time, unittest

from e2e_support import environment, is_program_path, lines, reaped, run, run_tests, start


class Startup(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory(prefix="calvisto_startup_")
        self.addCleanup(folder.cleanup)
        self.dir = folder.name

    def read(self, name):
        return pathlib.Path(self.dir, name).read_bytes()

    def test_cache_switch_from_the_variable(self):
        # Off from the variable as from the command line, before the program runs: the pool's
        # report counts the same blocks, allocations and cache misses (bytes aside: the command
        # lines differ).
        reports = [re.sub(r"(CU|MU):(\d+),\d+", r"\1:\2",
                          lines(run("-~NoMain", "-~CpuReport", "-~MemReport", *args,
                                    env=environment(glob))[2])[-1])
                   for args, glob in [(["-~NoMemCache"], None), ([], "-~NoMemCache"), ([], None)]]
        self.assertEqual(reports[0], reports[1])
        # Once off, the cache is not looked into any more, so it misses less than when on.
        misses = [int(r.rsplit(":", 1)[1]) for r in reports]
        self.assertLess(misses[0], misses[2], reports)

    def test_start_delay_sleeps(self):
        began = time.monotonic()
        self.assertEqual(run("-~NoMain", "-~StartDelay:1s", timeout=30), (0, b"", b""))
        self.assertGreaterEqual(time.monotonic() - began, 0.95)

    def test_self_delete(self):
        copy = shutil.copy2(EXE, self.dir)
        self.assertEqual(run("-~NoMain", "-~SelfDelete", exe=copy), (0, b"", b""))
        # Windows refuses to delete a running image; the exit goes on all the same.
        self.assertTrue(WINE or not os.path.exists(copy))

    def test_arguments_and_copies_of_what_the_console_shows(self):
        plain = run("-x", cwd=self.dir)
        self.assertEqual(plain[0], 9)
        self.assertEqual(plain[1].replace(b"\r\n", b"").count(b"\n"), 0, "every line ends in CR LF")
        pathlib.Path(self.dir, "out.txt").write_bytes(b"kept\r\n")
        # Quoting as the command line splits it; options go to their own list, those of the
        # variable last. The warning about too many arguments comes before the options are in
        # their list.
        quoted = ["b c", 'a"b c"d', 'x\\" y\\']
        options = ["-~ErrCopy:err.txt", "-~OutCopy:out.txt", "-~ArgDump", "-~ExitCode",
                   "-~MemReport"]
        args = ["-x", options[0], *quoted, *options[1:], *(f"a{i}" for i in range(300))]
        errs = []
        for _ in range(2):
            rc, got, err = run(*args, cwd=self.dir, env=environment("-~Env"))
            self.assertEqual((rc, got), plain[:2])
            shown = lines(err)
            self.assertEqual(shown.count("WARNING: Too many arguments!"), 1)
            self.assertEqual(shown[0], "WARNING: Too many arguments!")
            # 256 slots: the program, "-x", the five options, three quoted and 246 more.
            self.assertTrue(is_program_path(shown[1]), shown[1])
            self.assertEqual(shown[2:shown.index("===")],
                             ["-x", *quoted, *(f"a{i}" for i in range(246))])
            self.assertEqual(shown[shown.index("==="):][:7], ["===", *options, "-~Env"])
            self.assertIn(b"Unknown command-line argument: '-x'\r\n", err)
            self.assertIn(b"\r\nCU:", err)  # the pool's report, after the lists are released
            errs.append(err)
        self.assertEqual(self.read("out.txt"), b"kept\r\n" + plain[1] * 2)
        self.assertEqual(self.read("err.txt"), errs[0] + errs[1])
        # Option lookups are shown but not copied.
        os.remove(os.path.join(self.dir, "err.txt"))
        rc, got, traced = run(*args[:2], *options[1:], "-~SysArgDbg", cwd=self.dir)
        self.assertIn(b"Checking: -~ErrCopy\r\n", traced)
        self.assertEqual(self.read("err.txt"), re.sub(rb"Checking: -~[^\r]*\r\n", b"", traced))

    def test_instances_sharing_a_copy_file_lose_no_line(self):
        # One instance per processor, all with the same options, is how the program is run.
        procs = [start("-x", "-~ErrCopy:err.txt", "-~CpuReport", "-~ArgDump", stdout="null",
                       cwd=self.dir) for _ in range(3)]
        shown = b""
        for proc in procs:
            with reaped(proc):
                shown += proc.communicate(timeout=60)[1]
        self.assertEqual(sorted(self.read("err.txt").split(b"\r\n")),
                         sorted(shown.split(b"\r\n")))


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

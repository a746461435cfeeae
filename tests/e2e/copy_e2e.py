#!/usr/bin/env python3
"""End-to-end tests of the copy options: the output-copy file receives standard output, the
error-copy file standard error with every trace line, both appended and never truncated, and
the console output is the same with or without them; and the I/O statistics line that counts
the file operations of those copies."""
import os
import re
import stat
import subprocess
import sys
import tempfile
import unittest

from e2e_support import run_tests

EXE = None
RUNNER = []  # the emulator in front of a Windows executable
WINE = False


def run(*args, cwd):
    """Runs the program (an unknown argument makes main print and return) in the folder cwd,
    where the copy files are named relative to it."""
    env = {k: v for k, v in os.environ.items() if k != "_GlobSysArgs_"}
    proc = subprocess.run(RUNNER + [EXE, "-x", *args], capture_output=True, cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, timeout=60, start_new_session=True)
    return proc.returncode, proc.stdout, proc.stderr


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Copy(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="calvisto_copy_")
        self.cwd = self.dir.name
        self.plain = run(cwd=self.cwd)
        self.assertEqual(self.plain[0], 9)
        self.assertEqual(os.listdir(self.cwd), [])

    def tearDown(self):
        for name in os.listdir(self.cwd):
            os.chmod(os.path.join(self.cwd, name), stat.S_IRWXU)
        self.dir.cleanup()

    def path(self, name):
        return os.path.join(self.cwd, name)

    def test_output_copy_appends_every_text(self):
        with open(self.path("out.txt"), "wb") as f:
            f.write(b"kept\r\n")
        first = run("-~OutCopy:out.txt", cwd=self.cwd)
        second = run("-~OutCopy:out.txt", cwd=self.cwd)
        self.assertEqual(first, self.plain)
        self.assertEqual(second, self.plain)
        out = self.plain[1]
        self.assertEqual(out.replace(b"\r\n", b"").count(b"\n"), 0, "every line ends in CR LF")
        self.assertEqual(read(self.path("out.txt")), b"kept\r\n" + out + out)

    def test_error_copy_gets_standard_error_and_trace_lines(self):
        args = ["-~ErrCopy:err.txt", "-~ArgDump", "-~ExitCode", "-~MemReport"]
        rc, out, err = run(*args, cwd=self.cwd)
        self.assertEqual((rc, out), self.plain[:2])
        self.assertIn(b"Unknown command-line argument: '-x'\r\n", err)
        self.assertIn(b"===\r\n-~ErrCopy:err.txt\r\n", err)  # trace lines of the argument dump
        self.assertIn(b"\r\nCU:", err)  # the pool's report, after the lists are released
        self.assertEqual(read(self.path("err.txt")), err)
        # Option lookups are shown but not copied.
        rc, out, traced = run(*args, "-~SysArgDbg", cwd=self.cwd)
        self.assertIn(b"Checking: -~ErrCopy\r\n", traced)
        self.assertEqual(read(self.path("err.txt")),
                         err + re.sub(rb"Checking: -~[^\r]*\r\n", b"", traced))
        # The warning about too many arguments comes before the options are in their list.
        os.remove(self.path("err.txt"))
        rc, out, err = run(*args, *(f"a{i}" for i in range(300)), cwd=self.cwd)
        self.assertIn(b"WARNING: Too many arguments!\r\n", err)
        self.assertEqual(read(self.path("err.txt")), err)

    def test_instances_sharing_a_copy_file_lose_no_line(self):
        # One instance per processor, all with the same options, is how the program is run.
        env = {k: v for k, v in os.environ.items() if k != "_GlobSysArgs_"}
        procs = [subprocess.Popen(RUNNER + [EXE, "-x", "-~ErrCopy:err.txt", "-~CpuReport",
                                            "-~ArgDump"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, cwd=self.cwd,
                                  env=env) for _ in range(3)]
        shown = b"".join(proc.communicate(timeout=60)[1] for proc in procs)
        self.assertEqual(sorted(read(self.path("err.txt")).split(b"\r\n")),
                         sorted(shown.split(b"\r\n")))

    def test_empty_values_copy_nothing(self):
        self.assertEqual(run("-~OutCopy:", "-~ErrCopy:", cwd=self.cwd), self.plain)
        self.assertEqual(os.listdir(self.cwd), [])

    def test_unwritable_targets_fail_silently(self):
        os.mkdir(self.path("folder"))
        with open(self.path("locked.txt"), "wb") as f:
            f.write(b"locked")
        os.chmod(self.path("locked.txt"), stat.S_IRUSR | stat.S_IRGRP)
        targets = ["folder", "missing/out.txt"]
        # Wine run as root writes read-only files.
        if not (WINE and os.geteuid() == 0):
            targets.append("locked.txt")
        for target in targets:
            with self.subTest(target=target):
                self.assertEqual(run(f"-~OutCopy:{target}", f"-~ErrCopy:{target}", cwd=self.cwd),
                                 self.plain)
        self.assertEqual(read(self.path("locked.txt")), b"locked")
        self.assertEqual(sorted(os.listdir(self.cwd)), ["folder", "locked.txt"])
        self.assertEqual(os.listdir(self.path("folder")), [])

    def test_io_statistics_count_the_copies(self):
        # Two standard-output texts, the banner and the usage line, each appended by an open
        # (a create when missing), a seek to the end and one write.
        sizes = []
        for expected in ["O 2/0 C 1/0 S 2/0 R 0/0 W 2/{}", "O 2/0 C 0/0 S 2/0 R 0/0 W 2/{}"]:
            rc, out, err = run("-~IoStats", "-~OutCopy:out.txt", cwd=self.cwd)
            self.assertEqual((rc, out), self.plain[:2])
            sizes.append(os.path.getsize(self.path("out.txt")))
            written = sizes[-1] - (sizes[-2] if len(sizes) > 1 else 0)
            self.assertEqual(err, self.plain[2] + b"I/O: " + expected.format(written).encode()
                             + b"\r\n")
        rc, out, err = run("-~IoStats", "-~SlowRead", cwd=self.cwd)
        self.assertEqual(err, self.plain[2] + b"I/O: O 0/0 C 0/0 S 0/0 R 0/0 W 0/0\r\n")


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

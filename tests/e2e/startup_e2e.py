#!/usr/bin/env python3
"""End-to-end tests of the runtime's start-up: runtime options from the command line and from
"_GlobSysArgs_", the option trace, the argument dump, the argument limit, skipping main, the
start delay and the working directory."""
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

from e2e_support import environment, run_tests

EXE = None
RUNNER = []  # the emulator in front of a Windows executable
WINE = False
BANNER_START = b"Calvisto 1.1  "

# Lookups every start-up makes, in this order, when none of the options is given.
STARTUP_LOOKUPS = ["ProcMask", "ShowCpuClass", "CpuClass", "ArgDump", "Timing", "TimeStamp",
                   "WorkDir", "NoMain", "StartDelay", "IoStats", "SlowRead"]


def run(*args, glob_sys_args=None, timeout=60):
    proc = subprocess.run(RUNNER + [EXE, *args], capture_output=True, stdin=subprocess.DEVNULL,
                          env=environment(glob_sys_args), timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr


def lines(data):
    """The lines of a text whose every line ends in CR LF."""
    assert data == b"" or data.endswith(b"\r\n"), data[-80:]
    return [line.decode("latin-1") for line in data.split(b"\r\n")[:-1]]


def is_program_path(text):
    if WINE:
        return text.lower().endswith(os.path.basename(EXE).lower()) and ":\\" in text
    return text == os.path.realpath(EXE)


class Startup(unittest.TestCase):
    def test_without_options_only_main_writes(self):
        rc, out, err = run("-x")
        self.assertEqual(rc, 9)
        self.assertTrue(out.startswith(BANNER_START), out)
        self.assertEqual(err, b"Unknown command-line argument: '-x'\r\n")

    def test_option_trace_shows_every_lookup(self):
        rc, out, err = run("-x", "-~SysArgDbg")
        self.assertEqual(rc, 9)
        checked = [line[len("Checking: -~"):] for line in lines(err)
                   if line.startswith("Checking: -~")]
        # Each start-up lookup shows, absent options included, in start-up order.
        positions = [checked.index(name) for name in STARTUP_LOOKUPS if name in checked]
        self.assertEqual(len(positions), len(STARTUP_LOOKUPS), checked)
        self.assertEqual(positions, sorted(positions), checked)
        self.assertNotIn("Notice", checked)  # that lookup is never traced
        self.assertNotIn("SysArgDbg", checked)
        self.assertIn("Unknown command-line argument: '-x'", lines(err))
        self.assertTrue(out.startswith(BANNER_START), out)
        # From the environment it traces nothing.
        rc, out, err = run("-x", glob_sys_args="-~SysArgDbg")
        self.assertEqual(err, b"Unknown command-line argument: '-x'\r\n")

    def test_environment_options_and_hiding(self):
        cases = [
            # (command line, _GlobSysArgs_, class shown second)
            (["-~ShowCpuClass", "-~CpuClass:0x200"], "-~CpuClass:0x300", "00000200"),
            (["-~ShowCpuClass"], "junk -~CpuClass:0x300 -x", "00000300"),
            ([], "-~ShowCpuClass   \"-~CpuClass:0x40\"", "00000040"),
        ]
        for args, env, shown in cases:
            with self.subTest(args=args, env=env):
                rc, out, err = run("-~NoMain", *args, glob_sys_args=env)
                self.assertEqual((rc, out), (0, b""))
                shown_lines = lines(err)
                self.assertEqual(len(shown_lines), 2, shown_lines)
                self.assertTrue(shown_lines[1].endswith(": " + shown), shown_lines)
                tag = shown_lines[0].split(": ")[0]
                self.assertEqual(shown_lines[1], tag + ": " + shown)

    def test_argument_dump(self):
        rc, out, err = run("-~ArgDump", "a", "-~NoMain", "b c", "", 'a"b c"d', 'x\\" y\\',
                           "-~V:x:y", glob_sys_args="-~Env")
        self.assertEqual((rc, out), (0, b""))
        shown = lines(err)
        self.assertTrue(is_program_path(shown[0]), shown)
        self.assertEqual(shown[1:], ["a", "b c", "", 'a"b c"d', 'x\\" y\\', "===", "-~ArgDump",
                                     "-~NoMain", "-~V:x:y", "-~Env"])

    def test_cache_switch_from_the_variable(self):
        # Off from the variable as from the command line, before the program runs: the pool's
        # report counts the same blocks, allocations and cache misses (bytes aside: the command
        # lines differ).
        reports = [re.sub(r"(CU|MU):(\d+),\d+", r"\1:\2",
                          lines(run("-~NoMain", "-~CpuReport", "-~MemReport", *args,
                                    glob_sys_args=env)[2])[-1])
                   for args, env in [(["-~NoMemCache"], None), ([], "-~NoMemCache")]]
        self.assertEqual(reports[0], reports[1])

    def test_too_many_arguments(self):
        args = ["-~NoMain", "-~ArgDump"] + [f"x{i}" for i in range(298)]  # 300 with the program
        rc, out, err = run(*args)
        self.assertEqual((rc, out), (0, b""))
        shown = lines(err)
        self.assertEqual(shown.count("WARNING: Too many arguments!"), 1)
        self.assertEqual(shown[0], "WARNING: Too many arguments!")
        dumped = shown[1:shown.index("===")]
        self.assertTrue(is_program_path(dumped[0]), dumped[0])
        # 256 slots: the program, the two options and 253 more.
        self.assertEqual(dumped[1:], [f"x{i}" for i in range(253)])

    def test_no_main(self):
        rc, out, err = run("-~NoMain", "-x")
        self.assertEqual((rc, out, err), (0, b"", b""))

    def test_start_delay(self):
        # (value, least seconds, most seconds); malformed values do not sleep at all.
        cases = [("1s", 0.95, 30), ("0s", 0, 30), ("2m5", 0, 30), ("1h 1s", 0, 30), ("1x", 0, 30)]
        for value, least, most in cases:
            with self.subTest(value=value):
                began = time.monotonic()
                rc, out, err = run("-~NoMain", "-~StartDelay:" + value, timeout=most)
                took = time.monotonic() - began
                self.assertEqual((rc, out, err), (0, b"", b""))
                self.assertGreaterEqual(took, least)

    def test_working_directory(self):
        if WINE:
            self.skipTest("Wine keeps the Windows current directory to itself; the unit tests "
                          "cover it there")
        with tempfile.TemporaryDirectory() as start, tempfile.TemporaryDirectory() as other:
            open(os.path.join(start, "plain"), "w").close()
            cases = [(other, other), ("sub", os.path.join(start, "sub")),
                     ("plain", start), ("missing", start), ("", start)]
            os.mkdir(os.path.join(start, "sub"))
            for value, expected in cases:
                with self.subTest(value=value):
                    proc = subprocess.Popen(
                        RUNNER + [os.path.abspath(EXE), "-~NoMain", "-~WorkDir:" + value,
                                  "-~StartDelay:3s"], cwd=start, env=environment(),
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    try:
                        time.sleep(1)
                        cwd = os.readlink(f"/proc/{proc.pid}/cwd")
                    finally:
                        proc.kill()
                        proc.wait()
                    self.assertEqual(cwd, os.path.realpath(expected))


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

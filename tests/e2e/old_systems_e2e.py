#!/usr/bin/env python3
"""The stress test on every Windows it names: the Linux layer answers as Windows 95, 98 and NT
4.0 (CALVISTO_WINDOWS), and the program runs or says why it cannot."""
import os
import subprocess
import sys
import time
import unittest

from e2e_support import cpu_seconds, environment, read_until, reaped, run_tests

EXE = None
RUNNER = []  # the emulator in front of a Windows executable
WINE = False
PROMPT = b"Press ^C to stop CPU stress test...\r\n"

# (system, arguments, what follows): "runs" reaches the prompt and loads a processor, an int is
# the exit code of a refusal, a str the first line on standard error.
CASES = [
    # One processor and no way to pin it: a mask with processor 0 runs unpinned.
    ("95", ["-Affinity:1"], "runs"),
    ("95", ["-Affinity:3"], "runs"),
    ("98", ["-Affinity:1"], "runs"),
    ("98", ["-Affinity:2"], 10),
    ("Me", ["-Affinity:0"], 10),
    ("NT4", ["-Affinity:1"], "runs"),
    ("95", ["-~SysInfo", "-~NoMain"], "Windows 95 4.0 "),
    ("98", ["-~SysInfo", "-~NoMain"], "Windows 98 4.10 "),
    ("NT4", ["-~SysInfo", "-~NoMain"], "Windows NT 4.0 "),
]


class OldSystems(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if WINE:
            raise unittest.SkipTest("Wine has no Linux layer to answer as an older Windows")

    def test_each_system(self):
        for system, args, outcome in CASES:
            with self.subTest(system=system, args=args):
                env = environment()
                env["CALVISTO_WINDOWS"] = system
                proc = subprocess.Popen(RUNNER + [EXE, *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=env)
                with reaped(proc):
                    if outcome == "runs":
                        self.assertIn(PROMPT, read_until(proc.stdout, PROMPT, 20))
                        before, began = cpu_seconds(proc.pid), time.monotonic()
                        time.sleep(0.5)
                        share = (cpu_seconds(proc.pid) - before) / (time.monotonic() - began)
                        self.assertGreater(share, 0.5)
                        continue
                    out, err = proc.communicate(timeout=20)
                if isinstance(outcome, int):
                    self.assertEqual(proc.returncode, outcome)
                    self.assertRegex(err, rb"^Affinity mask 0x[0-9A-F]+ rejected: this system "
                                          rb"offers processors 0x1\r\n$")
                else:
                    self.assertEqual(proc.returncode, 0)
                    self.assertTrue(err.decode().startswith(outcome), err)


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

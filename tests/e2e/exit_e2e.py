#!/usr/bin/env python3
"""End-to-end tests of the runtime's orderly exit: the end-of-run lines, the exit code and the
success-exit option, the key wait at a real terminal (a pseudo-terminal that becomes the
program's controlling terminal) and without one, and self-deletion.

A pure virtual call cannot be provoked from outside the program: its handler is tested in the
unit tests (tests/exit), and the product check (tests/product/check_pe.py) makes sure that the
compiler's pure virtual slot target leads to that handler."""
import datetime
import fcntl
import os
import re
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import unittest

from e2e_support import environment, read_until, reaped, run_tests, still_running

EXE = None
RUNNER = []  # the emulator in front of a Windows executable
WINE = False

# Lookups of the exit path, in its order, for a failing run without any of these options.
EXIT_LOOKUPS = ["BeepOnError", "BeepAtExit", "ExitOk", "KeyWait", "NoKeyWait", "MemPeak",
                "MemReport", "LeakReport", "ExitCode", "SelfDelete"]


def run(*args, exe=None, timeout=60):
    """Runs the program in a session of its own: it has no controlling terminal, no console."""
    proc = subprocess.run(RUNNER + [exe or EXE, *args], capture_output=True,
                          stdin=subprocess.DEVNULL, env=environment(), timeout=timeout,
                          start_new_session=True)
    return proc.returncode, proc.stdout, proc.stderr


def lines(data):
    assert data == b"" or data.endswith(b"\r\n"), data[-80:]
    return [line.decode("latin-1") for line in data.split(b"\r\n")[:-1]]


class Terminal:
    """A pseudo-terminal that is the controlling terminal and the standard input of the program
    started on it."""

    def __init__(self):
        self.master, self.slave = os.openpty()

    def start(self, *args):
        slave = self.slave

        def attach():
            os.setsid()
            fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

        # Wine's console reads its standard input when that is a terminal.
        return subprocess.Popen(RUNNER + [EXE, *args], stdin=slave,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=environment(), preexec_fn=attach)

    def type(self, text):
        os.write(self.master, text)

    def local_flags(self):
        return termios.tcgetattr(self.slave)[3]

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class Exit(unittest.TestCase):
    def test_end_of_run_lines(self):
        before = datetime.datetime.now().replace(microsecond=0)
        rc, out, err = run("-x", "-~Timing", "-~TimeStamp", "-~MemPeak", "-~ExitCode")
        after = datetime.datetime.now()
        self.assertEqual(rc, 9)
        shown = lines(err)
        self.assertIn("Unknown command-line argument: '-x'", shown)
        tail = shown[-4:]
        self.assertRegex(tail[0], r"^Time: \d\.\d{3}/U=\d\.\d{3}/K=\d\.\d{3}$")
        m = re.fullmatch(r"End: (\d\d:\d\d:\d\d \d\d\.\d\d\.\d{4})", tail[1])
        self.assertTrue(m, tail[1])
        stamp = datetime.datetime.strptime(m.group(1), "%H:%M:%S %d.%m.%Y")
        self.assertTrue(before <= stamp <= after, (before, stamp, after))
        m = re.fullmatch(r"MemMax: (\d+)", tail[2])
        self.assertTrue(m and int(m.group(1)) > 0, tail[2])
        self.assertEqual(tail[3], "ExitCode: 9")

    def test_exit_code_and_success_exit(self):
        cases = [
            (["-x", "-~ExitCode"], 9, ["ExitCode: 9"]),
            (["-~NoMain", "-~ExitCode"], 0, ["ExitCode: 0"]),
            (["-x", "-~ExitOk", "-~ExitCode"], 0, ["ExitCode: 0"]),
            (["-x", "-~ExitOk", "-~BeepOnError"], 0, []),
            (["-x"], 9, []),
        ]
        for args, code, tail in cases:
            with self.subTest(args=args):
                rc, out, err = run(*args)
                self.assertEqual(rc, code)
                shown = [line for line in lines(err) if not line.startswith("Unknown ")]
                self.assertEqual(shown, tail)

    def test_exit_lookups_in_order(self):
        rc, out, err = run("-x", "-~SysArgDbg")
        self.assertEqual(rc, 9)
        shown = lines(err)
        after_main = shown[shown.index("Unknown command-line argument: '-x'") + 1:]
        checked = [line[len("Checking: -~"):] for line in after_main
                   if line.startswith("Checking: -~")]
        self.assertEqual([name for name in checked if name in EXIT_LOOKUPS], EXIT_LOOKUPS)

    def test_without_a_console_the_key_wait_does_not_block(self):
        began = time.monotonic()
        rc, out, err = run("-~NoMain", "-~KeyWait", "-~ExitCode", timeout=30)
        self.assertEqual((rc, lines(err)), (0, ["ExitCode: 0"]))
        self.assertLess(time.monotonic() - began, 20)

    def test_self_delete(self):
        with tempfile.TemporaryDirectory() as folder:
            copy = os.path.join(folder, os.path.basename(EXE))
            shutil.copy2(EXE, copy)
            rc, out, err = run("-~NoMain", "-~SelfDelete", exe=copy)
            self.assertEqual((rc, out, err), (0, b"", b""))
            # Windows refuses to delete a running image; the exit goes on all the same.
            if not WINE:
                self.assertFalse(os.path.exists(copy))


class KeyWaitAtATerminal(unittest.TestCase):
    def setUp(self):
        self.terminal = Terminal()

    def tearDown(self):
        self.terminal.close()

    def test_waits_for_a_key_with_a_character(self):
        proc = self.terminal.start("-~NoMain", "-~KeyWait", "-~ExitCode")
        with reaped(proc):
            # The end lines are there to be read while the program waits.
            shown = read_until(proc.stderr, b"ExitCode: 0\r\n", 10)
            os.set_blocking(proc.stderr.fileno(), True)
            self.assertTrue(still_running(proc, 1.0), "ended without a key")
            self.terminal.type(b"\x1b[A")  # an arrow: no character
            self.assertTrue(still_running(proc, 0.5), "an arrow ended the wait")
            self.terminal.type(b"k")
            out, err = proc.communicate(timeout=10)
        self.assertEqual((proc.returncode, out, lines(shown + err)), (0, b"", ["ExitCode: 0"]))
        self.assertEqual(err, b"")
        flags = self.terminal.local_flags()
        self.assertTrue(flags & termios.ICANON and flags & termios.ECHO, "terminal left raw")

    def test_key_wait_and_no_key_wait_together_do_not_wait(self):
        proc = self.terminal.start("-x", "-~KeyWait", "-~NoKeyWait")
        with reaped(proc):
            proc.communicate(timeout=20)
        self.assertEqual(proc.returncode, 9)


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

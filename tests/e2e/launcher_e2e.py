#!/usr/bin/env python3
"""End-to-end tests of the launcher check and the console window set-up: a failing run started
by the launcher (a shell under the launcher's file name) waits for a key at its terminal, one
started from a shell does not; the console-window option runs without a word and without
hanging."""
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import termios
import time
import unittest

from e2e_support import environment, reaped, run_tests, still_running

EXE = None
RUNNER = []  # the emulator in front of a Windows executable
WINE = False
LAUNCHER = "CvLaunch.exe"
UNKNOWN = b"Unknown command-line argument: '-x'\r\n"
# Starts the program as a child of the shell, which waits for it.
SCRIPT = '"$0" "$@"; exit $?'


def other_launchers(mine):
    """Processes of other runs on this machine that carry the launcher's name."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            path = os.readlink(f"/proc/{pid}/exe")
        except OSError:
            continue
        if os.path.basename(path).lower() == LAUNCHER.lower() and int(pid) not in mine:
            found.append(int(pid))
    return found


class KeyWaitUnderTheLauncher(unittest.TestCase):
    def setUp(self):
        if WINE:
            self.skipTest("Wine's console does not read the controlling terminal as CONIN$")
        self.folder = tempfile.mkdtemp()
        self.master, self.slave = os.openpty()

    def tearDown(self):
        os.close(self.master)
        os.close(self.slave)
        shutil.rmtree(self.folder)

    def shell_named(self, name):
        path = os.path.join(self.folder, name)
        shutil.copy("/bin/sh", path)
        return path

    def spawn(self, command, system=None):
        """Starts the command on the pseudo-terminal, which becomes its controlling terminal."""
        def attach():
            os.setsid()
            fcntl.ioctl(self.slave, termios.TIOCSCTTY, 0)

        env = environment()
        if system is not None:
            env["CALVISTO_WINDOWS"] = system
        return subprocess.Popen(command, stdin=self.slave, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, preexec_fn=attach)

    def start(self, shell, *args, system=None):
        return self.spawn([shell, "-c", SCRIPT, *RUNNER, EXE, *args], system)

    def test_failure_under_the_launcher_waits_for_a_key(self):
        # Each system finds the launcher its own way: psapi (XP), the native process list (NT
        # 4.0 has no psapi) and the toolhelp snapshot (98).
        cases = [(LAUNCHER, None), (LAUNCHER.upper(), None), (LAUNCHER.lower(), None),
                 (LAUNCHER, "NT4"), (LAUNCHER, "98")]
        for name, system in cases:
            with self.subTest(name=name, system=system):
                proc = self.start(self.shell_named(name), "-x", system=system)
                with reaped(proc):
                    waited = still_running(proc, 1.5)
                    if not waited and other_launchers({proc.pid}):
                        self.skipTest("another run's launcher is the last one enumerated")
                    self.assertTrue(waited, "ended without a key")
                    os.write(self.master, b"k")
                    out, err = proc.communicate(timeout=10)
                self.assertEqual((proc.returncode, err), (9, UNKNOWN))

    def test_instance_of_the_real_launcher_waits_after_a_failure(self):
        # An instance for a processor the machine lacks fails its set-up and waits for a key; the
        # launcher, which has no other instance, waits for it and ends with its code.
        launcher = os.path.join(os.path.dirname(EXE), LAUNCHER)
        beyond = 1 << min(os.cpu_count(), 31)
        proc = self.spawn([*RUNNER, launcher, "-Shared", f"-Cpus:{beyond:#x}"])
        with reaped(proc):
            self.assertTrue(still_running(proc, 3), "the instance ended without a key")
            os.write(self.master, b"k")
            out, err = proc.communicate(timeout=10)
        self.assertEqual(proc.returncode, 10, out)

    def test_no_wait_from_a_shell_or_after_success(self):
        cases = [
            ("a shell", "/bin/sh", ["-x"], 9),
            ("a shell under another name", self.shell_named("CvLaunch.com"), ["-x"], 9),
            ("the launcher, success", self.shell_named(LAUNCHER), ["-~NoMain"], 0),
            ("the launcher, no key wait", self.shell_named(LAUNCHER), ["-x", "-~NoKeyWait"], 9),
        ]
        for what, shell, args, code in cases:
            with self.subTest(what=what):
                proc = self.start(shell, *args)
                with reaped(proc):
                    proc.communicate(timeout=20)
                self.assertEqual(proc.returncode, code)


class ConsoleWindow(unittest.TestCase):
    def test_console_window_option_runs_quietly(self):
        for value in ["100,40", "*1,max", "max", "80,max", "4,40"]:
            with self.subTest(value=value):
                began = time.monotonic()
                proc = subprocess.run(RUNNER + [EXE, "-x", "-~ConWin:" + value],
                                      capture_output=True, stdin=subprocess.DEVNULL,
                                      env=environment(), timeout=60, start_new_session=True)
                self.assertEqual((proc.returncode, proc.stderr), (9, UNKNOWN))
                self.assertLess(time.monotonic() - began, 30)


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

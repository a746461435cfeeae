#!/usr/bin/env python3
"""The launcher, CvLaunch.exe: one instance pinned to each processor, a status per interval with
each one's share, an end for all (a set time, SIGINT) or one (a refused mask). And the key wait at
a real terminal (a pseudo-terminal as the controlling one): asked for, or after a failed run."""
import contextlib, os, re, shutil, signal, sys, tempfile, termios, time, unittest

from e2e_support import (environment, gone, lines, read_until, reaped, run, run_tests, start,
                         still_running)

LAUNCHER = "CvLaunch.exe"
STATUS = re.compile(r"^\d+s(, \d+s left)?:((?:  \d+ \d+%!?)+)$")
CPUS = min(os.cpu_count(), 31)


def launcher(*args, how=run, **more):
    # The instances share the launcher's output here, so that the test reads theirs too.
    return how("-Shared", *args, exe=os.path.join(os.path.dirname(EXE), LAUNCHER), **more)


def text(data):
    return data.decode("latin-1").replace("\r\n", "\n")


def shares(out):
    """The processors' shares (percent, marked) of each status line."""
    return [{int(p): (int(s), bang == "!") for p, s, bang in re.findall(r"(\d+) (\d+)%(!?)", m[2])}
            for m in map(STATUS.match, text(out).splitlines()) if m]


class Launcher(unittest.TestCase):
    def started(self, proc, seconds):
        """processor -> process id, from the launcher's lines of the first seconds."""
        time.sleep(seconds)
        return {int(m[1]): int(m[2]) for m in re.finditer(
            r"^Processor (\d+): process (\d+)$", text(os.read(proc.stdout.fileno(), 65536)), re.M)}

    def test_set_time_loads_every_processor_and_ends_all(self):
        with reaped(launcher("-Time:5s", how=start)) as proc:
            started = self.started(proc, 2)
            self.assertEqual(sorted(started), list(range(CPUS)))
            if not WINE:
                self.assertEqual({p: os.sched_getaffinity(pid) for p, pid in started.items()},
                                 {p: {p} for p in started})
            out, err = proc.communicate(timeout=20)
        self.assertEqual(proc.returncode, 0, err)
        self.assertTrue(measured := shares(out), out)
        # A share below 90% is marked. Near a whole processor each, in some interval: the
        # machine may be busy for a moment. Wine reports no processor time for another process.
        self.assertTrue(all(mark == (share < 90) for interval in measured
                            for share, mark in interval.values()), measured)
        if not WINE:
            self.assertTrue(any(all(share >= 80 for share, _ in interval.values())
                                for interval in measured), measured)
        for processor, pid in started.items():
            self.assertRegex(text(out), rf"Processor {processor}: process {pid} stopped, \d+% of")
            self.assertTrue(gone(pid), pid)

    def test_sigint_ends_everything_at_once(self):
        with reaped(launcher(how=start)) as proc:
            started = self.started(proc, 1.5)
            proc.send_signal(signal.SIGINT)
            began = time.monotonic()
            out, err = proc.communicate(timeout=10)
        self.assertLess(time.monotonic() - began, 3)
        self.assertEqual(proc.returncode, 0, err)
        time.sleep(0.2)
        self.assertTrue(all(gone(pid) for pid in started.values()), started)

    def test_one_instance_ends_alone_or_all_are_refused(self):
        rc, out, err = launcher(f"-Cpus:{1 | 1 << CPUS:#x}", "-Time:3s")
        self.assertEqual(rc, 10, out)
        self.assertRegex(text(out), rf"Processor {CPUS}: process \d+ ended with exit code 10\n")
        self.assertRegex(text(out), r"Processor 0: process \d+ stopped")
        for args in (["-x"], ["-Cpus:"], ["-Time:5"], ["-Affinity:1"]):
            with self.subTest(args=args):
                rc, out, err = launcher(*args)
                self.assertEqual(rc, 9)
                self.assertEqual(text(err), f"Unknown command-line argument: '{args[0]}'\n")
                self.assertIn("Usage: ", text(out))


class KeyWait(unittest.TestCase):
    def setUp(self):
        self.master, self.slave = os.openpty()
        self.addCleanup(os.close, self.master)
        self.addCleanup(os.close, self.slave)

    def waits_for_a_key(self, proc, seconds):
        """True when the process still ran after the given time; a key then ends its wait."""
        waited = still_running(proc, seconds)
        os.write(self.master, b"k")
        return waited

    def test_key_wait_option_waits_for_a_key(self):
        # Wine's console reads its standard input when that is a terminal.
        with reaped(start("-~NoMain", "-~KeyWait", "-~ExitCode", terminal=self.slave)) as proc:
            # The end lines are there to be read while the program waits.
            shown = read_until(proc.stderr, b"ExitCode: 0\r\n", 10)
            os.set_blocking(proc.stderr.fileno(), True)
            self.assertTrue(self.waits_for_a_key(proc, 1.0), "ended without a key")
            out, err = proc.communicate(timeout=10)
        self.assertEqual((proc.returncode, out, lines(shown + err)), (0, b"", ["ExitCode: 0"]))
        self.assertEqual(err, b"")
        flags = termios.tcgetattr(self.slave)[3]
        self.assertTrue(flags & termios.ICANON and flags & termios.ECHO, "terminal left raw")

    def test_failure_under_the_launcher_waits_for_a_key(self):
        if WINE:
            self.skipTest("Wine's console does not read the controlling terminal as CONIN$")
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        shell = shutil.copy("/bin/sh", os.path.join(folder.name, LAUNCHER))
        # Each system finds the launcher its own way: psapi (XP), the native process list (NT
        # 4.0 has no psapi) and the toolhelp snapshot (98). The shell waits for the program.
        for system in ({}, {"CALVISTO_WINDOWS": "NT4"}, {"CALVISTO_WINDOWS": "98"}):
            with self.subTest(system=system), reaped(start(
                    command=[shell, "-c", '"$0" "$@"; exit $?', *RUNNER, EXE, "-x"],
                    env=environment(**system), terminal=self.slave)) as proc:
                waited = self.waits_for_a_key(proc, 1.5)
                if not waited and other_launchers({proc.pid}):
                    self.skipTest("another run's launcher is the last one enumerated")
                self.assertTrue(waited, "ended without a key")
                self.assertEqual((proc.wait(10), proc.stderr.read()),
                                 (9, b"Unknown command-line argument: '-x'\r\n"))

    def test_instance_of_the_real_launcher_waits_after_a_failure(self):
        if WINE:
            self.skipTest("Wine's console does not read the controlling terminal as CONIN$")
        # An instance for a processor the machine lacks fails its set-up and waits for a key; the
        # launcher, which has no other instance, waits for it and ends with its code.
        with reaped(launcher(f"-Cpus:{1 << CPUS:#x}", how=start, terminal=self.slave)) as proc:
            self.assertTrue(self.waits_for_a_key(proc, 3), "the instance ended without a key")
            self.assertEqual(proc.wait(10), 10)


def other_launchers(mine):
    """Processes of other runs on this machine that carry the launcher's name."""
    def name(pid):
        with contextlib.suppress(OSError):
            return os.path.basename(os.readlink(f"/proc/{pid}/exe")).lower()
    return [p for p in os.listdir("/proc") if p.isdigit() and int(p) not in mine and
            name(p) == LAUNCHER.lower()]


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

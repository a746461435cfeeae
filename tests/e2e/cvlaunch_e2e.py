#!/usr/bin/env python3
"""End-to-end tests of the launcher, CvLaunch.exe beside the stress program: one instance per
processor, each pinned to its own, a status per interval with each one's share of its processor,
and an end for all together (a set time, SIGINT) or for one alone (a refused mask)."""
import os
import re
import signal
import subprocess
import sys
import time
import unittest

from e2e_support import environment, reaped, run_tests

EXE = None
RUNNER = []  # the emulator in front of a Windows executable
WINE = False
STATUS = re.compile(r"^\d+s(, \d+s left)?:((?:  \d+ \d+%!?)+)$")
CPUS = min(os.cpu_count(), 31)


def launcher():
    return os.path.join(os.path.dirname(EXE), "CvLaunch.exe")


def start(*args):
    # The instances share the launcher's output here, so that the test reads theirs too.
    return subprocess.Popen(RUNNER + [launcher(), "-Shared", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=environment(),
                            start_new_session=True)


def text(data):
    return data.decode("latin-1").replace("\r\n", "\n")


def instances(out):
    """processor -> process id, from the launcher's lines."""
    return {int(m[1]): int(m[2]) for m in re.finditer(r"^Processor (\d+): process (\d+)$",
                                                      out, re.M)}


def shares(out):
    """The processors' shares of each status line."""
    found = []
    for line in out.splitlines():
        m = STATUS.match(line)
        if m:
            found.append({int(p): (int(s), bang == "!")
                          for p, s, bang in re.findall(r"(\d+) (\d+)%(!?)", m.group(2))})
    return found


def allowed_processors(pid):
    with open(f"/proc/{pid}/status") as f:
        return re.search(r"^Cpus_allowed_list:\s*(\S+)$", f.read(), re.M).group(1)


class Launcher(unittest.TestCase):
    def test_set_time_loads_every_processor_and_ends_all(self):
        proc = start("-Time:5s")
        with reaped(proc):
            time.sleep(2)
            started = instances(text(os.read(proc.stdout.fileno(), 65536)))
            self.assertEqual(sorted(started), list(range(CPUS)))
            if not WINE:
                for processor, pid in started.items():
                    self.assertEqual(allowed_processors(pid), str(processor))
            out, err = proc.communicate(timeout=20)
        self.assertEqual(proc.returncode, 0, err)
        out = text(out)
        measured = shares(out)
        self.assertTrue(measured, out)
        # Near a whole processor each, in some interval: the machine may be busy for a moment.
        # Wine reports no processor time for another process: its shares read 0.
        if not WINE:
            self.assertTrue(any(all(share >= 80 for share, _ in interval.values())
                                for interval in measured), measured)
        for processor, pid in started.items():
            self.assertRegex(out, rf"Processor {processor}: process {pid} stopped, \d+% of its")
        for pid in started.values():
            self.assertFalse(os.path.exists(f"/proc/{pid}") and not zombie(pid), pid)

    def test_starved_instance_is_marked(self):
        if WINE:
            self.skipTest("Wine's processes cannot be pinned beside a competitor from here")
        rival = subprocess.Popen([sys.executable, "-c", "while True: pass"])
        with reaped(rival):
            os.sched_setaffinity(rival.pid, {0})
            proc = start("-Cpus:1", "-Time:5s")
            with reaped(proc):
                out, err = proc.communicate(timeout=20)
        measured = shares(text(out))
        self.assertTrue(measured and measured[-1][0][1], text(out))

    def test_sigint_ends_everything_at_once(self):
        proc = start()
        with reaped(proc):
            time.sleep(1.5)
            started = instances(text(os.read(proc.stdout.fileno(), 65536)))
            proc.send_signal(signal.SIGINT)
            began = time.monotonic()
            out, err = proc.communicate(timeout=10)
        self.assertLess(time.monotonic() - began, 3)
        self.assertEqual(proc.returncode, 0, err)
        time.sleep(0.2)
        for pid in started.values():
            self.assertTrue(not os.path.exists(f"/proc/{pid}") or zombie(pid), pid)

    def test_refused_instance_is_reported_while_the_other_runs(self):
        beyond = 1 << CPUS
        proc = start(f"-Cpus:{1 | beyond:#x}", "-Time:3s")
        with reaped(proc):
            out, err = proc.communicate(timeout=20)
        out = text(out)
        self.assertEqual(proc.returncode, 10, out)
        self.assertRegex(out, rf"Processor {CPUS}: process \d+ ended with exit code 10\n")
        self.assertRegex(out, r"Processor 0: process \d+ stopped")

    def test_unknown_argument(self):
        for args in (["-x"], ["-Cpus:"], ["-Time:5"], ["-Affinity:1"]):
            with self.subTest(args=args):
                proc = start(*args)
                with reaped(proc):
                    out, err = proc.communicate(timeout=20)
                self.assertEqual(proc.returncode, 9)
                self.assertEqual(text(err), f"Unknown command-line argument: '{args[0]}'\n")
                self.assertIn("Usage: ", text(out))


def zombie(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

#!/usr/bin/env python3
"""End-to-end tests of the calvisto program: start it as a user would, read what it writes,
its exit code and how it loads the processors, and stop it with Ctrl+C (SIGINT)."""
import os
import signal
import subprocess
import sys
import time
import unittest

from e2e_support import cpu_seconds, read_until, run_tests

EXE = None
RUNNER = []  # the emulator in front of a Windows executable
WINE = False
PROMPT = b"Press ^C to stop CPU stress test...\r\n"
BANNER_START = b"Calvisto 1.1  "


def start(*args):
    return subprocess.Popen(RUNNER + [EXE, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)


def run(*args, timeout=60):
    proc = start(*args)
    out, err = proc.communicate(timeout=timeout)
    return proc.returncode, out, err


def processors_used(pid, seconds):
    """The processors the busiest thread ran on, sampled over the given time."""
    seen = set()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        busiest, most = None, -1
        for tid in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{tid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except FileNotFoundError:
                continue
            if int(fields[11]) > most:
                busiest, most = int(fields[36]), int(fields[11])
        seen.add(busiest)
        time.sleep(0.05)
    return seen


def loaded_process(proc):
    """The process that carries the load: the program itself, or under Wine its preloader."""
    if not WINE:
        return proc.pid
    best, most = proc.pid, -1
    for pid in [p for p in os.listdir("/proc") if p.isdigit()]:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if os.path.basename(EXE).encode() not in f.read():
                    continue
            used = cpu_seconds(pid)
        except (FileNotFoundError, ProcessLookupError, PermissionError):
            continue
        if used > most:
            best, most = int(pid), used
    return best


class Stress(unittest.TestCase):
    def test_burns_one_processor_of_the_mask_until_ctrl_c(self):
        cpus = os.cpu_count()
        cases = [("-Affinity:1", {0}), ("-Affinity:2", {1}), ("-Affinity:0x3", {0, 1})]
        for arg, allowed in cases:
            if max(allowed) >= cpus:
                continue
            with self.subTest(arg=arg):
                proc = start(arg)
                try:
                    out = read_until(proc.stdout, PROMPT, 30)
                    self.assertTrue(out.startswith(BANNER_START), out)
                    self.assertIn(b"\r\n\r\n" + PROMPT, out)
                    pid = loaded_process(proc)
                    before = cpu_seconds(pid)
                    used_on = processors_used(pid, 1.0)
                    burned = cpu_seconds(pid) - before
                    self.assertGreater(burned, 0.4, "about one processor's worth over a second")
                    self.assertLess(burned, 1.6, "one thread carries the load")
                    if not WINE:
                        self.assertLessEqual(used_on, allowed)
                    proc.send_signal(signal.SIGINT)
                    proc.wait(timeout=10)
                    rest = proc.stdout.read() or b""
                    if not WINE:
                        self.assertEqual(proc.returncode, -signal.SIGINT)
                        self.assertEqual(rest, b"")
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()

    def test_arguments(self):
        path = os.path.realpath(EXE).encode()
        usage_tail = b" [-Affinity:<n>] [-v]]\r\n"
        cases = [
            (["-V"], 9, b"-V"),
            (["-affinity:2"], 9, b"-affinity:2"),
            (["-Affinity"], 9, b"-Affinity"),
            (["-x", "-Affinity:1"], 9, b"-x"),
            # No value reads as mask 0; a processor the machine lacks cannot be had either.
            (["-v", "-Affinity:"], 10, 0),
            (["-Affinity:junk"], 10, 0),
        ]
        if os.cpu_count() < 32:
            cases.append(([f"-Affinity:{1 << os.cpu_count():#x}"], 10, 1 << os.cpu_count()))
        for args, code, unknown in cases:
            with self.subTest(args=args):
                rc, out, err = run(*args)
                self.assertEqual(rc, code)
                self.assertTrue(out.startswith(BANNER_START), out)
                if isinstance(unknown, int):
                    offered = b"[0-9A-F]+" if WINE else b"%X" % ((1 << os.cpu_count()) - 1)
                    self.assertRegex(err, b"^Affinity mask 0x%X rejected: this system offers "
                                          b"processors 0x" % unknown + offered + b"\r\n$")
                    self.assertTrue(out.endswith(b"\r\n\r\n"), out)
                    self.assertNotIn(PROMPT, out)
                    continue
                self.assertEqual(err, b"Unknown command-line argument: '" + unknown + b"'\r\n")
                usage = out.split(b"\r\n\r\n", 1)[1]
                self.assertTrue(usage.startswith(b"Usage: ") and usage.endswith(usage_tail), usage)
                shown = usage[len(b"Usage: "):-len(usage_tail)]
                if WINE:
                    self.assertTrue(shown.lower().endswith(os.path.basename(path).lower()), shown)
                else:
                    self.assertEqual(shown, path)


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

#!/usr/bin/env python3
"""End-to-end tests of the thread object and the pool as the program uses them: the CPU report
identifies every processor from a thread pinned to it, one after another; the memory-peak line
shows the pool's peak, the same number the pool's own report gives; a run that ends normally
leaves no block behind; and the thread-info option describes the start-up thread at exit."""
import os
import re
import subprocess
import sys
import unittest

from e2e_support import run_tests

EXE = None
RUNNER = []


def run(*args):
    env = {k: v for k, v in os.environ.items() if k not in ("_GlobSysArgs_", "_Heap_Mgr_")}
    proc = subprocess.run(RUNNER + [EXE, *args], capture_output=True, stdin=subprocess.DEVNULL,
                          env=env, timeout=120, start_new_session=True)
    return proc.returncode, proc.stdout, proc.stderr


def lines(data):
    assert data == b"" or data.endswith(b"\r\n"), data[-80:]
    return [line.decode("latin-1") for line in data.split(b"\r\n")[:-1]]


class Threads(unittest.TestCase):
    def test_cpu_report_runs_once_per_processor_in_order(self):
        rc, _, err = run("-~CpuReport", "-~NoMain")
        self.assertEqual(rc, 0)
        shown = lines(err)
        blocks = [line for line in shown if line.startswith("CPU: ")]
        count = os.cpu_count()
        if count == 1:
            self.assertEqual(blocks, [])
            return
        self.assertEqual(blocks, [f"CPU: {i}" for i in range(count)])
        # Every block is a whole identification: it starts with leaf 0 and leaf 1.
        for i in range(count):
            at = shown.index(f"CPU: {i}")
            self.assertTrue(shown[at + 1].startswith("CPUID0:"), shown[at + 1])
            self.assertTrue(shown[at + 2].startswith("CPUID1:"), shown[at + 2])
        # The no-pinning option leaves one identification on the start-up thread.
        rc, _, err = run("-~CpuReport", "-~NoPinning", "-~NoMain")
        shown = lines(err)
        self.assertEqual([line for line in shown if line.startswith("CPU: ")], [])
        self.assertEqual(len([line for line in shown if line.startswith("CPUID0:")]), 1)

    def test_memory_peak_is_the_pools_and_nothing_leaks(self):
        for args in (["-~NoMain"], ["-x"], ["-~CpuReport", "-~NoMain"]):
            with self.subTest(args=args):
                _, _, err = run(*args, "-~MemPeak", "-~MemReport")
                shown = lines(err)
                peak = [int(m.group(1)) for m in map(re.compile(r"MemMax: (\d+)$").match, shown)
                        if m]
                self.assertEqual(len(peak), 1, shown)
                self.assertGreater(peak[0], 0)
                report = re.fullmatch(r"CU:(\d+),(\d+),MU:(\d+),(\d+),AC:(\d+),MA:(\d+),CM:(\d+)",
                                      shown[-1])
                self.assertTrue(report, shown[-1])
                self.assertEqual(report.group(1, 2), ("0", "0"), "blocks left at exit")
                self.assertEqual(int(report.group(4)), peak[0])
                self.assertEqual(report.group(6), "1", "one region is enough for the runtime")
                _, _, err = run(*args, "-~LeakReport")
                self.assertFalse(any(line.startswith("CU:") for line in lines(err)), err)

    def test_thread_info_describes_the_start_up_thread_at_exit(self):
        _, _, err = run("-~ThreadInfo", "-~NoMain", "-~ExitCode")
        shown = lines(err)
        self.assertEqual(shown[-2], "ExitCode: 0")
        m = re.fullmatch(r"ThreadId: (\d+), Stack: (\d+) KiB", shown[-1])
        self.assertTrue(m, shown[-1])
        self.assertGreater(int(m.group(2)), 0)
        _, _, err = run("-~NoMain")
        self.assertEqual(err, b"")


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

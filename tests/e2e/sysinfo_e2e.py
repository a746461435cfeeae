#!/usr/bin/env python3
"""End-to-end tests of the system identification on the machine that runs them: the CPU-report
option's CPUID lines, the processor class the start-up derives from them, and the system
description line, natively and under Wine (where the line must end in " [WINE]")."""
import os
import re
import subprocess
import sys
import unittest

from e2e_support import run_tests

EXE = None
RUNNER = []  # the emulator in front of a Windows executable
WINE = False
PE32 = False
UNKNOWN = "Unknown command-line argument: '-x'"
VENDOR_CODES = {"GenuineIntel": 1, "AuthenticAMD": 2, "CentaurHauls": 3, "GenuineTMx86": 4}
REGISTERS = r"([0-9A-F]{8}),([0-9A-F]{8}),([0-9A-F]{8}),([0-9A-F]{8})"


def run(*args, timeout=60):
    env = {k: v for k, v in os.environ.items() if k != "_GlobSysArgs_"}
    proc = subprocess.run(RUNNER + [EXE, *args], capture_output=True, stdin=subprocess.DEVNULL,
                          env=env, timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr


def lines(data):
    """The lines of a text whose every line ends in CR LF."""
    assert data == b"" or data.endswith(b"\r\n"), data[-80:]
    return [line.decode("latin-1") for line in data.split(b"\r\n")[:-1]]


def cpuinfo():
    """The first processor's fields of /proc/cpuinfo."""
    fields = {}
    with open("/proc/cpuinfo") as f:
        for line in f:
            if not line.strip():
                break
            key, _, value = line.partition(":")
            fields[key.strip()] = value.strip()
    return fields


def reads_extended_leaves(vendor, family, model):
    return {1: family == 15 or (family == 6 and model >= 7), 2: family >= 5,
            3: family >= 6, 4: family >= 5}.get(vendor, False)


class CpuReport(unittest.TestCase):
    def test_every_leaf_in_order_and_the_name(self):
        rc, out, err = run("-x", "-~CpuReport")
        self.assertEqual(rc, 9)
        got = lines(err)
        self.assertEqual(got[-1], UNKNOWN)
        report = got[:-1]
        # On a machine of several processors each one's block follows its "CPU: n" line.
        starts = [i for i, line in enumerate(report) if line.startswith("CPU: ")]
        if not starts:
            self.check_block(report)
            return
        self.assertEqual(starts[0], 0, report)
        self.assertEqual([report[i] for i in starts],
                         [f"CPU: {n}" for n in range(os.cpu_count())])
        for begin, end in zip(starts, starts[1:] + [len(report)]):
            with self.subTest(block=report[begin]):
                self.check_block(report[begin + 1:end])

    def check_block(self, report):
        info = cpuinfo()
        first = re.fullmatch(r"CPUID0:" + REGISTERS + r" \[(.{12}),(\d)\]", report[0])
        self.assertIsNotNone(first, report[0])
        max_leaf = int(first.group(1), 16)
        vendor = first.group(5)
        self.assertEqual(vendor, info["vendor_id"])
        self.assertEqual(int(first.group(6)), VENDOR_CODES.get(vendor, 0))

        second = re.fullmatch(r"CPUID1:" + REGISTERS +
                              r" \[Family:([0-9A-F]),Model:([0-9A-F]),Stepping:([0-9A-F]),"
                              r"Brand:([0-9A-F]{1,2})\]", report[1])
        self.assertIsNotNone(second, report[1])
        eax = int(second.group(1), 16)
        family, model = int(second.group(5), 16), int(second.group(6), 16)
        self.assertEqual((family, model, int(second.group(7), 16)),
                         ((eax >> 8) & 15, (eax >> 4) & 15, eax & 15))
        self.assertEqual(int(second.group(8), 16), int(second.group(2), 16) & 0xFF)

        # Every standard leaf up to the highest, each once, in order.
        at = 2
        for n in range(2, max_leaf + 1):
            self.assertRegex(report[at], rf"^CPUID{n}:{REGISTERS}$")
            at += 1
        rest = report[at:]
        if not reads_extended_leaves(VENDOR_CODES.get(vendor), family, model):
            self.assertEqual(rest, [])
            return
        top = re.fullmatch(r"CPUID-X:([0-9A-F]{8})", rest[0])
        self.assertIsNotNone(top, rest[0])
        max_ext = int(top.group(1), 16)
        count = max_ext & 0x7FFFFFFF if max_ext & 0x80000000 else 0
        for n in range(1, count + 1):
            self.assertRegex(rest[n], rf"^CPUID-X{n}:{REGISTERS}$")
        tail = rest[count + 1:]
        # The name line is the brand string of leaves 0x80000002..4 without its leading blanks.
        brand = b""
        for n in range(2, min(count, 4) + 1):
            for word in re.fullmatch(rf"CPUID-X{n}:{REGISTERS}", rest[n]).groups():
                brand += int(word, 16).to_bytes(4, "little")
        brand = brand.split(b"\0")[0].lstrip(b" ").decode("latin-1")
        self.assertEqual(tail, [brand] if brand else [])

    def test_processor_class_follows_the_real_processor(self):
        rc, out, err = run("-x", "-~CpuReport", "-~ShowCpuClass")
        self.assertEqual(rc, 9)
        shown = lines(err)
        self.assertEqual(shown[-1], UNKNOWN)
        leaf1 = next(m for m in (re.fullmatch(r"CPUID1:" + REGISTERS + r" .*", line)
                                 for line in shown) if m)
        family = (int(leaf1.group(1), 16) >> 8) & 15
        edx = int(leaf1.group(4), 16)
        mmx, fxsr, sse = (edx >> 23) & 1, (edx >> 24) & 1, (edx >> 25) & 1
        # Every system that runs x86-64 code enables SSE, so the bit alone decides here.
        if family == 5:
            expected = 8 if mmx else 2
        elif family == 6:
            expected = 4 if not mmx else 16 if not fxsr else 128 if sse else 32
        elif family == 15:
            expected = 512 if sse else 256
        else:
            expected = 1
        self.assertEqual(shown[-2].split(": ")[1], f"{expected:08X}", shown)

    def test_without_the_option_nothing_is_reported(self):
        rc, out, err = run("-x")
        self.assertEqual((rc, lines(err)), (9, [UNKNOWN]))


class SystemDescription(unittest.TestCase):
    def test_line_names_the_system(self):
        rc, out, err = run("-x", "-~SysInfo")
        self.assertEqual(rc, 9)
        got = lines(err)
        self.assertEqual(len(got), 2, got)
        self.assertEqual(got[1], UNKNOWN)
        line = got[0]
        if WINE:
            self.assertRegex(line, r"^Windows [^\[]+ \d+\.\d+ .*Build \d+( \[.*\])? \[WINE\]$")
            return
        # The layer's version record: the NT family as XP, and the host where the service pack
        # would be. A 64-bit process has no processor part; a 32-bit one names the processor
        # by its brand string, and how many there are.
        uname = os.uname()
        m = re.fullmatch(r"Windows XP 5\.1 (?:\((?:(\d+)x )?(.+?)( Hyper-Threading)?\) )?"
                         r"Build 2600 \[(.*)\]", line)
        self.assertTrue(m, line)
        self.assertEqual(m.group(4), f"{uname.sysname} {uname.release}")
        if not PE32:
            self.assertIsNone(m.group(2), line)
            return
        self.assertEqual(m.group(2), cpuinfo()["model name"])
        cpus = os.cpu_count()
        if m.group(3):
            self.assertLessEqual(int(m.group(1)), cpus, line)  # packages, not processors
        else:
            self.assertEqual(int(m.group(1) or 1), cpus, line)

    def test_line_comes_after_the_other_start_up_lines(self):
        rc, out, err = run("-x", "-~SysInfo", "-~ShowCpuClass")
        got = lines(err)
        self.assertEqual(len(got), 3, got)
        self.assertTrue(got[1].startswith("Windows "), got)


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

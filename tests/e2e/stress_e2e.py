#!/usr/bin/env python3
"""The calvisto program as a user starts it: what it writes, its exit code, how it loads the
processors until Ctrl+C (SIGINT), also as the older systems the Linux layer answers as
(CALVISTO_WINDOWS), and the CPU report of each processor, against the kernel's own reading."""
import os, pathlib, re, signal, sys, time, unittest

from e2e_support import (BANNER_START, PROMPT, USAGE_TAIL, cpu_seconds, environment,
                         is_program_path, lines, read_until, reaped, run, run_tests, start,
                         thread_stats)


def cpuinfo():
    """The first processor's fields of /proc/cpuinfo."""
    first = pathlib.Path("/proc/cpuinfo").read_text().split("\n\n")[0].splitlines()
    return {k.strip(): v.strip() for k, _, v in (line.partition(":") for line in first)}


class Stress(unittest.TestCase):
    def test_burns_one_processor_of_the_mask_until_ctrl_c(self):
        every = set(range(os.cpu_count()))
        # (CALVISTO_WINDOWS, mask, processors it may run on): 95, 98 and Me have one processor
        # and no way to pin it, so a mask with processor 0 runs unpinned; NT 4.0 pins.
        cases = [(None, "-Affinity:1", {0}), (None, "-Affinity:2", {1}),
                 (None, "-Affinity:0x3", {0, 1}), ("95", "-Affinity:1", every),
                 ("95", "-Affinity:3", every), ("98", "-Affinity:1", every),
                 ("NT4", "-Affinity:1", {0})]
        for system, arg, allowed in cases:
            if not allowed <= every or (system and WINE):
                continue
            env = environment(CALVISTO_WINDOWS=system)
            with self.subTest(system=system, arg=arg), reaped(start(arg, env=env)) as proc:
                out = read_until(proc.stdout, PROMPT, 30)
                self.assertTrue(out.startswith(BANNER_START), out)
                self.assertIn(b"\r\n\r\n" + PROMPT, out)
                # Wine runs the program in a process of its own, whose load is not measured.
                if not WINE:
                    before, used_on = cpu_seconds(proc.pid), set()
                    for _ in range(20):  # the processors the busiest thread ran on, for a second
                        used_on.add(max((f[11], f[36]) for f in thread_stats(proc.pid))[1])
                        time.sleep(0.05)
                    burned = cpu_seconds(proc.pid) - before
                    self.assertGreater(burned, 0.4, "about one processor's worth over a second")
                    self.assertLess(burned, 1.6, "one thread carries the load")
                    self.assertLessEqual(used_on, allowed)
                proc.send_signal(signal.SIGINT)
                proc.wait(timeout=10)
                if not WINE:
                    self.assertEqual((proc.returncode, proc.stdout.read()), (-signal.SIGINT, b""))

    def test_arguments(self):
        # (CALVISTO_WINDOWS, arguments, exit code, the unknown argument or the refused mask)
        cases = [(None, ["-V"], 9, b"-V"), (None, ["-affinity:2"], 9, b"-affinity:2"),
                 (None, ["-Affinity"], 9, b"-Affinity"), (None, ["-x", "-Affinity:1"], 9, b"-x"),
                 # No value reads as mask 0; a processor the machine lacks cannot be had either.
                 (None, ["-v", "-Affinity:"], 10, 0), (None, ["-Affinity:junk"], 10, 0),
                 ("98", ["-Affinity:2"], 10, 2), ("Me", ["-Affinity:0"], 10, 0)]
        if os.cpu_count() < 32:
            cases.append((None, [f"-Affinity:{1 << os.cpu_count():#x}"], 10, 1 << os.cpu_count()))
        for system, args, code, unknown in cases:
            if system and WINE:
                continue
            with self.subTest(system=system, args=args):
                rc, out, err = run(*args, env=environment(CALVISTO_WINDOWS=system))
                self.assertEqual(rc, code)
                self.assertTrue(out.startswith(BANNER_START), out)
                if isinstance(unknown, int):
                    offered = b"1" if system else b"[0-9A-F]+" if WINE else \
                        b"%X" % ((1 << os.cpu_count()) - 1)
                    self.assertRegex(err, b"^Affinity mask 0x%X rejected: this system offers "
                                          b"processors 0x" % unknown + offered + b"\r\n$")
                    self.assertTrue(out.endswith(b"\r\n\r\n"), out)
                    self.assertNotIn(PROMPT, out)
                    continue
                self.assertEqual(err, b"Unknown command-line argument: '" + unknown + b"'\r\n")
                usage = out.split(b"\r\n\r\n", 1)[1]
                self.assertTrue(usage.startswith(b"Usage: ") and usage.endswith(USAGE_TAIL), usage)
                self.assertTrue(is_program_path(usage[7:-len(USAGE_TAIL)].decode("latin-1")), usage)

    def test_cpu_report_identifies_every_processor(self):
        rc, out, err = run("-~NoMain", "-~CpuReport")
        self.assertEqual((rc, out), (0, b""))
        shown, info, cpus = lines(err), cpuinfo(), os.cpu_count()
        starts = [i for i, line in enumerate(shown) if line.startswith("CPU: ")]
        self.assertEqual([shown[i] for i in starts],
                         [f"CPU: {n}" for n in range(cpus)] * (cpus > 1))
        for begin, end in zip(starts or [-1], starts[1:] + [len(shown)]):
            block = shown[begin + 1:end]
            m = re.fullmatch(r"CPUID0:[0-9A-F]{8}(,[0-9A-F]{8}){3} \[(.{12}),(\d)\]\n"
                             r"CPUID1:[0-9A-F]{8}(,[0-9A-F]{8}){3} \[Family:([0-9A-F]),"
                             r"Model:([0-9A-F]),Stepping:([0-9A-F]),Brand:([0-9A-F]{1,2})\]",
                             "\n".join(block[:2]))
            self.assertTrue(m, block)
            # The kernel adds the extended family and model to the base ones the line shows; the
            # brand string comes last.
            self.assertEqual([m[2], int(m[5], 16), int(m[6], 16), int(m[7], 16), block[-1]],
                             [info["vendor_id"], min(int(info["cpu family"]), 15),
                              int(info["model"]) & 15, int(info["stepping"]), info["model name"]])

    def test_system_description_line(self):
        rc, out, err = run("-~NoMain", "-~SysInfo")
        self.assertEqual((rc, out), (0, b""))
        # The layer's version record: the NT family as XP and the host where the service pack
        # would be; a 32-bit process names the processor by its brand string.
        brand = re.escape(cpuinfo()["model name"])
        cpu = rf"\((\d+x )?{brand}( Hyper-Threading)?\) " if PE32 else ""
        host = re.escape(f"{os.uname().sysname} {os.uname().release}")
        self.assertRegex(lines(err)[0], r"^Windows [^\[]+ \d+\.\d+ .*Build \d+( \[.*\])? \[WINE\]$"
                         if WINE else rf"^Windows XP 5\.1 {cpu}Build 2600 \[{host}\]$")


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

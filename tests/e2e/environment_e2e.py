#!/usr/bin/env python3
"""The program in a hostile environment: variables at their limits, a long or not ASCII program
path, a deleted working directory, standard streams closed, full or broken, no console at all.
The run goes on silently, the streams that still work carry the same text, nothing crashes or
hangs, no memory is left behind, and no sanitizer reports (in a sanitizer build; to a folder of
the test, seen even when standard error is closed)."""
import os, pathlib, shutil, signal, sys, tempfile, time, unittest

from e2e_support import (BANNER_START, PROMPT, USAGE_TAIL, cpu_seconds, environment, lines,
                         read_until, reaped, run_tests, start, still_running)

MEMORY = ["-~NoMain", "-~MemPeak", "-~MemReport"]


def memory_mode(err):
    """A run's mode: page mode keeps no statistics, only the pool reports, with no block left."""
    shown = lines(err)
    peak = [int(line[len("MemMax: "):]) for line in shown if line.startswith("MemMax: ")]
    pool = [line.startswith("CU:0,0,") for line in shown if line.startswith("CU:")]
    assert len(peak) == 1 and pool in ([], [True]), shown
    return "pool" if pool else "page" if peak[0] == 0 else "heap"


class EnvironmentTest(unittest.TestCase):
    def setUp(self):
        if WINE:
            self.skipTest("descriptors and sessions are the Linux layer's; Wine puts its own")
        self.dir = tempfile.mkdtemp(prefix="calvisto_env_")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.reports = os.path.join(self.dir, "reports")
        os.mkdir(self.reports)
        self.env = {os.fsencode(k): os.fsencode(v) for k, v in environment().items()}
        for name in (b"ASAN_OPTIONS", b"UBSAN_OPTIONS"):
            self.env[name] = b":".join(filter(None, [self.env.get(name), b"log_path=" + os.fsencode(
                os.path.join(self.reports, name.decode()))]))
        self.plain = self.run_program("-x")
        self.assertEqual(self.plain[0], 9)
        self.assertTrue(self.plain[1].startswith(BANNER_START), self.plain)

    def start(self, *args, extra_env=None, exe=None, gone_cwd=None, **streams):
        """extra_env maps names to bytes; gone_cwd: a folder to start in, deleted at the start."""
        env = {**self.env, **{os.fsencode(k): v for k, v in (extra_env or {}).items()}}
        before = (lambda: (os.chdir(gone_cwd), os.rmdir(gone_cwd))) if gone_cwd else None
        return start(*args, exe=exe, env=env, cwd=self.dir, before=before, **streams)

    def finish(self, proc, timeout=30):
        """(exit code, standard output, standard error) of the run, pipes only."""
        with reaped(proc):
            out, err = proc.communicate(proc.input, timeout=timeout)
        for name in os.listdir(self.reports):
            self.fail(pathlib.Path(self.reports, name).read_text("latin-1"))
        return proc.returncode, out or b"", err or b""

    def run_program(self, *args, **how):
        return self.finish(self.start(*args, **how))

    def test_variables_at_their_limits(self):
        # The options' variable fills its 1024-byte buffer, or adds nothing; a mode too long to be
        # read is no number.
        fits = b"-~ExitCode".ljust(1023)
        for heap, glob, mode, added in ((b"1" * 100_000, fits, "pool", ["-~ExitCode"]),
                                        (b" \t2", fits + b" ", "heap", [])):
            with self.subTest(mode=mode):
                rc, out, err = self.run_program(*MEMORY, "-~ArgDump", extra_env={
                    "_Heap_Mgr_": heap, "_GlobSysArgs_": glob})
                self.assertEqual((rc, out, memory_mode(err)), (0, b"", mode))
                shown = lines(err)
                options = shown[shown.index("===") + 1:]
                self.assertEqual(options[:4], [*MEMORY, "-~ArgDump"])
                self.assertEqual([o for o in options[4:] if not o.startswith(
                    ("MemMax: ", "ExitCode: ", "CU:"))], added)
                self.assertEqual("ExitCode: 0" in options, "-~ExitCode" in added)

    def test_program_stored_under_an_odd_path(self):
        # The program's path is its first argument and names the second memory-mode variable;
        # a path too long for either is left out, never cut.
        top = os.path.join(self.dir, "gr\u00f6\u00dfe \u00e9\u4e2d \udcff")
        for length, shown, consulted in ((300, True, False), (1100, False, False), (0, True, True)):
            with self.subTest(length=length):
                folder = top
                while len(folder) < length:  # short components, never a separator alone
                    left = length - len(folder)
                    folder = os.path.join(folder, "d" * (49 if left == 52 else min(50, left - 1)))
                os.makedirs(folder)
                exe = shutil.copy(EXE, os.path.join(folder, "calvisto"))
                rc, out, err = self.run_program("-x", exe=exe)
                self.assertEqual((rc, err), (9, self.plain[2]))
                self.assertEqual(out.split(b"\r\n\r\n", 1)[1], b"Usage: " + (
                    os.fsencode(exe) if shown else b"") + USAGE_TAIL)
                rc, out, err = self.run_program(*MEMORY, exe=exe,
                                                extra_env={os.fsencode(exe) + b"-Heap": b"1"})
                self.assertEqual((rc, out, memory_mode(err)),
                                 (0, b"", "page" if consulted else "pool"))
                shutil.rmtree(top)

    def test_closed_or_full_standard_streams(self):
        copies = ["-~OutCopy:out.txt", "-~ErrCopy:err.txt", "-~ExitCode", "-~ConWin:100,40"]
        ended = self.plain[2] + b"ExitCode: 9\r\n"
        # (stdout, stderr, stdin)
        for stdout, stderr, stdin in [
                ("closed", "pipe", "null"), ("pipe", "closed", "null"),
                ("closed", "closed", "closed"), ("full", "pipe", "closed"),
                ("pipe", "full", "null"), ("full", "full", "closed"), ("broken", "pipe", "null"),
                ("pipe", "broken", "terminal"), ("broken", "broken", "closed")]:
            with self.subTest(stdout=stdout, stderr=stderr, stdin=stdin):
                self.assertEqual(self.run_program("-x", *copies, stdout=stdout, stderr=stderr,
                                                  stdin=stdin),
                                 (9, self.plain[1] if stdout == "pipe" else b"",
                                  ended if stderr == "pipe" else b""))
                # Every text was still written: the copies are whole.
                for name, text in (("out.txt", self.plain[1]), ("err.txt", ended)):
                    self.assertEqual(pathlib.Path(self.dir, name).read_bytes(), text)
                    os.remove(os.path.join(self.dir, name))

    def test_no_console_key_wait_ends_at_once(self):
        # Without a controlling terminal there is no console input: the key wait returns at
        # once whatever standard input is, even one that stays open and never sends anything.
        for stdin in ("closed", "null", b"x\r\ny\n", "pipe", "terminal"):
            with self.subTest(stdin=stdin):
                proc = self.start("-~NoMain", "-~KeyWait", "-~ExitCode", stdin=stdin)
                self.assertFalse(still_running(proc, 10), "no wait for a key")
                self.assertEqual(self.finish(proc), (0, b"", b"ExitCode: 0\r\n"))

    def test_stress_loop_in_a_bad_environment(self):
        os.mkdir(os.path.join(self.dir, "gone"))
        for name, args, how in [
                ("stdout full", [], {"stdout": "full"}),
                ("stdout and stdin closed", [], {"stdout": "closed", "stdin": "closed"}),
                ("stdout broken", [], {"stdout": "broken", "stdin": "terminal"}),
                ("deleted folder", ["-~WorkDir:.", "-~OutCopy:o.txt"],
                 {"gone_cwd": os.path.join(self.dir, "gone")}),
                ("odd variables", [], {"extra_env": {"_Heap_Mgr_": b"\xff" * 100_000,
                                                     "_GlobSysArgs_": b"-~\x80 " * 1000}}),
                ("page mode, many options", [f"-~O{i}" for i in range(300)],
                 {"extra_env": {"_Heap_Mgr_": b"1"}})]:
            with self.subTest(name), reaped(self.start("-Affinity:1", *args, **how)) as proc:
                if how.get("stdout", "pipe") == "pipe":
                    out = read_until(proc.stdout, PROMPT, 30)
                    self.assertTrue(out.startswith(BANNER_START) and out.endswith(PROMPT), out)
                first, deadline = cpu_seconds(proc.pid), time.monotonic() + 30
                while cpu_seconds(proc.pid) - first < 0.1:
                    self.assertLess(time.monotonic(), deadline, "the loop never ran")
                    time.sleep(0.05)
                proc.send_signal(signal.SIGINT)
                self.assertFalse(still_running(proc, 2), "ends at once on SIGINT")
                many = b"WARNING: Too many arguments!\r\n" if len(args) > 255 else b""
                self.assertEqual(self.finish(proc, 5), (-signal.SIGINT, b"", many))


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

#!/usr/bin/env python3
"""End-to-end tests of the program in a hostile environment: odd values of "_Heap_Mgr_" and
"_GlobSysArgs_", more options than the list holds, very long option values, a working
directory that is missing, read-only or deleted, standard streams that are closed or full, and
no console at all. Failures there are silent: the run goes on, the streams that still work
carry the same text, nothing crashes or hangs, and no memory is left behind.

Each run asks the sanitizers (in a sanitizer build) to write their reports into a folder of the
test, so that a report is seen even when standard error is closed."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from e2e_support import cpu_seconds, environment, read_until, run_tests, still_running

EXE = None
RUNNER = []  # the emulator in front of a Windows executable
WINE = False
PROMPT = b"Press ^C to stop CPU stress test...\r\n"
BANNER_START = b"Calvisto 1.1  "
# Lines of the pool's report at exit; with -~LeakReport it appears only for blocks not released.
POOL_REPORT = b"CU:"


def lines(data):
    assert data == b"" or data.endswith(b"\r\n"), data[-80:]
    return data.split(b"\r\n")[:-1]


# Starts a program with environment entries exactly as given, "=" or not:
# argv: count of program arguments, the program and its arguments, then the entries.
EXEC_RAW = """import ctypes, os, sys
n = int(sys.argv[1])
argv = [os.fsencode(a) for a in sys.argv[2:2 + n]]
envp = [os.fsencode(e) for e in sys.argv[2 + n:]]
def table(items):
    return (ctypes.c_char_p * (len(items) + 1))(*items, None)
ctypes.CDLL(None).execve(argv[0], table(argv), table(envp))
sys.exit(127)
"""


class Run:
    """One start of the program, always in a new session: it has no controlling terminal, and
    so no console input, which the layer takes from /dev/tty. stdin, stdout and stderr are each
    "pipe", "closed", "null", "full" (/dev/full), "broken" (a pipe without reader), "terminal"
    (a terminal that is not the controlling one) or, for stdin, bytes to read. extra_env maps
    names to bytes (None removes); raw_env replaces the environment by these entries. gone_cwd:
    the program starts in this folder, deleted before it runs. unprivileged: runs as nobody."""

    def __init__(self, *args, extra_env=None, raw_env=None, exe=None, stdin="null",
                 stdout="pipe", stderr="pipe", cwd=None, gone_cwd=None, unprivileged=False):
        self.reports = tempfile.mkdtemp(prefix="calvisto_env_san_")
        env = {k.encode(): v.encode() for k, v in environment().items()}
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            old = env.get(name.encode(), b"")
            env[name.encode()] = (old + b":" if old else b"") + \
                b"log_path=" + os.path.join(self.reports, name).encode()
        for name, value in (extra_env or {}).items():
            key = name.encode() if isinstance(name, str) else name
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        if unprivileged:
            os.chmod(self.reports, 0o777)
        streams = {}
        closing = []
        self.held = []  # descriptors of ours to close once the program has them
        for fd, how in ((0, stdin), (1, stdout), (2, stderr)):
            if how == "pipe" or isinstance(how, bytes):
                streams[fd] = subprocess.PIPE
            elif how == "closed":
                streams[fd] = subprocess.DEVNULL
                closing.append(fd)
            elif how == "null":
                streams[fd] = subprocess.DEVNULL
            elif how == "full":
                streams[fd] = os.open("/dev/full", os.O_WRONLY)
                self.held.append(streams[fd])
            elif how == "broken":  # a pipe whose reader is gone
                reader, streams[fd] = os.pipe()
                os.close(reader)
                self.held.append(streams[fd])
            elif how == "terminal":  # a terminal that is not the controlling one
                master, streams[fd] = os.openpty()
                self.held += [master, streams[fd]]
            else:
                raise ValueError(how)

        def prepare():
            if gone_cwd is not None:
                os.chdir(gone_cwd)
                os.rmdir(gone_cwd)
            if unprivileged:
                os.setgid(65534)
                os.setuid(65534)
            for fd in closing:
                os.close(fd)

        command = RUNNER + [exe or EXE, *args]
        if raw_env is not None:
            sanitizers = [k + b"=" + v for k, v in env.items() if k.endswith(b"SAN_OPTIONS")]
            command = [sys.executable, "-c", EXEC_RAW, str(len(command)), *command,
                       *sanitizers, *raw_env]
        self.proc = subprocess.Popen(command, stdin=streams[0], stdout=streams[1],
                                     stderr=streams[2], env=env, cwd=cwd, preexec_fn=prepare,
                                     start_new_session=True)
        for fd in self.held:
            os.close(fd)
        self.input = stdin if isinstance(stdin, bytes) else None

    def finish(self, timeout=30):
        """Waits for the end: (exit code, standard output, standard error), pipes only."""
        try:
            out, err = self.proc.communicate(self.input, timeout=timeout)
        finally:
            self.stop()
        return self.proc.returncode, out or b"", err or b""

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def sanitizer_reports(self):
        found = []
        for name in os.listdir(self.reports):
            with open(os.path.join(self.reports, name), "rb") as f:
                found.append(f.read().decode("latin-1"))
        shutil.rmtree(self.reports, ignore_errors=True)
        return found


def memory_mode(err):
    """The mode a run with -~MemPeak and -~MemReport was in: page mode keeps no statistics,
    only the pool reports at exit."""
    shown = lines(err)
    peak = [int(line[len(b"MemMax: "):]) for line in shown if line.startswith(b"MemMax: ")]
    reports = [line for line in shown if line.startswith(POOL_REPORT)]
    assert len(peak) == 1 and len(reports) <= 1, shown
    if reports:
        assert reports[0].startswith(b"CU:0,0,"), reports
        return "pool"
    return "page" if peak[0] == 0 else "heap"


class EnvironmentTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if WINE:
            raise unittest.SkipTest("descriptors, sessions and the raw environment are those of "
                                    "the Linux layer; Wine puts its own between")

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="calvisto_env_")
        os.chmod(self.dir, 0o755)  # unprivileged runs start here too
        self.plain = self.run_program("-x")
        self.assertEqual(self.plain[0], 9)
        self.assertTrue(self.plain[1].startswith(BANNER_START), self.plain)

    def tearDown(self):
        for root, dirs, _ in os.walk(self.dir):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_program(self, *args, timeout=30, **how):
        how.setdefault("cwd", self.dir)
        run = Run(*args, **how)
        result = run.finish(timeout)
        self.assertEqual(run.sanitizer_reports(), [])
        return result

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def read(self, *parts):
        with open(self.path(*parts), "rb") as f:
            return f.read()

    def options_dumped(self, err):
        """The option list that -~ArgDump showed."""
        shown = lines(err)
        return shown[shown.index(b"===") + 1:]

    def test_memory_mode_variable(self):
        by_path = os.path.realpath(EXE) + "-Heap"
        huge = b"1" * 100_000
        # (_Heap_Mgr_, the path-named variable, mode); a value too long to read holds no number.
        cases = [
            (b"1", None, "page"),
            (b"", None, "pool"),
            (b"", b"1", "page"),
            (huge, b"1", "pool"),
            (None, huge, "pool"),
            (b" \t2", None, "heap"),
            (b"\x80\xff\x01", None, "pool"),
            ("2größe".encode(), None, "heap"),
            ("größe2".encode(), None, "pool"),
            (b"0x", None, "pool"),
            (b"-", None, "pool"),
            (b"0x1\xff", None, "page"),
            (b"99999999999", None, "pool"),
        ]
        for heap_mgr, path_value, mode in cases:
            with self.subTest(heap_mgr=heap_mgr[:12] if heap_mgr else heap_mgr, mode=mode):
                rc, out, err = self.run_program(
                    "-~NoMain", "-~MemPeak", "-~MemReport",
                    extra_env={"_Heap_Mgr_": heap_mgr, by_path: path_value})
                self.assertEqual((rc, out), (0, b""))
                self.assertEqual(memory_mode(err), mode)

    def test_raw_environment_entries(self):
        # Entries without "=", with an empty name, or whose name only begins or ends like one
        # of ours name nothing; names are found regardless of case, an exact one first.
        cases = [
            ([b"_Heap_Mgr_", b"_GlobSysArgs_", b"=-~ExitCode", b"==1", b"_Heap_Mgr_X=1",
              b"X_GlobSysArgs_=-~ExitCode", b"_GlobSysArgs_-~ExitCode"], "pool", []),
            ([b"_HEAP_MGR_=1", b"_globsysargs_=-~ExitCode"], "page", [b"-~ExitCode"]),
            ([b"_heap_mgr_=2", b"_Heap_Mgr_=1", b"_GLOBSYSARGS_=-~A", b"_GlobSysArgs_=-~B"],
             "page", [b"-~B"]),
            ([b"\xff\x80=1", b"_Heap_Mgr_=\xc3", b"_GlobSysArgs_==-~x"], "pool", []),
        ]
        for entries, mode, added in cases:
            with self.subTest(entries=entries):
                rc, out, err = self.run_program("-~NoMain", "-~MemPeak", "-~MemReport",
                                                "-~ArgDump", raw_env=entries)
                self.assertEqual((rc, out), (0, b""))
                self.assertEqual(memory_mode(err), mode)
                options = self.options_dumped(err)
                self.assertEqual(options[:4], [b"-~NoMain", b"-~MemPeak", b"-~MemReport",
                                               b"-~ArgDump"])
                exit_lines = (b"MemMax: ", b"ExitCode: ", POOL_REPORT)
                self.assertEqual([o for o in options[4:] if not o.startswith(exit_lines)], added)
                self.assertEqual(b"ExitCode: 0" in options, b"-~ExitCode" in added)

    def test_program_stored_under_an_odd_path(self):
        # The program's path is its first argument and names the second memory-mode variable;
        # a path too long for either is left out, never cut.
        for length, shown, consulted in ((300, True, False), (1100, False, False),
                                         (0, True, True)):
            with self.subTest(length=length):
                if length:
                    folder = self.long_folder(length)
                else:
                    folder = self.path("gr\u00f6\u00dfe \u00e9\u4e2d \udcff")
                    os.makedirs(folder)
                exe = os.path.join(folder, "calvisto")
                shutil.copy(EXE, exe)
                rc, out, err = self.run_program("-x", exe=exe)
                self.assertEqual((rc, err), (9, self.plain[2]))
                usage = out.split(b"\r\n\r\n", 1)[1]
                self.assertEqual(usage, b"Usage: " + (os.fsencode(exe) if shown else b"")
                                 + b" [-Affinity:<n>] [-v]]\r\n")
                rc, out, err = self.run_program("-~NoMain", "-~MemPeak", "-~MemReport", exe=exe,
                                                extra_env={os.fsencode(exe) + b"-Heap": b"1"})
                self.assertEqual((rc, out), (0, b""))
                self.assertEqual(memory_mode(err), "page" if consulted else "pool")
                top = os.path.relpath(folder, self.dir).split(os.sep)[0]
                shutil.rmtree(self.path(top))

    def test_option_variable(self):
        fits = b"-~ExitCode" + b" " * (1023 - len(b"-~ExitCode"))
        # (_GlobSysArgs_, options it adds); a value too long for the 1024-byte buffer adds none.
        cases = [
            (b"", []),
            (b" \t \t", []),
            (b"-~ExitCode " * 10_000, []),
            (fits, [b"-~ExitCode"]),
            (fits + b" ", []),
            (b"-~\xe9t\xe9:\xff\x80 junk\x81 -~ExitCode",
             [b"-~\xe9t\xe9:\xff\x80", b"-~ExitCode"]),
            ("-~Größe:ü -~ExitCode".encode(), ["-~Größe:ü".encode(), b"-~ExitCode"]),
            (b'"-~ExitCode', [b"-~ExitCode"]),  # a quote never closed runs to the end
            (b'-~ "" : -~:x "', [b"-~", b"-~:x"]),
            (b'-~ExitCode:"a b" -~~ "-~"-~', [b"-~ExitCode:a b", b"-~~", b"-~-~"]),
        ]
        for value, added in cases:
            with self.subTest(value=value[:40]):
                rc, out, err = self.run_program("-~NoMain", "-~ArgDump", "-~LeakReport",
                                                extra_env={"_GlobSysArgs_": value})
                self.assertEqual((rc, out), (0, b""))
                shown = lines(err)
                exit_line = [b"ExitCode: 0"] if any(
                    a == b"-~ExitCode" or a.startswith(b"-~ExitCode:") for a in added) else []
                self.assertEqual(self.options_dumped(err),
                                 [b"-~NoMain", b"-~ArgDump", b"-~LeakReport", *added,
                                  *exit_line])
                self.assertNotIn(POOL_REPORT, err, "every dropped token is released")
                self.assertEqual(shown[0], os.path.realpath(EXE).encode())

    def test_more_than_256_options(self):
        fixed = ["-~NoMain", "-~ArgDump", "-~LeakReport"]
        # (command line, _GlobSysArgs_, options kept, found, not found)
        cmd_300 = fixed + [f"-~O{i}" for i in range(300)] + ["-~ExitCode"]
        cmd_200 = fixed + ["a"] + [f"-~C{i}" for i in range(197)] + ["b"]
        env_100 = " ".join(["-~MemPeak"] + [f"-~E{i}" for i in range(1, 99)] + ["-~ExitCode"])
        env_300 = " ".join(["-~MemPeak"] + ["x"] * 298 + ["-~ExitCode"])
        env_300_options = " ".join(["-~MemPeak"] + ["-~"] * 298 + ["-~ExitCode"])
        cases = [
            # 256 argument slots: the program and 255 options; the rest is dropped.
            (cmd_300, None, fixed + [f"-~O{i}" for i in range(252)], [], ["ExitCode"]),
            # The list is full after 56 options of the environment.
            (cmd_200, env_100,
             fixed + [f"-~C{i}" for i in range(197)] + ["-~MemPeak"]
             + [f"-~E{i}" for i in range(1, 56)], ["MemMax"], ["ExitCode"]),
            # The environment's split takes 256 tokens; the 300th is dropped.
            (fixed, env_300, fixed + ["-~MemPeak"], ["MemMax"], ["ExitCode"]),
            (fixed, env_300_options, fixed + ["-~MemPeak"] + ["-~"] * 252, ["MemMax"],
             ["ExitCode"]),
        ]
        for args, env, kept, found, missing in cases:
            with self.subTest(args=len(args), env=len(env or "")):
                value = env.encode() if env is not None else None
                rc, out, err = self.run_program(*args, extra_env={"_GlobSysArgs_": value})
                self.assertEqual((rc, out), (0, b""))
                shown = lines(err)
                self.assertEqual(shown.count(b"WARNING: Too many arguments!"),
                                 1 if len(args) >= 256 else 0)
                dumped = self.options_dumped(err)
                self.assertEqual(dumped[:len(kept)], [k.encode() for k in kept])
                self.assertEqual(len(dumped[len(kept):]), len(found), dumped[len(kept):])
                for label in found:
                    self.assertTrue(any(line.startswith(label.encode() + b": ")
                                        for line in shown), label)
                for label in missing:
                    self.assertFalse(any(line.startswith(label.encode() + b": ")
                                         for line in shown), label)
                self.assertNotIn(POOL_REPORT, err, "every dropped option is released")
                program_args = shown[shown.index(os.path.realpath(EXE).encode()) + 1:
                                     shown.index(b"===")]
                self.assertEqual(program_args, [b"a", b"b"] if args is cmd_200 else [])

    def long_folder(self, length, create=True):
        """A path below the test's folder of exactly length characters, in short components."""
        path = self.dir
        while len(path) < length:
            remaining = length - len(path)
            # Never leave room for a separator alone.
            step = 49 if remaining == 52 else min(50, remaining - 1)
            path = os.path.join(path, "d" * step)
        self.assertEqual(len(path), length)
        if create:
            os.makedirs(path)
        return path

    def test_long_option_values(self):
        out_plain = self.plain[1]
        deep = self.long_folder(300)
        missing = deep + "x"
        # A copy file named by 300 characters is written; a name longer than the file object
        # holds would be cut to another name, so no file is made at all.
        rc, out, err = self.run_program("-x", "-~OutCopy:" + os.path.join(deep, "o.txt"),
                                        "-~ErrCopy:" + os.path.join(deep, "e.txt"))
        self.assertEqual((rc, out, err), self.plain)
        self.assertEqual(self.read(deep, "o.txt"), out_plain)
        self.assertEqual(self.read(deep, "e.txt"), self.plain[2])
        deeper = self.long_folder(700)
        rc, out, err = self.run_program("-x", "-~OutCopy:" + os.path.join(deeper, "o.txt"))
        self.assertEqual((rc, out, err), self.plain)
        made = [root for root, _, files in os.walk(self.dir) if "o.txt" in files]
        self.assertEqual(made, [deep])

        # The working directory is taken as long as it is there; relative copies land in it.
        for folder, lands_in in ((deep, deep), (missing, self.dir)):
            with self.subTest(work_dir=len(folder)):
                rc, out, err = self.run_program("-x", "-~WorkDir:" + folder, "-~OutCopy:w.txt")
                self.assertEqual((rc, out, err), self.plain)
                self.assertEqual(self.read(lands_in, "w.txt"), out_plain)
                os.remove(os.path.join(lands_in, "w.txt"))

        # Values of 300 characters that mean nothing, or nothing much, change nothing else.
        odd = [
            "-~ConWin:80,25" + " " * 286,
            "-~ConWin:*" + "9" * 290 + ",80,25",
            "-~ConWin:" + "x" * 300,
            "-~ConWin:max," + "9" * 291,
            "-~ConWin:" + "," * 300,
            "-~StartDelay:" + "0s" * 150,
            "-~CpuClass:" + "7" * 300,
            "-~ProcMask:0x" + "0" * 297 + "1",
            "-~" + "N" * 300,
            "-~ErrCopy:",
        ]
        for option in odd:
            with self.subTest(option=option[:24]):
                rc, out, err = self.run_program("-~NoMain", "-~LeakReport", option,
                                                timeout=20)
                self.assertEqual((rc, out, err), (0, b"", b""))
        # The argument dump shows a long option whole.
        rc, out, err = self.run_program("-~NoMain", "-~ArgDump", "-~" + "N" * 300)
        self.assertEqual(self.options_dumped(err)[-1], b"-~" + b"N" * 300)

    def test_working_directory_missing_read_only_or_deleted(self):
        read_only, closed = self.path("ro"), self.path("closed")
        os.mkdir(read_only)
        os.chmod(read_only, 0o555)
        os.mkdir(closed)
        os.chmod(closed, 0o000)
        unprivileged = os.geteuid() == 0  # root writes into read-only folders
        os.chmod(self.dir, 0o777)  # where the unprivileged copies land
        copies = ["-~OutCopy:out.txt", "-~ErrCopy:err.txt", "-~ExitCode"]
        ended = self.plain[2] + b"ExitCode: 9\r\n"
        # (arguments, how, where the copies land or None); a folder that cannot be entered is
        # not changed to.
        cases = [
            (["-~WorkDir:" + self.path("missing")], {}, self.dir),
            (["-~WorkDir:" + read_only], {"unprivileged": unprivileged}, None),
            (["-~WorkDir:" + closed], {"unprivileged": unprivileged}, self.dir),
            ([], {"gone_cwd": self.path("gone")}, None),
            (["-~WorkDir:."], {"gone_cwd": self.path("gone")}, None),
        ]
        for args, how, lands_in in cases:
            with self.subTest(args=args, how=how):
                if "gone_cwd" in how:
                    os.mkdir(how["gone_cwd"])
                rc, out, err = self.run_program("-x", *args, *copies, **how)
                self.assertEqual((rc, out, err), (9, self.plain[1], ended))
                if lands_in is not None:
                    self.assertEqual(self.read(lands_in, "out.txt"), self.plain[1])
                    self.assertEqual(self.read(lands_in, "err.txt"), ended)
                    os.remove(os.path.join(lands_in, "out.txt"))
                    os.remove(os.path.join(lands_in, "err.txt"))
                self.assertEqual(os.listdir(read_only), [])
        self.assertEqual(sorted(os.listdir(self.dir)), ["closed", "ro"])

    def test_closed_or_full_standard_streams(self):
        out_plain, err_plain = self.plain[1], self.plain[2]
        have_full = os.path.exists("/dev/full")
        copies = ["-~OutCopy:out.txt", "-~ErrCopy:err.txt", "-~ExitCode", "-~ConWin:100,40"]
        cases = [("closed", "pipe", "null"), ("pipe", "closed", "null"),
                 ("closed", "closed", "closed"), ("full", "pipe", "closed"),
                 ("pipe", "full", "null"), ("full", "full", "closed"),
                 ("broken", "pipe", "null"), ("pipe", "broken", "terminal"),
                 ("broken", "broken", "closed")]
        for stdout, stderr, stdin in cases:
            if not have_full and "full" in (stdout, stderr):
                continue
            with self.subTest(stdout=stdout, stderr=stderr, stdin=stdin):
                rc, out, err = self.run_program("-x", *copies, stdout=stdout, stderr=stderr,
                                                stdin=stdin)
                self.assertEqual(rc, 9)
                ended = err_plain + b"ExitCode: 9\r\n"
                self.assertEqual(out, out_plain if stdout == "pipe" else b"")
                self.assertEqual(err, ended if stderr == "pipe" else b"")
                # Every text was still written: the copies are whole.
                self.assertEqual(self.read("out.txt"), out_plain)
                self.assertEqual(self.read("err.txt"), ended)
                os.remove(self.path("out.txt"))
                os.remove(self.path("err.txt"))

    def test_no_console_key_wait_ends_at_once(self):
        # Without a controlling terminal there is no console input: the key wait, asked for or
        # that of a failed run, returns at once whatever standard input is.
        for stdin in ("closed", "null", b"x\r\ny\n", "pipe", "terminal"):
            for args, code in ((["-~NoMain", "-~KeyWait", "-~ExitCode"], 0), (["-x"], 9)):
                with self.subTest(stdin=stdin, args=args):
                    began = time.monotonic()
                    run = Run(*args, stdin=stdin, cwd=self.dir)
                    if stdin == "pipe":
                        # An input that stays open and never sends anything.
                        self.assertFalse(still_running(run.proc, 10), "no wait for a key")
                    rc, out, err = run.finish(20)
                    self.assertEqual(run.sanitizer_reports(), [])
                    self.assertLess(time.monotonic() - began, 10)
                    self.assertEqual(rc, code)
                    if code == 0:
                        self.assertEqual((out, err), (b"", b"ExitCode: 0\r\n"))
                    else:
                        self.assertEqual((out, err), self.plain[1:])

    def test_stress_loop_in_a_bad_environment(self):
        cases = [
            ("stdout full", {"stdout": "full"}),
            ("stdout and stdin closed", {"stdout": "closed", "stdin": "closed"}),
            ("stdout broken", {"stdout": "broken", "stdin": "terminal"}),
            ("deleted folder", {"gone_cwd": self.path("gone")}),
            ("odd variables", {"extra_env": {"_Heap_Mgr_": b"\xff" * 100_000,
                                             "_GlobSysArgs_": b"-~\x80 " * 1000}}),
            ("page mode, many options", {"extra_env": {"_Heap_Mgr_": b"1"},
                                         "args": [f"-~O{i}" for i in range(300)]}),
        ]
        if not os.path.exists("/dev/full"):
            cases = cases[1:]
        for name, how in cases:
            with self.subTest(name):
                if "gone_cwd" in how:
                    os.mkdir(how["gone_cwd"])
                extra_args = how.pop("args", [])
                run = Run("-Affinity:1", *extra_args, stderr="pipe", cwd=self.dir, **how)
                try:
                    if how.get("stdout", "pipe") == "pipe":
                        out = read_until(run.proc.stdout, PROMPT, 30)
                        self.assertTrue(out.startswith(BANNER_START), out)
                        self.assertTrue(out.endswith(PROMPT), out)
                    self.wait_for_load(run.proc.pid)
                    run.proc.send_signal(signal.SIGINT)
                    self.assertFalse(still_running(run.proc, 2), "ends at once on SIGINT")
                    rc, out, err = run.finish(5)
                    self.assertEqual(rc, -signal.SIGINT)
                    self.assertEqual(out, b"")
                    many = b"WARNING: Too many arguments!\r\n" if extra_args else b""
                    self.assertEqual(err, many)
                    self.assertEqual(run.sanitizer_reports(), [])
                finally:
                    run.stop()

    def wait_for_load(self, pid):
        """Until the process has burned a tenth of a second more than at the first look."""
        first = cpu_seconds(pid)
        deadline = time.monotonic() + 30
        while cpu_seconds(pid) - first < 0.1:
            self.assertLess(time.monotonic(), deadline, "the loop never ran")
            time.sleep(0.05)


if __name__ == "__main__":
    sys.exit(run_tests(globals()))

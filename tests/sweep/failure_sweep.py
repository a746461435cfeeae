#!/usr/bin/env python3
"""Whole runs of the program with the Linux layer failing one system call: for every scenario,
memory mode and failure point, the n-th call fails (only that one, or that one and every later
one) for n = 1, 2, 3, ... until a run no longer reaches the n-th call.

The layer arranges the failure from the environment (CALVISTO_FAIL, winposix/fail_env.h) and
reports at ExitProcess how many calls each point saw and whether the failure happened
(CALVISTO_FAIL_REPORT). Every run must end as a run without failures ends: the scenario's exit
code, no signal, no hang, no sanitizer report, only lines a run of the scenario can show (a lost
option drops its lines, a lost argument shows as an empty one, a lost program path as an empty
text), no block left in the pool, and copy files that hold only texts of their console stream.

A failed copy of the command line or of an argument can leave main without its arguments; main
then runs the stress test, as it does without arguments, or ends with the exit code of a lost
operand block. The sweep stops such a run with SIGINT
once the prompt shows, and accepts it only for a single failed allocation in a scenario where
main is meant to run.

In the sanitizer build the layer also runs the leak check at ExitProcess for the heap mode,
whose blocks are the C library's; the pool mode's own report must show no block in use.

Every n is tried (complete coverage). --stride K tries only every K-th n between the first and
the last 20 of a point with many calls, for quicker runs by hand. The sweep runs a copy of the
program, so a build beside it cannot replace the file under it.

A 32-bit image runs through its runner (--runner scripts/winrun), which shares the layer.

Usage: failure_sweep.py --exe build/host-asan/app/calvisto [--runner R] [--jobs N]
[--only NAME[,NAME]] [--points POINT[,POINT]] [--modes pool,page,heap] [--stride K] [--verbose]
"""
import argparse
import concurrent.futures
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

POINTS = ["VirtualAlloc", "HeapAlloc", "CreateFileA", "CreateFileMappingA", "MapViewOfFile",
          "CreateThread"]
MEMORY_POINTS = {"VirtualAlloc", "HeapAlloc"}
MODES = {"pool": None, "page": "1", "heap": "2"}  # the value of _Heap_Mgr_
KINDS = ["transient", "persistent"]
PROMPT = b"Press ^C to stop CPU stress test...\r\n"
UNKNOWN = b"Unknown command-line argument: '-x'"
# A run whose memory fails may reach main (a lost option or argument) and lose its operand block.
NO_MEMORY, NO_MEMORY_LINE = 12, "Not enough memory for the stress test"
SANITIZER = re.compile(rb"AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|"
                       rb"runtime error:|SUMMARY: ")
RUN_SECONDS = 30  # a run that takes longer hangs
STOP_SECONDS = 5  # after SIGINT

# Lines whose numbers change from run to run.
VOLATILE = [re.compile(p) for p in [
    r"Time: [0-9:./UK=]+",
    r"(Start|End): \d\d:\d\d:\d\d \d\d\.\d\d\.\d{4}",
    r"MemMax: \d+",
    r"ExitCode: \d+",  # checked against the exit code, which is checked on its own
    r"ThreadId: \d+, Stack: \d+ KiB",
    r"I/O: O \d+/\d+ C \d+/\d+ S \d+/\d+ R \d+/\d+ W \d+/\d+",
    r"CU:\d+,\d+,MU:\d+,\d+,AC:\d+,MA:\d+,CM:\d+",
    r"Checking: -~\w+",
    r"CPUID[-X0-9]*:[0-9A-F,]+( \[.*\])?",  # leaf 1 holds the processor's APIC identifier
]]
POOL_REPORT = re.compile(r"CU:(\d+),(\d+),")


class Scenario:
    def __init__(self, name, args, glob=None, rc=0, rc_if_lost=(), runs_main=False, files=None,
                 copies=()):
        self.name = name
        self.args = args  # "{work}" stands for a folder of the run
        self.glob = glob  # _GlobSysArgs_
        self.rc = rc
        # Exit codes of a run that lost an argument or option to a failed allocation.
        self.rc_if_lost = set(rc_if_lost)
        self.runs_main = runs_main
        self.files = files or {}  # made in the run's folder before it starts
        self.copies = copies  # (file, "out" or "err"): copy files of a console stream


SCENARIOS = [
    # Start-up with every option of its own, the exit lines and the reports.
    Scenario("startup",
             ["-~NoMain", "-~ArgDump", "-~SysInfo", "-~ShowCpuClass", "-~CpuClass:0x80",
              "-~Notice", "-~Timing", "-~TimeStamp", "-~MemPeak", "-~MemReport", "-~LeakReport",
              "-~ExitCode", "-~IoStats", "-~SlowRead", "-~ThreadInfo", "-~ConWin:80,25",
              "-~StartDelay:0s", "-~WorkDir:{work}", "-~ProcMask:0x3", "a b", "", "c"],
             glob='-~NoMain -~ExitCode -~MemPeak "-~Quoted:x y" junk'),
    # The option trace, the console at its largest, the key-wait and beep options, the pool
    # without its cache, and the success-exit option over main's failure.
    Scenario("options",
             ["-x", "-~SysArgDbg", "-~ConWin:*0,max", "-~KeyWait", "-~NoKeyWait", "-~BeepAtExit",
              "-~Quiet", "-~NoMemCache", "-~ExitOk", "-~ExitCode", "-~CpuCount:1", "-~NoSMT",
              "-~SysInfo", "-~MemReport"],
             glob="-~StartDelay:1x -~ExitOk", rc=0, rc_if_lost=[9], runs_main=True),
    # main's unknown argument, the exit lines and the launcher check of a failed run.
    Scenario("exit",
             ["-x", "-~Timing", "-~TimeStamp", "-~MemPeak", "-~MemReport", "-~LeakReport",
              "-~ExitCode", "-~ThreadInfo", "-~BeepOnError"],
             rc=9, runs_main=True),
    # main's whole set-up: the operand block, then a refused affinity mask.
    Scenario("main", ["-Affinity:0", "-v", "-~MemPeak", "-~ExitCode", "-~MemReport"],
             rc=10, runs_main=True),
    # Both copy files, one of them already there, with the I/O statistics. The launcher check
    # (one copy of a name per process of the machine) is the exit scenario's.
    Scenario("copy",
             ["-x", "-~OutCopy:out.txt", "-~ErrCopy:err.txt", "-~IoStats", "-~NoKeyWait",
              "-~ExitCode", "-~Timing", "-~MemReport"],
             rc=9, runs_main=True, files={"out.txt": b"kept\r\n"},
             copies=[("out.txt", "out"), ("err.txt", "err")]),
    # Identification on every processor from threads.
    Scenario("cpureport",
             ["-~CpuReport", "-~NoMain", "-~ThreadInfo", "-~MemReport", "-~SysInfo"],
             glob="-~NoMain"),
    # More processors than the machine has, with the thread options.
    Scenario("cpucount",
             ["-~CpuReport", "-~CpuCount:4", "-~StackSize:65536", "-~NoStagger", "-~NoMain",
              "-~ThreadInfo", "-~SysInfo", "-~MemReport", "-~LeakReport"],
             glob="-~NoMain"),
]


def lines(data):
    """The lines of a text, and whether every one ends in CR LF."""
    parts = data.split(b"\r\n")
    whole = parts[-1] == b"" and not any(b"\n" in p or b"\r" in p for p in parts)
    return [p.decode("latin-1") for p in parts[:-1]], whole


def normal(line):
    for pattern in VOLATILE:
        if pattern.fullmatch(line):
            return pattern.pattern
    return line


def is_subsequence(part, whole):
    it = iter(whole)
    return all(any(x == y for y in it) for x in part)


class Outcome:
    pass


class Sweep:
    def __init__(self, exe, runner, root, verbose):
        self.exe = exe
        self.runner = runner
        self.root = root
        self.verbose = verbose
        self.baselines = {}
        self.problems = []
        self.runs = 0
        self.reached = {}  # (scenario, mode, point, kind) -> reached n values
        self.lock = threading.Lock()
        self.counter = 0
        self.kernel_runs = 0

    def run(self, scenario, mode, fail=None):
        with self.lock:
            self.counter += 1
            folder = os.path.join(self.root, f"r{self.counter}")
            self.runs += 1
        cwd = os.path.join(folder, "cwd")
        work = os.path.join(folder, "work")
        os.makedirs(cwd)
        os.makedirs(work)
        for name, data in scenario.files.items():
            with open(os.path.join(cwd, name), "wb") as f:
                f.write(data)
        env = {k: v for k, v in os.environ.items()
               if k not in ("_GlobSysArgs_", "_Heap_Mgr_", "CALVISTO_FAIL")}
        # The process ends with _exit: the layer runs the sanitizer's leak check itself (a
        # build without sanitizers ignores both). Only the heap mode's blocks are the C
        # library's, which the check sees; the pool reports its own. Reports go to stderr.
        env["ASAN_OPTIONS"] = "detect_leaks=1:" + env.get("ASAN_OPTIONS", "")
        if mode == "heap":
            env["CALVISTO_LEAK_CHECK"] = "1"
        if scenario.glob is not None:
            env["_GlobSysArgs_"] = scenario.glob
        if MODES[mode] is not None:
            env["_Heap_Mgr_"] = MODES[mode]
        if fail is not None:
            env["CALVISTO_FAIL"] = fail
        report_path = os.path.join(folder, "report")
        env["CALVISTO_FAIL_REPORT"] = report_path
        args = [a.replace("{work}", work) for a in scenario.args]
        out_path, err_path = os.path.join(folder, "out"), os.path.join(folder, "err")
        o = Outcome()
        o.kernel = o.hung = False
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen([*self.runner, self.exe, *args], cwd=cwd, env=env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    start_new_session=True)
            began = time.monotonic()
            while True:
                try:
                    # Most runs end within a fraction of a second: look often at first.
                    proc.wait(timeout=0.01 if time.monotonic() - began < 2 else 0.1)
                    break
                except subprocess.TimeoutExpired:
                    pass
                with open(out_path, "rb") as f:
                    if f.read().endswith(PROMPT):
                        o.kernel = True
                        os.killpg(proc.pid, signal.SIGINT)
                        try:
                            proc.wait(timeout=STOP_SECONDS)
                        except subprocess.TimeoutExpired:
                            o.hung = True
                        break
                if time.monotonic() - began > RUN_SECONDS:
                    o.hung = True
                    break
            if o.hung:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        o.rc = proc.returncode
        # The run's own folder shows as it is named in the scenario.
        o.out = open(out_path, "rb").read().replace(work.encode(), b"{work}")
        o.err = open(err_path, "rb").read().replace(work.encode(), b"{work}")
        o.copies = {}
        for name, _ in scenario.copies:
            path = os.path.join(cwd, name)
            o.copies[name] = (open(path, "rb").read().replace(work.encode(), b"{work}")
                              if os.path.exists(path) else None)
        o.report = {}
        if os.path.exists(report_path):
            for line in open(report_path):
                point, calls, armed, reached = line.split()
                o.report[point] = (int(calls), int(armed), reached == "1")
        o.command = " ".join(f"{k}={env[k]!r}" for k in
                             ("_Heap_Mgr_", "_GlobSysArgs_", "CALVISTO_FAIL") if k in env)
        o.command += " " + " ".join(repr(a) for a in [*self.runner, self.exe, *args])
        shutil.rmtree(folder, ignore_errors=True)
        return o

    def check(self, scenario, mode, point, kind, o):
        """What is wrong with the run, or an empty list."""
        base = self.baselines.get((scenario.name, mode))
        wrong = []
        if o.hung:
            return ["no end within %d s" % RUN_SECONDS]
        if SANITIZER.search(o.err):
            wrong.append("sanitizer report")
        if o.kernel:
            with self.lock:
                self.kernel_runs += 1
            # Main ran without its arguments: only a single lost copy explains that.
            if not (scenario.runs_main and point in MEMORY_POINTS and kind == "transient"):
                wrong.append("entered the stress loop")
        elif o.rc < 0:
            wrong.append("ended by signal %d" % -o.rc)
        else:
            allowed = {scenario.rc}
            # A lost argument leaves main nothing to refuse; a lost option loses its effect.
            if point in MEMORY_POINTS and not (scenario.rc == 9 and UNKNOWN in o.err):
                allowed |= scenario.rc_if_lost | {NO_MEMORY}
            if o.rc not in allowed:
                wrong.append("exit code %d, not %s" % (o.rc, sorted(allowed)))
            shown = re.findall(rb"^ExitCode: (\d+)\r$", o.err, re.M)
            if any(int(x) != o.rc for x in shown):
                wrong.append("the ExitCode line differs from the exit code")
        if not o.report and not o.kernel:
            wrong.append("no failure report: the process did not end in ExitProcess")
        out, out_ok = lines(o.out)
        err, err_ok = lines(o.err)
        if not (out_ok and err_ok):
            wrong.append("a line that does not end in CR LF")
        if base is not None:
            for stream, got, allowed in (("stdout", out, base.out_allowed),
                                         ("stderr", err, base.err_allowed)):
                extra = [line for line in got if normal(line) not in allowed and
                         not (point in MEMORY_POINTS and line == NO_MEMORY_LINE)]
                if extra:
                    wrong.append("%s line(s) no run shows: %r" % (stream, extra[:3]))
            # Console output does not depend on a file or a mapping.
            if point in ("CreateFileA", "CreateFileMappingA", "MapViewOfFile"):
                if [normal(x) for x in out] != base.out_norm or \
                        [normal(x) for x in err] != base.err_norm:
                    wrong.append("console output differs from the run without failures")
        for line in err:
            m = POOL_REPORT.match(line)
            if m and (m.group(1), m.group(2)) != ("0", "0"):
                wrong.append("blocks left in the pool: " + line)
        for name, stream in scenario.copies:
            data = o.copies.get(name)
            kept = scenario.files.get(name, b"")
            if data is None:
                if kept or (base is not None and point not in MEMORY_POINTS and
                            point != "CreateFileA"):
                    wrong.append("%s missing" % name)
                continue
            if not data.startswith(kept):
                wrong.append("%s lost what it held before" % name)
                continue
            copied, ok = lines(data[len(kept):])
            console = out if stream == "out" else err
            if not ok or not is_subsequence(copied, console):
                wrong.append("%s holds text its console stream did not show" % name)
            elif point not in MEMORY_POINTS and point != "CreateFileA" and copied != console:
                wrong.append("%s is not a whole copy of its console stream" % name)
        return wrong

    def baseline(self, scenario, mode):
        o = self.run(scenario, mode)
        wrong = self.check(scenario, mode, None, None, o)
        if o.kernel or o.rc != scenario.rc:
            wrong.append("baseline exit code %r" % o.rc)
        out, _ = lines(o.out)
        err, _ = lines(o.err)
        o.out_norm = [normal(x) for x in out]
        o.err_norm = [normal(x) for x in err]
        # Documented results of lost copies: an empty argument, an empty program path.
        usage = [x.replace(self.exe_path, "") for x in out + err if x.startswith("Usage: ")]
        o.out_allowed = set(o.out_norm) | set(usage) | {"", PROMPT.decode().strip()}
        o.err_allowed = set(o.err_norm) | set(usage) | {""}
        self.report(scenario, mode, "baseline", None, 0, o, wrong)
        with self.lock:
            self.baselines[(scenario.name, mode)] = o
        return o

    def report(self, scenario, mode, point, kind, n, o, wrong):
        if not wrong:
            return
        with self.lock:
            self.problems.append((scenario.name, mode, point, kind, n, wrong, o))
            print("FAIL %s/%s %s:%s:%s: %s\n  %s\n  stderr: %r" % (
                scenario.name, mode, point, n, kind, "; ".join(wrong), o.command,
                o.err[-300:]), flush=True)

    def sweep(self, scenario, mode, point, kind, stride):
        base = self.baselines[(scenario.name, mode)]
        calls = base.report.get(point, (0, 0, False))[0]
        if calls == 0 and kind == "persistent":
            return  # the same run as the transient one: no call fails, n = 1 is never reached
        cap = 3 * calls + 20
        hit = []
        n = 1
        while True:
            fail = "%s:%d%s" % (point, n, ":persistent" if kind == "persistent" else "")
            o = self.run(scenario, mode, fail)
            reached = o.report[point][2] if point in o.report else True
            self.report(scenario, mode, point, kind, n, o, self.check(scenario, mode, point,
                                                                      kind, o))
            if self.verbose:
                print("run %s/%s %s rc=%s reached=%s" % (scenario.name, mode, fail, o.rc,
                                                         reached), flush=True)
            if not reached:
                break
            hit.append(n)
            if n >= cap:
                self.report(scenario, mode, point, kind, n, o,
                            ["still reached after %d calls; the run without failures made %d"
                             % (n, calls)])
                break
            # A stride skips the middle of long sweeps: the first and last 20 always run.
            n += stride if stride > 1 and 20 <= n < calls - 20 - stride else 1
        with self.lock:
            self.reached[(scenario.name, mode, point, kind)] = hit


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--runner", default="")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--only", default="", help="scenario names, comma-separated")
    parser.add_argument("--points", default="", help="failure points, comma-separated")
    parser.add_argument("--modes", default="pool,page,heap")
    parser.add_argument("--stride", type=int, default=1)
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    exe = os.path.abspath(args.exe)
    scenarios = [s for s in SCENARIOS if not args.only or s.name in args.only.split(",")]
    points = [p for p in POINTS if not args.points or p in args.points.split(",")]
    modes = args.modes.split(",")
    began = time.monotonic()
    root = tempfile.mkdtemp(prefix="calvisto_sweep_")
    try:
        # A copy of the program: a build beside the sweep may replace the one in the build tree.
        copy = os.path.join(root, os.path.basename(exe))
        shutil.copy2(exe, copy)
        runner = [os.path.abspath(args.runner)] if args.runner else []
        sweep = Sweep(copy, runner, root, args.verbose)
        sweep.exe_path = os.path.realpath(copy)
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            for f in [pool.submit(sweep.baseline, s, m) for s in scenarios for m in modes]:
                f.result()
            # The longest sweeps first, so that the workers end together.
            work = sorted(((s, m, p, k) for s in scenarios for m in modes for p in points
                           for k in KINDS),
                          key=lambda w: -sweep.baselines[(w[0].name, w[1])].report.get(
                              w[2], (0,))[0])
            jobs = [pool.submit(sweep.sweep, *w, args.stride) for w in work]
            for f in jobs:
                f.result()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    sites = {}
    for (scenario, mode, point, _), hit in sweep.reached.items():
        sites.setdefault(point, set()).update((scenario, mode, n) for n in hit)
    print("%-20s %s" % ("point", "distinct failure sites (scenario, mode, n)"))
    for point in points:
        print("%-20s %d" % (point, len(sites.get(point, ()))))
    reached_runs = sum(len(h) for h in sweep.reached.values())
    print("%d failure sites, %d runs that reached their failure, %d runs in all, %.1f s" %
          (sum(len(s) for s in sites.values()), reached_runs, sweep.runs,
           time.monotonic() - began))
    print("%d runs entered the stress loop after losing their arguments" % sweep.kernel_runs)
    print("%d runs wrong" % len(sweep.problems))
    return 1 if sweep.problems else 0


if __name__ == "__main__":
    sys.exit(main())

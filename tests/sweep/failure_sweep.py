#!/usr/bin/env python3
"""Whole runs of the program with the Linux layer failing one system call (CALVISTO_FAIL,
winposix/fail_env.h): for every scenario of scenarios.json, memory mode and failure point, the
n-th call fails (that one, or every one from it) for n = 1, 2, ... until the layer's report at
ExitProcess says a run no longer reached it. Every run must end as a run without failures ends
(check() lists how); a lost command line may leave main without arguments, so that it runs the
stress test: stopped at the prompt and accepted for one failed allocation where main runs.
Usage: failure_sweep.py --exe build/host-asan/app/calvisto [--runner R]"""
import argparse
import concurrent.futures
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from types import SimpleNamespace

MEMORY_POINTS = ["VirtualAlloc", "HeapAlloc"]
POINTS = MEMORY_POINTS + ["CreateFileA", "CreateFileMappingA", "MapViewOfFile", "CreateThread"]
MODES = {"pool": None, "page": "1", "heap": "2"}  # the value of _Heap_Mgr_
PROMPT = b"Press ^C to stop CPU stress test...\r\n"
UNKNOWN = b"Unknown command-line argument: '-x'"
# A run whose memory fails may reach main (a lost option or argument) and lose its operand block.
NO_MEMORY, NO_MEMORY_LINE = 12, "Not enough memory for the stress test"
SANITIZER = re.compile(rb"AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|"
                       rb"runtime error:|SUMMARY: ")
RUN_SECONDS, STOP_SECONDS = 30, 5  # a run that takes longer hangs; after SIGINT
with open(os.path.join(os.path.dirname(__file__), "volatile_lines.txt")) as f:
    VOLATILE = [re.compile(line.rstrip("\n")) for line in f if not line.startswith("#")]
with open(os.path.join(os.path.dirname(__file__), "scenarios.json")) as f:
    SCENARIOS = [SimpleNamespace(**s) for s in json.load(f)]


def lines(data):
    """The lines of a text, and whether every one ends in CR LF."""
    parts = data.split(b"\r\n")
    whole = parts[-1] == b"" and not any(b"\n" in p or b"\r" in p for p in parts)
    return [p.decode("latin-1") for p in parts[:-1]], whole


def normal(line):
    return next((p.pattern for p in VOLATILE if p.fullmatch(line)), line)


def is_subsequence(part, whole):
    return all(x in it for it in [iter(whole)] for x in part)


class Sweep:
    def __init__(self, exe, runner, root):
        self.exe, self.runner, self.root, self.lock = exe, runner, root, threading.Lock()
        self.baselines, self.problems, self.reached, self.runs = {}, [], set(), 0

    def run(self, scenario, mode, fail=None):
        with self.lock:
            self.runs += 1
            folder = os.path.join(self.root, f"r{self.runs}")
        cwd, work, report, out_path, err_path = (os.path.join(folder, name) for name in
                                                 ("cwd", "work", "report", "out", "err"))
        os.makedirs(cwd)
        os.makedirs(work)
        for name, data in scenario.files.items():
            with open(os.path.join(cwd, name), "w", newline="") as f:
                f.write(data)
        env = {k: v for k, v in os.environ.items()
               if k not in ("_GlobSysArgs_", "_Heap_Mgr_", "CALVISTO_FAIL")}
        # The process ends with _exit: the layer runs the sanitizer's leak check itself (a
        # build without sanitizers ignores both). Reports go to stderr.
        env.update((k, v) for k, v in {
            "ASAN_OPTIONS": "detect_leaks=1:" + env.get("ASAN_OPTIONS", ""),
            "CALVISTO_FAIL_REPORT": report, "CALVISTO_LEAK_CHECK": "1" if mode == "heap" else None,
            "_GlobSysArgs_": scenario.glob, "_Heap_Mgr_": MODES[mode], "CALVISTO_FAIL": fail,
        }.items() if v is not None)
        args = [a.replace("{work}", work) for a in scenario.args]
        o = SimpleNamespace(kernel=False, hung=False, report={})
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen([*self.runner, self.exe, *args], cwd=cwd, env=env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    start_new_session=True)
        began = time.monotonic()
        while proc.poll() is None and not o.hung:
            # Most runs end within a fraction of a second: look often at first.
            time.sleep(0.01 if time.monotonic() - began < 2 else 0.1)
            with open(out_path, "rb") as f:
                o.kernel = proc.poll() is None and f.read().endswith(PROMPT)
            if o.kernel:
                os.killpg(proc.pid, signal.SIGINT)
                try:
                    proc.wait(timeout=STOP_SECONDS)
                except subprocess.TimeoutExpired:
                    o.hung = True
                break
            o.hung = time.monotonic() - began > RUN_SECONDS
        if o.hung:
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        o.rc = proc.returncode

        def read(path):  # the run's own folder shows as it is named in the scenario
            with open(path, "rb") as f:
                return f.read().replace(work.encode(), b"{work}")

        o.out, o.err = read(out_path), read(err_path)
        o.copies = {n: read(os.path.join(cwd, n)) if os.path.exists(os.path.join(cwd, n))
                    else None for n, _ in scenario.copies}
        for point, calls, armed, reached in map(str.split, read(report).decode().splitlines()
                                                if os.path.exists(report) else []):
            o.report[point] = (int(calls), int(armed), reached == "1")
        o.command = " ".join([f"{k}={env[k]!r}" for k in ("_Heap_Mgr_", "_GlobSysArgs_",
                                                            "CALVISTO_FAIL") if k in env] +
                             [repr(a) for a in [*self.runner, self.exe, *args]])
        shutil.rmtree(folder, ignore_errors=True)
        return o

    def check(self, scenario, mode, point, kind, o):
        """What is wrong with the run: not the scenario's exit code (or a lost argument's or
        option's), a signal, hang or sanitizer report, a line no run of the scenario shows (a lost
        argument or program path shows as an empty text), a block left in the pool, or a copy
        file holding text its console stream did not show."""
        if o.hung:
            return ["no end within %d s" % RUN_SECONDS]
        base = self.baselines.get((scenario.name, mode))
        memory, ended = point in MEMORY_POINTS, not o.kernel and o.rc >= 0
        (out, out_ok), (err, err_ok) = lines(o.out), lines(o.err)
        allowed = {scenario.rc}
        # A lost argument leaves main nothing to refuse; a lost option loses its effect.
        if memory and not (scenario.rc == 9 and UNKNOWN in o.err):
            allowed |= {*scenario.rc_if_lost, NO_MEMORY}
        wrong = [text for bad, text in [
            (SANITIZER.search(o.err), "sanitizer report"),
            # Main ran without its arguments: only a single lost copy explains that.
            (o.kernel and not (scenario.runs_main and memory and not kind),
             "entered the stress loop"),
            (not o.kernel and o.rc < 0, "ended by signal %d" % -o.rc),
            (ended and o.rc not in allowed, "exit code %d, not %s" % (o.rc, sorted(allowed))),
            (ended and re.search(rb"^ExitCode: (?!%d\r$)" % o.rc, o.err, re.M),
             "the ExitCode line differs from the exit code"),
            (not o.report and not o.kernel,
             "no failure report: the process did not end in ExitProcess"),
            (not (out_ok and err_ok), "a line that does not end in CR LF"),
            # Console output does not depend on a file or a mapping.
            (base and point in ("CreateFileA", "CreateFileMappingA", "MapViewOfFile") and
             ([normal(x) for x in out], [normal(x) for x in err]) != (base.out_norm,
                                                                      base.err_norm),
             "console output differs from the run without failures"),
        ] if bad]
        for stream, got, shown in (("stdout", out, base and base.out_allowed),
                                   ("stderr", err, base and base.err_allowed)):
            extra = [line for line in got if shown is not None and normal(line) not in shown
                     and not (memory and line == NO_MEMORY_LINE)]
            wrong += ["%s line(s) no run shows: %r" % (stream, extra[:3])] if extra else []
        wrong += ["blocks left in the pool: " + line for line in err
                  if re.match(r"CU:(?!0,0,)\d+,\d+,", line)]
        # A lost allocation or a failed open may lose a copy, or its end.
        lossy = memory or point == "CreateFileA"
        for name, stream in scenario.copies:
            data, kept = o.copies.get(name), scenario.files.get(name, "").encode()
            if data is None:
                wrong += ["%s missing" % name] if kept or (base and not lossy) else []
                continue
            if not data.startswith(kept):
                wrong.append("%s lost what it held before" % name)
                continue
            copied, ok = lines(data[len(kept):])
            console = out if stream == "out" else err
            if not ok or not is_subsequence(copied, console):
                wrong.append("%s holds text its console stream did not show" % name)
            elif not lossy and copied != console:
                wrong.append("%s is not a whole copy of its console stream" % name)
        return wrong

    def baseline(self, scenario, mode):
        o = self.run(scenario, mode)
        wrong = self.check(scenario, mode, None, None, o)
        if o.kernel or o.rc != scenario.rc:
            wrong.append("baseline exit code %r" % o.rc)
        out, err = lines(o.out)[0], lines(o.err)[0]
        o.out_norm, o.err_norm = [normal(x) for x in out], [normal(x) for x in err]
        # Documented results of lost copies: an empty argument, an empty program path.
        usage = {x.replace(os.path.realpath(self.exe), "") for x in out + err
                 if x.startswith("Usage: ")}
        o.out_allowed = set(o.out_norm) | usage | {"", PROMPT.decode().strip()}
        o.err_allowed = set(o.err_norm) | usage | {""}
        self.report(scenario, mode, "baseline", None, 0, o, wrong)
        with self.lock:
            self.baselines[(scenario.name, mode)] = o

    def report(self, scenario, mode, point, kind, n, o, wrong):
        if wrong:
            with self.lock:
                self.problems.append(wrong)
                print("FAIL %s/%s %s:%s:%s: %s\n  %s\n  stderr: %r" % (
                    scenario.name, mode, point, n, kind, "; ".join(wrong), o.command,
                    o.err[-300:]), flush=True)

    def sweep(self, scenario, mode, point, kind):
        calls = self.baselines[(scenario.name, mode)].report.get(point, (0,))[0]
        if calls == 0 and kind:
            return  # the same run as the transient one: no call fails, n = 1 is never reached
        for n in range(1, 3 * calls + 21):
            o = self.run(scenario, mode, f"{point}:{n}" + (":" + kind if kind else ""))
            self.report(scenario, mode, point, kind, n, o,
                        self.check(scenario, mode, point, kind, o))
            if point in o.report and not o.report[point][2]:
                return
            with self.lock:
                self.reached.add((scenario.name, mode, point, n))
        self.report(scenario, mode, point, kind, n, o, [
            "still reached after %d calls; the run without failures made %d" % (n, calls)])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--runner", default="")
    args = parser.parse_args()
    root = tempfile.mkdtemp(prefix="calvisto_sweep_")
    try:
        # A copy of the program: a build beside the sweep may replace the one in the build tree.
        copy = os.path.join(root, os.path.basename(args.exe))
        shutil.copy2(args.exe, copy)
        sweep = Sweep(copy, [os.path.abspath(args.runner)] if args.runner else [], root)
        with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
            list(pool.map(lambda w: sweep.baseline(*w), [(s, m) for s in SCENARIOS for m in MODES]))
            list(pool.map(lambda w: sweep.sweep(*w), [(s, m, p, k) for s in SCENARIOS for m in MODES
                                                      for p in POINTS for k in ("", "persistent")]))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("%d failure sites, %d runs, %d wrong" % (len(sweep.reached), sweep.runs,
                                                   len(sweep.problems)))
    return 1 if sweep.problems else 0


if __name__ == "__main__":
    sys.exit(main())

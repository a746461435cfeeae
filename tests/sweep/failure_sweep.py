#!/usr/bin/env python3
"""Whole runs with the Linux layer failing one system call (CALVISTO_FAIL, winposix/fail_env.h):
for every scenario of scenarios.json, memory mode and point, the n-th call fails (that one, or
every one from it) for n = 1, 2, ... until a run no longer reaches it. Every run must end as one
without failures (check() lists how); main left without arguments by a lost command line runs the
stress test: stopped at the prompt, and accepted for one failed allocation where main runs."""
import argparse, concurrent.futures, json, os, pathlib, re, shutil, signal, subprocess, sys
import tempfile, threading, time

MEMORY_POINTS = ["VirtualAlloc", "HeapAlloc"]
POINTS = MEMORY_POINTS + ["CreateFileA", "CreateFileMappingA", "MapViewOfFile", "CreateThread"]
MODES = {"pool": None, "page": "1", "heap": "2"}  # the value of _Heap_Mgr_
PROMPT = b"Press ^C to stop CPU stress test...\r\n"
# A run whose memory fails may reach main (a lost option or argument) and lose its operand block.
NO_MEMORY, NO_MEMORY_LINE = 12, "Not enough memory for the stress test"
SANITIZER = re.compile(rb"(Address|Leak|UndefinedBehavior)Sanitizer|runtime error:|SUMMARY: ")
RUN_SECONDS, STOP_SECONDS = 30, 5  # a run that takes longer hangs; after SIGINT
HERE = pathlib.Path(__file__).parent
VOLATILE = [re.compile(line) for line in (HERE / "volatile_lines.txt").read_text().splitlines()
            if not line.startswith("#")]
SCENARIOS = [argparse.Namespace(**s) for s in json.loads((HERE / "scenarios.json").read_text())]


def lines(data):
    """The lines of a text, and whether every one ends in CR LF."""
    parts = data.split(b"\r\n")
    whole = parts[-1] == b"" and not any(b"\n" in p or b"\r" in p for p in parts)
    return [p.decode("latin-1") for p in parts[:-1]], whole


def normal(line):
    return next((p.pattern for p in VOLATILE if p.fullmatch(line)), line)


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
        for path in (cwd, work):
            os.makedirs(path)
        for name, data in scenario.files.items():
            pathlib.Path(cwd, name).write_text(data, newline="")
        # The process ends with _exit: the layer runs the sanitizer's leak check itself (a
        # build without sanitizers ignores both). Reports go to stderr.
        env = {k: v for k, v in {
            **os.environ, "ASAN_OPTIONS": "detect_leaks=1:" + os.environ.get("ASAN_OPTIONS", ""),
            "CALVISTO_FAIL_REPORT": report, "CALVISTO_LEAK_CHECK": "1" if mode == "heap" else None,
            "_GlobSysArgs_": scenario.glob, "_Heap_Mgr_": MODES[mode], "CALVISTO_FAIL": fail,
        }.items() if v is not None}
        command = [*self.runner, self.exe, *(a.replace("{work}", work) for a in scenario.args)]
        o = argparse.Namespace(kernel=False, command=" ".join([f"{k}={env[k]!r}" for k in (
            "_Heap_Mgr_", "_GlobSysArgs_", "CALVISTO_FAIL") if k in env] + [*map(repr, command)]))
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, start_new_session=True)
        deadline = time.monotonic() + RUN_SECONDS
        while proc.poll() is None and time.monotonic() < deadline:
            # Most runs end within a fraction of a second: look often at first.
            time.sleep(0.01 if deadline - time.monotonic() > RUN_SECONDS - 2 else 0.1)
            with open(out_path, "rb") as f:
                if not o.kernel and proc.poll() is None and f.read().endswith(PROMPT):
                    o.kernel, deadline = True, time.monotonic() + STOP_SECONDS
                    os.killpg(proc.pid, signal.SIGINT)
        o.hung = proc.poll() is None
        if o.hung:
            os.killpg(proc.pid, signal.SIGKILL)
        o.rc = proc.wait()

        def read(path):  # the run's own folder shows as it is named in the scenario
            if os.path.exists(path):
                return pathlib.Path(path).read_bytes().replace(work.encode(), b"{work}")

        o.out, o.err = read(out_path), read(err_path)
        o.copies = {n: read(os.path.join(cwd, n)) for n, _ in scenario.copies}
        o.report = {p: (int(calls), int(armed), reached == "1") for p, calls, armed, reached in
                    map(str.split, (read(report) or b"").decode().splitlines())}
        shutil.rmtree(folder, ignore_errors=True)
        return o

    def check(self, scenario, mode, point, kind, o):
        if o.hung:
            return ["no end within %d s" % RUN_SECONDS]
        base = self.baselines.get((scenario.name, mode))
        memory, ended = point in MEMORY_POINTS, not o.kernel and o.rc >= 0
        (out, out_ok), (err, err_ok) = lines(o.out), lines(o.err)
        # A lost argument leaves main nothing to refuse; a lost option loses its effect.
        allowed = {scenario.rc} | ({*scenario.rc_if_lost, NO_MEMORY} if memory and not (
            scenario.rc == 9 and b"Unknown command-line argument: '-x'" in o.err) else set())
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
             ([normal(x) for x in out], [normal(x) for x in err]) != base.norm,
             "console output differs from the run without failures"),
        ] if bad]
        # A lost argument or program path shows as an empty text.
        for stream, got, shown in zip(("stdout", "stderr"), (out, err),
                                      base.allowed if base else ()):
            extra = [x for x in got if normal(x) not in shown and
                     not (memory and x == NO_MEMORY_LINE)]
            wrong += ["%s line(s) no run shows: %r" % (stream, extra[:3])] if extra else []
        wrong += ["blocks left in the pool: " + line for line in err
                  if re.match(r"CU:(?!0,0,)\d+,\d+,", line)]
        # A lost allocation or a failed open may lose a copy, or its end.
        lossy = memory or point == "CreateFileA"
        for name, stream in scenario.copies:
            data, kept = o.copies.get(name), scenario.files.get(name, "").encode()
            console, copied = out if stream == "out" else err, lines((data or b"")[len(kept):])
            if data is None:
                wrong += ["%s missing" % name] if kept or (base and not lossy) else []
            elif not data.startswith(kept):
                wrong.append("%s lost what it held before" % name)
            elif not copied[1] or not all(x in it for it in [iter(console)] for x in copied[0]):
                wrong.append("%s holds text its console stream did not show" % name)
            elif not lossy and copied[0] != console:
                wrong.append("%s is not a whole copy of its console stream" % name)
        return wrong

    def baseline(self, scenario, mode):
        o = self.run(scenario, mode)
        wrong = self.check(scenario, mode, None, None, o)
        wrong += ["baseline exit code %r" % o.rc] if o.kernel or o.rc != scenario.rc else []
        o.norm = tuple([normal(x) for x in lines(data)[0]] for data in (o.out, o.err))
        # Documented results of lost copies: an empty argument, an empty program path.
        usage = {"", *(x.replace(os.path.realpath(self.exe), "") for x in
                       lines(o.out)[0] + lines(o.err)[0] if x.startswith("Usage: "))}
        o.allowed = set(o.norm[0]) | usage | {PROMPT.decode().strip()}, set(o.norm[1]) | usage
        self.report(f"{scenario.name}/{mode} baseline", o, wrong)
        with self.lock:
            self.baselines[(scenario.name, mode)] = o

    def report(self, what, o, wrong):
        if wrong:
            with self.lock:
                self.problems.append(wrong)
                print(f"FAIL {what}: {'; '.join(wrong)}\n  {o.command}\n  stderr: {o.err[-300:]!r}",
                      flush=True)

    def sweep(self, scenario, mode, point, kind):
        calls = self.baselines[(scenario.name, mode)].report.get(point, (0,))[0]
        if calls == 0 and kind:
            return  # the same run as the transient one: no call fails, n = 1 is never reached
        for n in range(1, 3 * calls + 21):
            o = self.run(scenario, mode, f"{point}:{n}" + (":" + kind if kind else ""))
            what = f"{scenario.name}/{mode} {point}:{n}:{kind}"
            self.report(what, o, self.check(scenario, mode, point, kind, o))
            if point in o.report and not o.report[point][2]:
                return
            with self.lock:
                self.reached.add((scenario.name, mode, point, n))
        self.report(what, o, [f"still reached after {n} calls; {calls} without failures"])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--runner", default="")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="calvisto_sweep_", ignore_cleanup_errors=True) as root:
        # A copy of the program: a build beside the sweep may replace the one in the build tree.
        copy = shutil.copy2(args.exe, os.path.join(root, os.path.basename(args.exe)))
        sweep = Sweep(copy, [os.path.abspath(args.runner)] if args.runner else [], root)
        with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
            list(pool.map(lambda w: sweep.baseline(*w), [(s, m) for s in SCENARIOS for m in MODES]))
            list(pool.map(lambda w: sweep.sweep(*w), [(s, m, p, k) for s in SCENARIOS for m in MODES
                                                      for p in POINTS for k in ("", "persistent")]))
    print(f"{len(sweep.reached)} failure sites, {sweep.runs} runs, {len(sweep.problems)} wrong")
    sys.exit(1 if sweep.problems else 0)

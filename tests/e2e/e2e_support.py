"""What the end-to-end scripts share. run_tests is the start of every script: it takes --exe
(the program) and --runner (the emulator in front of a Windows program), runs the script's tests
and ends with the closing line 'N passed, N failed, N skipped', where a failed subtest stands
for its test."""
import argparse
import contextlib
import os
import subprocess
import sys
import time
import unittest


def environment(glob_sys_args=None):
    """This process's environment without runtime options, or with the given ones."""
    env = {k: v for k, v in os.environ.items() if k != "_GlobSysArgs_"}
    if glob_sys_args is not None:
        env["_GlobSysArgs_"] = glob_sys_args
    return env


def still_running(proc, seconds):
    """True when the process has not ended within the given time."""
    try:
        proc.wait(timeout=seconds)
        return False
    except subprocess.TimeoutExpired:
        return True


@contextlib.contextmanager
def reaped(proc):
    """Kills the process on the way out if it is still running, so no test leaves one behind."""
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def read_until(stream, wanted, timeout):
    """What the stream carried until the wanted bytes arrived or the time ran out."""
    data = b""
    deadline = time.monotonic() + timeout
    os.set_blocking(stream.fileno(), False)
    while wanted not in data and time.monotonic() < deadline:
        chunk = stream.read()
        if chunk:
            data += chunk
        else:
            time.sleep(0.02)
    return data


def cpu_seconds(pid):
    """User plus system time of every thread of the process, from the kernel's accounting."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")

def run_tests(script_globals):
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    script_globals["EXE"] = os.path.abspath(args.exe)
    script_globals["RUNNER"] = [os.path.abspath(args.runner)] if args.runner else []
    result = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result
    failed = len({getattr(test, "test_case", test).id()
                  for test, _ in result.failures + result.errors})
    skipped = len(result.skipped)
    print(f"{result.testsRun - failed - skipped} passed, {failed} failed, {skipped} skipped")
    return 0 if result.wasSuccessful() else 1

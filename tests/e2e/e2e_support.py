"""What the end-to-end scripts share. run_tests is the start of every script: it takes --exe
(the program) and --runner (the emulator in front of a Windows program), runs the script's tests
and ends with the closing line 'N passed, N failed, N skipped', where a failed subtest stands
for its test.

Two runners exist: cmake/wine-run (Wine, with its own console, processes and file system
between) and winrun (the 32-bit runner, one process on the same Linux layer as the host
program). A script sees WINE for the first and PE32 for a 32-bit image, whichever runs it."""
import argparse
import contextlib
import os
import struct
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


def is_pe32(path):
    """True for a 32-bit x86 Windows image."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ" or len(head) < 0x40:
        return False
    at = struct.unpack_from("<I", head, 0x3C)[0]
    return head[at:at + 6] == b"PE\0\0\x4c\x01"


def run_tests(script_globals):
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    script_globals["EXE"] = os.path.abspath(args.exe)
    script_globals["RUNNER"] = [os.path.abspath(args.runner)] if args.runner else []
    script_globals["WINE"] = os.path.basename(args.runner) == "wine-run"
    script_globals["PE32"] = is_pe32(args.exe)
    result = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result
    failed = len({getattr(test, "test_case", test).id()
                  for test, _ in result.failures + result.errors})
    skipped = len(result.skipped)
    # A class skipped in setUpClass counts as skipped without having run.
    ran_and_skipped = sum(isinstance(test, unittest.TestCase) for test, _ in result.skipped)
    print(f"{result.testsRun - failed - ran_and_skipped} passed, {failed} failed, "
          f"{skipped} skipped")
    return 0 if result.wasSuccessful() else 1

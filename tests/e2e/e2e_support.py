"""What the end-to-end scripts share. run_tests starts every script: it takes --exe and --runner
(cmake/wine-run: Wine, with its own console, processes and files; winrun: the 32-bit runner on
the host's Linux layer), sets EXE, RUNNER, WINE and PE32 (a 32-bit image) here and in the script,
and ends with 'N passed, N failed, N skipped', where a failed subtest stands for its test."""
import argparse, contextlib, fcntl, os, subprocess, sys, termios, time, unittest

EXE, RUNNER, WINE, PE32 = None, [], False, False
PROMPT = b"Press ^C to stop CPU stress test...\r\n"
BANNER_START = b"Calvisto 1.1  "
USAGE_TAIL = b" [-Affinity:<n>] [-v]]\r\n"


def environment(glob_sys_args=None, **extra):
    """This process's environment without the program's variables, with the given ones."""
    return {k: v for k, v in {**os.environ, "_GlobSysArgs_": glob_sys_args, "_Heap_Mgr_": None,
                              **extra}.items() if v is not None}


def start(*args, exe=None, command=None, env=None, stdin="null", stdout="pipe", stderr="pipe",
          terminal=None, before=None, **popen):
    """Starts the program (or command) in a session of its own, so without console input, or
    with terminal (a pseudo-terminal) as that and standard input. A stream is "pipe", "null",
    "closed", "full", "broken" (no reader), "terminal" (not the controlling one) or input bytes."""
    streams, closing, held = [], [], []  # held: ours to close once the program has them
    for fd, how in enumerate((stdin, stdout, stderr)):
        if how == "full":
            held.append(os.open("/dev/full", os.O_WRONLY))
        elif how == "broken":
            reader, writer = os.pipe()
            os.close(reader)
            held.append(writer)
        elif how == "terminal":
            held += os.openpty()
        closing += [fd] if how == "closed" else []
        streams.append(held[-1] if how in ("full", "broken", "terminal") else
                       subprocess.DEVNULL if how in ("closed", "null") else subprocess.PIPE)

    def prepare():
        if terminal is not None:
            os.setsid()
            fcntl.ioctl(terminal, termios.TIOCSCTTY, 0)
        if before is not None:
            before()
        for fd in closing:
            os.close(fd)

    proc = subprocess.Popen(command or RUNNER + [exe or EXE, *args], stdout=streams[1],
                            stdin=streams[0] if terminal is None else terminal, stderr=streams[2],
                            env=env or environment(), preexec_fn=prepare,
                            start_new_session=terminal is None, **popen)
    for fd in held:
        os.close(fd)
    proc.input = stdin if isinstance(stdin, bytes) else None
    return proc


def run(*args, timeout=60, **how):
    """(exit code, standard output, standard error) of a whole run; those not piped are b""."""
    with reaped(start(*args, **how)) as proc:
        out, err = proc.communicate(proc.input, timeout=timeout)
    return proc.returncode, out or b"", err or b""


def is_program_path(text):
    """True for the program's full path as the program sees it."""
    if WINE:
        return text.lower().endswith(os.path.basename(EXE).lower()) and ":\\" in text
    return text == os.path.realpath(EXE)


def lines(data):
    """The lines of a text whose every line ends in CR LF."""
    assert data == b"" or data.endswith(b"\r\n"), data[-80:]
    return [line.decode("latin-1") for line in data.split(b"\r\n")[:-1]]


def still_running(proc, seconds):
    """True when the process has not ended within the given time."""
    with contextlib.suppress(subprocess.TimeoutExpired):
        return proc.wait(timeout=seconds) is None
    return True


def gone(pid):
    """True when the process has ended (a zombie waits only for its parent)."""
    with contextlib.suppress(FileNotFoundError), open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    return True


@contextlib.contextmanager
def reaped(proc):
    """Kills the process on the way out if it still runs, waits for it, closes its pipes."""
    with proc:
        try:
            yield proc
        finally:
            if proc.poll() is None:
                proc.kill()


def read_until(stream, wanted, timeout):
    """What the stream carried until the wanted bytes arrived or the time ran out."""
    data, deadline = b"", time.monotonic() + timeout
    os.set_blocking(stream.fileno(), False)
    while wanted not in data and time.monotonic() < deadline:
        chunk = stream.read()
        data += chunk or b""
        time.sleep(0 if chunk else 0.02)
    return data


def thread_stats(pid):
    """Each live thread's fields after its state: utime at 11, the last processor at 36."""
    found = []
    for tid in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(FileNotFoundError), open(f"/proc/{pid}/task/{tid}/stat") as f:
            found.append([0] + [int(x) for x in f.read().rsplit(")", 1)[1].split()[1:]])
    return found


def cpu_seconds(pid):
    """User plus system time of every thread of the process."""
    return sum(f[11] + f[12] for f in thread_stats(pid)) / os.sysconf("SC_CLK_TCK")


def run_tests(script_globals):
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    given = {"EXE": os.path.abspath(args.exe),
             "RUNNER": [os.path.abspath(args.runner)] if args.runner else [],
             "WINE": os.path.basename(args.runner) == "wine-run",
             "PE32": os.path.basename(args.runner) == "winrun"}
    globals().update(given)
    script_globals.update(given)
    result = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result
    failed = len({getattr(test, "test_case", test).id()
                  for test, _ in result.failures + result.errors})
    skipped = len(result.skipped)
    print(f"{result.testsRun - failed - skipped} passed, {failed} failed, {skipped} skipped")
    return 0 if result.wasSuccessful() else 1

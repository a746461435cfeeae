"""An image the runner cannot run does not start, and the runner says why: calvisto.exe with one
thing changed at a time. Ends with 'N passed, N failed'."""
import argparse
import os
import struct
import subprocess
import sys
import tempfile


def patched(image, change):
    data = bytearray(image)
    header = struct.unpack_from("<I", data, 0x3C)[0]
    change(data, header)
    return bytes(data)


def rename_import(data, _):
    at = data.index(b"GetTickCount\0")
    data[at:at + 12] = b"GetTickCounX"


def move_base(data, header):
    struct.pack_into("<I", data, header + 24 + 28, 0x10000000)  # where the runner lies


def other_machine(data, header):
    struct.pack_into("<H", data, header + 4, 0x8664)


CASES = [
    (rename_import, "imports GetTickCounX from KERNEL32.dll"),
    (move_base, "base 0x10000000 is taken"),
    (other_machine, "not a 32-bit x86 image"),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--runner", required=True)
    args = parser.parse_args()
    with open(args.exe, "rb") as f:
        image = f.read()
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for change, expected in CASES:
            path = os.path.join(folder, change.__name__ + ".exe")
            with open(path, "wb") as f:
                f.write(patched(image, change))
            run = subprocess.run([args.runner, path, "-~NoMain"], capture_output=True, timeout=30)
            error = run.stderr.decode(errors="replace")
            if run.returncode != 126 or expected not in error or run.stdout:
                failed += 1
                print(f"{change.__name__}: exit {run.returncode}, stdout {run.stdout!r}, "
                      f"stderr {error!r}; wanted 126 and '{expected}'")
    print(f"{len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

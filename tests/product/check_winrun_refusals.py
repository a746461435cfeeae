"""An image the runner cannot run does not start, and the runner says why: calvisto.exe with one
thing changed at a time. Ends with 'N passed, N failed'."""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

parser = argparse.ArgumentParser()
parser.add_argument("--exe", required=True)
parser.add_argument("--runner", required=True)
args = parser.parse_args()
with open(args.exe, "rb") as f:
    image = f.read()
header = struct.unpack_from("<I", image, 0x3C)[0]
# (name, offset, new bytes, the reason the runner gives)
CASES = [("rename_import", image.index(b"GetTickCount\0"), b"GetTickCounX",
          "imports GetTickCounX from KERNEL32.dll"),
         ("move_base", header + 24 + 28, struct.pack("<I", 0x10000000),  # where the runner lies
          "base 0x10000000 is taken"),
         ("other_machine", header + 4, struct.pack("<H", 0x8664), "not a 32-bit x86 image")]
failed = 0
with tempfile.TemporaryDirectory() as folder:
    for name, at, new, expected in CASES:
        path = os.path.join(folder, name + ".exe")
        with open(path, "wb") as f:
            f.write(image[:at] + new + image[at + len(new):])
        run = subprocess.run([args.runner, path, "-~NoMain"], capture_output=True, timeout=30)
        error = run.stderr.decode(errors="replace")
        if run.returncode != 126 or expected not in error or run.stdout:
            failed += 1
            print(f"{name}: exit {run.returncode}, stdout {run.stdout!r}, stderr {error!r}; "
                  f"wanted 126 and '{expected}'")
print(f"{len(CASES) - failed} passed, {failed} failed")
sys.exit(1 if failed else 0)

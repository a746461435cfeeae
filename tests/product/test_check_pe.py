#!/usr/bin/env python3
"""Shows that check_pe.py fails for each fault it is meant to catch: it is run on copies of the
built calvisto.exe that each carry one planted fault, and must fail naming that fault."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_pe  # noqa: E402

ARGS = None
PADDING = (0x90, 0xCC)


def run_checker(exe, map_file):
    cmd = [sys.executable, os.path.join(HERE, "check_pe.py"), "--objdump", ARGS.objdump,
           "--exe", exe]
    if map_file:
        cmd += ["--map", map_file]
    done = subprocess.run(cmd, capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def loop_offset(data):
    at = data.find(check_pe.LOOP)
    assert at >= 0 and data.find(check_pe.LOOP, at + 1) < 0, "the loop is not in the image once"
    return at


def change_loop_byte(data, map_text):
    # The store form of add eax, ebx: what an assembler emits unless told otherwise.
    at = loop_offset(data) + check_pe.LOOP.index(bytes.fromhex("03c3"))
    return data[:at] + bytes.fromhex("01d8") + data[at + 2:], map_text


def rename_import(data, map_text):
    # FlsGetValue: same length as ExitProcess, exported only from Windows Server 2003 on.
    found = list(re.finditer(rb"(?<![\w])ExitProcess\0", data))
    assert found, "ExitProcess is not imported"
    for m in found:
        data = data[:m.start()] + b"FlsGetValue\0" + data[m.end():]
    return data, map_text


def import_c_runtime(data, map_text):
    found = list(re.finditer(rb"(?i)(?<![\w])kernel32\.dll\0", data))
    assert found, "no kernel32.dll import"
    for m in found:
        data = data[:m.start()] + b"msvcrt.dll\0\0\0" + data[m.end():]
    return data, map_text


def sse_after_loop(data, map_text):
    at = loop_offset(data) + len(check_pe.LOOP)
    assert all(b in PADDING for b in data[at:at + 3]), "no padding after the loop"
    return data[:at] + bytes.fromhex("0f58c1") + data[at + 3:], map_text  # addps xmm0, xmm1


def move_kernel(data, map_text, distance):
    # Moves the kernel up, intact, into the padding after it, and the map with it.
    line = re.compile(r"^(\s+0x)([0-9a-fA-F]+)(\s+_?StressKernel\s*)$", re.MULTILINE)
    m = line.search(map_text)
    kernel = int(m.group(2), 16)
    image = check_pe.Image(ARGS.exe)
    start = image.offset(kernel - image.image_base)
    end = loop_offset(data) + len(check_pe.LOOP)
    assert all(b in PADDING for b in data[end:end + distance]), "too little padding after the loop"
    data = data[:start] + b"\xcc" * distance + data[start:end] + data[end + distance:]
    digits = len(m.group(2))
    map_text = line.sub(lambda k: f"{k.group(1)}{kernel + distance:0{digits}x}{k.group(3)}",
                        map_text)
    return data, map_text


def misalign_loop(data, map_text):
    return move_kernel(data, map_text, 1)


def move_loop_in_line(data, map_text):
    # Still on a 16-byte boundary, but at another place in its 64-byte line.
    return move_kernel(data, map_text, 16)


def break_pure_virtual(data, map_text):
    # The slot target no longer leads anywhere: its first bytes become breakpoints.
    m = re.search(r"^\s+0x([0-9a-fA-F]+)\s+_*cxa_pure_virtual\s*$", map_text, re.MULTILINE)
    assert m, "no __cxa_pure_virtual in the map"
    image = check_pe.Image(ARGS.exe)
    at = image.offset(int(m.group(1), 16) - image.image_base)
    return data[:at] + b"\xcc" * 8 + data[at + 8:], map_text


# (planted fault, doctor, what the checker must say)
CASES = [
    ("loop byte changed", change_loop_byte, "the power loop differs from its table"),
    ("import not allowed", rename_import, "FlsGetValue, which is not in allowed_imports.txt"),
    ("C runtime import", import_c_runtime, "imports the C runtime: msvcrt.dll"),
    ("SSE outside the loop", sse_after_loop, "SSE or newer instruction(s) outside"),
    ("loop off its boundary", misalign_loop, "not on a 16-byte boundary"),
    ("loop moved in its line", move_loop_in_line, "bytes into its 64-byte line instead of"),
    ("pure virtual slot astray", break_pure_virtual, "does not reach the pure-virtual handler"),
]
NEEDS_MAP = {"loop off its boundary", "loop moved in its line", "pure virtual slot astray"}


class CheckerCatchesFaults(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="check_pe_")
        with open(ARGS.exe, "rb") as f:
            self.data = f.read()
        self.map_text = None
        if ARGS.map:
            with open(ARGS.map, encoding="latin-1") as f:
                self.map_text = f.read()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, data, map_text):
        exe = os.path.join(self.dir, "calvisto.exe")
        with open(exe, "wb") as f:
            f.write(data)
        map_file = None
        if map_text is not None:
            map_file = os.path.join(self.dir, "calvisto.map")
            with open(map_file, "w", encoding="latin-1") as f:
                f.write(map_text)
        return exe, map_file

    def test_unchanged_copy_passes(self):
        rc, out = run_checker(*self.write(self.data, self.map_text))
        self.assertEqual(rc, 0, out)

    def test_each_planted_fault_fails(self):
        for name, doctor, message in CASES:
            with self.subTest(name):
                if name in NEEDS_MAP and self.map_text is None:
                    self.skipTest("needs the linker map")
                data, map_text = doctor(self.data, self.map_text)
                self.assertNotEqual(data, self.data)
                rc, out = run_checker(*self.write(data, map_text))
                self.assertEqual(rc, 1, out)
                self.assertIn(message, out)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--map")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest)

#!/usr/bin/env python3
"""Fails when the runtime library needs a symbol from outside itself that is neither a system
function reached through the Win32 seam nor one of the few helpers every compiler expects
(block copies, 64-bit division on 32-bit targets, stack probes, the global new and delete that
the product supplies itself) or the program's main, which the runtime starts. A call into the C or C++ library, or a static constructor or
destructor registered with atexit, shows up here."""
import argparse
import re
import subprocess
import sys

COMPILER_SUPPORT = re.compile(
    r"^_?(memcpy|memmove|memset|__udivdi3|__umoddi3|__divdi3|__moddi3|__udivmoddi4|"
    r"_?__chkstk(_ms)?|_?_alloca|__cxa_pure_virtual|_Zn[wa][jmy]|_Zd[la]Pv[jmy]?|"
    r"_GLOBAL_OFFSET_TABLE_|main)$"
    r"|^__(asan|ubsan|sanitizer)_")


def symbols(nm, archive, options=()):
    out = subprocess.run([nm, *options, "-A", archive], check=True, capture_output=True,
                         text=True).stdout
    defined, undefined = set(), {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) < 2:
            continue
        where, kind, name = parts[0], parts[-2], parts[-1]
        if kind == "U":
            undefined.setdefault(name, where.rstrip(":"))
        elif kind not in ("w", "v"):
            defined.add(name)
    return defined, undefined


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nm", required=True)
    parser.add_argument("--library", required=True, help="the runtime archive")
    parser.add_argument("--object-format",
                        help="read the archive as this object format (for link-time optimised "
                        "objects: their machine code, not the compiler's summary)")
    parser.add_argument("--seam", action="append", default=[],
                        help="an archive whose definitions stand for the system (Linux layer)")
    args = parser.parse_args()

    options = [f"--target={args.object_format}"] if args.object_format else []
    own, needed = symbols(args.nm, args.library, options)
    seam = set()
    for archive in args.seam:
        seam |= symbols(args.nm, archive)[0]

    bad = []
    for name, where in sorted(needed.items()):
        if name in own or name in seam or name.startswith("__imp_") or COMPILER_SUPPORT.search(name):
            continue
        bad.append(f"{name} (needed by {where})")
    if bad:
        print("the runtime needs symbols from outside itself:")
        print("\n".join("  " + b for b in bad))
        return 1
    print(f"runtime symbols: {len(needed)} needed, all from the runtime, the system or the compiler")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Fails when the runtime library needs a symbol from outside itself that is neither a system
function reached through the Win32 seam nor one of the few helpers every compiler expects
(block copies, 64-bit division on 32-bit targets, stack probes, the global new and delete that
the product supplies itself) or the program's main, which the runtime starts. A call into the C
or C++ library, or a static constructor or destructor registered with atexit, shows up here."""
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
    """(defined names, {undefined name: the member that needs it})"""
    out = subprocess.run([nm, *options, "-A", archive], check=True, capture_output=True,
                         text=True).stdout
    defined, undefined = set(), {}
    for parts in (line.split() for line in out.splitlines()):
        if len(parts) >= 2 and parts[-2] == "U":
            undefined.setdefault(parts[-1], parts[0].rstrip(":"))
        elif len(parts) >= 2 and parts[-2] not in ("w", "v"):
            defined.add(parts[-1])
    return defined, undefined


parser = argparse.ArgumentParser()
parser.add_argument("--nm", required=True)
parser.add_argument("--library", required=True, help="the runtime archive")
# For link-time optimised objects: their machine code, not the compiler's summary.
parser.add_argument("--object-format", help="read the archive as this object format")
parser.add_argument("--seam", action="append", default=[],
                    help="an archive whose definitions stand for the system (Linux layer)")
args = parser.parse_args()
own, needed = symbols(args.nm, args.library,
                      [f"--target={args.object_format}"] if args.object_format else [])
seam = set().union(*(symbols(args.nm, archive)[0] for archive in args.seam))
bad = [f"  {name} (needed by {where})" for name, where in sorted(needed.items())
       if not (name in own or name in seam or name.startswith("__imp_") or
               COMPILER_SUPPORT.search(name))]
print("\n".join(["the runtime needs symbols from outside itself:", *bad]) if bad else
      f"runtime symbols: {len(needed)} needed, all from the runtime, the system or the compiler")
sys.exit(1 if bad else 0)

#!/usr/bin/env python3
"""Checks that the host program's start-up path is laid out together: the functions its start-up
order lists must span at most twice the bytes they take. Linked without the order they lie
among the C library's and the layer's other functions, several times as far apart.

    check_startup_order.py --nm NM --exe PROGRAM --order app/startup.order
"""
import argparse
import subprocess
import sys

CODE = "tTwW"
MOST_SPREAD = 2.0    # span / total size
FEWEST_FOUND = 100   # fewer listed functions in the program: the list is stale


def listed_functions(nm, exe, names):
    """(address, size) of every function of the program that the list names."""
    out = subprocess.run([nm, "-S", "--defined-only", exe], check=True, capture_output=True,
                         text=True).stdout
    found = []
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 4 and parts[2] in CODE and parts[3] in names:
            found.append((int(parts[0], 16), int(parts[1], 16)))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--order", required=True)
    args = parser.parse_args()
    with open(args.order) as f:
        names = {line.strip() for line in f if line.strip() and not line.startswith("#")}
    found = listed_functions(args.nm, args.exe, names)
    if len(found) < FEWEST_FOUND:
        print(f"{args.exe}: only {len(found)} functions of {args.order} found: "
              "rewrite the list with scripts/startup-order")
        return 1
    total = sum(size for _, size in found)
    span = max(a + s for a, s in found) - min(a for a, _ in found)
    print(f"{args.exe}: {len(found)} start-up functions, {total:,} bytes over {span:,}")
    if span > MOST_SPREAD * total:
        print(f"FAILED: they span {span / total:.1f} times their size; is the program linked "
              "with its start-up order?")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

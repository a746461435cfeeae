#!/usr/bin/env python3
"""Fails unless every --present text occurs in the file and no --absent text does."""
import argparse
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("--present", action="append", default=[])
    parser.add_argument("--absent", action="append", default=[])
    args = parser.parse_args()
    data = open(args.file, "rb").read()
    bad = [f"missing: {t}" for t in args.present if t.encode() not in data]
    bad += [f"in plain sight: {t}" for t in args.absent if t.encode() in data]
    for line in bad:
        print(f"{args.file}: {line}")
    if not bad:
        print(f"{args.file}: {len(args.present)} found, {len(args.absent)} hidden")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

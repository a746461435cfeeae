#!/usr/bin/env python3
"""check_absent.py FILE [--present TEXT | --absent TEXT]...: fails unless every present text
occurs in the file and no absent text does."""
import sys

data, pairs = open(sys.argv[1], "rb").read(), list(zip(sys.argv[2::2], sys.argv[3::2]))
bad = [f"missing: {t}" for how, t in pairs if how == "--present" and t.encode() not in data]
bad += [f"in plain sight: {t}" for how, t in pairs if how == "--absent" and t.encode() in data]
assert all(how in ("--present", "--absent") for how, _ in pairs), pairs
print("\n".join(f"{sys.argv[1]}: {line}" for line in bad) or f"{sys.argv[1]}: {len(pairs)} checked")
sys.exit(1 if bad else 0)

"""The shared start of every end-to-end script: it takes --exe (the program) and --runner (the
emulator in front of a Windows program), runs the script's tests and ends with the closing line
'N passed, N failed, N skipped', where a failed subtest stands for its test."""
import argparse
import os
import sys
import unittest


def run_tests(script_globals):
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--runner", default="")
    args, rest = parser.parse_known_args()
    script_globals["EXE"] = os.path.abspath(args.exe)
    script_globals["RUNNER"] = [os.path.abspath(args.runner)] if args.runner else []
    result = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result
    failed = len({getattr(test, "test_case", test).id()
                  for test, _ in result.failures + result.errors})
    skipped = len(result.skipped)
    print(f"{result.testsRun - failed - skipped} passed, {failed} failed, {skipped} skipped")
    return 0 if result.wasSuccessful() else 1

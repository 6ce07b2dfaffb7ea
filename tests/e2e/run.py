#!/usr/bin/env python3
# Runs the end-to-end tests of the launcher under Wine and prints a summary.
#   tests/e2e/run.py --windows-build build/windows --host-build build/host-release [-k PATTERN]
# Exit status 0 only when every test passed (skips fail unless --allow-skips).
import os
import sys
import time
import unittest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, REPO)
from tests.e2e import cli  # noqa: E402


def main():
    parser = cli.parser(__doc__)
    parser.add_argument("-k", dest="patterns", action="append", default=[],
                        help="run only tests whose name contains this (repeatable)")
    parser.add_argument("--allow-skips", action="store_true")
    parser.add_argument("-q", "--quiet", action="store_true")
    args = parser.parse_args()
    cli.apply(args)
    from tests.e2e import harness

    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = [f"*{p}*" for p in args.patterns]
    suite = loader.discover(os.path.join(REPO, "tests", "e2e"), top_level_dir=REPO)

    started = time.monotonic()
    try:
        result = unittest.TextTestRunner(verbosity=1 if args.quiet else 2).run(suite)
    finally:
        if harness._session is not None and args.keep:
            print(f"kept: {harness._session.root}")
        harness.close_session()
    elapsed = time.monotonic() - started

    setup = getattr(harness._session, "setup_seconds", None)
    print()
    print("=" * 70)
    print(f"Lumaro end-to-end (Wine): {result.testsRun} run, {len(result.failures)} failed, "
          f"{len(result.errors)} errors, {len(result.skipped)} skipped, "
          f"{elapsed:.1f} s" + (f" (prefix setup {setup:.1f} s)" if setup is not None else ""))
    for test, _ in result.failures + result.errors:
        print(f"  FAIL  {test.id()}")
    for test, why in result.skipped:
        print(f"  SKIP  {test.id()}: {why}")
    print("=" * 70)
    if not result.wasSuccessful():
        return 1
    if result.skipped and not args.allow_skips:
        print("skipped tests count as failure (pass --allow-skips to accept)")
        return 1
    if result.testsRun == 0:
        print("no tests ran")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

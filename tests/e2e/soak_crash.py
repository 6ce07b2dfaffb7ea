#!/usr/bin/env python3
# Soak run of the crash scenario (not part of CI): kills the launcher at random
# moments of many first installs of about 90 MB and checks that RuntimeDir is
# never left incomplete.
#   tests/e2e/soak_crash.py --windows-build build/windows --host-build build/host-release
#                           [--rounds 100] [--seed N] [--prefix DIR] [--keep]
import argparse
import os
import sys
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--windows-build", default="build/windows")
    parser.add_argument("--host-build", default="build/host-release")
    parser.add_argument("--wine-tools")
    parser.add_argument("--rounds", type=int, default=100)
    parser.add_argument("--seed", type=int, default=time.time_ns() % 2**32)
    parser.add_argument("--prefix", help="reuse this Wine prefix instead of a fresh one")
    parser.add_argument("--keep", action="store_true", help="keep the run's temporary folder")
    args = parser.parse_args()

    os.environ["LUMARO_WINDOWS_BUILD"] = os.path.abspath(args.windows_build)
    os.environ["LUMARO_HOST_BUILD"] = os.path.abspath(args.host_build)
    if args.wine_tools:
        os.environ["LUMARO_WINE_TOOLS"] = os.path.abspath(args.wine_tools)
    if args.prefix:
        os.environ["LUMARO_E2E_PREFIX"] = os.path.abspath(args.prefix)
    if args.keep:
        os.environ["LUMARO_E2E_KEEP"] = "1"
    sys.path.insert(0, REPO)
    from tests.e2e import e2e_apps, harness

    try:
        s = harness.session()
        started = time.monotonic()
        rounds = e2e_apps.CrashRounds(s, args.seed)
        print(f"package built in {time.monotonic() - started:.1f} s; seed {args.seed}", flush=True)
        print(f"install takes {rounds.calibrate():.2f} s; killing within that", flush=True)
        for n in range(1, args.rounds + 1):
            rounds.round(n)
            if n % 10 == 0:
                print(f"  {n} rounds: {rounds.counts}", flush=True)
        rounds.elapsed_s = time.monotonic() - started
        print(rounds.summary())
        for failure in rounds.failures:
            print(f"FAIL {failure}")
        return 1 if rounds.failures or rounds.counts["incomplete"] else 0
    finally:
        if args.keep and harness._session is not None:
            print(f"kept: {harness._session.root}")
        harness.close_session()


if __name__ == "__main__":
    sys.exit(main())

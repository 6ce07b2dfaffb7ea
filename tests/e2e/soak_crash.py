#!/usr/bin/env python3
# Soak run of the crash scenario (not part of CI): kills the launcher at random
# moments of many first installs of about 90 MB and checks that RuntimeDir is
# never left incomplete.
#   tests/e2e/soak_crash.py --windows-build build/windows --host-build build/host-release
#                           [--rounds 100] [--seed N] [--prefix DIR] [--keep]
import os
import sys
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, REPO)
from tests.e2e import cli  # noqa: E402


def main():
    parser = cli.parser(__doc__)
    parser.add_argument("--rounds", type=int, default=100)
    parser.add_argument("--seed", type=int, default=time.time_ns() % 2**32)
    args = parser.parse_args()
    cli.apply(args)
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

# Crash scenario: the launcher is killed (SIGKILL to its Wine process, no help
# from Wine's server) at random moments of a first install of about 90 MB. After
# every kill RuntimeDir is absent or complete, and the next launch completes
# it. A soak (not in CI) runs more rounds:
#   LUMARO_CRASH_ROUNDS=100 python3 -m pytest tests/e2e -k crash -s
import os
import sys
import time

from lmr.e2e.crash import CrashRounds
from lmr.e2e.session import LauncherTestCase


class CrashTests(LauncherTestCase):

    def test_killed_first_installs_never_leave_a_partial_runtime(self) -> None:
        seed = int(os.environ.get("LUMARO_CRASH_SEED") or time.time_ns() % 2**32)
        rounds = CrashRounds(self.s, seed)
        rounds.calibrate()
        counts = rounds.run(int(os.environ.get("LUMARO_CRASH_ROUNDS", 20)))
        print(f"\ncrash rounds (seed {seed}): {rounds.summary()}", file=sys.stderr)
        self.assertEqual(rounds.failures, [])
        self.assertEqual(counts["incomplete"], 0)
        self.assertGreater(counts["absent"] + counts["absent_staging"], 0,
                           "no kill landed before the install was complete")

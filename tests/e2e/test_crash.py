# Crash scenario: the launcher is killed (SIGKILL to its Wine process, no help
# from Wine's server) at random moments of a first install of about 90 MB. After
# every kill RuntimeDir is absent or complete, and the next launch completes
# it. tests/e2e/soak_crash.py runs the same rounds many more times.
import os
import sys
import time

from tests.e2e import e2e_apps as apps
from tests.e2e.harness import LauncherTestCase

ROUNDS = 20


class CrashTests(LauncherTestCase):

    def test_killed_first_installs_never_leave_a_partial_runtime(self):
        seed = int(os.environ.get("LUMARO_CRASH_SEED") or time.time_ns() % 2**32)
        rounds = apps.CrashRounds(self.s, seed)
        rounds.calibrate()
        counts = rounds.run(ROUNDS)
        print(f"\ncrash rounds (seed {seed}): {rounds.summary()}", file=sys.stderr)
        self.assertEqual(rounds.failures, [])
        self.assertEqual(counts["incomplete"], 0)
        self.assertGreater(counts["absent"] + counts["absent_staging"], 0,
                           "no kill landed before the install was complete")

# Power cuts during first installs. LOCALAPPDATA lies on a FUSE file system
# (lmr.powercut_fs) that loses every byte written since a file's last fsync
# when the power goes, keeping metadata. The power goes out at a random
# mutating operation of a first install under Wine; every Wine process of the
# prefix is killed, the cut applied, the machine "rebooted" (a new wineserver)
# and the launcher started again. Each relaunch must run the app from a
# runtime identical to the package, or install it afresh: never trust a
# runtime with lost bytes. A killed process alone loses nothing the kernel
# holds, so only this test sees a missing flush.
from __future__ import annotations

import os
import random
import shutil
import sys
import tempfile
import time
import unittest
from pathlib import Path

from lmr import powercut_fs
from lmr.e2e import apps
from lmr.e2e.session import LauncherTestCase, Session
from lmr.wine.calls import win_path
from lmr.wine.launch import Launch, start_runner
from lmr.wine.session import start_server, stop_server

# CI's bound; LUMARO_POWER_CUTS runs more. Cuts cycle through the three
# phases of an install (see Cuts.phase) so each is hit in a short run.
CUTS = int(os.environ.get("LUMARO_POWER_CUTS") or 6)
PHASES = ("before", "during", "after")


def power_cut_app(s: Session) -> str:
    """The node.exe stand-in, home.mjs and 150 files of 1 to 60 KiB in
    folders, as a small node_modules would be."""
    rng = random.Random(20)
    files = {}
    for i in range(150):
        files[f"node_modules/pkg-{i // 25}/lib/file-{i:03d}.js"] = rng.randbytes(rng.randint(1, 60) * 1024)
    return s.make_app(files)


class Cuts:
    """Rounds of cut, reboot and relaunch over one launcher, in the run's
    prefix: at each cut every Wine process in it is killed with its server,
    and the reboot starts the server again."""

    def __init__(self, s: Session, case: str, seed: int) -> None:
        self.s, self.case, self.rng = s, Path(case), random.Random(seed)
        app = power_cut_app(s)
        self.exe = s.build_launcher(app)
        self.want = apps.expected_runtime(app)
        self.build_id = apps.build_id_of(self.exe)
        self.landed = dict.fromkeys(PHASES, 0)
        self.failures: list[str] = []
        self.phase_ops: dict[str, tuple[int, int]] = {}

    def runtime(self, disk: Path) -> Path:
        return disk / "Lumaro" / f"runtime-{self.build_id}"

    def launch(self, mount: Path) -> Launch:
        for attempt in range(3):
            result = apps.launch(self.s, self.exe, str(mount), cwd=str(self.case), timeout_s=120)
            # After a reboot Wine hands out the same process ids again: the
            # relaunch may meet the cut install's staging folder under its own
            # name (183) and the next one gets another id.
            if result.exit_code == 1 and result.dialog and result.dialog["text"] == self.s.os_error_text(183):
                continue
            return result
        return result

    def calibrate(self) -> None:
        """One first install without a cut: the numbers of its mutating
        operations that bound each phase."""
        disk, mnt = self.case / "calibration-disk", self.case / "calibration-mnt"
        with powercut_fs.Mount(disk, mnt) as m:
            result = self.launch(mnt)
            report = m.unmount()
        problems = apps.runtime_problems(str(self.runtime(disk)), self.want)
        if result.exit_code != 0 or problems:
            raise AssertionError(f"the install without a cut failed: {result!r} {problems[:5]}")
        marker = report.index_of(lambda op: op[0] == "create" and op[1].endswith("/ready")
                                 and "/install-" in op[1])
        rename = report.index_of(lambda op: op[0] == "rename" and "/install-" in op[1])
        if marker is None or rename is None:
            raise AssertionError(f"no marker or rename among the install's operations: {report.ops[-20:]}")
        self.phase_ops = {"before": (1, marker - 1), "during": (marker, rename),
                          "after": (rename + 1, len(report.ops) + 1)}
        shutil.rmtree(disk)

    def phase(self, n: int) -> str:
        return PHASES[n % len(PHASES)]

    def round(self, n: int) -> None:
        aim = self.phase(n)
        low, high = self.phase_ops[aim]
        cut_at = self.rng.randint(low, high)
        loss = powercut_fs.LOSS_MODES[(n // len(PHASES)) % 2]
        disk, mnt = self.case / f"disk-{n}", self.case / f"mnt-{n}"
        with powercut_fs.Mount(disk, mnt, cut_at=cut_at, loss=loss) as m:
            runner = start_runner(self.s, self.exe, set_env={"LOCALAPPDATA": win_path(mnt)}, cwd=self.case,
                                  timeout_s=120)
            deadline = time.monotonic() + 120
            while runner.poll() is None and not m.powered_off() and time.monotonic() < deadline:
                time.sleep(0.01)
            # The power is out: every Wine process of the prefix dies with it.
            stop_server(self.s.prefix)
            runner.kill()
            report = m.unmount()
        where = self.landed_in(disk)
        self.landed[where] += 1
        lost = sum(report.lost.values())
        context = f"cut {n} at operation {cut_at} ({aim}, landed {where}, {loss}, {lost} bytes lost)"

        # The reboot, and the launch after it, on the same disk.
        start_server(self.s.prefix, self.s.tools)
        with powercut_fs.Mount(disk, mnt):
            result = self.launch(mnt)
        problems = apps.runtime_problems(str(self.runtime(disk)), self.want) \
            if self.runtime(disk).is_dir() else ["no runtime"]
        if result.exit_code != 0 or result.dialog is not None or problems:
            self.failures.append(f"{context}: relaunch {result!r}, runtime: {problems[:5]}")
        shutil.rmtree(disk, ignore_errors=True)

    def landed_in(self, disk: Path) -> str:
        """Where the cut landed, from what the disk kept: before the ready
        marker existed, between it and the rename, or after the rename."""
        if self.runtime(disk).exists():
            return "after"
        root = disk / "Lumaro"
        staging = [p for p in root.glob("install-*")] if root.is_dir() else []
        return "during" if any((p / "ready").exists() for p in staging) else "before"


class PowerCutFileSystemTests(unittest.TestCase):
    """The loss model itself, without Wine: what a cut keeps and loses."""

    def setUp(self) -> None:
        reason = powercut_fs.unavailable()
        if reason:
            self.skipTest(reason)
        self.dir = Path(tempfile.mkdtemp(prefix="lumaro-powercut-"))
        self.addCleanup(shutil.rmtree, self.dir, True)

    def write(self, mnt: Path, name: str, parts: list[tuple[bytes, bool]]) -> None:
        """Writes each part in turn, fsyncing after those marked."""
        fd = os.open(mnt / name, os.O_CREAT | os.O_WRONLY, 0o644)
        try:
            for data, sync in parts:
                os.write(fd, data)
                if sync:
                    os.fsync(fd)
        finally:
            os.close(fd)

    def test_a_cut_loses_what_no_fsync_covered_and_keeps_metadata(self) -> None:
        for loss, partly_synced in (("zeros", b"a" * 3000 + bytes(500)), ("truncate", b"a" * 3000)):
            disk, mnt = self.dir / f"disk-{loss}", self.dir / f"mnt-{loss}"
            with powercut_fs.Mount(disk, mnt, cut_at=10**6, loss=loss) as m:
                self.write(mnt, "synced", [(b"s" * 4000, True)])
                self.write(mnt, "unsynced", [(b"u" * 4000, False)])
                self.write(mnt, "partly", [(b"a" * 3000, True), (b"b" * 500, False)])
                os.mkdir(mnt / "d")
                os.rename(mnt / "unsynced", mnt / "d" / "moved")
                report = m.unmount()
            self.assertEqual((disk / "synced").read_bytes(), b"s" * 4000, loss)
            self.assertEqual((disk / "partly").read_bytes(), partly_synced, loss)
            moved = (disk / "d" / "moved").read_bytes()  # the rename survived, the data did not
            self.assertEqual(moved, bytes(4000) if loss == "zeros" else b"", loss)
            self.assertEqual(report.lost, {"d/moved": 4000, "partly": 500}, loss)

    def test_the_power_goes_out_at_the_chosen_operation(self) -> None:
        disk, mnt = self.dir / "disk", self.dir / "mnt"
        with powercut_fs.Mount(disk, mnt, cut_at=3) as m:
            fd = os.open(mnt / "first", os.O_CREAT | os.O_WRONLY, 0o644)  # operation 1
            try:
                os.write(fd, b"1")  # 2
                with self.assertRaises(OSError):  # 3: the fsync
                    os.fsync(fd)
            finally:
                os.close(fd)
            self.assertTrue(m.powered_off())
            with self.assertRaises(OSError):
                os.mkdir(mnt / "later")
            report = m.unmount()
        self.assertEqual([op[0] for op in report.ops], ["create", "write"])
        self.assertFalse((disk / "later").exists())
        self.assertEqual((disk / "first").read_bytes(), b"\0")


class PowerCutTests(LauncherTestCase):

    def test_a_power_cut_never_leaves_a_runtime_trusted_with_lost_bytes(self) -> None:
        reason = powercut_fs.unavailable()
        if reason:
            self.skipTest(reason)
        seed = int(os.environ.get("LUMARO_POWER_CUT_SEED") or time.time_ns() % 2**32)
        cuts = Cuts(self.s, self.case, seed)
        started = time.monotonic()
        try:
            cuts.calibrate()
            for n in range(CUTS):
                cuts.round(n)
        finally:
            start_server(self.s.prefix, self.s.tools)  # the later tests' server, whatever happened
        print(f"\npower cuts (seed {seed}): {CUTS} in {time.monotonic() - started:.1f} s, landed "
              + ", ".join(f"{k} the rename {v}" for k, v in cuts.landed.items())
              + " (during: the marker written, the rename not yet)"
              + f"; operations of an install {cuts.phase_ops}", file=sys.stderr)
        self.assertEqual(cuts.failures, [])
        self.assertGreater(cuts.landed["after"], 0, "no cut landed after the rename")
        self.assertGreater(cuts.landed["before"] + cuts.landed["during"], 0, "no cut landed before the rename")


if __name__ == "__main__":
    unittest.main()

"""Killing the launcher at random moments of first installs of about 90 MB:
after every kill RuntimeDir is absent or complete, and the next launch
completes it (tests/e2e/test_crash.py; LUMARO_CRASH_ROUNDS=100 makes it a soak)."""
import os
import random
import shutil
import time
from collections.abc import Callable
from typing import Optional

from lmr.e2e import apps
from lmr.e2e.session import Session, wait_for, write_tree
from lmr.wine.calls import win_path
from lmr.wine.launch import Runner, runner_exit, start_runner

BIG_PARTS = 22  # large files of each kind
BIG_PART_SIZE = 1_900_000
BIG_SMALL_FILES = 800  # like node_modules: many small files make unpacking take time too
BIG_SMALL_SIZE = 9000  # about 91 MB of package in all
CRASH_EXE_NAME = "LumaroCrash.exe"

Expected = dict[str, tuple[int, str]]
_big: dict[str, tuple[str, str, Expected]] = {}


def big_package(s: Session) -> tuple[str, str, Expected]:
    """A launcher around about 90 MB of generated content: large files half
    random (the decoder emits literals) and half text-like (mostly matches),
    plus thousands of small files, packed at a low level so packing stays
    quick. Built once per run; returns (exe, app folder, expected runtime)."""
    if not _big:
        app = os.path.join(s.scratch("big"), "app")
        shutil.rmtree(app, ignore_errors=True)
        os.makedirs(app)
        shutil.copyfile(s.node_stand_in(), os.path.join(app, "node.exe"))
        write_tree(app, {"home.mjs": "// large test application\n"})
        for i in range(BIG_PARTS):
            write_tree(app, {f"data/random-{i:02d}.bin": apps.incompressible(i, BIG_PART_SIZE),
                             f"data/text/part-{i:02d}.txt": apps.compressible(1000 + i, BIG_PART_SIZE)})
        text = apps.compressible(7, BIG_SMALL_FILES * BIG_SMALL_SIZE)
        for i in range(BIG_SMALL_FILES):
            chunk = text[i * BIG_SMALL_SIZE:(i + 1) * BIG_SMALL_SIZE]
            write_tree(app, {f"modules/pkg-{i // 40:02d}/lib/file-{i % 40:02d}.js": chunk})
        out = os.path.join(s.scratch("big"), "exe")
        exe = s.pack_launcher(app, out, ["--level", "1", "--no-verify"])
        named = os.path.join(out, CRASH_EXE_NAME)
        os.replace(exe, named)
        _big["package"] = (named, app, apps.expected_runtime(app))
    return _big["package"]


def linux_pids_of(exe_name: str) -> list[int]:
    """Linux pids of the Wine processes running exe_name itself (not a runner
    that merely names it on its command line)."""
    needle = exe_name.lower().encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().lower().split(b"\0")
        except OSError:
            continue
        if any(a.endswith(needle) for a in args) and not any(b"lmr-runner" in a for a in args):
            pids.append(int(entry))
    return pids


class CrashRounds:
    """Kills the launcher during first installs and checks that RuntimeDir is
    absent or complete after every kill, and complete after the next launch."""

    def __init__(self, s: Session, seed: int, log: Callable[[str], None] = print) -> None:
        self.s, self.rng, self.log = s, random.Random(seed), log
        self.exe, self.app, self.want = big_package(s)
        self.work = s.new_case_dir("crash")
        self.counts = dict(rounds=0, killed=0, finished_first=0, absent=0, absent_staging=0,
                           complete=0, incomplete=0, relaunch_183=0, relaunch_unstarted=0, relaunch_failed=0)
        self.failures: list[str] = []
        self.install_s = 0.0
        self.elapsed_s = 0.0

    def local(self, n: object) -> str:
        return os.path.join(self.work, f"round-{n}")

    def start(self, local: str) -> tuple[Runner, Optional[int], float]:
        env = {"LOCALAPPDATA": win_path(local)}
        runner = start_runner(self.s, self.exe, set_env=env, cwd=self.work, timeout_s=120)
        pids = wait_for(lambda: linux_pids_of(CRASH_EXE_NAME), 60, step_s=0.002)
        return runner, (pids[0] if pids else None), time.monotonic()

    def calibrate(self, installs: int = 3) -> float:
        """Whole first installs: the median time from the launcher's start to
        RuntimeDir (the first install after a fresh prefix runs cold)."""
        times = []
        for i in range(installs):
            local = self.local(f"calibration-{i}")
            runtime = apps.runtime_dir(local, self.exe)
            runner, pid, t0 = self.start(local)
            wait_for(lambda: os.path.isdir(runtime), 120, step_s=0.005)
            times.append(time.monotonic() - t0)
            code, out = runner_exit(runner)
            problems = apps.runtime_problems(runtime, self.want) if code == 0 else [f"exit {code}: {out}"]
            shutil.rmtree(local, ignore_errors=True)
            if pid is None or problems:
                raise AssertionError(f"the calibration install failed: pid {pid}, {problems}")
        self.install_s = sorted(times)[len(times) // 2]
        return self.install_s

    def round(self, n: int) -> None:
        self.counts["rounds"] += 1
        local = self.local(n)
        root, runtime = apps.data_root(local), apps.runtime_dir(local, self.exe)
        runner, pid, t0 = self.start(local)
        if pid is None:
            self.failures.append(f"round {n}: the launcher never appeared")
            runner.kill()
            return
        delay = self.rng.uniform(0, self.install_s)
        time.sleep(max(0.0, t0 + delay - time.monotonic()))
        try:
            os.kill(pid, 9)
            self.counts["killed"] += 1
        except ProcessLookupError:
            self.counts["finished_first"] += 1
        runner_exit(runner)
        # Wine may still be closing the killed process's files.
        wait_for(lambda: pid not in linux_pids_of(CRASH_EXE_NAME), 10)

        if os.path.lexists(runtime):
            problems = apps.runtime_problems(runtime, self.want)
            if problems:
                self.counts["incomplete"] += 1
                self.failures.append(f"round {n}: killed after {delay:.3f} s, RuntimeDir incomplete: "
                                     f"{problems[:5]}")
                return
            self.counts["complete"] += 1
        else:
            staging = os.path.isdir(root) and any(x.startswith("install-") for x in os.listdir(root))
            self.counts["absent_staging" if staging else "absent"] += 1

        for attempt in range(3):
            result = apps.launch(self.s, self.exe, local, cwd=self.work, timeout_s=120)
            dialog = result.dialog["text"] if result.dialog else None
            if dialog is not None and dialog == self.s.os_error_text(183) and result.exit_code == 1:
                # This launcher got the killed one's process id and met its staging folder.
                self.counts["relaunch_183"] += 1
                continue
            if result.exit_code is None and "start-failed=" in result.report:
                # Wine could not start the launcher at all (seen: 1359 right
                # after a kill): it never ran, so it says nothing of the runtime.
                self.counts["relaunch_unstarted"] += 1
                continue
            problems = apps.runtime_problems(runtime, self.want) if os.path.isdir(runtime) else ["absent"]
            if result.exit_code != 0 or dialog is not None or problems:
                self.counts["relaunch_failed"] += 1
                self.failures.append(f"round {n}: relaunch after a kill at {delay:.3f} s: {result!r}, "
                                     f"{problems[:5]}")
            break
        else:
            self.failures.append(f"round {n}: three relaunches in a row met error 183 or did not start")
        shutil.rmtree(local, ignore_errors=True)

    def run(self, rounds: int) -> dict[str, int]:
        started = time.monotonic()
        for n in range(1, rounds + 1):
            self.round(n)
            if n % 10 == 0:
                self.log(f"  {n} rounds: {self.counts}")
        self.elapsed_s = time.monotonic() - started
        return self.counts

    def summary(self) -> str:
        c = self.counts
        return (f"{c['rounds']} rounds in {self.elapsed_s:.1f} s (install {self.install_s:.2f} s): "
                f"killed {c['killed']}, finished before the kill {c['finished_first']}; after the kill "
                f"RuntimeDir absent {c['absent'] + c['absent_staging']} (with a staging folder "
                f"{c['absent_staging']}), complete {c['complete']}, incomplete {c['incomplete']}; "
                f"relaunches that met error 183 {c['relaunch_183']}, failed relaunches "
                f"{c['relaunch_failed']}")

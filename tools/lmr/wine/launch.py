"""Launches through lmr-runner, which sets the environment inside Windows and
reports the exact exit code, with lmr-dialog reading (and pressing OK on) the
launcher's error dialog from another process."""
import json
import os
import subprocess
import sys
import threading
import time
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional, Union

from lmr.proc import Arg
from lmr.wine.calls import PathLike, win_path
from lmr.wine.session import Process, Session

# The caption of a default launcher's error dialogs; an exe with another
# product name has its own: the prefix and its name.
DIALOG_CAPTION = "Không mở được Lumaro"
DIALOG_CAPTION_PREFIX = "Không mở được "
LAUNCH_TIMEOUT_S = 60.0

Dialog = dict[str, Any]


@dataclass
class Launch:
    """What one launch through lmr-runner came to."""
    exit_code: Optional[int]  # None when the runner gave no code
    dialog: Optional[Dialog]  # what lmr-dialog read, or None
    report: str  # the runner's own output (and errors, without a code)
    seconds: float
    timed_out: Union[bool, str] = False  # "killed" when the runner itself had to be killed


class DialogReader:
    """lmr-dialog looking for an error dialog with the caption, or without
    one, for any launcher's (its caption starts with DIALOG_CAPTION_PREFIX),
    and unless told otherwise pressing its OK, until it is found or stopped.
    A thread waits for it; one that Wine ended before it ran is started once
    more, or the launcher would be left waiting on its dialog."""

    def __init__(self, session: Session, caption: Optional[str] = None, press: bool = True,
                 timeout_s: float = LAUNCH_TIMEOUT_S) -> None:
        base = os.path.join(session.logs, session.unique("dialog"))
        self.out_path, self.stop_path = base + ".json", base + ".stop"
        for stale in (self.out_path, self.stop_path):  # another session's, in shared logs
            if os.path.exists(stale):
                os.unlink(stale)
        self.session, self.timeout_s = session, timeout_s
        self.argv: list[Arg] = [
            session.driver_tool("lmr-dialog.exe"),
            *(["--caption", caption] if caption else ["--caption-prefix", DIALOG_CAPTION_PREFIX]), "--timeout-ms",
            int(timeout_s * 1000), "--out", win_path(self.out_path), "--stop-file", win_path(self.stop_path),
            "--press", "ok" if press else "none"]
        self.proc = session.spawn(self.argv, "dialog-reader")
        self.waiter = threading.Thread(target=self._wait, daemon=True)
        self.waiter.start()

    def _wait(self) -> None:
        try:
            status = self.proc.wait(self.timeout_s + 10)
            if never_ran(self.proc, status) and not os.path.exists(self.stop_path):
                print(f"lmr.wine: Wine ended lmr-dialog with {status} before it ran; starting it again",
                      file=sys.stderr)
                self.proc = self.session.spawn(self.argv, "dialog-reader")
                self.proc.wait(self.timeout_s + 10)
        except subprocess.TimeoutExpired:
            pass  # wait() has killed it

    def wait_found(self) -> Optional[Dialog]:
        """Blocks until the reader found the dialog or gave up; what it saw."""
        self.waiter.join()
        return self.result()

    def finish(self) -> Optional[Dialog]:
        """Stops the reader if it is still looking; what it saw, if anything."""
        Path(self.stop_path).touch()
        self.waiter.join()
        return self.result()

    def result(self) -> Optional[Dialog]:
        if not os.path.exists(self.out_path):
            return None
        with open(self.out_path, encoding="utf-8") as f:
            seen: Dialog = json.load(f)
            return seen


def start_runner(session: Session, exe: PathLike, set_env: Optional[Mapping[str, str]] = None,
                 unset: Iterable[str] = (), cwd: Optional[PathLike] = None,
                 timeout_s: float = LAUNCH_TIMEOUT_S, args: Sequence[Arg] = (),
                 localappdata: Optional[PathLike] = None) -> "Runner":
    """Starts exe through lmr-runner, which changes the environment inside
    Windows (Wine lays the profile folders over whatever Linux sets).
    localappdata is a Linux folder; exe and cwd are Linux paths when they
    start with "/", else Windows ones."""
    argv: list[Arg] = [session.driver_tool("lmr-runner.exe"), "--timeout-ms", int(timeout_s * 1000)]
    changes = dict(set_env or {})
    if localappdata is not None:
        changes["LOCALAPPDATA"] = win_path(localappdata)
    for name, value in changes.items():
        argv += ["--set", f"{name}={value}"]
    for name in unset:
        argv += ["--unset", name]
    if cwd is not None:
        argv += ["--cwd", win_path(cwd) if str(cwd).startswith("/") else str(cwd)]
    argv += ["--", win_path(exe) if str(exe).startswith("/") else str(exe), *args]
    return Runner(session, argv)


class Runner:
    """lmr-runner under way. Wine now and then ends a program before any of
    its code ran (a status and no output at all, where every way through the
    runner writes a line); such a runner never started the launcher, so it
    is started once more, from wait()."""

    def __init__(self, session: Session, argv: list[Arg]) -> None:
        self.session, self.argv = session, argv
        self.proc = session.spawn(argv, "runner")
        self.started_again = False

    def wait(self, timeout_s: float) -> int:
        status = self.proc.wait(timeout_s)
        if not self.started_again and never_ran(self.proc, status):
            print(f"lmr.wine: Wine ended lmr-runner with {status} before it ran; starting it again", file=sys.stderr)
            self.started_again = True
            self.proc = self.session.spawn(self.argv, "runner")
            status = self.proc.wait(timeout_s)
        return status

    def poll(self) -> Optional[int]:
        return self.proc.poll()

    def kill(self) -> None:
        self.proc.kill()

    def stdout(self) -> str:
        return self.proc.stdout()

    def stderr(self) -> str:
        return self.proc.stderr()


def runner_exit(runner: Runner, timeout_s: float = LAUNCH_TIMEOUT_S + 30) -> tuple[Optional[int], str]:
    """(exit code or None, the runner's report) once the runner has ended."""
    try:
        status = runner.wait(timeout_s)
    except subprocess.TimeoutExpired:
        return None, f"the runner did not end within {timeout_s} s"
    out = runner.stdout()
    for line in out.splitlines():
        if line.startswith("exit="):
            return int(line[5:]), out
    return None, f"runner status {status}: {out} {runner.stderr()}"


def launch(session: Session, exe: PathLike, set_env: Optional[Mapping[str, str]] = None,
           unset: Iterable[str] = (), cwd: Optional[PathLike] = None, timeout_s: float = LAUNCH_TIMEOUT_S,
           localappdata: Optional[PathLike] = None, watch_dialog: bool = True, args: Sequence[Arg] = (),
           caption: Optional[str] = None) -> Launch:
    """Runs exe to its end. A dialog reader runs alongside, reads the error
    dialog and presses OK; it is stopped once the launcher has ended."""
    reader = DialogReader(session, caption, timeout_s=timeout_s) if watch_dialog else None
    started = time.monotonic()
    runner = start_runner(session, exe, set_env, unset, cwd, timeout_s, args, localappdata)
    try:
        code, report = runner_exit(runner, timeout_s + 30)
    finally:
        dialog = reader.finish() if reader else None
    status = runner.poll()
    # The runner stops a launcher that outlives timeout_s and says so; a
    # runner that does not end itself is killed.
    timed_out: Union[bool, str] = "killed" if status is not None and status < 0 else (
        code is None and "timeout" in report.split())
    return Launch(code, dialog, report, time.monotonic() - started, timed_out)


def never_ran(proc: Process, status: Optional[int]) -> bool:
    """Whether Wine ended a driver program (lmr-runner, lmr-dialog) before
    its own code ran: a status and no output, where each always writes a line."""
    return status is not None and status > 0 and not proc.stdout() and not proc.stderr()

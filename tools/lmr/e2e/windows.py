"""The stand-ins the scenarios use for a running app's window and a running
launcher's guard (tests/wine's lmr-window and lmr-hold-mutex): a top-level
window whose show state is read back from the JSON file it rewrites, started
by the test or by the node.exe stand-in as the app's own window; a held
single-instance mutex; and a look at whether a mutex is held."""
import os
import unittest
from collections.abc import Callable
from pathlib import Path
from typing import Any, Optional

from lmr.e2e.session import MUTEX_NAME, Session, read_json, wait_for, wait_for_file
from lmr.proc import Arg
from lmr.wine.calls import win_path
from lmr.wine.session import Process

LIFETIME_MS = 60000


def _stop(proc: Process, stop_file: str) -> None:
    """Asks a stand-in to end through its stop file; kills it if it does not."""
    Path(stop_file).touch()
    try:
        proc.wait(10)
    except Exception:
        proc.kill()


class Window:
    """An lmr-window: a top-level window with a title (Lumaro's when None)
    and a show state (normal, minimized, maximized). Its files lie outside
    the scenario's folder, so they never show in what a launcher wrote."""

    def __init__(self, s: Session, state: str = "normal", title: Optional[str] = None) -> None:
        self.state_file = os.path.join(s.scratch("windows"), s.unique("window") + ".json")
        self.stop_file = self.state_file + ".stop"
        self.tool = s.tool("lmr-window.exe")
        self.options = ["--state", state, "--state-file", win_path(self.state_file),
                        "--lifetime-ms", str(LIFETIME_MS), "--stop-file", win_path(self.stop_file)]
        if title is not None:
            self.options += ["--title", title]
        self.argv: list[Arg] = [self.tool, *self.options]

    def command_line(self) -> str:
        """The window as a Windows command line, for the node.exe stand-in to
        start as the app's window (apps.node_env(exec_line=...))."""
        return " ".join(f'"{a}"' for a in [win_path(self.tool), *self.options])

    def state(self) -> Any:
        """What the window last wrote: iconic, zoomed, foreground, visible,
        rect, normal_rect; None before it is up."""
        return read_json(self.state_file)

    def wait(self, predicate: Callable[[Any], bool], timeout_s: float) -> Any:
        """The first state that satisfies predicate, or None after timeout_s."""
        return wait_for(lambda: (s := self.state()) and predicate(s) and s, timeout_s) or None

    def activated(self, timeout_s: float = 5) -> Any:
        """The state once the window is restored and in front, or None."""
        return self.wait(lambda s: not s["iconic"] and not s["zoomed"] and s["foreground"], timeout_s)

    def stop(self) -> None:
        Path(self.stop_file).touch()


def start_window(test: "unittest.TestCase", s: Session, state: str = "normal", title: Optional[str] = None) -> Window:
    """A window started now, stopped when the test ends."""
    window = Window(s, state, title)
    proc = s.spawn(window.argv, "window")
    test.addCleanup(_stop, proc, window.stop_file)
    return window


def app_window(test: "unittest.TestCase", s: Session, state: str = "normal", title: Optional[str] = None) -> Window:
    """A window for the node.exe stand-in to start as the app's own (see
    Window.command_line); told to stop when the test ends."""
    window = Window(s, state, title)
    test.addCleanup(window.stop)
    return window


def hold_mutex(test: "unittest.TestCase", s: Session, name: str = MUTEX_NAME) -> None:
    """Holds the named mutex as a running launcher does until the test ends;
    fails the test unless this holder created it."""
    ready = os.path.join(s.scratch("mutexes"), s.unique("mutex") + ".ready")
    stop = ready + ".stop"
    holder = s.spawn([s.tool("lmr-hold-mutex.exe"), "--name", name, "--lifetime-ms", str(LIFETIME_MS),
                      "--ready-file", win_path(ready), "--stop-file", win_path(stop)], "mutex-holder")
    test.addCleanup(_stop, holder, stop)
    test.assertTrue(wait_for_file(ready), "the mutex holder did not start")
    test.assertEqual(Path(ready).read_text(), "created", "another process already held the guard")


def mutex_state(s: Session, name: str) -> str:
    """"existed" while another process holds the named mutex, else "created"."""
    ready = os.path.join(s.scratch("mutexes"), s.unique("mutex") + ".ready")
    status, _ = s.run([s.tool("lmr-hold-mutex.exe"), "--name", name, "--lifetime-ms", "0",
                       "--ready-file", win_path(ready)])
    if status != 0:
        raise AssertionError(f"lmr-hold-mutex --name {name} ended with {status}")
    return Path(ready).read_text()

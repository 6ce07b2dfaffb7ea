"""Server sessions: a persistent Wine server on a made prefix whose services
start from /dev/null, the Windows programs run in it (files as their stdio),
and a stop on every way out (close, exit, SIGTERM, SIGHUP)."""
import atexit
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Mapping
from pathlib import Path
from types import FrameType, TracebackType
from typing import Optional

from lmr.proc import Arg, ToolError, bounded, kill_group
from lmr.wine.calls import SERVER_TIMEOUT_S, WINE, WINESERVER, PathLike, server_wait, win_path, wine_env


# The desktop keepers started here, by prefix, reaped once their server ends.
_keepers: dict[Path, "subprocess.Popen[bytes]"] = {}


def start_server(prefix: PathLike, tools: PathLike, display: Optional[str] = None) -> None:
    """A persistent server for prefix, with Wine's services and desktop
    started from /dev/null, so that no caller's pipe stays open behind them,
    and the desktop kept up until the server ends (tools/lmr-desktop.exe)."""
    where = Path(prefix).resolve()
    if not (where / "system.reg").is_file():
        raise ToolError(f"no prefix at {where}")
    env = wine_env(where, display)
    status = bounded([WINESERVER, "-p"], SERVER_TIMEOUT_S, env, "wineserver -p")
    if status not in (0, 2):  # 2: one is running already
        raise ToolError(f"wineserver -p failed with {status} (WINEPREFIX={where})")
    keeper = _keepers.get(where)
    if keeper is None or keeper.poll() is not None:
        _keepers[where] = _keep_desktop(env, Path(tools) / "lmr-desktop.exe")


def _keep_desktop(env: Mapping[str, str], program: Path) -> "subprocess.Popen[bytes]":
    """Starts the program that keeps the desktop up (the first Windows
    program of the server, which starts its services) once it has the desktop."""
    if not program.is_file():
        raise ToolError(f"missing {program} (build the windows preset)")
    with tempfile.TemporaryDirectory(prefix="lumaro-desktop-") as scratch:
        ready = Path(scratch) / "ready"
        keeper = subprocess.Popen([WINE, str(program), win_path(ready)], env=env, cwd="/", stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + SERVER_TIMEOUT_S
        while not ready.exists():
            status = keeper.poll()
            if status is not None:
                raise ToolError(f"{program.name} ended with {status} before the desktop was up "
                                f"(WINEPREFIX={env['WINEPREFIX']})")
            if time.monotonic() > deadline:
                kill_group(keeper)
                raise ToolError(f"the desktop was not up within {SERVER_TIMEOUT_S} s (WINEPREFIX={env['WINEPREFIX']})")
            time.sleep(0.05)
    return keeper


def stop_server(prefix: PathLike) -> None:
    """Ends prefix's server and every Windows process in it, and waits for it."""
    env = wine_env(prefix)
    try:
        bounded([WINESERVER, "-k"], SERVER_TIMEOUT_S, env, "wineserver -k")
        server_wait(env)
    except ToolError as e:
        print(f"lmr.wine: {e}", file=sys.stderr)
    keeper = _keepers.pop(Path(prefix).resolve(), None)
    if keeper is not None:
        kill_group(keeper)


class Process:
    """A Windows program started from Linux, in its own process group, with
    files as its stdio."""

    def __init__(self, session: "Session", args: list[Arg], name: str) -> None:
        self.name = name
        self.out_path = os.path.join(session.logs, name + ".out")
        self.err_path = os.path.join(session.logs, name + ".err")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([WINE] + [str(a) for a in args], env=session.env,
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         start_new_session=True)

    def poll(self) -> Optional[int]:
        return self.proc.poll()

    def wait(self, timeout_s: float) -> int:
        """The status; a program still running after timeout_s is killed and
        TimeoutExpired raised."""
        try:
            return self.proc.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            self.kill()
            raise

    def kill(self) -> None:
        if self.proc.poll() is None:
            kill_group(self.proc)

    def stdout(self) -> str:
        return Path(self.out_path).read_bytes().decode("utf-8", "replace")

    def stderr(self) -> str:
        return Path(self.err_path).read_bytes().decode("utf-8", "replace")


_live: list["Session"] = []
_handlers_installed = False


def _stop_all() -> None:
    for session in list(_live):
        session.close()


def _install_exit_handlers() -> None:
    """Stops every open session at exit and on SIGTERM/SIGHUP (Ctrl-C raises
    KeyboardInterrupt, which ends at exit too)."""
    global _handlers_installed
    if _handlers_installed:
        return
    _handlers_installed = True
    atexit.register(_stop_all)
    if threading.current_thread() is not threading.main_thread():
        return
    for sig in (signal.SIGTERM, signal.SIGHUP):
        previous = signal.getsignal(sig)

        def handler(signum: int, frame: Optional[FrameType], previous: object = previous) -> None:
            _stop_all()
            if callable(previous):
                previous(signum, frame)
            raise KeyboardInterrupt
        signal.signal(sig, handler)


class Session:
    """A persistent Wine server on a made prefix, and the programs run in it.

    Use as a context manager or call start() and close(). `tools` is the
    folder of lmr-runner.exe, lmr-dialog.exe and lmr-desktop.exe; `logs` keeps the programs'
    stdio (a temporary folder, removed at close, when not given)."""

    def __init__(self, prefix: PathLike, tools: PathLike, logs: Optional[PathLike] = None,
                 display: Optional[str] = None) -> None:
        self.prefix = Path(prefix).resolve()
        self.tools = Path(tools).resolve()
        self.display = display
        self.env = wine_env(self.prefix, display)
        self._own_logs = logs is None
        self.logs = tempfile.mkdtemp(prefix="lumaro-wine-") if logs is None else str(logs)
        os.makedirs(self.logs, exist_ok=True)
        self._tracked: list[Process] = []
        self._counter = 0
        self._lock = threading.Lock()
        self.started = False
        self._closed = False

    def __enter__(self) -> "Session":
        return self.start()

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        self.close()

    def start(self, fresh: bool = True) -> "Session":
        """Starts the server; with fresh, one left over from an earlier run
        (which may serve a prefix since changed) is ended first."""
        _install_exit_handlers()
        _live.append(self)
        if fresh:
            stop_server(self.prefix)
        start_server(self.prefix, self.tools, self.display)
        self.started = True
        return self

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        if self in _live:
            _live.remove(self)
        for proc in self._tracked:
            proc.kill()
        if self.started:
            stop_server(self.prefix)
        if self._own_logs:
            shutil.rmtree(self.logs, ignore_errors=True)

    def unique(self, stem: str) -> str:
        with self._lock:
            self._counter += 1
            return f"{stem}-{self._counter}"

    def driver_tool(self, name: str) -> Path:
        path = self.tools / name
        if not path.is_file():
            raise ToolError(f"missing {path} (build the windows preset)")
        return path

    def spawn(self, args: list[Arg], name: str = "proc") -> Process:
        """Starts a Windows program (a path or a name Wine finds); its stdio
        are files in the logs folder."""
        proc = Process(self, args, self.unique(name))
        with self._lock:
            self._tracked.append(proc)
        return proc

    def run(self, args: list[Arg], timeout_s: float = 60, name: str = "tool") -> tuple[int, bytes]:
        """Runs a console program to its end: (status, stdout bytes)."""
        proc = self.spawn(args, name)
        try:
            status = proc.wait(timeout_s)
        except subprocess.TimeoutExpired:
            raise ToolError(f"{args[0]} did not end within {timeout_s} s") from None
        return status, Path(proc.out_path).read_bytes()

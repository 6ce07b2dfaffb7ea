"""Building the tools a command needs in the checkout's build trees
(build/<preset>), one step per preset, each counted on its own line.

Each tree has one exclusive lock (build/<preset>.lock, fcntl.flock) held
while it is configured and built: two ninjas in one tree rewrite each other's
files, and commands started together (pack+pack, pack+run) must all succeed.
A tree is configured only when it has never been (ninja re-runs CMake itself
when a CMake file changed). Ninja's lines are passed through as they come
when stderr is not a terminal, so a log shows the work; on a terminal one
line is redrawn; the whole log is shown when a build fails. A step with
nothing to build says nothing: a command's own output stays its own."""
import fcntl
import re
import shutil
import subprocess
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, TextIO

from lmr import REPO
from lmr.exit_status import CommandError, ExitStatus
from lmr.proc import kill_group
from lmr.text import heading, is_terminal

BUILD = REPO / "build"


@dataclass(frozen=True)
class Step:
    preset: str
    targets: tuple[str, ...]  # empty: everything
    what: str


def tree(preset: str) -> Path:
    return BUILD / preset


@contextmanager
def tree_lock(preset: str, stream: TextIO = sys.stderr) -> Iterator[None]:
    """Holds the tree's build lock; says once when it waits for another build."""
    BUILD.mkdir(parents=True, exist_ok=True)
    path = BUILD / f"{preset}.lock"
    with open(path, "a") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print(f"waiting for another build of build/{preset} to finish (lock {path})", file=stream, flush=True)
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def configured(preset: str) -> bool:
    return (tree(preset) / "CMakeCache.txt").is_file() and (tree(preset) / "build.ninja").is_file()


# What ninja says when a tree is up to date: its globs checked, nothing run.
NOTHING_TO_DO = re.compile(r"ninja: no work to do\.|\[0/\d+\] Re-checking globbed directories\.\.\.")


class _Output:
    """A tool's lines: kept for the failure report, and shown as they come
    (plain lines) or as one redrawn line on a terminal, after the step's
    heading, which waits for the first line of real work."""

    def __init__(self, stream: TextIO, title: str) -> None:
        self.stream = stream
        self.live = is_terminal(stream)
        self.lines: list[str] = []
        self.drawn = False
        self.title: Optional[str] = title

    def add(self, line: str) -> None:
        self.lines.append(line)
        if NOTHING_TO_DO.fullmatch(line):
            return
        self.announce()
        if not self.live:
            print(line, file=self.stream, flush=True)
            return
        width = shutil.get_terminal_size((80, 24)).columns - 1
        self.stream.write("\r\033[K" + line[:width])
        self.stream.flush()
        self.drawn = True

    def announce(self) -> None:
        if self.title is not None:
            heading(self.title, self.stream)
            self.title = None

    def clear(self) -> None:
        if self.drawn:
            self.stream.write("\r\033[K")
            self.stream.flush()
            self.drawn = False

    def show_all(self) -> None:
        self.clear()
        self.announce()
        if self.live:  # otherwise every line is already shown
            for line in self.lines:
                print(line, file=self.stream)
            self.stream.flush()


def _run(args: Sequence[str], output: _Output) -> int:
    try:
        proc = subprocess.Popen(list(args), cwd=REPO, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
    except FileNotFoundError:
        raise CommandError(ExitStatus.MISSING_PROGRAM, f"{args[0]} not found (./lumaro setup installs it)") from None
    assert proc.stdout is not None
    try:
        for raw in proc.stdout:
            output.add(raw.decode("utf-8", "replace").rstrip("\r\n"))
        return proc.wait()
    except BaseException:
        kill_group(proc)
        raise


def build(steps: Sequence[Step], stream: TextIO = sys.stderr) -> None:
    """Each step in turn; CommandError(BUILD_FAILED) naming the step, after
    its log, when one fails."""
    for number, step in enumerate(steps, 1):
        output = _Output(stream, f"[{number}/{len(steps)}] building {step.what} ({step.preset})")
        with tree_lock(step.preset, stream):
            status = 0
            if not configured(step.preset):
                status = _run(["cmake", "--preset", step.preset], output)
            if status == 0:
                targets = ["--target", *step.targets] if step.targets else []
                status = _run(["cmake", "--build", "--preset", step.preset, *targets], output)
        if status != 0:
            output.show_all()
            raise CommandError(ExitStatus.BUILD_FAILED, f"building {step.what} in build/{step.preset} failed")
        output.clear()


def update_helper() -> Path:
    """lumaro-update.exe of the windows build, which LINK_KIT builds."""
    return tree("windows") / "updater" / "lumaro-update.exe"


def cabinet_dll() -> Optional[Path]:
    """The stand-in cabinet.dll of the windows build, once built."""
    return next((tree("windows") / "compat").rglob("cabinet.dll"), None)


PACK_TOOL = Step("host-release", ("lmr-pack",), "lmr-pack")
LINK_KIT = Step("windows", ("lumaro_link_kit", "lumaro_update"), "the launcher's link kit and update helper")
INSPECT_TOOL = Step("host-release", ("lmr-inspect",), "lmr-inspect")
WINE_DRIVER = Step("windows", ("lumaro-wine-driver", "lmr_cabinet"), "the Wine driver and the stand-in cabinet.dll")
HOST_TOOLS = Step("host-release", ("lmr-pack", "lmr-record", "lmr-wimlib-decode", "lmr-lzms-decode", "lmr-inspect"),
                  "the pack tool and its test tools")
WINDOWS_ALL = Step("windows", (), "the launcher kit and the Windows tests")

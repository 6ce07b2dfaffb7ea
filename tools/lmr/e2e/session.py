"""The end-to-end run's shared state: one headless prefix and one server
session, a fresh folder per scenario, launches with the error dialog read
alongside, launchers built per app content, and the texts the launcher shows."""
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any, Optional, TypeVar, Union

from lmr import REPO, image
from lmr.build import Kit
from lmr.proc import Arg, ToolError
from lmr.wine.calls import PathLike
from lmr.wine.launch import DIALOG_CAPTION, Launch
from lmr.wine.prefix import make_prefix
from lmr.wine.session import Session as WineSession

WINDOW_TITLE = "Lumaro \u00b7 M\u00e1y nh\u00e0"
MUTEX_NAME = "Local\\Lumaro.Desktop.2026"
NO_DATA_FOLDER = "Không tìm thấy thư mục dữ liệu Windows."
INVALID_PACKAGE = "Gói ứng dụng không hợp lệ."
APP_STOPPED = "Ứng dụng đã dừng khi khởi động."

Content = Union[str, bytes]
T = TypeVar("T")


def wait_for(predicate: Callable[[], T], timeout_s: float, step_s: float = 0.02) -> T:
    """predicate's first true value, or its last value after timeout_s."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step_s)


def wait_for_file(path: PathLike, timeout_s: float = 20) -> bool:
    return wait_for(lambda: os.path.exists(path), timeout_s)


def tree_listing(root: PathLike) -> list[str]:
    """Every path under root, relative, sorted; folders end with '/'."""
    out = []
    for base, dirs, files in os.walk(root):
        rel = os.path.relpath(base, root)
        out += [os.path.normpath(os.path.join(rel, d)) + "/" for d in dirs]
        out += [os.path.normpath(os.path.join(rel, f)) for f in files]
    return sorted(out)


def read_json(path: str) -> Any:
    """What a JSON file holds; None while it is missing or half written."""
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def lumaro(*args: object, env: Optional[Mapping[str, str]] = None) -> "subprocess.CompletedProcess[str]":
    """./lumaro with these arguments, to its end (a bounded wait)."""
    return subprocess.run([str(REPO / "lumaro"), *map(str, args)], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=900, env=env)


def write_tree(root: PathLike, entries: Mapping[str, Content]) -> None:
    for name, content in entries.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content.encode("utf-8") if isinstance(content, str) else content)


def shaped_os_error(code: int, raw: str, status: int) -> str:
    """The launcher's dialog text for OS error `code`, from the system's raw
    FormatMessageW answer: trailing ASCII spaces, tabs, line and form feeds
    and carriage returns trimmed, then " (os error N)" with N signed; when the
    system has no text, "OS Error N (FormatMessageW() returned error E)"."""
    signed = code - (1 << 32) if code >= 1 << 31 else code
    if status == 0:
        text = raw.rstrip(" \t\n\f\r")
    else:
        text = f"OS Error {signed} (FormatMessageW() returned error {int(raw)})"
    return f"{text} (os error {signed})"


class Session(WineSession):
    """Everything shared by one test run, in a temporary root folder (or
    root, shared with another session), closed at the end of the run."""

    def __init__(self, kit: Optional[Kit] = None, prefix: Optional[PathLike] = None, keep: bool = False,
                 root: Optional[str] = None, logs: str = "proc") -> None:
        self.kit = kit or Kit()
        self.windows_build, self.host_build = str(self.kit.windows_build), str(self.kit.host_build)
        self.cabinet = os.path.join(self.windows_build, "compat", "cabinet", "cabinet.dll")
        self.root = root or tempfile.mkdtemp(prefix="lumaro-e2e-")
        self.keep = keep or root is not None
        super().__init__(prefix or os.path.join(self.root, "prefix"),
                         os.path.join(self.windows_build, "tools", "wine"), logs=self.scratch(logs))
        self.test_tools = os.path.join(self.windows_build, "tests", "wine")
        self._exe_cache: dict[str, str] = {}
        self._oserror_cache: dict[int, str] = {}

    def start(self, fresh: bool = False) -> "Session":
        make_prefix(self.prefix, cabinet=self.cabinet)
        # A server some earlier run left on a kept prefix is not ended
        # unless fresh: it may be another run's (each stops its own at exit).
        super().start(fresh)
        return self

    def close(self) -> None:
        closed = self._closed
        super().close()
        if not closed and not self.keep:
            # A Wine process that was just killed may still be writing here.
            for _ in range(5):
                shutil.rmtree(self.root, ignore_errors=True)
                if not os.path.exists(self.root):
                    break
                time.sleep(0.5)

    def tool(self, name: str) -> str:
        path = os.path.join(self.test_tools, name)
        if not os.path.isfile(path):
            raise ToolError(f"missing test tool {path} (build the windows preset)")
        return path

    def scratch(self, kind: str) -> str:
        path = os.path.join(self.root, kind)
        os.makedirs(path, exist_ok=True)
        return path

    def new_case_dir(self, name: str) -> str:
        path = os.path.join(self.root, "cases", self.unique(name))
        os.makedirs(path)
        return path

    # -- running Windows programs -----------------------------------------

    def os_error_text(self, code: int) -> str:
        """The dialog text for OS error `code` on this system."""
        if code not in self._oserror_cache:
            status, out = self.run([self.tool("lmr-formatmessage.exe"), str(code)])
            if status not in (0, 1):
                raise ToolError(f"lmr-formatmessage {code} failed with {status}")
            self._oserror_cache[code] = shaped_os_error(code, out.decode("utf-8"), status)
        return self._oserror_cache[code]

    # -- launcher executables ---------------------------------------------

    def node_stand_in(self) -> str:
        """The node.exe stand-in (launcher/tests/recording_node.cpp), told by
        FAKE_NODE_* variables what to do: see apps.node_env."""
        path = os.path.join(self.windows_build, "launcher", "tests", "recording_node.exe")
        if not os.path.isfile(path):
            raise ToolError(f"missing {path} (build the windows preset)")
        return path

    def make_app(self, files: Optional[Mapping[str, Content]] = None) -> str:
        """An application folder: the node.exe stand-in, a home.mjs, extra files."""
        app = os.path.join(self.scratch("apps"), self.unique("app"))
        os.makedirs(app)
        shutil.copyfile(self.node_stand_in(), os.path.join(app, "node.exe"))
        write_tree(app, {"home.mjs": "// test application entry\n", **(files or {})})
        return app

    def require_kit(self, *tools: Path) -> None:
        missing = self.kit.missing(*tools)
        if missing:
            raise unittest.SkipTest(missing)

    def build_launcher(self, app_dir: str) -> str:
        """A launcher around app_dir, built once per content within the run."""
        self.require_kit()
        digest = hashlib.sha256()
        for path in tree_listing(app_dir):
            digest.update(path.encode() + b"\0")
            full = os.path.join(app_dir, path)
            if os.path.isfile(full):
                digest.update(Path(full).read_bytes())
        key = digest.hexdigest()
        if key not in self._exe_cache:
            exe = os.path.join(self.scratch("exes"), key[:16], "Lumaro.exe")
            self._exe_cache[key] = str(self.kit.launcher(app_dir, exe))
        return self._exe_cache[key]

    def pack_launcher(self, app_dir: str, out_dir: str, pack_args: Sequence[Arg] = ()) -> str:
        """A launcher packed with extra lmr-pack options (e.g. a low --level)."""
        self.require_kit()
        return str(self.kit.launcher(app_dir, os.path.join(out_dir, "Lumaro.exe"), ["--quiet", *pack_args]))

    def copy_launcher(self, exe: str) -> str:
        """A copy of exe in a folder of its own (its folder is where the seed file lives)."""
        dest = os.path.join(self.scratch("exes"), self.unique("copy"), "Lumaro.exe")
        os.makedirs(os.path.dirname(dest))
        shutil.copyfile(exe, dest)
        return dest

    def with_build_id(self, exe: str, build_id: bytes) -> str:
        """A copy of exe whose record carries the given 16 BuildId bytes."""
        dest = self.copy_launcher(exe)
        data = bytearray(Path(dest).read_bytes())
        image.set_build_id(data, build_id)
        Path(dest).write_bytes(data)
        return dest


class LauncherTestCase(unittest.TestCase):
    """Base for scenarios: self.s is the run's session (set by conftest.py),
    self.case a fresh folder."""
    s: Session

    def setUp(self) -> None:
        self.case = self.s.new_case_dir(self._testMethodName)

    def assertDialog(self, result: Launch, text: str) -> None:
        self.assertIsNotNone(result.dialog, f"no error dialog seen; {result!r}")
        assert result.dialog is not None
        self.assertEqual(result.dialog["caption"], DIALOG_CAPTION)
        self.assertEqual(result.dialog["text"], text)
        self.assertTrue(result.dialog["has_icon"], "the dialog shows no icon")
        self.assertEqual([b["id"] for b in result.dialog["buttons"]], [1], "one OK button")
        self.assertEqual(result.exit_code, 1, result)

    def assertCleanSuccess(self, result: Launch) -> None:
        self.assertIsNone(result.dialog, f"unexpected dialog: {result.dialog!r}")
        self.assertEqual(result.exit_code, 0, result)

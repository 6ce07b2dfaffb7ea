# End-to-end fixture for the launcher under Wine: one headless prefix and one
# server session per test run (tools/wine's driver), a fresh folder per
# scenario, launches with the error dialog read alongside, and builders for
# launcher exes.
import atexit
import glob
import hashlib
import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

from tools.wine import wine_driver
from tools.wine.wine_driver import DIALOG_CAPTION, win_path  # noqa: F401 (the scenarios' names)

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

WINDOW_TITLE = "Lumaro \u00b7 M\u00e1y nh\u00e0"
MUTEX_NAME = "Local\\Lumaro.Desktop.2026"
NO_DATA_FOLDER = "Không tìm thấy thư mục dữ liệu Windows."
INVALID_PACKAGE = "Gói ứng dụng không hợp lệ."
APP_STOPPED = "Ứng dụng đã dừng khi khởi động."

# Generous ceilings; a passing run never waits for them.
LAUNCH_TIMEOUT_S = 60


def _wait_for(predicate, timeout_s, step_s=0.02):
    deadline = time.monotonic() + timeout_s
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step_s)


def tree_listing(root):
    """Every path under root, relative, sorted; folders end with '/'."""
    out = []
    for base, dirs, files in os.walk(root):
        rel = os.path.relpath(base, root)
        for d in dirs:
            out.append(os.path.normpath(os.path.join(rel, d)) + "/")
        for f in files:
            out.append(os.path.normpath(os.path.join(rel, f)))
    return sorted(out)


# A failure of the test setup (a tool, a build, Wine), not of the launcher.
SetupError = wine_driver.WineError


class Session:
    """Everything shared by one test run. Created on first use, closed at exit."""

    def __init__(self):
        self.windows_build = os.path.abspath(os.environ.get(
            "LUMARO_WINDOWS_BUILD", os.path.join(REPO, "build", "windows")))
        self.host_build = os.path.abspath(os.environ.get(
            "LUMARO_HOST_BUILD", os.path.join(REPO, "build", "host-release")))
        self.tools = self._find_tools()
        self.cabinet = self._find_cabinet()
        keep = os.environ.get("LUMARO_E2E_KEEP")
        self.root = tempfile.mkdtemp(prefix="lumaro-e2e-")
        self.keep = bool(keep)
        self.prefix = os.environ.get("LUMARO_E2E_PREFIX") or os.path.join(self.root, "prefix")
        self.wine = wine_driver.Session(self.prefix, os.path.join(self.windows_build, "tools", "wine"),
                                        logs=self.scratch("proc"))
        self._lock = threading.Lock()
        self._exe_cache = {}
        self._oserror_cache = {}
        self._closed = False

    # -- discovery --------------------------------------------------------

    def _find_tools(self):
        override = os.environ.get("LUMARO_WINE_TOOLS")
        dirs = [override] if override else []
        dirs += [os.path.join(self.windows_build, "tests", "wine")]
        for d in dirs:
            if d and os.path.isfile(os.path.join(d, "lmr-window.exe")):
                return os.path.abspath(d)
        raise SetupError(f"lmr-window.exe not found in {' or '.join(dirs)} "
                         "(build the windows preset's lumaro-wine-tools target)")

    def _find_cabinet(self):
        hits = sorted(glob.glob(os.path.join(self.windows_build, "**", "cabinet.dll"), recursive=True))
        hits = [h for h in hits if "_googletest" not in h]
        hits.sort(key=lambda h: ("compat" not in h, len(h)))
        return hits[0] if hits else None

    def tool(self, name):
        path = os.path.join(self.tools, name)
        if not os.path.isfile(path):
            raise SetupError(f"missing test tool {path}")
        return path

    def lumaro_link(self):
        path = os.path.join(self.windows_build, "lumaro-link")
        return path if os.access(path, os.X_OK) else None

    def lmr_pack(self):
        hits = glob.glob(os.path.join(self.host_build, "tools", "pack", "lmr-pack"))
        hits += glob.glob(os.path.join(self.host_build, "**", "lmr-pack"), recursive=True)
        hits = [h for h in hits if os.access(h, os.X_OK)]
        return hits[0] if hits else None

    def default_launcher(self):
        path = os.path.join(self.windows_build, "assets", "Lumaro.exe")
        return path if os.path.isfile(path) else None

    # -- life cycle -------------------------------------------------------

    def start(self):
        t0 = time.monotonic()
        wine_driver.make_prefix(self.prefix, cabinet=self.cabinet)
        # A server some earlier run left on a kept prefix is not ended: it
        # may be another run's (the driver stops its own at exit).
        self.wine.start(fresh=False)
        # Creating a window starts Wine's desktop process too, here rather
        # than in the first scenario's time.
        self.run_tool([self.tool("lmr-window.exe"), "--lifetime-ms", "50"], 120)
        self.setup_seconds = time.monotonic() - t0

    @property
    def env(self):
        return self.wine.env

    def close(self):
        if self._closed:
            return
        self._closed = True
        self.wine.close()
        if not self.keep:
            # A Wine process that was just killed may still be writing here.
            for _ in range(5):
                shutil.rmtree(self.root, ignore_errors=True)
                if not os.path.exists(self.root):
                    break
                time.sleep(0.5)

    def unique(self, stem):
        return self.wine.unique(stem)

    def scratch(self, kind):
        path = os.path.join(self.root, kind)
        os.makedirs(path, exist_ok=True)
        return path

    def new_case_dir(self, name):
        path = os.path.join(self.root, "cases", self.unique(name))
        os.makedirs(path)
        return path

    # -- running Windows programs -----------------------------------------

    def spawn(self, args, name="proc"):
        """A Windows program running in the background (files as its stdio)."""
        return self.wine.spawn(args, name)

    def run_tool(self, args, timeout_s=60):
        """Runs a console tool to completion; returns (status, stdout bytes)."""
        return self.wine.run(args, timeout_s)

    def start_runner(self, exe, set_env=None, unset=(), cwd=None, timeout_s=LAUNCH_TIMEOUT_S, args=()):
        return self.wine.start_runner(exe, set_env, unset, cwd, timeout_s, args)

    def runner_exit(self, proc, timeout_s=LAUNCH_TIMEOUT_S + 30):
        return self.wine.runner_exit(proc, timeout_s)

    def start_dialog_reader(self, press=True, timeout_s=LAUNCH_TIMEOUT_S):
        return self.wine.dialog_reader(press=press, timeout_s=timeout_s)

    def launch(self, exe, set_env=None, unset=(), cwd=None, timeout_s=LAUNCH_TIMEOUT_S, watch_dialog=True):
        """Runs exe to its end, the error dialog read and dismissed alongside."""
        return self.wine.launch(exe, set_env, unset, cwd, timeout_s, watch_dialog=watch_dialog)

    # -- expected texts ---------------------------------------------------

    def os_error_text(self, code):
        """The dialog text for OS error `code`, from this system's own FormatMessageW."""
        if code not in self._oserror_cache:
            status, out = self.run_tool([self.tool("lmr-oserror.exe"), str(code)])
            if status != 0:
                raise SetupError(f"lmr-oserror {code} failed with {status}")
            self._oserror_cache[code] = out.decode("utf-8")
        return self._oserror_cache[code]

    # -- launcher executables ---------------------------------------------

    def node_stand_in(self):
        """The node.exe stand-in (launcher/tests/recording_node.cpp): told by
        FAKE_NODE_* variables what to do, see e2e_apps.node_env."""
        path = os.path.join(self.windows_build, "launcher", "tests", "recording_node.exe")
        if not os.path.isfile(path):
            raise SetupError(f"missing {path} (build the windows preset)")
        return path

    def make_app(self, files=None):
        """An application folder: the node.exe stand-in, a home.mjs, extra files."""
        app = os.path.join(self.scratch("apps"), self.unique("app"))
        os.makedirs(app)
        shutil.copyfile(self.node_stand_in(), os.path.join(app, "node.exe"))
        entries = {"home.mjs": "// test application entry\n"}
        entries.update(files or {})
        for name, content in entries.items():
            path = os.path.join(app, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content.encode("utf-8") if isinstance(content, str) else content)
        return app

    def build_launcher(self, app_dir):
        """lmr-pack + lumaro-link around app_dir; cached per content within the run.
        A test that needs another BuildId patches it in (with_build_id)."""
        pack, link = self.lmr_pack(), self.lumaro_link()
        if not pack or not link:
            raise unittest.SkipTest("lmr-pack or lumaro-link not built yet")
        digest = hashlib.sha256()
        for path in tree_listing(app_dir):
            digest.update(path.encode() + b"\0")
            full = os.path.join(app_dir, path)
            if os.path.isfile(full):
                with open(full, "rb") as f:
                    digest.update(f.read())
        key = digest.hexdigest()
        if key not in self._exe_cache:
            out_dir = os.path.join(self.scratch("exes"), key[:16])
            os.makedirs(out_dir, exist_ok=True)
            record, constants = os.path.join(out_dir, "record.bin"), os.path.join(out_dir, "constants.cpp")
            args = [pack, app_dir, "--record", record, "--constants", constants]
            self._check_run(args)
            exe = os.path.join(out_dir, "Lumaro.exe")
            self._check_run([link, record, constants, exe])
            self._exe_cache[key] = exe
        return self._exe_cache[key]

    @staticmethod
    def _check_run(args):
        proc = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        if proc.returncode != 0:
            raise SetupError(f"{' '.join(args)} failed ({proc.returncode}):\n"
                             f"{proc.stdout.decode('utf-8', 'replace')}")

    def scenario_launcher(self):
        """The launcher the scenarios run: built around a test app whose node.exe
        ends at once with 0 when the tools exist, else the default Lumaro.exe."""
        if self.lmr_pack() and self.lumaro_link():
            return self.build_launcher(self.make_app())
        exe = self.default_launcher()
        if exe is None:
            raise unittest.SkipTest("no launcher built (need lumaro-link and lmr-pack, "
                                    "or assets/Lumaro.exe)")
        return exe

    def copy_launcher(self, exe):
        """A copy of exe in a folder of its own (its folder is where the seed file lives)."""
        out_dir = os.path.join(self.scratch("exes"), self.unique("copy"))
        os.makedirs(out_dir)
        dest = os.path.join(out_dir, "Lumaro.exe")
        shutil.copyfile(exe, dest)
        return dest

    def with_build_id(self, exe, build_id_bytes):
        """A copy of exe whose record carries the given 16 BuildId bytes."""
        if len(build_id_bytes) != 16:
            raise ValueError("a BuildId is 16 bytes")
        dest = self.copy_launcher(exe)
        with open(dest, "rb") as f:
            image = bytearray(f.read())
        offset = find_record(image)
        image[offset + 8:offset + 24] = build_id_bytes
        with open(dest, "wb") as f:
            f.write(image)
        return dest


def find_record(image):
    """Offset of the one payload record in an exe image: "LMR1", the 4-byte
    size, then 16 hex digits. The magic alone may also occur in code."""
    hexdigits = set(b"0123456789abcdefABCDEF")
    hits = []
    start = 0
    while True:
        at = image.find(b"LMR1", start)
        if at < 0:
            break
        field = image[at + 8:at + 24]
        if len(field) == 16 and all(b in hexdigits for b in field):
            hits.append(at)
        start = at + 1
    if len(hits) != 1:
        raise AssertionError(f"expected exactly one payload record, found {len(hits)}")
    return hits[0]


_session = None


def session():
    """The run's shared Session, started on first use."""
    global _session
    if _session is None:
        _session = Session()
        atexit.register(_session.close)
        _session.start()
    return _session


def close_session():
    if _session is not None:
        _session.close()


def wait_for_file(path, timeout_s=20):
    return _wait_for(lambda: os.path.exists(path), timeout_s)


def wait_for(predicate, timeout_s, step_s=0.02):
    return _wait_for(predicate, timeout_s, step_s)


class LauncherTestCase(unittest.TestCase):
    """Base for scenarios: self.s is the session, self.case a fresh folder."""

    @classmethod
    def setUpClass(cls):
        cls.s = session()

    def setUp(self):
        self.case = self.s.new_case_dir(self._testMethodName)

    def assertDialog(self, result, text):
        self.assertIsNotNone(result.dialog, f"no error dialog seen; {result!r}")
        self.assertEqual(result.dialog["caption"], DIALOG_CAPTION)
        self.assertEqual(result.dialog["text"], text)
        self.assertTrue(result.dialog["has_icon"], "the dialog shows no icon")
        self.assertEqual([b["id"] for b in result.dialog["buttons"]], [1], "one OK button")
        self.assertEqual(result.exit_code, 1, result)

    def assertCleanSuccess(self, result):
        self.assertIsNone(result.dialog, f"unexpected dialog: {result.dialog!r}")
        self.assertEqual(result.exit_code, 0, result)

# Application-process scenarios: how node.exe is started (command line,
# working folder, environment, standard handles), how its exit code and error
# output become the outcome, the device file it is handed, a second launch
# while it runs, and one run of the real Node.js.
import json
import os
import subprocess
import time
from pathlib import Path
from typing import Any, Optional, Union

from lmr import node_win
from lmr.e2e import apps, windows
from lmr.e2e.apps import Record
from lmr.e2e.session import APP_STOPPED, WINDOW_TITLE, LauncherTestCase, write_tree
from lmr.wine.calls import win_path
from lmr.wine.launch import Launch, runner_exit, start_runner

DEVICE = "device.local.json"


class AppCase(LauncherTestCase):
    """A launcher around the recording node.exe; each test gets a fresh
    LOCALAPPDATA whose runtime is put in place beforehand (installation has
    scenarios of its own), and tells the stand-in what to do."""
    app: str
    exe: str

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.app = cls.s.make_app()
        cls.exe = cls.s.build_launcher(cls.app)

    def setUp(self) -> None:
        super().setUp()
        self.local = os.path.join(self.case, "Local")
        self.root = apps.data_root(self.local)
        self.record = os.path.join(self.case, "node-record.txt")

    def run_app(self, control: Optional[dict[str, Any]] = None, exe: Optional[str] = None, app: Optional[str] = None,
                local: Optional[str] = None, preinstall: bool = True, set_env: Optional[dict[str, str]] = None,
                **kw: Any) -> tuple[Launch, list[Record]]:
        exe, app, local = exe or self.exe, app or self.app, local or self.local
        if preinstall:
            apps.preinstall(exe, app, local)
        env = apps.node_env(record=self.record, **(control or {}))
        env.update(set_env or {})
        result = apps.launch(self.s, exe, local, cwd=self.case, set_env=env, **kw)
        return result, apps.read_records(self.record)

    def read(self, *parts: str) -> bytes:
        with open(os.path.join(self.root, *parts), "rb") as f:
            return f.read()

    def only_run(self, records: list[Record]) -> Record:
        self.assertEqual(len(records), 1, f"node.exe ran {len(records)} times")
        return records[0]

    def win_root(self, local: Optional[str] = None) -> str:
        return win_path(local or self.local) + "\\Lumaro"


class StartTests(AppCase):

    def check_start(self, local: str) -> tuple[Record, str, str]:
        result, records = self.run_app(local=local)
        self.assertCleanSuccess(result)
        run = self.only_run(records)
        runtime = self.win_root(local) + "\\runtime-" + apps.build_id_of(self.exe)
        node, home = runtime + "\\node.exe", runtime + "\\home.mjs"
        self.assertEqual(run["argv"], [node, home, "--desktop"])
        self.assertEqual(run["cwd"], runtime)
        return run, node, home

    def test_command_line_folder_and_standard_handles(self) -> None:
        run, node, home = self.check_start(self.local)
        self.assertEqual(run["command_line"], f'"{node}" {home} --desktop')
        # Input and output are the null device (the same object as a fresh open
        # of it; Wine's device type for it is not steady), errors go to the log.
        self.assertIsNotNone(run["nul"]["path"], run["nul"])
        self.assertEqual(run["stdin"]["path"], run["nul"]["path"], run["stdin"])
        self.assertEqual(run["stdout"]["path"], run["nul"]["path"], run["stdout"])
        self.assertEqual(run["stderr"]["type"], 1, run["stderr"])
        self.assertTrue(run["stderr"]["path"].lower().endswith("\\lumaro\\startup.log"), run["stderr"])

    def test_space_in_the_user_folder_quotes_the_module_path(self) -> None:
        local = os.path.join(self.case, "App Data", "Local")
        run, node, home = self.check_start(local)
        self.assertEqual(run["command_line"], f'"{node}" "{home}" --desktop')

    def test_environment_handed_to_the_application(self) -> None:
        result, records = self.run_app(set_env={
            "LMR_DEVICE_FILE": "Z:\\stale\\device.json",
            "node_options": "--require=Z:\\evil.js",
            "Node_Path": "Z:\\evil",
            "LMR_E2E_KEPT": "giữ nguyên",
            "=E:": "E:\\lumaro-test",
        })
        self.assertCleanSuccess(result)
        run = self.only_run(records)
        self.assertEqual(apps.env_entries(run, "LMR_DEVICE_FILE"),
                         [("LMR_DEVICE_FILE", self.win_root() + "\\" + DEVICE)])
        self.assertEqual(apps.env_entries(run, "NODE_OPTIONS"), [])
        self.assertEqual(apps.env_entries(run, "NODE_PATH"), [])
        self.assertEqual(apps.env_entries(run, "LMR_E2E_KEPT"), [("LMR_E2E_KEPT", "giữ nguyên")])
        self.assertEqual(apps.env_entries(run, "LOCALAPPDATA"), [("LOCALAPPDATA", win_path(self.local))])
        # Per-drive current folders ("=X:" names) pass through unchanged.
        self.assertIn("=E:=E:\\lumaro-test", run["env"])
        names = [e[:e.find("=", 1)].upper() for e in run["env"]]
        self.assertEqual(len(names), len(set(names)), "a variable appears twice")


class OutcomeTests(AppCase):

    def test_exit_0_after_error_output_is_success_and_keeps_the_log(self) -> None:
        result, records = self.run_app(control={"stderr": "cảnh báo: chỉ là cảnh báo\n", "exit": 0})
        self.assertCleanSuccess(result)
        self.only_run(records)
        self.assertEqual(self.read("startup.log"), "cảnh báo: chỉ là cảnh báo\n".encode())

    def test_exit_3_shows_the_log_text_exactly(self) -> None:
        result, _ = self.run_app(control={"stderr": "boom\n", "exit": 3})
        self.assertDialog(result, "boom\n")
        self.assertEqual(self.read("startup.log"), b"boom\n")

    def test_blank_or_invalid_log_shows_the_fixed_message(self) -> None:
        for label, data in (("whitespace", b" \r\n\t \n\x0b\x0c"), ("invalid UTF-8", b"loi \xff roi\n")):
            with self.subTest(label):
                self.setUp()
                result, _ = self.run_app(control={"stderr": data, "exit": 1})
                self.assertDialog(result, APP_STOPPED)
                self.assertEqual(self.read("startup.log"), data)

    def test_crash_is_a_failure(self) -> None:
        # The stand-in really ends with the access violation's code.
        proc = start_runner(self.s, self.s.node_stand_in(), set_env=apps.node_env(crash=True))
        self.assertEqual(runner_exit(proc)[0], 0xC0000005)

        # It dies silently (no crash dialog, no debugger writing to its error
        # output), so the log stays empty and the fixed message is shown.
        result, records = self.run_app(control={"crash": True})
        self.only_run(records)
        self.assertEqual(self.read("startup.log"), b"")
        self.assertDialog(result, APP_STOPPED)

    def test_log_held_without_write_sharing_stops_before_the_start(self) -> None:
        apps.preinstall(self.exe, self.app, self.local)
        log = os.path.join(self.root, "startup.log")
        with open(log, "wb") as f:
            f.write(b"previous run\n")
        with apps.HeldFile(self.s, log, access="read", share="read"):
            result, records = self.run_app(preinstall=False)
        self.assertDialog(result, self.s.os_error_text(32))
        self.assertEqual(records, [], "node.exe was started")
        self.assertEqual(self.read("startup.log"), b"previous run\n")

    def test_node_that_is_not_a_program_shows_the_system_error(self) -> None:
        bad_app = os.path.join(self.case, "bad-app")
        write_tree(bad_app, {"node.exe": "this is not a program\n", "home.mjs": "// entry\n"})
        exe = self.s.build_launcher(bad_app)
        apps.preinstall(exe, bad_app, self.local)
        os.makedirs(self.root, exist_ok=True)
        with open(os.path.join(self.root, "startup.log"), "wb") as f:
            f.write(b"previous run\n")
        result, _ = self.run_app(exe=exe, app=bad_app, preinstall=False)
        # CreateProcessW refuses a file that is no program with ERROR_BAD_EXE_FORMAT.
        self.assertDialog(result, self.s.os_error_text(193))
        self.assertEqual(self.read("startup.log"), b"", "the log is emptied before the start")


class DeviceFileTests(AppCase):

    def seeded_launcher(self, seed: Union[bytes, str, None]) -> tuple[str, str]:
        """A copy of the launcher with `seed` beside it: bytes, "folder", or None."""
        exe = self.s.copy_launcher(self.exe)
        path = os.path.join(os.path.dirname(exe), DEVICE)
        if seed == "folder":
            os.mkdir(path)
        elif seed is not None:
            with open(path, "wb") as f:
                f.write(seed if isinstance(seed, bytes) else seed.encode())
        return exe, path

    def device_value(self, records: list[Record]) -> list[tuple[str, str]]:
        return apps.env_entries(self.only_run(records), "LMR_DEVICE_FILE")

    def assertHandedOn(self, records: list[Record]) -> None:
        self.assertEqual(self.device_value(records), [("LMR_DEVICE_FILE", self.win_root() + "\\" + DEVICE)])

    def assertNoTemporaries(self) -> None:
        self.assertEqual([n for n in os.listdir(self.root) if n.endswith(".tmp")], [])

    def test_no_seed_creates_nothing_and_hands_the_path_on(self) -> None:
        result, records = self.run_app()
        self.assertCleanSuccess(result)
        self.assertHandedOn(records)
        self.assertFalse(os.path.lexists(os.path.join(self.root, DEVICE)))
        self.assertNoTemporaries()

    def test_seed_is_copied_byte_for_byte(self) -> None:
        seed = b'{"thi\xe1\xba\xbft b\xe1\xbb\x8b": "m\xc3\xa1y nh\xc3\xa0"}\r\n\x00\xff' + bytes(range(256)) * 300
        exe, seed_path = self.seeded_launcher(seed)
        result, records = self.run_app(exe=exe)
        self.assertCleanSuccess(result)
        self.assertHandedOn(records)
        self.assertEqual(self.read(DEVICE), seed)
        with open(seed_path, "rb") as f:
            self.assertEqual(f.read(), seed, "the seed is left as it was")
        self.assertNoTemporaries()

    def test_empty_seed_gives_an_empty_device_file(self) -> None:
        exe, _ = self.seeded_launcher(b"")
        result, records = self.run_app(exe=exe)
        self.assertCleanSuccess(result)
        self.assertEqual(self.read(DEVICE), b"")
        self.assertNoTemporaries()

    def test_existing_device_file_is_kept_and_the_seed_not_read(self) -> None:
        exe, seed_path = self.seeded_launcher(b'{"from": "seed"}')
        apps.preinstall(exe, self.app, self.local)
        device = os.path.join(self.root, DEVICE)
        with open(device, "wb") as f:
            f.write(b'{"from": "user"}')
        os.utime(device, ns=(1_600_000_000_000_000_000, 1_600_000_000_000_000_000))
        before = os.stat(device)
        # Any read of the seed would now fail the launch with a sharing violation.
        with apps.HeldFile(self.s, seed_path, access="read", share="none"):
            result, records = self.run_app(exe=exe, preinstall=False)
        self.assertCleanSuccess(result)
        self.assertHandedOn(records)
        self.assertEqual(self.read(DEVICE), b'{"from": "user"}')
        self.assertEqual(os.stat(device).st_mtime_ns, before.st_mtime_ns)

    def test_folders_named_like_the_device_file(self) -> None:
        with self.subTest("in DataRoot"):
            exe, _ = self.seeded_launcher(b'{"from": "seed"}')
            apps.preinstall(exe, self.app, self.local)
            os.mkdir(os.path.join(self.root, DEVICE))
            result, records = self.run_app(exe=exe, preinstall=False)
            self.assertCleanSuccess(result)
            self.assertHandedOn(records)
            self.assertEqual(os.listdir(os.path.join(self.root, DEVICE)), [])
        with self.subTest("beside the exe"):
            self.setUp()
            exe, _ = self.seeded_launcher("folder")
            result, records = self.run_app(exe=exe)
            self.assertCleanSuccess(result)
            self.assertHandedOn(records)
            self.assertFalse(os.path.lexists(os.path.join(self.root, DEVICE)))
            self.assertNoTemporaries()

    def test_seed_locked_against_reading_fails_the_launch(self) -> None:
        exe, seed_path = self.seeded_launcher(b'{"from": "seed"}')
        apps.preinstall(exe, self.app, self.local)
        with apps.HeldFile(self.s, seed_path, access="read", share="none"):
            result, records = self.run_app(exe=exe, preinstall=False)
        self.assertDialog(result, self.s.os_error_text(32))
        self.assertEqual(records, [], "node.exe was started")
        self.assertFalse(os.path.lexists(os.path.join(self.root, DEVICE)))
        self.assertNoTemporaries()

    def test_leftover_temporary_copies_never_become_the_device_file(self) -> None:
        # Process ids are multiples of 4, so these names belong to no launcher.
        leftovers = {f"{DEVICE}.3.tmp": b'{"half": ', f"{DEVICE}.4294967295.tmp": b"{}"}
        apps.preinstall(self.exe, self.app, self.local)
        write_tree(self.root, leftovers)
        result, records = self.run_app(preinstall=False)
        self.assertCleanSuccess(result)
        self.assertHandedOn(records)
        self.assertFalse(os.path.lexists(os.path.join(self.root, DEVICE)))

        seed = b'{"complete": true}' * 1000
        exe, _ = self.seeded_launcher(seed)
        result, _ = self.run_app(exe=exe, preinstall=False)
        self.assertCleanSuccess(result)
        self.assertEqual(self.read(DEVICE), seed)
        for name, data in leftovers.items():
            self.assertEqual(self.read(name), data, f"{name} was changed")
        self.assertEqual(sorted(n for n in os.listdir(self.root) if n.endswith(".tmp")), sorted(leftovers))


class RunningAppTests(AppCase):

    def test_second_launch_restores_the_running_window(self) -> None:
        window = windows.app_window(self, self.s, "minimized", title=WINDOW_TITLE)
        apps.preinstall(self.exe, self.app, self.local)
        args = {"LOCALAPPDATA": win_path(self.local),
                **apps.node_env(record=self.record, exec_line=window.command_line())}
        first = start_runner(self.s, self.exe, set_env=args, cwd=self.case)
        try:
            shown = window.wait(lambda s: s["iconic"], 30)
            self.assertTrue(shown, "the application's window never appeared minimised")
            before = apps.snapshot(self.root)
            started = time.monotonic()
            second = apps.launch(self.s, self.exe, self.local, cwd=self.case, timeout_s=20)
            self.assertCleanSuccess(second)
            self.assertLess(time.monotonic() - started, 15)
            self.assertTrue(window.activated(), f"window not restored and brought to the front: {window.state()}")
            self.assertEqual(apps.snapshot(self.root), before, "the second launcher touched DataRoot")
            self.assertEqual(len(apps.read_records(self.record)), 1)
        finally:
            window.stop()
        code, out = runner_exit(first)
        self.assertEqual(code, 0, out)


# -- the real Node.js -----------------------------------------------------------

REPORT_MODULE = r"""// Reports how it was started, next to the device file.
import { writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
const device = process.env.LMR_DEVICE_FILE;
writeFileSync(join(dirname(device), "node-report.json"), JSON.stringify({
  argv: process.argv, execPath: process.execPath, cwd: process.cwd(), device,
  nodeOptions: process.env.NODE_OPTIONS ?? null,
}));
"""


class RealNodeTests(LauncherTestCase):

    def test_real_node_sees_its_arguments_folder_and_device_file(self) -> None:
        app = os.path.join(self.case, "app")
        os.makedirs(app)
        try:
            node_win.copy_node_exe(Path(app, "node.exe"))
        except node_win.Unreachable as e:
            if not network_down():
                self.fail(f"{e} (yet the registry answers)")
            self.skipTest(f"{e}; the network is down")
        write_tree(app, {"home.mjs": REPORT_MODULE})
        exe = self.s.pack_launcher(app, os.path.join(self.case, "exe"), ["--level", "1"])
        local = os.path.join(self.case, "Local Data")
        result = apps.launch(self.s, exe, local, cwd=self.case, timeout_s=120,
                             set_env={"NODE_OPTIONS": "--no-such-node-flag"})
        root = apps.data_root(local)
        with open(os.path.join(root, "startup.log"), "rb") as f:
            log = f.read()
        self.assertCleanSuccess(result)
        with open(os.path.join(root, "node-report.json"), encoding="utf-8") as f:
            report = json.load(f)
        runtime = win_path(local) + "\\Lumaro\\runtime-" + apps.build_id_of(exe)
        self.assertEqual(report["argv"], [runtime + "\\node.exe", runtime + "\\home.mjs", "--desktop"], log)
        self.assertEqual(report["execPath"], runtime + "\\node.exe")
        self.assertEqual(report["cwd"], runtime)
        self.assertEqual(report["device"], win_path(local) + "\\Lumaro\\" + DEVICE)
        self.assertIsNone(report["nodeOptions"])
        self.assertEqual(apps.runtime_problems(apps.runtime_dir(local, exe), apps.expected_runtime(app)), [])


def network_down() -> bool:
    """Whether the registry npm is configured for does not answer."""
    probe = subprocess.run(["npm", "ping"], stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    return probe.returncode != 0

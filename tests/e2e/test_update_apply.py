# Applying an update under Wine with the real node.exe: a v1 exe at a path
# checks a local signed feed, rebuilds v2 and has the package's helper
# (.lumaro/update.exe, packed with the update settings) rename it over the exe
# once the launcher has ended; the next start of the same path runs v2, from
# v2's runtime. With restart, v2 starts by itself. Then kills at each step of
# the update: after every one the next start runs a whole version, old or
# new, without a dialog.
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Optional

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from lmr import REPO, feed, node_win, powercut_fs, release
from lmr.e2e import apps
from lmr.e2e.feed_server import FeedHandler, FeedServer, Route
from lmr.e2e.session import LauncherTestCase, Session, wait_for, write_tree
from lmr.proc import ToolError, checked
from lmr.wine.calls import win_path
from lmr.wine.launch import Launch
from lmr.wine.session import start_server, stop_server

KIT = [REPO / "appkit" / name for name in ("lumaro.mjs", "lumaro-update.mjs")]
EXPIRES = datetime(2099, 1, 1, tzinfo=timezone.utc)

# The app: reports its version, runtime and the last update's result, then
# (in the version it is told to update from) runs the update as UPDATE_MODE
# says, stopping where UPDATE_STOP says: "download" kills node while a part
# is on its way, "downloaded" after the rebuild and check, "applied" once
# the helper holds the launcher; "helper" kills the helper before its swap.
HOME_MJS = r"""import { readFileSync, writeFileSync } from 'node:fs';
import { open, readFile, unlink } from 'node:fs/promises';
import path from 'node:path';
import { dataFolder, runtimeFolder } from './lumaro.mjs';
import { applyUpdate, checkForUpdate, downloadUpdate, lastUpdateResult } from './lumaro-update.mjs';

const env = process.env;
const version = JSON.parse(readFileSync('.lumaro/release.json', 'utf8')).version;
const report = { version, runtime: runtimeFolder(), last: await lastUpdateResult(), ms: {} };
const save = () => writeFileSync(path.join(env.UPDATE_REPORTS, `${version}.json`), JSON.stringify(report));
const kill = (pid) => process.kill(pid, 'SIGKILL');
const timed = async (step, work) => {
  const start = performance.now();
  const value = await work();
  report.ms[step] = performance.now() - start;
  return value;
};
save();
if (env.UPDATE_MEASURE) {
  // The yardstick: the whole exe copied and flushed, as a full install of it would.
  const copy = path.join(dataFolder(), 'measure-copy.exe');
  await timed('copy', async () => {
    const file = await open(copy, 'w');
    await file.writeFile(await readFile(env.UPDATE_EXE));
    await file.sync();
    await file.close();
  });
  await unlink(copy);
}
if (env.UPDATE_MODE && version === env.UPDATE_FROM) {
  const update = await timed('check', () => checkForUpdate());
  if (env.UPDATE_STOP === 'download') setTimeout(() => kill(process.pid), 3000);
  const ready = await timed('download', () => downloadUpdate(update, { exePath: env.UPDATE_EXE }));
  report.download = ready;
  save();
  if (env.UPDATE_STOP === 'downloaded') kill(process.pid);
  const retryMs = env.UPDATE_RETRY_MS ? Number(env.UPDATE_RETRY_MS) : undefined;
  const applied = await timed('apply', () => applyUpdate(update, { restart: env.UPDATE_MODE === 'restart', retryMs }));
  report.applied = applied;
  save();
  if (env.UPDATE_STOP === 'applied') kill(process.pid);
  if (env.UPDATE_STOP === 'helper') kill(applied.helperPid);
}
"""


def stall(size: int) -> Route:
    """A part's first byte, then silence while the app is killed."""
    def route(h: FeedHandler) -> None:
        h.send_response(200)
        h.send_header("Content-Length", str(size))
        h.end_headers()
        h.wfile.write(b"\0")
        h.wfile.flush()
        time.sleep(20)
    return route


class UpdateCase(LauncherTestCase):
    """v1 and v2 of one app around the real node.exe, published to a feed
    that a local server serves for the whole run."""
    root: str
    server: FeedServer
    exes: dict[str, str]
    build_ids: dict[str, str]

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        if "exes" not in UpdateCase.__dict__:
            UpdateCase.build_releases(cls.s)

    @classmethod
    def build_releases(cls, s: Session) -> None:
        helper = Path(s.windows_build, "updater", "lumaro-update.exe")
        if not helper.is_file():
            raise ToolError(f"missing {helper} (build the windows preset)")
        cls.root = s.scratch("update-apply")
        site = Path(cls.root, "site")
        cls.server = FeedServer(site)
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()
        key = Ed25519PrivateKey.generate()
        key_pem = Path(cls.root, "feed-key.pem")
        key_pem.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                              serialization.NoEncryption()))
        public_pem = Path(cls.root, "feed-key.pub.pem")
        public_pem.write_bytes(key.public_key().public_bytes(serialization.Encoding.PEM,
                                                             serialization.PublicFormat.SubjectPublicKeyInfo))
        node = Path(cls.root, "node.exe")
        try:
            node_win.copy_node_exe(node)
        except node_win.Unreachable as e:
            raise ToolError(f"the real node.exe is needed: {e}") from e
        cls.exes, cls.build_ids = {}, {}
        for version in ("1.0.0", "2.0.0"):
            app = Path(cls.root, "app-" + version)
            write_tree(app, {"home.mjs": HOME_MJS})
            shutil.copyfile(node, app / "node.exe")
            for kit in KIT:
                shutil.copyfile(kit, app / kit.name)
            exe = s.kit.launcher(app, Path(cls.root, "out", version, "Lumaro.exe"),
                                 ["--quiet", "--level", "1", "--version", version, "--update-feed",
                                  cls.server.url + "feed/", "--update-key", public_pem, "--update-helper", helper],
                                 version_rc=True)
            release.publish(exe, site / "feed", key_pem, None, EXPIRES, s.kit)
            cls.exes[version] = str(exe)
            cls.build_ids[version] = apps.build_id_of(exe)

    def setUp(self) -> None:
        super().setUp()
        self.server.routes.clear()
        self.local = os.path.join(self.case, "Local")
        self.data = apps.data_root(self.local)
        self.reports = os.path.join(self.case, "reports")
        os.makedirs(self.reports)
        # The exe at the path the user starts: a folder of its own.
        self.exe = os.path.join(self.case, "App", "Lumaro.exe")
        os.makedirs(os.path.dirname(self.exe))
        shutil.copyfile(self.exes["1.0.0"], self.exe)

    def launch(self, mode: str = "", stop: str = "", exe: Optional[str] = None,
               local: Optional[str] = None, measure: bool = False) -> Launch:
        for name in os.listdir(self.reports):
            os.unlink(os.path.join(self.reports, name))
        exe = exe or self.exe
        env = {"UPDATE_REPORTS": win_path(self.reports), "UPDATE_MODE": mode, "UPDATE_STOP": stop,
               "UPDATE_FROM": "1.0.0", "UPDATE_EXE": win_path(exe), "UPDATE_MEASURE": "1" if measure else "",
               "UPDATE_RETRY_MS": "1500"}
        return apps.launch(self.s, exe, local or self.local, cwd=self.case, set_env=env, timeout_s=300)

    def report(self) -> dict[str, Any]:
        reports = os.listdir(self.reports)
        self.assertEqual(len(reports), 1, reports)
        with open(os.path.join(self.reports, reports[0]), encoding="utf-8") as f:
            report: dict[str, Any] = json.load(f)
        return report

    def start(self, mode: str = "", stop: str = "", measure: bool = False) -> dict[str, Any]:
        """One start of the exe path; the report of the version that ran."""
        result = self.launch(mode, stop, measure=measure)
        if stop in ("download", "downloaded", "applied"):
            # node killed: the launcher says the app stopped; not what is tested.
            self.assertEqual(result.exit_code, 1, result)
        else:
            self.assertCleanSuccess(result)
        return self.report()

    def exe_version(self, exe: Optional[str] = None) -> Optional[str]:
        data = Path(exe or self.exe).read_bytes()
        return next((v for v, exe in self.exes.items() if Path(exe).read_bytes() == data), None)

    def helper_done(self) -> Optional[dict[str, Any]]:
        """The helper's result, once it has written it."""
        try:
            with open(os.path.join(self.data, "update-result.json"), encoding="utf-8") as f:
                result: dict[str, Any] = json.load(f)
                return result
        except (OSError, ValueError):
            return None

    def staged(self, report: dict[str, Any]) -> str:
        return os.path.join(self.data, f"update-{report['download']['sha256'][:16]}.exe")

    def assertRuns(self, version: str, report: dict[str, Any]) -> None:
        self.assertEqual(report["version"], version)
        self.assertEqual(report["runtime"], win_path(self.data) + "\\runtime-" + self.build_ids[version])


class UpdateApplyTests(UpdateCase):

    def test_the_next_start_of_the_same_path_runs_the_new_version(self) -> None:
        first = self.start("apply", measure=True)
        self.assertRuns("1.0.0", first)
        self.assertIsNone(first["last"])
        self.assertEqual(first["applied"]["exePath"].lower(), win_path(self.exe).lower())
        # The exe's unchanged chunks were reused; only what changed came down.
        self.assertLess(first["download"]["downloadedBytes"], first["download"]["size"] // 4)
        result = wait_for(self.helper_done, 60)
        self.assertIsNotNone(result, "the helper left no result")
        assert result is not None
        self.assertEqual(result["outcome"], "applied", result)
        self.assertEqual(self.exe_version(), "2.0.0")
        self.assertFalse(os.path.exists(self.staged(first)))

        second = self.start("apply")
        self.assertRuns("2.0.0", second)
        self.assertEqual(second["last"]["outcome"], "applied")
        self.assertEqual(second["last"]["restart"], False)
        ms = first["ms"]
        print(f"\napply: check {ms['check']:.0f} ms, download and rebuild {ms['download']:.0f} ms "
              f"({first['download']['downloadedBytes']} of {first['download']['size']} bytes downloaded), "
              f"applyUpdate {ms['apply']:.0f} ms (the swap itself had ended before the launcher's end was seen); "
              f"copying the whole exe {ms['copy']:.0f} ms")

    def test_with_restart_the_new_version_starts_by_itself(self) -> None:
        reports = Path(self.reports)
        first = self.start("restart")
        self.assertRuns("1.0.0", first)
        # The helper swaps once the launcher has ended and starts the exe
        # again: v2's own report, from a start nobody here made.
        self.assertTrue(wait_for(lambda: (reports / "2.0.0.json").is_file(), 120), "v2 did not start")
        second = wait_for(lambda: _read_json(reports / "2.0.0.json"), 10)
        self.assertRuns("2.0.0", second)
        self.assertEqual(second["last"]["outcome"], "applied")
        self.assertEqual(second["last"]["restart"], True)
        self.assertEqual(self.exe_version(), "2.0.0")

    def test_an_exe_in_use_elsewhere_keeps_the_staged_exe_for_the_next_apply(self) -> None:
        # Another session's copy has the exe open: the rename is refused
        # until the helper gives up (1.5 s here).
        with apps.HeldFile(self.s, self.exe, access="read", share="read"):
            first = self.start("apply")
            result = wait_for(self.helper_done, 60)
        self.assertIsNotNone(result)
        assert result is not None
        self.assertEqual((result["outcome"], result["step"], result["osCode"]), ("in-use", "replace", 5), result)
        self.assertEqual(self.exe_version(), "1.0.0")
        self.assertTrue(os.path.isfile(self.staged(first)), "the staged exe is kept for the next try")

        second = self.start("apply")
        self.assertRuns("1.0.0", second)
        self.assertEqual(second["last"]["outcome"], "in-use")
        self.assertEqual(second["download"]["downloadedBytes"], 0, "the staged exe was reused")
        self.assertIsNotNone(wait_for(self.helper_done, 60))
        self.assertRuns("2.0.0", self.start())

    def test_killed_mid_download_the_old_version_still_starts(self) -> None:
        v2 = Path(self.exes["2.0.0"]).read_bytes()
        for part in feed.segments(v2):
            self.server.routes[f"/feed/parts/{part.sha256}"] = stall(part.size)
        self.server.routes[f"/feed/parts/{feed.sha256(v2)}"] = stall(len(v2))
        self.start("apply", stop="download")
        self.assertEqual(len([n for n in os.listdir(self.data) if n.endswith(".partial")]), 1)
        self.server.routes.clear()
        self.assertEqual(self.exe_version(), "1.0.0")
        self.assertRuns("1.0.0", self.start())

    def test_killed_between_download_and_apply_the_old_version_still_starts(self) -> None:
        self.start("apply", stop="downloaded")
        self.assertEqual(self.exe_version(), "1.0.0")
        self.assertRuns("1.0.0", self.start())

    def test_a_helper_killed_before_its_swap_leaves_the_old_exe_and_a_later_apply_finishes(self) -> None:
        first = self.start("apply", stop="helper")
        self.assertIn("applied", first)
        time.sleep(2)  # what a helper left alive would have done by now
        self.assertIsNone(self.helper_done())
        self.assertEqual(self.exe_version(), "1.0.0")
        self.assertTrue(os.path.isfile(self.staged(first)), "the staged exe is kept for the next try")

        again = self.start("apply")
        self.assertRuns("1.0.0", again)
        self.assertEqual(again["download"]["downloadedBytes"], 0, "the staged exe was reused")
        self.assertIsNotNone(wait_for(self.helper_done, 60))
        self.assertRuns("2.0.0", self.start())

    def test_node_killed_once_the_helper_holds_the_launcher_still_gets_the_new_version(self) -> None:
        self.start("apply", stop="applied")
        result = wait_for(self.helper_done, 60)
        self.assertIsNotNone(result)
        assert result is not None
        self.assertEqual(result["outcome"], "applied", result)
        self.assertRuns("2.0.0", self.start())


class SwapPowerCutTests(UpdateCase):
    """The exe and the data folder on a file system that loses what no fsync
    covered when the power goes (lmr.powercut_fs). The staged v2 is written
    there without a flush, as a download the system had not yet written
    back; the power goes right before or right after the helper's rename.
    After the reboot the exe path holds v1 or v2 whole, and starts."""

    def setUp(self) -> None:
        reason = powercut_fs.unavailable()
        if reason:
            self.skipTest(reason)
        super().setUp()

    def cut_round(self, name: str, cut_at: Optional[int]) -> tuple[Path, powercut_fs.Report]:
        """One update on a fresh disk; the power goes at operation cut_at."""
        disk, mnt = Path(self.case, f"disk-{name}"), Path(self.case, f"mnt-{name}")
        os.makedirs(disk / "App")
        shutil.copyfile(self.exes["1.0.0"], disk / "App" / "Lumaro.exe")
        # The runtime as v1's install leaves it: its package, with what the pack tool adds.
        package = Path(self.case, f"package-{name}")
        checked([self.s.kit.inspect_tool, "--extract", package, "--", self.exes["1.0.0"]], 120)
        apps.preinstall(self.exes["1.0.0"], str(package), str(disk / "Local"))
        v2 = Path(self.exes["2.0.0"]).read_bytes()
        exe = str(mnt / "App" / "Lumaro.exe")
        with powercut_fs.Mount(disk, mnt, cut_at=cut_at) as m:
            staged = mnt / "Local" / "Lumaro" / f"update-{feed.sha256(v2)[:16]}.exe"
            staged.write_bytes(v2)  # no fsync: lost at a cut unless the helper flushes it
            result = self.launch("apply", exe=exe, local=str(mnt / "Local"))
            self.assertCleanSuccess(result)
            if cut_at is None:
                self.assertTrue(wait_for(lambda: (mnt / "Local" / "Lumaro" / "update-result.json").exists(), 60))
            else:
                self.assertTrue(wait_for(m.powered_off, 60), "the power never went")
                # The power is out: every Wine process of the prefix dies with it.
                stop_server(self.s.prefix)
            report = m.unmount()
        if cut_at is not None:
            start_server(self.s.prefix, self.s.tools)
        return disk, report

    def test_a_power_cut_at_the_swap_leaves_a_whole_exe_old_or_new(self) -> None:
        _, calibration = self.cut_round("calibration", None)
        swap = calibration.index_of(lambda op: op[0] == "rename" and "/update-" in op[1]
                                    and op[-1].endswith("/App/Lumaro.exe"))
        self.assertIsNotNone(swap, calibration.ops[-10:])
        assert swap is not None
        for name, cut_at, want in (("before", swap, "1.0.0"), ("after", swap + 1, "2.0.0")):
            disk, report = self.cut_round(name, cut_at)
            exe = str(disk / "App" / "Lumaro.exe")
            self.assertEqual(self.exe_version(exe), want, f"cut {name} the rename; lost {report.lost}")
            # The reboot: the same disk, the power back on.
            mnt = Path(self.case, f"mnt-{name}")
            with powercut_fs.Mount(disk, mnt):
                result = self.launch(exe=str(mnt / "App" / "Lumaro.exe"), local=str(mnt / "Local"))
                self.assertCleanSuccess(result)
            self.assertEqual(self.report()["version"], want)


# applyUpdate under Linux's node with options naming the folders: prints
# { ok } or { reason, message }.
APPLY_DRIVER = r"""const [kitPath, runtime, data, updateJson, times] = process.argv.slice(2);
const kit = await import(kitPath);
for (let i = 0; i < Number(times); i++) {
  try {
    const ok = await kit.applyUpdate(JSON.parse(updateJson), { runtimeFolder: runtime, dataFolder: data });
    console.log(JSON.stringify({ ok }));
  } catch (error) {
    if (!(error instanceof kit.UpdateError)) throw error;
    console.log(JSON.stringify({ reason: error.reason, message: error.message }));
  }
}
"""

# Stands in for the helper: notes how it was started, says what it is told.
FAKE_HELPER = """#!/usr/bin/python3
import json, os, sys
with open(os.environ["HELPER_NOTES"], "w") as f:
    json.dump({"args": sys.argv[1:], "cwd": os.getcwd(), "exe": sys.argv[0]}, f)
print(os.environ["HELPER_SAYS"], flush=True)
"""

NODE = shutil.which("node")


@unittest.skipUnless(NODE, "needs node")
class ApplyUpdateKitTests(unittest.TestCase):
    """What applyUpdate checks and leaves before any helper runs, and how it
    reads the helper's answer: under Linux's node, with a stand-in helper."""

    def setUp(self) -> None:
        self.dir = Path(tempfile.mkdtemp(prefix="lumaro-apply-kit-"))
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.runtime, self.data = self.dir / "runtime-0123456789abcdef", self.dir / "data"
        (self.runtime / ".lumaro").mkdir(parents=True)
        self.data.mkdir()
        helper = self.runtime / ".lumaro" / "update.exe"
        helper.write_text(FAKE_HELPER)
        helper.chmod(0o755)
        self.new_exe = b"MZ the new version " * 1000
        digest = hashlib.sha256(self.new_exe).hexdigest()
        self.update = {"version": "2.0.0", "exe": {"sha256": digest, "size": len(self.new_exe)}}
        self.staged = self.data / f"update-{digest[:16]}.exe"
        self.staged.write_bytes(self.new_exe)
        self.notes = self.dir / "notes.json"
        (self.dir / "driver.mjs").write_text(APPLY_DRIVER)

    def apply(self, says: str, times: int = 1) -> list[dict[str, Any]]:
        assert NODE is not None
        done = subprocess.run([NODE, str(self.dir / "driver.mjs"), str(REPO / "appkit" / "lumaro-update.mjs"),
                               str(self.runtime), str(self.data), json.dumps(self.update), str(times)],
                              env={**os.environ, "HELPER_NOTES": str(self.notes), "HELPER_SAYS": says},
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        return [json.loads(line) for line in done.stdout.splitlines()]

    def test_starts_a_fresh_helper_copy_in_the_data_folder_after_clearing_leftovers(self) -> None:
        leftovers = ["update-aaaaaaaaaaaaaaaa.exe", "update-helper-0badc0de.exe", "update-result.json",
                     "update-result.json.tmp"]
        kept = ["device.local.json", "update-state.json", "update-aaaaaaaaaaaaaaaa.exe.txt"]
        for name in leftovers + kept:
            (self.data / name).write_bytes(b"x")
        answers = self.apply("watching C:\\Apps\\App.exe", times=2)
        self.assertEqual(answers[0]["ok"]["exePath"], "C:\\Apps\\App.exe")
        self.assertEqual(answers[1]["reason"], "apply-failed", "a second apply while one waits")
        notes = json.loads(self.notes.read_text())
        self.assertEqual(notes["args"], ["apply", "--launcher-pid", str(os.getpid()), "--new", str(self.staged),
                                         "--size", str(len(self.new_exe))])
        self.assertEqual(notes["cwd"], str(self.data))
        copies = [n for n in os.listdir(self.data) if n.startswith("update-helper-")]
        self.assertEqual(len(copies), 1)
        self.assertRegex(copies[0], r"^update-helper-[0-9a-f]{8}\.exe$")
        self.assertNotEqual(copies[0], "update-helper-0badc0de.exe")
        self.assertEqual(notes["exe"], str(self.data / copies[0]))
        self.assertEqual(sorted(os.listdir(self.data)), sorted(kept + [self.staged.name, copies[0]]))

    def test_refuses_a_staged_exe_that_is_not_the_updates(self) -> None:
        for content in (self.new_exe[:-1] + b"!", self.new_exe[:-1], None):
            if content is None:
                self.staged.unlink()
            else:
                self.staged.write_bytes(content)
            [answer] = self.apply("watching C:\\Apps\\App.exe")
            self.assertEqual(answer["reason"], "not-downloaded", content)
            self.assertFalse(self.notes.exists(), "a helper was started")
            self.assertEqual([n for n in os.listdir(self.data) if n.startswith("update-helper-")], [])

    def test_a_helper_that_refuses_or_is_missing_fails_the_apply(self) -> None:
        [refused] = self.apply("refused --size is missing")
        self.assertEqual(refused["reason"], "apply-failed")
        self.assertEqual(refused["message"], "the update helper did not take the update: refused --size is missing")
        (self.runtime / ".lumaro" / "update.exe").unlink()
        [missing] = self.apply("watching C:\\Apps\\App.exe")
        self.assertEqual(missing["reason"], "not-configured")


def _read_json(path: Path) -> Any:
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None

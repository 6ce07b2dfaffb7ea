# The app kit (appkit/lumaro.mjs) under the real Node.js for Windows, in a
# packed app: the paths it reports inside and outside a launcher, and what
# pruneOldRuntimes() removes from a data folder of older runtimes, install
# folders, leftovers and names it does not know, what it leaves whole, and a
# deletion stopped half-way that a later prune finishes. What needs no Windows
# runs under Linux's own node: the order of releases, and a folder swapped for
# a link while it is pruned.
import contextlib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path
from typing import Any, Optional

from lmr import REPO, node_win
from lmr.e2e import apps, windows
from lmr.e2e.session import WINDOW_TITLE, Content, LauncherTestCase, tree_listing, wait_for_file, write_tree
from lmr.proc import ToolError
from lmr.wine import launch as wine_launch
from lmr.wine.calls import win_path

KIT = REPO / "appkit" / "lumaro.mjs"
DAY_S = 24 * 60 * 60

# The app: reports what the kit says, prunes, and leaves one line on each stream.
HOME_MJS = r"""import { writeFileSync } from 'node:fs';
import * as kit from './lumaro.mjs';
const cwd = process.cwd();
process.chdir('..');  // the kit goes by the folder the app started in
const report = {
  runtime: kit.runtimeFolder(), data: kit.dataFolder(), device: kit.deviceFile(),
  handedOver: process.env.LMR_DEVICE_FILE ?? null, argv: process.argv, cwd,
};
report.prune = await kit.pruneOldRuntimes();
console.log('to standard output');
process.stderr.write('kit done\n');
writeFileSync(process.env.KIT_REPORT, JSON.stringify(report));
"""

# Runs from an older runtime until told to stop, as another session's app would.
HOLD_MJS = r"""import { existsSync, writeFileSync } from 'node:fs';
writeFileSync(process.argv[2], 'running');
const timer = setInterval(() => { if (existsSync(process.argv[3])) clearInterval(timer); }, 50);
"""

OLD = "runtime-1111111111111111"
OLDER = "runtime-2222222222222222"
DAMAGED = "runtime-3333333333333333"
NEWER = "runtime-4444444444444444"
STALE_STAGING = "install-5555555555555555-1234"
FRESH_STAGING = "install-5555555555555555-1238"
DEEP_TOUCHED_STAGING = "install-6666666666666666-77"
LEFTOVER = "removing-0123456789abcdef"
LINKED = "runtime-aaaaaaaaaaaaaaaa"
FILE_RUNTIME = "runtime-9999999999999999"
UNKNOWN = ["runtime-7777", "runtime-777777777777777g", "install-5555555555555555", "install-5555555555555555-01",
           "removing-XYZ", "runtime-8888888888888888.old", "notes.txt", "Backups"]
UPDATE_FILES = ["update-state.json", "update-0123456789abcdef.exe", "update-0123456789abcdef.exe.partial",
                "update-helper-01234567.exe", "update-result.json"]
RUNTIME_FILES: dict[str, Content] = {"node.exe": b"MZ an older node", "home.mjs": "// older app\n",
                                     "lib/deep/x.js": "export {};\n"}


def age(root: str, seconds_ago: float) -> None:
    """Sets the modification time of root and everything in it."""
    when = time.time() - seconds_ago
    for base, dirs, files in os.walk(root, topdown=False):
        for name in dirs + files:
            os.utime(os.path.join(base, name), (when, when), follow_symlinks=False)
    os.utime(root, (when, when))


def runtime(folder: str, marker_age_s: float | None, files: dict[str, Content] | None = None) -> None:
    """A runtime folder, with its ready marker that many seconds old (None: no marker)."""
    write_tree(folder, files or RUNTIME_FILES)
    if marker_age_s is not None:
        open(os.path.join(folder, "ready"), "wb").close()
        when = time.time() - marker_age_s
        os.utime(os.path.join(folder, "ready"), (when, when))


def release_file(runtime_folder: str, content: Content) -> str:
    path = os.path.join(runtime_folder, ".lumaro", "release.json")
    write_tree(os.path.dirname(path), {"release.json": content})
    return path


def release(version: str) -> str:
    return json.dumps({"version": version})


class AppKitCase(LauncherTestCase):
    """One packed app around the real node.exe and the kit, shared by the class."""
    app: str
    exe: str

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.app = os.path.join(cls.s.scratch("appkit"), "app")
        if not os.path.isdir(cls.app):
            try:
                node_win.copy_node_exe(Path(cls.app, "node.exe"))
            except node_win.Unreachable as e:
                raise ToolError(f"the real node.exe is needed: {e}") from e
            write_tree(cls.app, {"home.mjs": HOME_MJS, "hold.mjs": HOLD_MJS})
            shutil.copyfile(KIT, os.path.join(cls.app, "lumaro.mjs"))
        exe = os.path.join(cls.s.scratch("appkit"), "exe")
        if not os.path.isfile(os.path.join(exe, "Lumaro.exe")):
            cls.s.pack_launcher(cls.app, exe, ["--level", "1"])
        cls.exe = os.path.join(exe, "Lumaro.exe")

    def setUp(self) -> None:
        super().setUp()
        self.local = os.path.join(self.case, "Local")
        self.root = apps.data_root(self.local)
        self.own = os.path.basename(apps.runtime_dir(self.local, self.exe))
        self.report_path = os.path.join(self.case, "report.json")

    def run_app(self, install: bool = False, args: tuple[str, ...] = ()) -> dict[str, Any]:
        """Launches the packed app (into a runtime put in place beforehand
        unless install), with args on the launcher's command line; what the
        app reported."""
        if not install and not os.path.isdir(apps.runtime_dir(self.local, self.exe)):
            apps.preinstall(self.exe, self.app, self.local)
        if os.path.exists(self.report_path):
            os.unlink(self.report_path)
        result = wine_launch.launch(self.s, self.exe, set_env={"KIT_REPORT": win_path(self.report_path)},
                                    cwd=self.case, timeout_s=180, localappdata=self.local, args=args)
        self.assertCleanSuccess(result)
        with open(os.path.join(self.root, "startup.log"), "rb") as f:
            self.assertEqual(f.read(), b"kit done\n", "standard error is kept, standard output is not")
        with open(self.report_path, encoding="utf-8") as f:
            report: dict[str, Any] = json.load(f)
        return report

    def kept(self, report: dict[str, Any]) -> dict[str, str]:
        return {k["name"]: k["reason"] for k in report["prune"]["kept"]}


class PruneTests(AppKitCase):

    def test_removes_what_earlier_releases_left_and_nothing_else(self) -> None:
        runtime(os.path.join(self.root, OLD), 3 * DAY_S)
        runtime(os.path.join(self.root, OLDER), 60)
        runtime(os.path.join(self.root, DAMAGED), None)
        runtime(os.path.join(self.root, NEWER), -DAY_S)  # an older release started after this one
        staging: dict[str, dict[str, Content]] = {STALE_STAGING: RUNTIME_FILES, FRESH_STAGING: {"node.exe": b"MZ"},
                                                  DEEP_TOUCHED_STAGING: RUNTIME_FILES}
        for name, files in staging.items():
            write_tree(os.path.join(self.root, name), files)
        age(os.path.join(self.root, STALE_STAGING), 2 * DAY_S)
        # Old at the top, but a file deep inside was written a moment ago.
        age(os.path.join(self.root, DEEP_TOUCHED_STAGING), 2 * DAY_S)
        os.utime(os.path.join(self.root, DEEP_TOUCHED_STAGING, "lib", "deep", "x.js"))
        runtime(os.path.join(self.root, LEFTOVER), 5 * DAY_S)
        for name in UNKNOWN:
            write_tree(os.path.join(self.root, name), RUNTIME_FILES)
            age(os.path.join(self.root, name), 9 * DAY_S)
        with open(os.path.join(self.root, FILE_RUNTIME), "wb") as f:
            f.write(b"a file where a runtime would be")
        for name in UPDATE_FILES:
            with open(os.path.join(self.root, name), "wb") as f:
                f.write(b"the update module's")
        outside = os.path.join(self.case, "elsewhere")
        runtime(outside, 3 * DAY_S)
        os.symlink(outside, os.path.join(self.root, LINKED))
        with open(os.path.join(self.root, "device.local.json"), "wb") as f:
            f.write(b'{"the": "user\'s"}')
        kept_names = UNKNOWN + UPDATE_FILES + [NEWER, FRESH_STAGING, DEEP_TOUCHED_STAGING, FILE_RUNTIME, LINKED,
                                               "device.local.json"]
        before = {n: apps.snapshot(os.path.join(self.root, n)) for n in kept_names}
        outside_before = apps.snapshot(outside)

        report = self.run_app(install=True, args=("--open", "tệp.txt"))
        own_runtime = win_path(self.root) + "\\" + self.own
        # What the user gives the exe never reaches the app.
        self.assertEqual(report["argv"], [own_runtime + "\\node.exe", own_runtime + "\\home.mjs", "--desktop"])
        self.assertEqual(report["cwd"], own_runtime)
        self.assertEqual(report["runtime"], own_runtime)
        self.assertEqual(report["data"], win_path(self.root))
        self.assertEqual(report["device"], win_path(self.root) + "\\device.local.json")
        self.assertEqual(report["device"], report["handedOver"])
        self.assertEqual(sorted(report["prune"]["removed"]), sorted([OLD, OLDER, DAMAGED, STALE_STAGING, LEFTOVER]))
        self.assertEqual(self.kept(report), {
            **{n: "unknown" for n in UNKNOWN}, **{n: "update" for n in UPDATE_FILES}, NEWER: "newer",
            FRESH_STAGING: "recent", DEEP_TOUCHED_STAGING: "recent", FILE_RUNTIME: "not a folder", LINKED: "link",
            "device.local.json": "device file", "startup.log": "startup log", self.own: "own runtime"})
        self.assertEqual(sorted(os.listdir(self.root)), sorted(kept_names + ["startup.log", self.own]))
        self.assertEqual({n: apps.snapshot(os.path.join(self.root, n)) for n in kept_names}, before)
        self.assertEqual(apps.snapshot(outside), outside_before, "pruning went through a link")
        self.assertEqual(apps.runtime_problems(os.path.join(self.root, self.own), apps.expected_runtime(self.app)), [])

        # Nothing left to do: a second prune removes nothing and changes
        # nothing. The launcher checks three names of its runtime and
        # repairs nothing: what the app changed there stays changed.
        write_tree(os.path.join(self.root, self.own), {"hold.mjs": "// changed\n", "extra.txt": "added\n"})
        snapshot = apps.snapshot(self.root)
        again = self.run_app()
        self.assertEqual(again["prune"]["removed"], [])
        after = apps.snapshot(self.root)
        self.assertEqual({n: v for n, v in after.items() if n != "startup.log"},
                         {n: v for n, v in snapshot.items() if n != "startup.log"})

    def test_a_running_runtime_stays_whole_and_a_half_deleted_one_is_finished_later(self) -> None:
        # Another session's app runs from OLD: its node.exe is a running program.
        old = os.path.join(self.root, OLD)
        runtime(old, DAY_S, {"home.mjs": "// older\n", "hold.mjs": HOLD_MJS})
        shutil.copyfile(os.path.join(self.app, "node.exe"), os.path.join(old, "node.exe"))
        started, stop = os.path.join(self.case, "started"), os.path.join(self.case, "stop")
        running = self.s.spawn([os.path.join(old, "node.exe"), win_path(os.path.join(old, "hold.mjs")),
                                win_path(started), win_path(stop)], "old-app")
        self.addCleanup(running.kill)
        self.assertTrue(wait_for_file(started, 60), "the older app did not start")
        # In OLDER, a file is held open without delete sharing. Windows would
        # refuse to rename the folder; Wine renames it, and then cannot delete
        # that one file.
        runtime(os.path.join(self.root, OLDER), DAY_S)
        held = os.path.join(self.root, OLDER, "lib", "deep", "x.js")
        old_before = apps.snapshot(old)
        with apps.HeldFile(self.s, held, access="read", share="read"):
            report = self.run_app()
        self.assertEqual(report["prune"]["removed"], [])
        self.assertEqual(self.kept(report).get(OLD), "in use", report["prune"])
        self.assertEqual(apps.snapshot(old), old_before)
        unfinished = [k for k in report["prune"]["kept"] if k["reason"] == "unfinished"]
        self.assertEqual(len(unfinished), 1, report["prune"])
        self.assertEqual(unfinished[0]["from"], OLDER)
        trash = unfinished[0]["name"]
        self.assertRegex(trash, r"^removing-[0-9a-f]{16}$")
        self.assertFalse(os.path.lexists(os.path.join(self.root, OLDER)), "a half-deleted runtime kept its name")
        self.assertEqual(tree_listing(os.path.join(self.root, trash)), ["lib/", "lib/deep/", "lib/deep/x.js"])
        self.assertEqual(sorted(os.listdir(self.root)), sorted([OLD, trash, self.own, "startup.log"]))

        with open(stop, "w"):
            pass
        running.wait(30)
        later = self.run_app()
        self.assertEqual(sorted(later["prune"]["removed"]), sorted([OLD, trash]))
        self.assertEqual(sorted(os.listdir(self.root)), sorted([self.own, "startup.log"]))

    def test_an_older_release_started_again_leaves_a_newer_ones_runtime(self) -> None:
        apps.preinstall(self.exe, self.app, self.local)
        release_file(os.path.join(self.root, self.own), release("2.0.0-rc.1"))
        runtime(os.path.join(self.root, NEWER), DAY_S)
        release_file(os.path.join(self.root, NEWER), release("2.0.0"))
        runtime(os.path.join(self.root, OLD), -DAY_S)
        release_file(os.path.join(self.root, OLD), release("1.9.9"))
        report = self.run_app()
        self.assertEqual(report["prune"]["removed"], [OLD])
        self.assertEqual(self.kept(report), {NEWER: "newer release", "startup.log": "startup log",
                                             self.own: "own runtime"})


class OutsideLauncherTests(AppKitCase):

    def run_outside(self, cwd: str) -> dict[str, Any]:
        """node.exe on the app's home.mjs, started directly in cwd."""
        if os.path.exists(self.report_path):
            os.unlink(self.report_path)
        proc = wine_launch.start_runner(self.s, os.path.join(self.app, "node.exe"), cwd=cwd, timeout_s=120,
                                        set_env={"KIT_REPORT": win_path(self.report_path)},
                                        args=[win_path(os.path.join(self.app, "home.mjs"))])
        code, out = wine_launch.runner_exit(proc, 150)
        self.assertEqual(code, 0, out)
        with open(self.report_path, encoding="utf-8") as f:
            report: dict[str, Any] = json.load(f)
        return report

    def test_paths_are_null_and_nothing_is_pruned(self) -> None:
        os.makedirs(self.root)
        runtime(os.path.join(self.root, OLD), 3 * DAY_S)
        fake = os.path.join(self.root, "runtime-bbbbbbbbbbbbbbbb")
        runtime(fake, None)
        marker_folder = os.path.join(self.root, "runtime-cccccccccccccccc")
        runtime(marker_folder, None)
        os.mkdir(os.path.join(marker_folder, "ready"))
        before = apps.snapshot(self.root)
        nothing: dict[str, Any] = {"runtime": None, "data": None, "device": None, "prune": {"removed": [], "kept": []}}
        for label, cwd in (("an ordinary folder", self.app), ("a runtime's name without its marker", fake),
                           ("a folder named ready", marker_folder)):
            with self.subTest(label):
                report = self.run_outside(cwd)
                self.assertEqual({k: report[k] for k in nothing}, nothing)
        self.assertEqual(apps.snapshot(self.root), before)

    def test_a_runtime_with_its_marker_is_known_by_its_parent_whatever_its_name(self) -> None:
        data = os.path.join(self.case, "Local", "Ứng dụng Beta")
        folder = os.path.join(data, "runtime-DDDDDDDDDDDDDDDD")
        runtime(folder, 0)
        report = self.run_outside(folder)
        self.assertEqual(report["runtime"], win_path(folder))
        self.assertEqual(report["data"], win_path(data))
        # No launcher handed a device file over: the data folder's is named.
        self.assertIsNone(report["handedOver"])
        self.assertEqual(report["device"], win_path(data) + "\\device.local.json")
        self.assertEqual(self.kept(report), {"runtime-DDDDDDDDDDDDDDDD": "own runtime"})


class WindowTitleTests(LauncherTestCase):

    def test_a_second_launch_activates_the_window_of_exactly_that_title(self) -> None:
        exe = self.s.build_launcher(self.s.make_app())
        windows.hold_mutex(self, self.s)
        longer = windows.start_window(self, self.s, "minimized", WINDOW_TITLE + " (2)")
        exact = windows.start_window(self, self.s, "minimized", WINDOW_TITLE)
        for window in (longer, exact):
            self.assertTrue(window.wait(lambda s: s["iconic"], 30), "the window never came up")
        result = wine_launch.launch(self.s, exe, set_env={"LOCALAPPDATA": win_path(os.path.join(self.case, "Local"))},
                                    cwd=self.case, timeout_s=20)
        self.assertCleanSuccess(result)
        self.assertTrue(exact.activated(10), exact.state())
        self.assertTrue(longer.state()["iconic"], "a window with a longer title was restored")


# -- the kit under Linux's own Node.js: what needs no Windows ------------------

# Prunes `rounds` times (or until `hits` renamed entries turned out to be
# links) and prints what each prune kept and removed.
PRUNE_LOOP_MJS = r"""const kit = await import(process.argv[2]);
const rounds = Number(process.argv[3]), hits = Number(process.argv[4]);
const results = [];
let seen = 0;
for (let i = 0; i < rounds && seen < hits; i++) {
  const result = await kit.pruneOldRuntimes();
  seen += result.kept.filter((k) => k.reason === 'link' && k.from).length;
  results.push(result);
}
process.stdout.write(JSON.stringify({ runtime: kit.runtimeFolder(), results }));
"""


def run_native_kit(runtime_folder: str, rounds: int = 1, hits: int = 1) -> dict[str, Any]:
    """Linux's node on PRUNE_LOOP_MJS, started in runtime_folder as a launcher would."""
    script = os.path.join(os.path.dirname(runtime_folder), "..", "prune-loop.mjs")
    with open(script, "w", encoding="utf-8") as f:
        f.write(PRUNE_LOOP_MJS)
    proc = subprocess.run(["node", script, KIT.as_uri(), str(rounds), str(hits)], cwd=runtime_folder,
                          capture_output=True, text=True, timeout=300, env=dict(os.environ, LMR_DEVICE_FILE=""))
    if proc.returncode != 0:
        raise AssertionError(f"node ended with {proc.returncode}: {proc.stderr}")
    report: dict[str, Any] = json.loads(proc.stdout)
    return report


class NativeKitCase(unittest.TestCase):
    """A data folder in a temporary folder, with this run's own runtime in it."""

    def setUp(self) -> None:
        if shutil.which("node") is None:
            self.skipTest("Linux's node is not installed (./lumaro setup)")
        temp = tempfile.TemporaryDirectory(prefix="lumaro-kit-")
        self.addCleanup(temp.cleanup)
        self.case = temp.name
        self.data = os.path.join(self.case, "data")
        self.own = os.path.join(self.data, "runtime-" + "f" * 16)
        runtime(self.own, 60)


class SwappedFolderTests(NativeKitCase):

    def test_a_folder_swapped_for_a_link_while_pruned_is_never_deleted_through(self) -> None:
        outside = os.path.join(self.case, "outside")
        write_tree(outside, {"precious.txt": "keep me", "node.exe": "not a node"})
        victim, aside = os.path.join(self.data, OLD), os.path.join(self.data, "swapped-aside")
        stop, rng = threading.Event(), random.Random()

        def swap() -> None:
            # Keeps an old runtime at OLD, and keeps trading it for a link to outside.
            while not stop.is_set():
                if not os.path.lexists(victim) and not os.path.lexists(aside):
                    # The prune may take it away while it is being made.
                    with contextlib.suppress(OSError):
                        runtime(victim, DAY_S)
                # Each state lasts a random while, so the prune meets either at any of its steps.
                for step in (lambda: time.sleep(rng.uniform(0, 0.002)), lambda: os.rename(victim, aside),
                             lambda: os.symlink(outside, victim), lambda: time.sleep(rng.uniform(0, 0.002)),
                             lambda: os.unlink(victim), lambda: os.rename(aside, victim)):
                    with contextlib.suppress(OSError):
                        step()

        swapper = threading.Thread(target=swap)
        swapper.start()
        try:
            report = run_native_kit(self.own, rounds=3000, hits=5)
        finally:
            stop.set()
            swapper.join()
        self.assertEqual(Path(outside, "precious.txt").read_text(), "keep me", "the prune deleted through a link")
        links = [k for r in report["results"] for k in r["kept"] if k["reason"] == "link" and k.get("from")]
        print(f"\n{len(report['results'])} prunes, {len(links)} renamed a link", file=sys.stderr)
        self.assertGreater(len(links), 0, "the swap never landed between the check and the rename")


INSTALLED_BEFORE, INSTALLED_AFTER = DAY_S, 0  # marker ages against the own runtime's 60 s


class ReleaseOrderTests(NativeKitCase):

    def prune_with(self, own_release: Optional[str],
                   others: dict[str, tuple[Optional[Content], float]]) -> dict[str, str]:
        """Prunes a data folder of runtimes {name: (release.json, marker age)}
        beside the own one; what each name became: 'removed' or the reason kept."""
        if own_release is not None:
            release_file(self.own, own_release)
        for name, (content, marker_age) in others.items():
            runtime(os.path.join(self.data, name), marker_age)
            if content is not None:
                release_file(os.path.join(self.data, name), content)
        [result] = run_native_kit(self.own)["results"]
        outcome = {k["name"]: k["reason"] for k in result["kept"]}
        outcome.update(dict.fromkeys(result["removed"], "removed"))
        del outcome[os.path.basename(self.own)]
        return outcome

    def test_an_older_release_goes_and_a_newer_one_stays_whatever_was_installed_last(self) -> None:
        # name: (its release, when installed, what the prune of 1.5.0-beta.2 does with it)
        cases: dict[str, tuple[Optional[Content], float, str]] = {
            "the same version's pre-release before": (release("1.5.0-beta.1"), INSTALLED_AFTER, "removed"),
            "fewer pre-release parts": (release("1.5.0-beta"), INSTALLED_AFTER, "removed"),
            "a lower fourth number": (release("1.4.99.1"), INSTALLED_AFTER, "removed"),
            "the release after its pre-release": (release("1.5.0"), INSTALLED_BEFORE, "newer release"),
            "pre-release numbers compared as numbers": (release("1.5.0-beta.10"), INSTALLED_BEFORE, "newer release"),
            "an alphanumeric pre-release part after a numeric": (release("1.5.0-beta.x"), INSTALLED_BEFORE,
                                                                 "newer release"),
            "rc after beta": (release("1.5.0-rc"), INSTALLED_BEFORE, "newer release"),
            "numbers compared as numbers": (release("1.10"), INSTALLED_BEFORE, "newer release"),
            "unknown keys ignored": (json.dumps({"version": "2", "channel": "beta"}), INSTALLED_BEFORE,
                                     "newer release"),
            "a rebuild installed before": (release("1.5.0-beta.2+build.7"), INSTALLED_BEFORE, "removed"),
            "a rebuild installed after": (release("1.5.0.0-beta.2"), INSTALLED_AFTER, "newer"),
            "no release file, installed before": (None, INSTALLED_BEFORE, "removed"),
            "no release file, installed after": (None, INSTALLED_AFTER, "newer"),
            "not a version, installed before": (release("banana"), INSTALLED_BEFORE, "removed"),
            "not JSON, installed before": ('{"version": "9.0.0"', INSTALLED_BEFORE, "removed"),
            "too big to be read, installed before": (release("9.0.0") + " " * 65536, INSTALLED_BEFORE, "removed"),
        }
        names = {label: f"runtime-{number:016x}" for number, label in enumerate(cases, 1)}
        others = {names[label]: (content, age) for label, (content, age, _) in cases.items()}
        outcome = self.prune_with(release("1.5.0-beta.2"), others)
        self.assertEqual({label: outcome[names[label]] for label in cases},
                         {label: want for label, (_, _, want) in cases.items()})

    def test_a_release_file_behind_a_link_is_not_read(self) -> None:
        # A newer release's file, reached through a link to it or to its folder.
        planted = release_file(os.path.join(self.case, "planted"), release("9.0.0"))
        file_link, folder_link = "runtime-000000000000000a", "runtime-000000000000000b"
        runtime(os.path.join(self.data, file_link), INSTALLED_BEFORE)
        os.makedirs(os.path.join(self.data, file_link, ".lumaro"))
        os.symlink(planted, os.path.join(self.data, file_link, ".lumaro", "release.json"))
        runtime(os.path.join(self.data, folder_link), INSTALLED_BEFORE)
        os.symlink(os.path.dirname(planted), os.path.join(self.data, folder_link, ".lumaro"))
        outcome = self.prune_with(release("1.0.0"), {})
        self.assertEqual(outcome, {file_link: "removed", folder_link: "removed"})
        self.assertEqual(Path(planted).read_text(), release("9.0.0"))

    def test_without_its_own_release_file_the_install_times_decide(self) -> None:
        outcome = self.prune_with(None, {"runtime-000000000000000a": (release("0.1.0"), INSTALLED_AFTER),
                                         "runtime-000000000000000b": (release("9.0.0"), INSTALLED_BEFORE)})
        self.assertEqual(outcome, {"runtime-000000000000000a": "newer", "runtime-000000000000000b": "removed"})

# Installation scenarios: the first launch installs exactly the app folder,
# later launches neither write nor decompress, damaged runtimes and payloads
# are refused without changes, cabinet.dll comes only from the system folder,
# and eight simultaneous first launches install and run the app once.
import os
import shutil
import time
from collections.abc import Callable
from typing import Any, Optional, Union

from lmr.e2e import apps
from lmr.e2e.session import INVALID_PACKAGE, LauncherTestCase, Session, tree_listing, write_tree
from lmr.image import Chunk, chunks
from lmr.wine.calls import win_path
from lmr.wine.launch import Launch


APP_FILES: dict[str, Union[str, bytes]] = {
    "lib/x.js": "export const x = 1;\n",
    "lib/deep/er/still/deeper/y.json": '{"y": 2}\n',
    "tài nguyên/biểu tượng.txt": "ảnh\n",
    "empty.bin": b"",
    "blob.bin": bytes(range(256)) * 4096,
}


class InstallCase(LauncherTestCase):
    app: str
    exe: str
    want: dict[str, tuple[int, str]]

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        cls.app = cls.s.make_app(files=APP_FILES)
        cls.exe = cls.s.build_launcher(cls.app)
        cls.want = apps.expected_runtime(cls.app)

    def setUp(self) -> None:
        super().setUp()
        self.local = os.path.join(self.case, "Local")
        self.root = apps.data_root(self.local)
        self.runtime = apps.runtime_dir(self.local, self.exe)

    def launch(self, exe: Optional[str] = None, session: Optional[Session] = None, cwd: Optional[str] = None,
               **kw: Any) -> Launch:
        return apps.launch(session or self.s, exe or self.exe, self.local, cwd=cwd or self.case, **kw)

    def assertComplete(self, runtime: Optional[str] = None, want: Optional[dict[str, tuple[int, str]]] = None) -> None:
        self.assertEqual(apps.runtime_problems(runtime or self.runtime, want or self.want), [])

    def staging_names(self) -> list[str]:
        return [n for n in os.listdir(self.root) if n.startswith("install-")]


class FirstAndLaterLaunchTests(InstallCase):

    def test_first_launch_installs_exactly_the_app(self) -> None:
        result = self.launch()
        self.assertCleanSuccess(result)
        self.assertComplete()
        self.assertEqual(sorted(os.listdir(self.root)),
                         sorted([os.path.basename(self.runtime), "startup.log"]))

    def test_later_launch_writes_nothing_and_needs_no_decompressor(self) -> None:
        self.assertCleanSuccess(self.launch())
        before = apps.snapshot(self.root)
        # Wine's own cabinet.dll has no Compression API: a launch that tried
        # to decompress would fail here.
        plain = apps.plain_prefix_session(self.s)
        self.assertCleanSuccess(self.launch(session=plain))
        after = apps.snapshot(self.root)
        changed = sorted(n for n in set(before) | set(after) if before.get(n) != after.get(n))
        # Every launch starts the app with a fresh (here again empty) log.
        self.assertEqual(changed, ["startup.log"], "written besides startup.log")
        self.assertComplete()

    def test_first_launch_without_the_compression_api(self) -> None:
        plain = apps.plain_prefix_session(self.s)
        result = self.launch(session=plain)
        expected = plain.os_error_text(127)
        self.assertTrue(expected.endswith(" (os error 127)"), expected)
        self.assertDialog(result, expected)
        self.assertEqual(tree_listing(self.local), ["Lumaro/"])

    def test_cabinet_dll_beside_the_exe_or_in_the_current_folder_is_not_loaded(self) -> None:
        plain = apps.plain_prefix_session(self.s)
        exe = self.s.copy_launcher(self.exe)
        cwd = os.path.join(self.case, "cwd")
        os.mkdir(cwd)
        for folder in (os.path.dirname(exe), cwd):
            shutil.copyfile(self.s.cabinet, os.path.join(folder, "cabinet.dll"))
        result = self.launch(exe=exe, session=plain, cwd=cwd)
        self.assertDialog(result, plain.os_error_text(127))
        self.assertEqual(tree_listing(self.local), ["Lumaro/"])

    def test_leftover_staging_folder_of_another_process_is_left_alone(self) -> None:
        # Process ids are multiples of 4: no launcher will ever own this name.
        leftover = os.path.join(self.root, f"install-{apps.build_id_of(self.exe)}-3")
        write_tree(leftover, {"node.exe": b"MZ half written", "lib/x.js": ""})
        before = apps.snapshot(leftover)
        self.assertCleanSuccess(self.launch())
        self.assertComplete()
        self.assertEqual(apps.snapshot(leftover), before)
        self.assertEqual(self.staging_names(), [os.path.basename(leftover)])


class DamagedRuntimeTests(InstallCase):

    def damage_and_launch(self, damage: Callable[[str], None]) -> None:
        apps.preinstall(self.exe, self.app, self.local)
        damage(self.runtime)
        before = apps.snapshot(self.local)
        for attempt in ("first", "again"):
            result = self.launch()
            self.assertDialog(result, INVALID_PACKAGE)
            self.assertEqual(apps.snapshot(self.local), before, f"changed on disk ({attempt} launch)")

    def test_each_damage_is_refused_and_left_as_it_is(self) -> None:
        def remove(name: str) -> Callable[[str], None]:
            return lambda runtime: os.remove(os.path.join(runtime, name))

        def ready_folder(runtime: str) -> None:
            os.remove(os.path.join(runtime, "ready"))
            os.mkdir(os.path.join(runtime, "ready"))

        def plain_file(runtime: str) -> None:
            shutil.rmtree(runtime)
            with open(runtime, "wb") as f:
                f.write(b"not a folder")

        cases = {"no ready": remove("ready"), "no node.exe": remove("node.exe"),
                 "no home.mjs": remove("home.mjs"), "ready is a folder": ready_folder,
                 "a file at RuntimeDir": plain_file}
        for label, damage in cases.items():
            with self.subTest(label):
                self.setUp()
                self.damage_and_launch(damage)


class DamagedPayloadTests(InstallCase):

    def test_corrupted_stream_reports_the_decompressor_error(self) -> None:
        exe = apps.record_launcher(self.s, apps.archive_bytes(apps.app_entries(self.app)), corrupt=True)
        result = self.launch(exe=exe)
        self.assertDialog(result, self.s.os_error_text(605))
        self.assertEqual(tree_listing(self.local), ["Lumaro/"])

    def test_stream_shorter_than_the_package_size_is_invalid(self) -> None:
        archive = apps.archive_bytes(apps.app_entries(self.app))
        exe = apps.record_launcher(self.s, archive, package_size=len(archive) + 1)
        result = self.launch(exe=exe)
        self.assertDialog(result, INVALID_PACKAGE)
        self.assertEqual(tree_listing(self.local), ["Lumaro/"])

    def test_top_level_ready_in_the_package_ends_up_an_empty_marker(self) -> None:
        entries = apps.app_entries(self.app) + [("ready", b"shipped by the package\n")]
        exe = apps.record_launcher(self.s, apps.archive_bytes(entries))
        result = self.launch(exe=exe)
        self.assertCleanSuccess(result)
        self.assertComplete(apps.runtime_dir(self.local, exe))


class PayloadDigestTests(InstallCase):
    """Damage that the decompressor cannot see: a stored chunk decodes to
    whatever it holds, and some flips in compressed data decode to other
    bytes of the right length. The digest stops both before any folder."""
    mixed_app: str
    mixed_exe: str
    chunks: list[Chunk]

    @classmethod
    def setUpClass(cls) -> None:
        super().setUpClass()
        # Sorted first, the random blob fills the first 1 MiB chunk, which is
        # stored; the text after it compresses.
        cls.mixed_app = cls.s.make_app(files={"data/blob.bin": apps.incompressible(8, 1_200_000),
                                              "data/text.txt": apps.compressible(9, 2_500_000)})
        out = os.path.join(cls.s.scratch("digest"), "exe")
        cls.mixed_exe = cls.s.pack_launcher(cls.mixed_app, out, ["--chunk-size", "1M", "--level", "1"])
        with open(cls.mixed_exe, "rb") as f:
            cls.chunks = chunks(f.read())

    def damaged_copy(self, at: int) -> str:
        with open(self.mixed_exe, "rb") as f:
            image = bytearray(f.read())
        image[at] ^= 0x20
        path = os.path.join(self.case, "Lumaro.exe")
        with open(path, "wb") as f:
            f.write(image)
        return path

    def assertRefusedWithNothingWritten(self, exe: str) -> None:
        result = self.launch(exe=exe)
        self.assertDialog(result, INVALID_PACKAGE)
        self.assertEqual(tree_listing(self.local), ["Lumaro/"])

    def test_the_package_has_stored_and_compressed_chunks(self) -> None:
        kinds = [size == want for _, size, want in self.chunks]
        self.assertIn(True, kinds)
        self.assertIn(False, kinds)

    def test_a_flip_in_a_stored_chunk_installs_nothing(self) -> None:
        start, size, _ = next(c for c in self.chunks if c[1] == c[2])
        self.assertRefusedWithNothingWritten(self.damaged_copy(start + size // 2))

    def test_a_flip_in_a_compressed_chunk_that_still_decodes_installs_nothing(self) -> None:
        for chunk in [c for c in self.chunks if c[1] < c[2]][:2]:
            with self.subTest(chunk=chunk[0]):
                self.setUp()
                exe = apps.damage_that_decodes(self.s, self.mixed_exe, os.path.join(self.case, "Lumaro.exe"), chunk)
                self.assertRefusedWithNothingWritten(exe)

    def test_the_undamaged_launcher_installs_exactly(self) -> None:
        self.assertCleanSuccess(self.launch(exe=self.mixed_exe))
        self.assertComplete(apps.runtime_dir(self.local, self.mixed_exe), apps.expected_runtime(self.mixed_app))


class ExtendedLengthDataFolderTests(InstallCase):

    def test_an_extended_length_local_app_data_installs_subfolders(self) -> None:
        # Windows takes a "\\?\" path literally: every entry's "/" must have
        # become "\" before the path reaches it.
        result = apps.launch(self.s, self.exe, self.local, cwd=self.case,
                             set_env={"LOCALAPPDATA": "\\\\?\\" + win_path(self.local)})
        self.assertCleanSuccess(result)
        self.assertComplete()


class ConcurrentFirstLaunchTests(InstallCase):
    LAUNCHERS = 8

    def test_eight_simultaneous_first_launches_install_and_run_once(self) -> None:
        app = self.s.make_app(files=APP_FILES)
        exe = self.s.build_launcher(app)
        record = os.path.join(self.case, "node-record.txt")
        runtime = apps.runtime_dir(self.local, exe)
        os.makedirs(self.root)
        poller = apps.StagingPoller(self.root)
        reader = self.s.start_dialog_reader(timeout_s=120)
        env = {"LOCALAPPDATA": win_path(self.local), **apps.node_env(record=record, sleep_ms=2000)}
        started = time.monotonic()
        runners = [self.s.start_runner(exe, set_env=env, cwd=self.case) for _ in range(self.LAUNCHERS)]
        try:
            codes = [self.s.runner_exit(r)[0] for r in runners]
        finally:
            seen = poller.stop()
            dialog = reader.finish()
        elapsed = time.monotonic() - started
        self.assertIsNone(dialog, f"a launcher showed a dialog: {dialog}")
        self.assertEqual(codes, [0] * self.LAUNCHERS)
        self.assertEqual(self.staging_names(), [], "a staging folder was left behind")
        self.assertLessEqual(len(seen), 1, f"more than one install: {sorted(seen)}")
        self.assertEqual(apps.runtime_problems(runtime, apps.expected_runtime(app)), [])
        runs = apps.read_records(record)
        self.assertEqual(len(runs), 1, f"the app ran {len(runs)} times in {elapsed:.1f} s")

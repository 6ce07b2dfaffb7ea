# Launch scenarios: the data folder from LOCALAPPDATA, the BuildId check, the
# single-instance guard with window activation, and a launch while an earlier
# launcher's error dialog is still open. Each runs the real exe under Wine.
import os
import unicodedata
from collections.abc import Callable
from typing import Any

from lmr.e2e import windows
from lmr.e2e.session import INVALID_PACKAGE, NO_DATA_FOLDER, LauncherTestCase, tree_listing
from lmr.wine.calls import win_path
from lmr.wine.launch import DialogReader, Launch, launch, runner_exit, start_runner


def nfc(text: str) -> str:
    return unicodedata.normalize("NFC", text)


class DataRootTests(LauncherTestCase):

    def setUp(self) -> None:
        super().setUp()
        self.exe = self.s.build_launcher(self.s.make_app())

    def test_missing_localappdata_reports_and_creates_nothing(self) -> None:
        result = launch(self.s, self.exe, unset=["LOCALAPPDATA"], cwd=self.case)
        self.assertDialog(result, NO_DATA_FOLDER)
        self.assertEqual(tree_listing(self.case), [])
        # Nor under the prefix's own profile folders.
        users = os.path.join(self.s.prefix, "drive_c", "users")
        self.assertEqual([p for p in tree_listing(users) if "Lumaro" in p], [])

    def test_deep_missing_folder_with_vietnamese_names_is_created(self) -> None:
        parts = [nfc("Thư mục dữ liệu"), nfc("Người dùng An"), "AppData Local"]
        local = os.path.join(self.case, *parts)
        result = launch(self.s, self.exe, set_env={"LOCALAPPDATA": win_path(local)}, cwd=self.case)
        self.assertCleanSuccess(result)
        self.assertTrue(os.path.isdir(os.path.join(local, "Lumaro")), tree_listing(self.case))
        # A second launch finds DataRoot in place and accepts it.
        again = launch(self.s, self.exe, set_env={"LOCALAPPDATA": win_path(local)}, cwd=self.case)
        self.assertCleanSuccess(again)

    def test_trailing_separator_gets_no_second_one(self) -> None:
        local = os.path.join(self.case, "Local")
        os.mkdir(local)
        result = launch(self.s, self.exe, set_env={"LOCALAPPDATA": win_path(local) + "\\"}, cwd=self.case)
        self.assertCleanSuccess(result)
        self.assertEqual(sorted(os.listdir(self.case)), ["Local"])
        self.assertTrue(os.path.isdir(os.path.join(local, "Lumaro")))

    def test_empty_value_uses_the_current_folder(self) -> None:
        work = os.path.join(self.case, "cwd")
        os.mkdir(work)
        result = launch(self.s, self.exe, set_env={"LOCALAPPDATA": ""}, cwd=work)
        self.assertCleanSuccess(result)
        self.assertTrue(os.path.isdir(os.path.join(work, "Lumaro")), tree_listing(self.case))

    def test_file_in_place_of_data_root_shows_os_error_183(self) -> None:
        local = os.path.join(self.case, "Local")
        os.mkdir(local)
        blocker = os.path.join(local, "Lumaro")
        with open(blocker, "wb") as f:
            f.write(b"not a folder")
        result = launch(self.s, self.exe, set_env={"LOCALAPPDATA": win_path(local)}, cwd=self.case)
        expected = self.s.os_error_text(183)
        self.assertTrue(expected.endswith(" (os error 183)"), expected)
        self.assertDialog(result, expected)
        with open(blocker, "rb") as f:
            self.assertEqual(f.read(), b"not a folder")


class BuildIdTests(LauncherTestCase):

    def setUp(self) -> None:
        super().setUp()
        self.base = self.s.build_launcher(self.s.make_app())

    def run_with_id(self, build_id: bytes) -> tuple[Launch, str]:
        exe = self.s.with_build_id(self.base, build_id)
        local = os.path.join(self.case, "Local")
        return launch(self.s, exe, set_env={"LOCALAPPDATA": win_path(local)}, cwd=self.case), local

    def test_ids_that_are_not_16_hex_digits_are_rejected_after_data_root(self) -> None:
        variants = {
            "letter G": b"0123456789abcdeG",
            "space": b"01234567 9abcdef",
            "byte 0x80": b"\x800123456789abcde",
            "valid UTF-8, not hex": nfc("0123456789abcdé").encode("utf-8"),
        }
        for label, build_id in variants.items():
            with self.subTest(label):
                self.case = self.s.new_case_dir("bad-id")
                result, local = self.run_with_id(build_id)
                self.assertDialog(result, INVALID_PACKAGE)
                data_root = os.path.join(local, "Lumaro")
                self.assertTrue(os.path.isdir(data_root))
                self.assertEqual(os.listdir(data_root), [], "nothing is made inside DataRoot")

    def test_upper_case_id_is_accepted_and_kept(self) -> None:
        result, local = self.run_with_id(b"0123456789ABCDEF")
        self.assertCleanSuccess(result)
        data_root = os.path.join(local, "Lumaro")
        self.assertTrue(os.path.isdir(data_root))
        # The id names the runtime folder as the record spells it; the install
        # leaves no staging folder behind.
        self.assertEqual(sorted(os.listdir(data_root)), ["runtime-0123456789ABCDEF", "startup.log"])
        runtime = os.path.join(data_root, "runtime-0123456789ABCDEF")
        self.assertEqual(sorted(os.listdir(runtime)), ["home.mjs", "node.exe", "ready"])


class SecondLaunchTests(LauncherTestCase):
    """Another launcher holds the guard: a new one activates the window and leaves."""

    def setUp(self) -> None:
        super().setUp()
        self.exe = self.s.build_launcher(self.s.make_app())
        windows.hold_mutex(self, self.s)

    def launch_second(self) -> None:
        local = os.path.join(self.case, "Local")
        result = launch(self.s, self.exe, set_env={"LOCALAPPDATA": win_path(local)}, cwd=self.case, timeout_s=20)
        self.assertCleanSuccess(result)
        self.assertEqual(tree_listing(self.case), [], "a second launcher touches no file")

    def test_exits_quietly_without_touching_files(self) -> None:
        self.launch_second()

    def check_activation(self, state: str, shown_before: Callable[[Any], bool]) -> None:
        window = windows.start_window(self, self.s, state)
        before = window.wait(shown_before, 20)
        self.assertTrue(before, f"the window never reached the {state} state")
        # Put another program's window in front, so "brought to the front" is
        # something the launcher has to do.
        other = windows.start_window(self, self.s, "normal", title=nfc("Cửa sổ khác"))
        self.assertTrue(other.wait(lambda s: s["foreground"], 20))
        self.assertTrue(window.wait(lambda s: not s["foreground"], 5))

        self.launch_second()
        after = window.activated()
        self.assertTrue(after, f"window not restored and activated: {window.state()}")
        self.assertTrue(after["visible"])
        self.assertEqual(after["rect"], before["normal_rect"], "back to its size and position")

    def test_minimised_window_is_restored(self) -> None:
        self.check_activation("minimized", lambda s: s["iconic"])

    def test_maximised_window_goes_back_to_normal_size(self) -> None:
        self.check_activation("maximized", lambda s: s["zoomed"])


class OpenDialogTests(LauncherTestCase):

    def test_new_launch_runs_while_an_error_dialog_is_open(self) -> None:
        exe = self.s.build_launcher(self.s.make_app())
        reader = DialogReader(self.s, press=False)
        first = start_runner(self.s, exe, unset=["LOCALAPPDATA"], cwd=self.case)
        try:
            shown = reader.wait_found()
            assert shown is not None, "the first launcher showed no dialog"
            self.assertEqual(shown["text"], NO_DATA_FOLDER)

            # The first launcher's dialog is still up; the reader would only
            # find that one again, and an exit with 0 already proves the second
            # launcher showed none.
            local = os.path.join(self.case, "Local")
            second = launch(self.s, exe, set_env={"LOCALAPPDATA": win_path(local)}, cwd=self.case,
                            timeout_s=20, watch_dialog=False)
            self.assertEqual(second.exit_code, 0, second)
            self.assertTrue(os.path.isdir(os.path.join(local, "Lumaro")))
        finally:
            closer = DialogReader(self.s, press=True)
            closed = closer.wait_found()
        self.assertIsNotNone(closed, "the first dialog was gone before it was dismissed")
        code, out = runner_exit(first)
        self.assertEqual(code, 1, out)

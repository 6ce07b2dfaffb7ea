# Checks of the test tools themselves, so a scenario failure points at the
# launcher and not at the harness: exact exit codes, the dialog reader, the
# Wine driver's time bound as ctest's emulator, the OS error text helper and
# the payload record search.
import os
import subprocess
import sys
import time
import unittest

from tests.e2e import harness
from tests.e2e.harness import DIALOG_CAPTION, LauncherTestCase, find_record


class RunnerTests(LauncherTestCase):

    def test_exit_codes_arrive_exactly(self):
        for code in (0, 1, 259, 0xC0000005):
            with self.subTest(code=code):
                proc = self.s.start_runner(self.s.tool("exit_with.exe"), args=[str(code)])
                self.assertEqual(self.s.runner_exit(proc)[0], code)

    def test_missing_program_is_reported_not_hidden(self):
        proc = self.s.start_runner(os.path.join(self.case, "absent.exe"))
        code, out = self.s.runner_exit(proc)
        self.assertIsNone(code)
        self.assertIn("start-failed=", out)


class EmulatorTests(LauncherTestCase):
    """wine_driver.py exec, as ctest runs each Windows test binary."""

    def exec(self, *args, timeout="30"):
        driver = os.path.join(harness.REPO, "tools", "wine", "wine_driver.py")
        env = dict(os.environ, WINEPREFIX=self.s.prefix)
        return subprocess.run([sys.executable, driver, "exec", "--timeout", timeout, "--", *args], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)

    def test_status_is_passed_on(self):
        self.assertEqual(self.exec(self.s.tool("exit_with.exe"), "3").returncode, 3)

    def test_a_program_that_does_not_end_is_stopped_at_the_bound(self):
        started = time.monotonic()
        proc = self.exec(self.s.tool("lmr-window.exe"), "--lifetime-ms", "120000", timeout="3")
        self.assertEqual(proc.returncode, 124)
        self.assertLess(time.monotonic() - started, 60)
        self.assertIn(b"timed out after 3", proc.stderr)


class DialogReaderTests(LauncherTestCase):

    def test_reads_full_text_icon_and_button_then_presses_ok(self):
        text = "Dòng một\r\ndòng hai \"trích\" \\ " + "x" * 5000
        proc = self.s.start_runner(self.s.tool("lmr-msgbox.exe"), args=[DIALOG_CAPTION, text, "7"])
        reader = self.s.start_dialog_reader()
        seen = reader.wait_found()
        self.assertEqual(self.s.runner_exit(proc)[0], 7)
        self.assertEqual(seen["caption"], DIALOG_CAPTION)
        # The static control shows CR LF as typed.
        self.assertEqual(seen["text"], text)
        self.assertTrue(seen["has_icon"])
        self.assertEqual([b["id"] for b in seen["buttons"]], [1])

    def test_no_dialog_is_reported_as_none(self):
        result = self.s.launch(self.s.tool("exit_with.exe"), timeout_s=20)
        self.assertEqual(result.exit_code, 2)  # usage error, no window
        self.assertIsNone(result.dialog)


class OsErrorTextTests(LauncherTestCase):

    def test_known_and_unknown_codes(self):
        known = self.s.os_error_text(5)
        self.assertRegex(known, r"^\S.*\S \(os error 5\)$")
        self.assertNotIn("\r", known)
        unknown = self.s.os_error_text(99999)
        self.assertRegex(unknown, r"^OS Error 99999 \(FormatMessageW\(\) returned error \d+\) "
                                  r"\(os error 99999\)$")
        self.assertTrue(self.s.os_error_text(0xC0000005).endswith(" (os error -1073741819)"))


class FindRecordTests(unittest.TestCase):

    def test_finds_the_record_and_not_the_bare_magic(self):
        image = b"code LMR1 more" + b"\0" * 20 + b"LMR1\x10\0\0\0" + b"01ca8e43785f62e0" + b"\x0a\x51"
        self.assertEqual(find_record(image), image.index(b"LMR1\x10"))

    def test_two_records_are_an_error(self):
        record = b"LMR1\0\0\0\0" + b"0123456789abcdef"
        with self.assertRaises(AssertionError):
            find_record(record + record)

# Checks of the test tools themselves, so a scenario failure points at the
# launcher and not at the harness: exact exit codes, the dialog reader, the
# session's desktop, what Wine cuts short (a runner start, a prefix boot), the
# Wine driver's time bound as ctest's emulator, the system's raw error texts
# and the payload record search.
import os
import subprocess
import tempfile
import time
import unittest
from pathlib import Path
from unittest import mock

from lmr import REPO, image
from lmr.e2e.session import LauncherTestCase
from lmr.proc import ToolError
from lmr.wine import prefix
from lmr.wine.launch import DIALOG_CAPTION, DialogReader, Launch, launch, runner_exit, start_runner


class RunnerTests(LauncherTestCase):

    def test_exit_codes_arrive_exactly(self) -> None:
        for code in (0, 1, 259, 0xC0000005):
            with self.subTest(code=code):
                exit_code, report = runner_exit(start_runner(self.s, self.s.tool("exit_with.exe"), args=[str(code)]))
                self.assertEqual(exit_code, code, report)

    def test_missing_program_is_reported_not_hidden(self) -> None:
        proc = start_runner(self.s, os.path.join(self.case, "absent.exe"))
        code, out = runner_exit(proc)
        self.assertIsNone(code)
        self.assertIn("start-failed=", out)


class RelaunchTests(unittest.TestCase):
    """The runner and the dialog reader over a stand-in session: one that
    Wine ended before it ran is started once more, and no other outcome is."""

    class Runner:
        def __init__(self, status: int, out: str) -> None:
            self.status, self.out = status, out

        def wait(self, timeout_s: float) -> int:
            return self.status

        def poll(self) -> int:
            return self.status

        def stdout(self) -> str:
            return self.out

        def stderr(self) -> str:
            return ""

    def launch(self, *outcomes: tuple[int, str]) -> tuple[Launch, int]:
        runners = [self.Runner(*o) for o in outcomes]
        session = mock.Mock(spec=["driver_tool", "spawn"])
        session.driver_tool.return_value = "lmr-runner.exe"
        session.spawn.side_effect = runners
        return launch(session, "Z:\\app.exe", watch_dialog=False), session.spawn.call_count

    def test_a_runner_wine_never_ran_is_started_once_more(self) -> None:
        result, starts = self.launch((1, ""), (0, "exit=7\n"))
        self.assertEqual((result.exit_code, starts), (7, 2))
        result, starts = self.launch((1, ""), (1, ""), (0, "exit=7\n"))
        self.assertEqual((result.exit_code, starts), (None, 2))

    def test_what_the_runner_reported_is_final(self) -> None:
        for outcome in ((3, "start-failed=2\n"), (4, "timeout\n"), (0, "exit=1\n")):
            with self.subTest(outcome=outcome):
                self.assertEqual(self.launch(outcome, (0, "exit=0\n"))[1], 1)

    def reader_starts(self, *outcomes: tuple[int, str], stopped: bool = False) -> int:
        with tempfile.TemporaryDirectory() as logs:
            session = mock.Mock(spec=["driver_tool", "spawn", "logs", "unique"])
            session.logs, session.unique.return_value = logs, "dialog"
            session.driver_tool.return_value = "lmr-dialog.exe"
            session.spawn.side_effect = [self.Runner(*o) for o in outcomes]
            with mock.patch.object(DialogReader, "_wait"):  # started by hand, after the stop file
                reader = DialogReader(session)
            if stopped:
                Path(reader.stop_path).touch()
            reader._wait()
            return int(session.spawn.call_count)

    def test_a_dialog_reader_wine_never_ran_is_started_once_more(self) -> None:
        self.assertEqual(self.reader_starts((1, ""), (1, ""), (0, "")), 2)
        self.assertEqual(self.reader_starts((1, "looking\n"), (0, "")), 1)
        self.assertEqual(self.reader_starts((1, ""), (0, ""), stopped=True), 1)


class PrefixBootTests(unittest.TestCase):
    """make_prefix over a stand-in Wine whose first wineboot is cut short."""

    def boot(self, folder: Path) -> list[str]:
        calls: list[str] = []

        def bounded(args: list[object], *rest: object, **named: object) -> int:
            calls.append(" ".join(str(a) for a in args[1:2]))
            if "wineboot" in str(args[1]):
                folder.mkdir(exist_ok=True)
                (folder / "system.reg").write_text("")
                if calls.count("wineboot") == 2:  # only the second boot completes
                    (folder / prefix.KERNEL32).parent.mkdir(parents=True)
                    (folder / prefix.KERNEL32).write_text("")
            return 0

        with mock.patch.object(prefix, "bounded", bounded), mock.patch.object(prefix, "reg"), \
                mock.patch.object(prefix, "server_wait"), \
                mock.patch.object(prefix, "stop_server", lambda where: calls.append("-k")):
            prefix.make_prefix(folder, log=lambda text: None)
        return calls

    def test_a_prefix_made_here_is_made_again_after_a_cut_boot(self) -> None:
        with tempfile.TemporaryDirectory() as scratch:
            folder = Path(scratch) / "prefix"
            calls = self.boot(folder)
            self.assertEqual(calls[:3], ["wineboot", "-k", "wineboot"])
            self.assertTrue((folder / ".lumaro-prefix").is_file())

    def test_a_folder_that_was_there_is_never_removed(self) -> None:
        with tempfile.TemporaryDirectory() as scratch:
            folder = Path(scratch) / "prefix"
            folder.mkdir()
            (folder / "mine.txt").write_text("kept")
            with self.assertRaises(ToolError):
                self.boot(folder)
            self.assertEqual((folder / "mine.txt").read_text(), "kept")


class EmulatorTests(LauncherTestCase):
    """python3 -m lmr.wine exec, as ctest runs each Windows test binary."""

    def exec(self, *args: str, timeout: str = "30") -> "subprocess.CompletedProcess[bytes]":
        env = dict(os.environ, WINEPREFIX=str(self.s.prefix), PYTHONPATH=str(REPO / "tools"))
        return subprocess.run(["/usr/bin/python3", "-m", "lmr.wine", "exec", "--timeout", timeout, "--", *args],
                              env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)

    def test_status_is_passed_on(self) -> None:
        self.assertEqual(self.exec(self.s.tool("exit_with.exe"), "3").returncode, 3)

    def test_a_program_that_does_not_end_is_stopped_at_the_bound(self) -> None:
        started = time.monotonic()
        proc = self.exec(self.s.tool("lmr-window.exe"), "--lifetime-ms", "120000", timeout="3")
        self.assertEqual(proc.returncode, 124)
        self.assertLess(time.monotonic() - started, 60)
        self.assertIn(b"timed out after 3", proc.stderr)


class DialogReaderTests(LauncherTestCase):

    def test_reads_full_text_icon_and_button_then_presses_ok(self) -> None:
        text = "Dòng một\r\ndòng hai \"trích\" \\ " + "x" * 5000
        proc = start_runner(self.s, self.s.tool("lmr-msgbox.exe"), args=[DIALOG_CAPTION, text, "7"])
        seen = DialogReader(self.s).wait_found()
        self.assertEqual(runner_exit(proc)[0], 7)
        assert seen is not None
        self.assertEqual(seen["caption"], DIALOG_CAPTION)
        # The static control shows CR LF as typed.
        self.assertEqual(seen["text"], text)
        self.assertTrue(seen["has_icon"])
        self.assertEqual([b["id"] for b in seen["buttons"]], [1])

    def test_no_dialog_is_reported_as_none(self) -> None:
        result = launch(self.s, self.s.tool("exit_with.exe"), timeout_s=20)
        self.assertEqual(result.exit_code, 2)  # usage error, no window
        self.assertIsNone(result.dialog)


class DesktopTests(LauncherTestCase):
    """The session's desktop stays up between programs, as Windows' does."""

    def desktops(self) -> set[int]:
        """The pids of the explorer.exe serving this prefix's desktop."""
        pids = set()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if b"explorer.exe" not in f.read():
                        continue
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if f"WINEPREFIX={self.s.prefix}".encode() in f.read().split(b"\0"):
                        pids.add(int(pid))
            except OSError:  # ended meanwhile
                pass
        return pids

    def test_the_desktop_outlives_the_programs_that_use_it(self) -> None:
        # Wine ends an unused desktop about a second after its last program;
        # a launcher and its dialog reader starting at once after that can
        # land on different desktop windows, and the dialog is never found.
        before = self.desktops()
        self.assertEqual(len(before), 1)
        self.assertEqual(runner_exit(start_runner(self.s, self.s.tool("exit_with.exe"), args=["0"]))[0], 0)
        time.sleep(3)
        self.assertEqual(self.desktops(), before)


class OsErrorTextTests(LauncherTestCase):

    def test_the_system_text_is_raw_and_a_missing_one_gives_the_failure_code(self) -> None:
        status, out = self.s.run([self.s.tool("lmr-formatmessage.exe"), "5"])
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith(b"\r\n"), out)  # as the system keeps it, untrimmed
        status, out = self.s.run([self.s.tool("lmr-formatmessage.exe"), "99999"])
        self.assertEqual(status, 1)
        self.assertRegex(out.decode(), r"^[1-9][0-9]*$")


class FindRecordTests(unittest.TestCase):

    def test_finds_the_record_and_not_the_bare_magic(self) -> None:
        data = b"code LMR1 more" + b"\0" * 20 + b"LMR1\x10\0\0\0" + b"01ca8e43785f62e0" + b"\x0a\x51"
        self.assertEqual(image.find_record(data), data.index(b"LMR1\x10"))

    def test_two_records_are_an_error(self) -> None:
        record = b"LMR1\0\0\0\0" + b"0123456789abcdef"
        with self.assertRaises(ValueError):
            image.find_record(record + record)

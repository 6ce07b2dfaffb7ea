# `./lumaro run EXE` as a vendor's CI calls it, output through a pipe: the
# launcher's facts one per line, the dialog read and dismissed, the app's
# startup.log, the launcher's exit code as the status, and the documented
# statuses of its own: 3 when EXE is no launcher, 9 without Wine, 124 when the
# launcher outlives --timeout. Two runs at once in one checkout both work.
import contextlib
import io
import os
import subprocess
import time
from typing import Optional, Union
from unittest import mock

from lmr import REPO
from lmr.e2e import apps
from lmr.e2e.session import LauncherTestCase
from lmr.wine import __main__ as wine_cli
from lmr.wine.launch import DIALOG_CAPTION

LUMARO = str(REPO / "lumaro")
# Making the cached prefix on first use takes half a minute on two cores.
RUN_BOUND_S = 600

Facts = dict[str, Union[str, list[str]]]


def parse_facts(text: str) -> Facts:
    """{key: value} of the "key: value" lines; a key with indented lines after
    it gets them as "key lines"."""
    facts: Facts = {}
    key = None
    for line in text.splitlines():
        if line.startswith("  ") and key is not None:
            lines = facts.setdefault(key + " lines", [])
            assert isinstance(lines, list)
            lines.append(line[2:])
        else:
            key, _, value = line.partition(": ")
            key = key.rstrip(":")
            facts[key] = value
    return facts


class RunCommandTests(LauncherTestCase):

    def start(self, exe: str, *options: str, node: Optional[dict[str, object]] = None) -> "subprocess.Popen[bytes]":
        """./lumaro run; node tells the node.exe stand-in what to do (Wine
        hands Linux variables on to Windows programs)."""
        env = dict(os.environ, **apps.node_env(**(node or {})))  # type: ignore[arg-type]
        return subprocess.Popen([LUMARO, "run", exe, *options], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env)

    def lumaro_run(self, exe: str, *options: str, node: Optional[dict[str, object]] = None) -> tuple[int, str, str]:
        proc = self.start(exe, *options, node=node)
        out, err = proc.communicate(timeout=RUN_BOUND_S)
        return proc.returncode, out.decode("utf-8"), err.decode("utf-8", "replace")

    def test_first_run_installs_and_the_next_finds_it(self) -> None:
        exe = self.s.build_launcher(self.s.make_app())
        local = os.path.join(self.case, "Local")
        runtime = os.path.join(local, "Lumaro", "runtime-" + apps.build_id_of(exe))
        for installed in ("yes", "no"):
            status, out, err = self.lumaro_run(exe, "--localappdata", local, node={"stderr": "chào\r\n"})
            self.assertEqual(status, 0, out + err)
            self.assertEqual(parse_facts(out), {
                "exit-code": "0",
                "runtime-folder": runtime,
                "installed-by-this-launch": installed,
                "startup-log": os.path.join(local, "Lumaro", "startup.log"),
                "startup-log lines": ["chào"],
            })
        # --fresh: an empty LOCALAPPDATA each time, so always a first install.
        status, out, err = self.lumaro_run(exe, "--fresh")
        self.assertEqual(status, 0, out + err)
        self.assertEqual(parse_facts(out)["installed-by-this-launch"], "yes")

    def test_failing_app_shows_the_dialog_and_the_logs_last_50_lines(self) -> None:
        exe = self.s.build_launcher(self.s.make_app())
        log = "".join(f"dòng {n}\n" for n in range(1, 61)) + "Lỗi: không đọc được\r\n  at main\n"
        status, out, err = self.lumaro_run(exe, "--fresh", node={"exit": 3, "stderr": log})
        self.assertEqual(status, 1, out + err)
        facts = parse_facts(out)
        self.assertEqual(facts["exit-code"], "1")
        self.assertEqual(facts["dialog-caption"], DIALOG_CAPTION)
        self.assertEqual(facts["dialog-text lines"], log.replace("\r\n", "\n").splitlines())
        self.assertEqual(facts["installed-by-this-launch"], "yes")
        self.assertTrue(str(facts["startup-log"]).endswith("startup.log (last 50 of 62 lines)"), facts)
        self.assertEqual(facts["startup-log lines"], [f"dòng {n}" for n in range(13, 61)] +
                         ["Lỗi: không đọc được", "  at main"])

    def test_two_runs_at_once_both_work(self) -> None:
        exe = self.s.build_launcher(self.s.make_app())
        locals_ = [os.path.join(self.case, f"Local-{n}") for n in (1, 2)]
        first = self.start(exe, "--localappdata", locals_[0], node={"sleep_ms": 3000})
        time.sleep(1)
        second = self.start(exe, "--localappdata", locals_[1])
        for proc, local in zip((first, second), locals_):
            out, err = proc.communicate(timeout=RUN_BOUND_S)
            self.assertEqual(proc.returncode, 0, out + err)
            self.assertEqual(parse_facts(out.decode())["installed-by-this-launch"], "yes")
            self.assertTrue(os.path.isdir(apps.runtime_dir(local, exe)))

    def test_not_a_launcher_is_refused_before_wine_starts(self) -> None:
        path = os.path.join(self.case, "notes.exe")
        with open(path, "wb") as f:
            f.write(b"MZ but nothing more\n")
        status, out, err = self.lumaro_run(path)
        self.assertEqual(status, 3, out + err)
        self.assertEqual(out, "")
        self.assertIn("is not a launcher", err)

    def test_launcher_outliving_the_timeout_is_stopped(self) -> None:
        exe = self.s.build_launcher(self.s.make_app())
        local = os.path.join(self.case, "Local")
        started = time.monotonic()
        status, out, err = self.lumaro_run(exe, "--localappdata", local, "--timeout", "5",
                                           node={"sleep_ms": 120_000})
        self.assertEqual(status, 124, out + err)
        self.assertLess(time.monotonic() - started, 100)
        self.assertIn("still running after 5 s", err)

    def test_missing_wine_is_a_status_of_its_own_and_makes_no_prefix(self) -> None:
        exe = self.s.build_launcher(self.s.make_app())
        prefix = os.path.join(self.case, "prefix")
        out, err = io.StringIO(), io.StringIO()
        with mock.patch("lmr.wine.calls.WINE", os.path.join(self.case, "no-wine64")), \
                contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = wine_cli.main(["run", exe, "--prefix", prefix, "--tools", self.case,
                                    "--inspect", str(self.s.kit.inspect_tool)])
        self.assertEqual(status, 9, err.getvalue())
        self.assertEqual(out.getvalue(), "")
        self.assertIn("no-wine64 not found", err.getvalue())
        self.assertFalse(os.path.exists(prefix))

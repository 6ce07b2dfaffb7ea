# `./lumaro run EXE` as a vendor's CI calls it, output through a pipe: the
# launcher's facts one per line, the dialog read and dismissed, the launcher's
# exit code as the status, and statuses of its own when EXE is no launcher or
# the launcher outlives --timeout.
import contextlib
import io
import os
import subprocess
import time

from tests.e2e import e2e_apps as apps
from tests.e2e.harness import DIALOG_CAPTION, REPO, LauncherTestCase
from tools.wine import wine_driver

LUMARO = os.path.join(REPO, "lumaro")
# Making the cached prefix on first use takes half a minute on two cores.
RUN_BOUND_S = 600


def parse_facts(text):
    """{key: value} of the "key: value" lines; dialog-text gathers the
    indented lines after it."""
    facts, key = {}, None
    for line in text.splitlines():
        if line.startswith("  ") and key == "dialog-text":
            facts[key].append(line[2:])
        else:
            key, _, value = line.partition(": ")
            if key.endswith(":"):
                key, value = key[:-1], []
            facts[key] = value
    return facts


class RunCommandTests(LauncherTestCase):

    def lumaro_run(self, exe, *options, node=None):
        """./lumaro run to its end; node tells the node.exe stand-in what to
        do (Wine hands Linux variables on to Windows programs)."""
        env = dict(os.environ, **apps.node_env(**(node or {})))
        proc = subprocess.run([LUMARO, "run", exe, *options], stdin=subprocess.DEVNULL, capture_output=True,
                              env=env, timeout=RUN_BOUND_S)
        return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8", "replace")

    def test_first_run_installs_and_the_next_finds_it(self):
        exe = self.s.build_launcher(self.s.make_app())
        local = os.path.join(self.case, "Local")
        runtime = os.path.join(local, "Lumaro", "runtime-" + apps.build_id_of(exe))
        for installed in ("yes", "no"):
            status, out, err = self.lumaro_run(exe, "--localappdata", local)
            self.assertEqual(status, 0, out + err)
            self.assertEqual(parse_facts(out), {
                "exit-code": "0",
                "runtime-folder": runtime,
                "installed-by-this-launch": installed,
                "startup-log": os.path.join(local, "Lumaro", "startup.log"),
            })
        # --fresh: an empty LOCALAPPDATA each time, so always a first install.
        status, out, err = self.lumaro_run(exe, "--fresh")
        self.assertEqual(status, 0, out + err)
        self.assertEqual(parse_facts(out)["installed-by-this-launch"], "yes")

    def test_failing_app_shows_the_dialog_text_line_by_line(self):
        exe = self.s.build_launcher(self.s.make_app())
        status, out, err = self.lumaro_run(exe, "--fresh",
                                           node={"exit": 3, "stderr": "Lỗi: không đọc được\r\n  at main\n"})
        self.assertEqual(status, 1, out + err)
        facts = parse_facts(out)
        self.assertEqual(facts["exit-code"], "1")
        self.assertEqual(facts["dialog-caption"], DIALOG_CAPTION)
        self.assertEqual(facts["dialog-text"], ["Lỗi: không đọc được", "  at main"])
        self.assertEqual(facts["installed-by-this-launch"], "yes")

    def test_not_a_launcher_is_refused_before_wine_starts(self):
        path = os.path.join(self.case, "notes.exe")
        with open(path, "wb") as f:
            f.write(b"MZ but nothing more\n")
        status, out, err = self.lumaro_run(path)
        self.assertEqual(status, wine_driver.RUN_NOT_A_LAUNCHER, out + err)
        self.assertEqual(out, "")
        self.assertIn("is not a launcher", err)

    def test_launcher_outliving_the_timeout_is_stopped(self):
        exe = self.s.build_launcher(self.s.make_app())
        local = os.path.join(self.case, "Local")
        started = time.monotonic()
        status, out, err = self.lumaro_run(exe, "--localappdata", local, "--timeout", "5",
                                           node={"sleep_ms": 120_000})
        self.assertEqual(status, wine_driver.RUN_TIMEOUT, out + err)
        self.assertLess(time.monotonic() - started, 100)
        self.assertIn("still running after 5 s", err)

    def test_missing_wine_is_a_status_of_its_own_and_makes_no_prefix(self):
        exe = self.s.build_launcher(self.s.make_app())
        inspect = os.path.join(self.s.host_build, "tools", "inspect", "lmr-inspect")
        self.addCleanup(setattr, wine_driver, "WINE", wine_driver.WINE)
        wine_driver.WINE = os.path.join(self.case, "no-wine64")
        prefix = os.path.join(self.case, "prefix")
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = wine_driver.main(["run", exe, "--prefix", prefix, "--tools", self.case, "--inspect", inspect])
        self.assertEqual(status, wine_driver.RUN_NO_WINE, err.getvalue())
        self.assertEqual(out.getvalue(), "")
        self.assertIn("no-wine64 not found", err.getvalue())
        self.assertFalse(os.path.exists(prefix))

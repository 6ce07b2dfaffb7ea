# The demo as `./lumaro demo` runs it, in a prefix of its own with no Wine
# server running beforehand and its output read through a pipe. The first Wine
# command after a fresh server starts Wine's services, and a pipe they inherit
# stays open for good: the demo must still end by itself, pass its own checks,
# and end with 1 when one of them fails.
import os
import shutil
import signal
import subprocess
import tempfile
import unittest

from lmr import REPO, node_win
from lmr.build import Kit
from lmr.wine.session import stop_server

# Two packs of the real node.exe take half a minute each on two cores.
DEMO_TIMEOUT_S = 900


class DemoTests(unittest.TestCase):

    def setUp(self) -> None:
        kit = Kit()
        self.windows_build, self.host_build = str(kit.windows_build), str(kit.host_build)
        self.stand_in = os.path.join(self.windows_build, "launcher", "tests", "recording_node.exe")
        self.exit_with = os.path.join(self.windows_build, "tests", "wine", "exit_with.exe")
        for needed in (os.path.join(self.host_build, "tools", "pack", "lmr-pack"),
                       os.path.join(self.windows_build, "lumaro-link"),
                       os.path.join(self.windows_build, "tools", "wine", "lmr-runner.exe"),
                       self.stand_in, self.exit_with):
            if not os.path.exists(needed):
                self.skipTest(f"{needed} not built yet")
        self.root = tempfile.mkdtemp(prefix="lumaro-demo-test-")
        self.prefix = os.path.join(self.root, "prefix")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.addCleanup(self.stop_server)

    def stop_server(self) -> None:
        stop_server(self.prefix)

    def run_demo(self, *options: str) -> tuple[int, str]:
        """The demo to its end, its output through a pipe; (status, output)."""
        env = {name: value for name, value in os.environ.items() if not name.startswith("WINE")}
        env["PYTHONPATH"] = str(REPO / "tools")
        args = ["/usr/bin/python3", "-m", "lmr.demo", "--windows-build", self.windows_build, "--host-build",
                self.host_build, "--prefix", self.prefix, "--work", os.path.join(self.root, "work"),
                "--no-screenshot", "--level", "1", *options]
        proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
        with proc:
            try:
                out, _ = proc.communicate(timeout=DEMO_TIMEOUT_S)
            except subprocess.TimeoutExpired as e:
                os.killpg(proc.pid, signal.SIGKILL)
                # Wine's services may hold the pipe; they end with their server.
                self.stop_server()
                proc.wait()
                so_far = (e.output or b"").decode("utf-8", "replace")[-3000:]
                self.fail(f"the demo did not end within {DEMO_TIMEOUT_S} s; its output so far:\n{so_far}")
        return proc.returncode, out.decode("utf-8", "replace")

    def test_demo_ends_by_itself_and_passes_its_checks(self) -> None:
        try:
            node_win.node_exe()
            options = []
        except node_win.Unreachable:
            # No network and nothing cached: the same path with a node.exe that runs no JavaScript.
            options = ["--stand-in-node", self.stand_in]
        status, out = self.run_demo(*options)
        self.assertEqual(status, 0, out[-3000:])

    def test_demo_fails_when_the_first_launch_fails(self) -> None:
        # A node.exe that ends with 2 at once: the launcher shows its error dialog.
        status, out = self.run_demo("--stand-in-node", self.exit_with)
        self.assertEqual(status, 1, out[-3000:])
        self.assertIn("demo failed: the first launch: the error dialog came up", out)


if __name__ == "__main__":
    unittest.main()

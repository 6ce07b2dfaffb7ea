"""The vendor's command as one program: one exit table on both sides of the
language line, refusals that name the option, PKCS#11 URIs read as RFC 7512
says, values quoted one way, and commands started together in one checkout,
right after a build file changed, all succeeding."""
import fcntl
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from lmr import REPO, pkcs11_uri
from lmr.build import Kit
from lmr.exit_status import ExitStatus
from lmr.text import quoted

LUMARO = REPO / "lumaro"


def lumaro(*args: object, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(LUMARO), *map(str, args)], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=900, env=env)


class ExitTableTests(unittest.TestCase):
    def test_python_mirrors_the_header(self) -> None:
        header = (REPO / "tools/common/exit_status.h").read_text()
        enum = header[header.index("enum class ExitStatus"):]
        enum = enum[:enum.index("};")]
        in_cpp = {re.sub(r"(?<!^)(?=[A-Z])", "_", name).upper(): int(value)
                  for name, value in re.findall(r"^\s*k(\w+) = (\d+),", enum, re.M)}
        self.assertEqual(in_cpp, {status.name: status.value for status in ExitStatus})


class CommandLineTests(unittest.TestCase):
    def test_refusals_name_the_option_and_where_the_help_is(self) -> None:
        cases: list[tuple[list[str], str]] = [
            (["run", "x.exe", "--bogus"], "lumaro run: unknown option --bogus; see ./lumaro run --help"),
            (["run"], "lumaro run: EXE is missing; see ./lumaro run --help"),
            (["run", "x.exe", "--timeout"], "lumaro run: --timeout needs a value; see ./lumaro run --help"),
            (["run", "x.exe", "--timeout", "-3"], "lumaro run: --timeout: takes a positive number of seconds"),
            (["inspect", "a.exe", "b.exe"], 'lumaro inspect: unexpected argument "b.exe"; see ./lumaro inspect --help'),
            (["test", "lnt"], "lumaro test: unknown layer lnt"),
            (["pack", "app"], "lumaro pack: -o OUT.exe is missing"),
            (["frobnicate"], 'lumaro: unknown command "frobnicate"; see ./lumaro --help'),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                proc = lumaro(*args)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertEqual(proc.stdout, "")
                self.assertIn(message, proc.stderr)
                self.assertNotIn("\033[", proc.stderr, "colour without a terminal")

    def test_help_lists_every_command_and_the_exit_table(self) -> None:
        proc = lumaro("--help")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        for word in ("pack", "run", "inspect", "extract", "wine-prefix", "demo", "test", "bench", "setup",
                     "  9  a program the command runs is not installed"):
            self.assertIn(word, proc.stdout)

    def test_values_are_quoted_one_way(self) -> None:
        cases = [("plain", '"plain"'), ('say "hi"', '"say \\"hi\\""'), ("line\nforged", '"line\\x0aforged"'),
                 ("back\\slash", '"back\\\\slash"'), ("\u202eexe.txt", '"\\u202eexe.txt"'),
                 (Path("/x/Ann's"), '"/x/Ann\'s"')]
        for value, shown in cases:
            with self.subTest(value=value):
                self.assertEqual(quoted(value), shown)


class Pkcs11UriTests(unittest.TestCase):
    def test_attributes_are_split_and_decoded_as_the_rfc_says(self) -> None:
        uri = pkcs11_uri.parse("pkcs11:token=My%20Token;object=a%3Bb;type=private?module-path=/x/y.so&pin-x=1")
        self.assertEqual(uri.path, (("token", "My Token"), ("object", "a;b"), ("type", "private")))
        self.assertEqual(uri.query, (("module-path", "/x/y.so"), ("pin-x", "1")))
        self.assertEqual(uri.path_attribute("token"), "My Token")
        self.assertIsNone(uri.path_attribute("Token"), "names are case-sensitive")
        self.assertEqual(uri.pin_attributes(), [])

    def test_a_pin_is_found_wherever_it_is(self) -> None:
        cases = {
            "pkcs11:token=a?pin-value=1": ["pin-value"],
            "pkcs11:token=a?module-name=m&pin-value=1": ["pin-value"],
            "pkcs11:token=a;pin-source=file:/p": ["pin-source"],
            "pkcs11:token=a;type=private&pin-value=1": ["pin-value"],
            "pkcs11:token=a?%70in-%76alue=1": ["pin-value"],
            "pkcs11:token=a?PIN-VALUE=1": [],
        }
        for text, pins in cases.items():
            with self.subTest(text):
                self.assertEqual(pkcs11_uri.parse(text).pin_attributes(), pins)

    def test_what_is_no_uri_is_refused(self) -> None:
        for text in ("token=a", "pkcs11:token=a;object", "pkcs11:token=%G1", "pkcs11:token=%ff"):
            with self.subTest(text), self.assertRaises(pkcs11_uri.UriError):
                pkcs11_uri.parse(text)


# Stands in for cmake: says what a build says, and fails when asked to.
FAKE_CMAKE = """#!/bin/sh
echo "[1/2] Building CXX object tools/inspect/inspect_main.cpp.o"
if [ -n "${FAKE_CMAKE_FAILS-}" ]; then
  echo "inspect_main.cpp:1:1: error: expected unqualified-id"; echo "ninja: build stopped: subcommand failed."; exit 1
fi
echo "[2/2] Linking CXX executable tools/inspect/lmr-inspect"
"""


@unittest.skipUnless(Kit().inspect_tool.exists(), "host-release tools not built")
class BuildStepTests(unittest.TestCase):
    """The build before a command, with a stand-in cmake on PATH."""

    def setUp(self) -> None:
        tmp = tempfile.TemporaryDirectory(prefix="lmr-build-step-")
        self.addCleanup(tmp.cleanup)
        self.bin = Path(tmp.name)
        (self.bin / "cmake").write_text(FAKE_CMAKE)
        (self.bin / "cmake").chmod(0o755)
        self.env = dict(os.environ, PATH=f"{self.bin}:{os.environ['PATH']}")

    def test_a_failed_build_shows_its_log_once_and_has_a_status_of_its_own(self) -> None:
        proc = lumaro("inspect", "/nonexistent.exe", env=dict(self.env, FAKE_CMAKE_FAILS="1"))
        self.assertEqual(proc.returncode, 7, proc.stderr)
        self.assertEqual(proc.stderr.count("error: expected unqualified-id"), 1, proc.stderr)
        self.assertTrue(proc.stderr.startswith("[1/1] building lmr-inspect (host-release)\n[1/2] Building CXX"),
                        proc.stderr)
        self.assertTrue(proc.stderr.endswith("lumaro inspect: building lmr-inspect in build/host-release failed\n"))
        self.assertEqual(proc.stdout, "")

    def test_a_missing_cmake_is_a_missing_program(self) -> None:
        (self.bin / "cmake").unlink()
        env = dict(self.env, PATH=str(self.bin), PYTHONPATH=str(REPO / "tools"))
        proc = subprocess.run([sys.executable, "-m", "lmr", "inspect", "/nonexistent.exe"], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        self.assertEqual(proc.returncode, 9, proc.stderr)
        self.assertIn("cmake not found (./lumaro setup installs it)", proc.stderr)

    def test_a_command_waits_for_another_build_of_its_tree_and_says_so_once(self) -> None:
        with open(REPO / "build/host-release.lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            proc = subprocess.Popen([str(LUMARO), "inspect", "/nonexistent.exe"], env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True)
            assert proc.stderr is not None
            # The step's heading waits for its build's first line of work.
            self.assertEqual(proc.stderr.readline(), "waiting for another build of build/host-release to finish "
                                                     f"(lock {REPO / 'build/host-release.lock'})\n")
            time.sleep(0.5)
            self.assertIsNone(proc.poll(), "did not wait")
        out, err = proc.communicate(timeout=60)
        # Built (by the stand-in), then lmr-inspect's own status for a missing file.
        self.assertEqual(proc.returncode, 4, err)
        self.assertNotIn("waiting", err)
        self.assertIn("[1/1] building lmr-inspect (host-release)\n", err)
        self.assertIn("[2/2] Linking CXX executable tools/inspect/lmr-inspect", err)


@unittest.skipUnless(Kit().pack_tool.exists(), "host-release tools not built")
class ConcurrentCommandTests(unittest.TestCase):
    def test_three_packs_at_once_after_a_build_file_changed(self) -> None:
        with tempfile.TemporaryDirectory(prefix="lmr-concurrent-") as tmp:
            root = Path(tmp)
            app = root / "app"
            app.mkdir()
            (app / "node.exe").write_bytes(b"MZ stand-in node.exe\n" * 100)
            (app / "home.mjs").write_text("export {};\n")
            # Both build trees must re-run CMake now, and lmr-pack be relinked:
            # one ninja at a time does it.
            os.utime(REPO / "CMakeLists.txt")
            os.utime(REPO / "tools/pack/progress_bar.cpp")
            logs = [open(root / f"pack{n}.log", "w+") for n in range(3)]
            procs = [subprocess.Popen([str(LUMARO), "pack", str(app), "-o", str(root / f"App{n}.exe"), "--quiet"],
                                      stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
                     for n, log in enumerate(logs)]
            results = []
            for proc, log in zip(procs, logs):
                status = proc.wait(timeout=1800)
                log.seek(0)
                results.append((status, log.read()))
                log.close()
            for n, (status, output) in enumerate(results):
                self.assertEqual(status, 0, output)
                self.assertTrue((root / f"App{n}.exe").is_file())
            # The first to take the lock relinks lmr-pack; the others find it done and say nothing of it.
            builders = [output for _, output in results if "[1/2] building lmr-pack (host-release)\n" in output]
            self.assertEqual(len(builders), 1, results)
            self.assertEqual(sorted(p.name for p in root.glob("[Aa]pp*")), ["App0.exe", "App1.exe", "App2.exe", "app"])


if __name__ == "__main__":
    unittest.main()

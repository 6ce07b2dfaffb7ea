"""Signing in ./lumaro pack: a throwaway code-signing certificate signs the
exe, the signature covers the payload, the password travels in no command
line and no output, a wrong one writes no exe, timestamps come from the given
RFC 3161 server, and the signed exe installs and runs under Wine."""
import os
import random
import subprocess
import tempfile
import unittest
from collections.abc import Sequence
from pathlib import Path
from typing import Any, Optional

from lmr import REPO
from lmr.build import Kit
from lmr.e2e import apps
from lmr.e2e.services import (OPENSSL, OSSLSIGNCODE, Shims, TimestampServer, consumer_project, make_signer,
                              run_quiet, verify)
from lmr.e2e.session import LauncherTestCase
from lmr.image import find_record

HOST_BUILD = Kit().host_build
PACK_TIMEOUT_S = 900
# Shell and quoting characters, so a password that went through a command
# line or an eval would come out changed or show up.
PASSWORD = "s3cret \"$HOME\" `id` ;|*' ~"


class Packer:
    """./lumaro pack with osslsigncode wrapped by a recording shim."""

    def __init__(self, root: Path) -> None:
        self.shims = Shims(root / "shim", ["osslsigncode"])

    def pack(self, app: object, out: Path, key: Optional[Path] = None, password: Optional[str] = None,
             extra: Sequence[str] = ()) -> tuple[int, str]:
        env = self.shims.env(dict(os.environ))
        env.pop("LUMARO_SIGN_PASSWORD", None)
        if password is not None:
            env["LUMARO_SIGN_PASSWORD"] = password
        args = [REPO / "lumaro", "pack", app, "-o", out, "--quiet"]
        if key:
            args += ["--sign", key]
        proc = subprocess.run([str(a) for a in [*args, *extra]], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=PACK_TIMEOUT_S)
        return proc.returncode, proc.stdout.decode("utf-8", "replace")

    def calls(self) -> list[Any]:
        return self.shims.calls()


def make_app(app: Path) -> None:
    rng = random.Random(5)
    (app / "lib").mkdir(parents=True)
    (app / "node.exe").write_bytes(b"MZ" + bytes(rng.getrandbits(8) for _ in range(100_000)))
    (app / "home.mjs").write_text("// signed\n")
    (app / "lib" / "a.js").write_text("export const a = 1;\n" * 2000)


@unittest.skipUnless(OSSLSIGNCODE and OPENSSL, "osslsigncode or openssl missing (./lumaro setup)")
class SignTests(unittest.TestCase):
    tmp: tempfile.TemporaryDirectory[str]
    root: Path
    packer: Packer
    app: Path
    cert: Path
    pfx: Path
    signed: Path
    signed_output: str
    signed_calls: list[Any]

    @classmethod
    def setUpClass(cls) -> None:
        cls.tmp = tempfile.TemporaryDirectory(prefix="lumaro-sign-")
        cls.root = Path(cls.tmp.name)
        cls.packer = Packer(cls.root)
        cls.app = cls.root / "app"
        make_app(cls.app)
        _, cls.cert, cls.pfx = make_signer(cls.root, PASSWORD)
        (cls.root / "signed").mkdir()
        cls.signed = cls.root / "signed" / "Lumaro.exe"
        status, cls.signed_output = cls.packer.pack(cls.app, cls.signed, cls.pfx, PASSWORD)
        if status != 0:
            raise AssertionError(f"signed pack failed ({status}):\n{cls.signed_output}")
        cls.signed_calls = cls.packer.calls()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.tmp.cleanup()

    def out_dir(self, name: str) -> Path:
        path = self.root / name
        path.mkdir()
        return path

    def test_signature_verifies_and_covers_the_payload(self) -> None:
        result = verify(self.signed, self.cert)
        self.assertEqual(result.returncode, 0, result.stdout.decode())
        image = bytearray(self.signed.read_bytes())
        image[find_record(image) + 64] ^= 0x01  # inside the compressed stream
        flipped = self.root / "flipped.exe"
        flipped.write_bytes(image)
        self.assertEqual(verify(flipped, self.cert).returncode, 1, "a changed payload byte still verifies")

    def test_without_its_signature_the_exe_is_the_unsigned_build(self) -> None:
        # What lets anyone check a signed release against their own build.
        plain = self.out_dir("plain") / "Lumaro.exe"
        status, output = self.packer.pack(self.app, plain)
        self.assertEqual(status, 0, output)
        stripped = self.root / "stripped.exe"
        result = run_quiet([OSSLSIGNCODE, "remove-signature", "-in", self.signed, "-out", stripped])
        self.assertEqual(result.returncode, 0, result.stdout.decode())
        self.assertEqual(stripped.read_bytes(), plain.read_bytes())

    def test_password_is_in_no_command_line_and_no_output(self) -> None:
        calls = self.signed_calls
        self.assertTrue(calls, "osslsigncode was not run through the shim")
        for call in calls:
            for line in [" ".join(call["argv"]), *call["ancestors"]]:
                self.assertNotIn(PASSWORD, line)
                self.assertNotIn("s3cret", line)
        self.assertTrue(any("lumaro" in a for c in calls for a in c["ancestors"]),
                        "the shim did not see ./lumaro among its ancestors")
        self.assertNotIn("s3cret", self.signed_output)

    def test_inherited_shell_tracing_does_not_print_the_password(self) -> None:
        # A vendor's CI running with set -x, SHELLOPTS exported and the trace
        # in a file of its own: every bash started on the way traces there.
        out = self.out_dir("traced") / "Lumaro.exe"
        trace = self.root / "trace.log"
        with open(trace, "wb") as sink:
            env = dict(os.environ, SHELLOPTS="xtrace", BASH_XTRACEFD=str(sink.fileno()),
                       LUMARO_SIGN_PASSWORD=PASSWORD)
            proc = subprocess.run([str(REPO / "lumaro"), "pack", str(self.app), "-o", str(out), "--quiet",
                                   "--sign", str(self.pfx)], env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, pass_fds=(sink.fileno(),), timeout=PACK_TIMEOUT_S)
        self.assertEqual(proc.returncode, 0, proc.stderr.decode())
        self.assertIn(b"+ exec /usr/bin/python3 -m lmr pack", trace.read_bytes(), "nothing was traced")
        for where in (proc.stdout, proc.stderr, trace.read_bytes()):
            self.assertNotIn(b"s3cret", where)
        self.assertEqual(verify(out, self.cert).returncode, 0)

    def test_output_folder_names_are_never_code(self) -> None:
        # Quotes and a command substitution in the folder of the signed exe:
        # it is signed there, nothing else is touched, no work folder is left.
        base = self.out_dir("quotes")
        bystanders = [base / "Ann", base / "s and Bob", base / "s builds"]
        for folder in bystanders:
            folder.mkdir()
            (folder / "keep").write_text("keep")
        for name in ("Ann's and Bob's builds", "b'$(touch PWNED)'", 'c"$(touch PWNED)"', "d`touch PWNED`"):
            with self.subTest(name):
                folder = base / name
                folder.mkdir()
                exe = folder / "App.exe"
                env = self.packer.shims.env(dict(os.environ, LUMARO_SIGN_PASSWORD=PASSWORD))
                proc = subprocess.run([str(REPO / "lumaro"), "pack", str(self.app), "-o", str(exe), "--quiet",
                                       "--sign", str(self.pfx)], env=env, cwd=base, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=PACK_TIMEOUT_S)
                self.assertEqual(proc.returncode, 0, proc.stdout.decode())
                self.assertEqual(os.listdir(folder), ["App.exe"])
                self.assertEqual(verify(exe, self.cert).returncode, 0)
        self.assertEqual(sorted(p.name for p in base.rglob("PWNED")), [])
        self.assertEqual(sorted(os.listdir(base)), sorted(
            ["Ann", "s and Bob", "s builds", "Ann's and Bob's builds", "b'$(touch PWNED)'", 'c"$(touch PWNED)"',
             "d`touch PWNED`"]))
        for folder in bystanders:
            self.assertEqual(os.listdir(folder), ["keep"])

    def test_wrong_password_fails_clearly_and_writes_no_exe(self) -> None:
        out_dir = self.out_dir("wrong")
        status, output = self.packer.pack(self.app, out_dir / "Lumaro.exe", self.pfx, "not it")
        self.assertEqual(status, 3, output)
        self.assertIn("LUMARO_SIGN_PASSWORD must hold its password", output)
        self.assertNotIn("not it", output)
        self.assertEqual(os.listdir(out_dir), [], "left a file behind")

    def test_key_without_password_signs_with_the_variable_unset(self) -> None:
        folder = self.out_dir("no-password")
        _, cert, pfx = make_signer(folder, "")
        exe = folder / "Lumaro.exe"
        status, output = self.packer.pack(self.app, exe, pfx, password=None)
        self.assertEqual(status, 0, output)
        result = verify(exe, cert)
        self.assertEqual(result.returncode, 0, result.stdout.decode())

    def test_timestamp_comes_from_the_given_rfc3161_server(self) -> None:
        tsa = TimestampServer(self.root / "tsa")
        self.addCleanup(tsa.close)
        exe = self.out_dir("timestamped") / "Lumaro.exe"
        status, output = self.packer.pack(self.app, exe, self.pfx, PASSWORD,
                                          extra=["--timestamp-url", tsa.url])
        self.assertEqual(status, 0, output)
        self.assertEqual(tsa.requests, 1)
        result = verify(exe, self.cert, tsa_cert=tsa.cert)
        self.assertEqual(result.returncode, 0, result.stdout.decode())


@unittest.skipUnless(OSSLSIGNCODE and OPENSSL and (HOST_BUILD / "tools/pack/lmr-pack").exists(),
                     "osslsigncode, openssl or the host-release lmr-pack missing")
class CMakeSignTests(unittest.TestCase):
    """lumaro_add_launcher(... SIGN_PFX) in a project that adds this one."""

    def test_post_build_signs_with_the_password_of_the_build(self) -> None:
        with tempfile.TemporaryDirectory(prefix="lumaro-cmake-sign-") as tmp:
            root = Path(tmp)
            app = root / "app"
            make_app(app)
            _, cert, pfx = make_signer(root, PASSWORD)
            (root / "CMakeLists.txt").write_text(consumer_project(
                f"lumaro_add_launcher(app_exe APP_DIR {app} OUTPUT_NAME App SIGN_PFX {pfx})"))
            build, exe = root / "build", root / "build" / "App.exe"
            configure = run_quiet(["cmake", "-S", root, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=MinSizeRel",
                                   f"-DCMAKE_TOOLCHAIN_FILE={REPO}/cmake/mingw-w64-x86_64.cmake",
                                   f"-DLUMARO_PACK_TOOL={HOST_BUILD}/tools/pack/lmr-pack"],
                                  env=dict(os.environ, LUMARO_SIGN_PASSWORD=PASSWORD))
            self.assertEqual(configure.returncode, 0, configure.stdout.decode())

            def build_exe(password: str) -> tuple[int, str]:
                proc = subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "app_exe"],
                                      env=dict(os.environ, LUMARO_SIGN_PASSWORD=password),
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, timeout=PACK_TIMEOUT_S)
                return proc.returncode, proc.stdout.decode("utf-8", "replace")

            # A failed signing removes the linked exe, so the next build links again.
            status, output = build_exe("not it")
            self.assertEqual(status, 1, output)
            self.assertIn("LUMARO_SIGN_PASSWORD must hold its password", output)
            self.assertFalse(exe.exists(), "an unsigned App.exe was left")
            status, output = build_exe(PASSWORD)
            self.assertEqual(status, 0, output)
            result = verify(exe, cert)
            self.assertEqual(result.returncode, 0, result.stdout.decode())
            for path in build.rglob("*"):
                if path.is_file() and path.suffix not in (".obj", ".a", ".exe", ".res"):
                    self.assertNotIn(b"s3cret", path.read_bytes(), f"password in {path}")


@unittest.skipUnless(OSSLSIGNCODE and OPENSSL, "osslsigncode or openssl missing (./lumaro setup)")
class SignedLaunchTests(LauncherTestCase):

    def test_signed_exe_installs_and_runs(self) -> None:
        app = self.s.make_app(files={"lib/x.js": "export const x = 1;\n"})
        root = Path(self.case)
        _, _, pfx = make_signer(root, PASSWORD)
        exe = root / "exe" / "Lumaro.exe"
        exe.parent.mkdir()
        status, output = Packer(root).pack(app, exe, pfx, PASSWORD)
        self.assertEqual(status, 0, output)
        local = root / "Local"
        result = apps.launch(self.s, str(exe), str(local), cwd=self.case)
        self.assertCleanSuccess(result)
        runtime = apps.runtime_dir(str(local), str(exe))
        self.assertEqual(apps.runtime_problems(runtime, apps.expected_runtime(app)), [])


if __name__ == "__main__":
    unittest.main()

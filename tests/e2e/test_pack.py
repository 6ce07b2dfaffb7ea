"""Packing an app folder: ./lumaro pack yields a launcher whose embedded
record decodes, with wimlib as an independent oracle, to exactly the archive
of that folder; the BuildId follows the content and nothing else. A release's
version goes into the exe's version resource and nowhere else, and --node
packs the official node.exe of a version from a registry (here a stand-in)."""
import json
import os
import random
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path
from typing import Optional

from lmr import REPO, image
from lmr.build import Kit
from lmr.e2e.services import FakeRegistry, closed_port_url, npm_env
from lmr.e2e.session import lumaro as run_lumaro
from lmr.proc import checked

KIT = Kit()
PACK = KIT.pack_tool
DECODE = KIT.host_build / "tests/tools/lmr-wimlib-decode"


def layout_key(name: bytes) -> tuple[int, bytes]:
    """node.exe, then dependencies, then the app's own files, then the release
    file; by name bytes within each."""
    if name == b"node.exe":
        return 0, name
    if name == b".lumaro/release.json":
        return 3, name
    return (1 if name.startswith(b"node_modules/") or b"/node_modules/" in name else 2), name


def expected_archive(app: Path) -> bytes:
    """The archive layout written independently: in layout order, "/" between folders."""
    entries = []
    for path in app.rglob("*"):
        if path.is_file():
            entries.append(("/".join(path.relative_to(app).parts).encode(), path.read_bytes()))
    entries.sort(key=lambda entry: layout_key(entry[0]))
    body = b"".join(struct.pack("<HI", len(n), len(d)) + n + d for n, d in entries)
    return struct.pack("<H", len(entries)) + body


def make_app(root: Path) -> Path:
    rng = random.Random(7)
    app = root / "app"
    (app / "lib" / "deep" / "er").mkdir(parents=True)
    (app / "node.exe").write_bytes(bytes(rng.getrandbits(8) for _ in range(200_000)))
    (app / "home.mjs").write_text("export default 'xin chào';\n", encoding="utf-8")
    (app / "lib" / "a.js").write_text("module.exports = 1;\n" * 5000)
    (app / "lib" / "deep" / "er" / "Tệp.json").write_text('{"k": "v"}', encoding="utf-8")
    (app / "lib-b.js").write_text("b")
    return app


def build_id(app: Path) -> str:
    out = subprocess.run([str(PACK), "--quiet", "--print-build-id", "--no-verify", str(app),
                          "--record", os.devnull, "--constants", os.devnull],
                         check=True, capture_output=True, text=True, timeout=900)
    return out.stdout.strip()


@unittest.skipUnless(PACK.exists() and DECODE.exists(), "host-release tools not built")
class PackTests(unittest.TestCase):
    def setUp(self) -> None:
        self.tmp = tempfile.TemporaryDirectory(prefix="lmr-pack-")
        self.root = Path(self.tmp.name)
        self.app = make_app(self.root)

    def tearDown(self) -> None:
        self.tmp.cleanup()

    def test_lumaro_pack_embeds_exactly_the_folder(self) -> None:
        exe = self.root / "X.exe"
        checked([REPO / "lumaro", "pack", self.app, "-o", exe, "--quiet"])
        decoded = self.root / "decoded.archive"
        checked([DECODE, exe, decoded])
        self.assertEqual(decoded.read_bytes(), expected_archive(self.app))
        # The id in the exe is the one the pack tool derives from the content.
        self.assertEqual(image.build_id(exe.read_bytes()), build_id(self.app))

    def test_a_chosen_build_id_is_refused_and_no_exe_is_written(self) -> None:
        exe = self.root / "X.exe"
        proc = subprocess.run([str(REPO / "lumaro"), "pack", str(self.app), "-o", str(exe),
                               "--build-id", "00000000deadbeef"],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=900)
        self.assertEqual(proc.returncode, 2, proc.stderr)
        self.assertIn("the BuildId always comes from the package's content", proc.stderr)
        self.assertFalse(exe.exists())

    def test_a_bad_command_line_is_refused_before_packing_saying_what_is_wrong(self) -> None:
        exe = self.root / "X.exe"
        cases: list[tuple[list[object], int, str]] = [
            ([self.app], 2, "lumaro pack: -o OUT.exe is missing"),
            ([self.app, "-o"], 2, "lumaro pack: -o needs a value"),
            (["-o", exe], 2, "lumaro pack: APP_DIR is missing"),
            ([self.app, "-o", self.root / "none" / "X.exe"], 4, f'the folder "{self.root / "none"}" does not exist'),
            ([self.app, "-o", "/proc/X.exe"], 4, 'lumaro pack: cannot write into "/proc"'),
            ([self.app, "-o", self.root], 4, f'"{self.root}" is a folder; -o names the exe to write'),
            ([self.app, "-o", exe, "--sign-cert", "c.pem"], 2, "give one of --sign, --sign-pkcs11 and --sign-command"),
            ([self.app, "-o", exe, "--sign", self.root / "no.pfx"], 3, f'cannot read the key "{self.root / "no.pfx"}"'),
        ]
        for args, status, message in cases:
            with self.subTest(message):
                code, output = lumaro("pack", *args)
                self.assertEqual(code, status, output)
                self.assertIn(message, output)
                self.assertNotIn("usage:", output)
                self.assertNotIn("lmr-pack:", output, "packing started")
                self.assertFalse(exe.exists())

    def test_lmr_pack_options_pass_through_in_order(self) -> None:
        # --node-exe takes a value: APP_DIR is lmr-pack's to find, not taken
        # for the file that follows the option.
        node = self.root / "node-x.exe"
        (self.app / "node.exe").rename(node)
        exe = self.root / "X.exe"
        status, output = lumaro("pack", "--node-exe", node, self.app, "-o", exe, "--quiet")
        self.assertEqual(status, 0, output)
        decoded = self.root / "decoded.archive"
        checked([DECODE, exe, decoded])
        with_node = self.root / "with-node"
        shutil.copytree(self.app, with_node)
        shutil.copyfile(node, with_node / "node.exe")
        self.assertEqual(decoded.read_bytes(), expected_archive(with_node))

    def test_build_id_follows_the_content(self) -> None:
        first = build_id(self.app)
        self.assertRegex(first, r"^[0-9a-f]{16}$")
        self.assertEqual(build_id(self.app), first)
        target = self.app / "lib" / "a.js"
        content = bytearray(target.read_bytes())
        content[1234] ^= 1
        target.write_bytes(bytes(content))
        self.assertNotEqual(build_id(self.app), first)


def lumaro(*args: object, env: Optional[dict[str, str]] = None) -> tuple[int, str]:
    proc = run_lumaro(*args, env=env)
    return proc.returncode, proc.stdout + proc.stderr


@unittest.skipUnless(PACK.exists(), "host-release tools not built")
class ReleaseVersionTests(unittest.TestCase):
    def setUp(self) -> None:
        self.tmp = tempfile.TemporaryDirectory(prefix="lmr-version-")
        self.addCleanup(self.tmp.cleanup)
        self.root = Path(self.tmp.name)
        self.app = make_app(self.root)

    def pack(self, name: str, *args: str) -> tuple[Path, str]:
        exe = self.root / name
        status, output = lumaro("pack", self.app, "-o", exe, *args)
        self.assertEqual(status, 0, output)
        return exe, output

    def inspected_version(self, exe: Path) -> str:
        status, output = lumaro("inspect", exe)
        self.assertEqual(status, 0, output)
        return next(line for line in output.splitlines() if line.startswith("version: "))

    def extracted(self, exe: Path) -> dict[str, bytes]:
        out = self.root / f"{exe.stem}-files"
        status, output = lumaro("extract", exe, out)
        self.assertEqual(status, 0, output)
        return {"/".join(p.relative_to(out).parts): p.read_bytes() for p in out.rglob("*") if p.is_file()}

    def test_two_versions_differ_in_the_version_resource_and_the_release_file(self) -> None:
        # One OriginalFilename for all three: it follows the exe's name.
        first, _ = self.pack("a.exe", "--version", "2.3.4-rc.1", "--exe-name", "App.exe")
        again, _ = self.pack("b.exe", "--version", "2.3.4-rc.1", "--exe-name", "App.exe")
        other, _ = self.pack("c.exe", "--version", "10.20.30.40+build.7", "--exe-name", "App.exe")
        self.assertEqual(first.read_bytes(), again.read_bytes())
        self.assertEqual(self.inspected_version(first), "version: 2.3.4-rc.1 (2.3.4.0)")
        self.assertEqual(self.inspected_version(other), "version: 10.20.30.40+build.7 (10.20.30.40)")

        a_files, c_files = self.extracted(first), self.extracted(other)
        self.assertEqual(a_files.pop(".lumaro/release.json"), b'{"version":"2.3.4-rc.1"}')
        self.assertEqual(c_files.pop(".lumaro/release.json"), b'{"version":"10.20.30.40+build.7"}')
        self.assertEqual(a_files, c_files)
        a, c = first.read_bytes(), other.read_bytes()
        (rsrc_at, a_size), (c_at, c_size) = image.sections(a)[".rsrc"], image.sections(c)[".rsrc"]
        self.assertNotEqual(a[rsrc_at:rsrc_at + a_size], c[c_at:c_at + c_size])
        manifest = (REPO / "assets/lumaro.manifest").read_bytes()
        self.assertIn(manifest, a[rsrc_at:rsrc_at + a_size])
        self.assertIn(manifest, c[c_at:c_at + c_size])

    def test_package_json_gives_the_version_and_without_one_the_summary_says_what_the_exe_says(self) -> None:
        (self.app / "package.json").write_text(json.dumps({"name": "x", "version": "1.5.0-beta.2"}))
        exe, _ = self.pack("json.exe")
        self.assertEqual(self.inspected_version(exe), "version: 1.5.0-beta.2 (1.5.0.0)")
        # The command line wins over package.json.
        exe, _ = self.pack("given.exe", "--version", "3")
        self.assertEqual(self.inspected_version(exe), "version: 3 (3.0.0.0)")
        (self.app / "package.json").unlink()
        exe, output = self.pack("none.exe")
        self.assertIn("no version given (--version or package.json): the exe says 0.0.0.0", output)
        self.assertEqual(self.inspected_version(exe), "version: 0.0.0 (0.0.0.0)")

    def test_an_unwritable_version_is_refused_by_name_and_no_exe_is_written(self) -> None:
        cases: list[tuple[list[str], str]] = [(["--version", "70000.1.2"], '"70000.1.2"'), ([], '"banana"')]
        for args, named in cases:
            if not args:
                (self.app / "package.json").write_text('{"version": "banana"}')
            exe = self.root / "refused.exe"
            status, output = lumaro("pack", self.app, "-o", exe, *args)
            # An option is a usage error, a package.json value bad input.
            self.assertEqual(status, 2 if args else 3, output)
            self.assertIn(named, output)
            self.assertFalse(exe.exists())


NODE_20 = b"MZ stand-in node.exe 20.18.0 " + bytes(range(256)) * 300


@unittest.skipUnless(PACK.exists(), "host-release tools not built")
class NodeByVersionTests(unittest.TestCase):
    """./lumaro pack --node against a stand-in registry, with a cache of its own (HOME)."""

    def setUp(self) -> None:
        self.tmp = tempfile.TemporaryDirectory(prefix="lmr-node-")
        self.addCleanup(self.tmp.cleanup)
        self.root = Path(self.tmp.name)
        self.app = make_app(self.root)
        (self.app / "node.exe").unlink()
        self.registry = FakeRegistry(NODE_20)
        self.addCleanup(self.registry.close)
        self.home = self.root / "home"
        self.home.mkdir()

    def pack(self, exe: Path, version: str, registry: Optional[str] = None) -> tuple[int, str]:
        env = npm_env(self.home, registry or self.registry.url)
        return lumaro("pack", self.app, "-o", exe, "--node", version, env=env)

    def test_packs_the_registrys_node_exe_as_if_the_folder_held_it(self) -> None:
        before = sorted(p.relative_to(self.app) for p in self.app.rglob("*"))
        exe = self.root / "App.exe"
        status, output = self.pack(exe, "20.18.0")
        self.assertEqual(status, 0, output)
        self.assertEqual(sorted(p.relative_to(self.app) for p in self.app.rglob("*")), before,
                         "the app folder changed")
        # The same bytes as a folder holding that node.exe: only the content counts.
        with_node = self.root / "with-node"
        shutil.copytree(self.app, with_node)
        (with_node / "node.exe").write_bytes(NODE_20)
        status, output = lumaro("pack", with_node, "-o", self.root / "Folder.exe", "--exe-name", "App.exe")
        self.assertEqual(status, 0, output)
        self.assertEqual(exe.read_bytes(), (self.root / "Folder.exe").read_bytes())
        # Cached now: a registry that cannot be reached does not matter.
        again = self.root / "again" / "App.exe"
        again.parent.mkdir()
        status, output = self.pack(again, "20.18.0", registry=closed_port_url())
        self.assertEqual(status, 0, output)
        self.assertEqual(again.read_bytes(), exe.read_bytes())

    def test_refusals_say_why_and_write_no_exe(self) -> None:
        exe = self.root / "App.exe"
        status, output = self.pack(exe, "20.18.1", registry=closed_port_url())
        self.assertEqual(status, 8, output)
        self.assertIn("node.exe 20.18.1 is not cached", output)
        self.assertIn("cannot be reached", output)
        status, output = self.pack(exe, "20.99.0")
        self.assertEqual(status, 8, output)
        self.assertIn("unknown version", output)
        self.assertIn("20.99.0", output)
        (self.app / "Node.exe").write_bytes(b"MZ the app's own")
        status, output = self.pack(exe, "20.18.0")
        self.assertEqual(status, 3, output)
        self.assertIn(f'"{self.app}/Node.exe" and --node-exe "', output)
        self.assertFalse(exe.exists())


if __name__ == "__main__":
    unittest.main()

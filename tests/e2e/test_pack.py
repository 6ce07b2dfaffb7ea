"""Packing an app folder: ./lumaro pack yields a launcher whose embedded
record decodes, with wimlib as an independent oracle, to exactly the archive
of that folder; the BuildId follows the content and nothing else."""
import os
import random
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
HOST_BUILD = Path(os.environ.get("LUMARO_HOST_BUILD", REPO / "build/host-release"))
PACK = HOST_BUILD / "tools/pack/lmr-pack"
DECODE = HOST_BUILD / "tests/tools/lmr-wimlib-decode"


def expected_archive(app):
    """The archive layout written independently: sorted by name bytes, "/" between folders."""
    entries = []
    for path in app.rglob("*"):
        if path.is_file():
            entries.append(("/".join(path.relative_to(app).parts).encode(), path.read_bytes()))
    entries.sort()
    body = b"".join(struct.pack("<HI", len(n), len(d)) + n + d for n, d in entries)
    return struct.pack("<H", len(entries)) + body


def make_app(root):
    rng = random.Random(7)
    app = root / "app"
    (app / "lib" / "deep" / "er").mkdir(parents=True)
    (app / "node.exe").write_bytes(bytes(rng.getrandbits(8) for _ in range(200_000)))
    (app / "home.mjs").write_text("export default 'xin chào';\n", encoding="utf-8")
    (app / "lib" / "a.js").write_text("module.exports = 1;\n" * 5000)
    (app / "lib" / "deep" / "er" / "Tệp.json").write_text('{"k": "v"}', encoding="utf-8")
    (app / "lib-b.js").write_text("b")
    return app


def build_id(app):
    out = subprocess.run([str(PACK), "--quiet", "--print-build-id", "--no-verify", str(app),
                          "--record", os.devnull, "--constants", os.devnull],
                         check=True, capture_output=True, text=True)
    return out.stdout.strip()


@unittest.skipUnless(PACK.exists() and DECODE.exists(), "host-release tools not built")
class PackTests(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="lmr-pack-")
        self.root = Path(self.tmp.name)
        self.app = make_app(self.root)

    def tearDown(self):
        self.tmp.cleanup()

    def test_lumaro_pack_embeds_exactly_the_folder(self):
        exe = self.root / "X.exe"
        subprocess.run([str(REPO / "lumaro"), "pack", str(self.app), "-o", str(exe), "--quiet"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        decoded = self.root / "decoded.archive"
        subprocess.run([str(DECODE), str(exe), str(decoded)], check=True, stdout=subprocess.DEVNULL)
        self.assertEqual(decoded.read_bytes(), expected_archive(self.app))
        # The id in the exe is the one the pack tool derives from the content.
        data = exe.read_bytes()
        at = data.find(b"LMR1")
        self.assertEqual(data[at + 8:at + 24].decode(), build_id(self.app))

    def test_a_chosen_build_id_is_refused_and_no_exe_is_written(self):
        exe = self.root / "X.exe"
        proc = subprocess.run([str(REPO / "lumaro"), "pack", str(self.app), "-o", str(exe),
                               "--build-id", "00000000deadbeef"],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=900)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("the BuildId always comes from the package's content", proc.stderr)
        self.assertFalse(exe.exists())

    def test_build_id_follows_the_content(self):
        first = build_id(self.app)
        self.assertRegex(first, r"^[0-9a-f]{16}$")
        self.assertEqual(build_id(self.app), first)
        target = self.app / "lib" / "a.js"
        content = bytearray(target.read_bytes())
        content[1234] ^= 1
        target.write_bytes(bytes(content))
        self.assertNotEqual(build_id(self.app), first)


if __name__ == "__main__":
    unittest.main()

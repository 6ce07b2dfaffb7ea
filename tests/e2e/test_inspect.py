"""Looking inside a real launcher, no Wine needed: ./lumaro inspect reports
what lmr-pack put into an exe linked by lumaro-link, ./lumaro extract gives
back the app folder byte for byte, one flipped byte in a stored chunk makes
the payload damaged, and files that are no launcher get one line of error."""
import hashlib
import math
import os
import random
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

from tests.e2e import harness

REPO = Path(__file__).resolve().parents[2]
HOST_BUILD = Path(os.environ.get("LUMARO_HOST_BUILD", REPO / "build/host-release"))
WINDOWS_BUILD = Path(os.environ.get("LUMARO_WINDOWS_BUILD", REPO / "build/windows"))
PACK = HOST_BUILD / "tools/pack/lmr-pack"
LINK = WINDOWS_BUILD / "lumaro-link"
RUNNER = WINDOWS_BUILD / "tests/wine/lmr-runner.exe"
MIB = 1 << 20


def lumaro(*args):
    return subprocess.run([str(REPO / "lumaro"), *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=600)


def facts(stdout):
    """{key: value} of the report, with the "file" lines as a list."""
    out = {"file": []}
    for line in stdout.splitlines():
        key, _, value = line.partition(": ")
        if key == "file":
            out["file"].append(value)
        else:
            out[key] = value
    return out


def digests(root):
    """{relative path: sha256} of every file below root."""
    out = {}
    for path in Path(root).rglob("*"):
        if path.is_file():
            out[path.relative_to(root).as_posix()] = hashlib.sha256(path.read_bytes()).hexdigest()
    return out


def stored_chunks(image):
    """(offset, size) in the image of every chunk kept verbatim: those whose
    record size equals their uncompressed size."""
    at = harness.find_record(image) + 24
    total, chunk = struct.unpack_from("<QI", image, at + 8)
    at += 24
    done, out = 0, []
    while done < total:
        (size,) = struct.unpack_from("<I", image, at)
        want = min(chunk, total - done)
        at += 4
        if size == want:
            out.append((at, size))
        at += size
        done += want
    return out


@unittest.skipUnless(PACK.exists() and LINK.exists(), "lmr-pack or lumaro-link not built")
class InspectTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="lmr-inspect-")
        root = Path(cls.tmp.name)
        app = root / "app"
        (app / "lib" / "deep").mkdir(parents=True)
        rng = random.Random(11)
        # Random bytes do not compress: at 1 MiB chunks, whole chunks inside
        # node.exe are stored verbatim.
        (app / "node.exe").write_bytes(rng.randbytes(3 * MIB))
        (app / "home.mjs").write_text("export default 'xin chào';\n", encoding="utf-8")
        (app / "lib" / "a.js").write_text("module.exports = 1;\n" * 4000)
        (app / "lib" / "deep" / "Tệp.json").write_text('{"k": "v"}', encoding="utf-8")
        (app / "lib" / "empty.txt").write_bytes(b"")
        record, constants = root / "record.bin", root / "constants.cpp"
        build_id = subprocess.run([str(PACK), str(app), "--record", str(record), "--constants", str(constants),
                                   "--chunk-size", "1M", "--level", "5", "--threads", "2", "--quiet",
                                   "--print-build-id"], check=True, capture_output=True, text=True, timeout=600)
        exe = root / "Lumaro.exe"
        subprocess.run([str(LINK), str(record), str(constants), str(exe)], check=True, capture_output=True, timeout=600)
        words = re.search(r"\{\s*(0x[0-9A-F]+)u, (\d+)u, (\d+)u, (0x[0-9A-F]+)u\}", constants.read_text())
        cls.root, cls.app, cls.exe = root, app, exe
        cls.build_id = build_id.stdout.strip()
        cls.package_size, cls.compressed_size = int(words[2]), int(words[3])
        cls.crc = int(words[4], 16)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_inspect_reports_what_was_packed(self):
        run = lumaro("inspect", self.exe, "--list")
        self.assertEqual(run.returncode, 0, run.stderr)
        got = facts(run.stdout)
        image = self.exe.read_bytes()
        self.assertEqual(got["build-id"], self.build_id)
        self.assertEqual(int(got["package-size"]), self.package_size)
        self.assertEqual(int(got["compressed-size"]), self.compressed_size)
        self.assertEqual(int(got["package-crc32"], 16), self.crc)
        self.assertEqual(got["record"], f"{harness.find_record(image):#x} in .rdata")
        self.assertEqual(int(got["chunk-size"]), MIB)
        self.assertEqual(int(got["chunk-count"]), math.ceil(self.package_size / MIB))
        self.assertEqual(int(got["stored-chunks"]), len(stored_chunks(image)))
        self.assertGreaterEqual(int(got["stored-chunks"]), 1)
        files = {p.relative_to(self.app).as_posix(): p.stat().st_size for p in self.app.rglob("*") if p.is_file()}
        self.assertEqual(int(got["files"]), len(files))
        self.assertEqual(int(got["total-bytes"]), sum(files.values()))
        self.assertEqual(got["sizes"], "agree")
        self.assertEqual(got["payload"], "intact")
        self.assertEqual(got["file"], [f"{size} {name}" for name, size in sorted(files.items())])

    def test_extract_gives_back_the_folder_and_then_refuses_to_mix_into_it(self):
        out = self.root / "extracted" / "here"
        run = lumaro("extract", self.exe, out)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(digests(out), digests(self.app))
        again = lumaro("extract", self.exe, out)
        self.assertEqual(again.returncode, 5)
        self.assertIn("not empty", again.stderr)
        self.assertEqual(digests(out), digests(self.app))

    def test_a_flipped_byte_in_a_stored_chunk_is_damage(self):
        image = bytearray(self.exe.read_bytes())
        offset, size = stored_chunks(image)[0]
        image[offset + size // 2] ^= 0x01
        damaged = self.root / "Damaged.exe"
        damaged.write_bytes(image)

        run = lumaro("inspect", damaged)
        self.assertEqual(run.returncode, 1, run.stderr)
        got = facts(run.stdout)
        self.assertEqual(got["sizes"], "agree")
        self.assertTrue(got["payload"].startswith("DAMAGED (CRC-32 of the decoded package is "), got["payload"])

        out = self.root / "from-damaged"
        run = lumaro("extract", damaged, out)
        self.assertEqual(run.returncode, 1)
        self.assertIn("damaged", run.stderr)
        self.assertFalse(out.exists())

    def test_what_is_no_launcher_gets_one_line_and_an_exit_code(self):
        text, empty, truncated = self.root / "notes.txt", self.root / "empty.exe", self.root / "Truncated.exe"
        text.write_text("not an exe\n")
        empty.write_bytes(b"")
        truncated.write_bytes(self.exe.read_bytes()[: self.exe.stat().st_size // 2])
        cases = [(text, 3), (empty, 3), (truncated, 3), (self.root / "missing.exe", 4), (self.root, 4)]
        if RUNNER.exists():
            cases.append((RUNNER, 3))
        for path, code in cases:
            with self.subTest(path=path.name):
                run = lumaro("inspect", path)
                self.assertEqual(run.returncode, code, run.stderr)
                self.assertEqual(run.stdout, "")
                self.assertRegex(run.stderr, r"^lmr-inspect: [^\n]+\n$")


if __name__ == "__main__":
    unittest.main()

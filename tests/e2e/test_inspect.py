"""Looking inside a real launcher, no Wine needed: ./lumaro inspect reports
what lmr-pack put into an exe linked by lumaro-link, ./lumaro extract gives
back the app folder byte for byte, one flipped byte in a stored chunk makes
the payload damaged, and files that are no launcher get one line of error."""
import hashlib
import math
import os
import random
import resource
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path
from typing import Any

from lmr import image
from lmr.build import Constants, Kit, read_constants
from lmr.e2e.session import lumaro

KIT = Kit()
PACK, LINK, INSPECT, RECORD = KIT.pack_tool, KIT.link_tool, KIT.inspect_tool, KIT.record_tool
RUNNER = KIT.windows_build / "tools/wine/lmr-runner.exe"
MIB = 1 << 20


def facts(stdout: str) -> dict[str, Any]:
    """{key: value} of the report, with the "file" lines as a list."""
    out: dict[str, Any] = {"file": []}
    for line in stdout.splitlines():
        key, _, value = line.partition(": ")
        if key == "file":
            out["file"].append(value)
        else:
            out[key] = value
    return out


def digests(root: Path) -> dict[str, str]:
    """{relative path: sha256} of every file below root."""
    out = {}
    for path in Path(root).rglob("*"):
        if path.is_file():
            out[path.relative_to(root).as_posix()] = hashlib.sha256(path.read_bytes()).hexdigest()
    return out


def stored_chunks(data: bytes) -> list[image.Chunk]:
    """The chunks kept verbatim: stored size equals uncompressed size."""
    return [c for c in image.chunks(data) if c.stored == c.size]


@unittest.skipUnless(PACK.exists() and LINK.exists(), "lmr-pack or lumaro-link not built")
class InspectTests(unittest.TestCase):
    tmp: tempfile.TemporaryDirectory[str]
    root: Path
    app: Path
    exe: Path
    build_id: str
    constants: Constants

    @classmethod
    def setUpClass(cls) -> None:
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
        pack_args = ["--chunk-size", "1M", "--level", "5", "--threads", "2", "--quiet"]
        exe = KIT.launcher(app, root / "Lumaro.exe", pack_args)
        cls.root, cls.app, cls.exe = root, app, exe
        cls.build_id = image.build_id(exe.read_bytes())
        cls.constants = read_constants(root / "payload_constants.cpp")

    @classmethod
    def tearDownClass(cls) -> None:
        cls.tmp.cleanup()

    def test_inspect_reports_what_was_packed(self) -> None:
        run = lumaro("inspect", self.exe, "--list")
        self.assertEqual(run.returncode, 0, run.stderr)
        got = facts(run.stdout)
        data = self.exe.read_bytes()
        self.assertEqual(got["build-id"], self.build_id)
        self.assertEqual(int(got["package-size"]), self.constants.package_size)
        self.assertEqual(int(got["compressed-size"]), self.constants.compressed_size)
        self.assertEqual(int(got["package-crc32"], 16), self.constants.crc32)
        self.assertEqual(got["record"], f"{image.find_record(data):#x} in .rdata")
        self.assertEqual(int(got["chunk-size"]), MIB)
        self.assertEqual(int(got["chunk-count"]), math.ceil(self.constants.package_size / MIB))
        self.assertEqual(int(got["stored-chunks"]), len(stored_chunks(data)))
        self.assertGreaterEqual(int(got["stored-chunks"]), 1)
        files = {p.relative_to(self.app).as_posix(): p.stat().st_size for p in self.app.rglob("*") if p.is_file()}
        self.assertEqual(int(got["files"]), len(files))
        self.assertEqual(int(got["total-bytes"]), sum(files.values()))
        self.assertEqual(got["sizes"], "agree")
        self.assertEqual(got["payload"], "intact")
        # In archive order: node.exe first, then (no dependencies here) the app's own files by name.
        in_order = sorted(files.items(), key=lambda item: (item[0] != "node.exe", item[0]))
        self.assertEqual(got["file"], [f"{size} {name}" for name, size in in_order])

    def test_extract_gives_back_the_folder_and_then_refuses_to_mix_into_it(self) -> None:
        out = self.root / "extracted" / "here"
        run = lumaro("extract", self.exe, out)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(digests(out), digests(self.app))
        again = lumaro("extract", self.exe, out)
        self.assertEqual(again.returncode, 5)
        self.assertIn("not empty", again.stderr)
        self.assertEqual(digests(out), digests(self.app))

    def test_a_flipped_byte_in_a_stored_chunk_is_damage(self) -> None:
        data = bytearray(self.exe.read_bytes())
        chunk = stored_chunks(data)[0]
        data[chunk.offset + chunk.size // 2] ^= 0x01
        damaged = self.root / "Damaged.exe"
        damaged.write_bytes(data)

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

    def test_what_is_no_launcher_gets_one_line_and_an_exit_code(self) -> None:
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


def archive(names: list[str]) -> bytes:
    """A package archive holding one byte under each name, in the given order."""
    body = b"".join(struct.pack("<HI", len(n), 1) + n + b"x" for n in (name.encode() for name in names))
    return struct.pack("<H", len(names)) + body


def fake_launcher(root: Path, package: bytes) -> Path:
    """A minimal PE32+ image whose .rdata holds lmr-record's record of package
    and the matching constants block: all a launcher is to the inspector."""
    (root / "package.bin").write_bytes(package)
    subprocess.run([str(RECORD), "--archive", str(root / "package.bin"), "--record", str(root / "record.bin"),
                    "--constants", str(root / "constants.cpp")], check=True, capture_output=True, timeout=600)
    words = read_constants(root / "constants.cpp")
    data = (b"\xcc" * 48 + (root / "record.bin").read_bytes() + b"\xcc" * 13 +
            struct.pack("<4I", words.tag, words.package_size, words.compressed_size, words.crc32))
    pe, optional_size = 0x40, 0xF0
    table = pe + 24 + optional_size
    head = bytearray(0x200)
    struct.pack_into("<H", head, 0, 0x5A4D)
    struct.pack_into("<I", head, 0x3C, pe)
    struct.pack_into("<IHH", head, pe, 0x4550, 0x8664, 1)
    struct.pack_into("<HH", head, pe + 20, optional_size, 0x22)
    struct.pack_into("<H", head, pe + 24, 0x20B)
    struct.pack_into("<8sIIII", head, table, b".rdata", len(data), 0x1000, -(-len(data) // 0x200) * 0x200, 0x200)
    exe = root / "Hostile.exe"
    exe.write_bytes(bytes(head) + data.ljust(-(-len(data) // 0x200) * 0x200, b"\0"))
    return exe


def run_limited(command: list[object], address_space: int) -> "subprocess.CompletedProcess[str]":
    """Runs a tool with at most address_space bytes of memory."""
    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
    return subprocess.run([str(c) for c in command], preexec_fn=limit, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=300)


@unittest.skipUnless(INSPECT.exists() and RECORD.exists() and PACK.exists(), "host-release tools not built")
class HostileInputTests(unittest.TestCase):
    """What an attacker hands the vendor tools: no hang, no abort."""

    def setUp(self) -> None:
        tmp = tempfile.TemporaryDirectory(prefix="lmr-hostile-")
        self.addCleanup(tmp.cleanup)
        self.root = Path(tmp.name)

    def test_a_fifo_is_refused_without_waiting_for_a_writer(self) -> None:
        fifo = self.root / "Lumaro.exe"
        os.mkfifo(fifo)
        run = subprocess.run([str(INSPECT), str(fifo)], capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 4, run.stderr)
        self.assertIn("not a regular file", run.stderr)

    def test_running_out_of_memory_is_an_exit_code_and_a_message(self) -> None:
        # 3,200 distinct names 16,000 folders deep: a package of 102 MB, whose
        # names' check needs as much again, beyond 192 MB.
        names = [f"e{i:04}/" + "a/" * 15995 + "z" for i in range(3200)] + ["home.mjs", "node.exe"]
        exe = fake_launcher(self.root, archive(sorted(names)))
        run = run_limited([INSPECT, exe], 192 * MIB)
        self.assertEqual((run.returncode, run.stderr), (6, "lmr-inspect: out of memory\n"))

        app = self.root / "app"
        app.mkdir()
        (app / "node.exe").write_bytes(b"MZ")
        (app / "home.mjs").write_text("1")
        with open(app / "big.bin", "wb") as big:
            big.truncate(1 << 30)  # sparse: costs no disk, a GiB of archive in memory
        run = run_limited([PACK, app, "--record", self.root / "r.bin", "--quiet"], 256 * MIB)
        self.assertEqual((run.returncode, run.stderr), (6, "lmr-pack: out of memory\n"))
        self.assertFalse((self.root / "r.bin").exists())


if __name__ == "__main__":
    unittest.main()

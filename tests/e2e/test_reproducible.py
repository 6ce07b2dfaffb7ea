"""Reproducible launchers: two copies of this tree at different paths, each
with its own launcher kit, turn one app folder (copied to two paths with other
file times, packed with different thread counts) into byte-identical exes that
carry no path of the machine and no link time. Needs no Wine."""
import os
import random
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
HOST_BUILD = Path(os.environ.get("LUMARO_HOST_BUILD", REPO / "build/host-release"))
WINDOWS_BUILD = Path(os.environ.get("LUMARO_WINDOWS_BUILD", REPO / "build/windows"))
PACK = HOST_BUILD / "tools/pack/lmr-pack"
KIT_BUILD_TIMEOUT_S = 1800


def copy_tree(dest):
    """This work tree as a fresh clone would have it: no build output, no git."""
    top = {"build", ".git"}
    shutil.copytree(REPO, dest, symlinks=True,
                    ignore=lambda d, names: [n for n in names
                                             if (Path(d) == REPO and n in top) or n == "__pycache__"])


def run(args, cwd=None):
    proc = subprocess.run([str(a) for a in args], cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=KIT_BUILD_TIMEOUT_S)
    if proc.returncode != 0:
        raise AssertionError(f"{' '.join(map(str, args))} failed ({proc.returncode}):\n"
                             f"{proc.stdout.decode('utf-8', 'replace')[-4000:]}")


def build_kit(tree):
    run(["cmake", "--preset", "windows"], cwd=tree)
    run(["cmake", "--build", "--preset", "windows", "-j2", "--target", "lumaro_link_kit"], cwd=tree)
    return tree / "build/windows/lumaro-link"


def make_app(app):
    """Several LZMS chunks of mixed content, a folder and a non-ASCII name."""
    rng = random.Random(11)
    (app / "lib" / "dữ liệu").mkdir(parents=True)
    (app / "node.exe").write_bytes(b"MZ" + bytes(rng.getrandbits(8) for _ in range(400_000)))
    words = [bytes(rng.choices(b"abcdefghij ", k=rng.randrange(3, 12))) for _ in range(500)]
    (app / "lib" / "big.js").write_bytes(b" ".join(rng.choice(words) for _ in range(400_000)))
    (app / "lib" / "dữ liệu" / "bảng.json").write_text('{"xin": "chào"}\n', encoding="utf-8")
    (app / "home.mjs").write_text("import './lib/big.js';\n")


def set_times(root, when):
    for path in [root, *root.rglob("*")]:
        os.utime(path, (when, when), follow_symlinks=False)


def pe_header(image):
    """(TimeDateStamp, debug directory size) of a PE32+ image."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise AssertionError("not a PE image")
    timestamp = struct.unpack_from("<I", image, pe + 8)[0]
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x20B:
        raise AssertionError("not PE32+")
    debug_size = struct.unpack_from("<I", image, optional + 112 + 6 * 8 + 4)[0]
    return timestamp, debug_size


@unittest.skipUnless(PACK.exists() and shutil.which("cmake"), "host-release lmr-pack not built")
class ReproducibleBuildTests(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="lumaro-repro-")
        root = Path(cls.tmp.name)
        cls.trees = [root / "one" / "lumaro", root / "a second clone, further away" / "src"]
        cls.apps = [root / "app", root / "elsewhere" / "Ứng dụng"]
        links = []
        for tree in cls.trees:
            copy_tree(tree)
            links.append(build_kit(tree))
        make_app(cls.apps[0])
        shutil.copytree(cls.apps[0], cls.apps[1])
        set_times(cls.apps[0], 1_000_000_000)
        set_times(cls.apps[1], 1_700_000_000)
        cls.exes = []
        # Small chunks, so that the two thread counts really split the work;
        # the default chunk size follows the archive's size alone.
        for n, (app, link) in enumerate(zip(cls.apps, links), start=1):
            out = root / f"out{n}"
            out.mkdir()
            run([PACK, "--quiet", "--threads", str(n), "--chunk-size", "1M", "--version", "2.3.4-rc.1", app,
                 "--record", out / "record.bin", "--constants", out / "payload_constants.cpp",
                 "--version-rc", out / "version.rc", "--icon-out", out / "icon.ico", "--product-name", "Sổ Tay"])
            run([link, "--version-rc", out / "version.rc", "--icon", out / "icon.ico", out / "record.bin",
                 out / "payload_constants.cpp", out / "Lumaro.exe"])
            cls.exes.append((out / "Lumaro.exe").read_bytes())

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_two_clones_give_identical_bytes(self):
        first, second = self.exes
        if first != second:
            at = next((i for i, (a, b) in enumerate(zip(first, second)) if a != b),
                      min(len(first), len(second)))
            self.fail(f"the exes differ from byte {at} (sizes {len(first)}, {len(second)})")

    def test_exe_carries_no_path_and_no_time(self):
        image = self.exes[0]
        for path in [*self.trees, *self.apps, REPO, Path(self.tmp.name)]:
            for encoding in ("utf-8", "utf-16-le"):
                self.assertNotIn(str(path).encode(encoding), image, f"{path} ({encoding})")
        timestamp, debug_size = pe_header(image)
        self.assertEqual(timestamp, 0, "link time in the PE header")
        self.assertEqual(debug_size, 0, "a debug directory")


@unittest.skipUnless((WINDOWS_BUILD / "assets/Lumaro.exe").exists(), "windows build not there")
class LinkRouteTests(unittest.TestCase):

    def test_lumaro_link_and_cmake_give_the_same_exe(self):
        payload = WINDOWS_BUILD / "assets/lumaro_exe.payload"
        with tempfile.TemporaryDirectory(prefix="lumaro-relink-") as tmp:
            out = Path(tmp) / "Lumaro.exe"
            run([WINDOWS_BUILD / "lumaro-link", "--version-rc", payload / "version.rc", "--icon", payload / "icon.ico",
                 payload / "record.bin", payload / "payload_constants.cpp", out])
            self.assertEqual(out.read_bytes(), (WINDOWS_BUILD / "assets/Lumaro.exe").read_bytes())


if __name__ == "__main__":
    unittest.main()

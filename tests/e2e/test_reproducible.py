"""Reproducible launchers: two copies of this tree at different paths, each
with its own launcher kit, turn one app folder (copied to two paths with other
file times, packed with different thread counts) into byte-identical exes that
carry no path of the machine and no link time. Needs no Wine."""
import os
import random
import shutil
import tempfile
import unittest
from pathlib import Path

from lmr import REPO, image
from lmr.build import Kit
from lmr.proc import checked

KIT = Kit()
PACK, WINDOWS_BUILD = KIT.pack_tool, KIT.windows_build
KIT_BUILD_TIMEOUT_S = 1800


def copy_tree(dest: Path) -> None:
    """This work tree as a fresh clone would have it: no build output, no git."""
    top = {"build", ".git"}
    shutil.copytree(REPO, dest, symlinks=True,
                    ignore=lambda d, names: [n for n in names
                                             if (Path(d) == REPO and n in top) or n == "__pycache__"])


def build_kit(tree: Path) -> Kit:
    checked(["cmake", "--preset", "windows"], KIT_BUILD_TIMEOUT_S, cwd=tree)
    checked(["cmake", "--build", "--preset", "windows", "-j2", "--target", "lumaro_link_kit"], KIT_BUILD_TIMEOUT_S,
            cwd=tree)
    return Kit(KIT.host_build, tree / "build/windows")


def make_app(app: Path) -> None:
    """Several LZMS chunks of mixed content, a folder and a non-ASCII name."""
    rng = random.Random(11)
    (app / "lib" / "dữ liệu").mkdir(parents=True)
    (app / "node.exe").write_bytes(b"MZ" + bytes(rng.getrandbits(8) for _ in range(400_000)))
    words = [bytes(rng.choices(b"abcdefghij ", k=rng.randrange(3, 12))) for _ in range(500)]
    (app / "lib" / "big.js").write_bytes(b" ".join(rng.choice(words) for _ in range(400_000)))
    (app / "lib" / "dữ liệu" / "bảng.json").write_text('{"xin": "chào"}\n', encoding="utf-8")
    (app / "home.mjs").write_text("import './lib/big.js';\n")


def set_times(root: Path, when: int) -> None:
    for path in [root, *root.rglob("*")]:
        os.utime(path, (when, when), follow_symlinks=False)


@unittest.skipUnless(PACK.exists() and shutil.which("cmake"), "host-release lmr-pack not built")
class ReproducibleBuildTests(unittest.TestCase):
    tmp: tempfile.TemporaryDirectory[str]
    trees: list[Path]
    apps: list[Path]
    exes: list[bytes]

    @classmethod
    def setUpClass(cls) -> None:
        cls.tmp = tempfile.TemporaryDirectory(prefix="lumaro-repro-")
        root = Path(cls.tmp.name)
        cls.trees = [root / "one" / "lumaro", root / "a second clone, further away" / "src"]
        cls.apps = [root / "app", root / "elsewhere" / "Ứng dụng"]
        kits = []
        for tree in cls.trees:
            copy_tree(tree)
            kits.append(build_kit(tree))
        make_app(cls.apps[0])
        shutil.copytree(cls.apps[0], cls.apps[1])
        set_times(cls.apps[0], 1_000_000_000)
        set_times(cls.apps[1], 1_700_000_000)
        cls.exes = []
        # Small chunks, so that the two thread counts really split the work;
        # the default chunk size follows the archive's size alone.
        for n, (app, kit) in enumerate(zip(cls.apps, kits), start=1):
            exe = kit.launcher(app, root / f"out{n}" / "Lumaro.exe",
                               ["--quiet", "--threads", str(n), "--chunk-size", "1M", "--version", "2.3.4-rc.1",
                                "--product-name", "Sổ Tay"], version_rc=True)
            cls.exes.append(exe.read_bytes())

    @classmethod
    def tearDownClass(cls) -> None:
        cls.tmp.cleanup()

    def test_two_clones_give_identical_bytes(self) -> None:
        first, second = self.exes
        if first != second:
            at = next((i for i, (a, b) in enumerate(zip(first, second)) if a != b),
                      min(len(first), len(second)))
            self.fail(f"the exes differ from byte {at} (sizes {len(first)}, {len(second)})")

    def test_exe_carries_no_path_and_no_time(self) -> None:
        data = self.exes[0]
        for path in [*self.trees, *self.apps, REPO, Path(self.tmp.name)]:
            for encoding in ("utf-8", "utf-16-le"):
                self.assertNotIn(str(path).encode(encoding), data, f"{path} ({encoding})")
        pe = image.pe(data)
        self.assertEqual(pe.OPTIONAL_HEADER.Magic, 0x20B, "not PE32+")
        self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0, "link time in the PE header")
        self.assertEqual(pe.OPTIONAL_HEADER.DATA_DIRECTORY[6].Size, 0, "a debug directory")


@unittest.skipUnless((WINDOWS_BUILD / "assets/Lumaro.exe").exists(), "windows build not there")
class LinkRouteTests(unittest.TestCase):

    def test_lumaro_link_and_cmake_give_the_same_exe(self) -> None:
        payload = WINDOWS_BUILD / "assets/lumaro_exe.payload"
        with tempfile.TemporaryDirectory(prefix="lumaro-relink-") as tmp:
            out = KIT.link(payload / "record.bin", payload / "payload_constants.cpp", Path(tmp) / "Lumaro.exe",
                           payload / "version.rc")
            self.assertEqual(out.read_bytes(), (WINDOWS_BUILD / "assets/Lumaro.exe").read_bytes())


if __name__ == "__main__":
    unittest.main()

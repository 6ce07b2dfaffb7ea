"""A vendor's own CMake project, as docs/packing-and-signing.md shows it: add_subdirectory of
this repository, then lumaro_add_launcher(... PACK_TOOL path). It configures
without LUMARO_PACK_TOOL, builds neither our sample app nor our tests, and
links a launcher that carries exactly the vendor's folder, with the release's
version and a node.exe kept outside it; every identity value reaches the exe
byte for byte, a ";" in it included."""
import os
import subprocess
import tempfile
import unittest
from pathlib import Path

import pefile

from lmr import REPO
from lmr.build import Kit
from lmr.e2e.services import consumer_project
from lmr.proc import checked

PACK, INSPECT = Kit().pack_tool, Kit().inspect_tool
BUILD_TIMEOUT_S = 900
# Each would lose its tail, or give lmr-pack options of its own, if a ";"
# split it or "$<" were read as a generator expression.
COPYRIGHT = "© 2026 Acme; all rights reserved"
DESCRIPTION = 'Notes;--data-folder;Evil $<1:x> "q" \\'


def version_strings(exe: Path) -> dict[str, str]:
    pe = pefile.PE(str(exe))
    try:
        return {k.decode(): v.decode("utf-8") for info in pe.FileInfo[0] if hasattr(info, "StringTable")
                for table in info.StringTable for k, v in table.entries.items()}
    finally:
        pe.close()


def cmake_quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("$", "\\$") + '"'


@unittest.skipUnless(PACK.exists() and INSPECT.exists(), "host-release lmr-pack or lmr-inspect not built")
class CMakeConsumerTests(unittest.TestCase):

    def test_a_subproject_builds_the_vendors_launcher_and_nothing_of_ours(self) -> None:
        with tempfile.TemporaryDirectory(prefix="lumaro-consumer-") as tmp:
            root = Path(tmp)
            app = root / "app"
            (app / "lib").mkdir(parents=True)
            node = root / "downloads" / "node.exe"
            node.parent.mkdir()
            node.write_bytes(b"MZ" + bytes(range(256)) * 64)
            (app / "home.mjs").write_text("import './lib/x.js';\n")
            (app / "lib" / "x.js").write_text("export const x = 1;\n")
            (root / "CMakeLists.txt").write_text(encoding="utf-8", data=consumer_project(
                f"lumaro_add_launcher(vendor_exe APP_DIR {app} OUTPUT_NAME Vendor PACK_TOOL {PACK}\n"
                f"                    VERSION 2.3.4-beta.1 NODE_EXE {node}\n"
                f'                    PRODUCT_NAME "Vendor Sổ" DATA_FOLDER VendorData\n'
                f'                    COPYRIGHT {cmake_quoted(COPYRIGHT)} DESCRIPTION {cmake_quoted(DESCRIPTION)}\n'
                f'                    MUTEX_NAME "Local\\\\Vendor.One")'))
            build = root / "build"
            env = dict(os.environ)
            env.pop("LUMARO_PACK_TOOL", None)
            checked(["cmake", "-S", root, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=MinSizeRel",
                     f"-DCMAKE_TOOLCHAIN_FILE={REPO}/cmake/mingw-w64-x86_64.cmake"], BUILD_TIMEOUT_S, env=env)
            targets = checked(["cmake", "--build", build, "--target", "help"], BUILD_TIMEOUT_S).decode()
            for ours in ("lumaro_exe", "lmr_runtime_install_test", "lmr_sample_node", "lmr-runner", "gtest"):
                self.assertNotIn(ours + ":", targets, f"the subproject builds {ours}")
            checked(["cmake", "--build", build, "-j2", "--target", "vendor_exe"], BUILD_TIMEOUT_S)
            listing = checked([INSPECT, build / "Vendor.exe", "--list"], BUILD_TIMEOUT_S).decode()
            self.assertIn("payload: intact", listing)
            # home.mjs, lib/x.js, node.exe, and the release file its version gives.
            self.assertIn("files: 4", listing)
            self.assertIn('file: 26 .lumaro/release.json', listing)
            self.assertIn("lib/x.js", listing)
            self.assertIn(f"file: {node.stat().st_size} node.exe", listing)
            self.assertIn("version: 2.3.4-beta.1 (2.3.4.0)", listing)
            self.assertIn("product: Vendor Sổ\ncompany: Vendor Sổ\ndata-folder: VendorData\n"
                          "mutex-name: Local\\Vendor.One\nwindow-title: Vendor Sổ\n", listing)
            strings = version_strings(build / "Vendor.exe")
            self.assertEqual((strings["LegalCopyright"], strings["FileDescription"]), (COPYRIGHT, DESCRIPTION))

    def test_an_unknown_argument_stops_the_configure(self) -> None:
        with tempfile.TemporaryDirectory(prefix="lumaro-consumer-") as tmp:
            root = Path(tmp)
            (root / "CMakeLists.txt").write_text(encoding="utf-8", data=consumer_project(
                f"lumaro_add_launcher(vendor_exe APP_DIR {root} PACK_TOOL {PACK} PRODUCT_NAME Vendor COPYRIGTH x)"))
            proc = subprocess.run(["cmake", "-S", root, "-B", root / "build", "-G", "Ninja",
                                   f"-DCMAKE_TOOLCHAIN_FILE={REPO}/cmake/mingw-w64-x86_64.cmake"],
                                  capture_output=True, text=True, timeout=BUILD_TIMEOUT_S)
            self.assertEqual(proc.returncode, 1, proc.stderr)
            self.assertIn("lumaro_add_launcher(vendor_exe): unknown arguments: COPYRIGTH;x", proc.stderr)


if __name__ == "__main__":
    unittest.main()

"""Each exe its own product: the identity stamped at pack time decides the
data folder, the guard, the window a second launch looks for and the dialog's
caption, while a plain pack keeps Lumaro's own values; a bad setting writes no
exe."""
import json
import os
import struct
from collections.abc import Sequence
from pathlib import Path

import pefile

from lmr import REPO
from lmr.e2e import apps, windows
from lmr.e2e.session import INVALID_PACKAGE, MUTEX_NAME, WINDOW_TITLE, LauncherTestCase, lumaro
from lmr.e2e.windows import Window
from lmr.proc import Arg
from lmr.wine.calls import PathLike, win_path
from lmr.wine.launch import DIALOG_CAPTION_PREFIX, Runner, runner_exit, start_runner

LUMARO_ICON = REPO / "assets" / "lumaro.ico"


def version_strings(exe: str) -> dict[str, str]:
    pe = pefile.PE(exe)
    try:
        return {k.decode(): v.decode("utf-8") for info in pe.FileInfo[0] if hasattr(info, "StringTable")
                for table in info.StringTable for k, v in table.entries.items()}
    finally:
        pe.close()


def icon_images(exe: str) -> list[bytes]:
    """The RT_ICON resources' bytes, in id order."""
    pe = pefile.PE(exe)
    try:
        icons = next(e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == 3)
        images = []
        for entry in sorted(icons.directory.entries, key=lambda e: e.id):
            data = entry.directory.entries[0].data.struct
            images.append(bytes(pe.get_data(data.OffsetToData, data.Size)))
        return images
    finally:
        pe.close()


def ico_images(path: PathLike) -> list[bytes]:
    ico = Path(path).read_bytes()
    count = struct.unpack_from("<H", ico, 4)[0]
    images = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", ico, 6 + 16 * i + 8)
        images.append(ico[offset:offset + size])
    return images


def identity_block_at(exe: bytes, product_name: str) -> int:
    """Offset of the one identity block whose first field is product_name:
    "LMRI", its u32 size, then the field's u16 byte count and bytes."""
    field = struct.pack("<H", len(product_name.encode())) + product_name.encode()
    hits, at = [], exe.find(b"LMRI")
    while at >= 0:
        if exe.startswith(field, at + 8):
            hits.append(at)
        at = exe.find(b"LMRI", at + 1)
    if len(hits) != 1:
        raise AssertionError(f"{len(hits)} identity blocks of {product_name!r}")
    return hits[0]


class IdentityTests(LauncherTestCase):

    def pack(self, app: str, name: str, options: Sequence[Arg] = ()) -> str:
        """lmr-pack with the exe's resource script and icon, then lumaro-link, as ./lumaro pack does."""
        self.s.require_kit()
        exe = os.path.join(self.case, name, name + ".exe")
        return str(self.s.kit.launcher(app, exe, ["--quiet", "--exe-name", name + ".exe", *options], version_rc=True))

    def start_product(self, exe: str, local: str, title: str, state: str = "normal") -> tuple[Runner, Window]:
        """Starts exe with its app showing a window titled title until stopped;
        the runner and the window, once it is up."""
        window = windows.app_window(self, self.s, state, title)
        runner = start_runner(self.s, exe, cwd=self.case, set_env={
            "LOCALAPPDATA": win_path(local), **apps.node_env(exec_line=window.command_line())})
        self.assertTrue(window.wait(lambda s: True, 60), f"{exe}'s app never showed its window")
        return runner, window

    def test_plain_pack_keeps_lumaros_identity(self) -> None:
        exe = self.pack(self.s.make_app(), "Lumaro")
        strings = version_strings(exe)
        self.assertEqual({k: strings[k] for k in ("CompanyName", "FileDescription", "ProductName", "InternalName",
                                                  "OriginalFilename")},
                         {"CompanyName": "Lumaro", "FileDescription": "Lumaro", "ProductName": "Lumaro",
                          "InternalName": "Lumaro", "OriginalFilename": "Lumaro.exe"})
        self.assertNotIn("LegalCopyright", strings)
        self.assertEqual(icon_images(exe), ico_images(LUMARO_ICON))
        local = os.path.join(self.case, "Local")
        runner, window = self.start_product(exe, local, WINDOW_TITLE)
        self.assertEqual(windows.mutex_state(self.s, MUTEX_NAME), "existed")
        window.stop()
        self.assertEqual(runner_exit(runner)[0], 0)
        self.assertEqual(os.listdir(local), ["Lumaro"])

    def test_two_products_run_at_once_each_in_its_own_folder(self) -> None:
        sotay_json = json.dumps({"productName": "Sổ Tay", "lumaro": {"dataFolder": "SoTay"}})
        sotay = self.pack(self.s.make_app({"package.json": sotay_json}), "SoTay")
        sotay_again = self.pack(self.s.make_app({"package.json": sotay_json, "second.txt": "another build"}),
                                "SoTay2")
        bep_icon = os.path.join(self.case, "bep.ico")
        ico = bytearray(LUMARO_ICON.read_bytes())
        struct.pack_into("<H", ico, 4, 1)  # only the first image: an icon of its own
        with open(bep_icon, "wb") as f:
            f.write(ico)
        bep = self.pack(self.s.make_app(), "Bep", ["--product-name", "Bếp", "--data-folder", "Bep",
                                                   "--window-title", "Bếp · Nhà", "--icon", bep_icon])
        self.assertEqual(icon_images(bep), ico_images(bep_icon))
        self.assertNotEqual(apps.build_id_of(sotay), apps.build_id_of(sotay_again))
        local = os.path.join(self.case, "Local")

        first, first_window = self.start_product(sotay, local, "Sổ Tay")
        second, second_window = self.start_product(bep, local, "Bếp · Nhà")
        # Each guard is its folder's name as Windows compares folder names.
        self.assertEqual(windows.mutex_state(self.s, "Local\\SOTAY.Desktop"), "existed")
        self.assertEqual(windows.mutex_state(self.s, "Local\\BEP.Desktop"), "existed")
        # Another build of the first product meets its guard: out at once, its app never started.
        record = os.path.join(self.case, "again.txt")
        again = apps.launch(self.s, sotay_again, local, cwd=self.case, set_env=apps.node_env(record=record))
        self.assertCleanSuccess(again)
        self.assertFalse(os.path.exists(record), "the second build ran its app")
        for window in (first_window, second_window):
            window.stop()
        self.assertEqual(runner_exit(first)[0], 0)
        self.assertEqual(runner_exit(second)[0], 0)
        self.assertEqual(sorted(os.listdir(local)), ["Bep", "SoTay"])
        for exe, folder in ((sotay, "SoTay"), (bep, "Bep")):
            self.assertEqual(sorted(os.listdir(os.path.join(local, folder))),
                             ["runtime-" + apps.build_id_of(exe), "startup.log"])

        failed = apps.launch(self.s, bep, local, cwd=self.case, set_env=apps.node_env(exit=3, stderr="hỏng"))
        self.assertEqual(failed.exit_code, 1)
        assert failed.dialog is not None
        self.assertEqual(failed.dialog["caption"], DIALOG_CAPTION_PREFIX + "Bếp")
        self.assertEqual(failed.dialog["text"], "hỏng")

    def test_a_second_launch_brings_the_products_own_window_to_the_front(self) -> None:
        title = "Sổ Tay · Ghi chép"
        exe = self.pack(self.s.make_app(), "SoTay", ["--product-name", "Sổ Tay", "--data-folder", "SoTay",
                                                     "--window-title", title])
        local = os.path.join(self.case, "Local")
        lumaros = windows.start_window(self, self.s, "minimized", WINDOW_TITLE)
        runner, own = self.start_product(exe, local, title, "minimized")
        for window in (lumaros, own):
            self.assertTrue(window.wait(lambda s: s["iconic"], 30), "a window never came up minimised")
        record = os.path.join(self.case, "again.txt")
        again = apps.launch(self.s, exe, local, cwd=self.case, set_env=apps.node_env(record=record))
        self.assertCleanSuccess(again)
        self.assertFalse(os.path.exists(record), "the second launch ran its app")
        self.assertTrue(own.activated(10), f"the product's window was not brought back: {own.state()}")
        self.assertTrue(lumaros.state()["iconic"], "Lumaro's window was restored instead")
        own.stop()
        self.assertEqual(runner_exit(runner)[0], 0)

    def test_a_damaged_identity_block_ends_in_lumaros_error_dialog(self) -> None:
        exe = self.pack(self.s.make_app(), "SoTay", ["--product-name", "Sổ Tay", "--data-folder", "SoTay"])
        image = Path(exe).read_bytes()
        at = identity_block_at(image, "Sổ Tay")
        size = struct.unpack_from("<I", image, at + 4)[0]
        damages = {"its first field emptied": (at + 8, struct.pack("<H", 0)),
                   "its size past its end": (at + 4, struct.pack("<I", size + 1))}
        for label, (offset, patch) in damages.items():
            with self.subTest(label):
                damaged = os.path.join(self.case, self.s.unique("damaged"), "SoTay.exe")
                os.makedirs(os.path.dirname(damaged))
                Path(damaged).write_bytes(image[:offset] + patch + image[offset + len(patch):])
                local = os.path.join(self.case, self.s.unique("Local"))
                os.mkdir(local)
                result = apps.launch(self.s, damaged, local, cwd=self.case)
                # The product's own name went with the block: the caption is Lumaro's.
                self.assertDialog(result, INVALID_PACKAGE)
                self.assertEqual(os.listdir(local), [], "a launcher without its identity made a folder")

    def test_a_refused_setting_writes_no_exe(self) -> None:
        out = os.path.join(self.case, "Out.exe")
        proc = lumaro("pack", self.s.make_app(), "-o", out, "--data-folder", "CON")
        self.assertEqual(proc.returncode, 2, proc.stderr)
        self.assertIn('--data-folder "CON" cannot be used', proc.stderr)
        self.assertFalse(os.path.exists(out))

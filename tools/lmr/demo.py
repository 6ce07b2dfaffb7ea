"""The Lumaro demo: a launcher around a real Node.js app, run under Wine.

Builds the demo app (the official node.exe for Windows, from lmr.node_win,
plus demo/app/home.mjs), packs it into Lumaro.exe, and runs it twice under
Wine: a first launch that installs and a warm launch. Then shows the failure
path with an app that throws, and saves a screenshot of that dialog. Exits 1
when any step does not turn out as it should, saying which.

    python3 -m lmr.demo --windows-build DIR --host-build DIR --prefix DIR [--no-screenshot]
"""
import argparse
import json
import os
import re
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path
from types import TracebackType
from typing import Optional

from lmr import REPO as ROOT, node_win
from lmr.build import Kit
from lmr.proc import Arg, ToolError, bounded
from lmr.text import heading
from lmr.wine.launch import DIALOG_CAPTION as CAPTION, Dialog, DialogReader, launch, runner_exit, start_runner
from lmr.wine.prefix import make_prefix
from lmr.wine.session import Session

GREETING = "Xin chào từ Lumaro!"

# Generous ceilings; a passing run never waits for them.
LAUNCH_TIMEOUT_S = 300
DIALOG_TIMEOUT_S = 120
STEP_TIMEOUT_S = 900  # packing, linking, making a prefix

# Wine's virtual desktop for the screenshot, and how much of it shows around the dialog.
DESKTOP = (800, 600)
MARGIN = 16

# The demo user's profile lives inside the prefix: the failing app's error
# output names its own file, and the dialog should not show where this
# machine keeps its build.
USER_DIR = "Demo"
LOCAL_APP_DATA = rf"C:\users\{USER_DIR}\AppData\Local"

# What the failing app says when the stand-in node, which runs no JavaScript,
# takes the place of Node.js, and what tells the stand-in to say it.
STAND_IN_ERROR = "SyntaxError: Expected ',' or '}' after property value in JSON at position 14\n"
STAND_IN_FAILURE = {"FAKE_NODE_EXIT": "1", "FAKE_NODE_STDERR_HEX": STAND_IN_ERROR.encode().hex()}


class DemoFailed(Exception):
    pass


def say(text: str) -> None:
    heading(text, sys.stdout)


def step(args: list[Arg], what: str, timeout_s: float = STEP_TIMEOUT_S) -> None:
    """Runs a build-side step to its end; fails the demo when it fails."""
    status = bounded(args, timeout_s, what=what, stdout=None, stderr=None)
    if status != 0:
        raise DemoFailed(f"{what} failed with exit status {status}")


class Wine(Session):
    """The demo's Windows programs in one prefix, its user's LOCALAPPDATA inside it."""

    def __init__(self, prefix: Path, tools: Path, logs: Path, display: Optional[str] = None) -> None:
        super().__init__(prefix, tools, logs=logs, display=display)
        self.local = self.prefix / "drive_c" / "users" / USER_DIR / "AppData" / "Local"

    def start_server(self, cabinet: Path, x11: bool = False, desktop: Optional[str] = None) -> None:
        # A server left over from an earlier run may serve a changed prefix;
        # the session ends it first.
        try:
            make_prefix(self.prefix, cabinet=cabinet, x11=x11, desktop=desktop, display=self.display)
            self.start()
        except ToolError as e:
            raise DemoFailed(str(e)) from None
        shutil.rmtree(self.prefix / "drive_c" / "users" / USER_DIR, ignore_errors=True)
        self.local.mkdir(parents=True)

    def launch_app(self, exe: Path, env: Optional[dict[str, str]] = None) -> tuple[int, float, Optional[Dialog]]:
        """Runs exe to its end with a reader that reads and closes the error
        dialog, if one comes; returns (exit code, seconds, dialog or None)."""
        result = launch(self, exe, set_env={"LOCALAPPDATA": LOCAL_APP_DATA, **(env or {})}, timeout_s=LAUNCH_TIMEOUT_S)
        if result.exit_code is None:
            raise DemoFailed(f"lmr-runner reported no exit code: {result.report}")
        return result.exit_code, result.seconds, result.dialog


class Xvfb:
    """A private X display; Xvfb picks a free number itself."""

    def __enter__(self) -> str:
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            ready, _, _ = select.select([numbers], [], [], 30)
            number = numbers.readline().strip() if ready else ""
        if not number:
            self.__exit__()
            raise DemoFailed("Xvfb did not report a display within 30 s")
        return f":{number}"

    def __exit__(self, kind: Optional[type[BaseException]] = None, value: Optional[BaseException] = None,
                 trace: Optional[TracebackType] = None) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def pack(args: argparse.Namespace, app: Path, out: Path) -> float:
    """Builds out around app; the seconds it took."""
    started = time.monotonic()
    try:
        Kit(args.host_build, args.windows_build).launcher(app, out, ["--level", str(args.level)] if args.level else [])
    except ToolError as e:
        raise DemoFailed(str(e)) from None
    return time.monotonic() - started


def make_app(folder: Path, node: Path, home: Path) -> None:
    folder.mkdir(parents=True)
    shutil.copyfile(node, folder / "node.exe")
    shutil.copyfile(home, folder / "home.mjs")


def show_tree(root: Path) -> None:
    for path in sorted(Path(root).rglob("*")):
        rel = path.relative_to(root)
        if len(rel.parts) > 2:
            continue
        size = "" if path.is_dir() else f"  {path.stat().st_size:,} bytes"
        print(f"    {rel}{'/' if path.is_dir() else ''}{size}")


def startup_log(data_root: Path) -> str:
    log = data_root / "startup.log"
    return log.read_text(encoding="utf-8", errors="replace") if log.exists() else "(no startup.log)"


def expect_clean(what: str, code: int, dialog: Optional[Dialog], data_root: Path) -> None:
    if dialog is not None:
        raise DemoFailed(f"{what}: the error dialog came up: {dialog.get('text')!r}")
    if code != 0:
        raise DemoFailed(f"{what} ended with exit code {code}; startup.log: {startup_log(data_root)}")


def check_greeting(data_root: Path) -> None:
    greeting = data_root / "greeting.json"
    if not greeting.exists():
        raise DemoFailed(f"the app wrote no greeting.json; startup.log: {startup_log(data_root)}")
    text = greeting.read_text(encoding="utf-8")
    print("  greeting.json written by the app:")
    print("    " + text.rstrip("\n").replace("\n", "\n    "))
    content = json.loads(text)
    if content.get("greeting") != GREETING or content.get("argv", [])[-1:] != ["--desktop"]:
        raise DemoFailed(f"greeting.json is not what the app writes: {text}")


def check_failure_dialog(code: int, dialog: Optional[Dialog], stand_in: bool) -> None:
    if dialog is None:
        raise DemoFailed(f"the failing app showed no error dialog (exit code {code})")
    text = dialog["text"] or ""
    print(f"  exit {code}; the dialog said:")
    print(f"    caption: {dialog['caption']}")
    print("    " + text.rstrip("\r\n").replace("\r\n", "\n").replace("\n", "\n    "))
    if code != 1 or dialog["caption"] != CAPTION:
        raise DemoFailed(f"the failure path ended with {code} and caption {dialog['caption']!r}")
    if stand_in:
        if text != STAND_IN_ERROR:
            raise DemoFailed(f"the dialog does not show the app's error output: {text!r}")
    elif "SyntaxError" not in text or "Z:" in text:
        raise DemoFailed("the dialog should show Node.js's SyntaxError and no path of this machine")


def screenshot(args: argparse.Namespace, exe: Path, work: Path, out_png: Path) -> None:
    """The failure dialog with its title bar: Xvfb, the X11 driver and Wine's
    own virtual desktop, in a prefix of its own."""
    if not all(shutil.which(tool) for tool in ("Xvfb", "import", "convert")):
        print("  (Xvfb or ImageMagick missing: no screenshot)")
        return
    with Xvfb() as display:
        wine = Wine(args.x11_prefix, args.tools, work / "logs" / "x11", display=display)
        wine.start_server(args.cabinet, x11=True, desktop=f"{DESKTOP[0]}x{DESKTOP[1]}")
        try:
            peek = DialogReader(wine, press=False, timeout_s=DIALOG_TIMEOUT_S)
            launcher = start_runner(wine, exe, set_env={"LOCALAPPDATA": LOCAL_APP_DATA}, timeout_s=LAUNCH_TIMEOUT_S)
            if peek.wait_found() is None:
                launcher.kill()
                raise DemoFailed("the dialog did not come up on the X display")
            time.sleep(1.5)  # let it paint
            x, y, width, height = dialog_box(display, work / "x11-desktop.png")
            out_png.parent.mkdir(parents=True, exist_ok=True)
            grab(display, out_png, (x - MARGIN, y - MARGIN, width + 2 * MARGIN, height + 2 * MARGIN))
            DialogReader(wine, timeout_s=10).wait_found()
            code, report = runner_exit(launcher, LAUNCH_TIMEOUT_S + 60)
            if code != 1:
                raise DemoFailed(f"the launcher on the X display ended with {code}, not 1: {report}")
        finally:
            wine.close()
    print(f"  saved {out_png}")


def grab(display: str, out_png: Path, box: tuple[int, int, int, int]) -> None:
    x, y, width, height = box
    step(["import", "-display", display, "-window", "root", "-crop", f"{width}x{height}+{x}+{y}", "+repage", out_png],
         "import (screenshot)", timeout_s=120)


def dialog_box(display: str, scratch_png: Path) -> tuple[int, int, int, int]:
    """Where the dialog is: the part of the desktop that is not its plain background."""
    grab(display, scratch_png, (0, 0, *DESKTOP))
    proc = subprocess.run(["convert", str(scratch_png), "-format", "%@", "info:"], capture_output=True,
                          text=True, timeout=120)
    found = re.fullmatch(r"(\d+)x(\d+)\+(\d+)\+(\d+)", proc.stdout.strip())
    if proc.returncode != 0 or not found:
        raise DemoFailed(f"cannot find the dialog on the desktop: {proc.stdout} {proc.stderr}")
    width, height, x, y = (int(n) for n in found.groups())
    if width >= DESKTOP[0] or height >= DESKTOP[1]:
        raise DemoFailed(f"the dialog fills the whole desktop ({width}x{height})")
    return x, y, width, height


def run(args: argparse.Namespace) -> None:
    work = args.work
    shutil.rmtree(work, ignore_errors=True)
    (work / "logs").mkdir(parents=True)
    if args.stand_in_node:
        node, stand_in = args.stand_in_node, True
        say(f"Using the stand-in {node} for node.exe: the apps' JavaScript does not run")
    else:
        try:
            node, stand_in = node_win.node_exe(args.cache, log=print), False
        except node_win.FetchError as e:
            raise DemoFailed(f"no node.exe: {e}") from None

    say("Packing the demo app (node.exe + home.mjs) into Lumaro.exe")
    make_app(work / "app", node, ROOT / "demo/app/home.mjs")
    exe = work / "dist" / "Lumaro.exe"
    seconds = pack(args, work / "app", exe)
    shutil.copyfile(ROOT / "demo/device.local.json", exe.parent / "device.local.json")
    print(f"  {exe}: {exe.stat().st_size:,} bytes, packed in {seconds:.1f} s")

    wine = Wine(args.prefix, args.tools, work / "logs")
    wine.start_server(args.cabinet)
    try:
        data_root = wine.local / "Lumaro"
        say("First launch: installs the runtime, seeds the device file, runs the app")
        code, first, dialog = wine.launch_app(exe)
        print(f"  exit {code} after {first:.2f} s")
        show_tree(data_root)
        expect_clean("the first launch", code, dialog, data_root)
        if not list(data_root.glob("runtime-*/ready")):
            raise DemoFailed("the first launch left no complete runtime")
        if not stand_in:
            check_greeting(data_root)

        say("Warm launch: the runtime is complete, so nothing is unpacked")
        code, warm, dialog = wine.launch_app(exe)
        print(f"  exit {code} after {warm:.2f} s (first launch {first:.2f} s)")
        expect_clean("the warm launch", code, dialog, data_root)

        say("Failure path: an app that throws while starting")
        make_app(work / "failing-app", node, ROOT / "demo/failing-app/home.mjs")
        bad_exe = work / "failing" / "Lumaro.exe"
        pack(args, work / "failing-app", bad_exe)
        code, _, dialog = wine.launch_app(bad_exe, STAND_IN_FAILURE if stand_in else None)
        check_failure_dialog(code, dialog, stand_in)
    finally:
        wine.close()

    if not args.no_screenshot:
        say("Screenshot of the dialog (Xvfb, X11 driver, Wine's virtual desktop)")
        screenshot(args, bad_exe, work, args.screenshot)


def main() -> int:
    parser = argparse.ArgumentParser(prog="python3 -m lmr.demo", description=__doc__.splitlines()[0])
    parser.add_argument("--windows-build", type=Path, required=True)
    parser.add_argument("--host-build", type=Path, required=True)
    parser.add_argument("--prefix", type=Path, required=True,
                        help="Wine prefix for the demo (made when missing)")
    parser.add_argument("--x11-prefix", type=Path,
                        help="Wine prefix for the screenshot (default: PREFIX-x11)")
    parser.add_argument("--work", type=Path, help="scratch folder (default: WINDOWS_BUILD/../demo)")
    parser.add_argument("--cache", type=Path, default=node_win.DEFAULT_CACHE,
                        help="where the downloaded node.exe is kept (default %(default)s)")
    parser.add_argument("--stand-in-node", type=Path,
                        help="a node.exe that runs no JavaScript (the tests' recording_node.exe), "
                             "for runs without the network")
    parser.add_argument("--level", type=int, help="lmr-pack's compression level (default: its own)")
    parser.add_argument("--no-screenshot", action="store_true")
    parser.add_argument("--screenshot", type=Path, default=ROOT / "docs/error-dialog.png",
                        help="where the screenshot goes (default %(default)s)")
    args = parser.parse_args()
    args.windows_build = args.windows_build.resolve()
    args.host_build = args.host_build.resolve()
    args.prefix = args.prefix.resolve()
    args.x11_prefix = (args.x11_prefix or args.prefix.with_name(args.prefix.name + "-x11")).resolve()
    args.work = (args.work or args.windows_build.parent / "demo").resolve()
    args.tools = args.windows_build / "tools/wine"
    args.cabinet = next(args.windows_build.glob("compat/**/cabinet.dll"), None)
    if args.cabinet is None or not (args.tools / "lmr-runner.exe").exists():
        sys.exit(f"lmr.demo: build the windows preset first (no cabinet.dll or lmr-runner.exe "
                 f"under {args.windows_build})")

    # Ended from outside, the driver stops its Wine servers on the way out.
    started = time.monotonic()
    try:
        run(args)
    except (DemoFailed, ToolError) as e:
        print(f"\ndemo failed: {e}", file=sys.stderr, flush=True)
        return 1
    say(f"Demo done in {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())

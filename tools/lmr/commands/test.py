"""./lumaro test [LAYER...] [--fuzz-seconds N]: builds and runs the test
layers, all five when none is named (as CI runs them, the slow native tests
included)."""
import os
import shutil
import subprocess
import sys
import time
from collections.abc import Sequence
from pathlib import Path

from lmr import REPO, build_tree
from lmr.commands import CommandParser
from lmr.exit_status import CommandError, ExitStatus
from lmr.proc import ToolError
from lmr.text import heading
from lmr.wine.prefix import make_prefix
from lmr.wine.session import start_server, stop_server

LAYERS = ("lint", "host", "windows", "e2e", "fuzz")
BUILD = build_tree.BUILD
WINE_PREFIX = BUILD / "wine-prefix"
DESCRIPTION = """Layers: lint (mypy, flake8 and shellcheck), host (native tests, ASan+UBSan),
windows (Win32 tests under Wine), e2e (scenarios under Wine, pytest), fuzz
(libFuzzer, N s per target, default 60)."""


def shell_files() -> list[Path]:
    """Every shell script of the checkout: by name, and by a shell #! line."""
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=REPO, capture_output=True, check=False).stdout
    names = [n for n in listed.decode().split("\0") if n] if listed else []
    out = []
    for name in names:
        path = REPO / name
        if not path.is_file():
            continue
        if name.endswith(".sh"):
            out.append(path)
            continue
        with open(path, "rb") as f:
            first = f.readline(200)
        if first.startswith(b"#!") and (first.rstrip().endswith((b"bash", b"/sh")) or b"env bash" in first):
            out.append(path)
    return out


def step(args: Sequence[object], what: str) -> None:
    if subprocess.run([str(a) for a in args], cwd=REPO, stdin=subprocess.DEVNULL).returncode != 0:
        raise CommandError(ExitStatus.FAILED, f"{what} failed")


def lint() -> None:
    heading("mypy, flake8 and shellcheck")
    step(["/usr/bin/mypy"], "mypy")
    step(["/usr/bin/flake8"], "flake8")
    if not shutil.which("shellcheck"):
        raise CommandError(ExitStatus.MISSING_PROGRAM, "shellcheck not found (./lumaro setup installs it)")
    step(["shellcheck", *shell_files()], "shellcheck")


def host(everything: bool) -> None:
    heading(f"host build (ASan+UBSan) and native tests ({'all' if everything else 'quick'})")
    build_tree.build([build_tree.Step("host", (), "the native tests")])
    step(["ctest", "--preset", "host-all" if everything else "host", f"-j{os.cpu_count() or 2}"], "native tests")


def fuzz(seconds: int) -> None:
    heading(f"bounded fuzzing (libFuzzer, ASan+UBSan), {seconds} s per target")
    with build_tree.tree_lock("fuzz"):
        step(["cmake", "--preset", "fuzz", f"-DLUMARO_FUZZ_SECONDS={seconds}"], "configuring the fuzz build")
    build_tree.build([build_tree.Step("fuzz", (), "the fuzz targets")])
    step(["ctest", "--preset", "fuzz", "-j2"], "fuzzing")


def run_layers(layers: Sequence[str], everything: bool, fuzz_seconds: int) -> None:
    prefix_started = False
    try:
        for layer in layers:
            if layer == "lint":
                lint()
            elif layer == "host":
                host(everything)
            elif layer == "fuzz":
                fuzz(fuzz_seconds)
            else:
                if not prefix_started:
                    heading("windows build and its Wine prefix")
                    build_tree.build([build_tree.HOST_TOOLS, build_tree.WINDOWS_ALL])
                    cabinet = build_tree.cabinet_dll()
                    make_prefix(WINE_PREFIX, cabinet)
                    os.environ["WINEPREFIX"] = str(WINE_PREFIX)
                    start_server(WINE_PREFIX, BUILD / "windows/tools/wine")
                    prefix_started = True
                if layer == "windows":
                    heading("Windows tests under Wine")
                    step(["ctest", "--preset", "windows", "-j2"], "Windows tests")
                else:
                    heading("end-to-end scenarios under Wine")
                    step([sys.executable, "-m", "pytest", "tests/e2e", "--windows-build", BUILD / "windows",
                          "--host-build", BUILD / "host-release"], "end-to-end scenarios")
    finally:
        if prefix_started:
            stop_server(WINE_PREFIX)


def main(argv: list[str]) -> int:
    p = CommandParser("test", DESCRIPTION)
    p.add_argument("layers", nargs="*", metavar="LAYER", help=", ".join(LAYERS))
    p.add_argument("--fuzz-seconds", type=int, default=60, metavar="N")
    args = p.parse_args(argv)
    unknown = [layer for layer in args.layers if layer not in LAYERS]
    if unknown:
        p.refuse(f"unknown layer {unknown[0]} (one of {', '.join(LAYERS)}); see ./lumaro test --help")
    if args.fuzz_seconds < 1:
        p.refuse("--fuzz-seconds takes a number of seconds; see ./lumaro test --help")
    layers = args.layers or list(LAYERS)
    started = time.monotonic()
    try:
        run_layers(layers, not args.layers, args.fuzz_seconds)
    except CommandError as e:
        print(f"lumaro test: {e}", file=sys.stderr)
        return e.status
    except ToolError as e:
        print(f"lumaro test: {e}", file=sys.stderr)
        return ExitStatus.WINE_FAILED
    heading(f"test layers passed ({' '.join(layers)}) in {time.monotonic() - started:.0f} s")
    return 0

"""./lumaro run EXE [--fresh | --localappdata DIR] [--timeout SECONDS]: a
launcher under a headless Wine (lmr.wine.run), after building only what that
needs: lmr-inspect, the Wine driver's programs and the stand-in cabinet.dll."""
import argparse
import sys

from lmr import build_tree
from lmr.build import Kit
from lmr.commands import CommandParser
from lmr.exit_status import CommandError, ExitStatus
from lmr.wine import run as wine_run

DESCRIPTION = """Runs a launcher under a headless Wine and reports what it did, one fact a line
on stdout: exit code, the error dialog (read and dismissed), what was
installed, the app's startup.log. The prefix is made on first use and kept in
build/run-prefix; runs in one checkout take turns on it."""
EPILOG = """Exit status: the launcher's own, 0 or 1; otherwise 3 EXE is not a launcher,
7 building the tools failed, 9 Wine is missing, 10 Wine could not run it,
124 the launcher still ran after --timeout and was stopped (137: killed)."""


def parser() -> CommandParser:
    p = CommandParser("run", DESCRIPTION, EPILOG)
    p.add_argument("exe", metavar="EXE")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--fresh", action="store_true", help="an empty LOCALAPPDATA: a first install")
    where.add_argument("--localappdata", metavar="DIR", help="LOCALAPPDATA to run with (default: one kept in build/)")
    p.add_argument("--timeout", type=positive_seconds, default=wine_run.DEFAULT_TIMEOUT_S, metavar="SECONDS",
                   help="stop the launcher after this long (default %(default)g)")
    return p


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0
    if not value > 0:
        raise argparse.ArgumentTypeError(f"takes a positive number of seconds, not {text!r}")
    return value


def main(argv: list[str]) -> int:
    args = parser().parse_args(argv)
    try:
        build_tree.build([build_tree.INSPECT_TOOL, build_tree.WINE_DRIVER])
    except CommandError as e:
        print(f"lumaro run: {e}", file=sys.stderr)
        return e.status
    kit = Kit()
    cabinet = build_tree.cabinet_dll()
    if cabinet is None:
        print("lumaro run: the build made no cabinet.dll", file=sys.stderr)
        return ExitStatus.BUILD_FAILED
    return wine_run.run(argparse.Namespace(
        exe=args.exe, prefix=str(build_tree.BUILD / "run-prefix"), tools=str(kit.windows_build / "tools/wine"),
        cabinet=str(cabinet), inspect=str(kit.inspect_tool), fresh=args.fresh, localappdata=args.localappdata,
        timeout=args.timeout))

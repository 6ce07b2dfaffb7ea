"""./lumaro wine-prefix DIR: a headless Wine prefix that runs launchers, made
after building only the stand-in cabinet.dll and the Wine driver's programs."""
import shlex
import sys

from lmr import REPO, build_tree
from lmr.commands import CommandParser
from lmr.exit_status import CommandError, ExitStatus
from lmr.proc import ToolError
from lmr.wine.calls import wine_missing
from lmr.wine.prefix import make_prefix

DESCRIPTION = """Makes a headless Wine prefix (null graphics driver, Windows 10, no crash
dialog, the stand-in cabinet.dll) that can run launchers."""


def main(argv: list[str]) -> int:
    p = CommandParser("wine-prefix", DESCRIPTION)
    p.add_argument("dir", metavar="DIR")
    args = p.parse_args(argv)
    try:
        missing = wine_missing()
        if missing:
            raise CommandError(ExitStatus.MISSING_PROGRAM, missing)
        build_tree.build([build_tree.WINE_DRIVER])
        cabinet = build_tree.cabinet_dll()
        if cabinet is None:
            raise CommandError(ExitStatus.BUILD_FAILED, "the build made no cabinet.dll")
        try:
            make_prefix(args.dir, cabinet)
        except ToolError as e:
            raise CommandError(ExitStatus.WINE_FAILED, str(e)) from None
    except CommandError as e:
        print(f"lumaro wine-prefix: {e}", file=sys.stderr)
        return e.status
    py, prefix, tools = sys.executable, shlex.quote(args.dir), shlex.quote(str(REPO / "tools"))
    print(f"""Prefix ready: {args.dir}
Start its server, then run a launcher in it (the time bound and locale included):
  PYTHONPATH={tools} {py} -m lmr.wine server start {prefix}
  WINEPREFIX={prefix} PYTHONPATH={tools} {py} -m lmr.wine exec -- path/to/Lumaro.exe""", file=sys.stderr)
    return 0

"""The Wine driver's command line:

    python3 -m lmr.wine prefix DIR [--cabinet DLL] [--x11 [--desktop WxH]]
    python3 -m lmr.wine server start|stop DIR [--tools DIR]
    python3 -m lmr.wine exec [--timeout SECONDS] -- PROGRAM [ARGS...]
    python3 -m lmr.wine run EXE --prefix DIR --tools DIR --inspect TOOL [--cabinet DLL]
                       [--fresh | --localappdata DIR] [--timeout SECONDS]

`exec` is ctest's emulator; `run` is `./lumaro run`.
"""
import argparse
import os
import sys
from typing import Optional

from lmr.build import Kit
from lmr.proc import ToolError
from lmr.wine import emulator, run
from lmr.wine.prefix import make_prefix
from lmr.wine.session import start_server, stop_server


def positive_seconds(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be a positive number of seconds")
    return value


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python3 -m lmr.wine", description=__doc__,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", required=True)
    p = commands.add_parser("prefix", help="make a prefix (once; stamped and locked)")
    p.add_argument("dir")
    p.add_argument("--cabinet", help="the stand-in cabinet.dll, loaded instead of Wine's own")
    p.add_argument("--x11", action="store_true", help="the X11 graphics driver instead of none")
    p.add_argument("--desktop", metavar="WxH", help="with --x11: Wine's own virtual desktop")

    p = commands.add_parser("server", help="start or stop a prefix's persistent server")
    p.add_argument("action", choices=["start", "stop"])
    p.add_argument("dir")
    p.add_argument("--tools", help="with start: folder of lmr-desktop.exe, which keeps the desktop up "
                   "(default: the windows build's tools/wine)")

    p = commands.add_parser("exec", help="run one program in $WINEPREFIX, passing its status on")
    p.add_argument("--timeout", type=positive_seconds, default=float(os.environ.get("LUMARO_WINE_TIMEOUT", 900)))
    p.add_argument("program", nargs=argparse.REMAINDER)

    p = commands.add_parser("run", help="run a launcher and report what it did (./lumaro run)")
    p.add_argument("exe")
    p.add_argument("--prefix", required=True)
    p.add_argument("--tools", required=True, help="folder of lmr-runner.exe, lmr-dialog.exe and lmr-desktop.exe")
    p.add_argument("--cabinet")
    p.add_argument("--inspect", required=True, help="lmr-inspect, to refuse what is not a launcher before Wine starts")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--fresh", action="store_true")
    where.add_argument("--localappdata")
    p.add_argument("--timeout", type=positive_seconds, default=run.DEFAULT_TIMEOUT_S)
    return top


def main(argv: Optional[list[str]] = None) -> int:
    top = parser()
    args = top.parse_args(argv)
    try:
        if args.command == "prefix":
            if args.desktop and not args.x11:
                top.error("--desktop needs --x11")
            make_prefix(args.dir, args.cabinet, args.x11, args.desktop)
        elif args.command == "server":
            if args.action == "start":
                start_server(args.dir, args.tools or Kit().windows_build / "tools/wine")
            else:
                stop_server(args.dir)
        elif args.command == "exec":
            program = args.program[1:] if args.program[:1] == ["--"] else args.program
            if not program:
                top.error("exec needs a program")
            return emulator.run_program(program, args.timeout)
        elif args.command == "run":
            return run.run(args)
    except ToolError as e:
        print(f"lmr.wine: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

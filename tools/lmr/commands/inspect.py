"""./lumaro inspect EXE [--list]: what lmr-inspect sees in a launcher. Its
output is the command's output; the build of lmr-inspect reports on stderr."""
import os
import sys

from lmr import build_tree
from lmr.build import Kit
from lmr.commands import CommandParser
from lmr.exit_status import CommandError

DESCRIPTION = """Shows a launcher's version, identity, BuildId, sizes, chunks and file count,
and whether its payload is intact (status 1 if damaged, 3 if EXE is not a
launcher)."""


def exec_inspect(command: str, tool_args: list[str]) -> int:
    try:
        build_tree.build([build_tree.INSPECT_TOOL])
    except CommandError as e:
        print(f"lumaro {command}: {e}", file=sys.stderr)
        return e.status
    tool = str(Kit().inspect_tool)
    os.execv(tool, [tool, *tool_args])


def main(argv: list[str]) -> int:
    p = CommandParser("inspect", DESCRIPTION)
    p.add_argument("exe", metavar="EXE")
    p.add_argument("--list", action="store_true", help="every file with its size, too")
    args = p.parse_args(argv)
    return exec_inspect("inspect", [*(["--list"] if args.list else []), "--", args.exe])

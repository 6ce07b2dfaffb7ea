"""./lumaro extract EXE DIR: the files packed in a launcher, written out."""
from lmr.commands import CommandParser
from lmr.commands.inspect import exec_inspect

DESCRIPTION = """Writes the files packed in a launcher into DIR, which must be missing or
empty; a damaged payload is not extracted (status 1), an existing file is
not overwritten (status 5)."""


def main(argv: list[str]) -> int:
    p = CommandParser("extract", DESCRIPTION)
    p.add_argument("exe", metavar="EXE")
    p.add_argument("dir", metavar="DIR")
    args = p.parse_args(argv)
    return exec_inspect("extract", ["--extract", args.dir, "--", args.exe])

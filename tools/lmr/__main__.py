"""The vendor's command, `./lumaro COMMAND` (the script bootstraps, then runs
`python3 -m lmr COMMAND`): one module per command in lmr.commands, one exit
status table for all of them (lmr.exit_status)."""
import importlib
import re
import sys
from typing import Optional

from lmr import REPO, sign
from lmr.exit_status import ExitStatus
from lmr.text import quoted

# name: (module, one line of help)
COMMANDS = {
    "setup": ("", "install the Debian packages the build and tests need (done by ./lumaro itself)"),
    "pack": ("pack", "build a launcher around an app folder, signed if asked"),
    "run": ("run", "run a launcher under a headless Wine and report what it did"),
    "release": ("release", "add a signed release to an update feed (keygen: make its key pair)"),
    "inspect": ("inspect", "show what a launcher holds and whether its payload is intact"),
    "extract": ("extract", "write the files packed in a launcher into a folder"),
    "wine-prefix": ("wine_prefix", "make a headless Wine prefix that can run launchers"),
    "demo": ("demo", "build a launcher around the sample app and run it under Wine"),
    "test": ("test", "build and run the test layers (lint, host, windows, e2e, fuzz)"),
    "bench": ("bench", "run the benchmarks"),
}


def exit_table() -> str:
    """The vendor tools' table of exit statuses, from its one copy in the
    C++ header that lmr.exit_status mirrors."""
    header = (REPO / "tools/common/exit_status.h").read_text()
    found = re.search(r'kExitStatusHelp = R"\((.*?)\)";', header, re.S)
    return found.group(1) if found else ""


def usage() -> str:
    width = max(map(len, COMMANDS))
    lines = [f"  {name:<{width}}  {about}" for name, (_, about) in COMMANDS.items()]
    return ("usage: ./lumaro COMMAND [ARGS...]   (./lumaro COMMAND --help for its options)\n\n"
            + "\n".join(lines) + "\n\n" + exit_table())


def main(argv: Optional[list[str]] = None) -> int:
    # Before anything runs a child: only the signers may see the password.
    sign.take_secret()
    words = sys.argv[1:] if argv is None else argv
    if not words or words[0] in ("-h", "--help", "help"):
        print(usage())
        return 0
    command = COMMANDS.get(words[0])
    if command is None or not command[0]:
        print(f"lumaro: unknown command {quoted(words[0])}; see ./lumaro --help", file=sys.stderr)
        return ExitStatus.USAGE
    module = importlib.import_module(f"lmr.commands.{command[0]}")
    status: int = module.main(words[1:])
    return status


if __name__ == "__main__":
    sys.exit(main())

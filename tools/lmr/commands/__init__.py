"""The ./lumaro commands, a module each; `python3 -m lmr COMMAND` runs them.
Each module has main(argv) -> status; this holds what they share: a parser
whose refusals name the option and where the help is, with status 2."""
import argparse
import re
import sys
from typing import NoReturn, Optional

from lmr.exit_status import ExitStatus
from lmr.text import quoted


class CommandParser(argparse.ArgumentParser):
    """argparse with the commands' grammar: "lumaro pack: -o needs a value;
    see ./lumaro pack --help"."""

    def __init__(self, command: str, description: str, epilog: str = "", usage: Optional[str] = None) -> None:
        super().__init__(prog=f"./lumaro {command}", description=description, epilog=epilog or None, usage=usage,
                         allow_abbrev=False, formatter_class=argparse.RawDescriptionHelpFormatter)
        self.command = command

    def refuse(self, message: str, status: ExitStatus = ExitStatus.USAGE) -> NoReturn:
        print(f"lumaro {self.command}: {message}", file=sys.stderr)
        sys.exit(status)

    def error(self, message: str) -> NoReturn:
        unknown = re.fullmatch(r"unrecognized arguments: (\S+).*", message, re.S)
        needs_value = re.fullmatch(r"argument ([^/: ]+)\S*: expected one argument", message)
        required = re.fullmatch(r"the following arguments are required: (.*)", message)
        if unknown:
            word = unknown.group(1)
            text = f"unknown option {word}" if word.startswith("-") else f"unexpected argument {quoted(word)}"
        elif needs_value:
            text = f"{needs_value.group(1)} needs a value"
        elif required:
            text = f"{required.group(1)} is missing"
        else:
            text = re.sub(r"^argument ([^/: ]+)\S*: ", r"\1: ", message)
        self.refuse(f"{text}; see {self.prog} --help")

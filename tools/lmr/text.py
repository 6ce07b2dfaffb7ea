"""Text for the commands' messages: one way to quote a value, and output
that is coloured only on a terminal."""
import os
import sys
import unicodedata
from typing import TextIO

# Bidi overrides and isolates: they reorder what a terminal shows.
_BIDI = {*range(0x202A, 0x202F), *range(0x2066, 0x206A)}


def one_line(text: str) -> str:
    """text with control characters written as \\xHH and C1 controls and
    bidi controls as \\uHHHH, so a name cannot forge a line or drive the
    terminal; a backslash is doubled so the escapes stay unambiguous."""
    out = []
    for ch in text:
        code = ord(ch)
        if ch == "\\":
            out.append("\\\\")
        elif code < 0x20 or code == 0x7F:
            out.append(f"\\x{code:02x}")
        elif 0x80 <= code <= 0x9F or code in _BIDI or unicodedata.category(ch) == "Cs":
            out.append(f"\\u{code:04x}")
        else:
            out.append(ch)
    return "".join(out)


def quoted(value: object) -> str:
    """A value in a message: in double quotes, with quotes inside escaped."""
    text = os.fsdecode(value) if isinstance(value, (bytes, os.PathLike)) else str(value)
    return '"' + one_line(text).replace('"', '\\"') + '"'


def is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty() and os.environ.get("TERM") != "dumb"
    except ValueError:  # closed
        return False


def heading(text: str, stream: TextIO = sys.stderr) -> None:
    """A step's line: bold on a terminal, plain otherwise."""
    line = f"\033[1m{text}\033[0m" if is_terminal(stream) else text
    print(line, file=stream, flush=True)

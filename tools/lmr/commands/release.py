"""./lumaro release EXE --feed DIR --key PRIVATE.pem: a signed release added
to an update feed (lmr.release), with lmr-inspect built first."""
import sys

from lmr import build_tree, release
from lmr.exit_status import CommandError


def main(argv: list[str]) -> int:
    if not any(word in ("-h", "--help") for word in argv):
        try:
            build_tree.build([build_tree.INSPECT_TOOL])
        except CommandError as e:
            print(f"lumaro release: {e}", file=sys.stderr)
            return e.status
    return release.main(argv)

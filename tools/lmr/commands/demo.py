"""./lumaro demo: builds the launcher kit and runs lmr.demo, which packs the
sample app and shows it under Wine."""
import os
import sys

from lmr import build_tree
from lmr.exit_status import CommandError

BUILD = build_tree.BUILD


def main(argv: list[str]) -> int:
    try:
        build_tree.build([build_tree.HOST_TOOLS, build_tree.WINDOWS_ALL])
    except CommandError as e:
        print(f"lumaro demo: {e}", file=sys.stderr)
        return e.status
    os.execv(sys.executable, [sys.executable, "-m", "lmr.demo", "--windows-build", str(BUILD / "windows"),
                              "--host-build", str(BUILD / "host-release"), "--prefix", str(BUILD / "demo-prefix"),
                              *argv])

"""./lumaro bench: every benchmark (lmr.bench.run_all, which builds what it
measures in build/host-release and build/windows)."""
import os
import sys


def main(argv: list[str]) -> int:
    os.execv(sys.executable, [sys.executable, "-m", "lmr.bench.run_all", *argv])

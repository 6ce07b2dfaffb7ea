"""ctest's emulator: one Windows program run in $WINEPREFIX with this
process's stdio (ctest reads it), its status passed on, with a time bound."""
import os
import subprocess
import sys
from collections.abc import Mapping, Sequence
from typing import Optional

from lmr.proc import kill_group
from lmr.wine.calls import WINE, wine_env

NO_PREFIX = """lmr.wine: WINEPREFIX is not set, so there is no prefix to run in. Either
  ./lumaro test windows   (builds, makes build/wine-prefix, runs ctest)
or make a prefix and start its server:
  PYTHONPATH=tools /usr/bin/python3 -m lmr.wine prefix DIR --cabinet CABINET.DLL
  PYTHONPATH=tools /usr/bin/python3 -m lmr.wine server start DIR
  WINEPREFIX=DIR ctest --preset windows"""


def run_program(args: Sequence[str], timeout_s: float, env: Optional[Mapping[str, str]] = None) -> int:
    """The program's status (124 when it outlived timeout_s, as timeout(1)).
    The prefix's server must be running, its services started from /dev/null
    (a Session, or `server start`)."""
    prefix = os.environ.get("WINEPREFIX")
    if not prefix:
        print(NO_PREFIX, file=sys.stderr)
        return 2
    full_env = wine_env(prefix, base=env)
    proc = subprocess.Popen([WINE, *args], env=full_env, start_new_session=True)
    try:
        status = proc.wait(timeout=timeout_s)
        return status if status >= 0 else 128 - status
    except subprocess.TimeoutExpired:
        kill_group(proc)
        print(f"lmr.wine: {args[0]} timed out after {timeout_s:g} s (WINEPREFIX={full_env['WINEPREFIX']})",
              file=sys.stderr)
        return 124
    except KeyboardInterrupt:
        kill_group(proc)
        return 130

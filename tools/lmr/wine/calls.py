"""Single Wine calls: where Wine is, the environment of every call, paths as
Windows sees them, and registry changes."""
import os
import tempfile
from collections.abc import Mapping
from pathlib import Path
from typing import Optional, Union

from lmr.proc import ToolError, bounded

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
SERVER_TIMEOUT_S = 120

PathLike = Union[str, "os.PathLike[str]"]


def win_path(path: PathLike) -> str:
    """A Linux path as Windows sees it through the Z: drive."""
    return "Z:" + os.path.abspath(str(path)).replace("/", "\\")


def wine_missing() -> Optional[str]:
    """Why Wine cannot run here, or None."""
    for tool in (WINE, WINESERVER):
        if not os.access(tool, os.X_OK):
            return f"{tool} not found (install wine64: ./lumaro setup)"
    return None


def wine_env(prefix: PathLike, display: Optional[str] = None,
             base: Optional[Mapping[str, str]] = None) -> dict[str, str]:
    """The environment of every Wine call in prefix: no debug noise, a UTF-8
    locale (arguments with non-ASCII letters), no inherited DLL overrides."""
    env = dict(os.environ if base is None else base)
    env.update(WINEPREFIX=str(Path(prefix).resolve()), WINEDEBUG="-all", LC_ALL="C.UTF-8")
    env.pop("WINEDLLOVERRIDES", None)
    if display is not None:
        env["DISPLAY"] = display
    return env


def server_wait(env: Mapping[str, str]) -> None:
    bounded([WINESERVER, "-w"], SERVER_TIMEOUT_S, env, "wineserver -w")


def reg(env: Mapping[str, str], verb: str, *args: str) -> None:
    """One registry change. Its errors go to a file and are shown once it has
    ended: a Wine service it may start keeps no pipe open."""
    with tempfile.TemporaryFile() as errors:
        status = bounded([WINE, "reg", verb, *args], SERVER_TIMEOUT_S, env, f"reg {verb} {args[0]}",
                         stderr=errors)
        if status != 0 and verb != "delete":
            errors.seek(0)
            raise ToolError(f"reg {verb} {' '.join(args)} failed ({status}): "
                            f"{errors.read().decode('utf-8', 'replace').strip()}")

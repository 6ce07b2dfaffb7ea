"""Making Wine prefixes: once, stamped with their settings and locked against
a second maker; and clones without the stand-in cabinet.dll."""
import fcntl
import os
import shutil
import sys
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Optional

from lmr.proc import ToolError, bounded
from lmr.wine.calls import SERVER_TIMEOUT_S, WINE, PathLike, reg, server_wait, wine_env
from lmr.wine.session import stop_server

MARLETT = "/usr/share/wine/fonts/marlett.ttf"
BUILTIN_CABINET = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/cabinet.dll"
PREFIX_TIMEOUT_S = 300
KERNEL32 = "drive_c/windows/system32/kernel32.dll"


def _stderr(text: str) -> None:
    print(text, file=sys.stderr)


def make_prefix(prefix: PathLike, cabinet: Optional[PathLike] = None, x11: bool = False,
                desktop: Optional[str] = None, log: Callable[[str], None] = _stderr,
                display: Optional[str] = None) -> Path:
    """Makes prefix once: headless (the null graphics driver) unless x11, with
    the stand-in cabinet.dll loaded in place of Wine's own when given, Windows
    10, no crash dialog. desktop "WxH" gives X11 windows Wine's own virtual
    desktop."""
    where = Path(prefix).resolve()
    stand_in = Path(cabinet).resolve() if cabinet is not None else None
    if stand_in is not None and not stand_in.is_file():
        raise ToolError(f"no such file: {stand_in}")
    if desktop and not x11:
        raise ToolError("a virtual desktop needs --x11")
    where.parent.mkdir(parents=True, exist_ok=True)
    env = wine_env(where, display)
    made_here = not where.exists()
    stamp = where / ".lumaro-prefix"
    want = f"x11={int(x11)} cabinet={'yes' if stand_in else ''}" + (f" desktop={desktop}" if desktop else "")
    with open(f"{where}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not stamp.is_file() or stamp.read_text().strip() != want:
            log(f"lmr.wine: creating {where} ({want})")
            try:
                _boot(where, env, x11, desktop, stand_in is not None)
            except ToolError as e:
                if not made_here:
                    raise
                # Nothing of anyone's is lost: the folder is the one just made.
                log(f"lmr.wine: {e}; making it again")
                stop_server(where)
                shutil.rmtree(where)
                _boot(where, env, x11, desktop, stand_in is not None)
            stamp.write_text(want + "\n")
        # The title bar's buttons are drawn in Marlett, and this Wine build does
        # not load its own fonts from where they are installed.
        fonts = where / "drive_c/windows/Fonts"
        if x11 and os.path.isfile(MARLETT) and not (fonts / "marlett.ttf").exists():
            shutil.copy(MARLETT, fonts)
        # The stand-in is rebuilt often; the copy follows it.
        if stand_in is not None:
            system = where / "drive_c/windows/system32/cabinet.dll"
            if not system.is_file() or system.read_bytes() != stand_in.read_bytes():
                shutil.copyfile(stand_in, system)
    return where


def _boot(prefix: Path, env: Mapping[str, str], x11: bool, desktop: Optional[str], cabinet: bool) -> None:
    # The Mono/Gecko installers would prompt; nothing here needs them.
    status = bounded([WINE, "wineboot", "-i"], PREFIX_TIMEOUT_S, dict(env, WINEDLLOVERRIDES="mscoree,mshtml="),
                     "wineboot -i")
    server_wait(env)
    # A boot cut short still leaves the registry, but not every system DLL.
    if status != 0 or not (prefix / "system.reg").is_file() or not (prefix / KERNEL32).is_file():
        raise ToolError(f"wineboot -i did not make a whole prefix in {prefix} (status {status})")
    drivers = r"HKCU\Software\Wine\Drivers"
    if not x11:
        reg(env, "add", drivers, "/v", "Graphics", "/d", "null", "/f")
    else:
        reg(env, "delete", drivers, "/v", "Graphics", "/f")
    if desktop:
        reg(env, "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", "Default", "/f")
        reg(env, "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default", "/d", desktop, "/f")
    else:
        reg(env, "delete", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/f")
    # A crash would otherwise start winedbg, whose dialog never closes headless.
    reg(env, "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD", "/d", "0", "/f")
    # Node.js refuses to start on the default Windows 7.
    bounded([WINE, "winecfg", "/v", "win10"], SERVER_TIMEOUT_S, env, "winecfg /v win10")
    set_cabinet_override(env, cabinet)
    server_wait(env)


def set_cabinet_override(env: Mapping[str, str], native: bool) -> None:
    """Whether cabinet.dll is loaded from system32 before Wine's builtin one."""
    if native:
        reg(env, "add", r"HKCU\Software\Wine\DllOverrides", "/v", "cabinet", "/d", "native,builtin", "/f")
    else:
        reg(env, "delete", r"HKCU\Software\Wine\DllOverrides", "/v", "cabinet", "/f")


def clone_prefix(source: PathLike, dest: PathLike) -> Path:
    """A copy of a made prefix without the stand-in cabinet.dll (Wine's own
    then sits in system32 and nothing overrides it). The source's server must
    not be writing its registry meanwhile."""
    clone = Path(dest)
    if not clone.is_dir():
        bounded(["cp", "-a", source, clone], PREFIX_TIMEOUT_S, what=f"copying the prefix {source}")
    shutil.copyfile(BUILTIN_CABINET, clone / "drive_c/windows/system32/cabinet.dll")
    env = wine_env(clone)
    set_cabinet_override(env, False)
    server_wait(env)
    (clone / ".lumaro-prefix").write_text("x11=0 cabinet=\n")
    return clone

"""Running other programs, always with a time bound: a command that outlives
its bound is killed with its whole process group and named in the error."""
import os
import signal
import subprocess
from collections.abc import Mapping, Sequence
from typing import IO, Optional, Union

Arg = Union[str, os.PathLike[str], int]
Sink = Union[int, IO[bytes], None]


class ToolError(Exception):
    """A command of the tooling failed or ran out of time."""


def kill_group(proc: "subprocess.Popen[bytes]") -> None:
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    proc.wait()


def bounded(args: Sequence[Arg], seconds: float, env: Optional[Mapping[str, str]] = None,
            what: Optional[str] = None, stdout: Sink = subprocess.DEVNULL, stderr: Sink = subprocess.DEVNULL,
            cwd: Optional[Arg] = None) -> int:
    """Runs a command in its own process group with /dev/null as stdin; its
    status. Still running after `seconds`, it is killed with its group and
    ToolError names it."""
    argv = [str(a) for a in args]
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                            start_new_session=True, cwd=None if cwd is None else str(cwd))
    try:
        return proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        kill_group(proc)
        where = f" (WINEPREFIX={env['WINEPREFIX']})" if env and "WINEPREFIX" in env else ""
        raise ToolError(f"{what or ' '.join(argv)} timed out after {seconds:g} s{where}") from None
    except BaseException:
        kill_group(proc)
        raise


def checked(args: Sequence[Arg], seconds: float = 900, env: Optional[Mapping[str, str]] = None,
            cwd: Optional[Arg] = None) -> bytes:
    """Runs a command to its end and returns its output (stdout and stderr
    together); ToolError with that output when it fails or times out."""
    argv = [str(a) for a in args]
    proc = subprocess.Popen(argv, env=env, cwd=None if cwd is None else str(cwd), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        kill_group(proc)
        raise ToolError(f"{' '.join(argv)} timed out after {seconds:g} s") from None
    except BaseException:
        kill_group(proc)
        raise
    if proc.returncode != 0:
        raise ToolError(f"{' '.join(argv)} failed ({proc.returncode}):\n{out.decode('utf-8', 'replace')}")
    return out

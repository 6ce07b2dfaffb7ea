"""`./lumaro run`: a launcher under a headless Wine, and what it did: exit
code, the error dialog (read and dismissed), what was installed and the app's
startup.log. Runs in one checkout are serialised: they share its prefix, and
a second server session would end the first one's."""
import argparse
import fcntl
import shutil
import subprocess
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from lmr.exit_status import ExitStatus
from lmr.proc import ToolError
from lmr.wine.calls import wine_missing
from lmr.wine.launch import DIALOG_CAPTION_PREFIX, Launch, launch
from lmr.wine.prefix import make_prefix
from lmr.wine.session import Session

# Statuses of `run` other than the launcher's own 0 and 1: the vendor
# tools' table.
RUN_NOT_A_LAUNCHER, RUN_NO_WINE = ExitStatus.BAD_INPUT, ExitStatus.MISSING_PROGRAM
RUN_WINE_FAILED = ExitStatus.WINE_FAILED
RUN_TIMEOUT, RUN_KILLED = ExitStatus.TIMED_OUT, ExitStatus.KILLED  # as timeout(1)
DEFAULT_TIMEOUT_S = 600.0  # a first install of a large app on a slow disk
LOG_LINES = 50


def inspect_facts(inspect: str, exe: Path) -> dict[str, str]:
    """The "key: value" lines lmr-inspect prints for exe; ToolError with its
    message when exe is not a launcher."""
    proc = subprocess.run([inspect, "--", str(exe)], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=300)
    if proc.returncode not in (0, 1):  # 1: a damaged payload, which the launcher itself reports
        raise ToolError(proc.stderr.strip() or f"lmr-inspect failed with {proc.returncode}")
    facts = dict(line.split(": ", 1) for line in proc.stdout.splitlines() if ": " in line)
    if "build-id" not in facts:
        raise ToolError(f"lmr-inspect gave no build-id for {exe}")
    return facts


@contextmanager
def one_run_at_a_time(prefix: Path) -> Iterator[None]:
    prefix.parent.mkdir(parents=True, exist_ok=True)
    with open(f"{prefix}.run-lock", "w") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            print("lumaro run: another run in this checkout is using its Wine prefix; waiting for it",
                  file=sys.stderr, flush=True)
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def print_report(result: Launch, runtime: Path, installed_now: bool, log: Path) -> None:
    print(f"exit-code: {result.exit_code}")
    if result.dialog is not None:
        print(f"dialog-caption: {result.dialog['caption']}")
        print("dialog-text:")
        for line in (result.dialog["text"] or "").replace("\r\n", "\n").rstrip("\n").split("\n"):
            print(f"  {line}")
    print(f"runtime-folder: {runtime}" + ("" if runtime.is_dir() else " (absent)"))
    print(f"installed-by-this-launch: {'yes' if installed_now else 'no'}")
    if not log.is_file():
        print(f"startup-log: {log} (absent)")
        return
    lines = log.read_bytes().decode("utf-8", "replace").replace("\r\n", "\n").splitlines()
    print(f"startup-log: {log}" + (f" (last {LOG_LINES} of {len(lines)} lines)" if len(lines) > LOG_LINES else ""))
    for line in lines[-LOG_LINES:]:
        print(f"  {line}")


def run(args: argparse.Namespace) -> int:
    exe = Path(args.exe).resolve()
    try:
        facts = inspect_facts(args.inspect, exe)
    except (ToolError, OSError, subprocess.TimeoutExpired) as e:
        print(f"lumaro run: {exe} is not a launcher: {e}", file=sys.stderr)
        return RUN_NOT_A_LAUNCHER
    missing = wine_missing()
    if missing:
        print(f"lumaro run: {missing}", file=sys.stderr)
        return RUN_NO_WINE
    prefix = Path(args.prefix).resolve()
    # An exe packed before identities has none: it is Lumaro.
    product = facts.get("product", "Lumaro")
    with one_run_at_a_time(prefix):
        if args.localappdata:
            local = Path(args.localappdata).resolve()
        elif args.fresh:
            # Kept until the next --fresh run, so what was installed can be looked at.
            local = prefix.parent / "run-fresh" / "Local"
            shutil.rmtree(local.parent, ignore_errors=True)
        else:
            local = prefix.parent / "run-profile" / "Local"
        local.mkdir(parents=True, exist_ok=True)
        data_root = local / facts.get("data-folder", product)
        runtime = data_root / f"runtime-{facts['build-id']}"
        existed = runtime.is_dir()
        try:
            made = make_prefix(prefix, cabinet=args.cabinet)
            with Session(made, args.tools) as session:
                result = launch(session, exe, localappdata=local, cwd=exe.parent, timeout_s=args.timeout,
                                caption=DIALOG_CAPTION_PREFIX + product)
        except ToolError as e:
            print(f"lumaro run: {e}", file=sys.stderr)
            return RUN_WINE_FAILED
    if result.timed_out:
        print(f"lumaro run: the launcher was still running after {args.timeout:g} s and was stopped",
              file=sys.stderr)
        return RUN_KILLED if result.timed_out == "killed" else RUN_TIMEOUT
    if result.exit_code is None:
        print(f"lumaro run: no exit code from the launcher: {result.report.strip()}", file=sys.stderr)
        return RUN_WINE_FAILED
    print_report(result, runtime, not existed and runtime.is_dir(), data_root / "startup.log")
    if result.exit_code not in (0, 1):
        # It crashed, or ended on purpose without a dialog (out of memory).
        print(f"lumaro run: the launcher ended with {result.exit_code:#x}", file=sys.stderr)
        return 1
    return result.exit_code

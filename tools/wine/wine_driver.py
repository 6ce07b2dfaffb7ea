#!/usr/bin/env python3
"""The one way this tree starts Wine: prefixes, server sessions, launches.

    wine_driver.py prefix DIR [--cabinet DLL] [--x11 [--desktop WxH]]
    wine_driver.py server start|stop DIR
    wine_driver.py exec [--timeout SECONDS] -- PROGRAM [ARGS...]
    wine_driver.py run EXE --prefix DIR --tools DIR --inspect TOOL [--cabinet DLL]
                       [--fresh | --localappdata DIR] [--timeout SECONDS]

`exec` runs one Windows program in $WINEPREFIX and passes its status on (ctest's
emulator); `run` is `./lumaro run`. As a module it gives the harness, the demo
and the benchmarks Prefix making, a Session (a persistent server whose services
start with /dev/null as stdio, stopped on every way out) and launches through
lmr-runner and lmr-dialog, the Windows-side programs beside this file.

Every Wine call has a time bound and names itself when it runs out. No Wine
process ever gets a pipe of ours: Wine's services inherit the stdio of the
command that starts them and would hold it open for good.
"""
import argparse
import atexit
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
MARLETT = "/usr/share/wine/fonts/marlett.ttf"

# Caption of the error dialog of an exe with Lumaro's own identity; every
# launcher's caption is the prefix and its product name.
DIALOG_CAPTION = "Không mở được Lumaro"
DIALOG_CAPTION_PREFIX = "Không mở được "

PREFIX_TIMEOUT_S = 300
SERVER_TIMEOUT_S = 120
LAUNCH_TIMEOUT_S = 60
DIALOG_TIMEOUT_S = 60


class WineError(Exception):
    pass


def win_path(path):
    """A Linux path as Windows sees it through the Z: drive."""
    return "Z:" + os.path.abspath(str(path)).replace("/", "\\")


def wine_missing():
    """Why Wine cannot run here, or None."""
    for tool in (WINE, WINESERVER):
        if not os.access(tool, os.X_OK):
            return f"{tool} not found (install wine64: ./lumaro setup)"
    return None


def wine_env(prefix, display=None, base=None):
    """The environment of every Wine call in prefix: no debug noise, a UTF-8
    locale (arguments with non-ASCII letters), no inherited DLL overrides."""
    env = dict(os.environ if base is None else base)
    env.update(WINEPREFIX=str(Path(prefix).resolve()), WINEDEBUG="-all", LC_ALL="C.UTF-8")
    env.pop("WINEDLLOVERRIDES", None)
    if display is not None:
        env["DISPLAY"] = display
    return env


def _kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    proc.wait()


def bounded(args, seconds, env, what=None, stdout=None, stderr=None):
    """Runs a command in its own process group with /dev/null (or files) as
    stdio; its status. A command still running after `seconds` is killed with
    its group, and WineError names it."""
    args = [str(a) for a in args]
    proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                            stdout=stdout if stdout is not None else subprocess.DEVNULL,
                            stderr=stderr if stderr is not None else subprocess.DEVNULL,
                            start_new_session=True)
    try:
        return proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        _kill_group(proc)
        raise WineError(f"{what or ' '.join(args)} timed out after {seconds} s "
                        f"(WINEPREFIX={env.get('WINEPREFIX')})") from None
    except BaseException:
        _kill_group(proc)
        raise


# -- prefixes -------------------------------------------------------------------

def make_prefix(prefix, cabinet=None, x11=False, desktop=None, log=None, display=None):
    """Makes prefix once (stamped with its settings, locked against a second
    maker): headless (the null graphics driver) unless x11, with the stand-in
    cabinet.dll loaded in place of Wine's own when given, Windows 10, no crash
    dialog. desktop "WxH" gives X11 windows Wine's own virtual desktop."""
    log = log or (lambda text: print(text, file=sys.stderr))
    prefix = Path(prefix).resolve()
    if cabinet is not None:
        cabinet = Path(cabinet).resolve()
        if not cabinet.is_file():
            raise WineError(f"no such file: {cabinet}")
    if desktop and not x11:
        raise WineError("a virtual desktop needs --x11")
    prefix.parent.mkdir(parents=True, exist_ok=True)
    env = wine_env(prefix, display)
    stamp = prefix / ".lumaro-prefix"
    want = f"x11={int(x11)} cabinet={'yes' if cabinet else ''}" + (f" desktop={desktop}" if desktop else "")
    with open(f"{prefix}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not stamp.is_file() or stamp.read_text().strip() != want:
            log(f"wine_driver: creating {prefix} ({want})")
            # The Mono/Gecko installers would prompt; nothing here needs them.
            boot_env = dict(env, WINEDLLOVERRIDES="mscoree,mshtml=")
            bounded([WINE, "wineboot", "-i"], PREFIX_TIMEOUT_S, boot_env, "wineboot -i")
            _server_wait(env)
            if not (prefix / "system.reg").is_file():
                raise WineError(f"wineboot failed in {prefix}")
            if not x11:
                reg(env, "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f")
            else:
                reg(env, "delete", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/f")
            if desktop:
                reg(env, "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", "Default", "/f")
                reg(env, "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default", "/d", desktop, "/f")
            else:
                reg(env, "delete", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/f")
            # A crash would otherwise start winedbg, whose dialog never closes headless.
            reg(env, "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD",
                "/d", "0", "/f")
            # Node.js refuses to start on the default Windows 7.
            bounded([WINE, "winecfg", "/v", "win10"], SERVER_TIMEOUT_S, env, "winecfg /v win10")
            set_cabinet_override(env, cabinet is not None)
            _server_wait(env)
            stamp.write_text(want + "\n")
        # The title bar's buttons are drawn in Marlett, and this Wine build does
        # not load its own fonts from where they are installed.
        fonts = prefix / "drive_c/windows/Fonts"
        if x11 and os.path.isfile(MARLETT) and not (fonts / "marlett.ttf").exists():
            shutil.copy(MARLETT, fonts)
        # The stand-in is rebuilt often; the copy follows it.
        if cabinet is not None:
            system = prefix / "drive_c/windows/system32/cabinet.dll"
            if not system.is_file() or system.read_bytes() != cabinet.read_bytes():
                shutil.copyfile(cabinet, system)
    return prefix


def set_cabinet_override(env, native):
    """Whether cabinet.dll is loaded from system32 before Wine's builtin one."""
    if native:
        reg(env, "add", r"HKCU\Software\Wine\DllOverrides", "/v", "cabinet", "/d", "native,builtin", "/f")
    else:
        reg(env, "delete", r"HKCU\Software\Wine\DllOverrides", "/v", "cabinet", "/f")


def reg(env, verb, *args):
    """One registry change. Its errors go to a file and are shown once it has
    ended: a Wine service it may start keeps no pipe open."""
    with tempfile.TemporaryFile() as errors:
        status = bounded([WINE, "reg", verb, *args], SERVER_TIMEOUT_S, env, f"reg {verb} {args[0]}",
                         stderr=errors)
        if status != 0 and verb != "delete":
            errors.seek(0)
            raise WineError(f"reg {verb} {' '.join(args)} failed ({status}): "
                            f"{errors.read().decode('utf-8', 'replace').strip()}")


def clone_prefix(source, dest, cabinet=False):
    """A copy of a made prefix, here without the stand-in cabinet.dll (Wine's
    own then sits in system32 and nothing overrides it). The source's server
    must not be writing its registry meanwhile."""
    source, dest = Path(source), Path(dest)
    if not dest.is_dir():
        bounded(["cp", "-a", source, dest], PREFIX_TIMEOUT_S, os.environ)
    if not cabinet:
        builtin = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/cabinet.dll")
        shutil.copyfile(builtin, dest / "drive_c/windows/system32/cabinet.dll")
        env = wine_env(dest)
        set_cabinet_override(env, False)
        _server_wait(env)
        (dest / ".lumaro-prefix").write_text("x11=0 cabinet=\n")
    return dest


def _server_wait(env):
    bounded([WINESERVER, "-w"], SERVER_TIMEOUT_S, env, "wineserver -w")


# -- server sessions ------------------------------------------------------------

def start_server(prefix, display=None):
    """A persistent server for prefix, with Wine's services and desktop
    started from /dev/null, so that no caller's pipe stays open behind them."""
    prefix = Path(prefix).resolve()
    if not (prefix / "system.reg").is_file():
        raise WineError(f"no prefix at {prefix}")
    env = wine_env(prefix, display)
    status = bounded([WINESERVER, "-p"], SERVER_TIMEOUT_S, env, "wineserver -p")
    if status not in (0, 2):  # 2: one is running already
        raise WineError(f"wineserver -p failed with {status} (WINEPREFIX={prefix})")
    bounded([WINE, "rundll32.exe", "user32.dll,GetDesktopWindow"], SERVER_TIMEOUT_S, env,
            "the services' warm-up (rundll32 user32.dll,GetDesktopWindow)")


def stop_server(prefix):
    """Ends prefix's server and every Windows process in it, and waits for it."""
    env = wine_env(prefix)
    try:
        bounded([WINESERVER, "-k"], SERVER_TIMEOUT_S, env, "wineserver -k")
        _server_wait(env)
    except WineError as e:
        print(f"wine_driver: {e}", file=sys.stderr)


_live_sessions = []
_handlers_installed = False


def _stop_all_sessions():
    for session in list(_live_sessions):
        session.close()


def _install_exit_handlers():
    """Stops every open session at exit and on SIGTERM/SIGHUP (Ctrl-C raises
    KeyboardInterrupt, which ends at exit too)."""
    global _handlers_installed
    if _handlers_installed:
        return
    _handlers_installed = True
    atexit.register(_stop_all_sessions)
    if threading.current_thread() is not threading.main_thread():
        return
    for sig in (signal.SIGTERM, signal.SIGHUP):
        previous = signal.getsignal(sig)

        def handler(signum, frame, previous=previous):
            _stop_all_sessions()
            if callable(previous):
                previous(signum, frame)
            raise KeyboardInterrupt
        signal.signal(sig, handler)


class Process:
    """A Windows program started from Linux, in its own process group, with
    files as its stdio."""

    def __init__(self, session, args, name):
        self.name = name
        self.out_path = os.path.join(session.logs, name + ".out")
        self.err_path = os.path.join(session.logs, name + ".err")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([WINE] + [str(a) for a in args], env=session.env,
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         start_new_session=True)
        session._track(self)

    @property
    def pid(self):
        return self.proc.pid

    def poll(self):
        return self.proc.poll()

    def wait(self, timeout_s):
        """The status; a program still running after timeout_s is killed and
        TimeoutExpired raised."""
        try:
            return self.proc.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            self.kill()
            raise

    def kill(self):
        if self.proc.poll() is None:
            _kill_group(self.proc)

    def stdout(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")


class Launch:
    """What one launch through lmr-runner came to."""

    def __init__(self, exit_code, dialog, report, seconds, timed_out=False):
        self.exit_code = exit_code  # None when the runner gave no code
        self.dialog = dialog  # dict from lmr-dialog, or None
        self.report = report  # the runner's own output (and errors, without a code)
        self.seconds = seconds
        self.timed_out = timed_out

    def __repr__(self):
        return f"Launch(exit={self.exit_code}, dialog={self.dialog!r}, runner={self.report!r})"


class DialogReader:
    """lmr-dialog looking for the launcher's error dialog, whatever product's
    it is, or one whose caption is `caption` (and, unless told otherwise,
    pressing its OK) until it is found or stopped."""

    def __init__(self, session, caption=None, press=True, timeout_s=DIALOG_TIMEOUT_S):
        base = os.path.join(session.logs, session.unique("dialog"))
        self.out_path, self.stop_path = base + ".json", base + ".stop"
        for stale in (self.out_path, self.stop_path):  # another session's, in shared logs
            if os.path.exists(stale):
                os.unlink(stale)
        self.proc = session.spawn(
            [session.driver_tool("lmr-dialog.exe"),
             *(["--caption", caption] if caption else ["--caption-prefix", DIALOG_CAPTION_PREFIX]), "--timeout-ms",
             int(timeout_s * 1000), "--out", win_path(self.out_path), "--stop-file",
             win_path(self.stop_path), "--press", "ok" if press else "none"], "dialog-reader")
        self.timeout_s = timeout_s

    def wait_found(self, timeout_s=None):
        """Blocks until the reader found the dialog or gave up; what it saw."""
        self.proc.wait((timeout_s or self.timeout_s) + 10)
        return self.result()

    def finish(self):
        """Stops the reader if it is still looking; what it saw, if anything."""
        Path(self.stop_path).touch()
        self.proc.wait(30)
        return self.result()

    def result(self):
        if not os.path.exists(self.out_path):
            return None
        with open(self.out_path, encoding="utf-8") as f:
            return json.load(f)


class Session:
    """A persistent Wine server on a made prefix, and the programs run in it.

    Use as a context manager or call start() and close(); close() also runs
    at exit and on SIGTERM/SIGHUP. `tools` is the folder of lmr-runner.exe and
    lmr-dialog.exe; `logs` keeps the programs' stdio (a temporary folder,
    removed at close, when not given)."""

    def __init__(self, prefix, tools, logs=None, display=None):
        self.prefix = Path(prefix).resolve()
        self.tools = Path(tools).resolve()
        self.display = display
        self.env = wine_env(self.prefix, display)
        self._own_logs = logs is None
        self.logs = tempfile.mkdtemp(prefix="lumaro-wine-") if logs is None else str(logs)
        os.makedirs(self.logs, exist_ok=True)
        self._tracked = []
        self._counter = 0
        self._lock = threading.Lock()
        self.started = False
        self._closed = False

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    def start(self, fresh=True):
        """Starts the server; with fresh, one left over from an earlier run
        (which may serve a prefix since changed) is ended first."""
        _install_exit_handlers()
        _live_sessions.append(self)
        if fresh:
            stop_server(self.prefix)
        start_server(self.prefix, self.display)
        self.started = True
        return self

    def close(self):
        if self._closed:
            return
        self._closed = True
        if self in _live_sessions:
            _live_sessions.remove(self)
        for proc in self._tracked:
            proc.kill()
        if self.started:
            stop_server(self.prefix)
        if self._own_logs:
            shutil.rmtree(self.logs, ignore_errors=True)

    def _track(self, proc):
        with self._lock:
            self._tracked.append(proc)

    def unique(self, stem):
        with self._lock:
            self._counter += 1
            return f"{stem}-{self._counter}"

    def driver_tool(self, name):
        path = self.tools / name
        if not path.is_file():
            raise WineError(f"missing {path} (build the windows preset)")
        return path

    # -- Windows programs --------------------------------------------------

    def spawn(self, args, name="proc"):
        """Starts a Windows program (a path or a name Wine finds) and returns
        its Process; its stdio are files in the logs folder."""
        return Process(self, args, self.unique(name))

    def run(self, args, timeout_s=60, name="tool"):
        """Runs a console program to its end: (status, stdout bytes)."""
        proc = self.spawn(args, name)
        try:
            status = proc.wait(timeout_s)
        except subprocess.TimeoutExpired:
            raise WineError(f"{args[0]} did not end within {timeout_s} s") from None
        with open(proc.out_path, "rb") as f:
            return status, f.read()

    def start_runner(self, exe, set_env=None, unset=(), cwd=None, timeout_s=LAUNCH_TIMEOUT_S, args=(),
                     localappdata=None):
        """Starts exe through lmr-runner, which changes the environment inside
        Windows (Wine lays the profile folders over whatever Linux sets) and
        reports the exact exit code. localappdata is a Linux folder."""
        argv = [self.driver_tool("lmr-runner.exe"), "--timeout-ms", int(timeout_s * 1000)]
        changes = dict(set_env or {})
        if localappdata is not None:
            changes["LOCALAPPDATA"] = win_path(localappdata)
        for name, value in changes.items():
            argv += ["--set", f"{name}={value}"]
        for name in unset:
            argv += ["--unset", name]
        if cwd is not None:
            argv += ["--cwd", win_path(cwd) if str(cwd).startswith("/") else cwd]
        exe = str(exe)
        argv += ["--", win_path(exe) if exe.startswith("/") else exe, *args]
        return self.spawn(argv, "runner")

    @staticmethod
    def runner_exit(runner, timeout_s=LAUNCH_TIMEOUT_S + 30):
        """(exit code or None, the runner's report) once the runner has ended."""
        try:
            status = runner.wait(timeout_s)
        except subprocess.TimeoutExpired:
            return None, f"the runner did not end within {timeout_s} s"
        out = runner.stdout()
        for line in out.splitlines():
            if line.startswith("exit="):
                return int(line[5:]), out
        return None, f"runner status {status}: {out} {runner.stderr()}"

    def dialog_reader(self, caption=None, press=True, timeout_s=DIALOG_TIMEOUT_S):
        return DialogReader(self, caption, press, timeout_s)

    def launch(self, exe, set_env=None, unset=(), cwd=None, timeout_s=LAUNCH_TIMEOUT_S, localappdata=None,
               watch_dialog=True, args=()):
        """Runs exe to its end. A dialog reader runs alongside, reads the error
        dialog and presses OK; it is stopped once the launcher has ended."""
        reader = self.dialog_reader(timeout_s=timeout_s) if watch_dialog else None
        started = time.monotonic()
        runner = self.start_runner(exe, set_env, unset, cwd, timeout_s, args, localappdata)
        try:
            code, report = self.runner_exit(runner, timeout_s + 30)
        finally:
            dialog = reader.finish() if reader else None
        # The runner stops a launcher that outlives timeout_s and says so; a
        # runner that does not end itself is killed.
        timed_out = "killed" if runner.poll() is not None and runner.poll() < 0 else (
            code is None and "timeout" in report.split())
        return Launch(code, dialog, report, time.monotonic() - started, timed_out)


def run_program(args, timeout_s, env=None):
    """Runs one Windows program with this process's stdio (ctest reads it) in
    $WINEPREFIX; its status. The prefix's server must be running, its
    services started from /dev/null (Session, or `server start`)."""
    env = wine_env(os.environ["WINEPREFIX"], base=env)
    proc = subprocess.Popen([WINE, *args], env=env, start_new_session=True)
    try:
        status = proc.wait(timeout=timeout_s)
        return status if status >= 0 else 128 - status
    except subprocess.TimeoutExpired:
        _kill_group(proc)
        print(f"wine_driver: {args[0]} timed out after {timeout_s} s (WINEPREFIX={env['WINEPREFIX']})",
              file=sys.stderr)
        return 124
    except KeyboardInterrupt:
        _kill_group(proc)
        return 130


# -- ./lumaro run ---------------------------------------------------------------

# Statuses of `run` other than the launcher's own 0 and 1.
RUN_USAGE, RUN_NOT_A_LAUNCHER, RUN_NO_WINE, RUN_WINE_FAILED = 2, 3, 4, 5
RUN_TIMEOUT, RUN_KILLED = 124, 137  # as timeout(1)
RUN_DEFAULT_TIMEOUT_S = 600  # a first install of a large app on a slow disk


def inspect_facts(inspect, exe):
    """The BuildId and data folder lmr-inspect reads from exe (Lumaro's folder
    for an exe packed before identities), or WineError with its message when
    exe is not a launcher."""
    proc = subprocess.run([str(inspect), "--", str(exe)], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=300)
    if proc.returncode not in (0, 1):  # 1: a damaged payload, which the launcher itself reports
        raise WineError(proc.stderr.strip() or f"lmr-inspect failed with {proc.returncode}")
    facts = dict(line.split(": ", 1) for line in proc.stdout.splitlines() if ": " in line)
    if "build-id" not in facts:
        raise WineError(f"lmr-inspect gave no build-id for {exe}")
    return facts["build-id"], facts.get("data-folder", "Lumaro")


def print_run_report(launch, runtime, installed_now, log):
    print(f"exit-code: {launch.exit_code}")
    if launch.dialog is not None:
        print(f"dialog-caption: {launch.dialog['caption']}")
        print("dialog-text:")
        for line in (launch.dialog["text"] or "").replace("\r\n", "\n").rstrip("\n").split("\n"):
            print(f"  {line}")
    print(f"runtime-folder: {runtime}" + ("" if runtime.is_dir() else " (absent)"))
    print(f"installed-by-this-launch: {'yes' if installed_now else 'no'}")
    print(f"startup-log: {log}" + ("" if log.is_file() else " (absent)"))


def cmd_run(args):
    exe = Path(args.exe).resolve()
    try:
        build_id, data_folder = inspect_facts(args.inspect, exe)
    except WineError as e:
        print(f"lumaro run: {exe} is not a launcher: {e}", file=sys.stderr)
        return RUN_NOT_A_LAUNCHER
    missing = wine_missing()
    if missing:
        print(f"lumaro run: {missing}", file=sys.stderr)
        return RUN_NO_WINE
    work = Path(args.prefix).resolve().parent
    if args.localappdata:
        local = Path(args.localappdata).resolve()
    elif args.fresh:
        # Kept until the next --fresh run, so what was installed can be looked at.
        local = work / "run-fresh" / "Local"
        shutil.rmtree(local.parent, ignore_errors=True)
    else:
        local = work / "run-profile" / "Local"
    local.mkdir(parents=True, exist_ok=True)
    data_root = local / data_folder
    runtime = data_root / f"runtime-{build_id}"
    existed = runtime.is_dir()
    try:
        prefix = make_prefix(args.prefix, cabinet=args.cabinet, log=lambda t: print(t, file=sys.stderr))
        with Session(prefix, args.tools) as session:
            launch = session.launch(exe, localappdata=local, cwd=exe.parent,
                                    timeout_s=args.timeout)
    except WineError as e:
        print(f"lumaro run: {e}", file=sys.stderr)
        return RUN_WINE_FAILED
    if launch.timed_out:
        print(f"lumaro run: the launcher was still running after {args.timeout:g} s and was stopped",
              file=sys.stderr)
        return RUN_KILLED if launch.timed_out == "killed" else RUN_TIMEOUT
    if launch.exit_code is None:
        print(f"lumaro run: no exit code from the launcher: {launch.report.strip()}", file=sys.stderr)
        return RUN_WINE_FAILED
    print_run_report(launch, runtime, not existed and runtime.is_dir(), data_root / "startup.log")
    if launch.exit_code not in (0, 1):
        # It crashed, or ended on purpose without a dialog (out of memory).
        print(f"lumaro run: the launcher ended with {launch.exit_code:#x}", file=sys.stderr)
        return 1
    return launch.exit_code


# -- command line ---------------------------------------------------------------

def positive_seconds(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be a positive number of seconds")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)

    p = commands.add_parser("prefix", help="make a prefix (once; stamped and locked)")
    p.add_argument("dir")
    p.add_argument("--cabinet", help="the stand-in cabinet.dll, loaded instead of Wine's own")
    p.add_argument("--x11", action="store_true", help="the X11 graphics driver instead of none")
    p.add_argument("--desktop", metavar="WxH", help="with --x11: Wine's own virtual desktop")

    p = commands.add_parser("server", help="start or stop a prefix's persistent server")
    p.add_argument("action", choices=["start", "stop"])
    p.add_argument("dir")

    p = commands.add_parser("exec", help="run one program in $WINEPREFIX, passing its status on")
    p.add_argument("--timeout", type=positive_seconds,
                   default=float(os.environ.get("LUMARO_WINE_TIMEOUT", 900)))
    p.add_argument("program", nargs=argparse.REMAINDER)

    p = commands.add_parser("run", help="run a launcher and report what it did (./lumaro run)")
    p.add_argument("exe")
    p.add_argument("--prefix", required=True)
    p.add_argument("--tools", required=True, help="folder of lmr-runner.exe and lmr-dialog.exe")
    p.add_argument("--cabinet")
    p.add_argument("--inspect", required=True,
                   help="lmr-inspect, to refuse what is not a launcher before Wine starts")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--fresh", action="store_true")
    where.add_argument("--localappdata")
    p.add_argument("--timeout", type=positive_seconds, default=RUN_DEFAULT_TIMEOUT_S)

    args = parser.parse_args(argv)
    try:
        if args.command == "prefix":
            if args.desktop and not args.x11:
                parser.error("--desktop needs --x11")
            make_prefix(args.dir, args.cabinet, args.x11, args.desktop)
        elif args.command == "server":
            if args.action == "start":
                start_server(args.dir)
            else:
                stop_server(args.dir)
        elif args.command == "exec":
            program = args.program[1:] if args.program[:1] == ["--"] else args.program
            if not program:
                parser.error("exec needs a program")
            if not os.environ.get("WINEPREFIX"):
                print("wine_driver: WINEPREFIX is not set, so there is no prefix to run in. Either\n"
                      "  ./lumaro test windows   (builds, makes build/wine-prefix, runs ctest)\n"
                      "or make a prefix and start its server:\n"
                      "  tools/wine/wine_driver.py prefix DIR --cabinet CABINET.DLL\n"
                      "  tools/wine/wine_driver.py server start DIR\n"
                      "  WINEPREFIX=DIR ctest --preset windows", file=sys.stderr)
                return 2
            return run_program(program, args.timeout)
        elif args.command == "run":
            return cmd_run(args)
    except WineError as e:
        print(f"wine_driver: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

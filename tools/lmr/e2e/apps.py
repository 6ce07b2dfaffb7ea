"""What the scenarios build, run and look at: what the node.exe stand-in is
told to do and what it recorded, launchers around raw archives, a twin of the
run's prefix without the stand-in cabinet.dll, file holders, snapshots of
DataRoot and the comparison of an installed runtime with its app."""
import hashlib
import os
import random
import shutil
import struct
import subprocess
import threading
import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any, Optional, Union

from lmr import image
from lmr.e2e.session import Session, tree_listing, wait_for_file
from lmr.proc import Arg, ToolError, bounded, checked
from lmr.wine.calls import PathLike, win_path
from lmr.wine.launch import Launch
from lmr.wine.prefix import clone_prefix
from lmr.wine.session import Session as WineSession

Record = dict[str, Any]


def node_env(record: Optional[PathLike] = None, exit: Optional[int] = None,
             stderr: Union[str, bytes, None] = None, sleep_ms: Optional[int] = None, crash: bool = False,
             exec_line: Optional[str] = None) -> dict[str, str]:
    """The variables that tell the node.exe stand-in what to do; the launcher
    hands them on. record is a Linux path for its record of each run."""
    env = {}
    if record is not None:
        env["FAKE_NODE_RECORD"] = win_path(record)
    if exec_line is not None:
        env["FAKE_NODE_EXEC"] = exec_line
    if sleep_ms is not None:
        env["FAKE_NODE_SLEEP_MS"] = str(sleep_ms)
    if stderr is not None:
        env["FAKE_NODE_STDERR_HEX"] = (stderr.encode("utf-8") if isinstance(stderr, str) else stderr).hex()
    if crash:
        env["FAKE_NODE_CRASH"] = "1"
    if exit is not None:
        env["FAKE_NODE_EXIT"] = str(exit)
    return env


def build_id_of(exe: PathLike) -> str:
    return image.build_id(Path(exe).read_bytes())


def data_root(local: str) -> str:
    return os.path.join(local, "Lumaro")


def runtime_dir(local: str, exe: PathLike) -> str:
    return os.path.join(data_root(local), "runtime-" + build_id_of(exe))


def preinstall(exe: str, app_dir: str, local: str) -> str:
    """Puts a complete runtime of exe's app in place, as an install would leave it,
    so scenarios about the application skip the install. Returns RuntimeDir."""
    runtime = runtime_dir(local, exe)
    shutil.copytree(app_dir, runtime)
    open(os.path.join(runtime, "ready"), "wb").close()
    return runtime


def archive_bytes(entries: Sequence[tuple[str, bytes]]) -> bytes:
    """A package archive from (name, bytes) pairs, in the given order."""
    out = [struct.pack("<H", len(entries))]
    for name, data in entries:
        raw = name.encode("utf-8")
        out.append(struct.pack("<HI", len(raw), len(data)) + raw + data)
    return b"".join(out)


def app_entries(app_dir: str) -> list[tuple[str, bytes]]:
    """(name, bytes) of every file in an app folder, "/" between folders."""
    return [(rel, Path(app_dir, rel).read_bytes()) for rel in tree_listing(app_dir) if not rel.endswith("/")]


_record_cache: dict[str, str] = {}


def record_launcher(s: Session, archive: bytes, build_id: Optional[str] = None, package_size: Optional[int] = None,
                    corrupt: bool = False) -> str:
    """A launcher around raw archive bytes through lmr-record (cached per run)."""
    s.require_kit(s.kit.record_tool, s.kit.link_tool)
    key = hashlib.sha256(archive + repr((build_id, package_size, corrupt)).encode()).hexdigest()
    if key not in _record_cache:
        out = Path(s.scratch("records"), key[:16])
        out.mkdir(exist_ok=True)
        (out / "archive.bin").write_bytes(archive)
        args = ["--build-id", build_id] if build_id is not None else []
        args += ["--package-size", str(package_size)] if package_size is not None else []
        args += ["--corrupt-stream"] if corrupt else []
        record, constants = s.kit.record(out / "archive.bin", out, args)
        _record_cache[key] = str(s.kit.link(record, constants, out / "Lumaro.exe"))
    return _record_cache[key]


def damage_that_decodes(s: Session, exe: str, out_path: str, chunk: image.Chunk) -> str:
    """A copy of exe with one bit flipped inside a compressed chunk such that
    our decoder (the stand-in cabinet.dll's) still produces a package of the
    right length, only with other bytes. Returns the copy's path."""
    decoder = Path(s.host_build, "tests", "tools", "lmr-lzms-decode")
    s.require_kit(decoder)
    data = bytearray(Path(exe).read_bytes())
    good, decoded = Path(out_path + ".good"), Path(out_path + ".archive")
    checked([decoder, exe, good])
    rng = random.Random(chunk.stored)
    for _ in range(400):
        at = chunk.offset + rng.randrange(chunk.stored // 4, chunk.stored)  # past the chunk's code tables
        bit = 1 << rng.randrange(8)
        data[at] ^= bit
        Path(out_path).write_bytes(data)
        if bounded([decoder, out_path, decoded], 300) == 0 and decoded.read_bytes() != good.read_bytes():
            return out_path
        data[at] ^= bit
    raise AssertionError("no flip in the compressed chunk decoded to other bytes")


def launch(s: Session, exe: str, local: str, cwd: str, set_env: Optional[Mapping[str, str]] = None,
           timeout_s: float = 60, watch_dialog: bool = True) -> Launch:
    env = {"LOCALAPPDATA": win_path(local), **(set_env or {})}
    return s.launch(exe, set_env=env, cwd=cwd, timeout_s=timeout_s, watch_dialog=watch_dialog)


def read_records(path: str) -> list[Record]:
    """The stand-in's records of its runs, each as {"pid", "command_line",
    "argv", "cwd", "env", "stdin"/"stdout"/"stderr"/"nul": {"type", "path"}}."""
    if not os.path.exists(path):
        return []
    records: list[Record] = []
    fields: Optional[Record] = None
    with open(path, encoding="utf-8", newline="\n") as f:
        for line in f.read().split("\n"):
            key, _, value = line.partition("=")
            if key == "pid":
                fields = {"pid": int(value), "argv": [], "env": []}
            elif key == "end" and fields is not None:
                records.append({
                    "pid": fields["pid"], "command_line": fields["cmdline"], "argv": fields["argv"],
                    "cwd": fields["cwd"], "env": fields["env"],
                    **{h: {"type": None if fields[h + "_type"] == "none" else int(fields[h + "_type"]),
                           "path": fields[h + "_path"] or None}
                       for h in ("stdin", "stdout", "stderr", "nul")}})
                fields = None
            elif fields is not None and key in ("arg", "env"):
                fields["argv" if key == "arg" else "env"].append(value)
            elif fields is not None and key:
                fields[key] = value
    return records


def env_entries(record: Record, name: str) -> list[tuple[str, str]]:
    """Every entry of the child's block whose name equals name, case ignored."""
    hits = []
    for entry in record["env"]:
        eq = entry.find("=", 1)
        if eq > 0 and entry[:eq].upper() == name.upper():
            hits.append((entry[:eq], entry[eq + 1:]))
    return hits


class HeldFile:
    """A Windows process holding path open (default: read access, no sharing)."""

    def __init__(self, s: Session, path: str, access: str = "read", share: str = "none", create: bool = False) -> None:
        base = os.path.join(s.scratch("holders"), s.unique("hold"))
        self.ready, self.stop = base + ".ready", base + ".stop"
        argv: list[Arg] = [s.tool("lmr-hold-file.exe"), "--path", win_path(path), "--access", access,
                           "--share", share, "--lifetime-ms", "120000", "--ready-file", win_path(self.ready),
                           "--stop-file", win_path(self.stop)]
        self.proc = s.spawn([*argv, "--create"] if create else argv, "holder")

    def __enter__(self) -> "HeldFile":
        if not wait_for_file(self.ready, 30):
            raise ToolError("the file holder did not start")
        state = Path(self.ready).read_text()
        if state != "held":
            raise ToolError(f"the file holder could not open its file: {state}")
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        Path(self.stop).touch()
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            pass


# -- file system views ----------------------------------------------------------

def snapshot(root: str) -> dict[str, tuple[bool, int, int]]:
    """{relative path: (is folder, size, mtime_ns)} of root and everything in it."""
    out = {}
    for base, dirs, files in os.walk(root):
        for name in [""] + dirs + files if base == root else dirs + files:
            path = os.path.join(base, name) if name else base
            st = os.lstat(path)
            out[os.path.relpath(path, root)] = (os.path.isdir(path), st.st_size, st.st_mtime_ns)
    return out


def digest_file(path: str) -> tuple[int, str]:
    h, size = hashlib.sha256(), 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            size += len(chunk)
            h.update(chunk)
    return size, h.hexdigest()


def file_digests(root: str) -> dict[str, tuple[int, str]]:
    """{relative file path: (size, sha256)}; folders are implied by the files."""
    return {rel: digest_file(os.path.join(root, rel)) for rel in tree_listing(root) if not rel.endswith("/")}


def expected_runtime(app_dir: str) -> dict[str, tuple[int, str]]:
    """What a complete RuntimeDir of app_dir holds: its files plus an empty ready."""
    return {**file_digests(app_dir), "ready": (0, hashlib.sha256(b"").hexdigest())}


def runtime_problems(runtime: str, want: Mapping[str, tuple[int, str]]) -> list[str]:
    """Differences between RuntimeDir and the expected files; empty when identical."""
    have = file_digests(runtime)
    problems = [f"missing {n}" for n in sorted(set(want) - set(have))]
    problems += [f"extra {n}" for n in sorted(set(have) - set(want))]
    problems += [f"differs {n}" for n in sorted(set(want) & set(have)) if want[n] != have[n]]
    return problems


class StagingPoller:
    """Records every install-* name seen in a folder, polling in a thread."""

    def __init__(self, folder: str, interval_s: float = 0.002) -> None:
        self.folder, self.interval_s = folder, interval_s
        self.seen: set[str] = set()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.is_set():
            try:
                self.seen.update(n for n in os.listdir(self.folder) if n.startswith("install-"))
            except OSError:
                pass
            time.sleep(self.interval_s)

    def stop(self) -> set[str]:
        self._stop.set()
        self._thread.join()
        return self.seen


# -- a prefix without the stand-in cabinet.dll ------------------------------------

_plain: Optional[Session] = None


def plain_prefix_session(s: Session) -> Session:
    """A twin of the run's session on a clone of its prefix whose system32
    cabinet.dll is Wine's own (no Compression API) and with no override for it.
    Started on first use; stopped with stop_plain_prefix()."""
    global _plain
    if _plain is None:
        clone = clone_prefix(s.prefix, os.path.join(s.root, "prefix-plain"))
        if b"Wine builtin DLL" not in (clone / "drive_c/windows/system32/cabinet.dll").read_bytes()[:256]:
            raise ToolError("the clone still has the stand-in cabinet.dll")
        _plain = Session(s.kit, clone, root=s.root, logs="proc-plain")
        WineSession.start(_plain)  # the clone is made: only its server
    return _plain


def stop_plain_prefix() -> None:
    global _plain
    if _plain is not None:
        twin, _plain = _plain, None
        twin.close()


# -- generated content ------------------------------------------------------------

def incompressible(seed: int, size: int) -> bytes:
    return random.Random(seed).randbytes(size)


def compressible(seed: int, size: int) -> bytes:
    """Text-like bytes: lines drawn from a pool of random word lines, so the
    stream is mostly matches with some variety and decoding is real work."""
    rng = random.Random(seed)
    words = [bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz", k=rng.randint(2, 9))) for _ in range(2048)]
    pool = [b" ".join(rng.choices(words, k=12)) + b"\n" for _ in range(8192)]
    out = bytearray()
    while len(out) < size:
        out += b"".join(rng.choices(pool, k=4096))
    return bytes(out[:size])

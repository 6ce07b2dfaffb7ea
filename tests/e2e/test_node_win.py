# The node.exe downloader against a local stand-in for the npm registry: one
# download, then the cache; a damaged cache is fetched again; what does not
# match the registry's integrity is refused and never cached; and a registry
# that cannot be reached is told apart from one that answers wrongly.
import base64
import hashlib
import http.server
import io
import json
import os
import socket
import subprocess
import sys
import tarfile
import tempfile
import threading
import unittest
from pathlib import Path
from unittest import mock

from tests.e2e.harness import REPO
from tools import node_win

NODE_BYTES = b"MZ stand-in for node.exe " + bytes(range(256)) * 64
TARBALL_PATH = f"/{node_win.PACKAGE}/-/{node_win.PACKAGE}-{node_win.VERSION}.tgz"


def tarball(files):
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w:gz") as archive:
        for name, content in files.items():
            info = tarfile.TarInfo(name)
            info.size = len(content)
            archive.addfile(info, io.BytesIO(content))
    return data.getvalue()


def sri(data):
    return "sha512-" + base64.b64encode(hashlib.sha512(data).digest()).decode()


class FakeRegistry(http.server.ThreadingHTTPServer):
    """Answers the package's metadata and its tarball; counts requests."""

    def __init__(self):
        super().__init__(("127.0.0.1", 0), _Handler)
        self.url = f"http://127.0.0.1:{self.server_address[1]}"
        self.tgz = tarball({node_win.MEMBER: NODE_BYTES, "package/package.json": b"{}"})
        self.integrity = sri(self.tgz)
        self.tarball_status = 200
        self.requests = []


class _Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        registry = self.server
        registry.requests.append(self.path)
        if self.path == f"/{node_win.PACKAGE}/{node_win.VERSION}":
            dist = {"tarball": registry.url + TARBALL_PATH, "integrity": registry.integrity}
            self.answer(200, json.dumps({"dist": dist}).encode())
        elif self.path == TARBALL_PATH:
            self.answer(registry.tarball_status, registry.tgz)
        else:
            self.answer(404, b"not found")

    def answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}"


class NodeWinTests(unittest.TestCase):

    def setUp(self):
        temp = tempfile.TemporaryDirectory(prefix="lumaro-node-win-")
        self.addCleanup(temp.cleanup)
        self.cache = Path(temp.name) / "cache"
        self.registry = FakeRegistry()
        threading.Thread(target=self.registry.serve_forever, daemon=True).start()
        self.addCleanup(self.registry.server_close)
        self.addCleanup(self.registry.shutdown)
        patch = mock.patch.object(node_win, "REGISTRY", self.registry.url)
        patch.start()
        self.addCleanup(patch.stop)

    def fetch(self, cache=None):
        return node_win.node_exe(cache or self.cache, log=lambda text: None)

    def test_downloads_once_then_serves_the_cache(self):
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        self.assertEqual(len(self.registry.requests), 2, self.registry.requests)

    def test_damaged_cache_is_downloaded_again(self):
        node = self.fetch()
        node.write_bytes(NODE_BYTES[:-1] + b"!")
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        self.assertEqual(len(self.registry.requests), 4, self.registry.requests)

    def test_answers_that_are_not_the_package_are_refused_and_not_cached(self):
        good = self.registry.tgz
        no_node = tarball({"package/readme.md": b"hi"})
        cases = {
            "integrity of other bytes": (good, sri(b"something else"), 200),
            "tarball without node.exe": (no_node, sri(no_node), 200),
            "not a tarball": (b"<html>error</html>", sri(b"<html>error</html>"), 200),
            "HTTP 503 for the tarball": (good, sri(good), 503),
        }
        for number, (label, (tgz, integrity, status)) in enumerate(cases.items()):
            with self.subTest(label):
                self.registry.tgz, self.registry.integrity, self.registry.tarball_status = tgz, integrity, status
                cache = self.cache / str(number)
                with self.assertRaises(node_win.BadDownload):
                    self.fetch(cache)
                self.assertEqual([p.name for p in cache.rglob("*") if p.is_file()],
                                 [f".{node_win.PACKAGE}.lock"])

    def test_unreachable_registry_is_not_a_bad_download(self):
        with mock.patch.object(node_win, "REGISTRY", closed_port_url()):
            with self.assertRaises(node_win.Unreachable):
                self.fetch()

    def test_command_line_writes_into_a_folder_and_says_why_it_failed(self):
        cli = [sys.executable, os.path.join(REPO, "tools", "node_win.py")]
        dest = self.cache.parent / "app"
        env = dict(os.environ, npm_config_registry=self.registry.url)
        done = subprocess.run(cli + [f"{dest}/", "--cache", str(self.cache)], env=env,
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual((dest / "node.exe").read_bytes(), NODE_BYTES)

        env["npm_config_registry"] = closed_port_url()
        failed = subprocess.run(cli + [str(dest / "other.exe"), "--cache", str(self.cache / "empty")],
                                env=env, capture_output=True, text=True, timeout=120)
        self.assertEqual(failed.returncode, 1)
        self.assertIn("network", failed.stderr)
        self.assertFalse((dest / "other.exe").exists())


if __name__ == "__main__":
    unittest.main()

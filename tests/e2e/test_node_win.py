# The node.exe downloader against a local stand-in for the npm registry: one
# download, then the cache; an edited cache is never served; what does not
# match the registry's integrity is refused and never cached; a registry that
# cannot be reached, trickles or breaks off is told apart from one that
# answers wrongly; and the lock file is no way to truncate another file.
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
import time
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
        self.tarball_reply = "whole"  # or "drip", "cut chunked", "cut sized"
        self.stopping = threading.Event()
        self.requests = []


class _Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        registry = self.server
        registry.requests.append(self.path)
        if self.path == f"/{node_win.PACKAGE}/{node_win.VERSION}":
            dist = {"tarball": registry.url + TARBALL_PATH, "integrity": registry.integrity}
            self.answer(200, json.dumps({"dist": dist}).encode())
        elif self.path == TARBALL_PATH and registry.tarball_reply != "whole":
            self.broken(registry.tarball_reply, registry.tgz)
        elif self.path == TARBALL_PATH:
            self.answer(registry.tarball_status, registry.tgz)
        else:
            self.answer(404, b"not found")

    def answer(self, status, body):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def broken(self, how, body):
        self.send_response(200)
        if how == "cut chunked":
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            self.wfile.write(b"%x\r\n" % len(body) + body[: len(body) // 2])
        elif how == "cut sized":
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2])
        else:  # one byte every 0.2 s, for a minute at most
            self.send_header("Content-Length", str(1 << 20))
            self.end_headers()
            for _ in range(300):
                if self.server.stopping.is_set():
                    break
                try:
                    self.wfile.write(b"x")
                    self.wfile.flush()
                except OSError:
                    break
                time.sleep(0.2)
        self.close_connection = True

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
        self.addCleanup(self.registry.stopping.set)
        patch = mock.patch.object(node_win, "REGISTRY", self.registry.url)
        patch.start()
        self.addCleanup(patch.stop)

    def fetch(self, cache=None):
        return node_win.node_exe(cache or self.cache, log=lambda text: None)

    def test_downloads_once_then_serves_the_cache(self):
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        self.assertEqual(len(self.registry.requests), 2, self.registry.requests)

    def test_an_edited_cache_is_never_served(self):
        node = self.fetch()
        # node.exe edited along with a digest of it beside it: unpacked again
        # from the tarball, which the registry's integrity still vouches for.
        node.write_bytes(b"MZ edited")
        (node.parent / "node.exe.sha256").write_text(hashlib.sha256(b"MZ edited").hexdigest() + "\n")
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        self.assertEqual(len(self.registry.requests), 2, self.registry.requests)
        # The tarball edited: it no longer matches, and is fetched again.
        tgz = node.parent / f"{node_win.PACKAGE}-{node_win.VERSION}.tgz"
        tgz.write_bytes(tgz.read_bytes() + b"!")
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        self.assertEqual(len(self.registry.requests), 4, self.registry.requests)

    def test_a_tarball_cut_short_is_a_network_failure(self):
        for number, how in enumerate(["cut chunked", "cut sized"]):
            with self.subTest(how):
                self.registry.tarball_reply = how
                cache = self.cache / str(number)
                with self.assertRaises(node_win.Unreachable):
                    self.fetch(cache)
                self.assertEqual([p.name for p in cache.rglob("*") if p.is_file()], [f".{node_win.PACKAGE}.lock"])

    def test_a_trickle_meets_the_deadline(self):
        # In a child process: a download that ignored the deadline would hang.
        self.registry.tarball_reply = "drip"
        script = ("import sys\nfrom tools import node_win as n\n"
                  "n.REGISTRY, n.DOWNLOAD_DEADLINE_S = sys.argv[1], 1\n"
                  "try:\n    n.node_exe(sys.argv[2], log=lambda text: None)\n"
                  "except n.Unreachable as e:\n    sys.exit(f'unreachable: {e}')\n")
        done = subprocess.run([sys.executable, "-c", script, self.registry.url, str(self.cache)], cwd=REPO,
                              capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("unreachable: ", done.stderr)
        self.assertIn("not done after 1 s", done.stderr)

    def test_a_link_at_the_lock_file_is_not_followed(self):
        victim = self.cache.parent / "victim"
        victim.write_text("keep")
        self.cache.mkdir()
        (self.cache / f".{node_win.PACKAGE}.lock").symlink_to(victim)
        with self.assertRaises(node_win.FetchError):
            self.fetch()
        self.assertEqual(victim.read_text(), "keep")

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

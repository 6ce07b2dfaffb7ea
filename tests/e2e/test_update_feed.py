# Signed update feeds: lmr.release publishes two real launchers whose
# packages differ in one file, and the app kit (appkit/lumaro-update.mjs, under
# the native node) checks the feed, rebuilds the new exe from the running
# one's chunks plus the downloaded rest, byte for byte. Then every attack the
# kit must refuse, each with its reason and the data folder left as it was.
# Needs the host-release lmr-pack and lmr-inspect and the windows lumaro-link
# and lumaro-update.exe; no Wine.
import base64
import hashlib
import json
import os
import random
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
from collections.abc import Callable
from pathlib import Path
from typing import Any, Optional

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from lmr import REPO, feed, image, release
from lmr.build import Kit
from lmr.e2e.feed_server import FeedHandler, FeedServer, cut, serve
from lmr.proc import Arg

KIT = Kit()
HELPER = KIT.windows_build / "updater" / "lumaro-update.exe"
UPDATE_KIT = REPO / "appkit" / "lumaro-update.mjs"
DRIVER = Path(__file__).with_name("update_driver.mjs")
EXPIRES = "2099-01-01T00:00:00Z"
NODE = shutil.which("node")
# What a server writes past the point where its client hung up: the kernel's socket buffers.
SOCKET_SLACK = 16 << 20


def endless(h: FeedHandler) -> None:
    """A body without a length that never ends, until the client leaves."""
    h.send_response(200)
    h.end_headers()
    block = b"x" * 65536
    try:
        for _ in range(100_000):
            h.wfile.write(block)
            h.server.count(h.path, len(block))
    except OSError:
        pass


def stall(h: FeedHandler) -> None:
    """Headers, then silence."""
    h.send_response(200)
    h.send_header("Content-Length", "1000")
    h.end_headers()
    h.wfile.flush()
    time.sleep(5)


def redirect(h: FeedHandler) -> None:
    h.send_response(302)
    h.send_header("Location", "http://127.0.0.2:9/elsewhere/feed.json")
    h.send_header("Content-Length", "0")
    h.end_headers()


def public_b64(key: Ed25519PrivateKey) -> str:
    raw = key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    return base64.b64encode(raw).decode()


def write_keys(key: Ed25519PrivateKey, private: Path, public: Path) -> None:
    """The key pair as ./lumaro release keygen writes it."""
    private.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
    public.write_bytes(key.public_key().public_bytes(serialization.Encoding.PEM,
                                                     serialization.PublicFormat.SubjectPublicKeyInfo))


def write_app(app: Path, changed: bytes) -> None:
    """A package of several 1 MiB chunks: the app file that changes between
    releases (same size) sits among files that do not."""
    rng = random.Random(5)
    (app / "lib").mkdir(parents=True)
    (app / "node.exe").write_bytes(b"MZ" + rng.randbytes(1_500_000))
    (app / "lib" / "a.js").write_bytes(base64.b64encode(rng.randbytes(1_800_000)))
    (app / "lib" / "m.js").write_bytes(changed)
    (app / "lib" / "z.js").write_bytes(base64.b64encode(rng.randbytes(1_800_000)))
    (app / "home.mjs").write_text("import './lib/a.js';\n")


def tree(root: Path) -> dict[str, str]:
    """{relative path: sha256} of every file under root."""
    return {str(p.relative_to(root)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(root.rglob("*")) if p.is_file()}


def run_release(exe: Path, feed_dir: Path, key: Path, *extra: str) -> subprocess.CompletedProcess[str]:
    env = {**os.environ, "PYTHONPATH": str(REPO / "tools")}
    return subprocess.run(["/usr/bin/python3", "-m", "lmr.release", str(exe), "--feed", str(feed_dir), "--key",
                           str(key), "--expires", EXPIRES, *extra], env=env, capture_output=True, text=True,
                          timeout=600)


@unittest.skipUnless(NODE and not KIT.missing(KIT.pack_tool, KIT.link_tool, KIT.inspect_tool, HELPER),
                     "needs node, lmr-pack, lmr-inspect (host-release), lumaro-link and lumaro-update.exe (windows)")
class UpdateFeedTests(unittest.TestCase):
    tmp: tempfile.TemporaryDirectory[str]
    root: Path
    server: FeedServer
    key: Ed25519PrivateKey
    stranger: Ed25519PrivateKey
    settings: dict[str, Any]
    exes: dict[str, Path]
    releases: dict[str, dict[str, Any]]
    feed_dir: Path

    @classmethod
    def setUpClass(cls) -> None:
        cls.tmp = tempfile.TemporaryDirectory(prefix="lumaro-feed-")
        cls.root = Path(cls.tmp.name)
        cls.feed_dir = cls.root / "site" / "feed"
        cls.server = FeedServer(cls.root / "site")
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()
        cls.key, cls.stranger = Ed25519PrivateKey.generate(), Ed25519PrivateKey.generate()
        retired = Ed25519PrivateKey.generate()
        key_pem = cls.root / "feed-key.pem"
        write_keys(retired, cls.root / "retired.pem", cls.root / "retired.pub.pem")
        write_keys(cls.key, key_pem, cls.root / "feed-key.pub.pem")
        cls.settings = {"feed": cls.server.url + "feed/", "channel": "stable", "product": "Lumaro",
                        "keys": [public_b64(retired), public_b64(cls.key)]}
        update: list[Arg] = ["--update-feed", cls.server.url + "feed", "--update-key", cls.root / "retired.pub.pem",
                             "--update-key", cls.root / "feed-key.pub.pem", "--update-helper", HELPER]
        cls.exes, cls.releases = {}, {}
        for version, changed in (("1.0.0", b"export const v = 1;\n" * 500), ("2.0.0", b"export const v = 2;\n" * 500)):
            cls.releases[version] = {"version": version, "update": cls.settings}
            write_app(cls.root / version, changed)
            cls.exes[version] = KIT.launcher(cls.root / version, cls.root / "out" / version / "Lumaro.exe",
                                             ["--quiet", "--chunk-size", "1M", "--version", version, *update],
                                             version_rc=True)
            done = run_release(cls.exes[version], cls.feed_dir, key_pem)
            assert done.returncode == 0, done.stderr

    @classmethod
    def tearDownClass(cls) -> None:
        cls.server.shutdown()
        cls.server.server_close()
        cls.tmp.cleanup()

    def setUp(self) -> None:
        self.server.routes.clear()
        self.server.sent.clear()
        self.data = Path(tempfile.mkdtemp(prefix="data-", dir=self.root))
        self.use_release("1.0.0")

    def use_release(self, version: str) -> None:
        """The data folder as the launcher of that release leaves it."""
        exe = self.exes[version]
        self.runtime = self.data / f"runtime-{image.build_id(exe.read_bytes())}"
        (self.runtime / ".lumaro").mkdir(parents=True, exist_ok=True)
        (self.runtime / "ready").touch()
        (self.runtime / ".lumaro" / "release.json").write_text(json.dumps(self.releases[version]))
        self.exe = exe

    def kit(self, action: str = "check", **options: Any) -> dict[str, Any]:
        options.setdefault("exePath", str(self.exe))
        options.setdefault("idleTimeoutMs", 5000)
        done = subprocess.run([str(NODE), str(DRIVER), UPDATE_KIT.as_uri(), action, json.dumps(options)],
                              cwd=self.runtime, capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        result: dict[str, Any] = json.loads(done.stdout.splitlines()[-1])
        return result

    def signed(self, key: Optional[Ed25519PrivateKey] = None, tamper: Optional[Callable[[bytes], bytes]] = None,
               **fields: Any) -> bytes:
        """An envelope around v2's manifest with fields replaced, signed by
        key (the trusted one by default), its manifest bytes then tampered."""
        key = key or self.key
        exe = self.exes["2.0.0"].read_bytes()
        value = feed.manifest("Lumaro", "stable", "2.0.0", 2, image.build_id(exe), feed.parse_expires(EXPIRES), exe)
        value.update(fields)
        body = feed.canonical(value)
        signature = key.sign(body)
        raw = key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
        return feed.envelope(tamper(body) if tamper else body, raw, signature)

    def serve_manifest(self, envelope: bytes) -> None:
        self.server.routes["/feed/stable/feed.json"] = serve(envelope)

    def part_path(self, digest: str) -> str:
        return f"/feed/parts/{digest}"

    def new_segments(self) -> list[feed.Segment]:
        """v2's segments that v1 does not hold."""
        old = {s.sha256 for s in feed.segments(self.exes["1.0.0"].read_bytes())}
        return [s for s in feed.segments(self.exes["2.0.0"].read_bytes()) if s.sha256 not in old]

    def refused(self, reason: str, action: str = "check", step: str = "check", **options: Any) -> dict[str, Any]:
        """The kit refuses with reason, and the data folder is as it was."""
        before = tree(self.data)
        result = self.kit(action, **options)
        self.assertEqual((result.get("reason"), result.get("step")), (reason, step), result)
        self.assertEqual(tree(self.data), before)
        return result

    # The update itself.

    def test_rebuilds_the_new_exe_from_reused_chunks_and_new_parts(self) -> None:
        result = self.kit("download")
        self.assertEqual((result["update"]["version"], result["update"]["sequence"]), ("2.0.0", 2))
        target = self.data / result["download"]["path"]
        new_exe = self.exes["2.0.0"].read_bytes()
        self.assertEqual(target.read_bytes(), new_exe)
        self.assertEqual(target.name, f"update-{hashlib.sha256(new_exe).hexdigest()[:16]}.exe")
        missing = self.new_segments()
        parts = {p: n for p, n in self.server.sent.items() if p.startswith("/feed/parts/")}
        self.assertEqual(parts, {self.part_path(s.sha256): s.size for s in missing})
        self.assertEqual(result["download"]["downloadedBytes"], sum(s.size for s in missing))
        self.assertEqual(json.loads((self.data / "update-state.json").read_text()),
                         {"highest": {"Lumaro/stable": 2}})
        print(f"\nfeed update: {sum(parts.values())} of {len(new_exe)} bytes downloaded "
              f"({sum(parts.values()) / len(new_exe):.3f}), {len(missing)} parts")
        # Asked again, the ready exe is kept, and nothing more is fetched.
        self.server.sent.clear()
        self.assertEqual(self.kit("download")["download"]["downloadedBytes"], 0)
        self.assertEqual([p for p in self.server.sent if p.startswith("/feed/parts/")], [])

    def test_without_the_running_exe_the_whole_exe_is_one_part(self) -> None:
        result = self.kit("download", exePath=None)
        new_exe = self.exes["2.0.0"].read_bytes()
        self.assertEqual((self.data / result["download"]["path"]).read_bytes(), new_exe)
        whole = self.part_path(hashlib.sha256(new_exe).hexdigest())
        self.assertEqual({p: n for p, n in self.server.sent.items() if p.startswith("/feed/parts/")},
                         {whole: len(new_exe)})

    def test_the_current_release_is_no_update(self) -> None:
        self.use_release("2.0.0")
        self.assertEqual(self.kit("download"), {"update": None, "download": None})

    # A download cut short: kept, and gone on with by the next call.

    def cut_download(self) -> tuple[feed.Segment, int]:
        """The largest new part cut half-way: the part, and the bytes of it
        the partial file holds."""
        part = max(self.new_segments(), key=lambda s: s.size)
        body = (self.feed_dir / "parts" / part.sha256).read_bytes()
        self.server.routes[self.part_path(part.sha256)] = cut(body, part.size // 2)
        result = self.kit("download")
        self.assertEqual((result.get("reason"), result.get("step")), ("network", "download"), result)
        [partial] = [self.data / n for n in tree(self.data) if n.endswith(".partial")]
        offset = self.exes["2.0.0"].read_bytes().index(body)
        self.server.routes.clear()
        self.server.sent.clear()
        return part, partial.stat().st_size - offset

    def assertFinished(self, result: dict[str, Any]) -> None:
        self.assertEqual((self.data / result["download"]["path"]).read_bytes(), self.exes["2.0.0"].read_bytes())
        self.assertEqual([n for n in tree(self.data) if n.endswith(".partial")], [])

    def test_a_cut_download_goes_on_from_where_it_stopped(self) -> None:
        part, kept = self.cut_download()
        self.assertGreater(kept, 0)
        result = self.kit("download")
        self.assertFinished(result)
        self.assertEqual(self.server.ranges, [(self.part_path(part.sha256), kept)])
        self.assertEqual(self.server.sent[self.part_path(part.sha256)], part.size - kept)
        later = sum(s.size for s in self.new_segments()[self.new_segments().index(part) + 1:])
        self.assertEqual(result["download"]["downloadedBytes"], part.size - kept + later)

    def test_a_cut_download_is_finished_by_a_server_without_ranges(self) -> None:
        part, _ = self.cut_download()
        body = (self.feed_dir / "parts" / part.sha256).read_bytes()
        self.server.routes[self.part_path(part.sha256)] = serve(body)  # answers a range with the whole part
        self.assertFinished(self.kit("download"))
        self.assertEqual(self.server.sent[self.part_path(part.sha256)], part.size)

    def test_a_partial_file_with_wrong_bytes_is_fetched_again(self) -> None:
        part, _ = self.cut_download()
        [partial] = [self.data / n for n in tree(self.data) if n.endswith(".partial")]
        partial.write_bytes(bytes(partial.stat().st_size))  # what a power cut can leave
        self.assertFinished(self.kit("download"))

    # Attacks on the check: each refused, nothing written.

    def test_a_manifest_signed_by_an_unknown_key_is_refused(self) -> None:
        self.serve_manifest(self.signed(key=self.stranger))
        self.refused("untrusted-key")

    def test_a_tampered_manifest_is_refused(self) -> None:
        self.serve_manifest(self.signed(tamper=lambda b: b.replace(b'"2.0.0"', b'"9.0.0"')))
        self.refused("bad-signature")

    def test_another_product_or_channel_is_refused(self) -> None:
        cases: list[tuple[dict[str, Any], str]] = [({"product": "Other"}, "wrong-product"),
                                                   ({"channel": "beta"}, "wrong-channel")]
        for fields, reason in cases:
            with self.subTest(reason):
                self.serve_manifest(self.signed(**fields))
                self.refused(reason)

    def test_an_expired_manifest_is_refused(self) -> None:
        self.serve_manifest(self.signed(expires="2020-01-01T00:00:00Z"))
        self.refused("expired")

    def test_an_older_release_is_refused(self) -> None:
        self.use_release("2.0.0")
        self.serve_manifest(self.signed(version="1.5.0", sequence=3))
        self.refused("downgrade")

    def test_versions_are_ordered_alike_by_the_kit_and_the_release_command(self) -> None:
        """Pre-releases come before their release; numbers compare as numbers."""
        cases = [("2.0.0-beta.2", "2.0.0", 1), ("2.0.0", "2.0.0-rc.1", -1), ("1.9.9", "1.10.0", 1),
                 ("2.0.0-beta.9", "2.0.0-beta.10", 1), ("2.0.0-alpha.1", "2.0.0-alpha", -1), ("2.0", "2.0.0+b7", 0),
                 ("2.0.0-rc.9007199254740992", "2.0.0-rc.9007199254740993", 1)]
        for running, offered, order in cases:
            with self.subTest(running=running, offered=offered):
                self.assertEqual(feed.compare_versions(offered, running), order)
                release = json.loads((self.runtime / ".lumaro" / "release.json").read_text())
                release["version"] = running
                (self.runtime / ".lumaro" / "release.json").write_text(json.dumps(release))
                self.serve_manifest(self.signed(version=offered))
                result = self.kit()
                outcome = result["reason"] if "reason" in result else (result["update"] or {}).get("version")
                self.assertEqual(outcome, {-1: "downgrade", 0: None, 1: offered}[order])

    def test_a_version_the_pack_tool_never_writes_is_refused(self) -> None:
        for version in ("2.0.0.0.1", "2.0.0-rc..1", "2.0.0-"):
            with self.subTest(version=version):
                self.serve_manifest(self.signed(version=version))
                self.refused("bad-manifest")

    def test_a_lower_sequence_is_refused_after_a_restart(self) -> None:
        self.serve_manifest(self.signed(sequence=5))
        self.assertEqual(self.kit()["update"]["sequence"], 5)
        self.server.routes.clear()  # the published feed: release 2
        self.refused("rollback")

    def test_endless_or_oversized_manifests_are_refused(self) -> None:
        self.server.routes["/feed/stable/feed.json"] = endless
        self.refused("manifest-too-large")
        self.assertLess(self.server.sent["/feed/stable/feed.json"], feed.MAX_ENVELOPE_BYTES + SOCKET_SLACK)
        self.serve_manifest(b"{" + b" " * feed.MAX_ENVELOPE_BYTES + b"}")
        self.refused("manifest-too-large")

    def test_a_redirect_is_refused(self) -> None:
        self.server.routes["/feed/stable/feed.json"] = redirect
        self.refused("redirect")

    def test_a_silent_server_times_out(self) -> None:
        self.server.routes["/feed/stable/feed.json"] = stall
        self.refused("timeout", idleTimeoutMs=300)

    def test_a_feed_that_is_not_http_is_refused(self) -> None:
        release = json.loads((self.runtime / ".lumaro" / "release.json").read_text())
        release["update"]["feed"] = "file:///etc/"
        (self.runtime / ".lumaro" / "release.json").write_text(json.dumps(release))
        self.refused("bad-url")

    # Attacks on the download: refused, no exe and no partial file left.

    def download_refused(self, reason: str, **options: Any) -> None:
        def files() -> dict[str, str]:
            return {name: digest for name, digest in tree(self.data).items() if name != "update-state.json"}
        before = files()
        result = self.kit("download", **options)
        self.assertEqual((result.get("reason"), result.get("step")), (reason, "download"), result)
        self.assertEqual(files(), before)

    def test_a_tampered_part_is_refused(self) -> None:
        part = self.new_segments()[0]
        body = (self.feed_dir / "parts" / part.sha256).read_bytes()
        self.server.routes[self.part_path(part.sha256)] = serve(bytes([body[0] ^ 1]) + body[1:])
        self.download_refused("bad-part")

    def test_a_part_larger_than_its_manifest_entry_is_refused(self) -> None:
        part = self.new_segments()[0]
        body = (self.feed_dir / "parts" / part.sha256).read_bytes()
        for route in (serve(body + b"more"), endless):
            with self.subTest(route=route):
                self.server.routes[self.part_path(part.sha256)] = route
                self.server.sent.clear()
                self.download_refused("part-too-large")
                self.assertLess(self.server.sent[self.part_path(part.sha256)], part.size + SOCKET_SLACK)

    def test_a_manifest_whose_exe_hash_does_not_match_its_parts_is_refused(self) -> None:
        self.serve_manifest(self.signed(exe={"sha256": "ab" * 32, "size": self.exes["2.0.0"].stat().st_size}))
        self.download_refused("exe-mismatch")


@unittest.skipUnless(not KIT.missing(KIT.pack_tool, KIT.link_tool, KIT.inspect_tool, HELPER),
                     "needs lmr-pack, lmr-inspect (host-release), lumaro-link and lumaro-update.exe (windows)")
class ReleaseCommandTests(unittest.TestCase):
    """An exe packed by ./lumaro pack with update settings; what lmr.release
    refuses, and the same feed from the same inputs."""
    tmp: tempfile.TemporaryDirectory[str]
    root: Path
    exe: Path
    key: Ed25519PrivateKey
    key_pem: Path
    other_pem: Path

    @classmethod
    def setUpClass(cls) -> None:
        cls.tmp = tempfile.TemporaryDirectory(prefix="lumaro-release-")
        cls.root = Path(cls.tmp.name)
        cls.key = Ed25519PrivateKey.generate()
        cls.key_pem, cls.other_pem = cls.root / "key.pem", cls.root / "other.pem"
        write_keys(cls.key, cls.key_pem, cls.root / "key.pub.pem")
        write_keys(Ed25519PrivateKey.generate(), cls.other_pem, cls.root / "other.pub.pem")
        write_app(cls.root / "app", b"// one\n")
        (cls.root / "out").mkdir()
        cls.exe = cls.root / "out" / "SoTay.exe"
        done = subprocess.run([str(REPO / "lumaro"), "pack", str(cls.root / "app"), "-o", str(cls.exe), "--quiet",
                               "--version", "1.0.0", "--data-folder", "SoTay", "--update-feed",
                               "https://example.com/feed", "--update-key", str(cls.root / "key.pub.pem")],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=1800)
        assert done.returncode == 0, done.stderr

    @classmethod
    def tearDownClass(cls) -> None:
        cls.tmp.cleanup()

    def test_the_packed_settings_are_the_ones_release_reads(self) -> None:
        packed = release.package_release(KIT, self.exe)
        self.assertEqual(feed.update_settings(packed),
                         feed.UpdateSettings("https://example.com/feed/", "stable", "SoTay", (public_b64(self.key),)))
        files = self.root / "extracted"
        subprocess.run([str(KIT.inspect_tool), "--extract", str(files), "--", str(self.exe)], check=True,
                       capture_output=True, timeout=600)
        self.assertEqual((files / ".lumaro" / "update.exe").read_bytes(), HELPER.read_bytes())

    def test_same_inputs_give_the_same_feed(self) -> None:
        first, second = self.root / "feed-a", self.root / "feed-b"
        for where in (first, second):
            self.assertEqual(run_release(self.exe, where, self.key_pem).returncode, 0)
        self.assertEqual(tree(first), tree(second))
        envelope = (first / "stable" / "feed.json").read_bytes()
        manifest = json.loads(feed.open_envelope(envelope)[0])
        self.assertEqual((manifest["sequence"], manifest["expires"]), (1, EXPIRES))

    def test_refusals_leave_the_feed_unchanged(self) -> None:
        folder = self.root / "feed-refusals"
        self.assertEqual(run_release(self.exe, folder, self.key_pem).returncode, 0)
        published = tree(folder)
        for extra, key, words in (((), self.other_pem, "is not one"),
                                  ((), self.key_pem, "not newer than 1.0.0"),
                                  (("--channel", "beta"), self.key_pem, 'follows channel "stable"')):
            with self.subTest(words):
                done = run_release(self.exe, folder, key, *extra)
                self.assertEqual(done.returncode, 3, done.stderr)
                self.assertIn(words, done.stderr)
                self.assertEqual(tree(folder), published)

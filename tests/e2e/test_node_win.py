# node.exe through `npm pack`, against a stand-in npm registry that npm itself
# asks (npm_config_registry): one fetch, then the cache; an edited cache is
# never served; what does not match the registry's integrity or holds no
# node.exe is refused and never cached; an unknown version and a registry that
# cannot be reached are told apart; the lock file is no way to truncate
# another file; and a cache that is not the user's own is refused whole.
import os
import subprocess
import tempfile
import unittest
from collections.abc import Callable
from pathlib import Path
from unittest import mock

from lmr import REPO, node_win
from lmr.e2e.services import FakeRegistry, closed_port_url, npm_env, sri, tarball

NODE_BYTES = b"MZ stand-in for node.exe " + bytes(range(256)) * 64
NOBODY = 65534


class NodeWinTests(unittest.TestCase):

    def setUp(self) -> None:
        temp = tempfile.TemporaryDirectory(prefix="lumaro-node-win-")
        self.addCleanup(temp.cleanup)
        self.root = Path(temp.name)
        self.cache = self.root / "cache"
        self.registry = FakeRegistry(NODE_BYTES)
        self.addCleanup(self.registry.close)
        self.use_registry(self.registry.url)

    def use_registry(self, url: str) -> None:
        patch = mock.patch.dict(os.environ, npm_env(self.root / "home", url))
        patch.start()
        self.addCleanup(patch.stop)

    def fetch(self, cache: Path | None = None, version: str = node_win.VERSION) -> Path:
        return node_win.node_exe(cache or self.cache, log=lambda text: None, version=version)

    def cached_files(self, cache: Path) -> list[str]:
        return sorted(p.name for p in cache.rglob("*") if p.is_file())

    def test_fetches_once_then_serves_the_cache(self) -> None:
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        self.registry.close()  # nothing to ask any more
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        self.assertEqual(self.registry.tarball_requests, 1)

    def test_an_edited_cache_is_never_served(self) -> None:
        node = self.fetch()
        node.write_bytes(b"MZ edited")  # unpacked again from the tarball, which its integrity vouches for
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        tgz = node.parent / f"{node_win.PACKAGE}-{node_win.VERSION}.tgz"
        tgz.write_bytes(tgz.read_bytes() + b"!")  # no longer matches: fetched again
        node.write_bytes(b"MZ edited")
        self.assertEqual(self.fetch().read_bytes(), NODE_BYTES)
        self.assertEqual(tgz.read_bytes(), self.registry.tgz)

    def test_answers_that_are_not_the_package_are_refused_and_not_cached(self) -> None:
        no_node = tarball({"package/readme.md": b"hi"})
        cases = {"integrity of other bytes": (self.registry.tgz, sri(b"something else")),
                 "tarball without node.exe": (no_node, sri(no_node))}
        for number, (label, (tgz, integrity)) in enumerate(cases.items()):
            with self.subTest(label):
                self.registry.tgz, self.registry.integrity = tgz, integrity
                cache = self.cache / str(number)
                with self.assertRaises(node_win.BadDownload):
                    self.fetch(cache)
                self.assertEqual(self.cached_files(cache), [f".{node_win.PACKAGE}.lock"])

    def test_unknown_version_and_unreachable_registry_are_told_apart(self) -> None:
        with self.assertRaises(node_win.UnknownVersion):
            self.fetch(version="20.99.0")
        self.use_registry(closed_port_url())
        with self.assertRaises(node_win.Unreachable):
            self.fetch()

    def test_a_link_at_the_lock_file_is_not_followed(self) -> None:
        victim = self.root / "victim"
        victim.write_text("keep")
        self.cache.mkdir(mode=0o700)
        (self.cache / f".{node_win.PACKAGE}.lock").symlink_to(victim)
        with self.assertRaises(node_win.FetchError):
            self.fetch()
        self.assertEqual(victim.read_text(), "keep")

    def test_a_cache_that_is_not_the_users_own_is_refused_and_nothing_is_used(self) -> None:
        folder = f"{node_win.PACKAGE}-{node_win.VERSION}"

        def mode(path: str, bits: int) -> Callable[[Path], None]:
            return lambda cache: (cache / path).chmod(bits)

        def owner(path: str) -> Callable[[Path], None]:
            return lambda cache: os.chown(cache / path, NOBODY, -1)

        cases = {"cache writable by the group": mode(".", 0o770),
                 "version folder writable by all": mode(folder, 0o777),
                 "node.exe writable by the group": mode(f"{folder}/node.exe", 0o664)}
        if os.getuid() == 0:
            cases.update({"node.exe of another user": owner(f"{folder}/node.exe"),
                          "cache folder of another user": owner(".")})
        for number, (label, plant) in enumerate(cases.items()):
            with self.subTest(label):
                cache = self.cache / str(number)
                cache.mkdir(parents=True, mode=0o700)
                node = self.fetch(cache)
                node.write_bytes(b"MZ planted")
                plant(cache)
                requests = self.registry.tarball_requests
                with self.assertRaisesRegex(node_win.UntrustedCache, "refusing the cache: "):
                    self.fetch(cache)
                self.assertEqual(self.registry.tarball_requests, requests)
                self.assertEqual(node.read_bytes(), b"MZ planted")

    def test_a_cache_under_a_folder_others_may_change_is_refused(self) -> None:
        # Another user could swap the cache, or a link on the way to it, for one of theirs.
        shared = self.root / "shared"
        shared.mkdir()
        self.fetch(shared / "cache")
        (shared / "elsewhere").mkdir(mode=0o700)
        self.fetch(shared / "elsewhere" / "cache")
        (shared / "link").symlink_to(shared / "elsewhere")
        through_link = shared / "link" / "cache"
        for bits, refused in ((0o777, True), (0o1777, False), (0o775, True), (0o755, False)):
            shared.chmod(bits)
            for label, cache in (("cache", shared / "cache"), ("through a link", through_link)):
                with self.subTest(f"{label} under mode {bits:04o}"):
                    if refused:
                        with self.assertRaisesRegex(node_win.UntrustedCache, f"refusing the cache: {shared} "):
                            self.fetch(cache)
                    else:
                        self.assertEqual(self.fetch(cache).read_bytes(), NODE_BYTES)

    def test_a_link_on_the_way_is_checked_where_it_leads(self) -> None:
        # Any folder may hold a link, but the folders it leads through count too.
        shared = self.root / "shared"
        shared.mkdir()
        self.fetch(shared / "cache")
        shared.chmod(0o777)
        (self.root / "mine").symlink_to(shared)
        with self.assertRaisesRegex(node_win.UntrustedCache, f"refusing the cache: {shared} "):
            self.fetch(self.root / "mine" / "cache")

    def test_a_version_as_node_prints_it(self) -> None:
        self.assertEqual(self.fetch(version=f"v{node_win.VERSION}"), self.fetch())
        self.assertEqual(self.registry.tarball_requests, 1)
        for wrong in ("vv20.18.0", "V20.18.0", "20.18", "v", "20.18.0 "):
            with self.subTest(wrong), self.assertRaisesRegex(node_win.UnknownVersion, "is not a Node.js version"):
                self.fetch(version=wrong)

    def test_command_line_writes_into_a_folder_and_says_why_it_failed(self) -> None:
        cli = ["/usr/bin/python3", "-m", "lmr.node_win"]
        dest = self.root / "app"
        env = dict(os.environ, PYTHONPATH=str(REPO / "tools"))
        done = subprocess.run(cli + [f"{dest}/", "--cache", str(self.cache)], env=env,
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual((dest / "node.exe").read_bytes(), NODE_BYTES)

        env["npm_config_registry"] = closed_port_url()
        failed = subprocess.run(cli + [str(dest / "other.exe"), "--cache", str(self.cache / "empty")],
                                env=env, capture_output=True, text=True, timeout=300)
        self.assertEqual(failed.returncode, 1)
        self.assertIn("network", failed.stderr)
        self.assertFalse((dest / "other.exe").exists())

"""The example release workflow (docs/examples/release.yml), run: every `run:`
step in order, as the runner would (bash -eo pipefail, the job's and the
step's env, working-directory), in a workspace laid out as the workflow
expects, with a throwaway signing key as its secrets, a local RFC 3161 server,
and a stand-in npm registry serving the sample node.exe as Node.js 20.18.0.
The `uses:` steps are the workspace's setup. The app takes updates: its
release is added to a feed that has none yet."""
import base64
import json
import re
import subprocess
import tempfile
import unittest
from pathlib import Path
from typing import Any

import yaml

from lmr import REPO, feed, release
from lmr.build import Kit
from lmr.e2e.services import (OPENSSL, OSSLSIGNCODE, SOFTHSM_MODULE, TOKEN_PIN, FakeRegistry, TimestampServer, Token,
                              make_signer, npm_env, verify)

WORKFLOW = REPO / "docs/examples/release.yml"
WINDOWS_BUILD = Kit().windows_build
SAMPLE_NODE = WINDOWS_BUILD / "sample-app/node.exe"
TAG = "v2.3.4-rc.1"
STEP_TIMEOUT_S = 1200
# Nothing listens there: the feed has no release yet.
FEED_URL = "http://127.0.0.1:9/sample/feed/"


def expand(text: object, context: dict[str, str]) -> str:
    """${{ secrets.X }}, ${{ vars.X }}, ${{ github.X }}; anything else is a test failure."""
    def value(match: re.Match[str]) -> str:
        expression = match.group(1).strip()
        if expression not in context:
            raise AssertionError(f"the workflow uses ${{{{ {expression} }}}}, which this test does not provide")
        return context[expression]
    return re.sub(r"\$\{\{(.*?)\}\}", value, str(text))


def wanted(step: dict[str, Any], env: dict[str, str]) -> bool:
    """A step's `if:`: always(), or env.NAME == / != 'value'; anything else is a test failure."""
    condition = step.get("if", "always()").strip()
    if condition == "always()":
        return True
    match = re.fullmatch(r"env\.(\w+) (==|!=) '([^']*)'", condition)
    if not match:
        raise AssertionError(f"the workflow uses if: {condition}, which this test does not evaluate")
    name, operator, value = match.groups()
    return (env.get(name, "") == value) == (operator == "==")


@unittest.skipUnless(OSSLSIGNCODE and OPENSSL and SAMPLE_NODE.exists(),
                     "osslsigncode, openssl or the windows build missing")
class ReleaseWorkflowTests(unittest.TestCase):

    def test_every_step_runs_and_releases_a_signed_exe_a_rebuild_reproduces(self) -> None:
        self.release("pfx")

    def test_the_pkcs11_variant_signs_on_a_softhsm2_token(self) -> None:
        self.release("pkcs11")

    def release(self, signing: str) -> None:
        workflow = yaml.safe_load(WORKFLOW.read_text())
        [job] = workflow["jobs"].values()
        with tempfile.TemporaryDirectory(prefix="lumaro-release-") as tmp:
            root = Path(tmp)
            workspace, runner_temp, home = root / "workspace", root / "runner-temp", root / "home"
            for folder in (workspace, runner_temp, home):
                folder.mkdir()
            # actions/checkout twice: the app's repository, Lumaro at lumaro/.
            app = workspace / "app"
            app.mkdir()
            feed_key, feed_public = root / "feed-key.pem", app / "keys" / "feed-key.pub.pem"
            feed_public.parent.mkdir()
            release.keygen(feed_key, feed_public)
            (app / "package.json").write_text(json.dumps({
                "name": "sample-app", "version": "0.0.0-dev", "private": True,
                "lumaro": {"updateFeed": FEED_URL, "updateKeys": ["keys/feed-key.pub.pem"]}}))
            (app / "package-lock.json").write_text(json.dumps({
                "name": "sample-app", "version": "0.0.0-dev", "lockfileVersion": 3, "requires": True,
                "packages": {"": {"name": "sample-app", "version": "0.0.0-dev"}}}))
            (app / "home.mjs").write_text("console.log('released');\n")
            (workspace / "lumaro").symlink_to(REPO)

            _, cert, pfx = make_signer(root, "throwaway pass")
            token = Token(root / "token")
            tsa = TimestampServer(root / "tsa")
            self.addCleanup(tsa.close)
            registry = FakeRegistry(SAMPLE_NODE.read_bytes())
            self.addCleanup(registry.close)
            context = {
                "secrets.SIGNING_KEY_PFX": base64.b64encode(pfx.read_bytes()).decode(),
                "secrets.SIGNING_KEY_PASSWORD": "throwaway pass",
                "vars.TIMESTAMP_URL": tsa.url,
                "vars.SIGNING": signing,
                "secrets.PKCS11_PIN": TOKEN_PIN,
                "vars.PKCS11_KEY": Token.uri,
                "vars.PKCS11_MODULE": str(SOFTHSM_MODULE),
                "vars.SIGNING_CERT_CHAIN": token.cert.read_text(),
                "vars.FEED_URL": FEED_URL,
                "secrets.FEED_KEY": feed_key.read_text(),
            }
            base_env = dict(npm_env(home, registry.url), GITHUB_REF_NAME=TAG, GITHUB_WORKSPACE=str(workspace),
                            RUNNER_TEMP=str(runner_temp), SOFTHSM2_CONF=str(token.conf))
            base_env.pop("LUMARO_SIGN_PASSWORD", None)
            base_env.update({k: expand(v, context) for k, v in job.get("env", {}).items()})

            private_key_body = feed_key.read_text().splitlines()[1]
            ran = []
            for step in job["steps"]:
                if "run" not in step or not wanted(step, base_env):
                    continue
                name = step.get("name", step["run"])
                env = dict(base_env, **{k: expand(v, context) for k, v in step.get("env", {}).items()})
                proc = subprocess.run(["bash", "--noprofile", "--norc", "-eo", "pipefail", "-c",
                                       expand(step["run"], context)],
                                      cwd=workspace / step.get("working-directory", "."), env=env,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                      timeout=STEP_TIMEOUT_S)
                output = proc.stdout.decode("utf-8", "replace")
                self.assertEqual(proc.returncode, 0, f"step {name!r} failed:\n{output[-4000:]}")
                self.assertNotIn("throwaway pass", output, f"step {name!r} printed the key's password")
                self.assertNotIn(TOKEN_PIN, output, f"step {name!r} printed the token's PIN")
                self.assertNotIn(private_key_body, output, f"step {name!r} printed the feed's key")
                ran.append(name)

            self.assertIn("Start it as a user would (exit status is the launcher's)", ran)
            self.assertIn("Same bytes as a rebuild", ran)
            self.assertIn("Pack and sign on the HSM" if signing == "pkcs11" else "Pack and sign", ran)
            # lumaro/ is a link to this tree: its build folders must still be this tree's.
            self.assertNotIn(str(workspace), (WINDOWS_BUILD / "lumaro-link").read_text())
            self.assertFalse((runner_temp / "key.pfx").exists(), "the key was left behind")
            self.assertFalse((runner_temp / "feed-key.pem").exists(), "the feed's key was left behind")
            exe = workspace / "dist" / f"App-{TAG[1:]}.exe"
            result = verify(exe, token.cert if signing == "pkcs11" else cert, tsa.cert)
            self.assertEqual(result.returncode, 0, result.stdout.decode())
            self.assertEqual(tsa.requests, 1)
            inspected = subprocess.run([str(REPO / "lumaro"), "inspect", "--list", str(exe)],
                                       capture_output=True, text=True, timeout=300)
            self.assertIn(f"version: {TAG[1:]} (2.3.4.0)", inspected.stdout)
            self.assertIn(f"file: {SAMPLE_NODE.stat().st_size} node.exe", inspected.stdout)
            # The feed's first release is this exe, and its parts rebuild it.
            manifest = json.loads(base64.b64decode(json.loads(
                (workspace / "feed" / "stable" / feed.ENVELOPE_NAME).read_text())["manifest"]))
            self.assertEqual((manifest["version"], manifest["sequence"]), (TAG[1:], 1))
            self.assertEqual(manifest["exe"]["sha256"], feed.sha256(exe.read_bytes()))
            rebuilt = b"".join((workspace / "feed" / feed.PARTS_FOLDER / part["sha256"]).read_bytes()
                               for part in manifest["segments"])
            self.assertEqual(rebuilt, exe.read_bytes())


if __name__ == "__main__":
    unittest.main()

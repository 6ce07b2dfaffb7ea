"""Publishing a launcher exe into a signed update feed (lmr.feed's format):
its parts first, then the channel's signed envelope by rename, so a client
never meets a manifest whose parts are not there yet.

    ./lumaro release OUT.exe --feed DIR --key PRIVATE.pem [--channel NAME] [--expires 2027-01-31T00:00:00Z]
    ./lumaro release keygen PRIVATE.pem PUBLIC.pem

Exit statuses from the vendor tools' one table: 0 published, 2 usage, 3
refused (the message names the fix), 4 I/O failure.
"""
import base64
import json
import os
import struct
import sys
import tempfile
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Optional

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

from lmr import feed, image
from lmr.build import Kit
from lmr.commands import CommandParser
from lmr.exit_status import ExitStatus
from lmr.proc import ToolError, checked

DEFAULT_LIFETIME = timedelta(days=30)
INSPECT_TIMEOUT_S = 900.0
USAGE, REFUSED, IO_FAILURE = ExitStatus.USAGE, ExitStatus.BAD_INPUT, ExitStatus.IO


class Refusal(Exception):
    """Why the release is not published, and what to do instead."""


def write_atomically(path: Path, data: bytes) -> None:
    """A new file under a scratch name, flushed, then renamed over path."""
    scratch = path.with_name(f".{path.name}.tmp-{os.getpid()}")
    try:
        with open(scratch, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.replace(scratch, path)
    finally:
        scratch.unlink(missing_ok=True)
    folder = os.open(path.parent, os.O_RDONLY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def inspect_facts(kit: Kit, exe: Path) -> dict[str, str]:
    """lmr-inspect's "key: value" lines."""
    out = checked([kit.inspect_tool, exe], INSPECT_TIMEOUT_S).decode("utf-8", "replace")
    return dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)


def package_release(kit: Kit, exe: Path) -> dict[str, object]:
    """The package's .lumaro/release.json, extracted by lmr-inspect."""
    with tempfile.TemporaryDirectory(prefix="lumaro-release-") as scratch:
        files = Path(scratch) / "package"
        checked([kit.inspect_tool, "--extract", files, "--", exe], INSPECT_TIMEOUT_S)
        try:
            value = json.loads((files / ".lumaro" / "release.json").read_bytes())
        except FileNotFoundError:
            raise Refusal(f"{exe} carries no .lumaro/release.json: pack it with --version and its update "
                          "settings (--update-feed URL --update-key PUBLIC.pem)") from None
        except ValueError as e:
            raise Refusal(f"{exe}: .lumaro/release.json is not JSON ({e})") from None
    if not isinstance(value, dict):
        raise Refusal(f"{exe}: .lumaro/release.json is not an object")
    return value


def load_key(path: Path) -> Ed25519PrivateKey:
    try:
        key = serialization.load_pem_private_key(path.read_bytes(), password=None)
    except (ValueError, TypeError):
        raise Refusal(f"{path} is not an unencrypted PEM private key: make one with "
                      "`./lumaro release keygen`") from None
    if not isinstance(key, Ed25519PrivateKey):
        raise Refusal(f"{path} is not an Ed25519 private key: make one with `./lumaro release keygen`")
    return key


def raw_public(key: Ed25519PrivateKey) -> bytes:
    return key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)


def current_manifest(envelope_path: Path) -> Optional[dict[str, object]]:
    """The channel's published manifest, its signature checked with the key
    it names (an earlier release may have been signed with a retired key)."""
    try:
        data = envelope_path.read_bytes()
    except FileNotFoundError:
        return None
    try:
        manifest_bytes, public, signature = feed.open_envelope(data)
        Ed25519PublicKey.from_public_bytes(public).verify(signature, manifest_bytes)
        return feed.read_manifest(manifest_bytes)
    except (feed.FeedError, InvalidSignature) as e:
        raise Refusal(f"{envelope_path} is damaged ({e or 'bad signature'}): restore it from the published "
                      "copy before adding a release") from None


def publish(exe: Path, feed_dir: Path, key_path: Path, channel: Optional[str], expires: datetime,
            kit: Kit) -> str:
    data = exe.read_bytes()
    try:
        parts = feed.segments(data)
    except (ValueError, feed.FeedError, struct.error) as e:
        raise Refusal(f"{exe} is not a launcher exe ({e})") from None
    facts = inspect_facts(kit, exe)
    release = package_release(kit, exe)
    try:
        settings = feed.update_settings(release)
        version = release.get("version")
        if not isinstance(version, str):
            raise feed.FeedError('release.json has no "version"')
        feed.parse_version(version)
    except feed.FeedError as e:
        raise Refusal(f"{exe}: {e}") from None
    key = load_key(key_path)
    public = base64.b64encode(raw_public(key)).decode()
    if public not in settings.keys:
        raise Refusal(f"the key {public} ({key_path}) is not one {exe} trusts ({', '.join(settings.keys)}): "
                      "sign with one of those, or first ship a release that lists this key")
    if settings.product != facts.get("data-folder"):
        raise Refusal(f'{exe} updates product "{settings.product}" but its data folder is '
                      f'"{facts.get("data-folder")}": pack it with matching update settings')
    if channel is not None and channel != settings.channel:
        raise Refusal(f'{exe} follows channel "{settings.channel}", not "{channel}": pack it for that channel, '
                      f'or drop --channel')
    if expires <= datetime.now(timezone.utc):
        raise Refusal(f"--expires {feed.format_expires(expires)} has passed: clients would refuse the feed")

    envelope_path = feed_dir / settings.channel / feed.ENVELOPE_NAME
    sequence = 1
    previous = current_manifest(envelope_path)
    if previous is not None:
        if previous["product"] != settings.product or previous["channel"] != settings.channel:
            raise Refusal(f'{envelope_path} publishes "{previous["product"]}" on "{previous["channel"]}", not '
                          f'"{settings.product}" on "{settings.channel}": use the feed folder of this product')
        if feed.compare_versions(version, str(previous["version"])) <= 0:
            raise Refusal(f"{exe} is version {version}, not newer than {previous['version']} on channel "
                          f'"{settings.channel}": pack it with a higher version')
        sequence = int(str(previous["sequence"])) + 1

    parts_dir = feed_dir / feed.PARTS_FOLDER
    parts_dir.mkdir(parents=True, exist_ok=True)
    written = 0
    views = [(s.sha256, data[s.offset:s.offset + s.size]) for s in parts] + [(feed.sha256(data), data)]
    for digest, content in views:
        part = parts_dir / digest
        if part.exists() and feed.sha256(part.read_bytes()) == digest:
            continue
        write_atomically(part, content)
        written += len(content)

    manifest_bytes = feed.canonical(feed.manifest(settings.product, settings.channel, version, sequence,
                                                  image.build_id(data), expires, data))
    envelope = feed.envelope(manifest_bytes, raw_public(key), key.sign(manifest_bytes))
    envelope_path.parent.mkdir(parents=True, exist_ok=True)
    write_atomically(envelope_path, envelope)
    return (f"published {settings.product} {version} on {settings.channel} as release {sequence}, expires "
            f"{feed.format_expires(expires)}: {len(parts)} segments, {written} new part bytes")


def keygen(private_path: Path, public_path: Path) -> str:
    """A new key pair; the private key readable by its owner only. Prints the
    base64 public key that release.json's "keys" lists."""
    key = Ed25519PrivateKey.generate()
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    fd = os.open(private_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "wb") as out:
        out.write(pem)
    with open(public_path, "xb") as out:
        out.write(key.public_key().public_bytes(serialization.Encoding.PEM,
                                                serialization.PublicFormat.SubjectPublicKeyInfo))
    return base64.b64encode(raw_public(key)).decode()


def main(argv: Optional[list[str]] = None) -> int:
    words = sys.argv[1:] if argv is None else argv
    try:
        if words[:1] == ["keygen"]:
            parser = CommandParser("release keygen", "Makes an Ed25519 key pair for signing feeds.")
            parser.add_argument("private", type=Path, help="the private key's PEM file (must not exist)")
            parser.add_argument("public", type=Path, help="the public key's PEM file (must not exist)")
            keys = parser.parse_args(words[1:])
            print(keygen(keys.private, keys.public))
            return 0
        parser = CommandParser("release", __doc__.splitlines()[0])
        parser.add_argument("exe", type=Path, help="the launcher to publish")
        parser.add_argument("--feed", type=Path, required=True, help="the feed folder, as it is served")
        parser.add_argument("--key", type=Path, required=True, help="an Ed25519 private key (PEM) the exe trusts")
        parser.add_argument("--channel", help="the channel the exe follows (a check; the package names it)")
        parser.add_argument("--expires", help="when clients stop trusting this manifest, like 2027-01-31T00:00:00Z "
                            f"(default: {DEFAULT_LIFETIME.days} days from now)")
        parser.add_argument("--host-build", help="the host-release build folder with lmr-inspect")
        args = parser.parse_args(words)
        kit = Kit(args.host_build)
        missing = kit.missing(kit.inspect_tool)
        if missing:
            print(f"lmr.release: {missing}: cmake --build --preset host-release", file=sys.stderr)
            return USAGE
        try:
            expires = (feed.parse_expires(args.expires) if args.expires
                       else datetime.now(timezone.utc).replace(microsecond=0) + DEFAULT_LIFETIME)
        except feed.FeedError as e:
            print(f"lmr.release: --expires: {e}", file=sys.stderr)
            return USAGE
        print(publish(args.exe, args.feed, args.key, args.channel, expires, kit))
        return 0
    except Refusal as e:
        print(f"lmr.release: {e}", file=sys.stderr)
        return REFUSED
    except ToolError as e:
        # lmr-inspect's own refusal: not a launcher, or a damaged payload.
        print(f"lmr.release: {e}", file=sys.stderr)
        return REFUSED
    except (OSError, ValueError) as e:
        print(f"lmr.release: {e}", file=sys.stderr)
        return IO_FAILURE


if __name__ == "__main__":
    sys.exit(main())

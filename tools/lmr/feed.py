"""The update feed's format, said once: the folder's layout, the signed
envelope around a manifest, the manifest's fields, canonical bytes, the
package's update settings (`.lumaro/release.json`) and how an exe is cut
into segments. lmr.release writes feeds; appkit/lumaro-update.mjs reads them.

    FEED/<channel>/feed.json   the envelope (canonical JSON):
                               {"key": <base64 raw Ed25519 public key>,
                                "manifest": <base64 of the manifest's canonical bytes>,
                                "signature": <base64 Ed25519 signature of those bytes>}
    FEED/parts/<sha256>        content-addressed parts, never rewritten
"""
import base64
import hashlib
import json
import re
import struct
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import Any, Optional

from lmr import image

FORMAT = 1
ENVELOPE_NAME = "feed.json"
PARTS_FOLDER = "parts"
# What a client reads at most of an envelope, and so what a writer must stay under.
MAX_ENVELOPE_BYTES = 1 << 20
STREAM_MAGIC = b"\x0a\x51\xe5\xc0"
# The exe's code and resources around the payload are cut into blocks of
# this size: a release changes the headers' first block and the record's
# head, not the launcher's code between them.
PE_BLOCK = 16 * 1024
CHANNEL = re.compile(r"[a-z0-9][a-z0-9._-]{0,63}")
SHA256 = re.compile(r"[0-9a-f]{64}")
BUILD_ID = re.compile(r"[0-9a-f]{16}")
# A version: dot-separated numbers, a pre-release after "-", build metadata after "+".
VERSION = re.compile(r"(\d+(?:\.\d+)*)(?:-([0-9A-Za-z.-]+))?(?:\+[0-9A-Za-z.-]+)?")
EXPIRES = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z")


class FeedError(Exception):
    """A feed, a manifest or a package's update settings that break the format."""


@dataclass(frozen=True)
class UpdateSettings:
    """release.json's "update" object: where the app looks for updates and
    which keys it trusts."""
    feed: str  # http(s) URL of the feed folder
    channel: str
    product: str  # the exe's data folder name
    keys: tuple[str, ...]  # base64 raw 32-byte Ed25519 public keys


@dataclass(frozen=True)
class Segment:
    offset: int
    size: int
    sha256: str


def canonical(value: Any) -> bytes:
    """Sorted keys, no spaces, ASCII only: the bytes that are hashed and signed."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=True,
                      allow_nan=False).encode("ascii")


def sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def raw_key(text: str) -> bytes:
    try:
        key = base64.b64decode(text, validate=True)
    except ValueError:
        key = b""
    if len(key) != 32:
        raise FeedError(f"not a base64 raw 32-byte Ed25519 public key: {text!r}")
    return key


def parse_version(text: str) -> tuple[tuple[int, ...], Optional[tuple[str, ...]]]:
    match = VERSION.fullmatch(text)
    if not match:
        raise FeedError(f"not a version: {text!r}")
    pre = match.group(2)
    return tuple(int(n) for n in match.group(1).split(".")), (tuple(pre.split(".")) if pre else None)


def compare_versions(a: str, b: str) -> int:
    """-1, 0 or 1 by semantic-versioning precedence: missing numbers count as 0,
    a pre-release comes before its release, build metadata is ignored."""
    (na, pa), (nb, pb) = parse_version(a), parse_version(b)
    width = max(len(na), len(nb))
    na, nb = na + (0,) * (width - len(na)), nb + (0,) * (width - len(nb))
    if na != nb:
        return -1 if na < nb else 1
    if pa == pb:
        return 0
    if pa is None or pb is None:
        return -1 if pb is None else 1
    for x, y in zip(pa, pb):
        if x != y:
            if x.isdigit() and y.isdigit():
                return -1 if int(x) < int(y) else 1
            if x.isdigit() != y.isdigit():
                return -1 if x.isdigit() else 1
            return -1 if x < y else 1
    return -1 if len(pa) < len(pb) else 1 if len(pa) > len(pb) else 0


def parse_expires(text: str) -> datetime:
    if not EXPIRES.fullmatch(text):
        raise FeedError(f"not a UTC time like 2027-01-31T00:00:00Z: {text!r}")
    return datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=timezone.utc)


def format_expires(when: datetime) -> str:
    return when.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def update_settings(release: Any) -> UpdateSettings:
    """The "update" object of a parsed release.json."""
    update = release.get("update") if isinstance(release, dict) else None
    if not isinstance(update, dict):
        raise FeedError('release.json has no "update" object')
    feed, channel, product, keys = (update.get(k) for k in ("feed", "channel", "product", "keys"))
    if not isinstance(feed, str) or not re.match(r"https?://[^/]", feed):
        raise FeedError(f'"update"."feed" must be an http:// or https:// URL, not {feed!r}')
    if not isinstance(channel, str) or not CHANNEL.fullmatch(channel):
        raise FeedError(f'"update"."channel" must be lower-case letters, digits, ".", "_" or "-", not {channel!r}')
    if not isinstance(product, str) or not product:
        raise FeedError('"update"."product" must name the data folder')
    if not isinstance(keys, list) or not keys or not all(isinstance(k, str) for k in keys):
        raise FeedError('"update"."keys" must list at least one public key')
    for key in keys:
        raw_key(key)
    return UpdateSettings(feed, channel, product, tuple(keys))


def segments(exe: image.Image) -> list[Segment]:
    """The exe cut where a release can reuse an older one's bytes: everything
    before the first chunk record in blocks of PE_BLOCK, each chunk record
    (its u32 size and its bytes), everything after the last in blocks of
    PE_BLOCK. A chunk that did not change between
    two releases is the same segment in both."""
    stream = image.find_record(exe) + 24
    if bytes(exe[stream:stream + 4]) != STREAM_MAGIC:
        raise FeedError("the payload record holds no Compression API stream")
    (uncompressed,) = struct.unpack_from("<I", exe, stream - 20)
    total, chunk_size = struct.unpack_from("<QI", exe, stream + 8)
    if total != uncompressed or (total and not chunk_size):
        raise FeedError("the payload record and its stream header disagree")
    chunk_ends = [c.offset + c.stored for c in image.chunks(exe)]
    if chunk_ends and chunk_ends[-1] > len(exe):
        raise FeedError("the payload stream runs past the end of the exe")
    end = chunk_ends[-1] if chunk_ends else stream + 24
    cuts = [*range(0, stream + 24, PE_BLOCK), stream + 24, *chunk_ends[:-1],
            *range(end, len(exe), PE_BLOCK), len(exe)]
    view = memoryview(exe)
    return [Segment(a, b - a, sha256(bytes(view[a:b]))) for a, b in zip(cuts, cuts[1:]) if b > a]


def manifest(product: str, channel: str, version: str, sequence: int, build_id: str, expires: datetime,
             exe: bytes) -> dict[str, Any]:
    return {
        "format": FORMAT,
        "product": product,
        "channel": channel,
        "version": version,
        "sequence": sequence,
        "buildId": build_id,
        "expires": format_expires(expires),
        "exe": {"sha256": sha256(exe), "size": len(exe)},
        "segments": [{"sha256": s.sha256, "size": s.size} for s in segments(exe)],
    }


def envelope(manifest_bytes: bytes, public_key: bytes, signature: bytes) -> bytes:
    out = canonical({"key": base64.b64encode(public_key).decode(),
                     "manifest": base64.b64encode(manifest_bytes).decode(),
                     "signature": base64.b64encode(signature).decode()})
    if len(out) > MAX_ENVELOPE_BYTES:
        raise FeedError(f"the envelope is {len(out)} bytes, over the {MAX_ENVELOPE_BYTES} a client reads")
    return out


def open_envelope(data: bytes) -> tuple[bytes, bytes, bytes]:
    """(manifest bytes, public key, signature), unverified."""
    try:
        outer = json.loads(data)
        return (base64.b64decode(outer["manifest"], validate=True), raw_key(outer["key"]),
                base64.b64decode(outer["signature"], validate=True))
    except (ValueError, KeyError, TypeError) as e:
        raise FeedError(f"not a feed envelope: {e}") from None


def read_manifest(manifest_bytes: bytes) -> dict[str, Any]:
    """The fields a writer relies on when it adds the next release."""
    try:
        value = json.loads(manifest_bytes)
    except ValueError as e:
        raise FeedError(f"the manifest is not JSON: {e}") from None
    if not isinstance(value, dict) or value.get("format") != FORMAT:
        raise FeedError(f"the manifest is not of format {FORMAT}")
    for name, kind in (("product", str), ("channel", str), ("version", str), ("sequence", int)):
        if not isinstance(value.get(name), kind):
            raise FeedError(f'the manifest has no valid "{name}"')
    return value

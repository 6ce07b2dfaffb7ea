"""How much of a package an update changes, by chunk size: packs a base app
folder and changed copies of it, and counts the chunks of each changed record
whose compressed bytes the base record does not hold (what an update that
reuses chunks would fetch), against the record's size and xz -9e -T1 of the
same archive. Also the wall time of a cold pack (empty chunk cache) and of a
repack of the first changed copy from the cache the base pack filled. Reports,
never judges.

    PYTHONPATH=tools /usr/bin/python3 -m lmr.bench.layout BASE CHANGED... \\
        [--chunk-sizes auto,16M,4M] [--pack-tool PATH] [--json OUT]
"""
import argparse
import hashlib
import json
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Any

from lmr import REPO, image

DEFAULT_TOOL = REPO / "build" / "host-release" / "tools" / "pack" / "lmr-pack"


def pack(tool: Path, app: Path, out: Path, chunk: str, cache: Path | None) -> float:
    """Packs app into out/record.bin and out/archive.bin; the wall seconds."""
    args = [str(tool), "--quiet", str(app), "--record", str(out / "record.bin"),
            "--archive-out", str(out / "archive.bin")]
    if cache:
        args += ["--cache", str(cache)]
    if chunk != "auto":
        args += ["--chunk-size", chunk]
    start = time.monotonic()
    subprocess.run(args, check=True)
    return time.monotonic() - start


def chunk_digests(record: bytes) -> list[tuple[str, int]]:
    """Each chunk's stored bytes as (SHA-256, length), in order."""
    return [(hashlib.sha256(record[c.offset:c.offset + c.stored]).hexdigest(), c.stored)
            for c in image.chunks(record)]


def xz_size(archive: Path) -> int:
    done = subprocess.run(["xz", "-9e", "-T1", "-c", str(archive)], check=True, stdout=subprocess.PIPE)
    return len(done.stdout)


def measure(tool: Path, base: Path, changed: list[Path], chunk: str, work: Path, cached: bool) -> dict[str, Any]:
    cache = work / f"cache-{chunk}" if cached else None
    out = work / f"{chunk}-base"
    out.mkdir()
    cold = pack(tool, base, out, chunk, cache)
    record = (out / "record.bin").read_bytes()
    old = {digest for digest, _ in chunk_digests(record)}
    row: dict[str, Any] = {"chunk": chunk, "record": len(record), "chunks": len(old), "cold_s": round(cold, 1)}
    for number, app in enumerate(changed):
        out = work / f"{chunk}-{app.name}"
        out.mkdir()
        seconds = pack(tool, app, out, chunk, cache)
        if number == 0:
            row["warm_s"] = round(seconds, 1)
        new = chunk_digests((out / "record.bin").read_bytes())
        fresh = [length for digest, length in new if digest not in old]
        row[app.name] = {"changed": len(fresh), "of": len(new), "bytes": sum(fresh),
                         "percent": round(100 * sum(fresh) / sum(length for _, length in new), 1)}
    return row


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("base", type=Path)
    parser.add_argument("changed", type=Path, nargs="+")
    parser.add_argument("--chunk-sizes", default="auto,64M,16M,4M,2M,1M")
    parser.add_argument("--pack-tool", type=Path, default=DEFAULT_TOOL)
    parser.add_argument("--json", type=Path)
    parser.add_argument("--no-cache", action="store_true", help="for a pack tool without --cache")
    args = parser.parse_args()
    rows = []
    with tempfile.TemporaryDirectory(prefix="lmr-layout-bench.") as temp:
        work = Path(temp)
        xz = None
        for chunk in args.chunk_sizes.split(","):
            row = measure(args.pack_tool, args.base, args.changed, chunk, work, not args.no_cache)
            if xz is None:
                xz = xz_size(work / f"{chunk}-base" / "archive.bin")
            row["xz"] = xz
            row["record_per_xz"] = round(row["record"] / xz, 3)
            print(json.dumps(row), flush=True)
            rows.append(row)
    if args.json:
        args.json.write_text(json.dumps(rows, indent=1) + "\n")


if __name__ == "__main__":
    main()

"""What an update downloads, on a real-size app: packs and links a base app
folder as release 1.0.0 and each changed copy as 1.0.1, cuts every exe as
the update feed does (lmr.feed.segments), and counts the bytes of a changed
exe's segments that the base exe does not hold: what the app kit fetches,
or the whole exe when that is less. Also the wall time of each pack, whose
chunks come from the cache the earlier packs filled. Reports, never judges.

    PYTHONPATH=tools /usr/bin/python3 -m lmr.bench.update BASE CHANGED... [--chunk-size 4M] [--json OUT]
"""
import argparse
import json
import tempfile
import time
from pathlib import Path
from typing import Any

from lmr import feed
from lmr.build import Kit, pack_launcher


def build(kit: Kit, app: Path, exe: Path, version: str, chunk_size: str, cache: Path) -> float:
    start = time.monotonic()
    status = pack_launcher(kit, [app, "--quiet", "--version", version, "--chunk-size", chunk_size,
                                 "--cache", cache], exe)
    if status != 0:
        raise SystemExit(f"packing {app} failed with status {status}")
    return time.monotonic() - start


def fetched(old: bytes, new: bytes) -> int:
    """Bytes the kit downloads to turn old into new."""
    have = {s.sha256 for s in feed.segments(old)}
    missing = sum(s.size for s in feed.segments(new) if s.sha256 not in have)
    return min(missing, len(new))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("base", type=Path)
    parser.add_argument("changed", type=Path, nargs="+")
    parser.add_argument("--chunk-size", default="4M")
    parser.add_argument("--json", type=Path)
    args = parser.parse_args()
    kit = Kit()
    rows: list[dict[str, Any]] = []
    with tempfile.TemporaryDirectory(prefix="lmr-bench-update-") as scratch:
        work = Path(scratch)
        cache = work / "cache"
        base_exe = work / "base.exe"
        cold = build(kit, args.base, base_exe, "1.0.0", args.chunk_size, cache)
        old = base_exe.read_bytes()
        print(f"base {args.base.name}: {len(old):,} bytes, cold pack and link {cold:.1f} s")
        for app in args.changed:
            exe = work / f"{app.name}.exe"
            seconds = build(kit, app, exe, "1.0.1", args.chunk_size, cache)
            new = exe.read_bytes()
            down = fetched(old, new)
            row = {"case": app.name, "exe": len(new), "downloaded": down, "fraction": round(down / len(new), 4),
                   "pack_s": round(seconds, 1), "repack_over_cold": round(seconds / cold, 2)}
            rows.append(row)
            print(f"{app.name}: {down:,} of {len(new):,} bytes ({100 * down / len(new):.2f}%), "
                  f"pack and link {seconds:.1f} s ({seconds / cold:.2f} of the cold pack)")
    if args.json:
        args.json.write_text(json.dumps({"chunk_size": args.chunk_size, "cold_s": round(cold, 1), "rows": rows},
                                        indent=2) + "\n")


if __name__ == "__main__":
    main()

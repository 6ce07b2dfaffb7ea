"""Every benchmark in one go, behind `./lumaro bench`: figures as JSON and a plot.

    python3 -m lmr.bench.run_all [--quick] [--app DIR] [--out DIR] [--docs]

- LZMS decoder throughput, ours against wimlib (lmr-lzms-bench, per-thread CPU time);
- pack time by thread count (lmr-pack, wall clock, best of the repeats);
- under Wine (lmr.bench.wine): the cold install against a plain writer,
  split by the launcher's own steps, and the warm launch against the floor.

It builds in build/host-release and build/windows, the folders the tests use.
The app defaults to the official node.exe (lmr.node_win) plus
typescript@5.6.3 (`npm pack`), assembled once in build/bench/cache.
Writes OUT/figures.json and OUT/figures.png (OUT defaults to build/bench);
--docs copies the plot to docs/bench.png.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tarfile
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from lmr import REPO as ROOT, node_win
from lmr.proc import Arg

HOST = ROOT / "build/host-release"
WIN = ROOT / "build/windows"
CACHE = ROOT / "build/bench/cache"
TYPESCRIPT = "typescript@5.6.3"
EXIT_AT_ONCE = "// Benchmark app entry: starts Node.js on the app and ends at once.\nprocess.exitCode = 0;\n"


def log(*parts: object) -> None:
    print("bench:", *parts, file=sys.stderr, flush=True)


def run(cmd: Sequence[Arg], **kw: Any) -> "subprocess.CompletedProcess[str]":
    kw.setdefault("timeout", 3600)
    return subprocess.run([str(c) for c in cmd], check=True, **kw)


def default_app() -> Path:
    """node.exe plus the typescript package, assembled once in the cache."""
    app = CACHE / "app-ts"
    if (app / "node.exe").exists() and (app / "node_modules/typescript/package.json").exists():
        return app
    partial = CACHE / "app-ts.partial"
    shutil.rmtree(partial, ignore_errors=True)
    (partial / "node_modules").mkdir(parents=True)
    node_win.copy_node_exe(partial / "node.exe", log=log)
    packed = run(["npm", "pack", TYPESCRIPT, "--silent", "--pack-destination", CACHE],
                 capture_output=True, text=True, cwd=CACHE, timeout=600).stdout.split()[-1]
    with tarfile.open(CACHE / packed) as tgz:
        for member in tgz.getmembers():  # npm's tarball: plain files under package/
            if not member.isfile() or member.name.startswith("/") or ".." in member.name.split("/"):
                raise RuntimeError(f"unexpected member in {packed}: {member.name}")
        tgz.extractall(partial / "node_modules")
    (partial / "node_modules/package").rename(partial / "node_modules/typescript")
    (partial / "home.mjs").write_text(EXIT_AT_ONCE)
    shutil.rmtree(app, ignore_errors=True)
    partial.rename(app)
    return app


def build() -> None:
    run(["cmake", "--preset", "host-release"], cwd=ROOT, stdout=subprocess.DEVNULL)
    run(["cmake", "--build", "--preset", "host-release", "-j2", "--target", "lmr-pack",
         "lmr-lzms-bench"], cwd=ROOT)
    run(["cmake", "--preset", "windows"], cwd=ROOT, stdout=subprocess.DEVNULL)
    run(["cmake", "--build", "--preset", "windows", "-j2", "--target", "lumaro_link_kit",
         "lmr_cabinet", "lumaro-wine-driver", "lumaro-bench-tools"], cwd=ROOT)


def lzms(archive: Path, work: Path, runs: int) -> dict[str, float]:
    text = run([HOST / "bench/lmr-lzms-bench", archive, 50, 24 << 20, runs, work / "lzms.stream"],
               capture_output=True, text=True).stdout
    print(text, end="")
    out = {}
    for line in text.splitlines():
        words = line.split()
        if words and words[0] in ("ours", "wimlib"):
            out[words[0] + "_mb_per_s"] = float(words[1])
    return out


def pack_times(app: Path, work: Path, repeat: int) -> dict[str, float]:
    """Wall seconds of one pack (no verification), best of `repeat`, by thread count."""
    out = {}
    for threads in range(1, max(2, os.cpu_count() or 1) + 1):
        best = float("inf")
        for _ in range(repeat):
            t0 = time.perf_counter()
            run([HOST / "tools/pack/lmr-pack", "--quiet", "--no-verify", "--threads", threads,
                 app, "--record", work / "pack-bench.rec"])
            took = time.perf_counter() - t0
            best = min(best, took)
        out[str(threads)] = round(best, 3)
        log(f"pack with {threads} thread(s): {best:.2f} s")
    (work / "pack-bench.rec").unlink(missing_ok=True)
    return out


def wine_figures(app: Path, work: Path, runs: int, pairs: int) -> Any:
    script: list[Arg] = [sys.executable, "-m", "lmr.bench.wine"]
    common: list[Arg] = ["--work", work, "--host-build", HOST, "--win-build", WIN]
    results = work / "results.json"
    results.unlink(missing_ok=True)
    # Packed again only for another app: packing takes minutes.
    stamp = work / "app.txt"
    again: list[Arg] = ["--repack"] if not stamp.exists() or stamp.read_text() != str(app) else []
    run(script + ["setup", "--app", app] + again + common)
    stamp.write_text(str(app))
    run(script + ["writes", "-n", runs] + common)
    run(script + ["overhead", "--overhead-runs", pairs] + common)
    return json.loads(results.read_text())


def plot(fig: dict[str, Any], path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(2, 2, figsize=(12, 8.5))
    figure.suptitle(f"Lumaro benchmarks, {fig['date']} (load average {fig['loadavg'][0]:.1f}, "
                    f"{fig['cores']} cores; package {fig['package']['files']} files, "
                    f"{fig['package']['bytes'] / 1e6:.0f} MB)")

    ax = axes[0][0]
    names = ["ours", "wimlib"]
    values = [fig["lzms"].get(n + "_mb_per_s", 0) for n in names]
    bars = ax.bar(names, values, color=["tab:blue", "tab:gray"])
    ax.bar_label(bars, fmt="%.0f")
    ax.set_ylabel("MB/s of decoded output")
    ax.set_title("LZMS decoder throughput (one thread)")

    ax = axes[0][1]
    threads = sorted(fig["pack_seconds"], key=int)
    bars = ax.bar(threads, [fig["pack_seconds"][t] for t in threads], color="tab:green")
    ax.bar_label(bars, fmt="%.1f s")
    ax.set_xlabel("threads")
    ax.set_ylabel("seconds")
    ax.set_title("Pack time by thread count")

    ax = axes[1][0]
    writes = fig["wine"]["writes"]
    parts = [("decode", ["decode", "digest"], "tab:blue"), ("unpack", ["unpack"], "tab:orange"),
             ("flush", ["flush"], "tab:red"), ("marker", ["marker"], "tab:purple"),
             ("rename", ["rename"], "tab:brown"),
             ("other", ["prepare", "map", "staging", "release"], "tab:gray")]
    rows = list(writes.get("steps_ms", {}).items())
    labels = [("as shipped\n(flush in unpack)" if mode == "shipped" else f"flush {mode}")
              for mode, _ in rows]
    for y, (_, split) in enumerate(rows):
        left = 0
        for label, keys, color in parts:
            width = sum(split[k]["median"] for k in keys if k in split)
            ax.barh(y, width, left=left, color=color, label=label if y == 0 else None)
            left += width
    y = len(rows)
    ax.barh(y, writes["decode_ms"]["median"], color="tab:blue")
    ax.barh(y, writes["write_flush_ms"]["median"], left=writes["decode_ms"]["median"],
            color="tab:olive", label="plain writer with flush")
    labels.append("decode + plain\nwriter with flush")
    ax.set_yticks(range(len(labels)), labels)
    ax.invert_yaxis()
    ax.set_xlabel("ms (medians); P2 = (install - decode) / plain writer with flush", fontsize="small")
    shipped = writes.get("steps_ratio_vs_flush", {}).get("shipped")
    ax.set_title("Cold install, the launcher's steps" + (
        f" (P2 {shipped['median']:.2f} medians, {shipped['min']:.2f} minimums)" if shipped else ""))
    ax.legend(fontsize="small", ncol=4, loc="upper center", bbox_to_anchor=(0.5, -0.13))

    ax = axes[1][1]
    over = fig["wine"]["overhead"]
    names = ["launcher", "min_spawner"]
    stats = [over["inner_launcher_ms"], over["inner_spawner_ms"]]
    medians = [s["median"] for s in stats]
    err = [[s["median"] - s["min"] for s in stats], [s["max"] - s["median"] for s in stats]]
    bars = ax.bar(names, medians, yerr=err, capsize=6, color=["tab:blue", "tab:gray"])
    ax.bar_label(bars, fmt="%.1f ms", label_type="center")
    ax.set_ylabel("ms, CreateProcessW to exit (median, min to max)")
    ax.set_title(f"Warm launch against the floor (ratio {over['inner_ratio']['median']:.3f}, "
                 f"{over['inner_ratio']['n']} pairs)")

    figure.tight_layout()
    figure.savefig(path, dpi=90)
    plt.close(figure)


def main() -> None:
    ap = argparse.ArgumentParser(prog="python3 -m lmr.bench.run_all", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="few rounds: checks the tooling, not the figures")
    ap.add_argument("--app", help="app folder with node.exe and home.mjs (default: node.exe + typescript)")
    ap.add_argument("--out", default=str(ROOT / "build/bench"), help="figures folder (default %(default)s)")
    ap.add_argument("--work", help="scratch folder for packages and the Wine prefix (default OUT/work)")
    ap.add_argument("--nice", type=int, default=0,
                    help="run everything at this niceness, e.g. -10 on a shared machine (root only)")
    ap.add_argument("--docs", action="store_true", help="also copy the plot to docs/bench.png")
    args = ap.parse_args()
    if args.nice:
        os.setpriority(os.PRIO_PROCESS, 0, args.nice)  # inherited by every tool and Wine
    out = Path(args.out).resolve()
    work = Path(args.work).resolve() if args.work else out / "work"
    out.mkdir(parents=True, exist_ok=True)
    work.mkdir(parents=True, exist_ok=True)
    rounds = {"lzms": 2, "pack": 1, "wine": 3, "pairs": 10} if args.quick else \
        {"lzms": 5, "pack": 2, "wine": 9, "pairs": 40}

    build()
    app = Path(args.app).resolve() if args.app else default_app()
    log(f"app: {app}")
    wine = wine_figures(app, work, rounds["wine"], rounds["pairs"])
    archive = work / "fast.archive"
    log("LZMS decoder")
    lzms_figures = lzms(archive, work, rounds["lzms"])
    log("pack tool")
    pack = pack_times(app, work, rounds["pack"])

    files = sum(1 for p in app.rglob("*") if p.is_file())
    fig = {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "cores": os.cpu_count(),
           "loadavg": list(os.getloadavg()), "quick": args.quick, "app": str(app),
           "package": {"files": files, "bytes": archive.stat().st_size},
           "lzms": lzms_figures, "pack_seconds": pack, "wine": wine}
    (out / "figures.json").write_text(json.dumps(fig, indent=2))
    plot(fig, out / "figures.png")
    log(f"wrote {out / 'figures.json'} and {out / 'figures.png'}")
    if args.docs:
        shutil.copyfile(out / "figures.png", ROOT / "docs/bench.png")
        log("copied the plot to docs/bench.png")


if __name__ == "__main__":
    main()

"""The app kit's pruneOldRuntimes() under Wine, on a data folder holding three
older runtimes of the demo app's size (the official node.exe and the demo's
home.mjs). Reports, never judges: the time of the call as the app measures it,
and the bytes it freed (the data folder's size before and after).

    PYTHONPATH=tools /usr/bin/python3 -m lmr.bench.prune [-n ROUNDS]

Needs the launcher kit of the tests (build/host-release, build/windows).
"""
import argparse
import json
import os
import shutil
import statistics
import time
from pathlib import Path

from lmr import REPO, node_win
from lmr.e2e import apps
from lmr.e2e.session import Session, write_tree
from lmr.wine.calls import win_path

OLD_RUNTIMES = 3
TIMED_APP = """import { writeFileSync } from 'node:fs';
import { pruneOldRuntimes } from './lumaro.mjs';
const started = performance.now();
const result = await pruneOldRuntimes();
writeFileSync(process.env.PRUNE_REPORT, JSON.stringify({ ms: performance.now() - started, result }));
"""


def folder_bytes(root: str) -> int:
    total = 0
    for base, _, files in os.walk(root):
        total += sum(os.lstat(os.path.join(base, name)).st_size for name in files)
    return total


def measure(s: Session, rounds: int) -> tuple[list[float], list[int]]:
    work = s.scratch("prune-bench")
    demo = os.path.join(work, "demo-app")
    node_win.copy_node_exe(Path(demo, "node.exe"))
    shutil.copyfile(REPO / "demo" / "app" / "home.mjs", os.path.join(demo, "home.mjs"))
    app = os.path.join(work, "app")
    node_win.copy_node_exe(Path(app, "node.exe"))
    shutil.copyfile(REPO / "appkit" / "lumaro.mjs", os.path.join(app, "lumaro.mjs"))
    write_tree(app, {"home.mjs": TIMED_APP})
    exe = s.pack_launcher(app, os.path.join(work, "exe"), ["--level", "1"])
    times, freed = [], []
    for n in range(rounds):
        local = os.path.join(work, f"Local-{n}")
        root = apps.data_root(local)
        apps.preinstall(exe, app, local)
        for i in range(OLD_RUNTIMES):
            old = os.path.join(root, f"runtime-{i:016x}")
            shutil.copytree(demo, old)
            Path(old, "ready").touch()
            os.utime(os.path.join(old, "ready"), (time.time() - (i + 1) * 86400,) * 2)
        before = folder_bytes(root)
        report = os.path.join(work, f"report-{n}.json")
        result = apps.launch(s, exe, local, cwd=work, set_env={"PRUNE_REPORT": win_path(report)}, timeout_s=120)
        if result.exit_code != 0 or result.dialog is not None:
            raise SystemExit(f"the app failed: {result!r}")
        with open(report, encoding="utf-8") as f:
            figures = json.load(f)
        if len(figures["result"]["removed"]) != OLD_RUNTIMES:
            raise SystemExit(f"the prune did not remove the {OLD_RUNTIMES} old runtimes: {figures['result']}")
        times.append(figures["ms"])
        freed.append(before - folder_bytes(root))
        shutil.rmtree(local)
    return times, freed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", dest="rounds", type=int, default=5, help="rounds (default %(default)s)")
    args = parser.parse_args()
    s = Session().start()
    try:
        times, freed = measure(s, args.rounds)
    finally:
        s.close()
    print(f"pruneOldRuntimes(), {OLD_RUNTIMES} old runtimes of the demo's size, {args.rounds} rounds: "
          f"median {statistics.median(times):.0f} ms (min {min(times):.0f}, max {max(times):.0f}); "
          f"freed {freed[0]:,} bytes ({freed[0] / 2**20:.1f} MiB) each round; "
          f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()

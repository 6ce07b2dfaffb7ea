"""Installation and launch benchmarks of the launcher under Wine.

Measures, side by side in one run under a persistent Wine server, and only
reports (nothing here passes or fails):
  install   cold install and warm launch, real node.exe and a trivial child
  memory    peak resident memory (VmHWM) of the launcher while it installs
  writes    install time minus decode time against a plain file writer,
            and the unpacker with and without its per-file flush
  overhead  warm launch of the launcher against a minimal spawner
  all       setup, then every figure above

    python3 -m lmr.bench.wine setup [--app DIR] [--work DIR]
    python3 -m lmr.bench.wine all -n 5 [--work DIR]

`setup` builds what it needs (in build/host-release and build/windows, the
folders the tests use), copies the app into two variants, packs them, links a
launcher and the step-timing tool around each and makes a Wine prefix with the
stand-in cabinet.dll. Results are appended to WORK/results.json.
"""
import argparse
import contextlib
import json
import os
import re
import shutil
import statistics
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, Optional

from lmr import REPO as ROOT, node_win
from lmr.build import Kit, read_constants
from lmr.proc import Arg, checked
from lmr.wine.calls import reg, win_path as to_windows
from lmr.wine.prefix import make_prefix
from lmr.wine.session import Session

Summary = dict[str, float]
EXIT_AT_ONCE_MODULE = "// Benchmark app entry: starts Node.js on the app and ends at once.\nprocess.exitCode = 0;\n"


def log(*parts: object) -> None:
    print(*parts, file=sys.stderr, flush=True)


def run(cmd: Sequence[Arg], cwd: Optional[Path] = None) -> None:
    """Runs cmd to its end, within an hour; ToolError with its output when it fails."""
    checked(cmd, 3600, cwd=cwd)


def dirty_kib() -> int:
    """Dirty plus Writeback from /proc/meminfo: data still on its way to disk."""
    total = 0
    for line in Path("/proc/meminfo").read_text().splitlines():
        key, _, rest = line.partition(":")
        if key in ("Dirty", "Writeback"):
            total += int(rest.split()[0])
    return total


def settle(limit_kib: int = 4096, bound_s: float = 15.0) -> int:
    """sync, then wait (bounded) until the kernel holds almost no dirty data.
    Other processes on the machine write too: the bound keeps a busy disk
    from stalling the run. Returns the dirty KiB left."""
    os.sync()
    deadline = time.monotonic() + bound_s
    left = dirty_kib()
    while left > limit_kib and time.monotonic() < deadline:
        time.sleep(0.05)
        os.sync()
        left = dirty_kib()
    time.sleep(0.1)
    return left


def summary(values: Sequence[float]) -> Summary:
    if not values:
        return {}
    return {"min": min(values), "median": statistics.median(values), "max": max(values),
            "n": len(values)}


def fmt(s: Summary, unit: str = "ms", digits: int = 1) -> str:
    if not s:
        return "n/a"
    return f"min {s['min']:.{digits}f} / median {s['median']:.{digits}f} {unit} (max {s['max']:.{digits}f}, n={s['n']})"


class Bench:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.work = Path(args.work).resolve()
        self.host = Path(args.host_build).resolve()
        self.win = Path(args.win_build).resolve()
        self.prefix = self.work / "prefix"
        self.lad = self.work / "lad"
        self.tools = self.win / "bench"
        self.wine_session: Optional[Session] = None
        self.kit = Kit(self.host, self.win)
        self.results_path = self.work / "results.json"

    # ---- setup -------------------------------------------------------------

    def build(self) -> None:
        if not self.kit.pack_tool.exists():
            run(["cmake", "--preset", "host-release", "-B", self.host], cwd=ROOT)
            run(["cmake", "--build", self.host, "-j2", "--target", "lmr-pack"], cwd=ROOT)
        if not (self.win / "build.ninja").exists():
            run(["cmake", "--preset", "windows", "-B", self.win,
                 f"-DLUMARO_PACK_TOOL={self.kit.pack_tool}"], cwd=ROOT)
        run(["cmake", "--build", self.win, "-j2", "--target", "lumaro_link_kit", "lmr_cabinet", "lumaro-wine-driver",
             "lumaro-bench-tools"], cwd=ROOT)

    def fetch_app(self, app: Path) -> None:
        # The official Windows node.exe from npm, plus npm's own JavaScript.
        (app / "node_modules").mkdir(parents=True, exist_ok=True)
        node_win.copy_node_exe(app / "node.exe", log=log)
        for module in ("npm", "corepack"):
            src = Path("/usr/share/nodejs") / module
            if not src.exists():
                src = Path("/usr/lib/node_modules") / module
            if src.exists():
                shutil.copytree(src, app / "node_modules" / module, symlinks=False,
                                dirs_exist_ok=True)
        (app / "home.mjs").write_text(EXIT_AT_ONCE_MODULE)

    def make_apps(self) -> None:
        app = Path(self.args.app).resolve()
        if not (app / "node.exe").exists():
            self.fetch_app(app)
        real, fast = self.work / "app-real", self.work / "app-fast"
        for d in (real, fast):
            if d.exists():
                shutil.rmtree(d)
        shutil.copytree(app, real, symlinks=False)
        # The same module everywhere: node starts and ends at once.
        (real / "home.mjs").write_text(EXIT_AT_ONCE_MODULE)
        # Same size and files, but node.exe is a trivial child: the real one
        # rides along under another name so the package stays as large.
        shutil.copytree(real, fast, symlinks=False)
        (fast / "node.exe").rename(fast / "node-real.exe")
        shutil.copy2(self.tools / "fast_child.exe", fast / "node.exe")

    def pack_and_link(self, name: str) -> None:
        out = self.work / f"pack-{name}"
        rec, const, archive = out / "record.bin", out / "payload_constants.cpp", self.work / f"{name}.archive"
        if self.args.repack or not rec.exists():
            log(f"packing {name} (takes a minute or two)")
            out.mkdir(parents=True, exist_ok=True)
            self.kit.pack(self.work / f"app-{name}", out, ["--archive-out", archive, "--quiet"])
        self.kit.link(rec, const, self.work / f"Lumaro-{name}.exe")
        self.kit.link(rec, const, self.work / f"install_steps-{name}.exe", link_tool=self.tools / "install-steps-link")
        # An experiment on the link alone: with the file alignment at the page
        # size Wine can map the record instead of reading it all at load.
        self.kit.link(rec, const, self.work / f"Lumaro-{name}-aligned.exe", file_alignment=4096)

    def setup(self) -> None:
        self.work.mkdir(parents=True, exist_ok=True)
        self.lad.mkdir(exist_ok=True)
        self.build()
        if self.args.repack or not (self.work / "pack-real/record.bin").exists():
            self.make_apps()
        for name in ("real", "fast"):
            self.pack_and_link(name)
        cabinet = self.win / "compat/cabinet/cabinet.dll"
        make_prefix(self.prefix, cabinet=cabinet, log=log)

    # ---- Wine session ----------------------------------------------------------

    @contextlib.contextmanager
    def session(self) -> Iterator[None]:
        # A fresh persistent server: one left over from an earlier run is ended.
        with Session(self.prefix, self.win / "tools/wine", logs=self.work / "wine-logs") as session:
            # Wine lays this registry value over LOCALAPPDATA for every program;
            # the programs timed here are started without the runner.
            reg(session.env, "add", r"HKCU\Volatile Environment", "/v", "LOCALAPPDATA", "/d", to_windows(self.lad),
                "/f")
            self.wine_session = session
            try:
                yield
            finally:
                self.wine_session = None

    def data_root(self) -> Path:
        return self.lad / "Lumaro"

    def reset_data_root(self) -> None:
        shutil.rmtree(self.data_root(), ignore_errors=True)
        settle()  # the next install must not share the disk with this one's writeback

    def constants(self, name: str) -> tuple[int, int]:
        words = read_constants(self.work / f"pack-{name}" / "payload_constants.cpp")
        return words.package_size, words.compressed_size

    def runtime_dir(self, name: str) -> Path:
        build_id = (self.work / f"pack-{name}" / "record.bin").read_bytes()[8:24].decode("ascii")
        return self.data_root() / f"runtime-{build_id}"

    def live(self) -> Session:
        if self.wine_session is None:
            raise RuntimeError("no Wine session: figures run inside Bench.session()")
        return self.wine_session

    def wine(self, args: Sequence[Arg], timeout: float = 600) -> tuple[str, float]:
        """Runs one Windows program; returns (stdout, Linux wall seconds)."""
        t0 = time.perf_counter()
        proc = self.live().spawn(list(args), Path(str(args[0])).stem)
        status = proc.wait(timeout)
        wall = time.perf_counter() - t0
        if status != 0:
            raise RuntimeError(f"{args[0]} exited {status}: {proc.stdout()}{proc.stderr()}")
        return proc.stdout(), wall

    def timed(self, exe: Path, *extra: Arg) -> tuple[float, float]:
        """In-Wine milliseconds from CreateProcessW to exit, and Linux wall ms."""
        out, wall = self.wine([self.tools / "timed_run.exe", "--", to_windows(exe), *extra])
        m = re.search(r"run 1: ms=([\d.]+) exit=(\d+)", out)
        if not m or m.group(2) != "0":
            raise RuntimeError(f"{exe.name} failed: {out}")
        return float(m.group(1)), wall * 1000

    def record(self, key: str, value: Any) -> None:
        results = json.loads(self.results_path.read_text()) if self.results_path.exists() else {}
        results[key] = value
        results["date"] = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
        results["cores"] = os.cpu_count()
        self.results_path.write_text(json.dumps(results, indent=2))

    # ---- figures ---------------------------------------------------------------

    def cold_warm(self, name: str, runs: int) -> dict[str, Any]:
        exe = self.work / f"Lumaro-{name}.exe"
        cold: list[float] = []
        warm: list[float] = []
        cold_wall: list[float] = []
        warm_wall: list[float] = []
        install: list[float] = []
        for i in range(runs):
            self.reset_data_root()
            c, cw = self.timed(exe)
            w, ww = self.timed(exe)
            for values, value in ((cold, c), (warm, w), (cold_wall, cw), (warm_wall, ww)):
                values.append(value)
            install.append(c - w)
            log(f"  {name} run {i + 1}: cold {c:.0f} ms, warm {w:.0f} ms")
        return {"cold_ms": summary(cold), "warm_ms": summary(warm),
                "cold_wall_ms": summary(cold_wall), "warm_wall_ms": summary(warm_wall),
                "install_only_ms": summary(install)}

    def fig_install(self) -> dict[str, Any]:
        n = self.args.runs
        out: dict[str, Any] = {}
        for name in ("real", "fast"):
            log(f"install: {name}")
            out[name] = self.cold_warm(name, n)
            out[name]["package_bytes"], out[name]["compressed_bytes"] = self.constants(name)
        self.record("install", out)
        print("Cold install / warm launch (inside Wine, CreateProcessW to exit):")
        for name, label in (("real", "real node.exe"), ("fast", "trivial child")):
            r = out[name]
            print(f"  {label}: cold {fmt(r['cold_ms'])}")
            print(f"  {label}: warm {fmt(r['warm_ms'])}")
            print(f"  {label}: cold - warm (install alone) {fmt(r['install_only_ms'])}")
            print(f"  {label}: as whole Wine commands: cold {fmt(r['cold_wall_ms'])}, "
                  f"warm {fmt(r['warm_wall_ms'])}")
        return out

    def peak_hwm(self, args: list[Arg], name_in_cmdline: str) -> int:
        """Largest VmHWM (KiB) of the Linux process whose cmdline names the exe."""
        p = self.live().spawn(args, "peak")
        pid, peak, deadline = None, 0, time.monotonic() + 600
        while p.poll() is None and time.monotonic() < deadline:
            if pid is None:
                pid = self.find_process(name_in_cmdline)
            if pid is not None:
                try:
                    status = Path(f"/proc/{pid}/status").read_text()
                    m = re.search(r"VmHWM:\s+(\d+) kB", status)
                    if m:
                        peak = max(peak, int(m.group(1)))
                except OSError:
                    pass
            time.sleep(0.005)
        if p.poll() is None:
            p.kill()
            raise RuntimeError(f"{args[0]} did not end within 600 s")
        if p.poll() != 0:
            raise RuntimeError(f"{args[0]} exited {p.poll()}")
        if pid is None:
            raise RuntimeError(f"never saw a process named {name_in_cmdline}")
        return peak

    @staticmethod
    def find_process(name: str) -> Optional[int]:
        for entry in os.scandir("/proc"):
            if not entry.name.isdigit():
                continue
            try:
                cmdline = Path(entry.path, "cmdline").read_bytes()
            except OSError:
                continue
            if name.encode() in cmdline:
                return int(entry.name)
        return None

    def fig_memory(self) -> dict[str, Any]:
        n = self.args.runs
        exe = self.work / "Lumaro-real.exe"
        package, compressed = self.constants("real")
        aligned = self.work / "Lumaro-real-aligned.exe"
        cold: list[float] = []
        warm: list[float] = []
        trivial: list[float] = []
        cold_al: list[float] = []
        warm_al: list[float] = []
        for i in range(n):
            self.reset_data_root()
            cold.append(self.peak_hwm([exe], exe.name))
            warm.append(self.peak_hwm([exe], exe.name))
            if aligned.exists():
                self.reset_data_root()
                cold_al.append(self.peak_hwm([aligned], aligned.name))
                warm_al.append(self.peak_hwm([aligned], aligned.name))
            trivial.append(self.peak_hwm([self.tools / "fast_child.exe", "--hold-ms", "300"],
                                         "fast_child.exe"))
            log(f"  memory run {i + 1}: cold {cold[-1]} KiB, warm {warm[-1]} KiB, "
                f"trivial exe {trivial[-1]} KiB")
        base = package + compressed
        ratio = [c * 1024 / base for c in cold]
        above_trivial = [(c - t) * 1024 / base for c, t in zip(cold, trivial)]
        out = {"package_bytes": package, "compressed_bytes": compressed,
               "cold_vmhwm_kib": summary(cold), "warm_vmhwm_kib": summary(warm),
               "trivial_vmhwm_kib": summary(trivial), "ratio": summary(ratio),
               "ratio_above_trivial": summary(above_trivial),
               "aligned_cold_vmhwm_kib": summary(cold_al), "aligned_warm_vmhwm_kib": summary(warm_al)}
        self.record("memory", out)
        print(f"Peak memory (VmHWM) of the launcher process, package {package} + compressed "
              f"{compressed} bytes:")
        print(f"  cold install: {fmt(summary(cold), 'KiB', 0)}")
        print(f"  warm launch:  {fmt(summary(warm), 'KiB', 0)}")
        print(f"  trivial exe:  {fmt(summary(trivial), 'KiB', 0)}")
        if cold_al:
            print(f"  linked with 4 KiB file alignment: cold {fmt(summary(cold_al), 'KiB', 0)}")
            print(f"  linked with 4 KiB file alignment: warm {fmt(summary(warm_al), 'KiB', 0)}")
        print(f"  cold VmHWM / (package + compressed): {fmt(summary(ratio), '', 3)}")
        print(f"  (cold - trivial) / (package + compressed): {fmt(summary(above_trivial), '', 3)}")
        return out

    STEPS = ("prepare", "map", "decode", "digest", "staging", "unpack", "flush", "marker",
             "rename", "release", "total")
    STEP_MODES = ("shipped", "each", "late-keep", "late-reopen", "late-par16")

    def fig_writes(self) -> dict[str, Any]:
        n = self.args.runs
        name = "fast"
        exe = self.work / f"Lumaro-{name}.exe"
        steps_exe = self.work / f"install_steps-{name}.exe"
        archive = to_windows(self.work / f"{name}.archive")
        scratch = self.work / "writes"
        shutil.rmtree(scratch, ignore_errors=True)
        scratch.mkdir()
        keys = ("cold", "warm", "install", "decode", "crc", "none", "each", "late", "unpack_flush", "unpack_noflush")
        times: dict[str, list[float]] = {k: [] for k in keys}
        modes = self.args.step_modes.split(",") if self.args.step_modes else self.STEP_MODES
        steps: dict[str, dict[str, list[float]]] = {m: {k: [] for k in self.STEPS} for m in modes}
        dirty: list[float] = []

        def launch(i: int) -> None:
            self.reset_data_root()
            cold, _ = self.timed(exe)
            warm, _ = self.timed(exe)
            times["cold"].append(cold)
            times["warm"].append(warm)
            times["install"].append(cold - warm)

        def decode(i: int) -> None:
            text, _ = self.wine([self.tools / "decode_only.exe", to_windows(self.work / f"pack-{name}" / "record.bin")])
            times["decode"].append(figure(r"decode_ms=([\d.]+)", text))
            times["crc"].append(figure(r"crc_ms=([\d.]+)", text))

        def writer(mode: str) -> Callable[[int], None]:
            table: dict[str, list[Arg]] = {"none": [], "each": ["--flush"], "late": ["--flush-late"]}
            flags = table[mode]

            def task(i: int) -> None:
                dest = scratch / f"w-{i + 1}-{mode}"
                text, _ = self.wine([self.tools / "write_files.exe", archive, to_windows(dest),
                                     *flags])
                times[mode].append(figure(r"write_ms=([\d.]+)", text))
                shutil.rmtree(dest)
            return task

        def unpack(i: int) -> None:
            dest = scratch / f"u-{i + 1}"
            dest.mkdir()
            text, _ = self.wine([self.tools / "unpack_bench.exe", archive, to_windows(dest), 1,
                                 i + 1])
            for mode, ms in re.findall(r"run \d+ (flush|noflush): unpack_ms=([\d.]+)", text):
                times["unpack_" + mode].append(float(ms))
            shutil.rmtree(dest)

        def stepwise(mode: str) -> Callable[[int], None]:
            def task(i: int) -> None:
                self.reset_data_root()
                text, _ = self.wine([steps_exe, "--flush", mode])
                for key, ms in re.findall(r"(\w+)_ms=([\d.]+)", text):
                    steps[mode][key].append(float(ms))
            return task

        # Every task once per round, in a rotated order, each starting with no
        # dirty data of an earlier one still being written back.
        tasks = [launch, decode, writer("none"), writer("each"), writer("late"), unpack]
        if steps_exe.exists():
            tasks += [stepwise(m) for m in modes]
        for i in range(n):
            k = i % len(tasks)
            for task in tasks[k:] + tasks[:k]:
                dirty.append(settle())
                task(i)
            log(f"  writes round {i + 1}: install {times['install'][-1]:.0f} ms, decode "
                f"{times['decode'][-1]:.0f} ms, writer with flush {times['each'][-1]:.0f} ms, "
                f"load {os.getloadavg()[0]:.2f}")
        load = os.getloadavg()
        out: dict[str, Any]
        out = {"install": {"cold_ms": summary(times["cold"]), "warm_ms": summary(times["warm"]),
                           "install_only_ms": summary(times["install"])},
               "decode_ms": summary(times["decode"]), "digest_check_ms": summary(times["crc"]),
               "write_plain_ms": summary(times["none"]),
               "write_flush_ms": summary(times["each"]),
               "write_flush_late_ms": summary(times["late"]),
               "unpack_flush_ms": summary(times["unpack_flush"]),
               "unpack_noflush_ms": summary(times["unpack_noflush"]),
               "steps_ms": {m: {k: summary(v) for k, v in steps[m].items() if v}
                            for m in steps if steps[m]["total"]},
               "dirty_kib_before_tasks": summary(dirty),
               "loadavg_end": list(load)}
        shutil.rmtree(scratch, ignore_errors=True)

        def ratio(stat: str, writer_key: str) -> float:
            return ((out["install"]["install_only_ms"][stat] - out["decode_ms"][stat])
                    / out[writer_key][stat])
        out["ratio_vs_plain"] = ratio("median", "write_plain_ms")
        out["ratio_vs_flush"] = ratio("median", "write_flush_ms")
        out["ratio_vs_flush_min"] = ratio("min", "write_flush_ms")
        # Paired within a round, so that drift between rounds cancels.
        out["ratio_vs_flush_by_round"] = summary([
            (inst - dec) / w for inst, dec, w in zip(times["install"], times["decode"], times["each"])])
        # The same from the step-by-step install, where decode and the rest run
        # in one process: CPU contention that slows the decode cancels out.
        for mode, split in steps.items():
            if split["total"]:
                rest = [t - d for t, d in zip(split["total"], split["decode"])]
                out.setdefault("steps_ratio_vs_flush", {})[mode] = {
                    "median": statistics.median(rest) / out["write_flush_ms"]["median"],
                    "min": min(rest) / out["write_flush_ms"]["min"],
                    "by_round": summary([r / w for r, w in zip(rest, times["each"])])}
        out["ratio_check_vs_cold"] = out["digest_check_ms"]["median"] / out["install"]["cold_ms"]["median"]
        self.record("writes", out)
        print(f"Install minus decode against a plain writer of the same files (trivial-child "
              f"package, {n} rounds, load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}):")
        print(f"  install alone (cold - warm launch): {fmt(out['install']['install_only_ms'])}")
        print(f"  decode (load cabinet.dll, decompress into a zeroed buffer): {fmt(out['decode_ms'])}")
        print(f"  digest check (CRC-32 of the decoded package): {fmt(out['digest_check_ms'], digits=2)}")
        print(f"  digest check / cold install (medians): {out['ratio_check_vs_cold']:.4f}")
        print(f"  plain writer, no flush:   {fmt(out['write_plain_ms'])}")
        print(f"  plain writer, with flush: {fmt(out['write_flush_ms'])}")
        print(f"  plain writer, all flushed after the last write: {fmt(out['write_flush_late_ms'])}")
        print(f"  (install - decode) / plain writer (medians): {out['ratio_vs_plain']:.2f}")
        print(f"  (install - decode) / plain writer with flush (medians): {out['ratio_vs_flush']:.2f}")
        print(f"  (install - decode) / plain writer with flush (minimums): {out['ratio_vs_flush_min']:.2f}")
        print(f"  (install - decode) / plain writer with flush, by round: "
              f"{fmt(out['ratio_vs_flush_by_round'], '', 2)}")
        for mode, r in out.get("steps_ratio_vs_flush", {}).items():
            print(f"  step by step, flush {mode}: (total - decode) / plain writer with flush: "
                  f"medians {r['median']:.2f}, minimums {r['min']:.2f}, by round "
                  f"{fmt(r['by_round'], '', 2)}")
        print(f"  launcher's unpacker with flush:    {fmt(out['unpack_flush_ms'])}")
        print(f"  launcher's unpacker without flush: {fmt(out['unpack_noflush_ms'])}")
        for mode, per_step in out["steps_ms"].items():
            print(f"  install step by step, flush {mode} (median ms; min): " + ", ".join(
                f"{k} {v['median']:.1f}; {v['min']:.1f}" for k, v in per_step.items()))
        return out

    def pairs(self, a: Sequence[Arg], b: Sequence[Arg]) -> tuple[list[float], list[float], list[float]]:
        """timed_run's warm pairs of command a against command b inside Wine:
        (a's ms, b's ms, the ratios) of every pair."""
        text, _ = self.wine([self.tools / "timed_run.exe", "-n", self.args.overhead_runs, "--warmup", 3, "--", *a,
                             "--vs", *b])

        def column(name: str) -> list[float]:
            return [float(x) for x in re.findall(rf"^run \d+: (?:.* )?{name}=([\d.]+)", text, re.M)]
        return column("A_ms"), column("B_ms"), column("ratio")

    def fig_overhead(self) -> dict[str, Any]:
        n = self.args.overhead_runs
        exe = self.work / "Lumaro-fast.exe"
        self.reset_data_root()
        self.timed(exe)  # installs the runtime
        runtime = self.runtime_dir("fast")
        device = self.data_root() / "device.local.json"
        spawner: list[Arg] = [self.tools / "min_spawner.exe", to_windows(runtime), to_windows(device)]
        against_spawner = [to_windows(self.tools / "min_spawner.exe"), *spawner[1:]]

        inner_a, inner_b, _ = self.pairs([to_windows(exe)], against_spawner)
        inner_ratio = [a / b for a, b in zip(inner_a, inner_b)]

        aligned = self.work / "Lumaro-fast-aligned.exe"
        al_a: list[float] = []
        al_ratio: list[float] = []
        if aligned.exists():
            self.timed(aligned)  # same runtime: same package
            al_a, _, al_ratio = self.pairs([to_windows(aligned)], against_spawner)
        u32_a, _, u32_ratio = self.pairs([to_windows(self.tools / "min_spawner_user32.exe"), *spawner[1:]],
                                         against_spawner)

        against_ratio: list[float] = []
        if self.args.against_link:
            # The same record linked by another build's kit: old against new
            # launcher code, on the same runtime, pair by pair.
            other = self.work / "Lumaro-fast-against.exe"
            self.kit.link(self.work / "pack-fast/record.bin", self.work / "pack-fast/payload_constants.cpp", other,
                          link_tool=Path(self.args.against_link).resolve())
            _, _, against_ratio = self.pairs([to_windows(exe)], [to_windows(other)])

        outer_a: list[float] = []
        outer_b: list[float] = []
        for i in range(n + 3):
            _, wa = self.wine([exe])
            _, wb = self.wine(spawner)
            if i >= 3:
                outer_a.append(wa * 1000)
                outer_b.append(wb * 1000)
        outer_ratio = [a / b for a, b in zip(outer_a, outer_b)]
        out: dict[str, Any]
        out = {"inner_launcher_ms": summary(inner_a), "inner_spawner_ms": summary(inner_b),
               "inner_ratio": summary(inner_ratio), "outer_launcher_ms": summary(outer_a),
               "outer_spawner_ms": summary(outer_b), "outer_ratio": summary(outer_ratio),
               "inner_aligned_ms": summary(al_a), "inner_aligned_ratio": summary(al_ratio),
               "inner_spawner_user32_ms": summary(u32_a),
               "inner_spawner_user32_ratio": summary(u32_ratio)}
        if against_ratio:
            out["inner_against_ratio"] = summary(against_ratio)
        self.record("overhead", out)
        print("Warm launch, launcher against a minimal spawner, same trivial child:")
        print(f"  inside Wine: launcher {fmt(out['inner_launcher_ms'], digits=2)}")
        print(f"  inside Wine: spawner  {fmt(out['inner_spawner_ms'], digits=2)}")
        print(f"  inside Wine: ratio (pairwise) {fmt(out['inner_ratio'], '', 3)}")
        if al_a:
            print(f"  inside Wine: launcher linked with 4 KiB file alignment "
                  f"{fmt(out['inner_aligned_ms'], digits=2)}, ratio {fmt(out['inner_aligned_ratio'], '', 3)}")
        print(f"  inside Wine: spawner importing user32 {fmt(out['inner_spawner_user32_ms'], digits=2)}, "
              f"ratio to the spawner {fmt(out['inner_spawner_user32_ratio'], '', 3)}")
        if against_ratio:
            print(f"  inside Wine: this launcher / the one --against-link makes (pairwise) "
                  f"{fmt(out['inner_against_ratio'], '', 3)}")
        print(f"  whole Wine commands: launcher {fmt(out['outer_launcher_ms'])}")
        print(f"  whole Wine commands: spawner  {fmt(out['outer_spawner_ms'])}")
        print(f"  whole Wine commands: ratio (pairwise) {fmt(out['outer_ratio'], '', 3)}")
        return out


def figure(pattern: str, text: str) -> float:
    """The number the pattern's group finds in a tool's output."""
    found = re.search(pattern, text)
    if not found:
        raise RuntimeError(f"no {pattern} in: {text}")
    return float(found.group(1))


def main() -> None:
    ap = argparse.ArgumentParser(prog="python3 -m lmr.bench.wine", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("figure", choices=["setup", "install", "memory", "writes", "overhead", "all"])
    ap.add_argument("-n", "--runs", type=int, default=9, help="repetitions per figure (default 9)")
    ap.add_argument("--overhead-runs", type=int, default=40,
                    help="pairs for the warm launch overhead (default 40)")
    ap.add_argument("--work", default=str(ROOT / "build/bench/wine"), help="scratch folder (default %(default)s)")
    ap.add_argument("--app", default=str(ROOT / "build/bench/app"),
                    help="app folder with node.exe (fetched from npm when missing)")
    ap.add_argument("--host-build", default=str(ROOT / "build/host-release"))
    ap.add_argument("--win-build", default=str(ROOT / "build/windows"))
    ap.add_argument("--step-modes", help="flush modes of the step-by-step install, comma-separated "
                    "(default: shipped, each, late-keep, late-reopen, late-par16)")
    ap.add_argument("--nice", type=int, default=0,
                    help="run this and every Wine process at this niceness (e.g. -10)")
    ap.add_argument("--repack", action="store_true", help="copy and pack the app again")
    ap.add_argument("--against-link", help="overhead: also time the launcher against the same "
                    "package linked by this lumaro-link (another build's), pair by pair")
    args = ap.parse_args()
    if args.nice:
        # A busy machine steals CPU from the decode, which the install figure
        # subtracts: run above the other work (needs root to go below 0).
        os.setpriority(os.PRIO_PROCESS, 0, args.nice)
    bench = Bench(args)
    if args.figure in ("setup", "all"):
        bench.setup()
        if args.figure == "setup":
            return
    figures = ["install", "memory", "writes", "overhead"] if args.figure == "all" else [args.figure]
    with bench.session():
        for f in figures:
            getattr(bench, "fig_" + f)()
            sys.stdout.flush()


if __name__ == "__main__":
    main()

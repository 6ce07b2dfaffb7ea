# Shared pieces of the installation, application and crash scenarios: what
# the node.exe stand-in is told to do and what it recorded, launchers built from raw archives,
# a clone of the run's prefix without the stand-in cabinet.dll, file holders,
# snapshots of DataRoot and comparison of an installed runtime with its app.
import copy
import glob
import hashlib
import os
import random
import shutil
import struct
import subprocess
import threading
import time
import unittest

from tests.e2e import harness
from tests.e2e.harness import SetupError, tree_listing, wait_for, wait_for_file, win_path
from tools.wine import wine_driver

# -- app folders and launchers ---------------------------------------------

def write_tree(root, entries):
    for name, content in entries.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content.encode("utf-8") if isinstance(content, str) else content)


def node_env(record=None, exit=None, stderr=None, sleep_ms=None, crash=False, exec_line=None):
    """The variables that tell the node.exe stand-in what to do; the launcher
    hands them on. record is a Linux path for its record of each run."""
    env = {}
    if record is not None:
        env["FAKE_NODE_RECORD"] = win_path(record)
    if exec_line is not None:
        env["FAKE_NODE_EXEC"] = exec_line
    if sleep_ms is not None:
        env["FAKE_NODE_SLEEP_MS"] = str(sleep_ms)
    if stderr is not None:
        env["FAKE_NODE_STDERR_HEX"] = (stderr.encode("utf-8") if isinstance(stderr, str) else stderr).hex()
    if crash:
        env["FAKE_NODE_CRASH"] = "1"
    if exit is not None:
        env["FAKE_NODE_EXIT"] = str(exit)
    return env


def build_id_of(exe):
    with open(exe, "rb") as f:
        image = f.read()
    at = harness.find_record(image)
    return image[at + 8:at + 24].decode("ascii")


def data_root(local):
    return os.path.join(local, "Lumaro")


def runtime_dir(local, exe):
    return os.path.join(data_root(local), "runtime-" + build_id_of(exe))


def preinstall(exe, app_dir, local):
    """Puts a complete runtime of exe's app in place, as an install would leave it,
    so scenarios about the application skip the install. Returns RuntimeDir."""
    runtime = runtime_dir(local, exe)
    shutil.copytree(app_dir, runtime)
    open(os.path.join(runtime, "ready"), "wb").close()
    return runtime


def archive_bytes(entries):
    """A package archive from (name, bytes) pairs, in the given order."""
    out = [struct.pack("<H", len(entries))]
    for name, data in entries:
        raw = name.encode("utf-8")
        out.append(struct.pack("<HI", len(raw), len(data)) + raw + data)
    return b"".join(out)


def app_entries(app_dir):
    """(name, bytes) of every file in an app folder, "/" between folders."""
    entries = []
    for rel in tree_listing(app_dir):
        if not rel.endswith("/"):
            with open(os.path.join(app_dir, rel), "rb") as f:
                entries.append((rel, f.read()))
    return entries


def lmr_record(s):
    hits = glob.glob(os.path.join(s.host_build, "tests", "tools", "lmr-record"))
    hits += glob.glob(os.path.join(s.host_build, "**", "lmr-record"), recursive=True)
    hits = [h for h in hits if os.access(h, os.X_OK)]
    if not hits or not s.lumaro_link():
        raise unittest.SkipTest("lmr-record or lumaro-link not built")
    return hits[0]


_record_cache = {}


def record_launcher(s, archive, build_id=None, package_size=None, corrupt=False):
    """A launcher around raw archive bytes through lmr-record (cached per run)."""
    key = hashlib.sha256(archive + repr((build_id, package_size, corrupt)).encode()).hexdigest()
    if key not in _record_cache:
        out = os.path.join(s.scratch("records"), key[:16])
        os.makedirs(out, exist_ok=True)
        raw, record, constants = (os.path.join(out, n) for n in ("archive.bin", "record.bin", "constants.cpp"))
        with open(raw, "wb") as f:
            f.write(archive)
        args = [lmr_record(s), "--archive", raw, "--record", record, "--constants", constants]
        if build_id is not None:
            args += ["--build-id", build_id]
        if package_size is not None:
            args += ["--package-size", str(package_size)]
        if corrupt:
            args += ["--corrupt-stream"]
        run_checked(args)
        exe = os.path.join(out, "Lumaro.exe")
        run_checked([s.lumaro_link(), record, constants, exe])
        _record_cache[key] = exe
    return _record_cache[key]


def lmr_lzms_decode(s):
    hits = glob.glob(os.path.join(s.host_build, "tests", "tools", "lmr-lzms-decode"))
    if not hits:
        raise unittest.SkipTest("lmr-lzms-decode not built")
    return hits[0]


def stream_chunks(image):
    """(offset in image, stored size, uncompressed size) of each chunk record
    of the one payload stream in a launcher image."""
    stream = harness.find_record(image) + 24
    total, chunk_size = struct.unpack_from("<QI", image, stream + 8)
    chunks, at, done = [], stream + 24, 0
    while done < total:
        (size,) = struct.unpack_from("<I", image, at)
        want = min(chunk_size, total - done)
        chunks.append((at + 4, size, want))
        at, done = at + 4 + size, done + want
    return chunks


def damage_that_decodes(s, exe, out_path, chunk):
    """A copy of exe with one bit flipped inside a compressed chunk such that
    our decoder (the stand-in cabinet.dll's) still produces a package of the
    right length, only with other bytes. Returns the copy's path."""
    with open(exe, "rb") as f:
        image = bytearray(f.read())
    decoder = lmr_lzms_decode(s)
    good = out_path + ".good"
    run_checked([decoder, exe, good])
    with open(good, "rb") as f:
        original = f.read()
    start, size, _ = chunk
    rng = random.Random(size)
    for _ in range(400):
        at = start + rng.randrange(size // 4, size)  # past the chunk's code tables
        bit = 1 << rng.randrange(8)
        image[at] ^= bit
        with open(out_path, "wb") as f:
            f.write(image)
        decoded = out_path + ".archive"
        proc = subprocess.run([decoder, out_path, decoded], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if proc.returncode == 0:
            with open(decoded, "rb") as f:
                if f.read() != original:
                    return out_path
        image[at] ^= bit
    raise AssertionError("no flip in the compressed chunk decoded to other bytes")


def pack_launcher(s, app_dir, out_dir, extra_args=()):
    """lmr-pack with extra options (e.g. a low --level) + lumaro-link."""
    pack, link = s.lmr_pack(), s.lumaro_link()
    if not pack or not link:
        raise unittest.SkipTest("lmr-pack or lumaro-link not built yet")
    os.makedirs(out_dir, exist_ok=True)
    record, constants = os.path.join(out_dir, "record.bin"), os.path.join(out_dir, "constants.cpp")
    run_checked([pack, app_dir, "--record", record, "--constants", constants, "--quiet"] + list(extra_args))
    exe = os.path.join(out_dir, "Lumaro.exe")
    run_checked([link, record, constants, exe])
    return exe


def run_checked(args):
    proc = subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if proc.returncode != 0:
        raise SetupError(f"{' '.join(args)} failed ({proc.returncode}):\n"
                         f"{proc.stdout.decode('utf-8', 'replace')}")
    return proc.stdout


# -- launching ----------------------------------------------------------------

def launch(s, exe, local, cwd, set_env=None, **kw):
    env = {"LOCALAPPDATA": win_path(local)}
    env.update(set_env or {})
    return s.launch(exe, set_env=env, cwd=cwd, **kw)


def read_records(path):
    """The stand-in's records of its runs, each as {"pid", "command_line",
    "argv", "cwd", "env", "stdin"/"stdout"/"stderr"/"nul": {"type", "path"}}."""
    if not os.path.exists(path):
        return []
    records, fields = [], None
    with open(path, encoding="utf-8", newline="\n") as f:
        for line in f.read().split("\n"):
            key, _, value = line.partition("=")
            if key == "pid":
                fields = {"pid": int(value), "argv": [], "env": []}
            elif key == "end" and fields is not None:
                records.append({
                    "pid": fields["pid"], "command_line": fields["cmdline"], "argv": fields["argv"],
                    "cwd": fields["cwd"], "env": fields["env"],
                    **{h: {"type": None if fields[h + "_type"] == "none" else int(fields[h + "_type"]),
                           "path": fields[h + "_path"] or None}
                       for h in ("stdin", "stdout", "stderr", "nul")}})
                fields = None
            elif fields is not None and key in ("arg", "env"):
                fields["argv" if key == "arg" else "env"].append(value)
            elif fields is not None and key:
                fields[key] = value
    return records


def env_entries(record, name):
    """Every entry of the child's block whose name equals name, case ignored."""
    hits = []
    for entry in record["env"]:
        eq = entry.find("=", 1)
        if eq > 0 and entry[:eq].upper() == name.upper():
            hits.append((entry[:eq], entry[eq + 1:]))
    return hits


class HeldFile:
    """A Windows process holding path open (default: read access, no sharing)."""

    def __init__(self, s, path, access="read", share="none", create=False):
        self.s = s
        base = os.path.join(s.scratch("holders"), s.unique("hold"))
        self.ready, self.stop = base + ".ready", base + ".stop"
        argv = [s.tool("lmr-hold-file.exe"), "--path", win_path(path), "--access", access,
                "--share", share, "--lifetime-ms", "120000", "--ready-file", win_path(self.ready),
                "--stop-file", win_path(self.stop)]
        if create:
            argv.append("--create")
        self.proc = s.spawn(argv, "holder")

    def __enter__(self):
        if not wait_for_file(self.ready, 30):
            raise SetupError("the file holder did not start")
        with open(self.ready) as f:
            state = f.read()
        if state != "held":
            raise SetupError(f"the file holder could not open its file: {state}")
        return self

    def __exit__(self, *exc):
        with open(self.stop, "w"):
            pass
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            pass


# -- file system views ----------------------------------------------------------

def snapshot(root):
    """{relative path: (is folder, size, mtime_ns)} of root and everything in it."""
    out = {}
    for base, dirs, files in os.walk(root):
        for name in [""] + dirs + files if base == root else dirs + files:
            path = os.path.join(base, name) if name else base
            st = os.lstat(path)
            rel = os.path.relpath(path, root)
            out[rel] = (os.path.isdir(path), st.st_size, st.st_mtime_ns)
    return out


def file_digests(root):
    """{relative file path: (size, sha256)}; folders are implied by the files."""
    out = {}
    for rel in tree_listing(root):
        if rel.endswith("/"):
            continue
        out[rel] = digest_file(os.path.join(root, rel))
    return out


def digest_file(path):
    h = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            size += len(chunk)
            h.update(chunk)
    return size, h.hexdigest()


def expected_runtime(app_dir):
    """What a complete RuntimeDir of app_dir holds: its files plus an empty ready."""
    want = file_digests(app_dir)
    want["ready"] = (0, hashlib.sha256(b"").hexdigest())
    return want


def runtime_problems(runtime, want):
    """Differences between RuntimeDir and the expected files; empty when identical."""
    have = file_digests(runtime)
    problems = [f"missing {n}" for n in sorted(set(want) - set(have))]
    problems += [f"extra {n}" for n in sorted(set(have) - set(want))]
    problems += [f"differs {n}" for n in sorted(set(want) & set(have)) if want[n] != have[n]]
    return problems


class StagingPoller:
    """Records every install-* name seen in a folder, polling in a thread."""

    def __init__(self, folder, interval_s=0.002):
        self.folder, self.interval_s = folder, interval_s
        self.seen = set()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                self.seen.update(n for n in os.listdir(self.folder) if n.startswith("install-"))
            except OSError:
                pass
            time.sleep(self.interval_s)

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.seen


# -- a prefix without the stand-in cabinet.dll ------------------------------------

_plain = None


def plain_prefix_session(s):
    """A Session twin on a clone of the run's prefix whose system32 cabinet.dll
    is Wine's own (no Compression API) and with no override for it. Started on
    first use; stopped with stop_plain_prefix()."""
    global _plain
    if _plain is not None:
        return _plain
    clone = wine_driver.clone_prefix(s.prefix, os.path.join(s.root, "prefix-plain"), cabinet=False)
    with open(os.path.join(clone, "drive_c", "windows", "system32", "cabinet.dll"), "rb") as f:
        if b"Wine builtin DLL" not in f.read(256):
            raise SetupError("the clone still has the stand-in cabinet.dll")
    twin = copy.copy(s)
    twin.prefix = str(clone)
    # Its own server; one counter for file names across both prefixes.
    twin.wine = wine_driver.Session(clone, s.wine.tools, logs=s.scratch("proc-plain"))
    twin.wine.unique = s.wine.unique
    twin._oserror_cache = {}
    twin.wine.start()
    _plain = twin
    return twin


def stop_plain_prefix():
    global _plain
    if _plain is None:
        return
    twin, _plain = _plain, None
    twin.wine.close()


# -- generated content ------------------------------------------------------------

def incompressible(seed, size):
    return random.Random(seed).randbytes(size)


def compressible(seed, size):
    """Text-like bytes: lines drawn from a pool of random word lines, so the
    stream is mostly matches with some variety and decoding is real work."""
    rng = random.Random(seed)
    letters = b"abcdefghijklmnopqrstuvwxyz"
    words = [bytes(rng.choices(letters, k=rng.randint(2, 9))) for _ in range(2048)]
    pool = [b" ".join(rng.choices(words, k=12)) + b"\n" for _ in range(8192)]
    out = bytearray()
    while len(out) < size:
        out += b"".join(rng.choices(pool, k=4096))
    return bytes(out[:size])


# -- killing a first install at random moments --------------------------------------

BIG_PARTS = 22  # large files of each kind
BIG_PART_SIZE = 1_900_000
BIG_SMALL_FILES = 800  # like node_modules: many small files make unpacking take time too
BIG_SMALL_SIZE = 9000  # about 91 MB of package in all
CRASH_EXE_NAME = "LumaroCrash.exe"

_big = {}


def big_package(s):
    """A launcher around about 90 MB of generated content: large files half
    random (the decoder emits literals) and half text-like (mostly matches),
    plus thousands of small files, packed at a low level so packing stays
    quick. Built once per run; returns (exe, app folder, expected runtime)."""
    if not _big:
        app = os.path.join(s.scratch("big"), "app")
        if os.path.isdir(app):
            shutil.rmtree(app)
        os.makedirs(app)
        shutil.copyfile(s.node_stand_in(), os.path.join(app, "node.exe"))
        write_tree(app, {"home.mjs": "// large test application\n"})
        for i in range(BIG_PARTS):
            write_tree(app, {f"data/random-{i:02d}.bin": incompressible(i, BIG_PART_SIZE),
                             f"data/text/part-{i:02d}.txt": compressible(1000 + i, BIG_PART_SIZE)})
        text = compressible(7, BIG_SMALL_FILES * BIG_SMALL_SIZE)
        for i in range(BIG_SMALL_FILES):
            chunk = text[i * BIG_SMALL_SIZE:(i + 1) * BIG_SMALL_SIZE]
            write_tree(app, {f"modules/pkg-{i // 40:02d}/lib/file-{i % 40:02d}.js": chunk})
        out = os.path.join(s.scratch("big"), "exe")
        exe = pack_launcher(s, app, out, ["--level", "1", "--no-verify"])
        named = os.path.join(out, CRASH_EXE_NAME)
        os.replace(exe, named)
        _big["package"] = (named, app, expected_runtime(app))
    return _big["package"]


def linux_pids_of(exe_name):
    """Linux pids of the Wine processes running exe_name itself (not a runner
    that merely names it on its command line)."""
    needle = exe_name.lower().encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().lower().split(b"\0")
        except OSError:
            continue
        if any(a.endswith(needle) for a in args) and not any(b"lmr-runner" in a for a in args):
            pids.append(int(entry))
    return pids


class CrashRounds:
    """Kills the launcher during first installs and checks that RuntimeDir is
    absent or complete after every kill, and complete after the next launch."""

    def __init__(self, s, seed, log=print):
        self.s, self.rng, self.log = s, random.Random(seed), log
        self.exe, self.app, self.want = big_package(s)
        self.work = s.new_case_dir("crash")
        self.counts = dict(rounds=0, killed=0, finished_first=0, absent=0, absent_staging=0,
                           complete=0, incomplete=0, relaunch_183=0, relaunch_failed=0)
        self.failures = []
        self.install_s = None

    def local(self, n):
        return os.path.join(self.work, f"round-{n}")

    def start(self, local):
        env = {"LOCALAPPDATA": win_path(local)}
        runner = self.s.start_runner(self.exe, set_env=env, cwd=self.work, timeout_s=120)
        pids = wait_for(lambda: linux_pids_of(CRASH_EXE_NAME), 60, step_s=0.002)
        return runner, (pids[0] if pids else None), time.monotonic()

    def calibrate(self, installs=3):
        """Whole first installs: the median time from the launcher's start to
        RuntimeDir (the first install after a fresh prefix runs cold)."""
        times = []
        for i in range(installs):
            local = self.local(f"calibration-{i}")
            runtime = runtime_dir(local, self.exe)
            runner, pid, t0 = self.start(local)
            wait_for(lambda: os.path.isdir(runtime), 120, step_s=0.005)
            times.append(time.monotonic() - t0)
            code, out = self.s.runner_exit(runner)
            problems = runtime_problems(runtime, self.want) if code == 0 else [f"exit {code}: {out}"]
            shutil.rmtree(local, ignore_errors=True)
            if pid is None or problems:
                raise AssertionError(f"the calibration install failed: pid {pid}, {problems}")
        self.install_s = sorted(times)[len(times) // 2]
        return self.install_s

    def round(self, n):
        self.counts["rounds"] += 1
        local = self.local(n)
        root, runtime = data_root(local), runtime_dir(local, self.exe)
        runner, pid, t0 = self.start(local)
        if pid is None:
            self.failures.append(f"round {n}: the launcher never appeared")
            runner.kill()
            return
        delay = self.rng.uniform(0, self.install_s)
        time.sleep(max(0.0, t0 + delay - time.monotonic()))
        try:
            os.kill(pid, 9)
            self.counts["killed"] += 1
        except ProcessLookupError:
            self.counts["finished_first"] += 1
        self.s.runner_exit(runner)
        # Wine may still be closing the killed process's files.
        wait_for(lambda: pid not in linux_pids_of(CRASH_EXE_NAME), 10)

        if os.path.lexists(runtime):
            problems = runtime_problems(runtime, self.want)
            if problems:
                self.counts["incomplete"] += 1
                self.failures.append(f"round {n}: killed after {delay:.3f} s, RuntimeDir incomplete: "
                                     f"{problems[:5]}")
                return
            self.counts["complete"] += 1
        else:
            staging = os.path.isdir(root) and any(x.startswith("install-") for x in os.listdir(root))
            self.counts["absent_staging" if staging else "absent"] += 1

        for attempt in range(3):
            result = launch(self.s, self.exe, local, cwd=self.work, timeout_s=120)
            dialog = result.dialog["text"] if result.dialog else None
            if dialog is not None and dialog == self.s.os_error_text(183) and result.exit_code == 1:
                # This launcher got the killed one's process id and met its staging folder.
                self.counts["relaunch_183"] += 1
                continue
            problems = runtime_problems(runtime, self.want) if os.path.isdir(runtime) else ["absent"]
            if result.exit_code != 0 or dialog is not None or problems:
                self.counts["relaunch_failed"] += 1
                self.failures.append(f"round {n}: relaunch after a kill at {delay:.3f} s: {result!r}, "
                                     f"{problems[:5]}")
            break
        else:
            self.failures.append(f"round {n}: three relaunches in a row met error 183")
        shutil.rmtree(local, ignore_errors=True)

    def run(self, rounds):
        started = time.monotonic()
        for n in range(1, rounds + 1):
            self.round(n)
        self.elapsed_s = time.monotonic() - started
        return self.counts

    def summary(self):
        c = self.counts
        return (f"{c['rounds']} rounds in {self.elapsed_s:.1f} s (install {self.install_s:.2f} s): "
                f"killed {c['killed']}, finished before the kill {c['finished_first']}; after the kill "
                f"RuntimeDir absent {c['absent'] + c['absent_staging']} (with a staging folder "
                f"{c['absent_staging']}), complete {c['complete']}, incomplete {c['incomplete']}; "
                f"relaunches that met error 183 {c['relaunch_183']}, failed relaunches "
                f"{c['relaunch_failed']}")

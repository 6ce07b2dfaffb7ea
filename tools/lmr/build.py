"""Building a launcher: lmr-pack (or lmr-record, for raw archives) writes the
payload record, lumaro-link links the prebuilt launcher code around it. The
tests, the demo, the benchmarks and `./lumaro pack` all build through here.

    python3 -m lmr.build APP -o OUT.exe [--host-build DIR] [--windows-build DIR] -- [lmr-pack options]
"""
import argparse
import os
import re
import sys
import tempfile
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Union

from lmr import REPO
from lmr.proc import Arg, ToolError, bounded, checked

StrPath = Union[str, "os.PathLike[str]"]
STEP_TIMEOUT_S = 1800.0  # packing a large app on a busy machine


@dataclass(frozen=True)
class Constants:
    """The generated constants block: {tag, PACKAGE_SIZE, COMPRESSED_SIZE, PACKAGE_CRC32}."""
    tag: int
    package_size: int
    compressed_size: int
    crc32: int


def read_constants(path: StrPath) -> Constants:
    words = re.search(r"\{\s*(0x[0-9A-Fa-f]+)u,\s*(\d+)u,\s*(\d+)u,\s*(0x[0-9A-Fa-f]+)u\}", Path(path).read_text())
    if not words:
        raise ToolError(f"no constants block in {path}")
    return Constants(*(int(w, 0) for w in words.groups()))


def icon_beside(version_rc: StrPath) -> Path:
    """The exe's icon, which lmr-pack writes beside the resource script that
    names it (as lumaro_add_launcher's build folder has it too)."""
    return Path(version_rc).with_name("icon.ico")


class Kit:
    """Where the tools are: the host-release build (lmr-pack, lmr-record) and
    the windows build (lumaro-link)."""

    def __init__(self, host_build: Optional[StrPath] = None, windows_build: Optional[StrPath] = None) -> None:
        self.host_build = Path(host_build or os.environ.get("LUMARO_HOST_BUILD") or REPO / "build/host-release")
        self.windows_build = Path(windows_build or os.environ.get("LUMARO_WINDOWS_BUILD")
                                  or REPO / "build/windows")
        self.host_build, self.windows_build = self.host_build.resolve(), self.windows_build.resolve()
        self.pack_tool = self.host_build / "tools/pack/lmr-pack"
        self.record_tool = self.host_build / "tests/tools/lmr-record"
        self.inspect_tool = self.host_build / "tools/inspect/lmr-inspect"
        self.link_tool = self.windows_build / "lumaro-link"

    def missing(self, *tools: Path) -> Optional[str]:
        """What is not built yet, or None."""
        absent = [str(t) for t in tools or (self.pack_tool, self.link_tool) if not os.access(t, os.X_OK)]
        return f"not built: {', '.join(absent)}" if absent else None

    def pack(self, app: StrPath, out_dir: StrPath, pack_args: Sequence[Arg] = (),
             version_rc: bool = False) -> tuple[Path, Path, Optional[Path]]:
        """lmr-pack: (record, constants, version.rc or None) in out_dir; with
        version.rc, the icon it names is written beside it."""
        out = Path(out_dir)
        record, constants, rc = out / "record.bin", out / "payload_constants.cpp", out / "version.rc"
        args: list[Arg] = [self.pack_tool, *pack_args, app, "--record", record, "--constants", constants]
        if version_rc:
            args += ["--version-rc", rc, "--icon-out", icon_beside(rc)]
        checked(args, STEP_TIMEOUT_S)
        return record, constants, rc if version_rc else None

    def record(self, archive: StrPath, out_dir: StrPath, record_args: Sequence[Arg] = ()) -> tuple[Path, Path]:
        """lmr-record around raw archive bytes: (record, constants)."""
        out = Path(out_dir)
        record, constants = out / "record.bin", out / "payload_constants.cpp"
        checked([self.record_tool, "--archive", archive, "--record", record, "--constants", constants, *record_args],
                STEP_TIMEOUT_S)
        return record, constants

    def link(self, record: StrPath, constants: StrPath, exe: StrPath, version_rc: Optional[StrPath] = None,
             file_alignment: Optional[int] = None, link_tool: Optional[StrPath] = None) -> Path:
        args: list[Arg] = [link_tool or self.link_tool]
        if version_rc is not None:
            args += ["--version-rc", version_rc, "--icon", icon_beside(version_rc)]
        if file_alignment is not None:
            args += ["--file-alignment", file_alignment]
        checked([*args, record, constants, exe], STEP_TIMEOUT_S)
        return Path(exe)

    def launcher(self, app: StrPath, exe: StrPath, pack_args: Sequence[Arg] = (), version_rc: bool = False) -> Path:
        """lmr-pack plus lumaro-link: exe around app, its record and
        constants beside it."""
        out = Path(exe).parent
        out.mkdir(parents=True, exist_ok=True)
        record, constants, rc = self.pack(app, out, pack_args, version_rc)
        return self.link(record, constants, exe, rc)


def pack_launcher(kit: Kit, pack_args: Sequence[Arg], out: Path, env: Optional[Mapping[str, str]] = None) -> int:
    """lmr-pack with pack_args (APP_DIR among them, wherever the vendor put
    it), then the link, in a scratch folder beside out; the exe is renamed
    into place, so a failure leaves no out. lmr-pack's own output goes
    straight to the terminal; a failed pack is its status, a failed link 1
    (ToolError)."""
    with tempfile.TemporaryDirectory(prefix=".lumaro-pack-", dir=out.parent) as scratch:
        work = Path(scratch)
        record, constants, rc = work / "record.bin", work / "payload_constants.cpp", work / "version.rc"
        # The exe's InternalName and OriginalFilename follow OUT's name; a
        # later --exe-name among pack_args wins.
        status = bounded([kit.pack_tool, "--exe-name", out.name, "--record", record, "--constants", constants,
                          "--version-rc", rc, "--icon-out", icon_beside(rc), *pack_args],
                         STEP_TIMEOUT_S, env=env, what="lmr-pack", stdout=None, stderr=None)
        if status != 0:
            return status
        os.replace(kit.link(record, constants, work / "out.exe", rc), out)
        return 0


def main(argv: Optional[list[str]] = None) -> int:
    """Packs and links with tools already built (./lumaro pack builds them first)."""
    words = sys.argv[1:] if argv is None else argv
    split = words.index("--") if "--" in words else len(words)
    parser = argparse.ArgumentParser(prog="python3 -m lmr.build", description=__doc__.splitlines()[0])
    parser.add_argument("app")
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("--host-build")
    parser.add_argument("--windows-build")
    args, pack_args = parser.parse_args(words[:split]), words[split + 1:]
    try:
        return pack_launcher(Kit(args.host_build, args.windows_build), [*pack_args, args.app], Path(args.output))
    except ToolError as e:
        print(f"lmr.build: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())

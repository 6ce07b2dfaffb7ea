"""./lumaro pack APP_DIR -o OUT.exe [--node V] [SIGNING] [lmr-pack options]:
builds lmr-pack and the link kit, packs APP_DIR and links a launcher; signs
it when asked. Only -o, --node and the signing options are read here; every
other argument goes to lmr-pack as given, in order (APP_DIR among them), so
its options and their help are its own."""
import os
import shutil
import sys
import tempfile
from pathlib import Path

from lmr import build_tree, node_win, sign
from lmr.build import Kit, pack_launcher
from lmr.commands import CommandParser
from lmr.exit_status import CommandError, ExitStatus
from lmr.proc import ToolError
from lmr.text import heading, quoted

DESCRIPTION = """Builds a launcher whose payload is APP_DIR (which holds home.mjs and node.exe,
unless --node gives it). Options not listed here are lmr-pack's, passed on as
given: --version, the identity (--product-name, --company, --description,
--copyright, --icon, --data-folder, --window-title, --mutex-name), the update
settings (--update-feed, --update-key, --update-channel), --level,
--chunk-size, --threads, --strict, --quiet... (./lumaro pack --help-pack lists them).
The update helper, lumaro-update.exe, is built with the link kit and passed on
as --update-helper; lmr-pack packs it only when updates are on."""
EPILOG = """Exit status: lmr-pack's (see the table in ./lumaro --help); 2 a bad option,
4 OUT's folder missing or not writable, 3 the signing cannot work (checked before
anything is packed), 1 signing or linking failed, 7 building the tools failed,
8 --node's download failed, 9 a required program is missing."""


def parser() -> CommandParser:
    p = CommandParser("pack", DESCRIPTION, EPILOG, usage="%(prog)s APP_DIR -o OUT.exe [--node VERSION] [signing] "
                                                         "[lmr-pack options]")
    p.add_argument("-o", "--output", metavar="OUT.exe", help="where to write the launcher")
    p.add_argument("--node", metavar="VERSION",
                   help="pack the official node.exe of this Node.js version (fetched once with npm pack, checked, "
                        "cached in ~/.cache/lumaro) as the app's node.exe")
    p.add_argument("--help-pack", action="store_true", help="lmr-pack's own options")
    sign.add_options(p)
    return p


def check_output(out: Path) -> None:
    """Before packing, which can take a while: where the exe goes."""
    folder = out.parent
    if not folder.is_dir():
        raise CommandError(ExitStatus.IO, f"cannot write {quoted(out)}: the folder {quoted(folder)} does not exist")
    if out.is_dir():
        raise CommandError(ExitStatus.IO, f"{quoted(out)} is a folder; -o names the exe to write")
    try:
        with tempfile.NamedTemporaryFile(prefix=".lumaro-pack-", dir=folder):
            pass
    except OSError as e:
        raise CommandError(ExitStatus.IO, f"cannot write into {quoted(folder)} ({e.strerror})") from None


def fetch_node(version: str) -> Path:
    try:
        return node_win.node_exe(version=version)
    except node_win.UntrustedCache as e:
        raise CommandError(ExitStatus.BAD_INPUT, f"--node {version}: {e}") from None
    except node_win.UnknownVersion as e:
        raise CommandError(ExitStatus.DOWNLOAD_FAILED, f"--node {version}: unknown version: {e}") from None
    except node_win.Unreachable as e:
        raise CommandError(ExitStatus.DOWNLOAD_FAILED,
                           f"--node {version}: node.exe {version} is not cached in {node_win.DEFAULT_CACHE} and "
                           f"the registry cannot be reached: {e}") from None
    except node_win.FetchError as e:
        raise CommandError(ExitStatus.DOWNLOAD_FAILED, f"--node {version}: {e}") from None


def main(argv: list[str]) -> int:
    p = parser()
    args, pack_args = p.parse_known_args(argv)
    if args.help_pack:
        build_tree.build([build_tree.PACK_TOOL])
        os.execv(Kit().pack_tool, [str(Kit().pack_tool), "--help"])
    if not pack_args:
        p.refuse(f"APP_DIR is missing: the app folder to pack; see {p.prog} --help")
    if args.output is None:
        p.refuse(f"-o OUT.exe is missing: where to write the launcher; see {p.prog} --help")
    secret = sign.take_secret()
    out = Path(args.output)
    try:
        signing = sign.options_from(args)
        check_output(out)
        if signing is not None:
            sign.check(signing, secret)
        if args.node is not None:
            # lmr-pack refuses it when APP_DIR holds a node.exe of its own;
            # the fetch is cached, so that costs little.
            pack_args = ["--node-exe", str(fetch_node(args.node)), *pack_args]
        build_tree.build([build_tree.PACK_TOOL, build_tree.LINK_KIT])
        # Built with the link kit, so always at hand; a later --update-helper wins.
        pack_args = ["--update-helper", str(build_tree.update_helper()), *pack_args]
        env = dict(os.environ, LUMARO_COMMAND="./lumaro pack")
        kit = Kit()
        if signing is None:
            status = pack_launcher(kit, pack_args, out, env)
            if status == 0:
                heading(f"wrote {out}")
            return status
        # Signed beside OUT and renamed into place: a failed signing leaves no exe.
        work = Path(tempfile.mkdtemp(prefix=".lumaro-pack-", dir=out.parent))
        try:
            # Under OUT's own name, which the version information carries.
            unsigned = work / out.name
            status = pack_launcher(kit, pack_args, unsigned, env)
            if status != 0:
                return status
            sign.sign(signing, secret, unsigned, out)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        heading(f"wrote {out}, signed")
        return 0
    except CommandError as e:
        print(f"lumaro pack: {e}", file=sys.stderr)
        return e.status
    except ToolError as e:
        print(f"lumaro pack: {e}", file=sys.stderr)
        return ExitStatus.FAILED

"""Authenticode signing of a launcher, and the check before a pack that it
can be signed:

    python3 -m lmr.sign --check SIGN_OPTIONS
    python3 -m lmr.sign SIGN_OPTIONS UNSIGNED.exe OUT.exe

SIGN_OPTIONS: --sign KEY.pfx (alias --key)
            | --sign-pkcs11 URI --sign-cert CERTS.pem --sign-module MODULE.so
            | --sign-command CMD
            plus [--timestamp-url URL] (RFC 3161).

The .pfx password or the token's PIN is LUMARO_SIGN_PASSWORD, taken out of
this process's environment at once: osslsigncode and openssl read it from a
pipe (/dev/fd/N), no other child has it, and only CMD, the signer of
--sign-command, gets it in its environment. It is never printed: a tool's
output is shown with it masked. Every signer runs for at most
LUMARO_SIGN_TIMEOUT seconds (default 600), then it is stopped with its
process group. The signed exe is made in a fresh folder beside OUT and
renamed into place; signing in place removes OUT on failure, so an unsigned
exe never passes for a signed one.
"""
import argparse
import errno
import os
import re
import resource
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import NoReturn, Optional, Union

from lmr import pe_signature, pkcs11_uri
from lmr.exit_status import CommandError, ExitStatus
from lmr.text import quoted

PASSWORD_VARIABLE = "LUMARO_SIGN_PASSWORD"
DEFAULT_TIMEOUT_S = 600
# A signer that ignores SIGTERM is killed this long after it.
KILL_AFTER_S = 10
SHOWN_LINES = 30
PIPE_BUFFER = 4096  # PIPE_BUF: the least a pipe holds anywhere
DIGEST_TEXT = b"lumaro-sign-check-lumaro-sign-ok"

_secret: Optional[str] = None


def take_secret() -> str:
    """The password or PIN, removed from the environment the first time, so
    that no child inherits it."""
    global _secret
    if _secret is None:
        _secret = os.environ.pop(PASSWORD_VARIABLE, "")
    return _secret


def _refuse(message: str, status: ExitStatus = ExitStatus.BAD_INPUT) -> NoReturn:
    raise CommandError(status, message)


@dataclass(frozen=True)
class SignOptions:
    mode: str  # "pfx", "pkcs11" or "command"
    key: str = ""
    uri: str = ""
    certs: str = ""
    module: str = ""
    command: str = ""
    timestamp_url: str = ""


def add_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("signing (password or PIN in LUMARO_SIGN_PASSWORD)")
    group.add_argument("--sign", "--key", dest="sign_key", metavar="KEY.pfx", help="a PKCS#12 key and certificate")
    group.add_argument("--sign-pkcs11", metavar="URI", help="a key on a PKCS#11 token (RFC 7512 URI, no PIN in it)")
    group.add_argument("--sign-cert", metavar="CERTS.pem", help="with --sign-pkcs11: the certificate and its chain")
    group.add_argument("--sign-module", metavar="MODULE.so", help="with --sign-pkcs11: the token's PKCS#11 module")
    group.add_argument("--sign-command", metavar="CMD",
                       help="a command run as CMD UNSIGNED.exe SIGNED.exe; its result may only add a signature")
    group.add_argument("--timestamp-url", metavar="URL", help="an RFC 3161 time-stamping server")


def options_from(args: argparse.Namespace) -> Optional[SignOptions]:
    """The signing asked for, or None; CommandError(USAGE) when the options
    do not go together."""
    modes = [m for m, given in (("pfx", args.sign_key), ("pkcs11", args.sign_pkcs11),
                                ("command", args.sign_command)) if given is not None]
    if len(modes) > 1:
        _refuse("give one of --sign, --sign-pkcs11 and --sign-command", ExitStatus.USAGE)
    if not modes:
        if args.sign_cert or args.sign_module or args.timestamp_url:
            _refuse("give one of --sign, --sign-pkcs11 and --sign-command", ExitStatus.USAGE)
        return None
    if modes == ["pkcs11"] and not (args.sign_cert and args.sign_module):
        _refuse("--sign-pkcs11 needs --sign-cert and --sign-module", ExitStatus.USAGE)
    if modes != ["pkcs11"] and (args.sign_cert or args.sign_module):
        _refuse("--sign-cert and --sign-module go with --sign-pkcs11", ExitStatus.USAGE)
    return SignOptions(modes[0], args.sign_key or "", args.sign_pkcs11 or "", args.sign_cert or "",
                       args.sign_module or "", args.sign_command or "", args.timestamp_url or "")


def timeout_s() -> int:
    text = os.environ.get("LUMARO_SIGN_TIMEOUT", str(DEFAULT_TIMEOUT_S))
    if not re.fullmatch(r"[1-9][0-9]*", text):
        _refuse(f"LUMARO_SIGN_TIMEOUT must be a number of seconds, not {quoted(text)}", ExitStatus.USAGE)
    return int(text)


def _no_core_files() -> None:
    # openssl can crash on its way out after a failed token login.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


@dataclass(frozen=True)
class SecretPath:
    """In a tool's arguments: prefix + the path of a pipe that holds the
    secret (never the secret itself)."""
    prefix: str = ""


Arg = Union[str, SecretPath]


@dataclass
class Outcome:
    status: int
    output: str
    timed_out: bool


def run_tool(args: Sequence[Arg], secret: str = "", env: Optional[Mapping[str, str]] = None,
             bound: Optional[int] = None) -> Outcome:
    """Runs a tool under the time bound, its output captured. A SecretPath
    in args becomes /dev/fd/N, a pipe that holds the secret."""
    bound = bound or timeout_s()
    fds: tuple[int, ...] = ()
    argv = [a for a in args if isinstance(a, str)]
    if len(argv) != len(args):
        data = secret.encode()
        if len(data) > PIPE_BUFFER:
            _refuse(f"LUMARO_SIGN_PASSWORD is longer than {PIPE_BUFFER} bytes", ExitStatus.USAGE)
        read_end, write_end = os.pipe()
        # Within the pipe's buffer: written whole before the tool starts.
        os.write(write_end, data)
        os.close(write_end)
        fds = (read_end,)
        argv = [a if isinstance(a, str) else f"{a.prefix}/dev/fd/{read_end}" for a in args]
    try:
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                env=dict(env) if env is not None else None, pass_fds=fds, start_new_session=True,
                                preexec_fn=_no_core_files)
    except FileNotFoundError:
        _refuse(f"{argv[0]} not found (./lumaro setup installs it)", ExitStatus.MISSING_PROGRAM)
    finally:
        for fd in fds:
            os.close(fd)
    try:
        out, _ = proc.communicate(timeout=bound)
        return Outcome(proc.returncode, out.decode("utf-8", "replace"), False)
    except subprocess.TimeoutExpired:
        _stop_group(proc)
        return Outcome(ExitStatus.TIMED_OUT, "", True)
    except BaseException:
        _stop_group(proc)
        raise


def _stop_group(proc: "subprocess.Popen[bytes]") -> None:
    """SIGTERM to the tool's whole group, SIGKILL after KILL_AFTER_S."""
    for sig, wait in ((signal.SIGTERM, KILL_AFTER_S), (signal.SIGKILL, None)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass
        try:
            proc.communicate(timeout=wait)
            break
        except subprocess.TimeoutExpired:
            continue
    # The leader may be gone while its children still run.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


class Signer:
    """One signing or check: the options, the secret, a private scratch
    folder and the messages."""

    def __init__(self, options: SignOptions, secret: str, scratch: Path) -> None:
        self.o = options
        self.secret = secret
        self.scratch = scratch
        self.bound = timeout_s()

    def show(self, text: str) -> None:
        """A tool's output, indented, its last lines, the secret masked."""
        if self.secret:
            text = text.replace(self.secret, "<hidden>")
        for line in text.rstrip("\n").splitlines()[-SHOWN_LINES:]:
            print(f"  {line}", file=sys.stderr)

    def tool(self, args: Sequence[Arg], env: Optional[Mapping[str, str]] = None) -> Outcome:
        return run_tool(args, self.secret, env, self.bound)

    # ---------------------------------------------------------------- .pfx

    def check_pfx(self) -> None:
        key = self.o.key
        if not (os.path.isfile(key) and os.access(key, os.R_OK)):
            _refuse(f"cannot read the key {quoted(key)}")
        need("osslsigncode", "osslsigncode")
        need("openssl", "openssl")
        # -legacy: keys exported by older Windows use RC2, which OpenSSL 3
        # keeps in its legacy provider; osslsigncode loads it too.
        passin = self.secret_option("-passin", "file:") or ["-passin", "pass:"]
        result = self.tool(["openssl", "pkcs12", "-legacy", "-in", key, "-info", "-nodes", "-out", os.devnull,
                            *passin])
        if result.status != 0:
            if "invalid password" in result.output:
                _refuse(f"cannot open {quoted(key)}: LUMARO_SIGN_PASSWORD must hold its password "
                        "(unset for a key without one)")
            self.show(result.output)
            _refuse(f"cannot read {quoted(key)} as a PKCS#12 key")
        if "Keybag" not in result.output:
            _refuse(f"{quoted(key)} holds no private key")
        if "Certificate bag" not in result.output:
            _refuse(f"{quoted(key)} holds no certificate")

    def sign_pfx(self, unsigned: Path, signed: Path) -> None:
        need("osslsigncode", "osslsigncode")
        args = ["osslsigncode", "sign", "-pkcs12", self.o.key, "-h", "sha256", "-in", str(unsigned),
                "-out", str(signed), *self.timestamp(), *self.secret_option("-readpass")]
        result = self.tool(args)
        if result.status == 0 and signed.is_file() and signed.stat().st_size > 0:
            return
        self.show(result.output)
        self.fail_timed_out(result, "osslsigncode")
        if re.search(r"[Pp]assword", result.output):
            _fail(f"cannot open {quoted(self.o.key)}: LUMARO_SIGN_PASSWORD must hold its password "
                  "(unset for a key without one)")
        _fail(f"signing {quoted(unsigned)} with {quoted(self.o.key)} failed")

    def secret_option(self, option: str, prefix: str = "") -> list[Arg]:
        """option and the secret's pipe, or nothing when there is no secret."""
        return [option, SecretPath(prefix)] if self.secret else []

    def timestamp(self) -> list[Arg]:
        return ["-ts", self.o.timestamp_url] if self.o.timestamp_url else []

    def fail_timed_out(self, result: Outcome, what: str) -> None:
        if result.timed_out:
            _fail(f"{what} did not finish within {self.bound} s (LUMARO_SIGN_TIMEOUT); stopped")

    # ------------------------------------------------------------- PKCS#11

    def engine(self) -> str:
        """OpenSSL's PKCS#11 engine, the one osslsigncode loads too."""
        result = run_tool(["openssl", "version", "-e"], bound=self.bound)
        found = re.search(r'^ENGINESDIR: "(.*)"$', result.output, re.M)
        engine = os.path.join(found.group(1) if found else "", "pkcs11.so")
        if not os.path.isfile(engine):
            _refuse(f"the PKCS#11 engine of OpenSSL is missing: {quoted(engine)} "
                    "(./lumaro setup installs libengine-pkcs11-openssl)", ExitStatus.MISSING_PROGRAM)
        return engine

    def uri(self) -> pkcs11_uri.Pkcs11Uri:
        try:
            uri = pkcs11_uri.parse(self.o.uri)
        except pkcs11_uri.UriError as e:
            _refuse(f"--sign-pkcs11 takes a PKCS#11 URI (pkcs11:token=…;object=…): {e}")
        pins = uri.pin_attributes()
        if pins:
            # A PIN in the URI would sit on every command line that carries it.
            _refuse(f"the URI holds the PIN ({', '.join(sorted(set(pins)))}): give it in LUMARO_SIGN_PASSWORD "
                    "instead")
        return uri

    def token_failure(self, text: str, status: ExitStatus) -> None:
        """What libp11 said, as the part that failed. Never a second login
        after a refused PIN: a token locks after a few."""
        o = self.o

        def _fail(message: str) -> NoReturn:
            raise CommandError(status, message)

        if "Unable to load" in text:
            _fail(f"the PKCS#11 module {quoted(o.module)} does not load")
        if "No matching initialized token" in text:
            _fail(f"no token in {quoted(o.module)} matches {quoted(o.uri)}")
        if "Login failed" in text or "ERR_CKR_error:PIN" in text:
            reason = re.search(r"ERR_CKR_error:(PIN[^:]*):", text)
            _fail("the token refused the PIN" + (f" ({reason.group(1)})" if reason else "")
                  + ": LUMARO_SIGN_PASSWORD must hold its user PIN")
        if "consistency of a private key" in text or "key values mismatch" in text:
            _fail(f"no certificate in {quoted(o.certs)} belongs to the key {quoted(o.uri)}")
        if "private key was not found" in text or "object not found" in text:
            if not self.secret:
                _fail(f"the token shows no private key {quoted(o.uri)} without a login: "
                      "set LUMARO_SIGN_PASSWORD to its PIN")
            _fail(f"the token holds no private key {quoted(o.uri)}")

    def check_pkcs11(self) -> None:
        o = self.o
        uri = self.uri()
        if not (os.path.isfile(o.certs) and os.access(o.certs, os.R_OK)):
            _refuse(f"cannot read the certificates {quoted(o.certs)}")
        if not os.path.isfile(o.module):
            _refuse(f"no such PKCS#11 module: {quoted(o.module)}")
        need("osslsigncode", "osslsigncode")
        need("p11tool", "gnutls-bin")
        need("openssl", "openssl")
        self.engine()
        # Certificates first: one file each, for the match below.
        blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n?",
                            Path(o.certs).read_bytes(), re.S)
        if not blocks:
            _refuse(f"{quoted(o.certs)} holds no PEM certificate")
        certs = []
        for n, block in enumerate(blocks, 1):
            cert = self.scratch / f"cert{n}.pem"
            cert.write_bytes(block)
            if run_tool(["openssl", "x509", "-in", str(cert), "-noout"], bound=self.bound).status != 0:
                _refuse(f"{quoted(o.certs)} holds a certificate OpenSSL cannot read")
            certs.append(cert)

        # The module loads, and a token matches the URI: no PIN needed for either.
        result = self.tool(["p11tool", "--provider", o.module, "--list-token-urls"])
        if result.status != 0:
            self.show(result.output)
            if result.timed_out:
                _refuse(f"the PKCS#11 module {quoted(o.module)} did not answer within {self.bound} s")
            _refuse(f"the PKCS#11 module {quoted(o.module)} does not load")
        wanted = {a: uri.path_attribute(a) for a in ("token", "manufacturer", "serial", "model")}
        wanted = {a: v for a, v in wanted.items() if v is not None}
        tokens = []
        for line in result.output.splitlines():
            try:
                tokens.append(pkcs11_uri.parse(line.strip()))
            except pkcs11_uri.UriError:
                continue
        if not tokens:
            _refuse(f"the PKCS#11 module {quoted(o.module)} shows no token")
        if not any(all(t.path_attribute(a) == v for a, v in wanted.items()) for t in tokens):
            print("lumaro-sign: the module's tokens:", file=sys.stderr)
            self.show(result.output)
            _refuse(f"no token in {quoted(o.module)} matches {quoted(o.uri)}")

        # Login, the key and its certificate: the key signs a digest, and one
        # of the certificates verifies it.
        digest, sig = self.scratch / "digest", self.scratch / "sig"
        digest.write_bytes(DIGEST_TEXT)
        env = dict(os.environ, PKCS11_MODULE_PATH=o.module)
        result = self.tool(["openssl", "pkeyutl", "-sign", "-engine", "pkcs11", "-keyform", "engine",
                            "-inkey", o.uri, "-in", str(digest), "-out", str(sig),
                            *self.secret_option("-passin", "file:")], env)
        if result.status != 0 or not sig.is_file() or sig.stat().st_size == 0:
            if result.timed_out:
                _refuse(f"the token did not answer within {self.bound} s")
            self.token_failure(result.output, ExitStatus.BAD_INPUT)
            self.show(result.output)
            _refuse(f"the key {quoted(o.uri)} cannot sign")
        for cert in certs:
            if run_tool(["openssl", "pkeyutl", "-verify", "-certin", "-inkey", str(cert), "-in", str(digest),
                         "-sigfile", str(sig)], bound=self.bound).status == 0:
                return
        _refuse(f"no certificate in {quoted(o.certs)} belongs to the key {quoted(o.uri)}")

    def sign_pkcs11(self, unsigned: Path, signed: Path) -> None:
        o = self.o
        need("osslsigncode", "osslsigncode")
        self.uri()
        args = ["osslsigncode", "sign", "-pkcs11engine", self.engine(), "-pkcs11module", o.module,
                "-certs", o.certs, "-key", o.uri, "-h", "sha256", "-in", str(unsigned), "-out", str(signed),
                *self.timestamp(), *self.secret_option("-readpass")]
        result = self.tool(args)
        if result.status == 0 and signed.is_file() and signed.stat().st_size > 0:
            return
        self.fail_timed_out(result, "osslsigncode")
        self.token_failure(result.output, ExitStatus.FAILED)
        self.show(result.output)
        _fail(f"signing {quoted(unsigned)} with {quoted(o.uri)} failed")

    # ------------------------------------------------------- --sign-command

    def check_command(self) -> None:
        try:
            words = shlex.split(self.o.command)
        except ValueError:
            words = self.o.command.split()
        if not words:
            _refuse("--sign-command is empty")
        if not shutil.which(words[0]):
            _refuse(f"the sign command's program is not found: {quoted(words[0])}")
        need("osslsigncode", "osslsigncode")

    def command_env(self) -> dict[str, str]:
        """The signer's environment: the secret, the time-stamping server, and
        no inherited shell tracing, which would print the secret."""
        env = dict(os.environ)
        env.pop("BASH_XTRACEFD", None)
        shell_options = [o for o in env.pop("SHELLOPTS", "").split(":") if o and o != "xtrace"]
        if shell_options:
            env["SHELLOPTS"] = ":".join(shell_options)
        if self.secret:
            env[PASSWORD_VARIABLE] = self.secret
        if self.o.timestamp_url:
            env["LUMARO_TIMESTAMP_URL"] = self.o.timestamp_url
        return env

    def sign_command(self, unsigned: Path, signed: Path, name: str) -> None:
        self.check_command()
        # CMD gets its own copy, under OUT's name: a signer that edits its
        # input in place must not change what the result is compared with.
        given, wanted = self.scratch / "unsigned", self.scratch / "signed"
        given.mkdir()
        wanted.mkdir()
        copy = given / name
        original = unsigned.read_bytes()
        copy.write_bytes(original)
        copy.chmod(0o444)
        result = self.tool(["bash", "-c", self.o.command + ' "$@"', "lumaro-sign-command", str(copy),
                            str(wanted / name)], self.command_env())

        def refuse(message: str) -> NoReturn:
            if result.output.strip():
                print("lumaro-sign: the sign command's output:", file=sys.stderr)
                self.show(result.output)
            _fail(message)

        if result.timed_out:
            refuse(f"the sign command did not finish within {self.bound} s (LUMARO_SIGN_TIMEOUT); stopped")
        if result.status != 0:
            refuse(f"the sign command failed with status {result.status}: {quoted(self.o.command)}")
        data, why = read_regular_file(wanted / name)
        if data is None:
            refuse(f"the sign command's result {why}")
        problem = pe_signature.problems(data)
        if problem:
            refuse(f"the sign command's result {problem}")
        write_new(signed, data, 0o600)
        # Signed: osslsigncode finds an Authenticode signature whose digest
        # is the file's own. Trust in the certificate is the vendor's to check.
        verify = run_tool(["osslsigncode", "verify", "-in", str(signed)], bound=self.bound)
        current = re.search(r"^Current message digest *: *([0-9A-Fa-f]*)", verify.output, re.M)
        calculated = re.search(r"^Calculated message digest *: *([0-9A-Fa-f]*)", verify.output, re.M)
        if not current or not current.group(1):
            self.show(verify.output)
            refuse("the sign command's result is not an Authenticode-signed PE")
        if not calculated or current.group(1) != calculated.group(1):
            refuse(f"the sign command's result carries a signature of other contents (its digest "
                   f"{current.group(1)}, the file's {calculated.group(1) if calculated else 'unknown'})")
        # Nothing but the signature added: without it, the bytes of the unsigned exe.
        stripped = self.scratch / "stripped.exe"
        removed = run_tool(["osslsigncode", "remove-signature", "-in", str(signed), "-out", str(stripped)],
                           bound=self.bound)
        if removed.status != 0:
            self.show(removed.output)
            refuse("cannot remove the signature of the sign command's result")
        plain = stripped.read_bytes()
        if plain != original:
            refuse("the sign command changed the exe beyond adding a signature: "
                   + pe_signature.describe_difference(original, plain))


def _fail(message: str) -> NoReturn:
    raise CommandError(ExitStatus.FAILED, message)


def need(program: str, package: str) -> None:
    if not shutil.which(program):
        raise CommandError(ExitStatus.MISSING_PROGRAM, f"{program} not found (./lumaro setup installs {package})")


def read_regular_file(path: Path) -> tuple[Optional[bytes], str]:
    """A file's bytes, read from one descriptor opened without following a
    link or blocking on a FIFO, if it is a regular file; else why not."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        return None, "is missing: the sign command wrote no file at the path it was given (its second argument)"
    except OSError as e:
        if e.errno == errno.ELOOP:
            return None, "is a symbolic link, not a file"
        return None, f"cannot be opened ({os.strerror(e.errno or 0)})"
    with os.fdopen(fd, "rb") as f:
        info = os.fstat(f.fileno())
        if not stat.S_ISREG(info.st_mode):
            return None, "is not a regular file"
        data = f.read()
    if not data:
        return None, "is empty: the sign command wrote no exe at the path it was given (its second argument)"
    return data, ""


def write_new(path: Path, data: bytes, mode: int) -> None:
    """Writes a file that must not exist yet, with exactly mode."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
        os.fchmod(f.fileno(), mode)


def check(options: SignOptions, secret: str) -> None:
    """Whether the signing can work, before anything is packed:
    CommandError with BAD_INPUT (or MISSING_PROGRAM) naming what is wrong."""
    timeout_s()
    with tempfile.TemporaryDirectory(prefix="lumaro-sign-check-") as scratch:
        signer = Signer(options, secret, Path(scratch))
        {"pfx": signer.check_pfx, "pkcs11": signer.check_pkcs11, "command": signer.check_command}[options.mode]()


def sign(options: SignOptions, secret: str, unsigned: Path, out: Path) -> None:
    """Signs unsigned into out, renamed into place; CommandError(FAILED) on
    failure, and out is removed when it was the input (signing in place)."""
    in_place = os.path.realpath(unsigned) == os.path.realpath(out)
    try:
        timeout_s()
        if not unsigned.is_file():
            _fail(f"no such file: {quoted(unsigned)}")
        if options.mode == "pfx" and not (os.path.isfile(options.key) and os.access(options.key, os.R_OK)):
            _fail(f"cannot read the key {quoted(options.key)}")
        if options.mode == "pkcs11":
            if not os.path.isfile(options.module):
                _fail(f"no such PKCS#11 module: {quoted(options.module)}")
            if not (os.path.isfile(options.certs) and os.access(options.certs, os.R_OK)):
                _fail(f"cannot read the certificates {quoted(options.certs)}")
        mode = stat.S_IMODE(unsigned.stat().st_mode)
        scratch = Path(tempfile.mkdtemp(prefix=".lumaro-sign.", dir=out.parent))
        try:
            signer = Signer(options, secret, scratch)
            signed = scratch / "signed.exe"
            if options.mode == "pfx":
                signer.sign_pfx(unsigned, signed)
            elif options.mode == "pkcs11":
                signer.sign_pkcs11(unsigned, signed)
            else:
                signer.sign_command(unsigned, signed, out.name)
            # Our own file in our own folder: the mode is set on its descriptor.
            fd = os.open(signed, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
            try:
                os.fchmod(fd, mode)
            finally:
                os.close(fd)
            os.replace(signed, out)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    except BaseException:
        if in_place:
            # Left behind, it would pass for a signed exe, and its newer time
            # would keep the build from linking it again.
            out.unlink(missing_ok=True)
        raise


def main(argv: Optional[list[str]] = None) -> int:
    secret = take_secret()
    parser = argparse.ArgumentParser(prog="python3 -m lmr.sign", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter, allow_abbrev=False)
    parser.add_argument("--check", action="store_true", help="check that the signing can work; sign nothing")
    add_options(parser)
    parser.add_argument("files", nargs="*", metavar="UNSIGNED.exe OUT.exe")
    args = parser.parse_args(argv)
    try:
        options = options_from(args)
        if options is None:
            parser.error("give one of --sign, --sign-pkcs11 and --sign-command")
        if args.check != (not args.files) or (args.files and len(args.files) != 2):
            parser.error("give --check, or UNSIGNED.exe and OUT.exe")
        if args.check:
            check(options, secret)
        else:
            sign(options, secret, Path(args.files[0]), Path(args.files[1]))
        return 0
    except CommandError as e:
        print(f"lumaro-sign: {e}", file=sys.stderr)
        return e.status


if __name__ == "__main__":
    sys.exit(main())

"""Signing with a key that never leaves its token, and with any signer behind
a checked command: a throwaway SoftHSM2 token (its own SOFTHSM2_CONF in a
temporary folder) signs through ./lumaro pack, the PIN stays out of every
command line, environment and trace, each broken part is refused before the
pack, and a sign command's result is accepted only when it adds a signature
and nothing else."""
import os
import random
import shutil
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

from lmr import REPO
from lmr.build import Kit
from lmr.e2e.services import (OPENSSL, OSSLSIGNCODE, SOFTHSM_MODULE, SOFTHSM_UTIL, TOKEN_PIN, Shims, Token,
                              consumer_project, make_signer, verify)

SIGN = ["/usr/bin/python3", "-m", "lmr.sign"]
SAMPLE_APP = Kit().windows_build / "sample-app"
HOST_BUILD = Kit().host_build
PACK_TIMEOUT_S = 900
PIN = TOKEN_PIN
PIN_MARK = "47 11"

pytestmark = pytest.mark.skipif(
    not (OSSLSIGNCODE and OPENSSL and SOFTHSM_UTIL and SOFTHSM_MODULE.exists() and shutil.which("p11tool")
         and SAMPLE_APP.exists()),
    reason="osslsigncode, openssl, softhsm2, p11tool (./lumaro setup) or the windows build missing")

# What ./lumaro pack and its signing run, and what a script of theirs might.
WRAPPED = ["osslsigncode", "openssl", "p11tool", "timeout", "mktemp", "chmod", "mv", "cp", "rm", "cmp", "sed",
           "awk", "tail", "head", "cat", "stat", "od", "realpath", "dirname", "basename", "mkdir", "cmake", "ninja",
           "x86_64-w64-mingw32-objdump", "x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-windres"]


@dataclass
class Result:
    status: int
    output: str


def run(args: list[object], env: dict[str, str] | None = None, timeout: float = 120) -> Result:
    env = dict(os.environ if env is None else env, PYTHONPATH=str(REPO / "tools"))
    proc = subprocess.run([str(a) for a in args], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=timeout)
    return Result(proc.returncode, proc.stdout.decode("utf-8", "replace"))


def checked(args: list[object], env: dict[str, str] | None = None) -> None:
    result = run(args, env)
    assert result.status == 0, result.output


@pytest.fixture(scope="module")
def token(tmp_path_factory: pytest.TempPathFactory) -> Token:
    return Token(tmp_path_factory.mktemp("token"))


def make_app(app: Path) -> Path:
    """The sample app (its node.exe runs under Wine) and an incompressible
    file, so that the payload is most of the exe, its middle byte included."""
    shutil.copytree(SAMPLE_APP, app)
    (app / "lib").mkdir()
    (app / "lib" / "blob.bin").write_bytes(random.Random(5).randbytes(400_000))
    return app


def pack(app: Path, out: Path, options: list[object], env: dict[str, str], quiet: bool = True) -> Result:
    return run([REPO / "lumaro", "pack", app, "-o", out, *(["--quiet"] if quiet else []), *options], env,
               PACK_TIMEOUT_S)


def strip(exe: Path, out: Path) -> bytes:
    checked([OSSLSIGNCODE, "remove-signature", "-in", exe, "-out", out])
    return out.read_bytes()


@pytest.fixture(scope="module")
def app(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return make_app(tmp_path_factory.mktemp("app") / "app")


@pytest.fixture(scope="module")
def unsigned(tmp_path_factory: pytest.TempPathFactory, app: Path) -> Path:
    exe = tmp_path_factory.mktemp("unsigned") / "Lumaro.exe"
    env = dict(os.environ)
    env.pop("LUMARO_SIGN_PASSWORD", None)
    result = pack(app, exe, [], env)
    assert result.status == 0, result.output
    return exe


@dataclass
class SignedPack:
    exe: Path
    result: Result
    calls: list[dict[str, Any]]


@pytest.fixture(scope="module")
def signed(tmp_path_factory: pytest.TempPathFactory, token: Token, app: Path) -> SignedPack:
    """./lumaro pack signing on the token, under a vendor CI's inherited set -x,
    with every tool it runs recorded."""
    root = tmp_path_factory.mktemp("signed")
    shims = Shims(root / "shims", WRAPPED)
    exe = root / "out" / "Lumaro.exe"
    exe.parent.mkdir()
    env = shims.env(token.env(LUMARO_SIGN_PASSWORD=PIN, SHELLOPTS="xtrace"))
    result = pack(app, exe, token.options(), env)
    assert result.status == 0, result.output
    return SignedPack(exe, result, shims.calls())


def test_token_signed_exe_verifies_with_its_certificate_as_the_only_anchor(
        signed: SignedPack, token: Token, unsigned: Path) -> None:
    result = verify(signed.exe, token.cert)
    assert result.returncode == 0 and b"Signature verification: ok" in result.stdout, result.stdout
    assert verify(signed.exe, token.other_cert).returncode == 1, "verified against a certificate of another key"
    # Reproducible: without its signature, the unsigned build.
    assert strip(signed.exe, signed.exe.parent.parent / "stripped.exe") == unsigned.read_bytes()


def test_pin_is_in_no_command_line_no_other_environment_and_no_trace(signed: SignedPack) -> None:
    names = {call["name"] for call in signed.calls}
    assert {"osslsigncode", "openssl", "p11tool", "cmake"} <= names, names
    for call in signed.calls:
        for line in [" ".join(call["argv"]), *call["ancestors"]]:
            assert PIN_MARK not in line, f"the PIN on a command line: {call['name']}: {line}"
        env: dict[str, str] = call["env"]
        assert "LUMARO_SIGN_PASSWORD" not in env, f"{call['name']} got LUMARO_SIGN_PASSWORD"
        assert not [k for k, v in env.items() if PIN_MARK in v], f"the PIN in the environment of {call['name']}"
    assert "\n+ " in signed.result.output, "the inherited set -x traced nothing"
    assert PIN_MARK not in signed.result.output


# Each broken part, refused before anything is packed, named, no exe.
REFUSALS: dict[str, tuple[dict[str, str], str | None, str]] = {
    "wrong PIN": ({}, "0000", "the token refused the PIN (PIN incorrect)"),
    "no PIN": ({}, None, "without a login: set LUMARO_SIGN_PASSWORD"),
    "missing key": ({"uri": f"pkcs11:token={Token.label};object=absent;type=private"}, PIN,
                    "the token holds no private key"),
    "another key's certificate": ({"cert": "other"}, PIN, "no certificate in"),
    "unknown token": ({"uri": "pkcs11:token=nope;object=signkey"}, PIN, "no token in"),
    "not a module": ({"module": "not-a-module"}, PIN, "does not load"),
    "PIN in the URI": ({"uri": f"pkcs11:token={Token.label};object=signkey?pin-value=1234"}, PIN,
                       "the URI holds the PIN (pin-value)"),
    "PIN after &": ({"uri": f"pkcs11:token={Token.label};object=signkey;type=private?module-name=x&pin-value=1234"},
                    PIN, "the URI holds the PIN (pin-value)"),
    "PIN after & in the path": ({"uri": f"pkcs11:token={Token.label};object=signkey;type=private&pin-value=1234"},
                                PIN, "the URI holds the PIN (pin-value)"),
    "PIN in the path": ({"uri": f"pkcs11:token={Token.label};pin-value=1234;object=signkey"}, PIN,
                        "the URI holds the PIN (pin-value)"),
    "PIN source": ({"uri": f"pkcs11:token={Token.label};object=signkey?pin-source=file:/tmp/pin"}, PIN,
                   "the URI holds the PIN (pin-source)"),
    "PIN name percent-encoded": ({"uri": f"pkcs11:token={Token.label};object=signkey?%70in-%76alue=1234"}, PIN,
                                 "the URI holds the PIN (pin-value)"),
}


@pytest.mark.parametrize("case", REFUSALS, ids=list(REFUSALS))
def test_each_broken_part_is_refused_before_packing(case: str, token: Token, app: Path, tmp_path: Path) -> None:
    change, pin, message = REFUSALS[case]
    not_a_module = tmp_path / "not-a-module.so"
    not_a_module.write_text("not a shared object\n")
    options = token.options(uri=change.get("uri"), cert=token.other_cert if "cert" in change else None,
                            module=not_a_module if "module" in change else None)
    env = token.env() if pin is None else token.env(LUMARO_SIGN_PASSWORD=pin)
    out = tmp_path / "out"
    out.mkdir()
    result = pack(app, out / "Lumaro.exe", options, env, quiet=False)
    assert result.status == 3, result.output
    assert message in result.output
    assert "lmr-pack:" not in result.output, "packed before refusing"
    assert PIN_MARK not in result.output
    assert os.listdir(out) == []


def test_failed_signing_in_place_removes_the_unsigned_exe(token: Token, unsigned: Path, tmp_path: Path) -> None:
    # CMake's post-build step signs in place, without a check first.
    exe = tmp_path / "App.exe"
    shutil.copy(unsigned, exe)
    result = run([*SIGN, *token.options(), exe, exe], token.env(LUMARO_SIGN_PASSWORD="0000"))
    assert result.status == 1
    assert "the token refused the PIN" in result.output
    assert os.listdir(tmp_path) == []


def test_token_signed_exe_runs_under_wine(signed: SignedPack) -> None:
    result = run([REPO / "lumaro", "run", signed.exe, "--fresh"], timeout=PACK_TIMEOUT_S)
    assert result.status == 0, result.output
    assert "exit-code: 0" in result.output


# --sign-command: signers as small scripts, given the unsigned exe and the
# path to write; the password reaches them as LUMARO_SIGN_PASSWORD.
SIGNERS = {
    # Its own options first (CMD may be a command line), then the two paths.
    "signs": 'set -- "${@: -2}"; exec osslsigncode sign -pkcs12 "$PFX" -readpass <(printf %s "$LUMARO_SIGN_PASSWORD") '
             '-h sha256 -in "$1" -out "$2" >/dev/null',
    "tampers": 'cp "$1" "$2.in"; chmod u+w "$2.in"\n'
               'printf X | dd of="$2.in" bs=1 seek=$(( $(stat -c %s "$1") / 2 )) conv=notrunc 2>/dev/null\n'
               'osslsigncode sign -pkcs12 "$PFX" -readpass <(printf %s "$LUMARO_SIGN_PASSWORD") '
               '-h sha256 -in "$2.in" -out "$2" >/dev/null; rm "$2.in"',
    "copies": 'cp "$1" "$2"',
    "fails": 'echo "signing service: quota exceeded" >&2; exit 3',
    "hangs": 'sleep 300 & echo $! > "$PIDFILE"; wait',
    "writes-nothing": 'echo "signing service: nothing to sign today" >&2',
    # A signed exe elsewhere, handed back as a link to it.
    "links": 'osslsigncode sign -pkcs12 "$PFX" -readpass <(printf %s "$LUMARO_SIGN_PASSWORD") '
             '-h sha256 -in "$1" -out "$VICTIM" >/dev/null; chmod 600 "$VICTIM"; ln -s "$VICTIM" "$2"',
    # Bytes hidden in the certificate table after the signature, the sizes
    # and the checksum made to agree.
    "pads": 'osslsigncode sign -pkcs12 "$PFX" -readpass <(printf %s "$LUMARO_SIGN_PASSWORD") '
            '-h sha256 -in "$1" -out "$2.tmp" >/dev/null; /usr/bin/python3 "$DOCTOR" pad "$2.tmp" "$2"',
    "bad-checksum": 'osslsigncode sign -pkcs12 "$PFX" -readpass <(printf %s "$LUMARO_SIGN_PASSWORD") '
                    '-h sha256 -in "$1" -out "$2.tmp" >/dev/null; /usr/bin/python3 "$DOCTOR" checksum "$2.tmp" "$2"',
}
# Edits a signed exe the way a hostile signer would.
DOCTOR = """import struct, sys
import pefile
how, source, target = sys.argv[1:]
data = bytearray(open(source, "rb").read())
pe = pefile.PE(data=bytes(data), fast_load=True)
checksum_at = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
if how == "pad":
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
    at, size = entry.VirtualAddress, entry.Size
    struct.pack_into("<I", data, entry.get_file_offset() + 4, size + 288)
    struct.pack_into("<I", data, at, struct.unpack_from("<I", data, at)[0] + 288)
    data += bytes([0xAA]) * 288
    struct.pack_into("<I", data, checksum_at, pefile.PE(data=bytes(data), fast_load=True).generate_checksum())
else:
    data[checksum_at] ^= 1
open(target, "wb").write(data)
"""
PFX_PASSWORD = "cmd pass"


@dataclass
class CommandSigner:
    folder: Path
    cert: Path
    pfx: Path

    def command(self, name: str) -> str:
        return str(self.folder / f"{name}.sh")

    def env(self, **extra: str) -> dict[str, str]:
        env = dict(os.environ, PFX=str(self.pfx), PIDFILE=str(self.folder / "sleep.pid"),
                   VICTIM=str(self.folder / "victim.exe"), DOCTOR=str(self.folder / "doctor.py"),
                   LUMARO_SIGN_PASSWORD=PFX_PASSWORD, **extra)
        env.pop("SHELLOPTS", None)
        return env


@pytest.fixture(scope="module")
def signer(tmp_path_factory: pytest.TempPathFactory) -> CommandSigner:
    folder = tmp_path_factory.mktemp("signer")
    _, cert, pfx = make_signer(folder, PFX_PASSWORD, name="command")
    (folder / "doctor.py").write_text(DOCTOR)
    for name, body in SIGNERS.items():
        script = folder / f"{name}.sh"
        script.write_text(f"#!/bin/bash\nset -eu\n{body}\n")
        script.chmod(0o755)
    return CommandSigner(folder, cert, pfx)


def test_sign_command_result_is_accepted_when_it_only_adds_a_signature(
        signer: CommandSigner, app: Path, unsigned: Path, tmp_path: Path) -> None:
    exe = tmp_path / "Lumaro.exe"
    result = pack(app, exe, ["--sign-command", signer.command("signs")], signer.env())
    assert result.status == 0, result.output
    assert verify(exe, signer.cert).returncode == 0
    assert strip(exe, tmp_path / "stripped.exe") == unsigned.read_bytes()


COMMAND_REFUSALS: dict[str, str] = {
    "tampers": "changed the exe beyond adding a signature: byte",
    "copies": "is not an Authenticode-signed PE",
    "fails": "failed with status 3",
    "hangs": "did not finish within 2 s",
    "writes-nothing": "wrote no file at the path it was given",
    "links": "the sign command's result is a symbolic link",
    "pads": "holds 288 bytes beyond its signature and padding in the certificate table",
    "bad-checksum": "has a PE checksum",
}


@pytest.mark.parametrize("name", COMMAND_REFUSALS)
def test_sign_command_result_is_refused_and_removed(name: str, signer: CommandSigner, unsigned: Path,
                                                    tmp_path: Path) -> None:
    out = tmp_path / "Lumaro.exe"
    result = run([*SIGN, "--sign-command", signer.command(name), unsigned, out],
                 signer.env(LUMARO_SIGN_TIMEOUT="2"))
    assert result.status == 1, result.output
    assert COMMAND_REFUSALS[name] in result.output
    assert os.listdir(tmp_path) == [], "left a file behind"
    if name == "tampers":
        assert "in section .rdata" in result.output  # the payload's section
    if name in ("fails", "writes-nothing"):
        # The signer's own words, whatever it left behind.
        assert "signing service: " in result.output
    if name == "links":
        victim = signer.folder / "victim.exe"
        assert victim.stat().st_mode & 0o777 == 0o600, "the link's target changed"
        victim.unlink()
    if name == "hangs":
        pid = int((signer.folder / "sleep.pid").read_text())
        deadline = time.monotonic() + 10
        while Path(f"/proc/{pid}").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not Path(f"/proc/{pid}").exists(), "the signer's child still runs"


def test_sign_command_gets_the_password_untraced(signer: CommandSigner, app: Path, tmp_path: Path) -> None:
    # A vendor CI's set -x, exported through SHELLOPTS into a trace file:
    # ./lumaro's own bash traces there, the signer that holds the secret not.
    exe, trace = tmp_path / "out" / "Lumaro.exe", tmp_path / "trace.log"
    exe.parent.mkdir()
    with open(trace, "wb") as sink:
        env = dict(signer.env(), SHELLOPTS="xtrace", BASH_XTRACEFD=str(sink.fileno()), PYTHONPATH=str(REPO / "tools"))
        proc = subprocess.run([str(REPO / "lumaro"), "pack", str(app), "-o", str(exe), "--quiet", "--sign-command",
                               signer.command("signs")], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                              pass_fds=(sink.fileno(),), timeout=PACK_TIMEOUT_S)
    assert proc.returncode == 0, proc.stderr
    assert b"+ exec /usr/bin/python3 -m lmr pack" in trace.read_bytes(), "nothing was traced"
    for where in (proc.stdout, proc.stderr, trace.read_bytes()):
        assert PFX_PASSWORD.encode() not in where
    assert verify(exe, signer.cert).returncode == 0


@pytest.mark.skipif(not (HOST_BUILD / "tools/pack/lmr-pack").exists(), reason="host-release lmr-pack not built")
def test_cmake_signs_on_the_token_and_through_a_command(
        token: Token, signer: CommandSigner, app: Path, tmp_path: Path) -> None:
    calls = (f"lumaro_add_launcher(app_token APP_DIR {app} OUTPUT_NAME Token SIGN_PKCS11 \"{token.uri}\"\n"
             f"  SIGN_CERT {token.cert} SIGN_MODULE {SOFTHSM_MODULE})\n"
             f"lumaro_add_launcher(app_command APP_DIR {app} OUTPUT_NAME Command\n"
             f"  SIGN_COMMAND \"{signer.command('signs')} --quiet\")")
    (tmp_path / "CMakeLists.txt").write_text(consumer_project(calls))
    build = tmp_path / "build"
    checked(["cmake", "-S", tmp_path, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=MinSizeRel",
             f"-DCMAKE_TOOLCHAIN_FILE={REPO}/cmake/mingw-w64-x86_64.cmake",
             f"-DLUMARO_PACK_TOOL={HOST_BUILD}/tools/pack/lmr-pack"])
    builds = [("app_token", token.env(LUMARO_SIGN_PASSWORD=PIN), token.cert, "Token.exe"),
              ("app_command", signer.env(), signer.cert, "Command.exe")]
    for target, env, cert, exe in builds:
        result = run(["cmake", "--build", build, "-j2", "--target", target], env, PACK_TIMEOUT_S)
        assert result.status == 0, result.output
        assert verify(build / exe, cert).returncode == 0, target

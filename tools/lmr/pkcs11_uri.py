"""PKCS#11 URIs (RFC 7512): "pkcs11:" path attributes split by ";", then
"?" and query attributes split by "&", names and values percent-decoded,
names compared case-sensitively. Signing reads the token's attributes from
the path, and refuses a URI that carries the PIN in either part."""
from dataclasses import dataclass
from typing import Optional
from urllib.parse import unquote_to_bytes

from lmr.text import quoted

SCHEME = "pkcs11:"
# Attributes that hold the PIN or name where it comes from.
PIN_ATTRIBUTES = ("pin-value", "pin-source")
_HEX = frozenset("0123456789abcdefABCDEF")


class UriError(ValueError):
    """Not a PKCS#11 URI."""


@dataclass(frozen=True)
class Pkcs11Uri:
    path: tuple[tuple[str, str], ...]
    query: tuple[tuple[str, str], ...]

    def path_attribute(self, name: str) -> Optional[str]:
        return next((value for key, value in self.path if key == name), None)

    def pin_attributes(self) -> list[str]:
        """The PIN attributes it carries, path and query alike. A path value
        may hold "&" by the RFC, but a parser that splits the path on it too
        would find a PIN there: such a reading counts as well."""
        names = [key for key, _ in (*self.path, *self.query)]
        for _, value in self.path:
            names += [_decoded(item.partition("=")[0], value) for item in value.split("&")[1:]]
        return [name for name in names if name in PIN_ATTRIBUTES]


def _decoded(text: str, uri: str) -> str:
    at = text.find("%")
    while at >= 0:
        if len(text) < at + 3 or not {text[at + 1], text[at + 2]} <= _HEX:
            raise UriError(f"a % not followed by two hex digits in {quoted(uri)}")
        at = text.find("%", at + 3)
    try:
        return unquote_to_bytes(text).decode("utf-8")
    except UnicodeDecodeError:
        raise UriError(f"a percent-encoded value that is not UTF-8 in {quoted(uri)}") from None


def _attributes(part: str, separator: str, uri: str) -> tuple[tuple[str, str], ...]:
    out = []
    for item in part.split(separator) if part else []:
        name, equals, value = item.partition("=")
        if not equals or not name:
            raise UriError(f"{quoted(item)} is not an attribute (name=value) in {quoted(uri)}")
        out.append((_decoded(name, uri), _decoded(value, uri)))
    return tuple(out)


def parse(uri: str) -> Pkcs11Uri:
    if not uri.startswith(SCHEME):
        raise UriError(f"{quoted(uri)} does not start with {SCHEME}")
    path, _, query = uri[len(SCHEME):].partition("?")
    return Pkcs11Uri(_attributes(path, ";", uri), _attributes(query, "&", uri))

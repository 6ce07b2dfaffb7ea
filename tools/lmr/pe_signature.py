"""What an Authenticode-signed PE may hold beyond the unsigned image, for
checking a signer's result: one certificate table entry at the end of the
file holding one PKCS#7 SignedData, zero padding to 8 bytes and nothing
more, and a header checksum that matches the file."""
import struct
from typing import Optional

import pefile

from lmr import image

_SECURITY_DIRECTORY = 4
_WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2
_WIN_CERTIFICATE_HEADER = 8  # dwLength, wRevision, wCertificateType
_CHECKSUM_AT = 4 + 20 + 64  # after "PE\0\0", the COFF header and 64 bytes of the optional header


def _der_length(blob: bytes) -> Optional[int]:
    """The whole length of the DER SEQUENCE at blob's start, or None."""
    if len(blob) < 2 or blob[0] != 0x30:
        return None
    if blob[1] < 0x80:
        return 2 + blob[1]
    count = blob[1] & 0x7F
    if not 1 <= count <= 4 or len(blob) < 2 + count:
        return None
    return 2 + count + int.from_bytes(blob[2:2 + count], "big")


def problems(data: bytes) -> Optional[str]:
    """Why data is not a cleanly signed PE, or None. The signature itself is
    osslsigncode's to verify."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as e:
        return f"is not a PE image ({e})"
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[_SECURITY_DIRECTORY]
    at, size = entry.VirtualAddress, entry.Size
    if size == 0:
        return "is not an Authenticode-signed PE (it has no certificate table)"
    if at + size != len(data) or size < _WIN_CERTIFICATE_HEADER:
        return (f"has a certificate table ({size} bytes at {at}) that does not end the file "
                f"({len(data)} bytes)")
    length, _, kind = struct.unpack_from("<IHH", data, at)
    if kind != _WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        return f"has a certificate of type {kind}, not a PKCS#7 SignedData"
    der = _der_length(data[at + _WIN_CERTIFICATE_HEADER:at + size])
    if der is None or _WIN_CERTIFICATE_HEADER + der > size:
        return "has a certificate table entry that does not hold a DER-encoded PKCS#7 blob"
    end = _WIN_CERTIFICATE_HEADER + der
    padded = (end + 7) // 8 * 8
    if size != padded or length not in (end, padded):
        return (f"holds {max(size, length) - padded} bytes beyond its signature and padding in the certificate "
                f"table (the PKCS#7 blob has {der} bytes, its entry says {length}, the table {size}); only zero "
                "padding to 8 bytes may follow")
    if any(data[at + end:at + size]):
        return "has padding after its signature that is not zeros"
    if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        return (f"has a PE checksum ({pe.OPTIONAL_HEADER.CheckSum:#010x}) that does not match the file "
                f"({pe.generate_checksum():#010x})")
    return None


def describe_difference(unsigned: bytes, stripped: bytes) -> str:
    """Where two images first differ, and in which part of the PE. The
    checksum follows the contents (removing a signature recomputes it): the
    first change elsewhere is the one shown."""
    checksum = struct.unpack_from("<I", unsigned, 0x3C)[0] + _CHECKSUM_AT if len(unsigned) >= 0x40 else -8
    at = next((i for i, (a, b) in enumerate(zip(unsigned, stripped))
               if a != b and not checksum <= i < checksum + 4), min(len(unsigned), len(stripped)))
    where = ""
    try:
        spans = image.sections(unsigned)
    except pefile.PEFormatError:
        spans = {}
    for name, (offset, size) in spans.items():
        if offset <= at < offset + size:
            where = f" in section {name}"
    if not where and at < min((offset for offset, _ in spans.values() if offset > 0), default=0):
        where = " in the PE headers"
    return (f"byte {at} ({at:#x}){where} differs; the unsigned exe has {len(unsigned)} bytes, "
            f"the signed one without its signature {len(stripped)}")

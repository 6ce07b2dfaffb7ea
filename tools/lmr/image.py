"""Reading a launcher exe: its PE headers (pefile), the one payload record
("LMR1", a 4-byte size, the 16-hex-digit BuildId, then the stream) and the
stream's chunks."""
import struct
from typing import NamedTuple, Union

import pefile

RECORD_MAGIC = b"LMR1"
HEX_DIGITS = frozenset(b"0123456789abcdefABCDEF")

Image = Union[bytes, bytearray]


class Chunk(NamedTuple):
    offset: int  # of its stored bytes in the image
    stored: int
    size: int  # uncompressed; equal to stored when the chunk is kept verbatim


def find_record(image: Image) -> int:
    """Offset of the one payload record. The magic alone may also occur in
    code; the record is the one followed by 16 hex digits."""
    hits, at = [], image.find(RECORD_MAGIC)
    while at >= 0:
        field = image[at + 8:at + 24]
        if len(field) == 16 and all(b in HEX_DIGITS for b in field):
            hits.append(at)
        at = image.find(RECORD_MAGIC, at + 1)
    if len(hits) != 1:
        raise ValueError(f"expected exactly one payload record, found {len(hits)}")
    return hits[0]


def build_id(image: Image) -> str:
    at = find_record(image)
    return bytes(image[at + 8:at + 24]).decode("ascii")


def set_build_id(image: bytearray, value: bytes) -> None:
    """Writes 16 BuildId bytes into the record, whatever they are."""
    if len(value) != 16:
        raise ValueError("a BuildId is 16 bytes")
    at = find_record(image)
    image[at + 8:at + 24] = value


def chunks(image: Image) -> list[Chunk]:
    """Every chunk of the payload stream, in order."""
    stream = find_record(image) + 24
    total, chunk_size = struct.unpack_from("<QI", image, stream + 8)
    if total and not chunk_size:
        raise ValueError("the stream header gives a chunk size of 0")
    out, at, done = [], stream + 24, 0
    while done < total:
        (stored,) = struct.unpack_from("<I", image, at)
        size = min(chunk_size, total - done)
        out.append(Chunk(at + 4, stored, size))
        at, done = at + 4 + stored, done + size
    return out


def pe(image: Image) -> pefile.PE:
    return pefile.PE(data=bytes(image), fast_load=True)


def sections(image: Image) -> dict[str, tuple[int, int]]:
    """{name: (file offset, raw size)} of every section."""
    return {s.Name.rstrip(b"\0").decode(): (s.PointerToRawData, s.SizeOfRawData) for s in pe(image).sections}

"""Small builders of DICOM Part 10 bytes for tests (little endian unless asked for big endian).

Tags are ints with the group in the high 16 bits (``0x0020000D``); VRs are two-letter ``str``.
Every builder returns ``bytes``; concatenate them to make a dataset or a file.

Elements
    ``explicit(tag, vr, value, length=None)``  explicit VR element; long header for OB/OD/OF/OL/OV/OW/SQ/
                                               SV/UC/UN/UR/UT/UV; ``length`` overrides the written length
                                               (``UNDEFINED`` for 0xFFFFFFFF, or any lie you need).
    ``implicit(tag, value, length=None)``      implicit VR element (tag + 32-bit length + value).
    ``text(s, pad=b" ")``                      str/bytes padded to even length (use ``b"\\0"`` for UIs).
    ``uid(s)``                                 shorthand for ``text(s, b"\\0")``.
    ``raw_header(tag, vr_bytes, length16)``    an explicit short header with arbitrary VR bytes, no value.

Sequences and items
    ``item(content=b"", length=None)``         item tag + length (defaults to len(content)) + content;
                                               ``item(c, UNDEFINED)`` also appends the item delimiter.
    ``item_header(length)``                    just the 8-byte item header.
    ``item_delimiter()``, ``sequence_delimiter()``  the 8-byte delimiters (zero length).
    ``sequence(tag, items, *, explicit_vr=True, undefined=True, vr="SQ")``
                                               a sequence element holding the given item bytes, either
                                               with undefined length + sequence delimiter or a defined
                                               length; ``vr`` may be "UN" (explicit only).

Files
    ``meta(transfer_syntax=EXPLICIT_LE, sop_class=..., sop_instance=..., *, group_length=None,
           elements=None)``                    the 0002 group (with (0002,0000) UL first) without
                                               preamble; ``elements`` replaces the default element list
                                               (list of bytes from ``explicit``), ``group_length``
                                               overrides the computed (0002,0000) value.
    ``preamble()``                             128 zero bytes + "DICM".
    ``part10(dataset, transfer_syntax=EXPLICIT_LE, **meta_kwargs)``  preamble + meta + dataset.

Big endian: ``explicit``, ``item_header``, ``item``, ``item_delimiter``, ``sequence_delimiter`` and
``sequence`` take ``big_endian=True`` (tags and lengths big endian; the meta group is always little).

Constants: ``UNDEFINED``, ``EXPLICIT_LE``, ``IMPLICIT_LE``, ``ITEM``, ``ITEM_DELIMITER``,
``SEQUENCE_DELIMITER``, ``LONG_VRS``.
"""

from __future__ import annotations

import struct
from collections.abc import Iterable

UNDEFINED = 0xFFFFFFFF
EXPLICIT_LE = "1.2.840.10008.1.2.1"
EXPLICIT_BE = "1.2.840.10008.1.2.2"
DEFLATED_LE = "1.2.840.10008.1.2.1.99"
IMPLICIT_LE = "1.2.840.10008.1.2"
CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"
DEFAULT_INSTANCE = "1.2.826.0.1.3680043.2.1125.1.1"
ITEM = 0xFFFEE000
ITEM_DELIMITER = 0xFFFEE00D
SEQUENCE_DELIMITER = 0xFFFEE0DD
LONG_VRS = frozenset("OB OD OF OL OV OW SQ SV UC UN UR UT UV".split())


def _order(big_endian: bool) -> str:
    return ">" if big_endian else "<"


def tag_bytes(tag: int, big_endian: bool = False) -> bytes:
    """The tag as two 16-bit words, group first."""
    return struct.pack(_order(big_endian) + "HH", tag >> 16, tag & 0xFFFF)


def _as_bytes(value: bytes | str) -> bytes:
    return value.encode("latin-1") if isinstance(value, str) else bytes(value)


def text(value: bytes | str, pad: bytes = b" ") -> bytes:
    """The value padded with ``pad`` to an even length."""
    data = _as_bytes(value)
    return data + pad if len(data) % 2 else data


def uid(value: str) -> bytes:
    return text(value, b"\0")


def explicit(tag: int, vr: str, value: bytes | str = b"", length: int | None = None, *,
             big_endian: bool = False) -> bytes:
    """An explicit VR element; ``length`` (if given) is written instead of len(value)."""
    data = _as_bytes(value)
    written = len(data) if length is None else length
    order = _order(big_endian)
    head = tag_bytes(tag, big_endian) + vr.encode("ascii")
    if vr in LONG_VRS:
        return head + b"\0\0" + struct.pack(order + "I", written) + data
    return head + struct.pack(order + "H", written & 0xFFFF) + data


def raw_header(tag: int, vr_bytes: bytes, length16: int) -> bytes:
    """A short explicit header with arbitrary VR bytes (for broken-header cases)."""
    return tag_bytes(tag) + bytes(vr_bytes) + struct.pack("<H", length16)


def implicit(tag: int, value: bytes | str = b"", length: int | None = None) -> bytes:
    data = _as_bytes(value)
    written = len(data) if length is None else length
    return tag_bytes(tag) + struct.pack("<I", written) + data


def item_header(length: int, big_endian: bool = False) -> bytes:
    return tag_bytes(ITEM, big_endian) + struct.pack(_order(big_endian) + "I", length)


def item_delimiter(big_endian: bool = False) -> bytes:
    return tag_bytes(ITEM_DELIMITER, big_endian) + b"\0\0\0\0"


def sequence_delimiter(big_endian: bool = False) -> bytes:
    return tag_bytes(SEQUENCE_DELIMITER, big_endian) + b"\0\0\0\0"


def item(content: bytes = b"", length: int | None = None, big_endian: bool = False) -> bytes:
    if length == UNDEFINED:
        return item_header(UNDEFINED, big_endian) + content + item_delimiter(big_endian)
    return item_header(len(content) if length is None else length, big_endian) + content


def sequence(tag: int, items: Iterable[bytes], *, explicit_vr: bool = True, undefined: bool = True,
             vr: str = "SQ", big_endian: bool = False) -> bytes:
    body = b"".join(items)
    if undefined:
        body += sequence_delimiter(big_endian)
        length = UNDEFINED
    else:
        length = len(body)
    if explicit_vr:
        return explicit(tag, vr, body, length, big_endian=big_endian)
    return implicit(tag, body, length)


def preamble() -> bytes:
    return b"\0" * 128 + b"DICM"


def meta(transfer_syntax: str | None = EXPLICIT_LE, sop_class: str | None = CT_IMAGE_STORAGE,
         sop_instance: str | None = DEFAULT_INSTANCE, *, group_length: int | None = None,
         elements: list[bytes] | None = None) -> bytes:
    """The file meta group (0002,0000) first; a UID given as None is left out."""
    if elements is None:
        elements = [explicit(0x00020001, "OB", b"\0\1")]
        if sop_class is not None:
            elements.append(explicit(0x00020002, "UI", uid(sop_class)))
        if sop_instance is not None:
            elements.append(explicit(0x00020003, "UI", uid(sop_instance)))
        if transfer_syntax is not None:
            elements.append(explicit(0x00020010, "UI", uid(transfer_syntax)))
    body = b"".join(elements)
    length = len(body) if group_length is None else group_length
    return explicit(0x00020000, "UL", struct.pack("<I", length)) + body


def part10(dataset: bytes = b"", transfer_syntax: str | None = EXPLICIT_LE, **meta_kwargs) -> bytes:
    return preamble() + meta(transfer_syntax, **meta_kwargs) + dataset


def deflate_bomb(unit: bytes, total: int) -> bytes:
    """A raw deflate stream of `unit` repeated to `total` bytes, made without compressing all of it: one
    fully flushed segment (byte aligned, no back references out of it) repeated, then a final empty block."""
    import zlib

    chunk = unit * ((1 << 20) // len(unit))
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    segment = compressor.compress(chunk) + compressor.flush(zlib.Z_FULL_FLUSH)
    return segment * (total // len(chunk)) + b"\x03\x00"

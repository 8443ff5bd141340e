"""Writes the seed corpora of pixels_fuzz and render_fuzz (fuzz/corpus/<target>/, the same files: both
harnesses take a whole file) from pydicom's small test files.

    python fuzz/make_pixel_seeds.py

Every test file of pydicom with pixel data under 24 KiB (native, deflated, RLE and the compressed
syntaxes alike), and two shapes that corpus lacks: bit-packed frames and RLE frames behind an Extended
Offset Table. The output is deterministic for one pydicom version.
"""

from __future__ import annotations

import shutil
import struct
import sys
from pathlib import Path

from pydicom.data import get_testdata_files

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from helpers import dicom_writer as d  # noqa: E402

MAX_SEED_BYTES = 24 << 10


def image(rows: int, columns: int, pixel_data: bytes, *, bits: int = 8, frames: int = 1, vr: str = "OW",
          extra: bytes = b"", syntax: str = d.EXPLICIT_LE, length: int | None = None) -> bytes:
    us = lambda tag, value: d.explicit(tag, "US", struct.pack("<H", value))  # noqa: E731
    dataset = (us(0x00280002, 1) + d.explicit(0x00280004, "CS", d.text("MONOCHROME2"))
               + d.explicit(0x00280008, "IS", d.text(str(frames))) + us(0x00280010, rows) + us(0x00280011, columns)
               + us(0x00280100, bits) + us(0x00280101, bits) + us(0x00280102, bits - 1) + us(0x00280103, 0)
               + extra + d.explicit(0x7FE00010, vr, pixel_data, length))
    return d.part10(dataset, syntax)


def rle_frame(plane: bytes) -> bytes:
    segment = bytes([len(plane) - 1]) + plane
    segment += b"\0" * (len(segment) % 2)
    return struct.pack("<16I", 1, 64, *[0] * 14) + segment


def crafted() -> dict[str, bytes]:
    frames = [rle_frame(b"\1\2\3\4"), rle_frame(b"\5\6\7\x08")]
    table = (d.explicit(0x7FE00001, "OV", struct.pack("<2Q", 0, len(frames[0]) + 8))
             + d.explicit(0x7FE00002, "OV", struct.pack("<2Q", *map(len, frames))))
    items = d.item(b"") + b"".join(d.item(f) for f in frames) + d.sequence_delimiter()
    return {
        "crafted_bits.dcm": image(3, 5, b"\x5a\xc3\x0f\xf0\x99\x66", bits=1, frames=3, vr="OB"),
        "crafted_rle_extended_table.dcm": image(1, 4, items, frames=2, vr="OB", extra=table,
                                                syntax="1.2.840.10008.1.2.5", length=d.UNDEFINED),
    }


TARGETS = ("pixels_fuzz", "render_fuzz")


def seeds() -> dict[str, bytes]:
    found: dict[str, bytes] = {}
    for path in sorted(Path(p) for p in get_testdata_files()):
        if path.suffix != ".dcm" or not path.is_file() or path.stat().st_size > MAX_SEED_BYTES:
            continue
        data = path.read_bytes()
        if b"\xe0\x7f\x10\x00" in data or b"\x7f\xe0\x00\x10" in data:
            found[path.name] = data
    return {**found, **crafted()}


def main() -> None:
    files = seeds()
    for target in TARGETS:
        folder = ROOT / "fuzz" / "corpus" / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in files.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()

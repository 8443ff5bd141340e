"""Frames of stored values: pydicom's pixel_array over its own test files, crafted layouts the corpus
lacks (bit-packed frames, colour by plane, shifted high bits, fragments and offset tables), and hostile
sizes, each refused with a clear PixelDataError."""

from __future__ import annotations

import struct
import warnings
from pathlib import Path

import numpy
import pydicom
import pytest
from pydicom.data import get_testdata_files
from pydicom.pixels import pixel_array

from helpers import dicom_writer as d
from helpers.memory import UNDER_ADDRESS_SANITIZER, growth_over
from zanthe import dicom
from zanthe.errors import NotDicomError, PixelDataError, UnsupportedTransferSyntaxError

RLE = "1.2.840.10008.1.2.5"
READ_HERE = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2", "1.2.840.10008.1.2.1.99", RLE}


def _corpus() -> list[tuple[str, int]]:
    cases = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for path in sorted(get_testdata_files()):
            cases += _frames_to_compare(path)
    return cases


def _frames_to_compare(path: str) -> list[tuple[str, int]]:
    """Frame 0 and the last frame of a file whose syntax is read here (none for other files)."""
    try:
        ds = pydicom.dcmread(path, stop_before_pixels=True)
    except Exception:
        return []
    meta = getattr(ds, "file_meta", None)
    syntax = str(meta.get("TransferSyntaxUID", "")) if meta is not None else ""
    if "Rows" not in ds or (syntax and syntax not in READ_HERE):
        return []
    try:
        frames = int(ds.get("NumberOfFrames", 1) or 1)
    except ValueError:
        frames = 1
    return [(path, index) for index in sorted({0, frames - 1})]


@pytest.mark.parametrize(("path", "index"), _corpus(), ids=lambda v: Path(v).name if isinstance(v, str) else str(v))
def test_stored_values_equal_pydicom(path, index):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = pydicom.dcmread(path)
        try:
            expected = pixel_array(ds, index=index, raw=True)
        except Exception as error:
            pytest.skip(f"pydicom cannot decode it: {error}")
    values = dicom.pixels(path, index)
    got = numpy.asarray(values)
    assert (got.dtype.kind, got.dtype.itemsize, got.shape) == (
        expected.dtype.kind, expected.dtype.itemsize, expected.shape)
    assert numpy.array_equal(got, expected)
    assert (values.rows, values.columns, values.samples) == (ds.Rows, ds.Columns, ds.get("SamplesPerPixel", 1))
    assert values.bits_stored == ds.get("BitsStored", ds.BitsAllocated)
    assert values.signed == (ds.get("PixelRepresentation", 0) == 1)


def test_the_values_are_a_read_only_view_of_the_result():
    values = dicom.pixels(Path(get_testdata_files("MR_small_RLE.dcm")[0]).read_bytes())
    first, second = numpy.asarray(values), numpy.asarray(values)
    assert numpy.shares_memory(first, second)
    assert not first.flags.writeable
    assert memoryview(values).readonly


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="the sanitizer's quarantine keeps freed memory resident")
def test_frames_and_their_views_are_freed():
    file = image(512, 512, bytes(512 * 512 * 2), bits=16)  # 512 KiB a frame: 100 leaked would show
    growth = growth_over(lambda n: int(numpy.asarray(dicom.pixels(file)).sum()), calls=100, warmup=10)
    assert growth.resident < 8 << 20 and growth.blocks < 100, growth


# ---------------------------------------------------------------------------------------------------
# Crafted files


def image(rows, columns, data, *, bits=8, stored=None, high=None, signed=0, samples=1, planar=None,
          frames=None, photometric="MONOCHROME2", pixel_vr="OW", extra=b"", syntax=d.EXPLICIT_LE, length=None):
    """A Part 10 file of one image; `data` is the Pixel Data value (bytes, or an encapsulated value)."""
    stored = bits if stored is None else stored
    us = lambda tag, value: d.explicit(tag, "US", struct.pack("<H", value))  # noqa: E731
    dataset = us(0x00280002, samples) + d.explicit(0x00280004, "CS", d.text(photometric))
    if planar is not None:
        dataset += us(0x00280006, planar)
    if frames is not None:
        dataset += d.explicit(0x00280008, "IS", d.text(str(frames)))
    dataset += us(0x00280010, rows) + us(0x00280011, columns) + us(0x00280100, bits) + us(0x00280101, stored)
    dataset += us(0x00280102, stored - 1 if high is None else high) + us(0x00280103, signed) + extra
    dataset += d.explicit(0x7FE00010, pixel_vr, data, length)
    return d.part10(dataset, syntax)


def encapsulated(fragments, offsets=b""):
    return d.item(offsets) + b"".join(d.item(f) for f in fragments) + d.sequence_delimiter()


def rle_frame(planes: list[bytes]) -> bytes:
    """An RLE frame of literal runs, one segment per plane."""
    segments = []
    for plane in planes:
        runs = b"".join(bytes([len(plane[i:i + 128]) - 1]) + plane[i:i + 128] for i in range(0, len(plane), 128))
        segments.append(runs + b"\0" * (len(runs) % 2))
    offsets, at = [], 64
    for segment in segments:
        offsets.append(at)
        at += len(segment)
    header = struct.pack("<16I", len(segments), *offsets, *[0] * (15 - len(segments)))
    return header + b"".join(segments)


def values_of(data, frame=0):
    return numpy.asarray(dicom.pixels(data, frame))


def test_one_bit_frames_are_packed_across_frames_least_significant_bit_first():
    bits = numpy.random.default_rng(1).integers(0, 2, size=3 * 3 * 5, dtype=numpy.uint8)  # 45 bits, 3 frames
    data = numpy.packbits(bits, bitorder="little").tobytes()
    file = image(3, 5, data + b"\0" * (len(data) % 2), bits=1, frames=3, pixel_vr="OB")
    for frame in range(3):
        assert numpy.array_equal(values_of(file, frame), bits[frame * 15:(frame + 1) * 15].reshape(3, 5))


def test_colour_by_plane_comes_back_interleaved():
    rgb = numpy.arange(2 * 3 * 3, dtype=numpy.uint8).reshape(2, 3, 3)
    by_plane = numpy.moveaxis(rgb, 2, 0).tobytes()
    assert numpy.array_equal(values_of(image(2, 3, by_plane, samples=3, planar=1, photometric="RGB")), rgb)


@pytest.mark.parametrize(("stored", "high", "signed", "word", "expected"), [
    (12, 11, 1, 0xF800, -2048),        # bits above Bits Stored are not the value's
    (12, 11, 1, 0x07FF, 2047),
    (12, 11, 0, 0xFFFF, 0x0FFF),
    (12, 15, 0, 0xABC0, 0x0ABC),       # stored in the high bits
    (8, 11, 1, 0x0F00, -16),
])  # fmt: skip
def test_stored_values_keep_bits_stored_ending_at_high_bit(stored, high, signed, word, expected):
    file = image(1, 2, struct.pack("<2H", word, 0), bits=16, stored=stored, high=high, signed=signed)
    assert values_of(file)[0, 0] == expected


def test_sixteen_bit_big_endian_values_come_back_in_native_order():
    dataset = b"".join([
        d.explicit(0x00280002, "US", b"\0\1", big_endian=True),
        d.explicit(0x00280004, "CS", d.text("MONOCHROME2"), big_endian=True),
        d.explicit(0x00280010, "US", b"\0\1", big_endian=True),
        d.explicit(0x00280011, "US", b"\0\2", big_endian=True),
        d.explicit(0x00280100, "US", b"\0\x10", big_endian=True),
        d.explicit(0x00280101, "US", b"\0\x10", big_endian=True),
        d.explicit(0x00280103, "US", b"\0\1", big_endian=True),
        d.explicit(0x7FE00010, "OW", struct.pack(">2h", -2, 300), big_endian=True),
    ])  # fmt: skip
    assert values_of(d.part10(dataset, d.EXPLICIT_BE)).tolist() == [[-2, 300]]


def rle_file(frames, fragments, *, offsets=b"", extra=b"", columns=4):
    return image(1, columns, encapsulated(fragments, offsets), frames=frames, pixel_vr="OB", syntax=RLE,
                 extra=extra, length=d.UNDEFINED)


FRAME_A = rle_frame([b"\1\2\3\4"])
FRAME_B = rle_frame([b"\5\6\xff\xd9"])  # ends with a JPEG end marker


@pytest.mark.parametrize("layout", ["basic offset table", "one fragment per frame", "end markers",
                                    "extended offset table"])
def test_encapsulated_frames_are_found_by_tables_or_fragments(layout):
    a_parts = [FRAME_A[:40], FRAME_A[40:]]
    if layout == "basic offset table":
        file = rle_file(2, [*a_parts, FRAME_B], offsets=struct.pack("<2I", 0, sum(len(p) + 8 for p in a_parts)))
    elif layout == "one fragment per frame":
        file = rle_file(2, [FRAME_A, FRAME_B])
    elif layout == "end markers":
        file = rle_file(2, [FRAME_B[:40], FRAME_B[40:], FRAME_A[:40], FRAME_A[40:] + b"\xff\xd9"])
        assert values_of(file, 0).tolist() == [[5, 6, 255, 217]]
        assert values_of(file, 1).tolist() == [[1, 2, 3, 4]]
        return
    else:
        table = (d.explicit(0x7FE00001, "OV", struct.pack("<2Q", 0, len(FRAME_A) + 8))
                 + d.explicit(0x7FE00002, "OV", struct.pack("<2Q", len(FRAME_A), len(FRAME_B))))
        file = rle_file(2, [FRAME_A, FRAME_B], extra=table)
    assert values_of(file, 0).tolist() == [[1, 2, 3, 4]]
    assert values_of(file, 1).tolist() == [[5, 6, 255, 217]]


def test_encapsulated_uncompressed_frames_are_read_natively():
    file = image(1, 2, encapsulated([struct.pack("<2H", 1, 2), struct.pack("<2H", 3, 4)]), bits=16, frames=2,
                 pixel_vr="OB", syntax="1.2.840.10008.1.2.1.98", length=d.UNDEFINED)
    assert [values_of(file, frame).tolist() for frame in (0, 1)] == [[[1, 2]], [[3, 4]]]


def rle_header(*offsets):
    return struct.pack("<16I", len(offsets), *offsets, *[0] * (15 - len(offsets)))


@pytest.mark.parametrize(("data", "frame", "message"), [
    (image(65535, 65535, b"\0" * 16, bits=32, samples=4, photometric="RGBA"), 0, "more than is read"),
    (image(2, 2, b"\0" * 8, frames=2), 2, "past the last frame"),
    (image(2, 2, b"\0" * 8, frames=4000), 2, "the pixel data hold 8"),
    (image(64, 64, b"\0" * 4000, bits=16), 0, "needs bytes 0..8192"),
    (image(2, 2, b"\0" * 4, bits=12), 0, "Bits Allocated is 12"),
    (image(0, 2, b"\0" * 4), 0, "Rows is 0"),
    (image(2, 2, b"\0" * 4, stored=9), 0, "Bits Stored is 9"),
    (d.part10(d.explicit(0x00280010, "US", b"\2\0")), 0, "no Pixel Data"),
    (d.part10(d.explicit(0x7FE00008, "OF", b"\0" * 4)), 0, "Float Pixel Data"),
    (rle_file(1, [rle_header(4000) + b"\0" * 8]), 0, "outside the frame"),
    (rle_file(1, [rle_header(8)]), 0, "outside the frame"),
    (rle_file(1, [rle_header(64, 66) + b"\3\1"]), 0, "segments, the image needs 1"),
    (rle_file(1, [rle_header(64)]), 0, "cannot decode to 4 bytes"),
    (rle_file(1, [rle_header(64) + b"\3\1\2\0"]), 0, "ends before its 4 bytes"),
    (image(65535, 65535, encapsulated([rle_header(64) + b"\x81\0" * 8]), pixel_vr="OB", syntax=RLE,
           length=d.UNDEFINED), 0, "cannot decode to"),
    (image(1, 4, d.item(b"") + d.item_header(5000) + b"\0" * 16, pixel_vr="OB", syntax=RLE, length=d.UNDEFINED),
     0, "of 5000 bytes runs past the end"),
    (rle_file(3, [FRAME_A]), 2, "hold 1 frames"),
])  # fmt: skip
def test_hostile_files_end_in_a_pixel_data_error(data, frame, message):
    with pytest.raises(PixelDataError, match=message):
        dicom.pixels(data, frame)


@pytest.mark.parametrize(("data", "raised", "message"), [
    (b"not dicom at all" * 20, NotDicomError, "not a DICOM dataset"),
    (image(1, 4, encapsulated([b"\0" * 8]), pixel_vr="OB", syntax="1.2.3.4.5", length=d.UNDEFINED),
     UnsupportedTransferSyntaxError, "unsupported transfer syntax 1.2.3.4.5"),
])  # fmt: skip
def test_other_failures_raise_the_shared_classes(data, raised, message):
    with pytest.raises(raised, match=message):
        dicom.pixels(data)


def test_a_path_reads_like_its_bytes(tmp_path):
    file = image(1, 2, b"\7\x09")
    (tmp_path / "a.dcm").write_bytes(file)
    assert values_of(str(tmp_path / "a.dcm")).tolist() == values_of(file).tolist() == [[7, 9]]
    (tmp_path / "empty.dcm").write_bytes(b"")
    with pytest.raises(NotDicomError):
        dicom.pixels(tmp_path / "empty.dcm")
    with pytest.raises(FileNotFoundError):
        dicom.pixels(tmp_path / "missing.dcm")

"""PNG output of images large enough to be deflated in strips on several threads: the chunks check out,
the IDAT data are one zlib stream (zlib checks its Adler-32) as small as zlib's own, and Pillow reads
back exactly the pixels of the reference pipeline; the smallest images take the same path on one thread."""

from __future__ import annotations

import io
import struct
import zlib

import numpy
import pydicom
import pytest
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian

from pixels.test_render import colour_reference, decoded, grey_reference
from zanthe.dicom import render

# Center 128 and width 256 map 0..255 onto themselves (the linear function lands on whole numbers, no
# ties to round): the reference and zanthe must agree exactly, higher values clipping to 255.
IDENTITY_WINDOW = (128.0, 256.0)


def frame_file(image: numpy.ndarray) -> bytes:
    """A native Secondary Capture file of `image`: rows x columns of uint16 grey, or x 3 of uint8 RGB."""
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID = "1.2.3.4"
    ds.Rows, ds.Columns = image.shape[:2]
    ds.SamplesPerPixel = 3 if image.ndim == 3 else 1
    ds.PhotometricInterpretation = "RGB" if image.ndim == 3 else "MONOCHROME2"
    if image.ndim == 3:
        ds.PlanarConfiguration = 0
    ds.BitsAllocated = ds.BitsStored = image.dtype.itemsize * 8
    ds.HighBit, ds.PixelRepresentation = ds.BitsStored - 1, 0
    ds.PixelData = image.tobytes()
    buffer = io.BytesIO()
    ds.save_as(buffer, enforce_file_format=True)
    return buffer.getvalue()


def chunks(png: bytes) -> list[tuple[bytes, bytes]]:
    """(type, data) of every chunk after the signature, each one's CRC-32 checked."""
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    found, position = [], 8
    while position < len(png):
        length, kind = struct.unpack(">I4s", png[position : position + 8])
        data = png[position + 8 : position + 8 + length]
        (crc,) = struct.unpack(">I", png[position + 8 + length : position + 12 + length])
        assert crc == zlib.crc32(kind + data), kind
        found.append((kind, data))
        position += 12 + length
    return found


def textured(shape: tuple[int, ...], dtype: type, seed: int) -> numpy.ndarray:
    """Noise over a gradient, its rows repeating every seven, so that deflate's matches reach back
    across the strips' seams; grey values run past 255 to be clipped."""
    rng = numpy.random.default_rng(seed)
    high = 300 if dtype is numpy.uint16 else 256
    block = rng.integers(0, high, (min(shape[0], 7), *shape[1:]), dtype=dtype)
    return numpy.resize(block, shape)


@pytest.mark.parametrize("shape, dtype", [
    ((2500, 2000), numpy.uint16),   # a mammogram's size: several strips of 5 MB of filtered rows
    ((1200, 1000, 3), numpy.uint8),  # RGB, 3.6 MB
    ((1, 1), numpy.uint16), ((1, 3000), numpy.uint16), ((3000, 1), numpy.uint16),
])  # fmt: skip
def test_a_png_is_one_zlib_stream_of_the_reference_pixels(shape, dtype):
    data = frame_file(textured(shape, dtype, seed=sum(shape)))
    ds = pydicom.dcmread(io.BytesIO(data))
    png = render(data, window=IDENTITY_WINDOW if len(shape) == 2 else None)
    found = chunks(png)
    kinds = [kind for kind, _ in found]
    assert kinds[0] == b"IHDR" and kinds[-1] == b"IEND" and set(kinds[1:-1]) == {b"IDAT"}
    stream = b"".join(data for kind, data in found if kind == b"IDAT")
    rows = zlib.decompress(stream)
    assert len(rows) == shape[0] * (1 + numpy.prod(shape[1:]))
    assert len(stream) <= len(zlib.compress(rows, 1)) * 1.01 + 64  # strips primed with the rows before them
    expected = grey_reference(ds, IDENTITY_WINDOW) if len(shape) == 2 else colour_reference(ds)
    assert numpy.array_equal(decoded(png), expected)

"""One frame of a DICOM file as its stored values, viewable by numpy without a copy.

    import numpy
    from zanthe import dicom

    p = dicom.pixels("ct.dcm")                 # frame 0
    values = numpy.asarray(p)                  # shape (rows, columns) or (rows, columns, samples)
    p.rows, p.columns, p.frames, p.samples, p.photometric, p.bits_stored, p.signed, p.transfer_syntax
"""

from __future__ import annotations

import mmap
import os

from zanthe._dicom import PixelDataError, Pixels
from zanthe._dicom import pixels as _pixels

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer

__all__ = ["PixelDataError", "Pixels", "pixels"]


def pixels(path_or_buffer: str | os.PathLike[str] | Buffer, frame: int = 0) -> Pixels:
    """Frame `frame` (from 0) of a DICOM file, given by path or as its bytes, as stored values.

    The result exports a read-only buffer of format ``B``, ``b``, ``H``, ``h``, ``I`` or ``i`` (by Bits
    Allocated and Pixel Representation): Bits Stored bits per sample, sign-extended when signed, 1-bit
    data as 0 and 1, colour samples interleaved whatever the Planar Configuration, YBR_FULL_422 expanded
    to full YBR_FULL samples (``photometric`` then says ``YBR_FULL``). Native, deflated and RLE Lossless
    data are read here; other compressed syntaxes by the codecs built in.

    Raises ``NotDicomError`` for bytes that are no DICOM dataset, ``UnsupportedTransferSyntaxError`` for
    a syntax no decoder reads, ``PixelDataError`` for missing or inconsistent attributes, a frame not in
    the data, data cut short or a frame too large, and ``OSError`` when the file cannot be read.
    """
    if isinstance(path_or_buffer, (str, os.PathLike)):
        with open(path_or_buffer, "rb") as file:
            if os.fstat(file.fileno()).st_size == 0:
                return _pixels(b"", frame)
            with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
                return _pixels(mapped, frame)
    return _pixels(path_or_buffer, frame)

"""One frame of a DICOM file as a PNG to look at: the display pipeline people expect of a viewer.

    png = render("ct.dcm", window=(40, 400), max_size=512)
    png, summary = render_with_summary("ct.dcm")   # summary: rows, columns, frames, width, height, ...

Grey images pass the Modality LUT (Rescale Slope and Intercept, a Modality LUT, or an enhanced file's
Pixel Value Transformation), then the VOI: the window given, else the file's first window (the
frame's functional groups first), else its VOI LUT, else the range of the values (padding left
out); LINEAR, LINEAR_EXACT and SIGMOID as VOI LUT Function says. MONOCHROME1 and Presentation LUT
Shape INVERSE are inverted. PALETTE COLOR goes through its palettes (segmented ones too), YBR_FULL
and YBR_FULL_422 to RGB. With max_size the image is shrunk by exact box averaging (fractional weights
at the boxes' edges) until its larger side is at most max_size, keeping the aspect ratio.
"""

from __future__ import annotations

import os
from typing import Any, TypedDict, cast

__all__ = ["RenderSummary", "render", "render_with_summary"]


class RenderSummary(TypedDict):
    rows: int
    columns: int
    frames: int
    width: int
    height: int
    window: list[float] | None
    photometric: str


def render(
    path_or_buffer: str | os.PathLike[str] | bytes | bytearray | memoryview,
    frame: int = 0,
    *,
    window: tuple[float, float] | None = None,
    max_size: int | None = None,
) -> bytes:
    """PNG bytes of frame `frame` (from 0) of a DICOM file or of its bytes."""
    return render_with_summary(path_or_buffer, frame, window=window, max_size=max_size)[0]


def render_with_summary(
    path_or_buffer: str | os.PathLike[str] | bytes | bytearray | memoryview,
    frame: int = 0,
    *,
    window: tuple[float, float] | None = None,
    max_size: int | None = None,
) -> tuple[bytes, RenderSummary]:
    """(PNG bytes, summary): the file's rows, columns, frames and photometric interpretation, the
    image's width and height, and the window [center, width] applied (None when none was)."""
    from zanthe import _dicom

    data: Any = path_or_buffer
    if isinstance(path_or_buffer, (str, os.PathLike)):
        with open(path_or_buffer, "rb") as file:
            data = file.read()
    if window is not None:
        center, width = window
        window = (float(center), float(width))
    png, summary = _dicom.render(data, frame, window, max_size)
    return png, cast(RenderSummary, summary)

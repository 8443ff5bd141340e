"""Every attribute of a DICOM file as the DICOM JSON model, bulk data left out.

    from zanthe import dicom

    header = dicom.attributes("ct.dcm")            # {"00100010": {"vr": "PN", "Value": [...]}, ...}
    header["00280010"]["Value"][0]                 # Rows
"""

from __future__ import annotations

import json
import mmap
import os

from zanthe._dicom import attributes_json

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Buffer
    from typing import Any

__all__ = ["attributes", "attributes_json"]


def attributes(path_or_buffer: str | os.PathLike[str] | Buffer, *, inline_limit: int = 1024) -> dict[str, Any]:
    """The dataset of a DICOM file, given by path or as its bytes, as the DICOM JSON model.

    Keys are tags as eight uppercase hex digits, in tag order; each attribute is ``{"vr": ...}`` with
    ``"Value"`` (a list; sequences hold one such object per item, person names their component
    groups) or, for binary VRs, ``"InlineBinary"`` (base64) when that text is at most `inline_limit`
    characters. A longer binary value, Pixel Data usually, has its VR alone. Text is decoded by the
    Specific Character Set in force. The file meta group is left out.

    Raises ``NotDicomError`` for bytes that hold no dataset and ``OSError`` when the file cannot be
    read; a dataset read only in part gives what was read, with a ``UserWarning`` saying why.
    """
    if inline_limit < 0:
        raise ValueError("inline_limit must be 0 or more")
    if isinstance(path_or_buffer, (str, os.PathLike)):
        with open(path_or_buffer, "rb") as file:
            if os.fstat(file.fileno()).st_size == 0:
                return model_of(attributes_json(b"", inline_limit))
            with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
                return model_of(attributes_json(mapped, inline_limit))
    return model_of(attributes_json(path_or_buffer, inline_limit))


def model_of(text: str) -> dict[str, Any]:
    model: dict[str, Any] = json.loads(text)
    return model

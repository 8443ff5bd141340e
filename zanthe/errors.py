"""Every exception and warning zanthe raises on purpose, importable from one place.

    from zanthe.errors import NotDicomError, ParseError, ToolError

Each is also importable from the module that raises it (``zanthe.fhir``, ``zanthe.hl7``,
``zanthe.hl7.mllp``, ``zanthe.server``), and is the same class there.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from zanthe.hl7.sender import Ack

from zanthe._fhir import MissingStudyError, NotDicomError, TextRepairedWarning, UnsupportedTransferSyntaxError
from zanthe._hl7 import ParseError

__all__ = [
    "AckError",
    "AssociationError",
    "DeliveryError",
    "MissingStudyError",
    "MllpError",
    "NotDicomError",
    "ParseError",
    "PixelDataError",
    "Reject",
    "TextRepairedWarning",
    "ToolError",
    "UnsupportedTransferSyntaxError",
]


def __getattr__(name: str) -> type[Exception]:
    # PixelDataError lives in zanthe._dicom and AssociationError in zanthe._dicom_net, each loaded
    # only when the name is first asked for.
    found: type[Exception]
    if name == "PixelDataError":
        from zanthe import _dicom

        found = _dicom.PixelDataError
    elif name == "AssociationError":
        from zanthe import _dicom_net

        found = _dicom_net.AssociationError
    else:
        raise AttributeError(f"module 'zanthe.errors' has no attribute {name!r}")
    globals()[name] = found
    return found


class ToolError(Exception):
    """Raise from a tool to answer with an error result that carries just this message."""


class Reject(Exception):
    """Raised by a listener's handler to answer a message with AE (or AR) and this text instead of AA."""

    def __init__(self, text: str, code: str = "AE") -> None:
        super().__init__(text)
        self.text = text
        self.code = code


class MllpError(Exception):
    """A message could not be delivered and acknowledged."""


class AckError(MllpError):
    """The receiver answered, but not with an acknowledgment of the message sent."""

    def __init__(self, reason: str, ack: Ack | None = None) -> None:
        super().__init__(reason)
        self.ack = ack


class DeliveryError(MllpError):
    """No acknowledgment came after every allowed attempt (the last failure is the ``__cause__``)."""

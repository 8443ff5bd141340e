"""DICOM files for people and agents: the pixels, an image to look at, and every attribute.

    from zanthe import dicom

    png = dicom.render("ct.dcm", window=(40, 400), max_size=512)   # PNG bytes
    values = numpy.asarray(dicom.pixels("ct.dcm"))                  # stored values, no copy
    header = dicom.attributes("ct.dcm")                             # the DICOM JSON model
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from zanthe.dicom.attributes import attributes
    from zanthe.dicom.pixels import pixels
    from zanthe.dicom.render import render

__all__ = ["attributes", "pixels", "render"]


def __getattr__(name: str) -> object:
    # Each part loads its native side only when it is first used.
    if name == "attributes":
        from zanthe.dicom.attributes import attributes as found
    elif name == "pixels":
        from zanthe.dicom.pixels import pixels as found
    elif name == "render":
        from zanthe.dicom.render import render as found
    else:
        raise AttributeError(f"module 'zanthe.dicom' has no attribute {name!r}")
    globals()[name] = found
    return found

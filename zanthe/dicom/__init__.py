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
    from zanthe.dicom.render import render, render_with_summary

__all__ = ["attributes", "pixels", "render", "render_with_summary"]

# Each name and the part (zanthe/dicom/<part>.py) defining it.
_PARTS = {"attributes": "attributes", "pixels": "pixels", "render": "render", "render_with_summary": "render"}


def __getattr__(name: str) -> object:
    # Each part loads its native side only when it is first used. Importing a part binds the package's
    # name for it to the module, so the part's function of that name is put back over it: import these
    # names from zanthe.dicom, not from the parts.
    part = _PARTS.get(name)
    if part is None:
        raise AttributeError(f"module 'zanthe.dicom' has no attribute {name!r}")
    import importlib

    module = importlib.import_module(f"zanthe.dicom.{part}")
    globals()[part] = getattr(module, part)
    found: object = getattr(module, name)
    globals()[name] = found
    return found

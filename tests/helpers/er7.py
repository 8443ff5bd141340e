"""ER7 text builders and python-hl7 adapters shared by the HL7 tests."""

import hl7

DEFAULT_DELIMITERS = "|^~\\&"


def header(version: str = "2.5", delimiters: str = DEFAULT_DELIMITERS) -> str:
    """An MSH line whose MSH-12 is ``version``, written with ``delimiters``."""
    f = delimiters[0]
    fields = ["SND", "FAC", "RCV", "RFAC", "20240101120000", "", "ADT^A01", "CTRL1", "P", version]
    return "MSH" + delimiters + f + f.join(fields)


def message(*segments: str, version: str = "2.5", end: str = "\r") -> str:
    """A header and the given segment lines, each ended by ``end``."""
    return "".join(line + end for line in (header(version), *segments))


def peer_segments(text: str) -> list[dict]:
    """python-hl7's reading of ``text`` in the shape of ``_hl7.parse``.

    python-hl7 ends segments at CR only, so LF and CR LF are first turned into CR. Its MSH carries
    the field separator as field 1, which ``_hl7.parse`` consumes as a cut.
    """
    segments = []
    for segment in hl7.parse(text.replace("\r\n", "\r").replace("\n", "\r")):
        fields = [str(field) for field in segment]
        if fields[0] == "MSH":
            fields = [fields[0], *fields[2:]]
        segments.append({"id": fields[0], "fields": fields})
    return segments


_DECODER = hl7.parse("MSH|^~\\&|DECODER")


def decode(field: str) -> str:
    """Decodes the HL7 escape sequences (\\F\\ \\S\\ \\R\\ \\E\\ \\T\\ \\Xhh\\) with python-hl7."""
    return _DECODER.unescape(field)

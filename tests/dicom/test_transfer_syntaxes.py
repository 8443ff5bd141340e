"""Datasets in every uncompressed transfer syntax, deflated ones and ones without a meta group: where
locate_dataset finds them, how it reads them, and agreement with pydicom on the same files."""

import io
import random
import warnings
import zlib
from pathlib import Path

import pydicom
import pytest
from pydicom.filewriter import dcmwrite
from pydicom.uid import (DeflatedExplicitVRLittleEndian, ExplicitVRBigEndian, ExplicitVRLittleEndian,
                         ImplicitVRLittleEndian, UID)

import _dicom_testing as dt
from helpers import dicom_writer as w

TEST_FILES = Path(pydicom.__file__).parent / "data" / "test_files"
STRING_VRS = set("AE AS CS DA DS DT IS LO LT PN SH ST TM UC UI UR UT".split())
PIXEL_GROUP = 0x7FE0
# Sequences, nested sequences, private tags and private sequences, several modalities.
ROUND_TRIP_SOURCES = ["CT_small.dcm", "MR_small.dcm", "rtplan.dcm", "rtstruct.dcm", "priv_SQ.dcm",
                      "nested_priv_SQ.dcm", "reportsi.dcm", "test-SR.dcm", "waveform_ecg.dcm"]  # fmt: skip
SYNTAXES = [ExplicitVRLittleEndian, ImplicitVRLittleEndian, ExplicitVRBigEndian, DeflatedExplicitVRLittleEndian]
LOOKED_UP = {0x0020000D: "StudyInstanceUID", 0x0020000E: "SeriesInstanceUID", 0x00080018: "SOPInstanceUID",
             0x00080060: "Modality"}  # fmt: skip


def write_as(source: str, syntax: UID) -> bytes:
    """The pydicom test file rewritten by pydicom in `syntax`, with preamble and meta group."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dataset = pydicom.dcmread(TEST_FILES / source, force=True)
        dataset.preamble = b"\0" * 128
        dataset.file_meta.TransferSyntaxUID = syntax
        buffer = io.BytesIO()
        dcmwrite(buffer, dataset, implicit_vr=syntax.is_implicit_VR, little_endian=syntax.is_little_endian,
                 force_encoding=True)
    return buffer.getvalue()


def read(data: bytes):
    """(located, rows): rows are (tag, vr, value bytes) of the top-level elements."""
    located = dt.locate_dataset(data)
    if located["status"] != "ok":
        return located, []
    dataset = located["dataset"]
    _, _, rows = dt.parse_encoded(dataset, implicit_vr=located["implicit_vr"], big_endian=located["big_endian"])
    return located, [(tag, vr, dataset[offset:offset + length]) for tag, vr, length, offset in rows]


def trimmed(value: bytes) -> bytes:
    return value.rstrip(b"\0 ").lstrip(b" ")


def header_rows(rows):
    return [row for row in rows if row[0] >> 16 < PIXEL_GROUP]


@pytest.mark.parametrize("source", ROUND_TRIP_SOURCES)
def test_every_syntax_reads_the_same_elements(source):
    reference = None
    for syntax in SYNTAXES:
        located, rows = read(write_as(source, syntax))
        assert located["status"] == "ok" and located["known_transfer_syntax"]
        assert (located["implicit_vr"], located["big_endian"], located["deflated"]) == (
            syntax.is_implicit_VR, not syntax.is_little_endian, syntax.is_deflated)
        tags = [tag for tag, _, _ in header_rows(rows)]
        values = {tag: value for tag, _, value in reversed(rows)}
        if reference is None:
            # Text values are the same bytes in every syntax; their VR is known from the explicit form.
            reference = (tags, {tag: value for tag, vr, value in rows if vr in STRING_VRS})
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                keys = [int(tag) for tag in pydicom.dcmread(TEST_FILES / source, force=True).keys()]
            assert tags == [tag for tag in keys if tag >> 16 < PIXEL_GROUP]
            continue
        assert tags == reference[0], syntax.name
        assert {tag: values.get(tag) for tag in reference[1]} == reference[1], syntax.name


def pydicom_texts(path: Path) -> list[bytes]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            dataset = pydicom.dcmread(path, force=True)
            return [str(dataset.get(keyword) or "").encode() for keyword in LOOKED_UP.values()]
        except Exception:  # not a dataset pydicom can read at all
            return [b""] * len(LOOKED_UP)


@pytest.mark.parametrize("path", sorted(TEST_FILES.glob("*.dcm")), ids=lambda p: p.name)
def test_looked_up_texts_agree_with_pydicom(path):
    located, rows = read(path.read_bytes())
    found = {tag: trimmed(value) for tag, _, value in reversed(rows)}
    assert [found.get(tag, b"") for tag in LOOKED_UP] == pydicom_texts(path)
    if located["status"] != "ok":
        assert located["status"] == "not_dicom"


@pytest.mark.parametrize("name, big_endian", [("ExplVR_BigEndNoMeta.dcm", True), ("ExplVR_LitEndNoMeta.dcm", False)])
def test_files_without_preamble_or_meta_are_bare_datasets(name, big_endian):
    located, rows = read((TEST_FILES / name).read_bytes())
    assert (located["status"], located["has_meta"], located["offset"]) == ("ok", False, 0)
    assert (located["implicit_vr"], located["big_endian"]) == (False, big_endian)
    assert len(rows) == len(pydicom.dcmread(TEST_FILES / name, force=True))


def split_file(data: bytes) -> tuple[bytes, bytes]:
    """(meta group, dataset) of a file with preamble."""
    meta = dt.read_file_meta(data)
    return data[132:meta["dataset_offset"]], data[meta["dataset_offset"]:]


LAYOUTS = {
    "magic without meta": lambda meta, dataset: w.preamble() + dataset,
    "bare dataset": lambda meta, dataset: dataset,
    "meta without preamble": lambda meta, dataset: meta + dataset,
}


@pytest.mark.parametrize("syntax", SYNTAXES[:3], ids=lambda s: s.name)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("source", ["CT_small.dcm", "rtplan.dcm"])
def test_datasets_without_the_usual_meta_are_found(source, layout, syntax):
    full = write_as(source, syntax)
    meta, dataset = split_file(full)
    located, rows = read(LAYOUTS[layout](meta, dataset))
    assert located["status"] == "ok" and located["dataset"] == dataset
    assert (located["implicit_vr"], located["big_endian"]) == (syntax.is_implicit_VR, not syntax.is_little_endian)
    assert located["has_meta"] == (layout == "meta without preamble")
    assert rows == read(full)[1]


@pytest.mark.parametrize("syntax", SYNTAXES[:3], ids=lambda s: s.name)
def test_an_unknown_transfer_syntax_is_read_as_the_dataset_shows(syntax):
    _, dataset = split_file(write_as("CT_small.dcm", syntax))
    located = dt.locate_dataset(w.part10(dataset, "1.2.826.0.1.3680043.99.1"))
    assert (located["status"], located["known_transfer_syntax"]) == ("ok", False)
    assert (located["implicit_vr"], located["big_endian"]) == (syntax.is_implicit_VR, not syntax.is_little_endian)


@pytest.mark.parametrize("dataset", [b"\x01\x02" * 40, b"\xff" * 3, w.implicit(0x00400001, b"ab")])
def test_an_unknown_syntax_over_unrecognised_data_reads_as_explicit_little_endian(dataset):
    located = dt.locate_dataset(w.part10(dataset, "1.2.3.4"))
    assert (located["status"], located["implicit_vr"], located["big_endian"]) == ("ok", False, False)


NOT_DICOM = {
    "empty": b"",
    "text": b"not dicom at all",
    "zeros": bytes(4096),
    "png": b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 4,
    "magic over zeros": w.preamble() + bytes(64),
    **{f"random {seed}": random.Random(seed).randbytes(random.Random(seed).randrange(1, 3000)) for seed in range(64)},
    **{p.name: p.read_bytes() for p in sorted(TEST_FILES.iterdir()) if p.is_file() and p.suffix != ".dcm"},
}


@pytest.mark.parametrize("data", NOT_DICOM.values(), ids=NOT_DICOM.keys())
def test_what_is_not_dicom_is_refused(data):
    assert dt.locate_dataset(data)["status"] == "not_dicom"


def test_a_deflated_dataset_is_inflated_past_a_value_longer_than_the_first_chunks():
    big = random.Random(7).randbytes(600_000)
    dataset = (w.explicit(0x00080060, "CS", "OT") + w.explicit(0x00091010, "OB", big) +
               w.explicit(0x0020000D, "UI", w.uid("1.2.3.4")) + w.explicit(0x7FE00010, "OW", bytes(4_000_000)))
    compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    located, rows = read(w.part10(compressor.compress(dataset) + compressor.flush(), w.DEFLATED_LE))
    assert located["deflated"] and located["dataset"] == dataset[:len(located["dataset"])]
    assert [(tag, trimmed(value)) for tag, _, value in rows[:3]] == [
        (0x00080060, b"OT"), (0x00091010, big), (0x0020000D, b"1.2.3.4")]
    assert located["inflated_size"] < 2_000_000  # the zero pixels are not all inflated


@pytest.mark.parametrize("syntax", [ExplicitVRLittleEndian, ImplicitVRLittleEndian, ExplicitVRBigEndian],
                         ids=lambda s: s.name)
@pytest.mark.parametrize("source", ["CT_small.dcm", "MR_small.dcm", "rtplan.dcm"])
def test_a_prefix_claims_a_complete_header_only_when_it_has_one(source, syntax):
    """The inflater stops once a prefix's header has ended; the prefix must then read like the whole."""
    _, dataset = split_file(write_as(source, syntax))
    encoding = {"implicit_vr": syntax.is_implicit_VR, "big_endian": not syntax.is_little_endian}
    full = header_rows(dt.parse_encoded(dataset, **encoding)[2])
    first_claim = None
    for cut in range(len(dataset) + 1):
        if first_claim is not None and cut > first_claim + 64:  # longer prefixes add only pixel bytes
            break
        prefix = dataset[:cut]
        if dt.header_ends_within(prefix, **encoding):
            assert header_rows(dt.parse_encoded(prefix, **encoding)[2]) == full, cut
            first_claim = cut if first_claim is None else first_claim
    has_pixels = len(full) < len(dt.parse_encoded(dataset, **encoding)[2])
    assert (first_claim is not None) == has_pixels

"""Agreement with pydicom on the DICOM files shipped with it, and robustness on everything else.

The test-only module copies every input into an exactly-sized heap block, so a read past the end shows
under AddressSanitizer: ``scripts/sanitize tests/dicom`` runs this suite against an ASan+UBSan build.
"""

import warnings
from pathlib import Path

import pydicom
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from pydicom.dataelem import RawDataElement
from pydicom.multival import MultiValue

import _dicom_testing as dt
from helpers import dicom_writer as w

TEST_FILES = Path(pydicom.__file__).parent / "data" / "test_files"
ALL_FILES = sorted(p for p in TEST_FILES.rglob("*") if p.is_file())
STRING_VRS = set("AE AS CS DA DS DT IS LO LT PN SH ST TM UC UI UR UT".split())
# Transfer syntaxes whose datasets the little-endian reading below does not decode: big-endian data
# must be byte-swapped and deflated data inflated, which locating the dataset first does.
UNDECODED_SYNTAXES = {b"1.2.840.10008.1.2.2": "big endian", b"1.2.840.10008.1.2.1.99": "deflated"}


def read_with_pydicom(path: Path):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            dataset = pydicom.dcmread(path)
            keys = [int(tag) for tag in dataset.keys()]
    except Exception:  # pydicom refuses it without force=True
        return None
    return dataset, keys


PYDICOM_READABLE = [p for p in ALL_FILES if read_with_pydicom(p) is not None]


def transfer_syntax(path: Path) -> bytes:
    return dt.read_file_meta(path.read_bytes())["transfer_syntax_uid"]


DECODED = [p for p in PYDICOM_READABLE if transfer_syntax(p) not in UNDECODED_SYNTAXES]
UNDECODED = [p for p in PYDICOM_READABLE if transfer_syntax(p) in UNDECODED_SYNTAXES]


def ids(paths):
    return [str(p.relative_to(TEST_FILES)) for p in paths]


def read(data: bytes):
    meta = dt.read_file_meta(data)
    if meta["status"] != "ok":
        return meta, None, None
    explicit_vr = not dt.is_implicit_vr_little_endian(meta["transfer_syntax_uid"])
    dataset = data[meta["dataset_offset"]:]
    return meta, dataset, explicit_vr


def pydicom_text(element) -> bytes | None:
    value = element.value
    if isinstance(element, RawDataElement):
        return value
    if isinstance(value, MultiValue):
        return "\\".join(str(v) for v in value).encode()
    if isinstance(value, str):
        return value.encode()
    return None


def trimmed(value: bytes) -> bytes:
    return value.rstrip(b"\0 ").lstrip(b" ")


def test_the_corpus_is_there():
    assert len(PYDICOM_READABLE) > 100 and len(ALL_FILES) > len(PYDICOM_READABLE)


@pytest.mark.parametrize("path", DECODED, ids=ids(DECODED))
def test_top_level_tags_and_texts_match_pydicom(path):
    dataset, keys = read_with_pydicom(path)
    meta, data, explicit_vr = read(path.read_bytes())
    assert meta["status"] == "ok"
    _, rows = dt.parse_dataset(data, explicit_vr)
    assert [row[0] for row in rows] == keys
    compared = 0
    for tag in keys:
        element = dataset.get_item(tag)
        expected = pydicom_text(element)
        if element.VR not in STRING_VRS or expected is None:
            continue
        assert dt.find_text(data, explicit_vr, tag) == trimmed(expected), f"({tag >> 16:04X},{tag & 0xFFFF:04X})"
        compared += 1
    assert compared > 0 or not any(dataset.get_item(t).VR in STRING_VRS for t in keys)


@pytest.mark.parametrize("path", UNDECODED, ids=ids(UNDECODED))
def test_big_endian_and_deflated_files_list_the_elements_pydicom_reads(path):
    dataset, keys = read_with_pydicom(path)
    located = dt.locate_dataset(path.read_bytes())
    assert located["status"] == "ok"
    big_endian = located["big_endian"]
    _, _, rows = dt.parse_encoded(located["dataset"], implicit_vr=located["implicit_vr"], big_endian=big_endian)
    assert [row[0] for row in rows] == keys
    check_rows(located["dataset"], rows)


def check_rows(data: bytes, rows) -> None:
    for tag, vr, length, offset in rows:
        assert length != 0xFFFFFFFF
        assert offset + length <= len(data)


@pytest.mark.parametrize("path", ALL_FILES, ids=ids(ALL_FILES))
def test_every_file_goes_through_in_every_reading(path):
    raw = path.read_bytes()
    meta, data, explicit_vr = read(raw)
    assert meta["status"] in {"ok", "no_magic", "truncated", "bad_header", "missing_uid"}
    if data is not None:
        result, rows = dt.parse_dataset(data, explicit_vr)
        assert result in (0, 1)
        check_rows(data, rows)
    # Also read the raw bytes as datasets of either kind, from the start and after the preamble.
    for start in (0, 128, 132):
        for explicit in (True, False):
            check_rows(raw[start:], dt.parse_dataset(raw[start:], explicit)[1])


TRUNCATED = ["rtplan.dcm", "test-SR.dcm", "SC_rgb_jpeg.dcm", "nested_priv_SQ.dcm", "UN_sequence.dcm"]


@pytest.mark.parametrize("name", TRUNCATED)
def test_every_truncation_goes_through(name):
    raw = (TEST_FILES / name).read_bytes()
    for size in range(len(raw) + 1):
        cut = raw[:size]
        meta, data, explicit_vr = read(cut)
        if data is not None:
            result, rows = dt.parse_dataset(data, explicit_vr)
            check_rows(data, rows)


def test_truncation_keeps_every_element_that_ends_before_the_cut():
    raw = (TEST_FILES / "rtplan.dcm").read_bytes()
    meta, data, explicit_vr = read(raw)
    _, full = dt.parse_dataset(data, explicit_vr)
    assert len(full) > 20
    for index, (_, _, length, offset) in enumerate(full):
        kept = dt.parse_dataset(data[:offset + length], explicit_vr)[1]
        assert kept[:index + 1] == full[:index + 1]


def sample_file() -> bytes:
    items = [w.item(w.explicit(0x00081150, "UI", w.uid("1.2.840.10008.5.1.4.1.1.2")), w.UNDEFINED),
             w.item(w.explicit(0x00081155, "UI", w.uid("1.2.3.4")))]
    dataset = (w.explicit(0x00080060, "CS", "CT") + w.sequence(0x00081115, items)
               + w.explicit(0x00090010, "LO", w.text("SIEMENS MEDCOM HEADER"))
               + w.explicit(0x00091040, "UN", w.item(w.explicit(0x00100010, "PN", "A^B ")))
               + w.explicit(0x00100010, "PN", w.text("Doe^Jane")) + w.explicit(0x0020000D, "UI", w.uid("1.2.3"))
               + w.explicit(0x7FE00010, "OB", w.item(b"") + w.item(b"\1\2") + w.sequence_delimiter(), w.UNDEFINED))
    return w.part10(dataset)


SAMPLE = sample_file()


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(st.integers(0, len(SAMPLE) - 1), st.integers(0, 255)), max_size=8),
       st.integers(0, len(SAMPLE)))
def test_mutated_files_go_through(mutations, size):
    data = bytearray(SAMPLE)
    for offset, byte in mutations:
        data[offset] = byte
    cut = bytes(data[:size])
    meta, dataset, explicit_vr = read(cut)
    if dataset is not None:
        check_rows(dataset, dt.parse_dataset(dataset, explicit_vr)[1])


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=300), st.booleans())
def test_random_bytes_go_through(data, explicit_vr):
    result, rows = dt.parse_dataset(data, explicit_vr)
    assert result in (0, 1)
    check_rows(data, rows)
    dt.looks_like_sequence(data, not explicit_vr)
    assert dt.skip_element(data, not explicit_vr) <= len(data)
    end = dt.find_item_end(data, not explicit_vr)
    assert end is None or end + 4 <= len(data)
    if len(data) >= 4:
        consumed, vr, length = dt.read_element_header(data[4:], 0x0009, 0x1010, not explicit_vr)
        assert consumed in (0, 4, 8)

"""zanthe.dicom.attributes: the DICOM JSON model equal to pydicom's Dataset.to_json_dict on pydicom's own
files, the command line and the MCP tool that show it, and hostile bytes that end in a clear result."""

import io
import json
import math
import os
import warnings
import zlib
from pathlib import Path

import jsonschema
import pydicom
import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st
from pydicom import config
from pydicom.data import get_charset_files
from pydicom.hooks import hooks, raw_element_vr

from helpers import dicom_writer as w
from zanthe import cli
from zanthe._fhir import NotDicomError
from zanthe.dicom import attributes
from zanthe.mcp import build_server

DATA = Path(pydicom.__file__).parent / "data"
TEST_FILES = DATA / "test_files"
# Datasets without a meta group, which pydicom reads only when forced.
BARE_DATASETS = ["ExplVR_BigEndNoMeta.dcm", "ExplVR_LitEndNoMeta.dcm", "rtstruct.dcm"]
LEFT_OUT = "left out"


def pydicom_reads(path: Path) -> bool:
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            pydicom.dcmread(path).to_json_dict()
    except Exception:  # not DICOM to pydicom, or a value it cannot convert (badVR.dcm)
        return False
    return True


CORPUS = [p for p in sorted(TEST_FILES.rglob("*")) if p.is_file() and pydicom_reads(p)]
CORPUS += [Path(p) for p in sorted(get_charset_files()) if pydicom_reads(Path(p))]
CORPUS += [TEST_FILES / name for name in BARE_DATASETS]


def name_of(path: Path) -> str:
    return str(path.relative_to(DATA))


def unknown_private_vrs(raw, data, **kwargs):
    """pydicom's VR lookup, but with no private dictionary: our dictionary knows no private VRs (only
    which private elements are sequences), so a private element without a written VR stays UN."""
    raw_element_vr(raw, data, **kwargs)
    tag = raw.tag
    if raw.VR in (None, "UN") and tag.is_private and not tag.is_private_creator and data["VR"] not in ("SQ", "UN"):
        data["VR"] = "UN"


@pytest.fixture(scope="module")
def reference():
    """pydicom's JSON model with bulk data left out: its bulk data handler marks each binary value
    longer than the limit, and the mark is dropped, leaving the attribute its VR alone. A binary number
    whose length is no multiple of its size is kept as UN bytes, as convert_wrong_length_to_UN does."""
    hooks.register_callback("raw_element_vr", unknown_private_vrs)
    wrong_length_to_un, config.convert_wrong_length_to_UN = config.convert_wrong_length_to_UN, True

    def model(source: Path | bytes, inline_limit: int) -> dict:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if isinstance(source, bytes):
                dataset = pydicom.dcmread(io.BytesIO(source))
            else:
                dataset = pydicom.dcmread(source, force=source.name in BARE_DATASETS)
            return without_bulk_data(
                dataset.to_json_dict(bulk_data_threshold=inline_limit, bulk_data_element_handler=lambda e: LEFT_OUT)
            )

    yield model
    hooks.register_callback("raw_element_vr", raw_element_vr)
    config.convert_wrong_length_to_UN = wrong_length_to_un


def without_bulk_data(dataset: dict) -> dict:
    """Also: JSON has no NaN or Infinity, which pydicom writes for such FL and FD values; they are null."""
    for attribute in dataset.values():
        if attribute.pop("BulkDataURI", LEFT_OUT) != LEFT_OUT:
            raise AssertionError("a bulk data reference that is not ours")
        if attribute["vr"] == "SQ":
            for item in attribute["Value"]:
                without_bulk_data(item)
        elif attribute["vr"] in ("FL", "FD") and "Value" in attribute:
            attribute["Value"] = [v if math.isfinite(v) else None for v in attribute["Value"]]
    return dataset


def without_damaged_item(model: dict) -> dict:
    """rtplan_truncated.dcm ends inside a DS value of its last control point: pydicom keeps the bytes
    to the end, the tolerant reader the value's plausible prefix and then what the rest reads as.
    Everything before that item must agree."""
    control_points = model["300A00B0"]["Value"][-1]["300A0111"]["Value"]
    control_points.pop()
    return model


DAMAGED = {"rtplan_truncated.dcm": without_damaged_item}


def ours(path: Path, inline_limit: int) -> dict:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return attributes(path, inline_limit=inline_limit)


@pytest.mark.parametrize("path", CORPUS, ids=name_of)
def test_every_pydicom_file_gives_pydicoms_json_model(path, reference):
    expected, found = reference(path, 1024), ours(path, 1024)
    repair = DAMAGED.get(path.name)
    if repair:
        expected, found = repair(expected), repair(found)
    assert found == expected


# MR_small.dcm's Pixel Data is 8192 bytes: 10924 base64 characters.
@pytest.mark.parametrize("inline_limit", [0, 3, 4, 10923, 10924, 1 << 30])
@pytest.mark.parametrize("name", ["MR_small.dcm", "MR_small_bigendian.dcm", "image_dfl.dcm", "waveform_ecg.dcm"])
def test_binary_values_are_inline_exactly_up_to_the_limit(name, inline_limit, reference):
    path = TEST_FILES / name
    found = ours(path, inline_limit)
    assert found == reference(path, inline_limit)
    for attribute in found.values():
        assert len(attribute.get("InlineBinary", "")) <= inline_limit


def test_a_path_bytes_and_a_memoryview_read_alike():
    path = TEST_FILES / "CT_small.dcm"
    data = path.read_bytes()
    from_path = attributes(path)
    assert attributes(data) == from_path == attributes(memoryview(bytearray(data))) == attributes(str(path))
    assert "00020010" not in from_path and from_path["00100010"] == {"vr": "PN", "Value": [{"Alphabetic": "CompressedSamples^CT1"}]}
    assert list(from_path) == sorted(from_path)


def test_items_are_decoded_by_the_character_set_they_declare():
    model = attributes(DATA / "charset_files" / "chrSQEncoding.dcm")  # UTF-8 outside, JIS in the item
    assert model["00080005"]["Value"] == ["ISO_IR 192"]
    names = [item["00100010"]["Value"][0] for item in model["00321064"]["Value"]]
    assert names == [{"Alphabetic": "ﾔﾏﾀﾞ^ﾀﾛｳ", "Ideographic": "山田^太郎", "Phonetic": "やまだ^たろう"}]


# Generated datasets: values of every kind, trimmed, split and converted as pydicom does, in each encoding.

TEXT_TAGS = [(0x00080020, "DA"), (0x00080030, "TM"), (0x00080050, "SH"), (0x00080054, "AE"), (0x00080060, "CS"),
             (0x00081030, "LO"), (0x00081190, "UR"), (0x00100010, "PN"), (0x00180050, "DS"), (0x00200013, "IS"),
             (0x0020000D, "UI"), (0x00204000, "LT"), (0x00321066, "UT")]  # fmt: skip
NUMBER_TAGS = [(0x00280010, "US", 2), (0x00189219, "SS", 2), (0x00209128, "UL", 4), (0x00186020, "SL", 4),
               (0x00209241, "FL", 4), (0x00189087, "FD", 8), (0x00209165, "AT", 4), (0x00420011, "OB", 1),
               (0x00660023, "OW", 2)]  # fmt: skip
ALPHABET = b"AZ09 .\\^=+-e\0\xe9"
VALUE_BYTES = st.binary(max_size=14).map(lambda b: bytes(ALPHABET[x % len(ALPHABET)] for x in b))
# Not ISO_IR 192: of a value declared UTF-8 that is not, the character set module keeps the bytes as
# Latin-1 where pydicom puts U+FFFD (UTF-8 itself is in the corpus).
CHARACTER_SETS = ["", "ISO_IR 100", "ISO_IR 144", "\\ISO 2022 IR 100"]
SYNTAXES = {w.EXPLICIT_LE: (True, False), w.IMPLICIT_LE: (False, False), w.EXPLICIT_BE: (True, True)}


@st.composite
def elements(draw, explicit_vr: bool, big_endian: bool, depth: int = 0) -> bytes:
    def one(tag: int, vr: str, value: bytes) -> bytes:
        if explicit_vr:
            return w.explicit(tag, vr, value, big_endian=big_endian)
        return w.implicit(tag, value)

    found = {}
    if draw(st.booleans()):
        found[0x00080005] = one(0x00080005, "CS", w.text(draw(st.sampled_from(CHARACTER_SETS))))
    # Smallest Image Pixel Value is US or SS by the Pixel Representation in force (items: see below).
    if depth == 0 and draw(st.booleans()):
        found[0x00280103] = one(0x00280103, "US", draw(st.sampled_from([b"\0\0", b"\1\0", b"\0\1"])))
    if depth == 0 and draw(st.booleans()):
        found[0x00280106] = one(0x00280106, "SS" if draw(st.booleans()) else "US", draw(st.binary(min_size=2, max_size=2)))
    if draw(st.booleans()):  # a private block: its creator and an element of it, written UN or LO
        found[0x00090010] = one(0x00090010, "LO", w.text("ACME 1.0"))
        found[0x00091001] = one(0x00091001, draw(st.sampled_from(["UN", "LO"])), w.text(draw(VALUE_BYTES)))
    for tag, vr in draw(st.lists(st.sampled_from(TEXT_TAGS), max_size=5)):
        found[tag] = one(tag, vr, w.text(draw(VALUE_BYTES), b"\0" if vr == "UI" else b" "))
    for tag, vr, size in draw(st.lists(st.sampled_from(NUMBER_TAGS), max_size=4)):
        found[tag] = one(tag, vr, draw(st.binary(max_size=24).map(lambda b, n=size: b[: len(b) // (2 * n) * 2 * n])))
    if depth < 2 and draw(st.booleans()):
        items = [w.item(draw(elements(explicit_vr, big_endian, depth + 1)), w.UNDEFINED if draw(st.booleans()) else None,
                        big_endian=big_endian)
                 for _ in range(draw(st.integers(0, 2)))]  # fmt: skip
        found[0x00081115] = w.sequence(0x00081115, items, explicit_vr=explicit_vr, undefined=draw(st.booleans()),
                                       big_endian=big_endian)  # fmt: skip
    return b"".join(found[tag] for tag in sorted(found))


@st.composite
def files(draw) -> bytes:
    syntax = draw(st.sampled_from(sorted(SYNTAXES)))
    explicit_vr, big_endian = SYNTAXES[syntax]
    return w.part10(draw(elements(explicit_vr, big_endian)), transfer_syntax=syntax)


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(data=files(), inline_limit=st.sampled_from([0, 4, 16, 1024]))
def test_generated_datasets_give_pydicoms_json_model(reference, data, inline_limit):
    try:
        expected = reference(data, inline_limit)
    except Exception:  # a value pydicom cannot convert: its JSON is not defined
        assume(False)
    assert attributes(data, inline_limit=inline_limit) == expected


@pytest.mark.parametrize("undefined", [False, True])
def test_items_read_us_or_ss_by_the_nearest_pixel_representation(reference, undefined):
    """pydicom agrees for a sequence of defined length; one of undefined length it reads with the file,
    before the Pixel Representation beside it is known to the items, so there it takes US."""
    smallest = w.implicit(0x00280106, b"\xff\xff")
    dataset = w.sequence(0x00081115, [w.item(smallest)], explicit_vr=False, undefined=undefined)
    data = w.part10(dataset + w.implicit(0x00280103, b"\1\0") + smallest, transfer_syntax=w.IMPLICIT_LE)
    model = attributes(data)
    assert model["00280106"] == model["00081115"]["Value"][0]["00280106"] == {"vr": "SS", "Value": [-1]}
    if not undefined:
        assert model == reference(data, 1024)


# ---------------------------------------------------------------------------------------------------
# Hostile bytes

PATIENT = w.explicit(0x00100010, "PN", w.text("Doe^Jane"))


def nested(depth: int) -> bytes:
    content = PATIENT
    for _ in range(depth):
        content = w.sequence(0x00081115, [w.item(content, w.UNDEFINED)])
    return content


def depth_of(model: dict) -> int:
    items = model.get("00081115", {}).get("Value", [])
    return 1 + max((depth_of(item) for item in items), default=0) if items else 0


def test_deep_nesting_stops_at_its_bound_with_a_warning():
    with pytest.warns(UserWarning, match="nested too deep"):
        model = attributes(w.part10(nested(200)))
    assert depth_of(model) == 33  # items of 32 sequences read, those of the 33rd left empty


def test_nesting_within_the_bound_reads_whole():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = attributes(w.part10(nested(30)))
    assert depth_of(model) == 30


@pytest.mark.parametrize(
    "dataset, warning, kept",
    [
        # An item claiming more bytes than its sequence holds.
        (w.sequence(0x00081115, [w.item_header(1000) + PATIENT], undefined=False), "item runs past", "00081115"),
        # A sequence holding something other than items.
        (w.explicit(0x00081115, "SQ", PATIENT), "other than items", "00081115"),
        # A header cut short by the end of the data.
        (PATIENT + b"\x10\x00\x20\x00LO", "cut short", "00100010"),
    ],
)
def test_damaged_structure_gives_what_was_read_and_says_why(dataset, warning, kept):
    with pytest.warns(UserWarning, match=warning):
        model = attributes(w.part10(dataset))
    assert kept in model


def test_a_value_running_past_the_end_keeps_its_plausible_part():
    model = attributes(w.part10(PATIENT + w.explicit(0x00100020, "LO", b"ID12", length=1000)))
    assert model == {"00100010": {"vr": "PN", "Value": [{"Alphabetic": "Doe^Jane"}]},
                     "00100020": {"vr": "LO", "Value": ["ID12"]}}  # fmt: skip


def test_a_broken_deflate_stream_keeps_what_inflated():
    deflater = zlib.compressobj(wbits=-15)
    comments = w.explicit(0x00204000, "LT", w.text(os.urandom(3000).hex()))
    stream = deflater.compress(PATIENT + comments) + deflater.flush()
    data = w.part10(stream[: len(stream) // 2], transfer_syntax=w.DEFLATED_LE)
    with pytest.warns(UserWarning, match="deflated stream breaks off"):
        model = attributes(data)
    assert model["00100010"]["Value"] == [{"Alphabetic": "Doe^Jane"}]


@pytest.mark.parametrize("data", [b"", b"\0" * 300, os.urandom(4096), b"DICM" * 100], ids=["empty", "zeros", "random", "magic"])
def test_bytes_that_hold_no_dataset_raise_not_dicom(data):
    with pytest.raises(NotDicomError, match="dicom.attributes"):
        attributes(data)


def test_values_pydicom_cannot_convert_are_kept():
    dataset = (w.explicit(0x00180050, "DS", w.text("1.5\\\\abc")) + w.explicit(0x00200013, "IS", w.text("7\\2.9"))
               + w.explicit(0x00189087, "FD", bytes(12)) + PATIENT.replace(b"Doe^Jane", b"Do\\\\Jane"))  # fmt: skip
    model = attributes(w.part10(dataset))
    assert model["00180050"]["Value"] == [1.5, None, "abc"]
    assert model["00200013"]["Value"] == [7, 2]
    assert model["00189087"] == {"vr": "UN", "InlineBinary": "AAAAAAAAAAAAAAAA"}
    assert model["00100010"]["Value"] == [{"Alphabetic": "Do"}, None, {"Alphabetic": "Jane"}]


# ---------------------------------------------------------------------------------------------------
# The command line and the MCP tool


def test_zanthe_dicom_tags_prints_the_model(capsys):
    path = TEST_FILES / "MR_small.dcm"
    assert cli.main(["dicom", "tags", str(path), "--inline-limit", "0"]) == 0
    captured = capsys.readouterr()
    assert (json.loads(captured.out), captured.err) == (attributes(path, inline_limit=0), "")


@pytest.mark.parametrize(
    "data, code, message",
    [(b"not dicom", 1, "neither file meta"), (w.part10(nested(40)), 1, "read in part: dicom.attributes: sequences")],
)
def test_zanthe_dicom_tags_reports_failures(tmp_path, capsys, data, code, message):
    (tmp_path / "f.dcm").write_bytes(data)
    assert cli.main(["dicom", "tags", str(tmp_path / "f.dcm")]) == code
    assert message in capsys.readouterr().err


def test_the_mcp_tool_gives_the_model_of_a_confined_file(tmp_path):
    (tmp_path / "ct.dcm").write_bytes((TEST_FILES / "CT_small.dcm").read_bytes())
    server = build_server([tmp_path])
    code, output = server.dispatch("dicom_attributes", {"path": "ct.dcm", "inline_limit": 8})
    assert code == 0 and json.loads(output) == attributes(tmp_path / "ct.dcm", inline_limit=8)
    schema = next(d["outputSchema"] for d in map(json.loads, (d for _, d, _ in server.tool_table()))
                  if d["name"] == "dicom_attributes")  # fmt: skip
    jsonschema.Draft202012Validator(schema).validate(json.loads(output))
    assert server.dispatch("dicom_attributes", {"path": "../x.dcm"})[0] == 1

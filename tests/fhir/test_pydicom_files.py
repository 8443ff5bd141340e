"""Every file shipped in pydicom's test data: a documented outcome, valid R4 JSON, the same values pydicom reads."""

import json
from pathlib import Path

import pydicom
import pytest
from fhir.resources.R4B.imagingstudy import ImagingStudy
from hypothesis import given, settings
from hypothesis import strategies as st
from pydicom.multival import MultiValue

from zanthe import _fhir

PYDICOM_DATA = Path(pydicom.__file__).parent / "data"
TEST_FILES = sorted(
    p for folder in ("test_files", "charset_files") for p in (PYDICOM_DATA / folder).rglob("*") if p.is_file()
)
DOCUMENTED_ERRORS = {
    "fhir.imaging_study: no readable DICOM dataset",
    "fhir.imaging_study: missing StudyInstanceUID (0020,000D)",
    "fhir.imaging_study: arena_out_of_space",
    "fhir.imaging_study emit: buffer_too_small",
    "fhir.imaging_study: deflated dataset cannot be inflated (corrupt stream)",
}
UNSUPPORTED_SYNTAX = "fhir.imaging_study: unsupported transfer syntax "


def is_documented(error: RuntimeError) -> bool:
    return str(error) in DOCUMENTED_ERRORS or str(error).startswith(UNSUPPORTED_SYNTAX)


def convert(path, timezone=None):
    """The JSON text, or None when the conversion raised one of the documented errors."""
    try:
        return _fhir.imaging_study(path.read_bytes(), timezone=timezone)
    except RuntimeError as error:
        assert is_documented(error), error
    return None


def test_the_pydicom_test_files_are_there():
    assert len(TEST_FILES) > 100


@pytest.mark.parametrize("path", TEST_FILES, ids=lambda p: p.name)
def test_with_a_time_zone_converts_to_a_valid_imaging_study_or_fails_as_documented(path):
    text = convert(path, timezone="+01:00")
    if text is None:
        return
    assert _fhir.imaging_study(path.read_bytes(), timezone="+01:00") == text
    ImagingStudy.model_validate_json(text)


def pydicom_text(ds, keyword):
    """The value as our reader keeps it: multiple values joined by backslashes, padding trimmed."""
    value = ds[keyword].value if keyword in ds else None
    if value is None:
        return ""
    text = "\\".join(str(v) for v in value) if isinstance(value, MultiValue) else str(value)
    return text.rstrip(" \0").lstrip(" ")


def identifier_value(out, use):
    return next((i["value"] for i in out["identifier"] if i["use"] == use), "")


@pytest.mark.parametrize("path", TEST_FILES, ids=lambda p: p.name)
def test_identifiers_and_codes_equal_what_pydicom_reads(path):
    text = convert(path)
    if text is None:
        return
    ds = pydicom.dcmread(path, force=True)
    out = json.loads(text)
    study_uid = pydicom_text(ds, "StudyInstanceUID")
    assert identifier_value(out, "official") == "urn:oid:" + study_uid.removeprefix("urn:oid:")
    assert out.get("id", "") == study_uid.removeprefix("urn:oid:")
    assert identifier_value(out, "usual") == pydicom_text(ds, "AccessionNumber")
    patient_id = pydicom_text(ds, "PatientID")
    assert out["subject"] == ({"reference": "Patient/" + patient_id} if patient_id else {})
    modality = pydicom_text(ds, "Modality")
    assert [c["code"] for c in out.get("modality", [])] == ([modality] if modality else [])

    series_uid = pydicom_text(ds, "SeriesInstanceUID")
    if not (series_uid and modality):
        assert "series" not in out
        return
    [series] = out["series"]
    assert (series["uid"], series["modality"]["code"]) == (series_uid, modality)
    sop_instance, sop_class = pydicom_text(ds, "SOPInstanceUID"), pydicom_text(ds, "SOPClassUID")
    expected = [(sop_instance, sop_class)] if sop_instance and sop_class else []
    assert [(i["uid"], i["sopClass"]["code"]) for i in series.get("instance", [])] == expected


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(TEST_FILES), st.data())
def test_damaged_files_still_end_in_json_or_a_documented_error(path, data):
    original = path.read_bytes()[:4096]
    damaged = bytearray(original[:data.draw(st.integers(0, len(original)), label="cut")])
    for _ in range(data.draw(st.integers(0, 8), label="flips")):
        if damaged:
            damaged[data.draw(st.integers(0, len(damaged) - 1))] = data.draw(st.integers(0, 255))
    try:
        text = _fhir.imaging_study(bytes(damaged))
    except RuntimeError as error:
        assert is_documented(error), error
    else:
        assert json.loads(text)["resourceType"] == "ImagingStudy"


CHARSET_FILES = sorted((PYDICOM_DATA / "charset_files").glob("*.dcm"))


@pytest.mark.parametrize("path", CHARSET_FILES, ids=lambda p: p.name)
def test_names_copied_into_description_and_referrer_read_as_pydicom_decodes_them(path):
    import io

    from pydicom.dataelem import DataElement

    ds = pydicom.dcmread(path)
    if "PatientName" not in ds:
        pytest.skip("no patient name to copy")
    raw = ds.get_item(0x00100010).value  # the name's bytes, in the file's character set
    ds[0x00081030] = DataElement(0x00081030, "LO", raw)
    ds[0x00080090] = DataElement(0x00080090, "PN", raw)
    written = io.BytesIO()
    ds.save_as(written)
    back = pydicom.dcmread(io.BytesIO(written.getvalue()))
    out = json.loads(_fhir.imaging_study(written.getvalue(), timezone="Z"))
    assert out["description"] == back.StudyDescription
    name = back.ReferringPhysicianName
    shown = name.family_name + (f", {name.given_name}" if name.given_name else "")
    shown += f" {name.middle_name}" if name.middle_name else ""
    assert out.get("referrer", {}).get("display", "") == shown

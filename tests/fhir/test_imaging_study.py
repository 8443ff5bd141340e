"""zanthe._fhir.imaging_study: Part 10 bytes in, ImagingStudy JSON text out, documented failures."""

import json

import pytest
from fhir.resources.R4B.imagingstudy import ImagingStudy
from fhir_part10 import DCM, FULL_STUDY, SNOMED, V2_0203, part10
from helpers import dicom_writer as w
from hypothesis import given, settings
from hypothesis import strategies as st

from zanthe import _fhir

NO_DATASET = "fhir.imaging_study: no readable DICOM dataset"
NO_STUDY_UID = "fhir.imaging_study: missing StudyInstanceUID (0020,000D)"
DOC = ("DICOM instance bytes -> FHIR R4 ImagingStudy JSON string (contained Patient). Over tolvane; "
       "single-instance (one series/instance) for now.")
MiB = 1 << 20


def convert(data):
    return json.loads(_fhir.imaging_study(data))


def raises(data, message):
    with pytest.raises(RuntimeError) as caught:
        _fhir.imaging_study(data)
    assert str(caught.value) == message


SIGNATURE = ("imaging_study(part10_bytes: collections.abc.Buffer, *, "
             "timezone: str | collections.abc.Sequence[tuple[str, str]] | None = None) -> str")


def test_signature_and_doc_string():
    assert _fhir.imaging_study.__doc__ == SIGNATURE + "\n\n" + DOC


@pytest.mark.parametrize("argument", ["text", memoryview(b"DICM")[::2], None, 7])
def test_only_contiguous_buffers_are_accepted(argument):
    with pytest.raises(TypeError):
        _fhir.imaging_study(argument)


def test_every_contiguous_buffer_gives_what_bytes_give(tmp_path):
    import mmap

    data = part10(FULL_STUDY)
    (tmp_path / "f.dcm").write_bytes(data)
    with open(tmp_path / "f.dcm", "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        buffers = [bytearray(data), memoryview(data), memoryview(bytearray(data))[:], mapped]
        assert {_fhir.imaging_study(b) for b in buffers} == {_fhir.imaging_study(data)}


def test_bytes_subclass_and_keyword_argument_are_accepted():
    class Part10(bytes):
        pass

    data = part10({"StudyInstanceUID": "1.2.3"})
    assert _fhir.imaging_study(part10_bytes=Part10(data)) == _fhir.imaging_study(data)
    assert isinstance(_fhir.imaging_study(data), str)


@pytest.mark.parametrize("implicit", [False, True])
def test_full_study(implicit):
    v = FULL_STUDY
    assert convert(part10(v, implicit=implicit)) == {
        "resourceType": "ImagingStudy",
        "id": v["StudyInstanceUID"],
        "identifier": [
            {"use": "official", "system": "urn:dicom:uid", "value": "urn:oid:" + v["StudyInstanceUID"]},
            {"use": "usual", "system": V2_0203, "value": v["AccessionNumber"]},
            {"use": "secondary", "value": v["StudyID"]},
        ],
        "status": "available",
        "modality": [{"system": DCM, "code": v["Modality"]}],
        "subject": {"reference": "Patient/" + v["PatientID"]},
        "started": "2024-01-31T09:30:00",
        "referrer": {"display": "Doe, John Q"},
        "numberOfSeries": 1,
        "numberOfInstances": 1,
        "description": v["StudyDescription"],
        "series": [{
            "uid": v["SeriesInstanceUID"],
            "modality": {"system": DCM, "code": v["Modality"]},
            "description": v["SeriesDescription"],
            "bodySite": {"system": DCM, "code": v["BodyPartExamined"]},
            "laterality": {"system": SNOMED, "code": "419465000", "display": "Right"},
            "started": "2024-01-31T09:31:00",
            "instance": [{"uid": v["SOPInstanceUID"],
                          "sopClass": {"system": "urn:ietf:rfc:3986", "code": v["SOPClassUID"]}}],
        }],
    }


def test_study_uid_alone_gives_the_minimal_study():
    assert _fhir.imaging_study(part10({"StudyInstanceUID": "1.2.3"})) == (
        '{"resourceType":"ImagingStudy","id":"1.2.3","identifier":[{"use":"official","system":"urn:dicom:uid",'
        '"value":"urn:oid:1.2.3"}],"status":"available","subject":{},"numberOfSeries":0,"numberOfInstances":0}')


@pytest.mark.parametrize("data", [
    b"",
    b"\0" * 131,
    b"\0" * 128 + b"DICM" + b"\0" * 4,
    b"\0" * 200,
    w.part10(b""),  # ends right after the meta group
])
def test_unreadable_file_meta_or_no_dataset(data):
    raises(data, NO_DATASET)


@pytest.mark.parametrize("dataset", [
    w.explicit(0x00080060, "CS", w.text("CT")),
    w.explicit(0x0020000D, "UI", b"    "),
    w.explicit(0x0020000D, "UI", b"\0\0"),
    w.explicit(0x0020000D, "UI", b""),
])
def test_missing_or_blank_study_uid(dataset):
    raises(w.part10(dataset), NO_STUDY_UID)


def test_values_are_trimmed():
    data = w.part10(w.explicit(0x00080050, "SH", b"  A1  ") + w.explicit(0x0020000D, "UI", b" 1.2.3\0"))
    out = convert(data)
    assert out["id"] == "1.2.3"
    assert out["identifier"][1]["value"] == "A1"


def test_series_needs_series_uid_and_modality():
    sop = {"SOPInstanceUID": "1.2.3.9", "SOPClassUID": "1.2.840.10008.5.1.4.1.1.2"}
    without_modality = convert(part10({"StudyInstanceUID": "1.2.3", "SeriesInstanceUID": "1.2.3.4", **sop}))
    assert "series" not in without_modality and without_modality["numberOfSeries"] == 0
    assert without_modality["numberOfInstances"] == 0
    without_uid = convert(part10({"StudyInstanceUID": "1.2.3", "Modality": "MR", **sop}))
    assert "series" not in without_uid and without_uid["modality"] == [{"system": DCM, "code": "MR"}]


@pytest.mark.parametrize("missing", ["SOPInstanceUID", "SOPClassUID"])
def test_instance_needs_both_sop_uids(missing):
    values = {k: v for k, v in FULL_STUDY.items() if k != missing}
    out = convert(part10(values))
    assert "instance" not in out["series"][0]
    assert (out["numberOfSeries"], out["numberOfInstances"]) == (1, 0)


# An implicit VR element of length 0x4955 has the letters "UI" where an explicit VR would be, so the
# dataset reads differently in the two encodings.
AMBIGUOUS = w.implicit(0x0020000D, w.uid("1.2.3")) + w.implicit(0x00081030, b"A" * 0x4955)


@pytest.mark.parametrize(("transfer_syntax", "implicit"), [
    (w.IMPLICIT_LE, True), ("1.2.840.10008.1.2\0", True), ("1.2.840.10008.1.2 ", True),
    (w.EXPLICIT_LE, False), (None, False), ("1.2.840.10008.1.2.99", False),
])
def test_transfer_syntax_chooses_implicit_vr_only_for_implicit_little_endian(transfer_syntax, implicit):
    out = convert(w.part10(AMBIGUOUS, transfer_syntax))
    assert (out.get("description") == "A" * 0x4955) == implicit


def test_long_study_uid_exhausts_the_arena():
    raises(w.part10(w.implicit(0x0020000D, "1" * 70000), w.IMPLICIT_LE), "fhir.imaging_study: arena_out_of_space")


def test_long_study_uid_with_oid_prefix_fits():
    out = convert(w.part10(w.implicit(0x0020000D, "urn:oid:" + "1" * 70000), w.IMPLICIT_LE))
    assert out["id"] == "1" * 70000


def with_description(size):
    return w.part10(w.implicit(0x0020000D, w.uid("1.2.3")) + w.implicit(0x00081030, b"x" * size), w.IMPLICIT_LE)


def test_output_grows_up_to_eight_mebibytes_and_no_further():
    frame = len(_fhir.imaging_study(with_description(2))) - 2
    assert len(_fhir.imaging_study(with_description(20000))) == frame + 20000
    assert len(_fhir.imaging_study(with_description(8 * MiB - frame))) == 8 * MiB
    raises(with_description(8 * MiB - frame + 1), "fhir.imaging_study emit: buffer_too_small")


def test_escaped_text_counts_at_its_escaped_width():
    data = w.part10(w.implicit(0x0020000D, w.uid("1.2.3")) + w.implicit(0x00081030, b"\x01" * (2 * MiB)),
                    w.IMPLICIT_LE)
    raises(data, "fhir.imaging_study emit: buffer_too_small")  # 6 output bytes per input byte


@pytest.mark.parametrize("keyword", ["ReferringPhysicianName", "StudyDescription", "AccessionNumber"])
def test_text_in_a_declared_character_set_is_converted_to_utf8(keyword):
    values = {"StudyInstanceUID": "1.2.3", keyword: "Müller^Hans"}
    data = part10(values, charset="ISO_IR 100")
    assert "Müller".encode("latin-1") in data
    out = convert(data)
    shown = {"ReferringPhysicianName": out.get("referrer", {}).get("display"), "StudyDescription": out.get("description"),
             "AccessionNumber": out["identifier"][-1]["value"]}
    assert shown[keyword] == ("Müller, Hans" if keyword == "ReferringPhysicianName" else "Müller^Hans")


def test_utf8_text_passes_through():
    data = part10({"StudyInstanceUID": "1.2.3", "StudyDescription": "Kontrastmittel: Gadolinium – Müller"},
                  charset="ISO_IR 192")
    assert convert(data)["description"] == "Kontrastmittel: Gadolinium – Müller"


uids = st.from_regex(r"[1-9][0-9]{0,3}(\.(0|[1-9][0-9]{0,4})){1,6}", fullmatch=True)
short_texts = st.text(alphabet=st.characters(min_codepoint=0x21, max_codepoint=0x7E, exclude_characters="\\"),
                      max_size=16)
codes = st.text(alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZ", min_size=1, max_size=4)


@settings(max_examples=60, deadline=None)
@given(study_uid=uids, accession=short_texts, patient=short_texts, modality=codes | st.just(""),
       series_uid=uids | st.just(""), sop_uid=uids | st.just(""), implicit=st.booleans())
def test_identifiers_and_codes_follow_the_attributes(study_uid, accession, patient, modality, series_uid,
                                                     sop_uid, implicit):
    values = {"StudyInstanceUID": study_uid, "AccessionNumber": accession, "PatientID": patient,
              "Modality": modality, "SeriesInstanceUID": series_uid, "SOPInstanceUID": sop_uid,
              "SOPClassUID": "1.2.840.10008.5.1.4.1.1.2"}
    data = part10({k: v for k, v in values.items() if v}, implicit=implicit)
    text = _fhir.imaging_study(data)
    assert _fhir.imaging_study(data) == text
    out = json.loads(text)
    assert out["id"] == study_uid
    assert [i["value"] for i in out["identifier"]] == ["urn:oid:" + study_uid] + ([accession] if accession else [])
    assert out["subject"] == ({"reference": "Patient/" + patient} if patient else {})
    has_series = bool(series_uid and modality)
    assert out["numberOfSeries"] == int(has_series)
    assert out["numberOfInstances"] == int(has_series and bool(sop_uid))
    if has_series:
        series = out["series"][0]
        assert (series["uid"], series["modality"]["code"]) == (series_uid, modality)
        assert [i["uid"] for i in series.get("instance", [])] == ([sop_uid] if sop_uid else [])


@pytest.mark.parametrize(("study_date", "series_time"), [("00000000", "0931"), ("20241301", "0931"),
                                                          ("20240131", "250000")])
def test_impossible_dates_and_times_stay_out_of_a_valid_resource(study_date, series_time):
    text = _fhir.imaging_study(part10({**FULL_STUDY, "StudyDate": study_date, "SeriesDate": study_date,
                                       "SeriesTime": series_time, "StudyTime": ""}))
    out = json.loads(text)
    if study_date == "20240131":
        assert (out["started"], out["series"][0]["started"]) == ("2024-01-31", "2024-01-31")
    else:
        assert "started" not in out and "started" not in out["series"][0]
    ImagingStudy.model_validate_json(text)


@pytest.mark.parametrize(("file_offset", "timezone", "study_date", "expected"), [
    ("+0100", None, "20240131", "+01:00"),
    ("-0530", "+02:00", "20240131", "-05:30"),  # the file's own offset wins
    ("+1", "Z", "20240131", "Z"),  # not the &ZZXX form: the caller's zone
    (None, None, "20240131", ""),
    (None, "Europe/Berlin", "20240131", "+01:00"),
    (None, "Europe/Berlin", "20240715", "+02:00"),  # daylight saving
    (None, "America/New_York", "20240310", "-04:00"),  # the day of the switch, at noon
])
def test_started_carries_the_file_offset_or_the_callers_zone(file_offset, timezone, study_date, expected):
    from zanthe import fhir

    values = {**FULL_STUDY, "StudyDate": study_date, "SeriesDate": study_date}
    if file_offset is not None:
        values["TimezoneOffsetFromUTC"] = file_offset
    out = json.loads(fhir.imaging_study(part10(values), timezone=timezone))
    assert out["started"] == f"{study_date[:4]}-{study_date[4:6]}-{study_date[6:]}T09:30:00{expected}"
    assert out["series"][0]["started"].endswith("T09:31:00" + expected)


@pytest.mark.parametrize("timezone", ["+25:00", "soon", "Mars/Olympus_Mons", "+1:00"])
def test_a_zone_that_is_no_offset_or_name_is_refused(timezone):
    from zanthe import fhir

    with pytest.raises(ValueError):
        fhir.imaging_study(part10(FULL_STUDY), timezone=timezone)


@pytest.mark.parametrize(("data", "error", "message"), [
    (b"not dicom at all" * 20, _fhir.NotDicomError, NO_DATASET),
    (w.part10(w.explicit(0x00080060, "CS", w.text("CT"))), _fhir.MissingStudyError, NO_STUDY_UID),
    (w.part10(b"\x01\x02\x03\x04" * 16, "1.2.3.4.5"), _fhir.UnsupportedTransferSyntaxError,
     "fhir.imaging_study: unsupported transfer syntax 1.2.3.4.5"),
    (w.part10(w.deflate_bomb(w.explicit(0x00091010, "LO", "ab") * 100, 300 << 20), w.DEFLATED_LE), RuntimeError,
     "fhir.imaging_study: deflated dataset inflates past 268435456 bytes before its header ends"),
], ids=["not DICOM", "no study", "unknown syntax", "deflate bomb"])
def test_failures_raise_their_own_runtime_error_subclass(data, error, message):
    assert issubclass(error, RuntimeError)
    with pytest.raises(error) as caught:
        _fhir.imaging_study(data)
    assert str(caught.value) == message


def test_a_path_converts_as_its_bytes_do_and_a_missing_one_is_an_os_error(tmp_path):
    from zanthe import fhir

    (tmp_path / "f.dcm").write_bytes(part10(FULL_STUDY))
    assert fhir.imaging_study(tmp_path / "f.dcm", timezone="Z") == _fhir.imaging_study(part10(FULL_STUDY), timezone="Z")
    with pytest.raises(FileNotFoundError):
        fhir.imaging_study(tmp_path / "absent.dcm")

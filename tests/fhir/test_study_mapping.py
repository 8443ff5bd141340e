"""DICOM values onto an ImagingStudy: dates, person names, identifiers, codings, counts, arena limits."""

import datetime
import json

import _fhir_testing as native
import pytest
from fhir_part10 import DCM, SNOMED, V2_0203
from hypothesis import given
from hypothesis import strategies as st
from pydicom.valuerep import PersonName

OK = 0
ARENA_OUT_OF_SPACE = 7
MISSING_REQUIRED = 10


def date_time(date, time):
    return native.dicom_date_time(date, time)[0].decode()


@pytest.mark.parametrize(("date", "time", "expected"), [
    ("20240131", "093000.123456", "2024-01-31T09:30:00"),
    ("20240131", "", "2024-01-31"),
    ("20240131", "14", "2024-01-31T14:00:00"),
    ("20240131", "1", "2024-01-31T10:00:00"),
    ("20240131", "1430", "2024-01-31T14:30:00"),
    ("20240131", "143000123", "2024-01-31T14:30:00"),
    ("20240131", "14:30:00", "2024-01-31"),
    ("20240131", "14a", "2024-01-31"),
    ("20240131", ".5", "2024-01-31T00:00:00"),
    ("2024-01-31", "093000", ""),
    ("2024013", "093000", ""),
    ("202401311", "", ""),
    ("2024013a", "", ""),
    ("", "093000", ""),
])
def test_dicom_date_time(date, time, expected):
    assert date_time(date, time) == expected


@given(st.dates(min_value=datetime.date(1000, 1, 1)),
       st.times(), st.sampled_from(["%H", "%H%M", "%H%M%S", "%H%M%S.%f"]))
def test_date_time_agrees_with_python_datetime(day, moment, time_format):
    dicom_date = day.strftime("%Y%m%d")
    dicom_time = moment.strftime(time_format)
    shown = moment.replace(microsecond=0)
    if "%M" not in time_format:
        shown = shown.replace(minute=0)
    if "%S" not in time_format:
        shown = shown.replace(second=0)
    assert date_time(dicom_date, dicom_time) == f"{day.isoformat()}T{shown.isoformat()}"


@pytest.mark.parametrize(("date", "time", "expected"), [
    ("20240229", "", "2024-02-29"),
    ("20000229", "", "2000-02-29"),
    ("20230229", "", ""),
    ("19000229", "", ""),
    ("20240431", "", ""),
    ("20241301", "093000", ""),
    ("20240100", "", ""),
    ("00000000", "", ""),
    ("99991231", "235959", "9999-12-31T23:59:59"),
    ("20240131", "235960", "2024-01-31T23:59:60"),
    ("20240131", "235961", "2024-01-31"),
    ("20240131", "240000", "2024-01-31"),
    ("20240131", "2360", "2024-01-31"),
    ("20240131", "6", "2024-01-31"),
])
def test_digits_that_are_no_calendar_date_or_clock_time_are_left_out(date, time, expected):
    assert date_time(date, time) == expected
    assert native.dicom_date_time(date, time)[1] == {0: 0, 10: 10, 19: 29}[len(expected)]


@given(st.text(alphabet="0123456789", min_size=8, max_size=8))
def test_any_eight_digits_give_a_date_exactly_when_the_calendar_has_it(digits):
    try:
        day = datetime.date(int(digits[:4]), int(digits[4:6]), int(digits[6:]))
    except ValueError:
        day = None
    assert date_time(digits, "") == (day.isoformat() if day else "")


@pytest.mark.parametrize(("capacity", "expected", "used"), [
    (9, "", 0), (10, "2024-01-31", 10), (28, "2024-01-31", 10), (29, "2024-01-31T09:30:00", 29),
])
def test_date_time_shrinks_when_the_arena_refuses(capacity, expected, used):
    text, taken = native.dicom_date_time("20240131", "093000", arena_capacity=capacity)
    assert (text.decode(), taken) == (expected, used)


def person_name(name, capacity=65536):
    return native.person_name_text(name, arena_capacity=capacity)[0].decode()


@pytest.mark.parametrize(("name", "expected"), [
    ("Doe^John^Q^Dr", "Doe, John Q"),
    ("Doe^John^Q^Dr^III", "Doe, John Q"),
    ("Doe", "Doe"),
    ("^John", ", John"),
    ("Doe^^Q", "Doe Q"),
    ("Doe^John=Yamada^Taro", "Doe, John"),
    ("=Yamada", ""),
    ("^^^Dr^Jr", ""),
    ("", ""),
])
def test_person_name_text(name, expected):
    assert person_name(name) == expected


components = st.text(alphabet=st.characters(codec="ascii", exclude_characters="^=\\"), max_size=6)


@given(st.lists(components, min_size=1, max_size=5), st.lists(components, max_size=3))
def test_person_name_agrees_with_pydicom_components(alphabetic, ideographic):
    dicom = "^".join(alphabetic) + ("=" + "^".join(ideographic) if ideographic else "")
    pn = PersonName(dicom)
    expected = pn.family_name
    if pn.given_name:
        expected += ", " + pn.given_name
    if pn.middle_name:
        expected += " " + pn.middle_name
    assert person_name(dicom) == expected


def test_person_name_is_empty_when_the_arena_refuses():
    assert person_name("Doe^John", capacity=8) == ""
    assert person_name("Doe^John", capacity=9) == "Doe, John"


def mapped(study, series=(), capacity=65536):
    status, text, used = native.map_imaging_study(study, list(series), capacity)
    return status, (json.loads(text) if text is not None else None), used


def study(**values):
    return {"study_instance_uid": "1.2.3", **values}


def series(**values):
    return {"series_instance_uid": "1.2.3.4", "modality": "MR", **values}


def instance(uid="1.2.3.4.5", sop_class="1.2.840.10008.5.1.4.1.1.4"):
    return {"uid": uid, "sop_class": sop_class}


def test_missing_study_uid_is_missing_required_before_anything_else():
    assert mapped({"accession_number": "A"}, [series()], capacity=0) == (MISSING_REQUIRED, None, 0)


@pytest.mark.parametrize(("uid", "study_id", "value"), [
    ("1.2.3", "1.2.3", "urn:oid:1.2.3"),
    ("urn:oid:1.2.3", "1.2.3", "urn:oid:1.2.3"),
    ("urn:oid:", None, "urn:oid:"),
    ("urn:oi", "urn:oi", "urn:oid:urn:oi"),
    ("URN:OID:1.2", "URN:OID:1.2", "urn:oid:URN:OID:1.2"),
])
def test_official_identifier_carries_the_oid_prefix_once(uid, study_id, value):
    status, out, _ = mapped(study(study_instance_uid=uid))
    assert status == OK
    assert out.get("id") == study_id
    assert out["identifier"] == [{"use": "official", "system": "urn:dicom:uid", "value": value}]


@pytest.mark.parametrize(("values", "uses"), [
    ({}, ["official"]),
    ({"accession_number": "A1"}, ["official", "usual"]),
    ({"study_id": "S1"}, ["official", "secondary"]),
    ({"accession_number": "A1", "study_id": "S1"}, ["official", "usual", "secondary"]),
])
def test_identifier_order(values, uses):
    out = mapped(study(**values))[1]
    assert [i["use"] for i in out["identifier"]] == uses
    for identifier in out["identifier"][1:]:
        if identifier["use"] == "usual":
            assert identifier == {"use": "usual", "system": V2_0203, "value": "A1"}
        else:
            assert identifier == {"use": "secondary", "value": "S1"}


@pytest.mark.parametrize(("given_status", "written"), [(None, "available"), ("", "available"),
                                                         ("registered", "registered")])
def test_status_defaults_to_available(given_status, written):
    assert mapped(study(status=given_status))[1]["status"] == written


def test_study_level_values():
    out = mapped(study(patient_id="P1", study_date="20240131", study_time="0930",
                       study_description="Chest", referring_physician_name="Doe^Jane",
                       modalities=["CT", "PT"]))[1]
    assert out["subject"] == {"reference": "Patient/P1"}
    assert out["started"] == "2024-01-31T09:30:00"
    assert out["description"] == "Chest"
    assert out["referrer"] == {"display": "Doe, Jane"}
    assert out["modality"] == [{"system": DCM, "code": "CT"}, {"system": DCM, "code": "PT"}]


def test_absent_study_values_stay_out():
    out = mapped(study(referring_physician_name="^^^Dr", study_date="2024"))[1]
    assert out["subject"] == {}
    for member in ["started", "referrer", "description", "modality", "series"]:
        assert member not in out
    assert (out["numberOfSeries"], out["numberOfInstances"]) == (0, 0)


@pytest.mark.parametrize(("laterality", "coding"), [
    ("L", {"system": SNOMED, "code": "419161000", "display": "Left"}),
    ("R", {"system": SNOMED, "code": "419465000", "display": "Right"}),
    ("B", {"system": SNOMED, "code": "51440002", "display": "Right and left"}),
    ("U", {"system": SNOMED, "code": "66459002", "display": "Unilateral"}),
    ("l", None), ("LR", None), ("X", None), ("", None),
])
def test_laterality_coding(laterality, coding):
    out = mapped(study(), [series(laterality=laterality)])[1]
    assert out["series"][0].get("laterality") == coding


def test_series_values():
    out = mapped(study(), [series(series_number=4, series_description="Axial", body_part="CHEST",
                                  series_date="20240131", series_time="093015", declared_instances=3,
                                  instances=[instance()])])[1]
    assert out["series"] == [{
        "uid": "1.2.3.4", "number": 4, "modality": {"system": DCM, "code": "MR"}, "description": "Axial",
        "numberOfInstances": 3, "bodySite": {"system": DCM, "code": "CHEST"}, "started": "2024-01-31T09:30:15",
        "instance": [{"uid": "1.2.3.4.5", "sopClass": {"system": "urn:ietf:rfc:3986",
                                                       "code": "1.2.840.10008.5.1.4.1.1.4"}}],
    }]


def test_instance_number_is_carried():
    out = mapped(study(), [series(instances=[dict(instance(), instance_number=0)])])[1]
    assert out["series"][0]["instance"][0]["number"] == 0


@pytest.mark.parametrize(("declared", "records", "total"), [(-1, 2, 2), (5, 2, 5), (0, 2, 0), (-1, 0, 0)])
def test_instance_count_prefers_the_declared_number(declared, records, total):
    instances = [instance(f"1.2.{i}") for i in range(records)]
    out = mapped(study(), [series(declared_instances=declared, instances=instances)])[1]
    assert (out["numberOfSeries"], out["numberOfInstances"]) == (1, total)
    assert len(out["series"][0].get("instance", [])) == records


def test_counts_add_up_over_several_series():
    out = mapped(study(), [series(declared_instances=4), series(series_instance_uid="9", instances=[instance()]),
                           series(series_instance_uid="8")])[1]
    assert (out["numberOfSeries"], out["numberOfInstances"]) == (3, 5)
    assert [s["uid"] for s in out["series"]] == ["1.2.3.4", "9", "8"]


FULL = study(accession_number="A1", study_id="S1", patient_id="P1", study_date="20240131", study_time="0930",
             modalities=["MR"], study_description="d", referring_physician_name="Doe^Jane")
FULL_SERIES = [series(series_date="20240131", series_time="0931", instances=[instance()]),
               series(series_instance_uid="7", instances=[instance(), instance("1.2.3.4.6")])]


def shrinkable_members_removed(out):
    out = dict(out)
    out.pop("started", None)
    out.pop("referrer", None)
    series_list = [dict(s) for s in out.get("series", [])]
    for s in series_list:
        s.pop("started", None)
    if series_list:
        out["series"] = series_list
    return out


@pytest.mark.parametrize(("summary", "series_list"), [(FULL, FULL_SERIES), (FULL, [])])
def test_every_arena_size_either_fits_or_fails_cleanly(summary, series_list):
    status, full, needed = mapped(summary, series_list)
    assert status == OK
    seen_shrunk = False
    for capacity in range(needed):
        status, out, used = mapped(summary, series_list, capacity)
        assert used <= capacity
        if status == ARENA_OUT_OF_SPACE:
            assert out is None
            continue
        # Only dates and names may shrink when the arena runs short; everything else is all or nothing.
        assert status == OK
        assert shrinkable_members_removed(out) == shrinkable_members_removed(full)
        assert out.get("started") in (None, full["started"][:10], full["started"])
        assert out.get("referrer") in (None, full["referrer"])
        seen_shrunk |= out != full
    if not series_list:
        assert seen_shrunk
    assert mapped(summary, series_list, needed)[1] == full


def test_long_uid_without_prefix_exhausts_a_small_arena():
    assert mapped(study(study_instance_uid="1" * 70000))[0] == ARENA_OUT_OF_SPACE
    status, out, used = mapped(study(study_instance_uid="urn:oid:" + "1" * 70000))
    assert status == OK and out["id"] == "1" * 70000 and used < 1000


def arena_steps():
    """The arena requests of mapping FULL with FULL_SERIES, in the order they must be made:
    (name, bytes, aligned, what a refusal does)."""
    sizes = native.record_sizes()
    return [
        ("identifiers", 3 * sizes["Identifier"], True, "fail"),
        ("urn:oid:1.2.3", 13, False, "fail"),
        ("modality", sizes["Coding"], True, "fail"),
        ("Patient/P1", 10, False, "fail"),
        ("study date", 10, False, "drop date"),
        ("study date and time", 19, False, "drop time"),
        ("Doe, Jane", 9, False, "drop"),
        ("series", 2 * sizes["ImagingStudySeries"], True, "fail"),
        ("series date", 10, False, "drop date"),
        ("series date and time", 19, False, "drop time"),
        ("instances of series 1", sizes["ImagingStudyInstance"], True, "fail"),
        ("instances of series 2", 2 * sizes["ImagingStudyInstance"], True, "fail"),
    ]


def replay(capacity):
    """(status, bytes used, names of the requests granted) of the steps on an 8-aligned arena."""
    used, granted, skip_time = 0, set(), False
    for name, size, aligned, refusal in arena_steps():
        if refusal == "drop time" and skip_time:
            continue
        start = used + (-used % 8 if aligned else 0)
        if start + size > capacity:
            if refusal == "fail":
                return ARENA_OUT_OF_SPACE, used, granted
            skip_time |= refusal == "drop date"
            continue
        used = start + size
        granted.add(name)
    return OK, used, granted


def test_arena_requests_come_in_mapping_order():
    needed = replay(1 << 20)[1]
    assert mapped(FULL, FULL_SERIES)[2] == needed
    for capacity in range(needed + 1):
        status, out, used = mapped(FULL, FULL_SERIES, capacity)
        expected_status, expected_used, granted = replay(capacity)
        assert (status, used) == (expected_status, expected_used), capacity
        if status != OK:
            continue
        started = "2024-01-31T09:30:00" if "study date and time" in granted else "2024-01-31"
        assert out.get("started") == (started if "study date" in granted else None)
        assert ("referrer" in out) == ("Doe, Jane" in granted)
        assert ("started" in out["series"][0]) == ("series date" in granted)

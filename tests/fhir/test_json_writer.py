"""The ImagingStudy JSON writer: member order, absent values, escaping, exact capacity, rule checks."""

import json

import _fhir_testing as native
import pytest
from fhir.resources.R4B.imagingstudy import ImagingStudy
from hypothesis import given, settings
from hypothesis import strategies as st

BUFFER_TOO_SMALL = 1
BAD_VALUE = 2
ROOMY = 1 << 20

# FHIR R4 element order of ImagingStudy and its backbone elements (resourceType first).
STUDY_ORDER = [
    "resourceType", "id", "identifier", "status", "modality", "subject", "encounter", "started", "basedOn",
    "referrer", "interpreter", "endpoint", "numberOfSeries", "numberOfInstances", "procedureReference",
    "procedureCode", "location", "reasonCode", "reasonReference", "note", "description", "series",
]
SERIES_ORDER = [
    "uid", "number", "modality", "description", "numberOfInstances", "endpoint", "bodySite", "laterality",
    "specimen", "started", "performer", "instance",
]
INSTANCE_ORDER = ["uid", "number", "sopClass", "title"]


def coding(code="CT", system="http://dicom.nema.org/resources/ontology/DCM", **extra):
    return {"system": system, "code": code, **extra}


def ref(reference="Practitioner/1", **extra):
    return {"reference": reference, **extra}


def concept(text="why"):
    return {"coding": [coding("1234", "http://snomed.info/sct", display="Something")], "text": text}


FULL_MODEL = {
    "id": "1.2.3",
    "identifier": [{"use": "official", "system": "urn:dicom:uid", "value": "urn:oid:1.2.3",
                    "type": {"text": "never written"}}],
    "status": "available",
    "modality": [coding("CT"), coding("MR")],
    "subject": ref("Patient/7", type="Patient", display="Pat"),
    "encounter": ref("Encounter/1"),
    "started": "2024-01-31T09:30:00+01:00",
    "basedOn": [ref("ServiceRequest/1")],
    "referrer": {"display": "Doe, John"},
    "interpreter": [ref("Practitioner/2")],
    "endpoint": [ref("Endpoint/1")],
    "numberOfSeries": 1,
    "numberOfInstances": 2,
    "procedureReference": ref("Procedure/1"),
    "procedureCode": [concept("procedure")],
    "location": ref("Location/1"),
    "reasonCode": [concept("reason")],
    "reasonReference": [ref("Condition/1")],
    "note": [{"authorString": "Dr X", "time": "2024-02-01", "text": "a note"}],
    "description": "CT chest",
    "series": [{
        "uid": "1.2.3.4", "number": 3, "modality": coding("CT"), "description": "axial",
        "numberOfInstances": 2, "endpoint": [ref("Endpoint/2")], "bodySite": coding("CHEST"),
        "laterality": coding("419161000", "http://snomed.info/sct", display="Left"),
        "specimen": [ref("Specimen/1")], "started": "2024-01-31T09:31:00+01:00",
        "performer": [{"function": concept("operator"), "actor": ref("Practitioner/3")}],
        "instance": [{"uid": "1.2.3.4.5", "number": 1, "sopClass": coding("1.2.840.10008.5.1.4.1.1.2",
                                                                            "urn:ietf:rfc:3986"),
                      "title": "first"},
                     {"uid": "1.2.3.4.6", "sopClass": coding("1.2.840.10008.5.1.4.1.1.2",
                                                             "urn:ietf:rfc:3986")}],
    }],
}


def write(model, capacity=ROOMY):
    result = native.write_json(model, capacity)
    assert isinstance(result, bytes), f"write failed with code {result}"
    return result


def load(model):
    return json.loads(write(model))


def keys_in_order(obj):
    return [key for key, _ in obj.items()]


def test_status_only_model_writes_status_and_empty_subject():
    assert write({"status": "available"}) == b'{"resourceType":"ImagingStudy","status":"available","subject":{}}'


def test_full_model_keeps_fhir_element_order_and_is_valid_r4():
    text = write(FULL_MODEL)
    out = json.loads(text)
    assert keys_in_order(out) == STUDY_ORDER
    assert keys_in_order(out["series"][0]) == SERIES_ORDER
    assert keys_in_order(out["series"][0]["instance"][0]) == INSTANCE_ORDER
    assert keys_in_order(out["subject"]) == ["reference", "type", "display"]
    assert keys_in_order(out["identifier"][0]) == ["use", "system", "value"]
    assert keys_in_order(out["note"][0]) == ["authorString", "time", "text"]
    assert keys_in_order(out["series"][0]["performer"][0]) == ["function", "actor"]
    assert keys_in_order(out["procedureCode"][0]) == ["coding", "text"]
    assert keys_in_order(out["procedureCode"][0]["coding"][0]) == ["system", "code", "display"]
    ImagingStudy.model_validate_json(text)


def test_output_is_compact_json():
    text = write(FULL_MODEL)
    assert json.dumps(json.loads(text), separators=(",", ":"), ensure_ascii=False).encode() == text


@pytest.mark.parametrize("capacity", [0, 1, 64, ROOMY])
def test_missing_status_is_bad_value_for_every_capacity(capacity):
    assert native.write_json({"id": "1.2.3"}, capacity) == BAD_VALUE


@pytest.mark.parametrize("model", [{"status": "available"}, FULL_MODEL])
def test_every_capacity_short_of_the_output_is_too_small_and_the_exact_one_fits(model):
    text = write(model)
    assert native.write_json(model, len(text)) == text
    for capacity in range(len(text)):
        assert native.write_json(model, capacity) == BUFFER_TOO_SMALL


def test_bytes_past_the_written_length_are_left_as_they_were():
    text = write(FULL_MODEL)
    area = native.write_json(FULL_MODEL, len(text) + 100, fill=0xA5)
    assert area == text + b"\xa5" * 100


@pytest.mark.parametrize(("raw", "written"), [
    (b"\t\"\\\x01\xc3\xa9", b'\\t\\"\\\\\\u0001\xc3\xa9'),
    (b"\x08\x0a\x0c\x0d", b"\\b\\n\\f\\r"),
    (b"\x00\x0b\x1b\x1f", b"\\u0000\\u000b\\u001b\\u001f"),
    (b"/\x7f ~", b"/\x7f ~"),
    (b"\x80\xff\xfc", b"\x80\xff\xfc"),  # bytes are passed through, not validated as UTF-8
])
def test_string_escaping(raw, written):
    text = write({"status": "available", "description": raw})
    assert text.endswith(b',"description":"' + written + b'"}')


@pytest.mark.parametrize("escape", [b"\t", b"\x01", b"\xc3\xa9"])
def test_escape_needs_its_whole_width(escape):
    model = {"status": "available", "description": escape}
    text = write(model)
    assert native.write_json(model, len(text)) == text
    assert native.write_json(model, len(text) - 1) == BUFFER_TOO_SMALL
    # Room for the opening quote and part of the escape, but not its last byte.
    cut = text.index(b'"description":"') + len(b'"description":"') + len(text[-3 - len(escape):-2]) - 1
    assert native.write_json(model, cut) == BUFFER_TOO_SMALL


@settings(max_examples=200)
@given(st.text(min_size=1))
def test_any_text_reads_back_through_json(value):
    out = json.loads(write({"status": value, "description": value, "id": value}))
    assert out["status"] == value
    assert out["description"] == value
    assert out["id"] == value


@pytest.mark.parametrize(("number", "member"), [(-1, None), (-2**63, None), (0, 0), (7, 7), (2**63 - 1, 2**63 - 1)])
def test_integers_are_absent_when_negative(number, member):
    out = load({"status": "available", "numberOfSeries": number, "numberOfInstances": number,
                "series": [{"uid": "1", "modality": coding(), "number": number, "numberOfInstances": number,
                            "instance": [{"uid": "2", "sopClass": coding("1.2"), "number": number}]}]})
    series = out["series"][0]
    for obj, key in [(out, "numberOfSeries"), (out, "numberOfInstances"), (series, "number"),
                     (series, "numberOfInstances"), (series["instance"][0], "number")]:
        assert obj.get(key) == member


@pytest.mark.parametrize("member", ["encounter", "referrer", "procedureReference", "location"])
def test_reference_with_only_a_type_is_absent(member):
    assert member not in load({"status": "available", member: {"type": "Patient"}})
    assert load({"status": "available", member: {"display": "x"}})[member] == {"display": "x"}


def test_subject_is_written_even_when_empty_or_type_only():
    assert load({"status": "available", "subject": {"type": "Patient"}})["subject"] == {"type": "Patient"}


def test_empty_lists_are_left_out_and_empty_coding_is_an_empty_object():
    out = load({"status": "available", "identifier": [], "modality": [{}], "note": []})
    assert "identifier" not in out and "note" not in out
    assert out["modality"] == [{}]


def test_identifier_type_is_not_written():
    out = load({"status": "available",
                "identifier": [{"use": "usual", "type": {"text": "ACSN"}, "system": "s", "value": "v"}]})
    assert out["identifier"] == [{"use": "usual", "system": "s", "value": "v"}]


@pytest.mark.parametrize(("note", "written"), [
    ({"authorReference": {"reference": "Practitioner/1"}, "authorString": "X", "text": "t"},
     {"authorReference": {"reference": "Practitioner/1"}, "text": "t"}),
    ({"authorReference": {"type": "Practitioner"}, "authorString": "X", "time": "2024"},
     {"authorString": "X", "time": "2024"}),
    ({"text": "t"}, {"text": "t"}),
])
def test_annotation_author_choice(note, written):
    assert load({"status": "available", "note": [note]})["note"] == [written]


@pytest.mark.parametrize(("performer", "written"), [
    ({}, {"actor": {}}),
    ({"function": {"text": "op"}}, {"function": {"text": "op"}, "actor": {}}),
    ({"function": {"coding": [{}]}, "actor": {"display": "A"}}, {"function": {"coding": [{}]}, "actor": {"display": "A"}}),
])
def test_performer_writes_function_only_when_it_says_something(performer, written):
    out = load({"status": "available",
                "series": [{"uid": "1", "modality": coding(), "performer": [performer]}]})
    assert out["series"][0]["performer"] == [written]


def test_series_body_site_and_laterality_need_a_code():
    out = load({"status": "available", "series": [{
        "uid": "1", "modality": coding(), "bodySite": {"system": "s", "display": "d"},
        "laterality": {"display": "Left"}}]})
    assert "bodySite" not in out["series"][0] and "laterality" not in out["series"][0]


@pytest.mark.parametrize("series", [
    {"modality": coding()},
    {"uid": "1", "modality": {"system": "s"}},
    {"uid": "1", "modality": coding(), "instance": [{"sopClass": coding("1.2")}]},
    {"uid": "1", "modality": coding(), "instance": [{"uid": "2", "sopClass": {"system": "s"}}]},
])
def test_series_or_instance_missing_a_required_value_is_bad_value(series):
    assert native.write_json({"status": "available", "series": [series]}, ROOMY) == BAD_VALUE


@pytest.mark.parametrize(("code", "name"), [(1, "buffer_too_small"), (2, "bad_value"), (0, "unknown"), (3, "unknown")])
def test_emit_error_names(code, name):
    assert native.emit_error_name(code) == name


texts = st.text(max_size=12)
codings = st.fixed_dictionaries({}, optional={"system": texts, "code": texts, "display": texts})
refs = st.fixed_dictionaries({}, optional={"reference": texts, "type": texts, "display": texts})
models = st.fixed_dictionaries(
    {"status": st.text(min_size=1, max_size=12)},
    optional={
        "id": texts, "description": texts, "started": texts, "subject": refs, "referrer": refs,
        "modality": st.lists(codings, max_size=3), "basedOn": st.lists(refs, max_size=2),
        "numberOfSeries": st.integers(-2, 2**40), "numberOfInstances": st.integers(-2, 2**40),
        "series": st.lists(st.fixed_dictionaries(
            {"uid": st.text(min_size=1, max_size=8),
             "modality": st.fixed_dictionaries({"code": st.text(min_size=1, max_size=4)})},
            optional={"description": texts, "bodySite": codings, "number": st.integers(-1, 99)}), max_size=2),
    })


@settings(max_examples=150)
@given(models, st.data())
def test_generated_models_give_json_and_fail_only_below_their_exact_length(model, data):
    text = write(model)
    out = json.loads(text)
    assert out["resourceType"] == "ImagingStudy" and out["status"] == model["status"]
    assert [key for key in STUDY_ORDER if key in out] == keys_in_order(out)
    capacity = data.draw(st.integers(0, len(text) - 1))
    assert native.write_json(model, capacity) == BUFFER_TOO_SMALL
    assert native.write_json(model, len(text)) == text

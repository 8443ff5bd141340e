"""The ORU^R01 writer: segment layout, field positions, defaults and the three escaping rules."""

import re

import pytest

from zanthe import _hl7

CONFIG = {
    "our_app": "A",
    "our_facility": "B",
    "their_app": "C",
    "their_facility": "D",
    "timestamp": "20240101120000",
    "control_id": "42",
}
CONTEXT = {
    "patient_id": "123",
    "patient_name": "DOE^JOHN",
    "patient_birth_date": "19700101",
    "patient_sex": "M",
    "placer_order_number": "P1",
    "filler_order_number": "F1",
    "procedure_code": "CT1",
    "procedure_description": "CT HEAD",
    "observation_datetime": "20240101",
    "ordering_provider": "SMITH^J",
    "accession_number": "ACC9",
    "modality": "CT",
}
FINDING = {"observation_id": "FINDING^Findings", "value": "No acute finding."}
WORKED_EXAMPLE = [
    "MSH|^~\\&|A|B|C|D|20240101120000||ORU^R01|42|P|2.5",
    "PID|1||123||DOE^JOHN||19700101|M",
    "ORC|RE|P1|F1",
    "OBR|1|P1|F1|CT1^CT HEAD|||20240101|||||||||SMITH^J||ACC9||||||CT",
    "OBX|1|TX|FINDING^Findings||No acute finding.||||||F",
]
EMPTY_MESSAGE = [
    "MSH|^~\\&|||||||ORU^R01||P|2.5",
    "PID|1|||||||",
    "ORC|RE||",
    "OBR|1|||^||||||||||||||||||||",
]

# (dict, key, segment, field index in _hl7.parse's fields) for every value that is written once.
PLAIN_FIELDS = [
    ("config", "our_app", 0, 2),
    ("config", "our_facility", 0, 3),
    ("config", "their_app", 0, 4),
    ("config", "their_facility", 0, 5),
    ("config", "timestamp", 0, 6),
    ("config", "control_id", 0, 9),
    ("context", "patient_id", 1, 3),
    ("context", "patient_birth_date", 1, 7),
    ("context", "patient_sex", 1, 8),
    ("context", "observation_datetime", 3, 7),
    ("context", "accession_number", 3, 18),
    ("context", "modality", 3, 24),
    ("observation", "value_type", 4, 2),
    ("observation", "value", 4, 5),
    ("observation", "status", 4, 11),
]
STRUCTURED_FIELDS = [
    ("context", "patient_name", 1, 5),
    ("context", "ordering_provider", 3, 16),
    ("observation", "observation_id", 4, 3),
]


def lines(message: str) -> list[str]:
    assert message.endswith("\r") and "\n" not in message
    return message[:-1].split("\r")


def build_with(where: str, key: str, value: str) -> str:
    inputs = {"config": dict(CONFIG), "context": dict(CONTEXT), "observation": dict(FINDING)}
    inputs[where][key] = value
    return _hl7.build_oru(inputs["config"], inputs["context"], [inputs["observation"]])


def field(message: str, segment: int, index: int) -> str:
    return lines(message)[segment].split("|")[index]


def test_worked_example():
    assert lines(_hl7.build_oru(CONFIG, CONTEXT, [FINDING])) == WORKED_EXAMPLE


def test_character_set_adds_five_empty_fields_then_msh_18():
    message = _hl7.build_oru({**CONFIG, "specific_character_set": "UNICODE UTF-8"}, CONTEXT, [FINDING])
    assert lines(message)[0] == WORKED_EXAMPLE[0] + "||||||UNICODE UTF-8"
    assert lines(message)[1:] == WORKED_EXAMPLE[1:]


def test_empty_character_set_ends_msh_at_the_version():
    message = _hl7.build_oru({**CONFIG, "specific_character_set": ""}, CONTEXT, [FINDING])
    assert lines(message) == WORKED_EXAMPLE


def test_all_empty_without_observations_is_four_segments():
    assert lines(_hl7.build_oru({}, {}, [])) == EMPTY_MESSAGE
    empty_values = {key: "" for key in CONTEXT}
    assert lines(_hl7.build_oru({key: "" for key in CONFIG}, empty_values, [])) == EMPTY_MESSAGE


@pytest.mark.parametrize(("where", "key", "segment", "index"), PLAIN_FIELDS)
def test_plain_fields_escape_all_five_delimiters(where, key, segment, index):
    message = build_with(where, key, "a|b^c~d\\e&f")
    assert field(message, segment, index) == "a\\F\\b\\S\\c\\R\\d\\E\\e\\T\\f"


@pytest.mark.parametrize(("where", "key", "segment", "index"), STRUCTURED_FIELDS)
def test_structured_fields_keep_component_repetition_and_subcomponent(where, key, segment, index):
    message = build_with(where, key, "a|b^c~d\\e&f")
    assert field(message, segment, index) == "a\\F\\b^c~d\\E\\e&f"


@pytest.mark.parametrize(("where", "key", "segment", "index"), PLAIN_FIELDS + STRUCTURED_FIELDS)
def test_line_breaks_in_values_are_hex_escaped(where, key, segment, index):
    message = build_with(where, key, "line 1\rline 2\nline 3\r\nok\rPID|1||OTHER")
    assert len(lines(message)) == len(WORKED_EXAMPLE)
    assert field(message, segment, index) == (
        "line 1\\X0D\\line 2\\X0A\\line 3\\X0D\\\\X0A\\ok\\X0D\\PID\\F\\1\\F\\\\F\\OTHER"
    )


def test_version_and_character_set_escape_like_plain_fields():
    message = _hl7.build_oru({"version": "2.5|x\r", "specific_character_set": "8859/1^x\n"}, {}, [])
    assert lines(message)[0].split("|")[11:] == ["2.5\\F\\x\\X0D\\", "", "", "", "", "", "8859/1\\S\\x\\X0A\\"]


def test_procedure_is_code_then_description_as_components():
    def obr_4(code: str | None, description: str | None) -> str:
        context = {}
        if code is not None:
            context["procedure_code"] = code
        if description is not None:
            context["procedure_description"] = description
        return lines(_hl7.build_oru({}, context, []))[3].split("|")[4]

    assert obr_4("CT1", "CT HEAD") == "CT1^CT HEAD"
    assert obr_4(None, "CT HEAD") == "^CT HEAD"
    assert obr_4("CT1", None) == "CT1^"
    assert obr_4("a|b^c~\\&\r", "d|e^f\n") == "a\\F\\b^c~\\E\\&\\X0D\\^d\\F\\e^f\\X0A\\"


def test_order_numbers_are_written_in_orc_and_obr():
    message = _hl7.build_oru({}, {"placer_order_number": "P|1", "filler_order_number": "F^1"}, [])
    assert lines(message)[2] == "ORC|RE|P\\F\\1|F\\S\\1"
    assert lines(message)[3].split("|")[:4] == ["OBR", "1", "P\\F\\1", "F\\S\\1"]


def test_observations_are_numbered_in_order():
    observations = [{"value": f"v{n}"} for n in range(1, 11)]
    obx = lines(_hl7.build_oru({}, {}, observations))[4:]
    assert [line.split("|")[:2] for line in obx] == [["OBX", str(n)] for n in range(1, 11)]
    assert [line.split("|")[5] for line in obx] == [f"v{n}" for n in range(1, 11)]


def test_observation_defaults_and_overrides():
    default, given, emptied = lines(
        _hl7.build_oru({}, {}, [{}, {"value_type": "ST", "status": "P"}, {"value_type": "", "status": ""}])
    )[4:]
    assert default == "OBX|1|TX|||||||||F"
    assert given == "OBX|2|ST|||||||||P"
    assert emptied == "OBX|3||||||||||"


@pytest.mark.parametrize(("config", "written"), [({}, "2.5"), ({"version": ""}, ""), ({"version": "2.5.1"}, "2.5.1")])
def test_version_is_written_unchanged(config, written):
    assert lines(_hl7.build_oru(config, {}, []))[0].split("|")[11] == written


def test_observation_datetime_belongs_to_the_context_only():
    assert lines(_hl7.build_oru({}, {"observation_datetime": "20240101"}, []))[3].split("|")[7] == "20240101"


def test_observation_datetime_inside_an_observation_is_ignored():
    with_key = _hl7.build_oru({}, {}, [{"observation_datetime": "20991231"}, {**FINDING, "observation_datetime": "1"}])
    assert with_key == _hl7.build_oru({}, {}, [{}, FINDING])


@pytest.mark.parametrize(
    ("config", "context", "observations", "named"),
    [
        ({"msh": "z"}, {}, [], "key in config: 'msh'"),
        ({}, {"patient_nmae": "x", "PATIENT_ID": "y"}, [], "keys in context: 'patient_nmae', 'PATIENT_ID'"),
        ({}, {}, [FINDING, {**FINDING, 7: "x"}], "key in observations[1]: 7"),
    ],
)
def test_unknown_keys_are_refused_by_name(config, context, observations, named):
    with pytest.raises(ValueError, match="hl7.build_oru: unknown " + re.escape(named)):
        _hl7.build_oru({**CONFIG, **config}, {**CONTEXT, **context}, observations)


def test_values_are_copied_byte_for_byte():
    value = "Größe 日本語 \U0001f600 \x00\t end "
    message = build_with("observation", "value", value)
    assert field(message, 4, 5) == value

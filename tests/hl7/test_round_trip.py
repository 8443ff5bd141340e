"""Whatever goes into build_oru comes back out of parse, once python-hl7 decodes the escapes."""

from hypothesis import given, settings
from hypothesis import strategies as st

from helpers.er7 import decode
from zanthe import _hl7

# Any text that UTF-8 can hold (lone surrogates are refused before building), biased towards the
# bytes that need escaping.
TRICKY = "|^~\\&\r\n"
values = st.text(alphabet=st.one_of(st.sampled_from(TRICKY), st.characters(codec="utf-8")), max_size=24)

CONFIG_FIELDS = {"our_app": 2, "our_facility": 3, "their_app": 4, "their_facility": 5, "timestamp": 6, "control_id": 9}
PID_FIELDS = {"patient_id": 3, "patient_name": 5, "patient_birth_date": 7, "patient_sex": 8}
OBR_FIELDS = {
    "placer_order_number": 2,
    "filler_order_number": 3,
    "observation_datetime": 7,
    "ordering_provider": 16,
    "accession_number": 18,
    "modality": 24,
}
OBSERVATION_FIELDS = {"value_type": 2, "observation_id": 3, "value": 5, "status": 11}
STRUCTURED = {"patient_name", "ordering_provider", "observation_id"}
NOT_IN_PLAIN_FIELDS = "^~&"


def records(keys):
    """Dictionaries holding any subset of the keys, so defaults are exercised too."""
    return st.fixed_dictionaries({}, optional={key: values for key in keys})


def check_field(key: str, value: str, raw: str) -> None:
    assert decode(raw) == value
    # Structured fields keep the component, repetition and subcomponent separators as given; plain
    # fields escape every one of them.
    for separator in NOT_IN_PLAIN_FIELDS:
        assert raw.count(separator) == (value.count(separator) if key in STRUCTURED else 0)


@settings(max_examples=300, deadline=None)
@given(
    config=records([*CONFIG_FIELDS, "specific_character_set"]),
    context=records([*PID_FIELDS, *OBR_FIELDS, "procedure_code", "procedure_description"]),
    observations=st.lists(records(OBSERVATION_FIELDS), max_size=4),
)
def test_parse_reads_back_every_value_built(config, context, observations):
    segments = _hl7.parse(_hl7.build_oru(config, context, observations))

    assert [s["id"] for s in segments] == ["MSH", "PID", "ORC", "OBR"] + ["OBX"] * len(observations)
    msh, pid, orc, obr, *obx = (s["fields"] for s in segments)
    assert msh[11] == "2.5"
    for key, index in CONFIG_FIELDS.items():
        check_field(key, config.get(key, ""), msh[index])
    character_set = config.get("specific_character_set", "")
    assert len(msh) == (18 if character_set else 12)
    if character_set:
        check_field("specific_character_set", character_set, msh[17])
    for key, index in PID_FIELDS.items():
        check_field(key, context.get(key, ""), pid[index])
    for key, index in OBR_FIELDS.items():
        check_field(key, context.get(key, ""), obr[index])
    assert orc[2:] == obr[2:4]
    procedure = context.get("procedure_code", "") + "^" + context.get("procedure_description", "")
    assert decode(obr[4]) == procedure
    for n, (observation, fields) in enumerate(zip(observations, obx, strict=True), start=1):
        assert fields[1] == str(n)
        defaults = {"value_type": "TX", "status": "F"}
        for key, index in OBSERVATION_FIELDS.items():
            check_field(key, observation.get(key, defaults.get(key, "")), fields[index])

"""The _hl7 module's Python surface: signatures, argument matching, result shapes, exceptions."""

import sys

import pytest

from helpers.er7 import message
from helpers.memory import UNDER_ADDRESS_SANITIZER, growth_over
from zanthe import _hl7

CONFIG_KEYS = [
    "our_app", "our_facility", "their_app", "their_facility",
    "control_id", "timestamp", "version", "specific_character_set",
]  # fmt: skip
CONTEXT_KEYS = [
    "patient_id", "patient_name", "patient_birth_date", "patient_sex",
    "placer_order_number", "filler_order_number", "accession_number", "procedure_code",
    "procedure_description", "modality", "ordering_provider", "observation_datetime",
]  # fmt: skip
OBSERVATION_KEYS = ["value_type", "observation_id", "value", "status"]


@pytest.mark.parametrize(
    ("function", "signature", "doc"),
    [
        (
            _hl7.parse,
            "parse(text: str) -> object",
            "Parse an HL7 v2 message \u2192 list of {id, fields:[...]} segments (ER7 field split).",
        ),
        (
            _hl7.build_oru,
            "build_oru(config: dict, context: dict, observations: list) -> object",
            "Build an HL7 v2.5 ORU^R01 result message from config/context/observation dicts.",
        ),
    ],
)
def test_signature_and_doc_string(function, signature, doc):
    assert function.__doc__ == f"{signature}\n\n{doc}"


def test_module_has_no_doc_string_and_its_public_names():
    assert _hl7.__doc__ is None
    assert [name for name in dir(_hl7) if not name.startswith("_")] == [
        "FrameReader", "Header", "JournalRecords", "Listener", "MAX_MESSAGE_BYTES", "ORU_FIELDS",
        "ParseError", "build_ack", "build_oru", "codec_of", "frame", "parse", "read_header",
    ]  # fmt: skip


def test_arguments_by_name():
    text = message("PID|1")
    assert _hl7.parse(text=text) == _hl7.parse(text)
    assert _hl7.build_oru(config={}, context={}, observations=[{}]) == _hl7.build_oru({}, {}, [{}])


def test_subclasses_are_accepted():
    class Text(str):
        pass

    class Record(dict):
        pass

    class Items(list):
        pass

    assert _hl7.parse(Text(message("PID|1"))) == _hl7.parse(message("PID|1"))
    built = _hl7.build_oru(Record(our_app="A"), Record(modality="CT"), Items([Record(value=Text("v"))]))
    assert built == _hl7.build_oru({"our_app": "A"}, {"modality": "CT"}, [{"value": "v"}])


@pytest.mark.parametrize(
    "call",
    [
        lambda: _hl7.parse(None),
        lambda: _hl7.parse(b"MSH|^~\\&|||||||ADT|1|P|2.5"),
        lambda: _hl7.parse(bytearray(b"MSH")),
        lambda: _hl7.parse(42),
        lambda: _hl7.parse(),
        lambda: _hl7.parse("MSH", "extra"),
        lambda: _hl7.parse(txt="MSH"),
        lambda: _hl7.build_oru(None, {}, []),
        lambda: _hl7.build_oru({}, None, []),
        lambda: _hl7.build_oru({}, {}, None),
        lambda: _hl7.build_oru({}, {}, ({},)),
        lambda: _hl7.build_oru([], {}, []),
        lambda: _hl7.build_oru({}, {}, {}),
        lambda: _hl7.build_oru({}, {}),
        lambda: _hl7.build_oru({}, {}, iter([{}])),
    ],
)
def test_wrong_argument_types_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    ("text", "name"),
    [
        ("", "empty"),
        ("MS", "no_msh"),
        ("MSH|^~", "msh_too_short"),
        ("MSH|^~\\^|||||||X|1|P|2.5", "bad_delimiters"),
        (message(version="2.2"), "unsupported_version"),
        (message("pid|1"), "bad_segment_id"),
    ],
)
def test_refused_text_is_a_parse_error_naming_the_code(text, name):
    with pytest.raises(_hl7.ParseError) as caught:
        _hl7.parse(text)
    assert isinstance(caught.value, RuntimeError)
    assert (str(caught.value), caught.value.reason) == (f"hl7.parse: {name}", name)


@pytest.mark.parametrize(
    "call",
    [
        lambda: _hl7.build_oru({}, {"patient_id": 42}, []),
        lambda: _hl7.build_oru({"version": None}, {}, []),
        lambda: _hl7.build_oru({"our_app": b"A"}, {}, []),
        lambda: _hl7.build_oru({}, {}, [{"value": 1.5}]),
        lambda: _hl7.build_oru({}, {}, [{}, ["value", "x"]]),
        lambda: _hl7.build_oru({}, {}, [("value", "x")]),
        lambda: _hl7.build_oru({}, {}, ["value"]),
        lambda: _hl7.build_oru({}, {}, [None]),
        lambda: _hl7.build_oru({"our_app": "\ud800"}, {}, []),
        lambda: _hl7.build_oru({}, {}, [{"value": "ok \udfff"}]),
        lambda: _hl7.parse(message("NTE|\ud83d")),
    ],
)
def test_values_that_cannot_be_converted_are_bad_casts(call):
    with pytest.raises(RuntimeError) as caught:
        call()
    assert type(caught.value) is RuntimeError
    assert str(caught.value) == "std::bad_cast"


class Recording(dict):
    """A dict that logs every item fetched, returning a fresh string each time."""

    def __init__(self, log, keys):
        super().__init__((key, key) for key in keys)
        self.log = log

    def __getitem__(self, key):
        self.log.append(key)
        return "".join(["v-", key])


def test_values_are_read_in_record_order_and_only_when_present():
    log = []
    config = Recording(log, CONFIG_KEYS[::-1])
    context = Recording(log, CONTEXT_KEYS[::-1])
    observations = [Recording(log, OBSERVATION_KEYS[::-1]), Recording(log, ["value"])]
    built = _hl7.build_oru(config, context, observations)
    assert log == CONFIG_KEYS + CONTEXT_KEYS + OBSERVATION_KEYS + ["value"]
    segments = _hl7.parse(built.replace("v-version", "2.5"))
    assert segments[4]["fields"][5] == "v-value" and segments[5]["fields"][2:6] == ["TX", "", "", "v-value"]


def test_the_first_bad_value_ends_the_call():
    log = []
    config = Recording(log, ["our_app"])
    with pytest.raises(RuntimeError, match="std::bad_cast"):
        _hl7.build_oru(config, {"patient_id": 1}, [Recording(log, ["value"])])
    assert log == ["our_app"]


class Failing(Exception):
    pass


class RaisingItem(dict):
    def __getitem__(self, key):
        raise Failing(key)


class RaisingIteration(list):
    def __iter__(self):
        raise Failing("iter")


class RaisingMidway(list):
    def __iter__(self):
        yield {}
        raise Failing("midway")


class ClashingKey(str):
    """Hashes like "patient_id" but cannot be compared, so the membership test itself fails."""

    def __hash__(self):
        return hash("patient_id")

    def __eq__(self, other):
        raise Failing("eq")


@pytest.mark.parametrize(
    ("call", "detail"),
    [
        (lambda: _hl7.build_oru(RaisingItem(our_app="A"), {}, []), "our_app"),
        (lambda: _hl7.build_oru({}, {}, [RaisingItem(status="P")]), "status"),
        (lambda: _hl7.build_oru({}, {}, RaisingIteration([{}])), "iter"),
        (lambda: _hl7.build_oru({}, {}, RaisingMidway()), "midway"),
        (lambda: _hl7.build_oru({}, {ClashingKey("x"): "y"}, []), "eq"),
    ],
)
def test_python_errors_raised_while_reading_pass_through_unchanged(call, detail):
    with pytest.raises(Failing) as caught:
        call()
    assert caught.value.args == (detail,)


def test_parse_result_shape():
    segments = _hl7.parse(message("PID|1||X", "ZDS"))
    assert type(segments) is list
    for segment in segments:
        assert type(segment) is dict and list(segment) == ["id", "fields"]
        assert type(segment["id"]) is str and type(segment["fields"]) is list
        assert all(type(piece) is str for piece in segment["fields"])
        assert segment["fields"][0] == segment["id"]


def test_build_result_is_a_str():
    assert type(_hl7.build_oru({}, {}, [])) is str


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="AddressSanitizer's quarantine keeps freed memory resident")
def test_a_hundred_thousand_calls_hold_memory_steady():
    text = message(*(f"OBX|{n}|TX|ID^Name||{'x' * 60}||||||F" for n in range(1, 13)))
    config, context = {"our_app": "A" * 100, "version": "2.5"}, {"patient_name": "DOE^JOHN" * 10}
    observations = [{"value": "finding\r" * 20} for _ in range(4)]

    def one_call(n: int) -> None:
        kind = n % 5
        if kind == 0:
            _hl7.parse(text)
        elif kind == 1:
            _hl7.build_oru(config, context, observations)
        else:
            try:
                if kind == 2:
                    _hl7.parse(text + "bad\r")
                elif kind == 3:
                    _hl7.build_oru(config, context, [*observations, {"value": 1}])
                else:
                    _hl7.parse(None)
            except (RuntimeError, TypeError):
                pass

    assert growth_over(one_call, calls=100_000, warmup=5_000).resident < 8 * 1024 * 1024


def test_module_refuses_to_load_in_a_subinterpreter():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    import zanthe

    script = (
        f"import sys; sys.path[:] = {sys.path!r}\n"
        f"import zanthe; zanthe.__path__[:] = {list(zanthe.__path__)!r}\n"
        "from zanthe import _hl7\n"
    )
    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError, match="ImportError.*does not support loading in subinterpreters"):
            interpreters.run_string(interpreter, script)
    finally:
        interpreters.destroy(interpreter)

"""The request JSON reader, its arena and the string quoting, checked against Python's json."""

import json
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _agent_testing as agent


def parse(text: bytes, capacity: int = agent.LINE_ARENA_BYTES):
    status, value, _ = agent.parse_json(text, capacity)
    return status, value


def as_reader_value(value):
    """Python's json result in the reader's shape (bytes strings, objects as member tuples)."""
    if isinstance(value, str):
        return value.encode()
    if isinstance(value, list):
        return [as_reader_value(v) for v in value]
    if isinstance(value, tuple):
        return tuple((k.encode(), as_reader_value(v)) for k, v in value)
    if isinstance(value, int) and not isinstance(value, bool) and not -(2**63) <= value < 2**63:
        return float(value)
    return value


def python_json(text: str):
    return as_reader_value(json.loads(text, object_pairs_hook=tuple))


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**70), max_value=2**70)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=8), children, max_size=5),
    max_leaves=30,
)


@settings(max_examples=400)
@given(json_values, st.booleans(), st.sampled_from([None, 0, 2]))
def test_agrees_with_python_json(value, ensure_ascii, indent):
    text = json.dumps(value, ensure_ascii=ensure_ascii, indent=indent)
    assert parse(text.encode()) == ("ok", python_json(text))


@pytest.mark.parametrize(
    "text, expected",
    [
        (b"", ("empty", None)),
        (b"  \r\n\t ", ("empty", None)),
        (b"x", ("syntax", None)),
        (b"}", ("syntax", None)),
        (b'{"a":1} trailing {', ("ok", ((b"a", 1),))),
        (b"truex", ("ok", True)),
        (b"[truex]", ("syntax", None)),
        (b"-", ("syntax", None)),
        (b"-a", ("syntax", None)),
        (b"-0", ("ok", 0)),
        (b"+5", ("ok", 5.0)),
        (b"1.0", ("ok", 1.0)),
        (b"007", ("ok", 7)),
        (b"1e400", ("ok", math.inf)),
        (b"1-2", ("syntax", None)),
        (b"1e", ("syntax", None)),
        (b".5", ("ok", 0.5)),
        (b"-.5", ("ok", -0.5)),
        (b"1.", ("ok", 1.0)),
        (b"e5", ("syntax", None)),
        (b"1e+5", ("ok", 100000.0)),
        (b'"a\\/b"', ("ok", b"a/b")),
        (b'"tab\there"', ("ok", b"tab\there")),
        (b'"\\q"', ("syntax", None)),
        (b'"open', ("syntax", None)),
        (b'"ends in \\', ("syntax", None)),
        (b"[1,]", ("syntax", None)),
        (b"[,1]", ("syntax", None)),
        (b'{"a":1,}', ("syntax", None)),
        (b"{a:1}", ("syntax", None)),
        (b"[ ]", ("ok", [])),
        (b"{ }", ("ok", ())),
        (b'{"k":1,"k":2}', ("ok", ((b"k", 1), (b"k", 2)))),
        (b'"\xff\x00raw"', ("ok", b"\xff\x00raw")),
    ],
)
def test_reader_edge_cases(text, expected):
    assert parse(text) == expected


@pytest.mark.parametrize(
    "literal, decoded",
    [
        ('"M\\u00fcller"', "Müller".encode()),
        ('"\\u0000\\u001f"', b"\x00\x1f"),
        ('"\\u20AC"', "€".encode()),
        ('"\\ud83d\\ude00"', "😀".encode()),
        ('"\\uD834\\uDD1E"', "𝄞".encode()),
    ],
)
def test_unicode_escapes_decode_to_utf8(literal, decoded):
    assert parse(literal.encode()) == ("ok", decoded)


@pytest.mark.parametrize(
    "literal",
    ['"\\ud83d"', '"\\ude00"', '"\\ud83d\\u0041"', '"\\ud83dx"', '"\\u12"', '"\\u12g4"', '"\\uD800\\uD800"'],
)
def test_malformed_or_lone_surrogate_escapes_are_syntax(literal):
    assert parse(literal.encode()) == ("syntax", None)


@pytest.mark.parametrize(
    "literal, value",
    [
        (b"9223372036854775807", 2**63 - 1),
        (b"-9223372036854775808", -(2**63)),
        (b"9223372036854775808", 9223372036854775808.0),
        (b"-9223372036854775809", -9223372036854775809.0),
        (b"18446744073709551617", 18446744073709551617.0),
        (b"1" + b"0" * 400, math.inf),
    ],
)
def test_integers_beyond_64_bits_read_as_doubles_not_wrapped(literal, value):
    status, parsed = parse(literal)
    assert status == "ok" and parsed == value and type(parsed) is type(value)


@pytest.mark.parametrize(
    "literal",
    [b"1e400", b"-1e400", b"+1E+400", b"1e-400", b"-1e-400", b"0.1e-330", b"4.9e-324", b"2.5e-324", b"1.e5", b"-.25"],
)
def test_floating_tokens_convert_like_the_c_library(literal):
    # Python's float() follows the same correctly rounded conversion, overflow to infinity and
    # underflow to a signed zero included.
    status, value = parse(literal)
    assert status == "ok" and type(value) is float
    assert math.copysign(1, value) == math.copysign(1, float(literal)) and value == float(literal)


def test_float_tokens_are_limited_to_63_bytes():
    assert parse(b"0." + b"0" * 60 + b"1")[0] == "ok"  # 63 bytes
    assert parse(b"0." + b"0" * 61 + b"1")[0] == "syntax"  # 64 bytes


def test_nesting_is_bounded_and_deeper_input_is_syntax():
    depth = agent.MAX_DEPTH
    assert parse(b"[" * depth + b"]" * depth)[0] == "ok"
    assert parse(b"[" * (depth + 1) + b"]" * (depth + 1)) == ("syntax", None)
    assert parse(b'{"a":' * (depth + 1) + b"1" + b"}" * (depth + 1)) == ("syntax", None)


def test_arena_too_small_is_out_of_arena_and_larger_arena_parses():
    text = json.dumps({f"k{i}": i for i in range(20)}).encode()
    assert parse(text, 100) == ("out_of_arena", None)
    assert parse(text, 100_000)[0] == "ok"
    assert parse(b'"needs\\nspace"', 0) == ("out_of_arena", None)
    assert parse(b'"no escapes, no arena"', 0) == ("ok", b"no escapes, no arena")


def test_arena_holds_exact_tables_and_raw_length_strings():
    # Three 24-byte slots, then a 4-byte string at the raw length of its literal.
    status, _, used = agent.parse_json(b'[1,2,3]')
    assert (status, used) == ("ok", 72)
    status, _, used = agent.parse_json(b'"a\\nb"')
    assert (status, used) == ("ok", 4)


def test_exact_capacity_parses_and_one_byte_less_runs_out():
    text = b'{"a":[1,2],"b":"x\\ty"}'
    _, _, used = agent.parse_json(text)
    assert parse(text, used)[0] == "ok"
    assert parse(text, used - 1)[0] == "out_of_arena"


def test_find_member_takes_the_first_match():
    assert agent.find_member(b'{"k":1,"k":2}', b"k") == 1
    assert agent.find_member(b'{"k":1}', b"K") is None
    assert agent.find_member(b"[1]", b"k") is None


@given(st.binary(max_size=64) | st.text(max_size=16).map(str.encode))
def test_utf8_check_agrees_with_python_and_echoes_always_decode(data):
    try:
        decoded = data.decode("utf-8")
    except UnicodeDecodeError:
        decoded = None
    assert agent.is_valid_utf8(data) is (decoded is not None)
    echoed = json.loads(b'"' + agent.json_escape_utf8(data) + b'"')  # strict UTF-8 decoding
    if decoded is not None:
        assert echoed == decoded
    else:
        assert "\ufffd" in echoed
        assert echoed.replace("\ufffd", "") == data.decode("utf-8", "ignore").replace("\ufffd", "")


def test_json_escape_bytes():
    assert agent.json_escape(b"\x01\x22\x5c\x7f\xc3\xa9") == b'\\u0001\\"\\\\\x7f\xc3\xa9'
    assert agent.json_escape(b"\x08\x0c\t\n\r/") == b"\\u0008\\u000c\\t\\n\\r/"
    assert agent.json_quote(b'a"b') == b'"a\\"b"'


# Long runs of plain bytes with the odd byte that needs escaping, at every offset of an 8-byte word.
RUNS = st.text(alphabet=st.sampled_from('aaaaaaaaaaaaaaaa"\\\x00\x1f\x20\x7f\u00e9'), max_size=80)


@given(st.text() | RUNS)
def test_quoted_text_reads_back_with_python_json(text):
    assert json.loads(agent.json_quote(text.encode())) == text


@pytest.mark.parametrize("misalign", range(8))
@pytest.mark.parametrize("capacity", [0, 1, 2, 3, 7, 8, 30, 100])
@pytest.mark.parametrize("text", [b'"\\n\\n"', b'"\\u00e9\\t"', b"[1]", b'{"a":"\\n"}', b'[["x\\n"]]'])
def test_arenas_at_any_alignment_never_write_outside_their_bytes(text, capacity, misalign):
    status, value, used = agent.parse_json(text, capacity, misalign)
    assert used <= capacity
    assert status == "ok" or status == "out_of_arena"
    if status == "ok":
        assert (status, value) == parse(text)

"""Hostile HL7 input: huge messages, random bytes and random text parse or fail with a named code, in linear time."""

import random

import hl7
import pytest
from hypothesis import given
from hypothesis import strategies as st

from helpers.growth import assert_linear
from zanthe import _hl7

HEADER = "MSH|^~\\&|A|B|C|D|20240101||ORU^R01|1|P|2.5\r"
ERROR_CODES = {"empty", "no_msh", "msh_too_short", "bad_delimiters", "unsupported_version", "bad_segment_id"}

pytestmark = pytest.mark.timeout(120)


def parse_or_code(text: str) -> list | str:
    """The segments, or the code named by the refusal; any other failure fails the test."""
    try:
        return _hl7.parse(text)
    except RuntimeError as error:
        prefix, _, code = str(error).partition(": ")
        assert prefix == "hl7.parse" and code in ERROR_CODES, error
        return code


def observations(count: int) -> str:
    return HEADER + "".join(f"OBX|{n}|TX|FINDING^Findings||line {n} of the report||||||F\r" for n in range(count))


def test_a_100_mb_message():
    report = "A" * (100 << 20)
    segments = _hl7.parse(HEADER + f"OBX|1|ED|PDF^Report||^AP^PDF^Base64^{report}||||||F\r")
    assert [s["id"] for s in segments] == ["MSH", "OBX"]
    assert len(segments[1]["fields"][5]) == len(report) + len("^AP^PDF^Base64^")


@pytest.mark.parametrize(
    "make, small",
    [
        (observations, 2_000),
        (lambda count: HEADER + "\n" * count + "PID|1\r", 100_000),  # only empty segments until the end
        (lambda count: HEADER + "|" * count + "\r", 1 << 20),
    ],
    ids=["many segments", "LF only", "many empty fields"],
)
def test_cost_is_linear_in_the_message(make, small):
    # A long field is left to the 100 MB test: its cost is page faults, and whether a size pays them
    # depends on what the allocator kept from earlier tests, not on the parser.
    assert_linear(make, parse_or_code, small)


@given(st.binary(max_size=512))
def test_random_bytes_parse_or_are_refused_with_a_code(data):
    text = data.decode("latin-1")
    outcome = parse_or_code(text)
    if isinstance(outcome, list):
        assert outcome[0]["id"] == "MSH"


@given(st.text(alphabet=st.sampled_from("MSH|^~\\&\r\n2.5ABZ01 "), max_size=200))
def test_random_header_shaped_text_parses_like_python_hl7_splits_segments(text):
    full = HEADER + text
    outcome = parse_or_code(full)
    if isinstance(outcome, list):
        # White space after the last terminator is padding, not a segment.
        blank_tail = full[len(full.rstrip(" \t\r\n")) :]
        cut = min((blank_tail.find(end) for end in "\r\n" if end in blank_tail), default=len(blank_tail))
        body = full[: len(full) - len(blank_tail) + cut]
        expected = [s for s in body.replace("\r\n", "\r").replace("\n", "\r").split("\r") if s]
        assert ["|".join(s["fields"]) for s in outcome] == expected


def test_random_bytes_in_every_value_of_a_built_message_survive_a_python_hl7_parse():
    rng = random.Random(8)
    for _ in range(200):
        value = bytes(rng.randrange(1, 128) for _ in range(rng.randrange(64))).decode("ascii")
        built = _hl7.build_oru({"our_app": value}, {"patient_id": value}, [{"value": value}] * 3)
        assert len(_hl7.parse(built)) == 7
        assert len(hl7.parse(built)) == 7

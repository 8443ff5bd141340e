"""_hl7.parse against python-hl7 on the ER7 corpus, and the cases where they differ by design."""

from pathlib import Path

import hl7
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers.er7 import header, message, peer_segments
from zanthe import _hl7

CORPUS = sorted((Path(__file__).parent / "corpus").glob("*.hl7"))


def read(path: Path) -> str:
    return path.read_bytes().decode("utf-8")


def message_type(text: str) -> str:
    msh = _hl7.parse(text)[0]["fields"]
    component_separator = msh[1][0]
    return msh[8].split(component_separator)[0]


def test_corpus_covers_types_endings_and_delimiters():
    texts = [read(path) for path in CORPUS]
    assert {"ADT", "ORU", "ORM"} <= {message_type(text) for text in texts}
    assert any("\r\n" in text for text in texts)
    assert any("\r" in text and "\n" not in text for text in texts)
    assert any("\n" in text and "\r" not in text for text in texts)
    assert any(not text.startswith("MSH|^~\\&") for text in texts)


@pytest.mark.parametrize("path", CORPUS, ids=lambda path: path.name)
def test_segments_and_fields_match_python_hl7(path):
    text = read(path)
    assert _hl7.parse(text) == peer_segments(text)


# python-hl7 reads BHS and FHS (and a later MSH) as batch and file headers, so they are left out.
segment_ids = st.text(alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", min_size=3, max_size=3).filter(
    lambda segment_id: segment_id not in ("MSH", "BHS", "FHS")
)
field_texts = st.text(alphabet=st.characters(codec="utf-8", exclude_characters="|\r\n"), max_size=12)
# A closing field keeps python-hl7's strip() of the whole text away from the generated values.
segment_lines = st.builds(lambda i, fields: "|".join([i, *fields, "END"]), segment_ids, st.lists(field_texts, max_size=6))


@settings(max_examples=200, deadline=None)
@given(lines=st.lists(segment_lines, max_size=6), version=st.sampled_from(["2.3", "2.4", "2.5", "2.8^X"]))
def test_generated_messages_match_python_hl7(lines, version):
    text = message(*lines, version=version)
    assert _hl7.parse(text) == peer_segments(text)


def accepted_by_peer(text: str) -> bool:
    return len(hl7.parse(text)) > 0


# Texts python-hl7 takes as messages while _hl7 refuses them: its header and version checks are
# stricter on purpose.
STRICTER = [
    ("version_not_in_table", message("PID|1", version="2.10"), "unsupported_version"),
    ("old_version", message("PID|1", version="2.2"), "unsupported_version"),
    ("no_version", header(version="") + "\rPID|1", "unsupported_version"),
    ("subcomponent_equal_to_field_separator", "MSH|^~\\||A|B|C|D|1||ADT^A01|1|P|2.5\rPID|1", "bad_delimiters"),
    ("control_byte_delimiter", "MSH|^~\\\x01|A|B|C|D|1||ADT^A01|1|P|2.5\rPID|1", "bad_delimiters"),
    ("space_as_field_separator", "MSH ^~\\& A B C D 1  ADT^A01 1 P 2.5\rPID 1", "bad_delimiters"),
    ("lower_case_segment_id", message("pid|1"), "bad_segment_id"),
    ("two_letter_segment_id", message("PV|1"), "bad_segment_id"),
    ("segment_id_without_separator", message("PID1|x"), "bad_segment_id"),
    ("blank_line_before_header", "\r" + message("PID|1"), "no_msh"),
    ("space_before_header", " " + message("PID|1"), "no_msh"),
]


@pytest.mark.parametrize(("text", "name"), [case[1:] for case in STRICTER], ids=[case[0] for case in STRICTER])
def test_stricter_checks_than_python_hl7(text, name):
    assert accepted_by_peer(text)
    with pytest.raises(RuntimeError, match=f"^hl7.parse: {name}$"):
        _hl7.parse(text)


def test_lf_ends_segments_where_python_hl7_reads_one_segment():
    text = message("PID|1||X", "OBX|1|TX", end="\n")
    assert len(hl7.parse(text)) == 1
    assert [segment["id"] for segment in _hl7.parse(text)] == ["MSH", "PID", "OBX"]


def test_cr_lf_is_one_terminator_where_python_hl7_keeps_the_lf_in_the_next_id():
    text = message("PID|1||X", "OBX|1|TX", end="\r\n")
    assert [str(segment[0]) for segment in hl7.parse(text)] == ["MSH", "\nPID", "\nOBX"]
    assert [segment["id"] for segment in _hl7.parse(text)] == ["MSH", "PID", "OBX"]


def test_blank_lines_are_skipped_where_python_hl7_keeps_empty_segments():
    text = header() + "\r\rPID|1\r"
    assert len(hl7.parse(text)) == 3
    assert [segment["id"] for segment in _hl7.parse(text)] == ["MSH", "PID"]

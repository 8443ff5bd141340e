"""The ER7 parser: header checks in their order, the segment split, the field split, the index."""

import itertools
import string

import pytest

import _hl7_testing as native
from helpers.er7 import DEFAULT_DELIMITERS, header, message
from zanthe import _hl7

EMPTY, NO_MSH, MSH_TOO_SHORT, BAD_DELIMITERS, UNSUPPORTED_VERSION, BAD_SEGMENT_ID = range(1, 7)
NAMES = ["empty", "no_msh", "msh_too_short", "bad_delimiters", "unsupported_version", "bad_segment_id"]


def rejection(text: str) -> str:
    with pytest.raises(RuntimeError) as caught:
        _hl7.parse(text)
    return str(caught.value)


@pytest.mark.parametrize(("code", "name"), list(enumerate(NAMES, start=1)))
def test_error_codes_have_fixed_numbers_and_names(code, name):
    assert native.error_name(code) == name


@pytest.mark.parametrize("code", [0, 7, 42, 255])
def test_numbers_outside_the_table_are_unknown(code):
    assert native.error_name(code) == "unknown"


@pytest.mark.parametrize(
    ("text", "code"),
    [
        (b"", EMPTY),
        (b"M", NO_MSH),
        (b"MS", NO_MSH),
        (b"msh|^~\\&|||||||ADT|1|P|2.5", NO_MSH),
        (b"\rMSH|^~\\&|||||||ADT|1|P|2.5", NO_MSH),
        (b"\nMSH|^~\\&|||||||ADT|1|P|2.5", NO_MSH),
        (b" MSH|^~\\&|||||||ADT|1|P|2.5", NO_MSH),
        (b"PID|1", NO_MSH),
        (b"MSH", MSH_TOO_SHORT),
        (b"MSH|^~\\", MSH_TOO_SHORT),
        (b"MSH\xff\xff\xff\xff", MSH_TOO_SHORT),
        (b"MSH|^~\\&", UNSUPPORTED_VERSION),
    ],
)
def test_header_is_checked_before_anything_else(text, code):
    assert native.parse_message(text) == code


@pytest.mark.parametrize(
    "five",
    [
        b" ^~\\&",  # space as field separator
        b"|^~\\^",  # repeated encoding character
        b"|^~\\|",  # subcomponent equal to the field separator
        b"||~\\&",
        b"|^\t\\&",  # control byte
        b"|^~\x7f&",  # DEL
        b"|^~\\\xc3",  # non-ASCII
        b"|^\r\\&",  # a line break inside the header
        b"|^~\\\x00",
    ],
)
def test_delimiters_must_be_distinct_printable_ascii(five):
    text = b"MSH" + five + header().encode()[8:]
    assert native.parse_message(text) == BAD_DELIMITERS


@pytest.mark.parametrize("five", [b"!\"#$%", b"}~{|z", b"#$*!@", b"|^~\\&"])
def test_any_distinct_printable_delimiters_are_read_from_the_header(five):
    parsed = native.parse_message(header(delimiters=five.decode()).encode())
    assert parsed["delimiters"] == five


@pytest.mark.parametrize("field_separator", ["M", "S", "H", "9"])
def test_a_field_separator_that_is_also_an_id_byte_cuts_only_after_the_id(field_separator):
    # The three ID bytes are the segment's name, never a cut, so MSH-12 is still the twelfth field.
    standard = message("PID|1||X", "MRG|1", "Z9H|2", "ZDS").replace("SND", "ABC")
    parsed = _hl7.parse(standard.replace("|", field_separator))
    assert parsed == _hl7.parse(standard)


def test_a_fifth_encoding_character_stays_in_msh_2():
    text = "MSH|^~\\&#|A|B|C|D|20240101||ADT^A01|1|P|2.5\r"
    assert _hl7.parse(text)[0]["fields"][:3] == ["MSH", "^~\\&#", "A"]


SUPPORTED = ["2.3", "2.3.1", "2.4", "2.5", "2.5.1", "2.6", "2.7", "2.7.1", "2.8", "2.8.1", "2.8.2", "2.9"]


@pytest.mark.parametrize("version", [*SUPPORTED, "2.5^X", "2.5^", "2.5.1^HL7"])
def test_supported_versions_pass(version):
    assert _hl7.parse(message(version=version))[0]["fields"][11] == version


@pytest.mark.parametrize(
    "version", ["", "2.2", "2.1", "2.5.2", "2.10", "3.0", "2.5 ", " 2.5", "2", "2.50", "V2.5", "^2.5", "2.5~2.4"]
)
def test_other_versions_are_refused(version):
    assert rejection(message(version=version)) == "hl7.parse: unsupported_version"


def test_version_is_read_from_the_header_line_only():
    short_header = "MSH|^~\\&|A|B|C|D|20240101||ADT^A01|1|P"
    for end in ("\r", "\n", "\r\n"):
        assert rejection(short_header + end + "|2.5" + end) == "hl7.parse: unsupported_version"


def test_version_ends_at_the_twelfth_separator():
    assert _hl7.parse(header() + "|2.4|2.6\r")[0]["fields"][11:] == ["2.5", "2.4", "2.6"]


def test_version_uses_the_declared_separators():
    assert _hl7.parse(header(version="2.6$X", delimiters="#$*!@"))[0]["fields"][11] == "2.6$X"
    # "|" is an ordinary byte under these delimiters, so it stays in the version.
    assert rejection(header(version="2.6|2.5", delimiters="#$*!@")) == "hl7.parse: unsupported_version"


def test_checks_run_in_order():
    # Bad delimiters, an unsupported version and a bad segment: the delimiters are reported.
    assert native.parse_message(b"MSH|^~\\^|||||||X|1|P|9.9\rpid|1") == BAD_DELIMITERS
    # An unsupported version before a bad segment later in the text.
    assert native.parse_message(message("pid|1", version="9.9").encode()) == UNSUPPORTED_VERSION


@pytest.mark.parametrize("end", ["\r", "\n", "\r\n"])
def test_every_line_ending_gives_the_same_segments(end):
    segments = ["PID|1||X", "PV1|1|I", "OBX|1|TX|||a^b~c"]
    assert _hl7.parse(message(*segments, end=end)) == _hl7.parse(message(*segments))


@pytest.mark.parametrize("gap", ["\r\r", "\n\n", "\r\n\r\n", "\n\r", "\r\n\n", "\r\r\n\r"])
def test_blank_lines_and_trailing_terminators_add_no_segment(gap):
    text = header() + gap + "PID|1" + gap
    assert [segment["id"] for segment in _hl7.parse(text)] == ["MSH", "PID"]


@pytest.mark.parametrize("tail", ["\r     ", "\r\n \t \r\n  ", "\n\n   \n"])
def test_white_space_after_the_last_terminator_is_no_segment(tail):
    assert [segment["id"] for segment in _hl7.parse(header() + "\rPID|1" + tail)] == ["MSH", "PID"]


@pytest.mark.parametrize("text", ["\rPID|1  ", "\rPID|1  \r"])
def test_trailing_spaces_inside_the_last_segment_are_kept(text):
    assert _hl7.parse(header() + text)[-1]["fields"] == ["PID", "1  "]


def test_a_blank_line_before_another_segment_is_still_refused():
    assert rejection(message("PID|1", "   ", "OBX|1")) == "hl7.parse: bad_segment_id"


def test_last_segment_may_run_to_the_end_of_the_text():
    assert _hl7.parse(header() + "\rPID|1|X")[-1]["fields"] == ["PID", "1", "X"]


@pytest.mark.parametrize("line", ["pid|1", "PV|1", "PID1|x", "P1", "ZZ", "Z", "PI-|1", "PID^1", "PÉD|1", "PID |1"])
def test_any_bad_segment_id_refuses_the_whole_message(line):
    assert rejection(message("PID|1", line, "OBX|1")) == "hl7.parse: bad_segment_id"


def test_a_segment_id_alone_is_a_segment():
    assert _hl7.parse(message("ZDS", "Z01|"))[1:] == [
        {"id": "ZDS", "fields": ["ZDS"]},
        {"id": "Z01", "fields": ["Z01", ""]},
    ]


def test_a_later_msh_is_an_ordinary_segment():
    segments = _hl7.parse(message("MSH|second"))
    assert segments[1] == {"id": "MSH", "fields": ["MSH", "second"]}


@pytest.mark.parametrize(
    ("segment", "fields"),
    [
        ("PID|1||X|", ["PID", "1", "", "X", ""]),
        ("PID||||", ["PID", "", "", "", ""]),
        ("NTE|a^b~c&d\\F\\e", ["NTE", "a^b~c&d\\F\\e"]),
    ],
)
def test_fields_are_cut_at_every_separator_and_not_decoded(segment, fields):
    assert _hl7.parse(message(segment))[1]["fields"] == fields


def test_header_fields_start_with_the_encoding_characters():
    fields = _hl7.parse(message())[0]["fields"]
    assert fields[:3] == ["MSH", DEFAULT_DELIMITERS[1:], "SND"]


def test_segments_are_offsets_into_the_text_without_terminators():
    text = message("PID|1", "OBX|1|TX", end="\r\n").encode()
    parsed = native.parse_message(text)
    for segment_id, offset, length in parsed["segments"]:
        assert length > 0
        line = text[offset : offset + length]
        assert line[:3] == segment_id and b"\r" not in line and b"\n" not in line
    assert [s[0] for s in parsed["segments"]] == [b"MSH", b"PID", b"OBX"]


def test_the_text_is_moved_into_the_message_not_copied():
    assert native.parse_message(message("NTE|" + "x" * 200).encode())["text_moved"]


def test_index_maps_sorted_ids_to_ordinals_in_message_order():
    text = message("PID|1", "OBX|1", "ZZZ|1", "OBX|2", "OBR|1", "0AB|1", "OBX|3").encode()
    parsed = native.parse_message(text)
    expected = {}
    for ordinal, (segment_id, _, _) in enumerate(parsed["segments"]):
        expected.setdefault(segment_id, []).append(ordinal)
    assert parsed["index"] == sorted(expected.items())
    for segment_id, ordinals in expected.items():
        assert native.ordinals_of(text, segment_id) == ordinals
    assert native.ordinals_of(text, b"NTE") == []


def test_index_holds_every_possible_id_arriving_in_descending_order():
    # The worst order for a sorted index: every new ID lands in front of all the others.
    alphabet = string.ascii_uppercase + string.digits
    ids = sorted(("".join(p) for p in itertools.product(alphabet, repeat=3)), reverse=True)
    lines = [segment_id + "|" + str(n) for n, segment_id in enumerate(ids) if segment_id != "MSH"]
    lines += ["ZZZ|again"]
    parsed = native.parse_message(message(*lines).encode())
    expected = {}
    for ordinal, (segment_id, _, _) in enumerate(parsed["segments"]):
        expected.setdefault(segment_id, []).append(ordinal)
    assert len(expected) == len(alphabet) ** 3
    assert parsed["index"] == sorted(expected.items())
    assert expected[b"ZZZ"] == [1, len(parsed["segments"]) - 1]


def test_segment_at_past_the_end_is_the_empty_view():
    text = header(delimiters="#$*!@").encode()
    assert native.segment_at(text, 0) == (text, b"#$*!@", b"MSH", False)
    for ordinal in (1, 2, 1 << 40):
        assert native.segment_at(text, ordinal) == (b"", DEFAULT_DELIMITERS.encode(), b"\0\0\0", True)


def test_a_refused_message_has_no_segments():
    assert native.segment_at(message("PID|1", "bad").encode(), 0) is None


def test_non_ascii_text_passes_through_the_field_split():
    fields = _hl7.parse(message("NTE|1||Größe 日本語 \U0001f600|\x00"))[1]["fields"]
    assert fields == ["NTE", "1", "", "Größe 日本語 \U0001f600", "\x00"]

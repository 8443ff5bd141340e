"""zanthe.hl7: values by location against python-hl7, escape decoding, batches, byte decoding."""

from pathlib import Path

import hl7 as peer
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers.er7 import message
from zanthe import hl7

CORPUS = sorted((Path(__file__).parent / "corpus").glob("*.hl7"))


def peer_locations(segment_id: str, occurrence: int, segment, separators: str):
    """Every location the segment holds with its (field, repetition, component, subcomponent) numbers,
    found by splitting python-hl7's text of each field with its separators."""
    _, repetition, component, subcomponent = separators
    for field in range(1, len(segment)):
        if segment_id == "MSH" and field <= 2:
            yield f"MSH-{field}", (field, 1, 1, 1)
            continue
        yield f"{segment_id}({occurrence})-{field}", (field, 1, 1, 1)
        for r, rep in enumerate(str(segment[field]).split(repetition), start=1):
            for c, comp in enumerate(rep.split(component), start=1):
                for s in range(1, len(comp.split(subcomponent)) + 1):
                    yield f"{segment_id}({occurrence})-{field}({r})-{c}-{s}", (field, r, c, s)


@pytest.mark.parametrize("path", CORPUS, ids=lambda path: path.name)
def test_every_value_agrees_with_python_hl7(path):
    data = path.read_bytes()
    ours = hl7.parse(data)
    theirs = peer.parse(data.decode("utf-8").replace("\r\n", "\r").replace("\n", "\r"))
    assert [segment.id for segment in ours] == [str(segment[0]) for segment in theirs]
    assert [str(segment) for segment in ours] == [str(segment) for segment in theirs]
    checked = 0
    for segment_id in {str(segment[0]) for segment in theirs if len(segment) > 1}:  # a bare "ZDS" confuses it
        for occurrence, segment in enumerate(theirs.segments(segment_id), start=1):
            for location, path_numbers in peer_locations(segment_id, occurrence, segment, theirs.separators[1:]):
                # python-hl7 turns \.br\ into CR; a line break is "\n" here.
                expected = theirs.extract_field(segment_id, occurrence, *path_numbers).replace("\r", "\n")
                assert ours[location] == expected, location
                checked += 1
    assert checked >= sum(len(segment) - 1 for segment in theirs)  # at least each field once


DELIMITER_POOL = "|^~\\&#$*!@%+"
delimiter_sets = st.permutations(DELIMITER_POOL).map(lambda chars: "".join(chars[:5]))


def escaped(text: str, delimiters: str, as_hex: list[bool]) -> str:
    """`text` written with the escape sequences of `delimiters`; any character may be written as the hex
    of its UTF-8 bytes (one sequence per byte), line ends always are unless \\.br\\ is chosen."""
    field, component, repetition, escape, subcomponent = delimiters
    names = {field: "F", component: "S", repetition: "R", escape: "E", subcomponent: "T"}
    out = []
    for char, hexed in zip(text, as_hex):
        if char == "\n" and not hexed:
            out.append(f"{escape}.br{escape}")
        elif hexed or char in "\r\n":
            out.append("".join(f"{escape}X{byte:02X}{escape}" for byte in char.encode()))
        elif char in names:
            out.append(f"{escape}{names[char]}{escape}")
        else:
            out.append(char)
    return "".join(out)


@settings(max_examples=300)
@given(
    delimiters=delimiter_sets,
    text=st.text(st.one_of(st.sampled_from(DELIMITER_POOL + "\r\nX.br"), st.characters(codec="utf-8"))),
    data=st.data(),
)
def test_escaped_text_decodes_to_the_original(delimiters, text, data):
    as_hex = data.draw(st.lists(st.booleans(), min_size=len(text), max_size=len(text)))
    f = delimiters[0]
    header = "MSH" + delimiters + f + f.join(["A", "B", "C", "D", "20240101", "", "ORU", "1", "P", "2.5"])
    parsed = hl7.parse(f"{header}\rOBX{f}1{f}TX{f}{f}{f}{escaped(text, delimiters, as_hex)}\r")
    assert parsed["OBX-5"] == text


LATIN_1 = message("PID|1||7||MÜLLER^JÖRG", version="2.5" + "|" * 6 + "8859/1").encode("latin-1")
UTF_8 = message("PID|2||8||ÅSTRÖM^KARIN", end="\n").encode()


@pytest.mark.parametrize("bom", [b"", b"\xef\xbb\xbf"], ids=["no_bom", "bom"])
@pytest.mark.parametrize(
    "layout",
    [b"%s\r\n\r\n%s", b"FHS|^~\\&|A\rBHS|^~\\&|A\r%s%sBTS|2\rFTS|1\r"],
    ids=["one_after_another", "enveloped"],
)
def test_batch_bytes_are_decoded_message_by_message(bom, layout):
    messages = hl7.parse_batch(bom + layout % (LATIN_1, UTF_8))
    assert [m["PID-5-1"] for m in messages] == ["MÜLLER", "ÅSTRÖM"]
    assert [m.charset for m in messages] == ["iso8859-1", "utf-8"]
    assert [segment.id for segment in messages[1]] == ["MSH", "PID"]
    assert hl7.parse(bom + layout % (UTF_8, b""))["PID-3"] == "8"


@pytest.mark.parametrize(
    ("data", "reason"),
    [
        ("", "empty"),
        (b"\xef\xbb\xbfPID|1\r", "no_msh"),
        (UTF_8 + UTF_8, "several_messages"),
        (message("PID|1||7||MÜLLER").encode("latin-1"), "undecodable"),
        (message("PID|1", version="2.5" + "|" * 6 + "ISO IR87").encode(), "undecodable"),
    ],
)
def test_refusals_are_parse_errors_with_a_reason(data, reason):
    with pytest.raises(hl7.ParseError) as caught:
        hl7.parse(data)
    assert caught.value.reason == reason and str(caught.value).startswith(f"hl7.parse: {reason}")


def test_a_failing_message_of_a_batch_is_named_by_its_number():
    with pytest.raises(hl7.ParseError, match=r"^message 2: hl7.parse: bad_segment_id$"):
        hl7.parse_batch(UTF_8 + message("pid|1").encode())


SAMPLE = hl7.parse(message("PID|1||A~B^^^X&Y||DOE^JANE", "OBX|1|TX|||\\XC3\\\\XA9\\", "OBX|2|TX|||\\Z1\\ \\E"))


@pytest.mark.parametrize(
    ("location", "value"),
    [
        ("PID-3", "A"),
        ("PID-3(2)-4-2", "Y"),
        ("PID-3(3)", ""),
        ("PID-99", ""),
        ("ZZZ-1", ""),
        ("OBX(3)-5", ""),
        ("OBX-5", "é"),
        ("OBX(2)-5", "\\Z1\\ \\E"),
        ("MSH-1", "|"),
        ("MSH-2", "^~\\&"),
        ("MSH-2-2", ""),
        ("PID", ValueError),
        ("PID-0", ValueError),
        ("pid-5", ValueError),
        ("PID-5-1-1-1", ValueError),
        ("PID.5", ValueError),
    ],
)
def test_locations_absent_and_malformed(location, value):
    if value is ValueError:
        with pytest.raises(ValueError, match="not an HL7 location|starts with"):
            SAMPLE[location]
    else:
        assert SAMPLE[location] == value


def test_segments_properties_and_acknowledgment():
    assert (SAMPLE.message_type, SAMPLE.control_id, SAMPLE.version) == ("ADT^A01", "CTRL1", "2.5")
    assert [obx[1] for obx in SAMPLE.segments("OBX")] == ["1", "2"]
    assert SAMPLE.segment("PID")["5-2"] == "JANE" and SAMPLE.segment("PID")[3] == "A~B^^^X&Y"
    with pytest.raises(KeyError):
        SAMPLE.segment("ZZZ")
    ack = peer.parse(SAMPLE.ack("AE", "bad value", control_id="A1"))
    assert (ack["MSH.F5"], ack["MSH.F10"], ack["MSA.F1"], ack["MSA.F2"]) == ("SND", "A1", "AE", "CTRL1")


def test_build_oru_refuses_unknown_keys():
    with pytest.raises(ValueError, match=r"^hl7.build_oru: unknown keys in context: 'a', 'b'$"):
        hl7.build_oru({}, {"patient_id": "1", "a": "", "b": ""}, [])

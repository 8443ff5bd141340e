"""parse_dataset: the flat list of top-level elements and every repair it makes; find_text."""

import pytest

import _dicom_testing as dt
from helpers import dicom_writer as w

UNDEFINED = w.UNDEFINED
NAME = w.explicit(0x00100010, "PN", w.text("Doe^Jane"))
PATIENT_ID = w.explicit(0x00100020, "LO", w.text("ID42"))


def parse(data: bytes, explicit_vr: bool = True):
    return dt.parse_dataset(data, explicit_vr)


def tags(data: bytes, explicit_vr: bool = True):
    return [row[0] for row in parse(data, explicit_vr)[1]]


def test_explicit_elements_are_listed_in_stream_order_with_value_offsets():
    data = PATIENT_ID + NAME
    result, rows = parse(data)
    assert result == 1
    assert rows == [(0x00100020, "LO", 4, 8), (0x00100010, "PN", 8, len(PATIENT_ID) + 8)]


def test_implicit_elements_take_the_dictionarys_vr():
    data = w.implicit(0x00100010, w.text("Doe^Jane")) + w.implicit(0x00091001, b"ab")
    assert parse(data, False) == (1, [(0x00100010, "PN", 8, 8), (0x00091001, "", 2, 24)])


def test_zero_group_stops_and_keeps_earlier_elements():
    assert parse(NAME + b"\0" * 64) == (1, [(0x00100010, "PN", 8, 8)])


@pytest.mark.parametrize("tail", [b"", b"\x10", b"\x10\x00\x20"])
def test_fewer_than_4_bytes_end_the_data(tail):
    assert parse(NAME + tail)[0] == 1
    assert tags(NAME + tail) == [0x00100010]


def test_an_unreadable_header_stops_with_result_0():
    broken = w.tag_bytes(0x00091010) + b"OB\0\0"
    assert parse(NAME + broken) == (0, [(0x00100010, "PN", 8, 8)])


def test_a_zero_length_value_at_the_end_still_points_into_the_buffer():
    data = NAME + w.explicit(0x00100020, "LO", b"")
    assert parse(data)[1][-1] == (0x00100020, "LO", 0, len(data))


def test_second_elements_overlong_short_length_becomes_plausible():
    data = NAME + w.explicit(0x00100020, "LO", b"ID42\x01\x02", length=300)
    assert parse(data)[1][-1] == (0x00100020, "LO", 4, len(NAME) + 8)


def test_overlong_binary_value_gets_length_0_and_what_follows_is_read_as_elements():
    data = NAME + w.explicit(0x00091010, "OB", b"", length=1000) + PATIENT_ID
    assert parse(data)[1] == [(0x00100010, "PN", 8, 8), (0x00091010, "OB", 0, len(NAME) + 12),
                              (0x00100020, "LO", 4, len(NAME) + 20)]


# --- stray items and delimiters at top level ---

def test_stray_delimiters_are_skipped():
    data = w.item_delimiter() + NAME + w.sequence_delimiter() + PATIENT_ID
    assert tags(data) == [0x00100010, 0x00100020]


def test_stray_item_with_defined_length_is_one_entry():
    data = w.item(NAME) + PATIENT_ID
    assert parse(data)[1] == [(w.ITEM, "", len(NAME), 8), (0x00100020, "LO", 4, len(NAME) + 16)]


def test_stray_item_longer_than_the_data_is_clipped():
    data = w.item(NAME, length=500)
    assert parse(data) == (1, [(w.ITEM, "", len(NAME), 8)])


def test_stray_undefined_item_runs_to_its_delimiter():
    data = w.item(NAME, UNDEFINED) + PATIENT_ID
    assert parse(data)[1] == [(w.ITEM, "", len(NAME), 8), (0x00100020, "LO", 4, len(NAME) + 24)]


def test_stray_undefined_item_without_delimiter_takes_the_rest_and_stops():
    data = w.item_header(UNDEFINED) + NAME + PATIENT_ID
    assert parse(data) == (1, [(w.ITEM, "", len(NAME) + len(PATIENT_ID), 8)])


def test_stray_item_tag_without_its_length_stops():
    assert parse(NAME + w.tag_bytes(w.ITEM) + b"\0\0") == (0, [(0x00100010, "PN", 8, 8)])


# --- undefined lengths ---

def test_undefined_sequence_with_undefined_items_is_one_entry_up_to_the_delimiter():
    items = [w.item(w.explicit(0x00081150, "UI", w.uid("1.2")), UNDEFINED),
             w.item(w.explicit(0x00081155, "UI", w.uid("1.2.3")), UNDEFINED)]
    sequence = w.sequence(0x00081115, items)
    data = sequence + NAME
    body = b"".join(items)
    assert parse(data)[1] == [(0x00081115, "SQ", len(body), 12), (0x00100010, "PN", 8, len(sequence) + 8)]


def test_implicit_private_element_of_undefined_length_holding_items_becomes_sq():
    inner = w.implicit(0x00091011, b"ab")
    data = w.sequence(0x00091010, [w.item(inner, UNDEFINED), w.item(inner)], explicit_vr=False)
    data += w.implicit(0x00100010, w.text("Doe"))
    rows = parse(data, False)[1]
    assert [(r[0], r[1]) for r in rows] == [(0x00091010, "SQ"), (0x00100010, "PN")]


def test_explicit_un_of_undefined_length_holding_items_becomes_sq():
    data = w.sequence(0x00091010, [w.item(NAME)], vr="UN") + PATIENT_ID
    rows = parse(data)[1]
    assert [(r[0], r[1], r[2]) for r in rows] == [(0x00091010, "SQ", len(NAME) + 8), (0x00100020, "LO", 4)]


def test_undefined_length_value_without_items_is_an_empty_sq_and_the_bytes_are_read_as_elements():
    data = w.explicit(0x00091010, "UN", b"", UNDEFINED) + NAME
    assert parse(data) == (1, [(0x00091010, "SQ", 0, 12), (0x00100010, "PN", 8, 20)])


def test_pixel_data_with_a_broken_fragment_list_keeps_all_remaining_bytes_and_stops():
    fragments = w.item(b"") + w.item(b"\1\2\3\4") + w.explicit(0x00100010, "PN", "Doe^")
    data = NAME + w.explicit(0x7FE00010, "OB", fragments, UNDEFINED)
    assert parse(data) == (1, [(0x00100010, "PN", 8, 8), (0x7FE00010, "OB", len(fragments), len(NAME) + 12)])


def test_encapsulated_pixel_data_ends_at_its_sequence_delimiter():
    fragments = w.item(b"") + w.item(b"\1\2\3\4")
    pixel = w.explicit(0x7FE00010, "OB", fragments + w.sequence_delimiter(), UNDEFINED)
    data = pixel + w.explicit(0xFFFCFFFC, "OB", b"\0\0")
    rows = parse(data)[1]
    assert rows[0] == (0x7FE00010, "OB", len(fragments), 12)
    assert rows[1][0] == 0xFFFCFFFC


def test_undefined_un_whose_items_break_becomes_sq_with_the_rest_and_stops():
    broken = w.item_header(UNDEFINED) + NAME
    data = w.explicit(0x00091010, "UN", broken, UNDEFINED)
    assert parse(data) == (1, [(0x00091010, "SQ", len(broken), 12)])


def test_undefined_value_with_fewer_than_4_bytes_left_takes_them_and_stops():
    data = w.explicit(0x00091010, "OB", b"\1\2", UNDEFINED)
    assert parse(data) == (1, [(0x00091010, "OB", 2, 12)])


def test_undefined_known_vr_is_not_turned_into_sq():
    broken = w.item_header(UNDEFINED) + NAME
    data = w.explicit(0x00091010, "OB", broken, UNDEFINED)
    assert parse(data)[1] == [(0x00091010, "OB", len(broken), 12)]


def test_defined_item_needs_8_bytes_after_it_inside_an_undefined_value():
    # The last item reaches the end of the data: no room for a delimiter, so no structure.
    data = w.explicit(0x00091010, "UN", w.item(NAME), UNDEFINED)
    assert parse(data)[1] == [(0x00091010, "SQ", len(NAME) + 8, 12)]


def test_sequence_tag_written_as_ul_with_an_odd_length_becomes_an_empty_sq():
    data = w.explicit(0x00081115, "UL", b"\x01\x02\x03") + b"\0" + NAME
    # The odd length makes the header reader ask the dictionary (SQ: undefined length); without items
    # the element is an empty SQ and its bytes are read again as elements.
    result, rows = parse(data)
    assert rows[0] == (0x00081115, "SQ", 0, 8)


# --- defined-length UN and unknown VRs ---

def test_defined_un_made_of_items_becomes_sq():
    value = w.item(NAME) + w.item(PATIENT_ID, UNDEFINED)
    data = w.explicit(0x00091010, "UN", value) + PATIENT_ID
    assert parse(data)[1][0] == (0x00091010, "SQ", len(value), 12)


def test_defined_un_of_other_bytes_stays_un_and_pixel_group_is_never_tested():
    value = w.item(NAME)
    data = w.explicit(0x00091010, "UN", b"ABCDEFGH") + w.explicit(0x7FE00050, "UN", value)
    assert [r[1] for r in parse(data)[1]] == ["UN", "UN"]


def creator(group: int, block: int, name: bytes) -> bytes:
    return w.explicit((group << 16) | block, "LO", w.text(name))


OPAQUE = b"\x01\x02\x03\x04\x05\x06"


def private_un(group: int, element: int) -> bytes:
    return w.explicit((group << 16) | element, "UN", OPAQUE)


def test_private_creator_table_turns_a_un_element_into_sq():
    data = creator(0x0029, 0x10, b"SIEMENS MEDCOM HEADER") + private_un(0x0029, 0x1040) + private_un(0x0029, 0x1041)
    assert [r[1] for r in parse(data)[1]] == ["LO", "SQ", "UN"]


def test_implicit_private_element_of_a_known_creator_becomes_sq():
    # Block 0x12 keeps the elements out of the dictionary's first-block private tags.
    data = (w.implicit(0x00290012, w.text("SIEMENS MEDCOM HEADER")) + w.implicit(0x00291270, OPAQUE)
            + w.implicit(0x00291170, OPAQUE))
    assert [r[1] for r in parse(data, False)[1]] == ["", "SQ", ""]


def test_the_creator_block_must_match_the_elements_high_byte():
    data = creator(0x0029, 0x11, b"SIEMENS MEDCOM HEADER") + private_un(0x0029, 0x1040)
    assert parse(data)[1][-1][1] == "UN"


def test_the_newest_creator_of_a_block_is_the_only_one_asked():
    older = creator(0x0029, 0x10, b"SIEMENS MEDCOM HEADER")
    newer = creator(0x0029, 0x10, b"SOMEONE ELSE")
    assert parse(newer + older + private_un(0x0029, 0x1040))[1][-1][1] == "SQ"
    assert parse(older + newer + private_un(0x0029, 0x1040))[1][-1][1] == "UN"


def test_creators_of_another_group_are_not_asked():
    data = creator(0x0019, 0x10, b"SIEMENS MEDCOM HEADER") + private_un(0x0029, 0x1040)
    assert parse(data)[1][-1][1] == "UN"


@pytest.mark.parametrize("bad_creator", [
    w.explicit(0x00290010, "LO", b""),                                   # empty
    w.explicit(0x00280010, "US", b"\1\0"),                               # even group
    w.explicit(0x00290009, "LO", w.text("SIEMENS MEDCOM HEADER")),       # below 0x0010
])
def test_only_odd_group_elements_10_to_ff_with_a_value_are_creators(bad_creator):
    data = bad_creator + private_un(0x0029, 0x1040)
    assert parse(data)[1][-1][1] == "UN"


def test_a_65th_creator_is_not_remembered():
    fillers = b"".join(creator(0x0011, 0x10 + i, b"FILLER %d" % i) for i in range(64))
    data = fillers + creator(0x0029, 0x10, b"SIEMENS MEDCOM HEADER") + private_un(0x0029, 0x1040)
    assert parse(data)[1][-1][1] == "UN"
    fewer = b"".join(creator(0x0011, 0x10 + i, b"FILLER %d" % i) for i in range(63))
    data = fewer + creator(0x0029, 0x10, b"SIEMENS MEDCOM HEADER") + private_un(0x0029, 0x1040)
    assert parse(data)[1][-1][1] == "SQ"


# --- find_text ---

@pytest.mark.parametrize("value,expected", [
    (b"  1.2.3 \0", b"1.2.3"),
    (b"    ", b""),
    (b"\0\0", b""),
    (b"", b""),
    (b"A B ", b"A B"),
    (b"\0A\0\0", b"\0A"),
    (b"\tA  ", b"\tA"),
])
def test_find_text_trims_trailing_nul_and_space_then_leading_spaces(value, expected):
    data = w.explicit(0x00080050, "SH", value)
    assert dt.find_text(data, True, 0x00080050) == expected


def test_find_text_takes_the_first_occurrence_and_absent_tags_are_empty():
    data = w.explicit(0x00100020, "LO", "ID01") + w.explicit(0x00100020, "LO", "ID02")
    assert dt.find_text(data, True, 0x00100020) == b"ID01"
    assert dt.find_text(data, True, 0x00100010) == b""
    assert dt.find_text(w.implicit(0x00100020, "ID03"), False, 0x00100020) == b"ID03"

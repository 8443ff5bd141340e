"""Element headers and their repairs; the walks over items and nested elements."""

import struct

import pytest

import _dicom_testing as dt
from helpers import dicom_writer as w

UNDEFINED = w.UNDEFINED


def after_tag(element: bytes) -> bytes:
    return element[4:]


def header(element: bytes, implicit: bool = False):
    tag = struct.unpack("<HH", element[:4])
    return dt.read_element_header(after_tag(element), tag[0], tag[1], implicit)


# --- read_element_header ---

@pytest.mark.parametrize("data", [b"", b"U", b"UN\0"])
def test_fewer_than_4_bytes_cannot_be_read(data):
    assert dt.read_element_header(data, 0x0010, 0x0010, False) == (0, "", 0)


def test_long_vr_needs_8_bytes_and_keeps_its_vr():
    assert dt.read_element_header(b"OB\0\0\4\0", 0x0009, 0x0010, False) == (0, "OB", 0)


@pytest.mark.parametrize("tag,vr", [(0x00100010, "PN"), (0x00081115, "SQ"), (0x00091001, "")])
def test_implicit_vr_comes_from_the_dictionary(tag, vr):
    assert header(w.implicit(tag, w.text("ABCD")), implicit=True) == (4, vr, 4)


def test_explicit_element_without_a_valid_vr_is_read_in_implicit_form():
    element = w.implicit(0x00100020, w.text("ID12"))
    assert header(element) == (4, "LO", 4)


def test_short_and_long_explicit_headers():
    assert header(w.explicit(0x00100010, "PN", "AB^C")) == (4, "PN", 4)
    assert header(w.explicit(0x00091010, "OB", b"\1\2")) == (8, "OB", 2)


def test_short_length_0xffff_is_undefined():
    element = w.raw_header(0x00100010, b"PN", 0xFFFF)
    # PN stays PN: only UN and unknown VRs become SQ.
    assert header(element) == (4, "PN", UNDEFINED)
    # An undefined length is no byte count, so the 4-byte VR repair does not apply to it.
    assert header(w.raw_header(0x00100010, b"FL", 0xFFFF) + b"Doe^J\x01") == (4, "FL", UNDEFINED)


@pytest.mark.parametrize("tag,vr", [(0x00091010, "UN"), (0x00091010, ""), (0x7FE00050, "UN"), (0x7FE00050, "")])
def test_undefined_length_un_or_unknown_becomes_sq(tag, vr):
    element = w.explicit(tag, vr, b"", UNDEFINED) if vr else w.implicit(tag, b"", UNDEFINED)
    assert header(element, implicit=not vr)[1:] == ("SQ", UNDEFINED)


@pytest.mark.parametrize("element_number", [0x0008, 0x0009, 0x0010])
def test_undefined_length_pixel_elements_do_not_become_sq(element_number):
    tag = 0x7FE00000 | element_number
    assert header(w.explicit(tag, "UN", b"", UNDEFINED))[1] == "UN"
    # In implicit form the dictionary knows all three (OF, OD, OW), so none is ever unknown here.
    assert header(w.implicit(tag, b"", UNDEFINED), implicit=True)[1] == dt.lookup_vr(0x7FE0, element_number)


def test_zero_length_keeps_a_known_vr():
    assert header(w.explicit(0x00100010, "PN", b"") + b"ABCD") == (4, "PN", 0)


def test_zero_length_un_takes_dictionary_vr_and_plausible_length_of_what_follows():
    element = w.explicit(0x00100010, "UN", b"") + b"Doe^John\x01\x02"
    assert header(element) == (8, "PN", 8)
    unknown = w.implicit(0x00091001, b"") + b"\x10\x00\x10\x00"
    assert header(unknown, implicit=True) == (4, "", 0)


def test_zero_length_un_on_a_sequence_tag_is_an_empty_sequence():
    empty = w.explicit(0x00081140, "UN", b"")
    assert header(empty + w.explicit(0x00081150, "UI", w.uid("1.2"))) == (8, "SQ", 0)
    # Inside an item it must not be taken as undefined: that would make the walk swallow the rest.
    inner = w.item(empty + w.explicit(0x00081150, "UI", w.uid("1.2")), UNDEFINED)
    data = w.sequence(0x00081115, [inner]) + w.explicit(0x00100010, "PN", "Doe^")
    assert [r[:3] for r in dt.parse_dataset(data, True)[1]] == [(0x00081115, "SQ", len(inner)),
                                                                (0x00100010, "PN", 4)]
    assert dt.looks_like_sequence(w.item(empty), False)


def test_fitting_length_stands_and_odd_length_is_cut_at_the_first_unprintable_byte():
    assert header(w.explicit(0x00100010, "PN", "Doe")) == (4, "PN", 3)
    assert header(w.explicit(0x00280010, "US", b"\1\0")) == (4, "US", 2)
    assert header(w.explicit(0x00100010, "PN", b"Do\0")) == (4, "PN", 2)
    assert header(w.explicit(0x00091010, "OB", b"\x01\x02\x03")) == (8, "OB", 0)


def test_overlong_pixel_data_takes_the_available_bytes():
    element = w.explicit(0x7FE00010, "OW", b"\1\2\3\4", length=1000)
    assert header(element) == (8, "OW", 4)


def test_overlong_other_vr_takes_the_plausible_length():
    element = w.explicit(0x00100010, "PN", b"Doe^J\\ohn", length=200)
    assert header(element) == (4, "PN", 4)
    assert header(w.explicit(0x00280010, "US", b"\0\0\0\0\1\0", length=200)) == (4, "US", 4)
    assert header(w.implicit(0x00100020, b"ID7 \x01", length=900), implicit=True) == (4, "LO", 4)


def short_un(tag: int, value: bytes, length16: int | None = None) -> bytes:
    """A UN element written with a short header: VR then a 16-bit length, no reserved bytes."""
    return w.raw_header(tag, b"UN", len(value) if length16 is None else length16) + value


def test_overlong_un_is_reread_as_short_header_when_it_ends_the_buffer():
    element = short_un(0x00100010, b"Doe^Jane")
    assert header(element) == (4, "PN", 8)


def test_overlong_un_reread_stands_when_an_explicit_header_follows():
    following = w.explicit(0x00100020, "LO", "ID12")
    element = short_un(0x00091010, b"ABCD") + following
    assert header(element) == (4, "UN", 4)


def test_overlong_un_reread_stands_when_an_item_or_delimiter_follows():
    element = short_un(0x00091010, b"ABCD") + w.item_delimiter()
    assert header(element) == (4, "UN", 4)


def test_overlong_un_reread_that_does_not_fit_searches_for_the_next_header():
    value = b"abcdef" + w.explicit(0x00100020, "LO", "ID12")
    element = short_un(0x00100010, value, length16=2)
    # Re-read length 2 is followed by "cdef", not a header; the search finds the LO element at 6.
    assert header(element) == (4, "PN", 6)


def test_overlong_un_search_ignores_lower_groups_and_falls_back_to_the_smaller_length():
    value = b"abcdef" + w.explicit(0x00080020, "DA", "20240101") + b"\x01" * 2
    element = short_un(0x00100010, value, length16=500)
    assert header(element) == (4, "PN", len(value))


@pytest.mark.parametrize("implicit", [True, False])
def test_overlong_un_from_the_dictionary_is_reread_in_implicit_form_too(implicit):
    # (7053,1050) is UN in the dictionary; its 32-bit length 0x00040004 overruns, the high word 4 fits
    # exactly before the next element. Explicit data falls back to this form when no VR is written.
    assert dt.lookup_vr(0x7053, 0x1050) == "UN"
    following = w.implicit(0x00100020, w.text("ID12")) if implicit else w.explicit(0x00100020, "LO", "ID12")
    element = w.implicit(0x70531050, b"\1\2\3\4", length=0x00040004) + following
    assert header(element, implicit=implicit) == (4, "UN", 4)
    result, rows = dt.parse_dataset(element, not implicit)
    assert [(r[0], r[2]) for r in rows] == [(0x70531050, 4), (0x00100020, 4)]


@pytest.mark.parametrize("gap,found", [(100, True), (4000, True), (4200, False)])
def test_the_search_for_an_embedded_header_looks_4_kib_ahead(gap, found):
    value = b"abcdef" + b"\x01" * gap + w.explicit(0x00100020, "LO", "ID12") + b"\x01" * 10
    element = short_un(0x00100010, value, length16=2)
    assert header(element) == (4, "PN", 6 + gap if found else 2)


@pytest.mark.parametrize("vr", ["FL", "SL", "UL"])
def test_four_byte_vr_with_a_length_not_multiple_of_4_takes_the_dictionary_vrs_plausible_length(vr):
    element = w.explicit(0x00100010, vr, b"Doe^J\x01")
    assert header(element) == (4, vr, 4)
    # No different dictionary VR: the length is believed.
    assert header(w.explicit(0x00091001, vr, b"Doe^J\x01")) == (4, vr, 6)
    # A sequence tag: its plausible length is undefined.
    assert header(w.explicit(0x00081115, vr, b"\x01\x02\x03\x04\x05\x06")) == (4, vr, UNDEFINED)


# --- skip_element ---

def test_skip_element_sizes():
    element = w.explicit(0x00100010, "PN", "Doe^")
    assert dt.skip_element(element + b"rest", False) == len(element)
    # A value cut short is repaired by the header reader before it is skipped.
    assert dt.skip_element(element[:-1], False) == len(element) - 2
    assert dt.skip_element(element[:7], False) == 0
    assert dt.skip_element(w.item(b"abcd"), False) == 0


def test_skip_element_of_undefined_length_runs_through_the_sequence_delimiter():
    nested = w.explicit(0x00100010, "PN", "Doe^")
    element = w.explicit(0x00091010, "UN", nested + w.sequence_delimiter(), UNDEFINED)
    assert dt.skip_element(element + b"tail", False) == len(element)
    assert dt.skip_element(element, False, 64) == 0
    assert dt.skip_element(element, False, 65) == 0
    assert dt.skip_element(element[:-1], False) == 0


def test_skip_element_stops_at_an_item_inside_an_undefined_length_value():
    element = w.sequence(0x00081115, [w.item(b"")])
    assert dt.skip_element(element, False) == 0


# --- find_item_end ---

def test_find_item_end_returns_the_item_delimiter_after_the_elements():
    body = w.explicit(0x00081150, "UI", w.uid("1.2")) + w.explicit(0x00081155, "UI", w.uid("1.2.3"))
    assert dt.find_item_end(body + w.item_delimiter() + b"more", False) == len(body)
    assert dt.find_item_end(w.item_delimiter(), False) == 0
    overlong = w.explicit(0x00100010, "PN", "A^B ", length=50)
    assert dt.find_item_end(overlong + w.item_delimiter(), False) == len(overlong)


def test_find_item_end_walks_nested_undefined_length_sequences():
    inner = w.sequence(0x00081115, [w.item(w.explicit(0x00081150, "UI", w.uid("1.2")), UNDEFINED),
                                    w.item(w.explicit(0x00081150, "UI", w.uid("1.3")))])
    body = w.explicit(0x00100010, "PN", "A^B ") + inner
    assert dt.find_item_end(body + w.item_delimiter(), False) == len(body)
    implicit_inner = w.sequence(0x00081115, [w.item(w.implicit(0x00081150, w.uid("1.2")), UNDEFINED)],
                                explicit_vr=False)
    assert dt.find_item_end(implicit_inner + w.item_delimiter(), True) == len(implicit_inner)


@pytest.mark.parametrize("data", [
    b"", b"\xfe\xff", w.explicit(0x00100010, "PN", "A^B "),
    w.sequence(0x00081115, [w.item(b"", UNDEFINED)])[:-8] + w.item_delimiter(),
])
def test_find_item_end_without_a_delimiter_is_none(data):
    assert dt.find_item_end(data, False) is None


def nested_items(levels: int) -> bytes:
    body = w.explicit(0x00100010, "PN", "A^B ")
    for _ in range(levels):
        body = w.sequence(0x00081115, [w.item(body, UNDEFINED)])
    return body


def test_find_item_end_depth_limit():
    body = nested_items(3)
    data = body + w.item_delimiter()
    assert dt.find_item_end(data, False, 0) == len(body)
    assert dt.find_item_end(data, False, 64) is None
    assert dt.find_item_end(data, False, 65) is None
    assert dt.find_item_end(w.item_delimiter(), False, 64) == 0
    deep = nested_items(40)
    assert dt.find_item_end(deep + w.item_delimiter(), False, 0) is None
    shallow = nested_items(31)
    assert dt.find_item_end(shallow + w.item_delimiter(), False, 0) == len(shallow)


# --- looks_like_sequence ---

def test_items_with_tiling_elements_look_like_a_sequence():
    one = w.explicit(0x00081150, "UI", w.uid("1.2")) + w.explicit(0x00081155, "UI", w.uid("1.2.3"))
    assert dt.looks_like_sequence(w.item(one), False)
    assert dt.looks_like_sequence(w.item(one) + w.item(one, UNDEFINED) + w.item(b""), False)
    implicit = w.implicit(0x00081150, w.uid("1.2"))
    assert dt.looks_like_sequence(w.item(implicit, UNDEFINED), True)


@pytest.mark.parametrize("value", [
    b"", w.item_header(0), b"\0" * 7,
    w.item(w.explicit(0x00081150, "UI", w.uid("1.2")))[:-1],
    w.item(w.explicit(0x00081150, "UI", w.uid("1.2")) + b"\0"),
    w.item(b"") + b"\0\0\0\0",
    w.item(b"") + w.explicit(0x00100010, "PN", "A^B "),
    w.item(w.explicit(0x00081150, "UI", w.uid("1.2")), length=9),
    w.item_header(UNDEFINED) + w.explicit(0x00081150, "UI", w.uid("1.2")),
    w.item_header(UNDEFINED) + w.explicit(0x00081150, "UI", w.uid("1.2")) + w.sequence_delimiter(),
    b"Doe^John",
])
def test_values_without_well_formed_items_do_not(value):
    assert not dt.looks_like_sequence(value, False) or value == w.item_header(0)


def test_a_single_empty_item_is_a_sequence():
    assert dt.looks_like_sequence(w.item_header(0), False)


# --- the size walks read headers without the dictionary where the VR decides nothing ---

from hypothesis import example, given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

# Tags whose dictionary VR changes the repairs (US, SQ, UI, OW pixel data, unknown private ones).
SIZE_TAGS = [(0x0028, 0x0010), (0x0008, 0x1115), (0x0020, 0x000D), (0x7FE0, 0x0010), (0x0009, 0x1001),
             (0x0010, 0x0010), (0x7053, 0x1050)]


@example((0x0028, 0x0010), True, 0, b"\0\0")  # a zero length keeps a known VR's 0; unknown asks for a plausible one
@given(st.sampled_from(SIZE_TAGS), st.booleans(),
       st.one_of(st.sampled_from([0, 1, 3, 4, 7, 0xFFFF, 0x10000]), st.integers(0, 80)),
       st.binary(max_size=90))
def test_skip_element_size_equals_the_full_header_read(tag, implicit, length, value):
    group, element = tag
    vr = b"" if implicit else b"UN\0\0"
    after = vr + struct.pack("<I", length) + value
    consumed, _, resolved = dt.read_element_header(after, group, element, implicit)
    data = struct.pack("<HH", group, element) + after
    expected = 0 if consumed == 0 or resolved == UNDEFINED or resolved > len(after) - consumed else 4 + consumed + resolved
    if resolved != UNDEFINED:
        assert dt.skip_element(data, implicit) == (expected if len(data) >= 8 else 0)

"""VR classes, the dictionary and private sequence tables, and the plausible-length rules."""

import struct

import pytest
from hypothesis import given, strategies as st
from pydicom._dicom_dict import DicomDictionary, RepeatersDictionary
from pydicom._private_dict import private_dictionaries

import _dicom_testing as dt

ALL_VRS = "DA OB UC FD OD AE OF SH UI FL OL SL UL TM PN UN LO SQ UR AS CS DS IS SS US AT DT LT ST UT OV SV UV OW"
LONG_VRS = set("OB OD OF OL OV OW SQ SV UC UN UR UT UV".split())


def code(vr: str) -> int:
    return ord(vr[0]) | (ord(vr[1]) << 8)


def test_vr_letters_are_the_34_codes_in_their_fixed_order():
    assert dt.vr_letters() == ALL_VRS.replace(" ", "")


def test_vr_code_is_the_two_stream_bytes_read_little_endian():
    assert (code("SQ"), code("UN"), code("OW")) == (0x5153, 0x4E55, 0x574F)


def test_vr_classes_hold_for_every_16_bit_value():
    valid = {code(v) for v in ALL_VRS.split()}
    long_codes = {code(v) for v in LONG_VRS}
    for value in range(0x10000):
        assert dt.is_vr_code(value) == (value in valid)
        assert dt.is_long_vr(value) == (value in long_codes)


TELLING_ROWS = [
    (0x00020000, "UL"), (0x00020001, "OB"), (0x00020010, "UI"), (0x00080016, "UI"), (0x00080018, "UI"),
    (0x00080020, "DA"), (0x00080060, "CS"), (0x00081115, "SQ"), (0x00081140, "SQ"), (0x00100010, "PN"),
    (0x00100020, "LO"), (0x00180015, "CS"), (0x0020000D, "UI"), (0x00200060, "CS"), (0x00280009, "AT"),
    (0x00280010, "US"), (0x00280106, "US"), (0x00283006, "OW"), (0x54001010, "OW"), (0x60000010, "US"),
    (0x60003000, "OW"), (0x7FE00001, "OV"), (0x7FE00008, "OF"), (0x7FE00010, "OW"), (0xFFFCFFFC, "OB"),
]


@pytest.mark.parametrize("tag,vr", TELLING_ROWS, ids=[f"{t:08X}" for t, _ in TELLING_ROWS])
def test_dictionary_gives_the_expected_vr(tag, vr):
    assert dt.lookup_vr(tag >> 16, tag & 0xFFFF) == vr


@pytest.mark.parametrize("tag", [0x00091001, 0x60020010, 0x50000010, 0x00000000, 0x7F000010, 0xFFFEE000])
def test_unknown_tags_and_unlisted_repeating_groups_give_no_vr(tag):
    assert dt.lookup_vr(tag >> 16, tag & 0xFFFF) == ""


def standard_rows():
    """Standard tags; a repeating group's mask read as its first tag unless a fixed tag has that number."""
    rows = {tag: row[0] for tag, row in DicomDictionary.items()}
    for mask, row in RepeatersDictionary.items():
        rows.setdefault(int(mask.replace("x", "0"), 16), row[0])
    return list(rows.items())


def test_every_known_standard_tag_has_one_of_the_vrs_the_standard_allows():
    checked = 0
    for tag, allowed in standard_rows():
        vr = dt.lookup_vr(tag >> 16, tag & 0xFFFF)
        if vr:
            assert vr in allowed.split(" or "), f"{tag:08X}: {vr} not in {allowed}"
            checked += 1
    assert checked > 5000


def test_every_standard_sequence_in_a_sequence_group_is_known():
    groups = {g for g, e in ((t >> 16, t & 0xFFFF) for t, vr in standard_rows() if vr == "SQ")
              if dt.lookup_vr(g, e) == "SQ"}
    missing = [t for t, vr in standard_rows() if vr == "SQ" and (t >> 16) in groups
               and dt.lookup_vr(t >> 16, t & 0xFFFF) != "SQ"]
    assert missing == []


def test_table_counts_are_close_to_the_standards_edition_counts():
    counts = dt.table_counts()
    assert 60 <= counts["sequence_groups"] <= 70 and 1250 <= counts["sequence_tags"] <= 1450
    assert 70 <= counts["vr_groups"] <= 80 and 4000 <= counts["vr_tags"] <= 4500
    assert counts["private_creators"] == 115
    assert 140 <= counts["private_rows"] <= 170 and 340 <= counts["private_element_bytes"] <= 520


# --- private sequence table ---

def private_sequence_bytes(creator: str, group: int) -> set[int]:
    return {int(key[6:], 16) for key, row in private_dictionaries[creator].items()
            if row[0] == "SQ" and key[:4] == f"{group:04X}" and "x" not in key[6:]}


def known_bytes(creator: bytes, group: int) -> set[int]:
    return {b for b in range(256) if dt.is_private_sequence(creator, group, b)}


@pytest.mark.parametrize("group,expected", [
    (0x0009, {0x01, 0x03}),
    (0x0019, {0x03, 0x06, 0x07, 0x09, 0x0D, 0x0E, 0x0F}),
    (0x0021, {0x0E, 0x0F, 0x10}),
    (0x0029, {0x01, 0x04, 0x0B, 0x0C}),
    (0x0011, set()),
])
def test_wg12_supplement_43_rows(group, expected):
    assert known_bytes(b"WG12 Supplement 43", group) == expected


def test_named_creators_rows():
    assert known_bytes(b"SIEMENS MEDCOM HEADER", 0x0029) == {0x40, 0x70}
    assert known_bytes(b"A.L.I. Technologies, Inc.", 0x3711) == {0xC4}
    toshiba_groups = {g for g in (0x0011, 0x0019, 0x0021, 0x0029, 0xE401, 0xE403, 0x0009, 0x7005)
                      if known_bytes(b"TOSHIBA_MEC_MR3^10", g)}
    assert toshiba_groups == {0x0011, 0x0019, 0x0021, 0x0029, 0xE401, 0xE403}
    # The source edition of the dictionary defines fewer of these than older editions did.
    assert known_bytes(b"SPI-P-Private_ICS Release 1", 0x0029) == private_sequence_bytes(
        "SPI-P-Private_ICS Release 1", 0x0029)


@pytest.mark.parametrize("creator,expected", [
    (b"SIEMENS MEDCOM HEADER", True),
    (b"SIEMENS MEDCOM HEADER ", True),
    (b"SIEMENS MEDCOM HEADER\0", True),
    (b"SIEMENS MEDCOM HEADER \0 ", True),
    (b"SIEMENS MEDCOM HEADER\0xyz", True),  # compared as a C string: the first NUL ends it
    (b"siemens medcom header", False),
    (b" SIEMENS MEDCOM HEADER", False),
    (b"SIEMENS MEDCOM HEADE", False),
    (b"", False),
    (b"    ", False),
])
def test_creator_match_is_exact_after_dropping_padding(creator, expected):
    assert dt.is_private_sequence(creator, 0x0029, 0x40) is expected


def test_a_creator_of_64_characters_never_matches():
    name = b"WG12 Supplement 43"
    assert dt.is_private_sequence(name, 0x0009, 0x01)
    assert not dt.is_private_sequence(name + b"x" * (64 - len(name)), 0x0009, 0x01)
    assert not dt.is_private_sequence(name.ljust(200, b" ") + b"x", 0x0009, 0x01)


def test_web_address_creators_sort_last_with_one_row_each():
    long_name = b"http://www.gemedicalsystems.com/it_solutions/bamwallthickness/1.0"
    short_name = b"http://www.gemedicalsystems.com/it_solutions/orthoview/2.1"
    assert known_bytes(short_name, 0x3117) == {0x40}
    # 65 bytes: longer than a creator value may be, so the length check turns it away.
    assert len(long_name) >= 64 and known_bytes(long_name, 0x3119) == set()


# --- plausible_length ---

@pytest.mark.parametrize("value,vr,n,expected", [
    (b"1.2.3A", "UI", None, 6),
    (b"ABC\\D", "PN", None, 2),
    (b"ABCDEFG", "LO", None, 6),
    (b"\0" * 8 + b"\1\0" + b"\0" * 14, "FD", 24, 8),
    (b"12", "AS", None, 2),
    (b"\1\2\3", "SQ", None, 0xFFFFFFFF),
    (b"", "SQ", None, 0xFFFFFFFF),
    (b"ABCD", "OB", None, 0),
    (b"ABCD", "OW", None, 0),
    (b"\1", "US", None, 0),
    (b"\1\0\0\0", "US", None, 2),
    (b"\0\0\0\0\0\1", "US", None, 4),
    (b"\0\0\0\0\0\0\0", "UL", None, 4),
    (b"\0" * 16, "SV", None, 16),
    (b"\0" * 8 + b"\1" * 8, "UV", None, 8),
    (b"\0" * 12, "FL", None, 12),
    (b"012Y", "AS", None, 4),
    (b"012Y567", "AS", None, 4),
    (b"012", "AT", None, 3),
    (b"0\x01\x02\x03", "AS", None, 4),
    (b"\x01234", "AT", None, 0),
    (b"1.2.3", "UI", None, 5),
    (b"1.2.3", "UI", 4, 4),
    (b"1.2\x00", "UI", None, 4),
    (b"ABC\x1bDEF\\", "LO", None, 6),
    (b"ABC\x1bDEF", "PN", None, 2),
    (b"line\r\nnext\x0c\x1bX\x01", "LT", None, 12),
    (b"+1.5E-3 e\x00", "DS", None, 8),
    (b"+12 -3.", "IS", None, 6),
    (b"ABC\x7f", "SH", None, 2),
    (b"ABC\x7f", "", None, 2),
    (b"", "CS", None, 0),
    (b"", "UI", None, 0),
    (b"", "US", None, 0),
])
def test_plausible_length_rules(value, vr, n, expected):
    assert dt.plausible_length(value, vr, n) == expected


def word_rule(value: bytes, n: int, width: int) -> int:
    if n < width:
        return 0
    words = [value[i:i + width] for i in range(0, n - n % width, width)]
    if any(words[0]):
        return width
    zero = 0
    for word in words:
        if any(word):
            break
        zero += 1
    return width * zero


@given(st.binary(max_size=40), st.sampled_from([("SS", 2), ("US", 2), ("FL", 4), ("SL", 4), ("UL", 4),
                                               ("FD", 8), ("SV", 8), ("UV", 8)]))
def test_word_rule_matches_a_model(value, vr_width):
    vr, width = vr_width
    assert dt.plausible_length(value, vr) == word_rule(value, len(value), width)


@given(st.binary(max_size=40), st.sampled_from(ALL_VRS.split() + [""]))
def test_plausible_length_never_exceeds_the_available_bytes(value, vr):
    result = dt.plausible_length(value, vr)
    assert result == 0xFFFFFFFF if vr == "SQ" else 0 <= result <= len(value)


# --- table layout ---

def is_strictly_ascending(values) -> bool:
    return all(a < b for a, b in zip(values, values[1:]))


def test_dictionary_tables_are_sorted_disjoint_and_hold_no_sq_in_the_vr_table():
    sequence_rows = dt.sequence_table()
    vr_rows = dt.vr_table()
    assert is_strictly_ascending([g for g, _ in sequence_rows])
    assert is_strictly_ascending([g for g, _, _ in vr_rows])
    sequences = {(g, e) for g, elements in sequence_rows for e in elements}
    for group, elements in sequence_rows:
        assert elements and is_strictly_ascending(elements)
    for group, elements, vrs in vr_rows:
        assert elements and is_strictly_ascending(elements) and len(vrs) == len(elements)
        assert "SQ" not in vrs and set(vrs) <= set(ALL_VRS.split())
        assert not sequences & {(group, e) for e in elements}


def test_table_groups_are_the_standard_groups_and_the_listed_private_ones():
    sequence_groups = {g for g, _ in dt.sequence_table()}
    vr_groups = {g for g, _, _ in dt.vr_table()}
    assert {0x0008, 0x0040, 0x300A, 0x5200, 0xFFFA} <= sequence_groups
    assert {0x0002, 0x0008, 0x6000, 0x7FE0, 0xFFFC, 0x1000, 0x1010} <= vr_groups
    assert {g for g in sequence_groups if g % 2} <= {0x0001, 0x2001, 0x2005, 0x4453, 0x6001, 0x7053}
    assert {g for g in vr_groups if g % 2} <= {0x0009, 0x0019, 0x0021, 0x0029, 0x0041, 0x2001, 0x2005, 0x4453,
                                               0x7053}


def test_private_sequence_table_is_sorted_for_binary_search():
    creators, rows = dt.private_sequence_table()
    assert len(creators) == 115
    assert is_strictly_ascending([c.encode() for c in creators])
    keys = [(creator << 16) | group for creator, group, _ in rows]
    assert is_strictly_ascending(keys)
    for creator, group, run in rows:
        assert 1 <= creator <= len(creators) and run and is_strictly_ascending(run)


def test_private_sequence_rows_follow_pydicoms_private_dictionary():
    creators, rows = dt.private_sequence_table()
    added = {("A.L.I. Technologies, Inc.", 0x3711)}
    for creator, group, run in rows:
        name = creators[creator - 1]
        if (name, group) in added:
            continue
        assert set(run) == private_sequence_bytes(name, group), (name, hex(group))

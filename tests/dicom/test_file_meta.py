"""File meta information: the strict group-length parse and the lenient scan behind it."""

import struct

import pytest

import _dicom_testing as dt
from helpers import dicom_writer as w

DATASET = w.explicit(0x00100010, "PN", w.text("Doe^Jane"))


def meta(data: bytes) -> dict:
    return dt.read_file_meta(data)


def test_a_well_formed_file_gives_the_three_trimmed_uids_and_the_dataset_offset():
    data = w.part10(DATASET)
    result = meta(data)
    assert result["status"] == "ok"
    assert result["sop_class_uid"] == w.CT_IMAGE_STORAGE.encode()
    assert result["sop_instance_uid"] == w.DEFAULT_INSTANCE.encode()
    assert result["transfer_syntax_uid"] == w.EXPLICIT_LE.encode()
    assert data[result["dataset_offset"]:] == DATASET


@pytest.mark.parametrize("size", [0, 1, 100, 131])
def test_shorter_than_preamble_and_magic_is_truncated(size):
    assert meta(w.part10(DATASET)[:size])["status"] == "truncated"


@pytest.mark.parametrize("size", range(132, 140))
def test_magic_without_a_full_header_is_truncated(size):
    assert meta(w.part10(DATASET)[:size])["status"] == "truncated"


@pytest.mark.parametrize("size", [132, 139, 144, 500])
def test_without_dicm_at_128_is_no_magic(size):
    data = bytearray(w.part10(DATASET).ljust(size, b"\0")[:size])
    data[128:132] = b"DICN"
    assert meta(bytes(data))["status"] == "no_magic"


def test_status_values_are_fixed():
    values = {meta(b"")["status_value"], meta(b"\0" * 200)["status_value"]}
    assert values == {6, 5}


def test_preamble_content_is_not_inspected():
    data = b"\xff" * 128 + w.part10(DATASET)[128:]
    assert meta(data)["status"] == "ok"


def test_group_length_too_large_falls_back_to_the_lenient_scan():
    data = w.part10(DATASET, group_length=5000)
    result = meta(data)
    assert result["status"] == "ok"
    assert data[result["dataset_offset"]:] == DATASET
    assert result["transfer_syntax_uid"] == w.EXPLICIT_LE.encode()


def test_group_length_too_small_leaves_uids_outside_and_the_lenient_scan_reads_them_all():
    covered = len(w.explicit(0x00020001, "OB", b"\0\1")) + len(w.explicit(0x00020002, "UI", w.uid(w.CT_IMAGE_STORAGE)))
    data = w.preamble() + w.meta(group_length=covered) + DATASET
    result = meta(data)
    assert result["status"] == "ok"
    assert result["transfer_syntax_uid"] == w.EXPLICIT_LE.encode()
    assert data[result["dataset_offset"]:] == DATASET


def test_missing_transfer_syntax_is_accepted_by_the_lenient_scan():
    data = w.part10(DATASET, transfer_syntax=None)
    result = meta(data)
    assert result["status"] == "ok"
    assert result["transfer_syntax_uid"] == b""
    assert data[result["dataset_offset"]:] == DATASET


def test_missing_uids_are_empty_and_a_present_one_is_kept():
    data = w.part10(DATASET, sop_class=None, sop_instance=None)
    result = meta(data)
    assert result["status"] == "ok"
    assert result["sop_class_uid"] == b"" and result["sop_class_null"]
    assert result["transfer_syntax_uid"] == w.EXPLICIT_LE.encode()


@pytest.mark.parametrize("padding", [b"\0", b" ", b" \0", b"\0 \0 "])
def test_trailing_nul_and_space_padding_is_trimmed(padding):
    elements = [w.explicit(0x00020002, "UI", "1.2" + padding.decode()),
                w.explicit(0x00020003, "UI", "1.2.3" + padding.decode()),
                w.explicit(0x00020010, "UI", w.IMPLICIT_LE + padding.decode())]
    result = meta(w.preamble() + w.meta(elements=elements))
    assert result["status"] == "ok"
    assert (result["sop_class_uid"], result["sop_instance_uid"]) == (b"1.2", b"1.2.3")
    assert result["transfer_syntax_uid"] == w.IMPLICIT_LE.encode()
    assert dt.is_implicit_vr_little_endian(w.IMPLICIT_LE.encode() + padding)


@pytest.mark.parametrize("uid,implicit", [
    (b"1.2.840.10008.1.2", True), (b"1.2.840.10008.1.2\0", True), (b"1.2.840.10008.1.2 ", True),
    (b"1.2.840.10008.1.2.1", False), (b"1.2.840.10008.1.2.2", False), (b"", False),
    (b" 1.2.840.10008.1.2", False), (b"1.2.840.10008.1.20", False),
])
def test_only_implicit_vr_little_endian_reads_as_implicit(uid, implicit):
    assert dt.is_implicit_vr_little_endian(uid) is implicit


def test_a_later_uid_replaces_an_earlier_one():
    elements = [w.explicit(0x00020002, "UI", w.uid("1.1")), w.explicit(0x00020002, "UI", w.uid("1.22")),
                w.explicit(0x00020003, "UI", w.uid("2")), w.explicit(0x00020010, "UI", w.uid(w.EXPLICIT_LE))]
    assert meta(w.preamble() + w.meta(elements=elements))["sop_class_uid"] == b"1.22"


def test_empty_uid_after_trimming_is_missing_for_the_strict_parse_only():
    elements = [w.explicit(0x00020002, "UI", "  "), w.explicit(0x00020003, "UI", w.uid("2")),
                w.explicit(0x00020010, "UI", w.uid(w.EXPLICIT_LE))]
    result = meta(w.preamble() + w.meta(elements=elements) + DATASET)
    assert result["status"] == "ok" and result["sop_class_uid"] == b""


def test_first_meta_element_not_group_length_is_bad_header_for_strict_then_scanned():
    body = w.explicit(0x00020002, "UI", w.uid("1.2")) + w.explicit(0x00020010, "UI", w.uid(w.EXPLICIT_LE))
    data = w.preamble() + body + DATASET
    result = meta(data)
    assert result["status"] == "ok"
    assert result["sop_class_uid"] == b"1.2"
    assert data[result["dataset_offset"]:] == DATASET


def test_no_group_0002_element_at_132_is_bad_header():
    data = w.preamble() + DATASET * 3
    assert meta(data)["status"] == "bad_header"


def test_lenient_scan_reads_implicit_vr_meta_elements():
    body = (w.implicit(0x00020002, w.uid("1.2")) + w.implicit(0x00020003, w.uid("1.2.3"))
            + w.implicit(0x00020010, w.uid(w.EXPLICIT_LE)))
    data = w.preamble() + body + DATASET
    result = meta(data)
    assert result["status"] == "ok"
    assert (result["sop_class_uid"], result["sop_instance_uid"]) == (b"1.2", b"1.2.3")
    assert data[result["dataset_offset"]:] == DATASET


def test_lenient_scan_fails_as_a_whole_when_an_element_overruns():
    body = w.explicit(0x00020002, "UI", w.uid("1.2")) + w.explicit(0x00020003, "UI", b"1.2", length=400)
    assert meta(w.preamble() + body)["status"] == "truncated"


def test_lenient_scan_uses_the_full_long_vr_set():
    # UR takes a 4-byte length in the lenient scan; the strict parse reads it with an 8-byte header.
    elements = [w.explicit(0x00020002, "UI", w.uid("1.2")), w.explicit(0x00020003, "UI", w.uid("1.3")),
                w.explicit(0x00020010, "UI", w.uid(w.EXPLICIT_LE)), w.explicit(0x00020020, "UR", "http://x/ ")]
    data = w.preamble() + w.meta(elements=elements, group_length=5000) + DATASET
    result = meta(data)
    assert result["status"] == "ok"
    assert data[result["dataset_offset"]:] == DATASET


@pytest.mark.parametrize("vr", ["SV", "UR", "UV"])
def test_strict_parse_reads_the_newer_long_vrs_with_an_8_byte_header(vr):
    # The strict parse knows only the older 12-byte-header set, so these take a 16-bit length there.
    elements = [w.explicit(0x00020002, "UI", w.uid("1.2")), w.explicit(0x00020003, "UI", w.uid("1.3")),
                w.explicit(0x00020010, "UI", w.uid(w.EXPLICIT_LE)),
                w.raw_header(0x00020020, vr.encode(), 8) + b"\xff\xff\xff\x7f\0\0\0\0"]
    data = w.preamble() + w.meta(elements=elements) + DATASET
    result = meta(data)
    assert result["status"] == "ok" and result["sop_instance_uid"] == b"1.3"
    assert data[result["dataset_offset"]:] == DATASET


def test_strict_parse_skips_elements_of_another_group_inside_the_group_length():
    elements = [w.explicit(0x00020002, "UI", w.uid("1.2")), w.explicit(0x00080005, "CS", "ISO_IR 100"),
                w.explicit(0x00020003, "UI", w.uid("1.3")), w.explicit(0x00020010, "UI", w.uid(w.EXPLICIT_LE))]
    data = w.preamble() + w.meta(elements=elements) + DATASET
    result = meta(data)
    assert result["status"] == "ok" and result["sop_instance_uid"] == b"1.3"
    assert data[result["dataset_offset"]:] == DATASET


def test_group_length_below_8_is_missing_uid_then_scanned():
    data = w.preamble() + w.meta(group_length=4) + DATASET
    result = meta(data)
    # The lenient scan reads the whole meta group regardless.
    assert result["status"] == "ok"
    assert data[result["dataset_offset"]:] == DATASET


def test_a_file_of_only_a_meta_group_has_its_offset_at_the_end():
    data = w.part10(b"")
    result = meta(data)
    assert result["status"] == "ok" and result["dataset_offset"] == len(data)


@pytest.mark.parametrize("cut", range(1, 40))
def test_truncation_inside_the_meta_group_is_truncated_or_scanned(cut):
    data = w.part10(b"")[:-cut]
    result = meta(data)
    assert result["status"] in {"truncated", "ok"}
    if result["status"] == "ok":
        assert result["dataset_offset"] <= len(data)

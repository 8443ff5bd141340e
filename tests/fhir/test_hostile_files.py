"""Hostile DICOM files: each gives JSON or a documented error, in time that grows linearly with the file."""

import json
import random
from pathlib import Path

import pydicom
import pytest

from helpers import dicom_writer as d
from helpers.growth import assert_linear
from zanthe import _fhir

ROOT = Path(__file__).resolve().parents[2]
PYDICOM_FILES = Path(pydicom.__file__).parent / "data" / "test_files"
REAL_FILES = [ROOT / "examples" / "data" / "sample_ct.dcm", PYDICOM_FILES / "CT_small.dcm",
              PYDICOM_FILES / "MR_small_implicit.dcm"]  # fmt: skip
DOCUMENTED_ERRORS = {
    "fhir.imaging_study: no readable DICOM dataset",
    "fhir.imaging_study: missing StudyInstanceUID (0020,000D)",
}
UNSUPPORTED_SYNTAX = "fhir.imaging_study: unsupported transfer syntax "
STUDY_UID = "1.2.826.0.1.3680043.8.498.77"

pytestmark = pytest.mark.timeout(120)


def outcome(data: bytes) -> dict | None:
    """The resource as a dict, or None for a documented failure; anything else fails the test."""
    try:
        return json.loads(_fhir.imaging_study(data))
    except RuntimeError as error:
        assert str(error) in DOCUMENTED_ERRORS or str(error).startswith(UNSUPPORTED_SYNTAX)
    return None


def with_study(dataset_after_uid: bytes, implicit: bool = False) -> bytes:
    if implicit:
        head = d.implicit(0x00080060, d.text("CT")) + d.implicit(0x0020000D, d.uid(STUDY_UID))
        return d.part10(head + dataset_after_uid, d.IMPLICIT_LE)
    head = d.explicit(0x00080060, "CS", d.text("CT")) + d.explicit(0x0020000D, "UI", d.uid(STUDY_UID))
    return d.part10(head + dataset_after_uid)


@pytest.mark.parametrize("length", [0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFF0, 0x80000000, 0x7FFFFFFF])
@pytest.mark.parametrize("vr", ["OB", "UN", "UT", "SQ", "OW"])
def test_lengths_near_the_32_bit_limit_keep_what_came_before(vr, length):
    body = d.explicit(0x00091010, vr, b"\x01\x02\x03\x04", length=length) + b"\xfe\xff\x00\xe0" * 4
    resource = outcome(with_study(body))
    assert resource is not None and resource["id"] == STUDY_UID


@pytest.mark.parametrize("length", [0xFFFFFFFE, 0x80000000, 0x7FFFFFFF])
def test_implicit_and_item_lengths_near_the_limit(length):
    implicit_body = d.implicit(0x00091010, b"abcd", length=length)
    item_body = d.sequence(0x00081140, [d.item_header(length) + b"\x08\x00\x50\x11UI\x02\x001\x00"])
    for data in (with_study(implicit_body, implicit=True), with_study(item_body)):
        resource = outcome(data)
        assert resource is not None and resource["id"] == STUDY_UID


def test_an_unknown_syntax_reads_at_least_what_explicit_little_endian_reads():
    # Implicit VR data: (0009,1010) declares a length past the end, and the undefined-length item after
    # it has no delimiter, so read as implicit the item takes every byte left, the study with them. The
    # plain reading takes the same four length bytes as "LO" and a 2-byte length that steps over the item.
    lies = d.implicit(0x00091010, length=int.from_bytes(b"LO\x08\x00", "little")) + d.item_header(d.UNDEFINED)
    dataset = d.implicit(0x00080060, d.text("CT")) + lies + d.implicit(0x0020000D, d.uid(STUDY_UID))
    resource = outcome(d.part10(dataset, "1.2.840v10008.1.2"))
    assert resource is not None and resource["id"] == STUDY_UID


def nested_sequences(depth: int, implicit: bool = False) -> bytes:
    """`depth` undefined-length sequences, each the only element of an undefined-length item."""
    inner = b""
    for _ in range(depth):
        inner = d.sequence(0x00081140, [d.item(inner, d.UNDEFINED)], explicit_vr=not implicit)
    return inner


@pytest.mark.parametrize("implicit", [False, True], ids=["explicit", "implicit"])
def test_items_nested_thousands_deep(implicit):
    resource = outcome(with_study(nested_sequences(5_000, implicit), implicit))
    assert resource is not None and resource["id"] == STUDY_UID
    assert_linear(lambda depth: with_study(nested_sequences(depth, implicit), implicit), _fhir.imaging_study, 1_000)


def private_creators(count: int) -> bytes:
    """`count` private creators, 240 to an odd group from (1001,xxxx) on, each with one element."""
    out = bytearray()
    for n in range(count):
        group, block = 0x1001 + 2 * (n // 240), 0x10 + n % 240
        out += d.explicit((group << 16) | block, "LO", d.text(f"CREATOR {n}"))
    for n in range(count):
        group, block = 0x1001 + 2 * (n // 240), 0x10 + n % 240
        out += d.explicit((group << 16) | (block << 8) | 0x01, "UN", b"\xfe\xff\x00\xe0\x00\x00\x00\x00")
    return bytes(out)


def test_a_hundred_thousand_private_creators():
    resource = outcome(with_study(private_creators(100_000)))
    assert resource is not None and resource["id"] == STUDY_UID
    assert_linear(lambda count: with_study(private_creators(count)), _fhir.imaging_study, 10_000)


@pytest.mark.parametrize("path", REAL_FILES, ids=lambda p: p.name)
def test_every_truncation_of_a_real_file(path):
    data = path.read_bytes()
    complete = outcome(data)
    assert complete is not None
    for cut in range(len(data)):
        resource = outcome(data[:cut])
        if resource is not None:
            assert resource["resourceType"] == "ImagingStudy"


@pytest.mark.parametrize("path", REAL_FILES, ids=lambda p: p.name)
def test_random_bit_flips_of_a_real_file(path):
    data = path.read_bytes()
    rng = random.Random(path.name)
    for _ in range(2_000):
        mutant = bytearray(data)
        for _ in range(rng.randint(1, 16)):
            mutant[rng.randrange(len(mutant))] ^= 1 << rng.randrange(8)
        resource = outcome(bytes(mutant))
        if resource is not None:
            assert resource["resourceType"] == "ImagingStudy"


def test_a_long_file_of_small_elements_costs_linear_time():
    def file_of(count: int) -> bytes:
        return with_study(b"".join(d.explicit(0x00091000 | (n % 0x100), "LO", d.text("v")) for n in range(count)))

    assert_linear(file_of, _fhir.imaging_study, 20_000)

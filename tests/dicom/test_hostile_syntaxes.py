"""Hostile big-endian, deflated and meta-less inputs: locate_dataset and the parse keep to their bounds,
stop where they should, and cost time and memory that grow linearly with what they read."""

import io
import os
import random
import subprocess
import sys
import textwrap
import warnings
import zlib
from pathlib import Path

import pydicom
import pytest
from pydicom.filewriter import dcmwrite
from pydicom.uid import DeflatedExplicitVRLittleEndian

import _dicom_testing as dt
from helpers import dicom_writer as w
from helpers.dicom_writer import deflate_bomb
from helpers.growth import assert_linear
from helpers.memory import UNDER_ADDRESS_SANITIZER

TEST_FILES = Path(pydicom.__file__).parent / "data" / "test_files"
BIG_ENDIAN_FILES = ["ExplVR_BigEnd.dcm", "MR_small_bigendian.dcm", "ExplVR_BigEndNoMeta.dcm"]
LOCATED = {"ok", "not_dicom", "inflate_failed"}
STUDY_UID = "1.2.826.0.1.3680043.8.498.77"

pytestmark = pytest.mark.timeout(120)


def deflate(data: bytes) -> bytes:
    compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


ELEMENT_RUN = w.explicit(0x00091010, "LO", "ab") * 100  # valid elements, never a header end


def rows_of(located: dict) -> list:
    if located["status"] != "ok":
        return []
    dataset = located["dataset"]
    rows = dt.parse_encoded(dataset, implicit_vr=located["implicit_vr"], big_endian=located["big_endian"])[2]
    for _, _, length, offset in rows:
        assert offset + length <= len(dataset)
    return rows


@pytest.mark.parametrize("unit, status", [(bytes(64), "ok"), (ELEMENT_RUN, "inflated_too_large")],
                         ids=["zeros", "elements"])
def test_a_gibibyte_deflate_bomb_stops_at_its_header_or_the_cap(unit, status):
    located = dt.locate_dataset(w.part10(deflate_bomb(unit, 1 << 30), w.DEFLATED_LE))
    assert located["status"] == status
    assert located["inflated_size"] <= 256 << 20
    if status == "ok":  # zeros: a zero group ends the header in the first chunk
        assert located["inflated_size"] < 1 << 20 and rows_of(located) == []


def test_inflating_up_to_the_cap_costs_time_linear_in_the_cap():
    data = w.part10(deflate_bomb(ELEMENT_RUN, 256 << 20), w.DEFLATED_LE)
    assert_linear(lambda mib: mib << 20, lambda cap: dt.locate_dataset(data, cap), 2)


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="resident sizes mean nothing under AddressSanitizer")
def test_a_deflate_bomb_holds_memory_near_the_cap(tmp_path):
    cap = 64 << 20
    bomb = tmp_path / "bomb.dcm"
    bomb.write_bytes(w.part10(deflate_bomb(ELEMENT_RUN, 1 << 30), w.DEFLATED_LE))
    script = textwrap.dedent(f"""
        import resource
        import _dicom_testing as dt
        data = open({str(bomb)!r}, "rb").read()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        status = dt.locate_dataset(data, {cap})["status"]
        print(status, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=os.environ,
                            check=True)
    status, peak_growth = result.stdout.split()
    assert status == "inflated_too_large"
    assert int(peak_growth) < 2 * cap  # the buffer, and its previous half while it doubles


def write_deflated(source: str) -> bytes:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        dataset = pydicom.dcmread(TEST_FILES / source, force=True)
        dataset.file_meta.TransferSyntaxUID = DeflatedExplicitVRLittleEndian
        buffer = io.BytesIO()
        dataset.save_as(buffer, enforce_file_format=True)
    return buffer.getvalue()


@pytest.mark.parametrize("source, step", [("rtplan.dcm", 1), ("CT_small.dcm", 37)])
def test_a_truncated_deflate_stream_keeps_what_inflated(source, step):
    data = write_deflated(source)
    whole = dt.locate_dataset(data)["dataset"]
    start = dt.read_file_meta(data)["dataset_offset"]
    for cut in range(start, len(data), step):
        located = dt.locate_dataset(data[:cut])
        assert located["status"] in LOCATED, cut
        assert whole.startswith(located["dataset"]), cut
        assert (located["status"] == "inflate_failed") == (cut > start and located["inflated_size"] == 0), cut
        rows_of(located)


@pytest.mark.parametrize("seed", range(40))
def test_a_corrupt_deflate_stream_gives_a_status(seed):
    rng = random.Random(seed)
    data = bytearray(write_deflated("CT_small.dcm"))
    start = dt.read_file_meta(bytes(data))["dataset_offset"]
    for _ in range(rng.randrange(1, 8)):
        data[rng.randrange(start, len(data))] ^= 1 << rng.randrange(8)
    located = dt.locate_dataset(bytes(data))
    assert located["status"] in LOCATED
    rows_of(located)


@pytest.mark.parametrize("seed", range(40))
def test_random_bytes_after_a_deflated_meta_give_a_status(seed):
    rng = random.Random(seed)
    located = dt.locate_dataset(w.part10(rng.randbytes(rng.randrange(1, 5000)), w.DEFLATED_LE))
    assert located["status"] in {"ok", "inflate_failed"}
    rows_of(located)


@pytest.mark.parametrize("name", BIG_ENDIAN_FILES)
def test_big_endian_files_cut_anywhere_keep_their_whole_elements(name):
    data = (TEST_FILES / name).read_bytes()
    whole = dt.locate_dataset(data)
    offset = whole["offset"]
    full = rows_of(whole)
    header_end = next((o for tag, _, _, o in full if tag >> 16 == 0x7FE0), len(data) - offset) + offset
    cuts = [*range(0, header_end + 64), *range(header_end + 64, len(data), 97)]
    for cut in cuts:
        located = dt.locate_dataset(data[:cut])
        rows = rows_of(located)
        if located["status"] == "ok" and located["offset"] == offset:
            # + 8: an undefined length's delimiter follows its value
            kept = [row for row in full if row[3] + row[2] + 8 <= cut - offset]
            assert rows[:len(kept)] == kept, cut


def with_study_big_endian(rest: bytes) -> bytes:
    return (w.explicit(0x00080060, "CS", "CT", big_endian=True) +
            w.explicit(0x0020000D, "UI", w.uid(STUDY_UID), big_endian=True) + rest)


def study_uid_of(dataset: bytes) -> bytes:
    _, _, rows = dt.parse_encoded(dataset, big_endian=True)
    return next(dataset[o:o + n].rstrip(b"\0") for tag, _, n, o in rows if tag == 0x0020000D)


@pytest.mark.parametrize("length", [0xFFFFFFFE, 0x80000000, 0x7FFFFFFF, 0x0000FFFF])
@pytest.mark.parametrize("vr", ["OB", "UN", "UT", "SQ", "LO"])
def test_big_endian_lengths_beyond_the_data_keep_what_came_before(vr, length):
    body = w.explicit(0x00091010, vr, b"\x01\x02\x03\x04", length=length, big_endian=True)
    data = with_study_big_endian(body + b"\xff\xfe\xe0\x00" * 4)
    assert study_uid_of(data) == STUDY_UID.encode()


def nested_big_endian(depth: int) -> bytes:
    inner = b""
    for _ in range(depth):
        inner = w.sequence(0x00081140, [w.item(inner, w.UNDEFINED, big_endian=True)], big_endian=True)
    return inner


def test_big_endian_items_nested_thousands_deep_cost_linear_time():
    assert study_uid_of(with_study_big_endian(nested_big_endian(5_000))) == STUDY_UID.encode()
    assert_linear(lambda depth: with_study_big_endian(nested_big_endian(depth)),
                  lambda data: dt.parse_encoded(data, big_endian=True), 1_000)


@pytest.mark.parametrize("seed", range(100))
def test_random_bytes_read_in_every_encoding_stay_in_bounds(seed):
    rng = random.Random(seed)
    data = rng.randbytes(rng.randrange(0, 2000))
    for encoding in ({}, {"implicit_vr": True}, {"big_endian": True}):
        for _, _, length, offset in dt.parse_encoded(data, **encoding)[2]:
            assert offset + length <= len(data)
        dt.header_ends_within(data, **encoding)
    rows_of(dt.locate_dataset(data))
    rows_of(dt.locate_dataset(w.part10(data, w.EXPLICIT_BE)))

"""The store's journal after a kill: what the page cache would have lost is written back at the next
start, the last confirmed copy winning, never over a newer copy synced on its own, and never from
records a checkpoint already retired."""

from __future__ import annotations

import re
import struct
import zlib
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pydicom
import pytest
from net_peers import Listener, echo_status, pydicom_file, scu
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
from pynetdicom.sop_class import CTImageStorage  # type: ignore[attr-defined]

pytestmark = pytest.mark.timeout(120)

LARGER_THAN_JOURNALED = 2200  # a 2200 x 1100 x 16-bit image: 4.8 MB, synced on its own


def ct(sop_instance: str, patient: str, columns: int | None = None) -> pydicom.Dataset:
    dataset = pydicom.dcmread(pydicom_file("CT_small.dcm"))
    dataset.SOPInstanceUID = sop_instance
    dataset.PatientName = patient
    if columns is not None:
        dataset.Rows, dataset.Columns = 1100, columns
        noise = np.random.default_rng(len(patient)).integers(0, 4096, (1100, columns), dtype=np.uint16)
        dataset.PixelData = noise.tobytes()
    return dataset


def store_all(port: int, datasets: list[pydicom.Dataset]) -> None:
    ae = scu(timeout=30)
    ae.add_requested_context(CTImageStorage, ExplicitVRLittleEndian)
    association = ae.associate("127.0.0.1", port, ae_title="ZANTHE")
    assert association.is_established
    try:
        assert [int(association.send_c_store(d).Status) for d in datasets] == [0] * len(datasets)
    finally:
        association.release()


def snapshot(store: Path) -> dict[Path, bytes]:
    return {path.relative_to(store): path.read_bytes() for path in sorted(store.glob("*/*/*.dcm"))}


def lose_every_other_file(store: Path) -> int:
    """What a power cut may do to files never synced: some gone, some cut short."""
    files = sorted(store.glob("*/*/*.dcm"))
    for number, path in enumerate(files):
        if number % 2:
            path.unlink()
        else:
            path.write_bytes(path.read_bytes()[:1000])
    return len(files)


def leave_files(store: Path) -> int:
    return 0


def distinct_instances() -> tuple[list[pydicom.Dataset], Callable[[Path], int]]:
    return [ct(generate_uid(), f"PATIENT^{n}") for n in range(12)], lose_every_other_file


def a_copy_replaced() -> tuple[list[pydicom.Dataset], Callable[[Path], int]]:
    uid = generate_uid()
    return [ct(uid, "FIRST^COPY"), ct(uid, "SECOND^COPY")], lose_every_other_file


def a_journaled_copy_replaced_by_a_large_one() -> tuple[list[pydicom.Dataset], Callable[[Path], int]]:
    uid = generate_uid()
    return [ct(uid, "SMALL^COPY"), ct(uid, "LARGE^COPY", LARGER_THAN_JOURNALED)], leave_files


def opening_line(listener: Listener) -> str:
    assert listener.process.stderr is not None
    return listener.process.stderr.readline()


@pytest.mark.parametrize(("scenario", "restart"), [
    (distinct_instances, ()), (a_copy_replaced, ()), (a_journaled_copy_replaced_by_a_large_one, ()),
    (distinct_instances, ("--no-fsync",)),  # a fast restart still mends the store first
])  # fmt: skip
def test_a_restart_writes_back_what_the_kill_lost(scenario, restart, listen, tmp_path: Path) -> None:
    store = tmp_path / "store"
    server = listen(store)
    datasets, damage = scenario()
    store_all(server.port, datasets)
    server.kill()
    confirmed = snapshot(store)
    assert {str(pydicom.dcmread(store / path).PatientName) for path in confirmed} >= {str(datasets[-1].PatientName)}
    damaged = damage(store)

    again = listen(store, *restart)
    line = opening_line(again)
    assert snapshot(store) == confirmed
    written = re.search(r"(\d+) files? written back", line)
    assert (int(written[1]) if written else 0) == damaged, line
    assert echo_status(again.port) == 0


def test_a_journal_that_started_over_many_times_leaves_the_last_copies(listen, tmp_path: Path) -> None:
    # Two copies of each instance, about 95 MB through an 8 MiB journal: it starts over many times,
    # and the first copies' records, left in the file behind newer ones, must stay unread.
    store = tmp_path / "store"
    server = listen(store, "--journal-mib", "8")
    uids = [generate_uid() for _ in range(12)]
    for patient in ("FIRST^COPY", "SECOND^COPY"):
        store_all(server.port, [ct(uid, patient, 1800) for uid in uids])
    server.kill()
    confirmed = snapshot(store)
    assert len(confirmed) == len(uids)

    again = listen(store, "--journal-mib", "8")
    opening_line(again)
    assert snapshot(store) == confirmed
    assert {str(pydicom.dcmread(store / path).PatientName) for path in confirmed} == {"SECOND^COPY"}


def test_a_second_server_on_the_same_store_is_refused(listen, tmp_path: Path) -> None:
    store = tmp_path / "store"
    first = listen(store)
    with pytest.raises(AssertionError, match="is in use by another server"):
        listen(store)
    assert echo_status(first.port) == 0


# A journal written by hand, as the server writes it: two header slots in the first 4 KiB, records
# from there on; each record's payload ends with its generation and its own offset.
HEADER_BYTES, SLOT_BYTES = 4096, 512


def header_slot(generation: int) -> bytes:
    fields = b"ZDJH" + struct.pack("<IQ", 1, generation)
    return fields + struct.pack("<I", zlib.crc32(fields))


def record(path: str, data: bytes, generation: int, offset: int) -> bytes:
    payload = bytes([1]) + struct.pack("<H", len(path)) + path.encode() + data + struct.pack("<QQ", generation, offset)
    return b"ZDJ1" + struct.pack("<II", len(payload), zlib.crc32(payload)) + payload


def journal_with(generation: int, path: str, data: bytes, *, record_generation: int | None = None,
                 offset: int = HEADER_BYTES, torn: bool = False) -> bytes:  # fmt: skip
    head = bytearray(HEADER_BYTES)
    slot = header_slot(generation)
    at = (generation % 2) * SLOT_BYTES
    head[at : at + len(slot)] = slot
    body = bytearray(record(path, data, generation if record_generation is None else record_generation, offset))
    if torn:
        body[-1] ^= 0xFF
    return bytes(head + body)


@pytest.mark.parametrize(("change", "written_back"), [
    ({}, True),
    ({"record_generation": 2}, False),  # left by an earlier generation
    ({"offset": HEADER_BYTES + 512}, False),  # read at another place than it was written
    ({"torn": True}, False),
    ({"path": "../outside/the/store.dcm"}, False),
])  # fmt: skip
def test_only_whole_records_of_the_last_generation_are_written_back(change, written_back, listen, tmp_path: Path) -> None:
    store = tmp_path / "store"
    store.mkdir()
    dataset = ct(generate_uid(), "FROM^JOURNAL")
    relative = f"{dataset.StudyInstanceUID}/{dataset.SeriesInstanceUID}/{dataset.SOPInstanceUID}.dcm"
    source = tmp_path / "source.dcm"
    dataset.save_as(source, enforce_file_format=True)
    path = change.pop("path", relative)
    (store / ".instances.journal").write_bytes(journal_with(3, path, source.read_bytes(), **change))

    line = opening_line(listen(store))
    assert (store / relative).is_file() == written_back, line
    if written_back:
        assert (store / relative).read_bytes() == source.read_bytes()
    assert not (tmp_path / "outside").exists()
    assert ("naming no place in the store" in line) == path.startswith("..")

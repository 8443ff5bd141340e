"""C-STORE refusals: a dataset the command does not describe (A900), one that cannot be read or named
(C000), one that cannot be written (A700). A refused instance leaves nothing on disk."""

from __future__ import annotations

import resource
import signal
from pathlib import Path

import pydicom
import pytest
from net_peers import (
    all_files,
    assert_stored_as_sent,
    dataset_bytes,
    pydicom_file,
    renamed_copy,
    scu,
    stored_path,
)
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
from pynetdicom.sop_class import CTImageStorage, Verification  # type: ignore[attr-defined]

from helpers.dicom_net_bytes import CT_IMAGE_STORAGE, IMPLICIT_LE, Context, RawAssociation

pytestmark = pytest.mark.timeout(60)

MR_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.4"


def ct(**changes: object) -> pydicom.Dataset:
    dataset = pydicom.dcmread(pydicom_file("CT_small.dcm"))
    dataset.SOPInstanceUID = generate_uid()
    for keyword, value in changes.items():
        if value is None:
            delattr(dataset, keyword)
        else:
            setattr(dataset, keyword, value)
    return dataset


# (command SOP class, command SOP instance, dataset bytes) from a fresh CT dataset.
def other_instance(d: pydicom.Dataset) -> tuple[str, str, bytes]:
    return CT_IMAGE_STORAGE, generate_uid(), dataset_bytes(d)


def other_class(d: pydicom.Dataset) -> tuple[str, str, bytes]:
    return MR_IMAGE_STORAGE, d.SOPInstanceUID, dataset_bytes(d)


def empty(d: pydicom.Dataset) -> tuple[str, str, bytes]:
    return CT_IMAGE_STORAGE, d.SOPInstanceUID, b""


def unreadable(d: pydicom.Dataset) -> tuple[str, str, bytes]:
    # The first element, SOP Class UID, declares 2 GiB of value and holds 3 bytes.
    return CT_IMAGE_STORAGE, d.SOPInstanceUID, b"\x08\x00\x16\x00\x00\x00\x00\x80" + b"1.2"


def not_dicom(d: pydicom.Dataset) -> tuple[str, str, bytes]:
    return CT_IMAGE_STORAGE, d.SOPInstanceUID, b"hello, this is not a dataset at all"


def no_study(d: pydicom.Dataset) -> tuple[str, str, bytes]:
    del d.StudyInstanceUID
    return CT_IMAGE_STORAGE, d.SOPInstanceUID, dataset_bytes(d)


def escaping_instance(d: pydicom.Dataset) -> tuple[str, str, bytes]:
    d.SOPInstanceUID = "../../../escaped"
    return CT_IMAGE_STORAGE, d.SOPInstanceUID, dataset_bytes(d)


def escaping_series(d: pydicom.Dataset) -> tuple[str, str, bytes]:
    d.SeriesInstanceUID = "../../../escaped"
    return CT_IMAGE_STORAGE, d.SOPInstanceUID, dataset_bytes(d)


def as_sent(d: pydicom.Dataset) -> tuple[str, str, bytes]:
    return CT_IMAGE_STORAGE, d.SOPInstanceUID, dataset_bytes(d)


@pytest.mark.parametrize(("build", "status"), [
    (other_instance, 0xA900), (other_class, 0xA900), (empty, 0xC000),
    (unreadable, 0xC000), (not_dicom, 0xC000),
    (no_study, 0xC000),
    (escaping_instance, 0xC000), (escaping_series, 0xC000), (as_sent, 0x0000),
])  # fmt: skip
@pytest.mark.filterwarnings("ignore:Invalid value for VR UI")  # pydicom, on the escaping UIDs
def test_a_dataset_the_command_does_not_describe_is_refused(build, status, serve, tmp_path: Path) -> None:
    running = serve()
    dataset = ct()
    sop_class, sop_instance, data = build(dataset)
    with RawAssociation(running.port) as association:
        association.associate([Context(1, CT_IMAGE_STORAGE, [IMPLICIT_LE])])
        assert association.store(1, sop_class, sop_instance, data) == status
        association.release()
    running.server.close()
    if status == 0:
        assert_stored_as_sent(running.store, dataset, IMPLICIT_LE)
        assert [e.sop_instance_uid for e in running.events] == [dataset.SOPInstanceUID]
    else:
        assert all_files(tmp_path) == [] and running.events == []
        assert not (tmp_path.parent / "escaped").exists()


def test_an_instance_over_the_dataset_cap_is_refused(serve) -> None:
    running = serve(max_dataset_bytes=16 * 1024)
    ae = scu()
    ae.add_requested_context(CTImageStorage, ExplicitVRLittleEndian)
    ae.add_requested_context(Verification)
    association = ae.associate("127.0.0.1", running.port, ae_title="ZANTHE")
    try:
        assert int(association.send_c_store(ct()).Status) == 0xA700
        assert int(association.send_c_echo().Status) == 0  # read to its end: the association goes on
    finally:
        association.release()
    assert all_files(running.store) == []


FILE_SIZE_LIMIT = 256 * 1024


def limit_file_size() -> None:
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT, FILE_SIZE_LIMIT))
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # writes past the limit fail with EFBIG instead


def test_a_write_that_fails_answers_a700_and_leaves_nothing(listen, tmp_path: Path) -> None:
    store = tmp_path / "store"
    listener = listen(store, preexec_fn=limit_file_size)
    big = ct(Rows=512, Columns=512, PixelData=bytes(2 * 512 * 512))
    small = ct()
    ae = scu()
    ae.add_requested_context(CTImageStorage, ExplicitVRLittleEndian)
    association = ae.associate("127.0.0.1", listener.port, ae_title="ZANTHE")
    try:
        assert int(association.send_c_store(big).Status) == 0xA700
        assert all_files(store) == []  # no temporary left behind either
        assert int(association.send_c_store(small).Status) == 0
    finally:
        association.release()
    assert all_files(store) == [stored_path(store, small)]
    assert_stored_as_sent(store, small, ExplicitVRLittleEndian)


def test_a_study_folder_removed_while_serving_is_made_again(serve, tmp_path: Path) -> None:
    import shutil

    from zanthe.dicom.net import send

    running = serve()
    for name in ("before", "after"):
        (tmp_path / name).mkdir()
    first, _ = renamed_copy("CT_small.dcm", tmp_path / "before")
    assert [r.status for r in send(f"127.0.0.1:{running.port}", [first])] == [0]
    shutil.rmtree(next(p for p in running.store.iterdir() if p.is_dir()))  # someone tidies the store under the running server
    second, dataset = renamed_copy("CT_small.dcm", tmp_path / "after")
    assert [r.status for r in send(f"127.0.0.1:{running.port}", [second])] == [0]
    assert stored_path(running.store, dataset).is_file()

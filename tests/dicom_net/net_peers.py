"""The peers of the DICOM networking tests: our storage SCP in this process or as `zanthe dicom listen`,
pynetdicom as the reference SCU, and pydicom's test files with fresh instance UIDs."""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pydicom
from pydicom.data import get_testdata_file
from pydicom.filebase import DicomBytesIO
from pydicom.filewriter import write_dataset
from pydicom.uid import generate_uid
from pynetdicom import AE
from pynetdicom.sop_class import Verification  # type: ignore[attr-defined]

from zanthe.dicom.net import StorageServer, StoredInstance

SCU_AE = "TESTSCU"
# One of each kind of transfer syntax, all in pydicom's own test data (no download).
TEST_FILES = {
    "CT_small.dcm": "1.2.840.10008.1.2.1",  # explicit VR little endian
    "MR_small_implicit.dcm": "1.2.840.10008.1.2",
    "rtplan.dcm": "1.2.840.10008.1.2",  # no pixels, sequences
    "MR_small_bigendian.dcm": "1.2.840.10008.1.2.2",
    "image_dfl.dcm": "1.2.840.10008.1.2.1.99",
    "MR_small_RLE.dcm": "1.2.840.10008.1.2.5",
    "SC_rgb_jpeg_dcmtk.dcm": "1.2.840.10008.1.2.4.50",
    "JPEG2000.dcm": "1.2.840.10008.1.2.4.91",
}


def pydicom_file(name: str) -> str:
    path = get_testdata_file(name)
    assert isinstance(path, str), f"{name} is not in pydicom's test data"
    return path


def renamed_copy(name: str, folder: Path) -> tuple[Path, pydicom.Dataset]:
    """A test file written again with a SOP Instance UID of its own (several share one), and a UTC
    offset, which a FHIR time of day must carry."""
    dataset = pydicom.dcmread(pydicom_file(name))
    dataset.TimezoneOffsetFromUTC = "+0100"
    uid = generate_uid()
    dataset.SOPInstanceUID = uid
    dataset.file_meta.MediaStorageSOPInstanceUID = uid
    path = folder / name
    dataset.save_as(path, enforce_file_format=True)
    return path, pydicom.dcmread(path)


def dataset_bytes(dataset: pydicom.Dataset) -> bytes:
    """A dataset encoded implicit VR little endian, as the raw tests' contexts carry it."""
    out = DicomBytesIO()
    out.is_little_endian, out.is_implicit_VR = True, True
    write_dataset(out, dataset)
    return out.getvalue()


def stored_path(store: Path, dataset: pydicom.Dataset) -> Path:
    return store / dataset.StudyInstanceUID / dataset.SeriesInstanceUID / f"{dataset.SOPInstanceUID}.dcm"


JOURNAL_NAME = ".instances.journal"


def all_files(folder: Path) -> list[Path]:
    """Every file under the folder, hidden ones (temporaries) included, but stores' journals."""
    return sorted(Path(root, name) for root, _, names in os.walk(folder) for name in names if name != JOURNAL_NAME)


TRAILING_PADDING = 0xFFFCFFFC


def differing_tags(a: pydicom.Dataset, b: pydicom.Dataset, ignore: frozenset[int] = frozenset()) -> list[str]:
    """The tags whose elements differ (value, VR, or presence), top level; sequences compare whole."""
    ours = {int(e.tag): e for e in a if int(e.tag) not in ignore}
    theirs = {int(e.tag): e for e in b if int(e.tag) not in ignore}
    return [f"{tag:08X}" for tag in sorted(ours.keys() | theirs.keys()) if ours.get(tag) != theirs.get(tag)]


def assert_stored_as_sent(
    store: Path, sent: pydicom.Dataset, transfer_syntax: str, ignore: frozenset[int] = frozenset()
) -> None:
    path = stored_path(store, sent)
    assert path.is_file(), f"{path.relative_to(store)} was not stored"
    stored = pydicom.dcmread(path)
    meta = stored.file_meta
    assert (meta.TransferSyntaxUID, meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID) == (
        transfer_syntax, sent.SOPClassUID, sent.SOPInstanceUID)  # fmt: skip
    assert differing_tags(stored, sent, ignore) == []


class Running:
    """A StorageServer on a free port that records what on_stored saw."""

    def __init__(self, store: Path, **options: Any) -> None:
        self.store = store
        self.events: list[StoredInstance] = []
        self.lock = threading.Lock()
        self.server = StorageServer(store, port=0, on_stored=self.record, **options)
        self.port = self.server.port

    def record(self, event: StoredInstance) -> None:
        with self.lock:
            self.events.append(event)


def scu(timeout: float = 5.0) -> AE:
    ae = AE(ae_title=SCU_AE)
    ae.acse_timeout = ae.dimse_timeout = ae.network_timeout = timeout
    return ae


def echo_status(port: int, calling_ae: str = SCU_AE) -> int | None:
    """pynetdicom's C-ECHO: the response status, None when there was no association."""
    ae = scu()
    ae.ae_title = calling_ae
    ae.add_requested_context(Verification)
    association = ae.associate("127.0.0.1", port, ae_title="ZANTHE")
    if not association.is_established:
        return None
    try:
        response = association.send_c_echo()
        return int(response.Status) if "Status" in response else None
    finally:
        association.release()


class Listener:
    """`zanthe dicom listen` in a child process."""

    def __init__(self, store: Path, *args: str, preexec_fn: Callable[[], None] | None = None) -> None:
        command = [sys.executable, "-m", "zanthe", "dicom", "listen", "--store", str(store), *args]
        if "--port" not in args:
            command += ["--port", "0"]
        # Not run from the checkout, whose zanthe folder (without the built modules) would come first.
        self.process = subprocess.Popen(
            command, stderr=subprocess.PIPE, text=True, preexec_fn=preexec_fn, cwd=store.parent,
            env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
        )  # fmt: skip
        assert self.process.stderr is not None
        line = self.process.stderr.readline()
        found = re.search(r"listening on \S+:(\d+) ", line)
        if found is None:
            self.process.kill()
            raise AssertionError(f"zanthe dicom listen did not start: {line}{self.process.stderr.read()}")
        self.port = int(found.group(1))

    def kill(self) -> None:
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(10)

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(10)
        finally:
            assert self.process.stderr is not None
            self.process.stderr.close()

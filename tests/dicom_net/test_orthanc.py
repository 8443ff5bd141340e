"""Orthanc as the peer on both sides: our SCU stores into it, its SCU stores into our server, it
echoes us, and it queries our study index with C-FIND. Orthanc's REST API is the oracle for what it
received; pydicom reads the files back.

Orthanc (Debian's `orthanc` package) is started once for the module, its database in a temporary
folder, its HTTP and DICOM ports free ones on loopback.
"""

from __future__ import annotations

import io
import json
import os
import shutil
import socket
import subprocess
import time
import urllib.error
import urllib.request
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pydicom
import pytest
from pydicom.data import get_testdata_file
from pydicom.uid import generate_uid

from zanthe.dicom.net import StorageServer, send

pytestmark = pytest.mark.timeout(120)

ORTHANC = shutil.which("Orthanc") or next((p for p in ["/usr/sbin/Orthanc"] if os.access(p, os.X_OK)), None)
ORTHANC_AE = "ORTHANC"
OUR_AE = "ZANTHE"
# pydicom's test files, one per kind of transfer syntax: (name, transfer syntax, written again with a
# fresh SOP Instance UID, as the big endian file shares its own with MR_small_implicit). rtplan.dcm's
# meta group names another instance than its dataset; image_dfl.dcm's deflated stream is of odd length,
# which strict receivers refuse unless the sender pads it.
SENT_FILES = [
    ("CT_small.dcm", "1.2.840.10008.1.2.1", False),
    ("MR_small_implicit.dcm", "1.2.840.10008.1.2", False),
    ("rtplan.dcm", "1.2.840.10008.1.2", False),
    ("MR_small_bigendian.dcm", "1.2.840.10008.1.2.2", True),
    ("image_dfl.dcm", "1.2.840.10008.1.2.1.99", False),
    ("SC_rgb_jpeg_dcmtk.dcm", "1.2.840.10008.1.2.4.50", False),
    ("JPEG2000.dcm", "1.2.840.10008.1.2.4.91", False),
]
# Made into one study of three series, one of them RLE, for Orthanc to send back to us.
STUDY_FILES = ("MR_small_implicit.dcm", "MR_small_RLE.dcm", "CT_small.dcm")
DATA_SET_TRAILING_PADDING = 0xFFFCFFFC


def pydicom_file(name: str) -> str:
    path = get_testdata_file(name, download=False)
    assert isinstance(path, str), f"{name} is not in pydicom's test data"
    return path


def rewritten(name: str, path: Path, **values: str) -> Path:
    """A test file written again by pydicom in its own transfer syntax, with a fresh SOP Instance
    UID and the given attributes."""
    dataset = pydicom.dcmread(pydicom_file(name))
    for keyword, value in values.items():
        setattr(dataset, keyword, value)
    dataset.SOPInstanceUID = dataset.file_meta.MediaStorageSOPInstanceUID = generate_uid()
    dataset.save_as(path, enforce_file_format=True)
    return path


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


@dataclass
class Orthanc:
    http_port: int
    dicom_port: int

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.dicom_port}"

    def request(self, method: str, path: str, body: bytes | dict[str, Any] | None = None) -> Any:
        data = json.dumps(body).encode() if isinstance(body, dict) else body
        request = urllib.request.Request(f"http://127.0.0.1:{self.http_port}{path}", data=data, method=method)
        with urllib.request.urlopen(request, timeout=30) as response:
            payload = response.read()
            return json.loads(payload) if response.headers.get_content_type() == "application/json" else payload

    def get(self, path: str) -> Any:
        return self.request("GET", path)

    def post(self, path: str, body: bytes | dict[str, Any]) -> Any:
        return self.request("POST", path, body)

    def copies(self) -> dict[str, pydicom.FileDataset]:
        """Every instance Orthanc holds, read from the file it serves, by SOP Instance UID."""
        read = (pydicom.dcmread(io.BytesIO(self.get(f"/instances/{i}/file"))) for i in self.get("/instances"))
        return {dataset.SOPInstanceUID: dataset for dataset in read}


@dataclass
class Ours:
    server: StorageServer
    store: Path

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.server.port}"


@pytest.fixture(scope="module")
def ours(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Ours]:
    store = tmp_path_factory.mktemp("store")
    with StorageServer(store, port=0, ae_title=OUR_AE, fsync=False) as server:
        yield Ours(server, store)


@pytest.fixture(scope="module")
def orthanc(tmp_path_factory: pytest.TempPathFactory, ours: Ours) -> Iterator[Orthanc]:
    if ORTHANC is None:
        pytest.skip("the Orthanc binary is not installed (Debian: apt-get install orthanc)")
    folder = tmp_path_factory.mktemp("orthanc")
    peer = Orthanc(free_port(), free_port())
    configuration = {
        "Name": "zanthe-test",
        "StorageDirectory": str(folder / "storage"),
        "IndexDirectory": str(folder / "index"),
        "HttpPort": peer.http_port,
        "DicomPort": peer.dicom_port,
        "RemoteAccessAllowed": False,
        "AuthenticationEnabled": False,
        "DicomAet": ORTHANC_AE,
        "DicomModalities": {"zanthe": [OUR_AE, "127.0.0.1", ours.server.port]},
        "Plugins": [],
        # Only that modality may store, find or echo, and only from its host: the calling AE title
        # our SCU sends is checked on the way.
        "DicomAlwaysAllowStore": False,
        "DicomAlwaysAllowFind": False,
        "DicomAlwaysAllowEcho": False,
        "DicomCheckModalityHost": True,
    }
    (folder / "orthanc.json").write_text(json.dumps(configuration))
    log_path = folder / "orthanc.log"
    with log_path.open("wb") as log:
        # Orthanc is not ours to sanitize: the sanitizer run's preloaded runtimes stall it at start.
        environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
        process = subprocess.Popen(
            [ORTHANC, str(folder / "orthanc.json")], stdout=log, stderr=subprocess.STDOUT, env=environment
        )
    try:
        wait_for_rest_api(peer, process, log_path)
        yield peer
    finally:
        process.kill()  # its database is thrown away: no need for the seconds a clean stop takes
        process.wait()


def wait_for_rest_api(peer: Orthanc, process: subprocess.Popen[bytes], log: Path) -> None:
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if process.poll() is not None:
            pytest.fail(f"Orthanc exited with {process.returncode}:\n{log.read_text(errors='replace')}")
        try:
            peer.get("/system")
            return
        except (urllib.error.URLError, ConnectionError):
            time.sleep(0.05)
    pytest.fail(f"Orthanc's REST API did not answer within 30 s:\n{log.read_text(errors='replace')}")


@pytest.fixture(scope="module")
def sent_files(tmp_path_factory: pytest.TempPathFactory) -> list[str]:
    folder = tmp_path_factory.mktemp("sent")
    return [str(rewritten(name, folder / name)) if again else pydicom_file(name) for name, _, again in SENT_FILES]


def test_our_scu_stores_every_transfer_syntax_into_orthanc(orthanc, sent_files):
    sent = send(orthanc.address, sent_files, calling_ae=OUR_AE, called_ae=ORTHANC_AE, timeout=10)
    results = {r.path: r for r in sent}
    assert sorted(results) == sorted(sent_files)
    assert all(r.status == 0 for r in results.values()), [(r.path, r.status, r.comment) for r in results.values()]
    copies = orthanc.copies()
    for path, (_, transfer_syntax, _) in zip(sent_files, SENT_FILES, strict=True):
        original = pydicom.dcmread(path)
        assert results[path].sop_instance_uid == original.SOPInstanceUID, path
        copy = copies[original.SOPInstanceUID]
        assert copy.file_meta.TransferSyntaxUID == transfer_syntax, path
        assert copy == original, path


@pytest.fixture(scope="module")
def uploaded_study(orthanc: Orthanc, tmp_path_factory: pytest.TempPathFactory) -> tuple[str, list[pydicom.FileDataset]]:
    """STUDY_FILES in one new study (a series each, one patient), uploaded to Orthanc over REST:
    (Orthanc's study ID, the datasets uploaded)."""
    folder = tmp_path_factory.mktemp("study")
    study_uid = generate_uid()
    uploaded, study_ids = [], set()
    for name in STUDY_FILES:
        path = rewritten(name, folder / name, StudyInstanceUID=study_uid, SeriesInstanceUID=generate_uid(),
                         PatientName="Roundtrip^Orthanc", PatientID="ORTHANC-1")  # fmt: skip
        answer = orthanc.post("/instances", path.read_bytes())
        assert answer["Status"] == "Success", answer
        study_ids.add(answer["ParentStudy"])
        uploaded.append(pydicom.dcmread(path))
    (study_id,) = study_ids
    return study_id, uploaded


def test_orthanc_stores_a_study_into_our_server(orthanc, ours, uploaded_study):
    study_id, uploaded = uploaded_study
    job = orthanc.post("/modalities/zanthe/store", study_id.encode())
    assert (job["InstancesCount"], job["FailedInstancesCount"]) == (len(uploaded), 0), job
    for original in uploaded:
        relative = Path(original.StudyInstanceUID, original.SeriesInstanceUID, f"{original.SOPInstanceUID}.dcm")
        copy = pydicom.dcmread(ours.store / relative)
        assert copy.file_meta.TransferSyntaxUID == original.file_meta.TransferSyntaxUID, relative
        # Orthanc's SCU leaves out Data Set Trailing Padding (CT_small and MR_small_RLE end with some).
        original.pop(DATA_SET_TRAILING_PADDING, None)
        assert copy == original, relative


def test_orthanc_echoes_our_server(orthanc):
    assert orthanc.post("/modalities/zanthe/echo", b"{}") == {}


def test_orthanc_finds_the_studies_our_server_holds(orthanc, ours, uploaded_study, sent_files):
    study_id, uploaded = uploaded_study
    orthanc.post("/modalities/zanthe/store", study_id.encode())  # whichever order the tests run in
    assert all(r.status == 0 for r in send(ours.address, sent_files, called_ae=OUR_AE))
    held = [*map(pydicom.dcmread, sent_files), *uploaded]
    expected = {dataset.StudyInstanceUID: str(dataset.PatientName) for dataset in held}
    assert set(expected) == {folder.name for folder in ours.store.iterdir() if folder.is_dir()} and len(expected) > 5
    asked = {"Level": "Study", "Query": {"PatientName": "*", "StudyInstanceUID": ""}}
    query = orthanc.post("/modalities/zanthe/query", asked)["Path"]
    answers = [orthanc.get(f"{query}/answers/{n}/content?simplify") for n in orthanc.get(f"{query}/answers")]
    assert {answer["StudyInstanceUID"]: answer["PatientName"] for answer in answers} == expected

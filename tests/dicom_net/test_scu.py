"""Our SCU against pynetdicom's AE as SCP, and against scripted peers that misbehave."""

from __future__ import annotations

import shutil
import socket
import struct
import subprocess
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pydicom
import pytest
from pydicom.data import get_testdata_file
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
from pynetdicom import AE, evt
from pynetdicom.pdu import P_DATA_TF
from pynetdicom.sop_class import Verification

import _dicom_net_testing as net

HOST = "127.0.0.1"
IMPLICIT = "1.2.840.10008.1.2"
MIB = 1 << 20
# One of each transfer syntax: explicit and implicit little endian, big endian, deflated, RLE, JPEG, JPEG 2000.
FILES = ["CT_small.dcm", "MR_small_implicit.dcm", "MR_small_bigendian.dcm", "image_dfl.dcm", "MR_small_RLE.dcm",
         "SC_rgb_jpeg_dcmtk.dcm", "JPEG2000.dcm", "rtplan.dcm"]


def data_file(name: str) -> str:
    path = get_testdata_file(name)
    assert path is not None
    return str(path)


def dataset_bytes(path: str) -> bytes:
    """The bytes after the file meta group (preamble, magic, group length element, group), padded to an
    even length as a deflated stream must be (pydicom's deflated test file is not)."""
    group_length = pydicom.filereader.read_file_meta_info(path).FileMetaInformationGroupLength
    data = Path(path).read_bytes()[144 + group_length:]
    return data + b"\0" * (len(data) % 2)


def large_file(directory: Path) -> str:
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID, ds.SOPInstanceUID = meta.MediaStorageSOPClassUID, meta.MediaStorageSOPInstanceUID
    ds.Rows, ds.Columns, ds.BitsAllocated, ds.BitsStored, ds.HighBit = 1024, 1536, 16, 16, 15
    ds.SamplesPerPixel, ds.PhotometricInterpretation, ds.PixelRepresentation = 1, "MONOCHROME2", 0
    ds.PixelData = bytes(range(256)) * (1024 * 1536 * 2 // 256)
    path = directory / "large.dcm"
    ds.save_as(path, enforce_file_format=True)
    return str(path)


@dataclass
class Peer:
    port: int
    stored: list[tuple[str, bytes, Dataset]] = field(default_factory=list)
    p_data_sizes: list[int] = field(default_factory=list)
    fragment_sizes: list[int] = field(default_factory=list)


def start_peer(files: list[str], max_pdu: int = 16382, status: int = 0, **ae_options: Any) -> tuple[Any, Peer]:
    ae = AE("ARCHIVE")
    ae.maximum_pdu_size = max_pdu
    for name, value in ae_options.items():
        setattr(ae, name, value)
    ae.add_supported_context(Verification)
    for path in files:
        meta = pydicom.dcmread(path, stop_before_pixels=True).file_meta
        ae.add_supported_context(meta.MediaStorageSOPClassUID, [meta.TransferSyntaxUID])
    peer = Peer(0)

    def on_store(event: Any) -> int:
        peer.stored.append((event.request.AffectedSOPInstanceUID, event.request.DataSet.getvalue(), event.dataset))
        return status

    def on_pdu(event: Any) -> None:
        if isinstance(event.pdu, P_DATA_TF):
            peer.p_data_sizes.append(len(event.pdu.encode()))
            peer.fragment_sizes += [len(v.presentation_data_value) - 1 for v in event.pdu.presentation_data_value_items]

    server = ae.start_server((HOST, 0), block=False, evt_handlers=[(evt.EVT_C_STORE, on_store), (evt.EVT_PDU_RECV, on_pdu)])
    peer.port = server.socket.getsockname()[1]
    return server, peer


@pytest.fixture
def peers() -> Iterator[Any]:
    servers: list[Any] = []

    def start(*args: Any, **kwargs: Any) -> Peer:
        server, peer = start_peer(*args, **kwargs)
        servers.append(server)
        return peer

    yield start
    for server in servers:
        server.shutdown()


def test_echo(peers: Any) -> None:
    assert net.echo(HOST, peers([]).port, "ZANTHE", "ARCHIVE") == 0


@pytest.mark.parametrize("peer_max_pdu", [4096, 4097, 16382, 0])
def test_every_file_arrives_as_it_was_encoded(peers: Any, tmp_path: Path, peer_max_pdu: int) -> None:
    paths = [data_file(name) for name in FILES] + ([large_file(tmp_path)] if peer_max_pdu == 0 else [])
    peer = peers(paths, max_pdu=peer_max_pdu)
    outcomes = net.store_files(HOST, peer.port, "ZANTHE", "ARCHIVE", paths)
    assert outcomes == [(path, 0) for path in paths]
    assert len(peer.stored) == len(paths)
    for path, (instance, raw, dataset) in zip(paths, peer.stored):
        sent = pydicom.dcmread(path)
        assert instance == sent.SOPInstanceUID  # the dataset's, where the meta group disagrees (rtplan.dcm)
        assert raw == dataset_bytes(path)  # deflated stays deflated: nothing is transcoded
        assert dataset == sent
    limit = peer_max_pdu + 6 if peer_max_pdu else MIB + 12
    assert max(peer.p_data_sizes) <= limit
    assert all(size % 2 == 0 for size in peer.fragment_sizes)  # strict peers refuse odd fragments
    assert peer_max_pdu != 0 or max(peer.p_data_sizes) == limit  # the large file fills PDUs to the cap


@pytest.mark.skipif(shutil.which("storescp") is None, reason="DCMTK's storescp is not installed")
def test_dcmtk_stores_every_file_as_sent(tmp_path: Path) -> None:
    paths = [data_file(name) for name in FILES]
    with socket.create_server((HOST, 0)) as probe:
        port = probe.getsockname()[1]
    # +B writes each dataset exactly as received; a 4096-byte PDU limit makes every file several fragments.
    scp = subprocess.Popen(["storescp", "+xa", "+B", "+uf", "-pdu", "4096", "-od", str(tmp_path), str(port)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection((HOST, port), timeout=1).close()
                break
            except ConnectionRefusedError:
                assert time.monotonic() < deadline, "storescp did not start"
                time.sleep(0.05)
        assert net.store_files(HOST, port, "ZANTHE", "STORESCP", paths) == [(path, 0) for path in paths]
    finally:
        scp.terminate()
        scp.wait(5)
    # The three MR files are one instance in three encodings: each is kept under a name of its own.
    assert sorted(dataset_bytes(str(f)) for f in tmp_path.iterdir()) == sorted(map(dataset_bytes, paths))


def test_a_class_the_peer_refuses_is_not_sent(peers: Any) -> None:
    ct, mr = data_file("CT_small.dcm"), data_file("MR_small_implicit.dcm")
    peer = peers([ct])
    assert net.store_files(HOST, peer.port, "ZANTHE", "ARCHIVE", [mr, ct]) == [(mr, "refused"), (ct, 0)]
    assert len(peer.stored) == 1


def test_a_failure_status_is_answered(peers: Any) -> None:
    ct = data_file("CT_small.dcm")
    peer = peers([ct], status=0xA700)
    assert net.store_files(HOST, peer.port, "ZANTHE", "ARCHIVE", [ct, ct]) == [(ct, 0xA700), (ct, 0xA700)]


def test_a_wrong_called_ae_title_is_rejected(peers: Any) -> None:
    peer = peers([], require_called_aet=True)
    with pytest.raises(RuntimeError, match=r"^rejected: .*source 1, reason 7\): called AE title not recognized"):
        net.echo(HOST, peer.port, "ZANTHE", "SOMEONE")


def test_a_closed_port_is_an_os_error() -> None:
    with socket.create_server((HOST, 0)) as probe:
        port = probe.getsockname()[1]
    with pytest.raises(RuntimeError, match="^os_error: .*refused"):
        net.echo(HOST, port, "ZANTHE", "ARCHIVE")


# --- scripted peers ---------------------------------------------------------------------------


def read_pdu(connection: socket.socket) -> bytes | None:
    header = b""
    while len(header) < 6:
        chunk = connection.recv(6 - len(header))
        if not chunk:
            return None
        header += chunk
    body = b""
    length = struct.unpack(">I", header[2:])[0]
    while len(body) < length:
        chunk = connection.recv(length - len(body))
        if not chunk:
            return None
        body += chunk
    return header + body


class ScriptedPeer:
    """Accepts one connection; for each answer reads one PDU and sends the answer (None: closes). Then
    keeps every PDU that comes until the client closes."""

    def __init__(self, answers: list[bytes | None]) -> None:
        self.server = socket.create_server((HOST, 0))
        self.port = self.server.getsockname()[1]
        self.received: list[bytes] = []
        self.thread = threading.Thread(target=self.run, args=(answers,), daemon=True)
        self.thread.start()

    def run(self, answers: list[bytes | None]) -> None:
        connection, _ = self.server.accept()
        with connection, self.server:
            for answer in answers:
                pdu = read_pdu(connection)
                if pdu is None:
                    return
                self.received.append(pdu)
                if answer is None:
                    return
                connection.sendall(answer)
            while (pdu := read_pdu(connection)) is not None:
                self.received.append(pdu)

    def pdu_types(self) -> list[int]:
        self.thread.join(5)
        return [pdu[0] for pdu in self.received]


def accept(max_pdu: int = 16384) -> bytes:
    return net.build_associate_accept("ARCHIVE", "ZANTHE", [(1, 0, IMPLICIT)], max_pdu)


def echo_response(message_id: int) -> bytes:
    command = net.encode_command({"command_field": 0x8030, "affected_sop_class": "1.2.840.10008.1.1",
                                  "message_id_responded": message_id, "status": 0, "data_set_type": 0x0101})
    return net.p_data(1, True, True, command)


@pytest.mark.parametrize(("answers", "code", "abort_sent"), [
    ([net.build_abort(2, 0)], "aborted: the peer aborted the association", False),
    ([None], "aborted: the peer closed the connection", False),
    ([], "timed_out", True),
    ([accept(max_pdu=6)], "unsupported", True),
    ([accept(), b"\x04\0" + struct.pack(">I", 2 * MIB)], "too_large", True),
    ([accept(), echo_response(2)], "malformed: the response answers another message ID", True),
    ([accept(), net.build_release_request()], "malformed", True),
    ([accept(), b"\x04\0\0\0\0\x06\0\0\0\x01\x01\x03"], "malformed: P-DATA-TF", True),  # a PDV of length 1
    ([accept(), None], "aborted: the peer closed the connection", False),
    ([net.build_associate_reject(2, 3, 1)], r"rejected: .*\(transient, source 3, reason 1\): temporary congestion", False),
])
def test_a_misbehaving_peer_ends_the_association(answers: list[bytes | None], code: str, abort_sent: bool) -> None:
    peer = ScriptedPeer(answers)
    started = time.monotonic()
    with pytest.raises(RuntimeError, match=f"^{code}"):
        net.echo(HOST, peer.port, "ZANTHE", "ARCHIVE", timeout_ms=300)
    assert time.monotonic() - started < 3
    types = peer.pdu_types()
    assert types[0] == 0x01
    assert (types[-1] == 0x07) == abort_sent


def test_a_scripted_echo_is_released() -> None:
    peer = ScriptedPeer([accept(), echo_response(1), net.build_release_response()])
    assert net.echo(HOST, peer.port, "ZANTHE", "ARCHIVE") == 0
    assert peer.pdu_types() == [0x01, 0x04, 0x05]


def test_files_that_cannot_be_sent_are_named(tmp_path: Path) -> None:
    ct = Path(data_file("CT_small.dcm")).read_bytes()
    bare = tmp_path / "no_preamble.dcm"
    bare.write_bytes(ct[132:])  # a meta group without preamble and magic is still read
    sop_class, instance, syntax, offset = net.file_to_send(str(bare))
    assert net.file_to_send(data_file("CT_small.dcm")) == (sop_class, instance, syntax, offset + 132)
    no_dicom = tmp_path / "text.txt"
    no_dicom.write_bytes(b"hello" * 100)
    with pytest.raises(ValueError, match="^bad_argument: .*text.txt: not a DICOM Part 10 file"):
        net.file_to_send(str(no_dicom))
    with pytest.raises(ValueError, match="^os_error: cannot open"):
        net.file_to_send(str(tmp_path / "missing.dcm"))
    ds = pydicom.dcmread(data_file("CT_small.dcm"))
    del ds.file_meta.MediaStorageSOPInstanceUID
    ds.save_as(tmp_path / "no_instance.dcm")
    with pytest.raises(ValueError, match=r"^bad_argument: .*no Media Storage SOP Instance UID \(0002,0003\)"):
        net.file_to_send(str(tmp_path / "no_instance.dcm"))

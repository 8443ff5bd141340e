"""zanthe.dicom.net.send over several associations side by side, received by pynetdicom."""

from __future__ import annotations

import threading
from pathlib import Path

import pydicom
import pytest
from pydicom.uid import generate_uid

pynetdicom = pytest.importorskip("pynetdicom")
from pynetdicom import AE, AllStoragePresentationContexts, evt  # noqa: E402

from zanthe.dicom.net import send  # noqa: E402
from net_peers import pydicom_file  # noqa: E402


def test_files_are_dealt_out_to_the_associations_and_each_arrives_once(tmp_path: Path) -> None:
    source = pydicom.dcmread(pydicom_file("CT_small.dcm"))
    sent = []
    for n in range(24):
        source.SOPInstanceUID = source.file_meta.MediaStorageSOPInstanceUID = generate_uid()
        source.save_as(tmp_path / f"{n:02d}.dcm", enforce_file_format=True)
        sent.append(source.SOPInstanceUID)
    received: dict[str, set[int]] = {}
    lock = threading.Lock()

    def stored(event: evt.Event) -> int:
        with lock:
            received.setdefault(event.dataset.SOPInstanceUID, set()).add(id(event.assoc))
        return 0x0000

    ae = AE(ae_title="PEER")
    ae.supported_contexts = AllStoragePresentationContexts
    server = ae.start_server(("127.0.0.1", 0), block=False, evt_handlers=[(evt.EVT_C_STORE, stored)])
    try:
        port = server.server_address[1]
        results = send(f"127.0.0.1:{port}", [tmp_path], called_ae="PEER", associations=4)
    finally:
        server.shutdown()
    assert sorted(r.sop_instance_uid for r in results) == sorted(sent)
    assert all(r.status == 0 for r in results)
    assert sorted(received) == sorted(sent)  # each instance once
    assert len(set().union(*received.values())) == 4  # over four associations

"""A server killed while eight associations store: every instance it confirmed is on disk whole, no
file under a final name is torn, and a server started again on the same store serves."""

from __future__ import annotations

import copy
import threading
import time
from pathlib import Path

import pydicom
import pytest
from net_peers import differing_tags, echo_status, pydicom_file, scu
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
from pynetdicom.sop_class import CTImageStorage  # type: ignore[attr-defined]

pytestmark = pytest.mark.timeout(60)

SENDERS = 8
CONFIRMED_BEFORE_KILL = 120
SOP_INSTANCE_UID = 0x00080018


def send_until_cut_off(port: int, base: pydicom.Dataset, confirmed: list[str], failures: list[str]) -> None:
    ae = scu()
    ae.add_requested_context(CTImageStorage, ExplicitVRLittleEndian)
    association = ae.associate("127.0.0.1", port, ae_title="ZANTHE")
    if not association.is_established:
        failures.append("no association")
        return
    dataset = copy.deepcopy(base)
    while association.is_established:
        dataset.SOPInstanceUID = generate_uid()
        try:
            response = association.send_c_store(dataset)
        except RuntimeError:  # the association ended between the check and the send
            break
        if "Status" not in response:
            break  # the server went away with this one unanswered
        if int(response.Status) != 0:
            failures.append(f"status {int(response.Status):04X}")
            break
        confirmed.append(dataset.SOPInstanceUID)
    association.abort()


def test_confirmed_instances_survive_a_kill(listen, tmp_path: Path) -> None:
    store = tmp_path / "store"
    server = listen(store)
    base = pydicom.dcmread(pydicom_file("CT_small.dcm"))
    confirmed: list[str] = []  # appended from the senders' threads; list.append is atomic
    failures: list[str] = []
    senders = [threading.Thread(target=send_until_cut_off, args=(server.port, base, confirmed, failures))
               for _ in range(SENDERS)]  # fmt: skip
    for sender in senders:
        sender.start()
    deadline = time.monotonic() + 20
    while len(confirmed) < CONFIRMED_BEFORE_KILL and time.monotonic() < deadline:
        time.sleep(0.005)
    server.kill()  # while all eight are sending
    for sender in senders:
        sender.join(15)
    assert failures == [] and len(confirmed) >= CONFIRMED_BEFORE_KILL

    # Every file under a final name is whole, confirmed or not (each is renamed into place complete),
    # and every confirmed instance has one.
    finals = {path.stem: path for path in store.glob("*/*/*.dcm")}
    assert set(confirmed) <= finals.keys()
    for uid, path in finals.items():
        stored = pydicom.dcmread(path)
        assert path.parent.relative_to(store) == Path(base.StudyInstanceUID, base.SeriesInstanceUID)
        assert (stored.file_meta.TransferSyntaxUID, stored.SOPInstanceUID) == (ExplicitVRLittleEndian, uid)
        assert differing_tags(stored, base, frozenset({SOP_INSTANCE_UID})) == []

    again = listen(store, "--port", str(server.port))
    assert again.port == server.port
    assert echo_status(again.port) == 0

"""zanthe dicom send and echo against a pynetdicom SCP: one line per instance, exit codes, and
failures said in one line naming the peer."""

from __future__ import annotations

import socket
from collections.abc import Iterator
from pathlib import Path

import pytest

pynetdicom = pytest.importorskip("pynetdicom")
from pydicom.data import get_testdata_file  # noqa: E402
from pynetdicom import AE, AllStoragePresentationContexts, evt  # noqa: E402
from pynetdicom.sop_class import Verification  # noqa: E402


@pytest.fixture
def peer() -> Iterator[int]:
    """A pynetdicom SCP that stores nothing and refuses every MR instance with A700."""

    def stored(event: evt.Event) -> int:
        return 0xA700 if event.dataset.Modality == "MR" else 0x0000

    ae = AE(ae_title="PEER")
    ae.supported_contexts = AllStoragePresentationContexts
    ae.add_supported_context(Verification)
    server = ae.start_server(("127.0.0.1", 0), block=False, evt_handlers=[(evt.EVT_C_STORE, stored)])
    yield server.server_address[1]
    server.shutdown()


def closed_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_send_prints_each_instance_and_exits_1_unless_all_are_stored(run, peer: int, tmp_path: Path) -> None:
    text = tmp_path / "notes.txt"
    text.write_text("not DICOM")
    ct, mr = get_testdata_file("CT_small.dcm"), get_testdata_file("MR_small.dcm")
    result = run("dicom", "send", f"127.0.0.1:{peer}", ct, mr, text, "--called-ae", "PEER")
    lines = {line.split(" ")[2]: line.split(" ")[0] for line in result.out.splitlines()}
    assert lines == {ct: "0000", mr: "A700", str(text): "-"}
    assert result.code == 1
    assert run("dicom", "send", f"127.0.0.1:{peer}", ct).code == 0


def test_echo_answers_and_failures_name_the_peer(run, peer: int) -> None:
    answered = run("dicom", "echo", f"127.0.0.1:{peer}")
    assert (answered.code, answered.out) == (0, f"127.0.0.1:{peer}: C-ECHO status 0000\n")
    port = closed_port()
    refused = run("dicom", "echo", f"127.0.0.1:{port}")
    assert refused.code == 1
    assert refused.err.splitlines() == [f"zanthe: 127.0.0.1:{port}: connect: Connection refused"]

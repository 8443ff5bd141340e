"""Our storage SCP with pynetdicom and DCMTK as SCUs: every transfer syntax arrives as sent, is reported
once, and each study gets a valid ImagingStudy."""

from __future__ import annotations

import collections
import subprocess
import time
from collections.abc import Callable
from pathlib import Path

import pydicom
import pytest
from fhir.resources.R4B.imagingstudy import ImagingStudy
from net_peers import (
    SCU_AE,
    TEST_FILES,
    TRAILING_PADDING,
    Running,
    assert_stored_as_sent,
    echo_status,
    renamed_copy,
    scu,
    stored_path,
)

pytestmark = pytest.mark.timeout(60)

STORESCU, ECHOSCU = "/usr/bin/storescu", "/usr/bin/echoscu"  # DCMTK's, not pynetdicom's apps of the same name


def send_with_pynetdicom(port: int, files: list[tuple[Path, pydicom.Dataset]]) -> list[int]:
    ae = scu()
    for _, dataset in files:
        ae.add_requested_context(dataset.SOPClassUID, dataset.file_meta.TransferSyntaxUID)
    association = ae.associate("127.0.0.1", port, ae_title="ZANTHE")
    assert association.is_established
    try:
        # A path is sent as its encoded dataset, untouched, in the file's own transfer syntax.
        return [int(association.send_c_store(path).Status) for path, _ in files]
    finally:
        association.release()


# storescu converts between uncompressed syntaxes and proposes at most one compressed one: an option
# per syntax has it propose that one first, so each file goes as it is.
DCMTK_PROPOSALS = {
    "1.2.840.10008.1.2.1": "-xe", "1.2.840.10008.1.2": "-xi", "1.2.840.10008.1.2.2": "-xb",
    "1.2.840.10008.1.2.1.99": "-xd", "1.2.840.10008.1.2.5": "-xr", "1.2.840.10008.1.2.4.50": "-xy",
    "1.2.840.10008.1.2.4.91": "-xw",
}  # fmt: skip


def send_with_dcmtk(port: int, files: list[tuple[Path, pydicom.Dataset]]) -> list[int]:
    runs: dict[str, list[str]] = collections.defaultdict(list)
    for path, dataset in files:
        runs[DCMTK_PROPOSALS[dataset.file_meta.TransferSyntaxUID]].append(str(path))
    for option, paths in runs.items():
        done = subprocess.run([STORESCU, option, "-ta", "10", "-aet", SCU_AE, "-aec", "ZANTHE", "127.0.0.1",
                               str(port), *paths], capture_output=True, text=True, timeout=30)  # fmt: skip
        assert done.returncode == 0, done.stdout + done.stderr  # any status but success fails the run
    return [0] * len(files)


def wait_for(condition: Callable[[], bool], seconds: float = 5.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)


# storescu leaves out Data Set Trailing Padding, which carries nothing.
PEERS = [(send_with_pynetdicom, frozenset()), (send_with_dcmtk, frozenset({TRAILING_PADDING}))]


@pytest.mark.parametrize(("send", "dropped"), PEERS, ids=["pynetdicom", "dcmtk"])
def test_every_transfer_syntax_is_stored_as_sent(send, dropped, serve, tmp_path: Path) -> None:
    fhir = tmp_path / "fhir"
    running: Running = serve(fhir=fhir, idle_timeout=5.0)
    sources = tmp_path / "sent"
    sources.mkdir()
    files = [renamed_copy(name, sources) for name in TEST_FILES]

    assert send(running.port, files) == [0] * len(files)

    studies: dict[str, set[str]] = collections.defaultdict(set)
    for _, dataset in files:
        studies[dataset.StudyInstanceUID].add(dataset.SOPInstanceUID)
    wait_for(lambda: all((fhir / f"{study}.json").exists() for study in studies))
    for study, instances in studies.items():
        resource = ImagingStudy.model_validate_json((fhir / f"{study}.json").read_text())
        assert {i.uid for s in resource.series or [] for i in s.instance or []} == instances

    running.server.close()  # waits for the store threads, so every on_stored call has been made
    for (path, dataset), transfer_syntax in zip(files, TEST_FILES.values(), strict=True):
        assert dataset.file_meta.TransferSyntaxUID == transfer_syntax
        assert_stored_as_sent(running.store, dataset, transfer_syntax, dropped)
    seen = collections.Counter(event.sop_instance_uid for event in running.events)
    assert seen == collections.Counter(dataset.SOPInstanceUID for _, dataset in files)
    for event in running.events:
        dataset = next(d for _, d in files if d.SOPInstanceUID == event.sop_instance_uid)
        target = stored_path(running.store, dataset)
        assert (event.path, event.transfer_syntax, event.calling_ae, event.size) == (
            str(target), dataset.file_meta.TransferSyntaxUID, SCU_AE, target.stat().st_size)  # fmt: skip


def test_echo_answers_dcmtk_and_pynetdicom(serve) -> None:
    running: Running = serve()
    done = subprocess.run([ECHOSCU, "-aet", SCU_AE, "-aec", "ZANTHE", "127.0.0.1", str(running.port)],
                          capture_output=True, text=True, timeout=30)  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr
    assert echo_status(running.port) == 0

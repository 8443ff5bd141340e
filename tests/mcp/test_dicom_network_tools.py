"""dicom_echo and dicom_send through the official SDK client over `python -m zanthe mcp`, to
pynetdicom as the storage SCP: a peer that is not our own code."""

from __future__ import annotations

import asyncio
import contextlib
import os
import shutil
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import jsonschema
import pydicom
import pytest
from mcp import Client, StdioServerParameters
from pydicom.data import get_testdata_file

from helpers.child_env import child_env

pynetdicom = pytest.importorskip("pynetdicom")

pytestmark = pytest.mark.timeout(120)

ERAS = ["legacy", "2026-07-28"]
PEER_AE = "ZANTHE"
DICOM_TOOLS = {"dicom_echo", "dicom_send"}
# Explicit and implicit VR little endian: transfer syntaxes pynetdicom's SCP accepts by default.
SENT = {"ct.dcm": "CT_small.dcm", "mr.dcm": "MR_small_implicit.dcm"}


@contextlib.contextmanager
def pynetdicom_scp() -> Iterator[tuple[int, dict[str, pydicom.Dataset]]]:
    """pynetdicom's storage and Verification SCP on a free port: (port, datasets received by SOP
    Instance UID)."""
    received: dict[str, pydicom.Dataset] = {}

    def stored(event: Any) -> int:
        received[event.dataset.SOPInstanceUID] = event.dataset
        return 0x0000

    ae = pynetdicom.AE(ae_title=PEER_AE)
    ae.supported_contexts = [*pynetdicom.StoragePresentationContexts, *pynetdicom.VerificationPresentationContexts]
    server = ae.start_server(("127.0.0.1", 0), block=False, evt_handlers=[(pynetdicom.evt.EVT_C_STORE, stored)])
    try:
        yield server.server_address[1], received
    finally:
        server.shutdown()


def zanthe_mcp(root: Path, *destinations: str) -> StdioServerParameters:
    args = ["-P", "-m", "zanthe", "mcp", "--root", str(root)]
    for destination in destinations:
        args += ["--dicom-destination", destination]
    return StdioServerParameters(command=sys.executable, args=args, env=child_env())


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    """root/study/ with the SENT files and notes.txt, which is not DICOM."""
    study = tmp_path / "root" / "study"
    study.mkdir(parents=True)
    for name, source in SENT.items():
        shutil.copy(str(get_testdata_file(source, download=False)), study / name)
    (study / "notes.txt").write_text("not DICOM")
    return study


async def listed_tools(root: Path, *destinations: str) -> set[str]:
    async with Client(zanthe_mcp(root, *destinations), read_timeout_seconds=60) as client:
        return {tool.name for tool in (await client.list_tools()).tools}


def test_the_dicom_tools_are_offered_only_with_a_destination(tmp_path):
    assert not DICOM_TOOLS & asyncio.run(listed_tools(tmp_path))
    assert DICOM_TOOLS <= asyncio.run(listed_tools(tmp_path, f"here={PEER_AE}@127.0.0.1:104"))


async def echo_and_send(root: Path, era: str, port: int) -> tuple[Any, Any]:
    async with Client(zanthe_mcp(root, f"here={PEER_AE}@127.0.0.1:{port}"), mode=era, read_timeout_seconds=60) as client:
        schemas = {tool.name: tool.output_schema for tool in (await client.list_tools()).tools}
        answers = []
        for name, arguments in (("dicom_echo", {"destination": "here"}), ("dicom_send", {"destination": "here", "path": "study"})):
            result = await client.call_tool(name, arguments)
            assert not result.is_error, result.content
            jsonschema.Draft202012Validator(schemas[name]).validate(result.structured_content)
            answers.append(result.structured_content)
        return answers[0], answers[1]


@pytest.mark.parametrize("era", ERAS)
def test_echo_and_send_reach_pynetdicom(folder, era):
    with pynetdicom_scp() as (port, received):
        echoed, sent = asyncio.run(echo_and_send(folder.parent, era, port))
    assert echoed["status"] == 0 and echoed["milliseconds"] >= 0
    originals = {os.path.realpath(folder / name): pydicom.dcmread(folder / name) for name in SENT}
    entries = {entry["path"]: entry for entry in sent["instances"]}
    assert (sent["delivered"], sent["failed"]) == (2, 1) and len(entries) == 3
    for path, original in originals.items():
        assert entries.pop(path) == {"path": path, "sop_instance_uid": original.SOPInstanceUID, "status": 0, "comment": ""}
        assert received[original.SOPInstanceUID] == original
    ((path, refused),) = entries.items()
    assert path == os.path.realpath(folder / "notes.txt") and refused["status"] is None and refused["comment"]
    assert len(received) == len(SENT)


async def send_outside(root: Path, port: int, path: str) -> Any:
    async with Client(zanthe_mcp(root, f"here={PEER_AE}@127.0.0.1:{port}"), read_timeout_seconds=60) as client:
        return await client.call_tool("dicom_send", {"destination": "here", "path": path})


def test_a_path_outside_the_roots_is_an_error_result_and_nothing_is_sent(folder):
    outside = str(get_testdata_file("CT_small.dcm", download=False))
    with pynetdicom_scp() as (port, received):
        result = asyncio.run(send_outside(folder, port, outside))
    assert result.is_error and "outside the allowed folders" in result.content[0].text
    assert received == {}

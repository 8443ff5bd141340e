"""zanthe's tools through the official SDK client over `python -m zanthe mcp`, in both protocol eras:
structured results that their output schemas describe, folder progress, and hl7_send to zanthe's own
listener and to python-hl7's MLLP server."""

from __future__ import annotations

import asyncio
import contextlib
import json
import socket
import sys
from collections.abc import AsyncIterator, Iterator
from pathlib import Path

import hl7
import hl7.mllp
import jsonschema
import pytest
from mcp import Client, StdioServerParameters

from helpers.child_env import child_env
from mcp_inputs import DATA, FILES_FOUND, FOLDER_FILES
from zanthe import mcp as zanthe_mcp_module
from zanthe.errors import Reject
from zanthe.hl7 import mllp

# python-hl7 stamps its acknowledgments with datetime.utcnow()
pytestmark = [
    pytest.mark.timeout(120),
    pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning"),
]

ERAS = ["legacy", "2026-07-28"]


def adt(control_id: str) -> str:
    return f"MSH|^~\\&|ZANTHE|DEMO|RIS|HOSPITAL|20240315101500||ADT^A01|{control_id}|P|2.5\rPID|1||4711||Doe^Jane\r"


@contextlib.contextmanager
def zanthe_listener(store: Path, rejecting: bool) -> Iterator[int]:
    def refuse(message: object, peer: str) -> None:
        raise Reject("no such patient")

    with mllp.Listener(store, port=0, fsync=False, handler=refuse if rejecting else None) as listener:
        yield listener.port


@contextlib.asynccontextmanager
async def python_hl7_server(code: str) -> AsyncIterator[int]:
    """python-hl7's MLLP server on this event loop, acknowledging every message with `code`."""

    async def answer(reader: hl7.mllp.HL7StreamReader, writer: hl7.mllp.HL7StreamWriter) -> None:
        try:
            while not reader.at_eof():
                message = await reader.readmessage()
                writer.writemessage(message.create_ack(code))
                await writer.drain()
        except asyncio.IncompleteReadError:
            pass
        finally:
            writer.close()

    server = await hl7.mllp.start_hl7_server(answer, "127.0.0.1", 0)
    try:
        yield server.sockets[0].getsockname()[1]
    finally:
        server.close()
        await server.wait_closed()


def closed_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def zanthe_mcp(root: Path, *destinations: str) -> StdioServerParameters:
    args = ["-P", "-m", "zanthe", "mcp", "--root", str(root)]
    for destination in destinations:
        args += ["--hl7-destination", destination]
    return StdioServerParameters(command=sys.executable, args=args, env=child_env())


def schema_checked(result: object, schemas: dict[str, dict[str, object]], name: str) -> object:
    """The structured content of a successful result, validated against the tool's output schema."""
    assert not result.is_error, result.content
    jsonschema.Draft202012Validator(schemas[name]).validate(result.structured_content)
    return result.structured_content


def unwrapped(structured: object) -> object:
    """A non-object result is carried as {"result": value} for handshake-era clients."""
    return structured["result"] if isinstance(structured, dict) and set(structured) == {"result"} else structured


async def converse(root: Path, era: str, store: Path) -> None:
    oru_request = json.loads((DATA / "sample_oru_request.json").read_text())
    async with python_hl7_server("AR") as peer_port:
        with zanthe_listener(store / "plain", False) as plain, zanthe_listener(store / "refusing", True) as refusing:
            destinations = [f"journal=127.0.0.1:{plain}", f"refusing=127.0.0.1:{refusing}",
                            f"python-hl7=127.0.0.1:{peer_port}", f"nobody=127.0.0.1:{closed_port()}"]  # fmt: skip
            async with Client(zanthe_mcp(root, *destinations), mode=era, read_timeout_seconds=60) as client:
                listed = await client.list_tools()
                schemas = {tool.name: tool.output_schema for tool in listed.tools}
                for schema in schemas.values():
                    jsonschema.Draft202012Validator.check_schema(schema)
                assert {t.name: t.annotations.read_only_hint for t in listed.tools} == {
                    "dicom_to_imaging_study": True, "dicom_attributes": True, "dicom_render": True, "hl7_parse": True,
                    "hl7_build_oru": True,
                    "hl7_send": False,
                }  # fmt: skip

                study = schema_checked(await client.call_tool("dicom_to_imaging_study", {"path": "ct.dcm"}),
                                       schemas, "dicom_to_imaging_study")  # fmt: skip
                assert study["resourceType"] == "ImagingStudy" and study["series"][0]["instance"]

                seen: list[tuple[float, float | None]] = []

                async def progressed(progress: float, total: float | None, message: str | None) -> None:
                    seen.append((progress, total))

                folder = await client.call_tool("dicom_to_imaging_study", {"path": "archive"},
                                                progress_callback=progressed)  # fmt: skip
                answer = schema_checked(folder, schemas, "dicom_to_imaging_study")
                assert sorted(s["numberOfInstances"] for s in answer["studies"]) == [FOLDER_FILES // 2] * 2
                assert any("notes.txt" in problem for problem in answer["problems"])
                done = [progress for progress, _ in seen]
                assert {total for _, total in seen} == {FILES_FOUND}
                assert done == sorted(done) and len(set(done)) > 2 and done[-1] == FILES_FOUND

                parsed = await client.call_tool("hl7_parse", {"message": adt("1")})
                single = schema_checked(parsed, schemas, "hl7_parse")
                assert [segment["id"] for segment in single["segments"]] == ["MSH", "PID"]
                batch = schema_checked(await client.call_tool("hl7_parse", {"message": adt("1") + adt("2")}),
                                       schemas, "hl7_parse")  # fmt: skip
                assert [m["segments"][0]["fields"][9] for m in batch["messages"]] == ["1", "2"]

                built = await client.call_tool("hl7_build_oru", oru_request)
                message = unwrapped(schema_checked(built, schemas, "hl7_build_oru"))
                assert built.content[0].text == message and message.startswith("MSH|^~\\&|ZANTHE|DEMO|")

                expected = {
                    "journal": ("AA", ""), "refusing": ("AE", "no such patient"), "python-hl7": ("AR", ""),
                }  # fmt: skip
                for number, (destination, (code, text)) in enumerate(expected.items()):
                    control_id = f"{era}-{number}"
                    sent = await client.call_tool("hl7_send", {"destination": destination, "message": adt(control_id)})
                    ack = schema_checked(sent, schemas, "hl7_send")
                    assert ack == {"code": code, "control_id": control_id, "text": text}

                refused = await client.call_tool("hl7_send", {"destination": "nobody", "message": adt("x")})
                assert refused.is_error and "destination nobody" in refused.content[0].text
                unnamed = await client.call_tool("hl7_send", {"destination": "127.0.0.1:2575", "message": adt("y")})
                assert unnamed.is_error and "expected one of" in unnamed.content[0].text
        assert plain_journal_holds(store / "plain", [f"{era}-0"])


def plain_journal_holds(store: Path, control_ids: list[str]) -> bool:
    return [record.control_id for record in mllp.read_journal(store)] == control_ids


@pytest.mark.parametrize("era", ERAS)
def test_every_tool_answers_what_its_output_schema_describes(root, era, tmp_path):
    asyncio.run(converse(root, era, tmp_path))


def test_a_receiver_that_never_acknowledges_gives_an_error_result_naming_the_destination(monkeypatch, tmp_path):
    monkeypatch.setattr(zanthe_mcp_module, "SEND_TIMEOUT", 0.5)
    with socket.create_server(("127.0.0.1", 0)) as silent:
        server = zanthe_mcp_module.build_server([tmp_path], {"silent": ("127.0.0.1", silent.getsockname()[1])})
        code, output = server.dispatch("hl7_send", {"destination": "silent", "message": adt("z")})
    assert code == 1 and output.startswith("hl7_send: destination silent: ") and "acknowledgment" in output

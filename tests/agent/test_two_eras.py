"""Both protocol eras end to end: raw JSON lines against an _agent.Service host, and the official SDK
client in each of its modes against `python -m zanthe mcp` over stdio and over HTTP; cancellation
and progress from the SDK client on both transports."""

from __future__ import annotations

import asyncio
import json
import struct
import subprocess
import time
from contextlib import asynccontextmanager, suppress

import hl7
import hl7.mllp
import pytest
from mcp import Client, StdioServerParameters

from helpers import dicom_writer as w
from helpers.child_env import child_env
from helpers.er7 import message as er7_message
from helpers.mcp_wire import (
    HANDSHAKE_VERSIONS,
    MODERN,
    SERVER_INFO_KEY,
    VERSION_KEY,
    StdioPeer,
    connect,
    envelope,
    host_command,
    http_server,
    modern_request,
    post,
    post_async,
    request,
    request_bytes,
    zanthe_command,
)

SERVER_INFO = {"name": "http-host", "version": "1.0"}


@pytest.fixture(scope="module")
def service():
    peer = StdioPeer(host_command("service"))
    yield peer
    assert peer.close() == 0


# --- raw lines: the 2026-07-28 envelope ---------------------------------------------------------


def discover_is_complete(result):
    assert set(result["supportedVersions"]) >= {MODERN, *HANDSHAKE_VERSIONS}
    assert result["capabilities"]["tools"] == {"listChanged": False}
    assert isinstance(result["ttlMs"], int) and result["ttlMs"] >= 0
    assert result["cacheScope"] in ("public", "private")


def error(code, message=None, data=None):
    def check(answer):
        assert answer["error"]["code"] == code, answer
        if message is not None:
            assert answer["error"]["message"].startswith(message)
        if data is not None:
            assert answer["error"]["data"] == data

    return check


SUPPORTED = [MODERN, *reversed(HANDSHAKE_VERSIONS)]
NO_CAPABILITIES = {"jsonrpc": "2.0", "id": 1, "method": "tools/list", "params": {"_meta": {VERSION_KEY: MODERN}}}
NUMBER_VERSION = modern_request("tools/list")
NUMBER_VERSION["params"]["_meta"][VERSION_KEY] = 20260728


@pytest.mark.parametrize(
    "message, check",
    [
        (modern_request("server/discover"), lambda answer: discover_is_complete(answer["result"])),
        (NO_CAPABILITIES, error(-32602, "params._meta is missing the required envelope key(s): "
                                "io.modelcontextprotocol/clientCapabilities")),
        (NUMBER_VERSION, error(-32602, "the protocol-version envelope value must be a string")),
        (modern_request("tools/list", version="2099-01-01"),
         error(-32022, "Unsupported protocol version", {"supported": SUPPORTED, "requested": "2099-01-01"})),
        (modern_request("server/discover", version="2025-11-25"),
         error(-32022, data={"supported": SUPPORTED, "requested": "2025-11-25"})),
        (modern_request("ping"), error(-32601, "Method not found", "ping")),
        (modern_request("initialize", {"protocolVersion": "2025-11-25", "capabilities": {}}),
         error(-32601, "Method not found", "initialize")),
        (modern_request("logging/setLevel", {"level": "info"}), error(-32601, data="logging/setLevel")),
        (modern_request("resources/list"), error(-32601, data="resources/list")),
        (modern_request("tools/call", {"name": "nope"}), error(-32602, "unknown tool nope")),
        (request("server/discover"), error(-32601)),  # without an envelope: a handshake request
    ],
    ids=["discover", "no-capabilities", "number-version", "unsupported", "handshake-version-in-envelope",
         "ping", "initialize", "set-level", "no-resources", "unknown-tool", "discover-without-envelope"],
)
def test_modern_envelope_rules(service, message, check):
    answer = service.exchange(message)
    assert answer["id"] == message["id"]
    check(answer)


@pytest.mark.parametrize(
    "message, cacheable",
    [
        (modern_request("server/discover"), True),
        (modern_request("tools/list"), True),
        (modern_request("tools/call", {"name": "stats", "arguments": {"text": "a b"}}), False),
        (modern_request("tools/call", {"name": "fail"}), False),
    ],
    ids=["discover", "tools-list", "call", "error-result"],
)
def test_every_modern_result_is_complete_and_names_its_server(service, message, cacheable):
    first = service.exchange(message)["result"]
    assert first["resultType"] == "complete"
    assert first["_meta"][SERVER_INFO_KEY] == SERVER_INFO
    assert ("ttlMs" in first and "cacheScope" in first) == cacheable
    # Caches key on the text: the same request answers the same bytes, hints in the same place.
    service.send({**message, "id": 2})
    again = service.receive_line()
    service.send({**message, "id": 2})
    assert service.receive_line() == again
    assert list(json.loads(again)["result"]) == list(first)


def test_modern_tool_call_carries_structured_content_and_handshake_results_carry_no_envelope(service):
    modern = service.exchange(modern_request("tools/call", {"name": "stats", "arguments": {"text": "one two"}}))
    assert modern["result"]["structuredContent"] == {"characters": 7, "words": 2}
    handshake = service.exchange(request("tools/call", {"name": "stats", "arguments": {"text": "one two"}}))
    assert handshake["result"] == {key: value for key, value in modern["result"].items()
                                   if key not in ("resultType", "_meta")}


@pytest.mark.parametrize(
    "proposed, agreed",
    [("1999-01-01", "2025-11-25"), ("2099-12-31", "2025-11-25"), (MODERN, "2025-11-25")]
    + [(version, version) for version in HANDSHAKE_VERSIONS],
)
def test_initialize_agrees_on_a_handshake_version(service, proposed, agreed):
    params = {"protocolVersion": proposed, "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}
    result = service.exchange(request("initialize", params))["result"]
    assert result["protocolVersion"] == agreed
    assert result["serverInfo"] == SERVER_INFO
    assert "resultType" not in result and "_meta" not in result


@pytest.mark.parametrize("modern", [False, True], ids=["handshake", "modern"])
def test_a_running_call_cancelled_is_never_answered_on_stdio(modern):
    peer = StdioPeer(host_command("service"))
    make = modern_request if modern else request
    cancelled = {"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": "slow"}}
    if modern:
        cancelled["params"]["_meta"] = envelope()
    try:
        peer.send(make("tools/call", {"name": "wait_for_cancel"}, "slow"))
        while peer.exchange(make("tools/call", {"name": "waiting"}, "w"))["result"]["content"][0]["text"] != "1":
            time.sleep(0.02)
        peer.send(cancelled)
        after = peer.exchange(make("tools/call", {"name": "cancellations"}, "after"))
        for _ in range(100):  # the tool looks at its flag every 10 ms
            if after["result"]["content"][0]["text"] == "1":
                break
            time.sleep(0.05)
            after = peer.exchange(make("tools/call", {"name": "cancellations"}, "after"))
        assert after["result"]["content"][0]["text"] == "1"
    finally:
        assert peer.close() == 0
    assert peer.unread() == []  # nothing ever came for "slow"


# --- raw lines: a handshake client is served as the handshake-only loop serves it -------------------

HANDSHAKE_SESSION = [
    request("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                           "clientInfo": {"name": "old", "version": "1"}}, 1),
    {"jsonrpc": "2.0", "method": "notifications/initialized"},
    request("tools/list", None, 2),
    request("tools/call", {"name": "echo", "arguments": {"text": "Grüße \"q\"\n\u2028"}}, 3),
    request("tools/call", {"name": "stats", "arguments": {"text": "a b c"}}, "four"),
    request("tools/call", {"name": "fail"}, 5),
    request("tools/call", {"name": "nope"}, 6),
    request("tools/call", {"arguments": {}}, 7),
    request("ping", None, 8),
    request("no/such/method", {}, 9),
    request("resources/list", None, 10),
    request("server/discover", None, 11),
    request("initialize", {"protocolVersion": "1999-01-01", "capabilities": {}}, 12),
    request("ping", {"_meta": {"progressToken": 3}}, 13.5),
    {"jsonrpc": "2.0", "id": None, "method": "ping"},
    {"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": 99}},
    {"jsonrpc": "2.0", "id": 14, "result": {}},
    '{"jsonrpc": "2.0", "id": 15, "method": ',
    "[1, 2]",
    '"text"',
    "",
]

# Modern requests interleaved with the handshake session; their answers are set aside.
MODERN_INTERLUDE = [
    modern_request("server/discover", request_id="m1"),
    modern_request("tools/call", {"name": "echo", "arguments": {"text": "modern"}}, request_id="m2"),
    modern_request("initialize", {"protocolVersion": "2025-11-25"}, request_id="m3"),
]


def encoded(line) -> bytes:
    return (line if isinstance(line, str) else json.dumps(line)).encode() + b"\n"


def served_lines(mode: str, lines) -> list[bytes]:
    proc = subprocess.run(host_command(mode), input=b"".join(encoded(line) for line in lines),
                          capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def test_a_handshake_client_is_served_exactly_as_by_the_handshake_loop():
    expected = served_lines("handshake", HANDSHAKE_SESSION)
    mixed = [*HANDSHAKE_SESSION[:3], *MODERN_INTERLUDE, *HANDSHAKE_SESSION[3:]]
    served = served_lines("service", mixed)
    modern_ids = {message["id"] for message in MODERN_INTERLUDE}
    handshake = [line for line in served if json.loads(line).get("id") not in modern_ids]
    # Tool calls run on workers and may overtake one another; every line is the same, byte for byte.
    request_ids = {line["id"] for line in HANDSHAKE_SESSION if isinstance(line, dict) and {"method", "id"} <= set(line)}
    assert {json.loads(line)["id"] for line in expected} == request_ids | {None}
    assert sorted(handshake) == sorted(expected)
    assert len(served) - len(handshake) == len(MODERN_INTERLUDE)


# --- the official SDK client: every mode, stdio and HTTP, against zanthe's own tools -------------------

STUDY_UID = "1.2.826.0.1.3680043.8.498.5"


def dicom_file() -> bytes:
    dataset = b"".join([
        w.explicit(0x00080016, "UI", w.uid(w.CT_IMAGE_STORAGE)),
        w.explicit(0x00080018, "UI", w.uid(STUDY_UID + ".1.1")),
        w.explicit(0x00080020, "DA", w.text("20240102")),
        w.explicit(0x00080060, "CS", w.text("CT")),
        w.explicit(0x00100020, "LO", w.text("PAT7")),
        w.explicit(0x0020000D, "UI", w.uid(STUDY_UID)),
        w.explicit(0x0020000E, "UI", w.uid(STUDY_UID + ".1")),
        w.explicit(0x00200011, "IS", w.text("1")),
        w.explicit(0x00200013, "IS", w.text("1")),
        *(w.explicit(tag, "US", struct.pack("<H", value)) for tag, value in IMAGE_PIXEL),
        w.explicit(0x7FE00010, "OB", bytes(range(16))),
    ])
    return w.part10(dataset, sop_instance=STUDY_UID + ".1.1")


# A 4 x 4 grey image of 8-bit values (Photometric Interpretation MONOCHROME2 is the default).
IMAGE_PIXEL = ((0x00280002, 1), (0x00280010, 4), (0x00280011, 4), (0x00280100, 8), (0x00280101, 8), (0x00280102, 7),
               (0x00280103, 0))


@asynccontextmanager
async def mllp_receiver():
    """python-hl7's MLLP server, acknowledging every message with AA; yields its port."""
    async def acknowledge(reader, writer):
        with suppress(Exception):
            while True:
                received = await reader.readmessage()
                writer.writemessage(received.create_ack())
                await writer.drain()

    server = await hl7.mllp.start_hl7_server(acknowledge, "127.0.0.1", 0)
    try:
        yield server.sockets[0].getsockname()[1]
    finally:
        server.close()


def zanthe_stdio(arguments: list[str]) -> StdioServerParameters:
    command = zanthe_command(*arguments)
    return StdioServerParameters(command=command[0], args=command[1:], env=child_env())


@asynccontextmanager
async def zanthe_client(transport: str, mode: str, arguments: list[str]):
    if transport == "stdio":
        async with Client(zanthe_stdio(arguments), mode=mode, read_timeout_seconds=60) as client:
            yield client
        return
    with http_server(zanthe_command("--http", "127.0.0.1:0", *arguments)) as running:
        async with Client(running.url, mode=mode, read_timeout_seconds=60) as client:
            yield client


async def drive_zanthe(transport: str, mode: str, root) -> dict:
    async with mllp_receiver() as mllp_port:
        arguments = ["--root", str(root), "--hl7-destination", f"ris=127.0.0.1:{mllp_port}"]
        async with zanthe_client(transport, mode, arguments) as client:
            listed = await client.list_tools()
            observation = {"value_type": "NM", "observation_id": "GLU^Glucose", "value": "5.5", "status": "F"}
            built = await client.call_tool("hl7_build_oru", {
                "config": {"our_app": "LAB", "control_id": "C7"},
                "context": {"patient_id": "PAT7", "patient_name": "Doe^Jane"},
                "observations": [observation],
            })
            oru = built.content[0].text
            return {
                "protocol": client.session.protocol_version,
                "tools": sorted(tool.name for tool in listed.tools),
                "dicom_to_imaging_study": await client.call_tool("dicom_to_imaging_study", {"path": "ct.dcm"}),
                "dicom_attributes": await client.call_tool("dicom_attributes", {"path": "ct.dcm"}),
                "dicom_render": await client.call_tool("dicom_render", {"path": "ct.dcm"}),
                "hl7_parse": await client.call_tool("hl7_parse", {"message": er7_message("PID|1||PAT7||Doe^Jane")}),
                "hl7_build_oru": built,
                "hl7_send": await client.call_tool("hl7_send", {"destination": "ris", "message": oru}),
            }


@pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning")  # python-hl7's ACK
@pytest.mark.parametrize("transport", ["stdio", "http"])
@pytest.mark.parametrize("mode", ["legacy", "auto", MODERN])
def test_sdk_client_calls_every_zanthe_tool(tmp_path, transport, mode):
    (tmp_path / "ct.dcm").write_bytes(dicom_file())
    answers = asyncio.run(asyncio.wait_for(drive_zanthe(transport, mode, tmp_path), timeout=120))

    assert answers["protocol"] == ("2025-11-25" if mode == "legacy" else MODERN)
    assert answers["tools"] == [
        "dicom_attributes", "dicom_render", "dicom_to_imaging_study", "hl7_build_oru", "hl7_parse", "hl7_send",
    ]  # fmt: skip
    for name in answers["tools"]:
        assert not answers[name].is_error, (name, answers[name].content)

    study = answers["dicom_to_imaging_study"].structured_content
    assert study["resourceType"] == "ImagingStudy"
    assert [(i["system"], i["value"]) for i in study["identifier"]] == [("urn:dicom:uid", "urn:oid:" + STUDY_UID)]
    assert study["subject"] == {"reference": "Patient/PAT7"}

    assert answers["dicom_attributes"].structured_content["00100020"]["Value"] == ["PAT7"]
    rendered = answers["dicom_render"]
    assert rendered.content[0].type == "image" and rendered.structured_content["width"] == 4

    segments = answers["hl7_parse"].structured_content["segments"]
    assert [segment["id"] for segment in segments] == ["MSH", "PID"]
    assert segments[1]["fields"][5] == "Doe^Jane"

    oru = hl7.parse(answers["hl7_build_oru"].content[0].text)
    assert str(oru.segment("OBX")[5]) == "5.5" and str(oru.segment("PID")[3]) == "PAT7"
    acknowledgment = answers["hl7_send"].structured_content
    assert (acknowledgment["code"], acknowledgment["control_id"]) == ("AA", "C7")


# --- cancellation and progress from the SDK client ---------------------------------------------------


HOSTS = {  # the same tools through the native call and through zanthe.server's Context
    "native": {"stdio": ["service"], "http": ["http"]},
    "toolserver": {"stdio": ["toolserver"], "http": ["toolserver", "--http"]},
}


@asynccontextmanager
async def host_client(host: str, transport: str, mode: str):
    command = host_command(*HOSTS[host][transport])
    if transport == "stdio":
        params = StdioServerParameters(command=command[0], args=command[1:], env=child_env())
        async with Client(params, mode=mode, read_timeout_seconds=30) as client:
            yield client
        return
    with http_server(command) as running:
        async with Client(running.url, mode=mode, read_timeout_seconds=30) as client:
            yield client


async def read_resource_and_prompt(transport: str, mode: str) -> dict:
    async with host_client("toolserver", transport, mode) as client:
        return {
            "templates": await client.list_resource_templates(),
            "read": await client.read_resource("notes://pläne"),
            "prompts": await client.list_prompts(),
            "prompt": await client.get_prompt("greet", {"name": "Ann"}),
        }


@pytest.mark.parametrize("transport", ["stdio", "http"])
@pytest.mark.parametrize("mode", ["legacy", "auto", MODERN])
def test_sdk_client_reads_templated_resources_and_gets_prompts(transport, mode):
    answers = asyncio.run(asyncio.wait_for(read_resource_and_prompt(transport, mode), timeout=60))
    assert [t.uri_template for t in answers["templates"].resource_templates] == ["notes://{topic}"]
    (content,) = answers["read"].contents
    assert (content.text, content.mime_type) == ("notes on pläne", "text/plain")
    assert [(p.name, [a.name for a in p.arguments]) for p in answers["prompts"].prompts] == [("greet", ["name"])]
    (message,) = answers["prompt"].messages
    assert (message.role, message.content.text) == ("user", "Hello, Ann.")




def text_of(result) -> str:
    return result.content[0].text


async def cancel_a_running_call(host: str, transport: str, mode: str) -> tuple[float, int]:
    async with host_client(host, transport, mode) as client:
        running = asyncio.ensure_future(client.call_tool("wait_for_cancel", {}))
        while text_of(await client.call_tool("waiting", {})) != "1":
            await asyncio.sleep(0.02)
        running.cancel()
        with suppress(asyncio.CancelledError):
            await running
        started = time.monotonic()
        first = await client.call_tool("echo", {"text": "next"})
        answered_in = time.monotonic() - started
        assert text_of(first) == "next"
        # The tool looks at its flag every 10 ms; give the cancellation a moment to reach it.
        for _ in range(100):
            seen = int(text_of(await client.call_tool("cancellations", {})))
            if seen:
                break
            await asyncio.sleep(0.05)
        return answered_in, seen


@pytest.mark.parametrize("host", list(HOSTS))
@pytest.mark.parametrize("transport", ["stdio", "http"])
@pytest.mark.parametrize("mode", ["legacy", MODERN])
def test_a_cancelled_call_stops_and_the_next_call_is_answered_at_once(host, transport, mode):
    answered_in, seen = asyncio.run(asyncio.wait_for(cancel_a_running_call(host, transport, mode), timeout=60))
    assert seen == 1
    assert answered_in < 1.0  # not queued behind the cancelled call


async def count_with_progress(host: str, transport: str, mode: str) -> tuple[list, str]:
    reports = []

    async def on_progress(progress, total, message):
        reports.append((progress, total, message))

    async with host_client(host, transport, mode) as client:
        result = await client.call_tool("count", {"steps": 5}, progress_callback=on_progress)
        return reports, text_of(result)


BUSY = {"stdio": 12, "http": 72}  # more calls than the host's workers: 8 on stdio, 64 over HTTP


def cancelled_note(request_id, modern: bool) -> dict:
    note = {"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": request_id}}
    if modern:
        note["params"]["_meta"] = envelope()
    return note


def sleeper(make, n: int) -> dict:
    return make("tools/call", {"name": "sleep", "arguments": {"seconds": 1}}, f"busy{n}")


def still_waiting(ask) -> int:
    """How many wait_for_cancel calls run once the cancelled one has had time to see its flag."""
    for _ in range(40):
        count = int(ask())
        if count == 0:
            break
        time.sleep(0.05)
    return count


def cancel_queued_on_stdio(modern: bool) -> int:
    make = modern_request if modern else request
    peer = StdioPeer(host_command("service"))
    try:
        for n in range(BUSY["stdio"]):
            peer.send(sleeper(make, n))
        peer.send(make("tools/call", {"name": "wait_for_cancel"}, "queued"))
        peer.send(cancelled_note("queued", modern))
        answered = set()
        while len(answered) < BUSY["stdio"]:
            answered.add(peer.receive(timeout=30)["id"])
        assert "queued" not in answered
        return still_waiting(lambda: peer.exchange(make("tools/call", {"name": "waiting"}, "w"))["result"]
                             ["content"][0]["text"])
    finally:
        peer.process.kill()
        peer.close()


async def cancel_queued_over_http(port: int, modern: bool) -> int:
    make = modern_request if modern else request
    busy = [asyncio.ensure_future(post_async(port, sleeper(make, n))) for n in range(BUSY["http"])]
    await asyncio.sleep(0.3)
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(request_bytes(port, make("tools/call", {"name": "wait_for_cancel"}, "queued")))
    await writer.drain()
    await asyncio.sleep(0.2)
    if modern:
        writer.close()  # a 2026-07-28 client cancels by closing its request's stream
    else:
        assert (await post_async(port, cancelled_note("queued", False)))[0] == 202
    assert [status for status, _ in await asyncio.gather(*busy)] == [200] * BUSY["http"]
    try:
        # The handshake client keeps its connection: only the notification may cancel the call.
        return await asyncio.to_thread(still_waiting, lambda: ask_over_http(port))
    finally:
        writer.close()


def ask_over_http(port: int) -> str:
    return post(connect(port), modern_request("tools/call", {"name": "waiting"})).json()["result"]["content"][0]["text"]


@pytest.mark.parametrize(
    "transport, modern",
    [
        ("stdio", False),
        ("stdio", True),
        ("http", False),
        ("http", True),  # cancelled by closing the connection, which the queued job looks at first
    ],
    ids=["stdio-handshake", "stdio-modern", "http-handshake", "http-modern"],
)
def test_a_call_cancelled_while_queued_behind_busy_workers_does_not_run_on(transport, modern):
    if transport == "stdio":
        assert cancel_queued_on_stdio(modern) == 0
        return
    with http_server(host_command("http")) as running:
        assert asyncio.run(asyncio.wait_for(cancel_queued_over_http(running.port, modern), timeout=60)) == 0


@pytest.mark.parametrize("host", list(HOSTS))
@pytest.mark.parametrize("transport", ["stdio", "http"])
@pytest.mark.parametrize("mode", ["legacy", MODERN])
def test_progress_reaches_the_sdk_callback_in_order(host, transport, mode):
    reports, answer = asyncio.run(asyncio.wait_for(count_with_progress(host, transport, mode), timeout=60))
    assert answer == "counted 5"
    assert reports == [(step, 5, f"step {step}") for step in range(1, 6)]


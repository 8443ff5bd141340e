"""Typed tools, resources and prompts: output schemas and checked results, the methods answered for
resources and prompts, and the official SDK client in both protocol eras over stdio and Streamable
HTTP (plain and through the TLS relay)."""

import asyncio
import contextlib
import dataclasses
import importlib.util
import json
import os
import re
import signal
import ssl
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path
from typing import Annotated, Any, Literal, TypedDict

import jsonschema
import pytest
from mcp import Client, MCPError, StdioServerParameters

from helpers.child_env import child_env
from helpers.tls import self_signed_certificate

from zanthe.server import Image, ToolServer, parse_http_address, serve_http

HOST_SCRIPT = Path(__file__).with_name("typed_host.py")


def load_typed_host() -> ToolServer:
    spec = importlib.util.spec_from_file_location("typed_host", HOST_SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.server


HOST = load_typed_host()


class Pair(TypedDict):
    left: int
    right: str


@dataclasses.dataclass
class Cell:
    row: int
    text: str = ""


def wrapped(schema: dict) -> dict:
    return {"type": "object", "properties": {"result": schema}, "required": ["result"]}


PAIR_SCHEMA = {"type": "object", "properties": {"left": {"type": "integer"}, "right": {"type": "string"}},
               "additionalProperties": False, "required": ["left", "right"]}
CELL_SCHEMA = {"type": "object", "properties": {"row": {"type": "integer"}, "text": {"type": "string"}},
               "required": ["row"]}


@pytest.mark.parametrize(
    "hint, handshake, modern",
    [
        (Pair, PAIR_SCHEMA, None),
        (Cell, CELL_SCHEMA, None),
        (dict[str, float], {"type": "object", "additionalProperties": {"type": "number"}}, None),
        (Pair | Cell, {"type": "object", "anyOf": [PAIR_SCHEMA, CELL_SCHEMA]}, None),  # still an object
        (int, wrapped({"type": "integer"}), {"type": "integer"}),
        (str, wrapped({"type": "string"}), {"type": "string"}),
        (None, wrapped({"type": "null"}), {"type": "null"}),
        (list[Pair], wrapped({"type": "array", "items": PAIR_SCHEMA}), {"type": "array", "items": PAIR_SCHEMA}),
        (Literal["a", "b"] | None, wrapped({"anyOf": [{"enum": ["a", "b"]}, {"type": "null"}]}),
         {"anyOf": [{"enum": ["a", "b"]}, {"type": "null"}]}),
        (Annotated[float, "metres"], wrapped({"type": "number", "description": "metres"}),
         {"type": "number", "description": "metres"}),
        (Any, None, None),
        (Image, None, None),
        (Image | None, None, None),
        (complex, None, None),  # no schema describes it: sent as before, unstructured
    ],
)
def test_output_schema_from_the_return_annotation(hint, handshake, modern):
    def function() -> None: ...

    function.__annotations__ = {"return": hint}
    server = ToolServer()
    server.tool(function)
    [(_, definition, modern_definition)] = server.tool_table()
    definition = json.loads(definition)
    assert definition.get("outputSchema") == handshake
    if handshake is not None:
        jsonschema.Draft202012Validator.check_schema(handshake)
    if modern is None:
        assert modern_definition == ""
    else:
        assert json.loads(modern_definition) == {**definition, "outputSchema": modern}


def test_title_and_annotations_join_the_definition():
    definitions = {name: json.loads(text) for name, text, _ in HOST.tool_table()}
    stats = definitions["word_stats"]
    assert stats["title"] == "Word statistics"
    assert stats["annotations"] == {"readOnlyHint": True, "idempotentHint": True}
    assert "title" not in definitions["add"] and "annotations" not in definitions["add"]
    assert "ctx" not in definitions["slow"]["inputSchema"]["properties"]
    # The handshake-only serve_stdio reads structured content off object outputs alone.
    handshake = {name: json.loads(text) for name, text, _ in HOST.handshake_tool_table()}
    assert handshake["word_stats"] == stats and "outputSchema" not in handshake["add"]


@pytest.mark.parametrize(
    "name, args, text, structured",
    [
        ("word_stats", {"text": "a b"}, '{"characters":3,"words":2}', {"characters": 3, "words": 2}),
        ("span", {"start": 1, "end": 4}, '{"start":1,"end":4,"label":"span"}', {"start": 1, "end": 4, "label": "span"}),
        ("add", {"a": 2, "b": 3}, "5", {"result": 5}),
        ("shout", {"text": "hé"}, "HÉ", {"result": "HÉ"}),
        ("evens", {"limit": 5}, "[0,2,4]", {"result": [0, 2, 4]}),
        ("grade", {"score": -1}, "null", {"result": None}),
        ("counts", {"text": "a b a"}, '{"a":2,"b":1}', {"a": 2, "b": 1}),
        ("untyped", {"x": 1}, '{"x":1}', None),
        ("slow", {"steps": 1}, "done at ", {"result": "done at "}),
    ],
)
def test_structured_content_for_2025_clients(name, args, text, structured):
    code, output, structured_json = HOST.call_tool(name, args, None)
    assert (code, output) == (0, text)
    assert (json.loads(structured_json) if structured_json else None) == structured


class Stats(TypedDict):
    characters: int
    words: int


@pytest.mark.parametrize(
    "hint, returned, problem",
    [
        (Stats, {"characters": "3", "words": 1}, "characters: expected an integer"),
        (Stats, {"characters": 3}, "missing member 'words'"),
        (Stats, {"characters": 3, "words": 1, "lines": 2}, "unknown member 'lines'"),
        (Stats, [3, 1], "expected an object"),
        (list[int], [1, "2"], "[1]: expected an integer"),
        (dict[str, list[Stats]], {"k": [{"characters": 1, "words": True}]}, "k[0].words: expected an integer"),
        (int, "3", "expected an integer"),
        (str, 3, "expected a string"),
        (Literal["a"], "b", "expected one of ['a']"),
        (int, Image(b"x"), "an image"),
        (list[float], [1.5, float("nan")], "NaN is not a JSON number"),
    ],
)
def test_results_are_checked_against_the_output_schema(hint, returned, problem):
    def word_stats():
        return returned

    word_stats.__annotations__ = {"return": hint}
    server = ToolServer()
    server.tool(word_stats)
    expected = f"word_stats returned a result that does not match its output schema: {problem}"
    assert server.call_tool("word_stats", {}, None) == (1, expected, None)
    assert server.dispatch("word_stats", {}) == (1, expected)


def answer(method: str, params: Any) -> tuple[bool, Any]:
    ok, text = HOST.answer_method(method, params)
    return ok, json.loads(text)


@pytest.mark.parametrize(
    "method, params, expected",
    [
        ("resources/list", None, {"resources": [
            {"uri": "memo://readme", "name": "readme", "title": "Read me", "description": "A short text.",
             "mimeType": "text/plain"},
            {"uri": "memo://logo", "name": "logo", "mimeType": "image/png"}]}),
        ("resources/templates/list", {}, {"resourceTemplates": [
            {"uriTemplate": "study://{study}/series/{series}", "name": "series_summary",
             "description": "One series of a study.", "mimeType": "text/plain"}]}),
        ("resources/read", {"uri": "memo://readme"},
         {"contents": [{"uri": "memo://readme", "mimeType": "text/plain", "text": "hello"}]}),
        ("resources/read", {"uri": "memo://logo"},
         {"contents": [{"uri": "memo://logo", "mimeType": "image/png", "blob": "iVBORw=="}]}),
        ("resources/read", {"uri": "study://1.2.3/series/a%20b"},
         {"contents": [{"uri": "study://1.2.3/series/a%20b", "mimeType": "text/plain", "text": "1.2.3/a b"}]}),
        ("prompts/list", None, {"prompts": [
            {"name": "review", "title": "Review", "description": "Ask for a code review.", "arguments": [
                {"name": "code", "description": "The code to review.", "required": True},
                {"name": "focus", "description": "What to look for.", "required": False}]},
            {"name": "dialogue", "arguments": [{"name": "topic", "required": True}]}]}),
        ("prompts/get", {"name": "review", "arguments": {"code": "x = 1", "focus": "style"}},
         {"description": "Ask for a code review.",
          "messages": [{"role": "user", "content": {"type": "text", "text": "Review this for style:\nx = 1"}}]}),
        ("prompts/get", {"name": "dialogue", "arguments": {"topic": "CT"}},
         {"messages": [{"role": "user", "content": {"type": "text", "text": "Tell me about CT."}},
                       {"role": "assistant", "content": {"type": "text", "text": "Gladly."}}]}),
    ],
)
def test_resources_and_prompts_are_answered(method, params, expected):
    assert answer(method, params) == (True, expected)


@pytest.mark.parametrize(
    "method, params, code, message, data",
    [
        ("resources/read", {"uri": "memo://nope"}, -32602, "Unknown resource: memo://nope", {"uri": "memo://nope"}),
        ("resources/read", {"uri": "study://1/series/.."}, -32602, "Unknown resource: study://1/series/..",
         {"uri": "study://1/series/.."}),
        ("resources/read", {"uri": "study://1/series/a%2F..%2Fb"}, -32602,
         "Unknown resource: study://1/series/a%2F..%2Fb", {"uri": "study://1/series/a%2F..%2Fb"}),
        ("resources/read", {"uri": "study://1/series/2/extra"}, -32602, "Unknown resource: study://1/series/2/extra",
         {"uri": "study://1/series/2/extra"}),
        ("resources/read", {}, -32602, "resources/read needs a string 'uri' parameter", None),
        ("prompts/get", {"name": "nope"}, -32602, "Unknown prompt: nope", {"name": "nope"}),
        ("prompts/get", {"name": "review"}, -32602, "prompt review: missing required arguments: code", None),
        ("prompts/get", {"name": "review", "arguments": {"code": "x", "extra": "y"}}, -32602,
         "prompt review: unknown argument 'extra'", None),
        ("prompts/get", {"name": "review", "arguments": {"code": 1}}, -32602,
         "prompt review: argument 'code' must be a string", None),
        ("prompts/get", {"name": "review", "arguments": ["x"]}, -32602,
         "prompt review: arguments must be an object of strings", None),
        ("prompts/get", None, -32602, "prompts/get needs a string 'name' parameter", None),
        ("resources/subscribe", {}, -32601, "Method not found", "resources/subscribe"),
    ],
)
def test_bad_resource_and_prompt_requests_get_clear_errors(method, params, code, message, data):
    expected = {"code": code, "message": message, **({"data": data} if data is not None else {})}
    assert answer(method, params) == (False, expected)


def test_failing_resource_and_prompt_functions_are_internal_errors():
    server = ToolServer()
    server.resource("x://broken")(lambda: 1 / 0)
    server.resource("x://number")(lambda: 42)
    server.prompt(lambda: [{"role": "system", "content": "hi"}], name="odd")
    assert json.loads(server.answer_method("resources/read", {"uri": "x://broken"})[1]) == {
        "code": -32603, "message": "Error reading resource x://broken: ZeroDivisionError: division by zero",
        "data": {"uri": "x://broken"}}
    assert "returned a int, not str, bytes or Image" in server.answer_method("resources/read", {"uri": "x://number"})[1]
    assert "message 0 needs a role of user or assistant" in server.answer_method("prompts/get", {"name": "odd"})[1]


def test_capabilities_name_resources_and_prompts_only_when_registered():
    assert ToolServer().capabilities() == ""
    assert HOST.capabilities() == '"resources":{"listChanged":false},"prompts":{"listChanged":false}'


def registering(kind: str, target: Any, **options: Any) -> Any:
    server = ToolServer()
    return lambda: getattr(server, kind)(**options)(target)


def takes_int(count: int) -> str:
    return ""


@pytest.mark.parametrize(
    "register, error, message",
    [
        (registering("tool", takes_int, annotations={"readOnly": True}), ValueError, "unknown annotation 'readOnly'"),
        (registering("tool", takes_int, annotations={"readOnlyHint": "yes"}), ValueError, "must be true or false"),
        (registering("resource", takes_int, uri="x://{count}/{other}"), TypeError, "must be the template's variables"),
        (registering("resource", takes_int, uri="x://{+count}"), ValueError, "only {name} variables"),
        (registering("resource", takes_int, uri="x://{count}{count}"), ValueError, "appears twice"),
        (registering("resource", lambda a, b: "", uri="x://{a}{b}"), ValueError, "need text between them"),
        (registering("resource", takes_int, uri="x://fixed"), TypeError, "must be the template's variables"),
        (registering("prompt", takes_int), TypeError, "argument 'count' must be a str parameter"),
    ],
)
def test_registration_refuses_what_cannot_be_served(register, error, message):
    with pytest.raises(error, match=message.replace("{", r"\{").replace("+", r"\+")):
        register()


# --- the official client over stdio, in both eras ----------------------------------------------

CALLS = [
    ("word_stats", {"text": "one two three"}), ("span", {"start": 2, "end": 3}), ("add", {"a": 40, "b": 2}),
    ("shout", {"text": "quiet"}), ("evens", {"limit": 7}), ("grade", {"score": 75.5}), ("grade", {"score": -3}),
    ("counts", {"text": "x y x"}),
]


async def converse(mode: str) -> dict[str, Any]:
    server = StdioServerParameters(command=sys.executable, args=["-P", str(HOST_SCRIPT)], env=child_env())
    seen: dict[str, Any] = {"progress": []}

    async def on_progress(progress: float, total: float | None, message: str | None) -> None:
        seen["progress"].append((progress, total, message))

    async with Client(server, mode=mode) as client:
        seen["tools"] = {tool.name: tool for tool in (await client.list_tools()).tools}
        seen["calls"] = [await client.call_tool(name, args) for name, args in CALLS]
        seen["broken"] = await client.call_tool("broken_stats", {"text": "abc"})
        seen["slow"] = await client.call_tool("slow", {"steps": 3}, progress_callback=on_progress)
        seen["resources"] = await client.list_resources()
        seen["templates"] = await client.list_resource_templates()
        seen["read"] = await client.read_resource("study://1.2.840/series/7")
        seen["prompt"] = await client.get_prompt("review", {"code": "print(1)"})
        for key, request in (("unknown_resource", client.read_resource("memo://absent")),
                             ("unknown_prompt", client.get_prompt("absent", {}))):
            try:
                await request
            except MCPError as error:
                seen[key] = error
    return seen


@pytest.mark.parametrize("mode, version", [("legacy", "2025-11-25"), ("2026-07-28", "2026-07-28")])
def test_sdk_client_in_both_eras(mode, version):
    seen = asyncio.run(asyncio.wait_for(converse(mode), timeout=60))
    tools = seen["tools"]
    assert tools["word_stats"].title == "Word statistics" and tools["word_stats"].annotations.read_only_hint is True
    for (name, _), result in zip(CALLS, seen["calls"]):
        assert not result.is_error, result.content
        jsonschema.validate(result.structured_content, tools[name].output_schema)
    structured = [result.structured_content for result in seen["calls"]]
    if mode == "legacy":
        assert structured[2] == {"result": 42} and structured[4] == {"result": [0, 2, 4, 6]}
    else:
        assert structured[2] == 42 and structured[4] == [0, 2, 4, 6] and tools["add"].output_schema == {
            "type": "integer"}
    assert structured[0] == {"characters": 13, "words": 3} and structured[7] == {"x": 2, "y": 1}
    assert seen["broken"].is_error and "characters: expected an integer" in seen["broken"].content[0].text
    assert seen["slow"].content[0].text == f"done at {version}"
    assert seen["progress"] == [(1.0, 3.0, "step 1"), (2.0, 3.0, "step 2"), (3.0, 3.0, "step 3")]
    assert [r.uri for r in seen["resources"].resources] == ["memo://readme", "memo://logo"]
    assert seen["templates"].resource_templates[0].uri_template == "study://{study}/series/{series}"
    assert seen["read"].contents[0].text == "1.2.840/7"
    assert seen["prompt"].messages[0].content.text == "Review this for bugs:\nprint(1)"
    assert (seen["unknown_resource"].error.code, seen["unknown_resource"].error.data) == (-32602,
                                                                                          {"uri": "memo://absent"})
    assert seen["unknown_prompt"].error.code == -32602


async def cancel_a_slow_call(mode: str) -> list[str]:
    server = StdioServerParameters(command=sys.executable, args=["-P", str(HOST_SCRIPT)], env=child_env())
    started = asyncio.Event()

    async def on_progress(progress: float, total: float | None, message: str | None) -> None:
        started.set()

    async with Client(server, mode=mode) as client:
        call = asyncio.create_task(client.call_tool("slow", {"steps": 2000}, progress_callback=on_progress))
        await started.wait()
        call.cancel()
        with pytest.raises(asyncio.CancelledError):
            await call
        for _ in range(200):  # the tool notices at its next step
            ended = (await client.call_tool("outcomes", {})).structured_content
            ended = ended["result"] if isinstance(ended, dict) else ended
            if ended:
                return ended
            await asyncio.sleep(0.02)
    return []


@pytest.mark.parametrize("mode", ["legacy", "2026-07-28"])
def test_a_cancelled_call_sees_it_through_its_context(mode):
    [outcome] = asyncio.run(asyncio.wait_for(cancel_a_slow_call(mode), timeout=60))
    assert outcome.startswith("cancelled at step ")


# --- Streamable HTTP settings ------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [("127.0.0.1:8000", ("127.0.0.1", 8000)), ("8000", ("127.0.0.1", 8000)), ("[::1]:0", ("::1", 0)),
     ("example.org:443", ("example.org", 443)), ("::1:80", None), ("host:", None), ("host:70000", None),
     (":80", None), ("host:-1", None)],
)
def test_http_addresses(text, expected):
    if expected is None:
        with pytest.raises(ValueError, match="expected HOST:PORT"):
            parse_http_address(text)
    else:
        assert parse_http_address(text) == expected


@pytest.mark.parametrize("address", ["0.0.0.0:0", "[::]:0", "192.0.2.1:8000", "example.org:8000"])
def test_serving_beyond_loopback_needs_authentication(address):
    with pytest.raises(ValueError, match="not a loopback address, without authentication"):
        serve_http(HOST, address)


# --- Streamable HTTP, plain and behind the TLS relay -------------------------------------------

TOKEN = "s3cret-token"
LISTENING = re.compile(r"zanthe mcp: serving (\d+) tools at (https?://127\.0\.0\.1:\d+/mcp)")


@pytest.fixture(scope="module")
def certificate(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    return self_signed_certificate(tmp_path_factory.mktemp("tls"))


@contextlib.contextmanager
def http_host(*options: str):
    """The typed host serving HTTP on a free loopback port: (its URL, its process)."""
    command = [sys.executable, "-P", str(HOST_SCRIPT), "--http", "127.0.0.1:0", *options]
    process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True, env={**os.environ, **child_env()})
    try:
        line = process.stderr.readline()
        found = LISTENING.search(line)
        assert found, line + process.stderr.read()
        assert int(found.group(1)) == len(HOST.tools)
        yield found.group(2), process
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        process.wait(timeout=30)
        process.stderr.close()


async def converse_over_http(url: str, mode: str, verify: Any) -> dict[str, Any]:
    import httpx2
    from mcp.client.streamable_http import streamable_http_client

    seen: dict[str, Any] = {}
    headers = {"Authorization": f"Bearer {TOKEN}"}
    async with httpx2.AsyncClient(verify=verify, headers=headers, timeout=30) as http_client, \
            Client(streamable_http_client(url, http_client=http_client), mode=mode) as client:
        seen["tools"] = {tool.name: tool for tool in (await client.list_tools()).tools}
        seen["calls"] = [await client.call_tool(name, args) for name, args in CALLS]
        seen["read"] = await client.read_resource("memo://readme")
        seen["prompt"] = await client.get_prompt("dialogue", {"topic": "MR"})
    return seen


@pytest.mark.parametrize("tls", [False, True], ids=["http", "https"])
@pytest.mark.parametrize("mode", ["legacy", "2026-07-28"])
def test_sdk_client_over_streamable_http(mode, tls, certificate):
    cert, key = certificate
    options = ["--token", TOKEN, "--auth-server", "https://auth.example"]
    verify: Any = True
    if tls:
        options += ["--tls", str(cert), str(key)]
        verify = ssl.create_default_context(cafile=str(cert))
    with http_host(*options) as (url, process):
        assert url.startswith("https://" if tls else "http://")
        seen = asyncio.run(asyncio.wait_for(converse_over_http(url, mode, verify), timeout=60))
        for (name, _), result in zip(CALLS, seen["calls"]):
            assert not result.is_error, result.content
            jsonschema.validate(result.structured_content, seen["tools"][name].output_schema)
        assert seen["read"].contents[0].text == "hello"
        assert [m.role for m in seen["prompt"].messages] == ["user", "assistant"]
        check_protected_resource_metadata(url, verify)
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=30) == 0


def check_protected_resource_metadata(url: str, verify: Any) -> None:
    """Without a token the endpoint refuses and names the metadata document, which names the endpoint."""
    context = verify if isinstance(verify, ssl.SSLContext) else None
    request = urllib.request.Request(url, data=b"{}", headers={"Content-Type": "application/json"})
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(request, context=context, timeout=10)
    assert refused.value.code == 401
    metadata_url = url.removesuffix("/mcp") + "/.well-known/oauth-protected-resource/mcp"
    assert f'resource_metadata="{metadata_url}"' in refused.value.headers["WWW-Authenticate"]
    with urllib.request.urlopen(metadata_url, context=context, timeout=10) as answer:
        assert json.load(answer) == {"resource": url, "authorization_servers": ["https://auth.example"],
                                     "bearer_methods_supported": ["header"]}

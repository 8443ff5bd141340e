"""Hostile request lines to a real serve_stdio host: every line answered once, in UTF-8, in linear time."""

import json
import subprocess
import sys

import pytest

from helpers.agent_host import call, encode_line, host_source, run_host
from helpers.growth import assert_linear

MIB = 1 << 20
LENGTH_OF_TEXT = "return 0, str(len(args['text']))"
PING = {"jsonrpc": "2.0", "id": "after", "method": "ping"}

pytestmark = pytest.mark.timeout(180)


def answers(lines, dispatch_body=LENGTH_OF_TEXT) -> list[dict]:
    """The responses, each decoded strictly as UTF-8 JSON; the host must end cleanly."""
    run = run_host(dispatch_body, lines, timeout=170)
    assert run.returncode == 0, run.stderr
    return [json.loads(line.decode("utf-8")) for line in run.raw_stdout.splitlines()]


def test_a_64_mib_call_is_answered_and_serving_goes_on():
    text = "x" * (64 * MIB)
    responses = answers([call("echo", {"text": text}), PING])
    assert responses[0]["result"]["content"][0]["text"] == str(len(text))
    assert responses[1] == {"jsonrpc": "2.0", "id": "after", "result": {}}


@pytest.mark.parametrize(
    "line",
    [
        b'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"x":"' + b"y" * (64 * MIB),
        b"[" * (64 * MIB),
        b'{"a":' * (8 * MIB),
        b"[[]," * (4 * MIB),
    ],
    ids=["64 MiB unterminated", "64 MiB of brackets", "8 Mi nested objects", "nested pairs"],
)
def test_huge_and_deep_lines_are_parse_errors(line):
    responses = answers([line, PING])
    assert responses == [
        {"jsonrpc": "2.0", "id": None, "error": {"code": -32700, "message": "Parse error"}},
        {"jsonrpc": "2.0", "id": "after", "result": {}},
    ]


@pytest.mark.parametrize(
    "make, small",
    [
        (lambda size: [call("echo", {"text": "x" * size})], MIB),
        (lambda size: [b"[" * size], MIB),
        (lambda count: [call("echo", {"text": "x", **{f"k{n}": n for n in range(count)}})], 10_000),
    ],
    ids=["long string", "deep brackets", "many members"],
)
def test_cost_is_linear_in_the_line(make, small):
    """Timed as the round trip of each line through one running host, so start-up is left out."""
    host = subprocess.Popen([sys.executable, "-P", "-c", host_source(LENGTH_OF_TEXT)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)  # fmt: skip

    def round_trip(lines):
        for line in lines:
            host.stdin.write(encode_line(line) + b"\n")
            host.stdin.flush()
            assert host.stdout.readline().endswith(b"\n")

    try:
        round_trip([PING])
        assert_linear(make, round_trip, small)
    finally:
        host.stdin.close()
        assert host.wait(timeout=60) == 0


@pytest.mark.parametrize(
    "line, expected",
    [
        (b'{"jsonrpc":"2.0","id":"a\xffb","method":"ping"}', {"id": "a\ufffdb", "result": {}}),
        (b'{"jsonrpc":"2.0","id":"\xed\xa0\x80","method":"ping"}', {"id": "\ufffd" * 3, "result": {}}),
        (
            b'{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"ec\xc0\xafho"}}',
            {"id": 2, "error": {"code": -32602, "message": "unknown tool ec\ufffd\ufffdho"}},
        ),
        (
            b'{"jsonrpc":"2.0","id":3,"method":"initialize","params":{"protocolVersion":"2025\xf5"}}',
            {"id": 3, "protocolVersion": "2025-11-25"},
        ),
    ],
    ids=["id", "encoded surrogate id", "tool name", "protocol version"],
)
def test_request_text_that_is_not_utf8_is_echoed_as_replacement_characters(line, expected):
    response = answers([line])[0]
    if "protocolVersion" in expected:
        assert response["id"] == expected["id"]
        assert response["result"]["protocolVersion"] == expected["protocolVersion"]
    else:
        assert {key: response[key] for key in expected} == expected


@pytest.mark.parametrize(
    "argument",
    [b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"abc\xe2\x82"],
    ids=["stray byte", "overlong", "surrogate", "past U+10FFFF", "cut sequence"],
)
def test_arguments_that_are_not_utf8_give_an_error_result_without_calling_the_host(argument):
    line = b'{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"echo","arguments":{"text":"' + argument + b'"}}}'
    response = answers([line, PING], "raise AssertionError('called')")[0]
    text = response["result"]["content"][0]["text"]
    assert response["result"]["isError"] is True
    assert text.startswith("zanthe.mcp: ") and "UnicodeDecodeError" in text

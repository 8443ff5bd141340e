"""The JSON-RPC loop over an in-memory reader and writer."""

import json

import pytest

import _agent_testing as agent

TOOLS = [
    (b"echo", b'{"name":"echo"}', b"x"),
    (b"echo", b'{"name":"echo","second":true}', b"y"),
    (b"other", b'{"name":"other"}', b""),
]
PARSE_ERROR = b'{"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}}'


class Recorder:
    def __init__(self, answer=(0, b"done")):
        self.calls = []
        self.answer = answer

    def __call__(self, name, arguments):
        self.calls.append((name, arguments))
        return self.answer


def serve(*lines, tools=TOOLS, dispatch=None, **options):
    return agent.run_server(list(lines), tools, dispatch or Recorder(), **options)


def test_one_tool_call_end_to_end():
    recorder = Recorder()
    out = serve(b'{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"echo","arguments":{"x":1}}}',
                dispatch=recorder)
    assert recorder.calls == [(b"echo", ((b"x", 1),))]
    assert out == [
        b'{"jsonrpc":"2.0","id":3,"result":{"content":[{"type":"text","text":"done"}],"isError":false}}'
    ]


@pytest.mark.parametrize(
    "line, expected",
    [
        (b"", []),
        (b"\r", [PARSE_ERROR]),
        (b"   ", [PARSE_ERROR]),
        (b"{nope", [PARSE_ERROR]),
        (b'{"jsonrpc":"2.0","id":1,"method":"ping"}', [b'{"jsonrpc":"2.0","id":1,"result":{}}']),
        (b'{"jsonrpc":"2.0","id":1,"method":"ping"} trailing junk', [b'{"jsonrpc":"2.0","id":1,"result":{}}']),
        (b'{"jsonrpc":"2.0","method":"ping"}', []),
        (b'[{"id":1,"method":"ping"}]', []),
        (b"{}", []),
        (b'{"id":1}', []),
        (b'{"id":1,"method":7}', []),
        (b'{"id":1,"method":"notifications/initialized"}', []),
        (b'{"method":"notifications/initialized"}', []),
        (b'{"id":1,"method":"Ping"}', [b'{"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"method not found"}}']),
        (b'{"id":1,"method":"tools/List"}', [b'{"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"method not found"}}']),
        (b'{"method":"resources/list"}', []),
        (b'{"method":"tools/call","params":{"name":"echo"}}', []),
        (b'{"id":1,"id":2,"method":"ping","method":"nope"}', [b'{"jsonrpc":"2.0","id":1,"result":{}}']),
    ],
)
def test_message_classification(line, expected):
    assert serve(line) == expected


@pytest.mark.parametrize(
    "id_json, echoed",
    [
        (b"1.0", b"1"),
        (b"2.5e0", b"2.5"),
        (b"0.5", b"0.5"),
        (b"1e21", b"1e+21"),
        (b"-7", b"-7"),
        (b"1e400", b"null"),
        (b"-1e400", b"null"),
        (b"9223372036854775808", b"9223372036854775808"),
        (b"true", b"true"),
        (b"false", b"false"),
        (b"null", b"null"),
        (b"[1]", b"null"),
        (b'{"a":1}', b"null"),
        (b'"a\\"b"', b'"a\\"b"'),
        (b'"\\u00e9"', '"é"'.encode()),
    ],
)
def test_id_echo(id_json, echoed):
    (out,) = serve(b'{"id":' + id_json + b',"method":"ping"}')
    assert out == b'{"jsonrpc":"2.0","id":' + echoed + b',"result":{}}'
    json.loads(out)


@pytest.mark.parametrize(
    "params, version",
    [
        (None, "2025-06-18"),
        ({}, "2025-06-18"),
        *(({"protocolVersion": v}, v) for v in ("2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25")),
        ({"protocolVersion": ""}, "2025-06-18"),
        ({"protocolVersion": 20241105}, "2025-06-18"),
        ({"protocolVersion": "1999-01-01"}, "2025-11-25"),
        ({"clientInfo": {}, "protocolVersion": "x", "protocolVersion2": "y"}, "2025-11-25"),
        ([1], "2025-06-18"),
    ],
)
def test_initialize_echoes_a_version_it_speaks_and_answers_others_with_the_latest(params, version):
    request = {"jsonrpc": "2.0", "id": 9, "method": "initialize"}
    if params is not None:
        request["params"] = params
    (out,) = serve(json.dumps(request).encode(), server_name=b"srv", server_version=b"1.2")
    assert out == (
        b'{"jsonrpc":"2.0","id":9,"result":{"protocolVersion":"' + version.encode()
        + b'","capabilities":{"tools":{"listChanged":false}},"serverInfo":{"name":"srv","version":"1.2"}}}'
    )


def test_initialize_notification_is_answered_with_null_id():
    (out,) = serve(b'{"method":"initialize"}')
    assert json.loads(out)["id"] is None and json.loads(out)["result"]["protocolVersion"] == "2025-06-18"


def test_pretty_printed_definitions_keep_the_response_on_one_line():
    pretty = json.dumps({"name": "p", "inputSchema": {"type": "object"}}, indent=2).replace("\n", "\r\n")
    (out,) = serve(b'{"id":1,"method":"tools/list"}', tools=[(b"p", pretty.encode(), b"")])
    assert b"\n" not in out and b"\r" not in out
    assert json.loads(out)["result"]["tools"] == [{"name": "p", "inputSchema": {"type": "object"}}]


def test_tools_list_in_table_order():
    (out,) = serve(b'{"id":1,"method":"tools/list"}')
    assert out == (
        b'{"jsonrpc":"2.0","id":1,"result":{"tools":[{"name":"echo"},{"name":"echo","second":true},{"name":"other"}]}}'
    )
    assert serve(b'{"id":1,"method":"tools/list"}', tools=[]) == [b'{"jsonrpc":"2.0","id":1,"result":{"tools":[]}}']


MISSING = b'{"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"missing tool name"}}'


@pytest.mark.parametrize(
    "params, expected",
    [
        (None, MISSING),
        ({}, MISSING),
        ([], MISSING),
        ({"name": 5}, MISSING),
        ({"name": "nope"}, b'{"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"unknown tool nope"}}'),
        ({"name": 'q"\n'}, b'{"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"unknown tool q\\"\\n"}}'),
        ({"name": ""}, b'{"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"unknown tool "}}'),
    ],
)
def test_tool_call_errors(params, expected):
    request = {"id": 1, "method": "tools/call"}
    if params is not None:
        request["params"] = params
    recorder = Recorder()
    assert serve(json.dumps(request).encode(), dispatch=recorder) == [expected]
    assert recorder.calls == []


@pytest.mark.parametrize(
    "params, arguments",
    [
        (b'{"name":"echo"}', None),
        (b'{"name":"echo","arguments":[1]}', [1]),
        (b'{"name":"echo","arguments":null}', None),
        (b'{"name":"echo","arguments":{"a":1,"a":2}}', ((b"a", 1), (b"a", 2))),
        (b'{"name":"other","arguments":"s"}', b"s"),
    ],
)
def test_tool_call_hands_over_the_arguments_value(params, arguments):
    recorder = Recorder()
    serve(b'{"id":1,"method":"tools/call","params":' + params + b"}", dispatch=recorder)
    assert [args for _, args in recorder.calls] == [arguments]


def test_first_tool_with_the_name_wins():
    seen = []
    agent.run_server(
        [b'{"id":1,"method":"tools/call","params":{"name":"echo"}}'], TOOLS, lambda n, a: (seen.append(n), (0, b""))[1]
    )
    assert seen == [b"echo"]


def test_tool_results_are_rendered():
    out = serve(b'{"id":"r","method":"tools/call","params":{"name":"echo"}}', dispatch=Recorder((4, b'{"k":[1]}')))
    assert out == [
        b'{"jsonrpc":"2.0","id":"r","result":{"content":[{"type":"text","text":"{\\"k\\":[1]}"}],'
        b'"isError":true,"structuredContent":{"k":[1]}}}'
    ]


def test_responses_keep_request_order_and_serving_continues_after_errors():
    out = serve(b"garbage", b'{"id":1,"method":"ping"}', b"", b'{"id":2,"method":"x"}', b'{"id":3,"method":"ping"}')
    assert [json.loads(line)["id"] for line in out] == [None, 1, 2, 3]


def test_line_larger_than_the_shared_arena_is_retried_with_its_own():
    members = ",".join(f'"k{i}":{i}' for i in range(60_000))
    line = ('{"id":1,"method":"tools/call","params":{"name":"echo","arguments":{' + members + "}}}").encode()
    assert len(line) < agent.LINE_ARENA_BYTES  # fits as text, but its tables do not fit the 1 MiB arena
    recorder = Recorder()
    out = serve(line, dispatch=recorder)
    assert json.loads(out[0])["result"]["isError"] is False
    assert len(recorder.calls[0][1]) == 60_000


PONG = b'{"jsonrpc":"2.0","id":1,"result":{}}'


@pytest.mark.parametrize(
    "hostile, answers",
    [
        (b"[" * 200_000, [PARSE_ERROR]),
        (b'{"a":' * 100_000, [PARSE_ERROR]),
        (b"[" * 400 + b"{}," * 300_000, [PARSE_ERROR]),
        (b"[" * 300 + b"]" * 300 + b"[" * 300_000, []),  # one complete array, the rest never read
    ],
)
def test_hostile_lines_are_answered_and_serving_continues(hostile, answers):
    assert serve(hostile, b'{"id":1,"method":"ping"}') == [*answers, PONG]


def test_verbose_banner_goes_to_stderr(capfd):
    assert serve(verbose=True, server_name=b"zanthe") == []
    assert capfd.readouterr().err == "brellix mcp: zanthe serving 3 tools (JSON-RPC, MCP 2025-06-18)\n"
    serve()
    assert capfd.readouterr().err == ""

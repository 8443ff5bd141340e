"""The Streamable HTTP transport against real clients on 127.0.0.1: refusals by header, size, shape
and time; many connections at once; keep-alive; authentication; zanthe mcp's own HTTP flags and TLS."""

from __future__ import annotations

import asyncio
import base64
import http.client
import json
import socket
import ssl
import subprocess
import threading
import time

import httpx2
import pytest
from mcp import Client
from mcp.client.streamable_http import streamable_http_client

from helpers.er7 import message as er7_message
from helpers.mcp_wire import (
    Answer,
    MODERN,
    connect,
    host_command,
    http_server,
    modern_request,
    post,
    raise_open_file_limit,
    request,
    request_bytes,
    zanthe_command,
)
from helpers.tls import self_signed_certificate

ECHO = {"name": "echo", "arguments": {"text": "hi"}}


@pytest.fixture(scope="module")
def port():
    with http_server(host_command("http")) as running:
        yield running.port
    assert running.process.returncode == 0  # it served the whole module and stopped on SIGINT


def raw_exchange(port: int, data: bytes, timeout: float = 10) -> bytes:
    """Sends `data` and reads until the server closes the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        try:
            sock.sendall(data)
        except (BrokenPipeError, ConnectionResetError):
            pass  # refused before all of it was read: the answer is still there
        return read_until_closed(sock)


def read_until_closed(sock: socket.socket) -> bytes:
    received = b""
    try:
        while chunk := sock.recv(65536):
            received += chunk
    except ConnectionResetError:
        pass
    return received


def read_response(sock: socket.socket) -> bytes:
    """One response with a Content-Length, leaving the connection open."""
    received = b""
    while b"\r\n\r\n" not in received:
        received += sock.recv(65536)
    head_text, _, body = received.partition(b"\r\n\r\n")
    length = int(next(line.split(b":")[1] for line in head_text.split(b"\r\n")
                      if line.lower().startswith(b"content-length:")))
    while len(body) < length:
        body += sock.recv(65536)
    return head_text + b"\r\n\r\n" + body


def status_of(raw: bytes) -> int:
    return int(raw.split(b" ", 2)[1])


def head(port: int, extra: str = "") -> bytes:
    """The head of a POST /mcp up to `extra`, which ends it."""
    lines = f"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n"
    lines += "Accept: application/json, text/event-stream\r\n" + extra
    return lines.encode()


# --- refusals decided by one request ---------------------------------------------------------------

CALL = modern_request("tools/call", ECHO)
NAME_B64 = "=?base64?" + base64.b64encode(b"echo").decode() + "?="


@pytest.mark.parametrize(
    "message, headers, status, code",
    [
        (CALL, {}, 200, None),
        (CALL, {"Origin": "http://evil.example"}, 403, None),
        (CALL, {"Origin": "http://localhost:3000"}, 200, None),
        (CALL, {"Host": "evil.example"}, 421, None),
        (CALL, {"Host": "127.0.0.1.evil.example:80"}, 421, None),
        (CALL, {"MCP-Protocol-Version": None}, 400, -32020),
        (CALL, {"MCP-Protocol-Version": "2025-11-25"}, 400, -32020),
        (CALL, {"Mcp-Method": None}, 400, -32020),
        (CALL, {"Mcp-Method": "tools/list"}, 400, -32020),
        (CALL, {"Mcp-Name": None}, 400, -32020),
        (CALL, {"Mcp-Name": "stats"}, 400, -32020),
        (CALL, {"Mcp-Name": NAME_B64}, 200, None),
        (modern_request("tools/list", version="2099-01-01"), {}, 400, -32022),
        (modern_request("no/such/method"), {}, 404, -32601),
        (modern_request("ping"), {}, 404, -32601),
        (request("tools/list"), {"MCP-Protocol-Version": MODERN, "Mcp-Method": "tools/list"}, 400, -32602),
        (request("tools/call", ECHO), {}, 200, None),  # a 2025 request without a version header
        (request("no/such/method"), {"MCP-Protocol-Version": "2025-11-25"}, 200, -32601),
        (b'{"jsonrpc": "2.0", "id": 1, "method": ', {}, 400, -32700),
        (b"[]", {}, 400, -32600),
        (CALL, {"Content-Type": "text/plain"}, 400, None),
        (CALL, {"Content-Type": None}, 400, None),
        (CALL, {"Accept": "text/html"}, 406, None),
        (CALL, {"Accept": "application/json"}, 406, None),
        (CALL, {"Accept": "*/*"}, 200, None),
    ],
    ids=["sound", "foreign-origin", "loopback-origin", "foreign-host", "host-suffix", "no-version-header",
         "other-version-header", "no-method-header", "other-method-header", "no-name-header", "other-name-header",
         "base64-name", "unsupported-version", "unknown-method", "modern-ping", "header-without-envelope",
         "handshake-call", "handshake-unknown-method", "invalid-json", "batch", "text-content", "no-content-type",
         "html-accept", "json-only-accept", "any-accept"],
)
def test_one_request_is_answered_or_refused(port, message, headers, status, code):
    answer = post(connect(port), message, headers)
    assert answer.status == status, answer.body
    if code is not None:
        assert answer.json()["error"]["code"] == code
    elif status == 200:
        assert answer.json()["result"]["content"] == [{"type": "text", "text": "hi"}]
    assert "mcp-session-id" not in answer.headers


@pytest.fixture(scope="module")
def toolserver_port():
    with http_server(host_command("toolserver", "--http")) as running:
        yield running.port


READ = modern_request("resources/read", {"uri": "notes://x"})
PROMPT = modern_request("prompts/get", {"name": "greet", "arguments": {"name": "Ann"}})


@pytest.mark.parametrize(
    "message, headers, status, code",
    [
        (READ, {}, 200, None),
        (READ, {"Mcp-Name": "notes://y"}, 400, -32020),
        (READ, {"Mcp-Name": None}, 400, -32020),
        (PROMPT, {}, 200, None),
        (PROMPT, {"Mcp-Name": "other"}, 400, -32020),
        (modern_request("resources/read", {"uri": "nope://x"}), {}, 400, -32602),
        (request("resources/read", {"uri": "nope://x"}), {}, 200, -32602),  # the handshake era keeps 200
        (modern_request("prompts/get", {"name": "nope"}), {}, 400, -32602),
    ],
    ids=["read", "read-other-name", "read-no-name", "prompt", "prompt-other-name", "unknown-resource",
         "unknown-resource-handshake", "unknown-prompt"],
)
def test_resources_and_prompts_are_routed_by_their_name(toolserver_port, message, headers, status, code):
    answer = post(connect(toolserver_port), message, headers)
    assert answer.status == status
    if code is not None:
        assert answer.json()["error"]["code"] == code
    else:
        assert answer.json()["result"]["resultType"] == "complete"


@pytest.mark.parametrize("method", ["GET", "DELETE", "PUT", "HEAD"])
@pytest.mark.parametrize("modern", [True, False])
def test_only_post_is_served(port, method, modern):
    headers = {"MCP-Protocol-Version": MODERN if modern else "2025-11-25", "Accept": "text/event-stream"}
    connection = connect(port)
    answer = post(connection, b"", headers, method=method)
    assert (answer.status, answer.headers["Allow"]) == (405, "POST")
    sock = connection.sock
    assert post(connection, CALL).status == 200  # the connection is still in step
    assert connection.sock is sock


def test_other_paths_are_not_found(port):
    assert post(connect(port), CALL, path="/other").status == 404
    # Without authentication there is no metadata document to serve.
    assert post(connect(port), b"", path="/.well-known/oauth-protected-resource/mcp", method="GET").status == 404


# --- size, shape and time --------------------------------------------------------------------------

OVER_LIMIT = (4 << 20) + 1


@pytest.mark.parametrize("framing", ["declared", "chunked"])
def test_a_body_over_4_mib_is_refused_with_413(port, framing):
    if framing == "declared":
        # Refused on the head alone: no byte of the body is sent.
        data = head(port, f"Content-Length: {OVER_LIMIT}\r\n\r\n")
    else:
        piece = b"x" * 65536
        chunks = f"{len(piece):x}\r\n".encode() + piece + b"\r\n"
        data = head(port, "Transfer-Encoding: chunked\r\n\r\n") + chunks * (OVER_LIMIT // len(piece) + 1)
    raw = raw_exchange(port, data)
    assert status_of(raw) == 413
    assert b"Connection: close" in raw


@pytest.mark.parametrize(
    "data, status",
    [
        (b"HELLO THERE\r\n\r\n", 400),
        (b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nNo colon here\r\n\r\n", 400),
        (b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400),
        (b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\n", 400),
        (b"POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + b"a" * (70 << 10) + b"\r\n\r\n", 431),
    ],
    ids=["garbage-line", "header-without-colon", "bad-chunk-size", "two-lengths", "huge-head"],
)
def test_malformed_http_is_refused_and_closed(port, data, status):
    raw = raw_exchange(port, data)  # returns only once the server has closed
    assert status_of(raw) == status


def test_a_client_trickling_its_head_is_cut_off():
    # The transport's head timeout is 10 s: a byte a second never completes a request.
    with http_server(host_command("http")) as running:
        with socket.create_connection(("127.0.0.1", running.port), timeout=20) as sock:
            started = time.monotonic()
            received = b""
            for byte in head(running.port):
                try:
                    sock.sendall(bytes([byte]))
                except (BrokenPipeError, ConnectionResetError):
                    break
                sock.settimeout(1)
                try:
                    received = sock.recv(4096)
                except TimeoutError:
                    continue
                break
            received += read_until_closed(sock)
            cut_after = time.monotonic() - started
    assert status_of(received) == 408
    assert 9 <= cut_after <= 13


def test_keep_alive_serves_many_requests_on_one_connection(port):
    connection = connect(port)
    answers = [post(connection, modern_request("tools/call", {"name": "echo", "arguments": {"text": str(n)}}, n))
               for n in range(3)]
    sock = connection.sock
    answers.append(post(connection, CALL, {"Accept": "text/html"}))  # a refusal keeps the connection
    answers.append(post(connection, request("tools/list", None, 9)))
    answers.append(post(connection, {"jsonrpc": "2.0", "method": "notifications/initialized"}))
    assert connection.sock is sock
    assert [answer.status for answer in answers] == [200, 200, 200, 406, 200, 202]
    assert [answer.json()["result"]["content"][0]["text"] for answer in answers[:3]] == ["0", "1", "2"]


def test_pipelined_requests_are_answered_in_order(port):
    slow = modern_request("tools/call", {"name": "sleep", "arguments": {"seconds": 0.3}}, "slow")
    keep = {"Connection": "keep-alive"}
    data = request_bytes(port, slow, keep) + request_bytes(port, CALL, keep) + call_bytes(port, 3)
    raw = raw_exchange(port, data)
    ids = [json.loads(body.partition(b"HTTP/1.1 ")[0])["id"] for body in raw.split(b"\r\n\r\n")[1:]]
    assert ids == ["slow", 1, 3]


@pytest.mark.parametrize("refused", [False, True])
def test_a_client_expecting_100_continue_is_told_before_it_sends_its_body(port, refused):
    data = request_bytes(port, CALL, {"Accept": "text/html"} if refused else {})
    head_bytes, _, body = data.partition(b"\r\n\r\n")
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(head_bytes + b"\r\nExpect: 100-continue\r\n\r\n")
        first = sock.recv(65536)
        if refused:  # answered at once: no body is read for a request that is refused anyway
            assert status_of(first) == 406
            return
        assert first == b"HTTP/1.1 100 Continue\r\n\r\n"
        sock.sendall(body)
        assert status_of(read_until_closed(sock)) == 200


def chunked_body(data: bytes) -> bytes:
    body = b""
    while True:
        size_line, _, data = data.partition(b"\r\n")
        size = int(size_line, 16)
        if size == 0:
            return body
        body, data = body + data[:size], data[size + 2:]


@pytest.mark.parametrize(
    "version, connection",
    [
        ("HTTP/1.1", "keep-alive"),
        ("HTTP/1.1", "close"),
        ("HTTP/1.0", "close"),
    ],
)
def test_progress_streams_as_events_framed_for_the_connection(port, version, connection):
    message = modern_request("tools/call", {"name": "count", "arguments": {"steps": 3}}, "p", progressToken="t")
    data = request_bytes(port, message, {"Connection": connection}).replace(b"HTTP/1.1", version.encode(), 1)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(data)
        if connection == "keep-alive":
            received = b""
            while not received.endswith(b"\r\n0\r\n\r\n"):
                received += sock.recv(65536)
            sock.sendall(request_bytes(port, CALL))  # the stream ended; the connection goes on
        received = read_until_closed(sock) if connection == "close" else received + read_until_closed(sock)
    head_text, _, rest = received.partition(b"\r\n\r\n")
    headers = {line.split(b":")[0].lower(): line.split(b":", 1)[1].strip() for line in head_text.split(b"\r\n")[1:]}
    assert headers[b"content-type"] == b"text/event-stream"
    assert headers[b"connection"].decode() == connection
    chunked = version == "HTTP/1.1"
    assert (headers.get(b"transfer-encoding") == b"chunked") == chunked
    stream = chunked_body(rest) if chunked else rest
    events = Answer(200, None, stream).events()
    assert [event.get("params", {}).get("progress") for event in events] == [1, 2, 3, None]
    assert events[-1]["result"]["content"] == [{"type": "text", "text": "counted 3"}]
    if connection == "keep-alive":
        assert rest.partition(b"\r\n0\r\n\r\n")[2].startswith(b"HTTP/1.1 200")


def test_a_slow_call_on_one_connection_does_not_hold_up_another(port):
    slow_done = threading.Event()

    def slow_call():
        post(connect(port), modern_request("tools/call", {"name": "sleep", "arguments": {"seconds": 3}}))
        slow_done.set()

    worker = threading.Thread(target=slow_call)
    worker.start()
    time.sleep(0.3)
    fast = post(connect(port), CALL)
    assert fast.status == 200 and not slow_done.is_set()
    worker.join()
    assert slow_done.is_set()


def test_notifications_are_accepted_and_no_session_is_ever_issued(port):
    connection = connect(port)
    initialize = request("initialize", {"protocolVersion": "2025-06-18", "capabilities": {},
                                        "clientInfo": {"name": "t", "version": "1"}})
    answers = [
        post(connection, initialize),
        post(connection, {"jsonrpc": "2.0", "method": "notifications/initialized"}),
        post(connection, {"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": 5}},
             {"MCP-Protocol-Version": "2025-06-18"}),
        post(connection, {"jsonrpc": "2.0", "id": 3, "result": {}}),
        post(connection, request("tools/list", None, 2), {"MCP-Protocol-Version": "2025-06-18"}),
    ]
    assert [answer.status for answer in answers] == [200, 202, 202, 202, 200]
    assert answers[0].json()["result"]["protocolVersion"] == "2025-06-18"
    assert [answer.body for answer in answers[1:4]] == [b"", b"", b""]
    assert all("mcp-session-id" not in answer.headers for answer in answers)


def call_bytes(port: int, n: int) -> bytes:
    return request_bytes(port, modern_request("tools/call", {"name": "echo", "arguments": {"text": f"call {n}"}}, n))


async def call_on(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, data: bytes) -> tuple[int, str]:
    try:
        writer.write(data)
        await writer.drain()
        raw = await reader.read()
    finally:
        writer.close()
    head_text, _, answer = raw.partition(b"\r\n\r\n")
    return status_of(head_text), json.loads(answer)["result"]["content"][0]["text"]


def test_a_thousand_concurrent_connections_each_complete_a_call(port):
    raise_open_file_limit()

    async def all_at_once():
        # Every connection is open before the first request goes.
        streams = await asyncio.gather(*(asyncio.open_connection("127.0.0.1", port) for _ in range(1000)))
        return await asyncio.gather(*(call_on(reader, writer, call_bytes(port, n))
                                      for n, (reader, writer) in enumerate(streams)))

    answers = asyncio.run(asyncio.wait_for(all_at_once(), timeout=120))
    assert answers == [(200, f"call {n}") for n in range(1000)]


def test_connections_beyond_the_limit_are_told_to_come_back_later():
    raise_open_file_limit()
    with http_server(host_command("http")) as running:
        held = [socket.create_connection(("127.0.0.1", running.port)) for _ in range(4096)]
        try:
            # The server has seen every held connection once the last of them is answered.
            held[-1].sendall(request_bytes(running.port, CALL, {"Connection": "keep-alive"}))
            assert status_of(read_response(held[-1])) == 200
            refused = raw_exchange(running.port, call_bytes(running.port, 2))
            assert status_of(refused) == 503 and b"Retry-After: 1" in refused
        finally:
            for sock in held:
                sock.close()
        for _ in range(50):  # closed connections are forgotten as the server reads their end
            answer = raw_exchange(running.port, call_bytes(running.port, 3))
            if status_of(answer) == 200:
                break
            time.sleep(0.1)
        assert status_of(answer) == 200


@pytest.mark.parametrize("header", ["MCP-Protocol-Version: 2026-07-28", "Mcp-Method: tools/call", "Mcp-Name: echo"])
def test_a_routing_header_sent_twice_is_a_mismatch(port, header):
    data = call_bytes(port, 1)
    raw = raw_exchange(port, data.replace(b"\r\n\r\n", f"\r\n{header}\r\n\r\n".encode(), 1))
    assert status_of(raw) == 400
    error = json.loads(raw.partition(b"\r\n\r\n")[2])["error"]
    assert error["code"] == -32020 and "more than once" in error["message"]


# --- zanthe mcp --http: authentication, binding and TLS ------------------------------------------------

AUTH_SERVER = "https://auth.example/realm"


@pytest.fixture(scope="module")
def authenticated(tmp_path_factory):
    tokens = tmp_path_factory.mktemp("auth") / "tokens"
    tokens.write_text("# the clients' tokens\nright-token\n\nsecond-token\n")
    command = zanthe_command("--http", "127.0.0.1:0", "--auth-token-file", str(tokens), "--auth-server", AUTH_SERVER)
    with http_server(command) as running:
        yield running


HL7_CALL = modern_request("tools/call", {"name": "hl7_parse", "arguments": {"message": er7_message()}})


@pytest.mark.parametrize(
    "authorization, status",
    [(None, 401), ("Bearer wrong-token", 401), ("Basic cmlnaHQtdG9rZW4=", 401), ("Bearer right-token", 200),
     ("bearer second-token", 200)],
)
def test_bearer_tokens_are_required(authenticated, authorization, status):
    answer = post(connect(authenticated.port), HL7_CALL, {"Authorization": authorization})
    assert answer.status == status
    if status == 401:
        metadata_url = f"http://127.0.0.1:{authenticated.port}/.well-known/oauth-protected-resource/mcp"
        challenge = answer.headers["WWW-Authenticate"]
        assert challenge.startswith("Bearer ") and f'resource_metadata="{metadata_url}"' in challenge
        assert ('error="invalid_token"' in challenge) == (authorization == "Bearer wrong-token")
    else:
        assert answer.json()["result"]["structuredContent"]["segments"][0]["id"] == "MSH"


@pytest.mark.parametrize("path", ["/.well-known/oauth-protected-resource/mcp", "/.well-known/oauth-protected-resource"])
def test_the_metadata_document_names_the_resource_and_its_authorization_server(authenticated, path):
    answer = post(connect(authenticated.port), b"", path=path, method="GET")  # no token needed
    assert answer.status == 200
    document = answer.json()
    assert document["resource"] == authenticated.url
    assert document["authorization_servers"] == [AUTH_SERVER]


@pytest.mark.parametrize(
    "token, status",
    [("listed", 200), ("ok-from-the-verifier", 200), ("refused-by-the-verifier", 401), ("boom", 401)],
)
def test_tokens_not_listed_are_asked_of_the_verifier(token, status):
    with http_server(host_command("toolserver", "--http", "--token", "listed", "--verify")) as running:
        answer = post(connect(running.port), CALL, {"Authorization": f"Bearer {token}"})
        assert answer.status == status
        # A verifier that fails refuses the token and the server goes on.
        assert post(connect(running.port), CALL, {"Authorization": "Bearer listed"}).status == 200


def test_a_client_cancels_only_its_own_calls():
    alice, bob = {"Authorization": "Bearer alice"}, {"Authorization": "Bearer bob"}
    with http_server(host_command("toolserver", "--http", "--token", "alice", "--token", "bob")) as running:
        port = running.port

        def waiting() -> str:
            answer = post(connect(port), request("tools/call", {"name": "waiting"}), alice)
            return answer.json()["result"]["content"][0]["text"]

        def cancel(headers) -> None:
            note = {"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": 7}}
            assert post(connect(port), note, headers).status == 202

        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.sendall(request_bytes(port, request("tools/call", {"name": "wait_for_cancel"}, 7), alice))
            while waiting() != "1":
                time.sleep(0.02)
            cancel(bob)  # the same request id from another client names another request
            time.sleep(0.3)
            assert waiting() == "1"
            cancel(alice)
            answer = json.loads(read_until_closed(sock).partition(b"\r\n\r\n")[2])
    assert answer["error"]["code"] == -32800


def test_a_non_loopback_bind_needs_authentication_or_an_explicit_opt_out():
    refused = subprocess.run(zanthe_command("--http", "0.0.0.0:0"), capture_output=True, text=True, timeout=60)
    assert refused.returncode == 2
    assert "0.0.0.0 is not a loopback address" in refused.stderr
    with http_server(zanthe_command("--http", "0.0.0.0:0", "--allow-unauthenticated")) as running:
        # Serving everywhere, Host is no longer held to loopback names.
        answer = post(connect(running.port), HL7_CALL, {"Host": f"mcp.example:{running.port}"})
        assert answer.status == 200


def ipv6_loopback() -> bool:
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.mark.skipif(not ipv6_loopback(), reason="no IPv6 loopback here")
def test_an_ipv6_loopback_bind_holds_host_and_origin_to_loopback_names():
    with http_server(zanthe_command("--http", "[::1]:0")) as running:
        def status(**headers) -> int:
            return post(http.client.HTTPConnection("::1", running.port, timeout=30), HL7_CALL, headers).status

        assert status() == 200  # http.client names the host [::1]:PORT
        assert status(Origin=f"http://[::1]:{running.port}") == 200
        assert status(Host="evil.example") == 421
        assert status(Origin="http://evil.example") == 403


@pytest.fixture(scope="module")
def tls_server(tmp_path_factory):
    cert, key = self_signed_certificate(tmp_path_factory.mktemp("tls"))
    command = zanthe_command("--http", "127.0.0.1:0", "--tls", "--cert", str(cert), "--key", str(key))
    with http_server(command) as running:
        yield running, ssl.create_default_context(cafile=str(cert))


@pytest.mark.parametrize("mode", ["legacy", "auto", MODERN])
def test_the_sdk_client_is_served_over_tls(tls_server, mode):
    running, trust = tls_server
    assert running.url.startswith("https://")

    async def parse_over_tls():
        async with httpx2.AsyncClient(verify=trust, timeout=30) as http:
            transport = streamable_http_client(running.url, http_client=http)
            async with Client(transport, mode=mode, read_timeout_seconds=30) as client:
                return await client.call_tool("hl7_parse", {"message": er7_message("PID|1||PAT9")})

    result = asyncio.run(asyncio.wait_for(parse_over_tls(), timeout=60))
    assert [segment["id"] for segment in result.structured_content["segments"]] == ["MSH", "PID"]



def test_behind_tls_plain_http_is_not_served_and_host_and_origin_are_still_checked(tls_server):
    running, trust = tls_server
    assert not raw_exchange(running.port, request_bytes(running.port, HL7_CALL)).startswith(b"HTTP/1.1 200")

    def status(**headers) -> int:
        connection = http.client.HTTPSConnection("127.0.0.1", running.port, context=trust, timeout=30)
        return post(connection, HL7_CALL, headers).status

    assert status() == 200
    assert status(Host="evil.example") == 421
    assert status(Origin="https://evil.example") == 403

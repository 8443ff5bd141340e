"""MCP on the wire for end-to-end tests: JSON lines to a stdio server, raw HTTP to an HTTP one, and
servers started as child processes.

``envelope(...)`` builds the 2026-07-28 request ``_meta``; ``modern_request`` a whole request and
``modern_headers`` the HTTP headers that must repeat it.
"""

from __future__ import annotations

import contextlib
import http.client
import json
import queue
import re
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

MODERN = "2026-07-28"
HANDSHAKE_VERSIONS = ("2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25")
VERSION_KEY = "io.modelcontextprotocol/protocolVersion"
CAPABILITIES_KEY = "io.modelcontextprotocol/clientCapabilities"
SERVER_INFO_KEY = "io.modelcontextprotocol/serverInfo"
CLIENT_INFO_KEY = "io.modelcontextprotocol/clientInfo"
HOST_SCRIPT = Path(__file__).resolve().parents[1] / "agent" / "http_host.py"


def envelope(version: str = MODERN, **extra) -> dict:
    meta = {VERSION_KEY: version, CAPABILITIES_KEY: {}, CLIENT_INFO_KEY: {"name": "t", "version": "1"}}
    meta.update(extra)
    return meta


def modern_request(method: str, params: dict | None = None, request_id=1, version: str = MODERN, **meta) -> dict:
    return {"jsonrpc": "2.0", "id": request_id, "method": method,
            "params": {**(params or {}), "_meta": envelope(version, **meta)}}


def request(method: str, params: dict | None = None, request_id=1) -> dict:
    message = {"jsonrpc": "2.0", "id": request_id, "method": method}
    if params is not None:
        message["params"] = params
    return message


def is_modern(message: dict) -> bool:
    return VERSION_KEY in message.get("params", {}).get("_meta", {})


def modern_headers(message: dict) -> dict[str, str]:
    """The headers an HTTP client must send with a 2026-07-28 request."""
    headers = {"MCP-Protocol-Version": message["params"]["_meta"][VERSION_KEY], "Mcp-Method": message["method"]}
    params = message.get("params", {})
    if message["method"] in ("tools/call", "prompts/get"):
        headers["Mcp-Name"] = params["name"]
    elif message["method"] == "resources/read":
        headers["Mcp-Name"] = params["uri"]
    return headers


# --- stdio ---------------------------------------------------------------------------------------


class StdioPeer:
    """A server child process spoken to in JSON lines; its lines are read on a thread."""

    def __init__(self, command: list[str], env: dict[str, str] | None = None) -> None:
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env)
        self.lines: queue.Queue[bytes | None] = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def send(self, message) -> None:
        text = message if isinstance(message, bytes) else json.dumps(message).encode()
        self.process.stdin.write(text + b"\n")
        self.process.stdin.flush()

    def receive_line(self, timeout: float = 10) -> bytes:
        line = self.lines.get(timeout=timeout)
        if line is None:
            raise EOFError(f"the server closed its output: {self.process.stderr.read().decode(errors='replace')}")
        return line.rstrip(b"\n")

    def receive(self, timeout: float = 10) -> dict:
        return json.loads(self.receive_line(timeout))

    def exchange(self, message, timeout: float = 10) -> dict:
        self.send(message)
        return self.receive(timeout)

    def close(self) -> int:
        """Ends the server's input and waits for it; lines it wrote meanwhile stay in `unread()`."""
        with contextlib.suppress(BrokenPipeError):
            self.process.stdin.close()
        try:
            return self.process.wait(timeout=20)
        finally:
            if self.process.poll() is None:
                self.process.kill()
            self.reader.join(timeout=10)
            self.process.stdout.close()
            self.process.stderr.close()

    def unread(self) -> list[bytes]:
        lines = []
        while (line := self.lines.get_nowait()) is not None:
            lines.append(line)
        return lines


def host_command(mode: str, *options: str) -> list[str]:
    return [sys.executable, "-P", str(HOST_SCRIPT), mode, *options]


def zanthe_command(*options: str) -> list[str]:
    return [sys.executable, "-P", "-m", "zanthe", "mcp", *options]


# --- HTTP servers --------------------------------------------------------------------------------


@dataclass
class RunningServer:
    process: subprocess.Popen
    port: int
    scheme: str = "http"

    @property
    def url(self) -> str:
        return f"{self.scheme}://127.0.0.1:{self.port}/mcp"


ZANTHE_LISTENING = re.compile(rb"serving \d+ tools at (https?)://[^ ]*:(\d+)/mcp")


@contextlib.contextmanager
def http_server(command: list[str], timeout: float = 30) -> Iterator[RunningServer]:
    """Starts an HTTP server child and waits for its listening line: the test host's "port N" on
    stdout, or zanthe's "serving N tools at URL" on stderr. Interrupted (SIGINT) at the end."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    found: queue.Queue[tuple[str, int] | None] = queue.Queue()
    told: list[bytes] = []

    def watch(stream, pattern) -> None:
        for line in stream:
            told.append(line)
            del told[:-20]  # the last lines are enough to tell why a server did not start
            if match := pattern.search(line):
                found.put((match.group(1).decode(), int(match.group(2))))
        found.put(None)

    threading.Thread(target=watch, args=(process.stdout, re.compile(rb"()^port (\d+)")), daemon=True).start()
    threading.Thread(target=watch, args=(process.stderr, ZANTHE_LISTENING), daemon=True).start()
    try:
        deadline = time.monotonic() + timeout
        listening, ended = None, 0
        while listening is None:
            listening = found.get(timeout=max(deadline - time.monotonic(), 0.01))
            ended += listening is None
            if ended == 2:
                process.wait(timeout=10)
                output = b"".join(told).decode(errors="replace")
                raise RuntimeError(f"the server exited with {process.returncode} before listening:\n{output}")
        scheme, port = listening
        yield RunningServer(process, port, scheme or "http")
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=30)  # a loaded machine: one full-suite run once needed more than 10 s
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


# --- raw HTTP ------------------------------------------------------------------------------------

JSON_HEADERS = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}


@dataclass
class Answer:
    status: int
    headers: http.client.HTTPMessage
    body: bytes

    def json(self):
        return json.loads(self.body)

    def events(self) -> list[dict]:
        """The JSON-RPC messages of a text/event-stream body."""
        return [json.loads(line[5:]) for line in self.body.decode().splitlines() if line.startswith("data:")]


def post(connection: http.client.HTTPConnection, message, headers: dict[str, str] | None = None,
         path: str = "/mcp", method: str = "POST") -> Answer:
    body = message if isinstance(message, bytes) else json.dumps(message).encode()
    sent = dict(JSON_HEADERS)
    if isinstance(message, dict) and is_modern(message):
        sent.update(modern_headers(message))
    sent.update(headers or {})
    for name in [name for name, value in sent.items() if value is None]:
        del sent[name]
    connection.request(method, path, body=body if method == "POST" else None, headers=sent)
    response = connection.getresponse()
    return Answer(response.status, response.headers, response.read())


def request_bytes(port: int, message, headers: dict[str, str] | None = None) -> bytes:
    """A whole POST /mcp of `message`, asking to close the connection after its answer unless
    `headers` say otherwise."""
    body = json.dumps(message).encode()
    sent = {**JSON_HEADERS, **(modern_headers(message) if is_modern(message) else {}), "Connection": "close"}
    sent.update(headers or {})
    sent["Content-Length"] = str(len(body))
    lines = ["POST /mcp HTTP/1.1", f"Host: 127.0.0.1:{port}", *(f"{name}: {value}" for name, value in sent.items())]
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


async def post_async(port: int, message) -> tuple[int, bytes]:
    """Posts on a connection of its own; the status and body of the answer."""
    import asyncio

    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        writer.write(request_bytes(port, message))
        await writer.drain()
        raw = await reader.read()
    finally:
        writer.close()
    head, _, body = raw.partition(b"\r\n\r\n")
    return int(head.split(b" ", 2)[1]), body


def connect(port: int, timeout: float = 30) -> http.client.HTTPConnection:
    return http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)


def raise_open_file_limit() -> None:
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

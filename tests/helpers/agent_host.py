"""Runs a throwaway host program that serves tools with zanthe._agent.serve_stdio, over pipes.

``run_host(dispatch_body, lines)`` starts a fresh interpreter whose ``dispatch(name, args)`` is the
given function body, writes the request lines to its stdin, closes it, and returns what came back.
"""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
from dataclasses import dataclass

DEFAULT_TOOLS = [("echo", '{"name":"echo","inputSchema":{"type":"object"}}', "")]

HOST_TEMPLATE = """
import sys
from zanthe import _agent
{prelude}

def dispatch(name, args):
{body}

result = _agent.serve_stdio({tools!r}, dispatch, **{options!r})
print("returned", result, file=sys.stderr)
"""


@dataclass
class HostRun:
    responses: list[dict]
    raw_stdout: bytes
    stderr: str
    returncode: int


def host_source(dispatch_body: str, tools=DEFAULT_TOOLS, prelude: str = "", **options) -> str:
    """``prelude`` runs in the host before serving starts."""
    body = textwrap.indent(textwrap.dedent(dispatch_body).strip(), "    ")
    return HOST_TEMPLATE.format(body=body, tools=list(tools), options=options, prelude=textwrap.dedent(prelude))


def encode_line(line) -> bytes:
    if isinstance(line, bytes):
        return line
    if isinstance(line, str):
        return line.encode()
    return json.dumps(line).encode()


def run_host(
    dispatch_body: str, lines=(), tools=DEFAULT_TOOLS, timeout: float = 60, prelude: str = "", **options
) -> HostRun:
    stdin = b"".join(encode_line(line) + b"\n" for line in lines)
    proc = subprocess.run(
        [sys.executable, "-P", "-c", host_source(dispatch_body, tools, prelude, **options)],
        input=stdin,
        capture_output=True,
        timeout=timeout,
    )
    responses = [json.loads(line) for line in proc.stdout.splitlines() if line.strip()]
    return HostRun(responses, proc.stdout, proc.stderr.decode(errors="replace"), proc.returncode)


def call(tool: str, arguments=None, request_id=1) -> dict:
    params = {"name": tool}
    if arguments is not None:
        params["arguments"] = arguments
    return {"jsonrpc": "2.0", "id": request_id, "method": "tools/call", "params": params}

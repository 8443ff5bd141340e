"""A small host serving a few test tools through zanthe._agent, for the end-to-end transport tests.

    python http_host.py service              _agent.Service over stdin and stdout (both eras)
    python http_host.py handshake            _agent.serve_stdio, the handshake-only loop, same tools
    python http_host.py http                 _agent.Service over HTTP on 127.0.0.1; prints "port N"
    python http_host.py toolserver [--http] [--token T]... [--verify]
                                             the tools that need the call, a resource template
                                             notes://{topic} and a prompt greet, through zanthe.server.ToolServer;
                                             --verify accepts tokens starting "ok-" (and raises on "boom")

Tools: echo, stats (a JSON object answer), fail (an error result), sleep (seconds), count (reports
progress 1..steps), wait_for_cancel (runs until the client cancels it), cancellations (how many
calls have seen their cancellation) and waiting (how many wait_for_cancel calls are running now).
"""

from __future__ import annotations

import argparse
import json
import resource
import sys
import threading
import time

from zanthe import _agent
from zanthe.server import Context, ToolServer

WAIT_LIMIT = 30.0  # seconds a wait_for_cancel runs at most, so a lost cancellation cannot hang a test


def tool(name: str, properties: dict | None = None) -> tuple[str, str, str]:
    schema = {"type": "object", "properties": properties or {}}
    definition = {"name": name, "description": f"test tool {name}", "inputSchema": schema}
    return name, json.dumps(definition, separators=(",", ":")), ""


TOOLS = [
    tool("echo", {"text": {"type": "string"}}),
    tool("stats", {"text": {"type": "string"}}),
    tool("fail"),
    tool("sleep", {"seconds": {"type": "number"}}),
    tool("count", {"steps": {"type": "integer"}}),
    tool("wait_for_cancel"),
    tool("cancellations"),
    tool("waiting"),
]

seen_cancelled = 0
waiting = 0
seen_lock = threading.Lock()


def answer(name: str, args: dict | None) -> tuple[int, str]:
    """The tools that need nothing of the call, as both loops serve them."""
    args = args or {}
    if name == "echo":
        return 0, str(args.get("text", ""))
    if name == "stats":
        text = str(args.get("text", ""))
        return 0, json.dumps({"characters": len(text), "words": len(text.split())})
    if name == "fail":
        return 1, "failed on purpose"
    if name == "sleep":
        time.sleep(float(args.get("seconds", 0)))
        return 0, "slept"
    if name == "cancellations":
        with seen_lock:
            return 0, str(seen_cancelled)
    if name == "waiting":
        with seen_lock:
            return 0, str(waiting)
    return 1, f"no such tool: {name}"


def call_tool(name: str, args: dict | None, call) -> tuple[int, str]:
    if name == "count":
        return 0, count(int((args or {}).get("steps", 3)), call.progress)
    if name == "wait_for_cancel":
        return 1, wait_for_cancel(lambda: call.cancelled)
    return answer(name, args)


def count(steps: int, report) -> str:
    for step in range(1, steps + 1):
        time.sleep(0.05)
        report(step, steps, f"step {step}")
    return f"counted {steps}"


def wait_for_cancel(cancelled) -> str:
    global seen_cancelled, waiting
    with seen_lock:
        waiting += 1
    try:
        give_up = time.monotonic() + WAIT_LIMIT
        while time.monotonic() < give_up:
            if cancelled():
                with seen_lock:
                    seen_cancelled += 1
                return "cancelled"
            time.sleep(0.01)
        return "never cancelled"
    finally:
        with seen_lock:
            waiting -= 1


def serve_http() -> int:
    # Many concurrent clients: as many descriptors as the hard limit allows.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    service = _agent.Service(TOOLS, call_tool, "http-host", "1.0")
    server = service.http(host="127.0.0.1", port=0, workers=64)
    print("port", server.port, flush=True)
    try:
        server.serve()
    except KeyboardInterrupt:
        pass
    return 0


def verify_token(token: str) -> bool:
    if token == "boom":
        raise RuntimeError("the verifier failed")
    return token.startswith("ok-")


def tool_server(http: bool, tokens: list[str], verify: bool) -> int:
    server = ToolServer("http-host", "1.0")

    @server.tool
    def echo(text: str) -> str:
        """Echo the text."""
        return text

    @server.tool(name="count")
    def count_steps(steps: int, ctx: Context) -> str:
        """Count to steps, reporting each."""
        return count(steps, ctx.report_progress)

    @server.tool(name="wait_for_cancel")
    def wait(ctx: Context) -> str:
        """Run until cancelled."""
        return wait_for_cancel(lambda: ctx.cancelled)

    @server.resource("notes://{topic}", mime_type="text/plain")
    def note(topic: str) -> str:
        return f"notes on {topic}"

    @server.prompt
    def greet(name: str) -> str:
        """Greet someone."""
        return f"Hello, {name}."

    @server.tool
    def cancellations() -> str:
        """How many calls have seen their cancellation."""
        return answer("cancellations", None)[1]

    @server.tool
    def waiting() -> str:
        """How many wait_for_cancel calls run now."""
        return answer("waiting", None)[1]

    if not http:
        return server.run()
    return server.run(http="127.0.0.1:0", auth_tokens=tokens or None, verify_token=verify_token if verify else None)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["service", "handshake", "http", "toolserver"])
    parser.add_argument("--http", action="store_true")
    parser.add_argument("--token", action="append", default=[])
    parser.add_argument("--verify", action="store_true")
    args = parser.parse_args()
    if args.mode == "service":
        return _agent.Service(TOOLS, call_tool, "http-host", "1.0").serve_stdio()
    if args.mode == "handshake":
        return _agent.serve_stdio(TOOLS, answer, "http-host", "1.0")
    if args.mode == "toolserver":
        return tool_server(args.http, args.token, args.verify)
    return serve_http()


if __name__ == "__main__":
    sys.exit(main())

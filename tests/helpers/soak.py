"""A soak of serve_stdio: a host program serving over pipes, fed a long, deterministic mix of lines.

    python tests/helpers/soak.py --lines 1000000 [--seed 1]

prints a report and exits 1 when a check fails (with ZANTHE_USE_BUILD_MODULES=1 the host imports the
build in $ZANTHE_BUILD_DIR, as in a test session). The mix holds valid tool calls, malformed JSON,
lines of several MiB, nesting at and past the reader's bound, invalid UTF-8, notifications, pings,
tools/list, unknown methods, and tool calls whose host callable raises, returns garbage, returns huge
texts or sleeps. Lines are made lazily from the seed and written by one thread while another reads
and checks the responses, so the run holds only what is in flight.

Checks: every line that must be answered is answered once, in order, with the expected response;
nothing else is answered; the host is called once per tool call that reaches it; serve_stdio returns
0 and the host exits with 0; the host's live memory (resident once the C allocator has returned its
free pages) and its Python block count at the end match those after the warm-up (the raw resident
size, which follows the allocator's retention after huge lines, is reported beside them); and the
reference count of the host's callable is what it was before serving.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import json
import random
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

TESTS = Path(__file__).resolve().parent.parent
MiB = 1 << 20
READER_DEPTH_BOUND = 512
# The request around the nested value: root object, "params" object, "arguments" object.
ENVELOPE_DEPTH = 3
HUGE_SIZES = (2 * MiB, 3 * MiB, 5 * MiB)
STRUCTURED_CONTENT_LIMIT = 4 * MiB
SERVER_NAME, SERVER_VERSION = "soak", "7.1"
DEFAULT_PROTOCOL_VERSION = "2025-06-18"
BAD_CAST = "zanthe.mcp: std::bad_cast"
TRACEBACK_START = "zanthe.mcp: Traceback (most recent call last):\n"
NO_RESPONSE = None

TOOLS = [
    ("act", '{"name":"act","description":"does what op says","inputSchema":{"type":"object"}}', ""),
    ("memory", '{"name":"memory","description":"the host\'s memory figures","inputSchema":{}}', "x"),
]
TOOL_DEFINITIONS = [json.loads(definition) for _, definition, _ in TOOLS]

# What the host's callable returns for op "garbage": the expression, and the text of the error result.
GARBAGE = {
    "'ok'": BAD_CAST,
    "(0,)": BAD_CAST,
    "(0, b'x')": BAD_CAST,
    "(1.5, 'x')": BAD_CAST,
    "(2**40, 'x')": BAD_CAST,
    "(-2**31 - 1, 'x')": BAD_CAST,
    "None": BAD_CAST,
    "(0, 'x', 'y')": BAD_CAST,
    "(0, 123)": BAD_CAST,
    "(0, None)": BAD_CAST,
    "(0, '\\udcff')": BAD_CAST,  # a str with no UTF-8 form
    "{0: 'a', 1: 'b'}": BAD_CAST,
    "iter([0, 'x'])": BAD_CAST,
    "object()": BAD_CAST,
    "(True, 'x')": "x",  # True converts to code 1
}
# What it raises for op "raise" (given the request's text t): the expression, and how the traceback ends.
RAISED = {
    "ValueError(t)": lambda t: f"ValueError: {t}\n",
    "KeyError(t)": lambda t: f"KeyError: {t!r}\n",
    "SystemExit(t)": lambda t: f"SystemExit: {t}\n",
    "KeyboardInterrupt(t)": lambda t: f"KeyboardInterrupt: {t}\n",
    "UnprintableError(t)": lambda t: "UnprintableError: <exception str() failed>\n",
}

HOST_SOURCE = """
import gc, json, resource, sys, time
sys.path.insert(0, {tests!r})
from helpers.memory import live_resident_bytes, resident_bytes
from zanthe import _agent

class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("no text")

GARBAGE = {garbage}
RAISED = {raised}
calls = 0

def nesting(value):
    depth = 0
    while isinstance(value, list):
        depth, value = depth + 1, value[0] if value else None
    return depth

def memory_figures():
    rss = resident_bytes()
    gc.collect()  # garbage in reference cycles (tracebacks) is not leaked, only not yet freed
    return "rss=%d live=%d blocks=%d" % (rss, live_resident_bytes(), sys.getallocatedblocks())

def dispatch(name, args):
    global calls
    calls += 1
    if name == "memory":
        return 0, memory_figures()
    op = args["op"]
    if op == "echo":
        return args.get("code", 0), args["text"]
    if op == "raise":
        t = args["text"]
        raise RAISED[args["kind"]](t)
    if op == "garbage":
        return GARBAGE[args["kind"]]()
    if op == "nesting":
        return 0, str(nesting(args["value"]))
    if op == "size":
        return 0, str(len(args["value"]))
    if op == "repeat":
        return 0, args.get("head", "") + args["text"] * args["times"] + args.get("tail", "")
    if op == "sleep":
        time.sleep(args["ms"] / 1000)
        return 0, "slept"
    raise LookupError(op)

for _ in range(200):  # the first measurements allocate for good
    memory_figures()
refcount_before = sys.getrefcount(dispatch)
returned = _agent.serve_stdio({tools!r}, dispatch, {name!r}, {version!r})
refcount_after = sys.getrefcount(dispatch)
print("SOAK " + json.dumps({{
    "returned": returned, "calls": calls, "rss_after_serving": resident_bytes(),
    "peak_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
    "refcount_before": refcount_before, "refcount_after": refcount_after,
}}), file=sys.stderr)
"""


def host_source() -> str:
    garbage = "{" + ", ".join(f"{expr!r}: lambda: {expr}" for expr in GARBAGE) + "}"
    raised = "{" + ", ".join(f"{expr!r}: lambda t: {expr}" for expr in RAISED) + "}"
    return HOST_SOURCE.format(
        tests=str(TESTS), garbage=garbage, raised=raised, tools=TOOLS, name=SERVER_NAME, version=SERVER_VERSION
    )


# --- what a response must be -------------------------------------------------------------------

Check = Callable[[dict], bool]


@dataclass
class Line:
    kind: str
    data: bytes
    expected: dict | Check | None  # the response (or a test of it); None: no response at all
    reaches_host: bool = False


def response(request_id: Any, body: dict) -> dict:
    return {"jsonrpc": "2.0", "id": request_id, "result": body}


def error(request_id: Any, code: int, message: str) -> dict:
    return {"jsonrpc": "2.0", "id": request_id, "error": {"code": code, "message": message}}


PARSE_ERROR = error(None, -32700, "Parse error")


HANDSHAKE_VERSIONS = ("2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25")


def agreed_version(proposed: str) -> str:
    """The version a server answers a proposal with: the proposal when it speaks it, else its latest."""
    return proposed if proposed in HANDSHAKE_VERSIONS else HANDSHAKE_VERSIONS[-1]


def initialize_result(version: str) -> dict:
    return {
        "protocolVersion": version,
        "capabilities": {"tools": {"listChanged": False}},
        "serverInfo": {"name": SERVER_NAME, "version": SERVER_VERSION},
    }


def text_result(request_id: Any, text: str, is_error: bool = False, **extra: Any) -> dict:
    return response(request_id, {"content": [{"type": "text", "text": text}], "isError": is_error, **extra})


def tool_result_check(request_id: Any, accept: Callable[[str], bool], is_error: bool = False, **extra: Any) -> Check:
    """A text result of `request_id` whose text `accept` takes (for texts known only in part)."""

    def check(got: dict) -> bool:
        try:
            text = got["result"]["content"][0]["text"]
        except (KeyError, IndexError, TypeError):
            return False
        return got == text_result(request_id, text, is_error, **extra) and accept(text)

    check.request_id = request_id  # type: ignore[attr-defined]
    return check


def answer_id(expected: dict | Check) -> Any:
    return expected.request_id if callable(expected) else expected["id"]  # type: ignore[union-attr]


def encode(message: Any) -> bytes:
    """One request line; str values holding surrogate escapes become the raw (invalid) bytes."""
    return json.dumps(message, ensure_ascii=False, separators=(",", ":")).encode("utf-8", "surrogateescape")


def decode(line: bytes) -> dict:
    return json.loads(line.decode("utf-8", "surrogateescape"))


# Byte sequences none of whose bytes belongs to well-formed UTF-8, as surrogate escapes.
INVALID_UTF8 = [
    raw.decode("utf-8", "surrogateescape")
    for raw in (b"\xff", b"\x80", b"\xc3", b"\xc3(", b"\xe2\x82", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf")
]
ECHO_REPLACEMENTS = {0xDC80 + low: "\ufffd" for low in range(128)}


def echoed(text: str) -> str:
    """Request text as responses echo it: each byte outside well-formed UTF-8 becomes U+FFFD, so
    every response decodes."""
    return text.translate(ECHO_REPLACEMENTS)


TEXTS = ["plain", "Müller", "雪 ☃", "tab\there", 'quote " and \\ backslash', "cr\rlf\n", "\b\f", "x" * 300, ""]


# --- the mix -------------------------------------------------------------------------------------


@dataclass
class Mix:
    """Makes the lines from one seed: first one of every kind (huge ones at their largest), then
    kinds drawn by weight."""

    seed: int
    rng: random.Random = field(init=False)
    next_number: int = 0
    touring: bool = False

    def __post_init__(self) -> None:
        self.rng = random.Random(self.seed)

    # ids: unique per request, in every form the server echoes
    def new_id(self) -> Any:
        self.next_number += 1
        n = self.next_number
        form = self.rng.randrange(8)
        if form == 0:
            return f"s{n}"
        if form == 1:
            return f'q"\\{n}'
        if form == 2:
            return n + 0.5
        if form == 3:
            return -n
        if form == 4:
            return 2**62 + n
        return n

    def text(self) -> str:
        return f"{self.rng.choice(TEXTS)} {self.next_number}"

    def huge_size(self) -> int:
        return HUGE_SIZES[-1] if self.touring else self.rng.choice(HUGE_SIZES)

    def call(self, arguments: dict | None, name: str = "act") -> tuple[Any, bytes]:
        request_id = self.new_id()
        params: dict[str, Any] = {"name": name}
        if arguments is not None:
            params["arguments"] = arguments
        return request_id, encode({"jsonrpc": "2.0", "id": request_id, "method": "tools/call", "params": params})

    # valid tool calls
    def echo(self) -> Line:
        text, code = self.text(), self.rng.choice([0, 0, 0, 1, -1, 2**31 - 1, -(2**31)])
        request_id, data = self.call({"op": "echo", "text": text, "code": code})
        return Line("echo", data, text_result(request_id, text, code != 0), True)

    def rendered(self) -> Line:
        """Outputs that render as structured content or as an image block, or just miss that."""
        variant = self.rng.randrange(4)
        if variant == 0:
            value = {"n": self.next_number, "s": self.text(), "l": [1, 2.5, None, True]}
            text = f" \n{json.dumps(value)}\t\r\n"
            extra = {"structuredContent": value}
        elif variant == 1:
            text, extra = '{"a":1} {"b":2}', {}
        elif variant == 2:
            text, extra = '{"s":"}"}', {"structuredContent": {"s": "}"}}
        else:
            request_id, data = self.call({"op": "echo", "text": "data:image/png;x=1;base64,iVBORw0K\r\n"})
            image = {"type": "image", "mimeType": "image/png;x=1", "data": "iVBORw0K"}
            return Line("rendered", data, response(request_id, {"content": [image], "isError": False}), True)
        request_id, data = self.call({"op": "echo", "text": text})
        return Line("rendered", data, text_result(request_id, text, **extra), True)

    def no_arguments(self) -> Line:
        # Without "arguments" the host gets None and fails on it: a traceback, and serving goes on.
        request_id, data = self.call(None)
        return Line("no_arguments", data, tool_result_check(request_id, lambda t: t.startswith(TRACEBACK_START)
                                                             and t.endswith("not subscriptable\n"), True), True)

    def nested(self) -> Line:
        deepest = READER_DEPTH_BOUND - ENVELOPE_DEPTH
        depth = deepest if self.touring else self.rng.randrange(1, deepest + 1)
        request_id, data = self.call({"op": "nesting", "value": [0]})
        data = data.replace(b"[0]", b"[" * depth + b"0" + b"]" * depth)
        return Line("nested", data, text_result(request_id, str(depth)), True)

    def big(self) -> Line:
        """Past the host's read buffer, short of the line arena."""
        size = self.rng.randrange(64 << 10, 900 << 10)
        request_id, data = self.call({"op": "size", "value": "b" * size})
        return Line("big", data, text_result(request_id, str(size)), True)

    def slow(self) -> Line:
        request_id, data = self.call({"op": "sleep", "ms": self.rng.randrange(1, 6)})
        return Line("slow", data, text_result(request_id, "slept"), True)

    # host callables that fail
    def raising(self) -> Line:
        kind, text = self.rng.choice(list(RAISED)), self.text()
        ending = RAISED[kind](text)
        request_id, data = self.call({"op": "raise", "kind": kind, "text": text})
        accept = lambda t: t.startswith(TRACEBACK_START) and t.endswith(ending)  # noqa: E731
        return Line("raising", data, tool_result_check(request_id, accept, True), True)

    def garbage(self) -> Line:
        kind = self.rng.choice(list(GARBAGE))
        request_id, data = self.call({"op": "garbage", "kind": kind})
        return Line("garbage", data, text_result(request_id, GARBAGE[kind], True), True)

    # other methods
    def ping(self) -> Line:
        request_id = self.new_id()
        data = encode({"jsonrpc": "2.0", "id": request_id, "method": "ping"})
        return Line("ping", data + self.rng.choice([b"", b"\r", b" trailing text"]), response(request_id, {}))

    def tools_list(self) -> Line:
        request_id = self.new_id()
        data = encode({"jsonrpc": "2.0", "id": request_id, "method": "tools/list", "params": {}})
        return Line("tools_list", data, response(request_id, {"tools": TOOL_DEFINITIONS}))

    def initialize(self) -> Line:
        request_id, proposed = self.new_id(), self.rng.choice(["2025-06-18", "2024-11-05", "1999-01-01", "", 7, None])
        params = {"protocolVersion": proposed, "capabilities": {}, "clientInfo": {"name": "soak"}}
        data = encode({"jsonrpc": "2.0", "id": request_id, "method": "initialize", "params": params})
        version = agreed_version(proposed) if isinstance(proposed, str) and proposed else DEFAULT_PROTOCOL_VERSION
        return Line("initialize", data, response(request_id, initialize_result(version)))

    def unknown_method(self) -> Line:
        request_id, method = self.new_id(), self.rng.choice(["Ping", "tools/List", "resources/list", "x" * 2000])
        data = encode({"jsonrpc": "2.0", "id": request_id, "method": method})
        return Line("unknown_method", data, error(request_id, -32601, "method not found"))

    def unknown_tool(self) -> Line:
        name = self.rng.choice(["nope", 'quote"d', "ACT", "act ", ""]) + str(self.next_number)
        request_id, data = self.call({"op": "echo", "text": "never"}, name=name)
        return Line("unknown_tool", data, error(request_id, -32602, f"unknown tool {name}"))

    def missing_name(self) -> Line:
        request_id = self.new_id()
        params = self.rng.choice([{}, {"name": 5}, {"arguments": {}}, [], "act", None])
        message = {"jsonrpc": "2.0", "id": request_id, "method": "tools/call", "params": params}
        if params is None:
            del message["params"]
        return Line("missing_name", encode(message), error(request_id, -32602, "missing tool name"))

    # lines that get no answer
    def notification(self) -> Line:
        method, params = self.rng.choice([
            ("ping", None), ("tools/list", None), ("notifications/initialized", None),
            ("notifications/cancelled", {"requestId": 1}), ("resources/list", None),
            ("tools/call", {"name": "act", "arguments": {"op": "raise", "kind": "ValueError(t)", "text": "x"}}),
        ])  # fmt: skip
        message = {"jsonrpc": "2.0", "method": method} | ({"params": params} if params else {})
        return Line("notification", encode(message), NO_RESPONSE)

    def initialized_with_id(self) -> Line:
        data = encode({"jsonrpc": "2.0", "id": self.new_id(), "method": "notifications/initialized"})
        return Line("initialized_with_id", data, NO_RESPONSE)

    def initialize_notification(self) -> Line:
        data = encode({"jsonrpc": "2.0", "method": "initialize"})
        return Line("initialize_notification", data, response(None, initialize_result(DEFAULT_PROTOCOL_VERSION)))

    def not_a_request(self) -> Line:
        data = self.rng.choice([
            b"[1,2]", b"[]", b"{}", b"5", b'"text"', b"null", b"truex", b"-0",
            b'{"id":1}', b'{"id":2,"method":7}', b'{"jsonrpc":"2.0","id":3,"method":null}',
            b'[{"jsonrpc":"2.0","id":4,"method":"ping"}]', b"",
        ])  # fmt: skip
        return Line("not_a_request", data, NO_RESPONSE)

    # lines answered with a parse error
    def malformed(self) -> Line:
        whole = encode({"jsonrpc": "2.0", "id": self.new_id(), "method": "ping"})
        variant = self.rng.randrange(7)
        if variant == 0:
            data = whole[: self.rng.randrange(1, len(whole))]
        elif variant == 1:
            data = whole[:-1] + b",}"
        elif variant == 2:
            data = b"{id:1,method:'ping'}"
        elif variant == 3:
            data = self.rng.choice([b" ", b"\r", b"\t \t", b"   \r"])
        elif variant == 4:
            data = self.rng.choice([b"x", b"@", b"}", b"]", b":", b",", b"tru", b"nul", b"-", b"-a", b"1e"])
        elif variant == 5:
            data = b'{"id":' + b"1." + b"0" * 62 + b',"method":"ping"}'  # a 64-byte number token
        else:
            data = b'{"id":1,"method":"ping","params":{"a":[1,2,}}}'
        return Line("malformed", data, PARSE_ERROR)

    def too_deep(self) -> Line:
        depth = READER_DEPTH_BOUND - ENVELOPE_DEPTH + (1 if self.touring else self.rng.randrange(1, 100))
        _, data = self.call({"op": "nesting", "value": [0]})
        return Line("too_deep", data.replace(b"[0]", b"[" * depth + b"0" + b"]" * depth), PARSE_ERROR)

    def very_deep(self) -> Line:
        depth = self.rng.randrange(50_000, 200_000)
        data = self.rng.choice([b"[" * depth, b"[" * depth + b"]" * depth, b'{"a":' * depth + b"1" + b"}" * depth])
        return Line("very_deep", data, PARSE_ERROR)

    # invalid UTF-8
    def invalid_utf8(self) -> Line:
        bad = self.rng.choice(INVALID_UTF8)
        variant = self.rng.randrange(7)
        if variant in (0, 1):
            # In the arguments: decoding them fails before the host is called.
            arguments = {"op": "echo", "text": f"a{bad}b"} if variant == 0 else {"op": "echo", f"k{bad}": 1}
            request_id, data = self.call(arguments)
            accept = lambda t: t.startswith("zanthe.mcp: ") and "UnicodeDecodeError" in t  # noqa: E731
            return Line("invalid_utf8", data, tool_result_check(request_id, accept, True))
        if variant == 2:
            name = f"act{bad}"
            request_id, data = self.call({"op": "echo", "text": "never"}, name=name)
            return Line("invalid_utf8", data, error(request_id, -32602, f"unknown tool {echoed(name)}"))
        if variant == 3:
            request_id = self.new_id()
            data = encode({"jsonrpc": "2.0", "id": request_id, "method": f"ping{bad}"})
            return Line("invalid_utf8", data, error(request_id, -32601, "method not found"))
        if variant == 4:
            request_id = f"id{bad}{self.new_id()}"
            data = encode({"jsonrpc": "2.0", "id": request_id, "method": "ping"})
            return Line("invalid_utf8", data, response(echoed(request_id), {}))
        if variant == 5:
            request_id, version = self.new_id(), f"2025{bad}"
            params = {"protocolVersion": version}
            data = encode({"jsonrpc": "2.0", "id": request_id, "method": "initialize", "params": params})
            return Line("invalid_utf8", data, response(request_id, initialize_result(agreed_version(version))))
        raw = bad.encode("utf-8", "surrogateescape")
        return Line("invalid_utf8", b'{"id":1,' + raw + b'"method":"ping"}', PARSE_ERROR)

    # huge lines and results (rare)
    def huge_string(self) -> Line:
        size = self.huge_size()
        request_id, data = self.call({"op": "size", "value": "h" * size})
        return Line("huge_string", data, text_result(request_id, str(size)), True)

    def huge_array(self) -> Line:
        """Many small values: the line arena runs out and the larger one is taken."""
        count = self.huge_size() // 2
        request_id, data = self.call({"op": "size", "value": [0]})
        data = data.replace(b"[0]", b"[" + b"1," * (count - 1) + b"1]")
        return Line("huge_array", data, text_result(request_id, str(count)), True)

    def huge_garbage(self) -> Line:
        size = self.huge_size()
        data = self.rng.choice([b"x" * size, b'{"id":1,"method":"' + b"m" * size, b"[" + b"1," * (size // 2)])
        return Line("huge_garbage", data, PARSE_ERROR)

    def huge_output(self) -> Line:
        times = self.huge_size() // 4
        request_id, data = self.call({"op": "repeat", "text": "yé\n\"", "times": times})
        accept = lambda t: len(t) == 4 * times and t == "yé\n\"" * times  # noqa: E731
        return Line("huge_output", data, tool_result_check(request_id, accept), True)

    def huge_json_output(self) -> Line:
        """An object output: structured content up to the size limit (inclusive), a text block past it."""
        head, tail = '{"k":"', '"}'
        times = self.rng.choice([MiB, STRUCTURED_CONTENT_LIMIT - len(head) - len(tail)]) + self.rng.randrange(2)
        request_id, data = self.call({"op": "repeat", "head": head, "text": "z", "times": times, "tail": tail})
        text = head + "z" * times + tail
        extra = {"structuredContent": {"k": "z" * times}} if len(text) <= STRUCTURED_CONTENT_LIMIT else {}
        return Line("huge_json_output", data, tool_result_check(request_id, text.__eq__, **extra), True)

    def memory_probe(self) -> Line:
        request_id, data = self.call(None, name="memory")
        return Line("memory", data, tool_result_check(request_id, lambda t: t.startswith("rss=")), True)

    def lines(self, count: int, probe_after: set[int]) -> Iterator[Line]:
        """`count` lines, and a memory probe after each line whose number is in `probe_after`."""
        kinds, weights = list(KINDS), list(KINDS.values())
        for made in range(1, count + 1):
            self.touring = made <= len(kinds)
            kind = kinds[made - 1] if self.touring else self.rng.choices(kinds, weights)[0]
            yield getattr(self, kind)()
            if made in probe_after:
                yield self.memory_probe()


# Relative frequencies; the huge kinds come to about 150 lines in a million.
KINDS = {
    "echo": 30, "rendered": 3, "no_arguments": 0.5, "nested": 1, "big": 0.03, "slow": 0.05,
    "raising": 6, "garbage": 6,
    "ping": 8, "tools_list": 3, "initialize": 2, "unknown_method": 3, "unknown_tool": 2, "missing_name": 2,
    "notification": 8, "initialized_with_id": 1, "initialize_notification": 0.5, "not_a_request": 3,
    "malformed": 9, "too_deep": 1.5, "very_deep": 0.02, "invalid_utf8": 5,
    "huge_string": 0.003, "huge_array": 0.003, "huge_garbage": 0.003, "huge_output": 0.003, "huge_json_output": 0.003,
}  # fmt: skip


# --- the run -------------------------------------------------------------------------------------


@dataclass(frozen=True, order=True)
class Probe:
    """The host's memory after some line: resident, resident once free pages are trimmed, Python blocks."""

    line: int
    resident: int
    live: int
    blocks: int


@dataclass
class Report:
    lines: int
    seed: int
    seconds: float = 0.0
    bytes_written: int = 0
    responses: int = 0
    expected_responses: int = 0
    expected_host_calls: int = 0
    kinds: collections.Counter = field(default_factory=collections.Counter)
    mismatches: list[str] = field(default_factory=list)
    mismatch_count: int = 0
    probes: list[Probe] = field(default_factory=list)
    host: dict = field(default_factory=dict)  # what the host printed after serving
    exit_status: int | None = None
    stderr_tail: str = ""

    def mismatch(self, text: str) -> None:
        self.mismatch_count += 1
        if len(self.mismatches) < 20:
            self.mismatches.append(text)

    @property
    def live_growth(self) -> int:
        return self.probes[-1].live - self.probes[0].live

    @property
    def blocks_growth(self) -> int:
        return self.probes[-1].blocks - self.probes[0].blocks

    def problems(self, live_growth_limit: int | None, blocks_growth_limit: int) -> list[str]:
        found = [f"{self.mismatch_count} wrong, missing or extra responses", *self.mismatches]
        found = found if self.mismatch_count else []
        if self.responses != self.expected_responses:
            found.append(f"{self.responses} responses for {self.expected_responses} requests")
        if self.exit_status != 0 or self.host.get("returned") != 0:
            found.append(f"host exit status {self.exit_status}, serve_stdio gave {self.host.get('returned')}: "
                         f"{self.stderr_tail}")
        if self.host.get("calls") != self.expected_host_calls:
            found.append(f"host called {self.host.get('calls')} times for {self.expected_host_calls} tool calls")
        if self.host.get("refcount_before") != self.host.get("refcount_after"):
            found.append(f"callable's reference count {self.host.get('refcount_before')} before serving, "
                         f"{self.host.get('refcount_after')} after")
        if len(self.probes) < 2:
            found.append("no memory figures from the host")
        else:
            if live_growth_limit is not None and self.live_growth > live_growth_limit:
                found.append(f"live resident memory grew by {self.live_growth} bytes after the warm-up")
            if self.blocks_growth > blocks_growth_limit:
                found.append(f"the host's Python blocks grew by {self.blocks_growth} after the warm-up")
        return found

    def summary(self) -> str:
        rows = [
            ("lines", f"{self.lines:,} (seed {self.seed}), {self.bytes_written / MiB:,.0f} MiB"),
            ("seconds", f"{self.seconds:.1f}"),
            ("responses", f"{self.responses:,} for {self.expected_responses:,} requests"),
            ("host calls", f"{self.host.get('calls')} for {self.expected_host_calls} tool calls"),
            ("exit status", f"{self.exit_status}, serve_stdio returned {self.host.get('returned')}"),
            ("refcount", f"{self.host.get('refcount_before')} before, {self.host.get('refcount_after')} after"),
        ]
        rows += [(f"memory @{p.line:,}", f"{p.resident / MiB:6.2f} MiB resident, {p.live / MiB:6.2f} MiB live, "
                                         f"{p.blocks:,} blocks") for p in self.probes]
        if self.probes:
            first, last = self.probes[0], self.probes[-1]
            rows.append(("growth", f"{(last.resident - first.resident) / 1024:+,.0f} KiB resident, "
                                   f"{self.live_growth / 1024:+,.0f} KiB live, {self.blocks_growth:+,} blocks"))
        rows.append(("after serving", f"{self.host.get('rss_after_serving', 0) / MiB:.2f} MiB resident, "
                                      f"peak {self.host.get('peak_rss', 0) / MiB:.2f} MiB"))
        rows.append(("kinds", ", ".join(f"{k} {n:,}" for k, n in sorted(self.kinds.items()))))
        return "\n".join(f"{name:>16}: {value}" for name, value in rows)


def shorten(value: Any) -> str:
    text = repr(value)
    return text if len(text) < 300 else text[:200] + f"... ({len(text):,} chars)"


def matches(expected: dict | Check, got: dict) -> bool:
    return expected(got) if callable(expected) else got == expected


def describe(expected: dict | Check) -> str:
    return f"a text result with id {answer_id(expected)!r}" if callable(expected) else shorten(expected)


Pending = collections.deque[tuple[int, str, dict | Check]]  # (line number, kind, expected response)
RESYNC_WINDOW = 64


def settle(report: Report, pending: Pending, got: dict) -> tuple[int, str]:
    """Pairs a response with the line it answers, normally the oldest unanswered one, and records
    what is wrong: a response that fits a later line means the lines before it went unanswered; one
    that fits none is extra unless it carries the oldest line's id (then its content is wrong).
    Returns the line's number and kind, or (0, "") for an extra response."""
    for offset in range(min(RESYNC_WINDOW, len(pending))):
        number, kind, expected = pending[offset]
        if matches(expected, got):
            for _ in range(offset):
                missed, missed_kind, _ = pending.popleft()
                report.mismatch(f"line {missed} ({missed_kind}) got no response")
            pending.popleft()
            return number, kind
    if pending and got.get("id", ...) == answer_id(pending[0][2]):
        number, kind, expected = pending.popleft()
        report.mismatch(f"line {number} ({kind}): expected {describe(expected)}, got {shorten(got)}")
        return number, ""
    report.mismatch(f"response {report.responses} answers nothing sent: {shorten(got)}")
    return 0, ""


def run_soak(count: int, seed: int = 1, warmup: int | None = None, timeout: float = 3600,
             mix_type: type[Mix] = Mix) -> Report:
    """Serves `count` lines (plus memory probes) and checks every response; see the module doc."""
    warmup = warmup or max(len(KINDS) + 1_000, count // 20)
    probe_after = {warmup} | {count * k // 10 for k in range(1, 10) if count * k // 10 > warmup}
    report = Report(count, seed)
    pending: Pending = collections.deque()
    mix = mix_type(seed)
    started = time.monotonic()
    with tempfile.TemporaryFile() as stderr:
        host = subprocess.Popen([sys.executable, "-P", "-c", host_source()], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=stderr, bufsize=1 << 16)
        assert host.stdin and host.stdout

        def expect(number: int, line: Line) -> None:
            report.kinds[line.kind] += 1
            report.expected_host_calls += line.reaches_host
            if line.expected is not NO_RESPONSE:
                report.expected_responses += 1
                pending.append((number, line.kind, line.expected))

        def write() -> None:
            number = 0
            try:
                for number, line in enumerate(mix.lines(count, probe_after), 1):
                    expect(number, line)  # before the line goes out, so the reader finds it
                    host.stdin.write(line.data + b"\n")
                    report.bytes_written += len(line.data) + 1
                last = mix.memory_probe()  # the end of input cuts the last line short of its line feed
                expect(number + 1, last)
                host.stdin.write(last.data)
                report.bytes_written += len(last.data)
            except Exception as failure:  # the host is gone, or the mix is broken: either way, stop
                report.mismatch(f"writing stopped after line {number}: {failure!r}")
            finally:
                with contextlib.suppress(OSError, ValueError):
                    host.stdin.close()

        def read() -> None:
            for raw in host.stdout:
                report.responses += 1
                try:
                    got = decode(raw)
                    number, kind = settle(report, pending, got)
                    if kind == "memory":
                        figures = dict(item.split("=") for item in got["result"]["content"][0]["text"].split())
                        report.probes.append(Probe(number, *(int(figures[k]) for k in ("rss", "live", "blocks"))))
                except Exception as failure:  # keep draining, or the host blocks on a full pipe
                    report.mismatch(f"response {report.responses} ({shorten(raw)}) could not be checked: {failure!r}")

        threads = [threading.Thread(target=write, daemon=True), threading.Thread(target=read, daemon=True)]
        for thread in threads:
            thread.start()
        try:
            for thread in threads:
                thread.join(max(1.0, timeout - (time.monotonic() - started)))
            report.exit_status = host.wait(timeout=max(1.0, timeout - (time.monotonic() - started)))
        except subprocess.TimeoutExpired:
            report.mismatch(f"the host did not finish within {timeout} s")
        finally:
            host.kill()
            host.wait()
        report.seconds = time.monotonic() - started
        for number, kind, _ in list(pending)[:5]:
            report.mismatch(f"line {number} ({kind}) got no response")
        report.mismatch_count += max(0, len(pending) - 5)
        stderr.seek(0)
        text = stderr.read().decode(errors="replace")
    report.stderr_tail = text[-2000:]
    for line in text.splitlines():
        if line.startswith("SOAK "):
            report.host = json.loads(line[5:])
    report.probes.sort()
    return report


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lines", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--warmup", type=int, default=None, help="lines before the first memory figure")
    parser.add_argument("--live-growth-limit", type=int, default=4 * MiB)
    parser.add_argument("--blocks-growth-limit", type=int, default=1_000)
    options = parser.parse_args()
    sys.path.insert(0, str(TESTS))
    import conftest  # noqa: F401  the module path of a test session, for the host as well

    report = run_soak(options.lines, options.seed, options.warmup)
    print(report.summary())
    problems = report.problems(options.live_growth_limit, options.blocks_growth_limit)
    for problem in problems:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

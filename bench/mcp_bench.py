"""MCP tool calls over stdio pipes: zanthe._agent.serve_stdio against the official MCP Python SDK.

    python bench/mcp_bench.py [--build-dir build/mcpbench] [--quick] [--json PATH]

Three servers, each a child process serving one echo tool (argument {"text": str}, result the text):
zanthe's serve_stdio with a Python dispatch; the SDK's low-level Server (list/call handlers over its
stdio transport); the SDK's FastMCP (`@mcp.tool() def echo(text: str) -> str`, run over stdio; the
class is MCPServer from mcp 2 on). The peers live in mcp_peers.py.

One client drives all three: ours, raw JSON lines over the pipes (initialize, the initialized
notification, then tools/call requests, responses matched by id). It measures
- latency: one request at a time, p50 and p99 in microseconds over many calls after a warm-up; once
  as the system schedules the processes, once with the client and the server (all its threads) on
  one CPU. On an idle virtual machine a wake-up on the other CPU costs tens of microseconds, which
  the first figure includes and the second leaves out;
- pipelined: a writer thread writes the requests back to back while the reader counts responses,
  in calls per second;
- growth: pipelined microseconds per call as the echo text grows by factors of 10 (10 B to 100 KB).
Before timing, the SDK's own client (ClientSession over stdio_client) calls echo once on each server
and the note says whether all three answered with the same text. The last column, "pipes only", is
`cat` echoing each request line back under the same client: the floor that pipes, process switches
and this client set, below which no server can go.

The two protocol eras: one host program serving the echo tool through `_agent.Service(...).serve_stdio()`,
started twice, since the first request fixes a stdio connection's era. One process is driven in the
handshake era (initialize, then plain tools/call), the other with every tools/call carrying the
2026-07-28 envelope (params._meta with the protocol version and the client capabilities, no
initialize); pipelined 10 B calls per second of each, in turn within every round. The SDK's
`mcp.Client` checks both first, in mode "legacy" and mode "2026-07-28".

--host prints the zanthe host program and --lines SIZE,COUNT a whole session (initialize, then COUNT
echo calls of SIZE bytes), to profile the server alone, for example
    python bench/mcp_bench.py --build-dir build/bench --host > /tmp/host.py
    python bench/mcp_bench.py --lines 100000,100 > /tmp/calls.jsonl
    valgrind --tool=callgrind --toggle-collect='zanthe::agent::McpService::answer*' \\
        python -P /tmp/host.py < /tmp/calls.jsonl > /dev/null
(--host service and --lines SIZE,COUNT,modern do the same for the two-era service and the 2026-07-28
envelope.)

Figures are the best of several rounds, with the three servers measured in turn in every round, so a
passing load on this machine hits all of them alike. Nothing here asserts on time.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import os
import platform
import subprocess
import sys
import tempfile
import threading
import time
from importlib.metadata import version
from pathlib import Path

from common import machine, module_origin

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent

ECHO_DEFINITION = json.dumps({
    "name": "echo",
    "description": "Return the text unchanged.",
    "inputSchema": {"type": "object", "properties": {"text": {"type": "string"}}, "required": ["text"]},
}, separators=(",", ":"))  # fmt: skip

ZANTHE_HOST = """
import sys
{prelude}
from zanthe import _agent

def dispatch(name, args):
    return 0, args["text"]

sys.exit(_agent.serve_stdio([("echo", {definition!r}, "")], dispatch))
"""

ZANTHE_SERVICE_HOST = """
import sys
{prelude}
from zanthe import _agent

def call_tool(name, args, call):
    return 0, args["text"]

sys.exit(_agent.Service([("echo", {definition!r}, "")], call_tool, "mcp_bench", "1").serve_stdio())
"""
ERAS = ("2026-07-28 envelope", "handshake era")
ERA_ROUNDS = 5  # short rounds: more of them, as handing calls to the service's workers makes rates vary

PEERS = ("SDK lowlevel", "FastMCP")
FLOOR = "pipes only"  # cat echoing each request line: the cost of the pipes and of this client alone
SERVERS = ("zanthe", *PEERS, FLOOR)
GROWTH_SIZES = (10, 100, 1_000, 10_000, 100_000)
CHECK_TEXT = 'Grüße, "quoted"\\ tab\t and\nline'
READ_CHUNK = 1 << 20
WRITE_CHUNK = 1 << 16
MAX_PIPELINED_BYTES = 64 << 20


def import_zanthe(build_dir: str | None):
    if build_dir:
        sys.path.insert(0, str(ROOT))
        import zanthe

        zanthe.__path__.insert(0, str((ROOT / build_dir / "zanthe").resolve()))
    import zanthe
    from zanthe import _agent

    return zanthe, _agent


def zanthe_prelude(build_dir: str | None) -> str:
    """Imports zanthe from this checkout with the extension modules of a build tree first."""
    if not build_dir:
        return ""
    package = (ROOT / build_dir / "zanthe").resolve()
    return f"sys.path.insert(0, {str(ROOT)!r})\nimport zanthe\nzanthe.__path__.insert(0, {str(package)!r})"


def service_command(build_dir: str | None) -> list[str]:
    """The two-era host: zanthe's `_agent.Service` over stdio."""
    return [sys.executable, "-P", "-c", ZANTHE_SERVICE_HOST.format(prelude=zanthe_prelude(build_dir),
                                                                   definition=ECHO_DEFINITION)]


def server_commands(build_dir: str | None) -> dict[str, list[str]]:
    host = ZANTHE_HOST.format(prelude=zanthe_prelude(build_dir), definition=ECHO_DEFINITION)
    peers = str(BENCH / "mcp_peers.py")
    return {
        "zanthe": [sys.executable, "-P", "-c", host],
        "SDK lowlevel": [sys.executable, "-P", peers, "lowlevel"],
        "FastMCP": [sys.executable, "-P", peers, "fastmcp"],
        FLOOR: ["cat"],
    }


INITIALIZE = json.dumps({
    "jsonrpc": "2.0", "id": 0, "method": "initialize",
    "params": {"protocolVersion": "2025-06-18", "capabilities": {},
               "clientInfo": {"name": "mcp_bench", "version": "1"}},
}, separators=(",", ":")).encode() + b"\n"  # fmt: skip
INITIALIZED = b'{"jsonrpc":"2.0","method":"notifications/initialized"}\n'


MODERN_META = (
    b'"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",'
    b'"io.modelcontextprotocol/clientCapabilities":{}}'
)


def call_line(request_id: int, quoted_text: bytes) -> bytes:
    return (
        b'{"jsonrpc":"2.0","id":%d,"method":"tools/call","params":{"name":"echo","arguments":{"text":%s}}}\n'
        % (request_id, quoted_text)
    )


def modern_call_line(request_id: int, quoted_text: bytes) -> bytes:
    """A tools/call carrying the 2026-07-28 envelope, which needs no initialize before it."""
    return (
        b'{"jsonrpc":"2.0","id":%d,"method":"tools/call","params":{"name":"echo","arguments":{"text":%s},%s}}\n'
        % (request_id, quoted_text, MODERN_META)
    )


def response_id(line: bytes) -> int | None:
    """The id of a response line without parsing the whole line; None for a notification."""
    at = line.find(b'"id":')
    if at < 0:
        return None
    end = at + 5
    while end < len(line) and line[end : end + 1].isdigit():
        end += 1
    return int(line[at + 5 : end]) if end > at + 5 else -1  # -1: an id that no request of ours has


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:WRITE_CHUNK]) :]


class JsonLinesClient:
    """Raw JSON-RPC lines over a child's pipes, read in large chunks so the client costs little."""

    call_line = staticmethod(call_line)

    def __init__(self, name: str, argv: list[str]):
        self.name = name
        self.stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr, bufsize=0)
        self.to_server = self.proc.stdin.fileno()
        self.from_server = self.proc.stdout.fileno()
        self.pending = b""
        self.next_id = 1

    def start(self) -> None:
        write_all(self.to_server, INITIALIZE)
        answer = json.loads(self.read_responses(1)[0])
        if "result" not in answer:
            raise RuntimeError(f"{self.name}: initialize failed: {answer}")
        write_all(self.to_server, INITIALIZED)

    def take_ids(self, count: int) -> list[int]:
        first = self.next_id
        self.next_id += count
        return list(range(first, first + count))

    def receive(self, count: int) -> list[bytes]:
        """Reads until `count` lines are complete; split them off with `lines_of` (outside any timing)."""
        chunks, newlines = [self.pending], self.pending.count(b"\n")
        while newlines < count:
            chunk = os.read(self.from_server, READ_CHUNK)
            if not chunk:
                raise RuntimeError(f"{self.name} stopped answering: {self.stderr_tail()}")
            chunks.append(chunk)
            newlines += chunk.count(b"\n")
        return chunks

    def lines_of(self, chunks: list[bytes], count: int) -> list[bytes]:
        *lines, self.pending = b"".join(chunks).split(b"\n", count)
        return lines

    def read_lines(self, count: int) -> list[bytes]:
        return self.lines_of(self.receive(count), count)

    def read_responses(self, count: int) -> list[bytes]:
        """count response lines, skipping any notification the server sends between them."""
        responses: list[bytes] = []
        while len(responses) < count:
            responses += [line for line in self.read_lines(count - len(responses)) if response_id(line) is not None]
        return responses

    def echo_once(self, text: str) -> str:
        (request_id,) = self.take_ids(1)
        write_all(self.to_server, self.call_line(request_id, json.dumps(text).encode()))
        answer = json.loads(self.read_responses(1)[0])
        if answer.get("id") != request_id or "result" not in answer:
            raise RuntimeError(f"{self.name}: unexpected answer {str(answer)[:200]}")
        return answer["result"]["content"][0]["text"]

    def latencies_ns(self, quoted_text: bytes, calls: int) -> list[int]:
        lines = [self.call_line(i, quoted_text) for i in self.take_ids(calls)]
        samples, answers = [], []
        clock, write, receive = time.perf_counter_ns, self.to_server, self.receive
        for line in lines:
            start = clock()
            write_all(write, line)
            chunks = receive(1)
            samples.append(clock() - start)
            answers += self.lines_of(chunks, 1)
        self.check_answers(answers, lines)
        return samples

    def pipelined_seconds(self, quoted_text: bytes, calls: int) -> float:
        lines = [self.call_line(i, quoted_text) for i in self.take_ids(calls)]
        block = b"".join(lines)
        writer = threading.Thread(target=write_all, args=(self.to_server, block))
        start = time.perf_counter()
        writer.start()
        chunks = self.receive(calls)
        elapsed = time.perf_counter() - start
        writer.join()
        answers = self.lines_of(chunks, calls)
        self.check_answers(answers, lines)
        return elapsed

    def check_answers(self, answers: list[bytes], requests: list[bytes]) -> None:
        """Every request answered once with a result (the SDK may answer out of order)."""
        expected = sorted(response_id(line) for line in requests)
        if sorted(response_id(line) for line in answers) != expected or not all(b'"result":' in a for a in answers):
            bad = next((a for a in answers if b'"result":' not in a), answers[0])
            raise RuntimeError(f"{self.name}: answers do not match the requests, e.g. {bad[:200]!r}")

    def stderr_tail(self) -> str:
        self.stderr.seek(0)
        return self.stderr.read()[-2000:].decode(errors="replace")

    def close(self) -> None:
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.stderr.close()


class ModernClient(JsonLinesClient):
    """The 2026-07-28 era: no handshake, the envelope on every request."""

    call_line = staticmethod(modern_call_line)

    def start(self) -> None:
        pass


class PipeFloor(JsonLinesClient):
    """cat as the server: every answer is the request line itself, with no MCP handshake."""

    def start(self) -> None:
        pass

    def check_answers(self, answers: list[bytes], requests: list[bytes]) -> None:
        if answers != [line[:-1] for line in requests]:
            raise RuntimeError("cat did not echo the request lines")


# ---------------------------------------------------------------------------------------------------
# The SDK client's once-only check.


async def sdk_client_echo(argv: list[str], text: str) -> str:
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    server = StdioServerParameters(command=argv[0], args=argv[1:], env=dict(os.environ))
    async with stdio_client(server) as (read, write), ClientSession(read, write) as session:
        await session.initialize()
        result = await session.call_tool("echo", {"text": text})
        return result.content[0].text


def sdk_client_note(commands: dict[str, list[str]]) -> str:
    answers = {}
    for name, argv in commands.items():
        if name == FLOOR:
            continue
        try:
            answers[name] = asyncio.run(asyncio.wait_for(sdk_client_echo(argv, CHECK_TEXT), timeout=60))
        except Exception as error:  # a failing peer is reported, not fatal
            answers[name] = f"<{type(error).__name__}: {error}>"
    if all(answer == CHECK_TEXT for answer in answers.values()):
        return "SDK client (ClientSession over stdio_client): the same echo text from all three servers"
    return "SDK client answers DIFFER: " + "; ".join(f"{name}: {answer!r}" for name, answer in answers.items())


async def sdk_client_era_echo(argv: list[str], mode: str, text: str) -> str:
    from mcp import Client, StdioServerParameters

    server = StdioServerParameters(command=argv[0], args=argv[1:], env=dict(os.environ))
    async with Client(server, mode=mode) as client:
        result = await client.call_tool("echo", {"text": text})
        return result.content[0].text


def sdk_client_era_note(argv: list[str]) -> str:
    answers = {}
    for mode in ("legacy", "2026-07-28"):
        try:
            answers[mode] = asyncio.run(asyncio.wait_for(sdk_client_era_echo(argv, mode, CHECK_TEXT), timeout=60))
        except Exception as error:  # reported, not fatal
            answers[mode] = f"<{type(error).__name__}: {error}>"
    if all(answer == CHECK_TEXT for answer in answers.values()):
        return "SDK mcp.Client over stdio, mode legacy and mode 2026-07-28: the same echo text from the service"
    return "SDK client era answers DIFFER: " + "; ".join(f"{mode}: {answer!r}" for mode, answer in answers.items())


# ---------------------------------------------------------------------------------------------------
# Measurements.


def quoted(size: int) -> bytes:
    return json.dumps("x" * size).encode()


def percentile(sorted_samples: list[int], fraction: float) -> float:
    return sorted_samples[min(len(sorted_samples) - 1, int(fraction * len(sorted_samples)))] / 1e3


def set_affinity(pid: int, cpus: set[int]) -> None:
    """Every thread of `pid`: the SDK's servers read and write in threads of their own."""
    for thread in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(ProcessLookupError):
            os.sched_setaffinity(int(thread), cpus)


@contextlib.contextmanager
def on_one_cpu(pid: int):
    """This thread and every thread of process `pid` on one CPU for the duration."""
    everywhere = os.sched_getaffinity(0)
    one = {min(everywhere)}
    os.sched_setaffinity(0, one)
    set_affinity(pid, one)
    try:
        yield
    finally:
        set_affinity(pid, everywhere)
        os.sched_setaffinity(0, everywhere)


def pipelined_calls(client: JsonLinesClient, text: bytes, seconds: float) -> int:
    """Enough calls for one pipelined round to last about `seconds` (capped in bytes)."""
    calls = 32
    cap = max(32, MAX_PIPELINED_BYTES // len(client.call_line(0, text)))
    while calls < cap:
        elapsed = client.pipelined_seconds(text, calls)
        if elapsed >= seconds:
            break
        calls = min(cap, int(calls * min(16.0, 1.2 * seconds / max(elapsed, 1e-6))) + 1)
    return calls


class Bench:
    def __init__(self, clients: dict[str, JsonLinesClient], args):
        self.clients, self.args = clients, args

    def latency(self, one_cpu: bool) -> dict[str, tuple[float, float]]:
        """Best p50 and best p99 over the rounds, in microseconds; with one_cpu, client and each server
        share one CPU, so no answer waits for an idle CPU to wake."""
        text, best = quoted(10), {name: (float("inf"), float("inf")) for name in self.clients}
        for client in self.clients.values():
            client.latencies_ns(text, self.args.warmup)
        for _ in range(self.args.rounds):
            for name, client in self.clients.items():
                with on_one_cpu(client.proc.pid) if one_cpu else contextlib.nullcontext():
                    samples = sorted(client.latencies_ns(text, self.args.calls))
                p50, p99 = percentile(samples, 0.50), percentile(samples, 0.99)
                best[name] = (min(best[name][0], p50), min(best[name][1], p99))
        return best

    def pipelined_us(self, size: int) -> dict[str, float]:
        """Best microseconds per call over the rounds."""
        text = quoted(size)
        calls = {name: pipelined_calls(client, text, self.args.seconds) for name, client in self.clients.items()}
        best = {name: float("inf") for name in self.clients}
        for _ in range(self.args.rounds):
            for name, client in self.clients.items():
                best[name] = min(best[name], client.pipelined_seconds(text, calls[name]) / calls[name] * 1e6)
        return best

    def eras_per_second(self) -> dict[str, float]:
        """Pipelined 10 B calls per second of the two-era service in each era, best of the rounds."""
        return {era: 1e6 / us for era, us in self.pipelined_us(10).items()}

    def check_echo(self) -> None:
        for size in GROWTH_SIZES:
            for name, client in self.clients.items():
                if name != FLOOR and client.echo_once("x" * size) != "x" * size:
                    raise RuntimeError(f"{client.name} did not echo {size} B")


# ---------------------------------------------------------------------------------------------------
# Output.


def fmt(value: float, unit: str) -> str:
    return f"{value:,.0f}" if unit == "calls/s" or value >= 100 else f"{value:.1f}"


def ratio(ours: float, peer: float, unit: str) -> float:
    """Above 1 means zanthe is better: fewer microseconds or more calls per second."""
    return ours / peer if unit == "calls/s" else peer / ours


def print_table(rows: list[dict]) -> None:
    width = max(len(f"{row['case']} ({row['unit']})") for row in rows)
    header = f"{'zanthe':>10}  {'SDK lowlevel':>12}  {'ratio':>7}  {'FastMCP':>10}  {'ratio':>7}  {FLOOR:>10}"
    print(f"{'case':<{width}}  {header}")
    for row in rows:
        unit, ours = row["unit"], row["zanthe"]
        cells = [f"{row['case'] + ' (' + unit + ')':<{width}}", f"{fmt(ours, unit):>10}"]
        for peer, cell_width in zip(PEERS, (12, 10)):
            theirs = row["peers"][peer]
            cells += [f"{fmt(theirs, unit):>{cell_width}}", f"{ratio(ours, theirs, unit):>6.1f}x"]
        cells.append(f"{fmt(row['floor'], unit):>10}")
        print("  ".join(cells))


def size_label(size: int) -> str:
    return f"{size // 1000} KB" if size >= 1000 else f"{size} B"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("ZANTHE_BUILD_DIR"))
    parser.add_argument("--quick", action="store_true", help="a short smoke run (few calls, one round)")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--host", nargs="?", const="stdio", choices=("stdio", "service"),
                        help="print the zanthe host program (serve_stdio, or the two-era Service) and stop")
    parser.add_argument("--lines", metavar="SIZE,COUNT[,modern]",
                        help="print a session of COUNT echo calls (with the 2026-07-28 envelope: modern) and stop")
    args = parser.parse_args()
    if args.host or args.lines:
        print_profiling_input(args)
        return
    args.rounds, args.calls, args.warmup, args.seconds = (1, 100, 20, 0.02) if args.quick else (3, 2000, 300, 0.25)

    commands = server_commands(args.build_dir)
    zanthe, _agent = import_zanthe(args.build_dir)
    print(f"zanthe {zanthe.__version__} ({module_origin(_agent)})")
    print(f"mcp {version('mcp')}, Python {platform.python_version()}")
    print(f"machine: {machine()}")
    sdk_note = sdk_client_note(commands)

    clients = {name: (PipeFloor if name == FLOOR else JsonLinesClient)(name, argv) for name, argv in commands.items()}
    try:
        for client in clients.values():
            client.start()
        bench = Bench(clients, args)
        bench.check_echo()
        latency = bench.latency(one_cpu=False)
        latency_one_cpu = bench.latency(one_cpu=True)
        growth = {size: bench.pipelined_us(size) for size in GROWTH_SIZES}
    finally:
        for client in clients.values():
            client.close()
    eras, era_note = measure_eras(args, _agent)

    rows = [
        {"case": "latency p50", "unit": "us", **split(name_values(latency, 0))},
        {"case": "latency p99", "unit": "us", **split(name_values(latency, 1))},
        {"case": "latency p50, one CPU", "unit": "us", **split(name_values(latency_one_cpu, 0))},
        {"case": "latency p99, one CPU", "unit": "us", **split(name_values(latency_one_cpu, 1))},
        {"case": "pipelined 10 B", "unit": "calls/s", **split({n: 1e6 / us for n, us in growth[10].items()})},
    ]
    growth_rows = [
        {"case": f"pipelined {size_label(size)}", "unit": "us/call", **split(growth[size])} for size in GROWTH_SIZES
    ]
    print()
    print_table(rows + growth_rows)
    print(
        f"\nratio > 1: zanthe better (peer us / zanthe us; zanthe calls/s / peer calls/s). Best of {args.rounds} "
        f"round(s); latency over {args.calls} calls after {args.warmup} warm-up, text 10 B; pipelined rounds of "
        f"~{args.seconds} s. One raw JSON-lines client for all; {FLOOR}: cat echoing the requests. {sdk_note}."
    )
    print(growth_note(growth))
    era_rows = []
    if eras:
        era_rows = [{"case": "pipelined 10 B, zanthe Service over stdio, 2026-07-28 envelope against the handshake era",
                     "unit": "calls/s", "zanthe": eras[ERAS[0]], "peers": {ERAS[1]: eras[ERAS[1]]}}]
        print_era_table(eras)
    print(era_note)
    if args.json:
        growth_json = [
            {"series": f"{name if name != FLOOR else 'pipes only (cat)'} pipelined", "size": size,
             "per_call_us": growth[size][name]}
            for name in SERVERS
            for size in GROWTH_SIZES
        ]
        Path(args.json).write_text(json.dumps({"rows": rows + era_rows, "growth": growth_json}, indent=1) + "\n")


def measure_eras(args, _agent) -> tuple[dict[str, float] | None, str]:
    """Pipelined calls per second of the two-era service in each era, and the note on them."""
    if not hasattr(_agent, "Service"):
        return None, "eras: this build has no _agent.Service; not measured"
    argv = service_command(args.build_dir)
    note = sdk_client_era_note(argv)
    clients = {ERAS[0]: ModernClient(ERAS[0], argv), ERAS[1]: JsonLinesClient(ERAS[1], argv)}
    try:
        for client in clients.values():
            client.start()
        bench = Bench(clients, argparse.Namespace(**{**vars(args), "rounds": max(args.rounds, ERA_ROUNDS)}))
        for client in clients.values():
            if client.echo_once(CHECK_TEXT) != CHECK_TEXT:
                raise RuntimeError(f"{client.name}: the service did not echo the text")
        bench.pipelined_us(10)  # warm-up
        eras = bench.eras_per_second()
    finally:
        for client in clients.values():
            client.close()
    return eras, (
        f"eras: one `_agent.Service(...).serve_stdio()` host program, one process per era (the first request fixes "
        f"a stdio connection's era); best of {max(args.rounds, ERA_ROUNDS)} round(s) of ~{args.seconds} s, the eras in turn. {note}."
    )


def print_era_table(eras: dict[str, float]) -> None:
    envelope, handshake = eras[ERAS[0]], eras[ERAS[1]]
    print()
    print(f"{'zanthe Service over stdio, pipelined 10 B (calls/s)':<52}  {ERAS[0]:>19}  {ERAS[1]:>13}  {'ratio':>6}")
    print(f"{'':<52}  {envelope:>19,.0f}  {handshake:>13,.0f}  {envelope / handshake:>5.2f}x")
    print("ratio: envelope calls/s / handshake-era calls/s (1 is no cost; target at least 0.9)")


def growth_note(growth: dict[int, dict[str, float]]) -> str:
    """Cost per call of each step up in text size; linear growth shows as x10 once size dominates."""
    steps = list(zip(GROWTH_SIZES, GROWTH_SIZES[1:]))[-2:]
    factors = (
        f"{name} " + ", ".join(f"x{growth[large][name] / growth[small][name]:.1f}" for small, large in steps)
        for name in SERVERS
    )
    labels = ", ".join(f"{size_label(small)} to {size_label(large)}" for small, large in steps)
    return f"growth of the pipelined cost per call ({labels}): " + "; ".join(factors)


def print_profiling_input(args) -> None:
    """Input for a profiler run of the zanthe host alone, without this client (see the docstring)."""
    if args.host:
        host = service_command(args.build_dir) if args.host == "service" else server_commands(args.build_dir)["zanthe"]
        print(host[-1])
        return
    size, count, *era = args.lines.split(",")
    text, modern = quoted(int(size)), era == ["modern"]
    out = sys.stdout.buffer
    if not modern:
        out.write(INITIALIZE + INITIALIZED)
    line = modern_call_line if modern else call_line
    for request_id in range(1, int(count) + 1):
        out.write(line(request_id, text))


def name_values(figures: dict[str, tuple[float, float]], index: int) -> dict[str, float]:
    return {name: pair[index] for name, pair in figures.items()}


def split(values: dict[str, float]) -> dict:
    return {"zanthe": values["zanthe"], "peers": {peer: values[peer] for peer in PEERS}, "floor": values[FLOOR]}


if __name__ == "__main__":
    main()

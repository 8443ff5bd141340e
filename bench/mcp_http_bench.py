"""MCP tool calls over Streamable HTTP: zanthe's HTTP server against the official MCP Python SDK's MCPServer.

    python bench/mcp_http_bench.py [--build-dir build/bench] [--quick] [--seconds 5] [--json PATH]

Three servers, each a child process serving one echo tool (argument {"text": str}, result the text)
at http://127.0.0.1:PORT/mcp, measured in turn in every round:
- zanthe ToolServer: `zanthe.server.ToolServer` with `@server.tool def echo(text: str) -> str`, run
  with `server.run(http="127.0.0.1:PORT")`, the way a user serves Python functions;
- zanthe _agent.Service: the native service itself with a Python call_tool returning (0, text), over
  `service.http(...).serve()`, the floor under ToolServer's Python layer;
- the SDK's MCPServer (mcp_http_peers.py), stateless with JSON responses over uvicorn.

The load is wrk (Debian package `wrk`; this bench installs nothing and stops if it is missing):
`wrk -t2 -c8 -d<seconds>s --latency -s bench/wrk/mcp_echo.lua URL`, 8 keep-alive connections on 2
threads, each posting a tools/call with the 2026-07-28 envelope (params._meta with the protocol
version and the client capabilities) and the headers that era requires (MCP-Protocol-Version,
Mcp-Method, Mcp-Name), and taking the JSON answer before posting again. The figures are wrk's
requests per second and its latency percentiles under that load (p50, p99). Before timing, the SDK's
own client (`mcp.Client(URL, mode="2026-07-28")`) calls echo once on each server and the note says
whether all answered alike; then wrk runs once with bench/wrk/mcp_echo_check.lua, which reads every
answer and counts those that are not a 200 carrying the echoed text (this also warms the servers).
Any such answer, any non-2xx answer or socket error counted by a timed run stops the bench with an
error: error answers are never measured. Figures are the best of the rounds; nothing asserts on time.

--host toolserver|service prints a zanthe host program (it takes the port as its argument), to run
under a profiler while wrk drives it, for example
    python bench/mcp_http_bench.py --build-dir build/bench --host service > /tmp/http_host.py
    perf record -g python -P /tmp/http_host.py 8931 &
    (cd bench/wrk && wrk -t2 -c8 -d10s -s mcp_echo.lua http://127.0.0.1:8931/mcp)
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import os
import platform
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from importlib.metadata import version
from pathlib import Path

from common import machine, module_origin, print_table, write_results
from mcp_bench import CHECK_TEXT, ECHO_DEFINITION, import_zanthe, zanthe_prelude

BENCH = Path(__file__).resolve().parent
WRK_FOLDER = BENCH / "wrk"
TIMED_SCRIPT, CHECK_SCRIPT = "mcp_echo.lua", "mcp_echo_check.lua"
PEER = "SDK MCPServer"
TOOLSERVER, SERVICE = "zanthe ToolServer", "zanthe _agent.Service"
SERVERS = (TOOLSERVER, SERVICE, PEER)
CONNECTIONS, THREADS = 8, 2
START_TIMEOUT_S = 60
STOP_TIMEOUT_S = 10

TOOLSERVER_HOST = '''
import sys
{prelude}
from zanthe.server import ToolServer

server = ToolServer("bench-http", "1")


@server.tool
def echo(text: str) -> str:
    """Return the text unchanged."""
    return text


sys.exit(server.run(http="127.0.0.1:" + sys.argv[1]))
'''

SERVICE_HOST = """
import signal
import sys
{prelude}
from zanthe import _agent


def call_tool(name, args, call):
    return 0, args["text"]


def interrupt(signum, frame):
    raise KeyboardInterrupt


service = _agent.Service([("echo", {definition!r}, "")], call_tool, "bench-http", "1")
http = service.http(host="127.0.0.1", port=int(sys.argv[1]))
signal.signal(signal.SIGTERM, interrupt)
try:
    http.serve()
except KeyboardInterrupt:
    pass
finally:
    http.stop()
"""


def host_program(name: str, build_dir: str | None) -> str:
    template = TOOLSERVER_HOST if name == TOOLSERVER else SERVICE_HOST
    return template.format(prelude=zanthe_prelude(build_dir), definition=ECHO_DEFINITION)


def server_command(name: str, build_dir: str | None, port: int) -> list[str]:
    if name == PEER:
        return [sys.executable, "-P", str(BENCH / "mcp_http_peers.py"), str(port)]
    return [sys.executable, "-P", "-c", host_program(name, build_dir), str(port)]


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class HttpServerProcess:
    """A server child on a free port of 127.0.0.1, ready once the port accepts connections."""

    def __init__(self, name: str, build_dir: str | None):
        self.name, self.port = name, free_port()
        self.stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(server_command(name, build_dir, self.port), stdin=subprocess.DEVNULL,
                                     stdout=self.stderr, stderr=self.stderr)
        self.url = f"http://127.0.0.1:{self.port}/mcp"

    def wait_ready(self) -> None:
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"{self.name} exited with {self.proc.returncode}: {self.output_tail()}")
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return
            time.sleep(0.05)
        raise RuntimeError(f"{self.name} did not listen on port {self.port} within {START_TIMEOUT_S} s")

    def output_tail(self) -> str:
        self.stderr.seek(0)
        return self.stderr.read()[-2000:].decode(errors="replace")

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stderr.close()


# ---------------------------------------------------------------------------------------------------
# wrk.


@dataclass
class WrkRun:
    requests_per_s: float
    p50_us: float
    p99_us: float
    requests: int
    output: str
    server_cpu_us: float = 0.0  # the server's CPU time (all its threads) per request
    wrk_cpu_us: float = 0.0  # wrk's CPU time per request: on 2 CPUs it shares the machine with the server


def process_cpu_seconds(pid: int) -> float:
    """User and system time of every thread of `pid` so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def children_cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


TIME_UNITS_US = {"us": 1.0, "ms": 1e3, "s": 1e6}


def wrk_version() -> str:
    """"wrk 4.1.0" and the like: the first two words wrk -v prints."""
    printed = subprocess.run(["wrk", "-v"], capture_output=True, text=True)
    return " ".join((printed.stdout or printed.stderr).split()[:2])


def wrk_command(script: str, url: str, seconds: int) -> list[str]:
    return ["wrk", f"-t{THREADS}", f"-c{CONNECTIONS}", f"-d{seconds}s", "--latency", "-s", script, url]


def run_wrk(server: HttpServerProcess, script: str, seconds: int) -> str:
    """wrk's output, from the folder of its scripts (the check script reads the timed one beside it)."""
    done = subprocess.run(wrk_command(script, server.url, seconds), cwd=WRK_FOLDER, capture_output=True,
                          text=True, timeout=seconds + 60)
    if done.returncode != 0:
        raise RuntimeError(f"wrk failed on {server.name} ({done.returncode}): {done.stderr or done.stdout}")
    if server.proc.poll() is not None:
        raise RuntimeError(f"{server.name} exited under load: {server.output_tail()}")
    return done.stdout


def latency_us(output: str, percentile: str) -> float:
    found = re.search(rf"^\s*{percentile}%\s+([\d.]+)(us|ms|s)\s*$", output, re.MULTILINE)
    if not found:
        raise RuntimeError(f"no {percentile}% latency in wrk's output:\n{output}")
    return float(found.group(1)) * TIME_UNITS_US[found.group(2)]


def parse_wrk(name: str, output: str) -> WrkRun:
    """The figures of a timed run; any non-2xx answer or socket error is an error, never a figure."""
    non_2xx = re.search(r"Non-2xx or 3xx responses:\s*(\d+)", output)
    if non_2xx and int(non_2xx.group(1)):
        raise RuntimeError(f"{name}: {non_2xx.group(1)} non-2xx answers under load:\n{output}")
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", output)
    if errors and any(int(count) for count in errors.groups()):
        raise RuntimeError(f"{name}: socket errors under load:\n{output}")
    rate = re.search(r"Requests/sec:\s+([\d.]+)", output)
    requests = re.search(r"(\d+) requests in", output)
    if not rate or not requests or not int(requests.group(1)):
        raise RuntimeError(f"{name}: no requests answered:\n{output}")
    return WrkRun(float(rate.group(1)), latency_us(output, "50"), latency_us(output, "99"), int(requests.group(1)),
                  output)


def check_answers(server: HttpServerProcess, seconds: int) -> int:
    """Runs the checking script; every answer must be a 200 carrying the echoed text. Returns the count."""
    output = run_wrk(server, CHECK_SCRIPT, seconds)
    counts = re.search(r"answers: (\d+) good, (\d+) bad", output)
    if not counts:
        raise RuntimeError(f"{server.name}: the check script reported nothing:\n{output}")
    good, bad = int(counts.group(1)), int(counts.group(2))
    if bad or not good:
        raise RuntimeError(f"{server.name}: {bad} of {good + bad} answers were not a 200 with the echoed text:\n{output}")
    parse_wrk(server.name, output)  # the same non-2xx and socket error checks
    return good


# ---------------------------------------------------------------------------------------------------
# The SDK client's once-only check.


async def sdk_client_echo(url: str, text: str) -> tuple:
    from mcp import Client

    async with Client(url, mode="2026-07-28", read_timeout_seconds=30) as client:
        result = await client.call_tool("echo", {"text": text})
        return tuple(block.text for block in result.content), result.is_error, result.structured_content


def sdk_client_note(servers: dict[str, HttpServerProcess]) -> str:
    answers = {}
    for name, server in servers.items():
        try:
            answers[name] = asyncio.run(asyncio.wait_for(sdk_client_echo(server.url, CHECK_TEXT), timeout=60))
        except Exception as error:  # a failing server is reported here; the check run then stops the bench
            answers[name] = f"<{type(error).__name__}: {error}>"
    texts = {name: answer[:2] if isinstance(answer, tuple) else answer for name, answer in answers.items()}
    if all(text == ((CHECK_TEXT,), False) for text in texts.values()):
        structured = {repr(answer[2]) for answer in answers.values()}
        alike = "and the same structured content" if len(structured) == 1 else (
            "structured content: " + "; ".join(f"{name} {answer[2]!r}" for name, answer in answers.items()))
        return f'SDK mcp.Client(URL, mode="2026-07-28"): the same echo text from all servers, {alike}'
    return "SDK client answers DIFFER: " + "; ".join(f"{name}: {answer!r}" for name, answer in answers.items())


# ---------------------------------------------------------------------------------------------------
# Measurements and output.


def measure(servers: dict[str, HttpServerProcess], rounds: int, seconds: int) -> dict[str, WrkRun]:
    """Per server the best requests/s and, separately, the best p50 and p99 over the rounds."""
    best: dict[str, WrkRun] = {}
    for _ in range(rounds):
        for name, server in servers.items():
            server_cpu, wrk_cpu = process_cpu_seconds(server.proc.pid), children_cpu_seconds()
            run = parse_wrk(name, run_wrk(server, TIMED_SCRIPT, seconds))
            run.server_cpu_us = (process_cpu_seconds(server.proc.pid) - server_cpu) / run.requests * 1e6
            run.wrk_cpu_us = (children_cpu_seconds() - wrk_cpu) / run.requests * 1e6
            if name not in best:
                best[name] = run
                continue
            kept = best[name]
            kept.requests_per_s = max(kept.requests_per_s, run.requests_per_s)
            kept.p50_us, kept.p99_us = min(kept.p50_us, run.p50_us), min(kept.p99_us, run.p99_us)
            kept.server_cpu_us, kept.wrk_cpu_us = min(kept.server_cpu_us, run.server_cpu_us), min(kept.wrk_cpu_us, run.wrk_cpu_us)
    return best


def figure_rows(best: dict[str, WrkRun]) -> list[dict]:
    rows = []
    for host in (TOOLSERVER, SERVICE):
        label = host.removeprefix("zanthe ")
        for case, unit, value in (("requests/s", "requests/s", lambda r: r.requests_per_s),
                                  ("latency p50", "us", lambda r: r.p50_us),
                                  ("latency p99", "us", lambda r: r.p99_us),
                                  ("server CPU per request", "us", lambda r: r.server_cpu_us),
                                  ("wrk CPU per request", "us", lambda r: r.wrk_cpu_us)):
            rows.append({"case": f"{label}, tools/call over HTTP, {CONNECTIONS} connections, {case}", "unit": unit,
                         "zanthe": value(best[host]) if host in best else None,
                         "peers": {PEER: value(best[PEER])}})
    return rows


def figure_text(value: float | None) -> str:
    if value is None:
        return "-"
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def ratio_text(row: dict) -> str:
    ours, theirs = row["zanthe"], row["peers"][PEER]
    if not ours or not theirs:
        return "-"
    return f"{ours / theirs if row['unit'].endswith('/s') else theirs / ours:.1f}x"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("ZANTHE_BUILD_DIR"))
    parser.add_argument("--quick", action="store_true", help="a short smoke run (1 s rounds, one round)")
    parser.add_argument("--seconds", type=int, default=5, help="length of each timed wrk run (whole seconds)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--host", choices=("toolserver", "service"), help="print a zanthe host program and stop")
    args = parser.parse_args()
    if args.host:
        print(host_program(TOOLSERVER if args.host == "toolserver" else SERVICE, args.build_dir))
        return
    if shutil.which("wrk") is None:
        sys.exit("mcp_http_bench: wrk is not installed (Debian package wrk: apt-get install wrk); "
                 "this bench installs nothing itself")
    rounds, seconds, check_seconds = (1, 1, 1) if args.quick else (args.rounds, args.seconds, 2)

    zanthe, _agent = import_zanthe(args.build_dir)
    print(f"zanthe {zanthe.__version__} ({module_origin(_agent)})")
    print(f"mcp {version('mcp')}, uvicorn {version('uvicorn')}, {wrk_version()}, Python {platform.python_version()}")
    print(f"machine: {machine()}")
    names = SERVERS if hasattr(getattr(_agent, "Service", None), "http") else (PEER,)
    if names == (PEER,):
        print("zanthe: this build's _agent.Service has no http(); zanthe not measured")

    servers: dict[str, HttpServerProcess] = {}
    try:
        for name in names:
            servers[name] = HttpServerProcess(name, args.build_dir)
        for server in servers.values():
            server.wait_ready()
        sdk_note = sdk_client_note(servers)
        checked = {name: check_answers(server, check_seconds) for name, server in servers.items()}
        best = measure(servers, rounds, seconds)
    finally:
        for server in servers.values():
            server.close()

    rows = figure_rows(best)
    print()
    print_table(["case", "unit", "zanthe", PEER, "ratio"],
                [[row["case"], row["unit"], figure_text(row["zanthe"]), figure_text(row["peers"][PEER]), ratio_text(row)]
                 for row in rows])
    print(f"\nratio > 1: zanthe better (zanthe requests/s / peer requests/s; peer us / zanthe us). Best of {rounds} "
          f"round(s) of `{' '.join(wrk_command(TIMED_SCRIPT, 'URL', seconds))}` (from bench/wrk), the servers in "
          f"turn; latency is under that load. {sdk_note}. Checked before timing: "
          + ", ".join(f"{name} {count:,} answers" for name, count in checked.items())
          + " all 200 with the echoed text; no timed run had a non-2xx answer or a socket error. CPU per request: "
          "the server's threads (from /proc, 10 ms ticks) and wrk's, which shares the machine's CPUs with it.")
    write_results(args.json, rows, [])


if __name__ == "__main__":
    main()

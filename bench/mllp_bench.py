"""HL7 v2 over MLLP with acknowledgments: `zanthe hl7 listen` against python-hl7's asyncio server.

    python bench/mllp_bench.py [--build-dir build/bench | --zanthe "CMD"] [--seconds 3] [--rounds 3]
                               [--store-parent /tmp] [--quick] [--json PATH]

Three servers, each a subprocess listening on 127.0.0.1 on a port of the system's choosing, which it
names on stderr ("...: listening on 127.0.0.1:PORT"):
- zanthe durable: `zanthe hl7 listen --host 127.0.0.1 --port 0 --store DIR`, which journals every
  message in DIR and fsyncs (grouped across connections) before it acks. DIR is a fresh folder
  under --store-parent, which must be a real disk for the figures to mean anything: the header names
  its file system;
- zanthe --no-fsync: the same command with --no-fsync;
- python-hl7 asyncio: hl7.mllp.start_hl7_server, whose handler reads each message (readmessage,
  which parses it) and writes back message.create_ack(); this file with --serve-python-hl7. It
  stores nothing. Its reader limit is raised from 64 KiB so that the growth messages fit.

The clients are processes of their own, the connections dealt among them (--client-processes, by
default one per CPU: fewer processes wake less often, which costs the least CPU). A process drives
one connection with a blocking socket, several with epoll. Every connection sends an ORU^R01 of
1.7 KB (the HL7 bench's layout with 8 OBX), framed in advance around its MSH-10, a control ID that
no other message of the run has, and waits for the ACK before it sends the next: one message
outstanding per connection. Every ACK must be one frame holding "MSA|AA|" and that control ID;
anything else is counted and ends the bench with an error, as does a server that closes a
connection. Each round sends a warm-up on every connection, then runs for --seconds, all
connections starting together; a message counts when its ACK arrives within the round.

Figures: messages per second over 1 and 8 connections, and the latency of a message from its send
to its ACK (p50, p99 in microseconds), each the best of --rounds, with the three servers measured
in turn in every round so that a passing load hits them alike. The notes give the CPU time per
message of the server (all its threads) and of the clients, and how busy both kept the CPUs: a
single-threaded server at full speed keeps one of two CPUs busy, 50%. Growth: one connection, each
server, the message growing from 1.2 KB to 850 KB (5 to 5,000 OBX), the median microseconds from
send to ACK. A zanthe listener that does not start leaves its figures empty ("-") and its reason
below the table; the peer must start. Nothing here asserts on time.
"""

from __future__ import annotations

import argparse
import array
import asyncio
import multiprocessing
import os
import re
import secrets
import select
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field, replace
from pathlib import Path

from common import ROOT, checkout_command, machine, print_table, stop_server, versions, write_results
from hl7_bench import oru_text

START_BLOCK, END_BLOCK = b"\x0b", b"\x1c\r"
PEER = "python-hl7 asyncio"
DURABLE, NO_FSYNC = "zanthe durable", "zanthe --no-fsync"
LISTENING = re.compile(rb"listening on 127\.0\.0\.1:(\d+)")
CONNECTION_COUNTS = (1, 8)
MESSAGE_OBX = 8  # about 1.7 KB
GROWTH_OBX = (5, 50, 500, 5000)
MINIMAL_ADT = "MSH|^~\\&|ADT|HOSP|RIS|HOSP|20240101120000||ADT^A01|0|P|2.5.1\rEVN|A01|20240101120000\rPID|1||123456^^^HOSP^MR||DOE^JOHN||19700101|M\rPV1|1|I\r"
PEER_READ_LIMIT = 16 << 20
RECEIVE_SIZE = 1 << 16
ANSWER_TIMEOUT = 30.0
START_TIMEOUT = 30.0


# ---------------------------------------------------------------------------------------------------
# The peer server (run as `mllp_bench.py --serve-python-hl7`).


def serve_python_hl7() -> None:
    import hl7.mllp

    async def ack_each(reader, writer) -> None:
        try:
            while True:
                message = await reader.readmessage()
                writer.writemessage(message.create_ack())
                await writer.drain()
        except asyncio.IncompleteReadError:
            pass  # the client closed the connection
        finally:
            writer.close()

    async def serve() -> None:
        server = await hl7.mllp.start_hl7_server(ack_each, "127.0.0.1", 0, limit=PEER_READ_LIMIT)
        host, port = server.sockets[0].getsockname()[:2]
        print(f"python-hl7: listening on {host}:{port}", file=sys.stderr, flush=True)
        async with server:
            await server.serve_forever()

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    asyncio.run(serve())


# ---------------------------------------------------------------------------------------------------
# Messages and acknowledgments.


@dataclass(frozen=True)
class Template:
    """A framed message cut around its control ID (MSH-10): making each message joins three parts."""

    head: bytes
    tail: bytes

    @classmethod
    def of(cls, text: str) -> Template:
        header, rest = text.split("\r", 1)
        fields = header.split("|")
        head = "|".join(fields[:9]) + "|"
        tail = "|" + "|".join(fields[10:]) + "\r" + rest
        return cls(START_BLOCK + head.encode("ascii"), tail.encode("ascii") + END_BLOCK)

    def frame(self, control_id: bytes) -> bytes:
        return b"".join((self.head, control_id, self.tail))

    def size(self) -> int:
        return len(self.head) + len(self.tail) - 3


def acknowledges(answer: bytes, control_id: bytes) -> bool:
    """One MLLP frame whose MSA accepts the message with this control ID."""
    if not answer.startswith(START_BLOCK) or answer.find(END_BLOCK) != len(answer) - 2:
        return False
    accept = b"MSA|AA|" + control_id
    at = answer.find(accept)
    end = at + len(accept)
    return at > 0 and answer[at - 1 : at] in (b"\r", b"\n") and answer[end : end + 1] in (b"|", b"\r", b"\n")


# ---------------------------------------------------------------------------------------------------
# The clients: processes of their own, forked per round.


@dataclass
class Connection:
    sock: socket.socket
    prefix: bytes  # the start of every control ID this connection sends
    sent: int = 0
    control_id: bytes = b""
    sent_at: int = 0
    answer: bytes = b""

    def send_next(self, template: Template, clock) -> None:
        self.sent += 1
        self.control_id = b"%s%d" % (self.prefix, self.sent)
        self.answer = b""
        frame = template.frame(self.control_id)
        self.sent_at = clock()
        self.sock.sendall(frame)


@dataclass
class Tally:
    samples: array.array = field(default_factory=lambda: array.array("q"))  # ns from send to ACK
    failures: int = 0
    example: bytes = b""  # the first wrong answer

    def check(self, connection: Connection) -> None:
        if not acknowledges(connection.answer, connection.control_id):
            self.failures += 1
            self.example = self.example or connection.answer


def connect(port: int, prefix: bytes) -> Connection:
    sock = socket.create_connection(("127.0.0.1", port), timeout=ANSWER_TIMEOUT)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return Connection(sock, prefix)


def receive_frame(connection: Connection) -> None:
    while not connection.answer.endswith(END_BLOCK):
        data = connection.sock.recv(RECEIVE_SIZE)
        if not data:
            raise ConnectionError(f"the server closed the connection before acking {connection.control_id.decode()}")
        connection.answer += data


def warm_up(connections: list[Connection], template: Template, messages: int, tally: Tally) -> None:
    clock = time.monotonic_ns
    for connection in connections:
        for _ in range(messages):
            connection.send_next(template, clock)
            receive_frame(connection)
            tally.check(connection)


def one_connection(connection: Connection, template: Template, deadline: int, minimum: int, tally: Tally) -> None:
    """Send, wait for the ACK, again, until the deadline and at least `minimum` messages; blocking
    calls, the fewest system calls."""
    clock, samples, sock = time.monotonic_ns, tally.samples, connection.sock
    while True:
        connection.send_next(template, clock)
        answer = sock.recv(RECEIVE_SIZE)
        connection.answer = answer
        if not answer.endswith(END_BLOCK):
            receive_frame(connection)
        now = clock()
        tally.check(connection)
        if now > deadline and len(samples) >= minimum:
            return
        samples.append(now - connection.sent_at)


def many_connections(connections: list[Connection], template: Template, deadline: int, tally: Tally) -> None:
    """The same on every connection at once, answers taken as epoll reports them."""
    clock, samples = time.monotonic_ns, tally.samples
    poller = select.epoll()
    by_fd = {c.sock.fileno(): c for c in connections}
    for fd, connection in by_fd.items():
        poller.register(fd, select.EPOLLIN)
        connection.send_next(template, clock)
    while by_fd:
        events = poller.poll(ANSWER_TIMEOUT)
        if not events:
            raise TimeoutError(f"no ACK within {ANSWER_TIMEOUT:.0f} s")
        for fd, _ in events:
            connection = by_fd[fd]
            data = connection.sock.recv(RECEIVE_SIZE)
            if not data:
                raise ConnectionError(f"the server closed the connection before acking {connection.control_id.decode()}")
            connection.answer += data
            if not connection.answer.endswith(END_BLOCK):
                continue
            now = clock()
            tally.check(connection)
            if now > deadline:
                poller.unregister(fd)
                del by_fd[fd]
                continue
            samples.append(now - connection.sent_at)
            connection.send_next(template, clock)
    poller.close()


@dataclass(frozen=True)
class RoundPlan:
    port: int
    template: Template
    seconds: float
    warmup: int
    minimum: int = 0  # messages timed even past the deadline (one connection only)


def client_process(plan: RoundPlan, prefixes: list[bytes], go, start_ns, reports) -> None:
    """Connect, warm up, report ready, then run from the common start time to the deadline."""
    try:
        connections = [connect(plan.port, prefix) for prefix in prefixes]
        tally = Tally()
        warm_up(connections, plan.template, plan.warmup, tally)
        reports.put(("ready", None))
        go.wait()
        start_at = start_ns.value
        deadline = start_at + int(plan.seconds * 1e9)
        time.sleep(max(0.0, (start_at - time.monotonic_ns()) / 1e9))
        cpu = time.process_time()
        if len(connections) == 1:
            one_connection(connections[0], plan.template, deadline, plan.minimum, tally)
        else:
            many_connections(connections, plan.template, deadline, tally)
        cpu = time.process_time() - cpu
        for connection in connections:
            connection.sock.close()
        reports.put(("done", (tally.samples.tobytes(), tally.failures, tally.example, cpu)))
    except Exception as error:  # reported to the parent, which stops the bench
        reports.put(("error", f"{type(error).__name__}: {error}"))


@dataclass
class RoundResult:
    messages: int
    seconds: float
    latencies_ns: list[int]  # sorted
    failures: int
    example: bytes
    server_cpu: float
    client_cpu: float

    def rate(self) -> float:
        return self.messages / self.seconds

    def percentile_us(self, fraction: float) -> float:
        samples = self.latencies_ns
        return samples[min(len(samples) - 1, int(fraction * len(samples)))] / 1e3 if samples else float("nan")


def process_cpu_seconds(pid: int) -> float:
    """User and system time of process `pid`, all its threads."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class ControlIds:
    """Control ID prefixes unique over the run (a random tag, then a connection serial): a listener
    that recognises repeated control IDs sees none. At most 20 characters in all."""

    def __init__(self) -> None:
        self.tag = secrets.token_hex(2).encode()
        self.serial = 0

    def take(self, count: int) -> list[bytes]:
        self.serial += count
        return [b"%s%d." % (self.tag, n) for n in range(self.serial - count, self.serial)]


def run_round(server_pid: int, plan: RoundPlan, connections: int, processes: int, ids: ControlIds) -> RoundResult:
    context = multiprocessing.get_context("fork")
    reports, go, start_ns = context.Queue(), context.Event(), context.Value("q", 0)
    prefixes = ids.take(connections)
    groups = [prefixes[i::processes] for i in range(min(processes, connections))]
    workers = [
        context.Process(target=client_process, args=(plan, group, go, start_ns, reports), daemon=True) for group in groups
    ]
    for worker in workers:
        worker.start()
    try:
        wait_for(reports, len(workers), "ready", START_TIMEOUT)
        start_ns.value = time.monotonic_ns() + 50_000_000
        go.set()
        time.sleep(max(0.0, (start_ns.value - time.monotonic_ns()) / 1e9))
        server_cpu = process_cpu_seconds(server_pid)
        done = wait_for(reports, len(workers), "done", plan.seconds + ANSWER_TIMEOUT + 10)
        server_cpu = process_cpu_seconds(server_pid) - server_cpu
    finally:
        for worker in workers:
            worker.join(timeout=5)
            if worker.is_alive():
                worker.kill()
    samples = sorted(n for raw, *_ in done for n in array.array("q", raw))
    return RoundResult(
        messages=len(samples),
        seconds=plan.seconds,
        latencies_ns=samples,
        failures=sum(report[1] for report in done),
        example=next((report[2] for report in done if report[2]), b""),
        server_cpu=server_cpu,
        client_cpu=sum(report[3] for report in done),
    )


def wait_for(reports, count: int, kind: str, timeout: float) -> list:
    found: list = []
    deadline = time.monotonic() + timeout
    while len(found) < count:
        try:
            what, payload = reports.get(timeout=max(0.1, deadline - time.monotonic()))
        except Exception as error:
            raise RuntimeError(f"the clients did not report {kind} within {timeout:.0f} s") from error
        if what == "error":
            raise RuntimeError(f"a client failed: {payload}")
        found.append(payload)
    return found


# ---------------------------------------------------------------------------------------------------
# The servers.


@dataclass(frozen=True)
class Program:
    command: list[str]
    env: dict[str, str] | None = None


def zanthe_program(args: argparse.Namespace, scratch: Path) -> Program:
    """`zanthe` as asked: a given command, the checkout with a build tree's native modules (see
    checkout_command), or `python -m zanthe` as installed."""
    if args.zanthe:
        return Program(shlex.split(args.zanthe))
    if not args.build_dir:
        return Program([sys.executable, "-m", "zanthe"])
    return Program(*checkout_command(args.build_dir, scratch))


class Server:
    """A server subprocess, ready once it has named its port on stderr."""

    def __init__(self, name: str, command: list[str], env: dict[str, str] | None, scratch: Path) -> None:
        self.name = name
        self.log = scratch / f"{name.replace(' ', '-').strip('-')}.log"
        with open(self.log, "wb") as log:
            self.proc = subprocess.Popen(
                command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log, env=env, cwd=scratch
            )
        self.port = self.wait_until_listening()

    def wait_until_listening(self) -> int:
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            found = LISTENING.search(self.log.read_bytes())
            if found:
                return int(found[1])
            if self.proc.poll() is not None:
                raise RuntimeError(f"exited with status {self.proc.returncode} before listening: {self.stderr_tail()}")
            time.sleep(0.02)
        self.stop()
        raise RuntimeError(f"not listening after {START_TIMEOUT:.0f} s: {self.stderr_tail()}")

    def stderr_tail(self) -> str:
        return self.log.read_bytes()[-1500:].decode(errors="replace").strip() or "(nothing on stderr)"

    def stop(self) -> None:
        stop_server(self.proc, self.name, 10)


def start_servers(zanthe: Program, scratch: Path) -> tuple[dict[str, Server], dict[str, str]]:
    """The servers that started, and why each of the others did not."""
    listen = [*zanthe.command, "hl7", "listen", "--host", "127.0.0.1", "--port", "0", "--store"]
    peer = [sys.executable, str(Path(__file__).resolve()), "--serve-python-hl7"]
    plans = {
        DURABLE: ([*listen, str(scratch / "store-durable")], zanthe.env),
        NO_FSYNC: ([*listen, str(scratch / "store-no-fsync"), "--no-fsync"], zanthe.env),
        PEER: (peer, None),
    }
    servers, failures = {}, {}
    for name, (command, env) in plans.items():
        try:
            servers[name] = Server(name, command, env, scratch)
        except RuntimeError as error:
            failures[name] = str(error)
            print(f"{name}: {error}", file=sys.stderr)
    if PEER in failures:
        raise SystemExit(f"the peer did not start: {failures[PEER]}")
    return servers, failures


def storage(folder: Path) -> str:
    done = subprocess.run(["df", "--output=fstype,source", str(folder)], capture_output=True, text=True)
    fstype, source = done.stdout.split()[-2:] if done.returncode == 0 else ("?", "?")
    if fstype in ("tmpfs", "ramfs"):
        return f"{fstype} on {source}  NOT A DISK: fsync costs nothing here, the durable figures are not durable"
    return f"{fstype} on {source}"


def zanthe_version(zanthe: Program, scratch: Path) -> str:
    command = [*zanthe.command, "--version"]
    try:
        done = subprocess.run(command, capture_output=True, text=True, cwd=scratch, env=zanthe.env, timeout=60)
    except subprocess.TimeoutExpired:
        return "zanthe (version unknown: --version did not return)"
    return done.stdout.strip() if done.returncode == 0 else "zanthe (version unknown)"


# ---------------------------------------------------------------------------------------------------
# Measurements and output.


@dataclass
class Best:
    rate: float = 0.0
    p50: float = float("inf")
    p99: float = float("inf")
    cpu_note: str = ""

    def add(self, result: RoundResult) -> None:
        if result.rate() > self.rate:
            self.rate = result.rate()
            self.cpu_note = cpu_note(result)
        self.p50 = min(self.p50, result.percentile_us(0.50))
        self.p99 = min(self.p99, result.percentile_us(0.99))


def cpu_note(result: RoundResult) -> str:
    """CPU per message of the server and of the clients, and how busy they kept the machine."""
    server, clients = (cpu / result.messages * 1e6 for cpu in (result.server_cpu, result.client_cpu))
    busy = (result.server_cpu + result.client_cpu) / result.seconds / (os.cpu_count() or 1)
    return f"CPU per message: server {server:,.0f} us, clients {clients:,.0f} us; {busy:.0%} of the CPUs"


class Bench:
    def __init__(self, args: argparse.Namespace, servers: dict[str, Server]) -> None:
        self.args, self.servers, self.ids = args, servers, ControlIds()
        self.rows: list[dict] = []
        self.growth: list[dict] = []
        self.table: list[list[str]] = []

    def measure(self, name: str, connections: int, plan: RoundPlan) -> RoundResult:
        server = self.servers[name]
        plan = replace(plan, port=server.port)
        processes = self.args.client_processes or os.cpu_count() or 1
        try:
            result = run_round(server.proc.pid, plan, connections, processes, self.ids)
        except RuntimeError as error:
            failure = f"{name}, {connections} connection(s): {error}\nserver stderr: {server.stderr_tail()}"
            raise SystemExit(failure) from None
        if result.failures or not result.messages:
            raise SystemExit(
                f"{name}, {connections} connection(s): {result.failures} wrong ACKs (warm-up included), "
                f"{result.messages} messages timed; the first wrong one: {result.example[:300]!r}"
            )
        rate = f"{result.rate():,.0f} messages/s, " if not plan.minimum else ""
        where = f"{name}, {connections} connection(s), {plan.template.size():,} B"
        print(f"  {where}: {rate}p50 {result.percentile_us(0.5):,.0f} us", file=sys.stderr)
        return result

    def throughput(self, template: Template, connections: int, message: str = "") -> None:
        best = {name: Best() for name in self.servers}
        for _ in range(self.args.rounds):
            for name in self.servers:
                plan = RoundPlan(0, template, self.args.seconds, self.args.warmup)
                best[name].add(self.measure(name, connections, plan))
        label = message + f"{connections} connection" + ("s" if connections > 1 else "")
        peer = best[PEER]
        for ours_name, mode in ((DURABLE, "durable"), (NO_FSYNC, "--no-fsync")):
            ours = best.get(ours_name)
            figures = [("messages/s", "msg/s", "rate"), ("p50 latency", "us", "p50"), ("p99 latency", "us", "p99")]
            for what, unit, attribute in figures:
                mine = getattr(ours, attribute) if ours else None
                theirs = getattr(peer, attribute)
                note = {"msg/s": f"zanthe {ours.cpu_note}" if ours else "", "us": ""}[unit]
                if attribute == "p50":
                    note = f"peer {peer.cpu_note}"
                self.add(f"{label}, {mode}, {what}", unit, mine, theirs, note)

    def add(self, case: str, unit: str, ours: float | None, theirs: float, note: str) -> None:
        self.rows.append({"case": case, "unit": unit, "zanthe": ours, "peers": {PEER: theirs}})
        better = (ours / theirs if unit.endswith("/s") else theirs / ours) if ours else None
        shown = lambda value: "-" if value is None else f"{value:,.0f}" if value >= 100 else f"{value:.1f}"  # noqa: E731
        self.table.append([case, unit, shown(ours), shown(theirs), f"{better:.1f}x" if better else "-", note])

    def growth_series(self) -> None:
        """One connection, the message growing: the median microseconds from send to ACK, over a
        round of a third of --seconds and at least 5 messages."""
        for name in self.servers:
            for count in GROWTH_OBX:
                template = Template.of(oru_text(count))
                plan = RoundPlan(0, template, self.args.seconds / 3, warmup=2, minimum=5)
                result = self.measure(name, 1, plan)
                point = {"series": f"MLLP, {name}", "size": template.size(), "per_call_us": result.percentile_us(0.5)}
                self.growth.append(point)


def growth_table(growth: list[dict]) -> list[list[str]]:
    sizes = sorted({point["size"] for point in growth})
    by_series: dict[str, dict[int, float]] = {}
    for point in growth:
        by_series.setdefault(point["series"], {})[point["size"]] = point["per_call_us"]
    return [[f"{size:,} B", *(f"{points[size]:,.0f}" for points in by_series.values())] for size in sizes]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("ZANTHE_BUILD_DIR"))
    parser.add_argument("--zanthe", help="the zanthe command to run, e.g. '.venv/bin/zanthe' (default: this Python's)")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of a timed round")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per case and server, best kept")
    parser.add_argument("--warmup", type=int, default=50, help="messages per connection before each round")
    parser.add_argument("--client-processes", type=int, help="client processes, connections shared among them (default: CPUs)")
    parser.add_argument("--store-parent", default="/tmp", help="where the durable listener's store is made (a real disk)")
    parser.add_argument("--no-growth", action="store_true", help="skip the growth with message size")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--quick", action="store_true", help="one short round: a smoke run, not figures to keep")
    parser.add_argument("--serve-python-hl7", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve_python_hl7:
        return serve_python_hl7()
    if args.quick:
        args.seconds, args.rounds, args.warmup = 0.5, 1, 10

    template = Template.of(oru_text(MESSAGE_OBX))
    with tempfile.TemporaryDirectory(prefix="zanthe-mllp-bench-", dir=args.store_parent) as folder:
        scratch = Path(folder)
        zanthe = zanthe_program(args, scratch)
        origin = f", from {args.build_dir}" if args.build_dir else ""
        print(f"zanthe: {zanthe_version(zanthe, scratch)}, as `zanthe hl7 listen`{origin}")
        print(f"peers: {versions('hl7')} (hl7.mllp.start_hl7_server, readmessage + create_ack per message)")
        print(f"machine: {machine()}, load average {os.getloadavg()[0]:.2f} at the start")
        print(f"store: {storage(scratch)}")
        print(f"message: ORU^R01 of {template.size():,} B, {args.seconds:g} s rounds, best of {args.rounds}")
        print()
        servers, failures = start_servers(zanthe, scratch)
        bench = Bench(args, servers)
        try:
            for connections in CONNECTION_COUNTS:
                bench.throughput(template, connections)
            # The peer's cost grows with the message (it parses every field); ours hardly does. The
            # smallest plausible message shows the ratio at its least favourable.
            small = Template.of(MINIMAL_ADT)
            bench.throughput(small, 8, f"minimal ADT^A01 of {small.size()} B, ")
            if not args.no_growth:
                bench.growth_series()
        finally:
            for server in servers.values():
                server.stop()

    print_table(["case", "unit", "zanthe", PEER, "ratio", "note"], bench.table)
    print("\nratio = zanthe / python-hl7 for messages/s, python-hl7 / zanthe for latencies (higher is better for")
    print("zanthe). One message outstanding per connection; latency from send to ACK. CPU time from /proc (the")
    print("server, all its threads) and from the client processes, over the round with the most messages.")
    for name, reason in failures.items():
        print(f"NOT MEASURED: {name} did not start: {reason}")
    if bench.growth:
        print("\ngrowth: one connection, p50 microseconds from send to ACK")
        print_table(["message", *servers], growth_table(bench.growth))
    write_results(args.json, bench.rows, bench.growth)


if __name__ == "__main__":
    main()

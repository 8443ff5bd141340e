"""The MLLP listener against python-hl7's clients and our sender, hostile framing, load, crashes and a full disk."""

from __future__ import annotations

import asyncio
import base64
import collections
import contextlib
import datetime
import json
import re
import resource
import socket
import ssl
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import hl7
import hl7.client
import hl7.mllp
import pytest

from helpers.memory import UNDER_ADDRESS_SANITIZER
from helpers.tls import self_signed_certificate
from zanthe.hl7 import Message, mllp

pytestmark = pytest.mark.timeout(60)

MiB = 1 << 20
FRAME_END = b"\x1c\r"
LIMIT = 4096  # max_message_bytes of the framing tests


def message(control_id: str, *segments: str, version: str = "2.5", charset: str = "", codec: str = "utf-8") -> bytes:
    header = f"MSH|^~\\&|SND|FAC|RCV|RFAC|20240101120000||ADT^A01|{control_id}|P|{version}||||||{charset}"
    body = segments or ("PID|1||4711^^^H||Müller^Jörg",)
    return "".join(segment + "\r" for segment in (header, *body)).encode(codec)


def frame(payload: bytes) -> bytes:
    return b"\x0b" + payload + FRAME_END


def control_id_of(payload: bytes) -> str:
    header = payload.split(b"\r")[0].split(b"|")
    return header[9].decode() if payload.startswith(b"MSH") and len(header) > 9 else ""


@dataclass(frozen=True)
class Ack:
    code: str
    control_id: str
    text: str
    to_application: str  # MSH-5, our sender's MSH-3 mirrored
    errors: int  # ERR segments


def ack_of(block: bytes | str) -> Ack:
    """An acknowledgment as python-hl7 reads it."""
    text = block.decode() if isinstance(block, bytes) else block
    reply = hl7.parse(text.strip("\x0b\x1c\r"))
    errors = sum(1 for segment in reply if str(segment[0]) == "ERR")
    return Ack(str(reply["MSA.1"]), str(reply["MSA.2"]), str(reply["MSA.3"]), str(reply["MSH.5"]), errors)


def acks_in(stream: bytes) -> list[Ack]:
    blocks = stream.split(FRAME_END)
    assert blocks.pop() == b"", f"the stream ends inside a frame: {stream[-80:]!r}"
    assert all(block.startswith(b"\x0b") for block in blocks)
    return [ack_of(block) for block in blocks]


class Peer:
    """A blocking MLLP client on a plain socket."""

    def __init__(self, port: int, timeout: float = 30) -> None:
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.received = b""

    def exchange(self, *payloads: bytes, acks: int | None = None) -> list[Ack]:
        """Sends the messages at once, then waits for an acknowledgment of each (or for `acks`)."""
        self.socket.sendall(b"".join(map(frame, payloads)))
        expected = len(payloads) if acks is None else acks
        while self.received.count(FRAME_END) < expected:
            if not (chunk := self.socket.recv(1 << 16)):
                raise ConnectionError("the listener closed the connection")
            self.received += chunk
        *blocks, self.received = self.received.split(FRAME_END, expected)
        return [ack_of(block) for block in blocks]

    def until_closed(self) -> bytes:
        while chunk := self.socket.recv(1 << 16):
            self.received += chunk
        return self.received


def deliver(store: Path, payloads: list[bytes], **options: object) -> tuple[list[Ack], int]:
    """Sends the messages over one connection to a listener on store, returning its acks and cut_bytes."""
    with mllp.Listener(store, port=0, **options) as listener:
        peer = Peer(listener.port)
        return peer.exchange(*payloads), listener.cut_bytes


def journal(store: Path) -> list[mllp.JournalRecord]:
    return list(mllp.read_journal(store))


@contextlib.contextmanager
def listen_process(
    store: Path, *options: str, preexec_fn: Callable[[], None] | None = None
) -> Iterator[tuple[subprocess.Popen[str], int]]:
    """`zanthe hl7 listen` on a free port, yielding the process and the port once it is ready."""
    command = [sys.executable, "-P", "-m", "zanthe", "hl7", "listen", "--port", "0", "--store", str(store), *options]
    process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True, preexec_fn=preexec_fn)
    assert process.stderr is not None
    try:
        for line in process.stderr:
            if ready := re.fullmatch(r"zanthe: listening on \S+:(\d+)", line.strip()):
                break
        else:
            pytest.fail(f"the listener did not start (exit code {process.wait()})")
        yield process, int(ready.group(1))
    finally:
        if process.poll() is None:
            process.terminate()
        process.wait(timeout=30)
        process.stderr.close()


@pytest.fixture(scope="module")
def certificate(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, Path]:
    return self_signed_certificate(tmp_path_factory.mktemp("tls"))


# ---------------------------------------------------------------------------------------------------
# Peers: python-hl7's two clients and our sender


def python_hl7_blocking(port: int, payloads: list[bytes], tls: ssl.SSLContext | None) -> list[Ack]:
    with hl7.client.MLLPClient("127.0.0.1", port) as client:
        return [ack_of(client.send_message(hl7.parse(payload.decode()))) for payload in payloads]


def python_hl7_asyncio(port: int, payloads: list[bytes], tls: ssl.SSLContext | None) -> list[Ack]:
    async def talk() -> list[Ack]:
        reader, writer = await hl7.mllp.open_hl7_connection("127.0.0.1", port, encoding="utf-8")
        acks = []
        for payload in payloads:
            writer.writemessage(hl7.parse(payload.decode()))
            await writer.drain()
            acks.append(ack_of(str(await reader.readmessage())))
        writer.close()
        return acks

    return asyncio.run(talk())


def zanthe_sender(port: int, payloads: list[bytes], tls: ssl.SSLContext | None) -> list[Ack]:
    async def talk() -> list[Ack]:
        async with mllp.connect("127.0.0.1", port, ssl=tls, server_hostname="localhost", timeout=20) as link:
            return [ack_of((await link.send(payload)).raw) for payload in payloads]

    return asyncio.run(talk())


@pytest.mark.parametrize(
    ("client", "tls"),
    [(python_hl7_blocking, False), (python_hl7_asyncio, False), (zanthe_sender, False), (zanthe_sender, True)],
    ids=["python-hl7 MLLPClient", "python-hl7 asyncio", "zanthe sender", "zanthe sender over TLS"],
)
def test_each_message_is_journaled_byte_for_byte_and_acknowledged_aa(tmp_path, certificate, client, tls):
    payloads = [message(f"IOP{n}") for n in range(3)]  # python-hl7 writes them back byte for byte
    server = client_context = None
    if tls:
        server = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        server.load_cert_chain(*certificate)
        client_context = ssl.create_default_context(cafile=certificate[0])
    with mllp.Listener(tmp_path, port=0, ssl=server) as listener:
        acks = client(listener.port, payloads, client_context)
        records = journal(tmp_path)  # before the listener closes: stored before acknowledged
    answered = [(ack.code, ack.control_id, ack.to_application) for ack in acks]
    assert answered == [("AA", f"IOP{n}", "SND") for n in range(3)]
    assert [record.message for record in records] == payloads
    assert {(record.ack, record.duplicate, record.sender, record.peer.split(":")[0]) for record in records} == {
        ("AA", False, "SND|FAC", "127.0.0.1")
    }


# ---------------------------------------------------------------------------------------------------
# Framing and judging


@dataclass(frozen=True)
class Expect:
    payload: bytes
    code: str = "AA"
    text: str = ""  # found in MSA-3


M1, M2 = message("F1"), message("F2")
MANY = [message(f"N{n:02}") for n in range(40)]
OVERSIZE = message("BIG", "NTE|1||" + "x" * 3 * LIMIT)
NOT_HL7 = b"PID|1||4711\r"
MALFORMED = message("BAD", "PID|1||4711", "1X|y")
LATIN = message("L1", "PID|1||7||Bäcker^Jürgen", charset="8859/1", codec="latin-1")
UNDECLARED_LATIN = LATIN.replace(b"|8859/1\r", b"|\r")
V251 = message("V1", version="2.5.1")
NOISY = b"noise\r\n\x1c\r" + frame(M1) + b"\r\n\x1c\rmore" + frame(M2) + b"end"
FRAMING = {
    "one byte per write": ([bytes([byte]) for byte in frame(M1)], [Expect(M1)]),
    "many frames in one write": ([b"".join(map(frame, MANY))], [Expect(m) for m in MANY]),
    "noise between frames": ([NOISY], [Expect(M1), Expect(M2)]),
    "a frame cut by the peer closing": ([frame(M1) + b"\x0b" + M2], [Expect(M1)]),
    "oversize, then a message": ([frame(OVERSIZE), frame(M1)], [Expect(OVERSIZE, "AR", "exceeds"), Expect(M1)]),
    "no MSH": ([frame(NOT_HL7)], [Expect(NOT_HL7, "AR", "no MSH")]),
    "malformed": ([frame(MALFORMED)], [Expect(MALFORMED, "AE", "bad_segment_id")]),
    "version 2.5.1": ([frame(V251)], [Expect(V251)]),
    "ISO 8859-1 declared": ([frame(LATIN)], [Expect(LATIN)]),
    "ISO 8859-1 undeclared": ([frame(UNDECLARED_LATIN)], [Expect(UNDECLARED_LATIN, "AE", "not valid")]),
}


@pytest.mark.parametrize(("chunks", "expected"), FRAMING.values(), ids=FRAMING)
def test_frames_are_found_and_judged_however_the_bytes_arrive(tmp_path, chunks, expected):
    with mllp.Listener(tmp_path, port=0, max_message_bytes=LIMIT) as listener:
        peer = Peer(listener.port)
        for chunk in chunks:
            peer.socket.sendall(chunk)
            if len(chunks) > 1:
                time.sleep(0.002)  # a read each
        peer.socket.shutdown(socket.SHUT_WR)  # the listener answers what came, then closes
        acks = acks_in(peer.until_closed())
    assert [(ack.code, ack.control_id) for ack in acks] == [(e.code, control_id_of(e.payload)) for e in expected]
    for ack, e in zip(acks, expected, strict=True):
        assert e.text in ack.text and ack.errors == (e.code != "AA"), ack
    records = journal(tmp_path)
    assert [(r.ack, r.message, r.size, r.truncated) for r in records] == [
        (e.code, e.payload[:LIMIT], len(e.payload), len(e.payload) > LIMIT) for e in expected
    ]


def test_an_unfinished_frame_is_dropped_when_the_connection_idles(tmp_path):
    with mllp.Listener(tmp_path, port=0, idle_timeout=0.3) as listener:
        peer = Peer(listener.port, timeout=10)
        started = time.monotonic()
        peer.socket.sendall(b"\x0b" + M1)
        assert peer.until_closed() == b""
        assert time.monotonic() - started >= 0.3
    assert journal(tmp_path) == []




def test_closing_a_listener_frees_its_port_and_its_store(tmp_path):
    with mllp.Listener(tmp_path, port=0) as first:
        pass
    with pytest.raises(ConnectionRefusedError):
        Peer(first.port, timeout=5)
    assert deliver(tmp_path, [M1])[0][0].code == "AA"


# ---------------------------------------------------------------------------------------------------
# Load and back pressure


@pytest.mark.timeout(120)
def test_a_thousand_concurrent_connections_each_get_aa(tmp_path):
    connections = 1000
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    needed = 2 * connections + 200  # both ends live in this process
    if hard != resource.RLIM_INFINITY and hard < needed:
        pytest.skip(f"the descriptor limit {hard} is too low")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, needed), hard))

    async def one(port: int, n: int, everyone: asyncio.Barrier) -> Ack:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        await everyone.wait()  # all connected before any sends
        writer.write(frame(message(f"C{n}")))
        answer = await reader.readuntil(FRAME_END)
        writer.close()
        return ack_of(answer)

    async def all_of(port: int) -> list[Ack]:
        everyone = asyncio.Barrier(connections)
        return await asyncio.gather(*(one(port, n, everyone) for n in range(connections)))

    try:
        with mllp.Listener(tmp_path, port=0) as listener:
            acks = asyncio.run(all_of(listener.port))
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert [(ack.code, ack.control_id) for ack in acks] == [("AA", f"C{n}") for n in range(connections)]
    assert sorted(r.control_id for r in journal(tmp_path)) == sorted(f"C{n}" for n in range(connections))


def status_bytes(pid: int, field: str) -> int:
    found = re.search(rf"^{field}:\s+(\d+) kB", Path(f"/proc/{pid}/status").read_text(), re.MULTILINE)
    assert found, field
    return int(found.group(1)) * 1024


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="AddressSanitizer's quarantine keeps freed memory resident")
@pytest.mark.timeout(180)
def test_a_client_that_never_reads_its_acks_is_not_read_either(tmp_path):
    batch = memoryview(b"".join(frame(message(f"U{n:05}")) for n in range(4000)))
    frame_size = len(batch) // 4000
    with listen_process(tmp_path, "--no-fsync") as (process, port):
        resident_before = status_bytes(process.pid, "VmRSS")
        client = socket.socket()
        client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)  # the acks back up soon
        client.connect(("127.0.0.1", port))
        client.settimeout(3)  # this long without any progress: the listener stopped reading
        sent = 0
        with contextlib.suppress(TimeoutError):
            while sent < 256 * MiB:
                sent += client.send(batch[sent % len(batch) :])
        peak = status_bytes(process.pid, "VmHWM")
        client.settimeout(60)
        client.shutdown(socket.SHUT_WR)  # reading resumes once the acks are taken
        answered = b""
        while chunk := client.recv(1 << 16):
            answered += chunk
    assert sent < 256 * MiB, "the listener kept reading from a client that reads nothing"
    assert peak - resident_before < 64 * MiB
    assert answered.count(b"\rMSA|AA|") == answered.count(FRAME_END) == sent // frame_size


# ---------------------------------------------------------------------------------------------------
# Crashes and a full disk


@pytest.mark.timeout(180)
def test_what_was_acknowledged_survives_sigkill_and_resends_are_duplicates(tmp_path):
    store, clients = tmp_path, 8
    attempted: list[list[str]] = [[] for _ in range(clients)]
    acknowledged: list[list[str]] = [[] for _ in range(clients)]

    def send_until_killed(number: int, port: int) -> None:
        with contextlib.suppress(OSError):
            peer = Peer(port)
            for n in range(100_000):
                attempted[number].append(control_id := f"K{number}-{n}")
                [ack] = peer.exchange(message(control_id))
                if (ack.code, ack.control_id) == ("AA", control_id):
                    acknowledged[number].append(control_id)

    with listen_process(store) as (process, port):
        threads = [threading.Thread(target=send_until_killed, args=(n, port)) for n in range(clients)]
        for thread in threads:
            thread.start()
        deadline = time.monotonic() + 30
        while sum(map(len, acknowledged)) < 400 and time.monotonic() < deadline:
            time.sleep(0.01)
        process.kill()
        for thread in threads:
            thread.join(timeout=30)
    everything = [control_id for ids in attempted for control_id in ids]
    stored = collections.Counter(r.control_id for r in journal(store))
    assert sum(map(len, acknowledged)) >= 100
    assert all(stored[control_id] == 1 for ids in acknowledged for control_id in ids)
    assert set(stored) <= set(everything) and max(stored.values()) == 1

    acks, _ = deliver(store, [message(control_id) for control_id in everything])
    assert {(ack.code, ack.control_id) for ack in acks} == {("AA", control_id) for control_id in everything}
    resent = journal(store)[-len(everything) :]
    assert [(r.control_id, r.duplicate) for r in resent] == [(c, c in stored) for c in everything]


def first_record(journal_bytes: bytes) -> bytes:
    return journal_bytes[: 12 + int.from_bytes(journal_bytes[4:8], "little")]


TORN_TAILS: dict[str, Callable[[bytes], bytes]] = {
    "half a record": lambda data: first_record(data)[: len(first_record(data)) // 2],
    "a record with a bad checksum": lambda data: first_record(data)[:-1] + b"#",
    "noise": lambda data: b"\x07not a record\n" * 8,
}


def test_many_large_messages_at_once_are_shed_rather_than_held(tmp_path):
    # Twelve connections each hold 200 KiB of an unfinished frame, past the budget of eight 256 KiB
    # messages' worth (2 MiB): the later ones keep only a prefix and are refused when they end.
    payloads = [message(f"L{n}", "NTE|1||" + "x" * 240_000) for n in range(12)]
    with mllp.Listener(tmp_path, port=0, max_message_bytes=256 * 1024) as listener:
        peers = [Peer(listener.port) for _ in payloads]
        for peer, payload in zip(peers, payloads):
            peer.socket.sendall(b"\x0b" + payload[:200_000])
            time.sleep(0.02)
        for peer, payload in zip(peers, payloads):
            peer.socket.sendall(payload[200_000:] + FRAME_END)
        acks = [peer.exchange(acks=1)[0] for peer in peers]
    codes = [ack.code for ack in acks]
    assert "AA" in codes and "AR" in codes
    assert all("send it again" in ack.text for ack in acks if ack.code == "AR")
    stored = {(record.control_id, record.ack, record.truncated) for record in journal(tmp_path)}
    assert stored == {(ack.control_id, ack.code, ack.code == "AR") for ack in acks}


def test_only_a_repeated_sender_and_control_id_make_a_duplicate(tmp_path):
    same, other_sender = message("D1"), message("D1").replace(b"|SND|", b"|OTHER|", 1)
    payloads = [same, same, other_sender, message(""), message("")]
    acks, _ = deliver(tmp_path, payloads)
    assert [ack.code for ack in acks] == ["AA"] * 5
    assert [record.duplicate for record in journal(tmp_path)] == [False, True, False, False, False]


@pytest.mark.parametrize("torn", TORN_TAILS.values(), ids=TORN_TAILS)
def test_a_torn_tail_is_cut_and_the_records_before_it_kept(tmp_path, torn):
    before = [message(f"T{n}") for n in range(3)]
    deliver(tmp_path, before)
    path = tmp_path / "messages.journal"
    records = path.read_bytes().rstrip(b"\0")  # the room made ahead is zeros; a record ends in its message
    tail = torn(records)
    path.write_bytes(records + tail)
    acks, cut = deliver(tmp_path, [M1])
    assert cut == len(tail) and acks[0].code == "AA"
    assert [r.message for r in journal(tmp_path)] == [*before, M1]


def limit_file_size(size: int) -> Callable[[], None]:
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))


@pytest.mark.timeout(120)
def test_on_a_full_disk_only_stored_messages_get_aa(tmp_path):
    # the journal makes room 8 MiB ahead, so 15 MiB of messages pass a 12 MiB limit
    payloads = [message(f"D{n}", "NTE|1||" + "x" * 64 * 1024) for n in range(240)]
    with listen_process(tmp_path, preexec_fn=limit_file_size(12 * MiB)) as (process, port):
        acks = Peer(port).exchange(*payloads)
        assert process.poll() is None
    assert {ack.code for ack in acks} == {"AA", "AR"}
    assert all(ack.text.startswith("message not stored: ") for ack in acks if ack.code == "AR")
    deliver(tmp_path, [])  # a restart without the limit
    records = journal(tmp_path)
    assert {r.control_id for r in records} == {ack.control_id for ack in acks if ack.code == "AA"}
    assert {r.ack for r in records} == {"AA"}


# ---------------------------------------------------------------------------------------------------
# Handlers and the journal command


def judge_patient(incoming: Message, peer: str) -> None:
    patient = incoming["PID-3"]
    if patient == "404":
        raise mllp.Reject("no such patient")
    if patient == "500":
        raise LookupError("registry offline")


@pytest.mark.parametrize(
    ("patient", "text"), [("404", "no such patient"), ("500", "handler failed: LookupError: registry offline")]
)
def test_a_handler_answers_ae_and_the_listener_keeps_serving(tmp_path, patient, text):
    judged, next_one = message("H1", f"PID|1||{patient}"), message("H2", "PID|1||200")
    acks, _ = deliver(tmp_path, [judged, next_one], handler=judge_patient)
    assert [(ack.code, ack.control_id) for ack in acks] == [("AE", "H1"), ("AA", "H2")]
    assert [(r.ack, r.ack_text) for r in journal(tmp_path)] == [("AE", acks[0].text), ("AA", "")]
    assert re.fullmatch(text, acks[0].text), acks[0].text


def test_the_journal_command_prints_one_json_object_per_message(tmp_path):
    payloads = [M1, M1, UNDECLARED_LATIN]
    with mllp.Listener(tmp_path, port=0) as listener:
        peer = Peer(listener.port)
        peer.exchange(*payloads)
        local = "127.0.0.1:{}".format(peer.socket.getsockname()[1])
    command = [sys.executable, "-P", "-m", "zanthe", "hl7", "journal", str(tmp_path)]
    printed = subprocess.run(command, capture_output=True, text=True, check=True, timeout=60).stdout
    lines = [json.loads(line) for line in printed.splitlines()]
    assert [(line["control_id"], line["ack"], line["duplicate"], line["peer"]) for line in lines] == [
        ("F1", "AA", False, local), ("F1", "AA", True, local), ("L1", "AE", False, local),
    ]  # fmt: skip
    assert [line["message"] for line in lines[:2]] == [M1.decode()] * 2
    assert base64.b64decode(lines[2]["message_base64"]) == UNDECLARED_LATIN
    received = [datetime.datetime.fromisoformat(line["received"]) for line in lines]
    assert received == sorted(received) and received[0].tzinfo is not None

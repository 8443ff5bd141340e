"""The MLLP sender against python-hl7's receiver and against tiny receivers that misbehave."""

from __future__ import annotations

import asyncio
import contextlib
import os
import ssl
import subprocess
import sys
from collections.abc import AsyncIterator, Callable
from pathlib import Path

import hl7
import hl7.mllp
import pytest
from hypothesis import given
from hypothesis import strategies as st

from helpers.tls import self_signed_certificate
from zanthe import cli
from zanthe.hl7 import sender

pytestmark = [
    pytest.mark.timeout(60),
    # python-hl7 stamps its acknowledgments with a clock call Python 3.12 deprecates.
    pytest.mark.filterwarnings("ignore:datetime.datetime.utcnow:DeprecationWarning"),
]

CORPUS = Path(__file__).parent / "corpus"
FAST = sender.Retry(attempts=4, first_delay=0.01)


def message(control_id: str, *segments: str, charset: str = "", end: str = "\r") -> str:
    header = f"MSH|^~\\&|SND|FAC|RCV|RFAC|20240101120000||ADT^A01|{control_id}|P|2.5||||||{charset}"
    return "".join(line + end for line in (header, *segments))


def frame(payload: bytes) -> bytes:
    return b"\x0b" + payload + b"\x1c\r"


@contextlib.asynccontextmanager
async def serving(handler: Callable, *, peer: bool = False, tls: ssl.SSLContext | None = None) -> AsyncIterator[int]:
    """A receiver on a free local port (python-hl7's with ``peer``), yielding the port."""
    if peer:
        server = await hl7.mllp.start_hl7_server(handler, "127.0.0.1", 0, encoding="utf-8", ssl=tls)
    else:
        server = await asyncio.start_server(handler, "127.0.0.1", 0, ssl=tls)
    try:
        yield server.sockets[0].getsockname()[1]
    finally:
        server.close()


def peer_receiver(received: list[hl7.Message]) -> Callable:
    """python-hl7's receiver: accepts every message but 'REJECT', which gets AE with a reason."""

    async def handle(reader, writer) -> None:
        try:
            while True:
                incoming = await reader.readmessage()
                received.append(incoming)
                rejected = str(incoming.segment("MSH")(10)) == "REJECT"
                ack = incoming.create_ack("AE" if rejected else "AA")
                if rejected:
                    ack.segment("MSA").assign_field("Unknown patient", 3)
                writer.writemessage(ack)
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            writer.close()

    return handle


def ack_of(payload: bytes, control_id: str | None = None) -> bytes:
    ack = hl7.parse(payload.decode()).create_ack()
    if control_id is not None:
        ack.segment("MSA").assign_field(control_id, 2)
    return str(ack).encode()


def answer(payload: bytes, misbehaviour: str) -> bytes:
    """What the tiny receiver writes back: an acknowledgment between bytes outside frames, or worse."""
    if misbehaviour == "answers another control ID":
        return frame(ack_of(payload, "OTHER"))
    if misbehaviour == "answers without MSA":
        return frame(b"MSH|^~\\&|RCV\r")
    if misbehaviour == "answers without end":
        return b"\x0b" + b"MSA|AA|" * 1000
    return b"noise\r\n" + frame(ack_of(payload)) + b"\n"


class Receiver:
    """A tiny receiver that records the payloads that reach it."""

    def __init__(self, misbehaviour: str) -> None:
        self.misbehaviour = misbehaviour
        self.received: list[bytes] = []

    async def __call__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            while True:
                block = await reader.readuntil(b"\x1c\r")
                self.received.append(block[block.index(b"\x0b") + 1 : -2])
                if len(self.received) == 1 and self.misbehaviour == "drops the first message":
                    return
                if len(self.received) == 1 and self.misbehaviour == "ignores the first message":
                    await reader.read()  # until the sender gives up on this connection
                    return
                await self.write_in_pieces(writer, answer(self.received[-1], self.misbehaviour))
                if self.misbehaviour == "closes after each message":
                    return
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    @staticmethod
    async def write_in_pieces(writer: asyncio.StreamWriter, data: bytes) -> None:
        step = max(9, len(data) // 10)
        for cut in range(0, len(data), step):
            writer.write(data[cut : cut + step])
            await writer.drain()
            await asyncio.sleep(0.001)


def test_python_hl7_receives_and_acknowledges_each_message():
    adt = (CORPUS / "adt_a01_cr.hl7").read_text(encoding="utf-8")
    outgoing = [adt, message("LF-2", "PID|1||7", end="\n"), message("BYTES-3", "PID|1||8").encode()]
    received: list[hl7.Message] = []

    async def scenario() -> list[sender.Ack]:
        async with serving(peer_receiver(received), peer=True) as port, sender.connect("127.0.0.1", port) as link:
            return [await link.send(m) for m in outgoing]

    acks = asyncio.run(scenario())
    expected_ids = ["MSG00001", "LF-2", "BYTES-3"]
    assert [(a.code, a.control_id, a.accepted) for a in acks] == [("AA", cid, True) for cid in expected_ids]
    assert all(a.raw.startswith("MSH|^~\\&|") for a in acks)
    sent_text = [m if isinstance(m, str) else m.decode() for m in outgoing]
    assert [str(m) for m in received] == [t.replace("\n", "\r") for t in sent_text]
    assert str(received[0].segment("PID")(5)) == "ÅSTRÖM^KARIN^M^^DR"


@pytest.mark.parametrize(
    ("misbehaviour", "deliveries"),
    [
        ("closes after each message", [0, 1, 2]),
        ("drops the first message", [0, 0, 1, 2]),
        ("ignores the first message", [0, 0, 1, 2]),
    ],
)
def test_messages_are_sent_again_until_acknowledged(misbehaviour, deliveries):
    receiver = Receiver(misbehaviour)
    outgoing = [message(f"CTRL{n}", f"PID|{n}") for n in range(3)]

    async def scenario() -> list[sender.Ack]:
        async with serving(receiver) as port, sender.connect("127.0.0.1", port, timeout=0.5, retry=FAST) as link:
            return [await link.send(m) for m in outgoing]

    acks = asyncio.run(scenario())
    assert [(a.code, a.control_id) for a in acks] == [("AA", f"CTRL{n}") for n in range(3)]
    assert receiver.received == [outgoing[n].encode() for n in deliveries]


@pytest.mark.parametrize(
    ("misbehaviour", "error", "reason"),
    [
        ("answers another control ID", sender.AckError, "for message 'OTHER', not for 'CTRL0'"),
        ("answers without MSA", sender.AckError, "no MSA segment"),
        ("answers without end", sender.AckError, "larger than 4096 bytes"),
        ("is not there", sender.DeliveryError, "cannot connect to 127.0.0.1:"),
    ],
)
def test_a_receiver_that_does_not_acknowledge_is_an_error(misbehaviour, error, reason):
    async def scenario() -> None:
        async with serving(Receiver(misbehaviour)) as port:
            if misbehaviour == "is not there":
                port = unused_port()
            async with sender.connect("127.0.0.1", port, timeout=2, retry=FAST, max_ack_size=4096) as link:
                await link.send(message("CTRL0"))

    with pytest.raises(error, match=reason):
        asyncio.run(scenario())


def unused_port() -> int:
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


NAME = "PID|1||7||MÜLLER"


@pytest.mark.parametrize(
    ("outgoing", "expected"),
    [
        (message("1", NAME, charset="8859/1", end="\n"), message("1", NAME, charset="8859/1").encode("latin-1")),
        (message("1", NAME, end="\r\n"), message("1", NAME).encode()),
        (message("1", "PID|1", end="\n").encode(), message("1", "PID|1", end="\n").encode()),
        (message("1", NAME, charset="ASCII"), "'Ü' cannot be written in the message's character set 'ASCII'"),
        (message("1", charset="ISO IR87"), "cannot send in character set 'ISO IR87'"),
        ("PID|1||7\r", "does not start with an MSH segment"),
        (message("1", "NTE|1||\x1c"), "MLLP block character"),
    ],
)
def test_messages_are_encoded_in_their_own_character_set(outgoing, expected):
    if isinstance(expected, bytes):
        assert sender.outgoing(outgoing) == sender.Outgoing(expected, "1")
    else:
        with pytest.raises(ValueError, match=expected):
            sender.outgoing(outgoing)


SEGMENT = st.builds(
    "{}|{}".format,
    st.sampled_from(["EVN", "PID", "PV1", "OBR", "OBX", "NTE"]),
    st.text(st.characters(exclude_characters="\r\n", exclude_categories=["Cs"]), max_size=12),
)
MESSAGE = st.builds(
    lambda control_id, rest: [message(control_id).rstrip("\r"), *rest],
    st.from_regex(r"[A-Z0-9]{1,8}", fullmatch=True),
    st.lists(SEGMENT, max_size=3),
)


@given(
    messages=st.lists(MESSAGE, min_size=1, max_size=4),
    ends=st.lists(st.sampled_from(["\r", "\n", "\r\n"]), min_size=1),
    blank_lines=st.lists(st.sampled_from(["", "\n", "\r\n\r\n", " \n"]), min_size=1),
    batch=st.booleans(),
    bom=st.booleans(),
)
def test_a_file_is_split_into_messages_with_cr_segment_ends(messages, ends, blank_lines, batch, bom):
    def lines_of(number: int, segments: list[str]) -> str:
        end = ends[number % len(ends)]
        return "".join(s + end for s in segments) + blank_lines[number % len(blank_lines)]

    body = "".join(lines_of(n, m) for n, m in enumerate(messages))
    if batch:
        body = f"FHS|^~\\&|SND\nBHS|^~\\&|SND\n{body}BTS|{len(messages)}\nFTS|1\n"
    data = (b"\xef\xbb\xbf" if bom else b"") + body.encode()
    assert sender.split_messages(data) == [("\r".join(m) + "\r").encode() for m in messages]


@given(
    noise=st.lists(st.binary(max_size=6).filter(lambda b: b"\x0b" not in b), min_size=3, max_size=3),
    cuts=st.lists(st.integers(0, 200), max_size=8),
)
def test_frames_are_found_however_the_bytes_arrive(noise, cuts):
    acks = [ack_of(message(f"C{n}").encode()) for n in range(2)]
    stream = noise[0] + frame(acks[0]) + noise[1] + b"\x0bhalf a frame" + frame(acks[1]) + noise[2]
    frames, buffer = [], sender.FrameBuffer(limit=4096)
    for start, end in zip([0, *sorted(cuts)], [*sorted(cuts), len(stream)]):
        buffer.feed(stream[start:end])
        while (found := buffer.next_frame()) is not None:
            frames.append(found)
    assert frames == acks


# ---------------------------------------------------------------------------------------------------
# TLS


@pytest.fixture(scope="module")
def certificate(tmp_path_factory) -> tuple[Path, Path]:
    """A self-signed certificate for localhost and 127.0.0.1, and its key."""
    return self_signed_certificate(tmp_path_factory.mktemp("tls"))


def server_tls(certificate: tuple[Path, Path], *, client_certificates: bool = False) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(*certificate)
    if client_certificates:  # only senders holding the same certificate get in
        context.load_verify_locations(certificate[0])
        context.verify_mode = ssl.CERT_REQUIRED
    return context


@pytest.mark.parametrize("trusted", [True, False])
def test_tls_checks_the_receivers_certificate(certificate, trusted):
    client = ssl.create_default_context(cafile=certificate[0] if trusted else None)

    async def scenario() -> sender.Ack:
        async with serving(peer_receiver([]), peer=True, tls=server_tls(certificate)) as port:
            async with sender.connect("127.0.0.1", port, ssl=client, server_hostname="localhost", retry=FAST) as link:
                return await link.send(message("TLS1"))

    if trusted:
        assert asyncio.run(scenario()).code == "AA"
    else:
        with pytest.raises(sender.DeliveryError, match="certificate"):
            asyncio.run(scenario())


# ---------------------------------------------------------------------------------------------------
# zanthe hl7 send


async def zanthe_send(*argv: str | Path) -> tuple[int, str, str]:
    command = [sys.executable, "-P", "-m", "zanthe", "hl7", "send", *map(str, argv)]
    process = await asyncio.create_subprocess_exec(
        *command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=os.environ.copy()
    )
    out, err = await asyncio.wait_for(process.communicate(), 50)
    return process.returncode or 0, out.decode(), err.decode()


@pytest.mark.parametrize(
    ("files", "tls", "code", "lines"),
    [
        ([message("A1", end="\n") + "\n" + message("A2", end="\n")], False, 0, ["A1\tAA\t", "A2\tAA\t"]),
        (
            [message("A1"), message("REJECT", "PID|1"), message("A3")],
            False,
            1,
            ["A1\tAA\t", "REJECT\tAE\tUnknown patient", "A3\tAA\t"],
        ),
        ([message("A1", end="\r\n")], True, 0, ["A1\tAA\t"]),
    ],
)
def test_send_prints_the_acknowledgments_and_fails_unless_all_accepted(tmp_path, certificate, files, tls, code, lines):
    paths = [tmp_path / f"{n}.hl7" for n in range(len(files))]
    for path, text in zip(paths, files):
        path.write_text(text, encoding="utf-8")
    received: list[hl7.Message] = []

    cert, key = certificate
    tls_options = ["--ca", cert, "--cert", cert, "--key", key] if tls else []

    async def scenario() -> tuple[int, str, str]:
        server = server_tls(certificate, client_certificates=True) if tls else None
        async with serving(peer_receiver(received), peer=True, tls=server) as port:
            return await zanthe_send(f"localhost:{port}", *paths, *tls_options)

    result = asyncio.run(scenario())
    assert result[:2] == (code, "".join(line + "\n" for line in lines)), result[2]
    assert len(received) == len(lines)


@pytest.mark.parametrize(
    ("argv", "code", "complaint"),
    [
        (["nohost", "x.hl7"], 2, "expected HOST:PORT"),
        (["localhost:0", "x.hl7"], 2, "port from 1 to 65535"),
        (["localhost:2575", "--key", "k.pem", "x.hl7"], 2, "--key needs --cert"),
        (["localhost:2575", "{tmp}/missing.hl7"], 1, "cannot read {tmp}/missing.hl7: No such file"),
    ],
)
def test_send_reports_usage_errors_and_unreadable_files(argv, code, complaint, capsys, tmp_path):
    assert cli.main(["hl7", "send", *(a.format(tmp=tmp_path) for a in argv)]) == code
    complaint = complaint.format(tmp=tmp_path)
    assert complaint in capsys.readouterr().err

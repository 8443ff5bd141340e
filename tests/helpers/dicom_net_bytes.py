"""Upper-layer PDUs and DIMSE command sets built and read by hand, for tests that must send what no
well-behaved peer would: wrong versions and contexts, lying lengths, PDVs out of order, stalls.

PDU headers and item lengths are big endian; command sets are implicit VR little endian.
"""

from __future__ import annotations

import socket
import struct
import time
from dataclasses import dataclass, field
from typing import NamedTuple

APPLICATION_CONTEXT = "1.2.840.10008.3.1.1.1"
VERIFICATION = "1.2.840.10008.1.1"
CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"
IMPLICIT_LE = "1.2.840.10008.1.2"
EXPLICIT_LE = "1.2.840.10008.1.2.1"

ASSOCIATE_RQ, ASSOCIATE_AC, ASSOCIATE_RJ, P_DATA_TF, RELEASE_RQ, RELEASE_RP, ABORT = range(1, 8)

C_STORE_RQ, C_STORE_RSP, C_ECHO_RQ, C_ECHO_RSP = 0x0001, 0x8001, 0x0030, 0x8030
NO_DATASET, DATASET_PRESENT = 0x0101, 0x0000


def pdu(kind: int, body: bytes) -> bytes:
    return struct.pack(">BBI", kind, 0, len(body)) + body


def header(kind: int, declared_length: int) -> bytes:
    """A PDU header alone, its length whatever the caller claims."""
    return struct.pack(">BBI", kind, 0, declared_length)


def item(kind: int, body: bytes) -> bytes:
    return struct.pack(">BBH", kind, 0, len(body)) + body


def uid_bytes(uid: str) -> bytes:
    return uid.encode("ascii")


def ae_field(title: str) -> bytes:
    return title.encode("ascii").ljust(16, b" ")


@dataclass
class Context:
    id: int
    abstract_syntax: str
    transfer_syntaxes: list[str] = field(default_factory=lambda: [IMPLICIT_LE])


def associate_rq(
    contexts: list[Context],
    *,
    called_ae: str = "ZANTHE",
    calling_ae: str = "TESTSCU",
    protocol_version: int = 1,
    application_context: str = APPLICATION_CONTEXT,
    max_pdu_length: int = 16384,
) -> bytes:
    body = struct.pack(">HH", protocol_version, 0) + ae_field(called_ae) + ae_field(calling_ae) + bytes(32)
    body += item(0x10, uid_bytes(application_context))
    for context in contexts:
        sub_items = item(0x30, uid_bytes(context.abstract_syntax))
        sub_items += b"".join(item(0x40, uid_bytes(ts)) for ts in context.transfer_syntaxes)
        body += item(0x20, struct.pack(">BBBB", context.id, 0, 0, 0) + sub_items)
    user = item(0x51, struct.pack(">I", max_pdu_length)) + item(0x52, uid_bytes("1.2.826.0.1.3680043.9.7433.1"))
    body += item(0x50, user)
    return pdu(ASSOCIATE_RQ, body)


def pdv(context_id: int, data: bytes, *, command: bool, last: bool) -> bytes:
    control = (1 if command else 0) | (2 if last else 0)
    return struct.pack(">IBB", len(data) + 2, context_id, control) + data


def p_data(*pdvs: bytes) -> bytes:
    return pdu(P_DATA_TF, b"".join(pdvs))


def abort_pdu(source: int = 0, reason: int = 0) -> bytes:
    return pdu(ABORT, struct.pack(">BBBB", 0, 0, source, reason))


RELEASE_RQ_PDU = pdu(RELEASE_RQ, bytes(4))


# --- command sets ---------------------------------------------------------------------------------


def _element(tag: int, value: bytes) -> bytes:
    return struct.pack("<HHI", tag >> 16, tag & 0xFFFF, len(value)) + value


def _ui(uid: str) -> bytes:
    raw = uid.encode("ascii")
    return raw + b"\0" if len(raw) % 2 else raw


def _us(value: int) -> bytes:
    return struct.pack("<H", value)


def command_set(
    command_field: int,
    message_id: int,
    *,
    sop_class: str,
    sop_instance: str | None = None,
    has_dataset: bool = False,
) -> bytes:
    elements = _element(0x00000002, _ui(sop_class)) + _element(0x00000100, _us(command_field))
    elements += _element(0x00000110, _us(message_id))
    if command_field == C_STORE_RQ:
        elements += _element(0x00000700, _us(0))
    elements += _element(0x00000800, _us(DATASET_PRESENT if has_dataset else NO_DATASET))
    if sop_instance is not None:
        elements += _element(0x00001000, _ui(sop_instance))
    return _element(0x00000000, struct.pack("<I", len(elements))) + elements


def c_store_rq(message_id: int, sop_class: str, sop_instance: str) -> bytes:
    return command_set(C_STORE_RQ, message_id, sop_class=sop_class, sop_instance=sop_instance, has_dataset=True)


def c_echo_rq(message_id: int) -> bytes:
    return command_set(C_ECHO_RQ, message_id, sop_class=VERIFICATION)


def read_command(data: bytes) -> dict[int, bytes]:
    """A command set's elements by tag, their values as bytes."""
    out: dict[int, bytes] = {}
    position = 0
    while len(data) - position >= 8:
        group, element, length = struct.unpack_from("<HHI", data, position)
        position += 8
        if length > len(data) - position:
            raise ValueError("a command element runs past the command set")
        out[(group << 16) | element] = data[position : position + length]
        position += length
    return out


def status_of(command: dict[int, bytes]) -> int:
    return int(struct.unpack("<H", command[0x00000900])[0])


# --- reading the server's side ----------------------------------------------------------------------


class Reply(NamedTuple):
    """What came back: a PDU (kind, body), or kind 0 for a closed connection; and after how long."""

    kind: int
    body: bytes
    seconds: float


CLOSED = 0


def _receive_exactly(sock: socket.socket, count: int, deadline: float) -> bytes | None:
    chunks = bytearray()
    while len(chunks) < count:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError(f"no reply within the deadline ({len(chunks)} of {count} bytes)")
        sock.settimeout(left)
        try:
            chunk = sock.recv(count - len(chunks))
        except ConnectionResetError:
            return None
        if not chunk:
            return None
        chunks += chunk
    return bytes(chunks)


def read_pdu(sock: socket.socket, timeout: float = 5.0, *, since: float | None = None) -> Reply:
    """The next PDU from the server, or CLOSED; ``seconds`` counts from ``since`` (default: now)."""
    start = time.monotonic() if since is None else since
    deadline = time.monotonic() + timeout
    head = _receive_exactly(sock, 6, deadline)
    if head is None:
        return Reply(CLOSED, b"", time.monotonic() - start)
    kind, _, length = struct.unpack(">BBI", head)
    body = _receive_exactly(sock, length, deadline)
    if body is None:
        return Reply(CLOSED, b"", time.monotonic() - start)
    return Reply(kind, body, time.monotonic() - start)


def reject_fields(body: bytes) -> tuple[int, int, int]:
    """An A-ASSOCIATE-RJ's (result, source, reason)."""
    return body[1], body[2], body[3]


def accepted_contexts(body: bytes) -> dict[int, tuple[int, str]]:
    """An A-ASSOCIATE-AC's presentation contexts: id -> (result, transfer syntax)."""
    out: dict[int, tuple[int, str]] = {}
    position = 68
    while len(body) - position >= 4:
        kind, _, length = struct.unpack_from(">BBH", body, position)
        value = body[position + 4 : position + 4 + length]
        position += 4 + length
        if kind == 0x21:
            syntax = value[8 : 8 + struct.unpack_from(">H", value, 6)[0]] if len(value) >= 8 else b""
            out[value[0]] = (value[2], syntax.rstrip(b"\0").decode("ascii"))
    return out


def max_pdu_of(body: bytes) -> int:
    """The maximum PDU length an A-ASSOCIATE-AC (or -RQ) announces; 0 when it names none."""
    position = 68
    while len(body) - position >= 4:
        kind, _, length = struct.unpack_from(">BBH", body, position)
        if kind == 0x50:
            user = body[position + 4 : position + 4 + length]
            at = 0
            while len(user) - at >= 4:
                sub, _, sub_length = struct.unpack_from(">BBH", user, at)
                if sub == 0x51:
                    return int(struct.unpack_from(">I", user, at + 4)[0])
                at += 4 + sub_length
        position += 4 + length
    return 0


def pdvs_of(body: bytes) -> list[tuple[int, int, bytes]]:
    """A P-DATA-TF's PDVs: (context id, control header, data)."""
    out = []
    position = 0
    while len(body) - position >= 6:
        (length,) = struct.unpack_from(">I", body, position)
        out.append((body[position + 4], body[position + 5], body[position + 6 : position + 4 + length]))
        position += 4 + length
    return out


class RawAssociation:
    """A hand-driven association: connect, propose, then send whatever the test wants."""

    def __init__(self, port: int, host: str = "127.0.0.1") -> None:
        self.sock = socket.create_connection((host, port), timeout=5)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.contexts: dict[int, tuple[int, str]] = {}
        self.max_pdu = 0

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def associate(self, contexts: list[Context], **options: object) -> Reply:
        self.send(associate_rq(contexts, **options))  # type: ignore[arg-type]
        reply = read_pdu(self.sock)
        if reply.kind == ASSOCIATE_AC:
            self.contexts = accepted_contexts(reply.body)
            self.max_pdu = max_pdu_of(reply.body)
        return reply

    def read_response(self, timeout: float = 5.0) -> dict[int, bytes]:
        """A whole command set from the server's P-DATA-TF PDUs."""
        command = b""
        while True:
            reply = read_pdu(self.sock, timeout)
            if reply.kind != P_DATA_TF:
                raise ConnectionError(f"PDU {reply.kind} where a response was due")
            for _, control, data in pdvs_of(reply.body):
                command += data
                if control == 3:
                    return read_command(command)

    def data_pdus(self, context_id: int, dataset: bytes) -> list[bytes]:
        """A dataset as P-DATA-TF PDUs of one PDV each, none longer than the server takes."""
        piece = (self.max_pdu or 1 << 20) - 6  # 0: no limit announced
        starts = range(0, len(dataset), piece) if dataset else [0]
        return [p_data(pdv(context_id, dataset[at : at + piece], command=False, last=at + piece >= len(dataset)))
                for at in starts]  # fmt: skip

    def store(self, context_id: int, sop_class: str, sop_instance: str, dataset: bytes, message_id: int = 1) -> int:
        """One C-STORE; the response's status."""
        self.send(p_data(pdv(context_id, c_store_rq(message_id, sop_class, sop_instance), command=True, last=True)))
        for data in self.data_pdus(context_id, dataset):
            self.send(data)
        return status_of(self.read_response())

    def release(self) -> int:
        self.send(RELEASE_RQ_PDU)
        return read_pdu(self.sock).kind

    def close(self) -> None:
        self.sock.close()

    def __enter__(self) -> RawAssociation:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

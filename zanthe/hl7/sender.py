"""Sending HL7 v2 messages over MLLP: `connect`, its `Link`, and `zanthe hl7 send`.

    async with connect("ris.example", 2575, timeout=10) as link:
        ack = await link.send(message)
        if not ack.accepted: ...

Delivery is at least once: when the connection drops or the acknowledgment does not come in time,
the link reconnects with exponential backoff and sends the same message again.

"""

from __future__ import annotations

import asyncio
import re
import ssl as tls
from collections.abc import Awaitable, Callable, Iterator
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, TypeVar

from zanthe import _hl7
from zanthe._oserror import os_error_reason
from zanthe.errors import AckError, DeliveryError, MllpError
from zanthe.hl7 import ParseError, codec_of, split_batch
from zanthe.hl7._address import join_host_port

if TYPE_CHECKING:
    import ssl

DEFAULT_MAX_ACK_SIZE = 1 << 20
ACCEPTED_CODES = ("AA", "CA")
LINE_BREAK = re.compile(r"\r\n|\r|\n")
LINE_BREAK_BYTES = re.compile(rb"\r\n|\r|\n")

T = TypeVar("T")


__all__ = [
    "Ack",
    "AckError",
    "DeliveryError",
    "Link",
    "MllpError",
    "Retry",
    "connect",
    "split_messages",
]


# ---------------------------------------------------------------------------------------------------
# Messages and acknowledgments


@dataclass(frozen=True)
class Ack:
    """An acknowledgment: MSA-1 (``code``), MSA-2 (``control_id``), MSA-3 (``text``) and its whole text."""

    code: str
    control_id: str
    text: str
    raw: str

    @property
    def accepted(self) -> bool:
        return self.code in ACCEPTED_CODES


@dataclass(frozen=True)
class Outgoing:
    """A message ready for the wire: its encoded bytes and its control ID (MSH-10)."""

    payload: bytes
    control_id: str


def read_header(message: str | bytes) -> _hl7.Header | None:
    """The message's header, or None when it has none that can be read."""
    try:
        return _hl7.read_header(message)
    except ParseError:
        return None


def outgoing(message: str | bytes) -> Outgoing:
    """A str is encoded in its MSH-18 character set with CR after every segment; bytes go as they are."""
    if not isinstance(message, str):
        message = bytes(message)
    header = read_header(message)
    if header is None:
        raise ValueError("not an HL7 v2 message: it does not start with an MSH segment")
    payload = encode(normalise_segments(message), header.character_set) if isinstance(message, str) else message
    if b"\x0b" in payload or b"\x1c" in payload:
        raise ValueError("the message holds an MLLP block character (0x0B or 0x1C), which would break its framing")
    return Outgoing(payload, header.control_id)


def normalise_segments(text: str) -> str:
    segments = [segment for segment in LINE_BREAK.split(text) if segment]
    return "".join(segment + "\r" for segment in segments)


def encode(text: str, charset: str) -> bytes:
    codec = codec_of(charset)
    if codec is None:
        raise ValueError(f"cannot send in character set {charset!r} (MSH-18); pass the message as bytes")
    try:
        return text.encode(codec)
    except UnicodeEncodeError as error:
        character = error.object[error.start]
        charset = charset or "UNICODE UTF-8"
        raise ValueError(f"{character!r} cannot be written in the message's character set {charset!r}") from None


def parse_ack(frame: bytes) -> Ack:
    """Reads MSA-1..3 from an acknowledgment, decoded in the character set its own MSH-18 names."""
    header = read_header(frame)
    codec = header.codec if header else None
    text = frame.decode(codec or "utf-8", errors="replace")
    segments = [segment for segment in LINE_BREAK.split(text) if segment]
    separator = header.delimiters[0] if header else "|"
    for segment in segments:
        fields = segment.split(separator)
        if fields[0] == "MSA":
            code, control_id, note = (fields[1:4] + ["", "", ""])[:3]
            return Ack(code, control_id, note, text)
    raise AckError(f"the answer has no MSA segment: {shorten(text)!r}")


def acknowledgment_of(sent: Outgoing, answer: bytes) -> Ack:
    ack = parse_ack(answer)
    if ack.control_id != sent.control_id:
        raise AckError(f"the acknowledgment is for message {ack.control_id!r}, not for {sent.control_id!r}", ack)
    return ack


def shorten(text: str, limit: int = 120) -> str:
    return text if len(text) <= limit else text[:limit] + "..."


# ---------------------------------------------------------------------------------------------------
# Message files


def split_messages(data: bytes) -> list[bytes]:
    """The messages of a file (read as zanthe.hl7.split_batch reads batches), each with CR after every
    segment and without blank lines."""
    return [
        b"".join(segment + b"\r" for segment in LINE_BREAK_BYTES.split(piece) if segment.strip())
        for piece in split_batch(data)
    ]


# ---------------------------------------------------------------------------------------------------
# The link


@dataclass(frozen=True)
class Retry:
    """When a message is sent again: up to ``attempts`` tries in all, waiting ``first_delay`` seconds
    after the first failure and twice as long after each next one, up to ``max_delay``; with a
    ``deadline``, no try starts later than that many seconds after the first."""

    attempts: int = 8
    first_delay: float = 0.1
    max_delay: float = 5.0
    deadline: float | None = None

    def delays(self) -> Iterator[float]:
        delay = self.first_delay
        while True:
            yield delay
            delay = min(delay * 2, self.max_delay)


class FrameBuffer:
    """Cuts the received bytes into frames with the native MLLP reader. Bytes outside frames are
    dropped, and a frame that is started again before it ends is read from its last start; a frame
    may hold at most ``limit`` bytes."""

    def __init__(self, limit: int) -> None:
        self._frames = _hl7.FrameReader(limit)
        self._limit = limit

    def feed(self, chunk: bytes) -> None:
        self._frames.feed(chunk)

    def clear(self) -> None:
        self._frames.clear()

    def next_frame(self) -> bytes | None:
        try:
            return self._frames.next_frame()
        except BufferError:
            raise AckError(f"the answer is larger than {self._limit} bytes") from None


class Connection:
    """One open stream to the receiver."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, max_ack_size: int) -> None:
        self.reader = reader
        self.writer = writer
        self.frames = FrameBuffer(max_ack_size)

    def is_closed(self) -> bool:
        return self.reader.at_eof() or self.writer.is_closing()

    async def exchange(self, payload: bytes) -> bytes:
        """Sends one frame and returns the next frame received."""
        self.frames.clear()  # whatever came after the last acknowledgment answers nothing we send
        self.writer.write(_hl7.frame(payload))
        await self.writer.drain()
        while (frame := self.frames.next_frame()) is None:
            chunk = await self.reader.read(1 << 16)
            if not chunk:
                raise ConnectionError("the receiver closed the connection without acknowledging")
            self.frames.feed(chunk)
        return frame

    def abort(self) -> None:
        self.writer.transport.abort()

    async def close(self, timeout: float) -> None:
        self.writer.close()
        try:
            async with asyncio.timeout(timeout):
                await self.writer.wait_closed()
        except (OSError, TimeoutError):
            self.abort()


class Link:
    """A connection to an MLLP receiver that survives drops; use through `connect`."""

    def __init__(
        self,
        host: str,
        port: int,
        *,
        ssl: ssl.SSLContext | None,
        timeout: float,
        retry: Retry,
        server_hostname: str | None,
        max_ack_size: int,
    ) -> None:
        if timeout <= 0:
            raise ValueError(f"timeout must be positive: {timeout}")
        if retry.attempts < 1:
            raise ValueError(f"attempts must be 1 or more: {retry.attempts}")
        self.host, self.port = host, port
        self._ssl = ssl
        self._timeout = timeout
        self._retry = retry
        self._server_hostname = server_hostname
        self._max_ack_size = max_ack_size
        self._connection: Connection | None = None
        self._turn = asyncio.Lock()

    @property
    def address(self) -> str:
        return join_host_port(self.host, self.port)

    async def __aenter__(self) -> Link:
        await self._retrying(f"cannot connect to {self.address}", self._connected)
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        await self.close()

    async def send(self, message: str | bytes) -> Ack:
        """Sends a message and returns the receiver's acknowledgment of it.

        Raises ValueError for a message that cannot be sent, AckError when the answer is not an
        acknowledgment of this message (its MSA-2 differs from MSH-10), DeliveryError when no answer
        came after every attempt.
        """
        ready = outgoing(message)
        failure = f"no acknowledgment of message {ready.control_id!r} from {self.address}"
        async with self._turn:
            answer = await self._retrying(failure, lambda wait: self._exchange(ready.payload, wait))
            try:
                return acknowledgment_of(ready, answer)
            except AckError:
                self._drop()  # the receiver is answering something else; start afresh
                raise

    async def close(self) -> None:
        if self._connection is not None:
            connection, self._connection = self._connection, None
            await connection.close(self._timeout)

    async def _connected(self, wait: float) -> Connection:
        if self._connection is not None and self._connection.is_closed():
            self._drop()
        if self._connection is None:
            hostname = self._server_hostname if self._ssl else None
            try:
                async with asyncio.timeout(wait):
                    reader, writer = await asyncio.open_connection(
                        self.host, self.port, ssl=self._ssl, server_hostname=hostname
                    )
            except TimeoutError:
                raise TimeoutError(f"no connection within {wait:g} s") from None
            self._connection = Connection(reader, writer, self._max_ack_size)
        return self._connection

    async def _exchange(self, payload: bytes, wait: float) -> bytes:
        ends = asyncio.get_running_loop().time() + wait
        kept = self._connection is not None and not self._connection.is_closed()
        connection = await self._connected(wait)
        try:
            async with asyncio.timeout_at(ends):
                return await connection.exchange(payload)
        except TimeoutError:
            raise TimeoutError(f"no acknowledgment within {wait:g} s") from None
        except ConnectionError as error:
            if kept:
                raise StaleConnection(os_error_reason(error)) from error
            raise
        except asyncio.CancelledError:
            self._drop()  # its acknowledgment may still come and would answer the next message
            raise

    def _drop(self) -> None:
        if self._connection is not None:
            connection, self._connection = self._connection, None
            connection.abort()

    async def _retrying(self, failure: str, attempt: Callable[[float], Awaitable[T]]) -> T:
        """Runs ``attempt(seconds it may take)`` until it succeeds, reconnecting between attempts."""
        loop = asyncio.get_running_loop()
        deadline = None if self._retry.deadline is None else loop.time() + self._retry.deadline
        delays = self._retry.delays()
        tries = 0
        stale_seen = False
        while True:
            tries += 1
            remaining = self._timeout if deadline is None else max(deadline - loop.time(), 0.001)
            try:
                return await attempt(min(self._timeout, remaining))
            except tls.SSLCertVerificationError as error:
                self._drop()
                raise DeliveryError(f"{failure}: {error.verify_message or error}") from error
            except AckError:
                self._drop()
                raise
            except OSError as error:
                self._drop()
                last = error
            if isinstance(last, StaleConnection) and not stale_seen:
                stale_seen = True  # the receiver had closed the kept connection: no failure of its own
                tries -= 1
                continue
            delay = next(delays)
            if tries >= self._retry.attempts or (deadline is not None and loop.time() + delay >= deadline):
                raise DeliveryError(f"{failure}: {os_error_reason(last)} (tried {tries} times)") from last
            await asyncio.sleep(delay)


class StaleConnection(ConnectionError):
    """A kept connection turned out to be closed by the receiver when the next message went out."""


def connect(
    host: str,
    port: int,
    *,
    ssl: ssl.SSLContext | None = None,
    timeout: float = 30.0,
    retry: Retry | None = None,
    server_hostname: str | None = None,
    max_ack_size: int = DEFAULT_MAX_ACK_SIZE,
) -> Link:
    """A link to the MLLP receiver at host:port, connected on entering ``async with``.

    ``timeout`` bounds each connection attempt and each wait for an acknowledgment; ``retry`` says
    how often a message is sent again after a drop or a timeout (default: `Retry()`); with ``ssl``
    the connection is TLS (``server_hostname`` overrides the name the certificate is checked against).
    """
    return Link(
        host,
        port,
        ssl=ssl,
        timeout=timeout,
        retry=retry or Retry(),
        server_hostname=server_hostname,
        max_ack_size=max_ack_size,
    )

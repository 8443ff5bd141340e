"""The MLLP listener: every message journaled durably before its acknowledgment goes out.

    from zanthe.hl7.mllp import Listener

    with Listener("/var/lib/hl7", port=2575) as listener:   # serves on a background thread
        ...

The work is done natively with the interpreter lock released: framing, parsing, the ACK, the
journal (``DIR/messages.journal``, synced in groups shared by all connections) and the sockets.
Python is entered only for a handler, when one is given. With an ``ssl.SSLContext`` the TLS
connections are terminated by Python's ``ssl`` module in a relay thread and handed to the same
native listener as plain streams, so the journal and acknowledgment rules are the same.
"""

from __future__ import annotations

import base64
import datetime
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from zanthe import _hl7
from zanthe._background import BackgroundServer
from zanthe.errors import Reject

if TYPE_CHECKING:
    import ssl as ssl_module

    from zanthe._tls_relay import TlsRelay
    from zanthe.hl7 import Message

__all__ = ["JournalRecord", "Listener", "Reject", "read_journal"]

MAX_MESSAGE_BYTES: int = _hl7.MAX_MESSAGE_BYTES


Handler = Callable[["Message", str], object]


def native_handler(handler: Handler) -> Callable[[bytes, str], tuple[str, str] | None]:
    """Adapts a handler of parsed messages to the native hook, which passes the raw bytes."""
    from zanthe import hl7

    def call(data: bytes, peer: str) -> tuple[str, str] | None:
        try:
            handler(hl7.parse(data), peer)
        except Reject as reject:
            return reject.code, reject.text
        return None

    return call


class Listener(BackgroundServer):
    """An MLLP listener on ``host:port`` journaling into the folder ``store``.

    Use it as a context manager (or call ``start``/``close``) to serve on a background thread, or
    call ``serve_forever`` to serve on the calling thread until ``close`` is called from another.
    Closing commits and acknowledges what was received, then closes the connections and releases the
    port, the journal and the handler.
    A ``handler(message, peer)`` is called for each new, well-formed message before it is stored;
    raising ``Reject`` answers it with AE or AR. ``port=0`` picks a free port (see ``port``).
    """

    def __init__(
        self,
        store: str | Any,
        host: str = "127.0.0.1",
        port: int = 2575,
        *,
        max_message_bytes: int = MAX_MESSAGE_BYTES,
        idle_timeout: float = 60.0,
        fsync: bool = True,
        ssl: ssl_module.SSLContext | None = None,
        handler: Handler | None = None,
    ) -> None:
        self._native: _hl7.Listener = _hl7.Listener(
            str(store),
            host,
            -1 if ssl is not None else port,
            max_message_bytes=max_message_bytes,
            idle_timeout=idle_timeout,
            fsync=fsync,
            handler=native_handler(handler) if handler is not None else None,
        )
        self._thread_name = "zanthe-mllp"
        self._relay: TlsRelay | None = None
        if ssl is not None:
            from zanthe._tls_relay import TlsRelay, adopted_by  # asyncio only when TLS is asked for

            self._relay = TlsRelay(host, port, ssl, adopted_by(self._native), "zanthe-mllp-tls")

    @property
    def port(self) -> int:
        return self._relay.port if self._relay is not None else self._native.port

    @property
    def cut_bytes(self) -> int:
        """Bytes of a torn record cut from the end of the journal when it was opened."""
        return self._native.cut_bytes

    @property
    def stored_messages(self) -> int:
        return self._native.stored_messages

    def serve_forever(self) -> None:
        if self._relay is not None:
            self._relay.start()
        try:
            self._native.serve()
        finally:
            if self._relay is not None:
                self._relay.close()

    def _closed(self) -> None:
        if self._relay is not None:
            self._relay.close()


# ---------------------------------------------------------------------------------------------------
# The journal


@dataclass(frozen=True)
class JournalRecord:
    received: datetime.datetime
    peer: str
    sender: str
    control_id: str
    ack: str
    ack_text: str
    duplicate: bool
    truncated: bool
    size: int
    message: bytes

    def as_json(self) -> dict[str, object]:
        text, exact = decoded_message(self.message)
        record: dict[str, object] = {
            "received": self.received.isoformat(timespec="microseconds"),
            "peer": self.peer,
            "sender": self.sender,
            "control_id": self.control_id,
            "ack": self.ack,
            "ack_text": self.ack_text,
            "duplicate": self.duplicate,
            "size": self.size,
            "message": text,
        }
        if self.truncated:
            record["truncated"] = True
        if not exact:
            record["message_base64"] = base64.b64encode(self.message).decode("ascii")
        return record


def header_text(value: bytes) -> str:
    return value.decode("utf-8", errors="replace")


def decoded_message(data: bytes) -> tuple[str, bool]:
    """The message as text by its own character set, and whether that was exact (journaled bytes
    that are not valid text in it are shown with replacement characters)."""
    from zanthe import hl7

    try:
        return hl7.decode(data), True
    except (_hl7.ParseError, UnicodeDecodeError, LookupError):
        return data.decode("utf-8", errors="replace"), False


def read_journal(store: str | Any) -> Iterator[JournalRecord]:
    """The records of a listener's journal, oldest first; a torn last record is left out."""
    for received_us, peer, sender, control_id, ack, ack_text, duplicate, truncated, size, message in _hl7.JournalRecords(
        str(store)
    ):
        received = datetime.datetime.fromtimestamp(received_us / 1e6, tz=datetime.UTC)
        yield JournalRecord(
            received, peer, header_text(sender), header_text(control_id), ack, header_text(ack_text),
            duplicate, truncated, size, message,
        )  # fmt: skip

"""TLS terminated by Python's ssl module in front of a native server that speaks plain streams.

A relay thread runs an asyncio server on the public address; each TLS connection gets a plain stream
to the native side (a socket pair the native server adopts, or a loopback connection to its port),
and bytes are copied both ways with bounded buffers, so a peer that stops reading stalls only its own
copy. Imported only when TLS is asked for: asyncio and ssl are costly to import at start-up.
"""

from __future__ import annotations

import asyncio
import socket
import threading
from collections.abc import Awaitable, Callable
from typing import Any

RELAY_CHUNK = 64 * 1024
HANDSHAKE_TIMEOUT = 30.0

Streams = tuple[asyncio.StreamReader, asyncio.StreamWriter]
Opener = Callable[[str], Awaitable[Streams]]  # peer "HOST:PORT" -> the plain side's streams


def join_host_port(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


class TlsRelay:
    """Accepts TLS on `host:port` (0: a free port, see `port`) and relays each connection to the
    plain stream `open_plain` gives for it."""

    def __init__(self, host: str, port: int, context: Any, open_plain: Opener, thread_name: str = "zanthe-tls") -> None:
        self._open_plain = open_plain
        self._loop = asyncio.new_event_loop()
        try:
            self._server = self._loop.run_until_complete(asyncio.start_server(
                self._connection, host, port, ssl=context, limit=RELAY_CHUNK, ssl_handshake_timeout=HANDSHAKE_TIMEOUT))
        except BaseException:
            self._loop.close()
            raise
        self.port: int = self._server.sockets[0].getsockname()[1]
        self._thread = threading.Thread(target=self._loop.run_forever, name=thread_name, daemon=True)

    def start(self) -> None:
        self._thread.start()

    def close(self) -> None:
        if self._loop.is_closed():
            return
        if self._thread.is_alive():
            self._loop.call_soon_threadsafe(self._server.close)
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join()
        else:
            self._server.close()
        self._loop.close()

    async def _connection(self, tls_reader: asyncio.StreamReader, tls_writer: asyncio.StreamWriter) -> None:
        host, port = tls_writer.get_extra_info("peername")[:2]
        try:
            plain_reader, plain_writer = await self._open_plain(join_host_port(host, port))
        except OSError:
            tls_writer.close()
            return
        await asyncio.gather(copy(tls_reader, plain_writer), copy(plain_reader, tls_writer), return_exceptions=True)


async def copy(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    try:
        while chunk := await reader.read(RELAY_CHUNK):
            writer.write(chunk)
            await writer.drain()  # a peer that does not read stops this copy, not memory
    finally:
        writer.close()


def adopted_by(native: Any) -> Opener:
    """Hands each connection to `native.adopt(fd, peer)` through a socket pair."""

    async def open_plain(peer: str) -> Streams:
        ours, theirs = socket.socketpair()
        try:
            native.adopt(theirs.fileno(), peer)
        except BaseException:
            ours.close()
            raise
        finally:
            theirs.close()
        return await asyncio.open_connection(sock=ours, limit=RELAY_CHUNK)

    return open_plain


def connecting_to(host: str, port_of: Callable[[], int]) -> Opener:
    """Connects each connection to the native server listening on `host` at the port `port_of()` gives
    (asked per connection: the native side may bind after the relay)."""

    async def open_plain(peer: str) -> Streams:
        return await asyncio.open_connection(host, port_of(), limit=RELAY_CHUNK)

    return open_plain

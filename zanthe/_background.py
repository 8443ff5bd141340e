"""The life of a server that serves natively on a thread of its own: start, stop, wait, close, and
use as a context manager. The listeners of zanthe.hl7.mllp and zanthe.dicom.net share it."""

from __future__ import annotations

import threading
from types import TracebackType
from typing import Any, Self


class BackgroundServer:
    """``serve_forever`` serves on the calling thread; ``start`` runs it on a thread of its own.

    Subclasses set ``_native`` (a native server with ``stop()`` and ``close()``) and ``_thread_name``,
    and define ``serve_forever``; ``_closed`` frees what they hold besides.
    """

    _native: Any
    _thread_name = "zanthe-server"
    _thread: threading.Thread | None = None

    def serve_forever(self) -> None:
        raise NotImplementedError

    def _closed(self) -> None:
        """Called once the native server is closed."""

    def start(self) -> Self:
        self._thread = threading.Thread(target=self.serve_forever, name=self._thread_name, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        """Asks the server to stop, without waiting; safe from any thread and from signal handlers."""
        self._native.stop()

    def wait(self, timeout: float | None = None) -> bool:
        """Waits for a started server to finish serving; True once it has."""
        if self._thread is not None:
            self._thread.join(timeout)
            return not self._thread.is_alive()
        return True

    def close(self) -> None:
        """Stops serving (what was taken in is finished first), then frees the port and the hooks."""
        self._native.stop()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        self._native.close()
        self._closed()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None) -> None:
        self.close()

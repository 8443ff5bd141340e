"""Fixtures of the DICOM networking tests: servers started for a test and stopped after it."""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))  # net_peers, under pytest's importlib mode

pytest.register_assert_rewrite("net_peers")
from net_peers import Listener, Running  # noqa: E402


@pytest.fixture
def serve(tmp_path: Path) -> Iterator[Callable[..., Running]]:
    """Starts our server with the given options; stopped at the end of the test."""
    started: list[Running] = []

    def start(**options: Any) -> Running:
        store = tmp_path / f"store{len(started)}"
        store.mkdir()
        running = Running(store, **options)
        running.server.start()
        started.append(running)
        return running

    yield start
    for running in started:
        running.server.close()


@pytest.fixture
def listen() -> Iterator[Callable[..., Listener]]:
    started: list[Listener] = []

    def start(store: Path, *args: str, preexec_fn: Callable[[], None] | None = None) -> Listener:
        listener = Listener(store, *args, preexec_fn=preexec_fn)
        started.append(listener)
        return listener

    yield start
    for listener in started:
        listener.stop()

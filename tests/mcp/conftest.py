"""Fixtures of the zanthe mcp tests."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))  # mcp_inputs, under pytest's importlib mode

from mcp_inputs import write_root  # noqa: E402


@pytest.fixture(scope="module")
def root(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_root(tmp_path_factory.mktemp("root"))

"""Fixtures of the command-line tests: a runner for `zanthe ...` in this process, and input trees."""

from __future__ import annotations

import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))  # cli_inputs, under pytest's importlib mode

from cli_inputs import dicom_bytes  # noqa: E402

from zanthe import cli  # noqa: E402


@dataclass
class Run:
    code: int
    out: str
    err: str


Runner = Callable[..., Run]


@pytest.fixture
def run(capsys: pytest.CaptureFixture[str]) -> Runner:
    """Calls `zanthe ...` in this process and returns its exit code and captured output."""

    def call(*argv: str | Path) -> Run:
        code = cli.main([str(a) for a in argv])
        captured = capsys.readouterr()
        return Run(code, captured.out, captured.err)

    return call


@pytest.fixture
def write_file(tmp_path: Path) -> Callable[[str, bytes], Path]:
    def write(relative: str, data: bytes) -> Path:
        path = tmp_path / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    return write


@pytest.fixture
def mixed_tree(write_file: Callable[[str, bytes], Path], tmp_path: Path) -> Path:
    """studies/ with good instances in two subfolders (one name used twice), a DICOM file without a
    StudyInstanceUID, a truncated one, a text file and hidden entries."""
    write_file("studies/a/IM0001", dicom_bytes(1))
    write_file("studies/a/IM0002.dcm", dicom_bytes(2, implicit=True))
    write_file("studies/b/IM0001", dicom_bytes(3))
    write_file("studies/b/no_study_uid.dcm", dicom_bytes(4, study_uid=False))
    write_file("studies/b/truncated.dcm", dicom_bytes(5)[:140])
    write_file("studies/notes.txt", b"not a DICOM file\n")
    write_file("studies/.DS_Store", b"\0\0\0\1Bud1")
    write_file("studies/.cache/IM0009", dicom_bytes(9))
    return tmp_path / "studies"

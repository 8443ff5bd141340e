"""The checked-in type stubs match the built modules, and mypy --strict sees every native signature."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path
from types import ModuleType

import pytest

ROOT = Path(__file__).resolve().parents[2]
STUBS = ["_agent.pyi", "_dicom.pyi", "_fhir.pyi", "_hl7.pyi"]
TYPED_USAGE = Path(__file__).with_name("typed_usage.py")


def python(*argv: str | Path, cwd: Path = ROOT, stdin: int | None = None) -> subprocess.CompletedProcess[str]:
    """Runs this interpreter without the checkout on sys.path, so `zanthe` is the built package."""
    command = [sys.executable, "-P", *map(str, argv)]
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=300, stdin=stdin)


def load_gen_stubs() -> ModuleType:
    spec = importlib.util.spec_from_file_location("gen_stubs", ROOT / "tools" / "gen_stubs.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_regenerated_stubs_equal_the_checked_in_ones(tmp_path):
    result = python(ROOT / "tools" / "gen_stubs.py", "--output-dir", tmp_path)
    assert result.returncode == 0, result.stderr
    for name in STUBS:
        fresh = (tmp_path / name).read_text(encoding="utf-8")
        assert fresh == (ROOT / "zanthe" / name).read_text(encoding="utf-8"), (
            f"zanthe/{name} is out of date: run python tools/gen_stubs.py"
        )


def test_each_stub_says_how_to_regenerate_it():
    for name in STUBS:
        first_lines = (ROOT / "zanthe" / name).read_text(encoding="utf-8").splitlines()[:3]
        assert any("python tools/gen_stubs.py" in line for line in first_lines)


def test_a_refinement_that_no_longer_matches_the_binding_is_refused(tmp_path):
    from zanthe import _fhir

    gen_stubs = load_gen_stubs()
    stale = tmp_path / "stale.txt"
    stale.write_text("zanthe._fhir.imaging_study$:\n    def imaging_study(data: bytes) -> str: ...\n")
    with pytest.raises(SystemExit, match="no longer match the binding"):
        gen_stubs.refined_stub(_fhir, stale)


def mypy(*files: str | Path, cache: Path) -> subprocess.CompletedProcess[str]:
    # Imports other than the files named (e.g. the MCP server module the CLI loads) are read for
    # their types only; the stubs are named so their own errors count.
    stubs = [ROOT / "zanthe" / name for name in STUBS]
    options = ["--strict", "--follow-imports=silent", "--cache-dir", cache, "--no-error-summary"]
    return python("-m", "mypy", *options, *stubs, *files, cwd=ROOT)


def test_mypy_strict_accepts_the_package_and_the_typed_usage_sample(tmp_path):
    modules = (
        "__init__.py", "__main__.py", "errors.py", "mcp.py", "server.py", "fhir.py", "archive.py", "dask_archive.py",
        "_tls_relay.py", "_oserror.py", "_background.py",
        "cli/__init__.py", "cli/common.py", "cli/fhir.py", "cli/hl7.py", "cli/mcp.py", "cli/render.py", "cli/dicom.py",
        "dicom/__init__.py", "dicom/pixels.py", "dicom/render.py", "dicom/attributes.py", "dicom/net.py",
        "hl7/__init__.py", "hl7/_address.py", "hl7/listener.py", "hl7/sender.py", "hl7/mllp.py",
    )  # fmt: skip
    package = [ROOT / "zanthe" / name for name in modules]
    result = mypy(*package, TYPED_USAGE, cache=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSES = {
    "_fhir.imaging_study('text')": "imaging_study",
    "_hl7.parse(b'MSH')": "parse",
    "_hl7.build_oru({'our_ap': 'X'}, {}, [])": "our_ap",
    "_hl7.build_oru({}, {'patient_id': 7}, [])": "patient_id",
    "_hl7.build_oru({}, {}, [{'value': 'x'}])[0].fields": "fields",
    "_hl7.parse('')[0]['name']": "name",
    "_agent.serve_stdio([('a', 'b')], print)": "serve_stdio",
    "_agent.serve_stdio([], lambda name, args: 0)": "serve_stdio",
}


def test_mypy_rejects_each_misuse_of_a_native_signature(tmp_path):
    sample = tmp_path / "misuse.py"
    lines = ["from zanthe import _agent, _fhir, _hl7", *MISUSES]
    sample.write_text("\n".join(lines) + "\n")
    result = mypy(sample, cache=tmp_path / "cache")
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    assert flagged == set(range(2, len(lines) + 1)), result.stdout


def test_the_typed_usage_sample_runs():
    result = python(TYPED_USAGE, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr

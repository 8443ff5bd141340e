"""The manylinux wheel that `scripts/wheel` makes installs into another CPython with nothing else beside
it and converts DICOM files there, deflated ones included (the engine's zlib comes from the system).

The wheel is built from this checkout, repaired by auditwheel, and installed with `pip --no-index` into
a fresh virtual environment of a CPython other than the one running the tests (3.13 first), where it
runs isolated from this checkout and the test session's module path.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pydicom
import pytest
from pydicom.data import get_testdata_file
from pydicom.uid import DeflatedExplicitVRLittleEndian, ExplicitVRLittleEndian

from helpers.memory import UNDER_ADDRESS_SANITIZER

ROOT = Path(__file__).resolve().parents[2]
PREFERRED_VERSIONS = ["3.13", "3.14", "3.12", "3.15"]
CONVERT = """
import json, sys
from zanthe import _fhir
with open(sys.argv[1], "rb") as f:
    print(json.dumps({"module": _fhir.__file__, "study": _fhir.imaging_study(f.read())}))
"""

pytestmark = [
    pytest.mark.timeout(900),
    pytest.mark.skipif(
        UNDER_ADDRESS_SANITIZER, reason="the wheel is an uninstrumented build; the plain test run covers it"),
]


def clean_env() -> dict[str, str]:
    """This environment without the test session's module path and sanitizer runtime."""
    dropped = {"PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "ZANTHE_USE_BUILD_MODULES"}
    return {name: value for name, value in os.environ.items() if name not in dropped}


def is_cpython(executable: str, version: str) -> bool:
    probe = ("import platform, sys, venv, ensurepip; "
             f"sys.exit(platform.python_implementation() != 'CPython' or not sys.version.startswith('{version}.'))")
    try:
        return subprocess.run([executable, "-I", "-c", probe], capture_output=True, timeout=60).returncode == 0
    except OSError:
        return False


def other_cpython() -> str | None:
    """A CPython of another minor version than this one, 3.13 first: on PATH, else among pyenv's."""
    mine = f"{sys.version_info.major}.{sys.version_info.minor}"
    pyenv = shutil.which("pyenv")
    pyenv_root = subprocess.run([pyenv, "root"], capture_output=True, text=True).stdout.strip() if pyenv else ""
    for version in (v for v in PREFERRED_VERSIONS if v != mine):
        candidates = [shutil.which(f"python{version}")]
        if pyenv_root:
            installed = Path(pyenv_root, "versions").glob(f"{version}.*/bin/python3")
            candidates += sorted(map(str, installed), reverse=True)
        for candidate in filter(None, candidates):
            if is_cpython(candidate, version):
                return candidate
    return None


def auditwheel_runs() -> bool:
    command = [sys.executable, "-m", "auditwheel", "--version"]
    return sys.platform == "linux" and subprocess.run(command, capture_output=True).returncode == 0


@pytest.fixture(scope="module")
def installed(tmp_path_factory) -> Path:
    """The interpreter of a fresh venv of another CPython with the repaired wheel installed."""
    other = other_cpython()
    if other is None:
        pytest.skip(f"no CPython other than {sys.version_info.major}.{sys.version_info.minor} found "
                    "(on PATH as python3.13 and the like, or among pyenv's versions)")
    if not auditwheel_runs():
        pytest.skip("auditwheel cannot run here (it needs Linux and the test extra's auditwheel)")
    dist = tmp_path_factory.mktemp("dist")
    built = subprocess.run([ROOT / "scripts" / "wheel", dist], capture_output=True, text=True, env=clean_env())
    assert built.returncode == 0, built.stdout + built.stderr
    [wheel] = dist.glob("*.whl")
    assert "-cp312-abi3-manylinux_" in wheel.name, wheel.name
    venv = tmp_path_factory.mktemp("venv")
    subprocess.run([other, "-m", "venv", venv], check=True, env=clean_env())
    install = [venv / "bin" / "python", "-m", "pip", "install", "--quiet", "--no-index", wheel]
    installed = subprocess.run(install, capture_output=True, text=True, env=clean_env())
    assert installed.returncode == 0, installed.stdout + installed.stderr
    return venv / "bin" / "python"


@pytest.mark.parametrize("transfer_syntax", [ExplicitVRLittleEndian, DeflatedExplicitVRLittleEndian],
                         ids=["explicit-little-endian", "deflated"])
def test_installed_wheel_converts_dicom_in_another_cpython(installed, transfer_syntax, tmp_path):
    dataset = pydicom.dcmread(get_testdata_file("CT_small.dcm"))
    dataset.file_meta.TransferSyntaxUID = transfer_syntax
    part10 = tmp_path / "study.dcm"
    dataset.save_as(part10, enforce_file_format=True)

    run = subprocess.run([installed, "-I", "-c", CONVERT, part10], capture_output=True, text=True,
                         cwd=tmp_path, env=clean_env(), timeout=60)

    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert Path(result["module"]).is_relative_to(installed.parent.parent)
    identifiers = json.loads(result["study"])["identifier"]
    assert {"use": "official", "system": "urn:dicom:uid",
            "value": "urn:oid:" + dataset.StudyInstanceUID} in identifiers

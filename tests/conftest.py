"""Wires the native modules into the test session.

The test-only modules (``_agent_testing`` and friends) live in ``$ZANTHE_BUILD_DIR/testing``. With
``ZANTHE_USE_BUILD_MODULES=1`` the ``zanthe`` package is assembled from this checkout's Python files
and the extension modules of ``$ZANTHE_BUILD_DIR/zanthe`` (so a development build is tested without
reinstalling), for this process and for the subprocesses that tests start.
"""

import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = Path(os.environ.get("ZANTHE_BUILD_DIR", ROOT / "build" / "tests"))
if not BUILD_DIR.is_absolute():
    BUILD_DIR = ROOT / BUILD_DIR


def _prepend_path(directory: Path) -> None:
    sys.path.insert(0, str(directory))
    parts = [str(directory), *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))]
    os.environ["PYTHONPATH"] = os.pathsep.join(parts)


def _assemble_development_package() -> Path:
    overlay = BUILD_DIR / "devpkg"
    package = overlay / "zanthe"
    package.mkdir(parents=True, exist_ok=True)
    sources = [*(ROOT / "zanthe").iterdir(), *(BUILD_DIR / "zanthe").glob("*.so")]
    for source in sources:
        if source.name == "__pycache__":
            continue
        link = package / source.name
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(source)
    return overlay


_prepend_path(BUILD_DIR / "testing")
if os.environ.get("ZANTHE_USE_BUILD_MODULES") == "1":
    _prepend_path(_assemble_development_package())

# Property tests: no per-example deadline (sanitizer builds and loaded CI machines are slow), and in CI
# a fixed sequence of examples so a run is reproducible; locally each run explores new examples.
from hypothesis import HealthCheck, settings  # noqa: E402

settings.register_profile("zanthe", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("ci", parent=settings.get_profile("zanthe"), derandomize=True)
settings.load_profile(os.environ.get("ZANTHE_HYPOTHESIS_PROFILE", "zanthe"))

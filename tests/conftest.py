"""Wires the native modules into the test session.

The test-only modules (``_agent_testing`` and friends) live in ``$ZANTHE_BUILD_DIR/testing``. With
``ZANTHE_USE_BUILD_MODULES=1`` the package is also taken from this checkout and its extension modules
from ``$ZANTHE_BUILD_DIR/zanthe``, so a development build is tested without reinstalling.
"""

import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = Path(os.environ.get("ZANTHE_BUILD_DIR", ROOT / "build" / "tests"))
if not BUILD_DIR.is_absolute():
    BUILD_DIR = ROOT / BUILD_DIR

sys.path.insert(0, str(BUILD_DIR / "testing"))

if os.environ.get("ZANTHE_USE_BUILD_MODULES") == "1":
    sys.path.insert(0, str(ROOT))
    import zanthe

    zanthe.__path__.insert(0, str(BUILD_DIR / "zanthe"))

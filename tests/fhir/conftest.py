"""Makes this folder's shared builders (fhir_part10) importable under pytest's importlib mode."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

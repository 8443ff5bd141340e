"""The main demonstration runs, and its bundled data is exactly what the committed generator writes."""

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_demo_calls_every_tool_and_prints_the_answers():
    proc = subprocess.run([sys.executable, "-P", str(ROOT / "examples" / "zanthe_demo.py")], capture_output=True,
                          text=True, timeout=120, env=os.environ)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert out.startswith("connected to zanthe ")
    for title in ("== dicom_to_imaging_study sample_ct.dcm", "[error result]", "== hl7_parse sample_adt.hl7",
                  "== hl7_build_oru sample_oru_request.json"):
        assert title in out
    assert '"resourceType": "ImagingStudy"' in out and "OBX|2|TX|IMPRESSION^Impression" in out


def test_sample_data_matches_its_generator(tmp_path):
    generator = (ROOT / "tools" / "make_samples.py").read_text()
    copy = tmp_path / "tools" / "make_samples.py"
    copy.parent.mkdir()
    copy.write_text(generator)
    subprocess.run([sys.executable, str(copy)], check=True, capture_output=True, timeout=60)
    written = tmp_path / "examples" / "data"
    committed = ROOT / "examples" / "data"
    names = sorted(p.name for p in written.iterdir())
    assert names == ["sample_adt.hl7", "sample_ct.dcm", "sample_oru_request.json"]
    for name in names:
        assert (written / name).read_bytes() == (committed / name).read_bytes(), name

"""Inputs of the zanthe mcp tests: the example files and a folder of DICOM instances."""

from __future__ import annotations

import shutil
from pathlib import Path

from helpers.study_archive import CT_IMAGE_STORAGE, ROOT_UID, part10

DATA = Path(__file__).resolve().parents[2] / "examples" / "data"
FOLDER_FILES = 40  # several batches of files, so that progress moves more than once
FILES_FOUND = FOLDER_FILES + 1  # and one that is not DICOM


def write_root(root: Path) -> Path:
    """root/ct.dcm (sample_ct.dcm), and root/archive/ with FOLDER_FILES instances of two studies, 20
    each, and notes.txt, which is not DICOM."""
    shutil.copy(DATA / "sample_ct.dcm", root / "ct.dcm")
    folder = root / "archive"
    folder.mkdir()
    for n in range(FOLDER_FILES):
        study = f"{ROOT_UID}.{n % 2 + 1}"
        values = {
            "StudyInstanceUID": study, "SeriesInstanceUID": f"{study}.1", "SOPInstanceUID": f"{study}.1.{n}",
            "SOPClassUID": CT_IMAGE_STORAGE, "Modality": "CT", "PatientID": f"PAT{n % 2}", "InstanceNumber": n,
        }  # fmt: skip
        (folder / f"{n:03}.dcm").write_bytes(part10(values, implicit=False))
    (folder / "notes.txt").write_text("not DICOM")
    return root

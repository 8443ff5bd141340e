"""A folder of DICOM files (written by pydicom) holding several studies of several series, as an archive
looks: file names that say nothing, instances of one series spread over folders, a copy of one
instance under another name, a text file and a truncated file.

    write_archive(tmp_path / "archive")  # the folder; the same tree for the same seed

Study and series descriptions differ from instance to instance (the first file in path order gives the
resource's value); Series and Instance Numbers tie in places and run past 9, so that an order by text
or by path shows. Folder names "1", "1-1" and "1.2" sort differently as names and as whole paths.
"""

from __future__ import annotations

import io
import random
from pathlib import Path

from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.filewriter import dcmwrite
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian

ROOT_UID = "1.2.826.0.1.3680043.8.498.77"
CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"
MR_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.4"
PET_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.128"
SOP_CLASSES = {"CT": CT_IMAGE_STORAGE, "MR": MR_IMAGE_STORAGE, "PT": PET_IMAGE_STORAGE}
FOLDERS = ("", "1", "1-1", "1.2", "1/deeper")

# study -> [(series number, modality, instance numbers)]
LAYOUT = {
    1: [(2, "CT", [3, 1, 2, 10]), (1, "CT", [1, 1, 2]), (2, "PT", [7, 9])],
    2: [(10, "MR", [2, 1]), (9, "MR", [11, 2, 1])],
    3: [(1, "CT", [1])],
}


def part10(values: dict[str, object], *, implicit: bool) -> bytes:
    ds = Dataset()
    for keyword, value in values.items():
        setattr(ds, keyword, value)
    ds.file_meta = FileMetaDataset()
    ds.file_meta.MediaStorageSOPClassUID = values["SOPClassUID"]
    ds.file_meta.MediaStorageSOPInstanceUID = values["SOPInstanceUID"]
    ds.file_meta.TransferSyntaxUID = ImplicitVRLittleEndian if implicit else ExplicitVRLittleEndian
    out = io.BytesIO()
    dcmwrite(out, ds, enforce_file_format=True)
    return out.getvalue()


def instances() -> list[dict[str, object]]:
    """Every instance of LAYOUT as keyword -> value."""
    made = []
    for study, series_list in LAYOUT.items():
        for s, (series_number, modality, numbers) in enumerate(series_list, start=1):
            for i, number in enumerate(numbers, start=1):
                made.append({
                    "StudyInstanceUID": f"{ROOT_UID}.{study}",
                    "AccessionNumber": f"ACC{study}",
                    "PatientID": f"PAT{study}",
                    "PatientName": f"Doe^Patient{study}",
                    "StudyID": f"S{study}",
                    "StudyDate": f"2024010{study}",
                    "StudyTime": "101500",
                    "StudyDescription": f"study {study} as told by instance {s}.{i}",
                    "SeriesInstanceUID": f"{ROOT_UID}.{study}.{s}",
                    "SeriesNumber": series_number,
                    "SeriesDescription": f"series {s} as told by instance {i}",
                    "SeriesDate": f"2024010{study}",
                    "SeriesTime": f"1{s}0000",
                    "Modality": modality,
                    "SOPClassUID": SOP_CLASSES[modality],
                    "SOPInstanceUID": f"{ROOT_UID}.{study}.{s}.{i}",
                    "InstanceNumber": number,
                })
    return made


def write_archive(root: Path, seed: int = 7) -> Path:
    """Writes the archive below root and returns root."""
    rng = random.Random(seed)
    files = [part10(values, implicit=rng.random() < 0.3) for values in instances()]
    files.append(files[rng.randrange(len(files))])  # one instance twice, under another name
    truncated = part10({**instances()[0], "SOPInstanceUID": f"{ROOT_UID}.1.1.99"}, implicit=False)
    files.append(truncated[: truncated.index(b"as told by")])  # ends inside its StudyDescription
    files.append(b"not a DICOM file, just notes\n")
    names = rng.sample(range(16**6), len(files))
    for data, name in zip(files, names, strict=True):
        path = root / rng.choice(FOLDERS) / f"{name:06x}"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return root

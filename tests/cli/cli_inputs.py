"""Inputs shared by the command-line tests: DICOM instances written by pydicom."""

from __future__ import annotations

import io

from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.filewriter import dcmwrite
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian

CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"
UID_ROOT = "1.2.826.0.1.3680043.8.498."


def dicom_bytes(number: int, *, implicit: bool = False, study_uid: bool = True) -> bytes:
    """A small CT instance; `number` makes its UIDs and patient distinct."""
    ds = Dataset()
    if study_uid:
        ds.StudyInstanceUID = f"{UID_ROOT}{number}.1"
    ds.SeriesInstanceUID = f"{UID_ROOT}{number}.2"
    ds.SOPInstanceUID = f"{UID_ROOT}{number}.3"
    ds.SOPClassUID = CT_IMAGE_STORAGE
    ds.Modality = "CT"
    ds.PatientID = f"PAT-{number}"
    ds.StudyDate = "20240131"
    ds.StudyDescription = f"Study number {number}"
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = CT_IMAGE_STORAGE
    meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
    meta.TransferSyntaxUID = ImplicitVRLittleEndian if implicit else ExplicitVRLittleEndian
    ds.file_meta = meta
    out = io.BytesIO()
    dcmwrite(out, ds, enforce_file_format=True)
    return out.getvalue()


# The files of mixed_tree that convert, in walk order, and those that fail.
GOOD_FILES = ["a/IM0001", "a/IM0002.dcm", "b/IM0001"]
BAD_FILES = ["b/no_study_uid.dcm", "b/truncated.dcm", "notes.txt"]

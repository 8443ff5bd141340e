"""Part 10 files written by pydicom, and the ImagingStudy values a conversion of them must carry."""

from __future__ import annotations

import io

from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.filewriter import dcmwrite
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian

DCM = "http://dicom.nema.org/resources/ontology/DCM"
SNOMED = "http://snomed.info/sct"
V2_0203 = "http://terminology.hl7.org/CodeSystem/v2-0203"
CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"

# Keyword -> value for every attribute the conversion reads.
FULL_STUDY = {
    "StudyInstanceUID": "1.2.826.0.1.3680043.8.498.1",
    "AccessionNumber": "ACC-0042",
    "StudyID": "S17",
    "PatientID": "PAT-7",
    "StudyDate": "20240131",
    "StudyTime": "093000.123456",
    "StudyDescription": "CT chest without contrast",
    "ReferringPhysicianName": "Doe^John^Q^Dr",
    "Modality": "CT",
    "SeriesInstanceUID": "1.2.826.0.1.3680043.8.498.2",
    "SeriesDescription": "Axial 1mm",
    "BodyPartExamined": "CHEST",
    "Laterality": "R",
    "SeriesDate": "20240131",
    "SeriesTime": "0931",
    "SOPInstanceUID": "1.2.826.0.1.3680043.8.498.3",
    "SOPClassUID": CT_IMAGE_STORAGE,
}


def part10(values: dict[str, object], *, implicit: bool = False, charset: str | None = None) -> bytes:
    """A Part 10 file holding the given attributes (keyword -> value), written by pydicom."""
    ds = Dataset()
    if charset is not None:
        ds.SpecificCharacterSet = charset
    for keyword, value in values.items():
        setattr(ds, keyword, value)
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = values.get("SOPClassUID", CT_IMAGE_STORAGE)
    meta.MediaStorageSOPInstanceUID = values.get("SOPInstanceUID", "1.2.3.4")
    meta.TransferSyntaxUID = ImplicitVRLittleEndian if implicit else ExplicitVRLittleEndian
    ds.file_meta = meta
    out = io.BytesIO()
    dcmwrite(out, ds, enforce_file_format=True)
    return out.getvalue()

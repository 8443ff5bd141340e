"""The archives bench/archive_bench.py converts, written with pydicom into a scratch folder and reused.

    python bench/archive_data.py [--data /tmp/zanthe-bench-archive] [--small 10000,30000,100000]

- big/: 2 studies x 3 series x 50 CT images of 2048 x 2048 16-bit native pixels (8 MiB each, written
  in full so a cold read of them costs real storage reads), and one multi-frame image of
  300 frames of 2048 x 1024 16-bit (1.2 GiB) in a series of its own, written sparse: its header, then
  the file is extended with os.truncate so the pixel data is a hole and costs no disk.
- small-N/: N header-only CT files (about 1.5 KiB each), 100 instances a series, 10 series a study
  (so N / 1,000 studies), made by patching the UIDs and numbers of one pydicom-written template.

Each set is written once: a marker file beside its folder (`big.done`, `small-N.done`, holding this
generator's format) says it is complete, and a set whose marker is missing or stale is written
again. Nothing here goes in the repository.
"""

from __future__ import annotations

import argparse
import os
import shutil
import struct
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import pydicom
from pydicom.uid import ExplicitVRLittleEndian

from fhir_bench import part10

DEFAULT_DATA = "/tmp/zanthe-bench-archive"
FORMAT = "zanthe archive bench data 1"
ROOT_UID = "1.2.826.0.1.3680043.8.498.77"
CT_IMAGE = "1.2.840.10008.5.1.4.1.1.2"
ENHANCED_CT_IMAGE = "1.2.840.10008.5.1.4.1.1.2.1"

BIG_STUDIES, BIG_SERIES, BIG_INSTANCES = 2, 3, 50
BIG_ROWS = BIG_COLUMNS = 2048
MULTI_FRAMES, MULTI_ROWS, MULTI_COLUMNS = 300, 1024, 2048
SMALL_PER_SERIES, SMALL_SERIES_PER_STUDY = 100, 10


@dataclass(frozen=True)
class Expected:
    """What a correct conversion of a set finds: studies, series and instances."""

    files: int
    studies: int
    series: int
    bytes_on_disk_nominal: int


def ct_header(study: int, series: int, instance: int, tag: str) -> pydicom.Dataset:
    """A CT-like header: patient, order, study, series and image attributes, no pixel data."""
    ds = pydicom.Dataset()
    ds.SpecificCharacterSet = "ISO_IR 100"
    ds.ImageType = ["ORIGINAL", "PRIMARY", "AXIAL"]
    ds.SOPClassUID = CT_IMAGE
    ds.SOPInstanceUID = f"{ROOT_UID}.{tag}.{study}.{series}.{instance}"
    ds.StudyDate, ds.StudyTime = "20240131", "093000.123456"
    ds.SeriesDate, ds.SeriesTime = "20240131", f"0935{series % 60:02d}"
    ds.AcquisitionDate, ds.AcquisitionTime = "20240131", f"0935{series % 60:02d}.5"
    ds.ContentDate, ds.ContentTime = "20240131", f"0936{series % 60:02d}"
    ds.AccessionNumber = f"ACC{study:07d}"
    ds.Modality = "CT"
    ds.Manufacturer = "ZANTHE BENCH"
    ds.InstitutionName = "Bench General Hospital"
    ds.ReferringPhysicianName = "Doe^John^Q^Dr"
    ds.StationName = "CT01"
    ds.StudyDescription = "CT CHEST ABDOMEN PELVIS"
    ds.SeriesDescription = f"AXIAL {series} mm"
    ds.ManufacturerModelName = "Bench Scanner 9000"
    ds.PatientName = f"TEST^PATIENT{study:07d}"
    ds.PatientID = f"PID{study:07d}"
    ds.PatientBirthDate = "19700101"
    ds.PatientSex = "O"
    ds.PatientAge = "054Y"
    ds.BodyPartExamined = "CHEST"
    ds.SliceThickness = "1.0"
    ds.KVP = "120"
    ds.ProtocolName = "CHEST ABD PELVIS W CONTRAST"
    ds.PatientPosition = "HFS"
    ds.StudyInstanceUID = f"{ROOT_UID}.{tag}.{study}"
    ds.SeriesInstanceUID = f"{ROOT_UID}.{tag}.{study}.{series}"
    ds.StudyID = f"S{study:07d}"
    ds.SeriesNumber = series
    ds.InstanceNumber = instance
    ds.ImagePositionPatient = ["-250.0", "-250.0", f"{-instance:.1f}"]
    ds.ImageOrientationPatient = ["1", "0", "0", "0", "1", "0"]
    ds.FrameOfReferenceUID = f"{ROOT_UID}.{tag}.{study}.0"
    ds.SliceLocation = f"{-instance:.1f}"
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows, ds.Columns = BIG_ROWS, BIG_COLUMNS
    ds.PixelSpacing = ["0.244140625", "0.244140625"]
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
    ds.WindowCenter, ds.WindowWidth = "40", "400"
    ds.RescaleIntercept, ds.RescaleSlope, ds.RescaleType = "-1024", "1", "HU"
    return ds


def dicom_file(ds: pydicom.Dataset) -> bytes:
    """The dataset as a DICOM file with its file meta header, explicit VR little endian, no pixel data."""
    return part10(ds, ExplicitVRLittleEndian)


def pixel_data_header(length: int) -> bytes:
    """(7FE0,0010) OW with a 32-bit length: the bytes before native pixel data."""
    return b"\xe0\x7f\x10\x00OW\x00\x00" + struct.pack("<I", length)


def marker(data: Path, name: str) -> Path:
    return data / f"{name}.done"


def is_complete(data: Path, name: str) -> bool:
    try:
        return marker(data, name).read_text() == FORMAT
    except OSError:
        return False


def fresh_folder(data: Path, name: str) -> Path:
    marker(data, name).unlink(missing_ok=True)
    folder = data / name
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    return folder


def big_expected() -> Expected:
    frames = BIG_STUDIES * BIG_SERIES * BIG_INSTANCES * BIG_ROWS * BIG_COLUMNS * 2
    multi = MULTI_FRAMES * MULTI_ROWS * MULTI_COLUMNS * 2
    return Expected(BIG_STUDIES * BIG_SERIES * BIG_INSTANCES + 1, BIG_STUDIES, BIG_STUDIES * BIG_SERIES + 1, frames + multi)


def write_big(data: Path) -> Path:
    """2 x 3 x 50 images of 8 MiB written in full, plus one sparse multi-frame image over 1 GiB."""
    folder = data / "big"
    if is_complete(data, "big"):
        return folder
    folder = fresh_folder(data, "big")
    frame_bytes = BIG_ROWS * BIG_COLUMNS * 2
    # Not zeros, so no layer below can store the pixels as holes or compress them away.
    pixels = (bytes(range(256)) * (frame_bytes // 256))[:frame_bytes]
    for study in range(1, BIG_STUDIES + 1):
        for series in range(1, BIG_SERIES + 1):
            place = folder / f"study{study}" / f"series{series}"
            place.mkdir(parents=True)
            for instance in range(1, BIG_INSTANCES + 1):
                header = dicom_file(ct_header(study, series, instance, "1"))
                with open(place / f"IM{instance:04d}", "wb") as out:
                    out.write(header + pixel_data_header(frame_bytes))
                    out.write(pixels)
    ds = ct_header(1, BIG_SERIES + 1, 1, "1")
    ds.SOPClassUID = ENHANCED_CT_IMAGE
    ds.ImageType = ["ORIGINAL", "PRIMARY", "VOLUME", "NONE"]
    ds.SeriesDescription = "VOLUME 300 frames"
    ds.NumberOfFrames = MULTI_FRAMES
    ds.Rows, ds.Columns = MULTI_ROWS, MULTI_COLUMNS
    length = MULTI_FRAMES * MULTI_ROWS * MULTI_COLUMNS * 2
    place = folder / "study1" / f"series{BIG_SERIES + 1}"
    place.mkdir()
    with open(place / "IM0001", "wb") as out:
        out.write(dicom_file(ds) + pixel_data_header(length))
        os.truncate(out.fileno(), out.tell() + length)  # the pixel data is a hole: no disk used
    marker(data, "big").write_text(FORMAT)
    return folder


def small_expected(count: int) -> Expected:
    series = -(-count // SMALL_PER_SERIES)
    studies = -(-series // SMALL_SERIES_PER_STUDY)
    return Expected(count, studies, series, 0)


def small_template() -> tuple[bytes, list[tuple[int, int, str]]]:
    """One header-only file and where its variable values lie: (offset, width, field) in its bytes.

    The template is written with wide placeholder values; each file then gets its own values of
    the same widths, so no element length changes."""
    study, series, instance = 9_999_999, 99, 9_999  # the widest numbers small_numbers gives
    ds = ct_header(study, series, instance, "2")
    ds.SeriesNumber = "9999"  # IS values padded to four characters: "12  "
    ds.InstanceNumber = "9999"
    data = dicom_file(ds)
    fields = {
        f"{ROOT_UID}.2.{study}.{series}.{instance}": "sop",  # meta and dataset
        f"{ROOT_UID}.2.{study}.{series}": "series",
        f"{ROOT_UID}.2.{study}.0": "frame",
        f"{ROOT_UID}.2.{study}": "study",
        f"ACC{study:07d}": "accession",
        f"PATIENT{study:07d}": "patient",
        f"PID{study:07d}": "pid",
        f"S{study:07d}": "study_id",
        f"AXIAL {series} mm": "description",
    }
    spots: list[tuple[int, int, str]] = []
    taken = bytearray(len(data))
    for value, field in fields.items():  # longer values first, so a prefix does not claim them
        needle = value.encode()
        at = data.find(needle)
        while at >= 0:
            if not any(taken[at : at + len(needle)]):
                spots.append((at, len(needle), field))
                taken[at : at + len(needle)] = b"\1" * len(needle)
            at = data.find(needle, at + 1)
    # The two IS values "9999" (series number, then instance number) follow their tags.
    for tag, field in ((b"\x20\x00\x11\x00IS", "series_number"), (b"\x20\x00\x13\x00IS", "instance_number")):
        at = data.index(tag) + 8
        spots.append((at, 4, field))
    return data, sorted(spots)


def write_small(data: Path, count: int) -> Path:
    """`count` header-only files: 100 a series, 10 series a study, UIDs patched into one template."""
    name = f"small-{count}"
    folder = data / name
    if is_complete(data, name):
        return folder
    folder = fresh_folder(data, name)
    template, spots = small_template()
    for n in range(count):
        study, rest = divmod(n, SMALL_PER_SERIES * SMALL_SERIES_PER_STUDY)
        series, instance = divmod(rest, SMALL_PER_SERIES)
        series, instance = series + 1, instance + 1
        # Fixed widths without leading zeros (which a UID component may not have).
        study_key, series_key, instance_key = 1_000_001 + study, 10 + series, 1000 + instance
        values = {
            "sop": f"{ROOT_UID}.2.{study_key}.{series_key}.{instance_key}",
            "series": f"{ROOT_UID}.2.{study_key}.{series_key}",
            "frame": f"{ROOT_UID}.2.{study_key}.0",
            "study": f"{ROOT_UID}.2.{study_key}",
            "accession": f"ACC{study_key}",
            "patient": f"PATIENT{study_key}",
            "pid": f"PID{study_key}",
            "study_id": f"S{study_key}",
            "description": f"AXIAL {series_key} mm",
            "series_number": f"{series:<4d}",
            "instance_number": f"{instance:<4d}",
        }
        pieces, last = [], 0
        for at, width, field in spots:
            pieces += [template[last:at], values[field].encode()]
            last = at + width
        pieces.append(template[last:])
        place = folder / f"study{study + 1:05d}" / f"series{series:02d}"
        if instance == 1:
            place.mkdir(parents=True, exist_ok=True)
        with open(place / f"IM{instance:04d}", "wb") as out:
            out.write(b"".join(pieces))
    marker(data, name).write_text(FORMAT)
    return folder


def files_under(folder: Path) -> list[str]:
    """Every regular file below `folder`, hidden names skipped, in sorted walk order."""
    found = []
    for top, folders, names in os.walk(folder):
        folders[:] = sorted(f for f in folders if not f.startswith("."))
        found += [os.path.join(top, name) for name in sorted(names) if not name.startswith(".")]
    return found


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", default=DEFAULT_DATA, help=f"where the archives go (default {DEFAULT_DATA})")
    parser.add_argument("--small", default="10000,30000,100000", help="sizes of the small-file archives")
    args = parser.parse_args()
    data = Path(args.data)
    data.mkdir(parents=True, exist_ok=True)
    for make, size in [(lambda _: write_big(data), None), *[(lambda n: write_small(data, n), int(n)) for n in args.small.split(",")]]:
        start = time.perf_counter()
        folder = make(size)
        print(f"{folder}: ready in {time.perf_counter() - start:.1f} s", file=sys.stderr)


if __name__ == "__main__":
    main()

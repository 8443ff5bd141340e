"""Speed of zanthe._fhir.imaging_study against the same conversion written over pydicom, side by side.

    python bench/fhir_bench.py [--build-dir build/fhir] [--seconds 0.2] [--json PATH] [--only CASE --calls N]
                               [--only-syntaxes] [--baseline-build-dir /tmp/zanthe-base/build]

The peer is the natural pydicom program for the job: dcmread(BytesIO(data), stop_before_pixels=True),
the same seventeen attributes, the same ImagingStudy dictionary in the same member order, and
json.dumps in compact form; a second column adds defer_size="1 KB", a third builds the fhir.resources
(R4B) model from the same dictionary, validated, and writes its JSON (fhir.resources rejects a
dateTime with a clock time but no zone, so that column's `started` values get a "Z"). Before timing, the script checks
once per case that the peer's text equals zanthe's and prints the outcome in the note column, with
what differs in the work where the outputs agree but the readers do not do the same thing. Where
the texts differ (zanthe repairs a writer fault that pydicom reads differently), the ratio is of
unequal work; a side that fails is not timed.
Cases: the bundled synthetic CT, files shipped with pydicom (each alone, and all of them that both
sides read, each once), and generated files (headers of 100, 1,000 and 10,000 elements, 5,000
private elements with a long undefined-length sequence, big private sequences, many encapsulated
frames, a writer fault). Growth: headers of 100 to 100,000 elements, by factors of 10.

Transfer syntaxes and character sets: five pydicom files written again by pydicom in explicit little
endian, explicit big endian, deflated and as a bare implicit little endian dataset, each syntax's cost
beside explicit little endian's; pydicom's character set files as shipped and with the patient's name
copied into the referrer and both descriptions (text both sides must decode), by character set family.
With --baseline-build-dir (and --build-dir), ASCII little endian files on this build and on the
earlier one, each build in processes of its own (three interleaved rounds, best kept), and with
valgrind on the PATH their instructions per call, counted by callgrind over whole processes as the
difference of two runs of different lengths, so start-up and first calls cancel out.

Times are the best of several rounds of many calls, in microseconds per call; MB/s is the file size
over zanthe's time. Nothing here asserts on time.

--only CASE runs just zanthe on the first case whose name contains CASE, --calls times, untimed:
a driver for profilers, for example
    valgrind --tool=callgrind --toggle-collect='*imaging_study*' \\
        python bench/fhir_bench.py --build-dir build/bench --only "5,000 private" --calls 20
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import warnings
from collections.abc import Callable
from io import BytesIO
from pathlib import Path

import pydicom
import pydicom.data
from pydicom.dataset import FileMetaDataset
from pydicom.encaps import encapsulate
from pydicom.multival import MultiValue
from pydicom.uid import DeflatedExplicitVRLittleEndian, ExplicitVRBigEndian, ExplicitVRLittleEndian

from common import ROOT, best_microseconds, import_native, print_header, print_table, ratio_text, write_results

DCM = "http://dicom.nema.org/resources/ontology/DCM"
SNOMED = "http://snomed.info/sct"
IDENTIFIER_TYPE = "http://terminology.hl7.org/CodeSystem/v2-0203"
LATERALITY = {
    "L": ("419161000", "Left"),
    "R": ("419465000", "Right"),
    "B": ("51440002", "Right and left"),
    "U": ("66459002", "Unilateral"),
}
STUDY_UID = "1.2.826.0.1.3680043.8.498.1"


# ---------------------------------------------------------------------------------------------------
# The peer: DICOM to ImagingStudy JSON over pydicom.


def text(ds, keyword: str) -> str:
    """A value as DICOM text, padding removed; empty when absent."""
    value = ds.get(keyword)
    if value is None:
        return ""
    if isinstance(value, MultiValue):
        value = "\\".join(str(v) for v in value)
    return str(value).rstrip("\x00 ").lstrip(" ")


def fhir_date_time(date: str, time: str) -> str:
    if len(date) != 8 or not date.isascii() or not date.isdigit():
        return ""
    day = f"{date[:4]}-{date[4:6]}-{date[6:]}"
    if not time:
        return day
    clock = time.split(".", 1)[0][:6].ljust(6, "0")
    if not clock.isascii() or not clock.isdigit():
        return day
    return f"{day}T{clock[:2]}:{clock[2:4]}:{clock[4:]}"


def display_name(ds) -> str:
    name = ds.get("ReferringPhysicianName")
    if name is None or not str(name):
        return ""
    family, given, middle = name.family_name, name.given_name, name.middle_name
    return family + (", " + given if given else "") + (" " + middle if middle else "")


def pydicom_study_dict(data: bytes, **read_options) -> dict:
    ds = pydicom.dcmread(BytesIO(data), stop_before_pixels=True, **read_options)
    uid = text(ds, "StudyInstanceUID")
    if not uid:
        raise ValueError("missing StudyInstanceUID")
    bare_uid = uid[8:] if uid.startswith("urn:oid:") else uid
    study: dict = {"resourceType": "ImagingStudy"}
    if bare_uid:
        study["id"] = bare_uid
    identifiers = [{"use": "official", "system": "urn:dicom:uid", "value": "urn:oid:" + bare_uid}]
    if accession := text(ds, "AccessionNumber"):
        identifiers.append({"use": "usual", "system": IDENTIFIER_TYPE, "value": accession})
    if study_id := text(ds, "StudyID"):
        identifiers.append({"use": "secondary", "value": study_id})
    study["identifier"] = identifiers
    study["status"] = "available"
    modality = text(ds, "Modality")
    if modality:
        study["modality"] = [{"system": DCM, "code": modality}]
    patient_id = text(ds, "PatientID")
    study["subject"] = {"reference": "Patient/" + patient_id} if patient_id else {}
    if started := fhir_date_time(text(ds, "StudyDate"), text(ds, "StudyTime")):
        study["started"] = started
    if referrer := display_name(ds):
        study["referrer"] = {"display": referrer}

    series_uid = text(ds, "SeriesInstanceUID")
    series = None
    if series_uid and modality:
        series = {"uid": series_uid, **series_members(ds)}
        sop_uid, sop_class = text(ds, "SOPInstanceUID"), text(ds, "SOPClassUID")
        if sop_uid and sop_class:
            series["instance"] = [{"uid": sop_uid, "sopClass": {"system": "urn:ietf:rfc:3986", "code": sop_class}}]
    study["numberOfSeries"] = 1 if series else 0
    study["numberOfInstances"] = len(series.get("instance", ())) if series else 0
    if description := text(ds, "StudyDescription"):
        study["description"] = description
    if series:
        study["series"] = [series]
    return study


def series_members(ds) -> dict:
    """A series' modality, description, body site, laterality and start, as the converter fills them."""
    series: dict = {}
    if modality := text(ds, "Modality"):
        series["modality"] = {"system": DCM, "code": modality}
    if description := text(ds, "SeriesDescription"):
        series["description"] = description
    if body_part := text(ds, "BodyPartExamined"):
        series["bodySite"] = {"system": DCM, "code": body_part}
    if side := LATERALITY.get(text(ds, "Laterality")):
        series["laterality"] = {"system": SNOMED, "code": side[0], "display": side[1]}
    if started := fhir_date_time(text(ds, "SeriesDate"), text(ds, "SeriesTime")):
        series["started"] = started
    return series


def pydicom_imaging_study(data: bytes, **read_options) -> str:
    study = pydicom_study_dict(data, **read_options)
    return json.dumps(study, ensure_ascii=False, separators=(",", ":"))


def with_zone(value: str) -> str:
    return value + "Z" if "T" in value else value


def fhir_resources_imaging_study(data: bytes) -> str:
    """The same dictionary through fhir.resources' validated model and its JSON writer."""
    from fhir.resources.R4B.imagingstudy import ImagingStudy

    study = pydicom_study_dict(data)
    if "started" in study:
        study["started"] = with_zone(study["started"])
    for series in study.get("series", ()):
        if "started" in series:
            series["started"] = with_zone(series["started"])
    return ImagingStudy.model_validate(study).json()


# ---------------------------------------------------------------------------------------------------
# Cases.


def part10(ds: pydicom.Dataset, transfer_syntax: str) -> bytes:
    """A dataset written as a Part 10 file in the given transfer syntax."""
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = ds.SOPClassUID
    meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
    meta.TransferSyntaxUID = transfer_syntax
    ds.file_meta = meta
    out = BytesIO()
    pydicom.dcmwrite(out, ds, enforce_file_format=True)
    return out.getvalue()


def study_header() -> pydicom.Dataset:
    ds = pydicom.Dataset()
    ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.2"
    ds.SOPInstanceUID = STUDY_UID + ".3.1"
    ds.StudyDate, ds.StudyTime = "20240131", "093000.123456"
    ds.SeriesDate, ds.SeriesTime = "20240131", "093512"
    ds.AccessionNumber = "ACC9"
    ds.Modality = "CT"
    ds.ReferringPhysicianName = "Doe^John^Q^Dr"
    ds.StudyDescription = "CT CHEST"
    ds.SeriesDescription = "AXIAL 1mm"
    ds.PatientName = "TEST^BENCH"
    ds.PatientID = "BENCH-1"
    ds.BodyPartExamined = "CHEST"
    ds.StudyInstanceUID = STUDY_UID
    ds.SeriesInstanceUID = STUDY_UID + ".2"
    ds.StudyID = "S1"
    ds.Laterality = "L"
    return ds


def many_private_elements(count: int = 5000, items: int = 2000) -> bytes:
    """A CT header, a referenced-image sequence of undefined length and `count` top-level private elements."""
    ds = study_header()
    references = []
    for n in range(items):
        item = pydicom.Dataset()
        item.ReferencedSOPClassUID = ds.SOPClassUID
        item.ReferencedSOPInstanceUID = f"{STUDY_UID}.4.{n}"
        item.is_undefined_length_sequence_item = True
        references.append(item)
    ds.ReferencedImageSequence = references
    ds["ReferencedImageSequence"].is_undefined_length = True
    per_block = 250
    for block in range((count + per_block - 1) // per_block):
        group, creator = 0x0011 + 2 * (block // 240), 0x10 + block % 240  # 240 private blocks per group
        ds.add_new((group, creator), "LO", f"ZANTHE BENCH {block}")
        for n in range(min(per_block, count - block * per_block)):
            ds.add_new((group, (creator << 8) | n), "LO", f"private value {block}.{n}")
    return part10(ds, "1.2.840.10008.1.2.1")


def private_sequences(implicit: bool, sequences: int = 4, items: int = 300) -> bytes:
    """A CT header with big private sequences: undefined lengths (explicit VR) or defined (implicit VR)."""
    ds = study_header()
    ds.add_new((0x0029, 0x0010), "LO", "ZANTHE BENCH SEQUENCES")
    for s in range(sequences):
        entries = []
        for n in range(items):
            item = pydicom.Dataset()
            item.add_new((0x0029, 0x0010), "LO", "ZANTHE BENCH SEQUENCES")
            for e in range(8):
                item.add_new((0x0029, 0x1020 + e), "LO", f"entry {s}.{n}.{e}")
            item.add_new((0x0029, 0x1030), "OB", bytes(64))
            item.is_undefined_length_sequence_item = not implicit
            entries.append(item)
        tag = (0x0029, 0x1010 + s)
        ds.add_new(tag, "SQ", entries)
        ds[tag].is_undefined_length = not implicit
    return part10(ds, "1.2.840.10008.1.2" if implicit else "1.2.840.10008.1.2.1")


def encapsulated_frames(frames: int, frame_bytes: int) -> bytes:
    """A multi-frame image whose pixel data is one fragment per frame (JPEG baseline transfer syntax)."""
    ds = study_header()
    ds.NumberOfFrames = frames
    ds.Rows, ds.Columns, ds.SamplesPerPixel, ds.BitsAllocated = 512, 512, 1, 8
    ds.PixelData = encapsulate([bytes([0xFF, 0xD8]) + bytes(frame_bytes - 4) + bytes([0xFF, 0xD9])] * frames)
    ds["PixelData"].VR = "OB"
    ds["PixelData"].is_undefined_length = True
    return part10(ds, "1.2.840.10008.1.2.4.50")


def synthetic_header(elements: int) -> bytes:
    """A CT header padded with private LO elements (and their creators) to `elements` top-level elements."""
    header = len(study_header()) + 1  # with the empty referenced-image sequence
    padding = max(0, elements - header)
    creators = (padding + 250) // 251
    return many_private_elements(count=padding - creators, items=0)


def shipped_files() -> list[bytes]:
    """Every file shipped with pydicom that both sides convert."""
    readable = []
    for path in sorted((Path(pydicom.data.__file__).parent / "test_files").rglob("*.dcm")):
        data = path.read_bytes()
        try:
            pydicom_imaging_study(data)
        except Exception:  # the peer cannot read it: not part of the common set
            continue
        readable.append(data)
    return readable


def short_header_fault() -> bytes:
    """A writer fault: (0020,0011) written as UN with a 2-byte length, before Study ID and Laterality.

    zanthe re-reads the short header and keeps reading; a strict reader takes the next bytes as a
    4-byte length and loses the rest of the dataset.
    """
    data = part10(study_header(), "1.2.840.10008.1.2.1")
    at = data.index(b"\x20\x00\x10\x00SH")  # Study ID, the element after where (0020,0011) belongs
    return data[:at] + b"\x20\x00\x11\x00UN\x02\x007 " + data[at:]


def cases() -> list[tuple[str, Callable[[], bytes], str]]:
    """(name, a function giving the file's bytes, what differs in the work), built only when asked for."""
    test_files = Path(pydicom.data.__file__).parent / "test_files"

    def shipped(name: str):
        return lambda: (test_files / name).read_bytes()

    return [
        ("sample_ct.dcm (synthetic CT)", lambda: (ROOT / "examples" / "data" / "sample_ct.dcm").read_bytes(), ""),
        ("CT_small (CT, 179 private)", shipped("CT_small.dcm"), ""),
        ("MR_small (MR)", shipped("MR_small.dcm"), ""),
        ("MR_small_implicit (implicit VR)", shipped("MR_small_implicit.dcm"), ""),
        ("rtplan (RT plan, implicit VR)", shipped("rtplan.dcm"), ""),
        ("rtdose (RT dose, 15 frames)", shipped("rtdose.dcm"), ""),
        ("examples_ybr_color (30 JPEG frames)", shipped("examples_ybr_color.dcm"), ""),
        ("waveform_ecg (big waveform SQ)", shipped("waveform_ecg.dcm"), ""),
        ("examples_overlay (largest shipped)", shipped("examples_overlay.dcm"), ""),
        *[(f"header of {n:,} elements", lambda n=n: synthetic_header(n), "") for n in (100, 1_000, 10_000)],
        ("private SQs, explicit, undefined len", lambda: private_sequences(implicit=False), ""),
        (
            "private SQs, implicit VR, defined len",
            lambda: private_sequences(implicit=True),
            "; pydicom keeps them as raw UN bytes, zanthe checks their items to tell sequences",
        ),
        ("5,000 private + 2,000-item undef. SQ", many_private_elements, ""),
        (
            "2,000 encapsulated frames, 64 MiB",
            lambda: encapsulated_frames(2000, 32 * 1024),
            "; pydicom stops before the pixel data, zanthe walks its 2,000 fragments",
        ),
        ("writer fault: UN with short header", short_header_fault, "; zanthe repairs, pydicom loses the rest"),
    ]


# ---------------------------------------------------------------------------------------------------


def differences(ours: str, theirs: str) -> str:
    """The top-level and series members where two ImagingStudy texts differ."""
    a, b = json.loads(ours), json.loads(theirs)
    found = []
    for key in dict.fromkeys([*a, *b]):
        if a.get(key) == b.get(key):
            continue
        if key == "series" and a.get(key) and b.get(key):
            sa, sb = a[key][0], b[key][0]
            found += [f"series.{k}" for k in dict.fromkeys([*sa, *sb]) if sa.get(k) != sb.get(k)]
        else:
            found.append(key)
    return ", ".join(found) or "member order"


def compare(_fhir, data: bytes, **read_options) -> str:
    """The note for one case: whether the peer does the same work as zanthe."""
    try:
        ours = _fhir.imaging_study(data)
    except (RuntimeError, UnicodeDecodeError) as error:
        return f"zanthe fails: {error}"
    try:
        theirs = pydicom_imaging_study(data, **read_options)
    except Exception as error:  # the peer's failure is part of the result
        return f"pydicom fails: {type(error).__name__}"
    return "same JSON" if ours == theirs else f"differs: {differences(ours, theirs)}"


def run_only(_fhir, wanted: str, calls: int) -> None:
    name, load, _ = next(case for case in cases() if wanted in case[0])
    data = load()
    for _ in range(calls):
        _fhir.imaging_study(data)
    print(f"{name}: {calls} calls on {len(data)} bytes")


def microseconds(call: Callable[[], str], seconds: float) -> float | None:
    """Best time per call, or None when the call fails (a failure is not timed)."""
    try:
        call()
    except Exception:  # the note column says why
        return None
    return best_microseconds(call, seconds)


def measure_case(_fhir, data: bytes, seconds: float) -> dict:
    """zanthe and the three peers on one file, in microseconds per call (None where a side fails)."""
    return {
        "zanthe": microseconds(lambda: _fhir.imaging_study(data), seconds),
        "peers": {
            "pydicom": microseconds(lambda: pydicom_imaging_study(data), seconds),
            "pydicom defer": microseconds(lambda: pydicom_imaging_study(data, defer_size="1 KB"), seconds),
            "pydicom+fhir.resources": microseconds(lambda: fhir_resources_imaging_study(data), seconds),
        },
    }


def zanthe_converts(_fhir, data: bytes) -> bool:
    try:
        _fhir.imaging_study(data)
    except (RuntimeError, UnicodeDecodeError):
        return False
    return True


def measure_shipped(_fhir, seconds: float) -> dict:
    files = [data for data in shipped_files() if zanthe_converts(_fhir, data)]

    def each_once(convert: Callable[[bytes], str]) -> Callable[[], None]:
        return lambda: [convert(data) for data in files]

    return {
        "case": f"all {len(files)} pydicom files both read, each once",
        "size": sum(map(len, files)),
        "note": "",
        "unit": "us",
        "zanthe": microseconds(each_once(_fhir.imaging_study), seconds),
        "peers": {
            "pydicom": microseconds(each_once(pydicom_imaging_study), seconds),
            "pydicom defer": microseconds(each_once(lambda d: pydicom_imaging_study(d, defer_size="1 KB")), seconds),
            "pydicom+fhir.resources": microseconds(each_once(fhir_resources_imaging_study), seconds),
        },
    }


# ---------------------------------------------------------------------------------------------------
# Transfer syntaxes and character sets: pydicom's files written again in each byte order, deflated
# and without a meta group; pydicom's character set files; ASCII files against an earlier build.

TEST_FILES = Path(pydicom.data.__file__).parent / "test_files"
SYNTAX_FILES = ("CT_small.dcm", "MR_small.dcm", "MR_small_implicit.dcm", "rtplan.dcm", "rtdose.dcm")
# name: (transfer syntax written, pydicom's read options); None writes a bare implicit VR little endian
# dataset, no preamble and no meta group, which pydicom reads only when forced.
SYNTAXES = {
    "explicit LE": (ExplicitVRLittleEndian, {}),
    "explicit BE": (ExplicitVRBigEndian, {}),
    "deflated explicit LE": (DeflatedExplicitVRLittleEndian, {}),
    "no meta group, implicit LE": (None, {"force": True}),
}
# Character set files by how their text reads: one byte a character, ISO 2022 escapes, multi-byte.
CHARSET_GROUPS = {
    "ISO 8859 (Latin-1, Arabic, Greek, Hebrew, Cyrillic)": (
        "chrArab", "chrFren", "chrFrenMulti", "chrGerm", "chrGreek", "chrHbrw", "chrRuss"),
    "ISO 2022 escapes (Japanese, Korean)": (
        "chrH31", "chrH32", "chrI2", "chrJapMulti", "chrJapMultiExplicitIR6", "chrKoreanMulti"),
    "UTF-8 and GB18030": ("chrX1", "chrX2"),
}  # fmt: skip
# ASCII little endian files for the comparison with an earlier build: (name, loader).
ASCII_FILES = (
    ("sample_ct.dcm", lambda: (ROOT / "examples" / "data" / "sample_ct.dcm").read_bytes()),
    *[(name, lambda name=name: (TEST_FILES / name).read_bytes()) for name in SYNTAX_FILES],
    ("header of 1,000 elements", lambda: synthetic_header(1_000)),
    ("header of 10,000 elements", lambda: synthetic_header(10_000)),
)
# Instruction counts are taken over these groups of ASCII_FILES, each file once a round.
ASCII_GROUPS = {"the 6 files, each once": ASCII_FILES[:6], "header of 10,000 elements": ASCII_FILES[7:]}

# Runs one build's imaging_study in a process of its own: "time" prints the best microseconds per call
# of each file (and of all of them each once, last) and each file's JSON; "loop" converts every file
# once a round, `rounds` times, and prints nothing (a driver for callgrind, without site-packages).
DRIVER = """\
import json, sys
root, build_dir, mode, rounds, seconds, paths = *sys.argv[1:3], sys.argv[3], int(sys.argv[4]), float(sys.argv[5]), sys.argv[6:]
sys.path.insert(0, root)
import zanthe
zanthe.__path__.insert(0, build_dir + "/zanthe")
from zanthe import _fhir
files = [open(path, "rb").read() for path in paths]
if mode == "loop":
    for _ in range(rounds):
        for data in files:
            _fhir.imaging_study(data)
else:
    sys.path.insert(0, root + "/bench")
    from common import best_microseconds
    calls = [lambda data=data: _fhir.imaging_study(data) for data in files]
    calls.append(lambda: [_fhir.imaging_study(data) for data in files])
    print(json.dumps({"us": [best_microseconds(call, seconds) for call in calls],
                      "json": [_fhir.imaging_study(data) for data in files]}))
"""
CALLGRIND_ROUNDS = (10, 60)  # instructions per round = the difference of two runs over the difference of rounds


def rewritten(path: Path, syntax: str | None) -> bytes:
    """A file read by pydicom and written again in `syntax`, in memory; with None, as a bare implicit
    VR little endian dataset. dcmwrite (not save_as) changes the byte order of the values it decodes;
    pixel data keeps its bytes, which neither side reads."""
    ds = pydicom.dcmread(path)
    out = BytesIO()
    if syntax is None:
        ds.file_meta, ds.preamble = FileMetaDataset(), None
        pydicom.dcmwrite(out, ds, implicit_vr=True, little_endian=True)
    else:
        ds.file_meta.TransferSyntaxUID = syntax
        pydicom.dcmwrite(out, ds, enforce_file_format=True)
    return out.getvalue()


def names_in_text(path: Path) -> bytes:
    """A character set file with the patient's name also as the referring physician and both
    descriptions, written by pydicom in the file's own character set: text that zanthe has to decode
    (as shipped, the members an ImagingStudy takes are ASCII in every one of these files)."""
    ds = pydicom.dcmread(path)
    ds.ReferringPhysicianName = ds.PatientName
    ds.StudyDescription = ds.SeriesDescription = str(ds.PatientName)[:64]
    out = BytesIO()
    ds.save_as(out, enforce_file_format=True)
    return out.getvalue()


def charset_files() -> dict[str, bytes]:
    """pydicom's character set files that have a study, by name."""
    folder = Path(pydicom.data.__file__).parent / "charset_files"
    found = {}
    for path in sorted(folder.glob("*.dcm")):
        if "StudyInstanceUID" in pydicom.dcmread(path, stop_before_pixels=True):
            found[path.stem] = path.read_bytes()
    return found


def agreement(_fhir, named: dict[str, bytes], **read_options) -> str:
    """Whether zanthe's JSON equals the peer's on every file of a group, and where not."""
    by_note: dict[str, list[str]] = {}
    for name, data in named.items():
        by_note.setdefault(compare(_fhir, data, **read_options), []).append(name)
    same = len(by_note.pop("same JSON", []))
    return f"same JSON on {same} of {len(named)}" + "".join(f"; {', '.join(names)}: {note}" for note, names in by_note.items())


def group_row(_fhir, case: str, named: dict[str, bytes], seconds: float, **read_options) -> dict:
    """zanthe and the pydicom pipeline converting every file of a group once, per run."""
    files = list(named.values())
    return {
        "case": case,
        "size": sum(map(len, files)),
        "note": agreement(_fhir, named, **read_options),
        "unit": "us",
        "zanthe": microseconds(lambda: [_fhir.imaging_study(data) for data in files], seconds),
        "peers": {"pydicom": microseconds(lambda: [pydicom_imaging_study(data, **read_options) for data in files], seconds)},
    }


def best_of(rounds: int, measure: Callable[[], list[dict]]) -> list[dict]:
    """Rows measured `rounds` times, interleaved, keeping each side's best."""
    rows = measure()
    for _ in range(rounds - 1):
        for row, again in zip(rows, measure()):
            row["zanthe"] = min(filter(None, [row["zanthe"], again["zanthe"]]), default=None)
            for peer, value in again["peers"].items():
                row["peers"][peer] = min(filter(None, [row["peers"][peer], value]), default=None)
    return rows


def cost_ratio_rows(by_syntax: dict[str, dict]) -> list[dict]:
    """Each syntax's cost over explicit LE's on the same files, for zanthe and for the peer."""
    base = by_syntax["explicit LE"]
    rows = []
    for syntax, row in by_syntax.items():
        if syntax == "explicit LE":
            continue
        ours = row["zanthe"] / base["zanthe"] if row["zanthe"] and base["zanthe"] else None
        theirs = row["peers"]["pydicom"] / base["peers"]["pydicom"] if row["peers"]["pydicom"] and base["peers"]["pydicom"] else None
        rows.append({"case": f"syntaxes: {syntax} / explicit LE cost", "unit": "x", "zanthe": ours, "peers": {"pydicom": theirs}})
    return rows


def measure_syntaxes(_fhir, seconds: float) -> tuple[list[dict], list[dict]]:
    """Rows per transfer syntax and per character set group, and the cost ratios between syntaxes."""
    variants = {
        syntax: {name.removesuffix(".dcm"): rewritten(TEST_FILES / name, uid) for name in SYNTAX_FILES}
        for syntax, (uid, _) in SYNTAXES.items()
    }
    charsets = charset_files()
    named_charsets = {name: names_in_text(Path(pydicom.data.__file__).parent / "charset_files" / f"{name}.dcm") for name in charsets}

    def measure() -> list[dict]:
        rows = [
            group_row(_fhir, f"syntaxes: {syntax}, {len(files)} pydicom files each once", files, seconds, **SYNTAXES[syntax][1])
            for syntax, files in variants.items()
        ]
        rows.append(group_row(_fhir, f"charsets: {len(charsets)} files as shipped, each once", charsets, seconds))
        rows.append(group_row(_fhir, f"charsets: {len(charsets)} files, names in text, each once", named_charsets, seconds))
        for group, names in CHARSET_GROUPS.items():
            chosen = {name: named_charsets[name] for name in names}
            rows.append(group_row(_fhir, f"charsets: {group}, names in text", chosen, seconds))
        print("  measured transfer syntaxes and character sets", file=sys.stderr)
        return rows

    rows = best_of(2, measure)
    return rows, cost_ratio_rows(dict(zip(variants, rows)))


def build_label(build_dir: str) -> str:
    """The commit a build tree was configured from, marked when its checkout has uncommitted changes."""
    cache = ROOT / build_dir / "CMakeCache.txt"
    source = next((line.split("=", 1)[1].strip() for line in cache.read_text().splitlines()
                   if line.startswith("CMAKE_HOME_DIRECTORY")), None) if cache.exists() else None  # fmt: skip
    if not source:
        return "commit unknown"

    def git(*words: str) -> str:
        done = subprocess.run(["git", "-C", source, *words], capture_output=True, text=True)
        return done.stdout.strip() if done.returncode == 0 else ""

    commit = git("rev-parse", "--short", "HEAD") or "commit unknown"
    return commit + (" + uncommitted changes" if git("status", "--porcelain", "--untracked-files=no") else "")


def driver(build_dir: str, mode: str, rounds: int, seconds: float, paths: list[str]) -> list[str]:
    """The command running DRIVER on one build tree (-S -s: no site-packages, so callgrind counts little
    start-up; PYTHONHASHSEED from the environment is honoured)."""
    tree = str((ROOT / build_dir).resolve())
    return [sys.executable, "-S", "-s", "-c", DRIVER, str(ROOT), tree, mode, str(rounds), str(seconds), *paths]


def start_callgrind(build_dir: str, paths: list[str], out: Path) -> list[tuple[subprocess.Popen, Path]]:
    """The callgrind runs of one build over `paths`, one per entry of CALLGRIND_ROUNDS, started."""
    runs = []
    for rounds in CALLGRIND_ROUNDS:
        target = out.with_name(f"{out.name}.{rounds}")
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={target}", *driver(build_dir, "loop", rounds, 0, paths)]
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=os.environ | {"PYTHONHASHSEED": "0"})
        runs.append((process, target))
    return runs


def instructions_per_round(runs: list[tuple[subprocess.Popen, Path]]) -> float | None:
    """Instructions of one round (every file once): the difference between the runs over the
    difference of their rounds, so start-up and first-call costs cancel out."""
    totals = []
    for process, target in runs:
        if process.wait() != 0:
            return None
        lines = target.read_text().splitlines()
        totals.append(next(int(line.split()[1]) for line in lines if line.startswith(("summary:", "totals:"))))
    return (totals[1] - totals[0]) / (CALLGRIND_ROUNDS[1] - CALLGRIND_ROUNDS[0])


def measure_baseline(build_dir: str, baseline_dir: str, seconds: float) -> tuple[list[dict], list[dict], str]:
    """ASCII little endian files through this build and an earlier one, each in processes of its own,
    three interleaved rounds keeping each build's best; then instruction counts per group of files.
    Returns the timing rows, the instruction rows and the heading naming both builds."""
    heading = f"now: {build_label(build_dir)}; baseline: {build_label(baseline_dir)}"
    builds = {"now": build_dir, "baseline": baseline_dir}
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        files = {name: load() for name, load in ASCII_FILES}
        paths = []
        for n, data in enumerate(files.values()):
            paths.append(str(folder / f"{n}.dcm"))
            Path(paths[-1]).write_bytes(data)
        best: dict[str, list[float]] = {}
        texts: dict[str, list[str]] = {}
        for _ in range(3):
            for which, tree in builds.items():
                done = subprocess.run(driver(tree, "time", 0, seconds, paths), capture_output=True, text=True)
                if done.returncode != 0:
                    raise SystemExit(f"the {which} build failed to convert the ASCII files:\n{done.stderr[-2000:]}")
                figures = json.loads(done.stdout)
                best[which] = [min(pair) for pair in zip(best.get(which, figures["us"]), figures["us"])]
                texts[which] = figures["json"]
        print("  timed the ASCII files on both builds", file=sys.stderr)
        rows = []
        for n, (name, data) in enumerate([*files.items(), (f"all {len(files)} files, each once", b"".join(files.values()))]):
            if n < len(files):
                ours, theirs = texts["now"][n], texts["baseline"][n]
                note = "same JSON" if ours == theirs else f"differs: {differences(ours, theirs)}"
            else:
                note = ""
            rows.append({"case": f"ASCII LE, now / baseline: {name}", "size": len(data), "note": note, "unit": "us",
                         "zanthe": best["now"][n], "peers": {"zanthe baseline": best["baseline"][n]}})  # fmt: skip
        counts = []
        if shutil.which("valgrind"):
            started = {
                (group, which): start_callgrind(tree, [paths[list(files).index(name)] for name, _ in members], folder / f"cg-{which}-{n}")
                for n, (group, members) in enumerate(ASCII_GROUPS.items())
                for which, tree in builds.items()
            }
            for group in ASCII_GROUPS:
                counts.append({"case": f"ASCII LE instructions, now / baseline: {group}", "unit": "instructions",
                               "zanthe": instructions_per_round(started[group, "now"]),
                               "peers": {"zanthe baseline": instructions_per_round(started[group, "baseline"])}})  # fmt: skip
            print("  counted instructions on both builds", file=sys.stderr)
    return rows, counts, heading


def percent(ours: float | None, theirs: float | None) -> str:
    return f"{ours / theirs * 100:.1f}%" if ours and theirs else "-"


def print_syntaxes(rows: list[dict], ratios: list[dict]) -> None:
    print("\ntransfer syntaxes and character sets (pydicom pipeline as above, text decoded as it reads the members)")
    table = []
    for row in rows:
        mine, theirs = row["zanthe"], row["peers"]["pydicom"]
        table.append([row["case"], f"{row['size'] / 1024:.1f}", f"{mine:.2f}" if mine else "-",
                      f"{theirs:.1f}" if theirs else "-", ratio_text(theirs, mine), row["note"]])  # fmt: skip
    print_table(["case", "KiB", "zanthe us", "pydicom us", "ratio", "note"], table)
    print()
    table = [[row["case"], f"{row['zanthe']:.2f}x" if row["zanthe"] else "-",
              f"{row['peers']['pydicom']:.2f}x" if row["peers"]["pydicom"] else "-"] for row in ratios]  # fmt: skip
    print_table(["cost beside explicit LE, same files", "zanthe", "pydicom"], table)


def print_baseline(rows: list[dict], counts: list[dict], heading: str) -> None:
    print(f"\nASCII little endian files, this build against a baseline build ({heading})")
    table = []
    for row in rows:
        ours, theirs = row["zanthe"], row["peers"]["zanthe baseline"]
        table.append([row["case"], f"{row['size'] / 1024:.1f}", f"{ours:.2f}", f"{theirs:.2f}", percent(ours, theirs), row["note"]])
    print_table(["case", "KiB", "now us", "baseline us", "now/baseline", "note"], table)
    if counts:
        print()
        table = []
        for row in counts:
            ours, theirs = row["zanthe"], row["peers"]["zanthe baseline"]
            table.append([row["case"], f"{ours:,.0f}" if ours else "-", f"{theirs:,.0f}" if theirs else "-", percent(ours, theirs)])
        print_table(["instructions per round (callgrind)", "now", "baseline", "now/baseline"], table)
        low, high = CALLGRIND_ROUNDS
        print(f"a round converts each file once; counts are (runs of {high} rounds - runs of {low}) / {high - low}, whole process")
    else:
        print("(no instruction counts: valgrind is not installed)")


PEERS = ("pydicom", "pydicom defer", "pydicom+fhir.resources")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("ZANTHE_BUILD_DIR"))
    parser.add_argument("--seconds", type=float, default=0.2, help="rough time per round")
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--only", help="run only zanthe on the first case whose name contains this text")
    parser.add_argument("--calls", type=int, default=20, help="calls for --only")
    parser.add_argument("--baseline-build-dir", help="an earlier build tree to time the ASCII files against")
    parser.add_argument("--only-syntaxes", action="store_true", help="run only the transfer syntax and character set section")
    args = parser.parse_args()

    _fhir = import_native(args.build_dir, "_fhir")
    warnings.simplefilter("ignore")  # pydicom's warnings about odd test files would break the table
    if args.only:
        run_only(_fhir, args.only, args.calls)
        return

    print_header(_fhir, "pydicom", "fhir.resources")
    rows, growth = [], []
    for name, load, remark in [] if args.only_syntaxes else cases():
        data = load()
        row = {"case": name, "size": len(data), "note": compare(_fhir, data) + remark, "unit": "us"}
        rows.append(row | measure_case(_fhir, data, args.seconds))
        print(f"  measured {name}", file=sys.stderr)
    if not args.only_syntaxes:
        rows.append(measure_shipped(_fhir, args.seconds))
    for elements in () if args.only_syntaxes else (100, 1_000, 10_000, 100_000):
        data = synthetic_header(elements)
        figures = measure_case(_fhir, data, args.seconds)
        growth.append({"series": "DICOM to FHIR, zanthe", "size": elements, "per_call_us": figures["zanthe"]})
        growth.append({"series": "DICOM to FHIR, pydicom", "size": elements, "per_call_us": figures["peers"]["pydicom"]})
        rows.append({"case": f"growth: header of {elements:,} elements", "size": len(data), "note": "", "unit": "us"} | figures)
        print(f"  measured growth {elements}", file=sys.stderr)

    table = []
    for row in rows:
        mine = row["zanthe"]
        cells = [row["case"], f"{row['size'] / 1024:.1f}", f"{mine:.2f}" if mine else "-"]
        for peer in PEERS:
            theirs = row["peers"][peer]
            cells += [f"{theirs:.1f}" if theirs else "-", ratio_text(theirs, mine)]
        table.append([*cells, row["note"]])
    if table:
        print_table(["case", "KiB", "zanthe us", "pydicom us", "ratio", "defer us", "ratio", "+fhir.resources us", "ratio", "note"], table)
        print("\nratio = peer time / zanthe time (higher is faster for zanthe); defer = pydicom with defer_size='1 KB';")
        print("+fhir.resources = the pydicom pipeline building and writing the validated fhir.resources model")

    syntax_rows, cost_ratios = measure_syntaxes(_fhir, args.seconds)
    print_syntaxes(syntax_rows, cost_ratios)
    rows += syntax_rows + cost_ratios
    if not args.baseline_build_dir:
        print("\nASCII files against an earlier build: skipped (give --baseline-build-dir, and --build-dir)")
    elif not args.build_dir:
        print("\nASCII files against an earlier build: skipped (needs --build-dir: each build runs from its tree)")
    else:
        timed, counted, heading = measure_baseline(args.build_dir, args.baseline_build_dir, args.seconds)
        print_baseline(timed, counted, heading)
        rows += timed + counted
    write_results(args.json, [{k: row[k] for k in ("case", "unit", "zanthe", "peers")} for row in rows], growth)


if __name__ == "__main__":
    main()

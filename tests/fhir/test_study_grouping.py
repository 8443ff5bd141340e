"""Many DICOM instances grouped into one ImagingStudy per study, checked against pydicom's reading of the
same files: pydicom's dicomdirtests trees and a generated archive (tests/helpers/study_archive.py).

The expected resource of a study is built from pydicom's grouping and from the one-instance conversion
of the files it picks: study values from the study's first file in path order, series values from each
series' first file, one instance entry per distinct SOP Instance UID.
"""

from __future__ import annotations

import json
import pickle
from dataclasses import dataclass, field
from pathlib import Path

import pydicom
import pytest
from fhir.resources.R4B.bundle import Bundle
from fhir.resources.R4B.imagingstudy import ImagingStudy
from helpers.study_archive import instances, part10, write_archive
from hypothesis import given, settings
from hypothesis import strategies as st
from pydicom.errors import InvalidDicomError

from zanthe import _fhir, cli
from zanthe.fhir import imaging_studies

ZONE = "+01:00"
DICOMDIR_TESTS = Path(pydicom.__file__).parent / "data" / "test_files" / "dicomdirtests"
STUDY_TOTALS = {"series", "numberOfSeries", "numberOfInstances", "modality"}
SERIES_TOTALS = {"instance", "numberOfInstances"}

# Name -> the arguments of a run (given the generated archive's folder).
TREES = {
    "archive": lambda archive: [archive],
    "dicomdirtests": lambda archive: [DICOMDIR_TESTS],
    # Arguments in no sorted order; one file named on its own and again inside its folder.
    "dicomdirtests by argument": lambda archive: [
        DICOMDIR_TESTS / "98892003",
        DICOMDIR_TESTS / "DICOMDIR",
        DICOMDIR_TESTS / "77654033" / "CT2" / "17136",
        DICOMDIR_TESTS / "77654033",
        DICOMDIR_TESTS / "98892001",
    ],
}


@pytest.fixture(scope="module")
def archive(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_archive(tmp_path_factory.mktemp("grouping") / "archive")


@pytest.fixture(params=list(TREES))
def arguments(request: pytest.FixtureRequest, archive: Path) -> list[str]:
    return [str(path) for path in TREES[request.param](archive)]


# ---------------------------------------------------------------------------------------------------
# The oracle: pydicom's reading of each file, grouped here


def walk(argument: Path) -> list[Path]:
    """The files of an argument in path order: a folder's entries sorted by name, hidden ones left out."""
    if not argument.is_dir():
        return [argument]
    found: list[Path] = []
    for entry in sorted(argument.iterdir(), key=lambda p: p.name):
        if not entry.name.startswith("."):
            found += walk(entry)
    return found


def number(ds: pydicom.Dataset, keyword: str) -> int | None:
    value = ds.get(keyword)
    return None if value in (None, "") else int(value)


def number_key(value: int | None, uid: str) -> tuple[bool, int, str]:
    return (value is None, value or 0, uid)


def with_number(entry: dict, value: int | None) -> dict:
    """The one-instance conversion leaves numbers out; a study of many carries pydicom's."""
    return entry if value is None else {**entry, "number": value}


@dataclass
class Study:
    first: Path
    series: dict[str, list[tuple[Path, pydicom.Dataset]]] = field(default_factory=dict)
    sop_paths: dict[str, Path] = field(default_factory=dict)


@dataclass
class Grouping:
    studies: dict[str, Study]  # in order of each study's first file
    failed: list[Path]
    duplicates: list[tuple[str, Path, Path]]  # SOP Instance UID, the file counted, the copy


def pydicom_grouping(arguments: list[str]) -> Grouping:
    grouping = Grouping({}, [], [])
    for path in (f for a in arguments for f in walk(Path(a))):
        try:
            ds = pydicom.dcmread(path, stop_before_pixels=True)
        except InvalidDicomError:
            grouping.failed.append(path)
            continue
        if not ds.get("StudyInstanceUID"):
            grouping.failed.append(path)
            continue
        study = grouping.studies.setdefault(ds.StudyInstanceUID, Study(path))
        if ds.SOPInstanceUID in study.sop_paths:
            grouping.duplicates.append((ds.SOPInstanceUID, study.sop_paths[ds.SOPInstanceUID], path))
            continue
        study.sop_paths[ds.SOPInstanceUID] = path
        study.series.setdefault(ds.SeriesInstanceUID, []).append((path, ds))
    return grouping


def single(path: Path, timezone: str | None = ZONE) -> dict:
    return json.loads(_fhir.imaging_study(path.read_bytes(), timezone=timezone))


def expected_resource(study: Study) -> dict:
    resource = {k: v for k, v in single(study.first).items() if k not in STUDY_TOTALS}
    series_order = sorted(study.series.items(), key=lambda s: number_key(number(s[1][0][1], "SeriesNumber"), s[0]))
    resource["series"] = []
    for _uid, members in series_order:
        head_path, head = members[0]
        entry = {k: v for k, v in single(head_path)["series"][0].items() if k not in SERIES_TOTALS}
        entry = with_number(entry, number(head, "SeriesNumber"))
        members = sorted(members, key=lambda m: number_key(number(m[1], "InstanceNumber"), m[1].SOPInstanceUID))
        entry["numberOfInstances"] = len(members)
        entry["instance"] = [
            with_number(single(path)["series"][0]["instance"][0], number(ds, "InstanceNumber")) for path, ds in members
        ]
        resource["series"].append(entry)
    resource["numberOfSeries"] = len(resource["series"])
    resource["numberOfInstances"] = sum(len(members) for members in study.series.values())
    resource["modality"] = []
    for entry in resource["series"]:
        if entry["modality"] not in resource["modality"]:
            resource["modality"].append(entry["modality"])
    return resource


# ---------------------------------------------------------------------------------------------------
# Agreement with pydicom


@pytest.mark.parametrize("jobs", [1, 4])
def test_studies_series_instances_and_counts_agree_with_pydicom_whatever_the_threads(arguments, jobs):
    expected = pydicom_grouping(arguments)
    problems: list[tuple[str, str]] = []
    studies = [json.loads(text) for text in imaging_studies(arguments, timezone=ZONE, jobs=jobs, problems=problems)]

    wanted = [expected_resource(study) for study in expected.studies.values()]
    assert [study["id"] for study in studies] == [study["id"] for study in wanted]
    for study, expected_study in zip(studies, wanted, strict=True):
        assert study == expected_study
    assert [path for path, _ in problems if path] == [str(path) for path in expected.failed]
    notes = [text for path, text in problems if not path]
    assert len(notes) == len(expected.duplicates)
    for uid, counted, copy in expected.duplicates:
        assert [n for n in notes if uid in n and str(counted) in n and str(copy) in n], (uid, notes)


@pytest.mark.parametrize("timezone", [ZONE, "Europe/Berlin"])
def test_every_study_is_a_valid_r4b_imaging_study_once_a_timezone_is_given(arguments, timezone):
    texts = list(imaging_studies(arguments, timezone=timezone))
    assert texts
    for text in texts:
        ImagingStudy.model_validate_json(text)


# ---------------------------------------------------------------------------------------------------
# Partial groupings: pickled, moved and merged in any order


@pytest.fixture(scope="module")
def every_file(archive: Path) -> list[str]:
    return [str(path) for argument in (archive, DICOMDIR_TESTS) for path in walk(argument)]


@pytest.fixture(scope="module")
def one_grouping(every_file: list[str]) -> tuple[list, list]:
    grouper = _fhir.StudyGrouper()
    grouper.add_files(every_file, 0)
    return grouper.studies(timezone=ZONE), grouper.reports()


@settings(max_examples=40)
@given(data=st.data())
def test_partial_groupings_pickled_and_merged_in_any_order_equal_one_grouping(every_file, one_grouping, data):
    cuts = sorted(data.draw(st.lists(st.integers(0, len(every_file)), max_size=6)))
    bounds = list(zip([0, *cuts], [*cuts, len(every_file)]))
    parts = []
    for start, stop in bounds:
        part = _fhir.StudyGrouper()
        part.add_files(every_file[start:stop], start)
        parts.append(pickle.loads(pickle.dumps(part)))
    merged = _fhir.StudyGrouper()
    for part in data.draw(st.permutations(parts)):
        merged.merge(part)
    merged = pickle.loads(pickle.dumps(merged))
    assert (merged.studies(timezone=ZONE), merged.reports()) == one_grouping


# ---------------------------------------------------------------------------------------------------
# The command line


@pytest.fixture
def run(capsys: pytest.CaptureFixture[str]):
    def call(*argv: str | Path) -> tuple[int, str, str]:
        code = cli.main([str(a) for a in argv])
        captured = capsys.readouterr()
        return code, captured.out, captured.err

    return call


def test_per_file_lines_are_the_one_instance_conversion_of_each_readable_file_byte_for_byte(run, arguments):
    expected = pydicom_grouping(arguments)
    good = [f for a in arguments for f in walk(Path(a)) if f not in expected.failed]
    code, out, _ = run("fhir", "--per-file", "--timezone", ZONE, "-j", "3", *arguments)
    assert out.splitlines() == [_fhir.imaging_study(path.read_bytes(), timezone=ZONE) for path in good]
    assert code == (1 if expected.failed else 0)


@pytest.mark.parametrize(
    ("keyword", "first", "other"),
    [("AccessionNumber", "ACC-FIRST", "ACC-OTHER"), ("PatientID", "PAT-FIRST", "PAT-OTHER"),
     ("StudyDate", "20240102", "20231231")],
)
def test_a_study_value_that_instances_disagree_on_is_reported_and_the_first_file_wins(
    run, tmp_path, keyword, first, other
):
    values = instances()[0]
    # The first file in path order has the higher Instance Number and the later SOP Instance UID.
    first_file, other_file = tmp_path / "a", tmp_path / "b"
    first_file.write_bytes(part10({**values, keyword: first, "SOPInstanceUID": "1.2.9", "InstanceNumber": 9},
                                  implicit=False))
    other_file.write_bytes(part10({**values, keyword: other, "SOPInstanceUID": "1.2.1", "InstanceNumber": 1},
                                  implicit=True))
    code, out, err = run("fhir", "--timezone", ZONE, tmp_path)

    [study] = [json.loads(line) for line in out.splitlines()]
    study_values = {k: v for k, v in study.items() if k not in STUDY_TOTALS}
    assert study_values == {k: v for k, v in single(first_file).items() if k not in STUDY_TOTALS}
    assert study_values != {k: v for k, v in single(other_file).items() if k not in STUDY_TOTALS}
    assert study["numberOfInstances"] == 2
    [line] = [line for line in err.splitlines() if keyword in line]
    for text in (first, other, str(first_file), str(other_file)):
        assert text in line
    assert code == 0


def test_bundle_is_an_r4b_transaction_that_puts_each_study_at_its_id(run, archive):
    code, lines, _ = run("fhir", "--timezone", ZONE, archive)
    bundle_code, out, _ = run("fhir", "--bundle", "--timezone", ZONE, archive)

    bundle = Bundle.model_validate_json(out)
    assert bundle.type == "transaction"
    assert [(e.request.method, e.request.url) for e in bundle.entry] == [
        ("PUT", f"ImagingStudy/{e.resource.id}") for e in bundle.entry
    ]
    assert all(e.resource.get_resource_type() == "ImagingStudy" for e in bundle.entry)
    assert [e["resource"] for e in json.loads(out)["entry"]] == [json.loads(line) for line in lines.splitlines()]
    assert bundle_code == code

"""C-FIND against the stored studies: what each kind of matching finds, text in several character
sets, the index rebuilt from the store after a restart, and DCMTK's findscu as a second client."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

pynetdicom = pytest.importorskip("pynetdicom")
from pynetdicom.sop_class import StudyRootQueryRetrieveInformationModelFind as StudyRootFind  # noqa: E402

from zanthe.dicom.net import StorageServer, send  # noqa: E402

CT_IMAGE = "1.2.840.10008.5.1.4.1.1.2"

# Three studies; A has two series. Names in Latin-1, Greek and plain ASCII.
STUDIES = {
    "A": {"PatientName": "Müller^Hans", "charset": "ISO_IR 100", "StudyDate": "20240115", "StudyTime": "101500",
          "AccessionNumber": "ACC1", "series": ["CT", "SR"]},
    "B": {"PatientName": "Παπαδόπουλος^Νίκος", "charset": "ISO_IR 126", "StudyDate": "20240301", "StudyTime": "153000",
          "AccessionNumber": "ACC2", "series": ["CT"]},
    "C": {"PatientName": "SMITH^JOHN", "charset": None, "StudyDate": "20231231", "StudyTime": "080000",
          "AccessionNumber": "ACC3", "series": ["MR"]},
}  # fmt: skip


def instance(study: str, study_uid: str, series_uid: str, modality: str, number: int) -> Dataset:
    values = STUDIES[study]
    ds = Dataset()
    if values["charset"]:
        ds.SpecificCharacterSet = values["charset"]
    ds.SOPClassUID, ds.SOPInstanceUID = CT_IMAGE, generate_uid()
    ds.StudyInstanceUID, ds.SeriesInstanceUID = study_uid, series_uid
    ds.PatientName, ds.PatientID = values["PatientName"], f"ID-{study}"
    ds.StudyDate, ds.StudyTime, ds.AccessionNumber = values["StudyDate"], values["StudyTime"], values["AccessionNumber"]
    ds.Modality, ds.SeriesNumber = modality, number
    ds.file_meta = FileMetaDataset()
    ds.file_meta.MediaStorageSOPClassUID, ds.file_meta.MediaStorageSOPInstanceUID = CT_IMAGE, ds.SOPInstanceUID
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    return ds


@pytest.fixture(scope="module")
def archive(tmp_path_factory: pytest.TempPathFactory) -> dict[str, object]:
    """A store holding the three studies (sent by our SCU), and the UIDs by study and series."""
    files = tmp_path_factory.mktemp("files")
    store = tmp_path_factory.mktemp("store")
    uids: dict[str, object] = {}
    for study, values in STUDIES.items():
        study_uid = generate_uid()
        uids[study] = study_uid
        for number, modality in enumerate(values["series"], 1):
            series_uid = generate_uid()
            uids[f"{study}{number}"] = series_uid
            ds = instance(study, study_uid, series_uid, modality, number)
            ds.save_as(files / f"{study}{number}.dcm", enforce_file_format=True)
    with StorageServer(store, port=0) as server:
        results = send(f"127.0.0.1:{server.port}", [files])
    assert [r.status for r in results] == [0] * 4
    return {"store": store, "uids": uids}


def query(port: int, level: str, charset: str | None = None, **keys: str) -> tuple[list[Dataset], list[int]]:
    identifier = Dataset()
    if charset:
        identifier.SpecificCharacterSet = charset
    identifier.QueryRetrieveLevel = level
    for keyword, value in keys.items():
        setattr(identifier, keyword, value)
    ae = pynetdicom.AE(ae_title="FINDSCU")
    ae.add_requested_context(StudyRootFind)
    association = ae.associate("127.0.0.1", port)
    assert association.is_established
    try:
        answers, statuses = [], []
        for status, found in association.send_c_find(identifier, StudyRootFind):
            statuses.append(status.Status)
            if found is not None:
                answers.append(found)
    finally:
        association.release()
    return answers, statuses


@pytest.fixture(scope="module")
def server(archive: dict[str, object]):
    with StorageServer(archive["store"], port=0) as running:  # a fresh server: the index comes from the store
        yield running


@pytest.mark.parametrize(
    ("keys", "expected"),
    [
        ({}, {"A", "B", "C"}),  # universal
        ({"AccessionNumber": "ACC1"}, {"A"}),
        ({"AccessionNumber": "acc1"}, set()),  # single values match exactly
        ({"PatientName": "SMI*"}, {"C"}),
        ({"PatientName": "M?ller^Hans"}, {"A"}),  # "?" is one character, ü included
        ({"PatientName": "Παπαδόπουλος*"}, {"B"}),
        ({"StudyDate": "20240101-"}, {"A", "B"}),
        ({"StudyDate": "-20231231"}, {"C"}),
        ({"StudyDate": "20240115-20240115"}, {"A"}),
        ({"StudyTime": "1000-1030"}, {"A"}),
        ({"ModalitiesInStudy": "MR"}, {"C"}),
        ({"ModalitiesInStudy": "SR\\MR"}, {"A", "C"}),
    ],
)
def test_study_level_matching(server: StorageServer, archive: dict[str, object], keys: dict[str, str], expected: set[str]) -> None:
    uids = archive["uids"]
    answers, statuses = query(server.port, "STUDY", "ISO_IR 192", **{"StudyInstanceUID": "", "PatientName": "", **keys})
    assert statuses[-1] == 0x0000 and all(status in (0xFF00, 0xFF01) for status in statuses[:-1])
    assert {answer.StudyInstanceUID for answer in answers} == {uids[study] for study in expected}
    for answer in answers:  # names come back as the instances spelled them, in UTF-8
        study = next(name for name in STUDIES if uids[name] == answer.StudyInstanceUID)
        assert answer.SpecificCharacterSet == "ISO_IR 192"
        assert str(answer.PatientName) == STUDIES[study]["PatientName"]


def test_uid_list_and_series_level(server: StorageServer, archive: dict[str, object]) -> None:
    uids = archive["uids"]
    answers, _ = query(server.port, "STUDY", StudyInstanceUID=f"{uids['A']}\\{uids['C']}", NumberOfStudyRelatedSeries="")
    assert {(a.StudyInstanceUID, a.NumberOfStudyRelatedSeries) for a in answers} == {(uids["A"], 2), (uids["C"], 1)}
    answers, _ = query(server.port, "SERIES", StudyInstanceUID=uids["A"], SeriesInstanceUID="", Modality="")
    assert {(a.SeriesInstanceUID, a.Modality) for a in answers} == {(uids["A1"], "CT"), (uids["A2"], "SR")}
    answers, statuses = query(server.port, "IMAGE", SOPInstanceUID="")
    assert answers == [] and statuses == [0xC000]


def test_the_index_is_rebuilt_from_the_store_and_crash_leftovers_are_removed(
    archive: dict[str, object], tmp_path: Path
) -> None:
    store = tmp_path / "store"
    shutil.copytree(archive["store"], store)
    series = next(path for path in store.glob("*/*") if path.is_dir())
    leftover = series / ".1.2.3.tmp4242-0"
    leftover.write_bytes(b"half an instance")
    with StorageServer(store, port=0) as restarted:
        answers, _ = query(restarted.port, "STUDY", StudyInstanceUID="")
    assert len(answers) == 3
    assert not leftover.exists()


@pytest.mark.skipif(shutil.which("findscu") is None, reason="DCMTK's findscu is not installed (Debian package dcmtk)")
def test_dcmtk_findscu_finds_the_studies(server: StorageServer, archive: dict[str, object], tmp_path: Path) -> None:
    from pydicom import dcmread

    run = subprocess.run(
        ["findscu", "-S", "-aec", "ZANTHE", "-k", "QueryRetrieveLevel=STUDY", "-k", "StudyInstanceUID",
         "-k", "PatientName=SMI*", "-X", "-od", str(tmp_path), "127.0.0.1", str(server.port)],
        capture_output=True, text=True, timeout=30,
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    answers = [dcmread(path) for path in sorted(tmp_path.glob("rsp*.dcm"))]
    assert [a.StudyInstanceUID for a in answers] == [archive["uids"]["C"]]

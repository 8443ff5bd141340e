"""Grouping on a dask.distributed cluster (two worker processes) gives what a local run gives: the same
studies in the same order, and the same problems."""

from __future__ import annotations

from pathlib import Path

import pydicom
import pytest

pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

from helpers.study_archive import write_archive  # noqa: E402

from zanthe import _fhir, archive, dask_archive  # noqa: E402
from zanthe.fhir import imaging_studies  # noqa: E402

ZONE = "+01:00"
DICOMDIR_TESTS = Path(pydicom.__file__).parent / "data" / "test_files" / "dicomdirtests"


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def generated(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_archive(tmp_path_factory.mktemp("dask") / "archive")


@pytest.fixture(params=["archive", "dicomdirtests"])
def tree(request: pytest.FixtureRequest, generated: Path) -> str:
    return str(generated if request.param == "archive" else DICOMDIR_TESTS)


def test_a_cluster_run_gives_the_studies_and_problems_of_a_local_run(client, tree):
    local_problems: list[tuple[str, str]] = []
    local = list(imaging_studies([tree], timezone=ZONE, problems=local_problems))
    cluster_problems: list[tuple[str, str]] = []
    on_cluster = list(imaging_studies([tree], timezone=ZONE, client=client, problems=cluster_problems))
    assert local  # the tree holds studies
    assert on_cluster == local
    assert cluster_problems == local_problems


def test_batches_combined_pairwise_on_the_workers_equal_one_local_grouping(client, generated, monkeypatch):
    paths = [str(s.path) for tree in (generated, DICOMDIR_TESTS) for s in archive.gather_inputs([tree]).sources]
    monkeypatch.setattr(dask_archive, "FILES_PER_TASK", 3)  # many tasks, and a tree of merges several deep
    monkeypatch.setattr(dask_archive, "TREE_WIDTH", 2)
    grouper, failures, repaired = dask_archive.group(client, paths)

    local = _fhir.StudyGrouper()
    local_failures, local_repaired = local.add_files(paths, 0)
    assert (grouper.studies(timezone=ZONE), grouper.reports()) == (local.studies(timezone=ZONE), local.reports())
    assert (failures, repaired) == (local_failures, local_repaired)

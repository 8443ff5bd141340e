"""A folder conversion stops between batches once its client has gone."""

from __future__ import annotations

import itertools
from pathlib import Path

import pytest

from mcp_inputs import FILES_FOUND
from zanthe import archive


@pytest.mark.parametrize("per_file", [False, True], ids=["grouped", "per file"])
@pytest.mark.parametrize("jobs", [1, 2])
def test_no_batch_starts_after_cancellation(root: Path, per_file: bool, jobs: int):
    """Three batches of 16 files; the client goes once two have started."""
    asked = itertools.count()
    progress: list[int] = []
    run = archive.ArchiveRun(
        [str(root / "archive")], per_file=per_file, jobs=jobs,
        on_progress=lambda done, total, failed: progress.append(done), cancelled=lambda: next(asked) >= 2,
    )  # fmt: skip
    with pytest.raises(archive.Cancelled):
        list(run.results())
    assert progress == [16, 32]


def test_a_run_never_cancelled_reads_every_file(root: Path):
    progress: list[int] = []
    run = archive.ArchiveRun([str(root / "archive")], jobs=4, on_progress=lambda done, *_: progress.append(done),
                             cancelled=lambda: False)  # fmt: skip
    assert len(list(run.results())) == 2 and progress[-1] == FILES_FOUND

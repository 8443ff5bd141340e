"""Whole archives of DICOM files to FHIR ImagingStudy resources: walking folders, reading headers on
worker threads, grouping instances by study, and collecting what went wrong as data.

The native converter reads each file only up to its pixel data and releases the interpreter lock while
it works, so threads of one process share the reading; a dask.distributed client spreads it over a
cluster instead (see zanthe.dask_archive).

This module is on the path of every ``zanthe fhir`` run, so it imports only what that needs: pathlib
only for per-file output names, and its own small thread pool rather than concurrent.futures, whose
import (logging and all) would cost more than converting a few hundred files.
"""

from __future__ import annotations

import os

from zanthe import _fhir
from zanthe._oserror import os_error_reason

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence
    from pathlib import Path, PurePath
    from typing import Any, TypeVar

    from zanthe.fhir import Zone

    Item = TypeVar("Item")
    Result = TypeVar("Result")

REPAIRED_TEXT = "text bytes that the declared character set cannot decode were replaced by U+FFFD"
DICOM_SUFFIXES = (".dcm", ".dicom")


# ---------------------------------------------------------------------------------------------------
# Finding the inputs


class Source:
    """One input file and the name of its output, relative to the output folder (per-file mode)."""

    __slots__ = ("output_name", "path")

    def __init__(self, path: Path, output_name: PurePath) -> None:
        self.path = path
        self.output_name = output_name

    def __repr__(self) -> str:
        return f"Source({self.path!r}, {self.output_name!r})"


class Inputs:
    """The files found: their paths, with output names when asked for, and what could not be read."""

    def __init__(self) -> None:
        self.sources: list[Source] = []
        self.problems: list[tuple[str, str]] = []  # (path, reason) for arguments and folders that cannot be read
        self.paths: list[str] = []


def json_name(relative: PurePath) -> PurePath:
    if relative.suffix.lower() in DICOM_SUFFIXES:
        return relative.with_suffix(".json")
    return relative.with_name(relative.name + ".json")


def is_hidden(name: str) -> bool:
    return name.startswith(".")


def walk_folder(
    folder: str | os.PathLike[str], skip: str | os.PathLike[str] | None, problems: list[tuple[str, str]]
) -> Iterator[str]:
    """The paths of the regular files below folder in sorted order (by relative path), leaving out
    hidden entries, links to folders and the skipped folder. Folders that cannot be listed go to
    problems. Plain strings: an archive may hold millions of files."""

    def walk(directory: str) -> Iterator[str]:
        try:
            with os.scandir(directory) as listing:
                entries = sorted((e for e in listing if not is_hidden(e.name)), key=lambda e: e.name)
        except OSError as error:
            problems.append((str(error.filename or directory), f"cannot list folder: {os_error_reason(error)}"))
            return
        for entry in entries:
            if entry.is_dir(follow_symlinks=False):
                if not is_same_folder(entry.path, skip):
                    yield from walk(entry.path)
            elif entry.is_file():
                yield entry.path

    yield from walk(os.fspath(folder))


def is_same_folder(path: str, other: str | os.PathLike[str] | None) -> bool:
    if other is None:
        return False
    try:
        return os.path.samefile(path, other)
    except OSError:
        return False


def gather_inputs(
    arguments: Sequence[str], output: str | os.PathLike[str] | None = None, *, output_names: bool = True
) -> Inputs:
    """The files the arguments name, in order; with `output_names`, each with the name of its own output."""
    inputs = Inputs()
    for argument in arguments:
        if os.path.isdir(argument):
            found = list(walk_folder(argument, output, inputs.problems))
            inputs.paths += found
            if output_names:
                inputs.sources += folder_sources(argument, found)
        elif os.path.isfile(argument):
            inputs.paths.append(argument)
            if output_names:
                inputs.sources.append(file_source(argument))
        else:
            inputs.problems.append((argument, "no such file or folder"))
    if output_names:
        inputs.sources = with_unique_names(inputs.sources)
    return inputs


def file_source(argument: str) -> Source:
    from pathlib import Path, PurePath  # only per-file output names need it

    path = Path(argument)
    return Source(path, json_name(PurePath(path.name)))


def folder_sources(folder: str, found: list[str]) -> list[Source]:
    """Files found in a folder keep their path below the folder's name."""
    from pathlib import Path, PurePath

    label = Path(folder).resolve().name or "root"
    return [Source(Path(p), json_name(PurePath(label, os.path.relpath(p, folder)))) for p in found]


def with_unique_names(sources: Sequence[Source]) -> list[Source]:
    """Renames later duplicates a.json -> a-2.json, a-3.json...; the first keeps its name."""
    taken: set[PurePath] = set()
    unique: list[Source] = []
    for source in sources:
        name = source.output_name
        counter = 1
        while name in taken:
            counter += 1
            name = source.output_name.with_name(f"{source.output_name.stem}-{counter}.json")
        taken.add(name)
        unique.append(Source(source.path, name))
    return unique


# ---------------------------------------------------------------------------------------------------
# Converting


class StudyResult:
    """One resource of the run: a study (grouped) or a file (per file), with what names its output."""

    __slots__ = ("local_time", "source", "study_json", "study_uid")

    def __init__(self, study_json: str, study_uid: str, source: Source | None = None, local_time: bool = False) -> None:
        self.study_json = study_json
        self.study_uid = study_uid
        self.source = source
        self.local_time = local_time


def default_jobs() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def batches(count: int, jobs: int) -> list[range]:
    """Ranges of file indexes for the workers: small enough to balance and to show progress, large
    enough that the per-call cost vanishes."""
    size = max(16, min(1024, count // (jobs * 8) or 1))
    return [range(start, min(start + size, count)) for start in range(0, count, size)]


class Report:
    """What a run noticed besides its results."""

    def __init__(self) -> None:
        self.failures: list[tuple[str, str]] = []  # (path, reason)
        self.duplicates: list[str] = []
        self.conflicts: list[str] = []
        self.repaired: list[str] = []  # paths whose text was repaired
        self.local_times = 0  # resources with a time of day but no UTC offset


def ordered_map(function: Callable[[Item], Result], items: Sequence[Item], jobs: int) -> Iterator[Result]:
    """function(item) for every item, on up to `jobs` threads, yielded in the items' order as each is
    ready; an exception is raised where its item's result would be. Leaving early stops the workers
    after the items they hold."""
    if jobs <= 1 or len(items) <= 1:
        yield from map(function, items)
        return
    import threading  # only runs of more than one batch need it

    results: list[Any] = [None] * len(items)
    finished = [False] * len(items)
    failed: dict[int, BaseException] = {}
    pending = iter(range(len(items)))
    ready = threading.Condition()
    stopped = False

    def work() -> None:
        while True:
            with ready:
                index = None if stopped else next(pending, None)
            if index is None:
                return
            try:
                result = function(items[index])
            except BaseException as error:  # handed to the consumer, which raises it
                failed[index] = error
                result = None
            with ready:
                results[index], finished[index] = result, True
                ready.notify_all()

    workers = [threading.Thread(target=work, daemon=True) for _ in range(min(jobs, len(items)))]
    for worker in workers:
        worker.start()
    try:
        for index in range(len(items)):
            with ready:
                ready.wait_for(lambda: finished[index])
            if index in failed:
                raise failed.pop(index)
            yield results[index]
            results[index] = None
    finally:
        with ready:
            stopped = True
        for worker in workers:
            worker.join()


class Cancelled(Exception):
    """The run was asked to stop before it read every file."""


class ArchiveRun:
    """One conversion of many inputs. `results()` yields the resources; `report` fills as it goes.

    `on_progress(done, total, failures)` is called after each batch of files; when `cancelled()` turns
    true, no further batch is started and `results()` raises Cancelled.
    """

    def __init__(
        self,
        arguments: Sequence[str],
        *,
        per_file: bool = False,
        timezone: Zone = None,
        jobs: int | None = None,
        client: Any = None,
        output: str | os.PathLike[str] | None = None,
        on_progress: Callable[[int, int, int], None] | None = None,
        cancelled: Callable[[], bool] | None = None,
    ) -> None:
        self.per_file = per_file
        self.zone = timezone
        self.jobs = jobs or default_jobs()
        self.client = client
        self.on_progress = on_progress
        self.cancelled = cancelled
        self.report = Report()
        if client is not None:
            from zanthe import dask_archive

            self.paths, listing_problems = dask_archive.list_inputs(arguments)
            self.sources: list[Source] = []
        else:
            inputs = gather_inputs(arguments, output, output_names=per_file)
            self.sources = inputs.sources
            self.paths = inputs.paths
            listing_problems = inputs.problems
        self.report.failures.extend(listing_problems)
        self.input_count = len(self.paths) + len(listing_problems)

    def problems(self) -> list[tuple[str, str]]:
        r = self.report
        repaired = [(path, REPAIRED_TEXT) for path in r.repaired]
        return [*r.failures, *(("", text) for text in (*r.duplicates, *r.conflicts)), *repaired]

    def results(self) -> Iterator[StudyResult]:
        if self.per_file:
            yield from self._per_file()
        else:
            yield from self._grouped()

    def _progress(self, done: int) -> None:
        if self.on_progress is not None:
            self.on_progress(done, len(self.paths), len(self.report.failures))

    def _unless_cancelled(self, function: Callable[[Item], Result]) -> Callable[[Item], Result]:
        """`function`, refusing to start on another batch once the run is cancelled: the refusal is
        raised where that batch's result would be, which stops the workers."""
        cancelled = self.cancelled
        if cancelled is None:
            return function

        def guarded(item: Item) -> Result:
            if cancelled():
                raise Cancelled("cancelled")
            return function(item)

        return guarded

    def _per_file(self) -> Iterator[StudyResult]:
        if self.client is not None:
            raise ValueError("one resource per file is made locally; leave out the Dask client")
        done = 0
        chunks = [self.paths[part.start : part.stop] for part in batches(len(self.paths), self.jobs)]

        def convert(chunk: list[str]) -> list[tuple[str | None, str | None, bool, bool]]:
            return _fhir.convert_files(chunk, timezone=self.zone)

        for chunk, outcomes in zip(chunks, ordered_map(self._unless_cancelled(convert), chunks, self.jobs)):
            for path, (text, reason, repaired, local) in zip(chunk, outcomes):
                source = self.sources[done]
                done += 1
                if repaired:
                    self.report.repaired.append(path)
                if text is None:
                    self.report.failures.append((path, reason or "unknown failure"))
                    continue
                self.report.local_times += local
                yield StudyResult(text, "", source, local)
            self._progress(done)

    def _grouped(self) -> Iterator[StudyResult]:
        grouper = self._group_remotely() if self.client is not None else self._group_locally()
        for kind, study_uid, subject, first, first_ordinal, other, other_ordinal in grouper.reports():
            first_path, other_path = self._path(first_ordinal), self._path(other_ordinal)
            if kind == "duplicate":
                self.report.duplicates.append(
                    f"study {study_uid}: SOP Instance UID {subject} in {first_path} and again in {other_path} "
                    "(counted once)"
                )
            else:
                self.report.conflicts.append(
                    f"study {study_uid}: {subject} is {first!r} in {first_path} but {other!r} in {other_path} "
                    "(the first is used)"
                )
        for _ordinal, study_uid, text, reason, local in grouper.studies(timezone=self.zone):
            if text is None:
                self.report.failures.append((f"study {study_uid}", reason or "unknown failure"))
                continue
            self.report.local_times += local
            yield StudyResult(text, study_uid, None, local)

    def _path(self, ordinal: int) -> str:
        return self.paths[ordinal] if 0 <= ordinal < len(self.paths) else f"#{ordinal}"

    def _note(self, failures: list[tuple[int, str]], repaired: list[int]) -> None:
        self.report.failures.extend((self._path(ordinal), reason) for ordinal, reason in failures)
        self.report.repaired.extend(self._path(ordinal) for ordinal in repaired)

    def _group_locally(self) -> Any:
        grouper = _fhir.StudyGrouper()
        parts = batches(len(self.paths), self.jobs)

        def add(part: range) -> tuple[list[tuple[int, str]], list[int]]:
            return grouper.add_files(self.paths[part.start : part.stop], part.start)

        done = 0
        for part, (failures, repaired) in zip(parts, ordered_map(self._unless_cancelled(add), parts, self.jobs)):
            self._note(failures, repaired)
            done += len(part)
            self._progress(done)
        return grouper

    def _group_remotely(self) -> Any:
        from zanthe import dask_archive

        grouper, failures, repaired = dask_archive.group(self.client, self.paths)
        self._note(failures, repaired)
        self._progress(len(self.paths))
        return grouper

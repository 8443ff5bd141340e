"""Whole archives of DICOM files to FHIR ImagingStudy resources: walking folders, reading headers on
worker threads, grouping instances by study, writing the results and reporting what went wrong.

The native converter reads each file only up to its pixel data and releases the interpreter lock while
it works, so threads of one process share the reading; a dask.distributed client spreads it over a
cluster instead (see zanthe.dask_archive).
"""

from __future__ import annotations

import json
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path, PurePath
from typing import Any, TextIO

from zanthe import _fhir

REPAIRED_TEXT = "text bytes that the declared character set cannot decode were replaced by U+FFFD"
LOCAL_TIME_NOTICE = (
    "{count} resources carry a local time without a UTC offset, which FHIR servers refuse; "
    "give --timezone (an offset such as +01:00 or a zone such as Europe/Berlin)"
)
DICOM_SUFFIXES = (".dcm", ".dicom")

Zone = str | list[tuple[str, str]] | None


# ---------------------------------------------------------------------------------------------------
# Finding the inputs


@dataclass(frozen=True)
class Source:
    """One input file and the name of its output, relative to the output folder (per-file mode)."""

    path: Path
    output_name: PurePath


@dataclass
class Inputs:
    sources: list[Source]  # with output names, when asked for
    problems: list[tuple[str, str]]  # (path, reason) for arguments and folders that cannot be read
    paths: list[str] = field(default_factory=list)


def json_name(relative: PurePath) -> PurePath:
    if relative.suffix.lower() in DICOM_SUFFIXES:
        return relative.with_suffix(".json")
    return relative.with_name(relative.name + ".json")


def is_hidden(name: str) -> bool:
    return name.startswith(".")


def os_error_reason(error: OSError) -> str:
    return error.strerror or str(error)


def walk_folder(folder: Path, skip: Path | None, problems: list[tuple[str, str]]) -> Iterator[str]:
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


def is_same_folder(path: str, other: Path | None) -> bool:
    if other is None:
        return False
    try:
        return os.path.samefile(path, other)
    except OSError:
        return False


def folder_label(folder: Path) -> str:
    return folder.resolve().name or "root"


def gather_inputs(arguments: Sequence[str], output: Path | None = None, *, output_names: bool = True) -> Inputs:
    """The files the arguments name, in order; with `output_names`, each with the name of its own output."""
    inputs = Inputs(sources=[], problems=[])
    paths: list[str] = []
    for argument in arguments:
        path = Path(argument)
        if path.is_dir():
            found = list(walk_folder(path, output, inputs.problems))
            paths += found
            if output_names:
                label, top = folder_label(path), os.fspath(path)
                inputs.sources += [
                    Source(Path(p), json_name(PurePath(label, os.path.relpath(p, top)))) for p in found
                ]
        elif path.is_file():
            paths.append(argument)
            if output_names:
                inputs.sources.append(Source(path, json_name(PurePath(path.name))))
        else:
            inputs.problems.append((argument, "no such file or folder"))
    inputs.paths = paths
    if output_names:
        inputs.sources = with_unique_names(inputs.sources)
    return inputs


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


@dataclass(frozen=True)
class StudyResult:
    """One resource of the run: a study (grouped) or a file (per file), with what names its output."""

    study_json: str
    study_uid: str
    source: Source | None = None
    local_time: bool = False


def default_jobs() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def batches(count: int, jobs: int) -> list[range]:
    """Ranges of file indexes for the workers: small enough to balance and to show progress, large
    enough that the per-call cost vanishes."""
    size = max(16, min(1024, count // (jobs * 8) or 1))
    return [range(start, min(start + size, count)) for start in range(0, count, size)]


@dataclass
class Report:
    """What a run noticed besides its results."""

    failures: list[tuple[str, str]] = field(default_factory=list)  # (path, reason)
    duplicates: list[str] = field(default_factory=list)
    conflicts: list[str] = field(default_factory=list)
    repaired: list[str] = field(default_factory=list)  # paths whose text was repaired
    local_times: int = 0


class ArchiveRun:
    """One conversion of many inputs. `results()` yields the resources; `report` fills as it goes."""

    def __init__(
        self,
        arguments: Sequence[str],
        *,
        per_file: bool = False,
        timezone: Zone = None,
        jobs: int | None = None,
        client: Any = None,
        output: Path | None = None,
        on_progress: Callable[[int, int, int], None] | None = None,
    ) -> None:
        self.per_file = per_file
        self.zone = timezone
        self.jobs = jobs or default_jobs()
        self.client = client
        self.on_progress = on_progress
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

    def _per_file(self) -> Iterator[StudyResult]:
        if self.client is not None:
            raise ValueError("one resource per file is made locally; leave out the Dask client")
        done = 0
        with ThreadPoolExecutor(max_workers=self.jobs) as pool:
            chunks = [[self.paths[i] for i in part] for part in batches(len(self.paths), self.jobs)]
            for chunk, outcomes in zip(chunks, pool.map(lambda c: _fhir.convert_files(c, timezone=self.zone), chunks)):
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
        with ThreadPoolExecutor(max_workers=self.jobs) as pool:
            for part, (failures, repaired) in zip(parts, pool.map(add, parts)):
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


# ---------------------------------------------------------------------------------------------------
# Progress and output


class Progress:
    """A one-line progress bar on a terminal, redrawn at most ten times a second."""

    WIDTH = 30

    def __init__(self, stream: TextIO | None) -> None:
        self.stream = stream
        self.last_draw = 0.0

    def update(self, done: int, total: int, failed: int) -> None:
        now = time.monotonic()
        if self.stream is None or (done < total and now - self.last_draw < 0.1):
            return
        self.last_draw = now
        filled = self.WIDTH * done // max(total, 1)
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        failures = f", {failed} failed" if failed else ""
        self.stream.write(f"\r[{bar}] {done}/{total} files{failures}")
        self.stream.flush()

    def finish(self) -> None:
        if self.stream is not None:
            self.stream.write("\r\033[K")
            self.stream.flush()


def progress_stream(disabled: bool, to_stdout: bool) -> TextIO | None:
    """stderr when it is a terminal, unless the results themselves go to that screen."""
    if disabled or not sys.stderr.isatty() or (to_stdout and sys.stdout.isatty()):
        return None
    return sys.stderr


class Sink:
    """Where the resources go; `write` gives a failure reason or None."""

    def write(self, result: StudyResult) -> str | None:
        raise NotImplementedError

    def close(self) -> str | None:
        return None


class LinesSink(Sink):
    """JSON Lines (NDJSON): one resource per line, as bulk FHIR loaders take them."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def write(self, result: StudyResult) -> str | None:
        self.stream.write(result.study_json + "\n")
        return None


def study_file_name(study_uid: str) -> str:
    """A file name for a study: its UID, with anything but letters, digits, '.' and '-' replaced."""
    safe = "".join(c if c.isascii() and (c.isalnum() or c in ".-") else "_" for c in study_uid)
    return (safe.lstrip(".") or "study") + ".json"


class FolderSink(Sink):
    """One JSON file per resource: per file beside its input's relative path, per study by its UID."""

    def __init__(self, output: Path) -> None:
        self.output = output
        self.taken: set[str] = set()

    def write(self, result: StudyResult) -> str | None:
        if result.source is not None:
            target = self.output / result.source.output_name
        else:
            name = study_file_name(result.study_uid)
            counter = 1
            while name in self.taken:
                counter += 1
                name = f"{study_file_name(result.study_uid)[:-5]}-{counter}.json"
            self.taken.add(name)
            target = self.output / name
        try:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(result.study_json + "\n", encoding="utf-8")
        except OSError as error:
            return f"cannot write {target}: {os_error_reason(error)}"
        return None


class BundleSink(Sink):
    """A FHIR transaction Bundle whose entries PUT each ImagingStudy at ImagingStudy/<id>: POST it to a
    FHIR server's base URL. Entries are written as they come, so memory stays flat."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.count = 0
        self.stream.write('{"resourceType":"Bundle","type":"transaction","entry":[')

    def write(self, result: StudyResult) -> str | None:
        study_id = resource_id(result.study_json)
        if study_id is None:
            return "no id to PUT the resource at"
        request = json.dumps({"method": "PUT", "url": f"ImagingStudy/{study_id}"}, separators=(",", ":"))
        separator = "," if self.count else ""
        self.stream.write(f'{separator}{{"resource":{result.study_json},"request":{request}}}')
        self.count += 1
        return None

    def close(self) -> str | None:
        self.stream.write("]}\n")
        return None


def resource_id(study_json: str) -> str | None:
    value = json.loads(study_json).get("id")
    return value if isinstance(value, str) and value else None


def print_report(report: Report, total: int, stream: TextIO) -> None:
    """The run's summary: failed inputs with their reasons, duplicates, disagreements, repairs."""
    if report.duplicates or report.conflicts:
        print(f"zanthe fhir: {len(report.duplicates) + len(report.conflicts)} problems in studies:", file=stream)
        for line in (*report.duplicates, *report.conflicts):
            print(f"  {line}", file=stream)
    if report.repaired:
        print(f"zanthe fhir: in {len(report.repaired)} files {REPAIRED_TEXT}:", file=stream)
        for path in report.repaired:
            print(f"  {path}", file=stream)
    if report.local_times:
        print("zanthe fhir: " + LOCAL_TIME_NOTICE.format(count=report.local_times), file=stream)
    if report.failures:
        print(f"zanthe fhir: {len(report.failures)} of {total} inputs failed:", file=stream)
        for name, reason in report.failures:
            print(f"  {name}: {reason}", file=stream)

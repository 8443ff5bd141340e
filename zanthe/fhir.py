"""DICOM to FHIR R4 ImagingStudy: one instance, or whole archives grouped into one resource per study.

    from zanthe import fhir

    text = fhir.imaging_study("image.dcm", timezone="Europe/Berlin")
    for study in fhir.imaging_studies(["/archive"], jobs=4):
        post(study)

Files are read only up to their pixel data. Text is converted to UTF-8 by the file's Specific Character
Set; bytes it cannot decode become U+FFFD and raise a ``TextRepairedWarning``. A `timezone` (a UTC
offset such as "+01:00" or "Z", or an IANA name such as "Europe/Berlin", whose offset on each study's
date is used) completes times that the file gives without one, as FHIR requires.
"""

from __future__ import annotations

import functools
import os

from zanthe._fhir import MissingStudyError, NotDicomError, TextRepairedWarning, UnsupportedTransferSyntaxError
from zanthe._fhir import imaging_study as _imaging_study
from zanthe._fhir import imaging_study_file as _imaging_study_file

TYPE_CHECKING = False
if TYPE_CHECKING:
    import datetime
    from collections.abc import Buffer, Iterable, Iterator
    from typing import Any, TypeAlias

    Zone: TypeAlias = "str | list[tuple[str, str]] | None"

__all__ = [
    "MissingStudyError",
    "NotDicomError",
    "TextRepairedWarning",
    "UnsupportedTransferSyntaxError",
    "imaging_studies",
    "imaging_study",
    "zone_argument",
]

def imaging_study(source: Buffer | str | os.PathLike[str], *, timezone: str | None = None) -> str:
    """The ImagingStudy JSON of one instance, given as bytes (or any buffer) or as a file path.

    A path is read only up to the pixel data. Raises NotDicomError, UnsupportedTransferSyntaxError,
    MissingStudyError (all RuntimeError) or RuntimeError with the reason, and OSError for a file that
    cannot be read.
    """
    zone = zone_argument(timezone)
    if isinstance(source, (str, os.PathLike)):
        return _imaging_study_file(os.fspath(source), timezone=zone)
    return _imaging_study(source, timezone=zone)


def imaging_studies(
    paths: Iterable[str | os.PathLike[str]],
    *,
    per_file: bool = False,
    timezone: str | None = None,
    jobs: int | None = None,
    client: Any = None,
    problems: list[tuple[str, str]] | None = None,
) -> Iterator[str]:
    """One ImagingStudy JSON text per study found in `paths` (files and folders, walked recursively), in
    the order of each study's first file; with `per_file`, one per file as imaging_study makes it.

    `jobs` threads read the files (default: one per CPU). With a dask.distributed `client`, the files
    (local paths or fsspec URLs) are read and grouped on its workers instead. Files that fail, duplicate
    instances and instances that disagree on study values are appended to `problems` as (path, reason);
    they never stop the run.
    """
    from zanthe import archive

    run = archive.ArchiveRun(
        [os.fspath(p) for p in paths], per_file=per_file, timezone=zone_argument(timezone), jobs=jobs, client=client
    )
    try:
        for result in run.results():
            yield result.study_json
    finally:
        if problems is not None:
            problems.extend(run.problems())


def zone_argument(timezone: str | None) -> Zone:
    """What the native converter takes for a zone: a fixed offset as given, an IANA name as the dates
    from which each of its offsets is in force."""
    if timezone is None or is_fixed_offset(timezone):
        return timezone
    return zone_changes(timezone)


def is_fixed_offset(text: str) -> bool:
    return text in ("Z", "z", "UTC") or text[:1] in ("+", "-")


FIRST_YEAR, LAST_YEAR = 1900, 2100


@functools.lru_cache(maxsize=16)
def zone_changes(name: str) -> list[tuple[str, str]]:
    """(first date YYYYMMDD, offset) for every change of the zone's offset at local noon, 1900 to 2100."""
    import datetime
    import zoneinfo

    try:
        zone = zoneinfo.ZoneInfo(name)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        raise ValueError(f"unknown time zone {name!r}: give an IANA name such as Europe/Berlin or an offset such as +01:00") from None

    def offset_on(day: datetime.date) -> str:
        noon = datetime.datetime(day.year, day.month, day.day, 12, tzinfo=zone)
        return fhir_offset(noon.utcoffset() or datetime.timedelta())

    day = datetime.date(FIRST_YEAR, 1, 1)
    last = datetime.date(LAST_YEAR, 12, 31)
    current = offset_on(day)
    changes = [("00000000", current)]
    week = datetime.timedelta(days=7)
    while day < last:
        ahead = min(day + week, last)
        if offset_on(ahead) != current:
            # The offset changed within this week: find the first day of the new one.
            low, high = day, ahead
            while (high - low).days > 1:
                middle = low + (high - low) // 2
                low, high = (middle, high) if offset_on(middle) == current else (low, middle)
            current = offset_on(high)
            changes.append((high.strftime("%Y%m%d"), current))
            day = high
        else:
            day = ahead
    return changes


def fhir_offset(offset: datetime.timedelta) -> str:
    minutes = round(offset.total_seconds() / 60)
    sign = "-" if minutes < 0 else "+"
    hours, minutes = divmod(abs(minutes), 60)
    return f"{sign}{hours:02}:{minutes:02}"

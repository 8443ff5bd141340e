"""``zanthe fhir``: DICOM files and folders to FHIR R4 ImagingStudy resources, with what went wrong on stderr."""

from __future__ import annotations

import argparse
import sys
import time

from zanthe._oserror import os_error_reason
from zanthe.cli.common import EXIT_FAILED, EXIT_OK, UsageError, positive_int

TYPE_CHECKING = False
if TYPE_CHECKING:
    from pathlib import Path
    from typing import Any, TextIO

    from zanthe import archive
    from zanthe.cli.common import CommandParser, Commands

EPILOG = """\
which files are read:
  A FILE argument is always converted. A FOLDER argument is walked recursively in sorted order and
  every regular file in it is read, whatever its name (DICOM files often have no extension); hidden
  files and folders (names starting with '.'), links to folders and the --output folder are skipped.
  Only each file's header is read, up to its pixel data.

output:
  One ImagingStudy per study (Study Instance UID), with every series and instance found, in the order
  of each study's first file. Without --output: one resource per line on stdout (JSON Lines, as bulk
  FHIR loaders take them). With --output DIR: one file per study, DIR/<Study Instance UID>.json.
  With --bundle: one FHIR transaction Bundle that PUTs each ImagingStudy/<id>, ready to POST to a FHIR
  server's base URL (on stdout, or DIR/bundle.json).
  With --per-file: one ImagingStudy per file instead (one series and instance each); with --output,
  files found in a FOLDER keep their path below that folder's name (DIR/<folder>/<sub/path>.json),
  a '.dcm' or '.dicom' suffix is replaced by '.json', any other name gets '.json' appended.

time zones:
  FHIR requires a UTC offset on a time of day. A file's own Timezone Offset From UTC (0008,0201) is
  used; --timezone gives one for the other files: an offset (+01:00, Z) or an IANA zone
  (Europe/Berlin), whose offset on each study's date is used, daylight saving included.

Failed files, SOP Instance UIDs seen twice (counted once) and instances of one study that disagree on
its accession number, patient ID or study date are listed on stderr at the end; the other files are
still converted. Exit codes: 0 all converted, 1 some failed, 2 usage error or no input files found.
"""

LOCAL_TIME_NOTICE = (
    "{count} resources carry a local time without a UTC offset, which FHIR servers refuse; "
    "give --timezone (an offset such as +01:00 or a zone such as Europe/Berlin)"
)


def output_folder(text: str) -> Path:
    from pathlib import Path  # only runs that write files need it

    return Path(text)


def add_command(commands: Commands) -> None:
    commands.add_parser(
        "fhir",
        help="convert DICOM files to FHIR R4 ImagingStudy JSON",
        description="Convert DICOM files to FHIR R4 ImagingStudy resources, one per study.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        define=define_fhir,
    )


def define_fhir(fhir: CommandParser) -> None:
    fhir.add_argument(
        "inputs", nargs="+", metavar="PATH", help="DICOM files or folders to walk (fsspec URLs with --dask)"
    )
    fhir.add_argument("-o", "--output", metavar="DIR", type=output_folder, help="write one JSON file per study into DIR")
    fhir.add_argument(
        "-j", "--jobs", metavar="N", type=positive_int, help="threads reading files (default: one per CPU)"
    )
    fhir.add_argument("--per-file", action="store_true", help="one ImagingStudy per file instead of per study")
    fhir.add_argument("--bundle", action="store_true", help="write one FHIR transaction Bundle of PUTs")
    fhir.add_argument(
        "--timezone", metavar="ZONE", help="UTC offset (+01:00, Z) or IANA zone for times the files give without one"
    )
    fhir.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="read and group on a dask.distributed scheduler at ADDRESS ('local' starts a LocalCluster)",
    )
    fhir.add_argument(
        "--no-progress", action="store_true", help="no progress bar (it is shown only when stderr is a terminal)"
    )
    fhir.set_defaults(run=run_fhir, parser=fhir)


def run_fhir(args: argparse.Namespace) -> int:
    if args.bundle and args.per_file:
        raise UsageError("--bundle holds one resource per study; it cannot be used with --per-file")
    if args.dask and args.per_file:
        raise UsageError("--per-file converts locally; it cannot be used with --dask")
    output: Path | None = args.output
    if output is not None:
        prepare_output(output)
    zone = fhir_zone(args.timezone)
    if args.dask is None:
        run = convert(args, output, zone, None)
    else:
        with dask_archive_module().connect(args.dask) as client:
            run = convert(args, output, zone, client)
    print_report(run.report, run.input_count, sys.stderr)
    return EXIT_FAILED if run.report.failures else EXIT_OK


def convert(args: argparse.Namespace, output: Path | None, zone: Any, client: Any) -> archive.ArchiveRun:
    """Converts the inputs into the sink the arguments name; the run's report tells what went wrong."""
    from zanthe import archive

    progress = Progress(progress_stream(args.no_progress, to_stdout=output is None))
    run = archive.ArchiveRun(
        args.inputs,
        per_file=args.per_file,
        timezone=zone,
        jobs=args.jobs,
        client=client,
        output=output,
        on_progress=progress.update,
    )
    if not run.paths:
        details = "; ".join(f"{name}: {reason}" for name, reason in run.report.failures)
        raise UsageError(f"no input files found ({details})" if details else "no input files found")
    sink, owned = fhir_sink(args, output)
    try:
        for result in run.results():
            reason = sink.write(result)
            if reason is not None:
                run.report.failures.append((str(result.source.path) if result.source else result.study_uid, reason))
        sink.close()
    finally:
        if owned is not None:
            owned.close()
    sys.stdout.flush()
    progress.finish()
    return run


def fhir_zone(timezone: str | None) -> Any:
    from zanthe.fhir import zone_argument

    try:
        return zone_argument(timezone)
    except ValueError as error:
        raise UsageError(f"--timezone: {error}") from None


def dask_archive_module() -> Any:
    """zanthe.dask_archive, or the usage error that says how to install what it needs."""
    try:
        from zanthe import dask_archive
    except ImportError as error:
        raise UsageError(f"--dask needs dask.distributed: pip install 'zanthe[dask]' ({error})") from None
    return dask_archive


def prepare_output(output: Path) -> None:
    try:
        output.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot use output folder {output}: {os_error_reason(error)}") from None


# ---------------------------------------------------------------------------------------------------
# Where the resources go


class Sink:
    """Where the resources go; `write` gives a failure reason or None."""

    def write(self, result: archive.StudyResult) -> str | None:
        raise NotImplementedError

    def close(self) -> str | None:
        return None


def fhir_sink(args: argparse.Namespace, output: Path | None) -> tuple[Sink, TextIO | None]:
    """The sink for the resources, and the file it owns (closed after the run)."""
    if args.bundle:
        if output is None:
            return BundleSink(sys.stdout), None
        stream = (output / "bundle.json").open("w", encoding="utf-8")
        return BundleSink(stream), stream
    if output is None:
        return LinesSink(sys.stdout), None
    return FolderSink(output), None


class LinesSink(Sink):
    """JSON Lines (NDJSON): one resource per line, as bulk FHIR loaders take them."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def write(self, result: archive.StudyResult) -> str | None:
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

    def write(self, result: archive.StudyResult) -> str | None:
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

    def write(self, result: archive.StudyResult) -> str | None:
        import json

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
    import json

    value = json.loads(study_json).get("id")
    return value if isinstance(value, str) and value else None


# ---------------------------------------------------------------------------------------------------
# What people see


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


def print_report(report: archive.Report, total: int, stream: TextIO) -> None:
    """The run's summary: failed inputs with their reasons, duplicates, disagreements, repairs."""
    if report.duplicates or report.conflicts:
        print(f"zanthe fhir: {len(report.duplicates) + len(report.conflicts)} problems in studies:", file=stream)
        for line in (*report.duplicates, *report.conflicts):
            print(f"  {line}", file=stream)
    if report.repaired:
        from zanthe.archive import REPAIRED_TEXT

        print(f"zanthe fhir: in {len(report.repaired)} files {REPAIRED_TEXT}:", file=stream)
        for path in report.repaired:
            print(f"  {path}", file=stream)
    if report.local_times:
        print("zanthe fhir: " + LOCAL_TIME_NOTICE.format(count=report.local_times), file=stream)
    if report.failures:
        print(f"zanthe fhir: {len(report.failures)} of {total} inputs failed:", file=stream)
        for name, reason in report.failures:
            print(f"  {name}: {reason}", file=stream)

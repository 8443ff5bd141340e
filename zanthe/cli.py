"""The ``zanthe`` command line: DICOM to FHIR in batches, HL7 v2 parsing and building, the MCP server.

Exit codes: 0 success, 1 some input failed, 2 usage error (or no input files found).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from pathlib import Path, PurePath
from typing import TYPE_CHECKING, Any, TextIO, cast

from zanthe import __version__

if TYPE_CHECKING:
    from zanthe._hl7 import OruConfig, OruContext, OruObservation

EXIT_OK = 0
EXIT_FAILED = 1

FHIR_EPILOG = """\
which files are read:
  A FILE argument is always converted. A FOLDER argument is walked recursively in sorted order and
  every regular file in it is converted, whatever its name (DICOM files often have no extension);
  hidden files and folders (names starting with '.'), links to folders and the --output folder
  are skipped.
  Files that are not DICOM are listed as failed with the converter's reason.

output:
  Without --output: one ImagingStudy per line on stdout (JSON Lines), in input order; a file that
  fails gives no line. With --output DIR: one JSON file per input; files found in a FOLDER keep
  their path below that folder's name (DIR/<folder>/<sub/path>.json), so same-named files stay
  apart; a '.dcm' or '.dicom' suffix is replaced by '.json', any other name gets '.json' appended.

Failed files are listed on stderr at the end, with their reason; the other files are still
converted. Exit codes: 0 all converted, 1 some failed, 2 usage error or no input files found.
"""

ORU_EPILOG = """\
The JSON file holds one object:
  {"config": {...}, "context": {...}, "observations": [{...}, ...]}
config (sending/receiving application, control_id, timestamp, version...), context (patient,
order and procedure fields) and each observation (value_type, observation_id, value, status) map
field names to strings; a missing section counts as empty. Keys the builder does not know are
ignored.
"""


class UsageError(Exception):
    """A problem with the command line that is reported like an argparse error (exit code 2)."""


# ---------------------------------------------------------------------------------------------------
# Argument parsing


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="zanthe",
        description="Medical-imaging integration toolkit: DICOM to FHIR, HL7 v2 messages, an MCP tool server.",
    )
    parser.add_argument("--version", action="version", version=f"zanthe {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    add_mcp_command(commands)
    add_fhir_command(commands)
    add_hl7_command(commands)
    return parser


def add_mcp_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    mcp = commands.add_parser(
        "mcp",
        help="serve zanthe's tools to an MCP host over stdio",
        description="Serve zanthe's tools (DICOM to ImagingStudy, HL7 parse, ORU build) over stdio "
        "to an MCP host. File access is confined to the given root folders.",
    )
    mcp.add_argument(
        "--root",
        dest="roots",
        action="append",
        metavar="DIR",
        help="a folder the tools may read files from (repeatable; default: the current folder)",
    )
    mcp.set_defaults(run=run_mcp, parser=mcp)


def add_fhir_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    fhir = commands.add_parser(
        "fhir",
        help="convert DICOM files to FHIR R4 ImagingStudy JSON",
        description="Convert DICOM files to FHIR R4 ImagingStudy resources, one per file.",
        epilog=FHIR_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    fhir.add_argument("inputs", nargs="+", metavar="FILE_OR_FOLDER", help="DICOM files or folders to walk")
    fhir.add_argument("-o", "--output", metavar="DIR", type=Path, help="write one JSON file per input into DIR")
    fhir.add_argument(
        "-j", "--jobs", metavar="N", type=positive_int, default=1, help="worker processes to use (default: 1)"
    )
    fhir.add_argument(
        "--no-progress", action="store_true", help="no progress bar (it is shown only when stderr is a terminal)"
    )
    fhir.set_defaults(run=run_fhir, parser=fhir)


def add_hl7_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    hl7 = commands.add_parser(
        "hl7",
        help="parse and build HL7 v2 messages",
        description="Parse HL7 v2 messages and build ORU^R01 result messages.",
    )
    actions = hl7.add_subparsers(dest="hl7_command", metavar="ACTION", required=True)
    parse = actions.add_parser(
        "parse",
        help="print a message's segments and fields as JSON",
        description="Print the segments of an HL7 v2 message as JSON: "
        '{"segments": [{"id": ..., "fields": [...]}, ...]}. Segments may end in CR, LF or CR LF.',
    )
    parse.add_argument("file", metavar="FILE", help="the message file, or '-' for stdin")
    parse.add_argument("--encoding", default="utf-8", help="text encoding of the file (default: utf-8)")
    parse.set_defaults(run=run_hl7_parse, parser=parse)
    oru = actions.add_parser(
        "oru",
        help="build an ORU^R01 message from a JSON file",
        description="Build an HL7 v2.5 ORU^R01 result message and print it.",
        epilog=ORU_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    oru.add_argument("file", metavar="JSON_FILE", help="config, context and observations as JSON, or '-' for stdin")
    oru.add_argument(
        "--newlines", action="store_true", help="end segments with LF instead of CR, for reading on a terminal"
    )
    oru.set_defaults(run=run_hl7_oru, parser=oru)


# ---------------------------------------------------------------------------------------------------
# Shared helpers


def fail(message: str) -> int:
    print(f"zanthe: {message}", file=sys.stderr)
    return EXIT_FAILED


def read_input(name: str) -> bytes:
    """The bytes of a file, or of stdin for '-'."""
    if name == "-":
        return sys.stdin.buffer.read()
    return Path(name).read_bytes()


def os_error_reason(error: OSError) -> str:
    return error.strerror or str(error)


# ---------------------------------------------------------------------------------------------------
# zanthe mcp


def run_mcp(args: argparse.Namespace) -> int:
    from zanthe import mcp  # imported here: only this command needs the server

    roots: list[str] = args.roots or [os.getcwd()]
    for root in roots:
        if not os.path.isdir(root):
            raise UsageError(f"--root {root}: not a folder")
    return mcp.serve(roots)


# ---------------------------------------------------------------------------------------------------
# zanthe fhir: gathering the inputs


@dataclass(frozen=True)
class Source:
    """One input file and the name of its output, relative to the output folder."""

    path: Path
    output_name: PurePath


@dataclass
class Inputs:
    sources: list[Source]
    problems: list[tuple[str, str]]  # (path, reason) for arguments and folders that cannot be read


DICOM_SUFFIXES = (".dcm", ".dicom")


def json_name(relative: PurePath) -> PurePath:
    if relative.suffix.lower() in DICOM_SUFFIXES:
        return relative.with_suffix(".json")
    return relative.with_name(relative.name + ".json")


def is_hidden(name: str) -> bool:
    return name.startswith(".")


def walk_folder(folder: Path, skip: Path | None, problems: list[tuple[str, str]]) -> list[tuple[str, ...]]:
    """The relative paths (as parts) of the regular files below folder, sorted, leaving out hidden
    entries and the skipped folder. Subfolders that cannot be listed are added to problems."""

    def unreadable(error: OSError) -> None:
        problems.append((str(error.filename), f"cannot list folder: {os_error_reason(error)}"))

    top = os.fspath(folder)
    found: list[tuple[str, ...]] = []
    for root, folders, files in os.walk(top, onerror=unreadable):
        folders[:] = [f for f in folders if not is_hidden(f) and not is_same_folder(os.path.join(root, f), skip)]
        relative = PurePath(os.path.relpath(root, top)).parts if root != top else ()
        found += (
            (*relative, name) for name in files if not is_hidden(name) and os.path.isfile(os.path.join(root, name))
        )
    return sorted(found)


def is_same_folder(path: str, other: Path | None) -> bool:
    if other is None:
        return False
    try:
        return os.path.samefile(path, other)
    except OSError:
        return False


def folder_label(folder: Path) -> str:
    return folder.resolve().name or "root"


def gather_inputs(arguments: Sequence[str], output: Path | None) -> Inputs:
    inputs = Inputs(sources=[], problems=[])
    for argument in arguments:
        path = Path(argument)
        if path.is_dir():
            label = folder_label(path)
            for parts in walk_folder(path, output, inputs.problems):
                inputs.sources.append(Source(path.joinpath(*parts), json_name(PurePath(label, *parts))))
        elif path.is_file():
            inputs.sources.append(Source(path, json_name(PurePath(path.name))))
        else:
            inputs.problems.append((argument, "no such file or folder"))
    return Inputs(sources=with_unique_names(inputs.sources), problems=inputs.problems)


def with_unique_names(sources: Iterable[Source]) -> list[Source]:
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
# zanthe fhir: converting


@dataclass(frozen=True)
class Outcome:
    """The ImagingStudy JSON of one file, or why there is none."""

    study_json: str | None
    reason: str | None


def convert_file(path: str) -> Outcome:
    """Reads and converts one file; every expected failure becomes a reason. Runs in worker processes."""
    from zanthe import _fhir

    try:
        data = Path(path).read_bytes()
    except OSError as error:
        return Outcome(None, f"cannot read: {os_error_reason(error)}")
    try:
        study = _fhir.imaging_study(data)
    except UnicodeDecodeError as error:
        return Outcome(None, f"text that is not UTF-8 ({error.reason} at byte {error.start})")
    except (RuntimeError, ValueError, MemoryError) as error:
        return Outcome(None, str(error))
    return Outcome(one_line(study), None)


def one_line(study_json: str) -> str:
    """The text itself when it is already on one line (the converter writes compact JSON)."""
    if "\n" not in study_json and "\r" not in study_json:
        return study_json
    return json.dumps(json.loads(study_json), separators=(",", ":"), ensure_ascii=False)


def convert_all(paths: list[str], jobs: int) -> Iterator[Outcome]:
    """Outcomes in input order, from this process or from a pool of worker processes."""
    if jobs == 1 or len(paths) < 2:
        yield from map(convert_file, paths)
        return
    chunk = max(1, min(32, len(paths) // (jobs * 8)))
    done = 0
    pool = ProcessPoolExecutor(max_workers=min(jobs, len(paths)))
    try:
        for outcome in pool.map(convert_file, paths, chunksize=chunk):
            done += 1
            yield outcome
    except BrokenProcessPool:
        # A worker died (a crash in the converter): the files not answered yet are failures, as
        # the pool cannot tell which of them was being converted.
        for _ in paths[done:]:
            yield Outcome(None, "not converted: a worker process ended unexpectedly")
    finally:
        # Also reached when the reader stops early (a closed pipe): drop the work not started.
        pool.shutdown(wait=True, cancel_futures=True)


class Progress:
    """A one-line progress bar on a terminal, redrawn at most ten times a second."""

    WIDTH = 30

    def __init__(self, total: int, stream: TextIO | None) -> None:
        self.total = total
        self.stream = stream
        self.last_draw = 0.0

    def update(self, done: int, failed: int) -> None:
        now = time.monotonic()
        if self.stream is None or (done < self.total and now - self.last_draw < 0.1):
            return
        self.last_draw = now
        filled = self.WIDTH * done // max(self.total, 1)
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        failures = f", {failed} failed" if failed else ""
        self.stream.write(f"\r[{bar}] {done}/{self.total} files{failures}")
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


# ---------------------------------------------------------------------------------------------------
# zanthe fhir: writing


Sink = Callable[[Source, str], str | None]


def stdout_sink(source: Source, study_json: str) -> str | None:
    sys.stdout.write(study_json + "\n")
    return None


def folder_sink(output: Path) -> Sink:
    def write(source: Source, study_json: str) -> str | None:
        target = output / source.output_name
        try:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_text(study_json + "\n", encoding="utf-8")
        except OSError as error:
            return f"cannot write {target}: {os_error_reason(error)}"
        return None

    return write


def prepare_output(output: Path) -> None:
    try:
        output.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot use output folder {output}: {os_error_reason(error)}") from None


def report_failures(failures: list[tuple[str, str]], total: int) -> None:
    if not failures:
        return
    print(f"zanthe fhir: {len(failures)} of {total} inputs failed:", file=sys.stderr)
    for name, reason in failures:
        print(f"  {name}: {reason}", file=sys.stderr)


def run_fhir(args: argparse.Namespace) -> int:
    output: Path | None = args.output
    if output is not None:
        prepare_output(output)
    inputs = gather_inputs(args.inputs, output)
    if not inputs.sources:
        details = "; ".join(f"{name}: {reason}" for name, reason in inputs.problems)
        raise UsageError(f"no input files found ({details})" if details else "no input files found")
    failures = list(inputs.problems)
    sink = stdout_sink if output is None else folder_sink(output)
    progress = Progress(len(inputs.sources), progress_stream(args.no_progress, to_stdout=output is None))
    outcomes = convert_all([str(source.path) for source in inputs.sources], args.jobs)
    for done, (source, outcome) in enumerate(zip(inputs.sources, outcomes), start=1):
        reason = outcome.reason if outcome.study_json is None else sink(source, outcome.study_json)
        if reason is not None:
            failures.append((str(source.path), reason))
        progress.update(done, len(failures))
    sys.stdout.flush()
    progress.finish()
    report_failures(failures, len(inputs.sources) + len(inputs.problems))
    return EXIT_FAILED if failures else EXIT_OK


# ---------------------------------------------------------------------------------------------------
# zanthe hl7


def run_hl7_parse(args: argparse.Namespace) -> int:
    from zanthe import _hl7

    try:
        text = read_input(args.file).decode(args.encoding)
    except OSError as error:
        return fail(f"cannot read {args.file}: {os_error_reason(error)}")
    except LookupError:
        raise UsageError(f"unknown encoding: {args.encoding}") from None
    except UnicodeDecodeError as error:
        return fail(f"{args.file} is not {args.encoding} text ({error.reason} at byte {error.start})")
    try:
        segments = _hl7.parse(text)
    except RuntimeError as error:
        return fail(str(error))
    print(json.dumps({"segments": segments}, indent=2, ensure_ascii=False))
    return EXIT_OK


class ShapeError(Exception):
    """The ORU input JSON does not have the expected shape; the message names the offending place."""


ORU_SECTIONS = ("config", "context", "observations")


def string_map(value: object, where: str) -> dict[str, str]:
    if not isinstance(value, dict):
        raise ShapeError(f"{where}: expected an object, got {json_type(value)}")
    for key, item in value.items():
        if not isinstance(item, str):
            raise ShapeError(f"{where}.{key}: expected a string, got {json_type(item)}")
    return value


def json_type(value: object) -> str:
    names: list[tuple[type, str]] = [(bool, "true/false"), (str, "a string"), (int, "a number"), (float, "a number")]
    names += [(list, "an array"), (dict, "an object")]
    for kind, name in names:
        if isinstance(value, kind):
            return name
    return "null"


def oru_parts(document: object) -> tuple[OruConfig, OruContext, list[OruObservation]]:
    """The three sections of the input, checked to map names to strings (the builder's own types)."""
    if not isinstance(document, dict):
        raise ShapeError(f"expected an object with {', '.join(ORU_SECTIONS)}; got {json_type(document)}")
    unknown = sorted(set(document) - set(ORU_SECTIONS))
    if unknown:
        raise ShapeError(f"unexpected key {unknown[0]!r} (expected {', '.join(ORU_SECTIONS)})")
    config = string_map(document.get("config", {}), "config")
    context = string_map(document.get("context", {}), "context")
    observations = document.get("observations", [])
    if not isinstance(observations, list):
        raise ShapeError(f"observations: expected an array, got {json_type(observations)}")
    items = [string_map(item, f"observations[{index}]") for index, item in enumerate(observations)]
    return cast("OruConfig", config), cast("OruContext", context), cast("list[OruObservation]", items)


def run_hl7_oru(args: argparse.Namespace) -> int:
    from zanthe import _hl7

    try:
        document = json.loads(read_input(args.file))
    except OSError as error:
        return fail(f"cannot read {args.file}: {os_error_reason(error)}")
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        return fail(f"{args.file} is not valid JSON: {error}")
    try:
        config, context, observations = oru_parts(document)
    except ShapeError as error:
        return fail(f"{args.file}: {error}")
    message = _hl7.build_oru(config, context, observations)
    sys.stdout.write(message.replace("\r", "\n") if args.newlines else message)
    return EXIT_OK


# ---------------------------------------------------------------------------------------------------
# Entry point


def main(argv: list[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser()
    try:
        args = parser.parse_args(arguments)
    except SystemExit as stop:
        return exit_code(stop)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except UsageError as error:
        # Reported like argparse's own errors, under the usage line of the command that was run.
        command_parser: argparse.ArgumentParser = args.parser
        try:
            command_parser.error(str(error))
        except SystemExit as stop:
            return exit_code(stop)
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, and keep Python from complaining at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130


def exit_code(stop: SystemExit) -> int:
    code: Any = stop.code
    if code is None:
        return EXIT_OK
    return code if isinstance(code, int) else EXIT_FAILED

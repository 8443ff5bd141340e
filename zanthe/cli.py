"""The ``zanthe`` command line: DICOM to FHIR in batches, HL7 v2 parsing and building, the MCP server.

Exit codes: 0 success, 1 some input failed, 2 usage error (or no input files found).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO, cast

from zanthe import __version__, archive
from zanthe.archive import os_error_reason

if TYPE_CHECKING:
    from zanthe._hl7 import OruConfig, OruContext, OruObservation

EXIT_OK = 0
EXIT_FAILED = 1

FHIR_EPILOG = """\
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

ORU_EPILOG = """\
The JSON file holds one object:
  {"config": {...}, "context": {...}, "observations": [{...}, ...]}
Each section maps the keys below to strings; a missing section or key counts as empty (or takes the
default named), and a key not listed is refused.
"""


def oru_epilog() -> str:
    """ORU_EPILOG followed by the keys of each section and what they fill, as the builder defines them."""
    from zanthe.hl7 import ORU_FIELDS

    headings = {"config": "config", "context": "context", "observation": "each observation"}
    lines = [ORU_EPILOG]
    for section, heading in headings.items():
        lines.append(f"{heading}:")
        lines += [f"  {name:<24}{description}" for name, description in ORU_FIELDS[section]]
    return "\n".join(lines) + "\n"


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


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0: {text}")
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
        description="Convert DICOM files to FHIR R4 ImagingStudy resources, one per study.",
        epilog=FHIR_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    fhir.add_argument(
        "inputs", nargs="+", metavar="PATH", help="DICOM files or folders to walk (fsspec URLs with --dask)"
    )
    fhir.add_argument("-o", "--output", metavar="DIR", type=Path, help="write one JSON file per study into DIR")
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


def add_hl7_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    from zanthe.hl7 import listener, sender

    hl7 = commands.add_parser(
        "hl7",
        help="parse, build, receive and send HL7 v2 messages",
        description="Parse HL7 v2 messages and build ORU^R01 result messages; receive and send them over MLLP.",
    )
    actions = hl7.add_subparsers(dest="hl7_command", metavar="ACTION", required=True)
    parse = actions.add_parser(
        "parse",
        help="print a message's segments and fields as JSON",
        description="Print the segments of an HL7 v2 message as JSON: "
        '{"segments": [{"id": ..., "fields": [...]}, ...]}. Segments may end in CR, LF or CR LF. '
        'A batch file (FHS/BHS envelopes, or messages one after another) prints {"messages": [{"segments": '
        "...}, ...]} when it holds more than one. A leading byte-order mark is skipped.",
    )
    parse.add_argument("file", metavar="FILE", help="the message file, or '-' for stdin")
    parse.add_argument(
        "--encoding", help="text encoding of the file (default: each message's MSH-18 character set, else UTF-8)"
    )
    parse.set_defaults(run=run_hl7_parse, parser=parse)
    oru = actions.add_parser(
        "oru",
        help="build an ORU^R01 message from a JSON file",
        description="Build an HL7 v2.5 ORU^R01 result message and print it.",
        epilog=oru_epilog(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    oru.add_argument("file", metavar="JSON_FILE", help="config, context and observations as JSON, or '-' for stdin")
    oru.add_argument(
        "--newlines", action="store_true", help="end segments with LF instead of CR, for reading on a terminal"
    )
    oru.set_defaults(run=run_hl7_oru, parser=oru)
    listener.add_listen_command(actions)
    listener.add_journal_command(actions)
    sender.add_send_command(actions)


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
# zanthe fhir


def fhir_zone(timezone: str | None) -> Any:
    from zanthe.fhir import zone_argument

    try:
        return zone_argument(timezone)
    except ValueError as error:
        raise UsageError(f"--timezone: {error}") from None


def fhir_sink(args: argparse.Namespace, output: Path | None) -> tuple[archive.Sink, TextIO | None]:
    """The sink for the resources, and the file it owns (closed after the run)."""
    if args.bundle:
        if output is None:
            return archive.BundleSink(sys.stdout), None
        stream = (output / "bundle.json").open("w", encoding="utf-8")
        return archive.BundleSink(stream), stream
    if output is None:
        return archive.LinesSink(sys.stdout), None
    return archive.FolderSink(output), None


def run_fhir(args: argparse.Namespace) -> int:
    if args.bundle and args.per_file:
        raise UsageError("--bundle holds one resource per study; it cannot be used with --per-file")
    if args.dask and args.per_file:
        raise UsageError("--per-file converts locally; it cannot be used with --dask")
    output: Path | None = args.output
    if output is not None:
        prepare_output(output)
    zone = fhir_zone(args.timezone)
    with dask_client(args.dask) as client:
        progress = archive.Progress(archive.progress_stream(args.no_progress, to_stdout=output is None))
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
    archive.print_report(run.report, run.input_count, sys.stderr)
    return EXIT_FAILED if run.report.failures else EXIT_OK


@contextlib.contextmanager
def dask_client(address: str | None) -> Iterator[Any]:
    """None without --dask; otherwise a dask.distributed client, on a LocalCluster for 'local'."""
    if address is None:
        yield None
        return
    try:
        from zanthe import dask_archive
    except ImportError as error:
        raise UsageError(f"--dask needs dask.distributed: pip install 'zanthe[dask]' ({error})") from None
    with dask_archive.connect(address) as client:
        yield client


def prepare_output(output: Path) -> None:
    try:
        output.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise UsageError(f"cannot use output folder {output}: {os_error_reason(error)}") from None


# ---------------------------------------------------------------------------------------------------
# zanthe hl7


def run_hl7_parse(args: argparse.Namespace) -> int:
    from zanthe import hl7

    try:
        data = read_input(args.file)
    except OSError as error:
        return fail(f"cannot read {args.file}: {os_error_reason(error)}")
    source: str | bytes = data
    if args.encoding is not None:
        try:
            source = data.decode(args.encoding)
        except LookupError:
            raise UsageError(f"unknown encoding: {args.encoding}") from None
        except UnicodeDecodeError as error:
            return fail(f"{args.file} is not {args.encoding} text ({error.reason} at byte {error.start})")
    try:
        messages = hl7.parse_batch(source)
    except hl7.ParseError as error:
        return fail(f"{'stdin' if args.file == '-' else args.file}: {error}")
    print(json.dumps(hl7.batch_document(messages), indent=2, ensure_ascii=False))
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
    from zanthe import hl7

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
    try:
        message = hl7.build_oru(config, context, observations)
    except ValueError as error:  # a key the builder does not know
        return fail(f"{args.file}: {error} (the keys are listed by 'zanthe hl7 oru --help')")
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

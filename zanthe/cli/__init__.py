"""The ``zanthe`` command line: DICOM to FHIR in batches, HL7 v2 parsing and building, the MCP server.

Each command group has a module here (``fhir``, ``hl7``, ``mcp``) that defines its arguments and words
its reports; the library below it returns data. A command imports only the library it runs, so a
short command starts about as fast as the interpreter.

Exit codes: 0 success, 1 some input failed, 2 usage error (or no input files found).
"""

from __future__ import annotations

import gc

# Starting the command line makes many objects that live as long as the process (argparse, re and
# enum among them) and no garbage cycles, yet the collector would walk them a dozen times before the
# command runs: a tenth of a short command's time. It is off while this package loads, and what was
# made by then is moved to the permanent generation (gc.freeze) at the end, so collections from there
# on look only at what the command itself makes.
_collecting = gc.isenabled()
gc.disable()

import argparse  # noqa: E402
import os  # noqa: E402
import sys  # noqa: E402

from zanthe import __version__  # noqa: E402
from zanthe.cli import dicom, fhir, hl7, mcp, render  # noqa: E402
from zanthe.cli.common import EXIT_FAILED, EXIT_OK, CommandParser, UsageError, positive_int, positive_seconds  # noqa: E402

__all__ = ["EXIT_FAILED", "EXIT_OK", "UsageError", "build_parser", "main", "positive_int", "positive_seconds"]

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

# ---------------------------------------------------------------------------------------------------
# Entry point


def build_parser() -> argparse.ArgumentParser:
    parser = CommandParser(
        prog="zanthe",
        description="Medical-imaging integration toolkit: DICOM to FHIR, HL7 v2 messages, an MCP tool server.",
    )
    parser.add_argument("--version", action="version", version=f"zanthe {__version__}")
    # With `prog` given, argparse does not lay out a usage line (importing shutil) to make it.
    commands = parser.add_subparsers(
        dest="command", metavar="COMMAND", required=True, parser_class=CommandParser, prog=parser.prog
    )
    mcp.add_command(commands)
    fhir.add_command(commands)
    dicom.add_command(commands)
    render.add_command(commands)
    hl7.add_command(commands)
    return parser


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


gc.freeze()
if _collecting:
    gc.enable()

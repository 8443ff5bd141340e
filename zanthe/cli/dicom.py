"""``zanthe dicom``: DICOM files on the command line; ``zanthe dicom tags FILE`` prints every attribute."""

from __future__ import annotations

import argparse
import sys

from zanthe._oserror import os_error_reason
from zanthe.cli.common import EXIT_FAILED, EXIT_OK, fail, non_negative_int, read_input

TYPE_CHECKING = False
if TYPE_CHECKING:
    from zanthe.cli.common import CommandParser, Commands

TAGS_EPILOG = """\
output:
  One line of JSON on stdout: the DICOM JSON model of the file's dataset (the file meta group left
  out), keyed by tag (eight uppercase hex digits) in tag order. Binary values (OB, OW, UN, ...) are
  inline as base64 while that text is at most --inline-limit characters; longer ones, Pixel Data
  usually, carry their VR alone. Text is decoded by the file's Specific Character Set.

A damaged file prints what could be read and says on stderr why the rest is missing (exit code 1).
Exit codes: 0 printed, 1 not DICOM, unreadable or read only in part, 2 usage error.
"""


def add_command(commands: Commands) -> None:
    commands.add_parser(
        "dicom",
        help="read DICOM files: their attributes",
        description="Read DICOM files.",
        define=define_dicom,
    )


def define_dicom(dicom: CommandParser) -> None:
    from zanthe.cli.common import CommandParser

    actions = dicom.add_subparsers(
        dest="action", metavar="ACTION", required=True, parser_class=CommandParser, prog=dicom.prog
    )
    actions.add_parser(
        "tags",
        help="print every attribute of a file as DICOM JSON",
        description="Print every attribute of a DICOM file as the DICOM JSON model.",
        epilog=TAGS_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        define=define_tags,
    )


def define_tags(tags: CommandParser) -> None:
    tags.add_argument("file", metavar="FILE", help="the DICOM file ('-' for stdin)")
    tags.add_argument(
        "--inline-limit",
        metavar="N",
        type=non_negative_int,
        default=1024,
        help="most base64 characters of a binary value shown inline (default: 1024)",
    )
    tags.set_defaults(run=run_tags, parser=tags)


def run_tags(args: argparse.Namespace) -> int:
    import warnings

    from zanthe._dicom import attributes_json

    name: str = args.file
    try:
        data = read_input(name)
    except OSError as error:
        return fail(f"{name}: cannot read: {os_error_reason(error)}")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            text = attributes_json(data, args.inline_limit)
        except RuntimeError as error:  # NotDicomError among them
            return fail(f"{name}: {error}")
    sys.stdout.write(text + "\n")
    for warning in caught:
        fail(f"{name}: read in part: {warning.message}")
    return EXIT_FAILED if caught else EXIT_OK

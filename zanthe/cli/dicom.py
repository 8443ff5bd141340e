"""``zanthe dicom``: DICOM files and networking on the command line.

``tags FILE`` prints every attribute; ``listen`` receives instances over DICOM networking and stores
them durably; ``send`` stores files at a peer; ``echo`` checks that a peer answers.
"""

from __future__ import annotations

import argparse
import sys

from zanthe._oserror import os_error_reason
from zanthe.cli.common import (
    EXIT_FAILED,
    EXIT_OK,
    UsageError,
    fail,
    non_negative_int,
    positive_int,
    positive_seconds,
    read_input,
    serve_until_signalled,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from zanthe.cli.common import CommandParser, Commands
    from zanthe.dicom.net import StoreOpening

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
        help="DICOM files and networking: attributes, receiving, sending, echo",
        description="Read DICOM files; receive, send and echo over DICOM networking.",
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
    actions.add_parser(
        "listen",
        help="receive instances (C-STORE) and store each durably before confirming it",
        description="Storage, Verification and Study Root C-FIND SCP: each instance is written to "
        "DIR/<Study Instance UID>/<Series Instance UID>/<SOP Instance UID>.dcm and made durable (through "
        "the store's journal, DIR/.instances.journal, for files up to 4 MiB) before its C-STORE response "
        "says success.",
        epilog=LISTEN_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        define=define_listen,
    )
    actions.add_parser(
        "send",
        help="send files to a peer (C-STORE), each in its own transfer syntax",
        description="Send DICOM files (folders walked) to a storage SCP, one line per instance.",
        epilog=SEND_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        define=define_send,
    )
    actions.add_parser(
        "echo",
        help="check that a peer answers (C-ECHO)",
        description="Send a C-ECHO and print the peer's answer.",
        epilog="Exit codes: 0 the peer answered success, 1 it did not or could not be reached, 2 usage error.\n",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        define=define_echo,
    )


LISTEN_EPILOG = """\
Associations are accepted for Verification and every storage SOP class, in any transfer syntax the
standard defines (instances are stored as received, never transcoded). A second copy of an instance
replaces the first. A dataset whose SOP Class or Instance UID differs from the command's is refused
with A900, one that cannot be read with C000, and one that cannot be written or synced with A700;
none of them leaves a file. With --fhir DIR, DIR/<Study Instance UID>.json holds the study's
ImagingStudy, rewritten when an association that stored into it ends.

After a crash, the next start writes back from the journal every confirmed file that is missing or
incomplete; the line after "listening on" says how many, and how many instances the store holds.
One server at a time may use a store.

Stops on SIGINT or SIGTERM: stores under way finish first.
"""

SEND_EPILOG = """\
output:
  One line per file on stdout: the C-STORE status in hex (or "-" when the file was not sent), the
  SOP Instance UID, the path, and the peer's error comment or the reason it was not sent.

Exit codes: 0 every instance stored (status 0000 or a warning), 1 any other outcome, 2 usage error.
"""


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


def add_ae_title(parser: CommandParser, default: str = "ZANTHE") -> None:
    parser.add_argument("--ae-title", default=default, metavar="AE", help=f"our AE title (default: {default})")


def define_listen(listen: CommandParser) -> None:
    from zanthe.dicom.net import DEFAULT_PORT

    listen.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"TCP port (default {DEFAULT_PORT}; 0 picks a free one)")
    listen.add_argument("--store", required=True, metavar="DIR", help="folder of the stored files (created if missing)")
    listen.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1; 0.0.0.0 for all)")
    add_ae_title(listen)
    listen.add_argument("--no-fsync", action="store_true", help="do not sync stored files (faster; a crash may lose confirmed instances)")
    listen.add_argument("--fhir", metavar="DIR", help="keep one ImagingStudy JSON per study in DIR")
    listen.add_argument(
        "--timezone", metavar="ZONE",
        help="with --fhir: UTC offset (+01:00) or IANA zone (Europe/Berlin) for times the files give without one",
    )  # fmt: skip
    listen.add_argument(
        "--allow-calling-ae", action="append", metavar="AE", help="accept only this calling AE title (repeatable)"
    )
    listen.add_argument(
        "--max-associations", type=positive_int, default=256, metavar="N",
        help="associations served at once; more are rejected as transient (default: 256)",
    )  # fmt: skip
    listen.add_argument(
        "--idle-timeout", type=positive_seconds, default=60.0, metavar="S",
        help="seconds an association may send nothing before it is closed (default: 60)",
    )  # fmt: skip
    listen.add_argument(
        "--journal-mib", type=positive_int, default=64, metavar="MIB",
        help="how large the store's journal grows before the store is synced and it starts over (default: 64, at least 8)",
    )  # fmt: skip
    listen.set_defaults(run=run_listen, parser=listen)


def opening_line(opening: StoreOpening) -> str:
    """What the store held at start, and what the journal wrote back after a crash."""
    parts = [f"{opening.indexed:,} instance{'s' if opening.indexed != 1 else ''} indexed"]
    if opening.unreadable:
        parts.append(f"{opening.unreadable:,} unreadable .dcm file{'s' if opening.unreadable != 1 else ''} skipped")
    if opening.written_back:
        parts.append(f"{opening.written_back:,} file{'s' if opening.written_back != 1 else ''} written back from the journal")
    if opening.damaged_records:
        parts.append(f"{opening.damaged_records:,} journal records naming no place in the store ignored")
    return "zanthe: store: " + ", ".join(parts)


def run_listen(args: argparse.Namespace) -> int:
    import os

    from zanthe.dicom.net import StorageServer

    if not 0 <= args.port <= 65535:
        raise UsageError("--port must be 0 to 65535")
    try:
        os.makedirs(args.store, exist_ok=True)
        server = StorageServer(
            args.store, args.host, args.port,
            ae_title=args.ae_title, fsync=not args.no_fsync, fhir=args.fhir, timezone=args.timezone,
            allowed_calling_aes=args.allow_calling_ae, max_associations=args.max_associations,
            idle_timeout=args.idle_timeout, journal_bytes=args.journal_mib << 20,
        )  # fmt: skip
    except ValueError as error:
        raise UsageError(str(error)) from None
    except OSError as error:
        return fail(str(error))
    print(f"zanthe: listening on {args.host}:{server.port} as {args.ae_title}", file=sys.stderr)
    print(opening_line(server.opening), file=sys.stderr, flush=True)
    serve_until_signalled(server)
    return EXIT_OK



def add_peer(parser: CommandParser) -> None:
    parser.add_argument("address", metavar="HOST:PORT", help="the peer ([HOST]:PORT for IPv6 addresses)")
    add_ae_title(parser)
    parser.add_argument("--called-ae", default="ANY-SCP", metavar="AE", help="the peer's AE title (default: ANY-SCP)")


def peer_address(args: argparse.Namespace) -> str:
    from zanthe.dicom.net import split_address

    try:
        split_address(args.address)
    except ValueError as error:
        raise UsageError(str(error)) from None
    return str(args.address)


def define_send(send: CommandParser) -> None:
    add_peer(send)
    send.add_argument("paths", nargs="+", metavar="PATH", help="DICOM files or folders")
    send.add_argument(
        "--timeout", type=positive_seconds, default=60.0, metavar="S",
        help="seconds to wait for the connection and for each response (default: 60)",
    )  # fmt: skip
    send.add_argument(
        "-j", "--associations", type=positive_int, default=1, metavar="N",
        help="send over N associations side by side (default: 1)",
    )  # fmt: skip
    send.set_defaults(run=run_send, parser=send)


def run_send(args: argparse.Namespace) -> int:
    from zanthe.dicom.net import AssociationError, SendResult, send

    address = peer_address(args)

    def show(result: SendResult) -> None:
        status = "-" if result.status is None else f"{result.status:04X}"
        fields = [status, result.sop_instance_uid or "-", result.path]
        if result.comment:
            fields.append(result.comment)
        print(" ".join(fields), flush=True)

    try:
        results = send(
            address, args.paths, calling_ae=args.ae_title, called_ae=args.called_ae, timeout=args.timeout,
            associations=args.associations, on_result=show,
        )  # fmt: skip
    except ValueError as error:
        raise UsageError(str(error)) from None
    except (AssociationError, OSError) as error:
        return fail(network_failure(args.address, error))
    if not results:
        return fail("no DICOM files found")
    return EXIT_OK if all(result.delivered for result in results) else EXIT_FAILED


def network_failure(address: str, error: OSError) -> str:
    """An association that failed, in one line: the peer's address and what happened
    ("127.0.0.1:104: connect: Connection refused"), without the library's own prefix."""
    text = error.strerror if error.strerror else str(error)  # AssociationError is an OSError too
    operation, colon, rest = text.partition(": ")
    if colon and operation.startswith("dicom.net."):
        text = rest
    return text if text.startswith(f"{address}:") else f"{address}: {text}"


def define_echo(echo: CommandParser) -> None:
    add_peer(echo)
    echo.add_argument(
        "--timeout", type=positive_seconds, default=30.0, metavar="S", help="seconds to wait (default: 30)"
    )
    echo.set_defaults(run=run_echo, parser=echo)


def run_echo(args: argparse.Namespace) -> int:
    from zanthe.dicom.net import AssociationError, echo

    address = peer_address(args)
    try:
        status = echo(address, calling_ae=args.ae_title, called_ae=args.called_ae, timeout=args.timeout)
    except ValueError as error:
        raise UsageError(str(error)) from None
    except (AssociationError, OSError) as error:
        return fail(network_failure(args.address, error))
    print(f"{args.address}: C-ECHO status {status:04X}")
    return EXIT_OK if status == 0 else EXIT_FAILED

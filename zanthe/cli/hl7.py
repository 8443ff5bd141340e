"""``zanthe hl7``: parse and build messages; receive, journal and send them over MLLP."""

from __future__ import annotations

import argparse
import sys

from zanthe._oserror import os_error_reason
from zanthe.cli.common import (
    EXIT_FAILED,
    EXIT_OK,
    UsageError,
    complain,
    fail,
    positive_int,
    positive_seconds,
    read_input,
    serve_until_signalled,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    import ssl

    from zanthe._hl7 import OruConfig, OruContext, OruObservation
    from zanthe.cli.common import CommandParser, Commands
    from zanthe.hl7.sender import Link


def add_command(commands: Commands) -> None:
    hl7 = commands.add_parser(
        "hl7",
        help="parse, build, receive and send HL7 v2 messages",
        description="Parse HL7 v2 messages and build ORU^R01 result messages; receive and send them over MLLP.",
        define=define_actions,
    )


def define_actions(hl7: CommandParser) -> None:
    from zanthe.cli.common import CommandParser

    actions = hl7.add_subparsers(
        dest="hl7_command", metavar="ACTION", required=True, parser_class=CommandParser, prog=hl7.prog
    )
    actions.add_parser(
        "parse",
        help="print a message's segments and fields as JSON",
        description="Print the segments of an HL7 v2 message as JSON: "
        '{"segments": [{"id": ..., "fields": [...]}, ...]}. Segments may end in CR, LF or CR LF. '
        'A batch file (FHS/BHS envelopes, or messages one after another) prints {"messages": [{"segments": '
        "...}, ...]} when it holds more than one. A leading byte-order mark is skipped.",
        define=define_parse,
    )
    actions.add_parser(
        "oru",
        help="build an ORU^R01 message from a JSON file",
        description="Build an HL7 v2.5 ORU^R01 result message and print it.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        define=define_oru,
    )
    actions.add_parser(
        "listen",
        help="receive messages over MLLP, journal them durably and acknowledge each",
        description="Receive HL7 v2 messages over MLLP. Each message is appended to DIR/messages.journal "
        "and synced to disk before its acknowledgment is sent: AA when it parses, AE (reason in MSA-3 and "
        "ERR) when it is malformed or not valid text in its MSH-18 character set, AR when it is over the "
        "size limit or not an HL7 message. A resent message (same sender and control ID) is acknowledged "
        "again and journaled as a duplicate. Stop with Ctrl-C or SIGTERM.",
        define=define_listen,
    )
    actions.add_parser(
        "journal",
        help="print a listener's journal as JSON Lines",
        description="Print the messages a listener journaled, oldest first, one JSON object per line: received, "
        "peer, sender, control_id, ack, ack_text, duplicate, size and message (the text; message_base64 too when "
        "the bytes are not valid text in their character set).",
        define=define_journal,
    )
    actions.add_parser(
        "send",
        help="send HL7 v2 messages to an MLLP receiver",
        description="Send HL7 v2 messages over MLLP and print each acknowledgment.",
        epilog=SEND_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        define=define_send,
    )


# ---------------------------------------------------------------------------------------------------
# zanthe hl7 parse


def define_parse(parse: CommandParser) -> None:
    parse.add_argument("file", metavar="FILE", help="the message file, or '-' for stdin")
    parse.add_argument(
        "--encoding", help="text encoding of the file (default: each message's MSH-18 character set, else UTF-8)"
    )
    parse.set_defaults(run=run_parse, parser=parse)


def run_parse(args: argparse.Namespace) -> int:
    import json

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


# ---------------------------------------------------------------------------------------------------
# zanthe hl7 oru

ORU_EPILOG = """\
The JSON file holds one object:
  {"config": {...}, "context": {...}, "observations": [{...}, ...]}
Each section maps the keys below to strings; a missing section or key counts as empty (or takes the
default named), and a key not listed is refused.
"""

ORU_SECTIONS = ("config", "context", "observations")


def define_oru(oru: CommandParser) -> None:
    oru.epilog = oru_epilog()
    oru.add_argument("file", metavar="JSON_FILE", help="config, context and observations as JSON, or '-' for stdin")
    oru.add_argument(
        "--newlines", action="store_true", help="end segments with LF instead of CR, for reading on a terminal"
    )
    oru.set_defaults(run=run_oru, parser=oru)


def oru_epilog() -> str:
    """ORU_EPILOG followed by the keys of each section and what they fill, as the builder defines them."""
    from zanthe.hl7 import ORU_FIELDS

    headings = {"config": "config", "context": "context", "observation": "each observation"}
    lines = [ORU_EPILOG]
    for section, heading in headings.items():
        lines.append(f"{heading}:")
        lines += [f"  {name:<24}{description}" for name, description in ORU_FIELDS[section]]
    return "\n".join(lines) + "\n"


class ShapeError(Exception):
    """The ORU input JSON does not have the expected shape; the message names the offending place."""


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
    return config, context, items  # type: ignore[return-value]  # checked above: names to strings


def run_oru(args: argparse.Namespace) -> int:
    import json

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
# zanthe hl7 listen and journal


def define_listen(listen: CommandParser) -> None:
    listen.add_argument("--port", type=int, required=True, help="TCP port (0 picks a free one)")
    listen.add_argument("--store", required=True, metavar="DIR", help="folder of the journal (created if missing)")
    listen.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1; 0.0.0.0 for all)")
    listen.add_argument(
        "--max-message-bytes", type=positive_int, default=None, metavar="N", help="larger messages get AR"
    )
    listen.add_argument(
        "--idle-timeout", type=positive_seconds, default=60.0, metavar="S", help="close idle connections (seconds)"
    )
    listen.add_argument("--no-fsync", action="store_true", help="do not sync the journal (faster; a crash may lose acknowledged messages)")
    listen.add_argument("--tls", action="store_true", help="TLS connections only (needs --cert and --key)")
    listen.add_argument("--cert", metavar="FILE", help="server certificate chain (PEM)")
    listen.add_argument("--key", metavar="FILE", help="private key of the certificate (PEM)")
    listen.add_argument("--ca", metavar="FILE", help="require client certificates issued by these CAs")
    listen.set_defaults(run=run_listen, parser=listen)


def server_tls_context(args: argparse.Namespace) -> ssl.SSLContext | None:
    if not args.tls:
        if args.cert or args.key or args.ca:
            raise UsageError("--cert, --key and --ca need --tls")
        return None
    if not (args.cert and args.key):
        raise UsageError("--tls needs --cert and --key")
    import ssl

    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    try:
        context.load_cert_chain(args.cert, args.key)
        if args.ca:
            context.load_verify_locations(args.ca)
            context.verify_mode = ssl.CERT_REQUIRED
    except (OSError, ssl.SSLError) as error:
        raise UsageError(f"cannot load the TLS certificate: {error}") from None
    return context


def run_listen(args: argparse.Namespace) -> int:
    from zanthe.hl7.listener import MAX_MESSAGE_BYTES, Listener

    if not 0 <= args.port <= 65535:
        raise UsageError("--port must be 0 to 65535")
    context = server_tls_context(args)
    try:
        listener = Listener(
            args.store, args.host, args.port,
            max_message_bytes=args.max_message_bytes or MAX_MESSAGE_BYTES, idle_timeout=args.idle_timeout,
            fsync=not args.no_fsync, ssl=context,
        )  # fmt: skip
    except OSError as error:
        return fail(str(error))
    if listener.cut_bytes:
        complain(f"cut a torn record of {listener.cut_bytes} bytes from the end of the journal")
    print(f"zanthe: listening on {args.host}:{listener.port}", file=sys.stderr, flush=True)
    serve_until_signalled(listener)
    return EXIT_OK



def define_journal(journal: CommandParser) -> None:
    journal.add_argument("store", metavar="DIR", help="the listener's --store folder")
    journal.set_defaults(run=run_journal, parser=journal)


def run_journal(args: argparse.Namespace) -> int:
    import json

    from zanthe.hl7.listener import read_journal

    try:
        for record in read_journal(args.store):
            sys.stdout.write(json.dumps(record.as_json(), ensure_ascii=False) + "\n")
    except OSError as error:
        return fail(f"cannot read the journal in {args.store}: {os_error_reason(error)}")
    return EXIT_OK


# ---------------------------------------------------------------------------------------------------
# zanthe hl7 send

SEND_EPILOG = """\
Each FILE may hold several messages, separated by blank lines or each starting with an MSH line;
segments may end in CR, LF or CR LF, and batch envelope segments (FHS, BHS, BTS, FTS) are dropped.
Messages are sent in order over one connection, which is reopened when it drops; a message that is
not acknowledged in time is sent again.

For each acknowledged message one line is printed: its control ID, the acknowledgment code (MSA-1)
and text (MSA-3), separated by tabs. Exit codes: 0 every message was accepted (AA or CA), 1 some
message was not, or some file could not be read, 2 usage error.
"""


def define_send(send: CommandParser) -> None:
    from zanthe.hl7.sender import Retry

    send.add_argument("address", metavar="HOST:PORT", help="the receiver ([HOST]:PORT for IPv6 addresses)")
    send.add_argument("files", nargs="+", metavar="FILE", help="message files, or '-' for stdin")
    send.add_argument(
        "--timeout",
        type=positive_seconds,
        default=30.0,
        metavar="S",
        help="seconds to wait for a connection and for each acknowledgment (default: 30)",
    )
    send.add_argument(
        "--attempts",
        type=positive_int,
        default=Retry.attempts,
        metavar="N",
        help=f"tries per message before giving up (default: {Retry.attempts})",
    )
    send.add_argument("--tls", action="store_true", help="connect with TLS, checking the receiver's certificate")
    trust = send.add_mutually_exclusive_group()
    trust.add_argument(
        "--ca", metavar="FILE", help="trust the CA certificates in FILE (PEM) instead of the system's (implies --tls)"
    )
    trust.add_argument(
        "--no-verify", action="store_true", help="do not check the receiver's certificate (implies --tls)"
    )
    send.add_argument("--cert", metavar="FILE", help="client certificate (PEM), may hold the key too (implies --tls)")
    send.add_argument("--key", metavar="FILE", help="private key of --cert (PEM)")
    send.set_defaults(run=run_send, parser=send)


def client_tls_context(args: argparse.Namespace) -> ssl.SSLContext | None:
    if args.key and not args.cert:
        raise UsageError("--key needs --cert")
    if not (args.tls or args.ca or args.no_verify or args.cert):
        return None
    import ssl

    try:
        context = ssl.create_default_context(cafile=args.ca)
        if args.no_verify:
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
        if args.cert:
            context.load_cert_chain(args.cert, args.key)
    except OSError as error:  # ssl.SSLError included
        raise UsageError(f"cannot use the TLS files: {os_error_reason(error)}") from None
    return context


class Queued:
    """One message to send, and where it came from (for reports)."""

    __slots__ = ("payload", "source")

    def __init__(self, source: str, payload: bytes) -> None:
        self.source = source
        self.payload = payload


def queued_messages(names: list[str]) -> tuple[list[Queued], bool]:
    """The messages of the files in order, and whether every file could be read and held some."""
    from zanthe.hl7.sender import split_messages

    queue: list[Queued] = []
    all_read = True
    for name in names:
        try:
            data = read_input(name)
        except OSError as error:
            all_read = complain(f"cannot read {name}: {os_error_reason(error)}")
            continue
        messages = split_messages(data)
        if not messages:
            all_read = complain(f"{name}: no HL7 messages found")
        many = len(messages) > 1
        queue += [Queued(f"{name} message {n}" if many else name, m) for n, m in enumerate(messages, 1)]
    return queue, all_read


async def send_queue(link: Link, queue: list[Queued]) -> bool:
    """Sends every message, printing each acknowledgment; True when all were accepted."""
    from zanthe.errors import AckError, DeliveryError

    all_accepted = True
    for position, item in enumerate(queue):
        try:
            ack = await link.send(item.payload)
        except (ValueError, AckError) as error:
            all_accepted = complain(f"{item.source}: {error}")
            continue
        except DeliveryError as error:
            complain(f"{item.source}: {error}")
            unsent = len(queue) - position - 1
            return complain(f"{unsent} more message(s) not sent") if unsent else False
        print(f"{ack.control_id}\t{ack.code}\t{ack.text}", flush=True)
        all_accepted = all_accepted and ack.accepted
    return all_accepted


async def deliver(link: Link, queue: list[Queued]) -> bool:
    from zanthe.errors import DeliveryError

    try:
        async with link:
            return await send_queue(link, queue)
    except DeliveryError as error:
        return complain(str(error))


def run_send(args: argparse.Namespace) -> int:
    import asyncio

    from zanthe.hl7._address import split_host_port
    from zanthe.hl7.sender import Retry, connect

    try:
        host, port = split_host_port(args.address)
    except ValueError as error:
        raise UsageError(str(error)) from None
    context = client_tls_context(args)
    queue, all_read = queued_messages(args.files)
    link = connect(host, port, ssl=context, timeout=args.timeout, retry=Retry(attempts=args.attempts))
    all_accepted = asyncio.run(deliver(link, queue)) if queue else True
    return EXIT_OK if all_read and all_accepted else EXIT_FAILED

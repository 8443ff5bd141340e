"""``zanthe mcp``: zanthe's own tools served to an MCP host over stdio or Streamable HTTP."""

from __future__ import annotations

import os

from zanthe.cli.common import UsageError

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    import ssl
    from typing import Any

    from zanthe.cli.common import CommandParser, Commands

DESTINATION_NAME_CHARACTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-")

MCP_EPILOG = (
    "Without --http the tools are served over stdin and stdout to the host that started the command. "
    "With --http they are served at http://HOST:PORT/mcp (https with --tls) until Ctrl-C or SIGTERM; an "
    "address other than loopback needs --auth-token-file, or --allow-unauthenticated when something in "
    "front of zanthe checks the clients."
)


def add_command(commands: Commands) -> None:
    commands.add_parser(
        "mcp",
        help="serve zanthe's tools to an MCP host over stdio or HTTP",
        description="Serve zanthe's tools (DICOM to ImagingStudy, HL7 parse, ORU build, and HL7 send when "
        "destinations are given) to an MCP host. File access is confined to the given root folders.",
        epilog=MCP_EPILOG,
        define=define_mcp,
    )


def define_mcp(mcp: CommandParser) -> None:
    mcp.add_argument(
        "--root",
        dest="roots",
        action="append",
        metavar="DIR",
        help="a folder the tools may read files from (repeatable; default: the current folder)",
    )
    mcp.add_argument(
        "--hl7-destination",
        dest="destinations",
        action="append",
        metavar="NAME=HOST:PORT",
        help="an MLLP receiver the hl7_send tool may deliver to, by NAME (repeatable; without any, no hl7_send)",
    )
    mcp.add_argument(
        "--dicom-destination",
        dest="dicom_destinations",
        action="append",
        metavar="NAME=AE@HOST:PORT",
        help="a DICOM peer the dicom_echo and dicom_send tools may use, by NAME (repeatable; without any, neither tool)",
    )
    http = mcp.add_argument_group("HTTP serving")
    http.add_argument("--http", metavar="[HOST:]PORT", help="serve Streamable HTTP at /mcp (default host 127.0.0.1)")
    http.add_argument(
        "--allowed-origin",
        dest="allowed_origins",
        action="append",
        metavar="ORIGIN",
        help="a web origin whose pages may call the server, e.g. https://app.example (repeatable)",
    )
    http.add_argument("--auth-token-file", metavar="FILE", help="bearer tokens clients must present, one a line")
    http.add_argument("--auth-server", metavar="URL", help="the authorization server that issues the tokens")
    http.add_argument(
        "--allow-unauthenticated",
        action="store_true",
        help="serve an address other than loopback without tokens (authentication is done in front of zanthe)",
    )
    http.add_argument("--tls", action="store_true", help="serve HTTPS (needs --cert and --key)")
    http.add_argument("--cert", metavar="FILE", help="server certificate chain (PEM)")
    http.add_argument("--key", metavar="FILE", help="private key of the certificate (PEM)")
    mcp.set_defaults(run=run_mcp, parser=mcp, ca=None)


def run_mcp(args: argparse.Namespace) -> int:
    from zanthe import mcp  # the server and its schema machinery: only this command needs them

    roots: list[str] = args.roots or [os.getcwd()]
    for root in roots:
        if not os.path.isdir(root):
            raise UsageError(f"--root {root}: not a folder")
    return mcp.serve(roots, **served_options(args))


def served_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of zanthe.mcp.serve the command line asks for; what it leaves out keeps
    serve's default."""
    options: dict[str, Any] = {}
    if args.destinations:
        options["destinations"] = destinations(args.destinations)
    if args.dicom_destinations:
        options["dicom_destinations"] = dicom_destinations(args.dicom_destinations)
    if args.http is None:
        given = [flag for flag, value in http_flags(args) if value]
        if given:
            raise UsageError(f"{given[0]} needs --http")
        return options
    options["http"] = http_address(args.http)
    if args.allowed_origins:
        options["allowed_origins"] = [origin_argument(origin) for origin in args.allowed_origins]
    if args.auth_token_file is not None:
        options["auth_tokens"] = read_tokens(args.auth_token_file)
    if args.auth_server is not None:
        options["auth_server"] = url_argument(args.auth_server)
    if args.allow_unauthenticated:
        options["allow_unauthenticated"] = True
    check_authentication(options)
    context = tls_context(args)
    if context is not None:
        options["tls"] = context
    return options


def http_flags(args: argparse.Namespace) -> list[tuple[str, object]]:
    return [
        ("--allowed-origin", args.allowed_origins),
        ("--auth-token-file", args.auth_token_file),
        ("--auth-server", args.auth_server),
        ("--allow-unauthenticated", args.allow_unauthenticated),
        ("--tls", args.tls),
        ("--cert", args.cert),
        ("--key", args.key),
    ]


def dicom_destinations(texts: list[str]) -> dict[str, tuple[str, str, int]]:
    """NAME=AE@HOST:PORT texts as name -> (called AE title, host, port), names unique."""
    found: dict[str, tuple[str, str, int]] = {}
    for text in texts:
        name, equals, rest = text.partition("=")
        title, at, address = rest.partition("@")
        title = title.strip()
        if not equals or not at or not name or not set(name) <= DESTINATION_NAME_CHARACTERS:
            raise UsageError(f"--dicom-destination {text}: expected NAME=AE@HOST:PORT, NAME of letters, digits, _ . -")
        if not 0 < len(title) <= 16 or not title.isascii() or not title.isprintable() or "\\" in title:
            raise UsageError(f"--dicom-destination {text}: the AE title must be 1 to 16 printable ASCII characters")
        if name in found:
            raise UsageError(f"--dicom-destination {text}: the name {name} is given twice")
        found[name] = (title, *host_port(f"--dicom-destination {text}", address))
    return found


def host_port(flag: str, address: str) -> tuple[str, int]:
    from zanthe.hl7._address import split_host_port

    try:
        return split_host_port(address)
    except ValueError as error:
        raise UsageError(f"{flag}: {error}") from None


def destinations(texts: list[str]) -> dict[str, tuple[str, int]]:
    """NAME=HOST:PORT texts as name -> (host, port), names unique."""
    found: dict[str, tuple[str, int]] = {}
    for text in texts:
        name, equals, address = text.partition("=")
        if not equals or not name or not set(name) <= DESTINATION_NAME_CHARACTERS:
            raise UsageError(f"--hl7-destination {text}: expected NAME=HOST:PORT, NAME of letters, digits, _ . -")
        if name in found:
            raise UsageError(f"--hl7-destination {text}: the name {name} is given twice")
        found[name] = host_port(f"--hl7-destination {text}", address)
    return found


def http_address(text: str) -> str:
    from zanthe.server import parse_http_address

    try:
        parse_http_address(text)
    except ValueError as error:
        raise UsageError(f"--http {text}: {error}") from None
    return text


def origin_argument(text: str) -> str:
    scheme, separator, rest = text.partition("://")
    if scheme not in ("http", "https") or not separator or not rest or "/" in rest:
        raise UsageError(f"--allowed-origin {text}: expected an origin such as https://app.example or http://host:8080")
    return text


def url_argument(text: str) -> str:
    scheme, separator, rest = text.partition("://")
    if scheme not in ("http", "https") or not separator or not rest:
        raise UsageError(f"--auth-server {text}: expected an http:// or https:// URL")
    return text


def read_tokens(name: str) -> list[str]:
    """The tokens of a file: one a line, blank lines and lines starting with # left out."""
    from zanthe._oserror import os_error_reason

    try:
        with open(name, encoding="utf-8") as file:
            lines = file.read().splitlines()
    except OSError as error:
        raise UsageError(f"--auth-token-file {name}: cannot read: {os_error_reason(error)}") from None
    except UnicodeDecodeError:
        raise UsageError(f"--auth-token-file {name}: not UTF-8 text") from None
    tokens = [line.strip() for line in lines if line.strip() and not line.strip().startswith("#")]
    if not tokens:
        raise UsageError(f"--auth-token-file {name}: holds no token")
    if any(not token.isprintable() or " " in token for token in tokens):
        raise UsageError(f"--auth-token-file {name}: a token holds a space or a control character")
    return tokens


def check_authentication(options: dict[str, Any]) -> None:
    from zanthe.server import is_loopback, parse_http_address

    host, _ = parse_http_address(options["http"])
    if not (is_loopback(host) or options.get("auth_tokens") or options.get("allow_unauthenticated")):
        raise UsageError(
            f"--http {options['http']}: {host} is not a loopback address; give --auth-token-file, or "
            "--allow-unauthenticated when clients are checked in front of zanthe"
        )


def tls_context(args: argparse.Namespace) -> ssl.SSLContext | None:
    from zanthe.cli.hl7 import server_tls_context  # the same certificate handling as `zanthe hl7 listen`

    if not args.tls and (args.cert or args.key):
        raise UsageError("--cert and --key need --tls")
    return server_tls_context(args)

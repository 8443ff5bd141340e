"""``zanthe mcp``: zanthe's own tools served to an MCP host over stdio."""

from __future__ import annotations

import os

from zanthe.cli.common import UsageError

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

    from zanthe.cli.common import CommandParser, Commands


def add_command(commands: Commands) -> None:
    commands.add_parser(
        "mcp",
        help="serve zanthe's tools to an MCP host over stdio",
        description="Serve zanthe's tools (DICOM to ImagingStudy, HL7 parse, ORU build) over stdio "
        "to an MCP host. File access is confined to the given root folders.",
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
    mcp.set_defaults(run=run_mcp, parser=mcp)


def run_mcp(args: argparse.Namespace) -> int:
    from zanthe import mcp  # the server and its schema machinery: only this command needs them

    roots: list[str] = args.roots or [os.getcwd()]
    for root in roots:
        if not os.path.isdir(root):
            raise UsageError(f"--root {root}: not a folder")
    return mcp.serve(roots)

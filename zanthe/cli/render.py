"""``zanthe render``: one frame of a DICOM file as a PNG to look at."""

from __future__ import annotations

import argparse
import sys

from zanthe._oserror import os_error_reason
from zanthe.cli.common import EXIT_OK, UsageError, fail, non_negative_int, positive_int

TYPE_CHECKING = False
if TYPE_CHECKING:
    from zanthe.cli.common import CommandParser, Commands

EPILOG = """\
Grey images pass the rescale (or Modality LUT), then the window: --window, else the file's first
window, else its VOI LUT, else the range of its values (Pixel Padding Value left out), under the
file's VOI LUT Function; MONOCHROME1 and Presentation LUT Shape INVERSE are inverted. PALETTE COLOR
and YBR images become RGB. --size shrinks the image by box averaging until its larger side is at
most N pixels, keeping its aspect ratio.

Without -o the PNG goes to stdout, which must then not be a terminal. Exit codes: 0 written, 1 the
file could not be read or rendered, 2 usage error.
"""


def window_argument(text: str) -> tuple[float, float]:
    center, comma, width = text.partition(",")
    try:
        if not comma:
            raise ValueError
        window = (float(center), float(width))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected CENTER,WIDTH (e.g. 40,400), got {text!r}") from None
    if not window[1] > 0:
        raise argparse.ArgumentTypeError(f"the width must be above 0: {text!r}")
    return window


def add_command(commands: Commands) -> None:
    commands.add_parser(
        "render",
        help="render a DICOM frame as a PNG image",
        description="Render one frame of a DICOM file as an 8-bit grey or RGB PNG, as a viewer shows it.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        define=define_render,
    )


def define_render(render: CommandParser) -> None:
    render.add_argument("file", metavar="FILE", help="a DICOM file ('-' for stdin)")
    render.add_argument("-o", "--output", metavar="OUT.png", help="write the PNG here instead of stdout")
    render.add_argument("--frame", metavar="N", type=non_negative_int, default=0, help="the frame, from 0 (default 0)")
    render.add_argument(
        "--window", metavar="CENTER,WIDTH", type=window_argument, help="the grey window instead of the file's"
    )
    render.add_argument("--size", metavar="N", type=positive_int, help="shrink so the larger side is at most N")
    render.set_defaults(run=run_render, parser=render)


def run_render(args: argparse.Namespace) -> int:
    from zanthe.cli.common import read_input
    from zanthe.dicom import render

    if args.output is None and sys.stdout.isatty():
        raise UsageError("the PNG would go to a terminal: give -o OUT.png or redirect stdout")
    try:
        data = read_input(args.file)
    except OSError as error:
        return fail(f"{args.file}: cannot read: {os_error_reason(error)}")
    try:
        png = render(data, args.frame, window=args.window, max_size=args.size)
    except (RuntimeError, ValueError) as error:
        return fail(f"{args.file}: {str(error).removeprefix('dicom.render: ')}")
    if args.output is None:
        sys.stdout.buffer.write(png)
        sys.stdout.buffer.flush()
        return EXIT_OK
    try:
        with open(args.output, "wb") as file:
            file.write(png)
    except OSError as error:
        return fail(f"{args.output}: cannot write: {os_error_reason(error)}")
    return EXIT_OK

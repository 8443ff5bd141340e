"""What every command shares: exit codes, argument checks and the way problems are reported."""

from __future__ import annotations

import argparse
import sys
from typing import Protocol

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import Any, TypeAlias

    Commands: TypeAlias = "argparse._SubParsersAction[CommandParser]"

EXIT_OK = 0
EXIT_FAILED = 1


class CommandParser(argparse.ArgumentParser):
    """A command's parser that is made only when it is first used (to parse or to show help), its
    arguments then defined by `define(parser)`.

    argparse makes the parser of every command as soon as the tree of commands is built, and most are
    never used: making one (each of its help texts passes through gettext) costs more than a short
    command's own work, and a command's defaults and help may come from the library it runs, which
    only that command should import.
    """

    # Width for the formatters argparse makes only to check each argument as it is added: the
    # terminal's width matters for help alone, and finding it imports shutil (and with it bz2 and lzma).
    CHECKING_WIDTH = 80

    def __init__(self, *args: Any, define: Callable[[CommandParser], None] | None = None, **kwargs: Any) -> None:
        self._pending: tuple[tuple[Any, ...], dict[str, Any]] | None = (args, kwargs)
        self._define = define
        self._showing = False

    def __getattr__(self, name: str) -> Any:
        # Reached only for what is not there yet, that is what ArgumentParser.__init__ makes.
        if self.__dict__.get("_pending") is None:
            raise AttributeError(name)
        return getattr(self.defined(), name)

    def defined(self) -> CommandParser:
        pending = self.__dict__.get("_pending")
        if pending is not None:
            self._pending = None
            args, kwargs = pending
            super().__init__(*args, **kwargs)
        if self._define is not None:
            define, self._define = self._define, None
            define(self)
        return self

    def parse_known_args(  # type: ignore[override]
        self, args: Sequence[str] | None = None, namespace: argparse.Namespace | None = None
    ) -> tuple[argparse.Namespace, list[str]]:
        self.defined()
        return super().parse_known_args(args, namespace)

    def format_usage(self) -> str:
        return self._for_people(super().format_usage)

    def format_help(self) -> str:
        return self._for_people(super().format_help)

    def _for_people(self, text: Callable[[], str]) -> str:
        """Text that people read: of the parser defined in full, wrapped to the terminal's width."""
        self.defined()
        showing, self._showing = self._showing, True
        try:
            return text()
        finally:
            self._showing = showing

    def _get_formatter(self) -> argparse.HelpFormatter:
        if self._showing:
            return super()._get_formatter()
        make: Callable[..., argparse.HelpFormatter] = self.formatter_class  # every HelpFormatter takes a width
        return make(prog=self.prog, width=self.CHECKING_WIDTH)


class UsageError(Exception):
    """A problem with the command line that is reported like an argparse error (exit code 2)."""


# ---------------------------------------------------------------------------------------------------
# Argument checks shared by the commands


def whole_number_from(least: int) -> Callable[[str], int]:
    """An argparse type: a whole number of at least `least`."""

    def whole_number(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be {least} or more: {value}")
        return value

    return whole_number


positive_int = whole_number_from(1)
non_negative_int = whole_number_from(0)


def positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0: {text}")
    return value


# ---------------------------------------------------------------------------------------------------
# Reports shared by the commands


def fail(message: str) -> int:
    """Reports a failure on stderr and gives the exit code for it."""
    complain(message)
    return EXIT_FAILED


def complain(message: str) -> bool:
    """Reports a problem on stderr; False, for the callers that keep an all-went-well flag."""
    print(f"zanthe: {message}", file=sys.stderr)
    return False


def read_input(name: str) -> bytes:
    """The bytes of a file, or of stdin for '-'."""
    if name == "-":
        return sys.stdin.buffer.read()
    with open(name, "rb") as file:
        return file.read()


class BackgroundServer(Protocol):
    """A server serving on a thread of its own: the listeners of ``zanthe hl7`` and ``zanthe dicom``."""

    def start(self) -> object: ...
    def stop(self) -> None: ...
    def wait(self, timeout: float | None = None) -> bool: ...
    def close(self) -> None: ...


def serve_until_signalled(server: BackgroundServer) -> None:
    """Serves until SIGINT or SIGTERM, then closes the server (which finishes what it took in)."""
    import signal

    def stop(number: int, frame: object) -> None:
        server.stop()

    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, stop)
    server.start()
    while not server.wait(0.5):  # wakes now and then so that signal handlers run
        pass
    server.close()

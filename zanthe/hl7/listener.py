"""The MLLP listener: `zanthe hl7 listen` and `zanthe hl7 journal` (placeholder, being written)."""

from __future__ import annotations

import argparse


def add_listen_command(actions: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Registers `zanthe hl7 listen`."""


def add_journal_command(actions: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Registers `zanthe hl7 journal`."""

"""The MLLP sender: `connect` and `zanthe hl7 send` (placeholder, being written)."""

from __future__ import annotations

import argparse


def add_send_command(actions: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Registers `zanthe hl7 send`."""

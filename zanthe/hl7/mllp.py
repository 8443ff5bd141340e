"""HL7 v2 over MLLP: a durable listener and a sender.

    async with zanthe.hl7.mllp.connect(host, port) as link:
        ack = await link.send(message)

    with zanthe.hl7.mllp.Listener("/var/lib/hl7", port=2575):
        ...
"""

from __future__ import annotations

from zanthe.hl7.listener import JournalRecord, Listener, Reject, read_journal
from zanthe.hl7.sender import Ack, AckError, DeliveryError, Link, MllpError, Retry, connect, split_messages

__all__ = [
    "Ack",
    "AckError",
    "DeliveryError",
    "JournalRecord",
    "Link",
    "Listener",
    "MllpError",
    "Reject",
    "Retry",
    "connect",
    "read_journal",
    "split_messages",
]

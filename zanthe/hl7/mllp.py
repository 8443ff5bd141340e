"""HL7 v2 over MLLP: a durable listener and a sender.

    async with zanthe.hl7.mllp.connect(host, port) as link:
        ack = await link.send(message)
"""

from __future__ import annotations

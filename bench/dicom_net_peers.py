"""The durable peer SCP of dicom_net_bench.py: a pynetdicom AE whose C-STORE handler writes each
instance as a Part 10 file and fsyncs it before answering success.

    python bench/dicom_net_peers.py PORT DIR [--max-pdu BYTES]

Listens on 127.0.0.1:PORT for Verification and every storage SOP class in pynetdicom's default
transfer syntaxes. Each dataset is written as the peer encoded it, behind the file meta group
(`event.encoded_dataset(include_meta=True)`, no decoding), to DIR/<SOP Instance UID>.dcm, then
`os.fsync`ed. Writes "pynetdicom: listening on 127.0.0.1:PORT" on stderr once it serves; serves
until SIGTERM or SIGINT.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from typing import Any

PYNETDICOM_AE = "PYNETDICOM"


def write_durably(path: str, data: bytes) -> None:
    with open(path, "wb") as file:
        file.write(data)
        file.flush()
        os.fsync(file.fileno())


def serve(port: int, folder: str, max_pdu: int) -> None:
    from pynetdicom import AE, AllStoragePresentationContexts, evt
    from pynetdicom.sop_class import Verification  # type: ignore[attr-defined]

    def store(event: Any) -> int:
        uid = str(event.request.AffectedSOPInstanceUID)
        write_durably(os.path.join(folder, uid + ".dcm"), event.encoded_dataset(include_meta=True))
        return 0x0000

    ae = AE(ae_title=PYNETDICOM_AE)
    ae.supported_contexts = AllStoragePresentationContexts
    ae.add_supported_context(Verification)
    ae.maximum_pdu_size = max_pdu
    server = ae.start_server(("127.0.0.1", port), block=False, evt_handlers=[(evt.EVT_C_STORE, store)])
    if server is None:  # only a blocking server returns nothing
        raise SystemExit("pynetdicom: the server did not start")
    stopped = threading.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, lambda *_: stopped.set())
    print(f"pynetdicom: listening on 127.0.0.1:{port}", file=sys.stderr, flush=True)
    while not stopped.wait(0.5):  # wakes now and then so that the signal handler runs
        pass
    server.shutdown()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", type=int)
    parser.add_argument("folder")
    parser.add_argument("--max-pdu", type=int, default=16382, help="largest PDU it receives (pynetdicom's default)")
    args = parser.parse_args()
    serve(args.port, args.folder, args.max_pdu)


if __name__ == "__main__":
    main()

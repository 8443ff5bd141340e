"""The peers of dicom_net_bench.py: the durable pynetdicom SCP, and zanthe's sender kept in one
long-lived process.

    python bench/dicom_net_peers.py PORT DIR [--max-pdu BYTES]
    python bench/dicom_net_peers.py --sender

PORT DIR: listens on 127.0.0.1:PORT for Verification and every storage SOP class in pynetdicom's
default transfer syntaxes. Each dataset is written as the peer encoded it, behind the file meta
group (`event.encoded_dataset(include_meta=True)`, no decoding), to DIR/<SOP Instance UID>.dcm, then
`os.fsync`ed. It listens with a backlog of 128, not socketserver's 5, so that eight associations
opened at once are all accepted. Writes "pynetdicom: listening on 127.0.0.1:PORT" on stderr once it
serves; serves until SIGTERM or SIGINT.

--sender: imports zanthe.dicom.net, writes {"ready": true} on stdout, then reads one JSON request a
line on stdin, {"port": P, "associations": N, "paths": [...], "timeout": T}, and for each calls
`zanthe.dicom.net.send` to 127.0.0.1:P and answers one JSON line {"seconds": wall time of the call,
"cpu": CPU time of this process over the call (all its threads), "failures": [one line per file not
delivered, or the error that stopped the call]}. Runs until stdin closes. Run it with zanthe's
environment (the Python and PYTHONPATH the bench runs zanthe with), so that the zanthe it imports is
the one measured.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
import time
from typing import Any

PYNETDICOM_AE = "PYNETDICOM"
LISTEN_BACKLOG = 128
SEND_TIMEOUT = 60.0
FAILURES_SHOWN = 20  # a refusing receiver refuses every file; a few lines say why


# ---------------------------------------------------------------------------------------------------
# The pynetdicom SCP


def write_durably(path: str, data: bytes) -> None:
    with open(path, "wb") as file:
        file.write(data)
        file.flush()
        os.fsync(file.fileno())


def serve(port: int, folder: str, max_pdu: int) -> None:
    from pynetdicom import AE, AllStoragePresentationContexts, evt
    from pynetdicom.sop_class import Verification  # type: ignore[attr-defined]
    from pynetdicom.transport import AssociationServer

    # Its server is a socketserver.TCPServer, which listens with a backlog of 5: eight associations
    # opened at once overflow it, and the dropped connection waits a second for its SYN to be resent.
    AssociationServer.request_queue_size = LISTEN_BACKLOG

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


# ---------------------------------------------------------------------------------------------------
# zanthe's sender, one process for the whole bench


def undelivered(results: list[Any], sent: int) -> list[str]:
    """A line per file not delivered, and one more when fewer results came back than files sent."""
    lines = []
    for result in results:
        if not result.delivered:
            status = "never sent" if result.status is None else f"status {result.status:04X}"
            lines.append(f"{result.path}: {status}: {result.comment}")
    if len(results) != sent:
        lines.append(f"{len(results)} results for {sent} files")
    return lines


def send_request(request: dict[str, Any]) -> dict[str, Any]:
    from zanthe.dicom.net import AssociationError, send

    paths = [str(path) for path in request["paths"]]
    failures: list[str] = []
    cpu, start = time.process_time(), time.perf_counter()
    try:
        results = send(f"127.0.0.1:{request['port']}", paths, associations=int(request["associations"]),
                       timeout=float(request.get("timeout", SEND_TIMEOUT)))  # fmt: skip
    except (AssociationError, OSError) as error:
        results, failures = [], [f"{type(error).__name__}: {error}"]
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    failures = failures or undelivered(results, len(paths))
    return {"seconds": seconds, "cpu": cpu, "failures": failures[:FAILURES_SHOWN]}


def answer(reply: dict[str, Any]) -> None:
    sys.stdout.write(json.dumps(reply) + "\n")
    sys.stdout.flush()


def serve_sends() -> None:
    """Answers each request line on stdin until it closes; the import is paid here, before any."""
    import zanthe.dicom.net  # noqa: F401  (paid once, before the first request)

    answer({"ready": True})
    for line in sys.stdin:
        if line.strip():
            answer(send_request(json.loads(line)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", type=int, nargs="?")
    parser.add_argument("folder", nargs="?")
    parser.add_argument("--max-pdu", type=int, default=16382, help="largest PDU it receives (pynetdicom's default)")
    parser.add_argument("--sender", action="store_true", help="send as asked on stdin, one JSON request a line")
    args = parser.parse_args()
    if args.sender:
        return serve_sends()
    if args.port is None or args.folder is None:
        parser.error("PORT and DIR are needed, unless --sender")
    serve(args.port, args.folder, args.max_pdu)


if __name__ == "__main__":
    main()

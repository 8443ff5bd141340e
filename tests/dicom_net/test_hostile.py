"""Hostile peers: each is aborted, rejected or dropped within its limit, and while it is open or
stalled a normal association is still served; a flood beyond the association cap is rejected."""

from __future__ import annotations

import collections
import resource
import socket
import struct
import time
from collections.abc import Callable
from pathlib import Path

import pydicom
import pytest
from net_peers import SCU_AE, all_files, dataset_bytes, echo_status, pydicom_file, stored_path
from pydicom.uid import generate_uid

from helpers.dicom_net_bytes import (
    ABORT,
    ASSOCIATE_AC,
    ASSOCIATE_RJ,
    ASSOCIATE_RQ,
    CLOSED,
    CT_IMAGE_STORAGE,
    P_DATA_TF,
    VERIFICATION,
    Context,
    RawAssociation,
    abort_pdu,
    associate_rq,
    c_echo_rq,
    c_store_rq,
    header,
    p_data,
    pdu,
    pdv,
    read_pdu,
    reject_fields,
)

pytestmark = pytest.mark.timeout(60)

# Distinct, so that the delay tells which limit ended the connection; the server checks its timers
# every quarter of the shortest.
ARTIM, PDU_TIMEOUT, IDLE = 1.0, 1.5, 2.0
SLACK = 0.45
MAX_PDU = 16384
OPTIONS = {"artim": ARTIM, "pdu_timeout": PDU_TIMEOUT, "idle_timeout": IDLE, "max_pdu_length": MAX_PDU,
           "allowed_calling_aes": [SCU_AE]}  # fmt: skip
VERIFY = [Context(1, VERIFICATION)]


def established(peer: RawAssociation) -> None:
    reply = peer.associate(VERIFY)
    assert reply.kind == ASSOCIATE_AC
    assert (peer.max_pdu, peer.contexts[1][0]) == (MAX_PDU, 0)


def garbage(peer: RawAssociation) -> None:
    peer.send(bytes(range(0x80, 0x100)))


def http_request(peer: RawAssociation) -> None:
    peer.send(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n")


def protocol_version_2(peer: RawAssociation) -> None:
    peer.send(associate_rq(VERIFY, protocol_version=2))


def wrong_application_context(peer: RawAssociation) -> None:
    peer.send(associate_rq(VERIFY, application_context="1.2.840.10008.3.1.1.2"))


def calling_ae_not_allowed(peer: RawAssociation) -> None:
    peer.send(associate_rq(VERIFY, calling_ae="INTRUDER"))


def request_declaring_100000_bytes(peer: RawAssociation) -> None:
    peer.send(header(ASSOCIATE_RQ, 100_000) + associate_rq(VERIFY)[6:])


def request_declaring_4_gib(peer: RawAssociation) -> None:
    peer.send(header(ASSOCIATE_RQ, 0xFFFFFFF0) + associate_rq(VERIFY)[6:])


def idle_association(peer: RawAssociation) -> None:
    established(peer)


def p_data_over_max_pdu(peer: RawAssociation) -> None:
    established(peer)
    peer.send(header(P_DATA_TF, MAX_PDU + 1) + bytes(1024))


def pdv_on_unaccepted_context(peer: RawAssociation) -> None:
    established(peer)
    peer.send(p_data(pdv(3, c_echo_rq(1), command=True, last=True)))


def pdv_overrunning_its_pdu(peer: RawAssociation) -> None:
    established(peer)
    peer.send(pdu(P_DATA_TF, struct.pack(">IBB", 1000, 1, 3) + c_echo_rq(1)))


def dataset_before_command(peer: RawAssociation) -> None:
    established(peer)
    peer.send(p_data(pdv(1, bytes(16), command=False, last=True)))


def stall_inside_pdu(peer: RawAssociation) -> None:
    established(peer)
    peer.send(header(P_DATA_TF, 100) + c_echo_rq(1)[:10])


# (what the peer does, the PDU that ends it or CLOSED, an A-ASSOCIATE-RJ's fields, after how long)
CASES: list[tuple[Callable[[RawAssociation], None], int, tuple[int, int, int] | None, float]] = [
    (garbage, ABORT, None, 0),
    (http_request, ABORT, None, 0),
    (protocol_version_2, ASSOCIATE_RJ, (1, 2, 2), 0),
    (wrong_application_context, ASSOCIATE_RJ, (1, 1, 2), 0),
    (calling_ae_not_allowed, ASSOCIATE_RJ, (1, 1, 3), 0),
    (request_declaring_100000_bytes, CLOSED, None, ARTIM),
    (request_declaring_4_gib, ABORT, None, 0),
    (idle_association, ABORT, None, IDLE),
    (p_data_over_max_pdu, ABORT, None, 0),
    (pdv_on_unaccepted_context, ABORT, None, 0),
    (pdv_overrunning_its_pdu, ABORT, None, 0),
    (dataset_before_command, ABORT, None, 0),
    (stall_inside_pdu, ABORT, None, PDU_TIMEOUT),
]


@pytest.mark.parametrize(("act", "ending", "reject", "delay"), CASES, ids=[case[0].__name__ for case in CASES])
def test_a_hostile_peer_is_bounded_while_others_are_served(act, ending, reject, delay, serve) -> None:
    running = serve(**OPTIONS)
    with RawAssociation(running.port) as hostile:
        act(hostile)
        since = time.monotonic()
        assert echo_status(running.port) == 0  # the hostile connection is still open or stalled
        reply = read_pdu(hostile.sock, delay + 3, since=since)
        assert reply.kind == ending, f"PDU {reply.kind} after {reply.seconds:.2f} s"
        assert delay <= reply.seconds <= delay + SLACK
        if ending == ASSOCIATE_RJ:
            assert reject_fields(reply.body) == reject
        if ending == ABORT:
            assert reply.body[2] == 2  # source: the service provider
        if ending != CLOSED:
            assert read_pdu(hostile.sock, 1).kind == CLOSED  # and the server hangs up after it
    assert echo_status(running.port) == 0


def ct_dataset() -> pydicom.Dataset:
    dataset = pydicom.dcmread(pydicom_file("CT_small.dcm"))
    dataset.SOPInstanceUID = generate_uid()
    return dataset


@pytest.mark.parametrize("ending", ["abort", "close"])
def test_a_dataset_cut_short_is_never_stored(ending, serve) -> None:
    running = serve(**OPTIONS)
    dataset = ct_dataset()
    uid, data = dataset.SOPInstanceUID, dataset_bytes(dataset)
    store = [Context(1, CT_IMAGE_STORAGE)]
    with RawAssociation(running.port) as hostile:
        hostile.associate(store)
        hostile.send(p_data(pdv(1, c_store_rq(1, CT_IMAGE_STORAGE, uid), command=True, last=True)))
        for piece in hostile.data_pdus(1, data)[:-1]:  # all but the last fragment
            hostile.send(piece)
        if ending == "abort":
            hostile.send(abort_pdu())
            assert read_pdu(hostile.sock, 1).seconds < SLACK  # closed at once, with nothing said
        assert echo_status(running.port) == 0
    with RawAssociation(running.port) as sender:  # the same message whole is stored
        sender.associate(store)
        assert sender.store(1, CT_IMAGE_STORAGE, uid, data) == 0
        sender.release()
    running.server.close()
    assert [event.sop_instance_uid for event in running.events] == [uid]
    assert all_files(running.store) == [stored_path(running.store, dataset)]


def test_associations_beyond_the_cap_are_rejected_as_transient(serve) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < 2500:  # both ends of each connection are in this process
        if hard != resource.RLIM_INFINITY and hard < 2500:
            pytest.skip(f"needs 2500 descriptors, the hard limit is {hard}")
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    running = serve(max_associations=64, artim=10.0, idle_timeout=10.0)
    request = associate_rq(VERIFY)
    sockets: list[socket.socket] = []
    try:
        for _ in range(1000):
            sockets.append(socket.create_connection(("127.0.0.1", running.port), timeout=10))
            sockets[-1].sendall(request)
        replies = [read_pdu(s, 10) for s in sockets]
        assert collections.Counter(r.kind for r in replies) == {ASSOCIATE_AC: 64, ASSOCIATE_RJ: 936}
        assert {reject_fields(r.body) for r in replies if r.kind == ASSOCIATE_RJ} == {(2, 3, 2)}
        assert echo_status(running.port) is None  # the 64 are still held
    finally:
        for s in sockets:
            s.close()
    deadline = time.monotonic() + 3
    while (status := echo_status(running.port)) is None and time.monotonic() < deadline:
        time.sleep(0.05)
    assert status == 0

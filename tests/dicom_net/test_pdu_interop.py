"""The upper-layer PDU and DIMSE command codecs against pynetdicom's and pydicom's, and on hostile bytes."""

from __future__ import annotations

import struct
from io import BytesIO
from typing import Any

import pytest
from pydicom.dataset import Dataset
from pydicom.filereader import read_dataset
from pydicom.uid import AllTransferSyntaxes
from pynetdicom import pdu as P
from pynetdicom import pdu_primitives as PP
from pynetdicom.dimse_messages import C_ECHO_RSP, C_STORE_RQ
from pynetdicom.dimse_primitives import C_ECHO, C_STORE
from pynetdicom.dsutils import encode
from pynetdicom.presentation import PresentationContext
from pynetdicom.service_class import NonPatientObjectStorageServiceClass, ServiceClass, StorageServiceClass
from pynetdicom.sop_class import uid_to_service_class
from pydicom._uid_dict import UID_dictionary

import _dicom_net_testing as net

VERIFICATION = "1.2.840.10008.1.1"
CT = "1.2.840.10008.5.1.4.1.1.2"
IMPLICIT, EXPLICIT, DEFLATED, J2K = "1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.1.99", "1.2.840.10008.1.2.4.90"

REQUESTS = [
    dict(called_ae="ANY-SCP", calling_ae="ZANTHE", contexts=[(1, VERIFICATION, [IMPLICIT])], max_pdu_length=16384),
    dict(called_ae="A" * 16, calling_ae="B", max_pdu_length=0, max_invoked=4, max_performed=2,
         contexts=[(1, CT, [EXPLICIT, IMPLICIT]), (3, CT, [J2K]), (255, VERIFICATION, [IMPLICIT, EXPLICIT, DEFLATED])],
         roles=[(CT, True, True), (VERIFICATION, False, True)], implementation_version="V16CHARACTERS__X"),
]


def reheader(pdu: bytes, body: bytes) -> bytes:
    return pdu[:2] + struct.pack(">I", len(body)) + body


def item(kind: int, value: bytes) -> bytes:
    return struct.pack(">BBH", kind, 0, len(value)) + value


def notification(cls: type, **values: Any) -> Any:
    sub = cls()
    for name, value in values.items():
        setattr(sub, name, value)
    return sub


def pynetdicom_request() -> bytes:
    primitive = PP.A_ASSOCIATE()
    primitive.application_context_name = "1.2.840.10008.3.1.1.1"
    primitive.calling_ae_title, primitive.called_ae_title = "STORESCU", "ARCHIVE"
    contexts = []
    for context_id, abstract, syntaxes in [(1, VERIFICATION, [IMPLICIT]), (3, CT, [EXPLICIT, J2K])]:
        context = PresentationContext()
        context.context_id, context.abstract_syntax, context.transfer_syntax = context_id, abstract, syntaxes
        contexts.append(context)
    primitive.presentation_context_definition_list = contexts
    primitive.user_information = [
        notification(PP.MaximumLengthNotification, maximum_length_received=28672),
        notification(PP.ImplementationClassUIDNotification, implementation_class_uid="1.2.3.4.5.6"),
        notification(PP.ImplementationVersionNameNotification, implementation_version_name="PEER_1"),
        notification(PP.SCP_SCU_RoleSelectionNegotiation, sop_class_uid=CT, scu_role=False, scp_role=True),
        notification(PP.AsynchronousOperationsWindowNegotiation, maximum_number_operations_invoked=3,
                     maximum_number_operations_performed=1),
        # Sub-items we do not speak are skipped.
        notification(PP.UserIdentityNegotiation, user_identity_type=2, primary_field=b"user", secondary_field=b"pw"),
        notification(PP.SOPClassExtendedNegotiation, sop_class_uid=CT, service_class_application_information=b"\x01"),
    ]
    return P.A_ASSOCIATE_RQ(primitive).encode()


@pytest.mark.parametrize("request_fields", REQUESTS)
def test_our_request_reads_the_same_in_pynetdicom(request_fields: dict[str, Any]) -> None:
    pdu = P.A_ASSOCIATE_RQ()
    pdu.decode(net.build_associate_request(**request_fields))
    primitive = pdu.to_primitive()
    assert (primitive.called_ae_title, primitive.calling_ae_title) == (request_fields["called_ae"], request_fields["calling_ae"])
    assert primitive.application_context_name == "1.2.840.10008.3.1.1.1"
    assert [(c.context_id, c.abstract_syntax, c.transfer_syntax) for c in primitive.presentation_context_definition_list] == \
        request_fields["contexts"]
    assert primitive.maximum_length_received == request_fields["max_pdu_length"]
    subs = {type(s).__name__: s for s in primitive.user_information}
    assert subs["ImplementationVersionNameNotification"].implementation_version_name == \
        request_fields.get("implementation_version", "ZANTHE_1")
    roles = [(s.sop_class_uid, s.scu_role, s.scp_role) for s in primitive.user_information
             if isinstance(s, PP.SCP_SCU_RoleSelectionNegotiation)]
    assert roles == request_fields.get("roles", [])
    window = subs.get("AsynchronousOperationsWindowNegotiation")
    invoked = (window.maximum_number_operations_invoked, window.maximum_number_operations_performed) if window else (1, 1)
    assert invoked == (request_fields.get("max_invoked", 1), request_fields.get("max_performed", 1))


def test_pynetdicom_request_reads_the_same_in_ours() -> None:
    parsed = net.parse_associate_request(pynetdicom_request())
    assert parsed == {
        "protocol_version": 1, "called_ae": "ARCHIVE", "calling_ae": "STORESCU",
        "application_context": "1.2.840.10008.3.1.1.1",
        "contexts": [(1, VERIFICATION, [IMPLICIT]), (3, CT, [EXPLICIT, J2K])],
        "max_pdu_length": 28672, "implementation_class_uid": "1.2.3.4.5.6", "implementation_version": "PEER_1",
        "roles": [(CT, False, True)], "max_operations": (3, 1),
    }


def test_accept_agrees_both_ways() -> None:
    contexts = [(1, 0, IMPLICIT), (3, 4, EXPLICIT), (5, 3, "")]
    pdu = P.A_ASSOCIATE_AC()
    pdu.decode(net.build_associate_accept("STORESCU", "ARCHIVE", contexts, 65536, roles=[(CT, False, True)]))
    primitive = pdu.to_primitive()
    assert [(c.context_id, c.result, c.transfer_syntax) for c in primitive.presentation_context_definition_results_list] == \
        [(1, 0, [IMPLICIT]), (3, 4, [EXPLICIT]), (5, 3, [])]
    assert primitive.maximum_length_received == 65536
    # pynetdicom's encoding of an answer (it cannot encode an empty transfer syntax) reads back alike.
    pdu.decode(net.build_associate_accept("STORESCU", "ARCHIVE", contexts[:2], 65536, roles=[(CT, False, True)]))
    parsed = net.parse_associate_accept(pdu.encode())
    assert parsed["contexts"] == contexts[:2] and parsed["roles"] == [(CT, False, True)]
    assert (parsed["called_ae"], parsed["calling_ae"], parsed["max_pdu_length"]) == ("STORESCU", "ARCHIVE", 65536)


@pytest.mark.parametrize(("result", "source", "reason"), [(1, 1, 7), (2, 3, 1), (1, 2, 2)])
def test_reject_and_abort_agree_with_pynetdicom(result: int, source: int, reason: int) -> None:
    reject = P.A_ASSOCIATE_RJ()
    reject.decode(net.build_associate_reject(result, source, reason))
    assert (reject.result, reject.source, reject.reason_diagnostic) == (result, source, reason)
    assert net.parse_associate_reject(reject.encode()) == (result, source, reason)
    abort = P.A_ABORT_RQ()
    abort.decode(net.build_abort(source % 3, reason))
    assert (abort.source, abort.reason_diagnostic) == (source % 3, reason)
    assert net.parse_abort(abort.encode()) == (source % 3, reason)


def test_release_pdus_are_pynetdicoms() -> None:
    assert net.build_release_request() == P.A_RELEASE_RQ().encode()
    assert net.build_release_response() == P.A_RELEASE_RP().encode()


@pytest.mark.parametrize(("command", "last"), [(True, True), (False, False), (False, True), (True, False)])
def test_p_data_agrees_with_pynetdicom(command: bool, last: bool) -> None:
    pdu = P.P_DATA_TF()
    pdu.decode(net.p_data(7, command, last, b"\x00\x01payload"))
    [value] = pdu.presentation_data_value_items
    assert value.presentation_context_id == 7
    assert value.presentation_data_value == bytes([command | last << 1]) + b"\x00\x01payload"
    assert net.parse_p_data(pdu.encode()) == [(7, command, last, b"\x00\x01payload")]


def pynetdicom_command(message: Any, primitive: Any) -> bytes:
    message.primitive_to_message(primitive)
    return encode(message.command_set, True, True)


def test_pynetdicom_commands_read_in_ours() -> None:
    store = C_STORE()
    store.MessageID, store.AffectedSOPClassUID, store.AffectedSOPInstanceUID, store.Priority = 9, CT, "1.2.3.45", 2
    store.MoveOriginatorApplicationEntityTitle, store.MoveOriginatorMessageID = "MOVER", 4
    parsed = net.parse_command(pynetdicom_command(C_STORE_RQ(), store))
    assert (parsed["command_field"], parsed["message_id"], parsed["affected_sop_class"], parsed["priority"]) == (1, 9, CT, 2)
    assert (parsed["affected_sop_instance"], parsed["move_originator_ae"], parsed["move_originator_id"]) == \
        ("1.2.3.45", "MOVER", 4)
    echo = C_ECHO()
    echo.MessageIDBeingRespondedTo, echo.AffectedSOPClassUID, echo.Status, echo.ErrorComment = 9, VERIFICATION, 0x0122, "nope"
    parsed = net.parse_command(pynetdicom_command(C_ECHO_RSP(), echo))
    assert (parsed["command_field"], parsed["message_id_responded"], parsed["status"]) == (0x8030, 9, 0x0122)
    assert (parsed["message_id"], parsed["data_set_type"]) == (None, 0x0101)


@pytest.mark.parametrize("fields", [
    {"command_field": 0x0001, "affected_sop_class": CT, "message_id": 3, "priority": 0, "data_set_type": 0,
     "affected_sop_instance": "1.2.3"},
    {"command_field": 0x8001, "affected_sop_class": CT, "message_id_responded": 3, "status": 0xA700,
     "error_comment": "disk full", "affected_sop_instance": "1.2.34"},
    {"command_field": 0x0021, "affected_sop_class": CT, "message_id": 1, "move_destination": "DEST"},
])
def test_our_commands_read_in_pydicom(fields: dict[str, Any]) -> None:
    encoded = net.encode_command(fields)
    command: Dataset = read_dataset(BytesIO(encoded), is_implicit_VR=True, is_little_endian=True)
    assert command.CommandGroupLength == len(encoded) - 12
    names = {"command_field": "CommandField", "affected_sop_class": "AffectedSOPClassUID", "message_id": "MessageID",
             "message_id_responded": "MessageIDBeingRespondedTo", "priority": "Priority", "status": "Status",
             "data_set_type": "CommandDataSetType", "error_comment": "ErrorComment", "move_destination": "MoveDestination",
             "affected_sop_instance": "AffectedSOPInstanceUID"}
    for key, value in fields.items():
        assert command[names[key]].value == value
    position = 0
    while position < len(encoded):  # every value has an even length
        length = struct.unpack_from("<I", encoded, position + 4)[0]
        assert length % 2 == 0
        position += 8 + length
    assert {k: v for k, v in net.parse_command(encoded).items() if k in fields} == fields


def valid_request() -> bytes:
    return net.build_associate_request(**REQUESTS[1])


def test_every_cut_of_a_request_is_refused_or_a_shorter_request() -> None:
    pdu = valid_request()
    body = pdu[6:]
    for size in range(len(body)):
        try:
            parsed = net.parse_associate_request(reheader(pdu, body[:size]))
        except ValueError as refused:
            assert str(refused).split(":")[0] in ("truncated", "malformed")
        else:  # cut between two items
            assert len(parsed["contexts"]) <= 3


def with_items(extra: bytes, version: int = 1, context_name: bytes = b"1.2.840.10008.3.1.1.1") -> bytes:
    pdu = valid_request()
    fixed = struct.pack(">HH", version, 0) + pdu[10:74]
    return reheader(pdu, fixed + item(0x10, context_name) + extra + pdu[74 + 4 + 21:])


def test_unknown_items_are_skipped() -> None:
    assert net.parse_associate_request(with_items(item(0x77, b"new") + item(0x20, b"\x09\0\0\0" + item(0x99, b"?")))) \
        ["contexts"][0] == (9, "", [])


@pytest.mark.parametrize(("pdu", "code"), [
    (with_items(item(0x20, b"\x02\0\0\0")), "malformed"),               # even context ID
    (with_items(item(0x20, b"\x01\0\0\0")), "malformed"),               # ID 1 twice
    (with_items(item(0x20, b"\x09\0\0")), "truncated"),                 # context shorter than its fixed fields
    (with_items(item(0x20, b"\x09\0\0\0\x30\0\0\x09abc")), "truncated"),  # sub-item past its context
    (with_items(item(0x10, b"1.2")), "malformed"),                      # a second application context
    (with_items(b"", version=2), "unsupported"),
    (with_items(b"", context_name=b"1.2.3"), "unsupported"),
    (with_items(item(0x50, item(0x51, b"\0\0\x10\0"))), "malformed"),     # a second user information item
])
def test_hostile_requests(pdu: bytes, code: str) -> None:
    with pytest.raises(ValueError, match=f"^{code}:"):
        net.parse_associate_request(pdu)


@pytest.mark.parametrize(("body", "code"), [
    (b"", "malformed"),
    (b"\0\0\0\x01\x01", "malformed"),                 # a PDV shorter than its header
    (b"\0\0\0\x09\x01\x03abc", "truncated"),          # past the PDU
    (b"\0\0\0\x02\x02\x03", "malformed"),             # even context ID
    (b"\0\0\0\x02\x01\x03\0\0", "truncated"),         # a PDV length cut short after a good PDV
])
def test_hostile_p_data(body: bytes, code: str) -> None:
    with pytest.raises(ValueError, match=f"^{code}:"):
        net.parse_p_data(b"\x04\0" + struct.pack(">I", len(body)) + body)


def element(tag_element: int, value: bytes, group: int = 0) -> bytes:
    return struct.pack("<HHI", group, tag_element, len(value)) + value


@pytest.mark.parametrize(("command", "code"), [
    (element(0x0100, b"\x30\0") + element(0x0008, b"", group=8), "malformed"),  # outside group 0000
    (element(0x0110, b"\x01\0"), "malformed"),                                   # no Command Field
    (element(0x0100, b"\x30\0\0\0"), "malformed"),                               # US of 4 bytes
    (element(0x0100, b"\x30\0") + struct.pack("<HHI", 0, 0x0002, 99) + b"1.2", "truncated"),
    (element(0x0100, b"\x30\0") + b"\0\0\x02", "truncated"),
])
def test_hostile_commands(command: bytes, code: str) -> None:
    with pytest.raises(ValueError, match=f"^{code}:"):
        net.parse_command(command)


def test_storage_table_agrees_with_pynetdicoms_service_classes() -> None:
    ours = set(net.storage_sop_classes())
    assert ours == set(sorted(ours))
    for uid, (name, kind, *_) in UID_dictionary.items():
        if kind != "SOP Class":
            continue
        service = uid_to_service_class(uid)
        if service in (StorageServiceClass, NonPatientObjectStorageServiceClass):
            assert net.is_storage_sop_class(uid), name
        elif service is not ServiceClass:  # a service pynetdicom names that is not storage
            assert not net.is_storage_sop_class(uid), name
    # Retired classes: old modalities' instances are still received.
    assert net.is_storage_sop_class("1.2.840.10008.5.1.4.1.1.6") and net.is_storage_sop_class("1.2.840.10008.5.1.4.1.1.5")
    for uid in ("1.2.840.10008.1.20.1", "1.2.840.10008.1.3.10", VERIFICATION, "", CT + ".0"):
        assert not net.is_storage_sop_class(uid)


def test_every_transfer_syntax_of_a_stored_instance_is_storable() -> None:
    for uid in AllTransferSyntaxes:
        assert net.is_storable_transfer_syntax(uid) == (not uid.name.startswith("SMPTE ST 2110")), uid.name
    assert not net.is_storable_transfer_syntax("1.2.840.10008.1.2.6.2")  # XML, never a dataset on the wire
    assert not net.is_storable_transfer_syntax("1.2.840.10008.1.2.1.")

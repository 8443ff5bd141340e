// Fuzz target for the DICOM upper layer and DIMSE codecs. The first byte picks what the rest is: 0 to 5
// the body of an A-ASSOCIATE-RQ, -AC, -RJ, an A-ABORT, a P-DATA-TF, or a command set; any other value a
// stream of whole PDUs, each read by its type (the command PDVs of a P-DATA-TF joined into a command
// set), as a peer sends them.
// Whatever parses must build and parse back to the same structure (and the same outcome, for a request
// or answer read whole but in a version or context we do not speak); PDV data must lie in the body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dicom_net/dimse.h"
#include "dicom_net/pdu.h"

using namespace zanthe::dicom_net;

namespace {

using Bytes = std::span<const std::uint8_t>;

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// The body of a PDU built whole, after its header has been checked against the bytes.
[[nodiscard]] Bytes body_of(const std::vector<std::uint8_t>& pdu, PduType type) {
  require(pdu.size() >= kPduHeaderSize);
  const PduHeader header = read_pdu_header(pdu.data());
  require(header.type == static_cast<std::uint8_t>(type) && header.length == pdu.size() - kPduHeaderSize);
  return Bytes(pdu).subspan(kPduHeaderSize);
}

[[nodiscard]] bool same_roles(const std::vector<RoleSelection>& a, const std::vector<RoleSelection>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].sop_class != b[i].sop_class || a[i].scu != b[i].scu || a[i].scp != b[i].scp) return false;
  }
  return true;
}

// Whether the user information sub-items we write for these values fit one item: a peer's item that
// had no maximum length sub-item can be 8 bytes short of ours, and then the builder leaves some out.
[[nodiscard]] bool user_information_fits(const std::string& class_uid, const std::string& version,
                                         const std::vector<RoleSelection>& roles, bool window) {
  std::size_t size = 8 + (class_uid.empty() ? 0 : 4 + class_uid.size()) + (version.empty() ? 0 : 4 + version.size()) +
                     (window ? 8 : 0);
  for (const RoleSelection& role : roles) size += 8 + role.sop_class.size();
  return size <= 0xFFFF;
}

void check_request(Bytes body) {
  AssociateRequest first;
  const NetStatus parsed = parse_associate_request(body, first);
  if (!parsed.ok() && parsed.code != NetCode::unsupported) return;
  const std::vector<std::uint8_t> pdu = build_associate_request(first);
  AssociateRequest again;
  require(parse_associate_request(body_of(pdu, PduType::associate_rq), again).code == parsed.code);
  require(again.protocol_version == first.protocol_version && again.called_ae == first.called_ae &&
          again.calling_ae == first.calling_ae && again.application_context == first.application_context &&
          again.max_pdu_length == first.max_pdu_length);
  require(again.contexts.size() == first.contexts.size());
  for (std::size_t i = 0; i < first.contexts.size(); ++i) {
    require(again.contexts[i].id == first.contexts[i].id &&
            again.contexts[i].abstract_syntax == first.contexts[i].abstract_syntax &&
            again.contexts[i].transfer_syntaxes == first.contexts[i].transfer_syntaxes);
  }
  const bool window = first.max_operations_invoked != 1 || first.max_operations_performed != 1;
  if (!user_information_fits(first.implementation_class_uid, first.implementation_version, first.roles, window)) return;
  require(again.implementation_class_uid == first.implementation_class_uid &&
          again.implementation_version == first.implementation_version && same_roles(again.roles, first.roles) &&
          again.max_operations_invoked == first.max_operations_invoked &&
          again.max_operations_performed == first.max_operations_performed);
}

void check_accept(Bytes body) {
  AssociateAccept first;
  const NetStatus parsed = parse_associate_accept(body, first);
  if (!parsed.ok() && parsed.code != NetCode::unsupported) return;
  const std::vector<std::uint8_t> pdu = build_associate_accept(first);
  AssociateAccept again;
  require(parse_associate_accept(body_of(pdu, PduType::associate_ac), again).code == parsed.code);
  require(again.protocol_version == first.protocol_version && again.called_ae == first.called_ae &&
          again.calling_ae == first.calling_ae && again.application_context == first.application_context &&
          again.max_pdu_length == first.max_pdu_length);
  require(again.contexts.size() == first.contexts.size());
  for (std::size_t i = 0; i < first.contexts.size(); ++i) {
    require(again.contexts[i].id == first.contexts[i].id && again.contexts[i].result == first.contexts[i].result &&
            again.contexts[i].transfer_syntax == first.contexts[i].transfer_syntax);
  }
  if (!user_information_fits(first.implementation_class_uid, first.implementation_version, first.roles, false)) return;
  require(again.implementation_class_uid == first.implementation_class_uid &&
          again.implementation_version == first.implementation_version && same_roles(again.roles, first.roles));
}

void check_reject(Bytes body) {
  AssociateReject first;
  if (!parse_associate_reject(body, first).ok()) return;
  AssociateReject again;
  const std::vector<std::uint8_t> pdu = build_associate_reject(first);
  require(parse_associate_reject(body_of(pdu, PduType::associate_rj), again).ok());
  require(again.result == first.result && again.source == first.source && again.reason == first.reason);
}

void check_abort(Bytes body) {
  Abort first;
  if (!parse_abort(body, first).ok()) return;
  Abort again;
  const std::vector<std::uint8_t> pdu = build_abort(first);
  require(parse_abort(body_of(pdu, PduType::abort), again).ok());
  require(again.source == first.source && again.reason == first.reason);
}

void check_command(Bytes bytes) {
  Command first;
  if (!parse_command(bytes, first).ok()) return;
  Command again;
  require(parse_command(encode_command(first), again).ok());
  require(again.command_field == first.command_field && again.affected_sop_class == first.affected_sop_class &&
          again.message_id == first.message_id && again.message_id_responded == first.message_id_responded &&
          again.move_destination == first.move_destination && again.priority == first.priority &&
          again.data_set_type == first.data_set_type && again.status == first.status &&
          again.error_comment == first.error_comment && again.affected_sop_instance == first.affected_sop_instance &&
          again.move_originator_ae == first.move_originator_ae && again.move_originator_id == first.move_originator_id);
}

// Each PDV lies in the body and comes back alike from a P-DATA-TF of its own; the command PDVs, joined
// up to the last one, are read as a command set.
void check_p_data(Bytes body) {
  std::vector<Pdv> pdvs;
  if (!parse_p_data(body, pdvs).ok()) return;
  require(!pdvs.empty());
  std::vector<std::uint8_t> command;
  for (const Pdv& pdv : pdvs) {
    require(pdv.data.data() >= body.data() && pdv.data.size() <= body.size() &&
            static_cast<std::size_t>(pdv.data.data() - body.data()) <= body.size() - pdv.data.size());
    std::vector<std::uint8_t> pdu(kPDataOverhead + pdv.data.size());
    write_p_data_header(pdu.data(), pdv.context_id, pdv.command, pdv.last, static_cast<std::uint32_t>(pdv.data.size()));
    std::copy(pdv.data.begin(), pdv.data.end(), pdu.begin() + kPDataOverhead);
    std::vector<Pdv> again;
    require(parse_p_data(body_of(pdu, PduType::p_data_tf), again).ok() && again.size() == 1);
    require(again[0].context_id == pdv.context_id && again[0].command == pdv.command && again[0].last == pdv.last &&
            std::equal(again[0].data.begin(), again[0].data.end(), pdv.data.begin(), pdv.data.end()));
    if (!pdv.command) continue;
    command.insert(command.end(), pdv.data.begin(), pdv.data.end());
    if (pdv.last) {
      check_command(command);
      command.clear();
    }
  }
}

void check_stream(Bytes stream) {
  while (stream.size() >= kPduHeaderSize) {
    const PduHeader header = read_pdu_header(stream.data());
    if (header.length > stream.size() - kPduHeaderSize) return;
    const Bytes body = stream.subspan(kPduHeaderSize, header.length);
    switch (static_cast<PduType>(header.type)) {
      case PduType::associate_rq: check_request(body); break;
      case PduType::associate_ac: check_accept(body); break;
      case PduType::associate_rj: check_reject(body); break;
      case PduType::p_data_tf: check_p_data(body); break;
      case PduType::abort: check_abort(body); break;
      default: break;
    }
    stream = stream.subspan(kPduHeaderSize + header.length);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Bytes rest(data + 1, size - 1);
  switch (data[0]) {
    case 0: check_request(rest); break;
    case 1: check_accept(rest); break;
    case 2: check_reject(rest); break;
    case 3: check_abort(rest); break;
    case 4: check_p_data(rest); break;
    case 5: check_command(rest); break;
    default: check_stream(rest); break;
  }
  return 0;
}

// Test-only module: the DICOM networking engine's PDU and command codecs, its SOP class tables and its
// SCU, so that pytest can hold them against pynetdicom and pydicom. Parsers take whole PDUs (header
// included) copied into a heap block of exactly their size, so that a sanitizer build catches any read
// past the end. Failures raise ValueError (codecs) or RuntimeError (network), the message starting with
// the NetCode's name.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "dicom_net/association_client.h"
#include "dicom_net/dimse.h"
#include "dicom_net/pdu.h"
#include "dicom_net/sop_classes.h"

namespace nb = nanobind;
using namespace zanthe::dicom_net;

namespace {

using ContextRequestTuple = std::tuple<int, std::string, std::vector<std::string>>;
using ContextAcceptTuple = std::tuple<int, int, std::string>;
using RoleTuple = std::tuple<std::string, bool, bool>;

struct Buffer {
  explicit Buffer(const nb::bytes& b) : size(b.size()), data(new std::uint8_t[b.size()]) {
    if (size > 0) std::memcpy(data.get(), b.c_str(), size);
  }
  std::size_t size;
  std::unique_ptr<std::uint8_t[]> data;
  [[nodiscard]] std::span<const std::uint8_t> span() const { return {data.get(), size}; }
};

nb::bytes to_bytes(const std::vector<std::uint8_t>& v) { return nb::bytes(reinterpret_cast<const char*>(v.data()), v.size()); }

std::string describe(const NetStatus& status) {
  return std::string(net_code_name(status.code)) + ": " + status.detail + " (offset " + std::to_string(status.offset) + ")";
}

void check(const NetStatus& status) {
  if (!status.ok()) throw nb::value_error(describe(status).c_str());
}

void check_network(const NetStatus& status) {
  if (!status.ok()) throw std::runtime_error(describe(status));
}

// The body of a whole PDU whose header must name `type` and the exact length that follows.
std::span<const std::uint8_t> body_of(const Buffer& pdu, PduType type) {
  if (pdu.size < kPduHeaderSize) throw nb::value_error("shorter than a PDU header");
  const PduHeader header = read_pdu_header(pdu.data.get());
  if (header.type != static_cast<std::uint8_t>(type)) throw nb::value_error("another PDU type");
  if (header.length != pdu.size - kPduHeaderSize) throw nb::value_error("the PDU length disagrees with its size");
  return pdu.span().subspan(kPduHeaderSize);
}

std::vector<RoleSelection> roles_from(const std::vector<RoleTuple>& roles) {
  std::vector<RoleSelection> out;
  for (const auto& [uid, scu, scp] : roles) out.push_back(RoleSelection{uid, scu, scp});
  return out;
}

nb::list roles_to(const std::vector<RoleSelection>& roles) {
  nb::list out;
  for (const RoleSelection& r : roles) out.append(nb::make_tuple(r.sop_class, r.scu, r.scp));
  return out;
}

nb::bytes build_request(const std::string& called, const std::string& calling,
                        const std::vector<ContextRequestTuple>& contexts, std::uint32_t max_pdu_length,
                        const std::vector<RoleTuple>& roles, const std::string& implementation_class_uid,
                        const std::string& implementation_version, std::uint16_t max_invoked,
                        std::uint16_t max_performed, std::uint16_t protocol_version) {
  AssociateRequest request;
  request.protocol_version = protocol_version;
  request.called_ae = called;
  request.calling_ae = calling;
  for (const auto& [id, abstract, syntaxes] : contexts) {
    request.contexts.push_back(PresentationContextRequest{static_cast<std::uint8_t>(id), abstract, syntaxes});
  }
  request.max_pdu_length = max_pdu_length;
  request.roles = roles_from(roles);
  request.implementation_class_uid = implementation_class_uid;
  request.implementation_version = implementation_version;
  request.max_operations_invoked = max_invoked;
  request.max_operations_performed = max_performed;
  return to_bytes(build_associate_request(request));
}

nb::dict parse_request(const nb::bytes& pdu) {
  const Buffer buffer(pdu);
  AssociateRequest request;
  check(parse_associate_request(body_of(buffer, PduType::associate_rq), request));
  nb::list contexts;
  for (const PresentationContextRequest& c : request.contexts) {
    contexts.append(nb::make_tuple(c.id, c.abstract_syntax, c.transfer_syntaxes));
  }
  nb::dict out;
  out["protocol_version"] = request.protocol_version;
  out["called_ae"] = request.called_ae;
  out["calling_ae"] = request.calling_ae;
  out["application_context"] = request.application_context;
  out["contexts"] = contexts;
  out["max_pdu_length"] = request.max_pdu_length;
  out["implementation_class_uid"] = request.implementation_class_uid;
  out["implementation_version"] = request.implementation_version;
  out["roles"] = roles_to(request.roles);
  out["max_operations"] = nb::make_tuple(request.max_operations_invoked, request.max_operations_performed);
  return out;
}

nb::bytes build_accept(const std::string& called, const std::string& calling,
                       const std::vector<ContextAcceptTuple>& contexts, std::uint32_t max_pdu_length,
                       const std::vector<RoleTuple>& roles, const std::string& implementation_class_uid,
                       const std::string& implementation_version) {
  AssociateAccept accept;
  accept.called_ae = called;
  accept.calling_ae = calling;
  for (const auto& [id, result, syntax] : contexts) {
    accept.contexts.push_back(
        PresentationContextAccept{static_cast<std::uint8_t>(id), static_cast<ContextResult>(result), syntax});
  }
  accept.max_pdu_length = max_pdu_length;
  accept.roles = roles_from(roles);
  accept.implementation_class_uid = implementation_class_uid;
  accept.implementation_version = implementation_version;
  return to_bytes(build_associate_accept(accept));
}

nb::dict parse_accept(const nb::bytes& pdu) {
  const Buffer buffer(pdu);
  AssociateAccept accept;
  check(parse_associate_accept(body_of(buffer, PduType::associate_ac), accept));
  nb::list contexts;
  for (const PresentationContextAccept& c : accept.contexts) {
    contexts.append(nb::make_tuple(c.id, static_cast<int>(c.result), c.transfer_syntax));
  }
  nb::dict out;
  out["protocol_version"] = accept.protocol_version;
  out["called_ae"] = accept.called_ae;
  out["calling_ae"] = accept.calling_ae;
  out["application_context"] = accept.application_context;
  out["contexts"] = contexts;
  out["max_pdu_length"] = accept.max_pdu_length;
  out["implementation_class_uid"] = accept.implementation_class_uid;
  out["implementation_version"] = accept.implementation_version;
  out["roles"] = roles_to(accept.roles);
  return out;
}

std::tuple<int, int, int> parse_reject(const nb::bytes& pdu) {
  const Buffer buffer(pdu);
  AssociateReject reject;
  check(parse_associate_reject(body_of(buffer, PduType::associate_rj), reject));
  return {reject.result, reject.source, reject.reason};
}

std::tuple<int, int> parse_abort_pdu(const nb::bytes& pdu) {
  const Buffer buffer(pdu);
  Abort abort;
  check(parse_abort(body_of(buffer, PduType::abort), abort));
  return {abort.source, abort.reason};
}

nb::bytes p_data(std::uint8_t context_id, bool command, bool last, const nb::bytes& data) {
  std::vector<std::uint8_t> out(kPDataOverhead + data.size());
  write_p_data_header(out.data(), context_id, command, last, static_cast<std::uint32_t>(data.size()));
  if (data.size() > 0) std::memcpy(out.data() + kPDataOverhead, data.c_str(), data.size());
  return to_bytes(out);
}

nb::list parse_p_data_pdu(const nb::bytes& pdu) {
  const Buffer buffer(pdu);
  std::vector<Pdv> pdvs;
  check(parse_p_data(body_of(buffer, PduType::p_data_tf), pdvs));
  nb::list out;
  for (const Pdv& p : pdvs) {
    out.append(nb::make_tuple(p.context_id, p.command, p.last,
                              nb::bytes(reinterpret_cast<const char*>(p.data.data()), p.data.size())));
  }
  return out;
}

template <typename T>
std::optional<T> optional_field(const nb::dict& fields, const char* key) {
  if (!fields.contains(key) || fields[key].is_none()) return std::nullopt;
  return nb::cast<T>(fields[key]);
}

nb::bytes encode_command_fields(const nb::dict& fields) {
  Command c;
  c.command_field = optional_field<std::uint16_t>(fields, "command_field").value_or(0);
  c.affected_sop_class = optional_field<std::string>(fields, "affected_sop_class").value_or("");
  c.message_id = optional_field<std::uint16_t>(fields, "message_id");
  c.message_id_responded = optional_field<std::uint16_t>(fields, "message_id_responded");
  c.move_destination = optional_field<std::string>(fields, "move_destination").value_or("");
  c.priority = optional_field<std::uint16_t>(fields, "priority");
  c.data_set_type = optional_field<std::uint16_t>(fields, "data_set_type").value_or(kNoDataSet);
  c.status = optional_field<std::uint16_t>(fields, "status");
  c.error_comment = optional_field<std::string>(fields, "error_comment").value_or("");
  c.affected_sop_instance = optional_field<std::string>(fields, "affected_sop_instance").value_or("");
  c.move_originator_ae = optional_field<std::string>(fields, "move_originator_ae").value_or("");
  c.move_originator_id = optional_field<std::uint16_t>(fields, "move_originator_id");
  return to_bytes(encode_command(c));
}

nb::dict command_fields(const Command& c) {
  nb::dict out;
  out["command_field"] = c.command_field;
  out["affected_sop_class"] = c.affected_sop_class;
  out["message_id"] = c.message_id;
  out["message_id_responded"] = c.message_id_responded;
  out["move_destination"] = c.move_destination;
  out["priority"] = c.priority;
  out["data_set_type"] = c.data_set_type;
  out["status"] = c.status;
  out["error_comment"] = c.error_comment;
  out["affected_sop_instance"] = c.affected_sop_instance;
  out["move_originator_ae"] = c.move_originator_ae;
  out["move_originator_id"] = c.move_originator_id;
  return out;
}

nb::dict parse_command_bytes(const nb::bytes& bytes) {
  const Buffer buffer(bytes);
  Command command;
  check(parse_command(buffer.span(), command));
  return command_fields(command);
}

ClientOptions client_options(const std::string& host, std::uint16_t port, const std::string& calling,
                             const std::string& called, std::uint32_t max_pdu_length, int timeout_ms) {
  ClientOptions options;
  options.host = host;
  options.port = port;
  options.calling_ae = calling;
  options.called_ae = called;
  options.max_pdu_length = max_pdu_length;
  options.connect_timeout = std::chrono::milliseconds(timeout_ms);
  options.response_timeout = std::chrono::milliseconds(timeout_ms);
  return options;
}

int echo(const std::string& host, std::uint16_t port, const std::string& calling, const std::string& called,
         int timeout_ms) {
  const ClientOptions options = client_options(host, port, calling, called, 1 << 20, timeout_ms);
  std::uint16_t status = 0;
  NetStatus result;
  {
    nb::gil_scoped_release unlocked;
    Association association;
    std::vector<PresentationContextRequest> contexts{
        {1, std::string(kVerificationSopClass), {std::string(kImplicitVrLittleEndian)}}};
    result = Association::open(options, std::move(contexts), association);
    if (result.ok()) result = association.echo(status);
    if (result.ok()) result = association.release();
  }
  check_network(result);
  return status;
}

// Each file's C-STORE status, or the NetCode name for a file the association could not send (refused).
std::vector<std::tuple<std::string, std::variant<int, std::string>>> store_files(
    const std::string& host, std::uint16_t port, const std::string& calling, const std::string& called,
    const std::vector<std::string>& paths, std::uint32_t max_pdu_length, int timeout_ms) {
  const ClientOptions options = client_options(host, port, calling, called, max_pdu_length, timeout_ms);
  std::vector<std::tuple<std::string, std::variant<int, std::string>>> outcomes;
  NetStatus result;
  {
    nb::gil_scoped_release unlocked;
    std::vector<FileToSend> files(paths.size());
    for (std::size_t i = 0; i < paths.size() && result.ok(); ++i) result = read_file_to_send(paths[i], files[i]);
    Association association;
    if (result.ok()) result = Association::open(options, contexts_for(files), association);
    for (std::size_t i = 0; i < files.size() && result.ok(); ++i) {
      std::uint16_t status = 0;
      std::string comment;
      const FileToSend& f = files[i];
      const NetStatus stored = association.store(f.dataset(), f.sop_class, f.sop_instance, f.transfer_syntax, status, comment);
      if (stored.code == NetCode::refused) {
        outcomes.emplace_back(f.path, std::string(net_code_name(stored.code)));
      } else if (stored.ok()) {
        outcomes.emplace_back(f.path, static_cast<int>(status));
      } else {
        result = stored;
      }
    }
    if (result.ok()) result = association.release();
  }
  check_network(result);
  return outcomes;
}

std::tuple<std::string, std::string, std::string, std::size_t> file_to_send(const std::string& path) {
  FileToSend file;
  check(read_file_to_send(path, file));
  return {file.sop_class, file.sop_instance, file.transfer_syntax, file.dataset_offset};
}

}  // namespace

NB_MODULE(_dicom_net_testing, m) {
  m.def("build_associate_request", &build_request, nb::arg("called_ae"), nb::arg("calling_ae"), nb::arg("contexts"),
        nb::arg("max_pdu_length"), nb::arg("roles") = std::vector<RoleTuple>{},
        nb::arg("implementation_class_uid") = std::string(kImplementationClassUid),
        nb::arg("implementation_version") = std::string(kImplementationVersion), nb::arg("max_invoked") = 1,
        nb::arg("max_performed") = 1, nb::arg("protocol_version") = 1);
  m.def("parse_associate_request", &parse_request);
  m.def("build_associate_accept", &build_accept, nb::arg("called_ae"), nb::arg("calling_ae"), nb::arg("contexts"),
        nb::arg("max_pdu_length"), nb::arg("roles") = std::vector<RoleTuple>{},
        nb::arg("implementation_class_uid") = std::string(kImplementationClassUid),
        nb::arg("implementation_version") = std::string(kImplementationVersion));
  m.def("parse_associate_accept", &parse_accept);
  m.def("build_associate_reject", [](std::uint8_t result, std::uint8_t source, std::uint8_t reason) {
    return to_bytes(build_associate_reject(AssociateReject{result, source, reason}));
  });
  m.def("parse_associate_reject", &parse_reject);
  m.def("build_abort", [](std::uint8_t source, std::uint8_t reason) { return to_bytes(build_abort(Abort{source, reason})); });
  m.def("parse_abort", &parse_abort_pdu);
  m.def("build_release_request", [] { return to_bytes(build_release_request()); });
  m.def("build_release_response", [] { return to_bytes(build_release_response()); });
  m.def("p_data", &p_data);
  m.def("parse_p_data", &parse_p_data_pdu);
  m.def("encode_command", &encode_command_fields);
  m.def("parse_command", &parse_command_bytes);
  m.def("is_storage_sop_class", [](const std::string& uid) { return is_storage_sop_class(uid); });
  m.def("is_storable_transfer_syntax", [](const std::string& uid) { return is_storable_transfer_syntax(uid); });
  m.def("storage_sop_classes", [] {
    std::vector<std::string> out;
    for (std::string_view uid : storage_sop_classes()) out.emplace_back(uid);
    return out;
  });
  m.def("file_to_send", &file_to_send);
  m.def("echo", &echo, nb::arg("host"), nb::arg("port"), nb::arg("calling_ae"), nb::arg("called_ae"),
        nb::arg("timeout_ms") = 10'000);
  m.def("store_files", &store_files, nb::arg("host"), nb::arg("port"), nb::arg("calling_ae"), nb::arg("called_ae"),
        nb::arg("paths"), nb::arg("max_pdu_length") = 1 << 20, nb::arg("timeout_ms") = 10'000);
}

// The upper layer's protocol data units: A-ASSOCIATE-RQ/AC/RJ, P-DATA-TF, A-RELEASE-RQ/RP and
// A-ABORT, read from and written to their wire form (big-endian lengths, items and sub-items).
//
// Ownership: parsed structures own their text (AE titles and UIDs are copied, with padding removed);
// Pdv::data views the PDU body it was parsed from, which must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dicom_net/net_status.h"

namespace zanthe::dicom_net {

enum class PduType : std::uint8_t {
  associate_rq = 0x01,
  associate_ac = 0x02,
  associate_rj = 0x03,
  p_data_tf = 0x04,
  release_rq = 0x05,
  release_rp = 0x06,
  abort = 0x07,
};

inline constexpr std::size_t kPduHeaderSize = 6;  // type, reserved, 4-byte big-endian length
inline constexpr std::string_view kApplicationContext = "1.2.840.10008.3.1.1.1";
// A UUID-derived UID (PS3.5 B.2): ours without a registered root.
inline constexpr std::string_view kImplementationClassUid = "2.25.289157803688583106025291813101176813489";
inline constexpr std::string_view kImplementationVersion = "ZANTHE_1";

struct PduHeader {
  std::uint8_t type = 0;
  std::uint32_t length = 0;  // of the body after the header
};

// The six header bytes of a PDU.
[[nodiscard]] PduHeader read_pdu_header(const std::uint8_t* bytes) noexcept;

struct PresentationContextRequest {
  std::uint8_t id = 0;  // odd, 1..255
  std::string abstract_syntax;
  std::vector<std::string> transfer_syntaxes;
};

// SCP/SCU Role Selection sub-item (0x54) as proposed or answered.
struct RoleSelection {
  std::string sop_class;
  bool scu = false;
  bool scp = false;
};

struct AssociateRequest {
  std::uint16_t protocol_version = 1;
  std::string called_ae;   // spaces (and NULs, which some peers pad with) removed at both ends
  std::string calling_ae;
  std::string application_context{kApplicationContext};
  std::vector<PresentationContextRequest> contexts;
  std::uint32_t max_pdu_length = 0;  // the largest P-DATA-TF the sender of this PDU receives; 0: no limit
  std::string implementation_class_uid{kImplementationClassUid};
  std::string implementation_version{kImplementationVersion};
  std::vector<RoleSelection> roles;
  std::uint16_t max_operations_invoked = 1;  // Asynchronous Operations Window; 1 when absent
  std::uint16_t max_operations_performed = 1;
};

enum class ContextResult : std::uint8_t {
  acceptance = 0,
  user_rejection = 1,
  no_reason = 2,
  abstract_syntax_not_supported = 3,
  transfer_syntaxes_not_supported = 4,
};

struct PresentationContextAccept {
  std::uint8_t id = 0;
  ContextResult result = ContextResult::acceptance;
  std::string transfer_syntax;  // the one accepted; kept as sent even when the context is refused
};

struct AssociateAccept {
  std::uint16_t protocol_version = 1;
  std::string called_ae;  // as the request had them (the standard asks for them back, not checked)
  std::string calling_ae;
  std::string application_context{kApplicationContext};
  std::vector<PresentationContextAccept> contexts;
  std::uint32_t max_pdu_length = 0;
  std::string implementation_class_uid{kImplementationClassUid};
  std::string implementation_version{kImplementationVersion};
  std::vector<RoleSelection> roles;
};

// A-ASSOCIATE-RJ result, source and reason (PS3.8 9.3.4).
struct AssociateReject {
  std::uint8_t result = 1;  // 1 permanent, 2 transient
  std::uint8_t source = 1;  // 1 service user, 2 service provider (ACSE), 3 service provider (presentation)
  std::uint8_t reason = 1;
};
namespace reject {
inline constexpr AssociateReject kNoReason{1, 1, 1};
inline constexpr AssociateReject kApplicationContextNotSupported{1, 1, 2};
inline constexpr AssociateReject kCallingAeNotRecognized{1, 1, 3};
inline constexpr AssociateReject kCalledAeNotRecognized{1, 1, 7};
inline constexpr AssociateReject kProtocolVersionNotSupported{1, 2, 2};
inline constexpr AssociateReject kLocalLimitExceeded{2, 3, 2};
inline constexpr AssociateReject kTemporaryCongestion{2, 3, 1};
}  // namespace reject

// A-ABORT source and reason (PS3.8 9.3.8): source 0 service user, 2 service provider; the reasons
// count only for the provider.
struct Abort {
  std::uint8_t source = 0;
  std::uint8_t reason = 0;  // 0 not specified, 1 unrecognized PDU, 2 unexpected PDU,
                            // 4 unrecognized PDU parameter, 5 unexpected PDU parameter, 6 invalid PDU parameter
};

// One presentation data value of a P-DATA-TF.
struct Pdv {
  std::uint8_t context_id = 0;
  bool command = false;  // message control header bit 0
  bool last = false;     // bit 1
  std::span<const std::uint8_t> data;
};

// Body parsers: `body` is what follows the six header bytes, exactly `length` of them. On failure
// the offset is into the body. An A-ASSOCIATE-RQ or -AC without version 1 in its protocol version, or
// with another application context, answers unsupported with `out` read whole (so that it can be
// rejected); a missing user information item leaves a maximum length of 0 and empty implementation
// fields. UIDs lose NUL and space padding.
[[nodiscard]] NetStatus parse_associate_request(std::span<const std::uint8_t> body, AssociateRequest& out);
[[nodiscard]] NetStatus parse_associate_accept(std::span<const std::uint8_t> body, AssociateAccept& out);
[[nodiscard]] NetStatus parse_associate_reject(std::span<const std::uint8_t> body, AssociateReject& out);
[[nodiscard]] NetStatus parse_abort(std::span<const std::uint8_t> body, Abort& out);
// Appends every PDV of the body to `out` (cleared first); every PDV must lie inside the body, have a
// length of at least 2 (context ID and control header) and an odd context ID; a body without any
// PDV is malformed.
[[nodiscard]] NetStatus parse_p_data(std::span<const std::uint8_t> body, std::vector<Pdv>& out);

// Whole PDUs, header included. AE titles longer than 16 bytes are cut; shorter ones padded with spaces.
// The maximum length sub-item is always written; the implementation class UID and version name when
// not empty, the asynchronous operations window (requests only) when not 1/1, an abstract syntax
// sub-item when not empty. Sub-items that would carry an item past its 2-byte length are left out.
[[nodiscard]] std::vector<std::uint8_t> build_associate_request(const AssociateRequest& request);
[[nodiscard]] std::vector<std::uint8_t> build_associate_accept(const AssociateAccept& accept);
[[nodiscard]] std::vector<std::uint8_t> build_associate_reject(const AssociateReject& reject);
[[nodiscard]] std::vector<std::uint8_t> build_release_request();
[[nodiscard]] std::vector<std::uint8_t> build_release_response();
[[nodiscard]] std::vector<std::uint8_t> build_abort(const Abort& abort);

// The 12 bytes in front of a P-DATA-TF carrying one PDV of `data_length` bytes: PDU header, PDV
// length, context ID and message control header. The caller sends them and the data in one write.
// `data_length` is at most 0xFFFFFFFF - 6 (the PDU length counts 6 bytes more).
inline constexpr std::size_t kPDataOverhead = 12;
void write_p_data_header(std::uint8_t* out, std::uint8_t context_id, bool command, bool last,
                         std::uint32_t data_length) noexcept;

}  // namespace zanthe::dicom_net

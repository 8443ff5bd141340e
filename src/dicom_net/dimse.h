// DIMSE command sets: group 0000 elements in Implicit VR Little Endian, read from the command PDVs
// of a message and written for the requests and responses zanthe sends (PS3.7 section 9 and Annex E).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dicom_net/net_status.h"

namespace zanthe::dicom_net {

namespace command_field {
inline constexpr std::uint16_t kCStoreRq = 0x0001;
inline constexpr std::uint16_t kCStoreRsp = 0x8001;
inline constexpr std::uint16_t kCFindRq = 0x0020;
inline constexpr std::uint16_t kCFindRsp = 0x8020;
inline constexpr std::uint16_t kCEchoRq = 0x0030;
inline constexpr std::uint16_t kCEchoRsp = 0x8030;
inline constexpr std::uint16_t kCCancelRq = 0x0FFF;
}  // namespace command_field

// Command Data Set Type (0000,0800): this value means no dataset follows; any other means one does.
inline constexpr std::uint16_t kNoDataSet = 0x0101;
inline constexpr std::uint16_t kDataSetPresent = 0x0000;

namespace status {
inline constexpr std::uint16_t kSuccess = 0x0000;
inline constexpr std::uint16_t kCancel = 0xFE00;
inline constexpr std::uint16_t kPending = 0xFF00;
inline constexpr std::uint16_t kPendingWarning = 0xFF01;  // C-FIND: optional keys not supported
inline constexpr std::uint16_t kOutOfResources = 0xA700;
inline constexpr std::uint16_t kFindOutOfResources = 0xA700;
inline constexpr std::uint16_t kDataSetDoesNotMatchSopClass = 0xA900;
inline constexpr std::uint16_t kCannotUnderstand = 0xC000;
inline constexpr std::uint16_t kUnableToProcess = 0xC000;  // C-FIND's name for the same code
inline constexpr std::uint16_t kSopClassNotSupported = 0x0122;
inline constexpr std::uint16_t kUnrecognizedOperation = 0x0211;
inline constexpr std::uint16_t kIdentifierDoesNotMatchSopClass = 0xA900;
}  // namespace status

// The elements zanthe reads or writes. Absent elements stay empty (text) or nullopt (numbers).
struct Command {
  std::uint16_t command_field = 0;                      // (0000,0100)
  std::string affected_sop_class;                       // (0000,0002)
  std::optional<std::uint16_t> message_id;              // (0000,0110)
  std::optional<std::uint16_t> message_id_responded;    // (0000,0120)
  std::string move_destination;                         // (0000,0600)
  std::optional<std::uint16_t> priority;                // (0000,0700)
  std::uint16_t data_set_type = kNoDataSet;             // (0000,0800)
  std::optional<std::uint16_t> status;                  // (0000,0900)
  std::string error_comment;                            // (0000,0902)
  std::string affected_sop_instance;                    // (0000,1000)
  std::string move_originator_ae;                       // (0000,1030)
  std::optional<std::uint16_t> move_originator_id;      // (0000,1031)

  [[nodiscard]] bool has_data_set() const noexcept { return data_set_type != kNoDataSet; }
};

// Reads a whole command set (the command PDVs of one message, joined). Elements of group 0000 that
// zanthe does not use are skipped; an element that overruns the bytes, or one outside group 0000, is
// malformed; no Command Field is malformed too. Text values lose their padding (trailing spaces and
// NULs, leading spaces).
[[nodiscard]] NetStatus parse_command(std::span<const std::uint8_t> bytes, Command& out);

// The command set with its Command Group Length first, then every element that is set, in tag order
// (text padded to an even length: UIDs with a NUL, other text with a space).
[[nodiscard]] std::vector<std::uint8_t> encode_command(const Command& command);

// The usual shapes.
[[nodiscard]] Command echo_request(std::uint16_t message_id);
[[nodiscard]] Command echo_response(const Command& request, std::uint16_t status);
[[nodiscard]] Command store_request(std::uint16_t message_id, std::string sop_class, std::string sop_instance,
                                    std::uint16_t priority = 0);
[[nodiscard]] Command store_response(const Command& request, std::uint16_t status, std::string error_comment = {});
[[nodiscard]] Command find_response(const Command& request, std::uint16_t status, bool with_identifier);

}  // namespace zanthe::dicom_net

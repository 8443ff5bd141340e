// The ER7 acknowledgment (ACK) of a received message, and the error conditions it names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "hl7/er7_parser.h"
#include "hl7/status.h"

namespace zanthe::hl7 {

// HL7 table 0357, message error condition: the codes ERR-3 carries.
namespace condition {
inline constexpr std::string_view kMessageAccepted = "0";
inline constexpr std::string_view kSegmentSequenceError = "100";
inline constexpr std::string_view kRequiredFieldMissing = "101";
inline constexpr std::string_view kDataTypeError = "102";
inline constexpr std::string_view kTableValueNotFound = "103";
inline constexpr std::string_view kUnsupportedMessageType = "200";
inline constexpr std::string_view kUnsupportedEventCode = "201";
inline constexpr std::string_view kUnsupportedProcessingId = "202";
inline constexpr std::string_view kUnsupportedVersionId = "203";
inline constexpr std::string_view kUnknownKeyIdentifier = "204";
inline constexpr std::string_view kDuplicateKeyIdentifier = "205";
inline constexpr std::string_view kApplicationRecordLocked = "206";
inline constexpr std::string_view kApplicationInternalError = "207";
}  // namespace condition

enum class AckCode : std::uint8_t { accept = 0, error = 1, reject = 2 };

// "AA", "AE" or "AR".
[[nodiscard]] std::string_view ack_code_text(AckCode code) noexcept;
// The code of "AA", "AE" or "AR"; unknown_ack_code for any other text.
[[nodiscard]] Result<AckCode> ack_code_from(std::string_view text);

struct AckRequest {
  std::string_view message;     // the received message, parseable or not
  AckCode code = AckCode::accept;
  std::string_view text;        // MSA-3 and the ERR user message; empty for none
  std::string_view error_code;  // ERR-3, a condition:: code; no ERR segment when empty
  std::string_view control_id;  // MSH-10 of the acknowledgment itself
  std::string_view timestamp;   // MSH-7 of the acknowledgment
};

// MSH (sender and receiver swapped, the received version, processing ID and character set), MSA
// and, with an error code, ERR; each segment ended by CR. Written with the message's own delimiters
// so that mirrored fields keep their meaning; with the standard ones when it has no readable header.
[[nodiscard]] std::string build_ack(const AckRequest& request);

// The description HL7 table 0357 gives a code (condition::kApplicationInternalError -> "Application
// internal error"); empty for a code not in it.
[[nodiscard]] std::string_view error_code_description(std::string_view code) noexcept;

// A control ID unique within this process and unlikely to repeat across restarts: the start time
// and a counter, in base 36, at most 20 characters. Safe to call from any thread.
[[nodiscard]] std::string fresh_control_id();

// An HL7 DTM of the current time in UTC, to the millisecond: "20240101120000.123+0000".
[[nodiscard]] std::string current_timestamp();

}  // namespace zanthe::hl7

// Message headers read leniently, and the ER7 acknowledgment (ACK) of a received message.
//
// The header reader looks only at the first line, so it also serves messages that the full parser
// refuses: an acknowledgment must mirror whatever header the sender wrote.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "hl7/er7_parser.h"

namespace zanthe::hl7 {

// The MSH fields an acknowledgment or a journal needs, as raw views into the message.
struct MessageHeader {
  Delimiters delimiters;
  std::string_view encoding_characters;    // MSH-2, the four characters after the field separator
  std::string_view sending_application;    // MSH-3
  std::string_view sending_facility;       // MSH-4
  std::string_view receiving_application;  // MSH-5
  std::string_view receiving_facility;     // MSH-6
  std::string_view message_type;           // MSH-9
  std::string_view control_id;             // MSH-10
  std::string_view processing_id;          // MSH-11
  std::string_view version;                // MSH-12
  std::string_view character_set;          // MSH-18, first repetition
};

// The header of a message starting "MSH" with valid delimiters; nullopt otherwise.
[[nodiscard]] std::optional<MessageHeader> read_header(std::string_view message);

enum class AckCode : std::uint8_t { accept = 0, error = 1, reject = 2 };

// "AA", "AE" or "AR".
[[nodiscard]] std::string_view ack_code_text(AckCode code) noexcept;
[[nodiscard]] std::optional<AckCode> ack_code_from(std::string_view text) noexcept;

struct AckRequest {
  std::string_view message;     // the received message, parseable or not
  AckCode code = AckCode::accept;
  std::string_view text;        // MSA-3 and the ERR user message; empty for none
  std::string_view error_code;  // ERR-3 code from HL7 table 0357; no ERR segment when empty
  std::string_view control_id;  // MSH-10 of the acknowledgment itself
  std::string_view timestamp;   // MSH-7 of the acknowledgment
};

// MSH (sender and receiver swapped, the received version, processing ID and character set), MSA
// and, with an error code, ERR; each segment ended by CR. Written with the message's own delimiters
// so that mirrored fields keep their meaning; with the standard ones when it has no readable header.
[[nodiscard]] std::string build_ack(const AckRequest& request);

// The description HL7 table 0357 gives a code ("207" -> "Application internal error").
[[nodiscard]] std::string_view error_code_description(std::string_view code) noexcept;

// A control ID unique within this process and unlikely to repeat across restarts: the start time
// and a counter, in base 36, at most 20 characters. Safe to call from any thread.
[[nodiscard]] std::string fresh_control_id();

// An HL7 DTM of the current time in UTC, to the millisecond: "20240101120000.123+0000".
[[nodiscard]] std::string current_timestamp();

}  // namespace zanthe::hl7

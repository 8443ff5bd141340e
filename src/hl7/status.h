// How the HL7 engine reports failure: one shape for every part of it.
//
// A function that can fail returns a Status, or a Result<T> holding either its value or a Status.
// A Status is a code from ErrorCode (ok, 0, for success), a detail text for people and, where the
// failure has a place, the byte offset of that place; a failure the operating system reported also
// carries its errno. Nothing here throws for bad input or a refused system call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace zanthe::hl7 {

// Why the parser refused a message. The numbers and the names are fixed; the names are what callers
// report. These are also ErrorCode's codes 1 to 6.
enum class ParseError : std::uint8_t {
  empty = 1,                // the text has no bytes
  no_msh = 2,               // it does not begin with "MSH"
  msh_too_short = 3,        // it begins with "MSH" but has fewer than 8 bytes
  bad_delimiters = 4,       // MSH-1 and MSH-2 are not five distinct printable bytes
  unsupported_version = 5,  // MSH-12 is not a supported version
  bad_segment_id = 6,       // a segment does not start with a valid ID
};

// "empty" … "bad_segment_id"; "unknown" for any other number.
[[nodiscard]] std::string_view error_name(ParseError code) noexcept;

// Every failure the engine reports, with what the detail and offset of each hold.
enum class ErrorCode : std::uint8_t {
  ok = 0,
  // A refused message text (parse_message, read_header): ParseError's codes, detail its name.
  empty = 1,
  no_msh = 2,
  msh_too_short = 3,
  bad_delimiters = 4,             // offset: the field separator's
  unsupported_version = 5,
  bad_segment_id = 6,             // offset: the segment's first byte
  // Text that does not fit the character set MSH-18 declares (check_text); detail: the
  // acknowledgment text that says so.
  unsupported_character_set = 7,  // the engine has no table for the declared set
  invalid_text = 8,               // offset: the first byte that is not text in it
  unknown_ack_code = 9,           // an acknowledgment code other than AA, AE and AR
  oversize_frame = 10,            // an MLLP frame past the reader's limit
  torn_record = 11,               // offset: where the journal stops holding whole, valid records
  // The operating system refused a step (journal, sockets, event loop): detail names the step,
  // os_error holds errno.
  system_error = 12,
};

struct Status {
  ErrorCode code = ErrorCode::ok;
  std::string detail;
  std::uint64_t offset = 0;  // for the codes documented with one; 0 otherwise
  int os_error = 0;          // errno, for system_error only

  [[nodiscard]] bool ok() const noexcept { return code == ErrorCode::ok; }
};

[[nodiscard]] Status failure(ErrorCode code, std::string detail, std::uint64_t offset = 0);
// A refused message: the parser's code, named in the detail.
[[nodiscard]] Status refusal(ParseError code, std::uint64_t offset = 0);
// The step that failed, as the caller words it ("cannot open the journal"), and errno.
[[nodiscard]] Status system_failure(std::string step, int os_error);
// The same with the errno the last failed call left, read before anything else can change it.
[[nodiscard]] Status errno_failure(std::string_view step);

// Either a T or the Status of why there is none.
template <class T>
class Result {
 public:
  // Implicit both ways, so a function returns its value or its failure as it is; a Status given
  // here is never ok.
  Result(T value) : value_(std::in_place_index<0>, std::move(value)) {}
  Result(Status failed) : value_(std::in_place_index<1>, std::move(failed)) {}

  [[nodiscard]] bool ok() const noexcept { return value_.index() == 0; }
  [[nodiscard]] const T& value() const& { return std::get<0>(value_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(value_)); }
  // The failure, or a Status of ok when there is a value.
  [[nodiscard]] const Status& status() const noexcept {
    static const Status kSucceeded;
    return ok() ? kSucceeded : *std::get_if<1>(&value_);
  }

 private:
  std::variant<T, Status> value_;
};

}  // namespace zanthe::hl7

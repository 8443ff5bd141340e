#include "hl7/status.h"

#include <cerrno>

namespace zanthe::hl7 {

// ErrorCode repeats ParseError's numbers so a refused message keeps its code everywhere.
static_assert(static_cast<int>(ErrorCode::empty) == static_cast<int>(ParseError::empty));
static_assert(static_cast<int>(ErrorCode::no_msh) == static_cast<int>(ParseError::no_msh));
static_assert(static_cast<int>(ErrorCode::msh_too_short) == static_cast<int>(ParseError::msh_too_short));
static_assert(static_cast<int>(ErrorCode::bad_delimiters) == static_cast<int>(ParseError::bad_delimiters));
static_assert(static_cast<int>(ErrorCode::unsupported_version) == static_cast<int>(ParseError::unsupported_version));
static_assert(static_cast<int>(ErrorCode::bad_segment_id) == static_cast<int>(ParseError::bad_segment_id));

std::string_view error_name(ParseError code) noexcept {
  switch (code) {
    case ParseError::empty: return "empty";
    case ParseError::no_msh: return "no_msh";
    case ParseError::msh_too_short: return "msh_too_short";
    case ParseError::bad_delimiters: return "bad_delimiters";
    case ParseError::unsupported_version: return "unsupported_version";
    case ParseError::bad_segment_id: return "bad_segment_id";
  }
  return "unknown";
}

Status failure(ErrorCode code, std::string detail, std::uint64_t offset) {
  return Status{code, std::move(detail), offset, 0};
}

Status refusal(ParseError code, std::uint64_t offset) {
  return failure(static_cast<ErrorCode>(code), std::string(error_name(code)), offset);
}

Status system_failure(std::string step, int os_error) {
  return Status{ErrorCode::system_error, std::move(step), 0, os_error};
}

Status errno_failure(std::string_view step) {
  const int os_error = errno;
  return system_failure(std::string(step), os_error);
}

}  // namespace zanthe::hl7

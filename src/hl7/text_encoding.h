// Whether a message's bytes are valid text in the character set its MSH-18 declares.
#pragma once

#include <cstdint>
#include <string_view>

namespace zanthe::hl7 {

enum class TextCheck : std::uint8_t { valid, invalid, unsupported };

// MSH-18 "ASCII", "8859/1" to "8859/9", "8859/15" and "UNICODE UTF-8" are known; an empty value
// means UTF-8. Any other value is unsupported.
[[nodiscard]] TextCheck check_text(std::string_view bytes, std::string_view character_set);

}  // namespace zanthe::hl7

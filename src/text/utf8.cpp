#include "text/utf8.h"

#include <cstdint>

namespace zanthe::text {

std::size_t utf8_sequence_length(std::string_view bytes, std::size_t at) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(at);
  if (lead < 0x80) return 1;
  // The lead byte fixes the length and the range of the first continuation byte, which is what rules
  // out overlong forms, surrogates and code points past U+10FFFF.
  std::size_t length = 0;
  std::uint8_t second_min = 0x80, second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return 0;
  }
  if (length > bytes.size() - at) return 0;
  if (byte(at + 1) < second_min || byte(at + 1) > second_max) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t at = 0;
  while (at < bytes.size()) {
    // Runs of ASCII, the common case, need no sequence decoding.
    if (static_cast<std::uint8_t>(bytes[at]) < 0x80) {
      ++at;
      continue;
    }
    const std::size_t length = utf8_sequence_length(bytes, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

}  // namespace zanthe::text

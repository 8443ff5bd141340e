// Little-endian reads for the DICOM reader; callers check the bounds first.
#pragma once

#include <cstdint>

namespace zanthe::dicom {

[[nodiscard]] inline std::uint16_t read_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

[[nodiscard]] inline std::uint32_t read_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A tag as stored: group word then element word.
[[nodiscard]] inline std::uint32_t read_tag(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(read_u16(p)) << 16) | read_u16(p + 2);
}

[[nodiscard]] inline bool is_capital(std::uint8_t b) { return b >= 'A' && b <= 'Z'; }

}  // namespace zanthe::dicom

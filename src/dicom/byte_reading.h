// Fixed-width reads for the DICOM reader; callers check the bounds first.
//
// Byte order lives here and nowhere else: the element walks are templates over `WordReader<Order>`,
// picked once per dataset, so the little-endian walk carries no test of the order per read.
// VR letters are not numbers and are never swapped: `read_vr` reads them first letter low in both orders.
#pragma once

#include <cstdint>

#include "dicom/part10_reader.h"

namespace zanthe::dicom {

[[nodiscard]] inline std::uint16_t read_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

[[nodiscard]] inline std::uint32_t read_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

[[nodiscard]] inline std::uint16_t read_u16_big(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

[[nodiscard]] inline std::uint32_t read_u32_big(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

// A tag as stored in little endian: group word then element word.
[[nodiscard]] inline std::uint32_t read_tag(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(read_u16(p)) << 16) | read_u16(p + 2);
}

// The two VR letters as a VrCode, whatever the dataset's byte order.
[[nodiscard]] inline VrCode read_vr(const std::uint8_t* p) { return read_u16(p); }

// The numeric reads of one byte order. A big-endian tag is also group word then element word, each
// word big endian, so the four bytes read as one big-endian 32-bit number.
template <ByteOrder Order>
struct WordReader;

template <>
struct WordReader<ByteOrder::little_endian> {
  [[nodiscard]] static std::uint16_t u16(const std::uint8_t* p) { return read_u16(p); }
  [[nodiscard]] static std::uint32_t u32(const std::uint8_t* p) { return read_u32(p); }
  [[nodiscard]] static std::uint32_t tag(const std::uint8_t* p) { return read_tag(p); }
};

template <>
struct WordReader<ByteOrder::big_endian> {
  [[nodiscard]] static std::uint16_t u16(const std::uint8_t* p) { return read_u16_big(p); }
  [[nodiscard]] static std::uint32_t u32(const std::uint8_t* p) { return read_u32_big(p); }
  [[nodiscard]] static std::uint32_t tag(const std::uint8_t* p) { return read_u32_big(p); }
};

[[nodiscard]] inline bool is_capital(std::uint8_t b) { return b >= 'A' && b <= 'Z'; }

}  // namespace zanthe::dicom

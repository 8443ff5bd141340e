// Fixed-width little-endian writes, the counterpart of byte_reading.h, for whatever builds DICOM
// bytes (file meta groups, command sets, query answers) into a byte container.
#pragma once

#include <cstdint>

namespace zanthe::dicom {

template <typename Bytes>
void append_u16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<typename Bytes::value_type>(value & 0xFF));
  out.push_back(static_cast<typename Bytes::value_type>(value >> 8));
}

template <typename Bytes>
void append_u32(Bytes& out, std::uint32_t value) {
  append_u16(out, static_cast<std::uint16_t>(value & 0xFFFF));
  append_u16(out, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace zanthe::dicom

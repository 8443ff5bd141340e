// How the pixel engine's reads and renderings end: one code and a fixed text naming the cause.
#pragma once

#include <cstdint>
#include <string>

namespace zanthe::pixels {

enum class PixelCode : std::uint8_t {
  ok = 0,
  not_dicom = 1,                     // the bytes are no DICOM dataset the reader recognises
  no_pixel_data = 2,                 // the dataset has no Pixel Data (or Float/Double Float Pixel Data)
  bad_attributes = 3,                // Rows, Columns, Bits Allocated ... missing, zero or inconsistent
  frame_out_of_range = 4,            // the frame asked for is not in the data
  truncated = 5,                     // the pixel data end before the frame does
  unsupported_transfer_syntax = 6,   // no decoder reads this transfer syntax
  decode_failed = 7,                 // a decoder refused the frame's bytes
  too_large = 8,                     // the frame's size overflows or exceeds what the data justify
  encode_failed = 9,                 // PNG output failed
};

struct PixelStatus {
  PixelCode code = PixelCode::ok;
  std::string detail;  // for people: what was wrong, with the values involved
  [[nodiscard]] bool ok() const { return code == PixelCode::ok; }
};

[[nodiscard]] const char* pixel_code_name(PixelCode code);

}  // namespace zanthe::pixels

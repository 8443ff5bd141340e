// What the codecs share: the checks of a stream's header against the attributes, the output
// container, and writing decoded samples into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pixels/frame.h"
#include "pixels/pixel_status.h"

namespace zanthe::pixels::codec {

// A decoded frame above this many bytes is refused whatever the attributes say.
inline constexpr std::size_t max_frame_bytes = std::size_t{1} << 30;

[[nodiscard]] PixelStatus failure(PixelCode code, std::string detail);

// too_large unless the stream's size and component count equal Rows, Columns and Samples per Pixel.
[[nodiscard]] PixelStatus check_geometry(const char* codec, std::uint64_t columns, std::uint64_t rows,
                                         std::uint64_t components, const ImagePixel& image);
// decode_failed when the stream's precision does not fit Bits Allocated.
[[nodiscard]] PixelStatus check_precision(const char* codec, unsigned precision, const ImagePixel& image);

// Sizes `out` for one frame of `image` (type, bytes zeroed, attributes copied); too_large when the
// size overflows or exceeds max_frame_bytes.
[[nodiscard]] PixelStatus prepare_frame(const ImagePixel& image, Frame& out);

[[nodiscard]] inline std::int64_t sign_extend(std::uint64_t value, unsigned bits) {
  if (bits == 0 || bits >= 64) return static_cast<std::int64_t>(value);
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  value &= mask;
  const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
  return static_cast<std::int64_t>(value ^ sign) - static_cast<std::int64_t>(sign);
}

// Stores `value` as sample `index` of `out` (its container type, native byte order).
void store_sample(Frame& out, std::size_t index, std::int64_t value);

}  // namespace zanthe::pixels::codec

namespace zanthe::pixels::codec {

// The frame header (SOFn) of a JPEG or JPEG-LS stream, found by walking its marker segments.
struct JpegFrameHeader {
  std::uint8_t marker = 0;  // 0xC0..0xCF but 0xC4/0xC8/0xCC, or 0xF7 (JPEG-LS)
  unsigned precision = 0;
  std::uint32_t rows = 0, columns = 0, components = 0;
};

// Fills `header` from the first SOFn of `bytes`; decode_failed naming what is malformed.
[[nodiscard]] PixelStatus read_jpeg_frame_header(const std::uint8_t* bytes, std::size_t size,
                                                 JpegFrameHeader& header);

}  // namespace zanthe::pixels::codec

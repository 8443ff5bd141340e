// Native (uncompressed) frames: their sizes and their unpacking to stored values.
#pragma once

#include "pixels/frame.h"

namespace zanthe::pixels {

// rows x columns x samples: the values of one decoded frame (sizes are checked by check_frame_size).
[[nodiscard]] std::size_t frame_value_count(const ImagePixel& image);

// too_large when one frame's values, or all frames' native bytes, overflow or pass what is ever read.
[[nodiscard]] PixelStatus check_frame_size(const ImagePixel& image);

// Native pixel data: the bytes, their byte order, and whether the VR is OW (8-bit samples in big-endian
// OW words are stored swapped within each word).
struct NativeData {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  bool big_endian = false;
  bool ow_words = false;
};

// Frame `index` of native pixel data, checked against the data's length before anything is allocated.
PixelStatus unpack_native_frame(const ImagePixel& image, const NativeData& native, std::uint32_t index, Frame& out);

// The same over a file's Pixel Data.
PixelStatus read_native_frame(const DicomImage& image, std::uint32_t index, Frame& out);

}  // namespace zanthe::pixels

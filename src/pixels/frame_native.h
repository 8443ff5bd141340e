// Native (uncompressed) frames: their sizes and their unpacking to stored values.
#pragma once

#include "pixels/frame.h"

namespace zanthe::pixels {

// rows x columns x samples: the values of one decoded frame (sizes are checked by check_frame_size).
[[nodiscard]] std::size_t frame_value_count(const ImagePixel& image);

// too_large when one frame's values, or all frames' native bytes, overflow or pass what is ever read.
[[nodiscard]] PixelStatus check_frame_size(const ImagePixel& image);

// Frame `index` of native pixel data, checked against the data's length before anything is allocated.
PixelStatus read_native_frame(const DicomImage& image, std::uint32_t index, Frame& out);

}  // namespace zanthe::pixels

// RLE Lossless (1.2.840.10008.1.2.5): one frame's segments of PackBits runs, one segment per byte of
// each sample, most significant byte first.
#pragma once

#include <span>

#include "pixels/frame.h"

namespace zanthe::pixels {

// Decodes one frame into out.bytes as interleaved samples of out.type (set by the caller) in native
// byte order. decode_failed with the segment involved when the header or a segment is malformed.
PixelStatus decode_rle_frame(std::span<const std::uint8_t> frame_bytes, const ImagePixel& image, Frame& out);

}  // namespace zanthe::pixels

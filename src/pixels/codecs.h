// The decoders of encapsulated frames. Each takes one frame's bytes (its fragments joined) and the
// Image Pixel attributes, checks the stream's own header against those attributes before it
// allocates anything, and fills `out` with stored values: interleaved, native byte order.
#pragma once

#include <cstdint>
#include <span>

#include "pixels/frame.h"
#include "pixels/pixel_status.h"

namespace zanthe::pixels {

// JPEG Baseline (.50) and Extended (.51) through libjpeg-turbo; 12-bit streams are not supported.
PixelStatus decode_jpeg_baseline(std::span<const std::uint8_t> bytes, const ImagePixel& image, Frame& out);
// JPEG Lossless, process 14 (.57) and its first-order prediction (.70): our own decoder.
PixelStatus decode_jpeg_lossless(std::span<const std::uint8_t> bytes, const ImagePixel& image, Frame& out);
// JPEG-LS lossless and near-lossless (.80/.81) through CharLS.
PixelStatus decode_jpeg_ls(std::span<const std::uint8_t> bytes, const ImagePixel& image, Frame& out);
// JPEG 2000 (.90/.91) and High-Throughput JPEG 2000 (.201/.202/.203) through OpenJPEG; J2K
// codestreams and JP2 files alike.
PixelStatus decode_jpeg_2000(std::span<const std::uint8_t> bytes, const ImagePixel& image, Frame& out);

}  // namespace zanthe::pixels

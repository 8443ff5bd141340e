// RLE Lossless decoding. The header is 16 little-endian 32-bit words: the segment count (at most 15)
// and each segment's offset from the start of the frame. Every segment must decode to exactly one
// byte per pixel; runs past that are cut, as the standard allows a padding byte.
#include "pixels/rle_decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

#include "dicom/byte_reading.h"

namespace zanthe::pixels {
namespace {

constexpr std::size_t kHeaderSize = 64;
constexpr std::uint32_t kMaxSegments = 15;

PixelStatus failed(std::string detail) { return {PixelCode::decode_failed, std::move(detail)}; }

// One PackBits segment into `out` (exactly out.size() bytes); false when the segment ends first.
bool unpack_segment(std::span<const std::uint8_t> segment, std::span<std::uint8_t> out) {
  std::size_t in = 0;
  std::size_t produced = 0;
  while (produced < out.size() && in < segment.size()) {
    const std::uint8_t header = segment[in++];
    if (header < 128) {
      const std::size_t count = std::min<std::size_t>(header + 1u, out.size() - produced);
      if (segment.size() - in < count) return false;
      std::memcpy(out.data() + produced, segment.data() + in, count);
      in += header + 1u;
      produced += count;
    } else if (header > 128) {
      if (in == segment.size()) return false;
      const std::size_t count = std::min<std::size_t>(257u - header, out.size() - produced);
      std::memset(out.data() + produced, segment[in++], count);
      produced += count;
    }
  }
  return produced == out.size();
}

}  // namespace

PixelStatus decode_rle_frame(std::span<const std::uint8_t> frame_bytes, const ImagePixel& image, Frame& out) {
  const std::size_t bytes_per_sample = sample_size(out.type);
  if (image.bits_allocated != 8 && image.bits_allocated != 16 && image.bits_allocated != 32) {
    return {PixelCode::bad_attributes,
            "RLE Lossless needs Bits Allocated 8, 16 or 32, not " + std::to_string(image.bits_allocated)};
  }
  const std::size_t pixels = std::size_t{image.rows} * image.columns;  // checked against overflow by the caller
  const std::size_t samples = image.samples_per_pixel;
  const std::size_t expected_segments = samples * bytes_per_sample;
  if (frame_bytes.size() < kHeaderSize) {
    return failed("the RLE header needs 64 bytes, the frame has " + std::to_string(frame_bytes.size()));
  }
  const std::uint32_t segment_count = dicom::read_u32(frame_bytes.data());
  if (segment_count > kMaxSegments || segment_count != expected_segments) {
    return failed("the RLE header gives " + std::to_string(segment_count) + " segments, the image needs " +
                  std::to_string(expected_segments));
  }
  std::array<std::size_t, kMaxSegments + 1> offsets{};
  for (std::uint32_t i = 0; i < segment_count; ++i) {
    offsets[i] = dicom::read_u32(frame_bytes.data() + 4 + 4 * i);
    const std::size_t floor = i == 0 ? kHeaderSize : offsets[i - 1];
    if (offsets[i] < floor || offsets[i] > frame_bytes.size()) {
      return failed("RLE segment " + std::to_string(i + 1) + " starts at offset " + std::to_string(offsets[i]) +
                    ", outside the frame of " + std::to_string(frame_bytes.size()) + " bytes");
    }
  }
  offsets[segment_count] = frame_bytes.size();
  // A two-byte run gives at most 128 bytes: a segment shorter than that allows cannot fill its plane,
  // and nothing is allocated for it.
  for (std::uint32_t i = 0; i < segment_count; ++i) {
    const std::size_t length = offsets[i + 1] - offsets[i];
    if (length < (pixels + 127) / 128 * 2) {
      return failed("RLE segment " + std::to_string(i + 1) + " of " + std::to_string(length) +
                    " bytes cannot decode to " + std::to_string(pixels) + " bytes");
    }
  }

  out.bytes.assign(pixels * expected_segments, 0);
  std::vector<std::uint8_t> plane(pixels);
  for (std::uint32_t segment = 0; segment < segment_count; ++segment) {
    const auto input = frame_bytes.subspan(offsets[segment], offsets[segment + 1] - offsets[segment]);
    if (!unpack_segment(input, plane)) {
      return failed("RLE segment " + std::to_string(segment + 1) + " ends before its " + std::to_string(pixels) +
                    " bytes");
    }
    // Segment s is byte (s % bytes_per_sample) of sample (s / bytes_per_sample), most significant first.
    const std::size_t sample = segment / bytes_per_sample;
    const std::size_t significance = bytes_per_sample - 1 - segment % bytes_per_sample;
    const std::size_t byte_in_sample =
        std::endian::native == std::endian::little ? significance : bytes_per_sample - 1 - significance;
    std::uint8_t* target = out.bytes.data() + sample * bytes_per_sample + byte_in_sample;
    const std::size_t stride = expected_segments;
    for (std::size_t p = 0; p < pixels; ++p) target[p * stride] = plane[p];
  }
  return {};
}

}  // namespace zanthe::pixels

#include "pixels/codec_support.h"

#include <cstring>

namespace zanthe::pixels::codec {

PixelStatus failure(PixelCode code, std::string detail) { return PixelStatus{code, std::move(detail)}; }

PixelStatus check_geometry(const char* codec, std::uint64_t columns, std::uint64_t rows, std::uint64_t components,
                           const ImagePixel& image) {
  if (columns == image.columns && rows == image.rows && components == image.samples_per_pixel) return {};
  return failure(PixelCode::too_large,
                 std::string(codec) + " stream is " + std::to_string(columns) + "x" + std::to_string(rows) + " with " +
                     std::to_string(components) + " components, but Columns x Rows is " +
                     std::to_string(image.columns) + "x" + std::to_string(image.rows) + " with " +
                     std::to_string(image.samples_per_pixel) + " samples per pixel");
}

PixelStatus check_precision(const char* codec, unsigned precision, const ImagePixel& image) {
  const unsigned allocated = image.bits_allocated <= 8 ? 8u : image.bits_allocated <= 16 ? 16u : 32u;
  if (precision >= 1 && precision <= allocated && image.bits_allocated <= 32) return {};
  return failure(PixelCode::decode_failed, std::string(codec) + " stream has " + std::to_string(precision) +
                                               "-bit samples, which do not fit Bits Allocated " +
                                               std::to_string(image.bits_allocated));
}

PixelStatus prepare_frame(const ImagePixel& image, Frame& out) {
  if (image.bits_allocated == 0 || image.bits_allocated > 32)
    return failure(PixelCode::bad_attributes, "Bits Allocated " + std::to_string(image.bits_allocated) +
                                                  " cannot hold decoded samples");
  const SampleType type = sample_type_of(image);
  std::uint64_t size = sample_size(type);
  for (const std::uint64_t factor : {std::uint64_t{image.rows}, std::uint64_t{image.columns},
                                     std::uint64_t{image.samples_per_pixel}}) {
    if (factor == 0) return failure(PixelCode::bad_attributes, "Rows, Columns and Samples per Pixel must not be 0");
    if (size > max_frame_bytes / factor) size = max_frame_bytes + 1;
    else size *= factor;
  }
  if (size > max_frame_bytes)
    return failure(PixelCode::too_large, "a frame of " + std::to_string(image.columns) + "x" +
                                             std::to_string(image.rows) + "x" +
                                             std::to_string(image.samples_per_pixel) +
                                             " samples exceeds the decoder's limit");
  out.image = image;
  out.type = type;
  out.photometric_after_decoding.clear();
  out.bytes.assign(static_cast<std::size_t>(size), 0);
  return {};
}

void store_sample(Frame& out, std::size_t index, std::int64_t value) {
  switch (sample_size(out.type)) {
    case 1: out.bytes[index] = static_cast<std::uint8_t>(value); break;
    case 2: {
      const auto v = static_cast<std::uint16_t>(value);
      std::memcpy(out.bytes.data() + index * 2, &v, 2);
      break;
    }
    default: {
      const auto v = static_cast<std::uint32_t>(value);
      std::memcpy(out.bytes.data() + index * 4, &v, 4);
      break;
    }
  }
}

}  // namespace zanthe::pixels::codec

namespace zanthe::pixels::codec {

namespace {

bool is_frame_marker(std::uint8_t marker) {
  return (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) ||
         marker == 0xF7;
}

}  // namespace

PixelStatus read_jpeg_frame_header(const std::uint8_t* bytes, std::size_t size, JpegFrameHeader& header) {
  if (size < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8)
    return failure(PixelCode::decode_failed, "the frame does not start with a JPEG SOI marker");
  std::size_t at = 2;
  while (at + 4 <= size) {
    if (bytes[at] != 0xFF) return failure(PixelCode::decode_failed, "JPEG marker expected at byte " + std::to_string(at));
    const std::uint8_t marker = bytes[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) break;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      at += 2;
      continue;
    }
    const std::size_t length = (std::size_t{bytes[at + 2]} << 8) | bytes[at + 3];
    if (length < 2 || at + 2 + length > size)
      return failure(PixelCode::decode_failed, "JPEG marker segment overruns the frame at byte " + std::to_string(at));
    if (is_frame_marker(marker)) {
      if (length < 8) return failure(PixelCode::decode_failed, "JPEG frame header is too short");
      const std::uint8_t* p = bytes + at + 4;
      header.marker = marker;
      header.precision = p[0];
      header.rows = (std::uint32_t{p[1]} << 8) | p[2];
      header.columns = (std::uint32_t{p[3]} << 8) | p[4];
      header.components = p[5];
      return {};
    }
    at += 2 + length;
  }
  return failure(PixelCode::decode_failed, "the JPEG stream has no frame header before its scan");
}

}  // namespace zanthe::pixels::codec

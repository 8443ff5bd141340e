// Native pixel data to stored values: bit-packed 1-bit frames, 8/16/32-bit samples in either byte
// order, colour-by-plane frames interleaved, and YBR_FULL_422's shared chroma expanded to full samples.
#include <bit>
#include <limits>
#include <cstring>
#include <string>

#include "dicom/vr_tables.h"
#include "pixels/frame_native.h"

namespace zanthe::pixels {
namespace {

// No frame larger than this is ever produced: 4 GiB of values covers 65535 x 65535 RGB 8-bit.
constexpr std::uint64_t kMaxFrameBytes = std::uint64_t{1} << 32;

PixelStatus status(PixelCode code, std::string detail) { return {code, std::move(detail)}; }

bool is_ybr_422(const ImagePixel& image) {
  return image.photometric == "YBR_FULL_422" && image.samples_per_pixel == 3 && image.bits_allocated >= 8;
}

// The native bytes of one frame (whole bytes; 1-bit frames are counted in bits by the caller).
std::uint64_t native_frame_bytes(const ImagePixel& image) {
  const std::uint64_t values = std::uint64_t{image.rows} * image.columns * image.samples_per_pixel;
  const std::uint64_t bytes = values * (image.bits_allocated / 8u);
  return is_ybr_422(image) ? bytes / 3 * 2 : bytes;
}

// Sample k of the pixel data's bytes, in the order the values are meant: 8-bit samples in big-endian OW
// words are stored swapped within each word.
struct NativeSource {
  const std::uint8_t* data;
  std::size_t size;
  bool swap_words;

  [[nodiscard]] std::uint8_t byte(std::size_t k) const {
    const std::size_t at = swap_words ? (k ^ 1u) : k;
    return at < size ? data[at] : 0;
  }
};

template <typename Word>
void copy_reversed(const std::uint8_t* from, std::size_t count, std::uint8_t* to) {
  for (std::size_t i = 0; i < count; ++i) {
    Word word;
    std::memcpy(&word, from + i * sizeof(Word), sizeof(Word));
    if constexpr (sizeof(Word) == 2) word = __builtin_bswap16(word);
    else word = __builtin_bswap32(word);
    std::memcpy(to + i * sizeof(Word), &word, sizeof(Word));
  }
}

// A whole run of samples lying inside the data, one block at a time: the common case, and the one
// that must not cost a call per sample.
void copy_run(const std::uint8_t* from, std::size_t count, std::size_t width, bool reverse, std::uint8_t* to) {
  if (!reverse || width == 1) {
    std::memcpy(to, from, count * width);
  } else if (width == 2) {
    copy_reversed<std::uint16_t>(from, count, to);
  } else {
    copy_reversed<std::uint32_t>(from, count, to);
  }
}

// Copies `count` samples of `width` bytes from `source` at `first` to `out` at stride `stride` samples,
// converting the stored byte order to the native one.
void copy_samples(const NativeSource& source, std::size_t first, std::size_t count, std::size_t width,
                  bool big_endian, std::uint8_t* out, std::size_t stride) {
  const bool reverse = big_endian != (std::endian::native == std::endian::big);
  if (stride == 1 && !source.swap_words && first + count * width <= source.size) {
    copy_run(source.data + first, count, width, reverse, out);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t from = first + i * width;
    std::uint8_t* to = out + i * stride * width;
    if (!source.swap_words && from + width <= source.size) {
      if (!reverse) {
        std::memcpy(to, source.data + from, width);
      } else {
        for (std::size_t b = 0; b < width; ++b) to[b] = source.data[from + width - 1 - b];
      }
      continue;
    }
    for (std::size_t b = 0; b < width; ++b) to[b] = source.byte(from + (reverse ? width - 1 - b : b));
  }
}

PixelStatus read_bit_frame(const ImagePixel& info, const NativeData& native, std::uint32_t index, Frame& out) {
  const std::size_t values = frame_value_count(info);
  const std::uint64_t first_bit = std::uint64_t{index} * values;
  const std::uint64_t end_byte = (first_bit + values + 7) / 8;
  if (end_byte > native.size) {
    return status(PixelCode::truncated, "frame " + std::to_string(index) + " of 1-bit data needs " +
                                            std::to_string(end_byte) + " bytes, the pixel data hold " +
                                            std::to_string(native.size));
  }
  out.bytes.resize(values);
  const std::uint8_t* data = native.data;
  for (std::size_t k = 0; k < values; ++k) {
    const std::uint64_t bit = first_bit + k;
    out.bytes[k] = static_cast<std::uint8_t>((data[bit / 8] >> (bit % 8)) & 1u);
  }
  return {};
}

// Y1 Y2 Cb Cr per pair of pixels to Y1 Cb Cr Y2 Cb Cr.
void expand_ybr_422(const NativeSource& source, std::size_t first, std::size_t pixels, std::size_t width,
                    bool big_endian, std::uint8_t* out) {
  for (std::size_t pair = 0; pair < pixels / 2; ++pair) {
    const std::size_t in = first + pair * 4 * width;
    std::uint8_t* to = out + pair * 6 * width;
    copy_samples(source, in, 1, width, big_endian, to, 1);
    copy_samples(source, in + 2 * width, 2, width, big_endian, to + width, 1);
    copy_samples(source, in + width, 1, width, big_endian, to + 3 * width, 1);
    copy_samples(source, in + 2 * width, 2, width, big_endian, to + 4 * width, 1);
  }
}

}  // namespace

SampleType sample_type_of(const ImagePixel& image) {
  if (image.bits_allocated > 16) return image.is_signed ? SampleType::i32 : SampleType::u32;
  if (image.bits_allocated > 8) return image.is_signed ? SampleType::i16 : SampleType::u16;
  if (image.bits_allocated == 1) return SampleType::u8;
  return image.is_signed ? SampleType::i8 : SampleType::u8;
}

std::size_t frame_value_count(const ImagePixel& image) {
  return static_cast<std::size_t>(std::uint64_t{image.rows} * image.columns * image.samples_per_pixel);
}

PixelStatus check_frame_size(const ImagePixel& image) {
  const std::uint64_t values = std::uint64_t{image.rows} * image.columns * image.samples_per_pixel;
  const std::uint64_t bytes = values * sample_size(sample_type_of(image));
  if (bytes > kMaxFrameBytes || values > std::numeric_limits<std::size_t>::max() / 4) {
    return status(PixelCode::too_large, std::to_string(image.rows) + " x " + std::to_string(image.columns) + " x " +
                                            std::to_string(image.samples_per_pixel) + " samples of " +
                                            std::to_string(image.bits_allocated) + " bits make a frame of " +
                                            std::to_string(bytes) + " bytes, more than is read");
  }
  return {};
}

PixelStatus read_native_frame(const DicomImage& image, std::uint32_t index, Frame& out) {
  const NativeData native{image.pixel_data.value, static_cast<std::size_t>(image.pixel_data.length),
                          image.encoding.byte_order == dicom::ByteOrder::big_endian,
                          effective_vr(image.pixel_data) == dicom::kVrOW};
  return unpack_native_frame(image.image, native, index, out);
}

PixelStatus unpack_native_frame(const ImagePixel& info, const NativeData& native, std::uint32_t index, Frame& out) {
  if (info.bits_allocated == 1) return read_bit_frame(info, native, index, out);
  if (is_ybr_422(info) && (std::uint64_t{info.rows} * info.columns) % 2 != 0) {
    return status(PixelCode::bad_attributes, "native YBR_FULL_422 needs an even number of pixels, not " +
                                                 std::to_string(info.rows) + " x " + std::to_string(info.columns));
  }
  const std::uint64_t frame_bytes = native_frame_bytes(info);
  // Frames, each at most 4 GiB, never overflow 64 bits before 2^32 of them.
  const std::uint64_t first = std::uint64_t{index} * frame_bytes;
  if (first + frame_bytes > native.size) {
    return status(PixelCode::truncated, "frame " + std::to_string(index) + " needs bytes " + std::to_string(first) +
                                            ".." + std::to_string(first + frame_bytes) + ", the pixel data hold " +
                                            std::to_string(native.size));
  }
  const std::size_t width = info.bits_allocated / 8u;
  const bool big_endian = native.big_endian;
  const NativeSource source{native.data, native.size, big_endian && width == 1 && native.ow_words};
  const std::size_t pixels = static_cast<std::size_t>(std::uint64_t{info.rows} * info.columns);
  const std::size_t samples = info.samples_per_pixel;
  out.bytes.resize(pixels * samples * width);
  const auto start = static_cast<std::size_t>(first);
  if (is_ybr_422(info)) {
    expand_ybr_422(source, start, pixels, width, big_endian, out.bytes.data());
    out.photometric_after_decoding = "YBR_FULL";
  } else if (info.planar_configuration == 1 && samples > 1) {
    for (std::size_t s = 0; s < samples; ++s) {
      copy_samples(source, start + s * pixels * width, pixels, width, big_endian, out.bytes.data() + s * width,
                   samples);
    }
  } else {
    copy_samples(source, start, pixels * samples, width, big_endian, out.bytes.data(), 1);
  }
  correct_stored_bits(info, out.type, out.bytes);
  return {};
}

namespace {

// One pass over samples of one width, so the compiler sees fixed-size loads and can vectorise it.
template <typename Sample>
void correct_samples(std::span<std::uint8_t> values, unsigned low, std::uint32_t mask, std::uint32_t sign,
                     bool extend) {
  const std::size_t count = values.size() / sizeof(Sample);
  for (std::size_t i = 0; i < count; ++i) {
    Sample sample;
    std::memcpy(&sample, values.data() + i * sizeof(Sample), sizeof(Sample));
    std::uint32_t v = (static_cast<std::uint32_t>(sample) >> low) & mask;
    if (extend && (v & sign) != 0) v |= ~mask;
    sample = static_cast<Sample>(v);
    std::memcpy(values.data() + i * sizeof(Sample), &sample, sizeof(Sample));
  }
}

}  // namespace

void correct_stored_bits(const ImagePixel& image, SampleType type, std::span<std::uint8_t> values) {
  const std::size_t width = sample_size(type);
  const unsigned bits = static_cast<unsigned>(width) * 8u;
  const unsigned stored = image.bits_stored;
  const unsigned low = image.high_bit + 1u >= stored ? image.high_bit + 1u - stored : 0u;
  if (image.bits_allocated == 1 || stored == 0 || (stored >= bits && low == 0) || low + stored > bits) return;
  const std::uint32_t mask = stored >= 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << stored) - 1u;
  const std::uint32_t sign = std::uint32_t{1} << (stored - 1);
  const bool extend = image.is_signed;
  // Samples are in the host's byte order here, so each is read as a whole number of its width.
  switch (width) {
    case 1: return correct_samples<std::uint8_t>(values, low, mask, sign, extend);
    case 2: return correct_samples<std::uint16_t>(values, low, mask, sign, extend);
    default: return correct_samples<std::uint32_t>(values, low, mask, sign, extend);
  }
}

}  // namespace zanthe::pixels

// JPEG-LS frames through CharLS's C interface.
#include <charls/charls.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pixels/codec_support.h"
#include "pixels/codecs.h"

namespace zanthe::pixels {

namespace {

using codec::failure;

struct DecoderDeleter {
  void operator()(charls_jpegls_decoder* decoder) const { charls_jpegls_decoder_destroy(decoder); }
};

PixelStatus charls_failure(const char* what, charls_jpegls_errc error) {
  return failure(PixelCode::decode_failed, std::string("JPEG-LS ") + what + ": " + charls_get_error_message(error));
}

std::uint32_t decoded_sample(const std::vector<std::uint8_t>& decoded, std::size_t index, bool wide) {
  if (!wide) return decoded[index];
  std::uint16_t value = 0;  // CharLS writes 16-bit samples in native byte order
  std::memcpy(&value, decoded.data() + 2 * index, 2);
  return value;
}

// The stream up to its EOI marker, without the zero bytes that pad a fragment to an even length.
// Without one the stream is cut short, and CharLS 2.4 can take seconds to find out.
bool trim_to_end_marker(std::span<const std::uint8_t>& bytes) {
  std::size_t end = bytes.size();
  while (end > 0 && bytes[end - 1] == 0x00) --end;
  if (end < 2 || bytes[end - 2] != 0xFF || bytes[end - 1] != 0xD9) return false;
  bytes = bytes.first(end);
  return true;
}

}  // namespace

PixelStatus decode_jpeg_ls(std::span<const std::uint8_t> bytes, const ImagePixel& image, Frame& out) {
  if (!trim_to_end_marker(bytes))
    return failure(PixelCode::decode_failed, "JPEG-LS stream does not end with an EOI marker: it is cut short");
  std::unique_ptr<charls_jpegls_decoder, DecoderDeleter> decoder(charls_jpegls_decoder_create());
  if (!decoder) return failure(PixelCode::decode_failed, "JPEG-LS decoder could not be created");
  if (auto error = charls_jpegls_decoder_set_source_buffer(decoder.get(), bytes.data(), bytes.size());
      error != charls_jpegls_errc{})
    return charls_failure("source", error);
  if (auto error = charls_jpegls_decoder_read_header(decoder.get()); error != charls_jpegls_errc{})
    return charls_failure("header", error);
  charls_frame_info info{};
  if (auto error = charls_jpegls_decoder_get_frame_info(decoder.get(), &info); error != charls_jpegls_errc{})
    return charls_failure("frame info", error);
  if (auto status = codec::check_geometry("JPEG-LS", info.width, info.height,
                                          static_cast<std::uint64_t>(info.component_count), image);
      !status.ok())
    return status;
  const auto precision = static_cast<unsigned>(info.bits_per_sample);
  if (auto status = codec::check_precision("JPEG-LS", precision, image); !status.ok()) return status;
  if (precision > 16) return failure(PixelCode::decode_failed, "JPEG-LS samples above 16 bits are not supported");
  charls_interleave_mode interleave{};
  if (auto error = charls_jpegls_decoder_get_interleave_mode(decoder.get(), &interleave); error != charls_jpegls_errc{})
    return charls_failure("interleave mode", error);
  if (auto status = codec::prepare_frame(image, out); !status.ok()) return status;

  std::size_t decoded_size = 0;
  if (auto error = charls_jpegls_decoder_get_destination_size(decoder.get(), 0, &decoded_size);
      error != charls_jpegls_errc{})
    return charls_failure("size", error);
  const bool wide = precision > 8;
  const std::size_t samples = out.bytes.size() / sample_size(out.type);
  if (decoded_size != samples * (wide ? 2 : 1))
    return failure(PixelCode::decode_failed, "JPEG-LS stream decodes to " + std::to_string(decoded_size) +
                                                 " bytes, not the frame's " + std::to_string(samples) + " samples");
  std::vector<std::uint8_t> decoded(decoded_size);
  if (auto error = charls_jpegls_decoder_decode_to_buffer(decoder.get(), decoded.data(), decoded.size(), 0);
      error != charls_jpegls_errc{})
    return charls_failure("decoding failed", error);

  // Interleave mode none decodes one plane per component; line and sample interleaving decode by pixel.
  const std::size_t components = image.samples_per_pixel;
  const std::size_t pixels = samples / components;
  const bool planar = interleave == charls::interleave_mode::none && components > 1;
  for (std::size_t pixel = 0; pixel < pixels; ++pixel)
    for (std::size_t c = 0; c < components; ++c) {
      const std::uint32_t value = decoded_sample(decoded, planar ? c * pixels + pixel : pixel * components + c, wide);
      // JPEG-LS codes no sign: signed data come back as their bit patterns of the stream's precision.
      codec::store_sample(out, pixel * components + c,
                          image.is_signed ? codec::sign_extend(value, precision) : std::int64_t{value});
    }
  return {};
}

}  // namespace zanthe::pixels

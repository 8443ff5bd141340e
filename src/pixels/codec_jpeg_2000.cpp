// JPEG 2000 and HTJ2K frames through OpenJPEG, read from memory.
#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "pixels/codec_support.h"
#include "pixels/codecs.h"

namespace zanthe::pixels {

namespace {

using codec::failure;

struct MemorySource {
  std::span<const std::uint8_t> bytes;
  std::size_t at = 0;
};

OPJ_SIZE_T read_source(void* buffer, OPJ_SIZE_T size, void* user) {
  auto& source = *static_cast<MemorySource*>(user);
  const std::size_t left = source.bytes.size() - source.at;
  if (left == 0) return static_cast<OPJ_SIZE_T>(-1);
  const std::size_t count = std::min<std::size_t>(size, left);
  std::memcpy(buffer, source.bytes.data() + source.at, count);
  source.at += count;
  return count;
}

OPJ_OFF_T skip_source(OPJ_OFF_T count, void* user) {
  auto& source = *static_cast<MemorySource*>(user);
  if (count < 0) return -1;
  const std::size_t step = std::min<std::size_t>(static_cast<std::size_t>(count), source.bytes.size() - source.at);
  source.at += step;
  return static_cast<OPJ_OFF_T>(step);
}

OPJ_BOOL seek_source(OPJ_OFF_T position, void* user) {
  auto& source = *static_cast<MemorySource*>(user);
  if (position < 0 || static_cast<std::uint64_t>(position) > source.bytes.size()) return OPJ_FALSE;
  source.at = static_cast<std::size_t>(position);
  return OPJ_TRUE;
}

void keep_first_error(const char* message, void* user) {
  auto& error = *static_cast<std::string*>(user);
  if (!error.empty()) return;
  error = message;
  while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
}

void ignore_message(const char*, void*) {}

struct StreamDeleter {
  void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct CodecDeleter {
  void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct ImageDeleter {
  void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

bool is_jp2_file(std::span<const std::uint8_t> bytes) {
  static constexpr std::uint8_t signature[] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
  return bytes.size() >= sizeof signature && std::memcmp(bytes.data(), signature, sizeof signature) == 0;
}

bool is_codestream(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 4 && bytes[0] == 0xFF && bytes[1] == 0x4F && bytes[2] == 0xFF && bytes[3] == 0x51;
}

PixelStatus openjpeg_failure(const char* what, const std::string& error) {
  return failure(PixelCode::decode_failed,
                 std::string("JPEG 2000 ") + what + (error.empty() ? std::string() : ": " + error));
}

// The header's components must be full size and fit the container before anything is decoded.
PixelStatus check_components(const opj_image_t& header, const ImagePixel& image) {
  const std::uint64_t width = header.x1 > header.x0 ? header.x1 - header.x0 : 0;
  const std::uint64_t height = header.y1 > header.y0 ? header.y1 - header.y0 : 0;
  if (auto status = codec::check_geometry("JPEG 2000", width, height, header.numcomps, image); !status.ok())
    return status;
  for (OPJ_UINT32 c = 0; c < header.numcomps; ++c) {
    const opj_image_comp_t& component = header.comps[c];
    if (component.dx != 1 || component.dy != 1)
      return failure(PixelCode::decode_failed, "JPEG 2000 component " + std::to_string(c) +
                                                   " is subsampled, which is not supported");
    if (auto status = codec::check_precision("JPEG 2000", component.prec, image); !status.ok()) return status;
  }
  return {};
}

// As pydicom reads them, a monochrome codestream whose signedness disagrees with Pixel
// Representation is reinterpreted at its own precision.
bool reinterprets_sign(const opj_image_comp_t& component, const ImagePixel& image) {
  const bool monochrome = image.photometric == "MONOCHROME1" || image.photometric == "MONOCHROME2";
  return monochrome && (component.sgnd != 0) != image.is_signed;
}

// The stored value of one decoded sample, for a component that `reinterprets_sign`.
std::int64_t reinterpreted(OPJ_INT32 value, const opj_image_comp_t& component, bool is_signed) {
  if (is_signed) return codec::sign_extend(static_cast<std::uint32_t>(value), component.prec);
  return static_cast<std::int64_t>(static_cast<std::uint32_t>(value) & ((std::uint64_t{1} << component.prec) - 1));
}

}  // namespace

PixelStatus decode_jpeg_2000(std::span<const std::uint8_t> bytes, const ImagePixel& image, Frame& out) {
  OPJ_CODEC_FORMAT format;
  if (is_codestream(bytes)) format = OPJ_CODEC_J2K;
  else if (is_jp2_file(bytes)) format = OPJ_CODEC_JP2;
  else return failure(PixelCode::decode_failed, "the frame is neither a JPEG 2000 codestream nor a JP2 file");

  MemorySource source{bytes};
  std::unique_ptr<opj_stream_t, StreamDeleter> stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
  std::unique_ptr<opj_codec_t, CodecDeleter> codec(opj_create_decompress(format));
  if (!stream || !codec) return failure(PixelCode::decode_failed, "JPEG 2000 decoder could not be created");
  opj_stream_set_user_data(stream.get(), &source, nullptr);
  opj_stream_set_user_data_length(stream.get(), bytes.size());
  opj_stream_set_read_function(stream.get(), read_source);
  opj_stream_set_skip_function(stream.get(), skip_source);
  opj_stream_set_seek_function(stream.get(), seek_source);

  std::string error;
  opj_set_error_handler(codec.get(), keep_first_error, &error);
  opj_set_warning_handler(codec.get(), ignore_message, nullptr);
  opj_set_info_handler(codec.get(), ignore_message, nullptr);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  if (!opj_setup_decoder(codec.get(), &parameters)) return openjpeg_failure("setup", error);
  // Large images decode in tiles and code blocks that OpenJPEG can spread over the machine's cores.
  opj_codec_set_threads(codec.get(), static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  // A codestream cut short is an error, not an image with its missing part left grey.
  opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE);

  opj_image_t* raw_image = nullptr;
  const OPJ_BOOL header_read = opj_read_header(stream.get(), codec.get(), &raw_image);
  std::unique_ptr<opj_image_t, ImageDeleter> decoded(raw_image);
  if (!header_read || !decoded) return openjpeg_failure("header", error);
  if (auto status = check_components(*decoded, image); !status.ok()) return status;
  if (auto status = codec::prepare_frame(image, out); !status.ok()) return status;
  if (!opj_decode(codec.get(), stream.get(), decoded.get()) || !opj_end_decompress(codec.get(), stream.get()))
    return openjpeg_failure("decoding failed", error);

  // OpenJPEG undoes the codestream's component transform: YBR_ICT and YBR_RCT frames come back as RGB.
  if (image.photometric == "YBR_ICT" || image.photometric == "YBR_RCT") out.photometric_after_decoding = "RGB";
  const std::size_t components = decoded->numcomps;
  const std::size_t pixels = std::size_t{image.rows} * image.columns;
  for (std::size_t c = 0; c < components; ++c) {
    const opj_image_comp_t& component = decoded->comps[c];
    if (component.data == nullptr || std::size_t{component.w} * component.h != pixels)
      return openjpeg_failure("decoding failed", "component " + std::to_string(c) + " was not decoded in full");
    if (!reinterprets_sign(component, image)) {
      for (std::size_t pixel = 0; pixel < pixels; ++pixel)
        codec::store_sample(out, pixel * components + c, component.data[pixel]);
      continue;
    }
    for (std::size_t pixel = 0; pixel < pixels; ++pixel)
      codec::store_sample(out, pixel * components + c, reinterpreted(component.data[pixel], component, image.is_signed));
  }
  return {};
}

}  // namespace zanthe::pixels

// JPEG Baseline and Extended (DCT) frames through libjpeg-turbo's TurboJPEG API.
#include <turbojpeg.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pixels/codec_support.h"
#include "pixels/codecs.h"

namespace zanthe::pixels {

namespace {

using codec::failure;

// The accurate inverse DCT (pydicom's decoders use one too), and a bound on the scans of a
// progressive stream, which could otherwise hold the decoder for a long time on a small input.
constexpr int kDecodeFlags = TJFLAG_ACCURATEDCT | TJFLAG_LIMITSCANS;

struct TurboDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using TurboHandle = std::unique_ptr<void, TurboDeleter>;

PixelStatus turbo_failure(tjhandle handle, const char* what) {
  return failure(PixelCode::decode_failed, std::string("JPEG ") + what + ": " + tjGetErrorStr2(handle));
}

// A warning about stray bytes still leaves the whole image and passes; a stream that ends before its
// image does is refused, as libjpeg would make up the rest.
bool turbo_succeeded(int result, tjhandle handle) {
  if (result == 0) return true;
  if (tjGetErrorCode(handle) != TJERR_WARNING) return false;
  return std::string_view(tjGetErrorStr2(handle)).find("Premature end") == std::string_view::npos;
}

bool is_ybr(const std::string& photometric) { return photometric == "YBR_FULL" || photometric == "YBR_FULL_422"; }

bool has_jfif_marker(std::span<const std::uint8_t> bytes) {
  for (std::size_t at = 2; at + 9 <= bytes.size();) {
    if (bytes[at] != 0xFF || bytes[at + 1] == 0xDA) break;
    const std::size_t length = (std::size_t{bytes[at + 2]} << 8) | bytes[at + 3];
    if (bytes[at + 1] == 0xE0 && length >= 7 && std::string_view(reinterpret_cast<const char*>(&bytes[at + 4]), 4) == "JFIF")
      return true;
    at += 2 + length;
  }
  return false;
}

// The components as they are coded, without libjpeg's YCbCr to RGB conversion: what an RGB image
// whose stream was never colour transformed holds. Subsampled planes are widened by repetition.
PixelStatus decode_raw_components(tjhandle handle, std::span<const std::uint8_t> bytes, int width, int height,
                                  int subsampling, std::vector<std::uint8_t>& pixels) {
  std::vector<std::vector<std::uint8_t>> planes(3);
  unsigned char* plane_pointers[3];
  int strides[3];
  int plane_widths[3], plane_heights[3];
  for (int c = 0; c < 3; ++c) {
    plane_widths[c] = tjPlaneWidth(c, width, subsampling);
    plane_heights[c] = tjPlaneHeight(c, height, subsampling);
    if (plane_widths[c] <= 0 || plane_heights[c] <= 0) return turbo_failure(handle, "plane size");
    planes[c].resize(static_cast<std::size_t>(plane_widths[c]) * static_cast<std::size_t>(plane_heights[c]));
    plane_pointers[c] = planes[c].data();
    strides[c] = plane_widths[c];
  }
  const int result = tjDecompressToYUVPlanes(handle, bytes.data(), static_cast<unsigned long>(bytes.size()),
                                             plane_pointers, width, strides, height, kDecodeFlags);
  if (!turbo_succeeded(result, handle)) return turbo_failure(handle, "decoding failed");
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) {
        const std::size_t px = static_cast<std::size_t>(x) * static_cast<std::size_t>(plane_widths[c]) / static_cast<std::size_t>(width);
        const std::size_t py = static_cast<std::size_t>(y) * static_cast<std::size_t>(plane_heights[c]) / static_cast<std::size_t>(height);
        pixels[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3 + static_cast<std::size_t>(c)] =
            planes[c][py * static_cast<std::size_t>(plane_widths[c]) + px];
      }
  return {};
}

}  // namespace

PixelStatus decode_jpeg_baseline(std::span<const std::uint8_t> bytes, const ImagePixel& image, Frame& out) {
  codec::JpegFrameHeader header;
  if (auto status = codec::read_jpeg_frame_header(bytes.data(), bytes.size(), header); !status.ok()) return status;
  if (header.marker == 0xC3) return decode_jpeg_lossless(bytes, image, out);
  // libjpeg-turbo 2.1 decodes 8-bit samples only: 12-bit Extended frames are not read.
  if (header.precision == 12)
    return failure(PixelCode::unsupported_transfer_syntax, "unsupported transfer syntax 1.2.840.10008.1.2.4.51");
  if (header.precision != 8)
    return failure(PixelCode::decode_failed, "JPEG precision " + std::to_string(header.precision) + " is not 8 or 12");
  if (auto status = codec::check_geometry("JPEG", header.columns, header.rows, header.components, image); !status.ok())
    return status;
  if (image.samples_per_pixel != 1 && image.samples_per_pixel != 3)
    return failure(PixelCode::decode_failed, "JPEG frames of " + std::to_string(image.samples_per_pixel) +
                                                 " components are not supported");

  TurboHandle handle(tjInitDecompress());
  if (!handle) return failure(PixelCode::decode_failed, std::string("JPEG decoder: ") + tjGetErrorStr2(nullptr));
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(handle.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), &width, &height,
                          &subsampling, &colorspace) != 0)
    return turbo_failure(handle.get(), "header");
  const int components = colorspace == TJCS_GRAY ? 1 : colorspace == TJCS_CMYK || colorspace == TJCS_YCCK ? 4 : 3;
  if (auto status = codec::check_geometry("JPEG", static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height),
                                          static_cast<std::uint64_t>(components), image);
      !status.ok())
    return status;
  if (auto status = codec::prepare_frame(image, out); !status.ok()) return status;

  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                                   static_cast<std::size_t>(components));
  // YBR frames come back as RGB, converted by libjpeg; an RGB frame keeps its coded components
  // unless its stream says they are YCbCr (a JFIF marker), as pydicom reads it.
  const bool colour = components == 3;
  const bool convert = colour && (is_ybr(image.photometric) || colorspace == TJCS_RGB ||
                                  (colorspace == TJCS_YCbCr && has_jfif_marker(bytes)));
  if (colour && !convert) {
    if (auto status = decode_raw_components(handle.get(), bytes, width, height, subsampling, pixels); !status.ok())
      return status;
  } else {
    const int result = tjDecompress2(handle.get(), bytes.data(), static_cast<unsigned long>(bytes.size()),
                                     pixels.data(), width, 0, height, colour ? TJPF_RGB : TJPF_GRAY,
                                     kDecodeFlags);
    if (!turbo_succeeded(result, handle.get())) return turbo_failure(handle.get(), "decoding failed");
    if (colour) out.photometric_after_decoding = "RGB";  // what libjpeg hands back, converted or not
  }
  for (std::size_t i = 0; i < pixels.size(); ++i) codec::store_sample(out, i, pixels[i]);
  return {};
}

}  // namespace zanthe::pixels

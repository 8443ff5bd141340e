// PNG output through libspng. Level 1 and the Up filter alone: images made to be looked at once, where
// encoding time matters more than a few percent of size.
#include <spng.h>

#include <cstdlib>
#include <memory>

#include "pixels/render.h"

namespace zanthe::pixels {
namespace {

struct ContextDeleter {
  void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};

[[nodiscard]] PixelStatus spng_failure(const char* step, int error) {
  return PixelStatus{PixelCode::encode_failed, std::string("PNG ") + step + ": " + spng_strerror(error)};
}

}  // namespace

PixelStatus encode_png(const RenderedImage& image, std::vector<std::uint8_t>& png) {
  png.clear();
  if (image.width == 0 || image.height == 0 || (image.channels != 1 && image.channels != 3) ||
      image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * image.channels) {
    return PixelStatus{PixelCode::encode_failed, "PNG: the image's size does not match its pixels"};
  }
  const std::unique_ptr<spng_ctx, ContextDeleter> context(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!context) return PixelStatus{PixelCode::encode_failed, "PNG: no encoder context"};
  spng_ctx* ctx = context.get();
  int error = spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  if (error == 0) error = spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, 1);
  if (error == 0) error = spng_set_option(ctx, SPNG_FILTER_CHOICE, SPNG_FILTER_CHOICE_UP);
  if (error != 0) return spng_failure("options", error);
  spng_ihdr header{};
  header.width = image.width;
  header.height = image.height;
  header.bit_depth = 8;
  header.color_type = image.channels == 3 ? SPNG_COLOR_TYPE_TRUECOLOR : SPNG_COLOR_TYPE_GRAYSCALE;
  header.interlace_method = SPNG_INTERLACE_NONE;
  if ((error = spng_set_ihdr(ctx, &header)) != 0) return spng_failure("header", error);
  error = spng_encode_image(ctx, image.pixels.data(), image.pixels.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  if (error != 0) return spng_failure("encoding", error);
  std::size_t size = 0;
  const std::unique_ptr<void, decltype(&std::free)> buffer(spng_get_png_buffer(ctx, &size, &error), &std::free);
  if (!buffer) return spng_failure("buffer", error);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer.get());
  png.assign(bytes, bytes + size);
  return {};
}

}  // namespace zanthe::pixels

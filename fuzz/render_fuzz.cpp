// Fuzz target for the display pipeline: a file rendered to PNG (frame 0 and 1, with and without a
// window, shrunk or not), and the segmented palette expansion over the same bytes read as words. A
// rendering must give a PNG of the size it reports, or a named failure with its words. Without clang:
//   g++ -std=c++20 -g -O1 -fsanitize=address,undefined -Isrc fuzz/render_fuzz.cpp fuzz/mutation_driver.cpp
//     src/pixels/*.cpp src/dicom/*.cpp src/text/*.cpp -lz -pthread
//     $(pkg-config --cflags --libs libturbojpeg charls libopenjp2) -o build/render_mutation_fuzz
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "pixels/render.h"

namespace {

namespace px = zanthe::pixels;

void check_failure(const px::PixelStatus& status) {
  if (status.code > px::PixelCode::encode_failed || status.detail.empty()) __builtin_trap();
}

void render_one(const std::uint8_t* data, std::size_t size, const px::RenderRequest& request) {
  px::RenderOutcome outcome;
  const px::PixelStatus status = px::render_png(data, size, request, outcome);
  if (!status.ok()) {
    check_failure(status);
    return;
  }
  const px::RenderedImage& image = outcome.rendered;
  if (request.max_size != 0 && (image.width > request.max_size || image.height > request.max_size)) __builtin_trap();
  if (image.pixels.size() != std::size_t{image.width} * image.height * image.channels) __builtin_trap();
  if (outcome.png.size() < 8 || outcome.png[1] != 'P') __builtin_trap();
}

void expand_words(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint16_t> words(size / 2);
  if (!words.empty()) std::memcpy(words.data(), data, words.size() * 2);
  std::vector<std::uint16_t> lut;
  const px::PixelStatus status = px::expand_segmented_lut(words, 65536, lut);
  if (!status.ok()) check_failure(status);
  if (lut.size() > 65536) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  // An exactly-sized copy, so that a read past the end is caught.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  if (size > 0) std::memcpy(copy.get(), input, size);
  render_one(copy.get(), size, px::RenderRequest{});
  render_one(copy.get(), size, px::RenderRequest{1, px::Window{40, 400}, 7});
  expand_words(copy.get(), size);
  return 0;
}

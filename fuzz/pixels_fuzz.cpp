// Fuzz target for the frame reader: a file opened as an image (dataset, Image Pixel attributes, the
// index of encapsulated frames), frames 0 and 1 read (native unpacking, RLE and the other codecs), and
// the element reads rendering relies on. A frame read must give exactly rows x columns x samples values
// or a named failure with its words. See fuzz/README.md for the build.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "pixels/frame.h"

namespace {

namespace px = zanthe::pixels;

void check_failure(const px::PixelStatus& status) {
  if (status.code > px::PixelCode::encode_failed || status.detail.empty()) __builtin_trap();
}

void read_one(const px::DicomImage& image, std::uint32_t index) {
  px::Frame frame;
  const px::PixelStatus status = px::read_frame(image, index, frame);
  if (!status.ok()) {
    check_failure(status);
    return;
  }
  const std::uint64_t values = std::uint64_t{image.image.rows} * image.image.columns * image.image.samples_per_pixel;
  if (frame.bytes.size() != values * px::sample_size(frame.type)) __builtin_trap();
}

// Numeric reads and item walks over every top-level element, as the rendering attributes use them.
void read_elements(const px::DicomImage& image) {
  for (const auto& element : image.elements) {
    const std::size_t count = px::element_value_count(element, image.encoding);
    (void)px::element_number(element, image.encoding, 0);
    (void)px::element_integer(element, image.encoding, count);
    if (px::effective_vr(element) == 0x5153) {  // "SQ"
      for (const auto& item : px::sequence_items(element, image.encoding, 64)) {
        for (const auto& nested : item) (void)px::element_number(nested, image.encoding, 1);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  // An exactly-sized copy, so that a read past the end is caught.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  if (size > 0) std::memcpy(copy.get(), input, size);
  px::DicomImage image;
  const px::PixelStatus opened = px::open_image(copy.get(), size, image);
  if (!opened.ok()) {
    check_failure(opened);
    return 0;
  }
  read_elements(image);
  read_one(image, 0);
  read_one(image, 1);
  return 0;
}

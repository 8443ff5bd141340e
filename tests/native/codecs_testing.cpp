// Test-only module: the pixel codecs on one frame's bytes, without a DICOM file around them. The
// input is copied into a heap block of exactly its size, so that a sanitizer build catches any read
// past the end of a stream.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>

#include "pixels/frame.h"

namespace nb = nanobind;
namespace px = zanthe::pixels;

namespace {

const char* format_of(px::SampleType type) {
  switch (type) {
    case px::SampleType::u8: return "B";
    case px::SampleType::i8: return "b";
    case px::SampleType::u16: return "H";
    case px::SampleType::i16: return "h";
    case px::SampleType::u32: return "I";
    case px::SampleType::i32: return "i";
  }
  return "?";
}

// (code name, detail, stored values, struct format, photometric after decoding)
std::tuple<std::string, std::string, nb::bytes, std::string, std::string> decode(
    const std::string& transfer_syntax, const nb::bytes& frame, std::uint32_t rows, std::uint32_t columns,
    std::uint32_t samples, std::uint16_t bits_allocated, std::uint16_t bits_stored, bool is_signed,
    const std::string& photometric) {
  px::ImagePixel image;
  image.rows = rows;
  image.columns = columns;
  image.samples_per_pixel = samples;
  image.bits_allocated = bits_allocated;
  image.bits_stored = bits_stored;
  image.high_bit = static_cast<std::uint16_t>(bits_stored ? bits_stored - 1 : 0);
  image.is_signed = is_signed;
  image.photometric = photometric;
  image.transfer_syntax = transfer_syntax;
  const std::size_t size = frame.size();
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
  if (size) std::memcpy(copy.get(), frame.c_str(), size);
  px::Frame out;
  out.image = image;
  out.type = px::sample_type_of(image);
  const px::PixelStatus status =
      px::decode_encapsulated(transfer_syntax, std::span<const std::uint8_t>(copy.get(), size), image, out);
  const auto* bytes = reinterpret_cast<const char*>(out.bytes.data());
  return {px::pixel_code_name(status.code), status.detail, nb::bytes(bytes, status.ok() ? out.bytes.size() : 0),
          format_of(out.type), out.photometric_after_decoding};
}

}  // namespace

NB_MODULE(_codecs_testing, m) {
  m.def("decode", &decode, nb::arg("transfer_syntax"), nb::arg("frame"), nb::arg("rows"), nb::arg("columns"),
        nb::arg("samples"), nb::arg("bits_allocated"), nb::arg("bits_stored"), nb::arg("signed"),
        nb::arg("photometric"));
}

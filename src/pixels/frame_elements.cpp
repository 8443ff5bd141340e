// Element lookup and numeric value reads over a parsed dataset, for the Image Pixel attributes and the
// rendering attributes alike.
#include <algorithm>
#include <charconv>
#include <cstring>

#include "dicom/byte_reading.h"
#include "dicom/element_reader.h"
#include "dicom/vr_tables.h"
#include "pixels/frame.h"

namespace zanthe::pixels {
namespace {

using dicom::vr_code;

// Bytes per binary value of a VR; 0 for the text VRs read as numbers, -1 for anything else.
int binary_width(dicom::VrCode vr) {
  switch (vr) {
    case vr_code('U', 'S'):
    case vr_code('S', 'S'):
    case vr_code('O', 'W'): return 2;
    case vr_code('U', 'L'):
    case vr_code('S', 'L'):
    case vr_code('O', 'L'):
    case vr_code('F', 'L'):
    case vr_code('O', 'F'): return 4;
    case vr_code('F', 'D'):
    case vr_code('O', 'D'):
    case vr_code('S', 'V'):
    case vr_code('U', 'V'):
    case vr_code('O', 'V'): return 8;
    case vr_code('O', 'B'): return 1;
    case vr_code('I', 'S'):
    case vr_code('D', 'S'): return 0;
    default: return -1;
  }
}

std::uint64_t read_word(const std::uint8_t* p, int width, dicom::ByteOrder order) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) {
    const int shift = order == dicom::ByteOrder::little_endian ? 8 * i : 8 * (width - 1 - i);
    value |= static_cast<std::uint64_t>(p[i]) << shift;
  }
  return value;
}

double binary_value(dicom::VrCode vr, std::uint64_t bits) {
  switch (vr) {
    case vr_code('S', 'S'): return static_cast<std::int16_t>(bits);
    case vr_code('S', 'L'): return static_cast<std::int32_t>(bits);
    case vr_code('S', 'V'): return static_cast<double>(static_cast<std::int64_t>(bits));
    case vr_code('F', 'L'):
    case vr_code('O', 'F'): {
      float f = 0;
      const auto word = static_cast<std::uint32_t>(bits);
      std::memcpy(&f, &word, sizeof f);
      return f;
    }
    case vr_code('F', 'D'):
    case vr_code('O', 'D'): {
      double d = 0;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    default: return static_cast<double>(bits);
  }
}

std::string_view text_of(const dicom::DataElement& element) {
  return {reinterpret_cast<const char*>(element.value), static_cast<std::size_t>(element.length)};
}

// Value `index` of a backslash-separated text, spaces and NULs trimmed.
std::optional<std::string_view> text_value(std::string_view text, std::size_t index) {
  for (std::size_t i = 0; i < index; ++i) {
    const std::size_t cut = text.find('\\');
    if (cut == std::string_view::npos) return std::nullopt;
    text.remove_prefix(cut + 1);
  }
  text = text.substr(0, text.find('\\'));
  while (!text.empty() && (text.front() == ' ')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  return text;
}

std::optional<double> parse_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

const dicom::DataElement* find_element(const dicom::ElementList& elements, std::uint32_t tag) {
  const auto it = std::find_if(elements.begin(), elements.end(), [tag](const dicom::DataElement& e) {
    return e.tag == tag;
  });
  return it == elements.end() ? nullptr : &*it;
}

const dicom::DataElement* find_element(const DicomImage& image, std::uint32_t tag) {
  return find_element(image.elements, tag);
}

dicom::VrCode effective_vr(const dicom::DataElement& element) {
  if (!dicom::is_unknown_or_un(element.vr)) return element.vr;
  const dicom::VrCode listed =
      dicom::lookup_vr(static_cast<std::uint16_t>(element.tag >> 16), static_cast<std::uint16_t>(element.tag));
  return listed == dicom::kUnknownVr ? element.vr : listed;
}

std::vector<dicom::ElementList> sequence_items(const dicom::DataElement& sequence, dicom::Encoding encoding,
                                               std::size_t max_items) {
  std::vector<dicom::ElementList> items;
  if (sequence.value == nullptr) return items;
  const bool big = encoding.byte_order == dicom::ByteOrder::big_endian;
  const std::uint8_t* p = sequence.value;
  const std::uint8_t* const end = sequence.value + sequence.length;
  while (end - p >= 8 && items.size() < max_items) {
    const std::uint32_t tag = big ? dicom::read_u32_big(p) : dicom::read_tag(p);
    if (tag != dicom::kItemTag) break;
    const std::uint32_t length = big ? dicom::read_u32_big(p + 4) : dicom::read_u32(p + 4);
    const std::uint8_t* value = p + 8;
    std::size_t size = 0;
    if (length == dicom::kUndefinedLength) {
      const std::uint8_t* delimiter = dicom::find_item_end(value, end, encoding, 1);
      if (delimiter == nullptr) break;
      size = static_cast<std::size_t>(delimiter - value);
      p = std::min(end, delimiter + 8);
    } else {
      size = std::min<std::size_t>(length, static_cast<std::size_t>(end - value));
      p = value + size;
    }
    dicom::ElementList& item = items.emplace_back();
    (void)dicom::parse_dataset(value, size, encoding, item);
  }
  return items;
}

std::size_t element_value_count(const dicom::DataElement& element, dicom::Encoding) {
  if (element.value == nullptr || element.length == 0) return 0;
  const int width = binary_width(effective_vr(element));
  if (width < 0) return 0;
  if (width > 0) return static_cast<std::size_t>(element.length / static_cast<std::uint64_t>(width));
  const std::string_view text = text_of(element);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\\')) + 1;
}

std::optional<double> element_number(const dicom::DataElement& element, dicom::Encoding encoding,
                                     std::size_t index) {
  if (element.value == nullptr) return std::nullopt;
  const dicom::VrCode vr = effective_vr(element);
  const int width = binary_width(vr);
  if (width < 0) return std::nullopt;
  if (width == 0) {
    const std::optional<std::string_view> text = text_value(text_of(element), index);
    if (!text) return std::nullopt;
    return parse_decimal(*text);
  }
  const auto w = static_cast<std::uint64_t>(width);
  if (index >= element.length / w) return std::nullopt;
  return binary_value(vr, read_word(element.value + index * w, width, encoding.byte_order));
}

std::optional<std::int64_t> element_integer(const dicom::DataElement& element, dicom::Encoding encoding,
                                            std::size_t index) {
  const std::optional<double> value = element_number(element, encoding, index);
  if (!value || !(*value > -9.2e18 && *value < 9.2e18)) return std::nullopt;
  return static_cast<std::int64_t>(*value);
}

}  // namespace zanthe::pixels

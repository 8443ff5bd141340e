#include "pixels/render_attributes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "dicom/byte_reading.h"
#include "dicom/element_reader.h"
#include "dicom/vr_tables.h"

namespace zanthe::pixels {
namespace {

using dicom::ByteOrder;
using dicom::vr_code;

constexpr std::uint32_t kRescaleIntercept = 0x00281052;
constexpr std::uint32_t kRescaleSlope = 0x00281053;
constexpr std::uint32_t kModalityLutSequence = 0x00283000;
constexpr std::uint32_t kLutDescriptor = 0x00283002;
constexpr std::uint32_t kLutData = 0x00283006;
constexpr std::uint32_t kWindowCenter = 0x00281050;
constexpr std::uint32_t kWindowWidth = 0x00281051;
constexpr std::uint32_t kVoiLutFunction = 0x00281056;
constexpr std::uint32_t kVoiLutSequence = 0x00283010;
constexpr std::uint32_t kPixelPaddingValue = 0x00280120;
constexpr std::uint32_t kPixelPaddingRangeLimit = 0x00280121;
constexpr std::uint32_t kPresentationLutShape = 0x20500020;
constexpr std::uint32_t kSharedFunctionalGroups = 0x52009229;
constexpr std::uint32_t kPerFrameFunctionalGroups = 0x52009230;
constexpr std::uint32_t kPixelValueTransformation = 0x00289145;
constexpr std::uint32_t kFrameVoiLut = 0x00289132;
constexpr std::uint32_t kPaletteDescriptors[3] = {0x00281101, 0x00281102, 0x00281103};
constexpr std::uint32_t kPaletteData[3] = {0x00281201, 0x00281202, 0x00281203};
constexpr std::uint32_t kSegmentedPaletteData[3] = {0x00281221, 0x00281222, 0x00281223};

constexpr std::size_t kMaxLutEntries = 65536;
constexpr int kItemDepth = 1;

[[nodiscard]] PixelStatus failure(PixelCode code, std::string detail) { return PixelStatus{code, std::move(detail)}; }

[[nodiscard]] std::uint16_t word_at(const std::uint8_t* p, ByteOrder order) {
  return order == ByteOrder::big_endian ? dicom::read_u16_big(p) : dicom::read_u16(p);
}

[[nodiscard]] std::uint32_t u32_at(const std::uint8_t* p, ByteOrder order) {
  return order == ByteOrder::big_endian ? dicom::read_u32_big(p) : dicom::read_u32(p);
}

[[nodiscard]] std::optional<double> parse_decimal(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '+')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

[[nodiscard]] std::string_view nth_text_value(std::string_view text, std::size_t index) {
  for (std::size_t i = 0; i < index; ++i) {
    const std::size_t slash = text.find('\\');
    if (slash == std::string_view::npos) return {};
    text.remove_prefix(slash + 1);
  }
  return text.substr(0, text.find('\\'));
}

template <typename T>
[[nodiscard]] T read_binary(const std::uint8_t* p, ByteOrder order) {
  std::uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, p, sizeof(T));
  if (order == ByteOrder::big_endian) std::reverse(bytes, bytes + sizeof(T));
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return value;
}

template <typename T>
[[nodiscard]] std::optional<double> binary_number(const dicom::DataElement& e, std::size_t index, ByteOrder order) {
  if (e.length < (index + 1) * sizeof(T)) return std::nullopt;
  const auto value = static_cast<double>(read_binary<T>(e.value + index * sizeof(T), order));
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

const dicom::DataElement* DatasetView::find(std::uint32_t tag) const {
  const auto it = std::find_if(elements_.begin(), elements_.end(),
                               [tag](const dicom::DataElement& e) { return e.tag == tag; });
  return it == elements_.end() ? nullptr : &*it;
}

std::string_view DatasetView::text(std::uint32_t tag) const {
  const dicom::DataElement* e = find(tag);
  return e == nullptr ? std::string_view{} : dicom::element_text(*e);
}

std::optional<double> DatasetView::number(std::uint32_t tag, std::size_t index) const {
  const dicom::DataElement* e = find(tag);
  if (e == nullptr || e->length == 0) return std::nullopt;
  const ByteOrder order = encoding_.byte_order;
  switch (e->vr) {
    case vr_code('F', 'L'): return binary_number<float>(*e, index, order);
    case vr_code('F', 'D'): return binary_number<double>(*e, index, order);
    case vr_code('U', 'S'): return binary_number<std::uint16_t>(*e, index, order);
    case vr_code('S', 'S'): return binary_number<std::int16_t>(*e, index, order);
    case vr_code('U', 'L'): return binary_number<std::uint32_t>(*e, index, order);
    case vr_code('S', 'L'): return binary_number<std::int32_t>(*e, index, order);
    default: break;
  }
  return parse_decimal(nth_text_value(dicom::element_text(*e), index));
}

std::optional<std::uint16_t> DatasetView::word(std::uint32_t tag, std::size_t index) const {
  const dicom::DataElement* e = find(tag);
  if (e == nullptr || e->length < (index + 1) * 2) return std::nullopt;
  return word_at(e->value + index * 2, encoding_.byte_order);
}

std::span<const std::uint8_t> DatasetView::bytes(std::uint32_t tag) const {
  const dicom::DataElement* e = find(tag);
  if (e == nullptr) return {};
  return {e->value, static_cast<std::size_t>(e->length)};
}

std::optional<DatasetView> DatasetView::item(std::uint32_t tag, std::size_t index) const {
  const dicom::DataElement* e = find(tag);
  if (e == nullptr) return std::nullopt;
  const ByteOrder order = encoding_.byte_order;
  const std::uint8_t* p = e->value;
  const std::uint8_t* const end = e->value + e->length;
  for (std::size_t i = 0; end - p >= 8; ++i) {
    const std::uint32_t item_tag = (static_cast<std::uint32_t>(word_at(p, order)) << 16) | word_at(p + 2, order);
    if (item_tag != dicom::kItemTag) return std::nullopt;
    const std::uint32_t length = u32_at(p + 4, order);
    const std::uint8_t* value = p + 8;
    const std::uint8_t* value_end = nullptr;
    const std::uint8_t* next = nullptr;
    if (length == dicom::kUndefinedLength) {
      value_end = dicom::find_item_end(value, end, encoding_, kItemDepth);
      if (value_end == nullptr) value_end = end;
      next = std::min(value_end + 8, end);
    } else {
      value_end = value + std::min<std::uint64_t>(length, static_cast<std::uint64_t>(end - value));
      next = value_end;
    }
    if (i == index) {
      dicom::ElementList nested;
      (void)dicom::parse_dataset(value, static_cast<std::size_t>(value_end - value), encoding_, nested);
      return DatasetView(std::move(nested), encoding_);
    }
    p = next;
  }
  return std::nullopt;
}

std::uint16_t LookupTable::at(std::int64_t value) const {
  if (entries.empty()) return 0;
  const std::int64_t last = static_cast<std::int64_t>(entries.size()) - 1;
  return entries[static_cast<std::size_t>(std::clamp<std::int64_t>(value - first_mapped, 0, last))];
}

PixelStatus expand_segmented_lut(std::span<const std::uint16_t> words, std::size_t max_entries,
                                 std::vector<std::uint16_t>& out) {
  struct Walk {
    std::span<const std::uint16_t> words;
    std::size_t max_entries;
    std::vector<std::uint16_t>& out;

    // Reads segments from `at` until the data end or `segments` were read; `indirect` false inside an
    // indirect copy, which may not hold another.
    PixelStatus run(std::size_t at, std::size_t segments, bool indirect_allowed) {
      for (std::size_t read = 0; at + 1 < words.size() && read < segments; ++read) {
        const std::uint16_t opcode = words[at];
        const std::size_t length = words[at + 1];
        at += 2;
        if (opcode == 0) {
          if (length > words.size() - at) {
            return failure(PixelCode::bad_attributes, "a discrete segment runs past the LUT data");
          }
          if (!room_for(length)) return too_long();
          out.insert(out.end(), words.begin() + static_cast<std::ptrdiff_t>(at),
                     words.begin() + static_cast<std::ptrdiff_t>(at + length));
          at += length;
        } else if (opcode == 1) {
          if (out.empty() || at >= words.size()) {
            return failure(PixelCode::bad_attributes, "a linear segment without a value before it");
          }
          if (!room_for(length)) return too_long();
          const double y0 = out.back();
          const double y1 = words[at++];
          for (std::size_t i = 1; i <= length; ++i) {
            out.push_back(static_cast<std::uint16_t>(std::lround(y0 + (y1 - y0) * static_cast<double>(i) /
                                                                     static_cast<double>(length))));
          }
        } else if (opcode == 2 && indirect_allowed) {
          if (out.empty() || words.size() - at < 2) {
            return failure(PixelCode::bad_attributes, "an indirect segment without a value before it");
          }
          // The offset counts entries of the data, least significant word first.
          const std::size_t target = words[at] | (static_cast<std::size_t>(words[at + 1]) << 16);
          at += 2;
          if (target >= words.size()) {
            return failure(PixelCode::bad_attributes, "an indirect segment points past the LUT data");
          }
          if (PixelStatus status = run(target, length, false); !status.ok()) return status;
        } else {
          return failure(PixelCode::bad_attributes,
                         "segmented LUT data hold an unknown segment type " + std::to_string(opcode));
        }
      }
      return {};
    }

    [[nodiscard]] bool room_for(std::size_t count) const { return count <= max_entries - out.size(); }
    [[nodiscard]] static PixelStatus too_long() {
      return failure(PixelCode::bad_attributes, "segmented LUT data expand past the descriptor's entries");
    }
  };
  out.clear();
  return Walk{words, max_entries, out}.run(0, words.size(), true);
}

namespace {

// A LUT from its descriptor (entries, first mapped value, bits) and 16-bit data; 8-bit entries packed
// one per byte are taken too. `signed_first` reads the first mapped value as SS.
[[nodiscard]] PixelStatus read_lut(const DatasetView& item, std::uint32_t descriptor_tag, std::uint32_t data_tag,
                                   bool signed_first, std::string_view name, LookupTable& out) {
  const auto entries = item.word(descriptor_tag, 0);
  const auto first = item.word(descriptor_tag, 1);
  const auto bits = item.word(descriptor_tag, 2);
  if (!entries || !first || !bits) return failure(PixelCode::bad_attributes, std::string(name) + ": no LUT descriptor");
  const std::size_t count = *entries == 0 ? kMaxLutEntries : *entries;
  const bool first_is_ss = signed_first || item.find(descriptor_tag)->vr == vr_code('S', 'S');
  out.first_mapped = first_is_ss ? static_cast<std::int16_t>(*first) : static_cast<std::int64_t>(*first);
  out.bits = std::clamp<std::uint16_t>(*bits, 1, 16);
  const std::span<const std::uint8_t> data = item.bytes(data_tag);
  out.entries.resize(count);
  if (data.size() >= count * 2) {
    for (std::size_t i = 0; i < count; ++i) out.entries[i] = word_at(data.data() + i * 2, item.encoding().byte_order);
  } else if (out.bits <= 8 && data.size() >= count) {
    std::copy_n(data.begin(), count, out.entries.begin());
  } else {
    return failure(PixelCode::bad_attributes, std::string(name) + ": the LUT data hold " + std::to_string(data.size()) +
                                                  " bytes for " + std::to_string(count) + " entries");
  }
  // Some writers put 16 bits of entries under a descriptor saying 8 (or fewer bits than the values use).
  const std::uint16_t highest = *std::max_element(out.entries.begin(), out.entries.end());
  while (out.bits < 16 && highest >> out.bits != 0) ++out.bits;
  return {};
}

[[nodiscard]] PixelStatus read_palettes(const DatasetView& dataset, bool is_signed, DisplayAttributes& out) {
  std::array<LookupTable, 3> palettes;
  for (int channel = 0; channel < 3; ++channel) {
    LookupTable& lut = palettes[channel];
    const std::span<const std::uint8_t> segmented = dataset.bytes(kSegmentedPaletteData[channel]);
    if (dataset.find(kPaletteData[channel]) == nullptr && !segmented.empty()) {
      const auto entries = dataset.word(kPaletteDescriptors[channel], 0);
      const auto first = dataset.word(kPaletteDescriptors[channel], 1);
      const auto bits = dataset.word(kPaletteDescriptors[channel], 2);
      if (!entries || !first || !bits) {
        return failure(PixelCode::bad_attributes, "PALETTE COLOR without a palette descriptor");
      }
      std::vector<std::uint16_t> words(segmented.size() / 2);
      for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = word_at(segmented.data() + i * 2, dataset.encoding().byte_order);
      }
      const std::size_t count = *entries == 0 ? kMaxLutEntries : *entries;
      if (PixelStatus status = expand_segmented_lut(words, count, lut.entries); !status.ok()) return status;
      if (lut.entries.empty()) return failure(PixelCode::bad_attributes, "segmented palette data hold no entry");
      lut.first_mapped = is_signed ? static_cast<std::int16_t>(*first) : static_cast<std::int64_t>(*first);
      lut.bits = std::clamp<std::uint16_t>(*bits, 1, 16);
      continue;
    }
    if (PixelStatus status = read_lut(dataset, kPaletteDescriptors[channel], kPaletteData[channel], is_signed,
                                      "PALETTE COLOR", lut);
        !status.ok()) {
      return status;
    }
  }
  out.palette = std::move(palettes);
  return {};
}

[[nodiscard]] VoiFunction voi_function_of(std::string_view text) {
  if (text == "LINEAR_EXACT") return VoiFunction::linear_exact;
  if (text == "SIGMOID") return VoiFunction::sigmoid;
  return VoiFunction::linear;
}

// The levels that may carry a frame's transformations, most specific first.
[[nodiscard]] std::vector<DatasetView> functional_groups(const DatasetView& dataset, std::uint32_t frame) {
  std::vector<DatasetView> groups;
  if (auto own = dataset.item(kPerFrameFunctionalGroups, frame)) groups.push_back(std::move(*own));
  if (auto shared = dataset.item(kSharedFunctionalGroups, 0)) groups.push_back(std::move(*shared));
  return groups;
}

void read_rescale(const DatasetView& level, DisplayAttributes& out) {
  out.rescale_intercept = level.number(kRescaleIntercept).value_or(0);
  out.rescale_slope = level.number(kRescaleSlope).value_or(1);
}

void read_window(const DatasetView& level, DisplayAttributes& out) {
  const auto center = level.number(kWindowCenter);
  const auto width = level.number(kWindowWidth);
  if (center && width && *width > 0) out.window = Window{*center, *width};
  out.voi_function = voi_function_of(level.text(kVoiLutFunction));
}

[[nodiscard]] PixelStatus read_modality(const DatasetView& dataset, const std::vector<DatasetView>& groups,
                                        bool is_signed, DisplayAttributes& out) {
  for (const DatasetView& group : groups) {
    if (auto transformation = group.item(kPixelValueTransformation)) {
      if (transformation->find(kRescaleSlope) || transformation->find(kRescaleIntercept)) {
        read_rescale(*transformation, out);
        return {};
      }
    }
  }
  if (auto lut_item = dataset.item(kModalityLutSequence)) {
    LookupTable lut;
    if (PixelStatus status = read_lut(*lut_item, kLutDescriptor, kLutData, is_signed, "Modality LUT", lut);
        !status.ok()) {
      return status;
    }
    out.modality_lut = std::move(lut);
    return {};
  }
  read_rescale(dataset, out);
  return {};
}

[[nodiscard]] PixelStatus read_voi(const DatasetView& dataset, const std::vector<DatasetView>& groups,
                                   bool signed_input, DisplayAttributes& out) {
  for (const DatasetView& group : groups) {
    if (auto voi = group.item(kFrameVoiLut)) {
      read_window(*voi, out);
      if (out.window) return {};
    }
  }
  read_window(dataset, out);
  if (out.window) return {};
  if (auto lut_item = dataset.item(kVoiLutSequence)) {
    LookupTable lut;
    if (PixelStatus status = read_lut(*lut_item, kLutDescriptor, kLutData, signed_input, "VOI LUT", lut);
        !status.ok()) {
      return status;
    }
    out.voi_lut = std::move(lut);
  }
  return {};
}

void read_padding(const DatasetView& dataset, bool is_signed, DisplayAttributes& out) {
  const auto value = dataset.word(kPixelPaddingValue);
  if (!value) return;
  const auto as_stored = [is_signed](std::uint16_t word) {
    return is_signed ? static_cast<std::int64_t>(static_cast<std::int16_t>(word)) : static_cast<std::int64_t>(word);
  };
  const std::int64_t low = as_stored(*value);
  const std::int64_t high = as_stored(dataset.word(kPixelPaddingRangeLimit).value_or(*value));
  out.padding = std::array<std::int64_t, 2>{std::min(low, high), std::max(low, high)};
}

}  // namespace

PixelStatus read_display_attributes(const DatasetView& dataset, bool is_signed, std::uint32_t frame,
                                    bool needs_palette, DisplayAttributes& out) {
  out = DisplayAttributes{};
  if (needs_palette) return read_palettes(dataset, is_signed, out);
  const std::vector<DatasetView> groups = functional_groups(dataset, frame);
  if (PixelStatus status = read_modality(dataset, groups, is_signed, out); !status.ok()) return status;
  const bool signed_modality = is_signed || out.rescale_intercept < 0 || out.rescale_slope < 0;
  // A broken VOI LUT is no reason to show nothing: the image then falls back to its own range.
  if (PixelStatus status = read_voi(dataset, groups, signed_modality, out); !status.ok()) out.voi_lut.reset();
  read_padding(dataset, is_signed, out);
  out.presentation_inverse = dataset.text(kPresentationLutShape) == "INVERSE";
  return {};
}

}  // namespace zanthe::pixels

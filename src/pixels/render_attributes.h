// What the display pipeline reads of a dataset, gathered once per frame into plain values: the Modality
// LUT (rescale or a LUT), the VOI (window and function, or a LUT), padding, presentation shape and the
// palettes. The functional groups of enhanced multi-frame files come first (the frame's own item, then
// the shared one), the top level last.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "dicom/part10_reader.h"
#include "pixels/pixel_status.h"

namespace zanthe::pixels {

// One dataset level (the top level or an item) with the encoding its values are written in.
class DatasetView {
 public:
  DatasetView(dicom::ElementList elements, dicom::Encoding encoding)
      : elements_(std::move(elements)), encoding_(encoding) {}

  [[nodiscard]] const dicom::DataElement* find(std::uint32_t tag) const;
  [[nodiscard]] std::string_view text(std::uint32_t tag) const;
  // The index-th value of a decimal or integer string (DS, IS) or of a binary number (FL, FD, US, SS,
  // UL, SL); nullopt when absent or unreadable.
  [[nodiscard]] std::optional<double> number(std::uint32_t tag, std::size_t index = 0) const;
  // The index-th 16-bit word of a value, in the dataset's byte order.
  [[nodiscard]] std::optional<std::uint16_t> word(std::uint32_t tag, std::size_t index = 0) const;
  [[nodiscard]] std::span<const std::uint8_t> bytes(std::uint32_t tag) const;
  // The index-th item of a sequence, parsed; nullopt when there is no such item.
  [[nodiscard]] std::optional<DatasetView> item(std::uint32_t tag, std::size_t index = 0) const;
  [[nodiscard]] dicom::Encoding encoding() const { return encoding_; }

 private:
  dicom::ElementList elements_;
  dicom::Encoding encoding_;
};

struct Window {
  double center = 0;
  double width = 0;
};

enum class VoiFunction : std::uint8_t { linear, linear_exact, sigmoid };

// A lookup table as its descriptor and data give it: input values below first_mapped take entry 0,
// those past the end the last entry.
struct LookupTable {
  std::int64_t first_mapped = 0;
  std::uint16_t bits = 16;  // of each entry's value, from the descriptor
  std::vector<std::uint16_t> entries;
  [[nodiscard]] std::uint16_t at(std::int64_t value) const;
};

struct DisplayAttributes {
  double rescale_slope = 1;
  double rescale_intercept = 0;
  std::optional<LookupTable> modality_lut;
  std::optional<Window> window;            // the file's first window, when it has one
  VoiFunction voi_function = VoiFunction::linear;
  std::optional<LookupTable> voi_lut;
  std::optional<std::array<std::int64_t, 2>> padding;  // stored values left out of min and max, inclusive
  bool presentation_inverse = false;
  std::optional<std::array<LookupTable, 3>> palette;   // red, green, blue for PALETTE COLOR
};

// Gathers what rendering frame `frame` needs. `is_signed` is Pixel Representation 1: it decides how
// descriptors' first mapped values and the padding value read. Fails only for a PALETTE COLOR image
// without usable palettes or LUTs whose data do not match their descriptors.
[[nodiscard]] PixelStatus read_display_attributes(const DatasetView& dataset, bool is_signed, std::uint32_t frame,
                                                  bool needs_palette, DisplayAttributes& out);

// Expands Segmented Palette Color Lookup Table Data (16-bit words): discrete, linear and indirect
// segments. Bounded: at most `max_entries` come out, and indirect segments do not nest.
[[nodiscard]] PixelStatus expand_segmented_lut(std::span<const std::uint16_t> words, std::size_t max_entries,
                                               std::vector<std::uint16_t>& out);

}  // namespace zanthe::pixels

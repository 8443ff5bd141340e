#include "dicom/vr_tables.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "dicom/dictionary_tables.h"

namespace zanthe::dicom {
namespace {

constexpr std::size_t kMaxCreatorSize = 64;

[[nodiscard]] constexpr VrCode vr_at(std::size_t index) {
  return vr_code(kVrLetters[2 * index], kVrLetters[2 * index + 1]);
}

template <typename Row>
[[nodiscard]] const Row* find_group(std::span<const Row> rows, std::uint16_t group) {
  const auto it = std::lower_bound(rows.begin(), rows.end(), group,
                                   [](const Row& row, std::uint16_t g) { return row.group < g; });
  return (it != rows.end() && it->group == group) ? &*it : nullptr;
}

// Index of `element` in a sorted array, or -1.
[[nodiscard]] long find_element(const std::uint16_t* elements, std::uint32_t count, std::uint16_t element) {
  const std::uint16_t* end = elements + count;
  const std::uint16_t* it = std::lower_bound(elements, end, element);
  return (it != end && *it == element) ? static_cast<long>(it - elements) : -1;
}

[[nodiscard]] bool is_printable(std::uint8_t b) { return b >= 0x20 && b <= 0x7E; }
[[nodiscard]] bool is_digit(std::uint8_t b) { return b >= '0' && b <= '9'; }

template <typename Qualifies>
[[nodiscard]] std::uint32_t run_length(const std::uint8_t* value, std::uint32_t n, Qualifies qualifies) {
  std::uint32_t r = 0;
  while (r < n && qualifies(value[r])) ++r;
  return r;
}

[[nodiscard]] constexpr std::uint32_t round_down_even(std::uint32_t r) { return r & ~1u; }

// Binary words: one non-zero word is believed as is; a run of zero words is taken as zero padding.
[[nodiscard]] std::uint32_t word_rule(const std::uint8_t* value, std::uint32_t n, std::uint32_t width) {
  if (n < width) return 0;
  const auto all_zero = [&](std::uint32_t at) {
    return std::all_of(value + at, value + at + width, [](std::uint8_t b) { return b == 0; });
  };
  if (!all_zero(0)) return width;
  std::uint32_t words = 1;
  while (width * (words + 1) <= n && all_zero(width * words)) ++words;
  return width * words;
}

[[nodiscard]] std::uint32_t text_rule(const std::uint8_t* value, VrCode vr, std::uint32_t n) {
  switch (vr) {
    case vr_code('A', 'S'):
    case vr_code('A', 'T'): {
      // Only the first four bytes can change the answer; looking further would make a run of such
      // elements quadratic.
      const std::uint32_t r = run_length(value, std::min(n, 4u), is_printable);
      return (r == 0 || n < 4) ? r : 4;
    }
    case vr_code('U', 'I'): {
      const std::uint32_t r = run_length(value, n, [](std::uint8_t b) { return is_digit(b) || b == '.'; });
      return std::min(r + (r & 1u), n);
    }
    case vr_code('P', 'N'):
      return round_down_even(run_length(value, n, [](std::uint8_t b) { return is_printable(b) && b != '\\'; }));
    case vr_code('L', 'O'):
      return round_down_even(
          run_length(value, n, [](std::uint8_t b) { return (is_printable(b) && b != '\\') || b == 0x1B; }));
    case vr_code('L', 'T'):
      return round_down_even(run_length(
          value, n, [](std::uint8_t b) { return is_printable(b) || b == '\n' || b == '\f' || b == '\r' || b == 0x1B; }));
    case vr_code('D', 'S'):
      return round_down_even(run_length(value, n, [](std::uint8_t b) {
        return is_digit(b) || b == ' ' || b == '+' || b == '-' || b == '.' || b == 'E' || b == 'e';
      }));
    case vr_code('I', 'S'):
      return round_down_even(
          run_length(value, n, [](std::uint8_t b) { return is_digit(b) || b == ' ' || b == '+' || b == '-'; }));
    default:
      return round_down_even(run_length(value, n, is_printable));
  }
}

[[nodiscard]] std::string_view creator_name(std::size_t index) {
  const char* text = tables::kPrivateCreatorText.data() + tables::kPrivateCreatorOffsets[index];
  return {text, std::strlen(text)};
}

// Index of the creator among the sorted names, or -1.
[[nodiscard]] long find_creator(std::string_view creator) {
  std::size_t low = 0;
  std::size_t high = tables::kPrivateCreatorOffsets.size();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    const int order = creator_name(mid).compare(creator);
    if (order == 0) return static_cast<long>(mid);
    if (order < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return -1;
}

}  // namespace

// One bit per pair of capital letters, set for the valid codes: the test runs for every element
// header, so it is a table lookup rather than a scan of the VR table.
constexpr std::array<std::uint32_t, 26> kVrCodeBits = [] {
  std::array<std::uint32_t, 26> bits{};
  for (std::size_t i = 0; i < kVrCount; ++i) {
    bits[static_cast<std::size_t>(kVrLetters[2 * i] - 'A')] |= 1u << (kVrLetters[2 * i + 1] - 'A');
  }
  return bits;
}();

bool is_vr_code(VrCode vr) {
  const unsigned first = (vr & 0xFFu) - 'A';
  const unsigned second = (vr >> 8) - 'A';
  return first < 26 && second < 26 && ((kVrCodeBits[first] >> second) & 1u) != 0;
}

bool is_long_vr(VrCode vr) {
  switch (vr) {
    case vr_code('O', 'B'):
    case vr_code('O', 'D'):
    case vr_code('O', 'F'):
    case vr_code('O', 'L'):
    case vr_code('O', 'V'):
    case vr_code('O', 'W'):
    case vr_code('S', 'Q'):
    case vr_code('S', 'V'):
    case vr_code('U', 'C'):
    case vr_code('U', 'N'):
    case vr_code('U', 'R'):
    case vr_code('U', 'T'):
    case vr_code('U', 'V'):
      return true;
    default:
      return false;
  }
}

VrCode lookup_vr(std::uint16_t group, std::uint16_t element) {
  if (const auto* row = find_group(tables::kSequenceGroups, group);
      row != nullptr && find_element(row->elements, row->count, element) >= 0) {
    return kVrSQ;
  }
  const auto* row = find_group(tables::kVrGroups, group);
  if (row == nullptr) return kUnknownVr;
  const long index = find_element(row->elements, row->count, element);
  return index < 0 ? kUnknownVr : vr_at(row->vr_indexes[index]);
}

bool is_private_sequence(const std::uint8_t* creator, std::size_t creator_size, std::uint16_t group,
                         std::uint8_t element_low) {
  while (creator_size > 0 && (creator[creator_size - 1] == 0x00 || creator[creator_size - 1] == 0x20)) {
    --creator_size;
  }
  if (creator_size == 0 || creator_size >= kMaxCreatorSize) return false;
  char name[kMaxCreatorSize] = {};
  std::memcpy(name, creator, creator_size);
  // The name ends at its first NUL, as a C string would.
  const long index = find_creator(std::string_view{name, std::strlen(name)});
  if (index < 0) return false;

  const std::uint32_t key = tables::private_row_key(static_cast<std::uint32_t>(index) + 1, group);
  const auto rows = tables::kPrivateSequenceRows;
  const auto row = std::lower_bound(rows.begin(), rows.end(), key, [](const auto& r, std::uint32_t k) {
    return tables::private_row_key(r.creator, r.group) < k;
  });
  if (row == rows.end() || tables::private_row_key(row->creator, row->group) != key) return false;
  const std::uint8_t* run = tables::kPrivateSequenceElements.data() + row->start;
  return std::binary_search(run, run + row->count, element_low);
}

std::uint32_t plausible_length(const std::uint8_t* value, VrCode vr, std::uint32_t n) {
  switch (vr) {
    case vr_code('O', 'B'):
    case vr_code('O', 'W'):
      return 0;
    case vr_code('S', 'Q'):
      return kNotPlausible;
    case vr_code('S', 'S'):
    case vr_code('U', 'S'):
      return word_rule(value, n, 2);
    case vr_code('F', 'L'):
    case vr_code('S', 'L'):
    case vr_code('U', 'L'):
      return word_rule(value, n, 4);
    case vr_code('F', 'D'):
    case vr_code('S', 'V'):
    case vr_code('U', 'V'):
      return word_rule(value, n, 8);
    default:
      return std::min(text_rule(value, vr, n), n);
  }
}

TableCounts table_counts() {
  TableCounts counts{};
  counts.sequence_groups = tables::kSequenceGroups.size();
  for (const auto& row : tables::kSequenceGroups) counts.sequence_tags += row.count;
  counts.vr_groups = tables::kVrGroups.size();
  for (const auto& row : tables::kVrGroups) counts.vr_tags += row.count;
  counts.private_creators = tables::kPrivateCreatorOffsets.size();
  counts.private_rows = tables::kPrivateSequenceRows.size();
  counts.private_element_bytes = tables::kPrivateSequenceElements.size();
  return counts;
}

}  // namespace zanthe::dicom

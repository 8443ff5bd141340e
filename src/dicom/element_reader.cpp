#include "dicom/element_reader.h"

#include <algorithm>

#include "dicom/byte_reading.h"
#include "dicom/vr_tables.h"

namespace zanthe::dicom {
namespace {

constexpr std::uint16_t kDelimiterGroup = 0xFFFE;
constexpr std::uint16_t kPixelGroup = 0x7FE0;

[[nodiscard]] std::uint32_t clamp32(std::uint64_t n) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, 0xFFFFFFFFu));
}

[[nodiscard]] bool is_pixel_like(std::uint16_t group, std::uint16_t element) {
  return group == kPixelGroup && (element == 0x0008 || element == 0x0009 || element == 0x0010);
}

// An odd length is almost always a writer's mistake; keep only the printable prefix of such a value.
[[nodiscard]] std::uint32_t trim_odd_length(const std::uint8_t* value, std::uint32_t length) {
  if (length % 2 == 0) return length;
  for (std::uint32_t i = 0; i < length; ++i) {
    if (value[i] < 0x20 || value[i] > 0x7E) return i;
  }
  return length;
}

// After a re-read short header, the bytes right after the value should start the next element.
template <ByteOrder Order>
[[nodiscard]] bool next_looks_like_element(const std::uint8_t* next, std::uint32_t left) {
  if (left >= 4 && WordReader<Order>::u16(next) == kDelimiterGroup) return true;
  return left >= 6 && is_capital(next[4]) && is_capital(next[5]);
}

// How far the search for an embedded element looks. Unbounded, crafted data (a run of such elements
// with falling group numbers) makes every search scan to the end of the buffer: quadratic time.
constexpr std::uint32_t kEmbeddedSearchWindow = 4096;

// First even offset inside the value where an item tag or a plausible explicit header begins.
template <ByteOrder Order>
[[nodiscard]] std::uint32_t find_embedded_element(const std::uint8_t* value, std::uint32_t a, std::uint16_t group,
                                                  std::uint32_t fallback) {
  if (a <= 5) return fallback;
  const std::uint32_t limit = std::min(a, kEmbeddedSearchWindow + 8);
  for (std::uint32_t offset = 0; offset + 7 < limit; offset += 2) {
    const std::uint16_t word = WordReader<Order>::u16(value + offset);
    if (word == kDelimiterGroup) return offset;
    if (word >= group && is_capital(value[offset + 4]) && is_capital(value[offset + 5])) return offset;
  }
  return fallback;
}

// A UN element whose 32-bit length overruns the buffer was most likely written with a short header: take
// the reserved bytes (in the implicit form, the length's high word) as a 16-bit length and check that the
// next element begins where that value ends.
template <ByteOrder Order>
[[nodiscard]] std::uint32_t reread_short_header(const std::uint8_t* p, std::uint32_t avail, std::uint16_t group,
                                                ElementHeader& out) {
  const std::uint32_t a = avail - 4;
  const std::uint32_t reread = WordReader<Order>::u16(p + 2);
  const std::uint8_t* value = p + 4;
  if (reread == a || (reread < a && next_looks_like_element<Order>(value + reread, a - reread))) {
    out.length = reread;
  } else {
    out.length = find_embedded_element<Order>(value, a, group, std::min(reread, a));
  }
  return 4;
}

template <ByteOrder Order>
[[nodiscard]] std::uint32_t resolve_length(const std::uint8_t* p, std::uint32_t avail, std::uint32_t header,
                                           std::uint16_t group, std::uint16_t element, ElementHeader& out) {
  const std::uint32_t after = avail - header;
  const std::uint8_t* value = p + header;
  if (out.length == kUndefinedLength) {
    if (is_pixel_like(group, element)) {
      if (out.vr == kUnknownVr) out.vr = kVrOW;
    } else if (is_unknown_or_un(out.vr)) {
      out.vr = kVrSQ;
    }
    return header;
  }
  if (out.length == 0) {
    if (is_unknown_or_un(out.vr)) {
      out.vr = lookup_vr(group, element);
      // An empty sequence written as UN stays empty: taken as undefined, it would swallow what follows.
      if (out.vr != kVrSQ) {
        out.length = plausible_length(value, out.vr, after);
        out.reached_end = out.length == after;
      }
    }
    return header;
  }
  if (out.length <= after) {
    out.length = trim_odd_length(value, out.length);
    return header;
  }
  out.reached_end = true;
  if (group == kPixelGroup && element == 0x0010) {
    out.length = after;
    return header;
  }
  if (out.vr == kVrUN) {
    const VrCode dictionary = lookup_vr(group, element);
    if (dictionary != kUnknownVr && dictionary != kVrUN) out.vr = dictionary;
    return reread_short_header<Order>(p, avail, group, out);
  }
  out.length = plausible_length(value, out.vr, after);
  return header;
}

}  // namespace

// With `size_only`, the header is read for the element's size alone (the walks over nested elements):
// an implicit-form VR then decides nothing unless the written length is 0 or overruns the buffer, so the
// dictionary is not asked otherwise, and `out.vr` is not to be used.
template <ByteOrder Order>
std::uint32_t ElementReader<Order>::decode_header(const std::uint8_t* p, std::uint32_t avail, std::uint16_t group,
                                                  std::uint16_t element, bool size_only, ElementHeader& out) const {
  using Words = WordReader<Order>;
  out = ElementHeader{};
  if (avail < 4) return 0;
  const VrCode written = read_vr(p);
  std::uint32_t header = 4;
  if (implicit_ || !is_vr_code(written)) {
    out.length = Words::u32(p);
    const bool vr_decides_size = out.length == 0 || (out.length != kUndefinedLength && out.length > avail - 4);
    out.vr = size_only && !vr_decides_size ? kUnknownVr : lookup_vr(group, element);
  } else if (is_long_vr(written)) {
    out.vr = written;
    if (avail < 8) return 0;
    out.length = Words::u32(p + 4);
    header = 8;
  } else {
    out.vr = written;
    const std::uint16_t short_length = Words::u16(p + 2);
    out.length = short_length == 0xFFFF ? kUndefinedLength : short_length;
    if ((written == kVrFL || written == kVrSL || written == kVrUL) && out.length != kUndefinedLength &&
        out.length % 4 != 0) {
      // A 4-byte VR with a length that is no multiple of 4: the writer chose the VR wrongly.
      const VrCode dictionary = lookup_vr(group, element);
      if (dictionary != kUnknownVr && dictionary != written) {
        out.length = plausible_length(p + 4, dictionary, avail - 4);
        out.reached_end = out.length == avail - 4;
      }
    }
  }
  return resolve_length<Order>(p, avail, header, group, element, out);
}

// Walks the items of an undefined-length sequence starting at q; returns the position after its sequence
// delimiter, or nullptr.
template <ByteOrder Order>
const std::uint8_t* ElementReader<Order>::skip_nested_items(const std::uint8_t* q, const std::uint8_t* end,
                                                            int depth) const {
  using Words = WordReader<Order>;
  while (end - q >= 8) {
    const std::uint32_t tag = Words::tag(q);
    if (tag == kSequenceDelimitationTag) return q + 8;
    if (tag != kItemTag) return nullptr;
    const std::uint32_t item_length = Words::u32(q + 4);
    const std::uint8_t* item_value = q + 8;
    if (item_length == kUndefinedLength) {
      const std::uint8_t* delimiter = find_item_end(item_value, end, depth + 2);
      if (delimiter == nullptr || end - delimiter < 8) return nullptr;
      q = delimiter + 8;
    } else {
      if (item_length > static_cast<std::uint64_t>(end - item_value)) return nullptr;
      q = item_value + item_length;
    }
  }
  return nullptr;
}

template <ByteOrder Order>
const std::uint8_t* ElementReader<Order>::find_item_end(const std::uint8_t* p, const std::uint8_t* end,
                                                        int depth) const {
  using Words = WordReader<Order>;
  if (depth > kMaxNestingDepth) return nullptr;
  while (end - p >= 4) {
    const std::uint32_t tag = Words::tag(p);
    if (tag == kItemDelimitationTag) return p;
    ElementHeader header;
    const std::uint32_t size = decode_header(p + 4, clamp32(static_cast<std::uint64_t>(end - p - 4)),
                                             static_cast<std::uint16_t>(tag >> 16), static_cast<std::uint16_t>(tag),
                                             true, header);
    if (size == 0) return nullptr;
    const std::uint8_t* value = p + 4 + size;
    if (header.length != kUndefinedLength) {
      if (header.length > static_cast<std::uint64_t>(end - value)) return nullptr;
      p = value + header.length;
      continue;
    }
    if (depth >= kMaxNestingDepth) return nullptr;
    p = skip_nested_items(value, end, depth);
    if (p == nullptr) return nullptr;
  }
  return nullptr;
}

template <ByteOrder Order>
std::uint64_t ElementReader<Order>::skip_element(const std::uint8_t* p, std::uint64_t avail, int depth) const {
  using Words = WordReader<Order>;
  if (avail < 8 || depth > kMaxNestingDepth) return 0;
  const std::uint32_t tag = Words::tag(p);
  const auto group = static_cast<std::uint16_t>(tag >> 16);
  if (group == kDelimiterGroup) return 0;
  ElementHeader header;
  const std::uint32_t size =
      decode_header(p + 4, clamp32(avail - 4), group, static_cast<std::uint16_t>(tag), true, header);
  if (size == 0) return 0;
  std::uint64_t offset = 4 + size;
  if (header.length != kUndefinedLength) return header.length <= avail - offset ? offset + header.length : 0;
  if (depth >= kMaxNestingDepth) return 0;
  while (avail - offset >= 4) {
    if (Words::u16(p + offset) == kDelimiterGroup) {
      const bool closes = Words::tag(p + offset) == kSequenceDelimitationTag && avail - offset >= 8;
      return closes ? offset + 8 : 0;
    }
    const std::uint64_t nested = skip_element(p + offset, avail - offset, depth + 2);
    if (nested == 0) return 0;
    offset += nested;
  }
  return 0;
}

// Whether the elements in [p, p + size) follow one another with no gap or overrun.
template <ByteOrder Order>
bool ElementReader<Order>::elements_tile(const std::uint8_t* p, std::uint64_t size, int depth) const {
  std::uint64_t offset = 0;
  while (offset < size) {
    const std::uint64_t step = skip_element(p + offset, size - offset, depth);
    if (step == 0) return false;
    offset += step;
  }
  return true;
}

// Offset of the item delimiter closing an undefined-length item whose elements start at `start`, or 0.
template <ByteOrder Order>
std::uint64_t ElementReader<Order>::find_item_delimiter(const std::uint8_t* value, std::uint64_t length,
                                                        std::uint64_t start) const {
  using Words = WordReader<Order>;
  std::uint64_t q = start;
  while (length - q >= 4) {
    if (Words::u16(value + q) == kDelimiterGroup) {
      return (Words::tag(value + q) == kItemDelimitationTag && length - q >= 8) ? q : 0;
    }
    const std::uint64_t step = skip_element(value + q, length - q, 1);
    if (step == 0) return 0;
    q += step;
  }
  return 0;
}

template <ByteOrder Order>
bool ElementReader<Order>::looks_like_sequence(const std::uint8_t* value, std::uint64_t length) const {
  using Words = WordReader<Order>;
  if (length < 8) return false;
  std::uint64_t offset = 0;
  while (length - offset >= 8 && Words::tag(value + offset) == kItemTag) {
    const std::uint32_t item_length = Words::u32(value + offset + 4);
    const std::uint64_t start = offset + 8;
    if (item_length != kUndefinedLength) {
      if (item_length > length - start || !elements_tile(value + start, item_length, 0)) return false;
      offset = start + item_length;
      continue;
    }
    const std::uint64_t delimiter = find_item_delimiter(value, length, start);
    if (delimiter == 0 || !elements_tile(value + start, delimiter - start, 0)) return false;
    offset = delimiter + 8;
  }
  return offset == length;
}

template class ElementReader<ByteOrder::little_endian>;
template class ElementReader<ByteOrder::big_endian>;

namespace {

using LittleEndianReader = ElementReader<ByteOrder::little_endian>;
using BigEndianReader = ElementReader<ByteOrder::big_endian>;

[[nodiscard]] bool is_big_endian(Encoding encoding) { return encoding.byte_order == ByteOrder::big_endian; }

}  // namespace

std::uint32_t read_element_header(const std::uint8_t* p, std::uint32_t avail, std::uint16_t group,
                                  std::uint16_t element, Encoding encoding, ElementHeader& out) {
  if (is_big_endian(encoding)) return BigEndianReader(encoding.implicit_vr).read_header(p, avail, group, element, out);
  return LittleEndianReader(encoding.implicit_vr).read_header(p, avail, group, element, out);
}

const std::uint8_t* find_item_end(const std::uint8_t* p, const std::uint8_t* end, Encoding encoding, int depth) {
  if (is_big_endian(encoding)) return BigEndianReader(encoding.implicit_vr).find_item_end(p, end, depth);
  return LittleEndianReader(encoding.implicit_vr).find_item_end(p, end, depth);
}

bool looks_like_sequence(const std::uint8_t* value, std::uint64_t length, Encoding encoding) {
  if (is_big_endian(encoding)) return BigEndianReader(encoding.implicit_vr).looks_like_sequence(value, length);
  return LittleEndianReader(encoding.implicit_vr).looks_like_sequence(value, length);
}

std::uint64_t skip_element(const std::uint8_t* p, std::uint64_t avail, Encoding encoding, int depth) {
  if (is_big_endian(encoding)) return BigEndianReader(encoding.implicit_vr).skip_element(p, avail, depth);
  return LittleEndianReader(encoding.implicit_vr).skip_element(p, avail, depth);
}

std::uint32_t read_element_header(const std::uint8_t* p, std::uint32_t avail, std::uint16_t group,
                                  std::uint16_t element, bool implicit, ElementHeader& out) {
  return LittleEndianReader(implicit).read_header(p, avail, group, element, out);
}

const std::uint8_t* find_item_end(const std::uint8_t* p, const std::uint8_t* end, bool implicit, int depth) {
  return LittleEndianReader(implicit).find_item_end(p, end, depth);
}

bool looks_like_sequence(const std::uint8_t* value, std::uint64_t length, bool implicit) {
  return LittleEndianReader(implicit).looks_like_sequence(value, length);
}

std::uint64_t skip_element(const std::uint8_t* p, std::uint64_t avail, bool implicit, int depth) {
  return LittleEndianReader(implicit).skip_element(p, avail, depth);
}

}  // namespace zanthe::dicom

// Element-level primitives of the Part 10 reader: header decoding with its repairs and the walks over
// items and nested elements. All positions point into one caller-owned buffer; every function checks
// its bounds before reading and never reads at or past `end` (or past p + avail).
#pragma once

#include <cstddef>
#include <cstdint>

#include "dicom/part10_reader.h"

namespace zanthe::dicom {

inline constexpr int kMaxNestingDepth = 64;

struct ElementHeader {
  VrCode vr = 0;
  std::uint32_t length = 0;  // kUndefinedLength for undefined
  // The written length did not fit the buffer (or a repair measured up to its end), so the length
  // depends on where the buffer ends: a longer buffer could read differently.
  bool reached_end = false;
};

// The header reads and walks of one dataset encoding; the encoding is fixed when the reader is made,
// the byte order at compile time so the hot walks pay nothing for it.
template <ByteOrder Order>
class ElementReader {
 public:
  explicit ElementReader(bool implicit_vr) : implicit_(implicit_vr) {}

  // Reads the VR and length that follow a tag; `p` is just after the tag, `avail` the bytes from p to
  // the end of the buffer. Returns the header size after the tag (4 or 8), or 0 when it cannot be read.
  [[nodiscard]] std::uint32_t read_header(const std::uint8_t* p, std::uint32_t avail, std::uint16_t group,
                                          std::uint16_t element, ElementHeader& out) const {
    return decode_header(p, avail, group, element, false, out);
  }

  // Position of the item delimitation tag that ends the undefined-length item whose value starts at p,
  // or nullptr.
  [[nodiscard]] const std::uint8_t* find_item_end(const std::uint8_t* p, const std::uint8_t* end, int depth) const;

  // Whether the value is exactly a run of well-formed items.
  [[nodiscard]] bool looks_like_sequence(const std::uint8_t* value, std::uint64_t length) const;

  // Total size of the element at p (tag, header, value, closing delimiter of an undefined length), or 0.
  [[nodiscard]] std::uint64_t skip_element(const std::uint8_t* p, std::uint64_t avail, int depth) const;

 private:
  std::uint32_t decode_header(const std::uint8_t* p, std::uint32_t avail, std::uint16_t group,
                              std::uint16_t element, bool size_only, ElementHeader& out) const;
  const std::uint8_t* skip_nested_items(const std::uint8_t* q, const std::uint8_t* end, int depth) const;
  bool elements_tile(const std::uint8_t* p, std::uint64_t size, int depth) const;
  std::uint64_t find_item_delimiter(const std::uint8_t* value, std::uint64_t length, std::uint64_t start) const;

  bool implicit_;
};

extern template class ElementReader<ByteOrder::little_endian>;
extern template class ElementReader<ByteOrder::big_endian>;

// One-call forms for an encoding chosen at run time.
[[nodiscard]] std::uint32_t read_element_header(const std::uint8_t* p, std::uint32_t avail, std::uint16_t group,
                                                std::uint16_t element, Encoding encoding, ElementHeader& out);
[[nodiscard]] const std::uint8_t* find_item_end(const std::uint8_t* p, const std::uint8_t* end, Encoding encoding,
                                                int depth);
[[nodiscard]] bool looks_like_sequence(const std::uint8_t* value, std::uint64_t length, Encoding encoding);
[[nodiscard]] std::uint64_t skip_element(const std::uint8_t* p, std::uint64_t avail, Encoding encoding, int depth);

// The little-endian forms, `implicit` choosing the VR form.
[[nodiscard]] std::uint32_t read_element_header(const std::uint8_t* p, std::uint32_t avail, std::uint16_t group,
                                                std::uint16_t element, bool implicit, ElementHeader& out);
[[nodiscard]] const std::uint8_t* find_item_end(const std::uint8_t* p, const std::uint8_t* end, bool implicit,
                                                int depth);
[[nodiscard]] bool looks_like_sequence(const std::uint8_t* value, std::uint64_t length, bool implicit);
[[nodiscard]] std::uint64_t skip_element(const std::uint8_t* p, std::uint64_t avail, bool implicit, int depth);

}  // namespace zanthe::dicom

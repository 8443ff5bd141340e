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
};

// Reads the VR and length that follow a tag; `p` is just after the tag, `avail` the bytes from p to the
// end of the buffer. Returns the header size after the tag (4 or 8), or 0 when it cannot be read.
[[nodiscard]] std::uint32_t read_element_header(const std::uint8_t* p, std::uint32_t avail, std::uint16_t group,
                                                std::uint16_t element, bool implicit, ElementHeader& out);

// Position of the item delimitation tag that ends the undefined-length item whose value starts at p,
// or nullptr.
[[nodiscard]] const std::uint8_t* find_item_end(const std::uint8_t* p, const std::uint8_t* end, bool implicit,
                                                int depth);

// Whether the value is exactly a run of well-formed items.
[[nodiscard]] bool looks_like_sequence(const std::uint8_t* value, std::uint64_t length, bool implicit);

// Total size of the element at p (tag, header, value, closing delimiter of an undefined length), or 0.
[[nodiscard]] std::uint64_t skip_element(const std::uint8_t* p, std::uint64_t avail, bool implicit, int depth);

}  // namespace zanthe::dicom

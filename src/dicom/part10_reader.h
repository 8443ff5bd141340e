// Tolerant reader of one DICOM Part 10 instance.
//
// Ownership: the caller owns the input bytes and the element list. Every view handed out here
// (FileMetaInfo's UIDs, DataElement::value, find_text's result) points into the input bytes, which
// must outlive them. Nothing is copied and nothing throws for bad input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zanthe::dicom {

// A value representation as the two letters lie in the stream: low byte first letter ("SQ" is 0x5153).
// 0 means unknown.
using VrCode = std::uint16_t;

inline constexpr std::uint32_t kItemTag = 0xFFFEE000u;
inline constexpr std::uint32_t kItemDelimitationTag = 0xFFFEE00Du;
inline constexpr std::uint32_t kSequenceDelimitationTag = 0xFFFEE0DDu;
inline constexpr std::uint32_t kUndefinedLength = 0xFFFFFFFFu;

// One top-level element of the dataset. Nested elements stay inside their sequence's value.
struct DataElement {
  std::uint32_t tag;
  VrCode vr;
  std::uint64_t length;
  const std::uint8_t* value;
};

using ElementList = std::vector<DataElement>;

enum class MetaStatus : std::uint8_t {
  ok = 0,
  no_magic = 5,
  truncated = 6,
  bad_header = 7,
  missing_uid = 8,
};

struct FileMetaInfo {
  std::string_view sop_class_uid;
  std::string_view sop_instance_uid;
  std::string_view transfer_syntax_uid;
  std::uint64_t dataset_offset = 0;
};

struct MetaResult {
  FileMetaInfo info;
  MetaStatus status = MetaStatus::ok;
  [[nodiscard]] bool ok() const { return status == MetaStatus::ok; }
};

// Strict group-length driven parse first; on truncated, bad_header or missing_uid the lenient scan decides.
[[nodiscard]] MetaResult read_file_meta(const std::uint8_t* data, std::size_t size);

// Appends the dataset's top-level elements to `out`. Returns 1 when it stopped at the end of the data or a
// zero group, 0 when it stopped at an unreadable element header; `out` keeps whatever was read either way.
int parse_dataset(const std::uint8_t* data, std::size_t size, bool explicit_vr, ElementList& out);

// True exactly for Implicit VR Little Endian ("1.2.840.10008.1.2" once trailing NUL/space padding is gone).
[[nodiscard]] bool is_implicit_vr_little_endian(std::string_view transfer_syntax_uid);

// The first element with `tag`, trailing NUL/space and then leading spaces removed; empty when absent.
[[nodiscard]] std::string_view find_text(const ElementList& elements, std::uint32_t tag);

}  // namespace zanthe::dicom

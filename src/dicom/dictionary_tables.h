// Layout of the generated dictionary tables (dictionary_tables.cpp, made by tools/gen_dicom_tables.py).
// All arrays are sorted ascending by their key so that lookups can binary search them.
#pragma once

#include <cstdint>
#include <span>

namespace zanthe::dicom::tables {

// Tags whose VR is SQ, one row per group.
struct SequenceGroup {
  std::uint16_t group;
  const std::uint16_t* elements;
  std::uint32_t count;
};

// Every other known tag: parallel arrays of element numbers and indexes into the VR letter table.
struct VrGroup {
  std::uint16_t group;
  const std::uint16_t* elements;
  const std::uint8_t* vr_indexes;
  std::uint32_t count;
};

// One (creator, group) run of private sequence element bytes; `creator` is the creator's index + 1.
struct PrivateSequenceRow {
  std::uint8_t creator;
  std::uint16_t group;
  std::uint16_t start;
  std::uint8_t count;
};

[[nodiscard]] constexpr std::uint32_t private_row_key(std::uint32_t creator, std::uint32_t group) {
  return (creator << 16) | group;
}

extern const std::span<const SequenceGroup> kSequenceGroups;
extern const std::span<const VrGroup> kVrGroups;
// NUL-terminated creator names, sorted bytewise, reached through kPrivateCreatorOffsets.
extern const std::span<const char> kPrivateCreatorText;
extern const std::span<const std::uint16_t> kPrivateCreatorOffsets;
extern const std::span<const PrivateSequenceRow> kPrivateSequenceRows;
extern const std::span<const std::uint8_t> kPrivateSequenceElements;

}  // namespace zanthe::dicom::tables

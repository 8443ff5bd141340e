// What the reader knows without trusting the stream: valid VR codes, which VRs take a 4-byte length,
// the VR of a tag from the data dictionary, which private elements are sequences, and how long a value
// of a VR plausibly is. All tables are constant; lookups are binary searches and allocate nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dicom/part10_reader.h"

namespace zanthe::dicom {

// A VR code from its two letters ("SQ" -> 0x5153).
[[nodiscard]] constexpr VrCode vr_code(char first, char second) {
  return static_cast<VrCode>(static_cast<std::uint8_t>(first) | (static_cast<std::uint8_t>(second) << 8));
}

inline constexpr VrCode kVrSQ = vr_code('S', 'Q');
inline constexpr VrCode kVrUN = vr_code('U', 'N');
inline constexpr VrCode kVrOW = vr_code('O', 'W');
inline constexpr VrCode kVrOB = vr_code('O', 'B');
inline constexpr VrCode kVrUL = vr_code('U', 'L');
inline constexpr VrCode kVrFL = vr_code('F', 'L');
inline constexpr VrCode kVrSL = vr_code('S', 'L');
inline constexpr VrCode kUnknownVr = 0;
inline constexpr std::uint32_t kNotPlausible = 0xFFFFFFFFu;

// The 34 VRs as 68 letters; the dictionary stores a VR as an index into this text.
inline constexpr std::string_view kVrLetters =
    "DAOBUCFDODAEOFSHUIFLOLSLULTMPNUNLOSQURASCSDSISSSUSATDTLTSTUTOVSVUVOW";
inline constexpr std::size_t kVrCount = kVrLetters.size() / 2;

[[nodiscard]] bool is_vr_code(VrCode vr);
// OB, OD, OF, OL, OV, OW, SQ, SV, UC, UN, UR, UT, UV: 2 reserved bytes and a 4-byte length when explicit.
[[nodiscard]] bool is_long_vr(VrCode vr);
[[nodiscard]] constexpr bool is_unknown_or_un(VrCode vr) { return vr == kUnknownVr || vr == kVrUN; }

// The dictionary's VR for a tag ("SQ" from the sequence table), or 0 when the tag is not listed.
[[nodiscard]] VrCode lookup_vr(std::uint16_t group, std::uint16_t element);

// Whether `creator` (the private creator's value, padding allowed) declares element byte `element_low`
// of `group` a sequence.
[[nodiscard]] bool is_private_sequence(const std::uint8_t* creator, std::size_t creator_size, std::uint16_t group,
                                       std::uint8_t element_low);

// How many leading bytes of `value` (n bytes available) look like a value of `vr`; never above n,
// kNotPlausible (0xFFFFFFFF) for SQ.
[[nodiscard]] std::uint32_t plausible_length(const std::uint8_t* value, VrCode vr, std::uint32_t n);

// Table sizes, for tests and diagnostics.
struct TableCounts {
  std::size_t sequence_groups, sequence_tags, vr_groups, vr_tags;
  std::size_t private_creators, private_rows, private_element_bytes;
};
[[nodiscard]] TableCounts table_counts();

}  // namespace zanthe::dicom

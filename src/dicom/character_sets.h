// Text values of a dataset to UTF-8, by its Specific Character Set (0008,0005).
//
// The conversion tables are the C library's iconv; this file decides which table applies to which bytes
// (ISO 2022 code extensions and their escape sequences, person-name component groups). Bytes that the
// declared character set cannot decode become U+FFFD; nothing fails.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zanthe::dicom {

enum class TextKind : std::uint8_t {
  text,         // any text VR but PN
  person_name,  // PN: after each "^" and "=" the initial character set is active again
};

// The parsed value of (0008,0005): the terms in order, padding trimmed (the first may be empty,
// meaning the default repertoire; no terms at all for an empty value). Only the first term decides
// how bytes read: the initial set, and whether escape sequences switch sets. Cheap to copy.
struct CharacterSets {
  std::vector<std::string> terms;
};

[[nodiscard]] CharacterSets parse_specific_character_set(std::string_view value);

// True when every byte is printable ASCII (0x20..0x7E): such text reads the same in every character set
// DICOM allows and needs no conversion.
[[nodiscard]] bool is_plain_ascii(std::string_view value);

// Appends the UTF-8 form of `value` (a view the caller owns; its padding already trimmed) to `out`.
// Returns true when the value was not valid in its declared character set: bytes that could not be
// decoded became U+FFFD, or a value declared UTF-8 (ISO_IR 192) that is not was read as Latin-1.
// Without a declared set (or with an unknown term) a value that is valid UTF-8 is kept as such and any
// other is read as Latin-1; that is not a repair. Never fails, cost linear in the value. Thread-safe:
// each thread keeps its own conversion descriptors.
bool append_utf8(std::string_view value, const CharacterSets& sets, TextKind kind, std::string& out);

}  // namespace zanthe::dicom

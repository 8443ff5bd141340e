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
  person_name,  // PN: each component group ("=") starts again in the initial character set
};

// The parsed value of (0008,0005): the terms in order (the first may be empty, meaning the default
// repertoire). Cheap to copy.
struct CharacterSets {
  std::vector<std::string> terms;
};

[[nodiscard]] CharacterSets parse_specific_character_set(std::string_view value);

// True when every byte is printable ASCII (0x20..0x7E): such text reads the same in every character set
// DICOM allows and needs no conversion.
[[nodiscard]] bool is_plain_ascii(std::string_view value);

// Appends the UTF-8 form of `value` to `out`. Returns true when some bytes could not be decoded and
// were replaced by U+FFFD. Thread-safe.
bool append_utf8(std::string_view value, const CharacterSets& sets, TextKind kind, std::string& out);

}  // namespace zanthe::dicom

// The character sets MSH-18 may declare: whether a message's bytes are valid text in its set, and
// the name Python's codecs know each set by.
#pragma once

#include <optional>
#include <string_view>

#include "hl7/status.h"

namespace zanthe::hl7 {

// ok, unsupported_character_set or invalid_text (with the offset of the first byte that is not
// text), each detail worded for an acknowledgment. MSH-18 "ASCII", "8859/1" to "8859/9", "8859/15"
// and "UNICODE UTF-8" are known, compared exactly; an empty value means UTF-8.
[[nodiscard]] Status check_text(std::string_view bytes, std::string_view character_set);

// The Python codec of a declared character set ("8859/1" -> "iso8859-1", "" -> "utf-8"), read the
// way people write it: white space around it, letter case and leading zeros of the 8859 part
// number do not matter. nullopt for a set that is not known.
[[nodiscard]] std::optional<std::string_view> codec_name(std::string_view character_set);

}  // namespace zanthe::hl7

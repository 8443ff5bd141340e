#include "hl7/text_encoding.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

#include "text/iconv_cache.h"

namespace zanthe::hl7 {

namespace {

struct KnownSet {
  std::string_view hl7_name;
  const char* iconv_name;  // nullptr: 7-bit ASCII, checked without a table
  std::string_view codec;  // Python's name
};

constexpr std::array<KnownSet, 13> kKnownSets = {{
    {"", "UTF-8", "utf-8"},
    {"UNICODE UTF-8", "UTF-8", "utf-8"},
    {"ASCII", nullptr, "ascii"},
    {"8859/1", "ISO-8859-1", "iso8859-1"},
    {"8859/2", "ISO-8859-2", "iso8859-2"},
    {"8859/3", "ISO-8859-3", "iso8859-3"},
    {"8859/4", "ISO-8859-4", "iso8859-4"},
    {"8859/5", "ISO-8859-5", "iso8859-5"},
    {"8859/6", "ISO-8859-6", "iso8859-6"},
    {"8859/7", "ISO-8859-7", "iso8859-7"},
    {"8859/8", "ISO-8859-8", "iso8859-8"},
    {"8859/9", "ISO-8859-9", "iso8859-9"},
    {"8859/15", "ISO-8859-15", "iso8859-15"},
}};

constexpr std::string_view kIsoPrefix = "8859/";

[[nodiscard]] const KnownSet* known_set(std::string_view hl7_name) noexcept {
  const auto found = std::find_if(kKnownSets.begin(), kKnownSets.end(),
                                  [&](const KnownSet& set) { return set.hl7_name == hl7_name; });
  return found == kKnownSets.end() ? nullptr : &*found;
}

[[nodiscard]] bool is_ascii_byte(char byte) noexcept { return static_cast<unsigned char>(byte) < 0x80; }

// Bytes from the start that are valid in the set iconv converts from: all of them when the text is.
// The conversion runs in pieces into a scratch buffer, only to learn where it stops.
[[nodiscard]] std::size_t convertible_prefix(iconv_t cd, std::string_view bytes) {
  std::array<char, 4096> scratch{};
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  while (in_left > 0) {
    char* out = scratch.data();
    std::size_t out_left = scratch.size();
    if (iconv(cd, &in, &in_left, &out, &out_left) == static_cast<std::size_t>(-1) && errno != E2BIG) break;
  }
  return bytes.size() - in_left;
}

// White space as Python's str.strip() takes it, within ASCII.
[[nodiscard]] bool is_space(char byte) noexcept {
  return byte == ' ' || (byte >= '\t' && byte <= '\r') || (byte >= '\x1c' && byte <= '\x1f');
}

[[nodiscard]] std::string_view trimmed(std::string_view text) noexcept {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// "8859/015" is "8859/15": the part number is read as a number.
[[nodiscard]] std::string without_leading_zeros(std::string name) {
  if (!name.starts_with(kIsoPrefix)) return name;
  const std::string_view number = std::string_view(name).substr(kIsoPrefix.size());
  if (number.empty() || !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return name;
  }
  const std::size_t zeros = std::min(number.find_first_not_of('0'), number.size() - 1);
  return name.erase(kIsoPrefix.size(), zeros);
}

}  // namespace

Status check_text(std::string_view bytes, std::string_view character_set) {
  const auto unsupported = [&] {
    return failure(ErrorCode::unsupported_character_set, "unsupported character set " + std::string(character_set));
  };
  const auto invalid_at = [&](std::size_t offset) {
    const std::string_view named = character_set.empty() ? "UNICODE UTF-8" : character_set;
    return failure(ErrorCode::invalid_text, "text is not valid in its character set " + std::string(named), offset);
  };
  const KnownSet* known = known_set(character_set);
  if (known == nullptr) return unsupported();
  // Every known set agrees with ASCII and keeps no state, so only what follows the ASCII run needs a table.
  const auto ascii = static_cast<std::size_t>(std::find_if_not(bytes.begin(), bytes.end(), is_ascii_byte) - bytes.begin());
  if (ascii == bytes.size()) return {};
  if (known->iconv_name == nullptr) return invalid_at(ascii);
  const iconv_t cd = text::converter_to_utf8(known->iconv_name);
  if (cd == text::kNoConverter) return unsupported();
  const std::size_t valid = ascii + convertible_prefix(cd, bytes.substr(ascii));
  return valid == bytes.size() ? Status{} : invalid_at(valid);
}

std::optional<std::string_view> codec_name(std::string_view character_set) {
  std::string name(trimmed(character_set));
  std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
  const KnownSet* known = known_set(without_leading_zeros(std::move(name)));
  if (known == nullptr) return std::nullopt;
  return known->codec;
}

}  // namespace zanthe::hl7

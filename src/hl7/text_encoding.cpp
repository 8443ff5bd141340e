#include "hl7/text_encoding.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

namespace zanthe::hl7 {

namespace {

struct KnownSet {
  std::string_view hl7_name;
  const char* iconv_name;  // nullptr: 7-bit ASCII, checked without a table
};

constexpr std::array<KnownSet, 13> kKnownSets = {{
    {"", "UTF-8"},
    {"UNICODE UTF-8", "UTF-8"},
    {"ASCII", nullptr},
    {"8859/1", "ISO-8859-1"},
    {"8859/2", "ISO-8859-2"},
    {"8859/3", "ISO-8859-3"},
    {"8859/4", "ISO-8859-4"},
    {"8859/5", "ISO-8859-5"},
    {"8859/6", "ISO-8859-6"},
    {"8859/7", "ISO-8859-7"},
    {"8859/8", "ISO-8859-8"},
    {"8859/9", "ISO-8859-9"},
    {"8859/15", "ISO-8859-15"},
}};

[[nodiscard]] bool is_ascii(std::string_view bytes) noexcept {
  return std::all_of(bytes.begin(), bytes.end(), [](char byte) { return static_cast<unsigned char>(byte) < 0x80; });
}

// iconv descriptors, opened once per table and thread (opening loads a gconv module).
class Converters {
 public:
  Converters() { descriptors_.fill(kNotOpened); }
  Converters(const Converters&) = delete;
  Converters& operator=(const Converters&) = delete;
  ~Converters() {
    for (iconv_t cd : descriptors_) {
      if (cd != kNotOpened && cd != kUnavailable) iconv_close(cd);
    }
  }

  [[nodiscard]] iconv_t get(std::size_t table, const char* name) {
    iconv_t& cd = descriptors_[table];
    if (cd == kNotOpened) cd = iconv_open("UTF-8", name);
    return cd;
  }

 private:
  static inline const iconv_t kNotOpened = nullptr;
  static inline const iconv_t kUnavailable = reinterpret_cast<iconv_t>(-1);
  std::array<iconv_t, kKnownSets.size()> descriptors_{};
};

// Converts in pieces into a scratch buffer: only whether every byte converts matters.
[[nodiscard]] bool converts(iconv_t cd, std::string_view bytes) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::array<char, 4096> scratch{};
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  while (in_left > 0) {
    char* out = scratch.data();
    std::size_t out_left = scratch.size();
    if (iconv(cd, &in, &in_left, &out, &out_left) == static_cast<std::size_t>(-1) && errno != E2BIG) return false;
  }
  return true;
}

}  // namespace

TextCheck check_text(std::string_view bytes, std::string_view character_set) {
  const auto known = std::find_if(kKnownSets.begin(), kKnownSets.end(),
                                  [&](const KnownSet& set) { return set.hl7_name == character_set; });
  if (known == kKnownSets.end()) return TextCheck::unsupported;
  // Every known set agrees with ASCII, so plain ASCII text needs no table.
  if (is_ascii(bytes)) return TextCheck::valid;
  if (known->iconv_name == nullptr) return TextCheck::invalid;
  thread_local Converters converters;
  const iconv_t cd = converters.get(static_cast<std::size_t>(known - kKnownSets.begin()), known->iconv_name);
  if (cd == reinterpret_cast<iconv_t>(-1)) return TextCheck::unsupported;
  return converts(cd, bytes) ? TextCheck::valid : TextCheck::invalid;
}

}  // namespace zanthe::hl7

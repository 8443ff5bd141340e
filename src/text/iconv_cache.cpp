#include "text/iconv_cache.h"

#include <cstring>
#include <vector>

namespace zanthe::text {
namespace {

struct Opened {
  const char* charset;
  iconv_t descriptor;
};

class ConverterCache {
 public:
  ConverterCache() = default;
  ConverterCache(const ConverterCache&) = delete;
  ConverterCache& operator=(const ConverterCache&) = delete;
  ~ConverterCache() {
    for (const Opened& opened : opened_) {
      if (opened.descriptor != kNoConverter) iconv_close(opened.descriptor);
    }
  }

  [[nodiscard]] iconv_t get(const char* charset) {
    // A handful of character sets per thread: a linear search beats any map.
    for (const Opened& opened : opened_) {
      if (opened.charset == charset || std::strcmp(opened.charset, charset) == 0) return opened.descriptor;
    }
    opened_.push_back({charset, iconv_open("UTF-8", charset)});
    return opened_.back().descriptor;
  }

 private:
  std::vector<Opened> opened_;
};

}  // namespace

iconv_t converter_to_utf8(const char* charset) {
  thread_local ConverterCache cache;
  const iconv_t cd = cache.get(charset);
  if (cd != kNoConverter) iconv(cd, nullptr, nullptr, nullptr, nullptr);  // drop a previous run's shift state
  return cd;
}

}  // namespace zanthe::text

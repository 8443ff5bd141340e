// Test-only module: the character set conversion of DICOM text values. Every call copies its input
// into a heap block of exactly that size, so that a sanitizer build catches any read past the end.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "dicom/character_sets.h"

namespace nb = nanobind;
using namespace zanthe::dicom;

namespace {

struct Buffer {
  explicit Buffer(const nb::bytes& b) : size(b.size()), data(new char[b.size()]) {
    if (size > 0) std::memcpy(data.get(), b.c_str(), size);
  }
  [[nodiscard]] std::string_view view() const { return {data.get(), size}; }
  std::size_t size;
  std::unique_ptr<char[]> data;
};

}  // namespace

NB_MODULE(_charset_testing, m) {
  m.def(
      "decode",
      [](const nb::bytes& value, const nb::bytes& specific_character_set, bool person_name) {
        const Buffer text(value);
        const Buffer sets(specific_character_set);
        std::string out;
        bool repaired = false;
        {
          // Without the interpreter lock, so that tests can run conversions on several threads at once.
          nb::gil_scoped_release unlocked;
          repaired = append_utf8(text.view(), parse_specific_character_set(sets.view()),
                                 person_name ? TextKind::person_name : TextKind::text, out);
        }
        // nanobind's str conversion refuses ill-formed UTF-8, so every result is checked on the way out.
        return std::make_tuple(out, repaired);
      },
      nb::arg("value"), nb::arg("specific_character_set"), nb::arg("person_name") = false,
      "(UTF-8 text, repaired)");
  m.def(
      "terms",
      [](const nb::bytes& specific_character_set) {
        const Buffer sets(specific_character_set);
        std::vector<nb::bytes> terms;
        for (const std::string& term : parse_specific_character_set(sets.view()).terms) {
          terms.emplace_back(term.data(), term.size());
        }
        return terms;
      },
      nb::arg("specific_character_set"));
  m.def("is_plain_ascii", [](const nb::bytes& value) { return is_plain_ascii(Buffer(value).view()); });
}

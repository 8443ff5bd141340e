// Test-only access to the ER7 engine parts the _hl7 module does not expose: the error codes
// themselves, the index, byte offsets, the empty segment view, and the ownership of the text.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "hl7/er7_parser.h"

namespace nb = nanobind;
namespace hl7 = zanthe::hl7;

namespace {

std::string bytes_of(const nb::bytes& data) { return std::string(data.c_str(), data.size()); }

nb::bytes as_bytes(std::string_view text) { return nb::bytes(text.data(), text.size()); }

nb::bytes id_bytes(const hl7::SegmentId& id) { return as_bytes(std::string_view(id.data(), id.size())); }

nb::bytes delimiter_bytes(const hl7::Delimiters& d) {
  const char five[] = {d.field, d.component, d.repetition, d.escape, d.subcomponent};
  return as_bytes(std::string_view(five, sizeof five));
}

// The error code as an int, or the parsed message laid out as plain Python values.
nb::object parse_message(const nb::bytes& data) {
  std::string text = bytes_of(data);
  const char* const buffer = text.data();
  hl7::ParseResult result = hl7::parse_message(std::move(text));
  if (!result.ok()) return nb::int_(static_cast<int>(result.status().code));
  const hl7::Message& message = result.value();
  nb::list segments;
  for (const hl7::SegmentRef& ref : message.segments) {
    segments.append(nb::make_tuple(id_bytes(ref.id), ref.offset, ref.length));
  }
  nb::list index;
  for (std::size_t i = 0; i < message.index.ids().size(); ++i) {
    index.append(nb::make_tuple(id_bytes(message.index.ids()[i]), message.index.ordinals()[i]));
  }
  nb::dict out;
  out["delimiters"] = delimiter_bytes(message.delimiters);
  out["segments"] = segments;
  out["index"] = index;
  out["text_moved"] = message.text.data() == buffer;
  return out;
}

// (text, delimiters, id, text pointer is null) of segment_at(ordinal), or None if the text fails.
nb::object segment_at(const nb::bytes& data, std::size_t ordinal) {
  const hl7::ParseResult result = hl7::parse_message(bytes_of(data));
  if (!result.ok()) return nb::none();
  const hl7::SegmentView view = result.value().segment_at(ordinal);
  return nb::make_tuple(as_bytes(view.text), delimiter_bytes(view.delimiters), id_bytes(view.id),
                        view.text.data() == nullptr);
}

// The index lookup for a three-byte ID, or None if the text fails.
nb::object ordinals_of(const nb::bytes& data, const nb::bytes& id) {
  const hl7::ParseResult result = hl7::parse_message(bytes_of(data));
  if (!result.ok() || id.size() != 3) return nb::none();
  const std::string key = bytes_of(id);
  const auto found = result.value().index.ordinals_of(hl7::SegmentId{key[0], key[1], key[2]});
  return nb::cast(std::vector<std::uint64_t>(found.begin(), found.end()));
}

}  // namespace

NB_MODULE(_hl7_testing, m) {
  m.def("parse_message", &parse_message);
  m.def("segment_at", &segment_at);
  m.def("error_name", [](int code) {
    return std::string(hl7::error_name(static_cast<hl7::ParseError>(static_cast<std::uint8_t>(code))));
  });
  m.def("ordinals_of", &ordinals_of);
}

// Fuzz target for the ER7 parser: parse, then split every segment; pieces must lie inside the text.
// Build as fuzz/dicom_reader_fuzz.cpp describes, with src/hl7/*.cpp instead of src/dicom/*.cpp.
#include <cstddef>
#include <cstdint>
#include <string>

#include "hl7/er7_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto result = zanthe::hl7::parse_message(std::string(reinterpret_cast<const char*>(data), size));
  if (!result.has_message()) return 0;
  const zanthe::hl7::Message& message = result.message();
  const char* begin = message.text.data();
  const char* end = begin + message.text.size();
  for (std::size_t i = 0; i <= message.segment_count(); ++i) {
    for (std::string_view piece : zanthe::hl7::split_fields(message.segment_at(i))) {
      if (!piece.empty() && (piece.data() < begin || piece.data() + piece.size() > end)) __builtin_trap();
    }
  }
  return 0;
}

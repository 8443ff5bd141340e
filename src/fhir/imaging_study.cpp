#include "fhir/imaging_study.h"

#include <array>

namespace zanthe::fhir {

void* arena_alloc(Arena& arena, std::size_t size, bool aligned) {
  if (arena.base == nullptr || arena.used > arena.capacity) return nullptr;
  std::size_t padding = 0;
  if (aligned) {
    const auto address = reinterpret_cast<std::uintptr_t>(arena.base) + arena.used;
    padding = (8 - address % 8) % 8;
  }
  const std::size_t room = arena.capacity - arena.used;
  if (padding > room || size > room - padding) return nullptr;
  std::uint8_t* start = arena.base + arena.used + padding;
  arena.used += padding + size;
  return start;
}

std::string_view status_name(FhirStatus status) {
  static constexpr std::array<std::string_view, 10> kNames = {
      "empty",
      "eof",
      "unexpected_char",
      "bad_string_escape",
      "bad_number",
      "nesting_too_deep",
      "arena_out_of_space",
      "bad_resource_type",
      "bad_field_value",
      "missing_required",
  };
  const auto code = static_cast<std::size_t>(status);
  if (code < 1 || code > kNames.size()) return "unknown";
  return kNames[code - 1];
}

}  // namespace zanthe::fhir

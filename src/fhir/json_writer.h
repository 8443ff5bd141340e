// Compact FHIR R4 JSON for one ImagingStudy, written into a caller-supplied area without allocating.
//
// The caller owns the area. On failure its contents are meaningless; on buffer_too_small the caller may
// simply retry with a larger area.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fhir/imaging_study.h"

namespace zanthe::fhir {

enum class EmitError : std::uint8_t {
  buffer_too_small = 1,  // the output did not fit into the capacity
  bad_value = 2,         // a required value of the model is missing
};

[[nodiscard]] std::string_view emit_error_name(EmitError error);

// The writer's pair: on success the bytes written, with `error` zero (no EmitError); on failure the
// EmitError, with `length` 0.
struct EmitResult {
  std::size_t length = 0;
  EmitError error{};
  [[nodiscard]] bool ok() const { return error == EmitError{}; }
};

// Writes `study` into data[0, capacity). The output is not NUL-terminated; bytes past the returned
// length are left as they were.
[[nodiscard]] EmitResult write_imaging_study_json(const ImagingStudy& study, std::uint8_t* data,
                                                  std::size_t capacity);

}  // namespace zanthe::fhir

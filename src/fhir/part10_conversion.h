// One DICOM Part 10 instance to the JSON text of one ImagingStudy: read, map, write.
//
// The input bytes belong to the caller and are only read during the call; the JSON text is returned
// by value. Every failure is a code; the caller words the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fhir/imaging_study.h"
#include "fhir/json_writer.h"

namespace zanthe::fhir {

enum class ConversionFailure : std::uint8_t {
  none = 0,
  no_readable_dataset = 1,        // the meta group is unreadable or no byte follows it
  missing_study_instance_uid = 2, // (0020,000D) is absent or empty
  mapping = 3,                    // the model could not be built: see `map_status`
  emit = 4,                       // the JSON could not be written: see `emit_error`
};

struct ConversionResult {
  std::string json;
  ConversionFailure failure = ConversionFailure::none;
  FhirStatus map_status = FhirStatus::ok;
  EmitError emit_error = EmitError::buffer_too_small;
  [[nodiscard]] bool ok() const { return failure == ConversionFailure::none; }
};

inline constexpr std::size_t kConversionArenaBytes = 65536;
inline constexpr std::size_t kFirstOutputBytes = 16384;
inline constexpr std::size_t kMaxOutputBytes = 8388608;

// Runs the whole conversion. The output area starts at 16 KiB and doubles until the text fits or
// 8 MiB has been tried. Only exhausted memory escapes, as the standard allocation failure.
[[nodiscard]] ConversionResult convert_part10_to_imaging_study(const std::uint8_t* data, std::size_t size);

}  // namespace zanthe::fhir

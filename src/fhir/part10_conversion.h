// One DICOM Part 10 instance to the JSON text of one ImagingStudy: read, map, write.
//
// The input bytes belong to the caller and are only read during the call; the JSON text is returned
// by value. Every failure is a ConversionStatus; the caller puts the prefix of its message before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fhir/conversion_status.h"
#include "fhir/imaging_study.h"
#include "fhir/instance_reading.h"
#include "fhir/time_zone.h"

namespace zanthe::fhir {

struct ConversionResult {
  std::string json;              // the ImagingStudy, when `status` is ok
  ConversionStatus status;
  bool text_repaired = false;    // some text bytes could not be decoded and became U+FFFD
  bool local_time = false;       // a `started` carries a time of day without a UTC offset
  [[nodiscard]] bool ok() const { return status.ok(); }
};

struct ConversionOptions {
  const ZoneOffsets* zone = nullptr;  // offsets for times whose file names none
};

inline constexpr std::size_t kConversionArenaBytes = 65536;
inline constexpr std::size_t kFirstOutputBytes = 16384;
inline constexpr std::size_t kMaxOutputBytes = 8388608;

// Runs the whole conversion. The output area starts at 16 KiB and doubles until the text fits or
// 8 MiB has been tried. Only exhausted memory escapes, as the standard allocation failure.
[[nodiscard]] ConversionResult convert_part10_to_imaging_study(const std::uint8_t* data, std::size_t size,
                                                               const ConversionOptions& options = {});

// The same from an instance already read (from bytes or from a file's header).
[[nodiscard]] ConversionResult convert_instance(const InstanceRead& read, const ConversionOptions& options);

// The UTC offset for `started` of a date and time: the file's own (DICOM form in `dicom_value`),
// else the caller's zone on that date; empty when neither applies. `storage` keeps the text.
[[nodiscard]] std::string_view started_zone(std::string_view dicom_value, std::string_view date,
                                            const ZoneOffsets* zone, std::string& storage);

// The result of a mapping that refused: mapping_failed, with the status name as the detail.
[[nodiscard]] ConversionResult mapping_failure(FhirStatus status);

// Writes into an area that doubles from 16 KiB until the text fits or `max_bytes` has been tried, and
// tells whether a `started` of the study or of a series has a time of day but no UTC offset.
[[nodiscard]] ConversionResult write_json(const ImagingStudy& study, std::size_t max_bytes = kMaxOutputBytes);

}  // namespace zanthe::fhir

// How reading an instance and converting it to an ImagingStudy ended: the one failure shape of this
// engine.
//
// A failure is a ConversionCode (0 for success) and a detail text, the failure in words as a message
// gives it after its prefix: "no readable DICOM dataset", "unsupported transfer syntax 1.2.3",
// "cannot read: No such file or directory". The model's FhirStatus and the writer's EmitError arrive as
// one code each, with their names (status_name, emit_error_name) as the detail.
#pragma once

#include <cstdint>
#include <string>

namespace zanthe::fhir {

enum class ConversionCode : std::uint8_t {
  ok = 0,
  no_readable_dataset = 1,          // not DICOM, or nothing after the meta group
  missing_study_instance_uid = 2,   // (0020,000D) absent or blank
  unsupported_transfer_syntax = 3,  // a syntax we do not know, whose dataset gives no study
  inflate_failed = 4,               // a deflated dataset whose stream is corrupt
  inflated_too_large = 5,           // a deflated dataset inflating past the cap before its header ends
  header_too_large = 6,             // a file's header did not end within kMaxHeaderReadBytes
  cannot_open = 7,                  // the file system's failure: see `error_number`
  cannot_read = 8,                  // the file system's failure: see `error_number`
  not_regular_file = 9,
  mapping_failed = 10,              // map_imaging_study refused: the FhirStatus name
  emit_failed = 11,                 // the JSON writer refused, or the text outgrew the largest area: the
                                    // EmitError name
};

struct ConversionStatus {
  ConversionCode code = ConversionCode::ok;
  std::string detail{};   // empty on success
  int error_number = 0;   // the errno of cannot_open and cannot_read; 0 otherwise
  [[nodiscard]] bool ok() const { return code == ConversionCode::ok; }
};

}  // namespace zanthe::fhir

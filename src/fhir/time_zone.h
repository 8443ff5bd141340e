// UTC offsets for FHIR dateTime values: "If hours and minutes are specified, a time zone SHALL be
// populated". DICOM times are local; the offset comes from the file's Timezone Offset From UTC or
// from the caller.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zanthe::fhir {

// The caller's zone: the offset in force from each local date on, sorted by date. One change from
// "00000000" is a fixed offset; a named zone with daylight saving has a change for every switch.
struct ZoneOffsets {
  struct Change {
    std::string first_date;  // DICOM DA, YYYYMMDD
    std::string offset;      // FHIR form: "Z" or "+hh:mm" / "-hh:mm"
  };
  std::vector<Change> changes;

  [[nodiscard]] bool empty() const { return changes.empty(); }
  // The offset in force on `date` (YYYYMMDD); empty when no change precedes it.
  [[nodiscard]] std::string_view offset_on(std::string_view date) const;
};

// "Z", "+01:00", "-0530", "+01" (and "UTC") in FHIR form, or false when the text is no offset.
[[nodiscard]] bool parse_fixed_offset(std::string_view text, std::string& fhir_offset);

// DICOM Timezone Offset From UTC (0008,0201), "&ZZXX" with & one of + and -, in FHIR form; false for
// any other text.
[[nodiscard]] bool dicom_offset(std::string_view value, std::string& fhir_offset);

}  // namespace zanthe::fhir

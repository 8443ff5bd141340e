// ORU^R01 (unsolicited observation result) writer in ER7 with the standard delimiters.
//
// Every member is a view borrowed from the caller for one call; an empty view writes an empty
// field. The builder validates nothing and cannot fail except by running out of memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zanthe::hl7 {

struct OruConfig {
  std::string_view our_app;           // MSH-3
  std::string_view our_facility;      // MSH-4
  std::string_view their_app;         // MSH-5
  std::string_view their_facility;    // MSH-6
  std::string_view control_id;        // MSH-10
  std::string_view timestamp;         // MSH-7
  std::string_view version = "2.5";   // MSH-12, written as given
  std::string_view specific_character_set;  // MSH-18; when empty MSH-13 onwards are omitted
};

struct OruContext {
  std::string_view patient_id;            // PID-3
  std::string_view patient_name;          // PID-5, structured
  std::string_view patient_birth_date;    // PID-7
  std::string_view patient_sex;           // PID-8
  std::string_view placer_order_number;   // ORC-2, OBR-2
  std::string_view filler_order_number;   // ORC-3, OBR-3
  std::string_view accession_number;      // OBR-18
  std::string_view procedure_code;        // OBR-4.1
  std::string_view procedure_description; // OBR-4.2
  std::string_view modality;              // OBR-24
  std::string_view ordering_provider;     // OBR-16, structured
  std::string_view observation_datetime;  // OBR-7
};

struct OruObservation {
  std::string_view value_type = "TX";  // OBX-2
  std::string_view observation_id;     // OBX-3, structured
  std::string_view value;              // OBX-5
  std::string_view status = "F";       // OBX-11
};

// MSH, PID, ORC, OBR, then one OBX per observation (count may be 0), each ended by CR.
[[nodiscard]] std::string build_oru_message(const OruConfig& config, const OruContext& context,
                                            const OruObservation* observations, std::size_t count);

}  // namespace zanthe::hl7

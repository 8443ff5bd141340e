// DICOM study, series and instance values onto an ImagingStudy.
//
// Inputs are trimmed views that the caller owns (an empty text is absent). The built model points into
// both those views and the Arena, so it is valid while both live.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "fhir/imaging_study.h"

namespace zanthe::fhir {

inline constexpr std::string_view kDicomUidSystem = "urn:dicom:uid";
inline constexpr std::string_view kIdentifierTypeSystem = "http://terminology.hl7.org/CodeSystem/v2-0203";
inline constexpr std::string_view kDicomTerminologySystem = "http://dicom.nema.org/resources/ontology/DCM";
inline constexpr std::string_view kSnomedSystem = "http://snomed.info/sct";
inline constexpr std::string_view kUriSystem = "urn:ietf:rfc:3986";

struct InstanceSummary {
  std::string_view uid{};
  std::string_view sop_class{};
  std::int32_t instance_number = -1;
};

struct SeriesSummary {
  std::string_view series_instance_uid{};
  std::int32_t series_number = -1;
  std::string_view modality{};
  std::string_view body_part{};
  std::string_view laterality{};
  std::string_view series_description{};
  std::int32_t declared_instances = -1;
  std::string_view series_date{};
  std::string_view series_time{};
  std::span<const InstanceSummary> instances{};
  std::string_view started_zone{};  // UTC offset of series_time in FHIR form; empty when unknown
};

struct StudySummary {
  std::string_view study_instance_uid{};
  std::string_view accession_number{};
  std::string_view study_id{};
  std::string_view patient_id{};
  std::string_view study_date{};
  std::string_view study_time{};
  std::span<const std::string_view> modalities{};
  std::string_view study_description{};
  std::string_view referring_physician_name{};
  std::string_view status{};
  std::string_view started_zone{};  // UTC offset of study_time in FHIR form; empty when unknown
};

struct MapResult {
  ImagingStudy study{};
  FhirStatus status = FhirStatus::ok;
  [[nodiscard]] bool ok() const { return status == FhirStatus::ok; }
};

// Fails with missing_required (no Study Instance UID) or arena_out_of_space; a failed mapping simply
// abandons what it took from the arena.
[[nodiscard]] MapResult map_imaging_study(const StudySummary& study, std::span<const SeriesSummary> series,
                                          Arena& arena);

// DICOM DA (YYYYMMDD) and TM (HHMMSS.FFFFFF, shorter forms allowed) as a FHIR dateTime, followed by
// `zone` (a UTC offset in FHIR form, or empty for none) when a time is written. Empty when the date is
// not 8 digits naming a calendar day; the date alone when the time is empty, unreadable or no clock
// time. Running out of arena shortens the value rather than failing.
[[nodiscard]] Text dicom_date_time(std::string_view date, std::string_view time, Arena& arena,
                                   std::string_view zone = {});

// The first component group of a DICOM person name as "Family, Given Middle"; empty when nothing is
// left or the arena refuses.
[[nodiscard]] Text person_name_text(std::string_view name, Arena& arena);

}  // namespace zanthe::fhir

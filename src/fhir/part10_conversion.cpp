#include "fhir/part10_conversion.h"

#include <algorithm>
#include <array>
#include <memory>
#include <span>
#include <utility>

#include "fhir/json_writer.h"
#include "fhir/study_mapping.h"

namespace zanthe::fhir {
namespace {

ConversionResult failed(ConversionStatus status) {
  ConversionResult result;
  result.status = std::move(status);
  return result;
}

struct Zones {
  std::string study;
  std::string series;
};

MapResult map_study(const AttributeTexts& v, const ConversionOptions& options, Zones& zones, Arena& arena) {
  const std::array<std::string_view, 1> modality_list = {v[modality]};
  const StudySummary study = {
      .study_instance_uid = v[study_instance_uid],
      .accession_number = v[accession_number],
      .study_id = v[study_id],
      .patient_id = v[patient_id],
      .study_date = v[study_date],
      .study_time = v[study_time],
      .modalities = std::span<const std::string_view>(modality_list.data(), v[modality].empty() ? 0 : 1),
      .study_description = v[study_description],
      .referring_physician_name = v[referring_physician_name],
      .status = "available",
      .started_zone = started_zone(v[timezone_offset], v[study_date], options.zone, zones.study),
  };
  const InstanceSummary instance = {.uid = v[sop_instance_uid], .sop_class = v[sop_class_uid]};
  const bool has_instance = !instance.uid.empty() && !instance.sop_class.empty();
  const SeriesSummary series = {
      .series_instance_uid = v[series_instance_uid],
      .modality = v[modality],
      .body_part = v[body_part_examined],
      .laterality = v[laterality],
      .series_description = v[series_description],
      .series_date = v[series_date],
      .series_time = v[series_time],
      .instances = std::span<const InstanceSummary>(&instance, has_instance ? 1 : 0),
      .started_zone = started_zone(v[timezone_offset], v[series_date], options.zone, zones.series),
  };
  const bool has_series = !series.series_instance_uid.empty() && !series.modality.empty();
  return map_imaging_study(study, std::span<const SeriesSummary>(&series, has_series ? 1 : 0), arena);
}

// A FHIR dateTime of exactly YYYY-MM-DDThh:mm:ss: a time of day and nothing after it.
bool is_local_time(std::string_view date_time) { return date_time.size() == 19; }

bool has_local_time(const ImagingStudy& study) {
  if (is_local_time(study.started)) return true;
  return std::any_of(study.series.begin(), study.series.end(),
                     [](const ImagingStudySeries& s) { return is_local_time(s.started); });
}

}  // namespace

std::string_view started_zone(std::string_view dicom_value, std::string_view date, const ZoneOffsets* zone,
                              std::string& storage) {
  if (dicom_offset(dicom_value, storage)) return storage;
  if (zone == nullptr) return {};
  return zone->offset_on(date);
}

ConversionResult mapping_failure(FhirStatus status) {
  return failed({ConversionCode::mapping_failed, std::string(status_name(status))});
}

ConversionResult write_json(const ImagingStudy& study, std::size_t max_bytes) {
  ConversionResult result;
  result.local_time = has_local_time(study);
  result.json.assign(kFirstOutputBytes, '\0');
  for (;;) {
    const EmitResult emitted = write_imaging_study_json(
        study, reinterpret_cast<std::uint8_t*>(result.json.data()), result.json.size());
    if (emitted.ok()) {
      result.json.resize(emitted.length);
      return result;
    }
    if (emitted.error != EmitError::buffer_too_small || result.json.size() >= max_bytes) {
      result.json.clear();
      result.status = {ConversionCode::emit_failed, std::string(emit_error_name(emitted.error))};
      return result;
    }
    result.json.assign(result.json.size() * 2, '\0');
  }
}

ConversionResult convert_instance(const InstanceRead& read, const ConversionOptions& options) {
  if (!read.ok()) return failed(read.status);
  const auto storage = std::make_unique<std::uint8_t[]>(kConversionArenaBytes);  // zero-filled
  Arena arena{.base = storage.get(), .capacity = kConversionArenaBytes, .used = 0};
  Zones zones;
  const MapResult mapped = map_study(read.texts, options, zones, arena);
  if (!mapped.ok()) return mapping_failure(mapped.status);
  ConversionResult result = write_json(mapped.study);
  result.text_repaired = read.text_repaired;
  return result;
}

ConversionResult convert_part10_to_imaging_study(const std::uint8_t* data, std::size_t size,
                                                 const ConversionOptions& options) {
  InstanceRead read;
  read_instance(data, size, read);
  return convert_instance(read, options);
}

}  // namespace zanthe::fhir

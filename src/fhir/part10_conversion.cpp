#include "fhir/part10_conversion.h"

#include <array>
#include <memory>
#include <span>

#include "dicom/part10_reader.h"
#include "fhir/study_mapping.h"

namespace zanthe::fhir {
namespace {

// The attributes the conversion reads, in lookup order.
enum Attribute : std::size_t {
  study_instance_uid,
  accession_number,
  study_id,
  patient_id,
  study_date,
  study_time,
  study_description,
  referring_physician_name,
  modality,
  series_instance_uid,
  series_description,
  body_part_examined,
  laterality,
  series_date,
  series_time,
  sop_instance_uid,
  sop_class_uid,
  attribute_count,
};

constexpr std::array<std::uint32_t, attribute_count> kAttributeTags = {
    0x0020000D, 0x00080050, 0x00200010, 0x00100020, 0x00080020, 0x00080030, 0x00081030, 0x00080090, 0x00080060,
    0x0020000E, 0x0008103E, 0x00180015, 0x00200060, 0x00080021, 0x00080031, 0x00080018, 0x00080016,
};

using AttributeTexts = std::array<std::string_view, attribute_count>;

ConversionResult failed(ConversionFailure failure) {
  ConversionResult result;
  result.failure = failure;
  return result;
}

// Reads the dataset's top-level elements into `elements` and looks up every attribute's trimmed text;
// false when there is no dataset to read.
bool read_attributes(const std::uint8_t* data, std::size_t size, dicom::ElementList& elements,
                     AttributeTexts& texts) {
  const dicom::MetaResult meta = dicom::read_file_meta(data, size);
  if (!meta.ok() || meta.info.dataset_offset >= size) return false;
  const bool explicit_vr = !dicom::is_implicit_vr_little_endian(meta.info.transfer_syntax_uid);
  const std::size_t offset = static_cast<std::size_t>(meta.info.dataset_offset);
  (void)dicom::parse_dataset(data + offset, size - offset, explicit_vr, elements);
  for (std::size_t i = 0; i < attribute_count; ++i) texts[i] = dicom::find_text(elements, kAttributeTags[i]);
  return true;
}

MapResult map_study(const AttributeTexts& v, Arena& arena) {
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
  };
  const bool has_series = !series.series_instance_uid.empty() && !series.modality.empty();
  return map_imaging_study(study, std::span<const SeriesSummary>(&series, has_series ? 1 : 0), arena);
}

// Writes into an area that doubles from 16 KiB until the text fits or 8 MiB has been tried.
ConversionResult write_json(const ImagingStudy& study) {
  ConversionResult result;
  result.json.assign(kFirstOutputBytes, '\0');
  for (;;) {
    const EmitResult emitted = write_imaging_study_json(
        study, reinterpret_cast<std::uint8_t*>(result.json.data()), result.json.size());
    if (emitted.ok()) {
      result.json.resize(emitted.length);
      return result;
    }
    if (emitted.error != EmitError::buffer_too_small || result.json.size() >= kMaxOutputBytes) {
      ConversionResult failure = failed(ConversionFailure::emit);
      failure.emit_error = emitted.error;
      return failure;
    }
    result.json.assign(result.json.size() * 2, '\0');
  }
}

}  // namespace

ConversionResult convert_part10_to_imaging_study(const std::uint8_t* data, std::size_t size) {
  dicom::ElementList elements;
  AttributeTexts texts;
  if (!read_attributes(data, size, elements, texts)) return failed(ConversionFailure::no_readable_dataset);
  if (texts[study_instance_uid].empty()) return failed(ConversionFailure::missing_study_instance_uid);

  const auto storage = std::make_unique<std::uint8_t[]>(kConversionArenaBytes);  // zero-filled
  Arena arena{.base = storage.get(), .capacity = kConversionArenaBytes, .used = 0};
  const MapResult mapped = map_study(texts, arena);
  if (!mapped.ok()) {
    ConversionResult failure = failed(ConversionFailure::mapping);
    failure.map_status = mapped.status;
    return failure;
  }
  return write_json(mapped.study);
}

}  // namespace zanthe::fhir

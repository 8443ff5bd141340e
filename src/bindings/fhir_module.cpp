// _fhir: one DICOM Part 10 instance (bytes) to the JSON text of one FHIR R4 ImagingStudy.
#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "dicom/part10_reader.h"
#include "fhir/imaging_study.h"
#include "fhir/json_writer.h"
#include "fhir/study_mapping.h"

namespace nb = nanobind;
namespace dicom = zanthe::dicom;
namespace fhir = zanthe::fhir;

namespace {

constexpr std::string_view kErrorPrefix = "fhir.imaging_study: ";
constexpr std::string_view kEmitErrorPrefix = "fhir.imaging_study emit: ";
constexpr std::size_t kArenaBytes = 65536;
constexpr std::size_t kFirstOutputBytes = 16384;
constexpr std::size_t kMaxOutputBytes = 8388608;

[[noreturn]] void fail(std::string_view prefix, std::string_view what) {
  throw std::runtime_error(std::string(prefix) + std::string(what));
}

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

// Reads the dataset's top-level elements into `elements` and looks up every attribute's trimmed text.
AttributeTexts read_attributes(const std::uint8_t* data, std::size_t size, dicom::ElementList& elements) {
  const dicom::MetaResult meta = dicom::read_file_meta(data, size);
  if (!meta.ok() || meta.info.dataset_offset >= size) fail(kErrorPrefix, "no readable DICOM dataset");
  const bool explicit_vr = !dicom::is_implicit_vr_little_endian(meta.info.transfer_syntax_uid);
  const std::size_t offset = static_cast<std::size_t>(meta.info.dataset_offset);
  (void)dicom::parse_dataset(data + offset, size - offset, explicit_vr, elements);
  AttributeTexts texts;
  for (std::size_t i = 0; i < attribute_count; ++i) texts[i] = dicom::find_text(elements, kAttributeTags[i]);
  return texts;
}

fhir::ImagingStudy map_study(const AttributeTexts& v, fhir::Arena& arena) {
  const std::array<std::string_view, 1> modality_list = {v[modality]};
  const fhir::StudySummary study = {
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
  const fhir::InstanceSummary instance = {.uid = v[sop_instance_uid], .sop_class = v[sop_class_uid]};
  const bool has_instance = !instance.uid.empty() && !instance.sop_class.empty();
  const fhir::SeriesSummary series = {
      .series_instance_uid = v[series_instance_uid],
      .modality = v[modality],
      .body_part = v[body_part_examined],
      .laterality = v[laterality],
      .series_description = v[series_description],
      .series_date = v[series_date],
      .series_time = v[series_time],
      .instances = std::span<const fhir::InstanceSummary>(&instance, has_instance ? 1 : 0),
  };
  const bool has_series = !series.series_instance_uid.empty() && !series.modality.empty();
  const fhir::MapResult mapped =
      fhir::map_imaging_study(study, std::span<const fhir::SeriesSummary>(&series, has_series ? 1 : 0), arena);
  if (!mapped.ok()) fail(kErrorPrefix, fhir::status_name(mapped.status));
  return mapped.study;
}

// Writes into a buffer that doubles from 16 KiB until the text fits or 8 MiB has been tried.
std::string write_json(const fhir::ImagingStudy& study) {
  std::string out(kFirstOutputBytes, '\0');
  for (;;) {
    const fhir::EmitResult result =
        fhir::write_imaging_study_json(study, reinterpret_cast<std::uint8_t*>(out.data()), out.size());
    if (result.ok()) {
      out.resize(result.length);
      return out;
    }
    if (result.error != fhir::EmitError::buffer_too_small || out.size() >= kMaxOutputBytes) {
      fail(kEmitErrorPrefix, fhir::emit_error_name(result.error));
    }
    out.assign(out.size() * 2, '\0');
  }
}

nb::object imaging_study(nb::bytes part10_bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(part10_bytes.c_str());
  dicom::ElementList elements;
  const AttributeTexts texts = read_attributes(data, part10_bytes.size(), elements);
  if (texts[study_instance_uid].empty()) fail(kErrorPrefix, "missing StudyInstanceUID (0020,000D)");

  const auto storage = std::make_unique<std::uint8_t[]>(kArenaBytes);  // zero-filled
  fhir::Arena arena{.base = storage.get(), .capacity = kArenaBytes, .used = 0};
  const std::string json = write_json(map_study(texts, arena));

  PyObject* text = PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
  if (text == nullptr) throw nb::python_error();  // UnicodeDecodeError for text that is not UTF-8
  return nb::steal(text);
}

}  // namespace

NB_MODULE(_fhir, m) {
  m.def("imaging_study", &imaging_study, nb::arg("part10_bytes"),
        "DICOM instance bytes -> FHIR R4 ImagingStudy JSON string (contained Patient). Over tolvane; "
        "single-instance (one series/instance) for now.");
}

// _fhir: one DICOM Part 10 instance (bytes) to the JSON text of one FHIR R4 ImagingStudy.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fhir/part10_conversion.h"

namespace nb = nanobind;
namespace fhir = zanthe::fhir;

namespace {

constexpr std::string_view kErrorPrefix = "fhir.imaging_study: ";
constexpr std::string_view kEmitErrorPrefix = "fhir.imaging_study emit: ";

[[noreturn]] void fail(std::string_view prefix, std::string_view what) {
  throw std::runtime_error(std::string(prefix) + std::string(what));
}

[[noreturn]] void raise_conversion_failure(const fhir::ConversionResult& result) {
  switch (result.failure) {
    case fhir::ConversionFailure::no_readable_dataset: fail(kErrorPrefix, "no readable DICOM dataset");
    case fhir::ConversionFailure::missing_study_instance_uid:
      fail(kErrorPrefix, "missing StudyInstanceUID (0020,000D)");
    case fhir::ConversionFailure::mapping: fail(kErrorPrefix, fhir::status_name(result.map_status));
    case fhir::ConversionFailure::emit:
    case fhir::ConversionFailure::none: break;
  }
  fail(kEmitErrorPrefix, fhir::emit_error_name(result.emit_error));
}

nb::object imaging_study(nb::bytes part10_bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(part10_bytes.c_str());
  const fhir::ConversionResult result = fhir::convert_part10_to_imaging_study(data, part10_bytes.size());
  if (!result.ok()) raise_conversion_failure(result);
  PyObject* text = PyUnicode_FromStringAndSize(result.json.data(), static_cast<Py_ssize_t>(result.json.size()));
  if (text == nullptr) throw nb::python_error();  // UnicodeDecodeError for text that is not UTF-8
  return nb::steal(text);
}

}  // namespace

NB_MODULE(_fhir, m) {
  m.def("imaging_study", &imaging_study, nb::arg("part10_bytes"),
        "DICOM instance bytes -> FHIR R4 ImagingStudy JSON string (contained Patient). Over tolvane; "
        "single-instance (one series/instance) for now.");
}

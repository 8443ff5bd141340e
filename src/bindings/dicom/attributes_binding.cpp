// _dicom.attributes_json: every attribute of a DICOM file as DICOM JSON model text.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bindings/dicom/bindings.h"
#include "dicom/json_model.h"

namespace nb = nanobind;
namespace dicom = zanthe::dicom;

namespace zanthe::bindings {
namespace {

constexpr std::string_view kPrefix = "dicom.attributes: ";

// A C-contiguous buffer held for the call without copying.
class HeldBuffer {
 public:
  explicit HeldBuffer(nb::handle source) {
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
      PyErr_Clear();
      throw nb::type_error("dicom.attributes: expected bytes or another C-contiguous buffer");
    }
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() { PyBuffer_Release(&view_); }

  [[nodiscard]] const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
  [[nodiscard]] std::size_t size() const { return static_cast<std::size_t>(view_.len); }
  // Bytes and read-only exports cannot change while the interpreter lock is released.
  [[nodiscard]] bool immutable() const { return view_.readonly != 0; }

 private:
  Py_buffer view_{};
};

[[noreturn]] void raise_failure(const dicom::JsonModelResult& result) {
  const std::string message = std::string(kPrefix).append(result.detail);
  if (result.code == dicom::JsonModelCode::not_dicom) {
    const nb::object error = nb::module_::import_("zanthe._fhir").attr("NotDicomError");
    PyErr_SetString(error.ptr(), message.c_str());
    throw nb::python_error();
  }
  throw std::runtime_error(message);
}

// A dataset read only in part still gives its JSON; the warning says why the rest is missing.
void warn_incomplete(const dicom::JsonModelResult& result) {
  const std::string message = std::string(kPrefix).append(result.detail);
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) != 0) throw nb::python_error();
}

nb::object attributes_json(nb::handle data, std::size_t inline_limit) {
  const HeldBuffer input(data);
  const dicom::JsonModelOptions options{.inline_limit = inline_limit};
  dicom::JsonModelResult result;
  if (input.immutable()) {
    nb::gil_scoped_release unlocked;
    result = dicom::dataset_json_model(input.data(), input.size(), options);
  } else {
    result = dicom::dataset_json_model(input.data(), input.size(), options);
  }
  if (!result.has_json()) raise_failure(result);
  if (result.code != dicom::JsonModelCode::ok) warn_incomplete(result);
  PyObject* text = PyUnicode_FromStringAndSize(result.json.data(), static_cast<Py_ssize_t>(result.json.size()));
  if (text == nullptr) throw nb::python_error();
  return nb::steal(text);
}

}  // namespace

void bind_attributes(nb::module_& m) {
  m.def("attributes_json", &attributes_json, nb::arg("data"), nb::arg("inline_limit") = 1024,
        nb::sig("def attributes_json(data: collections.abc.Buffer, inline_limit: int = 1024) -> str"),
        "Every attribute of the dataset as DICOM JSON model text (the file meta group left out). A binary "
        "value is InlineBinary only while its base64 text is at most inline_limit characters; a longer "
        "one has its VR alone. NotDicomError for bytes that hold no dataset; a dataset read in part gives "
        "its JSON with a UserWarning saying why.");
}

}  // namespace zanthe::bindings

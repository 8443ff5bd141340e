// zanthe._dicom.render: one frame of a DICOM file as PNG bytes and a summary of what was shown.
#include <Python.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "bindings/dicom/bindings.h"
#include "pixels/render.h"

namespace nb = nanobind;

namespace zanthe::bindings {
namespace {

using pixels::PixelCode;

constexpr const char* kPrefix = "dicom.render: ";

// The exception classes the failures raise, found once when the module is made and kept for the
// life of the process (as the module keeps them).
struct RenderErrors {
  PyObject* pixel_data = nullptr;
  PyObject* not_dicom = nullptr;
  PyObject* unsupported_syntax = nullptr;
};

RenderErrors& errors() {
  static RenderErrors classes;
  return classes;
}

[[noreturn]] void raise_status(const pixels::PixelStatus& status) {
  const std::string message = std::string(kPrefix) + status.detail;
  const RenderErrors& classes = errors();
  PyObject* raised = classes.pixel_data;
  if (status.code == PixelCode::not_dicom) raised = classes.not_dicom;
  if (status.code == PixelCode::unsupported_transfer_syntax) raised = classes.unsupported_syntax;
  if (raised == nullptr) raised = PyExc_RuntimeError;
  PyErr_SetString(raised, message.c_str());
  throw nb::python_error();
}

// The bytes of any C-contiguous buffer, held for the call; a writable one is copied first, since it
// could change while the interpreter lock is released.
class InputBytes {
 public:
  explicit InputBytes(nb::handle source) {
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
      PyErr_Clear();
      throw nb::type_error("dicom.render: expected bytes or another C-contiguous buffer");
    }
    if (view_.readonly == 0) {
      const auto* start = static_cast<const std::uint8_t*>(view_.buf);
      copy_.assign(start, start + view_.len);
    }
  }
  InputBytes(const InputBytes&) = delete;
  InputBytes& operator=(const InputBytes&) = delete;
  ~InputBytes() { PyBuffer_Release(&view_); }

  [[nodiscard]] const std::uint8_t* data() const {
    return view_.readonly == 0 ? copy_.data() : static_cast<const std::uint8_t*>(view_.buf);
  }
  [[nodiscard]] std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
  std::vector<std::uint8_t> copy_;
};

nb::dict summary_of(const pixels::RenderOutcome& outcome) {
  nb::dict summary;
  summary["rows"] = outcome.image.rows;
  summary["columns"] = outcome.image.columns;
  summary["frames"] = outcome.image.number_of_frames;
  summary["width"] = outcome.rendered.width;
  summary["height"] = outcome.rendered.height;
  if (outcome.rendered.window) {
    nb::list window;
    window.append(outcome.rendered.window->center);
    window.append(outcome.rendered.window->width);
    summary["window"] = window;
  } else {
    summary["window"] = nb::none();
  }
  summary["photometric"] = outcome.image.photometric;
  return summary;
}

nb::tuple render(nb::handle data, std::int64_t frame, std::optional<std::pair<double, double>> window,
                 std::optional<std::int64_t> max_size) {
  if (frame < 0 || frame > 0xFFFFFFFFll) throw nb::value_error("dicom.render: frame must be 0 or more");
  if (max_size && (*max_size < 1 || *max_size > 0xFFFFFFFFll)) {
    throw nb::value_error("dicom.render: max_size must be 1 or more");
  }
  pixels::RenderRequest request;
  request.frame = static_cast<std::uint32_t>(frame);
  if (window) {
    if (!std::isfinite(window->first) || !std::isfinite(window->second) || !(window->second > 0)) {
      throw nb::value_error("dicom.render: the window needs a finite center and a width above 0");
    }
    request.window = pixels::Window{window->first, window->second};
  }
  request.max_size = max_size ? static_cast<std::uint32_t>(*max_size) : 0;
  const InputBytes input(data);
  pixels::RenderOutcome outcome;
  pixels::PixelStatus status;
  {
    nb::gil_scoped_release unlocked;
    status = pixels::render_png(input.data(), input.size(), request, outcome);
  }
  if (!status.ok()) raise_status(status);
  nb::bytes png(reinterpret_cast<const char*>(outcome.png.data()), outcome.png.size());
  return nb::make_tuple(png, summary_of(outcome));
}

}  // namespace

void bind_render(nb::module_& module) {
  RenderErrors& classes = errors();
  const auto kept = [](nb::handle found) { return found.inc_ref().ptr(); };
  if (nb::hasattr(module, "PixelDataError")) classes.pixel_data = kept(module.attr("PixelDataError"));
  nb::module_ fhir = nb::module_::import_("zanthe._fhir");
  classes.not_dicom = kept(fhir.attr("NotDicomError"));
  classes.unsupported_syntax = kept(fhir.attr("UnsupportedTransferSyntaxError"));
  module.def("render", &render, nb::arg("data"), nb::arg("frame") = 0, nb::arg("window") = nb::none(),
             nb::arg("max_size") = nb::none(),
             nb::sig("def render(data: collections.abc.Buffer, frame: int = 0, "
                     "window: tuple[float, float] | None = None, max_size: int | None = None) -> tuple[bytes, dict]"),
             "One frame of a DICOM file through the display pipeline: (PNG bytes, summary).");
}

}  // namespace zanthe::bindings

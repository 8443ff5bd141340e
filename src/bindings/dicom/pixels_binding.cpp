// _dicom.pixels: one frame's stored values as an object exporting a read-only buffer (numpy.asarray
// views it without a copy), and _dicom.PixelDataError, which every part of _dicom raises.
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <utility>

#include "bindings/dicom/bindings.h"
#include "pixels/frame.h"

namespace nb = nanobind;
namespace px = zanthe::pixels;

namespace zanthe::bindings {
namespace {

constexpr std::string_view kPrefix = "dicom.pixels: ";

PyObject* pixel_data_error = nullptr;

// One decoded frame; the buffer it exports points into `frame.bytes`, which never changes after.
struct Pixels {
  px::Frame frame;
  Py_ssize_t shape[3] = {0, 0, 0};
  Py_ssize_t strides[3] = {0, 0, 0};
  int ndim = 2;

  [[nodiscard]] std::string photometric() const {
    return frame.photometric_after_decoding.empty() ? frame.image.photometric : frame.photometric_after_decoding;
  }
};

const char* format_of(px::SampleType type) {
  switch (type) {
    case px::SampleType::u8: return "B";
    case px::SampleType::i8: return "b";
    case px::SampleType::u16: return "H";
    case px::SampleType::i16: return "h";
    case px::SampleType::u32: return "I";
    case px::SampleType::i32: return "i";
  }
  return "B";
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "dicom.Pixels: the values are read-only");
    view->obj = nullptr;
    return -1;
  }
  Pixels* pixels = nb::inst_ptr<Pixels>(self);
  const px::Frame& frame = pixels->frame;
  view->obj = Py_NewRef(self);
  view->buf = const_cast<std::uint8_t*>(frame.bytes.data());
  view->len = static_cast<Py_ssize_t>(frame.bytes.size());
  view->readonly = 1;
  view->itemsize = static_cast<Py_ssize_t>(px::sample_size(frame.type));
  view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(format_of(frame.type)) : nullptr;
  const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
  view->ndim = nd ? pixels->ndim : 1;
  view->shape = nd ? pixels->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? pixels->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyType_Slot pixels_slots[] = {{Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)}, {0, nullptr}};

void set_shape(Pixels& pixels) {
  const px::ImagePixel& image = pixels.frame.image;
  const auto item = static_cast<Py_ssize_t>(px::sample_size(pixels.frame.type));
  const auto samples = static_cast<Py_ssize_t>(image.samples_per_pixel);
  pixels.shape[0] = static_cast<Py_ssize_t>(image.rows);
  pixels.shape[1] = static_cast<Py_ssize_t>(image.columns);
  pixels.shape[2] = samples;
  pixels.ndim = samples > 1 ? 3 : 2;
  pixels.strides[2] = item;
  pixels.strides[1] = item * samples;
  pixels.strides[0] = item * samples * pixels.shape[1];
}

// A C-contiguous buffer of any object that exports one, held for the call without copying.
class InputBuffer {
 public:
  explicit InputBuffer(nb::handle source) {
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
      PyErr_Clear();
      throw nb::type_error("dicom.pixels: expected bytes or another C-contiguous buffer");
    }
  }
  InputBuffer(const InputBuffer&) = delete;
  InputBuffer& operator=(const InputBuffer&) = delete;
  ~InputBuffer() { PyBuffer_Release(&view_); }

  [[nodiscard]] const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
  [[nodiscard]] std::size_t size() const { return static_cast<std::size_t>(view_.len); }
  // Bytes and other read-only exports cannot change while the interpreter lock is released.
  [[nodiscard]] bool immutable() const { return view_.readonly != 0; }

 private:
  Py_buffer view_{};
};

px::PixelStatus read_pixels(const InputBuffer& input, std::uint32_t index, px::Frame& frame) {
  px::DicomImage image;
  px::PixelStatus status = px::open_image(input.data(), input.size(), image);
  if (status.ok()) status = px::read_frame(image, index, frame);
  return status;
}

Pixels pixels(nb::handle data, std::int64_t frame) {
  const InputBuffer input(data);
  if (frame < 0 || frame > 0xFFFFFFFFll) {
    raise_pixel_status({px::PixelCode::frame_out_of_range, "frame " + std::to_string(frame) + " is no frame number"});
  }
  Pixels result;
  px::PixelStatus status;
  if (input.immutable()) {
    const nb::gil_scoped_release unlocked;
    status = read_pixels(input, static_cast<std::uint32_t>(frame), result.frame);
  } else {
    status = read_pixels(input, static_cast<std::uint32_t>(frame), result.frame);
  }
  if (!status.ok()) raise_pixel_status(status);
  set_shape(result);
  return result;
}

}  // namespace

void raise_pixel_status(const px::PixelStatus& status) {
  const std::string message = std::string(kPrefix).append(status.detail);
  PyObject* type = pixel_data_error;
  if (status.code == px::PixelCode::not_dicom || status.code == px::PixelCode::unsupported_transfer_syntax) {
    const nb::module_ fhir = nb::module_::import_("zanthe._fhir");
    const char* name =
        status.code == px::PixelCode::not_dicom ? "NotDicomError" : "UnsupportedTransferSyntaxError";
    const nb::object found = fhir.attr(name);
    PyErr_SetString(found.ptr(), message.c_str());
    throw nb::python_error();
  }
  PyErr_SetString(type, message.c_str());
  throw nb::python_error();
}

void bind_pixels(nb::module_& module) {
  pixel_data_error = PyErr_NewExceptionWithDoc(
      "zanthe._dicom.PixelDataError",
      "The pixel data cannot be read: attributes missing or inconsistent, a frame not in the data, data cut "
      "short, a size past what is read, or a decoder refusing the frame.",
      PyExc_RuntimeError, nullptr);
  if (pixel_data_error == nullptr) throw nb::python_error();
  module.attr("PixelDataError") = nb::handle(pixel_data_error);

  nb::class_<Pixels>(module, "Pixels", nb::type_slots(pixels_slots),
                     "One frame's stored values: a read-only buffer of shape (rows, columns) or (rows, columns, "
                     "samples), format B, b, H, h, I or i.")
      .def_prop_ro("rows", [](const Pixels& p) { return p.frame.image.rows; })
      .def_prop_ro("columns", [](const Pixels& p) { return p.frame.image.columns; })
      .def_prop_ro("frames", [](const Pixels& p) { return p.frame.image.number_of_frames; })
      .def_prop_ro("samples", [](const Pixels& p) { return p.frame.image.samples_per_pixel; })
      .def_prop_ro("photometric", &Pixels::photometric)
      .def_prop_ro("bits_allocated", [](const Pixels& p) { return p.frame.image.bits_allocated; })
      .def_prop_ro("bits_stored", [](const Pixels& p) { return p.frame.image.bits_stored; })
      .def_prop_ro("signed", [](const Pixels& p) { return p.frame.image.is_signed; })
      .def_prop_ro("transfer_syntax", [](const Pixels& p) { return p.frame.image.transfer_syntax; })
      .def_prop_ro("format", [](const Pixels& p) { return std::string(format_of(p.frame.type)); })
      .def("__repr__", [](const Pixels& p) {
        const px::ImagePixel& i = p.frame.image;
        return "<Pixels " + std::to_string(i.rows) + "x" + std::to_string(i.columns) + "x" +
               std::to_string(i.samples_per_pixel) + " " + format_of(p.frame.type) + " " + p.photometric() + ">";
      });

  module.def("pixels", &pixels, nb::arg("data"), nb::arg("frame") = 0,
             nb::sig("def pixels(data: collections.abc.Buffer, frame: int = 0) -> Pixels"),
             "Frame `frame` (from 0) of the DICOM file in data as stored values. NotDicomError, "
             "UnsupportedTransferSyntaxError or PixelDataError when it cannot be read.");
}

}  // namespace zanthe::bindings

// _fhir: DICOM Part 10 instances to FHIR R4 ImagingStudy JSON, one file at a time or grouped by study.
#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fhir/instance_reading.h"
#include "fhir/part10_conversion.h"
#include "fhir/study_grouping.h"
#include "fhir/time_zone.h"

namespace nb = nanobind;
namespace fhir = zanthe::fhir;

namespace {

constexpr std::string_view kErrorPrefix = "fhir.imaging_study: ";
constexpr std::string_view kEmitErrorPrefix = "fhir.imaging_study emit: ";
constexpr const char* kRepairedMessage =
    "fhir.imaging_study: text bytes that the declared character set cannot decode were replaced by U+FFFD";

// The failures that have exception classes of their own, all subclasses of RuntimeError.
struct NotDicom : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct UnsupportedTransferSyntax : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct MissingStudy : std::runtime_error {
  using std::runtime_error::runtime_error;
};

PyObject* text_repaired_warning = nullptr;

// How each failure reaches Python: the exception raised and the prefix its message puts before the
// engine's detail. The file system's failures are its own words alone.
enum class Raised : std::uint8_t { not_dicom, unsupported_syntax, missing_study, os_error, runtime_error };

struct FailureRow {
  fhir::ConversionCode code;
  Raised raised;
  std::string_view prefix;
};

using Code = fhir::ConversionCode;
constexpr FailureRow kFailureRows[] = {
    {Code::no_readable_dataset, Raised::not_dicom, kErrorPrefix},
    {Code::missing_study_instance_uid, Raised::missing_study, kErrorPrefix},
    {Code::unsupported_transfer_syntax, Raised::unsupported_syntax, kErrorPrefix},
    {Code::inflate_failed, Raised::runtime_error, kErrorPrefix},
    {Code::inflated_too_large, Raised::runtime_error, kErrorPrefix},
    {Code::header_too_large, Raised::runtime_error, kErrorPrefix},
    {Code::cannot_open, Raised::os_error, ""},
    {Code::cannot_read, Raised::os_error, ""},
    {Code::not_regular_file, Raised::runtime_error, ""},
    {Code::mapping_failed, Raised::runtime_error, kErrorPrefix},
    {Code::emit_failed, Raised::runtime_error, kEmitErrorPrefix},
};

// Row i holds code i + 1, for every failure code, so a code finds its row without a search.
constexpr bool rows_in_code_order() {
  for (std::size_t i = 0; i < std::size(kFailureRows); ++i) {
    if (static_cast<std::size_t>(kFailureRows[i].code) != i + 1) return false;
  }
  return true;
}
static_assert(rows_in_code_order() && std::size(kFailureRows) == static_cast<std::size_t>(Code::emit_failed));

const FailureRow& row_of(Code failure) { return kFailureRows[static_cast<std::size_t>(failure) - 1]; }

std::string message_of(const fhir::ConversionStatus& status) {
  return std::string(row_of(status.code).prefix).append(status.detail);
}

// A failure of the file at `path` (none for bytes) as its exception; the file system's as OSError.
[[noreturn]] void raise_failure(const fhir::ConversionStatus& status, const char* path = nullptr) {
  const std::string message = message_of(status);
  switch (row_of(status.code).raised) {
    case Raised::not_dicom: throw NotDicom(message);
    case Raised::unsupported_syntax: throw UnsupportedTransferSyntax(message);
    case Raised::missing_study: throw MissingStudy(message);
    case Raised::os_error:
      if (path == nullptr) break;
      errno = status.error_number;
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, path);
      throw nb::python_error();
    case Raised::runtime_error: break;
  }
  throw std::runtime_error(message);
}

// A C-contiguous buffer of any object that exports one, held for the call without copying.
class ReadableBuffer {
 public:
  explicit ReadableBuffer(nb::handle source) {
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) {
      PyErr_Clear();
      throw nb::type_error("fhir.imaging_study: expected bytes or another C-contiguous buffer");
    }
  }
  ReadableBuffer(const ReadableBuffer&) = delete;
  ReadableBuffer& operator=(const ReadableBuffer&) = delete;
  ~ReadableBuffer() { PyBuffer_Release(&view_); }

  [[nodiscard]] const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
  [[nodiscard]] std::size_t size() const { return static_cast<std::size_t>(view_.len); }
  // Bytes and read-only exports cannot change while the interpreter lock is released.
  [[nodiscard]] bool immutable() const { return view_.readonly != 0; }

 private:
  Py_buffer view_{};
};

// None, a fixed offset ("+01:00", "Z"), or a list of (first date YYYYMMDD, offset) changes.
fhir::ZoneOffsets zone_from(nb::handle timezone) {
  fhir::ZoneOffsets zone;
  if (timezone.is_none()) return zone;
  std::string offset;
  if (nb::isinstance<nb::str>(timezone)) {
    if (!fhir::parse_fixed_offset(nb::cast<std::string>(timezone), offset)) {
      throw nb::value_error("fhir.imaging_study: timezone must be a UTC offset such as \"+01:00\" or \"Z\"");
    }
    zone.changes.push_back({"00000000", offset});
    return zone;
  }
  for (nb::handle item : timezone) {
    const auto [date, text] = nb::cast<std::pair<std::string, std::string>>(item);
    if (date.size() != 8 || !fhir::parse_fixed_offset(text, offset) ||
        (!zone.changes.empty() && !(zone.changes.back().first_date < date))) {
      throw nb::value_error("fhir.imaging_study: timezone changes must be (YYYYMMDD, offset) pairs in date order");
    }
    zone.changes.push_back({date, offset});
  }
  return zone;
}

void warn_repaired() {
  if (PyErr_WarnEx(text_repaired_warning, kRepairedMessage, 1) != 0) throw nb::python_error();
}

nb::object json_text(const std::string& json) {
  PyObject* text = PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
  if (text == nullptr) throw nb::python_error();
  return nb::steal(text);
}

nb::object imaging_study(nb::handle part10_bytes, nb::handle timezone) {
  const ReadableBuffer input(part10_bytes);
  const fhir::ZoneOffsets zone = zone_from(timezone);
  const fhir::ConversionOptions options{.zone = zone.empty() ? nullptr : &zone};
  fhir::ConversionResult result;
  if (input.immutable()) {
    nb::gil_scoped_release unlocked;
    result = fhir::convert_part10_to_imaging_study(input.data(), input.size(), options);
  } else {
    result = fhir::convert_part10_to_imaging_study(input.data(), input.size(), options);
  }
  if (!result.ok()) raise_failure(result.status);
  if (result.text_repaired) warn_repaired();
  return json_text(result.json);
}

// The file at `path`, read up to its pixel data; failures raise as imaging_study's do, and the file
// system's as OSError.
nb::object imaging_study_file(const std::string& path, nb::handle timezone) {
  const fhir::ZoneOffsets zone = zone_from(timezone);
  const fhir::ConversionOptions options{.zone = zone.empty() ? nullptr : &zone};
  fhir::ConversionResult result;
  {
    nb::gil_scoped_release unlocked;
    std::vector<std::uint8_t> buffer;
    fhir::InstanceRead read;
    fhir::read_instance_file(path.c_str(), buffer, read);
    result = fhir::convert_instance(read, options);
  }
  if (!result.ok()) raise_failure(result.status, path.c_str());
  if (result.text_repaired) warn_repaired();
  return json_text(result.json);
}

// One outcome of the file conversions: the JSON text or the reason there is none, and what was noticed.
struct FileOutcome {
  std::string json;
  std::string reason;
  bool ok = false;
  bool text_repaired = false;
  bool local_time = false;
};

// Converts each file on its own from its header alone, without the interpreter lock.
nb::list convert_files(const std::vector<std::string>& paths, nb::handle timezone) {
  const fhir::ZoneOffsets zone = zone_from(timezone);
  const fhir::ConversionOptions options{.zone = zone.empty() ? nullptr : &zone};
  std::vector<FileOutcome> outcomes(paths.size());
  {
    nb::gil_scoped_release unlocked;
    std::vector<std::uint8_t> buffer;
    fhir::InstanceRead read;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      fhir::read_instance_file(paths[i].c_str(), buffer, read);
      fhir::ConversionResult result = fhir::convert_instance(read, options);
      FileOutcome& out = outcomes[i];
      out.ok = result.ok();
      out.text_repaired = result.text_repaired;
      out.local_time = result.local_time;
      if (out.ok) {
        out.json = std::move(result.json);
      } else {
        out.reason = message_of(result.status);
      }
    }
  }
  nb::list list;
  for (const FileOutcome& out : outcomes) {
    const nb::object text = out.ok ? json_text(out.json) : nb::none();
    const nb::object reason = out.ok ? nb::object(nb::none()) : nb::object(nb::str(out.reason.c_str()));
    list.append(nb::make_tuple(text, reason, out.text_repaired, out.local_time));
  }
  return list;
}

// A grouping that several Python threads may feed at once: each call reads into a grouping of its own
// and merges it in under the lock.
struct Grouping {
  fhir::StudyGrouper grouper;
  std::mutex lock;

  void merge_in(fhir::StudyGrouper&& part) {
    const std::lock_guard<std::mutex> held(lock);
    grouper.merge(std::move(part));
  }
};

// Reads the header of each file and adds its instance; gives the failures as (ordinal, reason) and the
// ordinals of files whose text had to be repaired.
nb::tuple add_files(Grouping& grouping, const std::vector<std::string>& paths, std::uint64_t first_ordinal) {
  std::vector<std::pair<std::uint64_t, std::string>> failures;
  std::vector<std::uint64_t> repaired;
  {
    nb::gil_scoped_release unlocked;
    fhir::StudyGrouper part;
    std::vector<std::uint8_t> buffer;
    fhir::InstanceRead read;
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const std::uint64_t ordinal = first_ordinal + i;
      fhir::read_instance_file(paths[i].c_str(), buffer, read);
      if (!read.ok()) {
        failures.emplace_back(ordinal, message_of(read.status));
        continue;
      }
      if (read.text_repaired) repaired.push_back(ordinal);
      part.add(read, ordinal);
    }
    grouping.merge_in(std::move(part));
  }
  nb::list failed;
  for (const auto& [ordinal, reason] : failures) failed.append(nb::make_tuple(ordinal, reason));
  nb::list fixed;
  for (const std::uint64_t ordinal : repaired) fixed.append(ordinal);
  return nb::make_tuple(failed, fixed);
}

// Adds the instance in `data` (a whole file or at least its header); gives the failure reason or None,
// and whether text had to be repaired.
nb::tuple add_bytes(Grouping& grouping, nb::handle data, std::uint64_t ordinal) {
  const ReadableBuffer input(data);
  fhir::InstanceRead read;
  fhir::read_instance(input.data(), input.size(), read);
  if (!read.ok()) return nb::make_tuple(nb::str(message_of(read.status).c_str()), false);  // NOLINT
  fhir::StudyGrouper part;
  part.add(read, ordinal);
  grouping.merge_in(std::move(part));
  return nb::make_tuple(nb::none(), read.text_repaired);
}

// Whether `data` (the first bytes of a file) reaches the pixel data, so that no more of it is needed.
bool header_ended(nb::handle data) {
  const ReadableBuffer input(data);
  fhir::InstanceRead read;
  fhir::read_instance(input.data(), input.size(), read);
  return read.header_ended || read.status.code == fhir::ConversionCode::no_readable_dataset;
}

nb::list studies(Grouping& grouping, nb::handle timezone) {
  const fhir::ZoneOffsets zone = zone_from(timezone);
  const fhir::ConversionOptions options{.zone = zone.empty() ? nullptr : &zone};
  std::vector<fhir::GroupedStudy> grouped;
  {
    nb::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> held(grouping.lock);
    grouped = grouping.grouper.emit(options);
  }
  nb::list list;
  for (const fhir::GroupedStudy& study : grouped) {
    const nb::object text = study.result.ok() ? json_text(study.result.json) : nb::none();
    const nb::object reason =
        study.result.ok() ? nb::object(nb::none()) : nb::object(nb::str(message_of(study.result.status).c_str()));
    list.append(nb::make_tuple(study.first_ordinal, study.study_uid, text, reason, study.result.local_time));
  }
  return list;
}

nb::list reports(Grouping& grouping) {
  std::vector<fhir::GroupReport> found;
  {
    const std::lock_guard<std::mutex> held(grouping.lock);
    found = grouping.grouper.reports();
  }
  nb::list list;
  for (const fhir::GroupReport& r : found) {
    const char* kind = r.kind == fhir::GroupReport::Kind::duplicate_instance ? "duplicate" : "conflict";
    list.append(nb::make_tuple(kind, r.study_uid, r.subject, r.first_value, r.first_ordinal, r.other_value,
                               r.other_ordinal));
  }
  return list;
}

nb::bytes grouping_state(Grouping& grouping) {
  const std::lock_guard<std::mutex> held(grouping.lock);
  const std::string form = grouping.grouper.serialize();
  return nb::bytes(form.data(), form.size());
}

void restore_grouping(Grouping& grouping, nb::handle state) {
  const ReadableBuffer input(state);
  new (&grouping) Grouping();
  if (!grouping.grouper.restore(
          std::string_view(reinterpret_cast<const char*>(input.data()), input.size()))) {
    throw nb::value_error("fhir.StudyGrouper: not a saved grouping");
  }
}

void merge_grouping(Grouping& grouping, Grouping& other) {
  if (&grouping == &other) return;
  fhir::StudyGrouper taken;
  {
    const std::lock_guard<std::mutex> held(other.lock);
    taken.merge(std::move(other.grouper));
  }
  grouping.merge_in(std::move(taken));
}

}  // namespace

NB_MODULE(_fhir, m) {
  nb::exception<NotDicom>(m, "NotDicomError", PyExc_RuntimeError);
  nb::exception<UnsupportedTransferSyntax>(m, "UnsupportedTransferSyntaxError", PyExc_RuntimeError);
  nb::exception<MissingStudy>(m, "MissingStudyError", PyExc_RuntimeError);
  text_repaired_warning = PyErr_NewExceptionWithDoc(
      "zanthe._fhir.TextRepairedWarning",
      "Some text bytes could not be decoded in the declared character set and were replaced by U+FFFD.",
      PyExc_UserWarning, nullptr);
  if (text_repaired_warning == nullptr) throw nb::python_error();
  m.attr("TextRepairedWarning") = nb::handle(text_repaired_warning);

  m.def("imaging_study", &imaging_study, nb::arg("part10_bytes"), nb::kw_only(), nb::arg("timezone") = nb::none(),
        nb::sig("def imaging_study(part10_bytes: collections.abc.Buffer, *, "
                "timezone: str | collections.abc.Sequence[tuple[str, str]] | None = None) -> str"),
        "DICOM instance bytes -> FHIR R4 ImagingStudy JSON string (contained Patient). Over tolvane; "
        "single-instance (one series/instance) for now.");
  m.def("imaging_study_file", &imaging_study_file, nb::arg("path"), nb::kw_only(), nb::arg("timezone") = nb::none(),
        nb::sig("def imaging_study_file(path: str, *, "
                "timezone: str | collections.abc.Sequence[tuple[str, str]] | None = None) -> str"),
        "imaging_study of the file at path, read only up to its pixel data; OSError when it cannot be read.");
  m.def("convert_files", &convert_files, nb::arg("paths"), nb::kw_only(), nb::arg("timezone") = nb::none(),
        nb::sig("def convert_files(paths: collections.abc.Sequence[str], *, "
                "timezone: str | collections.abc.Sequence[tuple[str, str]] | None = None) "
                "-> list[tuple[str | None, str | None, bool, bool]]"),
        "Each file on its own, read up to its pixel data: (json, None, text_repaired, local_time) or "
        "(None, reason, False, False), in order.");
  m.attr("MAX_HEADER_BYTES") = fhir::kMaxHeaderReadBytes;
  m.def("header_ended", &header_ended, nb::arg("data"),
        nb::sig("def header_ended(data: collections.abc.Buffer) -> bool"),
        "Whether the first bytes of a file reach its pixel data (or show it is no DICOM), so that reading "
        "more of it would change nothing.");

  nb::class_<Grouping>(m, "StudyGrouper",
                       "Instances grouped into one ImagingStudy per Study Instance UID. Ordinals (each file's "
                       "place in path order) decide which instance gives study and series values.")
      .def(nb::init<>())
      .def("add_files", &add_files, nb::arg("paths"), nb::arg("first_ordinal"),
           nb::sig("def add_files(self, paths: collections.abc.Sequence[str], first_ordinal: int) "
                   "-> tuple[list[tuple[int, str]], list[int]]"),
           "Reads each file's header and adds its instance (ordinals first_ordinal, first_ordinal + 1, ...). "
           "Gives the failures as (ordinal, reason) and the ordinals whose text was repaired.")
      .def("add_bytes", &add_bytes, nb::arg("data"), nb::arg("ordinal"),
           nb::sig("def add_bytes(self, data: collections.abc.Buffer, ordinal: int) -> tuple[str | None, bool]"),
           "Adds the instance in data (a file, or its first bytes through the header): (failure reason or None, "
           "text_repaired).")
      .def("merge", &merge_grouping, nb::arg("other"), "Moves every instance of other into this grouping.")
      .def("studies", &studies, nb::kw_only(), nb::arg("timezone") = nb::none(),
           nb::sig("def studies(self, *, timezone: str | collections.abc.Sequence[tuple[str, str]] | None = None) "
                   "-> list[tuple[int, str, str | None, str | None, bool]]"),
           "(first ordinal, study UID, JSON or None, failure reason or None, local_time) per study, in order "
           "of first instance.")
      .def("reports", &reports,
           nb::sig("def reports(self) -> list[tuple[str, str, str, str, int, str, int]]"),
           "(\"duplicate\", study UID, SOP Instance UID, \"\", kept ordinal, \"\", dropped ordinal) and "
           "(\"conflict\", study UID, attribute, first value, its ordinal, other value, its ordinal).")
      .def_prop_ro("study_count", [](Grouping& g) {
        const std::lock_guard<std::mutex> held(g.lock);
        return g.grouper.study_count();
      })
      .def_prop_ro("instance_count", [](Grouping& g) {
        const std::lock_guard<std::mutex> held(g.lock);
        return g.grouper.instance_count();
      })
      .def("__getstate__", &grouping_state)
      .def("__setstate__", &restore_grouping);
}

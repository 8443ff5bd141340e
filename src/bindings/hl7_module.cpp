// _hl7: HL7 v2 parsing and ORU^R01 building for Python.
#include <nanobind/nanobind.h>

#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "hl7/er7_parser.h"
#include "hl7/oru_builder.h"

namespace nb = nanobind;
namespace hl7 = zanthe::hl7;

namespace {

// Takes a new reference from a CPython call, or raises the error it left.
nb::object owned(PyObject* result) {
  if (result == nullptr) throw nb::python_error();
  return nb::steal(result);
}

nb::object str_from_utf8(std::string_view bytes) {
  return owned(PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// The UTF-8 bytes of a str, owned by that str. Anything else, or a str holding lone surrogates,
// is a failed conversion.
std::string_view utf8_of(nb::handle value) {
  if (!PyUnicode_Check(value.ptr())) throw nb::cast_error();
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (data == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    throw nb::cast_error();
  }
  return {data, static_cast<std::size_t>(size)};
}

void append_to(nb::handle list, nb::handle item) {
  if (PyList_Append(list.ptr(), item.ptr()) != 0) throw nb::python_error();
}

void set_item(nb::handle dict, const char* key, nb::handle value) {
  const nb::object key_object = owned(PyUnicode_FromString(key));
  if (PyObject_SetItem(dict.ptr(), key_object.ptr(), value.ptr()) != 0) throw nb::python_error();
}

nb::object segment_dict(const hl7::SegmentView& segment) {
  nb::object fields = owned(PyList_New(0));
  for (const std::string_view piece : hl7::split_fields(segment)) {
    append_to(fields, str_from_utf8(piece));
  }
  nb::object dict = owned(PyDict_New());
  set_item(dict, "id", str_from_utf8(std::string_view(segment.id.data(), segment.id.size())));
  set_item(dict, "fields", fields);
  return dict;
}

nb::object parse(nb::str text) {
  hl7::ParseResult result = hl7::parse_message(std::string(utf8_of(text)));
  if (!result.has_message()) {
    throw std::runtime_error("hl7.parse: " + std::string(hl7::error_name(result.error())));
  }
  const hl7::Message message = std::move(result).message();
  nb::object segments = owned(PyList_New(0));
  for (std::size_t i = 0; i < message.segment_count(); ++i) {
    append_to(segments, segment_dict(message.segment_at(i)));
  }
  return segments;
}

// Copies of the dictionary values the records point into; deque elements never move.
class StringStore {
 public:
  // Overwrites member with the value under key when the dictionary has that key.
  void read(nb::handle dict, const char* key, std::string_view& member) {
    const nb::object key_object = owned(PyUnicode_FromString(key));
    const int present = PyDict_Contains(dict.ptr(), key_object.ptr());
    if (present < 0) throw nb::python_error();
    if (present == 0) return;
    const nb::object value = owned(PyObject_GetItem(dict.ptr(), key_object.ptr()));
    member = strings_.emplace_back(utf8_of(value));
  }

 private:
  std::deque<std::string> strings_;
};

hl7::OruConfig read_config(nb::handle dict, StringStore& store) {
  hl7::OruConfig config;
  store.read(dict, "our_app", config.our_app);
  store.read(dict, "our_facility", config.our_facility);
  store.read(dict, "their_app", config.their_app);
  store.read(dict, "their_facility", config.their_facility);
  store.read(dict, "control_id", config.control_id);
  store.read(dict, "timestamp", config.timestamp);
  store.read(dict, "version", config.version);
  store.read(dict, "specific_character_set", config.specific_character_set);
  return config;
}

hl7::OruContext read_context(nb::handle dict, StringStore& store) {
  hl7::OruContext context;
  store.read(dict, "patient_id", context.patient_id);
  store.read(dict, "patient_name", context.patient_name);
  store.read(dict, "patient_birth_date", context.patient_birth_date);
  store.read(dict, "patient_sex", context.patient_sex);
  store.read(dict, "placer_order_number", context.placer_order_number);
  store.read(dict, "filler_order_number", context.filler_order_number);
  store.read(dict, "accession_number", context.accession_number);
  store.read(dict, "procedure_code", context.procedure_code);
  store.read(dict, "procedure_description", context.procedure_description);
  store.read(dict, "modality", context.modality);
  store.read(dict, "ordering_provider", context.ordering_provider);
  store.read(dict, "observation_datetime", context.observation_datetime);
  return context;
}

hl7::OruObservation read_observation(nb::handle item, StringStore& store) {
  if (!PyDict_Check(item.ptr())) throw nb::cast_error();
  hl7::OruObservation observation;
  store.read(item, "value_type", observation.value_type);
  store.read(item, "observation_id", observation.observation_id);
  store.read(item, "value", observation.value);
  store.read(item, "status", observation.status);
  return observation;
}

std::vector<hl7::OruObservation> read_observations(nb::handle list, StringStore& store) {
  std::vector<hl7::OruObservation> observations;
  const nb::object iterator = owned(PyObject_GetIter(list.ptr()));
  while (PyObject* next = PyIter_Next(iterator.ptr())) {
    const nb::object item = nb::steal(next);
    observations.push_back(read_observation(item, store));
  }
  if (PyErr_Occurred() != nullptr) throw nb::python_error();
  return observations;
}

nb::object build_oru(nb::dict config, nb::dict context, nb::list observations) {
  StringStore store;
  const hl7::OruConfig config_record = read_config(config, store);
  const hl7::OruContext context_record = read_context(context, store);
  const std::vector<hl7::OruObservation> records = read_observations(observations, store);
  const std::string message =
      hl7::build_oru_message(config_record, context_record, records.data(), records.size());
  return str_from_utf8(message);
}

}  // namespace

NB_MODULE(_hl7, m) {
  m.def("parse", &parse, nb::arg("text"), nb::sig("def parse(text: str) -> object"),
        "Parse an HL7 v2 message \u2192 list of {id, fields:[...]} segments (ER7 field split).");
  m.def("build_oru", &build_oru, nb::arg("config"), nb::arg("context"), nb::arg("observations"),
        nb::sig("def build_oru(config: dict, context: dict, observations: list) -> object"),
        "Build an HL7 v2.5 ORU^R01 result message from config/context/observation dicts.");
}

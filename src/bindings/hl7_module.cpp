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

// A list slot of a list made by PyList_New(size); the list takes over the item's reference.
void set_list_item(nb::handle list, std::size_t index, nb::object item) {
  if (PyList_SetItem(list.ptr(), static_cast<Py_ssize_t>(index), item.release().ptr()) != 0) {
    throw nb::python_error();
  }
}

// The two keys of every segment dictionary, made once per parse rather than once per segment.
struct SegmentKeys {
  nb::object id = owned(PyUnicode_InternFromString("id"));
  nb::object fields = owned(PyUnicode_InternFromString("fields"));
};

void set_item(nb::handle dict, const nb::object& key, nb::handle value) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}

nb::object segment_dict(const hl7::SegmentView& segment, const SegmentKeys& keys) {
  const std::vector<std::string_view> pieces = hl7::split_fields(segment);
  nb::object fields = owned(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
  for (std::size_t i = 0; i < pieces.size(); ++i) set_list_item(fields, i, str_from_utf8(pieces[i]));
  // fields[0] is the ID text itself for every ordinary segment; share that str rather than make another.
  const std::string_view id(segment.id.data(), segment.id.size());
  nb::object id_text = pieces.front() == id ? nb::borrow(PyList_GetItem(fields.ptr(), 0)) : str_from_utf8(id);
  nb::object dict = owned(PyDict_New());
  set_item(dict, keys.id, id_text);
  set_item(dict, keys.fields, fields);
  return dict;
}

// The parser owns the text it parses, so it gets a copy. One buffer per thread is reused for the
// copies, sparing each message up to 4 MiB a fresh allocation and the page faults of new memory.
constexpr std::size_t kKeptTextCapacity = std::size_t{4} << 20;
thread_local std::string reusable_text;

std::string copy_for_parser(std::string_view utf8) {
  std::string text = std::move(reusable_text);
  text.assign(utf8);
  return text;
}

void keep_for_reuse(std::string&& text) {
  if (text.capacity() <= kKeptTextCapacity) reusable_text = std::move(text);
}

nb::object parse(nb::str text) {
  hl7::ParseResult result = hl7::parse_message(copy_for_parser(utf8_of(text)));
  if (!result.has_message()) {
    throw std::runtime_error("hl7.parse: " + std::string(hl7::error_name(result.error())));
  }
  hl7::Message message = std::move(result).message();
  const SegmentKeys keys;
  nb::object segments = owned(PyList_New(static_cast<Py_ssize_t>(message.segment_count())));
  for (std::size_t i = 0; i < message.segment_count(); ++i) {
    set_list_item(segments, i, segment_dict(message.segment_at(i), keys));
  }
  keep_for_reuse(std::move(message.text));
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

// Dictionary key -> record member, in the order the values are read.
template <class Record>
using MemberKey = std::pair<const char*, std::string_view Record::*>;

constexpr MemberKey<hl7::OruConfig> kConfigKeys[] = {
    {"our_app", &hl7::OruConfig::our_app},
    {"our_facility", &hl7::OruConfig::our_facility},
    {"their_app", &hl7::OruConfig::their_app},
    {"their_facility", &hl7::OruConfig::their_facility},
    {"control_id", &hl7::OruConfig::control_id},
    {"timestamp", &hl7::OruConfig::timestamp},
    {"version", &hl7::OruConfig::version},
    {"specific_character_set", &hl7::OruConfig::specific_character_set},
};

constexpr MemberKey<hl7::OruContext> kContextKeys[] = {
    {"patient_id", &hl7::OruContext::patient_id},
    {"patient_name", &hl7::OruContext::patient_name},
    {"patient_birth_date", &hl7::OruContext::patient_birth_date},
    {"patient_sex", &hl7::OruContext::patient_sex},
    {"placer_order_number", &hl7::OruContext::placer_order_number},
    {"filler_order_number", &hl7::OruContext::filler_order_number},
    {"accession_number", &hl7::OruContext::accession_number},
    {"procedure_code", &hl7::OruContext::procedure_code},
    {"procedure_description", &hl7::OruContext::procedure_description},
    {"modality", &hl7::OruContext::modality},
    {"ordering_provider", &hl7::OruContext::ordering_provider},
    {"observation_datetime", &hl7::OruContext::observation_datetime},
};

constexpr MemberKey<hl7::OruObservation> kObservationKeys[] = {
    {"value_type", &hl7::OruObservation::value_type},
    {"observation_id", &hl7::OruObservation::observation_id},
    {"value", &hl7::OruObservation::value},
    {"status", &hl7::OruObservation::status},
};

// A record with its defaults, overwritten by the values the dictionary holds.
template <class Record, std::size_t N>
Record read_record(nb::handle dict, const MemberKey<Record> (&keys)[N], StringStore& store) {
  Record record;
  for (const auto& [key, member] : keys) store.read(dict, key, record.*member);
  return record;
}

hl7::OruObservation read_observation(nb::handle item, StringStore& store) {
  if (!PyDict_Check(item.ptr())) throw nb::cast_error();
  return read_record(item, kObservationKeys, store);
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
  const hl7::OruConfig config_record = read_record(config, kConfigKeys, store);
  const hl7::OruContext context_record = read_record(context, kContextKeys, store);
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

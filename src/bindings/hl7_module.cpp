// _hl7: HL7 v2 parsing and ORU^R01 building for Python.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "hl7/acknowledgment.h"
#include "hl7/er7_parser.h"
#include "hl7/journal.h"
#include "hl7/mllp_framing.h"
#include "hl7/mllp_listener.h"
#include "hl7/oru_builder.h"
#include "hl7/status.h"
#include "hl7/text_encoding.h"

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

// --- failures ----------------------------------------------------------------------------------

// ParseError, a RuntimeError subclass whose `reason` is the code name; made when the module loads.
PyObject* parse_error_type = nullptr;

// The Python exception each engine failure becomes. Codes missing here are never raised: they end
// up in acknowledgment texts or stop an iteration.
enum class PythonError : std::uint8_t { parse_error, value_error, buffer_error, os_error };

constexpr std::pair<hl7::ErrorCode, PythonError> kRaisedAs[] = {
    {hl7::ErrorCode::empty, PythonError::parse_error},
    {hl7::ErrorCode::no_msh, PythonError::parse_error},
    {hl7::ErrorCode::msh_too_short, PythonError::parse_error},
    {hl7::ErrorCode::bad_delimiters, PythonError::parse_error},
    {hl7::ErrorCode::unsupported_version, PythonError::parse_error},
    {hl7::ErrorCode::bad_segment_id, PythonError::parse_error},
    {hl7::ErrorCode::unknown_ack_code, PythonError::value_error},
    {hl7::ErrorCode::oversize_frame, PythonError::buffer_error},
    {hl7::ErrorCode::system_error, PythonError::os_error},
};

[[noreturn]] void raise_exception(PyObject* type, const nb::object& exception) {
  PyErr_SetObject(type, exception.ptr());
  throw nb::python_error();
}

// Raises the exception of `failure` with `message`, which names the operation ("hl7.parse: ...").
[[noreturn]] void raise_failure(const hl7::Status& failure, const std::string& message) {
  const auto found = std::find_if(std::begin(kRaisedAs), std::end(kRaisedAs),
                                  [&](const auto& entry) { return entry.first == failure.code; });
  if (found == std::end(kRaisedAs)) throw std::runtime_error(message);
  switch (found->second) {
    case PythonError::parse_error: {
      const nb::object error = owned(PyObject_CallFunctionObjArgs(parse_error_type, str_from_utf8(message).ptr(), nullptr));
      const std::string_view reason = hl7::error_name(static_cast<hl7::ParseError>(failure.code));
      if (PyObject_SetAttrString(error.ptr(), "reason", str_from_utf8(reason).ptr()) != 0) throw nb::python_error();
      raise_exception(parse_error_type, error);
    }
    case PythonError::value_error: throw nb::value_error(message.c_str());
    case PythonError::buffer_error: throw nb::buffer_error(message.c_str());
    case PythonError::os_error: {
      const nb::object error = owned(PyObject_CallFunction(PyExc_OSError, "is", failure.os_error, message.c_str()));
      // OSError's constructor picks the subclass of the errno (FileNotFoundError, ...).
      raise_exception(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error);
    }
  }
  throw std::runtime_error(message);
}

// "<detail>: <the errno's text>", how a failed system step reads.
std::string with_os_error(std::string_view text, const hl7::Status& failure) {
  return std::string(text) + ": " + std::strerror(failure.os_error);
}

// --- parsing -------------------------------------------------------------------------------------

nb::object parse(nb::str text) {
  hl7::ParseResult result = hl7::parse_message(copy_for_parser(utf8_of(text)));
  if (!result.ok()) raise_failure(result.status(), "hl7.parse: " + result.status().detail);
  hl7::Message message = std::move(result).value();
  const SegmentKeys keys;
  nb::object segments = owned(PyList_New(static_cast<Py_ssize_t>(message.segment_count())));
  for (std::size_t i = 0; i < message.segment_count(); ++i) {
    set_list_item(segments, i, segment_dict(message.segment_at(i), keys));
  }
  keep_for_reuse(std::move(message.text));
  return segments;
}

// Whether the dictionary holds the key, by a membership test with a str key.
bool contains(nb::handle dict, const nb::object& key) {
  const int present = PyDict_Contains(dict.ptr(), key.ptr());
  if (present < 0) throw nb::python_error();
  return present != 0;
}

// Copies of the dictionary values the records point into; deque elements never move.
class StringStore {
 public:
  // Overwrites member with the value under key when the dictionary has that key; true if it had.
  bool read(nb::handle dict, const char* key, std::string_view& member) {
    const nb::object key_object = owned(PyUnicode_FromString(key));
    if (!contains(dict, key_object)) return false;
    const nb::object value = owned(PyObject_GetItem(dict.ptr(), key_object.ptr()));
    member = strings_.emplace_back(utf8_of(value));
    return true;
  }

 private:
  std::deque<std::string> strings_;
};

// The ORU^R01 input keys: dictionary key, record member and what the field holds. These tables are
// the one definition of the keys; the command line, the MCP tool and the type stubs read them
// through ORU_FIELDS.
template <class Record>
struct MemberKey {
  const char* key;
  std::string_view Record::*member;
  const char* description;
};

constexpr MemberKey<hl7::OruConfig> kConfigKeys[] = {
    {"our_app", &hl7::OruConfig::our_app, "Sending application (MSH-3)."},
    {"our_facility", &hl7::OruConfig::our_facility, "Sending facility (MSH-4)."},
    {"their_app", &hl7::OruConfig::their_app, "Receiving application (MSH-5)."},
    {"their_facility", &hl7::OruConfig::their_facility, "Receiving facility (MSH-6)."},
    {"control_id", &hl7::OruConfig::control_id, "Message control ID (MSH-10)."},
    {"timestamp", &hl7::OruConfig::timestamp, "Date/time of message, HL7 DTM such as 20240101120000 (MSH-7)."},
    {"version", &hl7::OruConfig::version, "HL7 version (MSH-12); default \"2.5\"."},
    {"specific_character_set", &hl7::OruConfig::specific_character_set,
     "Character set (MSH-18), e.g. UNICODE UTF-8; omitted when empty."},
};

constexpr MemberKey<hl7::OruContext> kContextKeys[] = {
    {"patient_id", &hl7::OruContext::patient_id, "Patient identifier (PID-3)."},
    {"patient_name", &hl7::OruContext::patient_name, "Patient name with HL7 components, e.g. DOE^JOHN (PID-5)."},
    {"patient_birth_date", &hl7::OruContext::patient_birth_date, "Birth date, YYYYMMDD (PID-7)."},
    {"patient_sex", &hl7::OruContext::patient_sex, "Administrative sex, e.g. F, M, O, U (PID-8)."},
    {"placer_order_number", &hl7::OruContext::placer_order_number, "Placer order number (ORC-2, OBR-2)."},
    {"filler_order_number", &hl7::OruContext::filler_order_number, "Filler order number (ORC-3, OBR-3)."},
    {"accession_number", &hl7::OruContext::accession_number, "Accession number (OBR-18)."},
    {"procedure_code", &hl7::OruContext::procedure_code, "Procedure code, first component of OBR-4."},
    {"procedure_description", &hl7::OruContext::procedure_description,
     "Procedure description, second component of OBR-4."},
    {"modality", &hl7::OruContext::modality, "Modality such as CT or MR (OBR-24)."},
    {"ordering_provider", &hl7::OruContext::ordering_provider, "Ordering provider with HL7 components, e.g. SMITH^JANE (OBR-16)."},
    {"observation_datetime", &hl7::OruContext::observation_datetime, "Observation date/time (OBR-7)."},
};

constexpr MemberKey<hl7::OruObservation> kObservationKeys[] = {
    {"value_type", &hl7::OruObservation::value_type, "Value type (OBX-2); default \"TX\"."},
    {"observation_id", &hl7::OruObservation::observation_id,
     "Observation identifier with components, e.g. FINDING^Findings (OBX-3)."},
    {"value", &hl7::OruObservation::value, "The observation value (OBX-5); multi-line text is allowed."},
    {"status", &hl7::OruObservation::status, "Result status (OBX-11); default \"F\" (final)."},
};

// Keys a record accepts without reading them. observation_datetime belongs to the order (OBR-7) and
// is read from the context only; in an observation dict it is ignored, not refused.
constexpr std::array<const char*, 1> kIgnoredObservationKeys = {"observation_datetime"};

template <class Record, std::size_t N>
nb::tuple field_descriptions(const MemberKey<Record> (&keys)[N]) {
  nb::list fields;
  for (const auto& entry : keys) fields.append(nb::make_tuple(entry.key, entry.description));
  return nb::tuple(fields);
}

// ValueError naming the keys of `dict` that are neither in `keys` nor ignored: a mistyped key must
// not silently give an empty field.
template <class Record, std::size_t N>
[[noreturn]] void refuse_unknown_keys(nb::handle dict, const MemberKey<Record> (&keys)[N],
                                      std::span<const char* const> ignored, const char* where) {
  std::string names;
  std::size_t count = 0;
  for (nb::handle key : nb::borrow<nb::dict>(dict).keys()) {
    const auto is_key = [&](const char* name) { return utf8_of(key) == std::string_view(name); };
    const bool known = PyUnicode_Check(key.ptr()) &&
                       (std::any_of(std::begin(keys), std::end(keys), [&](const auto& k) { return is_key(k.key); }) ||
                        std::any_of(ignored.begin(), ignored.end(), is_key));
    if (known) continue;
    names += (count++ == 0 ? "" : ", ") + nb::cast<std::string>(nb::repr(key));
  }
  throw nb::value_error(("hl7.build_oru: unknown key" + std::string(count == 1 ? "" : "s") + " in " + where + ": " + names).c_str());
}

// A record with its defaults, overwritten by the values the dictionary holds.
template <class Record, std::size_t N>
Record read_record(nb::handle dict, const MemberKey<Record> (&keys)[N], StringStore& store, const char* where,
                   std::span<const char* const> ignored = {}) {
  Record record;
  Py_ssize_t found = 0;
  for (const auto& entry : keys) found += store.read(dict, entry.key, record.*entry.member) ? 1 : 0;
  for (const char* key : ignored) found += contains(dict, owned(PyUnicode_FromString(key))) ? 1 : 0;
  if (found != PyDict_Size(dict.ptr())) refuse_unknown_keys(dict, keys, ignored, where);
  return record;
}

hl7::OruObservation read_observation(nb::handle item, std::size_t index, StringStore& store) {
  if (!PyDict_Check(item.ptr())) throw nb::cast_error();
  const std::string where = "observations[" + std::to_string(index) + "]";
  return read_record(item, kObservationKeys, store, where.c_str(), kIgnoredObservationKeys);
}

std::vector<hl7::OruObservation> read_observations(nb::handle list, StringStore& store) {
  std::vector<hl7::OruObservation> observations;
  const nb::object iterator = owned(PyObject_GetIter(list.ptr()));
  while (PyObject* next = PyIter_Next(iterator.ptr())) {
    const nb::object item = nb::steal(next);
    observations.push_back(read_observation(item, observations.size(), store));
  }
  if (PyErr_Occurred() != nullptr) throw nb::python_error();
  return observations;
}

nb::object build_oru(nb::dict config, nb::dict context, nb::list observations) {
  StringStore store;
  const hl7::OruConfig config_record = read_record(config, kConfigKeys, store, "config");
  const hl7::OruContext context_record = read_record(context, kContextKeys, store, "context");
  const std::vector<hl7::OruObservation> records = read_observations(observations, store);
  const std::string message =
      hl7::build_oru_message(config_record, context_record, records.data(), records.size());
  return str_from_utf8(message);
}

// --- acknowledgments -------------------------------------------------------------------------

hl7::AckCode ack_code_argument(std::string_view code) {
  const hl7::Result<hl7::AckCode> parsed = hl7::ack_code_from(code);
  if (!parsed.ok()) raise_failure(parsed.status(), "hl7.build_ack: " + parsed.status().detail);
  return parsed.value();
}

nb::object build_ack(nb::str message, nb::str code, std::optional<nb::str> text, std::optional<nb::str> control_id,
                     std::optional<nb::str> error_code) {
  hl7::AckRequest request;
  request.message = utf8_of(message);
  request.code = ack_code_argument(utf8_of(code));
  request.text = text ? utf8_of(*text) : std::string_view{};
  const std::string fresh = control_id ? std::string() : hl7::fresh_control_id();
  request.control_id = control_id ? utf8_of(*control_id) : std::string_view(fresh);
  const std::string timestamp = hl7::current_timestamp();
  request.timestamp = timestamp;
  // Errors and rejections carry an ERR segment; an application internal error unless told.
  const bool has_error = request.code != hl7::AckCode::accept;
  request.error_code =
      error_code ? utf8_of(*error_code) : (has_error ? hl7::condition::kApplicationInternalError : std::string_view{});
  return str_from_utf8(hl7::build_ack(request));
}

// --- headers, character sets and MLLP frames ----------------------------------------------------

nb::bytes bytes_of(std::string_view bytes) { return nb::bytes(bytes.data(), bytes.size()); }

// What Python reads from a message header, as text.
struct Header {
  std::string delimiters;  // MSH-1 and the four encoding characters, "|^~\&" as a rule
  nb::str control_id;      // MSH-10
  nb::str character_set;   // MSH-18, first repetition
  std::optional<std::string> codec;  // the Python codec of MSH-18; None when it is not supported
};

std::optional<std::string> header_codec(const hl7::MessageHeader& header) {
  const std::optional<std::string_view> codec = hl7::codec_name(header.character_set);
  return codec ? std::optional<std::string>(*codec) : std::nullopt;
}

std::string delimiter_text(const hl7::Delimiters& d) {
  return {d.field, d.component, d.repetition, d.escape, d.subcomponent};
}

hl7::MessageHeader header_of(std::string_view bytes) {
  hl7::Result<hl7::MessageHeader> header = hl7::read_header(bytes);
  if (!header.ok()) raise_failure(header.status(), "hl7.read_header: " + header.status().detail);
  return std::move(header).value();
}

nb::str decoded(std::string_view bytes, const char* codec, const char* errors) {
  return nb::borrow<nb::str>(owned(PyUnicode_Decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), codec, errors)));
}

// Bytes: the fields are decoded in the character set the header declares (UTF-8 when it is not
// supported), bytes that are not text in it replaced.
Header read_header_of_bytes(const nb::bytes& message) {
  const hl7::MessageHeader header = header_of(std::string_view(message.c_str(), message.size()));
  std::optional<std::string> codec = header_codec(header);
  const char* decoding = codec ? codec->c_str() : "utf-8";
  return Header{delimiter_text(header.delimiters), decoded(header.control_id, decoding, "replace"),
                decoded(header.character_set, decoding, "replace"), std::move(codec)};
}

// A str: only its first line is encoded, and with surrogates passed through, so the fields come back
// exactly as written whatever the rest of the text holds.
Header read_header_of_str(const nb::str& message) {
  const Py_ssize_t length = PyUnicode_GetLength(message.ptr());
  Py_ssize_t end = length;
  for (const Py_UCS4 terminator : {Py_UCS4{'\r'}, Py_UCS4{'\n'}}) {
    const Py_ssize_t found = PyUnicode_FindChar(message.ptr(), terminator, 0, end, 1);
    if (found == -2) throw nb::python_error();
    if (found >= 0) end = found;
  }
  const nb::object line = owned(PyUnicode_Substring(message.ptr(), 0, end));
  const nb::object utf8 = owned(PyUnicode_AsEncodedString(line.ptr(), "utf-8", "surrogatepass"));
  const hl7::MessageHeader header =
      header_of(std::string_view(PyBytes_AsString(utf8.ptr()), static_cast<std::size_t>(PyBytes_Size(utf8.ptr()))));
  return Header{delimiter_text(header.delimiters), decoded(header.control_id, "utf-8", "surrogatepass"),
                decoded(header.character_set, "utf-8", "surrogatepass"), header_codec(header)};
}

Header read_header(nb::handle message) {
  if (PyUnicode_Check(message.ptr())) return read_header_of_str(nb::borrow<nb::str>(message));
  if (PyBytes_Check(message.ptr())) return read_header_of_bytes(nb::borrow<nb::bytes>(message));
  throw nb::type_error("hl7.read_header: expected str or bytes");
}

nb::object codec_of(const nb::str& character_set) {
  const std::optional<std::string_view> codec = hl7::codec_name(utf8_of(character_set));
  return codec ? str_from_utf8(*codec) : nb::none();
}

nb::bytes frame(const nb::bytes& message) {
  std::string framed;
  hl7::append_frame(framed, std::string_view(message.c_str(), message.size()));
  return bytes_of(framed);
}

class PyFrameReader {
 public:
  explicit PyFrameReader(std::size_t limit) : reader_(limit) {}

  void feed(const nb::bytes& data) { reader_.feed(std::string_view(data.c_str(), data.size())); }

  nb::object next_frame() {
    const hl7::Result<std::optional<std::string>> next = reader_.next_frame();
    if (!next.ok()) raise_failure(next.status(), "hl7.FrameReader: " + next.status().detail);
    const std::optional<std::string>& frame = next.value();
    return frame ? nb::object(bytes_of(*frame)) : nb::none();
  }

  void clear() { reader_.clear(); }

 private:
  hl7::FrameReader reader_;
};

// --- the listener ------------------------------------------------------------------------------

// "LookupError: registry offline": what the peer and the journal learn of a failed handler. The
// traceback stays on this side: it names files of the server.
std::string exception_summary(const nb::python_error& error) {
  constexpr std::size_t kMaxSummary = 200;
  std::string summary = nb::type_name(error.type()).c_str();
  const std::string text = nb::str(error.value()).c_str();
  if (!text.empty()) summary += ": " + text;
  if (summary.size() > kMaxSummary) summary = summary.substr(0, kMaxSummary) + "...";
  return summary;
}

// Calls the Python handler with the lock held: None accepts; (code, text) decides; an exception
// answers AE with its text, so a faulty handler can never stop the listener.
hl7::MessageHandler python_handler(nb::object handler) {
  if (handler.is_none()) return {};
  return [handler = std::move(handler)](std::string_view message, std::string_view peer) -> hl7::Verdict {
    nb::gil_scoped_acquire locked;
    try {
      const nb::object answer = handler(bytes_of(message), nb::str(peer.data(), peer.size()));
      if (answer.is_none()) return {};
      const auto [code, text] = nb::cast<std::pair<std::string, std::string>>(answer);
      const hl7::Result<hl7::AckCode> parsed = hl7::ack_code_from(code);
      if (!parsed.ok()) return hl7::Verdict{hl7::AckCode::error, "handler answered an unknown code " + code};
      return hl7::Verdict{parsed.value(), text};
    } catch (const nb::python_error& error) {
      return hl7::Verdict{hl7::AckCode::error, "handler failed: " + exception_summary(error)};
    } catch (const std::exception& error) {
      return hl7::Verdict{hl7::AckCode::error, std::string("handler failed: ") + error.what()};
    }
  };
}

class PyListener {
 public:
  PyListener(const std::string& store, const std::string& host, int port, std::size_t max_message_bytes,
             double idle_timeout, bool fsync, nb::object handler) {
    // A port of -1 listens nowhere: connections arrive only through adopt (behind a TLS relay).
    if (port < -1 || port > 65535) throw nb::value_error("hl7.listen: port must be 0 to 65535");
    if (!(idle_timeout > 0) || !std::isfinite(idle_timeout)) throw nb::value_error("hl7.listen: idle_timeout must be positive");
    if (max_message_bytes == 0) throw nb::value_error("hl7.listen: max_message_bytes must be positive");
    hl7::ListenerOptions options;
    options.store = store;
    options.host = host;
    options.listen = port >= 0;
    options.port = static_cast<std::uint16_t>(std::max(port, 0));
    options.max_message_bytes = max_message_bytes;
    options.idle_timeout = std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(idle_timeout * 1000)));
    options.sync = fsync;
    if (const hl7::Status opened = listener_.open(options, python_handler(std::move(handler))); !opened.ok()) {
      raise_failure(opened, with_os_error("hl7.listen: " + opened.detail + " (" + store + ")", opened));
    }
  }

  void serve() {
    if (served_) throw std::runtime_error("hl7.listen: a listener serves only once");
    served_ = true;
    serving_ = true;
    {
      nb::gil_scoped_release unlocked;
      listener_.run();
    }
    serving_ = false;
    listener_.close();  // the handler goes with the lock held, as it must
  }

  void stop() noexcept { listener_.stop(); }

  // Frees the port, the journal and the handler now rather than when collected; while serving,
  // stops, and serve frees them as it returns.
  void close() noexcept {
    listener_.stop();
    if (!serving_) listener_.close();
  }

  void adopt(int fd, const std::string& peer) {
    if (const hl7::Status adopted = listener_.adopt(fd, peer); !adopted.ok()) {
      raise_failure(adopted, "hl7.listen: " + adopted.detail);
    }
  }

  [[nodiscard]] int port() const noexcept { return listener_.port(); }
  [[nodiscard]] std::uint64_t cut_bytes() const noexcept { return listener_.cut_bytes(); }
  [[nodiscard]] std::uint64_t stored_messages() const noexcept { return listener_.stored_messages(); }

 private:
  hl7::Listener listener_;
  bool served_ = false;
  bool serving_ = false;
};

// --- reading a journal -------------------------------------------------------------------------

// Iterates the records of a journal: (received_us, peer, sender, control_id, ack, ack_text,
// duplicate, truncated, size, message bytes). A torn end (a crash, or a write in progress) stops
// the iteration; `torn_at` then gives its offset.
class JournalRecords {
 public:
  explicit JournalRecords(const std::string& store) {
    const hl7::Result<int> opened = hl7::open_journal_for_reading(store);
    if (!opened.ok()) raise_failure(opened.status(), with_os_error("hl7.journal: " + opened.status().detail, opened.status()));
    fd_ = opened.value();
    cursor_ = std::make_unique<hl7::JournalCursor>(fd_);
  }
  JournalRecords(const JournalRecords&) = delete;
  JournalRecords& operator=(const JournalRecords&) = delete;
  ~JournalRecords() {
    if (fd_ >= 0) close(fd_);
  }

  nb::tuple next() {
    hl7::JournalEntry entry;
    if (cursor_->next(entry)) {
      return nb::make_tuple(entry.received_us, nb::str(entry.peer.data(), entry.peer.size()), bytes_of(entry.sender),
                            bytes_of(entry.control_id), nb::str(hl7::ack_code_text(entry.ack).data(), 2),
                            bytes_of(entry.ack_text), entry.duplicate, entry.truncated, entry.size,
                            bytes_of(entry.message));
    }
    const hl7::Status& stopped = cursor_->status();
    if (stopped.code == hl7::ErrorCode::system_error) raise_failure(stopped, with_os_error("hl7.journal: cannot read", stopped));
    if (stopped.code == hl7::ErrorCode::torn_record) torn_at_ = stopped.offset;
    throw nb::stop_iteration();
  }

  [[nodiscard]] std::optional<std::uint64_t> torn_at() const noexcept { return torn_at_; }

 private:
  int fd_ = -1;
  std::unique_ptr<hl7::JournalCursor> cursor_;
  std::optional<std::uint64_t> torn_at_;
};

}  // namespace

NB_MODULE(_hl7, m) {
  parse_error_type = PyErr_NewExceptionWithDoc(
      "zanthe._hl7.ParseError", "A message the ER7 parser refuses; `reason` names why (for example 'bad_segment_id').",
      PyExc_RuntimeError, nullptr);
  if (parse_error_type == nullptr) throw nb::python_error();
  m.attr("ParseError") = nb::borrow(parse_error_type);
  m.def("parse", &parse, nb::arg("text"), nb::sig("def parse(text: str) -> object"),
        "Parse an HL7 v2 message \u2192 list of {id, fields:[...]} segments (ER7 field split).");
  m.def("build_oru", &build_oru, nb::arg("config"), nb::arg("context"), nb::arg("observations"),
        nb::sig("def build_oru(config: dict, context: dict, observations: list) -> object"),
        "Build an HL7 v2.5 ORU^R01 result message from config/context/observation dicts.");
  nb::dict fields;
  fields["config"] = field_descriptions(kConfigKeys);
  fields["context"] = field_descriptions(kContextKeys);
  fields["observation"] = field_descriptions(kObservationKeys);
  m.attr("ORU_FIELDS") = fields;
  m.def("build_ack", &build_ack, nb::arg("message"), nb::arg("code") = "AA", nb::arg("text") = nb::none(), nb::kw_only(),
        nb::arg("control_id") = nb::none(), nb::arg("error_code") = nb::none(),
        "The ER7 acknowledgment of a message: its MSH mirrored, MSA with code and text, ERR unless AA.");
  nb::class_<Header>(m, "Header", "The fields of a message header that readers of raw messages need.")
      .def_ro("delimiters", &Header::delimiters, "MSH-1 and the four encoding characters of MSH-2.")
      .def_ro("control_id", &Header::control_id, "MSH-10.")
      .def_ro("character_set", &Header::character_set, "MSH-18, its first repetition; empty when absent.")
      .def_ro("codec", &Header::codec, "The Python codec of MSH-18 (UTF-8 when absent); None when not supported.");
  m.def("read_header", &read_header, nb::arg("message"), nb::sig("def read_header(message: str | bytes) -> Header"),
        "The header of a message, read from its first line alone; the fields of bytes are decoded in\n"
        "the character set MSH-18 declares. Raises ParseError (empty, no_msh, msh_too_short or\n"
        "bad_delimiters) when there is no header to read.");
  m.def("codec_of", &codec_of, nb::arg("character_set"), nb::sig("def codec_of(character_set: str) -> str | None"),
        "The Python codec of an MSH-18 value (white space around it and letter case aside), UTF-8 for\n"
        "an empty one; None when the character set is not supported.");
  m.def("frame", &frame, nb::arg("message"), "The message framed for MLLP: 0x0B, its bytes, 0x1C 0x0D.");
  nb::class_<PyFrameReader>(m, "FrameReader",
                            "Cuts received bytes into MLLP frames: bytes outside frames are dropped, and a frame\n"
                            "started again before it ends is read from its last start.")
      .def(nb::init<std::size_t>(), nb::arg("limit"))
      .def("feed", &PyFrameReader::feed, nb::arg("data"), "Takes the bytes of one read.")
      .def("next_frame", &PyFrameReader::next_frame, nb::sig("def next_frame(self) -> bytes | None"),
           "The next whole frame's message, or None while there is none. Raises BufferError for a\n"
           "frame larger than the limit, finished or not, and drops everything held.")
      .def("clear", &PyFrameReader::clear, "Drops every byte held, whole frames included.");
  m.attr("MAX_MESSAGE_BYTES") = hl7::ListenerOptions{}.max_message_bytes;
  nb::class_<PyListener>(m, "Listener", "MLLP listener that journals every message durably before acknowledging it.")
      .def(nb::init<const std::string&, const std::string&, int, std::size_t, double, bool, nb::object>(),
           nb::arg("store"), nb::arg("host") = "127.0.0.1", nb::arg("port") = 2575, nb::kw_only(),
           nb::arg("max_message_bytes") = hl7::ListenerOptions{}.max_message_bytes, nb::arg("idle_timeout") = 60.0,
           nb::arg("fsync") = true, nb::arg("handler") = nb::none())
      .def("serve", &PyListener::serve, "Serve until stop() is called (the interpreter lock is released).")
      .def("stop", &PyListener::stop, "Stop serving; safe from any thread.")
      .def("close", &PyListener::close, "Stop, and free the port, the journal and the handler.")
      .def("adopt", &PyListener::adopt, nb::arg("fd"), nb::arg("peer"),
           "Serve a connected stream socket (a duplicate of fd is taken).")
      .def_prop_ro("port", &PyListener::port)
      .def_prop_ro("cut_bytes", &PyListener::cut_bytes)
      .def_prop_ro("stored_messages", &PyListener::stored_messages);
  nb::class_<JournalRecords>(m, "JournalRecords", "The records of a listener's journal, oldest first.")
      .def(nb::init<const std::string&>(), nb::arg("store"))
      .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
      .def("__next__", &JournalRecords::next)
      .def_prop_ro("torn_at", &JournalRecords::torn_at);
}

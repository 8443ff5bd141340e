// Test-only access to the FHIR engine: the arena, status names, the JSON writer on any capacity, the
// date/time and person name conversions, and the mapping with any arena size. Models and summaries are
// described from Python as dictionaries keyed by the field names; texts may be str (UTF-8) or bytes.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "fhir/imaging_study.h"
#include "fhir/json_writer.h"
#include "fhir/study_mapping.h"

namespace nb = nanobind;
using namespace zanthe::fhir;

namespace {

// Owns every text and array built from one Python description for the duration of one call.
class Store {
 public:
  std::string_view text(nb::handle value) {
    if (!value.is_valid() || value.is_none()) return {};
    std::string& held = texts_.emplace_back();
    if (nb::isinstance<nb::bytes>(value)) {
      nb::bytes raw = nb::borrow<nb::bytes>(value);
      held.assign(raw.c_str(), raw.size());
    } else {
      held = nb::cast<std::string>(value);
    }
    return held;
  }

  template <typename T, typename Convert>
  std::span<const T> list(nb::handle value, Convert convert) {
    if (!value.is_valid() || value.is_none()) return {};
    auto items = std::make_shared<std::vector<T>>();
    for (nb::handle item : value) items->push_back(convert(*this, item));
    arrays_.push_back(items);
    return std::span<const T>(items->data(), items->size());
  }

 private:
  std::deque<std::string> texts_;
  std::vector<std::shared_ptr<void>> arrays_;
};

nb::handle field(nb::handle dict, const char* key) {
  if (!dict.is_valid() || dict.is_none()) return {};
  nb::dict d = nb::borrow<nb::dict>(dict);
  if (!d.contains(key)) return {};
  return d[key];
}

std::int64_t integer(nb::handle dict, const char* key) {
  nb::handle value = field(dict, key);
  return value.is_valid() && !value.is_none() ? nb::cast<std::int64_t>(value) : kAbsent;
}

Coding coding(Store& s, nb::handle d) {
  return {.system = s.text(field(d, "system")),
          .version = s.text(field(d, "version")),
          .code = s.text(field(d, "code")),
          .display = s.text(field(d, "display"))};
}

CodeableConcept codeable(Store& s, nb::handle d) {
  return {.coding = s.list<Coding>(field(d, "coding"), coding), .text = s.text(field(d, "text"))};
}

Reference reference(Store& s, nb::handle d) {
  return {.reference = s.text(field(d, "reference")),
          .display = s.text(field(d, "display")),
          .type = s.text(field(d, "type"))};
}

Identifier identifier(Store& s, nb::handle d) {
  return {.use = s.text(field(d, "use")),
          .type = codeable(s, field(d, "type")),
          .system = s.text(field(d, "system")),
          .value = s.text(field(d, "value"))};
}

Annotation annotation(Store& s, nb::handle d) {
  return {.authorReference = reference(s, field(d, "authorReference")),
          .authorString = s.text(field(d, "authorString")),
          .time = s.text(field(d, "time")),
          .text = s.text(field(d, "text"))};
}

ImagingStudyPerformer performer(Store& s, nb::handle d) {
  return {.function = codeable(s, field(d, "function")), .actor = reference(s, field(d, "actor"))};
}

ImagingStudyInstance instance(Store& s, nb::handle d) {
  return {.uid = s.text(field(d, "uid")),
          .sopClass = coding(s, field(d, "sopClass")),
          .number = integer(d, "number"),
          .title = s.text(field(d, "title"))};
}

ImagingStudySeries series(Store& s, nb::handle d) {
  return {.uid = s.text(field(d, "uid")),
          .number = integer(d, "number"),
          .modality = coding(s, field(d, "modality")),
          .description = s.text(field(d, "description")),
          .numberOfInstances = integer(d, "numberOfInstances"),
          .started = s.text(field(d, "started")),
          .bodySite = coding(s, field(d, "bodySite")),
          .laterality = coding(s, field(d, "laterality")),
          .endpoint = s.list<Reference>(field(d, "endpoint"), reference),
          .specimen = s.list<Reference>(field(d, "specimen"), reference),
          .performer = s.list<ImagingStudyPerformer>(field(d, "performer"), performer),
          .instance = s.list<ImagingStudyInstance>(field(d, "instance"), instance)};
}

ImagingStudy study(Store& s, nb::handle d) {
  return {.id = s.text(field(d, "id")),
          .identifier = s.list<Identifier>(field(d, "identifier"), identifier),
          .status = s.text(field(d, "status")),
          .modality = s.list<Coding>(field(d, "modality"), coding),
          .subject = reference(s, field(d, "subject")),
          .encounter = reference(s, field(d, "encounter")),
          .started = s.text(field(d, "started")),
          .basedOn = s.list<Reference>(field(d, "basedOn"), reference),
          .referrer = reference(s, field(d, "referrer")),
          .interpreter = s.list<Reference>(field(d, "interpreter"), reference),
          .endpoint = s.list<Reference>(field(d, "endpoint"), reference),
          .numberOfSeries = integer(d, "numberOfSeries"),
          .numberOfInstances = integer(d, "numberOfInstances"),
          .procedureReference = reference(s, field(d, "procedureReference")),
          .procedureCode = s.list<CodeableConcept>(field(d, "procedureCode"), codeable),
          .location = reference(s, field(d, "location")),
          .reasonCode = s.list<CodeableConcept>(field(d, "reasonCode"), codeable),
          .reasonReference = s.list<Reference>(field(d, "reasonReference"), reference),
          .note = s.list<Annotation>(field(d, "note"), annotation),
          .description = s.text(field(d, "description")),
          .series = s.list<ImagingStudySeries>(field(d, "series"), series)};
}

std::int32_t integer32(nb::handle dict, const char* key) {
  return static_cast<std::int32_t>(integer(dict, key));
}

InstanceSummary instance_summary(Store& s, nb::handle d) {
  return {.uid = s.text(field(d, "uid")),
          .sop_class = s.text(field(d, "sop_class")),
          .instance_number = integer32(d, "instance_number")};
}

SeriesSummary series_summary(Store& s, nb::handle d) {
  return {.series_instance_uid = s.text(field(d, "series_instance_uid")),
          .series_number = integer32(d, "series_number"),
          .modality = s.text(field(d, "modality")),
          .body_part = s.text(field(d, "body_part")),
          .laterality = s.text(field(d, "laterality")),
          .series_description = s.text(field(d, "series_description")),
          .declared_instances = integer32(d, "declared_instances"),
          .series_date = s.text(field(d, "series_date")),
          .series_time = s.text(field(d, "series_time")),
          .instances = s.list<InstanceSummary>(field(d, "instances"), instance_summary)};
}

StudySummary study_summary(Store& s, nb::handle d) {
  auto text_item = [](Store& store, nb::handle item) { return store.text(item); };
  return {.study_instance_uid = s.text(field(d, "study_instance_uid")),
          .accession_number = s.text(field(d, "accession_number")),
          .study_id = s.text(field(d, "study_id")),
          .patient_id = s.text(field(d, "patient_id")),
          .study_date = s.text(field(d, "study_date")),
          .study_time = s.text(field(d, "study_time")),
          .modalities = s.list<std::string_view>(field(d, "modalities"), text_item),
          .study_description = s.text(field(d, "study_description")),
          .referring_physician_name = s.text(field(d, "referring_physician_name")),
          .status = s.text(field(d, "status"))};
}

// An arena over 8-aligned storage whose base is moved `misalignment` bytes past the alignment.
struct TestArena {
  TestArena(std::size_t capacity, std::size_t misalignment, bool null_base)
      : storage((capacity + misalignment) / 8 + 1, 0) {
    arena.base = null_base ? nullptr : reinterpret_cast<std::uint8_t*>(storage.data()) + misalignment;
    arena.capacity = capacity;
  }
  std::vector<std::uint64_t> storage;
  Arena arena;
};

nb::bytes as_bytes(Text text) { return nb::bytes(text.data(), text.size()); }

// The written bytes, or the EmitError code. With `fill` set, the area starts filled with that byte
// and the whole area is returned on success.
nb::object write(const ImagingStudy& model, std::size_t capacity, std::optional<std::uint8_t> fill = {}) {
  std::vector<std::uint8_t> area(capacity, fill.value_or(0));
  const EmitResult result = write_imaging_study_json(model, area.data(), capacity);
  if (!result.ok()) return nb::int_(static_cast<int>(result.error));
  return nb::bytes(area.data(), fill ? capacity : result.length);
}

}  // namespace

NB_MODULE(_fhir_testing, m) {
  m.def(
      "arena_alloc",
      [](std::size_t capacity, std::size_t used, std::size_t size, bool aligned, std::size_t misalignment,
         bool null_base) {
        TestArena t(capacity, misalignment, null_base);
        t.arena.used = used;
        void* block = arena_alloc(t.arena, size, aligned);
        std::optional<std::size_t> offset;
        if (block != nullptr) offset = static_cast<std::size_t>(static_cast<std::uint8_t*>(block) - t.arena.base);
        return std::make_tuple(offset, t.arena.used, static_cast<std::size_t>(
                                                         reinterpret_cast<std::uintptr_t>(t.arena.base) % 8));
      },
      nb::arg("capacity"), nb::arg("used"), nb::arg("size"), nb::arg("aligned"), nb::arg("misalignment") = 0,
      nb::arg("null_base") = false,
      "(offset of the block from base or None, used afterwards, base address modulo 8)");

  m.def("record_sizes", [] {
    nb::dict sizes;
    sizes["Identifier"] = sizeof(Identifier);
    sizes["Coding"] = sizeof(Coding);
    sizes["ImagingStudySeries"] = sizeof(ImagingStudySeries);
    sizes["ImagingStudyInstance"] = sizeof(ImagingStudyInstance);
    return sizes;
  }, "sizes of the records the mapping allocates arrays of");

  m.def("status_name", [](std::uint8_t code) { return std::string(status_name(static_cast<FhirStatus>(code))); });
  m.def("emit_error_name",
        [](std::uint8_t code) { return std::string(emit_error_name(static_cast<EmitError>(code))); });

  m.def(
      "write_json",
      [](nb::dict description, std::size_t capacity, std::optional<std::uint8_t> fill) {
        Store store;
        return write(study(store, description), capacity, fill);
      },
      nb::arg("description"), nb::arg("capacity"), nb::arg("fill") = nb::none(),
      "bytes written (the whole area when `fill` is given), or the EmitError code");

  m.def(
      "dicom_date_time",
      [](nb::object date, nb::object time, std::size_t arena_capacity) {
        Store store;
        TestArena t(arena_capacity, 0, false);
        const Text result = dicom_date_time(store.text(date), store.text(time), t.arena);
        return std::make_pair(as_bytes(result), t.arena.used);
      },
      nb::arg("date"), nb::arg("time"), nb::arg("arena_capacity") = 65536, "(text, arena bytes used)");

  m.def(
      "person_name_text",
      [](nb::object name, std::size_t arena_capacity) {
        Store store;
        TestArena t(arena_capacity, 0, false);
        const Text result = person_name_text(store.text(name), t.arena);
        return std::make_pair(as_bytes(result), t.arena.used);
      },
      nb::arg("name"), nb::arg("arena_capacity") = 65536, "(text, arena bytes used)");

  m.def(
      "map_imaging_study",
      [](nb::dict study_description, nb::list series_descriptions, std::size_t arena_capacity) {
        Store store;
        const StudySummary summary = study_summary(store, study_description);
        const auto series = store.list<SeriesSummary>(series_descriptions, series_summary);
        TestArena t(arena_capacity, 0, false);
        const MapResult result = map_imaging_study(summary, series, t.arena);
        nb::object json = nb::none();
        if (result.ok()) json = write(result.study, 1 << 20);
        return std::make_tuple(static_cast<int>(result.status), json, t.arena.used);
      },
      nb::arg("study"), nb::arg("series"), nb::arg("arena_capacity") = 65536,
      "(FhirStatus code, written JSON bytes or None, arena bytes used)");
}

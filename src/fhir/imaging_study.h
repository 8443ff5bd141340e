// The FHIR R4 ImagingStudy resource as a tree of plain records, and the bump arena it lives in.
//
// Ownership: the model owns nothing. Texts and lists are views into the caller's Arena storage or into
// the DICOM input bytes; the tree is valid while both live. A text of length 0 is absent, a list of
// count 0 is empty, a negative integer is absent. Records start with every field absent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string_view>

namespace zanthe::fhir {

using Text = std::string_view;

template <typename T>
using List = std::span<const T>;

inline constexpr std::int64_t kAbsent = -1;

struct Coding {
  Text system{};
  Text version{};
  Text code{};
  Text display{};
};

struct CodeableConcept {
  List<Coding> coding{};
  Text text{};
};

// Declared in this order; written as reference, type, display.
struct Reference {
  Text reference{};
  Text display{};
  Text type{};
};

struct Identifier {
  Text use{};
  CodeableConcept type{};  // held for the model's sake, never written
  Text system{};
  Text value{};
};

struct Annotation {
  Reference authorReference{};
  Text authorString{};  // ignored while authorReference is present
  Text time{};
  Text text{};
};

struct ImagingStudyPerformer {
  CodeableConcept function{};
  Reference actor{};
};

struct ImagingStudyInstance {
  Text uid{};
  Coding sopClass{};
  std::int64_t number = kAbsent;
  Text title{};
};

struct ImagingStudySeries {
  Text uid{};
  std::int64_t number = kAbsent;
  Coding modality{};
  Text description{};
  std::int64_t numberOfInstances = kAbsent;
  Text started{};
  Coding bodySite{};
  Coding laterality{};
  List<Reference> endpoint{};
  List<Reference> specimen{};
  List<ImagingStudyPerformer> performer{};
  List<ImagingStudyInstance> instance{};
};

struct ImagingStudy {
  Text id{};
  List<Identifier> identifier{};
  Text status{};
  List<Coding> modality{};
  Reference subject{};
  Reference encounter{};
  Text started{};
  List<Reference> basedOn{};
  Reference referrer{};
  List<Reference> interpreter{};
  List<Reference> endpoint{};
  std::int64_t numberOfSeries = kAbsent;
  std::int64_t numberOfInstances = kAbsent;
  Reference procedureReference{};
  List<CodeableConcept> procedureCode{};
  Reference location{};
  List<CodeableConcept> reasonCode{};
  List<Reference> reasonReference{};
  List<Annotation> note{};
  Text description{};
  List<ImagingStudySeries> series{};
};

// A reference with only a type says nothing about what it points at, so it counts as absent.
[[nodiscard]] inline bool is_present(const Reference& ref) {
  return !ref.reference.empty() || !ref.display.empty();
}

// Bump allocator over caller-owned storage, which the caller zero-fills and releases as a whole.
struct Arena {
  std::uint8_t* base = nullptr;
  std::size_t capacity = 0;
  std::size_t used = 0;
};

// `size` fresh bytes, or nullptr (with `used` unchanged) when they do not fit or `base` is null.
// `aligned` moves the start to the next address that is a multiple of 8 (record arrays); character
// data goes unaligned right at `used`.
[[nodiscard]] void* arena_alloc(Arena& arena, std::size_t size, bool aligned);

// An array of `count` records with every field absent, or nullptr when the arena refuses.
template <typename T>
[[nodiscard]] T* arena_new_array(Arena& arena, std::size_t count) {
  static_assert(alignof(T) <= 8);
  if (count > SIZE_MAX / sizeof(T)) return nullptr;
  void* block = arena_alloc(arena, count * sizeof(T), true);
  if (block == nullptr) return nullptr;
  T* items = static_cast<T*>(block);
  for (std::size_t i = 0; i < count; ++i) ::new (static_cast<void*>(items + i)) T{};
  return items;
}

// The library's status vocabulary; 0 is success.
enum class FhirStatus : std::uint8_t {
  ok = 0,
  empty = 1,
  eof = 2,
  unexpected_char = 3,
  bad_string_escape = 4,
  bad_number = 5,
  nesting_too_deep = 6,
  arena_out_of_space = 7,
  bad_resource_type = 8,
  bad_field_value = 9,
  missing_required = 10,
};

// The name of a failure code; "unknown" for success and for codes outside the table.
[[nodiscard]] std::string_view status_name(FhirStatus status);

}  // namespace zanthe::fhir

// Instances of many files grouped into one ImagingStudy per Study Instance UID.
//
// Each instance is kept compactly (its UIDs, numbers and the study and series values of the earliest
// instance), so memory grows with the number of instances, never with file sizes. An instance's
// ordinal (its place in the caller's path order) decides which instance gives the study's and each
// series' values, and which of two instances with one SOP Instance UID is kept, so the result does not
// depend on the order in which instances or partial groupings arrive.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fhir/instance_reading.h"
#include "fhir/part10_conversion.h"

namespace zanthe::fhir {

// Something the grouping noticed: a SOP Instance UID seen twice (the later copy is not counted), or
// instances of one study that disagree on a study-level value.
struct GroupReport {
  enum class Kind : std::uint8_t { duplicate_instance, conflicting_value };
  Kind kind = Kind::duplicate_instance;
  std::string study_uid;
  std::string subject;       // the SOP Instance UID, or the attribute's name
  std::string first_value;   // the value kept (for a conflict)
  std::uint64_t first_ordinal = 0;
  std::string other_value;   // the differing value (for a conflict)
  std::uint64_t other_ordinal = 0;
};

struct GroupedStudy {
  std::uint64_t first_ordinal = 0;
  std::string study_uid;
  ConversionResult result;
};

// A map keyed by UID that a string_view can look up without making a string.
struct UidHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view uid) const { return std::hash<std::string_view>{}(uid); }
};
template <typename T>
using UidMap = std::unordered_map<std::string, T, UidHash, std::equal_to<>>;

class StudyGrouper {
 public:
  // Adds an instance that was read successfully; copies what it needs from `read`.
  void add(const InstanceRead& read, std::uint64_t ordinal);
  // Moves every instance of `other` into this grouping.
  void merge(StudyGrouper&& other);

  [[nodiscard]] std::size_t study_count() const { return studies_.size(); }
  [[nodiscard]] std::size_t instance_count() const { return instances_; }

  // One ImagingStudy per study, in the order of each study's first instance.
  [[nodiscard]] std::vector<GroupedStudy> emit(const ConversionOptions& options) const;
  [[nodiscard]] std::vector<GroupReport> reports() const;

  // A compact byte form, for moving partial groupings between processes; `restore` gives false (and
  // leaves the grouping empty) for bytes that are not such a form.
  [[nodiscard]] std::string serialize() const;
  [[nodiscard]] bool restore(std::string_view bytes);

  // The values tracked for disagreement between instances of one study.
  enum Checked : std::size_t { checked_accession, checked_patient_id, checked_study_date, checked_count };

  struct Seen {
    std::string value;
    std::uint64_t ordinal = 0;
  };
  struct Instance {
    std::string uid;
    std::string sop_class;
    std::int32_t number = -1;
    std::uint64_t ordinal = 0;
  };
  // The values a series takes from its earliest instance.
  struct SeriesValues {
    std::int32_t number = -1;
    std::string body_part, laterality, description, date, time, timezone;
    // The texts in their serialized order, for a const or a mutable record.
    template <typename Self>
    static auto texts_of(Self& v) {
      return std::array{&v.body_part, &v.laterality, &v.description, &v.date, &v.time, &v.timezone};
    }
  };
  struct Series {
    std::uint64_t values_ordinal = UINT64_MAX;    // the instance `values` come from
    std::uint64_t modality_ordinal = UINT64_MAX;  // the earliest instance with a modality
    SeriesValues values;
    std::string modality;
    std::vector<Instance> instances;
  };
  // The values a study takes from its earliest instance.
  struct StudyValues {
    std::string accession, study_id, patient_id, date, time, description, referrer, timezone;
    template <typename Self>
    static auto texts_of(Self& v) {
      return std::array{&v.accession, &v.study_id, &v.patient_id, &v.date, &v.time, &v.description, &v.referrer,
                        &v.timezone};
    }
  };
  struct Study {
    std::uint64_t values_ordinal = UINT64_MAX;
    StudyValues values;
    std::array<std::vector<Seen>, checked_count> seen;
    UidMap<Series> series;
  };

 private:
  UidMap<Study> studies_;
  std::size_t instances_ = 0;
};

// A DICOM IS value as a 32-bit number, or -1 when it is none.
[[nodiscard]] std::int32_t integer_string(std::string_view text);

}  // namespace zanthe::fhir

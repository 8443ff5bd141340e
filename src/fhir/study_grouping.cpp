#include "fhir/study_grouping.h"

#include <algorithm>
#include <charconv>
#include <memory>
#include <span>
#include <tuple>

#include "fhir/study_mapping.h"

namespace zanthe::fhir {
namespace {

constexpr std::size_t kMaxDistinctValues = 8;  // enough to show a disagreement, bounded for hostile input
constexpr std::size_t kMaxGroupedOutputBytes = std::size_t{1} << 31;
constexpr std::string_view kCheckedNames[] = {"AccessionNumber (0008,0050)", "PatientID (0010,0020)",
                                               "StudyDate (0008,0020)"};
constexpr std::string_view kFormMark = "zanthe-study-grouping-1";

using Study = StudyGrouper::Study;
using Series = StudyGrouper::Series;
using Instance = StudyGrouper::Instance;
using Seen = StudyGrouper::Seen;

// The map's entry for `uid`, made empty when absent; a string is made only for a new key.
template <typename T>
T& entry(UidMap<T>& map, std::string_view uid) {
  const auto found = map.find(uid);
  if (found != map.end()) return found->second;
  return map.emplace(std::string(uid), T{}).first->second;
}

void note_seen(std::vector<Seen>& seen, std::string_view value, std::uint64_t ordinal) {
  if (value.empty()) return;  // a value left out is no disagreement
  for (Seen& s : seen) {
    if (s.value == value) {
      s.ordinal = std::min(s.ordinal, ordinal);
      return;
    }
  }
  if (seen.size() < kMaxDistinctValues) seen.push_back(Seen{std::string(value), ordinal});
}

StudyGrouper::StudyValues study_values(const AttributeTexts& v) {
  return {.accession = std::string(v[accession_number]),
          .study_id = std::string(v[study_id]),
          .patient_id = std::string(v[patient_id]),
          .date = std::string(v[study_date]),
          .time = std::string(v[study_time]),
          .description = std::string(v[study_description]),
          .referrer = std::string(v[referring_physician_name]),
          .timezone = std::string(v[timezone_offset])};
}

StudyGrouper::SeriesValues series_values(const AttributeTexts& v) {
  return {.number = integer_string(v[series_number]),
          .body_part = std::string(v[body_part_examined]),
          .laterality = std::string(v[laterality]),
          .description = std::string(v[series_description]),
          .date = std::string(v[series_date]),
          .time = std::string(v[series_time]),
          .timezone = std::string(v[timezone_offset])};
}

void merge_series(Series& into, Series&& from) {
  if (from.values_ordinal < into.values_ordinal) {
    into.values_ordinal = from.values_ordinal;
    into.values = std::move(from.values);
  }
  if (from.modality_ordinal < into.modality_ordinal) {
    into.modality_ordinal = from.modality_ordinal;
    into.modality = std::move(from.modality);
  }
  into.instances.insert(into.instances.end(), std::make_move_iterator(from.instances.begin()),
                        std::make_move_iterator(from.instances.end()));
}

void merge_study(Study& into, Study&& from) {
  if (from.values_ordinal < into.values_ordinal) {
    into.values_ordinal = from.values_ordinal;
    into.values = std::move(from.values);
  }
  for (std::size_t i = 0; i < StudyGrouper::checked_count; ++i) {
    for (const Seen& s : from.seen[i]) note_seen(into.seen[i], s.value, s.ordinal);
  }
  for (auto& [uid, series] : from.series) {
    const auto found = into.series.find(uid);
    if (found == into.series.end()) {
      into.series.emplace(uid, std::move(series));
    } else {
      merge_series(found->second, std::move(series));
    }
  }
}

// Numbered before unnumbered, then by number, then by UID.
template <typename Number>
auto number_order(Number number, std::string_view uid) {
  return std::make_tuple(number < 0, number, uid);
}

struct InstanceRef {
  const Instance* instance;
  std::size_t series_index;
};

// Each SOP Instance UID once, the earliest copy; `dropped` receives the others.
std::vector<InstanceRef> distinct_instances(const std::vector<const Series*>& series,
                                            std::vector<std::pair<const Instance*, const Instance*>>* dropped) {
  std::vector<InstanceRef> all;
  for (std::size_t s = 0; s < series.size(); ++s) {
    for (const Instance& instance : series[s]->instances) all.push_back({&instance, s});
  }
  std::sort(all.begin(), all.end(), [](const InstanceRef& a, const InstanceRef& b) {
    return std::tie(a.instance->uid, a.instance->ordinal) < std::tie(b.instance->uid, b.instance->ordinal);
  });
  std::vector<InstanceRef> kept;
  kept.reserve(all.size());
  for (const InstanceRef& ref : all) {
    if (!kept.empty() && kept.back().instance->uid == ref.instance->uid) {
      if (dropped != nullptr) dropped->emplace_back(kept.back().instance, ref.instance);
      continue;
    }
    kept.push_back(ref);
  }
  return kept;
}

// The series of a study that can be written (FHIR requires a modality), in output order.
std::vector<std::pair<const std::string*, const Series*>> ordered_series(const Study& study) {
  std::vector<std::pair<const std::string*, const Series*>> series;
  for (const auto& [uid, s] : study.series) {
    if (!s.modality.empty()) series.emplace_back(&uid, &s);
  }
  std::sort(series.begin(), series.end(), [](const auto& a, const auto& b) {
    return number_order(a.second->values.number, *a.first) < number_order(b.second->values.number, *b.first);
  });
  return series;
}

std::size_t arena_bytes_for(const Study& study, std::size_t series, std::size_t instances) {
  const std::size_t texts = study.values.accession.size() + study.values.study_id.size() +
                            study.values.patient_id.size() + study.values.referrer.size() + 256;
  return kConversionArenaBytes + instances * (sizeof(ImagingStudyInstance) + 8) +
         series * (sizeof(ImagingStudySeries) + 2 * sizeof(Coding) + 128) + 4 * texts;
}

GroupedStudy emit_study(const std::string& uid, const Study& study, const ConversionOptions& options) {
  GroupedStudy out{.first_ordinal = study.values_ordinal, .study_uid = uid, .result = {}};
  const auto series = ordered_series(study);
  std::vector<const Series*> series_only;
  for (const auto& s : series) series_only.push_back(s.second);
  const std::vector<InstanceRef> kept = distinct_instances(series_only, nullptr);

  std::vector<std::vector<InstanceSummary>> instances(series.size());
  for (const InstanceRef& ref : kept) {
    const Instance& i = *ref.instance;
    instances[ref.series_index].push_back({.uid = i.uid, .sop_class = i.sop_class, .instance_number = i.number});
  }
  std::vector<std::string> zones(series.size() + 1);
  std::vector<SeriesSummary> summaries;
  std::vector<std::string_view> modalities;
  for (std::size_t s = 0; s < series.size(); ++s) {
    auto& list = instances[s];
    std::sort(list.begin(), list.end(), [](const InstanceSummary& a, const InstanceSummary& b) {
      return number_order(a.instance_number, a.uid) < number_order(b.instance_number, b.uid);
    });
    const Series& v = *series[s].second;
    summaries.push_back({
        .series_instance_uid = *series[s].first,
        .series_number = v.values.number,
        .modality = v.modality,
        .body_part = v.values.body_part,
        .laterality = v.values.laterality,
        .series_description = v.values.description,
        .declared_instances = static_cast<std::int32_t>(list.size()),
        .series_date = v.values.date,
        .series_time = v.values.time,
        .instances = list,
        .started_zone = started_zone(v.values.timezone, v.values.date, options.zone, zones[s + 1]),
    });
    if (std::find(modalities.begin(), modalities.end(), v.modality) == modalities.end()) {
      modalities.push_back(v.modality);
    }
  }
  const StudyGrouper::StudyValues& values = study.values;
  const StudySummary summary = {
      .study_instance_uid = uid,
      .accession_number = values.accession,
      .study_id = values.study_id,
      .patient_id = values.patient_id,
      .study_date = values.date,
      .study_time = values.time,
      .modalities = modalities,
      .study_description = values.description,
      .referring_physician_name = values.referrer,
      .status = "available",
      .started_zone = started_zone(values.timezone, values.date, options.zone, zones[0]),
  };
  const std::size_t capacity = arena_bytes_for(study, series.size(), kept.size());
  const auto storage = std::make_unique<std::uint8_t[]>(capacity);  // zero-filled
  Arena arena{.base = storage.get(), .capacity = capacity, .used = 0};
  const MapResult mapped = map_imaging_study(summary, summaries, arena);
  out.result = mapped.ok() ? write_json(mapped.study, kMaxGroupedOutputBytes) : mapping_failure(mapped.status);
  return out;
}

// The compact form: unsigned numbers as LEB128, strings as their length and bytes.
class FormWriter {
 public:
  void number(std::uint64_t n) {
    do {
      const auto low = static_cast<std::uint8_t>(n & 0x7F);
      n >>= 7;
      out_.push_back(static_cast<char>(n != 0 ? (low | 0x80) : low));
    } while (n != 0);
  }
  void text(std::string_view s) {
    number(s.size());
    out_.append(s);
  }
  void signed_number(std::int32_t n) { number(static_cast<std::uint64_t>(static_cast<std::int64_t>(n) + 1)); }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

class FormReader {
 public:
  explicit FormReader(std::string_view in) : in_(in) {}
  bool number(std::uint64_t& n) {
    n = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (at_ >= in_.size()) return false;
      const auto byte = static_cast<std::uint8_t>(in_[at_++]);
      n |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) return true;
    }
    return false;
  }
  bool text(std::string& s) {
    std::uint64_t size = 0;
    if (!number(size) || size > in_.size() - at_) return false;
    s.assign(in_.substr(at_, static_cast<std::size_t>(size)));
    at_ += static_cast<std::size_t>(size);
    return true;
  }
  bool signed_number(std::int32_t& n) {
    std::uint64_t raw = 0;
    if (!number(raw) || raw > 0x80000000ull) return false;
    n = static_cast<std::int32_t>(static_cast<std::int64_t>(raw) - 1);
    return true;
  }
  // A count of items each at least `min_bytes` long, checked against what is left.
  bool count(std::uint64_t& n, std::size_t min_bytes) { return number(n) && n <= (in_.size() - at_) / min_bytes; }
  [[nodiscard]] bool done() const { return at_ == in_.size(); }

 private:
  std::string_view in_;
  std::size_t at_ = 0;
};

void write_study(FormWriter& w, const std::string& uid, const Study& study) {
  w.text(uid);
  w.number(study.values_ordinal);
  for (const std::string* s : StudyGrouper::StudyValues::texts_of(study.values)) w.text(*s);
  for (const auto& seen : study.seen) {
    w.number(seen.size());
    for (const Seen& s : seen) {
      w.text(s.value);
      w.number(s.ordinal);
    }
  }
  w.number(study.series.size());
  for (const auto& [series_uid, series] : study.series) {
    w.text(series_uid);
    w.number(series.values_ordinal);
    w.number(series.modality_ordinal);
    w.signed_number(series.values.number);
    w.text(series.modality);
    for (const std::string* s : StudyGrouper::SeriesValues::texts_of(series.values)) w.text(*s);
    w.number(series.instances.size());
    for (const Instance& i : series.instances) {
      w.text(i.uid);
      w.text(i.sop_class);
      w.signed_number(i.number);
      w.number(i.ordinal);
    }
  }
}

bool read_series(FormReader& r, Series& series, std::size_t& instances) {
  if (!r.number(series.values_ordinal) || !r.number(series.modality_ordinal) ||
      !r.signed_number(series.values.number) || !r.text(series.modality)) {
    return false;
  }
  for (std::string* s : StudyGrouper::SeriesValues::texts_of(series.values)) {
    if (!r.text(*s)) return false;
  }
  std::uint64_t count = 0;
  if (!r.count(count, 4)) return false;
  series.instances.resize(static_cast<std::size_t>(count));
  for (Instance& i : series.instances) {
    if (!r.text(i.uid) || !r.text(i.sop_class) || !r.signed_number(i.number) || !r.number(i.ordinal)) return false;
  }
  instances += series.instances.size();
  return true;
}

bool read_study(FormReader& r, std::string& uid, Study& study, std::size_t& instances) {
  if (!r.text(uid) || !r.number(study.values_ordinal)) return false;
  for (std::string* s : StudyGrouper::StudyValues::texts_of(study.values)) {
    if (!r.text(*s)) return false;
  }
  for (auto& seen : study.seen) {
    std::uint64_t count = 0;
    if (!r.count(count, 2) || count > kMaxDistinctValues) return false;
    seen.resize(static_cast<std::size_t>(count));
    for (Seen& s : seen) {
      if (!r.text(s.value) || !r.number(s.ordinal)) return false;
    }
  }
  std::uint64_t series_count = 0;
  if (!r.count(series_count, 11)) return false;
  for (std::uint64_t i = 0; i < series_count; ++i) {
    std::string series_uid;
    Series series;
    if (!r.text(series_uid) || !read_series(r, series, instances)) return false;
    const auto found = study.series.find(series_uid);
    if (found == study.series.end()) {
      study.series.emplace(std::move(series_uid), std::move(series));
    } else {
      merge_series(found->second, std::move(series));
    }
  }
  return true;
}

}  // namespace

std::int32_t integer_string(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int32_t value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return -1;
  return value < 0 ? -1 : value;
}

void StudyGrouper::add(const InstanceRead& read, std::uint64_t ordinal) {
  const AttributeTexts& v = read.texts;
  Study& study = entry(studies_, v[study_instance_uid]);
  if (ordinal < study.values_ordinal) {
    study.values_ordinal = ordinal;
    study.values = study_values(v);
  }
  note_seen(study.seen[checked_accession], v[accession_number], ordinal);
  note_seen(study.seen[checked_patient_id], v[patient_id], ordinal);
  note_seen(study.seen[checked_study_date], v[study_date], ordinal);
  if (v[series_instance_uid].empty()) return;
  Series& series = entry(study.series, v[series_instance_uid]);
  if (ordinal < series.values_ordinal) {
    series.values_ordinal = ordinal;
    series.values = series_values(v);
  }
  if (!v[modality].empty() && ordinal < series.modality_ordinal) {
    series.modality_ordinal = ordinal;
    series.modality = v[modality];
  }
  if (v[sop_instance_uid].empty() || v[sop_class_uid].empty()) return;
  series.instances.push_back(Instance{.uid = std::string(v[sop_instance_uid]),
                                      .sop_class = std::string(v[sop_class_uid]),
                                      .number = integer_string(v[instance_number]),
                                      .ordinal = ordinal});
  ++instances_;
}

void StudyGrouper::merge(StudyGrouper&& other) {
  for (auto& [uid, study] : other.studies_) {
    const auto found = studies_.find(uid);
    if (found == studies_.end()) {
      studies_.emplace(uid, std::move(study));
    } else {
      merge_study(found->second, std::move(study));
    }
  }
  instances_ += other.instances_;
  other.studies_.clear();
  other.instances_ = 0;
}

std::vector<GroupedStudy> StudyGrouper::emit(const ConversionOptions& options) const {
  std::vector<GroupedStudy> out;
  out.reserve(studies_.size());
  for (const auto& [uid, study] : studies_) out.push_back(emit_study(uid, study, options));
  std::sort(out.begin(), out.end(), [](const GroupedStudy& a, const GroupedStudy& b) {
    return std::tie(a.first_ordinal, a.study_uid) < std::tie(b.first_ordinal, b.study_uid);
  });
  return out;
}

std::vector<GroupReport> StudyGrouper::reports() const {
  std::vector<std::pair<std::uint64_t, GroupReport>> found;
  for (const auto& [uid, study] : studies_) {
    std::vector<const Series*> series;
    for (const auto& entry : study.series) series.push_back(&entry.second);
    std::vector<std::pair<const Instance*, const Instance*>> dropped;
    (void)distinct_instances(series, &dropped);
    for (const auto& [kept, copy] : dropped) {
      found.emplace_back(study.values_ordinal, GroupReport{.kind = GroupReport::Kind::duplicate_instance,
                                                           .study_uid = uid,
                                                           .subject = kept->uid,
                                                           .first_value = {},
                                                           .first_ordinal = kept->ordinal,
                                                           .other_value = {},
                                                           .other_ordinal = copy->ordinal});
    }
    for (std::size_t i = 0; i < checked_count; ++i) {
      if (study.seen[i].size() < 2) continue;
      std::vector<Seen> seen = study.seen[i];
      std::sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) { return a.ordinal < b.ordinal; });
      for (std::size_t k = 1; k < seen.size(); ++k) {
        found.emplace_back(study.values_ordinal, GroupReport{.kind = GroupReport::Kind::conflicting_value,
                                                             .study_uid = uid,
                                                             .subject = std::string(kCheckedNames[i]),
                                                             .first_value = seen[0].value,
                                                             .first_ordinal = seen[0].ordinal,
                                                             .other_value = seen[k].value,
                                                             .other_ordinal = seen[k].ordinal});
      }
    }
  }
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return std::tie(a.first, a.second.other_ordinal) < std::tie(b.first, b.second.other_ordinal);
  });
  std::vector<GroupReport> out;
  out.reserve(found.size());
  for (auto& entry : found) out.push_back(std::move(entry.second));
  return out;
}

std::string StudyGrouper::serialize() const {
  FormWriter w;
  w.text(kFormMark);
  w.number(studies_.size());
  for (const auto& [uid, study] : studies_) write_study(w, uid, study);
  return w.take();
}

bool StudyGrouper::restore(std::string_view bytes) {
  studies_.clear();
  instances_ = 0;
  FormReader r(bytes);
  std::string mark;
  std::uint64_t count = 0;
  bool ok = r.text(mark) && mark == kFormMark && r.count(count, 12);
  for (std::uint64_t i = 0; ok && i < count; ++i) {
    std::string uid;
    Study study;
    ok = read_study(r, uid, study, instances_);
    if (!ok) break;
    const auto found = studies_.find(uid);
    if (found == studies_.end()) {
      studies_.emplace(std::move(uid), std::move(study));
    } else {
      merge_study(found->second, std::move(study));
    }
  }
  if (!ok || !r.done()) {
    studies_.clear();
    instances_ = 0;
    return false;
  }
  return true;
}

}  // namespace zanthe::fhir

#include "fhir/study_mapping.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace zanthe::fhir {
namespace {

constexpr std::string_view kOidPrefix = "urn:oid:";
constexpr std::string_view kPatientPrefix = "Patient/";
constexpr std::string_view kDefaultStatus = "available";

// Copies the parts into one unaligned arena text; false when the arena refuses.
bool arena_concat(Arena& arena, std::initializer_list<std::string_view> parts, Text& out) {
  std::size_t total = 0;
  for (const std::string_view part : parts) {
    if (part.size() > SIZE_MAX - total) return false;
    total += part.size();
  }
  auto* text = static_cast<char*>(arena_alloc(arena, total, false));
  if (text == nullptr) return false;
  std::size_t at = 0;
  for (const std::string_view part : parts) {
    if (!part.empty()) std::memcpy(text + at, part.data(), part.size());
    at += part.size();
  }
  out = Text(text, total);
  return true;
}

bool all_digits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool has_oid_prefix(std::string_view uid) { return uid.starts_with(kOidPrefix); }

// The number written by two ASCII digits.
int two_digits(const char* digits) { return (digits[0] - '0') * 10 + (digits[1] - '0'); }

// Eight digits that name a day of the proleptic Gregorian calendar (years 0001 to 9999). Digits
// such as 20241301 or 00000000 would make an invalid FHIR date, so they count as malformed.
bool is_calendar_date(std::string_view date) {
  if (date.size() != 8 || !all_digits(date)) return false;
  const int year = two_digits(date.data()) * 100 + two_digits(date.data() + 2);
  const int month = two_digits(date.data() + 4);
  const int day = two_digits(date.data() + 6);
  if (year == 0 || month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
}

// Six HHMMSS digits from a DICOM TM: the fraction is dropped and missing positions read as '0'.
// Hours past 23, minutes past 59 and seconds past 60 (a leap second) are no clock time.
bool time_digits(std::string_view time, char (&digits)[6]) {
  time = time.substr(0, time.find('.'));
  for (std::size_t i = 0; i < 6; ++i) {
    digits[i] = i < time.size() ? time[i] : '0';
    if (digits[i] < '0' || digits[i] > '9') return false;
  }
  return two_digits(digits) <= 23 && two_digits(digits + 2) <= 59 && two_digits(digits + 4) <= 60;
}

void put_iso_date(char* out, std::string_view date) {
  std::memcpy(out, date.data(), 4);
  out[4] = '-';
  std::memcpy(out + 5, date.data() + 4, 2);
  out[7] = '-';
  std::memcpy(out + 8, date.data() + 6, 2);
}

Coding dicom_coding(std::string_view code) { return Coding{.system = kDicomTerminologySystem, .code = code}; }

// SNOMED CT codes of the four DICOM laterality letters; an absent coding for anything else.
Coding laterality_coding(std::string_view laterality) {
  if (laterality.size() != 1) return {};
  switch (laterality[0]) {
    case 'L': return {.system = kSnomedSystem, .code = "419161000", .display = "Left"};
    case 'R': return {.system = kSnomedSystem, .code = "419465000", .display = "Right"};
    case 'B': return {.system = kSnomedSystem, .code = "51440002", .display = "Right and left"};
    case 'U': return {.system = kSnomedSystem, .code = "66459002", .display = "Unilateral"};
    default: return {};
  }
}

FhirStatus map_identifiers(const StudySummary& in, Arena& arena, ImagingStudy& out) {
  const std::string_view uid = in.study_instance_uid;
  const std::size_t count = 1 + (in.accession_number.empty() ? 0 : 1) + (in.study_id.empty() ? 0 : 1);
  Identifier* ids = arena_new_array<Identifier>(arena, count);
  if (ids == nullptr) return FhirStatus::arena_out_of_space;

  Text official_value = uid;
  if (!has_oid_prefix(uid) && !arena_concat(arena, {kOidPrefix, uid}, official_value)) {
    return FhirStatus::arena_out_of_space;
  }
  std::size_t n = 0;
  ids[n++] = {.use = "official", .system = kDicomUidSystem, .value = official_value};
  if (!in.accession_number.empty()) {
    ids[n++] = {.use = "usual",
                .type = {.text = "ACSN"},
                .system = kIdentifierTypeSystem,
                .value = in.accession_number};
  }
  if (!in.study_id.empty()) ids[n++] = {.use = "secondary", .value = in.study_id};
  out.identifier = List<Identifier>(ids, count);
  return FhirStatus::ok;
}

FhirStatus map_study_modalities(const StudySummary& in, Arena& arena, ImagingStudy& out) {
  if (in.modalities.empty()) return FhirStatus::ok;
  Coding* codings = arena_new_array<Coding>(arena, in.modalities.size());
  if (codings == nullptr) return FhirStatus::arena_out_of_space;
  for (std::size_t i = 0; i < in.modalities.size(); ++i) codings[i] = dicom_coding(in.modalities[i]);
  out.modality = List<Coding>(codings, in.modalities.size());
  return FhirStatus::ok;
}

FhirStatus map_instances(const SeriesSummary& in, Arena& arena, ImagingStudySeries& out) {
  if (in.instances.empty()) return FhirStatus::ok;
  ImagingStudyInstance* records = arena_new_array<ImagingStudyInstance>(arena, in.instances.size());
  if (records == nullptr) return FhirStatus::arena_out_of_space;
  for (std::size_t i = 0; i < in.instances.size(); ++i) {
    const InstanceSummary& instance = in.instances[i];
    records[i].uid = instance.uid;
    records[i].sopClass = {.system = kUriSystem, .code = instance.sop_class};
    records[i].number = instance.instance_number;
  }
  out.instance = List<ImagingStudyInstance>(records, in.instances.size());
  return FhirStatus::ok;
}

FhirStatus map_one_series(const SeriesSummary& in, Arena& arena, ImagingStudySeries& out) {
  out.uid = in.series_instance_uid;
  out.number = in.series_number;
  out.modality = dicom_coding(in.modality);
  out.description = in.series_description;
  out.numberOfInstances = in.declared_instances;
  if (!in.body_part.empty()) out.bodySite = dicom_coding(in.body_part);
  out.laterality = laterality_coding(in.laterality);
  out.started = dicom_date_time(in.series_date, in.series_time, arena, in.started_zone);
  return map_instances(in, arena, out);
}

FhirStatus map_series(std::span<const SeriesSummary> series, Arena& arena, ImagingStudy& out) {
  out.numberOfSeries = static_cast<std::int64_t>(series.size());
  out.numberOfInstances = 0;
  if (series.empty()) return FhirStatus::ok;
  ImagingStudySeries* records = arena_new_array<ImagingStudySeries>(arena, series.size());
  if (records == nullptr) return FhirStatus::arena_out_of_space;
  for (std::size_t i = 0; i < series.size(); ++i) {
    const FhirStatus status = map_one_series(series[i], arena, records[i]);
    if (status != FhirStatus::ok) return status;
    const std::int32_t declared = series[i].declared_instances;
    out.numberOfInstances +=
        declared >= 0 ? declared : static_cast<std::int64_t>(series[i].instances.size());
  }
  out.series = List<ImagingStudySeries>(records, series.size());
  return FhirStatus::ok;
}

}  // namespace

Text dicom_date_time(std::string_view date, std::string_view time, Arena& arena, std::string_view zone) {
  if (!is_calendar_date(date)) return {};
  auto* day = static_cast<char*>(arena_alloc(arena, 10, false));
  if (day == nullptr) return {};
  put_iso_date(day, date);
  const Text date_only(day, 10);

  char digits[6];
  if (time.empty() || !time_digits(time, digits)) return date_only;
  auto* moment = static_cast<char*>(arena_alloc(arena, 19 + zone.size(), false));
  if (moment == nullptr) return date_only;
  put_iso_date(moment, date);
  const char clock[9] = {'T', digits[0], digits[1], ':', digits[2], digits[3], ':', digits[4], digits[5]};
  std::memcpy(moment + 10, clock, sizeof clock);
  if (!zone.empty()) std::memcpy(moment + 19, zone.data(), zone.size());
  return Text(moment, 19 + zone.size());
}

Text person_name_text(std::string_view name, Arena& arena) {
  const std::string_view alphabetic = name.substr(0, name.find('='));
  std::string_view components[3];  // family, given, middle; prefix and suffix are not shown
  std::string_view rest = alphabetic;
  for (std::string_view& component : components) {
    const std::size_t caret = rest.find('^');
    component = rest.substr(0, caret);
    rest = caret == std::string_view::npos ? std::string_view() : rest.substr(caret + 1);
  }
  const auto [family, given, middle] = components;
  const std::string_view comma = given.empty() ? "" : ", ";
  const std::string_view space = middle.empty() ? "" : " ";
  if (family.empty() && given.empty() && middle.empty()) return {};
  Text text;
  if (!arena_concat(arena, {family, comma, given, space, middle}, text)) return {};
  return text;
}

MapResult map_imaging_study(const StudySummary& study, std::span<const SeriesSummary> series, Arena& arena) {
  MapResult result;
  ImagingStudy& out = result.study;
  const std::string_view uid = study.study_instance_uid;
  if (uid.empty()) return {.status = FhirStatus::missing_required};

  out.status = study.status.empty() ? kDefaultStatus : study.status;
  out.id = has_oid_prefix(uid) ? uid.substr(kOidPrefix.size()) : uid;
  FhirStatus status = map_identifiers(study, arena, out);
  if (status == FhirStatus::ok) status = map_study_modalities(study, arena, out);
  if (status == FhirStatus::ok && !study.patient_id.empty() &&
      !arena_concat(arena, {kPatientPrefix, study.patient_id}, out.subject.reference)) {
    status = FhirStatus::arena_out_of_space;
  }
  if (status != FhirStatus::ok) return {.status = status};

  out.started = dicom_date_time(study.study_date, study.study_time, arena, study.started_zone);
  out.description = study.study_description;
  if (!study.referring_physician_name.empty()) {
    out.referrer.display = person_name_text(study.referring_physician_name, arena);
  }
  status = map_series(series, arena, out);
  if (status != FhirStatus::ok) return {.status = status};
  return result;
}

}  // namespace zanthe::fhir

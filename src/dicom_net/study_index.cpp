#include "dicom_net/study_index.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>

#include "dicom/byte_writing.h"
#include "dicom/character_sets.h"
#include "dicom/vr_tables.h"
#include "text/utf8.h"

namespace zanthe::dicom_net {
namespace {

constexpr std::uint32_t kSpecificCharacterSet = 0x00080005;
constexpr std::uint32_t kQueryRetrieveLevel = 0x00080052;
constexpr std::uint32_t kStudyInstanceUid = 0x0020000D;
constexpr std::size_t kHeaderProbeBytes = 64 * 1024;

// How a key matches.
enum class Matching : std::uint8_t {
  text,        // single value, or wildcards
  uid_list,    // single UID or a backslash-separated list
  date,        // single value or range
  time,        // single value or range
  modalities,  // the study's set of series modalities
  count,       // derived numbers, single value
};

// What the index keeps of a key, and where the value comes from.
enum class Source : std::uint8_t { instance, modalities_in_study, series_in_study, instances_in_study, instances_in_series };

struct Key {
  std::uint32_t tag;
  QueryLevel level;
  Matching matching;
  dicom::TextKind kind;
  Source source;
};

constexpr dicom::TextKind kText = dicom::TextKind::text;
constexpr dicom::TextKind kName = dicom::TextKind::person_name;

// Sorted by level, then tag: the order responses list their elements in.
constexpr std::array<Key, kIndexedKeyCount> kKeys{{
    {0x00080020, QueryLevel::study, Matching::date, kText, Source::instance},             // Study Date
    {0x00080030, QueryLevel::study, Matching::time, kText, Source::instance},             // Study Time
    {0x00080050, QueryLevel::study, Matching::text, kText, Source::instance},             // Accession Number
    {0x00080061, QueryLevel::study, Matching::modalities, kText, Source::modalities_in_study},
    {0x00080090, QueryLevel::study, Matching::text, kName, Source::instance},             // Referring Physician
    {0x00081030, QueryLevel::study, Matching::text, kText, Source::instance},             // Study Description
    {0x00100010, QueryLevel::study, Matching::text, kName, Source::instance},             // Patient's Name
    {0x00100020, QueryLevel::study, Matching::text, kText, Source::instance},             // Patient ID
    {0x00100030, QueryLevel::study, Matching::date, kText, Source::instance},             // Patient's Birth Date
    {0x00100040, QueryLevel::study, Matching::text, kText, Source::instance},             // Patient's Sex
    {0x0020000D, QueryLevel::study, Matching::uid_list, kText, Source::instance},         // Study Instance UID
    {0x00200010, QueryLevel::study, Matching::text, kText, Source::instance},             // Study ID
    {0x00201206, QueryLevel::study, Matching::count, kText, Source::series_in_study},
    {0x00201208, QueryLevel::study, Matching::count, kText, Source::instances_in_study},
    {0x00080021, QueryLevel::series, Matching::date, kText, Source::instance},            // Series Date
    {0x00080031, QueryLevel::series, Matching::time, kText, Source::instance},            // Series Time
    {0x00080060, QueryLevel::series, Matching::text, kText, Source::instance},            // Modality
    {0x0008103E, QueryLevel::series, Matching::text, kText, Source::instance},            // Series Description
    {0x00180015, QueryLevel::series, Matching::text, kText, Source::instance},            // Body Part Examined
    {0x0020000E, QueryLevel::series, Matching::uid_list, kText, Source::instance},        // Series Instance UID
    {0x00200011, QueryLevel::series, Matching::text, kText, Source::instance},            // Series Number
    {0x00201209, QueryLevel::series, Matching::count, kText, Source::instances_in_series},
}};

constexpr std::size_t kStudyUidKey = 10;
constexpr std::size_t kSeriesUidKey = 19;
constexpr std::size_t kModalityKey = 16;

[[nodiscard]] std::optional<std::size_t> key_of(std::uint32_t tag) {
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    if (kKeys[i].tag == tag) return i;
  }
  return std::nullopt;
}

[[nodiscard]] std::string decoded(std::string_view value, const dicom::CharacterSets& sets, dicom::TextKind kind) {
  std::string out;
  if (dicom::is_plain_ascii(value)) return std::string(value);
  dicom::append_utf8(value, sets, kind, out);
  return out;
}

[[nodiscard]] std::vector<std::string_view> split_values(std::string_view value) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = value.find('\\', start);
    std::string_view part = value.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    parts.push_back(part);
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// "*" matches any run of characters, "?" exactly one (a whole UTF-8 sequence).
[[nodiscard]] bool wildcard_match(std::string_view pattern, std::string_view value) {
  std::size_t p = 0, v = 0;
  std::size_t star = std::string_view::npos, resume = 0;
  const auto step = [&](std::size_t at) {
    const std::size_t length = text::utf8_sequence_length(value, at);
    return length == 0 ? 1 : length;
  };
  while (v < value.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = v;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      v += step(v);
    } else if (p < pattern.size() && pattern[p] == value[v]) {
      ++p;
      ++v;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      resume += step(resume);
      v = resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// Dates as YYYYMMDD (the old YYYY.MM.DD too), times as HHMMSS.FFFFFF (the old HH:MM:SS too).
[[nodiscard]] std::string normalised(std::string_view value, Matching matching) {
  std::string out;
  const char separator = matching == Matching::date ? '.' : ':';
  for (const char c : value) {
    if (c != separator) out.push_back(c);
  }
  return out;
}

// A range "low-high", "low-" or "-high" (bounds inclusive; a time bound covers what it leaves out:
// "-1030" takes 10:30:59), or a single value.
[[nodiscard]] bool range_match(std::string_view key, std::string_view value, Matching matching) {
  if (value.empty()) return false;
  const std::string have = normalised(value, matching);
  const std::size_t dash = key.find('-');
  if (dash == std::string_view::npos) {
    const std::string want = normalised(key, matching);
    return matching == Matching::time ? have.compare(0, want.size(), want) == 0 : have == want;
  }
  const std::string low = normalised(key.substr(0, dash), matching);
  const std::string high = normalised(key.substr(dash + 1), matching);
  if (!low.empty() && have < low) return false;
  if (!high.empty() && have.compare(0, high.size(), high) > 0) return false;
  return true;
}

[[nodiscard]] bool key_matches(const Key& key, std::string_view wanted, std::string_view value,
                               const std::set<std::string>* modalities) {
  if (wanted.empty() || wanted == "*") return true;  // universal
  switch (key.matching) {
    case Matching::uid_list: {
      const auto uids = split_values(wanted);
      return std::find(uids.begin(), uids.end(), value) != uids.end();
    }
    case Matching::date:
    case Matching::time: return range_match(wanted, value, key.matching);
    case Matching::modalities: {
      if (modalities == nullptr) return false;
      for (const std::string_view one : split_values(wanted)) {
        for (const std::string& modality : *modalities) {
          if (wildcard_match(one, modality)) return true;
        }
      }
      return false;
    }
    case Matching::count: return wanted == value;
    case Matching::text: break;
  }
  if (wanted.find_first_of("*?") != std::string_view::npos) return wildcard_match(wanted, value);
  return wanted == value;
}

// --- writing identifiers ---------------------------------------------------------------------------

using dicom::append_u16;
using dicom::append_u32;

void append_element(Identifier& out, std::uint32_t tag, dicom::VrCode vr, std::string_view value, bool implicit_vr) {
  const bool uid = vr == dicom::vr_code('U', 'I');
  const std::size_t length = value.size() + (value.size() % 2);
  append_u16(out, static_cast<std::uint16_t>(tag >> 16));
  append_u16(out, static_cast<std::uint16_t>(tag & 0xFFFF));
  if (implicit_vr) {
    append_u32(out, static_cast<std::uint32_t>(length));
  } else {
    out.push_back(static_cast<std::uint8_t>(vr & 0xFF));
    out.push_back(static_cast<std::uint8_t>(vr >> 8));
    if (dicom::is_long_vr(vr)) {
      append_u16(out, 0);
      append_u32(out, static_cast<std::uint32_t>(length));
    } else {
      append_u16(out, static_cast<std::uint16_t>(length));
    }
  }
  out.insert(out.end(), value.begin(), value.end());
  if (length != value.size()) out.push_back(uid ? '\0' : ' ');
}

// --- the query -------------------------------------------------------------------------------------

struct QueryKey {
  std::uint32_t tag = 0;
  dicom::VrCode vr = 0;
  std::string value;                 // UTF-8, padding removed
  std::optional<std::size_t> known;  // its place in kKeys
};

struct Query {
  QueryLevel level = QueryLevel::study;
  std::vector<QueryKey> keys;  // in tag order, the level and the character set left out
  bool has_unknown_keys = false;
};

[[nodiscard]] std::optional<std::string> read_query(std::span<const std::uint8_t> bytes, bool implicit_vr, Query& out) {
  dicom::ElementList elements;
  dicom::Encoding encoding;
  encoding.implicit_vr = implicit_vr;
  if (!dicom::parse_dataset(bytes.data(), bytes.size(), encoding, elements).ok()) return "the identifier cannot be read";
  const dicom::CharacterSets sets = dicom::parse_specific_character_set(dicom::find_text(elements, kSpecificCharacterSet));
  const std::string_view level = dicom::find_text(elements, kQueryRetrieveLevel);
  if (level == "STUDY") out.level = QueryLevel::study;
  else if (level == "SERIES") out.level = QueryLevel::series;
  else return level.empty() ? "no Query/Retrieve Level" : "Query/Retrieve Level " + std::string(level) + " is not supported";
  for (const dicom::DataElement& element : elements) {
    if (element.tag == kSpecificCharacterSet || element.tag == kQueryRetrieveLevel || (element.tag >> 16) == 0x0002) continue;
    QueryKey key;
    key.tag = element.tag;
    key.vr = dicom::is_unknown_or_un(element.vr) ? dicom::lookup_vr(static_cast<std::uint16_t>(element.tag >> 16),
                                                                    static_cast<std::uint16_t>(element.tag & 0xFFFF))
                                                 : element.vr;
    key.known = key_of(element.tag);
    if (key.known && kKeys[*key.known].level == QueryLevel::series && out.level == QueryLevel::study) key.known.reset();
    if (!key.known) out.has_unknown_keys = true;
    const dicom::TextKind kind = key.known ? kKeys[*key.known].kind : dicom::TextKind::text;
    // Sequences and binary values are returned empty: the index keeps text only.
    if (key.vr != dicom::kVrSQ && !dicom::is_long_vr(key.vr)) key.value = decoded(dicom::element_text(element), sets, kind);
    if (key.vr == dicom::kVrSQ) key.value.clear();
    out.keys.push_back(std::move(key));
  }
  return std::nullopt;
}

struct SeriesRecord {
  InstanceAttributes attributes;
  std::uint64_t instances = 0;
};

struct StudyRecord {
  InstanceAttributes attributes;
  std::map<std::string, SeriesRecord> series;
  std::set<std::string> modalities;
  std::uint64_t instances = 0;
};

[[nodiscard]] std::string value_of(std::size_t key, const StudyRecord& study, const SeriesRecord* series) {
  switch (kKeys[key].source) {
    case Source::instance:
      return kKeys[key].level == QueryLevel::series ? (series ? series->attributes.values[key] : std::string())
                                                    : study.attributes.values[key];
    case Source::modalities_in_study: {
      std::string joined;
      for (const std::string& modality : study.modalities) {
        if (!joined.empty()) joined.push_back('\\');
        joined += modality;
      }
      return joined;
    }
    case Source::series_in_study: return std::to_string(study.series.size());
    case Source::instances_in_study: return std::to_string(study.instances);
    case Source::instances_in_series: return series ? std::to_string(series->instances) : std::string();
  }
  return {};
}

[[nodiscard]] bool record_matches(const Query& query, const StudyRecord& study, const SeriesRecord* series) {
  for (const QueryKey& key : query.keys) {
    if (!key.known) continue;
    if (!key_matches(kKeys[*key.known], key.value, value_of(*key.known, study, series), &study.modalities)) return false;
  }
  return true;
}

[[nodiscard]] Identifier answer_for(const Query& query, const StudyRecord& study, const SeriesRecord* series,
                                    bool implicit_vr) {
  std::vector<std::pair<std::uint32_t, std::pair<dicom::VrCode, std::string>>> elements;
  elements.push_back({kSpecificCharacterSet, {dicom::vr_code('C', 'S'), "ISO_IR 192"}});
  elements.push_back({kQueryRetrieveLevel, {dicom::vr_code('C', 'S'), query.level == QueryLevel::study ? "STUDY" : "SERIES"}});
  bool has_study_uid = false;
  for (const QueryKey& key : query.keys) {
    has_study_uid = has_study_uid || key.tag == kStudyInstanceUid;
    std::string value = key.known ? value_of(*key.known, study, series) : std::string();
    const dicom::VrCode vr = key.vr == 0 ? dicom::kVrUN : key.vr;
    elements.push_back({key.tag, {vr, std::move(value)}});
  }
  // Each series answer names its study, whether asked or not: the key of the level above.
  if (query.level == QueryLevel::series && !has_study_uid) {
    elements.push_back({kStudyInstanceUid, {dicom::vr_code('U', 'I'), study.attributes.values[kStudyUidKey]}});
  }
  std::sort(elements.begin(), elements.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  Identifier out;
  for (const auto& [tag, typed] : elements) append_element(out, tag, typed.first, typed.second, implicit_vr);
  return out;
}

// --- reading stored files ---------------------------------------------------------------------------

[[nodiscard]] bool read_file_prefix(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.resize(limit);
  std::size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::read(fd, out.data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  out.resize(got);
  return true;
}

// The header of a stored file: its first bytes, or the whole file when the header runs past them.
[[nodiscard]] std::optional<InstanceAttributes> read_stored_file(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> inflated;
  for (const std::size_t limit : {kHeaderProbeBytes, std::size_t{1} << 40}) {
    if (!read_file_prefix(path, limit, bytes)) return std::nullopt;
    const dicom::LocatedDataset located = dicom::locate_dataset(bytes.data(), bytes.size(), inflated);
    if (!located.ok()) return std::nullopt;
    const bool whole = bytes.size() < limit;
    if (!whole && !located.deflated && !dicom::header_ends_within(located.data, located.size, located.encoding)) continue;
    dicom::ElementList elements;
    (void)dicom::parse_dataset(located.data, located.size, located.encoding, elements);
    return read_instance_attributes(elements);
  }
  return std::nullopt;
}

[[nodiscard]] std::vector<std::string> entries_of(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

[[nodiscard]] bool is_folder(const std::string& path) {
  struct stat info{};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

InstanceAttributes read_instance_attributes(const dicom::ElementList& elements) {
  InstanceAttributes out;
  const dicom::CharacterSets sets = dicom::parse_specific_character_set(dicom::find_text(elements, kSpecificCharacterSet));
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    if (kKeys[i].source != Source::instance) continue;
    out.values[i] = decoded(dicom::find_text(elements, kKeys[i].tag), sets, kKeys[i].kind);
  }
  return out;
}

struct StudyIndex::Impl {
  mutable std::shared_mutex mutex;
  std::map<std::string, StudyRecord> studies;

  void add(const InstanceAttributes& instance) {
    const std::string& study_uid = instance.values[kStudyUidKey];
    const std::string& series_uid = instance.values[kSeriesUidKey];
    if (study_uid.empty() || series_uid.empty()) return;
    std::unique_lock lock(mutex);
    StudyRecord& study = studies[study_uid];
    if (study.instances == 0) study.attributes = instance;
    SeriesRecord& series = study.series[series_uid];
    if (series.instances == 0) series.attributes = instance;
    ++series.instances;
    ++study.instances;
    if (!instance.values[kModalityKey].empty()) study.modalities.insert(instance.values[kModalityKey]);
  }
};

StudyIndex::StudyIndex() : impl_(std::make_unique<Impl>()) {}
StudyIndex::~StudyIndex() = default;

void StudyIndex::add(const InstanceAttributes& instance) { impl_->add(instance); }

std::size_t StudyIndex::studies() const {
  std::shared_lock lock(impl_->mutex);
  return impl_->studies.size();
}

NetStatus StudyIndex::rebuild(const std::string& root, std::size_t& indexed, std::size_t& skipped) {
  indexed = skipped = 0;
  for (const std::string& study : entries_of(root)) {
    const std::string study_folder = root + "/" + study;
    if (study.front() == '.' || !is_folder(study_folder)) continue;
    for (const std::string& series : entries_of(study_folder)) {
      const std::string series_folder = study_folder + "/" + series;
      if (series.front() == '.' || !is_folder(series_folder)) continue;
      for (const std::string& name : entries_of(series_folder)) {
        const std::string path = series_folder + "/" + name;
        if (name.front() == '.' && name.find(".tmp") != std::string::npos) {
          ::unlink(path.c_str());  // a store a crash interrupted: never confirmed, so never kept
          continue;
        }
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".dcm") != 0) continue;
        if (const auto attributes = read_stored_file(path)) {
          add(*attributes);
          ++indexed;
        } else {
          ++skipped;
        }
      }
    }
  }
  return {};
}

FindResult StudyIndex::find(std::span<const std::uint8_t> identifier, bool implicit_vr) const {
  FindResult result;
  Query query;
  if (const auto problem = read_query(identifier, implicit_vr, query)) {
    result.status = 0xC000;
    result.error_comment = *problem;
    return result;
  }
  if (query.has_unknown_keys) result.pending_status = 0xFF01;
  std::shared_lock lock(impl_->mutex);
  for (const auto& [uid, study] : impl_->studies) {
    if (query.level == QueryLevel::study) {
      if (record_matches(query, study, nullptr)) result.identifiers.push_back(answer_for(query, study, nullptr, implicit_vr));
      continue;
    }
    for (const auto& [series_uid, series] : study.series) {
      if (record_matches(query, study, &series)) result.identifiers.push_back(answer_for(query, study, &series, implicit_vr));
    }
  }
  return result;
}

}  // namespace zanthe::dicom_net

#include "dicom_net/instance_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>
#include <optional>
#include <unordered_set>
#include <variant>
#include <vector>

#include "dicom/byte_writing.h"
#include "dicom/part10_reader.h"
#include "dicom_net/dimse.h"
#include "dicom_net/file_io.h"
#include "dicom_net/instance_journal.h"
#include "dicom_net/pdu.h"
#include "dicom_net/sop_classes.h"

namespace zanthe::dicom_net {
namespace {

constexpr std::uint32_t kSopClassTag = 0x00080016;
constexpr std::uint32_t kSopInstanceTag = 0x00080018;
constexpr std::uint32_t kStudyTag = 0x0020000D;
constexpr std::uint32_t kSeriesTag = 0x0020000E;
constexpr std::size_t kPreambleSize = 128;

using dicom::append_u16;
using dicom::append_u32;

// One explicit-VR little-endian meta element with a short (2-byte) length, padded to even length.
void append_meta_text(std::string& out, std::uint16_t element, const char (&vr)[3], std::string_view value,
                      char pad) {
  append_u16(out, 0x0002);
  append_u16(out, element);
  out.append(vr, 2);
  const std::size_t length = value.size() + (value.size() % 2);
  append_u16(out, static_cast<std::uint16_t>(length));
  out.append(value);
  if (length != value.size()) out.push_back(pad);
}

// What the dataset says of itself, read the way its transfer syntax encodes it.
struct DatasetUids {
  std::string sop_class, sop_instance, study, series;
  InstanceAttributes attributes;
  bool readable = false;
};

[[nodiscard]] DatasetUids read_dataset_uids(const ReceivedInstance& instance, const std::string& meta) {
  DatasetUids uids;
  dicom::ElementList elements;
  std::vector<std::uint8_t> joined;
  std::vector<std::uint8_t> inflated;
  const std::uint8_t* data = instance.dataset.data();
  std::size_t size = instance.dataset.size();
  dicom::Encoding encoding;
  if (instance.transfer_syntax == kDeflatedExplicitVrLittleEndian) {
    // The reader inflates a deflated dataset behind its file meta, so it gets the whole file.
    joined.reserve(meta.size() + size);
    joined.insert(joined.end(), meta.begin(), meta.end());
    joined.insert(joined.end(), instance.dataset.begin(), instance.dataset.end());
    const dicom::LocatedDataset located = dicom::locate_dataset(joined.data(), joined.size(), inflated);
    if (!located.ok()) return uids;
    data = located.data;
    size = located.size;
    encoding = located.encoding;
  } else {
    encoding.implicit_vr = dicom::is_implicit_vr_little_endian(instance.transfer_syntax);
    if (instance.transfer_syntax == kExplicitVrBigEndian) encoding.byte_order = dicom::ByteOrder::big_endian;
  }
  if (size == 0) return uids;
  // Every dataset that can be stored names its instance; bytes that read as no such dataset, or stop
  // part way, cannot be understood (C000) rather than disagree with the command (A900).
  const dicom::ReadStatus parsed = dicom::parse_dataset(data, size, encoding, elements);
  if (!parsed.ok() || dicom::find_text(elements, kSopInstanceTag).empty()) return uids;
  uids.readable = true;
  uids.sop_class = dicom::find_text(elements, kSopClassTag);
  uids.sop_instance = dicom::find_text(elements, kSopInstanceTag);
  uids.study = dicom::find_text(elements, kStudyTag);
  uids.series = dicom::find_text(elements, kSeriesTag);
  uids.attributes = read_instance_attributes(elements);
  return uids;
}

[[nodiscard]] StoreOutcome refusal(std::uint16_t code, std::string comment) {
  StoreOutcome outcome;
  outcome.status = code;
  // Error Comment is LO: at most 64 characters.
  if (comment.size() > 64) comment.resize(64);
  outcome.error_comment = std::move(comment);
  return outcome;
}

[[nodiscard]] StoreOutcome os_refusal(std::string_view step, int error) {
  return refusal(status::kOutOfResources, std::string(step) + ": " + std::strerror(error));
}

}  // namespace

bool is_well_formed_uid(std::string_view uid) noexcept {
  if (uid.empty() || uid.size() > 64 || uid.front() == '.' || uid.back() == '.') return false;
  char previous = '.';
  for (const char c : uid) {
    if (c == '.' && previous == '.') return false;
    if (c != '.' && (c < '0' || c > '9')) return false;
    previous = c;
  }
  return true;
}

std::string file_meta_bytes(const ReceivedInstance& instance) {
  std::string group;
  // File Meta Information Version: OB, whose explicit header has a 4-byte length.
  append_u16(group, 0x0002);
  append_u16(group, 0x0001);
  group.append("OB");
  append_u16(group, 0);
  append_u32(group, 2);
  group.push_back('\0');
  group.push_back('\x01');
  append_meta_text(group, 0x0002, "UI", instance.sop_class, '\0');
  append_meta_text(group, 0x0003, "UI", instance.sop_instance, '\0');
  append_meta_text(group, 0x0010, "UI", instance.transfer_syntax, '\0');
  append_meta_text(group, 0x0012, "UI", kImplementationClassUid, '\0');
  append_meta_text(group, 0x0013, "SH", kImplementationVersion, ' ');
  if (!instance.source_ae.empty()) append_meta_text(group, 0x0016, "AE", instance.source_ae.substr(0, 16), ' ');

  std::string out(kPreambleSize, '\0');
  out.append("DICM");
  append_u16(out, 0x0002);
  append_u16(out, 0x0000);
  out.append("UL");
  append_u16(out, 4);
  append_u32(out, static_cast<std::uint32_t>(group.size()));
  out.append(group);
  return out;
}

namespace {

// Calls the journal's file_placed() when a journaled file's store is over, however it ended.
struct PlacedGuard {
  InstanceJournal& journal;
  ~PlacedGuard() { journal.file_placed(); }
};

[[nodiscard]] StoreOutcome stored(const ReceivedInstance& instance, const DatasetUids& uids, std::string path,
                                  std::size_t bytes) {
  StoreOutcome outcome;
  outcome.status = status::kSuccess;
  outcome.instance.path = std::move(path);
  outcome.instance.sop_class = std::string(instance.sop_class);
  outcome.instance.sop_instance = uids.sop_instance;
  outcome.instance.study = uids.study;
  outcome.instance.series = uids.series;
  outcome.instance.transfer_syntax = std::string(instance.transfer_syntax);
  outcome.instance.bytes = bytes;
  outcome.attributes = uids.attributes;
  return outcome;
}

}  // namespace

struct InstanceStore::Impl {
  std::string root;
  bool sync = true;
  std::uint64_t journal_bytes = 0;
  // With sync, files up to kLargestJournaledFile become durable through it; larger ones on their own.
  // Opened with or without sync.
  std::unique_ptr<InstanceJournal> journal;
  std::atomic<std::uint64_t> temporary_counter{0};
  // Folders whose entry in their parent is known to be durable; every folder on the way of a file
  // synced on its own must be, or a crash could lose a file whose store was confirmed.
  std::mutex folders_mutex;
  std::unordered_set<std::string> durable_folders;

  [[nodiscard]] bool folder_is_durable(const std::string& folder) {
    std::lock_guard lock(folders_mutex);
    return durable_folders.contains(folder);
  }

  void mark_durable(const std::string& folder) {
    std::lock_guard lock(folders_mutex);
    durable_folders.insert(folder);
  }

  void forget_folders(std::initializer_list<std::string> folders) {
    std::lock_guard lock(folders_mutex);
    for (const std::string& folder : folders) durable_folders.erase(folder);
  }

  // Makes `folder` (a child of `parent`) exist and, when `durable`, its entry in `parent` durable. A
  // journaled file needs no synced folders: replaying the journal makes them again.
  [[nodiscard]] int ensure_folder(const std::string& parent, const std::string& folder, bool durable) {
    if (folder_is_durable(folder)) return 0;
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    if (!durable) return 0;
    if (const int error = sync_folder(parent); error != 0) return error;
    mark_durable(folder);
    return 0;
  }

  // The temporary file. Folders are made (and, when `durable`, synced into their parents) first;
  // without `durable` they are made only when the file cannot be created without them, which spares
  // every store after a series' first two mkdir calls. Folders removed from the store while serving
  // are made again: the second round finds them gone.
  [[nodiscard]] std::variant<int, StoreOutcome> open_temporary(const std::string& study_folder,
                                                              const std::string& series_folder,
                                                              const std::string& temporary, bool durable) {
    int fd = -1;
    for (int round = 0; round < 2 && fd < 0; ++round) {
      if (round == 1) forget_folders({study_folder, series_folder});
      if (durable || round == 1) {
        if (const int error = ensure_folder(root, study_folder, durable); error != 0) {
          return os_refusal("cannot make the study folder", error);
        }
        if (const int error = ensure_folder(study_folder, series_folder, durable); error != 0) {
          return os_refusal("cannot make the series folder", error);
        }
      }
      fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0 && errno != ENOENT) break;
    }
    if (fd < 0) return os_refusal("cannot create the file", errno);
    return fd;
  }

  // Where one instance goes, and the bytes of its file.
  struct Placement {
    std::string relative_path;  // under the root, as the journal names it
    std::string series_folder;
    std::string final_path;
    std::string temporary;
    std::array<iovec, 2> pieces;  // file meta, dataset
    std::size_t bytes;
  };

  [[nodiscard]] Placement placement(const ReceivedInstance& instance, const std::string& meta, const DatasetUids& uids) {
    Placement place;
    place.relative_path = uids.study + "/" + uids.series + "/" + uids.sop_instance + ".dcm";
    place.series_folder = root + "/" + uids.study + "/" + uids.series;
    place.final_path = root + "/" + place.relative_path;
    place.temporary = place.series_folder + "/." + uids.sop_instance + ".tmp" + std::to_string(::getpid()) + "-" +
                      std::to_string(temporary_counter.fetch_add(1, std::memory_order_relaxed));
    place.pieces = {iovec{const_cast<char*>(meta.data()), meta.size()},
                    iovec{const_cast<std::uint8_t*>(instance.dataset.data()), instance.dataset.size()}};
    place.bytes = meta.size() + instance.dataset.size();
    return place;
  }

  // Writes the temporary file whole, synced when `synced_alone`; on failure it is gone again.
  [[nodiscard]] std::optional<StoreOutcome> write_temporary(const Placement& place, const std::string& study_folder,
                                                            bool synced_alone) {
    auto opened = open_temporary(study_folder, place.series_folder, place.temporary, synced_alone);
    if (auto* refused = std::get_if<StoreOutcome>(&opened)) return std::move(*refused);
    FileDescriptor file(std::get<int>(opened));
    const auto discard = [&](std::string_view step, int error) {
      if (file.fd >= 0) ::close(file.release());
      ::unlink(place.temporary.c_str());
      return os_refusal(step, error);
    };
    std::array<iovec, 2> writing = place.pieces;
    if (const int error = write_pieces_at(file.fd, writing, 0); error != 0) return discard("cannot write the file", error);
    if (synced_alone && ::fdatasync(file.fd) != 0) return discard("cannot sync the file", errno);
    if (::close(file.release()) != 0) return discard("cannot write the file", errno);
    return std::nullopt;
  }

  // The journal holds the bytes before the file has its name, so a crash never leaves a named file
  // the journal cannot mend.
  [[nodiscard]] std::optional<StoreOutcome> place_journaled(const Placement& place) {
    if (const int error = journal->commit_file(place.relative_path, place.pieces); error != 0) {
      ::unlink(place.temporary.c_str());
      return os_refusal("cannot write the journal", error);
    }
    const PlacedGuard placed{*journal};
    if (::rename(place.temporary.c_str(), place.final_path.c_str()) != 0) {
      const int error = errno;
      ::unlink(place.temporary.c_str());
      (void)journal->supersede(place.relative_path);  // or the next start would write the refused file
      return os_refusal("cannot move the file into place", error);
    }
    return std::nullopt;
  }

  // A file synced on its own (or not at all, without sync) is claimed once its name is durable too.
  [[nodiscard]] std::optional<StoreOutcome> place_directly(const Placement& place) {
    if (::rename(place.temporary.c_str(), place.final_path.c_str()) != 0) {
      const int error = errno;
      ::unlink(place.temporary.c_str());
      return os_refusal("cannot move the file into place", error);
    }
    if (!sync) return std::nullopt;
    if (const int error = sync_folder(place.series_folder); error != 0) {
      ::unlink(place.final_path.c_str());
      return os_refusal("cannot sync the series folder", error);
    }
    // A copy journaled earlier must not be written back over this one after a crash.
    if (journal != nullptr) {
      if (const int error = journal->supersede(place.relative_path); error != 0) {
        ::unlink(place.final_path.c_str());
        return os_refusal("cannot write the journal", error);
      }
    }
    return std::nullopt;
  }

  [[nodiscard]] StoreOutcome write(const ReceivedInstance& instance, const std::string& meta, const DatasetUids& uids) {
    const Placement place = placement(instance, meta, uids);
    const bool journaled = sync && journal != nullptr && place.bytes <= kLargestJournaledFile;
    if (auto refused = write_temporary(place, root + "/" + uids.study, sync && !journaled)) return std::move(*refused);
    if (auto refused = journaled ? place_journaled(place) : place_directly(place)) return std::move(*refused);
    return stored(instance, uids, place.final_path, place.bytes);
  }
};

InstanceStore::InstanceStore(std::string root, bool sync, std::uint64_t journal_bytes) : impl_(std::make_unique<Impl>()) {
  impl_->root = std::move(root);
  while (impl_->root.size() > 1 && impl_->root.back() == '/') impl_->root.pop_back();
  impl_->sync = sync;
  impl_->journal_bytes = journal_bytes;
}

NetStatus InstanceStore::open(JournalRecovery& recovery) {
  recovery = {};
  // Without sync nothing is journaled, but the journal is still opened: it locks the store, and
  // what a crashed durable run left in it is written back now, before newer copies could arrive.
  auto journal = std::make_unique<InstanceJournal>(impl_->root, impl_->journal_bytes);
  if (NetStatus opened = journal->open(recovery); !opened.ok()) return opened;
  impl_->journal = std::move(journal);
  return {};
}

InstanceStore::~InstanceStore() = default;

const std::string& InstanceStore::root() const noexcept { return impl_->root; }

StoreOutcome InstanceStore::store(const ReceivedInstance& instance) {
  try {
    const std::string meta = file_meta_bytes(instance);
    const DatasetUids uids = read_dataset_uids(instance, meta);
    if (!uids.readable) return refusal(status::kCannotUnderstand, "the dataset cannot be read");
    if (uids.sop_instance != instance.sop_instance) {
      return refusal(status::kDataSetDoesNotMatchSopClass, "SOP Instance UID differs from the command's");
    }
    if (uids.sop_class != instance.sop_class) {
      return refusal(status::kDataSetDoesNotMatchSopClass, "SOP Class UID differs from the command's");
    }
    if (!is_well_formed_uid(uids.sop_instance)) return refusal(status::kCannotUnderstand, "SOP Instance UID is not a UID");
    if (!is_well_formed_uid(uids.study)) return refusal(status::kCannotUnderstand, "no Study Instance UID");
    if (!is_well_formed_uid(uids.series)) return refusal(status::kCannotUnderstand, "no Series Instance UID");
    return impl_->write(instance, meta, uids);
  } catch (const std::bad_alloc&) {
    return os_refusal("out of memory", ENOMEM);
  }
}

}  // namespace zanthe::dicom_net

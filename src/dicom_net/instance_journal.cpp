#include "dicom_net/instance_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <optional>

#include "dicom/byte_reading.h"
#include "dicom/byte_writing.h"
#include "dicom_net/file_io.h"
#include "dicom_net/instance_store.h"

namespace zanthe::dicom_net {
namespace {

constexpr std::string_view kHeaderMagic = "ZDJH";
constexpr std::string_view kRecordMagic = "ZDJ1";
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::uint64_t kHeaderBytes = 4096;
constexpr std::uint64_t kSlotBytes = 512;      // one slot per sector, so a torn write spoils one only
constexpr std::size_t kSlotFieldBytes = 16;    // magic, version, generation; the CRC follows
constexpr std::size_t kRecordHeaderBytes = 12;  // magic, payload length, CRC-32
constexpr std::size_t kTrailerBytes = 16;       // generation, offset
constexpr std::size_t kLongestPath = 3 * 64 + 8;  // three UIDs, two slashes, ".dcm"
constexpr std::uint32_t kLongestPayload = kLargestJournaledFile + 3 + kLongestPath + kTrailerBytes;
constexpr std::uint64_t kLeastGrowth = 64 << 10;
constexpr std::uint64_t kMostGrowth = 8 << 20;

enum class RecordKind : std::uint8_t { file = 1, superseded = 2 };

using dicom::append_u16;
using dicom::append_u32;

void append_u64(std::string& out, std::uint64_t value) {
  append_u32(out, static_cast<std::uint32_t>(value));
  append_u32(out, static_cast<std::uint32_t>(value >> 32));
}

[[nodiscard]] std::uint64_t read_u64(const std::uint8_t* bytes) noexcept {
  return dicom::read_u32(bytes) | (std::uint64_t{dicom::read_u32(bytes + 4)} << 32);
}

[[nodiscard]] std::uint32_t crc_of(std::uint32_t crc, const void* data, std::size_t size) noexcept {
  const auto* bytes = static_cast<const Bytef*>(data);
  while (size > 0) {  // zlib takes lengths as uInt
    const auto piece = static_cast<uInt>(std::min<std::size_t>(size, 1U << 30));
    crc = static_cast<std::uint32_t>(crc32(crc, bytes, piece));
    bytes += piece;
    size -= piece;
  }
  return crc;
}

[[nodiscard]] std::uint32_t crc_of(std::string_view bytes) noexcept {
  return crc_of(static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0)), bytes.data(), bytes.size());
}

// Reads exactly `size` bytes at `offset`: 0, ENODATA when the file ends first, or errno.
[[nodiscard]] int read_exactly(int fd, std::uint64_t offset, void* into, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, static_cast<char*>(into) + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return ENODATA;
    done += static_cast<std::size_t>(got);
  }
  return 0;
}

[[nodiscard]] std::string header_slot(std::uint64_t generation) {
  std::string slot(kHeaderMagic);
  append_u32(slot, kFormatVersion);
  append_u64(slot, generation);
  append_u32(slot, crc_of(slot));
  return slot;
}

// The generation a slot holds, if it is whole.
[[nodiscard]] std::optional<std::uint64_t> read_slot(int fd, std::uint64_t offset) {
  std::array<std::uint8_t, kSlotFieldBytes + 4> slot{};
  if (read_exactly(fd, offset, slot.data(), slot.size()) != 0) return std::nullopt;
  const std::string_view fields(reinterpret_cast<const char*>(slot.data()), kSlotFieldBytes);
  if (fields.substr(0, 4) != kHeaderMagic || dicom::read_u32(slot.data() + 4) != kFormatVersion ||
      dicom::read_u32(slot.data() + kSlotFieldBytes) != crc_of(fields)) {
    return std::nullopt;
  }
  return read_u64(slot.data() + 8);
}

// A path the store itself makes: <uid>/<uid>/<uid>.dcm. Nothing else is written back.
[[nodiscard]] bool is_store_path(std::string_view path) {
  const std::size_t first = path.find('/');
  const std::size_t second = first == std::string_view::npos ? first : path.find('/', first + 1);
  if (second == std::string_view::npos || !path.ends_with(".dcm")) return false;
  return is_well_formed_uid(path.substr(0, first)) && is_well_formed_uid(path.substr(first + 1, second - first - 1)) &&
         is_well_formed_uid(path.substr(second + 1, path.size() - second - 1 - 4));
}

[[nodiscard]] bool file_holds(const std::string& path, std::string_view bytes) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info{};
  if (fd.fd < 0 || ::fstat(fd.fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) != bytes.size()) return false;
  std::string found(bytes.size(), '\0');
  return read_exactly(fd.fd, 0, found.data(), found.size()) == 0 && found == bytes;
}

// Writes a file back from its record, folders made as needed; made durable by the syncfs after.
[[nodiscard]] int write_back(const std::string& root, std::string_view path, std::string_view bytes) {
  const std::string final_path = root + "/" + std::string(path);
  for (std::size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = root + "/" + std::string(path.substr(0, slash));
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  }
  const std::size_t name_at = final_path.rfind('/') + 1;
  const std::string temporary = final_path.substr(0, name_at) + "." + final_path.substr(name_at) + ".tmp-journal";
  FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.fd < 0) return errno;
  std::array<iovec, 1> piece{iovec{const_cast<char*>(bytes.data()), bytes.size()}};
  int error = write_pieces_at(fd.fd, piece, 0);
  if (error == 0 && ::close(fd.release()) != 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), final_path.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
  return error;
}

struct RecordPlace {
  std::uint64_t data_offset = 0;
  std::size_t data_size = 0;
};

}  // namespace

// A record waiting for the journal's next write. Its submitter computes the CRC of what it knows;
// the writer adds the generation and offset, which only it knows, and the header.
struct InstanceJournal::Pending {
  RecordKind kind = RecordKind::file;
  std::string path;
  std::string head;     // record header, kind, path
  std::string trailer;  // generation, offset
  std::vector<iovec> data;
  std::uint64_t data_bytes = 0;
  std::uint32_t crc = 0;  // of kind, path and data so far
  int error = 0;
  bool done = false;
  std::condition_variable woken;  // done, or the oldest waiting when the lead came free

  Pending(RecordKind k, std::string_view p, std::span<const iovec> pieces) : kind(k), path(p), data(pieces.begin(), pieces.end()) {
    head.resize(kRecordHeaderBytes);
    head.push_back(static_cast<char>(kind));
    append_u16(head, static_cast<std::uint16_t>(path.size()));
    head.append(path);
    crc = crc_of(std::string_view(head).substr(kRecordHeaderBytes));
    for (const iovec& piece : data) {
      crc = crc_of(crc, piece.iov_base, piece.iov_len);
      data_bytes += piece.iov_len;
    }
  }

  [[nodiscard]] std::uint64_t payload_bytes() const noexcept {
    return head.size() - kRecordHeaderBytes + data_bytes + kTrailerBytes;
  }
  [[nodiscard]] std::uint64_t record_bytes() const noexcept { return kRecordHeaderBytes + payload_bytes(); }

  void seal(std::uint64_t generation, std::uint64_t offset) {
    trailer.clear();
    append_u64(trailer, generation);
    append_u64(trailer, offset);
    std::string fields(kRecordMagic);
    append_u32(fields, static_cast<std::uint32_t>(payload_bytes()));
    append_u32(fields, crc_of(crc, trailer.data(), trailer.size()));
    head.replace(0, kRecordHeaderBytes, fields);
  }

  void add_pieces(std::vector<iovec>& out) {
    out.push_back(iovec{head.data(), head.size()});
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(iovec{trailer.data(), trailer.size()});
  }
};

InstanceJournal::InstanceJournal(std::string root, std::uint64_t capacity)
    : root_(std::move(root)), path_(root_ + "/" + std::string(kJournalFileName)),
      capacity_(std::max(capacity, kLeastJournalBytes)) {}

InstanceJournal::~InstanceJournal() {
  if (fd_ >= 0) {
    std::unique_lock lock(mutex_);
    lead_free_.wait(lock, [&] { return !leading_; });
    placed_.wait(lock, [&] { return files_unplaced_ == 0; });
    lock.unlock();
    if (end_ > kHeaderBytes) (void)checkpoint();
    ::close(fd_);
  }
  if (root_fd_ >= 0) ::close(root_fd_);
}

NetStatus InstanceJournal::open(JournalRecovery& recovery) {
  recovery = {};
  root_fd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root_fd_ < 0) return os_failure("cannot open the store folder " + root_, errno);
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return os_failure("cannot open the journal " + path_, errno);
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      NetStatus in_use = net_failure(NetCode::os_error, "the store " + root_ + " is in use by another server");
      in_use.os_error = EWOULDBLOCK;
      return in_use;
    }
    return os_failure("cannot lock the journal " + path_, errno);
  }
  struct stat info{};
  if (::fstat(fd_, &info) != 0) return os_failure("cannot read the journal " + path_, errno);
  allocated_ = static_cast<std::uint64_t>(info.st_size);
  const std::optional<std::uint64_t> first = read_slot(fd_, 0);
  const std::optional<std::uint64_t> second = read_slot(fd_, kSlotBytes);
  generation_ = std::max(first.value_or(0), second.value_or(0));
  if (generation_ > 0) {
    if (NetStatus replayed = replay(recovery); !replayed.ok()) return replayed;
  }
  if (const int error = make_room(kHeaderBytes); error != 0) return os_failure("cannot grow the journal " + path_, error);
  if (const int error = write_header(generation_ + 1); error != 0) {
    return os_failure("cannot write the journal " + path_, error);
  }
  ++generation_;
  end_ = kHeaderBytes;
  // A journal made just now must itself survive a crash.
  if (const int error = sync_folder(root_); error != 0) return os_failure("cannot sync the store folder " + root_, error);
  return {};
}

NetStatus InstanceJournal::replay(JournalRecovery& recovery) {
  std::map<std::string, std::optional<RecordPlace>> latest;  // a path's last record; none: superseded
  std::uint64_t at = kHeaderBytes;
  std::array<std::uint8_t, kRecordHeaderBytes> header{};
  std::string payload;
  while (read_exactly(fd_, at, header.data(), header.size()) == 0) {
    const std::uint32_t length = dicom::read_u32(header.data() + 4);
    if (std::string_view(reinterpret_cast<const char*>(header.data()), 4) != kRecordMagic || length < 3 + kTrailerBytes ||
        length > kLongestPayload) {
      break;
    }
    payload.resize(length);
    if (read_exactly(fd_, at + kRecordHeaderBytes, payload.data(), length) != 0 ||
        crc_of(payload) != dicom::read_u32(header.data() + 8)) {
      break;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    const std::size_t trailer_at = length - kTrailerBytes;
    if (read_u64(bytes + trailer_at) != generation_ || read_u64(bytes + trailer_at + 8) != at) break;
    const auto kind = static_cast<RecordKind>(bytes[0]);
    const std::size_t path_size = dicom::read_u16(bytes + 1);
    if (path_size > trailer_at - 3 || (kind != RecordKind::file && kind != RecordKind::superseded)) break;
    std::string path = payload.substr(3, path_size);
    ++recovery.records;
    if (kind == RecordKind::superseded) {
      latest[std::move(path)] = std::nullopt;
    } else {
      const std::size_t data_at = 3 + path_size;
      latest[std::move(path)] = RecordPlace{at + kRecordHeaderBytes + data_at, trailer_at - data_at};
    }
    at += kRecordHeaderBytes + length;
  }
  std::string data;
  for (const auto& [path, place] : latest) {
    if (!place) continue;
    if (!is_store_path(path)) {
      ++recovery.damaged;
      continue;
    }
    data.resize(place->data_size);
    if (const int error = read_exactly(fd_, place->data_offset, data.data(), data.size()); error != 0) {
      return os_failure("cannot read the journal " + path_, error);
    }
    if (file_holds(root_ + "/" + path, data)) continue;
    if (const int error = write_back(root_, path, data); error != 0) {
      return os_failure("cannot write " + root_ + "/" + path + " back from the journal", error);
    }
    ++recovery.files_written;
  }
  // Files that match may still be only in the page cache of a process that was killed.
  if (recovery.records > 0 && ::syncfs(root_fd_) != 0) return os_failure("cannot sync the store " + root_, errno);
  return {};
}

int InstanceJournal::write_header(std::uint64_t generation) {
  const std::string slot = header_slot(generation);
  std::array<iovec, 1> piece{iovec{const_cast<char*>(slot.data()), slot.size()}};
  if (const int error = write_pieces_at(fd_, piece, static_cast<off_t>((generation % 2) * kSlotBytes)); error != 0) {
    return error;
  }
  return ::fdatasync(fd_) == 0 ? 0 : errno;
}

// Zeros ahead of the records, synced with the file's new size once, so that the records' own syncs
// change data blocks only.
int InstanceJournal::make_room(std::uint64_t end) {
  if (end <= allocated_) return 0;
  static const std::string zeros(kLeastGrowth, '\0');
  const std::uint64_t target = end + std::clamp(allocated_, kLeastGrowth, kMostGrowth);
  std::uint64_t size = allocated_;
  while (size < target) {
    std::array<iovec, 1> piece{iovec{const_cast<char*>(zeros.data()), zeros.size()}};
    if (const int error = write_pieces_at(fd_, piece, static_cast<off_t>(size)); error != 0) return error;
    size += zeros.size();
  }
  if (::fsync(fd_) != 0) return errno;
  allocated_ = size;
  return 0;
}

int InstanceJournal::checkpoint() {
  if (::syncfs(root_fd_) != 0) return errno;
  if (const int error = write_header(generation_ + 1); error != 0) return error;
  ++generation_;
  end_ = kHeaderBytes;
  return 0;
}

int InstanceJournal::commit_file(std::string_view path, std::span<const iovec> pieces) {
  Pending pending(RecordKind::file, path, pieces);
  return commit(pending);
}

void InstanceJournal::file_placed() {
  std::lock_guard lock(mutex_);
  if (--files_unplaced_ == 0) placed_.notify_all();
}

int InstanceJournal::supersede(std::string_view path) {
  {
    std::lock_guard lock(mutex_);
    if (!journaled_paths_.contains(std::string(path))) return 0;
  }
  Pending pending(RecordKind::superseded, path, {});
  return commit(pending);
}

int InstanceJournal::commit(Pending& pending) {
  std::unique_lock lock(mutex_);
  queue_.push_back(&pending);
  while (!pending.done) {
    if (leading_) {
      pending.woken.wait(lock);
      continue;
    }
    leading_ = true;
    lead(lock);
    leading_ = false;
    // Only whoever must act wakes: the stores written (in lead), and the oldest still waiting, to
    // write the next batch. Waking every waiter costs a context switch each for nothing.
    if (!queue_.empty()) queue_.front()->woken.notify_one();
    lead_free_.notify_all();
  }
  return pending.error;
}

// Writes and syncs as many queued records as fit, starting the journal over first when even the
// oldest does not; called with the lock held, which it gives up while writing.
void InstanceJournal::lead(std::unique_lock<std::mutex>& lock) {
  const bool starting_over = !fits(queue_.front()->record_bytes(), end_);
  if (starting_over) {
    // Every journaled file must be in place before one syncfs can stand for the records.
    placed_.wait(lock, [&] { return files_unplaced_ == 0; });
  }
  std::uint64_t end = starting_over ? kHeaderBytes : end_;
  std::vector<Pending*> batch;
  while (!queue_.empty() && (batch.empty() || fits(queue_.front()->record_bytes(), end))) {
    end += queue_.front()->record_bytes();
    batch.push_back(queue_.front());
    queue_.erase(queue_.begin());
  }
  lock.unlock();
  int error = broken_ ? EIO : 0;
  bool started_over = false;
  if (error == 0 && starting_over) {
    error = checkpoint();
    started_over = error == 0;
  }
  if (error == 0) error = write_batch(batch, end);
  lock.lock();
  if (started_over) journaled_paths_.clear();
  for (Pending* pending : batch) {
    pending->error = error;
    pending->done = true;
    pending->woken.notify_one();
    if (error != 0) continue;
    journaled_paths_.insert(pending->path);
    if (pending->kind == RecordKind::file) ++files_unplaced_;
  }
}

bool InstanceJournal::fits(std::uint64_t bytes, std::uint64_t end) const noexcept {
  return end <= capacity_ && bytes <= capacity_ - end;
}

int InstanceJournal::write_batch(std::vector<Pending*>& batch, std::uint64_t end) {
  if (const int error = make_room(end); error != 0) return error;
  std::vector<iovec> pieces;
  std::uint64_t offset = end_;
  for (Pending* pending : batch) {
    pending->seal(generation_, offset);
    pending->add_pieces(pieces);
    offset += pending->record_bytes();
  }
  int error = write_pieces_at(fd_, pieces, static_cast<off_t>(end_));
  if (error == 0 && ::fdatasync(fd_) != 0) error = errno;
  if (error != 0) {
    // Records that reached the file whole must not be found after a crash: their stores failed.
    static const std::string zeros(kRecordHeaderBytes, '\0');
    std::array<iovec, 1> piece{iovec{const_cast<char*>(zeros.data()), zeros.size()}};
    if (write_pieces_at(fd_, piece, static_cast<off_t>(end_)) != 0 || ::fdatasync(fd_) != 0) broken_ = true;
    return error;
  }
  end_ = end;
  return 0;
}

}  // namespace zanthe::dicom_net

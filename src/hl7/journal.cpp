#include "hl7/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace zanthe::hl7 {

namespace {

constexpr std::string_view kMagic = "ZHJ1";
constexpr std::size_t kRecordHeaderBytes = 12;  // magic, payload length, CRC-32
// No record is this large (messages are limited far below it); a length beyond it is damage.
constexpr std::uint32_t kMaxPayloadBytes = 1U << 30;
constexpr std::uint8_t kDuplicateFlag = 1;
constexpr std::uint8_t kTruncatedFlag = 2;
constexpr std::size_t kZeroWriteBytes = 1 << 20;
constexpr std::uint64_t kAllocationStep = 8 << 20;

template <class Integer>
void append_le(std::string& out, Integer value) {
  auto bits = static_cast<std::make_unsigned_t<Integer>>(value);
  for (std::size_t i = 0; i < sizeof(Integer); ++i) {
    out.push_back(static_cast<char>(bits & 0xFF));
    bits = static_cast<decltype(bits)>(bits >> 8);
  }
}

void append_text(std::string& out, std::string_view text) {
  append_le(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
}

[[nodiscard]] std::uint32_t checksum(std::string_view bytes) noexcept {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes lengths as uInt; feed very long payloads in pieces.
  constexpr std::size_t kChunk = 1U << 30;
  for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
    const std::size_t length = std::min(kChunk, bytes.size() - at);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data() + at), static_cast<uInt>(length));
  }
  return static_cast<std::uint32_t>(crc);
}

// Reads little-endian fields from a payload; any read past its end marks it bad.
class PayloadReader {
 public:
  explicit PayloadReader(std::string_view payload) noexcept : rest_(payload) {}

  template <class Integer>
  Integer integer() noexcept {
    if (rest_.size() < sizeof(Integer)) {
      bad_ = true;
      return 0;
    }
    std::make_unsigned_t<Integer> bits = 0;
    for (std::size_t i = 0; i < sizeof(Integer); ++i) {
      bits |= static_cast<decltype(bits)>(static_cast<decltype(bits)>(static_cast<unsigned char>(rest_[i])) << (8 * i));
    }
    rest_.remove_prefix(sizeof(Integer));
    return static_cast<Integer>(bits);
  }

  std::string_view text() noexcept {
    const auto length = integer<std::uint32_t>();
    if (bad_ || rest_.size() < length) {
      bad_ = true;
      return {};
    }
    const std::string_view text = rest_.substr(0, length);
    rest_.remove_prefix(length);
    return text;
  }

  [[nodiscard]] bool whole() const noexcept { return !bad_ && rest_.empty(); }

 private:
  std::string_view rest_;
  bool bad_ = false;
};

[[nodiscard]] bool decode_payload(std::string_view payload, JournalEntry& entry) noexcept {
  PayloadReader reader(payload);
  entry.received_us = reader.integer<std::int64_t>();
  const auto ack = reader.integer<std::uint8_t>();
  const auto flags = reader.integer<std::uint8_t>();
  entry.size = reader.integer<std::uint64_t>();
  entry.peer = reader.text();
  entry.sender = reader.text();
  entry.control_id = reader.text();
  entry.ack_text = reader.text();
  entry.message = reader.text();
  if (ack > static_cast<std::uint8_t>(AckCode::reject)) return false;
  entry.ack = static_cast<AckCode>(ack);
  entry.duplicate = (flags & kDuplicateFlag) != 0;
  entry.truncated = (flags & kTruncatedFlag) != 0;
  return reader.whole();
}

// Reads exactly size bytes at offset: true when all arrived, false when the file ends first.
[[nodiscard]] Result<bool> read_exactly(int fd, std::uint64_t offset, char* into, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, into + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno_failure("cannot read the journal");
    }
    if (got == 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

[[nodiscard]] std::uint32_t le32(const char* bytes) noexcept {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  return value;
}

[[nodiscard]] Status sync_directory(const std::string& directory) {
  constexpr std::string_view kStep = "cannot sync the store folder";
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno_failure(kStep);
  Status result = fsync(fd) == 0 ? Status{} : errno_failure(kStep);
  ::close(fd);
  return result;
}

}  // namespace

void append_record(std::string& out, const JournalEntry& entry) {
  const std::size_t start = out.size();
  out.append(kMagic);
  append_le(out, std::uint32_t{0});  // payload length, set below
  append_le(out, std::uint32_t{0});  // checksum, set below
  const std::size_t payload_start = out.size();
  append_le(out, entry.received_us);
  append_le(out, static_cast<std::uint8_t>(entry.ack));
  append_le(out, static_cast<std::uint8_t>((entry.duplicate ? kDuplicateFlag : 0) |
                                           (entry.truncated ? kTruncatedFlag : 0)));
  append_le(out, entry.size);
  for (const std::string_view text : {entry.peer, entry.sender, entry.control_id, entry.ack_text, entry.message}) {
    append_text(out, text);
  }
  const std::string_view payload = std::string_view(out).substr(payload_start);
  std::string length_and_checksum;
  append_le(length_and_checksum, static_cast<std::uint32_t>(payload.size()));
  append_le(length_and_checksum, checksum(payload));
  out.replace(start + kMagic.size(), length_and_checksum.size(), length_and_checksum);
}

bool JournalCursor::stop(Status why) {
  status_ = std::move(why);
  return false;
}

bool JournalCursor::torn() {
  return stop(failure(ErrorCode::torn_record, "the journal ends in a torn record", offset_));
}

bool JournalCursor::read_record_bytes(std::uint64_t at, char* into, std::size_t size) {
  const Result<bool> read = read_exactly(fd_, at, into, size);
  if (!read.ok()) return stop(read.status());
  return read.value() || torn();
}

bool JournalCursor::next(JournalEntry& entry) {
  status_ = Status{};
  std::array<char, kRecordHeaderBytes> header{};
  const Result<bool> started = read_exactly(fd_, offset_, header.data(), 1);
  if (!started.ok()) return stop(started.status());
  if (!started.value()) return false;  // the file ends between records
  if (!read_record_bytes(offset_ + 1, header.data() + 1, kRecordHeaderBytes - 1)) return false;
  // Space made ahead of the records is zero: the end of the journal, not damage.
  if (std::all_of(header.begin(), header.end(), [](char byte) { return byte == 0; })) return false;
  const std::uint32_t length = le32(header.data() + 4);
  if (std::string_view(header.data(), 4) != kMagic || length > kMaxPayloadBytes) return torn();
  payload_.resize(length);
  if (!read_record_bytes(offset_ + kRecordHeaderBytes, payload_.data(), length)) return false;
  if (checksum(payload_) != le32(header.data() + 8) || !decode_payload(payload_, entry)) return torn();
  offset_ += kRecordHeaderBytes + length;
  return true;
}

Result<int> open_journal_for_reading(const std::string& directory) {
  const std::string path = directory + "/" + std::string(kJournalFileName);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno_failure("cannot open " + path);
  return fd;
}

JournalFile::~JournalFile() { close(); }

void JournalFile::close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  broken_ = true;
}

Status JournalFile::open(const std::string& directory, const std::function<void(const JournalEntry&)>& on_record) {
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) return errno_failure("cannot create the store folder");
  const std::string path = directory + "/" + std::string(kJournalFileName);
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return errno_failure("cannot open the journal");
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    return errno_failure(errno == EWOULDBLOCK ? "the journal is in use by another listener" : "cannot lock the journal");
  }
  JournalCursor cursor(fd_);
  JournalEntry entry;
  while (cursor.next(entry)) on_record(entry);
  const bool torn = cursor.status().code == ErrorCode::torn_record;
  if (!cursor.status().ok() && !torn) return cursor.status();
  struct stat info {};
  if (fstat(fd_, &info) != 0) return errno_failure("cannot read the journal");
  size_ = cursor.offset();
  cut_bytes_ = torn ? static_cast<std::uint64_t>(info.st_size) - size_ : 0;
  // Space made ahead by the last run goes too: records written next must be followed by zeros only.
  allocated_ = size_;
  if (static_cast<std::uint64_t>(info.st_size) != size_ &&
      (ftruncate(fd_, static_cast<off_t>(size_)) != 0 || fsync(fd_) != 0)) {
    return errno_failure("cannot cut the torn end of the journal");
  }
  return sync_directory(directory);
}

// Writes zeros ahead of the records and syncs them with the file's new size. A record written over
// them later changes only data blocks, so its fdatasync need not commit the file system's journal
// too: that halves the cost of each sync.
Status JournalFile::make_room(std::size_t bytes) {
  if (size_ + bytes <= allocated_) return {};
  static const std::string zeros(kZeroWriteBytes, '\0');
  const std::uint64_t target = size_ + bytes + kAllocationStep;
  std::uint64_t end = allocated_;
  while (end < target) {
    if (Status written = write_at(zeros, end); !written.ok()) return written;
    end += zeros.size();
  }
  if (fsync(fd_) != 0) return errno_failure("cannot sync the journal");
  allocated_ = end;
  return {};
}

Status JournalFile::write_at(std::string_view bytes, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return errno_failure("cannot write the journal");
    }
    done += static_cast<std::size_t>(wrote);
  }
  return {};
}

Status JournalFile::append(std::string_view records, bool sync) {
  if (broken_) return system_failure("the journal takes no more writes", EIO);
  Status result = make_room(records.size());
  if (result.ok()) result = write_at(records, size_);
  if (result.ok() && sync && fdatasync(fd_) != 0) result = errno_failure("cannot sync the journal");
  if (!result.ok()) {
    // Whatever part reached the file is cut off again: the next records must follow whole ones,
    // or the next start would cut them away with the torn one.
    if (ftruncate(fd_, static_cast<off_t>(size_)) != 0) broken_ = true;
    allocated_ = size_;
    return result;
  }
  size_ += records.size();
  return {};
}

}  // namespace zanthe::hl7

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

// Reads exactly size bytes at offset: true when all arrived; false at the end of the file or on
// an error (errno_out set).
[[nodiscard]] bool read_exactly(int fd, std::uint64_t offset, char* into, std::size_t size, int& errno_out) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, into + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      errno_out = errno;
      return false;
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

[[nodiscard]] int sync_directory(const std::string& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int result = fsync(fd) == 0 ? 0 : errno;
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

RecordStatus JournalCursor::next(JournalEntry& entry) {
  std::array<char, kRecordHeaderBytes> header{};
  error_ = 0;
  int read_error = 0;
  if (!read_exactly(fd_, offset_, header.data(), 1, read_error)) {
    error_ = read_error;
    return read_error == 0 ? RecordStatus::end : RecordStatus::torn;
  }
  if (!read_exactly(fd_, offset_ + 1, header.data() + 1, kRecordHeaderBytes - 1, read_error)) {
    error_ = read_error;
    return RecordStatus::torn;
  }
  // Space made ahead of the records is zero: the end of the journal, not damage.
  if (std::all_of(header.begin(), header.end(), [](char byte) { return byte == 0; })) return RecordStatus::end;
  const std::uint32_t length = le32(header.data() + 4);
  if (std::string_view(header.data(), 4) != kMagic || length > kMaxPayloadBytes) return RecordStatus::torn;
  payload_.resize(length);
  if (!read_exactly(fd_, offset_ + kRecordHeaderBytes, payload_.data(), length, read_error)) {
    error_ = read_error;
    return RecordStatus::torn;
  }
  if (checksum(payload_) != le32(header.data() + 8) || !decode_payload(payload_, entry)) return RecordStatus::torn;
  offset_ += kRecordHeaderBytes + length;
  return RecordStatus::ok;
}

JournalFile::~JournalFile() { close(); }

void JournalFile::close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  broken_ = true;
}

int JournalFile::open(const std::string& directory, const std::function<void(const JournalEntry&)>& on_record,
                      std::string& problem) {
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    problem = "cannot create the store folder";
    return errno;
  }
  const std::string path = directory + "/" + std::string(kJournalFileName);
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    problem = "cannot open the journal";
    return errno;
  }
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    problem = errno == EWOULDBLOCK ? "the journal is in use by another listener" : "cannot lock the journal";
    return errno;
  }
  JournalCursor cursor(fd_);
  JournalEntry entry;
  RecordStatus status;
  while ((status = cursor.next(entry)) == RecordStatus::ok) on_record(entry);
  if (cursor.error() != 0) {
    problem = "cannot read the journal";
    return cursor.error();
  }
  struct stat info {};
  if (fstat(fd_, &info) != 0) {
    problem = "cannot read the journal";
    return errno;
  }
  size_ = cursor.offset();
  cut_bytes_ = status == RecordStatus::torn ? static_cast<std::uint64_t>(info.st_size) - size_ : 0;
  // Space made ahead by the last run goes too: records written next must be followed by zeros only.
  allocated_ = size_;
  if (static_cast<std::uint64_t>(info.st_size) != size_ &&
      (ftruncate(fd_, static_cast<off_t>(size_)) != 0 || fsync(fd_) != 0)) {
    problem = "cannot cut the torn end of the journal";
    return errno;
  }
  if (const int error = sync_directory(directory); error != 0) {
    problem = "cannot sync the store folder";
    return error;
  }
  return 0;
}

// Writes zeros ahead of the records and syncs them with the file's new size. A record written over
// them later changes only data blocks, so its fdatasync need not commit the file system's journal
// too: that halves the cost of each sync.
int JournalFile::make_room(std::size_t bytes) {
  if (size_ + bytes <= allocated_) return 0;
  static const std::string zeros(kZeroWriteBytes, '\0');
  const std::uint64_t target = size_ + bytes + kAllocationStep;
  std::uint64_t end = allocated_;
  while (end < target) {
    if (const int error = write_at(zeros, end); error != 0) return error;
    end += zeros.size();
  }
  if (fsync(fd_) != 0) return errno;
  allocated_ = end;
  return 0;
}

int JournalFile::write_at(std::string_view bytes, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return 0;
}

int JournalFile::append(std::string_view records, bool sync) {
  if (broken_) return EIO;
  int error = make_room(records.size());
  if (error == 0) error = write_at(records, size_);
  if (error == 0 && sync && fdatasync(fd_) != 0) error = errno;
  if (error != 0) {
    // Whatever part reached the file is cut off again: the next records must follow whole ones,
    // or the next start would cut them away with the torn one.
    if (ftruncate(fd_, static_cast<off_t>(size_)) != 0) broken_ = true;
    allocated_ = size_;
    return error;
  }
  size_ += records.size();
  return 0;
}

}  // namespace zanthe::hl7

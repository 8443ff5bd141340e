// The listener's journal: an append-only file of received messages, each record checksummed so a
// record torn by a crash is recognised and cut off when the journal is next opened.
//
// The file is grown ahead of the records, with zeros; a record header of zeros marks the end.
// Record: "ZHJ1", payload length (u32 LE), CRC-32 of the payload (u32 LE), payload. Payload: the
// receive time in microseconds since the epoch (i64), the acknowledgment code (u8), flags (u8),
// the message's full size (u64), then five texts, each a u32 length and its bytes: peer, sender,
// control ID, acknowledgment text, message. All integers little endian.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "hl7/acknowledgment.h"
#include "hl7/status.h"

namespace zanthe::hl7 {

inline constexpr std::string_view kJournalFileName = "messages.journal";

struct JournalEntry {
  std::int64_t received_us = 0;
  AckCode ack = AckCode::accept;
  bool duplicate = false;
  bool truncated = false;     // only the first bytes of an oversize message are kept
  std::uint64_t size = 0;     // the message's real size
  std::string_view peer;      // "address:port" of the connection
  std::string_view sender;    // MSH-3 and MSH-4, joined by the field separator
  std::string_view control_id;
  std::string_view ack_text;
  std::string_view message;
};

// Appends the encoded record of entry to out.
void append_record(std::string& out, const JournalEntry& entry);

// Reads records one after another from a journal file descriptor.
class JournalCursor {
 public:
  explicit JournalCursor(int fd) noexcept : fd_(fd) {}
  // Reads the next record into entry (views valid until the next call); false when there is none,
  // and status() then says why: ok at the journal's end, torn_record when the rest of the file is
  // not a whole, valid record, system_error when reading failed.
  [[nodiscard]] bool next(JournalEntry& entry);
  [[nodiscard]] const Status& status() const noexcept { return status_; }
  // The end of the last whole record read.
  [[nodiscard]] std::uint64_t offset() const noexcept { return offset_; }

 private:
  [[nodiscard]] bool stop(Status why);
  [[nodiscard]] bool torn();
  // Reads bytes a record must hold; false, with the status set, when the read fails or the file
  // ends first.
  [[nodiscard]] bool read_record_bytes(std::uint64_t at, char* into, std::size_t size);

  int fd_;
  std::uint64_t offset_ = 0;
  Status status_;
  std::string payload_;
};

// The journal in `directory` opened for reading alone, without the lock: a listener may be
// appending to it. The caller closes the descriptor.
[[nodiscard]] Result<int> open_journal_for_reading(const std::string& directory);

// The journal a listener appends to. Opening locks it against a second listener, checks every
// record and cuts a torn tail, reporting each whole record to on_record.
class JournalFile {
 public:
  JournalFile() = default;
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;
  ~JournalFile();

  // A system_error names the step that failed; EWOULDBLOCK: another process holds the journal.
  [[nodiscard]] Status open(const std::string& directory, const std::function<void(const JournalEntry&)>& on_record);
  // Writes the records whole and, with sync, makes them durable. On failure the file is cut back
  // to its size before the call, so a partly written record never stays. If even that cut fails,
  // every later append fails too.
  [[nodiscard]] Status append(std::string_view records, bool sync);
  // Closes the file, releasing its lock; later appends fail.
  void close() noexcept;
  [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
  [[nodiscard]] std::uint64_t cut_bytes() const noexcept { return cut_bytes_; }

 private:
  [[nodiscard]] Status make_room(std::size_t bytes);
  [[nodiscard]] Status write_at(std::string_view bytes, std::uint64_t offset);

  int fd_ = -1;
  std::uint64_t size_ = 0;       // end of the last whole record
  std::uint64_t allocated_ = 0;  // the file's size: zeros from size_ on
  std::uint64_t cut_bytes_ = 0;
  bool broken_ = false;  // a failed append could not be cut back; nothing more may follow it
};

}  // namespace zanthe::hl7

// The instance store's write-ahead journal: how a stored instance becomes durable with one shared
// sync instead of two syncs of its own.
//
// An instance's file bytes are appended to one journal file, and the appends of every association
// storing at the same moment are made durable by one fdatasync (the first store to arrive writes and
// syncs the batch; the others wait for it). Only then is the instance's file renamed into place,
// unsynced, and the C-STORE confirmed. When the journal is full, a checkpoint syncs the whole file
// system once (syncfs), so every file renamed so far is durable, and the journal starts over.
// Opening the journal after a crash writes every file its records hold that is missing or differs
// from the record, so a confirmed instance is never lost with the page cache.
//
// The file, `.instances.journal` in the store's root, is grown ahead of the records with zeros, so
// an append changes data blocks only and its fdatasync need not commit the file system's own journal.
// Its first 4 KiB hold two header slots (a torn write of one leaves the other), each "ZDJH", the
// format version (u32) and a generation (u64), then a CRC-32 of those 16 bytes; the valid slot with
// the higher generation counts. Records follow from 4 KiB on: "ZDJ1", the payload's length (u32),
// the payload's CRC-32 (u32), then the payload: the kind (u8), the file's path under the root (u16
// length, bytes), for an instance record the file's bytes, and last the generation (u64) and the
// record's own offset in the journal (u64). A zero or damaged header, a bad checksum, or a record of
// another generation or offset ends the journal, so the records of earlier generations that lie
// beyond the last one written are never read as new. Starting over is writing the next generation
// into the other slot. All integers are little endian.
#pragma once

#include <sys/uio.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "dicom_net/net_status.h"

namespace zanthe::dicom_net {

inline constexpr std::string_view kJournalFileName = ".instances.journal";
// Larger files are synced on their own: journaling them would write them twice for nothing.
inline constexpr std::size_t kLargestJournaledFile = std::size_t{4} << 20;
// The smallest journal that holds the largest record after its header.
inline constexpr std::uint64_t kLeastJournalBytes = std::uint64_t{8} << 20;

struct JournalRecovery {
  std::size_t records = 0;        // whole records of the last generation found
  std::size_t files_written = 0;  // files that were missing or differed, written from the journal
  std::size_t damaged = 0;        // records whose path names no place in the store; left alone
};

class InstanceJournal {
 public:
  // `capacity`: the journal's largest size before a checkpoint starts it over (kLeastJournalBytes
  // at least).
  explicit InstanceJournal(std::string root, std::uint64_t capacity = std::uint64_t{64} << 20);
  ~InstanceJournal();  // checkpoints what is journaled, so the next start has nothing to replay
  InstanceJournal(const InstanceJournal&) = delete;
  InstanceJournal& operator=(const InstanceJournal&) = delete;

  // Locks the journal against a second server on the same store, writes back what the last run
  // journaled but may not have made durable, and starts a new generation.
  [[nodiscard]] NetStatus open(JournalRecovery& recovery);

  // Makes the file bytes `pieces` of the instance at `path` (relative to the root) durable in the
  // journal; 0 or errno. After 0 the caller must call file_placed() once its file is renamed into
  // place (or given up), before which no checkpoint can start.
  [[nodiscard]] int commit_file(std::string_view path, std::span<const iovec> pieces);
  void file_placed();

  // For a file at `path` made durable some other way (synced on its own, or withdrawn): earlier
  // records of that path must not be written back over it. Journals that only when one is pending.
  [[nodiscard]] int supersede(std::string_view path);

 private:
  struct Pending;
  [[nodiscard]] int commit(Pending& pending);
  void lead(std::unique_lock<std::mutex>& lock);
  [[nodiscard]] bool fits(std::uint64_t bytes, std::uint64_t end) const noexcept;
  [[nodiscard]] int write_batch(std::vector<Pending*>& batch, std::uint64_t end);
  [[nodiscard]] int checkpoint();
  [[nodiscard]] int make_room(std::uint64_t end);
  [[nodiscard]] int write_header(std::uint64_t generation);
  [[nodiscard]] NetStatus replay(JournalRecovery& recovery);

  std::string root_;
  std::string path_;
  std::uint64_t capacity_;
  int fd_ = -1;
  int root_fd_ = -1;  // syncfs needs a descriptor on the store's file system
  std::uint64_t generation_ = 0;
  std::uint64_t end_ = 0;        // where the next record goes
  std::uint64_t allocated_ = 0;  // the file's size
  bool broken_ = false;          // a failed write could not be undone; nothing may follow it

  std::mutex mutex_;
  std::condition_variable lead_free_;  // for the destructor: no batch is being written
  std::condition_variable placed_;     // the last journaled file is in place, for a checkpoint
  std::vector<Pending*> queue_;
  bool leading_ = false;
  std::size_t files_unplaced_ = 0;
  std::unordered_set<std::string> journaled_paths_;  // of this generation
};

}  // namespace zanthe::dicom_net

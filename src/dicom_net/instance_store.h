// Received instances to Part 10 files: <root>/<Study Instance UID>/<Series Instance UID>/<SOP
// Instance UID>.dcm, each durable before the store is reported successful: through the store's
// journal (instance_journal.h) for files up to 4 MiB, larger ones synced on their own (file data and
// every folder entry on the way). A second copy of an instance replaces the first in one rename, so
// readers see the old file or the new one, never a mix.
//
// Ownership: a ReceivedInstance views bytes the caller keeps until store_instance returns.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "dicom_net/instance_journal.h"
#include "dicom_net/net_status.h"
#include "dicom_net/study_index.h"

namespace zanthe::dicom_net {

struct ReceivedInstance {
  std::string_view sop_class;        // the command's Affected SOP Class UID
  std::string_view sop_instance;     // the command's Affected SOP Instance UID
  std::string_view transfer_syntax;  // the presentation context's
  std::string_view source_ae;        // the calling AE title, recorded in the file meta
  std::span<const std::uint8_t> dataset;
};

struct StoredInstance {
  std::string path;  // where the file now is
  std::string sop_class;
  std::string sop_instance;
  std::string study;
  std::string series;
  std::string transfer_syntax;
  std::uint64_t bytes = 0;  // of the file
};

// The C-STORE status to answer with, its error comment, and on success what was stored.
struct StoreOutcome {
  std::uint16_t status = 0;
  std::string error_comment;
  StoredInstance instance;
  InstanceAttributes attributes;  // what the study index keeps of it
};

// True for a UID of the standard's form: 1 to 64 characters, digits and dots, no empty component.
// Only such UIDs name files and folders, so no received value can lead outside the store.
[[nodiscard]] bool is_well_formed_uid(std::string_view uid) noexcept;

// The bytes of the Part 10 file for an instance: preamble, "DICM", the file meta group (SOP class and
// instance from the command, the transfer syntax, this implementation, the source AE), the dataset.
[[nodiscard]] std::string file_meta_bytes(const ReceivedInstance& instance);

class InstanceStore {
 public:
  // `sync` false: files are written and renamed into place but not synced (fast, not crash-safe),
  // and nothing is journaled. `journal_bytes`: how large the journal grows before it starts over.
  InstanceStore(std::string root, bool sync, std::uint64_t journal_bytes = std::uint64_t{64} << 20);
  ~InstanceStore();
  InstanceStore(const InstanceStore&) = delete;
  InstanceStore& operator=(const InstanceStore&) = delete;

  // Opens the journal: locks the store against a second server and writes back what a crash of a
  // durable run may have lost (also when this run does not sync). Call once, before store().
  [[nodiscard]] NetStatus open(JournalRecovery& recovery);

  [[nodiscard]] const std::string& root() const noexcept;

  // Checks the dataset against the command, writes it and syncs it. Safe from several threads.
  // Statuses: 0000 stored; A900 the dataset's SOP Class or Instance UID differs from the command's;
  // C000 a dataset that cannot be read or lacks well-formed Study, Series and SOP Instance UIDs;
  // A700 the file could not be written or synced (a full disk, say). On failure nothing is left.
  [[nodiscard]] StoreOutcome store(const ReceivedInstance& instance);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zanthe::dicom_net

// The storage SCP: accepts associations for Verification and every storage SOP class, answers
// C-ECHO, and answers C-STORE with 0000 only once the instance is a durable Part 10 file.
//
// One thread (the caller of run) does all network work with epoll: it reads PDUs, negotiates,
// reassembles each message from its PDVs and answers. Complete instances go to a pool of store
// threads, which write and sync them; an association waits for its store to end before its next
// message is read, so each association has at most one instance in flight (the default
// asynchronous operations window) while many associations sync at once.
//
// Every peer is bounded: the A-ASSOCIATE-RQ must arrive whole within the ARTIM timeout and under a
// size cap; a PDU begun must end within the PDU timeout; an association with nothing in flight is
// closed after the idle timeout; PDUs over the negotiated maximum abort; instances over the dataset
// cap are read to their end, dropped and refused; beyond the association cap new associations are
// rejected (transient, local limit exceeded).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dicom_net/instance_store.h"
#include "dicom_net/net_status.h"

namespace zanthe::dicom_net {

struct ServerOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 11112;  // 0 picks a free port
  std::string ae_title = "ZANTHE";
  std::string store;  // root folder of the stored files
  bool sync = true;   // false: files are not synced (faster, not crash-safe)
  std::uint64_t journal_bytes = std::uint64_t{64} << 20;  // the journal's size before it starts over
  std::vector<std::string> allowed_calling_aes;  // empty: any calling AE
  bool require_called_ae = false;                // true: the called AE must be ae_title
  std::chrono::milliseconds artim{30'000};
  std::chrono::milliseconds idle_timeout{60'000};
  std::chrono::milliseconds pdu_timeout{30'000};
  std::uint32_t max_request_bytes = 128 * 1024;  // an A-ASSOCIATE-RQ's body
  std::uint32_t max_pdu_length = 1 << 20;        // offered in the A-ASSOCIATE-AC, enforced on P-DATA-TF
  std::uint64_t max_dataset_bytes = std::uint64_t{2} << 30;
  std::size_t max_associations = 256;
  unsigned store_threads = 16;  // mostly waiting on syncs, which the file system groups when they overlap
};

// What opening the store found: the files indexed, and what the journal wrote back after a crash.
struct StoreOpening {
  std::size_t indexed = 0;
  std::size_t unreadable = 0;  // .dcm files the index could not read; left where they are
  JournalRecovery journal;
};

// One stored instance, with who sent it.
struct StoredEvent {
  StoredInstance instance;
  std::string calling_ae;
  std::string peer;  // "host:port"
};

// An association that ended: released, aborted or dropped, with the studies it stored into.
struct AssociationSummary {
  std::string calling_ae;
  std::string called_ae;
  std::string peer;
  std::vector<std::string> studies;  // Study Instance UIDs, each once, in the order first stored
  std::uint64_t stored = 0;
  bool released = false;
};

// Both run on a store thread, never on the network thread; a slow handler slows storing only.
using StoredHandler = std::function<void(const StoredEvent&)>;
using AssociationEndHandler = std::function<void(const AssociationSummary&)>;

class StorageServer {
 public:
  StorageServer();
  StorageServer(const StorageServer&) = delete;
  StorageServer& operator=(const StorageServer&) = delete;
  ~StorageServer();

  // Checks the store folder and starts listening. Handlers may be empty.
  [[nodiscard]] NetStatus open(const ServerOptions& options, StoredHandler on_stored, AssociationEndHandler on_end);
  [[nodiscard]] std::uint16_t port() const noexcept;
  [[nodiscard]] std::uint64_t stored_instances() const noexcept;
  [[nodiscard]] const StoreOpening& opening() const noexcept;

  // Serves until stop(); stores under way finish, then every connection is closed.
  void run();
  // Safe from any thread, also before run.
  void stop() noexcept;
  // Frees the port and drops the handlers (which may hold objects only their owner may free).
  // Not while run is under way.
  void close() noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zanthe::dicom_net

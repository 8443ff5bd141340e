// The MLLP listener: receives HL7 v2 messages on any number of connections and acknowledges each
// one only after it is stored durably in the journal.
//
// One thread (the caller of run) does all network work with epoll; a second thread writes the
// journal. Records of messages that arrive while a write and its fdatasync are under way are
// gathered and committed together, so many connections share each sync.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "hl7/acknowledgment.h"
#include "hl7/status.h"

namespace zanthe::hl7 {

struct ListenerOptions {
  std::string host = "127.0.0.1";
  bool listen = true;         // false: serves only adopted connections
  std::uint16_t port = 2575;  // 0 picks a free port
  std::string store;          // folder of the journal
  std::size_t max_message_bytes = std::size_t{32} << 20;
  std::chrono::milliseconds idle_timeout{60'000};
  bool sync = true;  // false: written to the journal but not synced (faster, not crash-safe)
};

// What a handler decides about a message; the text goes to MSA-3. The default accepts it.
struct Verdict {
  AckCode code = AckCode::accept;
  std::string text;
};

// Called on the listener's thread for each new, well-formed message before it is stored.
using MessageHandler = std::function<Verdict(std::string_view message, std::string_view peer)>;

class Listener {
 public:
  Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener();

  // Opens the journal (cutting a torn end) and starts listening; a system_error names the step
  // that failed.
  [[nodiscard]] Status open(const ListenerOptions& options, MessageHandler handler);
  [[nodiscard]] std::uint16_t port() const noexcept;
  [[nodiscard]] std::uint64_t cut_bytes() const noexcept;
  [[nodiscard]] std::uint64_t stored_messages() const noexcept;

  // Serves until stop(); then commits what was received and sends the acknowledgments it can.
  void run();
  // Safe from any thread, also before run.
  void stop() noexcept;
  // Frees the port and the journal (and its lock) and drops the handler. Not while run is under
  // way; run does it itself when it ends.
  void close() noexcept;
  // Serves a connected stream socket (for example one end of a socketpair behind a TLS relay)
  // through a duplicate of `fd`, so the caller keeps and closes its own. Safe from any thread.
  [[nodiscard]] Status adopt(int fd, std::string peer);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zanthe::hl7

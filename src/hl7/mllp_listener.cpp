#include "hl7/mllp_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "hl7/er7_parser.h"
#include "hl7/journal.h"
#include "hl7/mllp_framing.h"
#include "hl7/text_encoding.h"
#include "sockets/listening.h"

namespace zanthe::hl7 {

namespace {

using sockets::drain_eventfd;
using sockets::peer_name;
using sockets::signal_eventfd;

using Clock = std::chrono::steady_clock;

constexpr int kBacklog = 4096;
constexpr std::size_t kReadChunk = 64 * 1024;
// A connection that does not read its acknowledgments is not read from either, past these.
constexpr std::size_t kMaxQueuedAckBytes = 1 << 20;
constexpr std::size_t kMaxAwaitingPerConnection = 256;
constexpr int kMaxEvents = 256;
constexpr std::size_t kBufferBudgetMessages = 8;
constexpr std::size_t kMinBufferBudget = std::size_t{1} << 20;
// epoll data of the descriptors that are not connections; connection IDs start above them.
constexpr std::uint64_t kListenId = 1;
constexpr std::uint64_t kWakeId = 2;
constexpr std::uint64_t kCommitId = 3;
constexpr std::uint64_t kFirstConnectionId = 16;
// Bounds on how long a sync waits for more records to join it.
constexpr std::chrono::nanoseconds kMinGatherDelay = std::chrono::microseconds(20);
constexpr std::chrono::nanoseconds kMaxGatherDelay = std::chrono::microseconds(1000);

[[nodiscard]] std::int64_t now_microseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The ERR-3 condition for a message the parser refuses.
[[nodiscard]] std::string_view condition_for(ErrorCode refusal) noexcept {
  switch (refusal) {
    case ErrorCode::bad_delimiters: return condition::kDataTypeError;
    case ErrorCode::unsupported_version: return condition::kUnsupportedVersionId;
    default: return condition::kSegmentSequenceError;
  }
}

struct Outcome {
  AckCode code = AckCode::accept;
  std::string text;
  std::string_view error_code;
  bool duplicate = false;
  std::string new_key;  // the duplicate-detection key this message claims, if it is new
};

struct Connection {
  std::uint64_t id = 0;
  int fd = -1;
  std::string peer;
  FrameDecoder frames;
  std::string output;
  std::size_t output_sent = 0;
  std::size_t awaiting = 0;  // messages whose acknowledgment waits for the journal
  Clock::time_point last_activity = Clock::now();
  bool reading = true;
  bool writing = false;
  bool peer_closed = false;

  Connection(std::uint64_t id_, int fd_, std::string peer_, std::size_t max_message_bytes)
      : id(id_), fd(fd_), peer(std::move(peer_)), frames(max_message_bytes) {}
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] std::size_t queued() const noexcept { return output.size() - output_sent; }
  [[nodiscard]] bool wants_reading() const noexcept {
    return !peer_closed && queued() < kMaxQueuedAckBytes && awaiting < kMaxAwaitingPerConnection;
  }
  [[nodiscard]] bool finished() const noexcept { return peer_closed && awaiting == 0 && queued() == 0; }
};

// A message stored (or being stored) whose acknowledgment is held until the journal confirms it.
struct Awaiting {
  std::uint64_t sequence = 0;
  std::uint64_t connection = 0;
  std::string ack;          // framed
  std::string header_line;  // for the reject sent instead if storing fails
  std::string new_key;
};

struct CommitResult {
  std::uint64_t through_sequence = 0;
  Status stored;
};

}  // namespace

struct Listener::Impl {
  ListenerOptions options;
  MessageHandler handler;
  JournalFile journal;
  int listen_fd = -1;
  int epoll_fd = -1;
  int wake_fd = -1;
  int commit_fd = -1;
  std::uint16_t bound_port = 0;
  std::atomic<bool> stopping{false};
  std::atomic<std::uint64_t> stored{0};

  std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections;
  std::uint64_t next_connection_id = kFirstConnectionId;
  bool accepting = true;
  std::unordered_set<std::string> seen_keys;
  std::deque<Awaiting> awaiting;
  std::string batch;  // records of this loop turn, handed to the committer at its end
  std::size_t batch_messages = 0;
  std::size_t buffered_total = 0;  // bytes of partly received frames, all connections together
  std::uint64_t next_sequence = 0;
  std::array<char, kReadChunk> read_buffer{};

  // Shared with the committer thread.
  std::mutex mutex;
  std::condition_variable work;
  std::string pending;
  std::uint64_t pending_through = 0;
  std::size_t pending_messages = 0;
  std::deque<CommitResult> results;
  bool committer_stop = false;
  std::thread committer;

  std::mutex adopt_mutex;
  std::vector<std::pair<int, std::string>> adopted;

  ~Impl() {
    for (const int fd : {listen_fd, epoll_fd, wake_fd, commit_fd}) {
      if (fd >= 0) ::close(fd);
    }
    std::lock_guard lock(adopt_mutex);
    for (const auto& [fd, peer] : adopted) ::close(fd);
  }

  // --- setting up -------------------------------------------------------------------------

  Status open_socket() {
    const sockets::Listening listening = sockets::listen_tcp(options.host, options.port, kBacklog);
    // The resolver's own error numbers are no errno: the failure counts as a bad argument.
    if (!listening.resolve_failure.empty()) {
      return system_failure("cannot resolve " + options.host + ": " + listening.resolve_failure, EINVAL);
    }
    // The address as it was given, not as peers are named: it is the caller's to recognise.
    if (listening.fd < 0) {
      return system_failure("cannot listen on " + options.host + ":" + std::to_string(options.port), listening.error);
    }
    listen_fd = listening.fd;
    bound_port = listening.port;
    return {};
  }

  Status open_events() {
    constexpr std::string_view kStep = "cannot create the event loop";
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    commit_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_fd < 0 || wake_fd < 0 || commit_fd < 0) return errno_failure(kStep);
    for (const auto& [fd, id] : {std::pair{listen_fd, kListenId}, {wake_fd, kWakeId}, {commit_fd, kCommitId}}) {
      if (fd < 0) continue;  // no listening socket: adopted connections only
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = id;
      if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) return errno_failure(kStep);
    }
    return {};
  }

  // Messages accepted before a restart are still known, so a resend is recognised as one.
  void remember(const JournalEntry& entry) {
    if (entry.ack == AckCode::accept && !entry.duplicate && !entry.control_id.empty()) {
      seen_keys.insert(key_of(entry.sender, entry.control_id));
    }
    stored.fetch_add(1, std::memory_order_relaxed);
  }

  [[nodiscard]] static std::string key_of(std::string_view sender, std::string_view control_id) {
    std::string key(sender);
    key.push_back('\0');
    key.append(control_id);
    return key;
  }

  // --- judging one message -----------------------------------------------------------------

  [[nodiscard]] Outcome judge(const Frame& frame, std::string_view peer, const Result<MessageHeader>& header,
                              std::string_view sender) {
    Outcome outcome;
    const auto refuse = [&](AckCode code, std::string text, std::string_view error_code) {
      outcome.code = code;
      outcome.text = std::move(text);
      outcome.error_code = error_code;
      return outcome;
    };
    if (frame.shed) {
      return refuse(AckCode::reject,
                    "message of " + std::to_string(frame.size) +
                        " bytes refused: too many large messages were arriving at once; send it again",
                    condition::kApplicationInternalError);
    }
    if (frame.oversize) {
      return refuse(AckCode::reject,
                    "message of " + std::to_string(frame.size) + " bytes exceeds the limit of " +
                        std::to_string(options.max_message_bytes) + " bytes",
                    condition::kApplicationInternalError);
    }
    const ErrorCode header_code = header.status().code;
    if (header_code == ErrorCode::empty || header_code == ErrorCode::no_msh) {
      return refuse(AckCode::reject, "not an HL7 v2 message (no MSH header)", condition::kSegmentSequenceError);
    }
    // A header too broken to name a character set is read as UTF-8; the parse below refuses it.
    const std::string_view character_set = header.ok() ? header.value().character_set : std::string_view{};
    if (Status text = check_text(frame.message, character_set); !text.ok()) {
      return refuse(AckCode::error, std::move(text.detail), condition::kDataTypeError);
    }
    const ParseResult parsed = parse_message(std::string(frame.message));
    if (!parsed.ok()) return refuse(AckCode::error, parsed.status().detail, condition_for(parsed.status().code));
    // Without a control ID there is nothing to recognise a resend by: every such message is new.
    const std::string_view control_id = header.value().control_id;
    std::string key = control_id.empty() ? std::string() : key_of(sender, control_id);
    if (!key.empty() && seen_keys.contains(key)) {
      outcome.duplicate = true;
      return outcome;
    }
    if (handler) {
      Verdict verdict = handler(frame.message, peer);
      outcome.code = verdict.code;
      outcome.text = std::move(verdict.text);
      if (outcome.code != AckCode::accept) outcome.error_code = condition::kApplicationInternalError;
    }
    if (outcome.code == AckCode::accept && !key.empty()) {
      seen_keys.insert(key);
      outcome.new_key = std::move(key);
    }
    return outcome;
  }

  void on_frame(Connection& connection, const Frame& frame) {
    const Result<MessageHeader> header = read_header(frame.message);
    std::string sender;
    if (header.ok()) {
      sender.append(header.value().sending_application);
      sender.push_back(header.value().delimiters.field);
      sender.append(header.value().sending_facility);
    }
    Outcome outcome = judge(frame, connection.peer, header, sender);

    JournalEntry entry;
    entry.received_us = now_microseconds();
    entry.ack = outcome.code;
    entry.duplicate = outcome.duplicate;
    entry.truncated = frame.oversize || frame.shed;
    entry.size = frame.size;
    entry.peer = connection.peer;
    entry.sender = sender;
    entry.control_id = header.ok() ? header.value().control_id : std::string_view{};
    entry.ack_text = outcome.text;
    entry.message = frame.message;
    append_record(batch, entry);

    Awaiting held;
    held.sequence = ++next_sequence;
    held.connection = connection.id;
    // All an acknowledgment mirrors; without a readable header it mirrors nothing.
    if (header.ok()) held.header_line = header.value().line;
    held.ack = framed_ack(held.header_line, outcome.code, outcome.text, outcome.error_code);
    held.new_key = std::move(outcome.new_key);
    awaiting.push_back(std::move(held));
    ++connection.awaiting;
    ++batch_messages;
  }

  [[nodiscard]] static std::string framed_ack(std::string_view message, AckCode code, std::string_view text,
                                              std::string_view error_code) {
    AckRequest request;
    request.message = message;
    request.code = code;
    request.text = text;
    request.error_code = error_code;
    const std::string control_id = fresh_control_id();
    const std::string timestamp = current_timestamp();
    request.control_id = control_id;
    request.timestamp = timestamp;
    std::string framed;
    append_frame(framed, build_ack(request));
    return framed;
  }

  // --- committing ----------------------------------------------------------------------------

  void hand_batch_to_committer() {
    if (batch.empty()) return;
    if (!options.sync) return write_unsynced();
    {
      std::lock_guard lock(mutex);
      if (pending.empty()) {
        pending.swap(batch);
      } else {
        pending.append(batch);
      }
      pending_through = next_sequence;
      pending_messages += batch_messages;
    }
    batch.clear();
    batch_messages = 0;
    work.notify_one();
  }

  // Without syncing, a write costs little: done here, it spares two thread hand-offs per turn.
  void write_unsynced() {
    Status stored = journal.append(batch, false);
    batch.clear();
    batch_messages = 0;
    release_through(CommitResult{next_sequence, std::move(stored)});
  }

  // Senders that wait for each acknowledgment answer it with their next message: the previous
  // sync's messages are expected back. Waiting for them, briefly (at most half the last sync's
  // duration), lets one sync cover them all rather than one sync each.
  void gather(std::unique_lock<std::mutex>& lock, std::size_t expected, std::chrono::nanoseconds last_sync) {
    const auto delay = std::clamp<std::chrono::nanoseconds>(last_sync / 2, kMinGatherDelay, kMaxGatherDelay);
    const auto deadline = Clock::now() + delay;
    work.wait_until(lock, deadline, [&] { return pending_messages >= expected || committer_stop; });
  }

  void commit_loop() {
    std::string writing;
    std::chrono::nanoseconds last_sync{0};
    std::size_t last_count = 0;
    for (;;) {
      std::uint64_t through = 0;
      {
        std::unique_lock lock(mutex);
        work.wait(lock, [&] { return !pending.empty() || committer_stop; });
        if (pending.empty()) return;
        if (pending_messages < last_count) gather(lock, last_count, last_sync);
        writing.swap(pending);
        through = pending_through;
        last_count = pending_messages;
        pending_messages = 0;
      }
      const auto started = Clock::now();
      Status stored = journal.append(writing, true);
      last_sync = Clock::now() - started;
      writing.clear();
      {
        std::lock_guard lock(mutex);
        results.push_back(CommitResult{through, std::move(stored)});
      }
      signal_eventfd(commit_fd);
    }
  }

  void release_committed() {
    drain_eventfd(commit_fd);
    std::deque<CommitResult> done;
    {
      std::lock_guard lock(mutex);
      done.swap(results);
    }
    for (const CommitResult& result : done) release_through(result);
  }

  void release_through(const CommitResult& result) {
    while (!awaiting.empty() && awaiting.front().sequence <= result.through_sequence) {
      release(awaiting.front(), result.stored);
      awaiting.pop_front();
    }
  }

  void release(Awaiting& held, const Status& stored_status) {
    if (stored_status.ok()) {
      stored.fetch_add(1, std::memory_order_relaxed);
    } else {
      // Not stored, so not acknowledged as taken: the sender keeps the message and may resend it.
      if (!held.new_key.empty()) seen_keys.erase(held.new_key);
      held.ack = framed_ack(held.header_line, AckCode::reject,
                            "message not stored: " + std::string(std::strerror(stored_status.os_error)),
                            condition::kApplicationInternalError);
    }
    const auto found = connections.find(held.connection);
    if (found == connections.end()) return;
    Connection& connection = *found->second;
    --connection.awaiting;
    connection.output.append(held.ack);
    flush(connection);
  }

  // --- connections ---------------------------------------------------------------------------

  void watch(Connection& connection, int operation) {
    epoll_event event{};
    event.events = (connection.reading ? EPOLLIN : 0u) | (connection.writing ? EPOLLOUT : 0u);
    event.data.u64 = connection.id;
    epoll_ctl(epoll_fd, operation, connection.fd, &event);
  }

  void add_connection(int fd, std::string peer) {
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);  // fails harmlessly on a socketpair
    const std::uint64_t id = next_connection_id++;
    auto connection = std::make_unique<Connection>(id, fd, std::move(peer), options.max_message_bytes);
    watch(*connection, EPOLL_CTL_ADD);
    connections.emplace(id, std::move(connection));
  }

  void close_connection(std::uint64_t id) {
    const auto found = connections.find(id);
    if (found == connections.end()) return;
    buffered_total -= found->second->frames.buffered();
    connections.erase(found);  // closing the descriptor also removes it from epoll
    if (!accepting && listen_fd >= 0) {
      accepting = true;
      watch_listener(EPOLL_CTL_ADD);
    }
  }

  void watch_listener(int operation) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenId;
    epoll_ctl(epoll_fd, operation, listen_fd, &event);
  }

  void accept_connections() {
    for (;;) {
      sockaddr_storage address{};
      socklen_t length = sizeof address;
      const int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // Out of descriptors: leave the rest in the backlog until a connection closes.
          accepting = false;
          epoll_ctl(epoll_fd, EPOLL_CTL_DEL, listen_fd, nullptr);
        }
        return;
      }
      add_connection(fd, peer_name(address, length));
    }
  }

  void adopt_waiting() {
    std::vector<std::pair<int, std::string>> taken;
    {
      std::lock_guard lock(adopt_mutex);
      taken.swap(adopted);
    }
    for (auto& [fd, peer] : taken) add_connection(fd, std::move(peer));
  }

  // Sends what is queued; keeps EPOLLOUT while some remains and reading paused while too much does.
  void flush(Connection& connection) {
    while (connection.queued() > 0) {
      const ssize_t sent = send(connection.fd, connection.output.data() + connection.output_sent, connection.queued(),
                                MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        close_connection(connection.id);  // the peer is gone; what it did not receive it will resend
        return;
      }
      connection.output_sent += static_cast<std::size_t>(sent);
    }
    if (connection.queued() == 0) {
      connection.output.clear();
      connection.output_sent = 0;
    }
    update_interest(connection);
  }

  // Returns false when the connection was closed.
  bool update_interest(Connection& connection) {
    if (connection.finished()) {
      close_connection(connection.id);
      return false;
    }
    const bool reading = connection.wants_reading();
    const bool writing = connection.queued() > 0;
    if (reading != connection.reading || writing != connection.writing) {
      connection.reading = reading;
      connection.writing = writing;
      watch(connection, EPOLL_CTL_MOD);
    }
    return true;
  }

  void read_from(Connection& connection) {
    const ssize_t got = recv(connection.fd, read_buffer.data(), read_buffer.size(), 0);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      close_connection(connection.id);
      return;
    }
    if (got == 0) {
      connection.peer_closed = true;  // answer what arrived, then close
      update_interest(connection);
      return;
    }
    connection.last_activity = Clock::now();
    const std::size_t held_before = connection.frames.buffered();
    connection.frames.feed(std::string_view(read_buffer.data(), static_cast<std::size_t>(got)),
                           [&](const Frame& frame) { on_frame(connection, frame); });
    const bool over_budget = buffered_total + connection.frames.buffered() - held_before > buffer_budget();
    if (over_budget && connection.frames.buffered() > kOversizePrefixBytes) connection.frames.shed();
    buffered_total = buffered_total + connection.frames.buffered() - held_before;
    update_interest(connection);
  }

  void on_event(const epoll_event& event) {
    const std::uint64_t id = event.data.u64;
    if (id == kListenId) return accept_connections();
    if (id == kWakeId) {
      drain_eventfd(wake_fd);
      return adopt_waiting();
    }
    if (id == kCommitId) return release_committed();
    const auto found = connections.find(id);
    if (found == connections.end()) return;
    Connection& connection = *found->second;
    if ((event.events & EPOLLOUT) != 0) {
      flush(connection);
      if (!connections.contains(id)) return;
    }
    if ((event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) return;
    if (connection.reading) {
      read_from(connection);
    } else if ((event.events & (EPOLLHUP | EPOLLERR)) != 0) {
      close_connection(id);  // gone while paused: nothing it sent after this can be answered
    }
  }

  void close_idle(Clock::time_point now) {
    std::vector<std::uint64_t> idle;
    for (const auto& [id, connection] : connections) {
      if (connection->awaiting == 0 && now - connection->last_activity > options.idle_timeout) idle.push_back(id);
    }
    for (const std::uint64_t id : idle) close_connection(id);
  }

  // Many connections each part way through a message near the limit could hold far more memory
  // than any one message may; past this, a connection that adds to it keeps only the prefix of its
  // frame, which is then refused. A frame that arrives in one read is never held, so small
  // messages pass whatever the others do.
  [[nodiscard]] std::size_t buffer_budget() const noexcept {
    return std::max(kMinBufferBudget, kBufferBudgetMessages * options.max_message_bytes);
  }

  [[nodiscard]] int sweep_interval_ms() const {
    const auto quarter = options.idle_timeout.count() / 4;
    return static_cast<int>(std::clamp<std::int64_t>(quarter, 10, 1000));
  }

  void serve() {
    std::array<epoll_event, kMaxEvents> events{};
    Clock::time_point last_sweep = Clock::now();
    while (!stopping.load(std::memory_order_acquire)) {
      const int count = epoll_wait(epoll_fd, events.data(), kMaxEvents, sweep_interval_ms());
      for (int i = 0; i < count; ++i) on_event(events[static_cast<std::size_t>(i)]);
      hand_batch_to_committer();
      const Clock::time_point now = Clock::now();
      if (now - last_sweep >= std::chrono::milliseconds(sweep_interval_ms())) {
        close_idle(now);
        last_sweep = now;
      }
    }
  }

  // Commits what was received, then sends each acknowledgment that fits without waiting.
  void finish() {
    hand_batch_to_committer();
    {
      std::lock_guard lock(mutex);
      committer_stop = true;
    }
    work.notify_one();
    if (committer.joinable()) committer.join();
    release_committed();
    connections.clear();
    close_resources();
  }

  void close_resources() noexcept {
    if (listen_fd >= 0) ::close(listen_fd);
    listen_fd = -1;
    journal.close();
  }
};

Listener::Listener() : impl_(std::make_unique<Impl>()) {}

Listener::~Listener() {
  if (impl_->committer.joinable()) {
    {
      std::lock_guard lock(impl_->mutex);
      impl_->committer_stop = true;
    }
    impl_->work.notify_one();
    impl_->committer.join();
  }
}

Status Listener::open(const ListenerOptions& options, MessageHandler handler) {
  Impl& impl = *impl_;
  impl.options = options;
  impl.handler = std::move(handler);
  if (Status journal = impl.journal.open(options.store, [&](const JournalEntry& e) { impl.remember(e); });
      !journal.ok()) {
    return journal;
  }
  if (options.listen) {
    if (Status socket = impl.open_socket(); !socket.ok()) return socket;
  }
  return impl.open_events();
}

std::uint16_t Listener::port() const noexcept { return impl_->bound_port; }
std::uint64_t Listener::cut_bytes() const noexcept { return impl_->journal.cut_bytes(); }
std::uint64_t Listener::stored_messages() const noexcept { return impl_->stored.load(std::memory_order_relaxed); }

void Listener::run() {
  Impl& impl = *impl_;
  impl.committer = std::thread([&impl] { impl.commit_loop(); });
  impl.serve();
  impl.finish();
}

void Listener::close() noexcept {
  impl_->close_resources();
  impl_->handler = nullptr;
}

void Listener::stop() noexcept {
  impl_->stopping.store(true, std::memory_order_release);
  if (impl_->wake_fd >= 0) signal_eventfd(impl_->wake_fd);
}

Status Listener::adopt(int fd, std::string peer) {
  constexpr std::string_view kStep = "cannot take the connection";
  if (impl_->wake_fd < 0) return system_failure(std::string(kStep), EBADF);
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return errno_failure(kStep);
  const int flags = fcntl(copy, F_GETFL);
  if (flags < 0 || fcntl(copy, F_SETFL, flags | O_NONBLOCK) != 0) {
    Status failed = errno_failure(kStep);
    ::close(copy);
    return failed;
  }
  try {
    std::lock_guard lock(impl_->adopt_mutex);
    impl_->adopted.emplace_back(copy, std::move(peer));
  } catch (const std::bad_alloc&) {
    ::close(copy);
    return system_failure(std::string(kStep), ENOMEM);
  }
  signal_eventfd(impl_->wake_fd);
  return {};
}

}  // namespace zanthe::hl7

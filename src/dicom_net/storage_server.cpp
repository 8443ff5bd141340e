#include "dicom_net/storage_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <variant>

#include "dicom_net/dimse.h"
#include "dicom_net/pdu.h"
#include "dicom_net/sop_classes.h"
#include "dicom_net/study_index.h"
#include "sockets/listening.h"

namespace zanthe::dicom_net {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBacklog = 4096;
constexpr int kMaxEvents = 256;
constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::uint32_t kMaxControlPduBytes = 64;  // A-RELEASE and A-ABORT bodies are 4 bytes
constexpr std::size_t kMaxCommandBytes = 64 * 1024;
// C-FIND answers are queued a few at a time, so a C-CANCEL is read between them and a large result
// never sits whole in a connection's output.
constexpr std::size_t kFindAnswersPerTurn = 32;
constexpr std::size_t kMaxQueuedFindBytes = 256 * 1024;
// Connections beyond the association cap are still read, to reject them properly, up to this many.
constexpr std::size_t kMaxRejectingConnections = 4096;
// How long a connection we are done with may take to read our last PDU and close.
constexpr auto kClosingLinger = std::chrono::seconds(5);
constexpr std::uint64_t kListenId = 1;
constexpr std::uint64_t kWakeId = 2;
constexpr std::uint64_t kDoneId = 3;
constexpr std::uint64_t kFirstConnectionId = 16;

namespace abort_reason {
constexpr std::uint8_t kNotSpecified = 0;
constexpr std::uint8_t kUnrecognizedPdu = 1;
constexpr std::uint8_t kUnexpectedPdu = 2;
constexpr std::uint8_t kInvalidParameter = 6;
}  // namespace abort_reason

using sockets::drain_eventfd;
using sockets::peer_name;
using sockets::signal_eventfd;

enum class Phase : std::uint8_t {
  awaiting_request,  // connected; the A-ASSOCIATE-RQ must arrive within ARTIM
  established,
  closing,  // our last PDU (AC refused, RJ, RP or ABORT) is queued; close once it is sent
};

struct AcceptedContext {
  std::string abstract_syntax;
  std::string transfer_syntax;
};

// One DIMSE message being put together from its PDVs.
struct MessageInProgress {
  std::vector<std::uint8_t> command_bytes;
  bool command_complete = false;
  Command command;
  std::uint8_t context_id = 0;
  std::vector<std::uint8_t> dataset;
  bool dropping = false;  // over the dataset cap: read to its end, then refused
  std::uint64_t dataset_size = 0;
};

// A C-FIND being answered: its pending answers not yet queued.
struct FindInProgress {
  std::uint8_t context_id = 0;
  Command request;
  FindResult result;
  std::size_t next = 0;
};

struct Connection {
  std::uint64_t id = 0;
  int fd = -1;
  std::string peer;
  Phase phase = Phase::awaiting_request;
  Clock::time_point connected = Clock::now();
  Clock::time_point last_activity = Clock::now();
  Clock::time_point pdu_started{};
  Clock::time_point closing_since{};

  // The PDU being read.
  std::array<std::uint8_t, kPduHeaderSize> header{};
  std::size_t header_got = 0;
  PduHeader current{};
  std::vector<std::uint8_t> body;
  std::size_t body_got = 0;
  std::vector<std::uint8_t> unread;  // bytes received while a store was under way

  // The association.
  bool counted = false;  // holds one place under the association cap
  std::string calling_ae;
  std::string called_ae;
  std::uint32_t peer_max_pdu = 0;
  std::array<std::optional<AcceptedContext>, 256> contexts{};
  MessageInProgress message;
  bool storing = false;
  std::optional<FindInProgress> finding;
  bool release_requested = false;
  bool released = false;
  std::vector<std::string> studies;
  std::uint64_t stored = 0;

  std::vector<std::uint8_t> output;
  std::size_t output_sent = 0;
  bool reading = true;
  bool writing = false;

  Connection(std::uint64_t id_, int fd_, std::string peer_) : id(id_), fd(fd_), peer(std::move(peer_)) {}
  ~Connection() {
    if (fd >= 0) ::close(fd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] std::size_t queued() const noexcept { return output.size() - output_sent; }
  [[nodiscard]] bool inside_pdu() const noexcept { return header_got > 0; }
};

struct StoreJob {
  std::uint64_t connection = 0;
  std::uint8_t context_id = 0;
  Command command;
  std::vector<std::uint8_t> dataset;
  std::string transfer_syntax;
  std::string calling_ae;
  std::string peer;
};

struct StoreDone {
  std::uint64_t connection = 0;
  std::uint8_t context_id = 0;
  Command command;
  StoreOutcome outcome;
};

using Job = std::variant<StoreJob, AssociationSummary>;

[[nodiscard]] bool is_uncompressed_little_endian(std::string_view uid) {
  return uid == kExplicitVrLittleEndian || uid == kImplicitVrLittleEndian;
}

// The transfer syntax to accept for one proposed context, or why the context is refused.
[[nodiscard]] PresentationContextAccept negotiate(const PresentationContextRequest& proposed) {
  PresentationContextAccept answer;
  answer.id = proposed.id;
  // Verification and queries need one of the two syntaxes every peer speaks; storage takes any.
  const bool control = proposed.abstract_syntax == kVerificationSopClass || proposed.abstract_syntax == kStudyRootFind;
  if (!control && !is_storage_sop_class(proposed.abstract_syntax)) {
    answer.result = ContextResult::abstract_syntax_not_supported;
    if (!proposed.transfer_syntaxes.empty()) answer.transfer_syntax = proposed.transfer_syntaxes.front();
    return answer;
  }
  // Instances are stored as they arrive, so the sender's first choice that we can store is taken.
  for (const std::string& syntax : proposed.transfer_syntaxes) {
    if (control ? is_uncompressed_little_endian(syntax) : is_storable_transfer_syntax(syntax)) {
      answer.result = ContextResult::acceptance;
      answer.transfer_syntax = syntax;
      return answer;
    }
  }
  answer.result = ContextResult::transfer_syntaxes_not_supported;
  if (!proposed.transfer_syntaxes.empty()) answer.transfer_syntax = proposed.transfer_syntaxes.front();
  return answer;
}

}  // namespace

struct StorageServer::Impl {
  ServerOptions options;
  StoredHandler on_stored;
  AssociationEndHandler on_end;
  std::unique_ptr<InstanceStore> store;
  StudyIndex index;
  StoreOpening opening;
  int listen_fd = -1;
  int epoll_fd = -1;
  int wake_fd = -1;
  int done_fd = -1;
  std::uint16_t bound_port = 0;
  std::atomic<bool> stopping{false};
  std::atomic<std::uint64_t> stored_total{0};

  std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections;
  std::uint64_t next_connection_id = kFirstConnectionId;
  std::size_t associations = 0;  // connections holding a place under the cap
  bool accepting = true;
  std::vector<std::uint8_t> read_buffer = std::vector<std::uint8_t>(kReadChunk);
  std::vector<Pdv> pdvs;

  // Shared with the store threads.
  std::mutex mutex;
  std::condition_variable work;
  std::deque<Job> jobs;
  std::deque<StoreDone> done;
  bool workers_stop = false;
  std::vector<std::thread> workers;

  ~Impl() {
    stop_workers();
    connections.clear();
    for (const int fd : {listen_fd, epoll_fd, wake_fd, done_fd}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // --- setting up -------------------------------------------------------------------------

  NetStatus open_socket() {
    const sockets::Listening listening = sockets::listen_tcp(options.host, options.port, kBacklog);
    if (!listening.resolve_failure.empty()) {
      return net_failure(NetCode::bad_argument, "cannot resolve " + options.host + ": " + listening.resolve_failure);
    }
    if (listening.fd < 0) {
      return os_failure("cannot listen on " + options.host + ":" + std::to_string(options.port), listening.error);
    }
    listen_fd = listening.fd;
    bound_port = listening.port;
    return {};
  }

  NetStatus open_events() {
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    done_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_fd < 0 || wake_fd < 0 || done_fd < 0) return os_failure("cannot create the event loop", errno);
    for (const auto& [fd, id] : {std::pair{listen_fd, kListenId}, {wake_fd, kWakeId}, {done_fd, kDoneId}}) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = id;
      if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0) return os_failure("cannot create the event loop", errno);
    }
    return {};
  }

  // --- store threads --------------------------------------------------------------------------

  void start_workers() {
    const unsigned count = std::max(1u, options.store_threads);
    for (unsigned i = 0; i < count; ++i) workers.emplace_back([this] { work_loop(); });
  }

  void stop_workers() {
    {
      std::lock_guard lock(mutex);
      workers_stop = true;
    }
    work.notify_all();
    for (std::thread& worker : workers) {
      if (worker.joinable()) worker.join();
    }
    workers.clear();
  }

  void submit(Job job) {
    {
      std::lock_guard lock(mutex);
      jobs.push_back(std::move(job));
    }
    work.notify_one();
  }

  void work_loop() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex);
        work.wait(lock, [&] { return !jobs.empty() || workers_stop; });
        if (jobs.empty()) return;  // stopping, and every job taken is done
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      if (auto* store_job = std::get_if<StoreJob>(&job)) {
        run_store(*store_job);
      } else if (on_end) {
        on_end(std::get<AssociationSummary>(job));
      }
    }
  }

  void run_store(StoreJob& job) {
    ReceivedInstance received;
    received.sop_class = job.command.affected_sop_class;
    received.sop_instance = job.command.affected_sop_instance;
    received.transfer_syntax = job.transfer_syntax;
    received.source_ae = job.calling_ae;
    received.dataset = job.dataset;
    StoreOutcome outcome = store->store(received);
    std::vector<std::uint8_t>().swap(job.dataset);  // the bytes are on disk; free them before answering
    const bool stored = outcome.status == status::kSuccess;
    std::optional<StoredEvent> event;
    if (stored) {
      index.add(outcome.attributes);  // before the answer, so a query after it finds the instance
      stored_total.fetch_add(1, std::memory_order_relaxed);
      if (on_stored) event = StoredEvent{outcome.instance, job.calling_ae, job.peer};
    }
    {
      std::lock_guard lock(mutex);
      done.push_back(StoreDone{job.connection, job.context_id, std::move(job.command), std::move(outcome)});
    }
    signal_eventfd(done_fd);
    // After the answer is on its way, so a slow handler never delays it.
    if (event) on_stored(*event);
  }

  // --- sending ---------------------------------------------------------------------------------

  void queue(Connection& connection, const std::vector<std::uint8_t>& pdu) {
    connection.output.insert(connection.output.end(), pdu.begin(), pdu.end());
  }

  // Bytes of one message part (command or dataset) as P-DATA-TF PDUs no longer than the peer takes.
  void queue_pdvs(Connection& connection, std::uint8_t context_id, bool command, const std::vector<std::uint8_t>& bytes) {
    const std::size_t limit = connection.peer_max_pdu == 0 ? bytes.size()
                                                          : std::max<std::size_t>(connection.peer_max_pdu, 8) - 6;
    std::size_t offset = 0;
    do {
      const std::size_t piece = std::min(limit, bytes.size() - offset);
      const bool last = offset + piece == bytes.size();
      std::array<std::uint8_t, kPDataOverhead> header{};
      write_p_data_header(header.data(), context_id, command, last, static_cast<std::uint32_t>(piece));
      connection.output.insert(connection.output.end(), header.begin(), header.end());
      connection.output.insert(connection.output.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                               bytes.begin() + static_cast<std::ptrdiff_t>(offset + piece));
      offset += piece;
    } while (offset < bytes.size());
  }

  void queue_command(Connection& connection, std::uint8_t context_id, const Command& command) {
    queue_pdvs(connection, context_id, true, encode_command(command));
  }

  // Ends the connection with a PDU of ours: sent, then closed (or dropped after the linger).
  void finish_with(Connection& connection, const std::vector<std::uint8_t>& pdu) {
    queue(connection, pdu);
    connection.phase = Phase::closing;
    connection.closing_since = Clock::now();
    connection.reading = false;
    watch(connection, EPOLL_CTL_MOD);
    flush(connection);
  }

  void abort_connection(Connection& connection, std::uint8_t reason) {
    finish_with(connection, build_abort(Abort{2, reason}));
  }

  // Returns false when the connection was closed.
  bool flush(Connection& connection) {
    while (connection.queued() > 0) {
      const ssize_t sent = ::send(connection.fd, connection.output.data() + connection.output_sent,
                                  connection.queued(), MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        close_connection(connection.id);
        return false;
      }
      connection.output_sent += static_cast<std::size_t>(sent);
    }
    if (connection.queued() == 0) {
      connection.output.clear();
      connection.output_sent = 0;
      if (connection.phase == Phase::closing) {
        // Our last PDU is out; the peer closes next, or we do after the linger.
        ::shutdown(connection.fd, SHUT_WR);
      }
    }
    return update_interest(connection);
  }

  void watch(Connection& connection, int operation) {
    epoll_event event{};
    // No EPOLLRDHUP while a store is under way: a peer that half-closed would wake the loop for
    // nothing until the answer is sent.
    const bool hangup = connection.reading || connection.phase == Phase::closing;
    event.events = (connection.reading ? EPOLLIN : 0u) | (connection.writing ? EPOLLOUT : 0u) |
                   (hangup ? EPOLLRDHUP : 0u);
    event.data.u64 = connection.id;
    epoll_ctl(epoll_fd, operation, connection.fd, &event);
  }

  bool update_interest(Connection& connection) {
    const bool reading = connection.phase != Phase::closing && !connection.storing;
    const bool writing = connection.queued() > 0;
    if (reading != connection.reading || writing != connection.writing) {
      connection.reading = reading;
      connection.writing = writing;
      watch(connection, EPOLL_CTL_MOD);
    }
    return true;
  }

  // --- connections -----------------------------------------------------------------------------

  void accept_connections() {
    for (;;) {
      sockaddr_storage address{};
      socklen_t length = sizeof address;
      const int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          accepting = false;  // out of descriptors: the rest wait in the backlog
          epoll_ctl(epoll_fd, EPOLL_CTL_DEL, listen_fd, nullptr);
        }
        return;
      }
      if (connections.size() >= options.max_associations + kMaxRejectingConnections) {
        ::close(fd);  // far past the cap: not even read, so a flood costs no memory
        continue;
      }
      const int yes = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      const std::uint64_t id = next_connection_id++;
      auto connection = std::make_unique<Connection>(id, fd, peer_name(address, length));
      watch(*connection, EPOLL_CTL_ADD);
      connections.emplace(id, std::move(connection));
    }
  }

  void close_connection(std::uint64_t id) {
    const auto found = connections.find(id);
    if (found == connections.end()) return;
    Connection& connection = *found->second;
    if (connection.counted) {
      --associations;
      if (connection.stored > 0 && on_end) {
        submit(AssociationSummary{connection.calling_ae, connection.called_ae, connection.peer,
                                  std::move(connection.studies), connection.stored, connection.released});
      }
    }
    connections.erase(found);  // closing the descriptor removes it from epoll
    if (!accepting) {
      accepting = true;
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = kListenId;
      epoll_ctl(epoll_fd, EPOLL_CTL_ADD, listen_fd, &event);
    }
  }

  // --- reading PDUs ------------------------------------------------------------------------------

  // The largest body a PDU of this type may declare in the connection's phase; 0: not allowed here.
  [[nodiscard]] std::uint32_t body_limit(const Connection& connection, std::uint8_t type) const {
    const auto pdu = static_cast<PduType>(type);
    if (connection.phase == Phase::awaiting_request) {
      return pdu == PduType::associate_rq ? options.max_request_bytes
             : pdu == PduType::abort     ? kMaxControlPduBytes
                                         : 0;
    }
    switch (pdu) {
      case PduType::p_data_tf: return options.max_pdu_length;
      case PduType::release_rq:
      case PduType::release_rp:
      case PduType::abort: return kMaxControlPduBytes;
      default: return 0;
    }
  }

  void read_from(Connection& connection) {
    const ssize_t got = ::recv(connection.fd, read_buffer.data(), read_buffer.size(), 0);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      close_connection(connection.id);
      return;
    }
    if (got == 0) {
      close_connection(connection.id);  // gone: a message it was sending is dropped, never stored
      return;
    }
    // The peer's next segment is acknowledged at once: a sender that leaves Nagle's algorithm on
    // would otherwise wait for our delayed acknowledgment between a PDU's header and its body.
    const int yes = 1;
    setsockopt(connection.fd, IPPROTO_TCP, TCP_QUICKACK, &yes, sizeof yes);
    connection.last_activity = Clock::now();
    const std::uint64_t id = connection.id;
    consume(connection, std::span<const std::uint8_t>(read_buffer.data(), static_cast<std::size_t>(got)));
    if (const auto found = connections.find(id); found != connections.end()) update_interest(*found->second);
  }

  // Feeds received bytes through the PDU reader. Stops, keeping the rest, when a store begins.
  void consume(Connection& connection, std::span<const std::uint8_t> bytes) {
    const std::uint64_t id = connection.id;
    while (!bytes.empty()) {
      if (connection.storing || connection.phase == Phase::closing) {
        if (connection.phase != Phase::closing) connection.unread.insert(connection.unread.end(), bytes.begin(), bytes.end());
        return;
      }
      if (connection.header_got < kPduHeaderSize) {
        if (connection.header_got == 0) connection.pdu_started = Clock::now();
        const std::size_t take = std::min(kPduHeaderSize - connection.header_got, bytes.size());
        std::copy_n(bytes.begin(), take, connection.header.begin() + static_cast<std::ptrdiff_t>(connection.header_got));
        connection.header_got += take;
        bytes = bytes.subspan(take);
        if (connection.header_got < kPduHeaderSize) return;
        if (!begin_body(connection)) return;
      }
      const std::size_t take = std::min(connection.body.size() - connection.body_got, bytes.size());
      std::copy_n(bytes.begin(), take, connection.body.begin() + static_cast<std::ptrdiff_t>(connection.body_got));
      connection.body_got += take;
      bytes = bytes.subspan(take);
      if (connection.body_got == connection.body.size()) {
        connection.header_got = 0;
        on_pdu(connection);
        if (!connections.contains(id)) return;
      }
    }
  }

  // Checks the header just read; false when the connection was ended for it.
  bool begin_body(Connection& connection) {
    connection.current = read_pdu_header(connection.header.data());
    const std::uint8_t type = connection.current.type;
    if (type < 1 || type > 7) {
      abort_connection(connection, abort_reason::kUnrecognizedPdu);
      return false;
    }
    const std::uint32_t limit = body_limit(connection, type);
    if (limit == 0) {
      abort_connection(connection, abort_reason::kUnexpectedPdu);
      return false;
    }
    if (connection.current.length > limit) {
      abort_connection(connection, abort_reason::kInvalidParameter);
      return false;
    }
    try {
      connection.body.resize(connection.current.length);
    } catch (const std::bad_alloc&) {
      abort_connection(connection, abort_reason::kNotSpecified);
      return false;
    }
    connection.body_got = 0;
    return true;
  }

  void on_pdu(Connection& connection) {
    const std::span<const std::uint8_t> body(connection.body.data(), connection.body.size());
    switch (static_cast<PduType>(connection.current.type)) {
      case PduType::associate_rq: return on_request(connection, body);
      case PduType::p_data_tf: return on_data(connection, body);
      case PduType::release_rq: return on_release(connection);
      case PduType::abort: return close_connection(connection.id);
      default: return abort_connection(connection, abort_reason::kUnexpectedPdu);
    }
  }

  // --- association ------------------------------------------------------------------------------

  [[nodiscard]] std::optional<AssociateReject> refusal_of(const AssociateRequest& request) const {
    if ((request.protocol_version & 1u) == 0) return reject::kProtocolVersionNotSupported;
    if (request.application_context != kApplicationContext) return reject::kApplicationContextNotSupported;
    const auto& allowed = options.allowed_calling_aes;
    if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), request.calling_ae) == allowed.end()) {
      return reject::kCallingAeNotRecognized;
    }
    if (options.require_called_ae && request.called_ae != options.ae_title) return reject::kCalledAeNotRecognized;
    if (associations >= options.max_associations) return reject::kLocalLimitExceeded;
    return std::nullopt;
  }

  void on_request(Connection& connection, std::span<const std::uint8_t> body) {
    AssociateRequest request;
    // A version or application context we do not speak still parses whole, so it is rejected, not aborted.
    if (const NetStatus parsed = parse_associate_request(body, request); !parsed.ok() && parsed.code != NetCode::unsupported) {
      return abort_connection(connection, abort_reason::kInvalidParameter);
    }
    if (const auto refused = refusal_of(request)) return finish_with(connection, build_associate_reject(*refused));
    AssociateAccept accept;
    accept.called_ae = request.called_ae;
    accept.calling_ae = request.calling_ae;
    accept.max_pdu_length = options.max_pdu_length;
    for (const PresentationContextRequest& proposed : request.contexts) {
      PresentationContextAccept answer = negotiate(proposed);
      if (answer.result == ContextResult::acceptance) {
        connection.contexts[proposed.id] = AcceptedContext{proposed.abstract_syntax, answer.transfer_syntax};
      }
      accept.contexts.push_back(std::move(answer));
    }
    connection.phase = Phase::established;
    connection.counted = true;
    ++associations;
    connection.calling_ae = request.calling_ae;
    connection.called_ae = request.called_ae;
    connection.peer_max_pdu = request.max_pdu_length;
    queue(connection, build_associate_accept(accept));
    flush(connection);
  }

  void on_release(Connection& connection) {
    if (connection.message.command_complete || !connection.message.command_bytes.empty() || connection.finding) {
      // A release in the middle of a message: the message is lost, so it cannot be answered.
      return abort_connection(connection, abort_reason::kUnexpectedPdu);
    }
    if (connection.storing) {
      connection.release_requested = true;  // answered once the store under way is
      return;
    }
    connection.released = true;
    finish_with(connection, build_release_response());
  }

  // --- messages ---------------------------------------------------------------------------------

  void on_data(Connection& connection, std::span<const std::uint8_t> body) {
    if (!parse_p_data(body, pdvs).ok()) return abort_connection(connection, abort_reason::kInvalidParameter);
    const std::uint64_t id = connection.id;
    for (const Pdv& pdv : pdvs) {
      if (!on_pdv(connection, pdv)) return;
      if (!connections.contains(id) || connection.phase == Phase::closing) return;
    }
  }

  // False when the connection was ended.
  bool on_pdv(Connection& connection, const Pdv& pdv) {
    MessageInProgress& message = connection.message;
    if (!connection.contexts[pdv.context_id]) {
      abort_connection(connection, abort_reason::kInvalidParameter);  // a context never accepted
      return false;
    }
    const bool first = message.command_bytes.empty() && !message.command_complete;
    if (!first && pdv.context_id != message.context_id) {
      abort_connection(connection, abort_reason::kInvalidParameter);
      return false;
    }
    message.context_id = pdv.context_id;
    if (pdv.command) return on_command_fragment(connection, pdv);
    if (!message.command_complete) {
      abort_connection(connection, abort_reason::kUnexpectedPdu);  // data before its command
      return false;
    }
    on_data_fragment(connection, pdv);
    return true;
  }

  bool on_command_fragment(Connection& connection, const Pdv& pdv) {
    MessageInProgress& message = connection.message;
    if (message.command_complete || message.command_bytes.size() + pdv.data.size() > kMaxCommandBytes) {
      abort_connection(connection, abort_reason::kUnexpectedPdu);
      return false;
    }
    message.command_bytes.insert(message.command_bytes.end(), pdv.data.begin(), pdv.data.end());
    if (!pdv.last) return true;
    if (!parse_command(message.command_bytes, message.command).ok()) {
      abort_connection(connection, abort_reason::kInvalidParameter);
      return false;
    }
    message.command_complete = true;
    if (!message.command.has_data_set()) dispatch(connection);
    return true;
  }

  void on_data_fragment(Connection& connection, const Pdv& pdv) {
    MessageInProgress& message = connection.message;
    message.dataset_size += pdv.data.size();
    if (!message.dropping && message.dataset_size > options.max_dataset_bytes) {
      message.dropping = true;
      std::vector<std::uint8_t>().swap(message.dataset);
    }
    if (!message.dropping) {
      try {
        message.dataset.insert(message.dataset.end(), pdv.data.begin(), pdv.data.end());
      } catch (const std::bad_alloc&) {
        message.dropping = true;
        std::vector<std::uint8_t>().swap(message.dataset);
      }
    }
    if (pdv.last) dispatch(connection);
  }

  void dispatch(Connection& connection) {
    MessageInProgress message = std::exchange(connection.message, MessageInProgress{});
    const Command& command = message.command;
    if (connection.finding && command.command_field != command_field::kCCancelRq) {
      // One operation at a time on an association: a second request while answering breaks that.
      return abort_connection(connection, abort_reason::kUnexpectedPdu);
    }
    const AcceptedContext& context = *connection.contexts[message.context_id];
    switch (command.command_field) {
      case command_field::kCEchoRq: queue_command(connection, message.context_id, echo_response(command, status::kSuccess)); break;
      case command_field::kCStoreRq: {
        if (message.dropping) {
          queue_command(connection, message.context_id,
                 store_response(command, status::kOutOfResources,
                                "instance over the limit of " + std::to_string(options.max_dataset_bytes) + " bytes"));
          break;
        }
        if (!is_storage_sop_class(context.abstract_syntax)) {
          queue_command(connection, message.context_id, store_response(command, status::kSopClassNotSupported));
          break;
        }
        // The one message in flight on this association; reading waits for its answer.
        connection.storing = true;
        submit(StoreJob{connection.id, message.context_id, command, std::move(message.dataset),
                        context.transfer_syntax, connection.calling_ae, connection.peer});
        break;
      }
      case command_field::kCFindRq: start_find(connection, message, context); break;
      case command_field::kCCancelRq: cancel_find(connection, command); break;
      default: {
        if ((command.command_field & 0x8000u) != 0) break;  // a response to nothing we asked: ignored
        Command refusal;
        refusal.command_field = static_cast<std::uint16_t>(command.command_field | 0x8000u);
        refusal.affected_sop_class = command.affected_sop_class;
        refusal.message_id_responded = command.message_id;
        refusal.status = status::kUnrecognizedOperation;
        queue_command(connection, message.context_id, refusal);
        break;
      }
    }
    flush(connection);
  }

  void start_find(Connection& connection, const MessageInProgress& message, const AcceptedContext& context) {
    const Command& command = message.command;
    if (context.abstract_syntax != kStudyRootFind) {
      queue_command(connection, message.context_id, find_response(command, status::kSopClassNotSupported, false));
      return;
    }
    if (message.dropping) {
      queue_command(connection, message.context_id, find_response(command, status::kOutOfResources, false));
      return;
    }
    FindInProgress find;
    find.context_id = message.context_id;
    find.request = command;
    find.result = index.find(message.dataset, context.transfer_syntax == kImplicitVrLittleEndian);
    connection.finding = std::move(find);
    pump_find(connection);
  }

  void cancel_find(Connection& connection, const Command& cancel) {
    if (!connection.finding || cancel.message_id_responded != connection.finding->request.message_id) return;
    FindInProgress& find = *connection.finding;
    queue_command(connection, find.context_id, find_response(find.request, status::kCancel, false));
    connection.finding.reset();
  }

  // Queues the next few answers of a C-FIND, then its final response once all are out.
  void pump_find(Connection& connection) {
    if (!connection.finding) return;
    FindInProgress& find = *connection.finding;
    if (find.result.status != status::kSuccess) {
      Command failure = find_response(find.request, find.result.status, false);
      failure.error_comment = find.result.error_comment;
      queue_command(connection, find.context_id, failure);
      connection.finding.reset();
      return;
    }
    for (std::size_t queued = 0; queued < kFindAnswersPerTurn && find.next < find.result.identifiers.size() &&
                                 connection.queued() < kMaxQueuedFindBytes;
         ++queued) {
      queue_command(connection, find.context_id, find_response(find.request, find.result.pending_status, true));
      queue_pdvs(connection, find.context_id, false, find.result.identifiers[find.next]);
      std::vector<std::uint8_t>().swap(find.result.identifiers[find.next++]);
    }
    if (find.next == find.result.identifiers.size()) {
      queue_command(connection, find.context_id, find_response(find.request, status::kSuccess, false));
      connection.finding.reset();
    }
  }

  // Every connection with a C-FIND still answering gets its next answers; true when one could take
  // more at once (the loop then does not sleep).
  bool pump_finds() {
    std::vector<std::uint64_t> ids;
    for (const auto& [id, connection] : connections) {
      if (connection->finding) ids.push_back(id);
    }
    for (const std::uint64_t id : ids) {
      const auto found = connections.find(id);
      if (found == connections.end()) continue;
      pump_find(*found->second);
      flush(*found->second);
    }
    for (const std::uint64_t id : ids) {
      const auto found = connections.find(id);
      if (found != connections.end() && found->second->finding && found->second->queued() < kMaxQueuedFindBytes) return true;
    }
    return false;
  }

  void finish_stores() {
    drain_eventfd(done_fd);
    std::deque<StoreDone> finished;
    {
      std::lock_guard lock(mutex);
      finished.swap(done);
    }
    for (StoreDone& result : finished) {
      const auto found = connections.find(result.connection);
      if (found == connections.end()) continue;  // gone while storing: the answer has no one to go to
      Connection& connection = *found->second;
      connection.storing = false;
      connection.last_activity = Clock::now();
      if (result.outcome.status == status::kSuccess) {
        ++connection.stored;
        const std::string& study = result.outcome.instance.study;
        if (std::find(connection.studies.begin(), connection.studies.end(), study) == connection.studies.end()) {
          connection.studies.push_back(study);
        }
      }
      queue_command(connection, result.context_id,
                    store_response(result.command, result.outcome.status, result.outcome.error_comment));
      if (connection.release_requested) {
        connection.released = true;
        finish_with(connection, build_release_response());
        continue;
      }
      if (!flush(connection)) continue;
      resume(connection);
    }
  }

  // Reads what arrived while the store was under way, then the socket again.
  void resume(Connection& connection) {
    const std::uint64_t id = connection.id;
    if (!connection.unread.empty()) {
      std::vector<std::uint8_t> unread = std::move(connection.unread);
      connection.unread.clear();
      consume(connection, unread);
      if (!connections.contains(id)) return;
    }
    update_interest(connection);
  }

  // --- timers -------------------------------------------------------------------------------------

  [[nodiscard]] bool expired(const Connection& connection, Clock::time_point now) const {
    switch (connection.phase) {
      case Phase::awaiting_request: return now - connection.connected > options.artim;
      case Phase::closing: return now - connection.closing_since > kClosingLinger;
      case Phase::established: break;
    }
    if (connection.storing || connection.finding) return false;
    if (connection.inside_pdu()) return now - connection.pdu_started > options.pdu_timeout;
    return now - connection.last_activity > options.idle_timeout;
  }

  void sweep(Clock::time_point now) {
    std::vector<std::uint64_t> ended;
    for (const auto& [id, connection] : connections) {
      if (expired(*connection, now)) ended.push_back(id);
    }
    for (const std::uint64_t id : ended) {
      const auto found = connections.find(id);
      if (found == connections.end()) continue;
      Connection& connection = *found->second;
      if (connection.phase == Phase::established) {
        abort_connection(connection, abort_reason::kNotSpecified);
        // An abort that cannot be sent at once is not waited for.
        if (connections.contains(id) && connection.queued() > 0) close_connection(id);
      } else {
        close_connection(id);  // ARTIM expired, or a closing peer that never read our last PDU
      }
    }
  }

  [[nodiscard]] int sweep_interval_ms() const {
    const auto shortest = std::min({options.artim, options.idle_timeout, options.pdu_timeout}).count();
    return static_cast<int>(std::clamp<std::int64_t>(shortest / 4, 5, 250));
  }

  void on_event(const epoll_event& event) {
    const std::uint64_t id = event.data.u64;
    if (id == kListenId) return accept_connections();
    if (id == kWakeId) return drain_eventfd(wake_fd);
    if (id == kDoneId) return finish_stores();
    const auto found = connections.find(id);
    if (found == connections.end()) return;
    Connection& connection = *found->second;
    if ((event.events & EPOLLOUT) != 0 && !flush(connection)) return;
    if (!connections.contains(id)) return;
    if (connection.reading && (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0) {
      read_from(connection);
    } else if ((event.events & (EPOLLHUP | EPOLLERR)) != 0 ||
               (connection.phase == Phase::closing && (event.events & EPOLLRDHUP) != 0)) {
      close_connection(id);
    }
  }

  void serve() {
    std::array<epoll_event, kMaxEvents> events{};
    Clock::time_point last_sweep = Clock::now();
    const int interval = sweep_interval_ms();
    bool more_answers = false;
    while (!stopping.load(std::memory_order_acquire)) {
      const int count = epoll_wait(epoll_fd, events.data(), kMaxEvents, more_answers ? 0 : interval);
      for (int i = 0; i < count; ++i) on_event(events[static_cast<std::size_t>(i)]);
      more_answers = pump_finds();
      const Clock::time_point now = Clock::now();
      if (now - last_sweep >= std::chrono::milliseconds(interval)) {
        sweep(now);
        last_sweep = now;
      }
    }
  }

  void finish() {
    stop_workers();  // stores under way end on disk; their answers are not sent
    std::vector<std::uint64_t> ids;
    for (const auto& [id, connection] : connections) ids.push_back(id);
    for (const std::uint64_t id : ids) close_connection(id);
    stop_workers_after_summaries();
    if (listen_fd >= 0) ::close(listen_fd);
    listen_fd = -1;
  }

  // Associations closed by the stop still report their end.
  void stop_workers_after_summaries() {
    std::deque<Job> left;
    {
      std::lock_guard lock(mutex);
      left.swap(jobs);
    }
    for (Job& job : left) {
      if (auto* summary = std::get_if<AssociationSummary>(&job); summary != nullptr && on_end) on_end(*summary);
    }
  }
};

StorageServer::StorageServer() : impl_(std::make_unique<Impl>()) {}
StorageServer::~StorageServer() = default;

NetStatus StorageServer::open(const ServerOptions& options, StoredHandler on_stored, AssociationEndHandler on_end) {
  Impl& impl = *impl_;
  impl.options = options;
  impl.on_stored = std::move(on_stored);
  impl.on_end = std::move(on_end);
  if (options.store.empty()) return net_failure(NetCode::bad_argument, "no store folder given");
  struct stat info{};
  if (::stat(options.store.c_str(), &info) != 0) return os_failure("cannot use the store folder " + options.store, errno);
  if (!S_ISDIR(info.st_mode)) return net_failure(NetCode::bad_argument, options.store + " is not a folder");
  if (::access(options.store.c_str(), W_OK | X_OK) != 0) {
    return os_failure("cannot write to the store folder " + options.store, errno);
  }
  impl.store = std::make_unique<InstanceStore>(options.store, options.sync, options.journal_bytes);
  if (NetStatus opened = impl.store->open(impl.opening.journal); !opened.ok()) return opened;
  if (NetStatus rebuilt = impl.index.rebuild(options.store, impl.opening.indexed, impl.opening.unreadable);
      !rebuilt.ok()) {
    return rebuilt;
  }
  if (NetStatus socket = impl.open_socket(); !socket.ok()) return socket;
  return impl.open_events();
}

std::uint16_t StorageServer::port() const noexcept { return impl_->bound_port; }
const StoreOpening& StorageServer::opening() const noexcept { return impl_->opening; }

std::uint64_t StorageServer::stored_instances() const noexcept {
  return impl_->stored_total.load(std::memory_order_relaxed);
}

void StorageServer::run() {
  Impl& impl = *impl_;
  impl.workers_stop = false;
  impl.start_workers();
  impl.serve();
  impl.finish();
}

void StorageServer::close() noexcept {
  Impl& impl = *impl_;
  impl.stop_workers();
  impl.connections.clear();
  if (impl.listen_fd >= 0) ::close(impl.listen_fd);
  impl.listen_fd = -1;
  impl.on_stored = nullptr;
  impl.on_end = nullptr;
}

void StorageServer::stop() noexcept {
  impl_->stopping.store(true, std::memory_order_release);
  if (impl_->wake_fd >= 0) signal_eventfd(impl_->wake_fd);
}

}  // namespace zanthe::dicom_net

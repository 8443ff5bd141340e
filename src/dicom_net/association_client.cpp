#include "dicom_net/association_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "dicom/part10_reader.h"
#include "dicom_net/sop_classes.h"

namespace zanthe::dicom_net {

namespace {

using Clock = std::chrono::steady_clock;

// Association control PDUs (an A-ASSOCIATE-AC with many contexts) may exceed a small P-DATA limit.
constexpr std::uint32_t kMinControlPduLimit = 64 * 1024;
// What we accept when we announced no limit: the bound on memory that a peer can make us take.
constexpr std::uint32_t kUnlimitedPduLimit = 256u << 20;
// The smallest P-DATA-TF body that carries a byte of data: PDV length, context ID, control header.
constexpr std::uint32_t kPDataBodyOverhead = 6;
constexpr std::size_t kMaxAeTitle = 16;
// A response's command set holds a few short elements; fragments past this are a peer gone wrong.
constexpr std::size_t kMaxCommandSet = 64 * 1024;

namespace abort_reason {
constexpr Abort kUser{0, 0};
constexpr Abort kUnrecognizedPdu{2, 1};
constexpr Abort kUnexpectedPdu{2, 2};
constexpr Abort kInvalidParameter{2, 6};
}  // namespace abort_reason

[[nodiscard]] int milliseconds_left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

[[nodiscard]] NetStatus wait_for(int fd, short events, Clock::time_point deadline, const char* what) {
  while (true) {
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, milliseconds_left(deadline));
    if (ready > 0) return {};
    if (ready == 0) return net_failure(NetCode::timed_out, std::string("no ") + what + " before the deadline");
    if (errno != EINTR) return os_failure("poll", errno);
  }
}

void set_option(int fd, int level, int name, int value) noexcept {
  // Tuning only: a socket that refuses one still works.
  [[maybe_unused]] const int rc = ::setsockopt(fd, level, name, &value, sizeof value);
}

// A delayed ACK of what we read (up to 40 ms) would stall a peer waiting on it between its PDUs. The
// kernel leaves quick-ACK mode by itself, so it is set again before every read.
void quick_ack(int fd) noexcept {
#ifdef TCP_QUICKACK
  set_option(fd, IPPROTO_TCP, TCP_QUICKACK, 1);
#endif
}

[[nodiscard]] NetStatus set_blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return os_failure("fcntl", errno);
  return {};
}

// One address: a non-blocking connect awaited with poll, so that the timeout holds.
[[nodiscard]] NetStatus connect_one(const addrinfo& address, Clock::time_point deadline, int& fd) {
  fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
  if (fd < 0) return os_failure("socket", errno);
  NetStatus status;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      status = os_failure("connect", errno);
    } else if (status = wait_for(fd, POLLOUT, deadline, "connection"); status.ok()) {
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
      if (error != 0) status = os_failure("connect", error);
    }
  }
  if (status.ok()) status = set_blocking(fd);
  if (!status.ok()) {
    ::close(fd);
    fd = -1;
  }
  return status;
}

[[nodiscard]] NetStatus connect_to(const ClientOptions& options, int& fd) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(options.port);
  if (const int rc = ::getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    return net_failure(NetCode::os_error, "cannot resolve " + options.host + ": " + ::gai_strerror(rc));
  }
  const Clock::time_point deadline = Clock::now() + options.connect_timeout;
  NetStatus status = net_failure(NetCode::os_error, "no address for " + options.host);
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    status = connect_one(*a, deadline, fd);
    if (status.ok() || status.code == NetCode::timed_out) break;
  }
  ::freeaddrinfo(found);
  if (!status.ok()) {
    status.detail = options.host + ":" + port + ": " + status.detail;
    return status;
  }
  set_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  // Blocking writes end after the response timeout instead of waiting forever on a stalled peer.
  const auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(options.response_timeout).count();
  timeval send_timeout{static_cast<time_t>(timeout / 1'000'000), static_cast<suseconds_t>(timeout % 1'000'000)};
  [[maybe_unused]] const int rc = ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  return {};
}

[[nodiscard]] NetStatus read_exact(int fd, std::uint8_t* out, std::size_t size, Clock::time_point deadline) {
  std::size_t got = 0;
  while (got < size) {
    quick_ack(fd);
    if (NetStatus status = wait_for(fd, POLLIN, deadline, "data from the peer"); !status.ok()) return status;
    const ssize_t n = ::recv(fd, out + got, size - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return net_failure(NetCode::aborted, "the peer closed the connection");
    } else if (errno == ECONNRESET) {
      return net_failure(NetCode::aborted, "the peer reset the connection");
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return os_failure("recv", errno);
    }
  }
  return {};
}

// Writes every byte of the iovecs, resuming after partial writes. MSG_NOSIGNAL: a closed peer is an
// error to report, not a SIGPIPE.
[[nodiscard]] NetStatus write_all(int fd, iovec* iov, std::size_t count) {
  while (count > 0) {
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = count;
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return net_failure(NetCode::timed_out, "the peer stopped reading");
      if (errno == EPIPE || errno == ECONNRESET) return net_failure(NetCode::aborted, "the peer closed the connection");
      return os_failure("sendmsg", errno);
    }
    std::size_t sent = static_cast<std::size_t>(n);
    while (count > 0 && sent >= iov->iov_len) {
      sent -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<std::uint8_t*>(iov->iov_base) + sent;
      iov->iov_len -= sent;
    }
  }
  return {};
}

[[nodiscard]] std::string reject_detail(const AssociateReject& reject) {
  const char* result = reject.result == 1 ? "permanent" : reject.result == 2 ? "transient" : "unknown result";
  const char* reason = "";
  if (reject.source == 1) {
    switch (reject.reason) {
      case 1: reason = ": no reason given"; break;
      case 2: reason = ": application context name not supported"; break;
      case 3: reason = ": calling AE title not recognized"; break;
      case 7: reason = ": called AE title not recognized"; break;
      default: break;
    }
  } else if (reject.source == 2) {
    reason = reject.reason == 2 ? ": protocol version not supported" : "";
  } else if (reject.source == 3) {
    reason = reject.reason == 1 ? ": temporary congestion" : reject.reason == 2 ? ": local limit exceeded" : "";
  }
  return std::string("the peer rejected the association (") + result + ", source " + std::to_string(reject.source) +
         ", reason " + std::to_string(reject.reason) + ")" + reason;
}

[[nodiscard]] std::string abort_detail(std::span<const std::uint8_t> body) {
  Abort abort;
  if (!parse_abort(body, abort).ok()) return "the peer aborted the association";
  return "the peer aborted the association (source " + std::to_string(abort.source) + ", reason " +
         std::to_string(abort.reason) + ")";
}

[[nodiscard]] NetStatus check_request(const ClientOptions& options, const std::vector<PresentationContextRequest>& contexts) {
  if (options.host.empty()) return net_failure(NetCode::bad_argument, "no host to connect to");
  if (options.connect_timeout.count() <= 0 || options.response_timeout.count() <= 0) {
    return net_failure(NetCode::bad_argument, "the timeouts must be positive");
  }
  for (const std::string* title : {&options.calling_ae, &options.called_ae}) {
    if (title->empty() || title->size() > kMaxAeTitle || title->find_first_not_of(' ') == std::string::npos) {
      return net_failure(NetCode::bad_argument, "an AE title must have 1 to 16 characters, not all spaces: '" + *title + "'");
    }
  }
  if (contexts.empty()) return net_failure(NetCode::bad_argument, "no presentation context to propose");
  if (contexts.size() > kMaxPresentationContexts) {
    return net_failure(NetCode::bad_argument, "more than 128 presentation contexts: split them over several associations");
  }
  std::array<bool, 256> seen{};
  for (const PresentationContextRequest& context : contexts) {
    if (context.id % 2 == 0 || seen[context.id]) {
      return net_failure(NetCode::bad_argument, "presentation context IDs must be odd and distinct");
    }
    seen[context.id] = true;
    if (context.abstract_syntax.empty() || context.transfer_syntaxes.empty()) {
      return net_failure(NetCode::bad_argument, "a presentation context needs an abstract syntax and a transfer syntax");
    }
  }
  return {};
}

// The file's bytes, at most `limit` of them.
[[nodiscard]] NetStatus read_file_bytes(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_failure("cannot open " + path, errno);
  struct stat info {};
  NetStatus status;
  if (::fstat(fd, &info) != 0) {
    status = os_failure("cannot read " + path, errno);
  } else {
    out.resize(std::min(static_cast<std::size_t>(info.st_size), limit));
    std::size_t got = 0;
    while (got < out.size()) {
      const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        status = os_failure("cannot read " + path, errno);
        break;
      }
      if (n == 0) break;  // the file shrank while read
      got += static_cast<std::size_t>(n);
    }
    out.resize(got);
  }
  ::close(fd);
  return status;
}

// The C-STORE names the instance the dataset is, and a receiver checks it against the dataset: where a
// file's meta group disagrees with its dataset (it happens), the dataset's SOP Class and Instance UIDs
// win. A dataset that cannot be read keeps the meta group's.
void take_dataset_uids(FileToSend& file) {
  std::vector<std::uint8_t> inflated;
  const dicom::LocatedDataset located = dicom::locate_dataset(file.bytes.data(), file.bytes.size(), inflated);
  if (!located.ok()) return;
  dicom::ElementList elements;
  (void)dicom::parse_dataset(located.data, located.size, located.encoding, elements);  // what was read counts
  const std::string_view sop_class = dicom::find_text(elements, 0x00080016);
  const std::string_view sop_instance = dicom::find_text(elements, 0x00080018);
  if (!sop_class.empty()) file.sop_class = std::string(sop_class);
  if (!sop_instance.empty()) file.sop_instance = std::string(sop_instance);
}

}  // namespace

// One DIMSE message as received: its command, and whether a dataset followed (responses we read carry
// none we keep).
struct Association::Message {
  Command command;
  std::vector<std::uint8_t> command_bytes;
  bool command_done = false;
};

Association::~Association() { abort(); }

Association::Association(Association&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      response_timeout_(other.response_timeout_),
      max_pdu_length_(other.max_pdu_length_),
      pdv_data_limit_(other.pdv_data_limit_),
      next_message_id_(other.next_message_id_),
      proposed_(std::move(other.proposed_)),
      accept_(std::move(other.accept_)),
      receive_buffer_(std::move(other.receive_buffer_)) {}

Association& Association::operator=(Association&& other) noexcept {
  if (this != &other) {
    abort();
    fd_ = std::exchange(other.fd_, -1);
    response_timeout_ = other.response_timeout_;
    max_pdu_length_ = other.max_pdu_length_;
    pdv_data_limit_ = other.pdv_data_limit_;
    next_message_id_ = other.next_message_id_;
    proposed_ = std::move(other.proposed_);
    accept_ = std::move(other.accept_);
    receive_buffer_ = std::move(other.receive_buffer_);
  }
  return *this;
}

NetStatus Association::open(const ClientOptions& options, std::vector<PresentationContextRequest> contexts,
                            Association& out) {
  out = Association{};
  if (NetStatus status = check_request(options, contexts); !status.ok()) return status;
  Association association;
  association.response_timeout_ = options.response_timeout;
  association.max_pdu_length_ = options.max_pdu_length;
  if (NetStatus status = connect_to(options, association.fd_); !status.ok()) return status;

  AssociateRequest request;
  request.called_ae = options.called_ae;
  request.calling_ae = options.calling_ae;
  request.contexts = contexts;
  request.max_pdu_length = options.max_pdu_length;
  if (NetStatus status = association.send_pdu(build_associate_request(request)); !status.ok()) {
    return association.fail(std::move(status));
  }
  std::uint8_t type = 0;
  std::vector<std::uint8_t> body;
  if (NetStatus status = association.read_pdu(type, body); !status.ok()) return association.fail(std::move(status));
  switch (static_cast<PduType>(type)) {
    case PduType::associate_ac: break;
    case PduType::associate_rj: {
      AssociateReject reject;
      NetStatus status = parse_associate_reject(body, reject);
      association.close_socket();
      if (!status.ok()) return status;
      return net_failure(NetCode::rejected, reject_detail(reject));
    }
    case PduType::abort:
      association.close_socket();
      return net_failure(NetCode::aborted, abort_detail(body));
    default:
      return association.fail(net_failure(NetCode::malformed, "the answer to A-ASSOCIATE-RQ is PDU type " +
                                                                  std::to_string(type)),
                              abort_reason::kUnexpectedPdu);
  }
  if (NetStatus status = parse_associate_accept(body, association.accept_); !status.ok()) {
    status.detail = "A-ASSOCIATE-AC: " + status.detail;
    return association.fail(std::move(status), abort_reason::kInvalidParameter);
  }
  const std::uint32_t peer_limit = association.accept_.max_pdu_length;
  if (peer_limit != 0 && peer_limit < kPDataBodyOverhead + 2) {
    return association.fail(net_failure(NetCode::unsupported, "the peer's maximum PDU length leaves no room for data"));
  }
  // Fragments of even length only: strict peers refuse odd ones.
  const std::size_t room = peer_limit == 0 ? kMaxPdvData : std::min<std::size_t>(peer_limit - kPDataBodyOverhead, kMaxPdvData);
  association.pdv_data_limit_ = room & ~std::size_t{1};
  association.proposed_ = std::move(contexts);
  out = std::move(association);
  return {};
}

std::uint8_t Association::accepted_context(std::string_view sop_class, std::string_view transfer_syntax) const noexcept {
  for (const PresentationContextAccept& result : accept_.contexts) {
    if (result.result != ContextResult::acceptance || result.transfer_syntax != transfer_syntax) continue;
    for (const PresentationContextRequest& proposed : proposed_) {
      if (proposed.id != result.id || proposed.abstract_syntax != sop_class) continue;
      const auto& syntaxes = proposed.transfer_syntaxes;
      if (std::find(syntaxes.begin(), syntaxes.end(), transfer_syntax) != syntaxes.end()) return result.id;
    }
  }
  return 0;
}

NetStatus Association::echo(std::uint16_t& status) {
  if (!is_open()) return net_failure(NetCode::bad_argument, "the association is not open");
  std::uint8_t context_id = 0;
  for (const PresentationContextAccept& result : accept_.contexts) {
    if (result.result == ContextResult::acceptance &&
        accepted_context(kVerificationSopClass, result.transfer_syntax) == result.id) {
      context_id = result.id;
      break;
    }
  }
  if (context_id == 0) return net_failure(NetCode::refused, "the peer accepted no Verification context");
  Command response;
  if (NetStatus s = exchange(context_id, echo_request(next_message_id_++), {}, command_field::kCEchoRsp, response);
      !s.ok()) {
    return s;
  }
  status = response.status.value_or(status::kSuccess);
  return {};
}

NetStatus Association::store(std::span<const std::uint8_t> dataset, std::string_view sop_class,
                             std::string_view sop_instance, std::string_view transfer_syntax, std::uint16_t& status,
                             std::string& error_comment) {
  if (!is_open()) return net_failure(NetCode::bad_argument, "the association is not open");
  if (sop_class.empty() || sop_instance.empty()) {
    return net_failure(NetCode::bad_argument, "a C-STORE needs its SOP class and instance UIDs");
  }
  const std::uint8_t context_id = accepted_context(sop_class, transfer_syntax);
  if (context_id == 0) {
    return net_failure(NetCode::refused, "no accepted presentation context for " + std::string(sop_class) + " in " +
                                             std::string(transfer_syntax));
  }
  const Command request = store_request(next_message_id_++, std::string(sop_class), std::string(sop_instance));
  Command response;
  if (NetStatus s = exchange(context_id, request, dataset, command_field::kCStoreRsp, response); !s.ok()) return s;
  if (!response.status) return fail(net_failure(NetCode::malformed, "the C-STORE-RSP has no status"));
  status = *response.status;
  error_comment = std::move(response.error_comment);
  return {};
}

NetStatus Association::release() {
  if (!is_open()) return net_failure(NetCode::bad_argument, "the association is not open");
  if (NetStatus status = send_pdu(build_release_request()); !status.ok()) return fail(std::move(status));
  std::uint8_t type = 0;
  std::vector<std::uint8_t> body;
  while (true) {
    if (NetStatus status = read_pdu(type, body); !status.ok()) return fail(std::move(status));
    switch (static_cast<PduType>(type)) {
      case PduType::release_rp:
        close_socket();
        return {};
      case PduType::release_rq:  // both sides released at once: answer, then await our answer
        if (NetStatus status = send_pdu(build_release_response()); !status.ok()) return fail(std::move(status));
        break;
      case PduType::p_data_tf:  // late data of an operation already answered
        break;
      case PduType::abort:
        close_socket();
        return net_failure(NetCode::aborted, abort_detail(body));
      default:
        return fail(net_failure(NetCode::malformed, "the answer to A-RELEASE-RQ is PDU type " + std::to_string(type)),
                    abort_reason::kUnexpectedPdu);
    }
  }
}

void Association::abort() noexcept {
  if (!is_open()) return;
  const std::vector<std::uint8_t> pdu = build_abort(abort_reason::kUser);
  [[maybe_unused]] const NetStatus ignored = send_pdu(pdu);
  close_socket();
}

NetStatus Association::fail(NetStatus status, Abort how) {
  // A peer that aborted or went away hears nothing more.
  if (is_open() && status.code != NetCode::aborted) {
    const std::vector<std::uint8_t> pdu = build_abort(how);
    [[maybe_unused]] const NetStatus ignored = send_pdu(pdu);
  }
  close_socket();
  return status;
}

void Association::close_socket() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

NetStatus Association::send_pdu(std::span<const std::uint8_t> pdu) {
  iovec iov{const_cast<std::uint8_t*>(pdu.data()), pdu.size()};
  return write_all(fd_, &iov, 1);
}

NetStatus Association::send_pdvs(std::uint8_t context_id, bool command, std::span<const std::uint8_t> data) {
  // Data of odd length ends with one NUL: what a deflated stream is padded with, and what keeps the
  // last fragment even.
  static const std::uint8_t kPad = 0;
  const std::size_t total = data.size() + data.size() % 2;
  std::size_t pos = 0;
  do {
    const std::size_t size = std::min(pdv_data_limit_, total - pos);
    const std::size_t from_data = std::min(size, data.size() - pos);
    const bool last = size == total - pos;
    std::array<std::uint8_t, kPDataOverhead> header{};
    write_p_data_header(header.data(), context_id, command, last, static_cast<std::uint32_t>(size));
    std::array<iovec, 3> iov{iovec{header.data(), header.size()},
                             iovec{const_cast<std::uint8_t*>(data.data() + pos), from_data},
                             iovec{const_cast<std::uint8_t*>(&kPad), size - from_data}};
    if (NetStatus status = write_all(fd_, iov.data(), iov.size()); !status.ok()) return status;
    pos += size;
  } while (pos < total);
  return {};
}

NetStatus Association::read_pdu(std::uint8_t& type, std::vector<std::uint8_t>& body) {
  const Clock::time_point deadline = Clock::now() + response_timeout_;
  std::array<std::uint8_t, kPduHeaderSize> header{};
  if (NetStatus status = read_exact(fd_, header.data(), header.size(), deadline); !status.ok()) return status;
  const PduHeader parsed = read_pdu_header(header.data());
  const std::uint32_t data_limit = max_pdu_length_ == 0 ? kUnlimitedPduLimit : max_pdu_length_;
  const std::uint32_t limit =
      parsed.type == static_cast<std::uint8_t>(PduType::p_data_tf) ? data_limit : std::max(data_limit, kMinControlPduLimit);
  if (parsed.length > limit) {
    return net_failure(NetCode::too_large, "a PDU of " + std::to_string(parsed.length) + " bytes, past the limit of " +
                                               std::to_string(limit));
  }
  type = parsed.type;
  body.resize(parsed.length);
  return read_exact(fd_, body.data(), body.size(), deadline);
}

NetStatus Association::read_message(std::uint8_t context_id, Message& out) {
  std::uint8_t type = 0;
  std::vector<Pdv> pdvs;
  while (true) {
    if (NetStatus status = read_pdu(type, receive_buffer_); !status.ok()) return fail(std::move(status));
    switch (static_cast<PduType>(type)) {
      case PduType::p_data_tf: break;
      case PduType::abort:
        close_socket();
        return net_failure(NetCode::aborted, abort_detail(receive_buffer_));
      case PduType::associate_rq:
      case PduType::associate_ac:
      case PduType::associate_rj:
      case PduType::release_rq:
      case PduType::release_rp:
        return fail(net_failure(NetCode::malformed, "PDU type " + std::to_string(type) + " while a response was awaited"),
                    abort_reason::kUnexpectedPdu);
      default:
        return fail(net_failure(NetCode::malformed, "unknown PDU type " + std::to_string(type)),
                    abort_reason::kUnrecognizedPdu);
    }
    if (NetStatus status = parse_p_data(receive_buffer_, pdvs); !status.ok()) {
      status.detail = "P-DATA-TF: " + status.detail;
      return fail(std::move(status), abort_reason::kInvalidParameter);
    }
    for (const Pdv& pdv : pdvs) {
      if (pdv.context_id != context_id) {
        return fail(net_failure(NetCode::malformed, "a response PDV on presentation context " +
                                                        std::to_string(pdv.context_id) + ", not " +
                                                        std::to_string(context_id)));
      }
      if (pdv.command != !out.command_done) {
        return fail(net_failure(NetCode::malformed, out.command_done ? "a command fragment after the command's last"
                                                                     : "data before its command"));
      }
      if (pdv.command) {
        out.command_bytes.insert(out.command_bytes.end(), pdv.data.begin(), pdv.data.end());
        if (out.command_bytes.size() > kMaxCommandSet) {
          return fail(net_failure(NetCode::too_large, "a response command set past 64 KiB"));
        }
        if (!pdv.last) continue;
        out.command_done = true;
        if (NetStatus status = parse_command(out.command_bytes, out.command); !status.ok()) {
          status.detail = "response command: " + status.detail;
          return fail(std::move(status));
        }
        if (!out.command.has_data_set()) return {};
      } else if (pdv.last) {
        return {};  // a dataset with a response we answer nothing for: read and dropped
      }
    }
  }
}

NetStatus Association::exchange(std::uint8_t context_id, const Command& request, std::span<const std::uint8_t> dataset,
                                std::uint16_t response_field, Command& response) {
  const std::vector<std::uint8_t> command = encode_command(request);
  if (NetStatus status = send_pdvs(context_id, true, command); !status.ok()) return fail(std::move(status));
  if (request.has_data_set()) {
    if (NetStatus status = send_pdvs(context_id, false, dataset); !status.ok()) return fail(std::move(status));
  }
  Message message;
  if (NetStatus status = read_message(context_id, message); !status.ok()) return status;
  if (message.command.command_field != response_field) {
    return fail(net_failure(NetCode::malformed, "the response's command field is " +
                                                    std::to_string(message.command.command_field)));
  }
  if (message.command.message_id_responded != request.message_id) {
    return fail(net_failure(NetCode::malformed, "the response answers another message ID"));
  }
  response = std::move(message.command);
  return {};
}

NetStatus read_file_to_send(const std::string& path, FileToSend& out, std::size_t limit) {
  out = FileToSend{};
  out.path = path;
  if (NetStatus status = read_file_bytes(path, limit, out.bytes); !status.ok()) return status;
  const std::uint8_t* data = out.bytes.data();
  const std::size_t size = out.bytes.size();
  dicom::MetaResult meta = dicom::read_file_meta(data, size);
  // A meta group longer than the prefix: the whole file decides.
  if (!meta.ok() && size == limit && limit != kWholeFile) return read_file_to_send(path, out, kWholeFile);
  if (!meta.ok() && (meta.status.code == dicom::ReadCode::no_magic || meta.status.code == dicom::ReadCode::truncated)) {
    const dicom::MetaResult bare = dicom::read_meta_group_at(data, size, 0);  // a meta group without preamble
    if (bare.ok()) meta = bare;
  }
  if (!meta.ok()) {
    return net_failure(NetCode::bad_argument, path + ": not a DICOM Part 10 file (" + std::string(meta.status.detail) + ")",
                       meta.status.offset);
  }
  const dicom::FileMetaInfo& info = meta.info;
  const char* missing = info.sop_class_uid.empty()         ? "Media Storage SOP Class UID (0002,0002)"
                        : info.sop_instance_uid.empty()    ? "Media Storage SOP Instance UID (0002,0003)"
                        : info.transfer_syntax_uid.empty() ? "Transfer Syntax UID (0002,0010)"
                                                           : nullptr;
  if (missing != nullptr) return net_failure(NetCode::bad_argument, path + ": the file meta group has no " + missing);
  if (info.dataset_offset > size) return net_failure(NetCode::bad_argument, path + ": the file meta group overruns the file");
  out.sop_class = std::string(info.sop_class_uid);
  out.sop_instance = std::string(info.sop_instance_uid);
  out.transfer_syntax = std::string(info.transfer_syntax_uid);
  out.dataset_offset = static_cast<std::size_t>(info.dataset_offset);
  take_dataset_uids(out);
  return {};
}

std::vector<PresentationContextRequest> contexts_for(const std::vector<FileToSend>& files) {
  std::vector<PresentationContextRequest> contexts;
  for (const FileToSend& file : files) {
    const bool known = std::any_of(contexts.begin(), contexts.end(), [&file](const PresentationContextRequest& c) {
      return c.abstract_syntax == file.sop_class && c.transfer_syntaxes.front() == file.transfer_syntax;
    });
    if (known) continue;
    if (contexts.size() == kMaxPresentationContexts) break;
    contexts.push_back(PresentationContextRequest{static_cast<std::uint8_t>(2 * contexts.size() + 1), file.sop_class,
                                                  {file.transfer_syntax}});
  }
  return contexts;
}

}  // namespace zanthe::dicom_net

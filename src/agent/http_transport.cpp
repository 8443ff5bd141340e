#include "agent/http_transport.h"

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
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "agent/worker_pool.h"
#include "sockets/listening.h"

namespace zanthe::agent {

// --- request reading -------------------------------------------------------------------------------

namespace {

// Bytes a header line costs beyond its name and value (": " and CRLF), so the head limit counts
// what the peer sent rather than what it would take to store.
constexpr std::size_t kHeaderLineOverhead = 4;

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string_view HttpRequest::path() const {
  std::string_view view = target;
  return view.substr(0, view.find_first_of("?#"));
}

const HttpHeader* HttpRequest::find(std::string_view lower_name) const {
  for (const HttpHeader& header : headers) {
    if (header.name == lower_name) return &header;
  }
  return nullptr;
}

std::size_t HttpRequest::count(std::string_view lower_name) const {
  return static_cast<std::size_t>(
      std::count_if(headers.begin(), headers.end(), [&](const HttpHeader& header) { return header.name == lower_name; }));
}

std::string_view HttpRequest::header(std::string_view lower_name) const {
  const HttpHeader* found = find(lower_name);
  return found ? std::string_view(found->value) : std::string_view();
}

std::string HttpRequest::joined(std::string_view lower_name) const {
  std::string text;
  for (const HttpHeader& header : headers) {
    if (header.name != lower_name) continue;
    if (!text.empty()) text += ',';
    text += header.value;
  }
  return text;
}

HttpRequestReader::HttpRequestReader(std::size_t max_header_bytes, std::size_t max_body_bytes, HeadHandler on_head)
    : max_header_bytes_(max_header_bytes), max_body_bytes_(max_body_bytes), on_head_(std::move(on_head)) {
  http_parser_init(&parser_, HTTP_REQUEST);
  parser_.data = this;
}

std::size_t HttpRequestReader::feed(std::string_view bytes) {
  if (state_ != State::reading || bytes.empty()) return 0;
  const std::size_t used = http_parser_execute(&parser_, &settings(), bytes.data(), bytes.size());
  const auto error = HTTP_PARSER_ERRNO(&parser_);
  if (error == HPE_PAUSED) return used;  // a request is complete; the rest waits for take()
  if (error != HPE_OK && state_ == State::reading) {
    fail(error == HPE_HEADER_OVERFLOW ? 431 : 400);
  }
  return state_ == State::reading ? bytes.size() : used;
}

void HttpRequestReader::finish() {
  if (state_ != State::reading) return;
  http_parser_execute(&parser_, &settings(), nullptr, 0);
  if (HTTP_PARSER_ERRNO(&parser_) != HPE_OK && HTTP_PARSER_ERRNO(&parser_) != HPE_PAUSED && state_ == State::reading) {
    fail(400);
  }
  if (state_ == State::reading) state_ = State::finished;
}

HttpRequest HttpRequestReader::take() {
  HttpRequest request = std::move(request_);
  request_ = HttpRequest{};
  if (state_ != State::complete) return request;
  started_ = false;
  if (upgrade_) {
    state_ = State::finished;  // what follows speaks another protocol
    return request;
  }
  state_ = State::reading;
  http_parser_pause(&parser_, 0);
  return request;
}

int HttpRequestReader::fail(int status) {
  state_ = State::failed;
  failure_status_ = status;
  return -1;
}

bool HttpRequestReader::count_head_bytes(std::size_t length) {
  head_bytes_ += length;
  if (head_bytes_ <= max_header_bytes_) return true;
  fail(431);
  return false;
}

int HttpRequestReader::on_message_begin(http_parser* parser) {
  auto& self = *static_cast<HttpRequestReader*>(parser->data);
  self.request_ = HttpRequest{};
  self.head_bytes_ = 0;
  self.body_bytes_ = 0;
  self.body_action_ = BodyAction::keep;
  self.in_value_ = false;
  self.started_ = true;
  return 0;
}

int HttpRequestReader::on_url(http_parser* parser, const char* at, std::size_t length) {
  auto& self = *static_cast<HttpRequestReader*>(parser->data);
  if (!self.count_head_bytes(length)) return -1;
  self.request_.target.append(at, length);
  return 0;
}

int HttpRequestReader::on_header_field(http_parser* parser, const char* at, std::size_t length) {
  auto& self = *static_cast<HttpRequestReader*>(parser->data);
  if (self.in_value_ || self.request_.headers.empty()) {
    if (!self.count_head_bytes(kHeaderLineOverhead)) return -1;
    self.request_.headers.emplace_back();
    self.in_value_ = false;
  }
  if (!self.count_head_bytes(length)) return -1;
  std::string& name = self.request_.headers.back().name;
  for (std::size_t i = 0; i < length; ++i) name += lower_ascii(at[i]);
  return 0;
}

int HttpRequestReader::on_header_value(http_parser* parser, const char* at, std::size_t length) {
  auto& self = *static_cast<HttpRequestReader*>(parser->data);
  if (self.request_.headers.empty()) self.request_.headers.emplace_back();  // not reached: a value follows a name
  if (!self.count_head_bytes(length)) return -1;
  self.in_value_ = true;
  self.request_.headers.back().value.append(at, length);
  return 0;
}

int HttpRequestReader::on_headers_complete(http_parser* parser) {
  auto& self = *static_cast<HttpRequestReader*>(parser->data);
  HttpRequest& request = self.request_;
  for (HttpHeader& header : request.headers) {
    std::string_view value = trim(header.value);
    if (value.size() != header.value.size()) header.value = std::string(value);
  }
  request.method = parser->method;
  request.version_major = parser->http_major;
  request.version_minor = parser->http_minor;
  request.keep_alive = http_should_keep_alive(parser) != 0;
  self.upgrade_ = parser->upgrade != 0;
  if (self.upgrade_) request.keep_alive = false;
  if ((parser->flags & F_CONTENTLENGTH) && parser->content_length > self.max_body_bytes_) return self.fail(413);
  if (self.on_head_) self.body_action_ = self.on_head_(request);
  if (self.body_action_ == BodyAction::stop) return self.fail(0);
  return 0;
}

int HttpRequestReader::on_body(http_parser* parser, const char* at, std::size_t length) {
  auto& self = *static_cast<HttpRequestReader*>(parser->data);
  self.body_bytes_ += length;
  if (self.body_bytes_ > self.max_body_bytes_) return self.fail(413);
  if (self.body_action_ == BodyAction::keep) self.request_.body.append(at, length);
  return 0;
}

int HttpRequestReader::on_message_complete(http_parser* parser) {
  auto& self = *static_cast<HttpRequestReader*>(parser->data);
  self.state_ = State::complete;
  http_parser_pause(parser, 1);
  return 0;
}

const http_parser_settings& HttpRequestReader::settings() {
  static const http_parser_settings table = [] {
    http_parser_settings s{};
    http_parser_settings_init(&s);
    s.on_message_begin = &HttpRequestReader::on_message_begin;
    s.on_url = &HttpRequestReader::on_url;
    s.on_header_field = &HttpRequestReader::on_header_field;
    s.on_header_value = &HttpRequestReader::on_header_value;
    s.on_headers_complete = &HttpRequestReader::on_headers_complete;
    s.on_body = &HttpRequestReader::on_body;
    s.on_message_complete = &HttpRequestReader::on_message_complete;
    return s;
  }();
  return table;
}

// --- the transport ----------------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kEndpoint = "/mcp";
constexpr std::string_view kMetadataPath = "/.well-known/oauth-protected-resource";
constexpr std::string_view kMetadataPathForEndpoint = "/.well-known/oauth-protected-resource/mcp";
constexpr std::uint64_t kListenerTag = 0;
constexpr std::uint64_t kWakeTag = 1;
constexpr std::uint64_t kFirstConnectionTag = 2;
constexpr int kTickMs = 100;
constexpr std::size_t kReadChunk = 64u << 10;
constexpr std::size_t kReadBudgetPerWake = 256u << 10;
// A peer that does not read its answers: beyond this much unsent output no further request is
// read from it and progress notifications to it are dropped.
constexpr std::size_t kOutputHighWater = 4u << 20;
constexpr auto kLingerTime = std::chrono::seconds(2);

constexpr int kMissingRequiredCapability = -32021;

constexpr std::string_view kInvalidBodyMessage = "Body must be a single JSON-RPC request or notification object";
constexpr std::string_view kMissingEnvelopeMessage =
    "params._meta must be an object carrying the required 'io.modelcontextprotocol/protocolVersion' and "
    "'io.modelcontextprotocol/clientCapabilities' envelope keys";

// The HTTP status a JSON-RPC error is answered with where the protocol maps it (the 2026-07-28
// era, and errors found before any era is known); everything else is 200.
int status_for_error(int code) {
  switch (code) {
    case kParseError:
    case kInvalidRequest:
    case kInvalidParams:
    case kHeaderMismatch:
    case kMissingRequiredCapability:
    case kUnsupportedProtocolVersion:
      return 400;
    case kMethodNotFound:
      return 404;
    default:
      return 200;
  }
}

const char* reason_phrase(int status) {
  const char* text = http_status_str(static_cast<http_status>(status));
  return text ? text : "Unknown";
}

bool is_handshake_version(std::string_view version) {
  return std::find(std::begin(kHandshakeVersions), std::end(kHandshakeVersions), version) !=
         std::end(kHandshakeVersions);
}

// Lower-cased media types of an Accept or Content-Type value, without parameters.
std::vector<std::string> media_types(std::string_view value) {
  std::vector<std::string> types;
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    std::string_view item = value.substr(0, comma);
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    item = trim(item.substr(0, item.find(';')));
    std::string type;
    for (char c : item) type += lower_ascii(c);
    if (!type.empty()) types.push_back(std::move(type));
  }
  return types;
}

bool accepts_both_answer_types(std::string_view accept) {
  bool json = false;
  bool stream = false;
  for (const std::string& type : media_types(accept)) {
    json = json || type == "*/*" || type == "application/*" || type == "application/json";
    stream = stream || type == "*/*" || type == "text/*" || type == "text/event-stream";
  }
  return json && stream;
}

bool is_json_content_type(std::string_view content_type) {
  std::string_view type = trim(content_type.substr(0, content_type.find(';')));
  return iequals(type, "application/json");
}

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "localhost", "127.0.0.1" or "[::1]", then nothing or ":<port>".
bool names_loopback_authority(std::string_view authority) {
  for (std::string_view host : {std::string_view("localhost"), std::string_view("127.0.0.1"), std::string_view("[::1]")}) {
    if (authority.size() < host.size() || !iequals(authority.substr(0, host.size()), host)) continue;
    std::string_view rest = authority.substr(host.size());
    if (rest.empty() || (rest.front() == ':' && all_digits(rest.substr(1)))) return true;
  }
  return false;
}

bool is_loopback_origin(std::string_view origin) {
  for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
    if (origin.size() > scheme.size() && iequals(origin.substr(0, scheme.size()), scheme)) {
      return names_loopback_authority(origin.substr(scheme.size()));
    }
  }
  return false;
}

bool matches_allowed(std::string_view value, const std::vector<std::string>& allowed) {
  for (const std::string& entry : allowed) {
    std::string_view pattern = entry;
    if (value == pattern) return true;
    if (pattern.size() > 2 && pattern.substr(pattern.size() - 2) == ":*") {
      std::string_view base = pattern.substr(0, pattern.size() - 1);  // keeps the ':'
      if (value.size() > base.size() && value.substr(0, base.size()) == base && all_digits(value.substr(base.size()))) {
        return true;
      }
    }
  }
  return false;
}

// Equal in time that depends on the lengths only, so a wrong token tells nothing of a right one.
bool constant_time_equal(std::string_view a, std::string_view b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < b.size(); ++i) {
    const unsigned char left = a.empty() ? 0 : static_cast<unsigned char>(a[i % a.size()]);
    difference |= static_cast<unsigned char>(left ^ static_cast<unsigned char>(b[i]));
  }
  return difference == 0;
}

// The token of "Bearer <token>", or nullopt when the value is not one.
std::optional<std::string_view> bearer_token(std::string_view authorization) {
  constexpr std::string_view scheme = "bearer ";
  if (authorization.size() <= scheme.size() || !iequals(authorization.substr(0, scheme.size()), scheme)) {
    return std::nullopt;
  }
  std::string_view token = trim(authorization.substr(scheme.size()));
  if (token.empty()) return std::nullopt;
  return token;
}

int base64_digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Canonical padded base64, or nullopt.
std::optional<std::string> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    int pad = 0;
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const char c = text[at + i];
      int digit = 0;
      if (c == '=' && last && i >= 2) {
        ++pad;
      } else if (pad > 0 || (digit = base64_digit(c)) < 0) {
        return std::nullopt;
      }
      group = (group << 6) | static_cast<std::uint32_t>(digit);
    }
    if ((pad == 1 && (group & 0xffu)) || (pad == 2 && (group & 0xffffu))) return std::nullopt;
    bytes += static_cast<char>((group >> 16) & 0xffu);
    if (pad < 2) bytes += static_cast<char>((group >> 8) & 0xffu);
    if (pad < 1) bytes += static_cast<char>(group & 0xffu);
  }
  return bytes;
}

// An Mcp-Name value: verbatim, or the bytes of "=?base64?<payload>?=" (a value that is not plain
// printable ASCII); nullopt for a malformed wrapper, which then matches nothing.
std::optional<std::string> decode_header_value(std::string_view value) {
  constexpr std::string_view open = "=?base64?";
  constexpr std::string_view close = "?=";
  if (value.size() >= open.size() + close.size() && value.substr(0, open.size()) == open &&
      value.substr(value.size() - close.size()) == close) {
    return decode_base64(value.substr(open.size(), value.size() - open.size() - close.size()));
  }
  return std::string(value);
}

std::string chunk(std::string_view data) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string size;
  for (std::size_t n = data.size(); n > 0; n >>= 4) size.insert(size.begin(), kHex[n & 0xfu]);
  if (size.empty()) size = "0";
  std::string text;
  text.reserve(size.size() + data.size() + 4);
  text += size;
  text += "\r\n";
  text += data;
  text += "\r\n";
  return text;
}

// One server-sent event carrying a JSON-RPC message; a line break inside the text (a verbatim
// tool definition may hold one) starts another data line, which the reader joins back.
std::string sse_event(std::string_view message) {
  std::string event = "event: message\r\n";
  while (true) {
    const std::size_t end = message.find_first_of("\r\n");
    event += "data: ";
    event += message.substr(0, end);
    event += "\r\n";
    if (end == std::string_view::npos) break;
    message.remove_prefix(end + (message.substr(end, 2) == "\r\n" ? 2 : 1));
  }
  event += "\r\n";
  return event;
}

// A complete answer that is not a JSON-RPC message (or is one the transport composed itself).
struct Reply {
  int status = 200;
  std::string content_type;  // empty: no body header
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;  // close the connection after it
};

// A JSON-RPC error the transport answers with itself.
struct Refusal {
  std::string id = "null";
  int code = kInvalidRequest;
  std::string message;
  std::string data;
};

Reply text_reply(int status, std::string_view text) {
  Reply reply;
  reply.status = status;
  reply.content_type = "text/plain; charset=utf-8";
  reply.body = text;
  return reply;
}

Reply jsonrpc_reply(int status, std::string message) {
  Reply reply;
  reply.status = status;
  reply.content_type = "application/json";
  reply.body = std::move(message);
  return reply;
}

std::string render(const Reply& reply, bool keep_alive) {
  std::string text = "HTTP/1.1 ";
  text += std::to_string(reply.status);
  text += ' ';
  text += reason_phrase(reply.status);
  text += "\r\n";
  if (!reply.content_type.empty()) {
    text += "Content-Type: ";
    text += reply.content_type;
    text += "\r\n";
  }
  for (const auto& [name, value] : reply.headers) {
    text += name;
    text += ": ";
    text += value;
    text += "\r\n";
  }
  text += "Content-Length: ";
  text += std::to_string(reply.body.size());
  text += keep_alive && !reply.close ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n";
  text += reply.body;
  return text;
}

// One request being answered. Shared between the I/O thread and the worker answering it; the
// worker reads only the fields fixed before it started, and `client_gone`.
struct InFlight {
  std::uint64_t connection = 0;
  std::atomic<bool> client_gone{false};
  // Set by whichever thread classifies the message (a worker, when a token check came first).
  std::atomic<bool> modern{false};        // statuses follow the error table
  std::atomic<bool> wants_stream{false};  // progress was asked for: notifications travel as events
  bool keep_alive = true;
  bool chunked = true;         // HTTP/1.1: the stream ends with a last chunk, else with the connection
  // I/O thread only.
  bool streaming = false;      // the event-stream head is sent
  Clock::time_point started;
  Clock::time_point last_event;
};

// What leaves a request for the I/O thread to write.
struct Delivery {
  enum class Kind : std::uint8_t { notification, response, reply };
  std::shared_ptr<InFlight> flight;
  Kind kind = Kind::reply;
  std::string message;  // notification and response
  int status = 200;     // response
  Reply reply;          // reply
};

// What a posted message needs once its head has been looked at: the body and the few headers the
// protocol compares with it. Owned by the job answering it.
struct Posted {
  std::string body;
  std::string scope;          // the Authorization value ("" without auth): separates clients' request ids
  std::string token;          // to verify on a worker; empty when already verified
  std::optional<Reply> refusal;  // decided from the head, told only once the token is verified
  std::string protocol_version;
  std::string method_header;
  std::string name_header;
  bool has_protocol_version = false;
  bool has_method = false;
  bool has_name = false;
  std::string_view duplicated;  // a routing header sent twice
};

class Connection {
 public:
  using Inspector = std::function<HttpRequestReader::BodyAction(Connection&, const HttpRequest&)>;

  Connection(std::uint64_t id_, int fd_, const HttpConfig& config, const Inspector& inspect)
      : id(id_),
        fd(fd_),
        reader(config.max_header_bytes, config.max_body_bytes,
               [this, &inspect](const HttpRequest& head) { return inspect(*this, head); }) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::uint64_t id;
  int fd;
  HttpRequestReader reader;
  std::string input;
  std::size_t input_used = 0;
  std::string output;
  std::size_t output_sent = 0;
  Clock::time_point last_activity = Clock::now();
  Clock::time_point request_started;
  bool timing_request = false;
  std::shared_ptr<InFlight> in_flight;
  Posted pending;  // what the head handler found in the request being read
  bool close_after_write = false;
  bool peer_done = false;  // the peer sent its last byte
  bool lingering = false;  // our side is shut; draining the peer's before closing
  Clock::time_point linger_until;
  std::uint32_t events = 0;

  [[nodiscard]] std::size_t unsent() const { return output.size() - output_sent; }
  [[nodiscard]] bool has_input() const { return input_used < input.size(); }
};

}  // namespace

struct HttpTransport::Impl {
  Impl(McpService& service_, HttpConfig config_)
      : service(service_),
        config(std::move(config_)),
        inspector([this](Connection& connection, const HttpRequest& head) { return inspect_head(connection, head); }) {}
  ~Impl();
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  class HttpExchange;
  class SilentExchange;

  std::string listen();
  void serve(const std::function<bool()>& interrupted);
  void shut_down();

  // Connections.
  void accept_all();
  Connection* find(std::uint64_t id);
  void on_event(std::uint64_t id, std::uint32_t events);
  void read_from(Connection& connection);
  void pump(std::uint64_t id);
  bool parse_available(Connection& connection);
  void flush(Connection& connection);
  void update_interest(Connection& connection);
  void close(std::uint64_t id);
  void sweep(Clock::time_point now);

  // Requests.
  HttpRequestReader::BodyAction inspect_head(Connection& connection, const HttpRequest& head);
  std::optional<Reply> refusal_for(const HttpRequest& head, Posted& posted) const;
  [[nodiscard]] Reply unauthorized(bool wrong_token) const;
  [[nodiscard]] bool is_static_token(std::string_view token) const;
  void on_request(Connection& connection, HttpRequest request);
  void answer_posted(const std::shared_ptr<InFlight>& flight, Posted& posted, bool on_worker);
  void answer_notification(const std::shared_ptr<InFlight>& flight, const Inbound& message, const Posted& posted,
                           bool modern, bool on_worker);
  void dispatch(const std::shared_ptr<InFlight>& flight, const Inbound& message, std::string_view scope,
                bool on_worker);
  bool token_verified(Posted& posted) const;
  void refuse(const std::shared_ptr<InFlight>& flight, const Refusal& refusal, bool on_worker);
  // `pending` keeps the request cancellable while it waits; empty when it is not classified yet.
  void to_worker(const std::shared_ptr<InFlight>& flight, Posted posted, std::shared_ptr<PendingCall> pending = {});

  // Answers.
  void deliver(Delivery delivery, bool on_worker);
  void reply(const std::shared_ptr<InFlight>& flight, Reply answer, bool on_worker);
  void drain_deliveries();
  void apply(Delivery delivery);
  void start_stream(Connection& connection, InFlight& flight);

  McpService& service;
  HttpConfig config;
  Connection::Inspector inspector;
  bool loopback = false;
  std::uint16_t bound_port = 0;
  int listener = -1;
  int epoll = -1;
  int wake = -1;
  bool listener_paused = false;
  std::atomic<bool> stopping{false};
  std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections;
  std::uint64_t next_id = kFirstConnectionTag;
  std::mutex deliveries_mutex;
  std::deque<Delivery> deliveries;
  std::unique_ptr<WorkerPool> workers;
};

// The exchange of one request: its answers go straight to the output on the I/O thread, through
// the delivery queue from a worker.
class HttpTransport::Impl::HttpExchange final : public Exchange {
 public:
  HttpExchange(Impl& impl, std::shared_ptr<InFlight> flight, bool on_worker)
      : impl_(impl), flight_(std::move(flight)), on_worker_(on_worker) {}

  void notify(std::string_view message) override {
    if (!flight_->wants_stream || responded_ || closed_by_client()) return;
    Delivery delivery;
    delivery.flight = flight_;
    delivery.kind = Delivery::Kind::notification;
    delivery.message = message;
    impl_.deliver(std::move(delivery), on_worker_);
  }

  void respond(std::string_view message, int error_code) override {
    if (responded_) return;
    responded_ = true;
    Delivery delivery;
    delivery.flight = flight_;
    delivery.kind = Delivery::Kind::response;
    delivery.message = message;
    delivery.status = flight_->modern && error_code != 0 ? status_for_error(error_code) : 200;
    impl_.deliver(std::move(delivery), on_worker_);
  }

  [[nodiscard]] bool closed_by_client() const override {
    return flight_->client_gone.load(std::memory_order_relaxed);
  }
  [[nodiscard]] bool responded() const { return responded_; }

 private:
  Impl& impl_;
  std::shared_ptr<InFlight> flight_;
  bool on_worker_;
  bool responded_ = false;
};

// For notifications, acknowledged with 202 before they are handed on: nothing may follow.
class HttpTransport::Impl::SilentExchange final : public Exchange {
 public:
  void notify(std::string_view) override {}
  void respond(std::string_view, int) override {}
};

HttpTransport::Impl::~Impl() {
  shut_down();
  if (listener >= 0) ::close(listener);
  if (epoll >= 0) ::close(epoll);
  if (wake >= 0) ::close(wake);
}

// --- listening -------------------------------------------------------------------------------------

namespace {

bool is_loopback_address(const sockaddr_storage& storage) {
  if (storage.ss_family == AF_INET) {
    sockaddr_in v4{};
    std::memcpy(&v4, &storage, sizeof v4);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (storage.ss_family == AF_INET6) {
    sockaddr_in6 v6{};
    std::memcpy(&v6, &storage, sizeof v6);
    return IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr);
  }
  return false;
}

std::string socket_failure(const char* what, int error) {
  if (error == EADDRINUSE) return "address in use";
  if (error == EACCES) return "permission denied";
  if (error == EADDRNOTAVAIL) return "address not available on this host";
  return std::string(what) + ": " + std::strerror(error);
}

}  // namespace

std::string HttpTransport::Impl::listen() {
  if (listener >= 0) return "already listening";
  std::string host = config.host;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const sockets::Listening listening = sockets::listen_tcp(host, config.port, SOMAXCONN);
  if (!listening.resolve_failure.empty()) return "cannot resolve host " + config.host + ": " + listening.resolve_failure;
  if (listening.fd < 0) return socket_failure("listen", listening.error);
  loopback = config.check_host.value_or(is_loopback_address(listening.address));
  bound_port = listening.port;
  listener = listening.fd;
  epoll = epoll_create1(EPOLL_CLOEXEC);
  wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epoll < 0 || wake < 0) return socket_failure("epoll", errno);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kListenerTag;
  epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
  event.data.u64 = kWakeTag;
  epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &event);
  return {};
}

// --- the loop ----------------------------------------------------------------------------------------

void HttpTransport::Impl::serve(const std::function<bool()>& interrupted) {
  if (listener < 0) return;
  workers = std::make_unique<WorkerPool>(config.workers, service.config().host_calls);
  std::array<epoll_event, 256> events{};
  Clock::time_point next_tick = Clock::now();
  while (!stopping.load()) {
    const int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), kTickMs);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < ready; ++i) {
      const epoll_event& event = events[static_cast<std::size_t>(i)];
      if (event.data.u64 == kListenerTag) {
        accept_all();
      } else if (event.data.u64 == kWakeTag) {
        sockets::drain_eventfd(wake);
        drain_deliveries();
      } else {
        on_event(event.data.u64, event.events);
      }
    }
    const Clock::time_point now = Clock::now();
    if (now >= next_tick) {
      next_tick = now + std::chrono::milliseconds(kTickMs);
      sweep(now);
      if (interrupted && interrupted()) break;
    }
  }
  shut_down();
}

void HttpTransport::Impl::shut_down() {
  std::vector<std::uint64_t> ids;
  ids.reserve(connections.size());
  for (const auto& entry : connections) ids.push_back(entry.first);
  for (std::uint64_t id : ids) close(id);
  workers.reset();  // waits for the running requests, each told its client is gone
  std::lock_guard lock(deliveries_mutex);
  deliveries.clear();
}

void HttpTransport::Impl::accept_all() {
  while (true) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: stop listening for a tick instead of spinning on the ready listener.
        epoll_ctl(epoll, EPOLL_CTL_DEL, listener, nullptr);
        listener_paused = true;
      }
      return;
    }
    if (connections.size() >= config.max_connections) {
      static constexpr std::string_view kBusy =
          "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nRetry-After: 1\r\nConnection: close\r\n\r\n";
      [[maybe_unused]] ssize_t sent = ::send(fd, kBusy.data(), kBusy.size(), MSG_NOSIGNAL);
      ::close(fd);
      continue;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const std::uint64_t id = next_id++;
    auto connection = std::make_unique<Connection>(id, fd, config, inspector);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = id;
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
      ::close(fd);
      continue;
    }
    connection->events = event.events;
    connections.emplace(id, std::move(connection));
  }
}

Connection* HttpTransport::Impl::find(std::uint64_t id) {
  auto found = connections.find(id);
  return found == connections.end() ? nullptr : found->second.get();
}

void HttpTransport::Impl::close(std::uint64_t id) {
  auto found = connections.find(id);
  if (found == connections.end()) return;
  Connection& connection = *found->second;
  if (connection.in_flight) connection.in_flight->client_gone.store(true);
  epoll_ctl(epoll, EPOLL_CTL_DEL, connection.fd, nullptr);
  ::close(connection.fd);
  connections.erase(found);
}

void HttpTransport::Impl::on_event(std::uint64_t id, std::uint32_t events) {
  Connection* connection = find(id);
  if (!connection) return;
  // A client that hangs up while its request runs has cancelled it.
  if ((events & (EPOLLERR | EPOLLHUP)) || ((events & EPOLLRDHUP) && connection->in_flight)) {
    close(id);
    return;
  }
  if (events & EPOLLOUT) {
    flush(*connection);
    if (!find(id)) return;
    pump(id);
    if (!(connection = find(id))) return;
  }
  if (events & (EPOLLIN | EPOLLRDHUP)) read_from(*connection);
}

void HttpTransport::Impl::read_from(Connection& connection) {
  const std::uint64_t id = connection.id;
  std::size_t budget = kReadBudgetPerWake;
  char buffer[kReadChunk];
  while (budget > 0) {
    const ssize_t got = ::recv(connection.fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      connection.last_activity = Clock::now();
      budget -= std::min(budget, static_cast<std::size_t>(got));
      if (!connection.lingering) connection.input.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got == 0) {
      connection.peer_done = true;
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    close(id);
    return;
  }
  if (connection.peer_done && (connection.lingering || connection.in_flight)) {
    close(id);
    return;
  }
  pump(id);
}

// Answers what the input holds and writes what the output holds, as far as each can go.
void HttpTransport::Impl::pump(std::uint64_t id) {
  while (Connection* connection = find(id)) {
    const bool held_back = parse_available(*connection);
    if (!(connection = find(id))) return;
    if (connection->peer_done && !connection->in_flight && !connection->has_input()) {
      connection->close_after_write = true;  // everything the peer sent is answered
    }
    flush(*connection);
    if (!(connection = find(id))) return;
    if (!held_back || connection->unsent() >= kOutputHighWater) {
      update_interest(*connection);
      return;
    }
  }
}

// Reads and answers the requests in the input until one is in flight, the connection is to close,
// or the output is over its mark (then true: more may follow once it drains).
bool HttpTransport::Impl::parse_available(Connection& connection) {
  bool held_back = false;
  while (!connection.in_flight && !connection.close_after_write && connection.has_input()) {
    if (connection.unsent() >= kOutputHighWater) {
      held_back = true;
      break;
    }
    const std::string_view rest = std::string_view(connection.input).substr(connection.input_used);
    connection.input_used += connection.reader.feed(rest);
    if (connection.reader.started() && !connection.timing_request) {
      connection.timing_request = true;
      connection.request_started = Clock::now();
    }
    switch (connection.reader.state()) {
      case HttpRequestReader::State::reading:
        break;
      case HttpRequestReader::State::complete:
        connection.timing_request = false;
        on_request(connection, connection.reader.take());
        break;
      case HttpRequestReader::State::failed: {
        connection.timing_request = false;
        const int status = connection.reader.failure_status();
        Reply answer;
        if (status == 0 && connection.pending.refusal) {
          answer = std::move(*connection.pending.refusal);
        } else {
          answer = text_reply(status == 0 ? 400 : status, status == 413   ? "Request body too large"
                                                          : status == 431 ? "Request header fields too large"
                                                                          : "Bad request");
        }
        answer.close = true;
        connection.output += render(answer, false);
        connection.close_after_write = true;
        break;
      }
      case HttpRequestReader::State::finished:
        connection.close_after_write = true;
        break;
    }
  }
  if (!connection.has_input()) {
    connection.input.clear();
    connection.input_used = 0;
  } else if (connection.input_used >= kReadChunk) {
    connection.input.erase(0, connection.input_used);
    connection.input_used = 0;
  }
  return held_back;
}

void HttpTransport::Impl::flush(Connection& connection) {
  const std::uint64_t id = connection.id;
  while (connection.unsent() > 0) {
    const ssize_t sent =
        ::send(connection.fd, connection.output.data() + connection.output_sent, connection.unsent(), MSG_NOSIGNAL);
    if (sent > 0) {
      connection.output_sent += static_cast<std::size_t>(sent);
      connection.last_activity = Clock::now();
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    close(id);
    return;
  }
  if (connection.unsent() > 0) {
    if (connection.output_sent >= kReadChunk) {
      connection.output.erase(0, connection.output_sent);
      connection.output_sent = 0;
    }
    update_interest(connection);
    return;
  }
  connection.output.clear();
  connection.output_sent = 0;
  if (connection.close_after_write && !connection.in_flight && !connection.lingering) {
    if (connection.peer_done) {
      close(id);
      return;
    }
    // Shut our side and drain theirs for a while: closing with their bytes unread would reset the
    // connection, and the client could lose the answer it has not read yet.
    ::shutdown(connection.fd, SHUT_WR);
    connection.lingering = true;
    connection.linger_until = Clock::now() + kLingerTime;
    connection.input.clear();
    connection.input_used = 0;
  }
  update_interest(connection);
}

void HttpTransport::Impl::update_interest(Connection& connection) {
  std::uint32_t wanted = 0;
  const bool reading = connection.lingering || (!connection.in_flight && !connection.close_after_write &&
                                                connection.unsent() < kOutputHighWater);
  if (!connection.peer_done) wanted |= EPOLLRDHUP | (reading ? EPOLLIN : 0u);
  if (connection.unsent() > 0) wanted |= EPOLLOUT;
  if (wanted == connection.events) return;
  epoll_event event{};
  event.events = wanted;
  event.data.u64 = connection.id;
  epoll_ctl(epoll, EPOLL_CTL_MOD, connection.fd, &event);
  connection.events = wanted;
}

void HttpTransport::Impl::sweep(Clock::time_point now) {
  if (listener_paused) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kListenerTag;
    epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    listener_paused = false;
  }
  const auto head_timeout = std::chrono::milliseconds(config.header_timeout_ms);
  const auto idle_timeout = std::chrono::milliseconds(config.idle_timeout_ms);
  const auto keepalive = std::chrono::milliseconds(config.stream_keepalive_ms);
  std::vector<std::uint64_t> expired;
  std::vector<std::uint64_t> to_write;
  for (auto& [id, owned] : connections) {
    Connection& connection = *owned;
    if (connection.lingering) {
      if (now >= connection.linger_until) expired.push_back(id);
    } else if (InFlight* flight = connection.in_flight.get()) {
      if (flight->wants_stream && !flight->streaming && now - flight->started >= keepalive) {
        start_stream(connection, *flight);  // a long silent call: keep the proxies in between from timing out
        to_write.push_back(id);
      } else if (flight->streaming && now - flight->last_event >= keepalive) {
        connection.output += flight->chunked ? chunk(": ping\r\n\r\n") : std::string(": ping\r\n\r\n");
        flight->last_event = now;
        to_write.push_back(id);
      }
    } else if (connection.timing_request && now - connection.request_started >= head_timeout) {
      // A client trickling its request ties up a connection; it gets a bounded time.
      connection.timing_request = false;
      Reply timeout = text_reply(408, "Request timeout");
      timeout.close = true;
      connection.output += render(timeout, false);
      connection.close_after_write = true;
      to_write.push_back(id);
    } else if (!connection.timing_request && now - connection.last_activity >= idle_timeout) {
      expired.push_back(id);
    }
  }
  for (std::uint64_t id : expired) close(id);
  for (std::uint64_t id : to_write) {
    if (Connection* connection = find(id)) flush(*connection);
  }
}

// --- requests ----------------------------------------------------------------------------------------

bool HttpTransport::Impl::is_static_token(std::string_view token) const {
  bool found = false;
  for (const std::string& known : config.bearer_tokens) found = constant_time_equal(token, known) || found;
  return found;
}

Reply HttpTransport::Impl::unauthorized(bool wrong_token) const {
  Reply reply;
  reply.status = 401;
  reply.content_type = "application/json";
  std::string challenge = "Bearer";
  if (wrong_token) challenge += " error=\"invalid_token\",";
  if (!config.resource_metadata_url.empty()) {
    challenge += " resource_metadata=\"";
    challenge += config.resource_metadata_url;
    challenge += '"';
  }
  if (challenge.back() == ',') challenge.pop_back();
  reply.headers.emplace_back("WWW-Authenticate", std::move(challenge));
  reply.body = wrong_token ? R"({"error":"invalid_token","error_description":"The access token is not valid"})"
                           : R"({"error":"invalid_token","error_description":"Authentication required"})";
  return reply;
}

// What the head alone decides: a refusal, or nothing (the body is then read and answered). Fills
// the headers `posted` needs later.
std::optional<Reply> HttpTransport::Impl::refusal_for(const HttpRequest& head, Posted& posted) const {
  const std::string_view path = head.path();
  const bool auth = config.auth_enabled();
  if (auth && (path == kMetadataPath || path == kMetadataPathForEndpoint)) {
    if (head.method != HTTP_GET) {
      Reply reply = text_reply(405, "Method not allowed");
      reply.headers.emplace_back("Allow", "GET");
      return reply;
    }
    Reply reply;
    reply.content_type = "application/json";
    reply.body = config.resource_metadata_json;
    return reply;
  }
  if (path != kEndpoint) return text_reply(404, "Not found");
  if (loopback && head.count("host") != 1) return text_reply(421, "Invalid Host header");
  if (loopback && !names_loopback_authority(head.header("host"))) return text_reply(421, "Invalid Host header");
  if (const HttpHeader* origin = head.find("origin")) {
    if (!is_loopback_origin(origin->value) && !matches_allowed(origin->value, config.allowed_origins)) {
      return text_reply(403, "Invalid Origin header");
    }
  }
  if (auth) {
    const std::string_view authorization = head.header("authorization");
    const std::optional<std::string_view> token = bearer_token(authorization);
    if (!token) return unauthorized(false);
    if (!is_static_token(*token)) {
      if (!config.verify_token) return unauthorized(true);
      posted.token = *token;  // asked on a worker before anything else is told
    }
    posted.scope = authorization;
  }
  if (head.method != HTTP_POST) {
    Reply reply = text_reply(405, "Method not allowed");
    reply.headers.emplace_back("Allow", "POST");
    return reply;
  }
  if (!is_json_content_type(head.header("content-type"))) {
    return text_reply(400, "Invalid Content-Type header");  // the status and text the SDK's own server gives
  }
  if (!accepts_both_answer_types(head.joined("accept"))) {
    return text_reply(406, "Not Acceptable: Client must accept both application/json and text/event-stream");
  }
  for (std::string_view routing : {std::string_view("mcp-protocol-version"), std::string_view("mcp-method"),
                                   std::string_view("mcp-name")}) {
    if (head.count(routing) > 1 && posted.duplicated.empty()) posted.duplicated = routing;
  }
  if (const HttpHeader* version = head.find("mcp-protocol-version")) {
    posted.has_protocol_version = true;
    posted.protocol_version = version->value;
  }
  if (const HttpHeader* method = head.find("mcp-method")) {
    posted.has_method = true;
    posted.method_header = method->value;
  }
  if (const HttpHeader* name = head.find("mcp-name")) {
    posted.has_name = true;
    posted.name_header = name->value;
  }
  return std::nullopt;
}

HttpRequestReader::BodyAction HttpTransport::Impl::inspect_head(Connection& connection, const HttpRequest& head) {
  connection.pending = Posted{};
  const bool expects_continue = iequals(head.header("expect"), "100-continue");
  connection.pending.refusal = refusal_for(head, connection.pending);
  if (connection.pending.refusal && head.method == HTTP_HEAD) {
    // An answer to HEAD has no body; with none, its length is 0 and the connection stays in step.
    connection.pending.refusal->body.clear();
    connection.pending.refusal->content_type.clear();
  }
  if (connection.pending.refusal) {
    // A client waiting for 100 Continue sends no body: answer now rather than wait for one. A
    // refusal that waits on a token check reads the body instead, so it tells nothing early.
    if (expects_continue && connection.pending.token.empty()) return HttpRequestReader::BodyAction::stop;
    return HttpRequestReader::BodyAction::discard;
  }
  if (expects_continue) connection.output += "HTTP/1.1 100 Continue\r\n\r\n";
  return HttpRequestReader::BodyAction::keep;
}

void HttpTransport::Impl::on_request(Connection& connection, HttpRequest request) {
  Posted posted = std::move(connection.pending);
  connection.pending = Posted{};
  auto flight = std::make_shared<InFlight>();
  flight->connection = connection.id;
  flight->keep_alive = request.keep_alive;
  flight->chunked = request.version_major > 1 || (request.version_major == 1 && request.version_minor >= 1);
  flight->started = Clock::now();
  connection.in_flight = flight;
  if (!posted.token.empty()) {
    posted.body = std::move(request.body);
    to_worker(flight, std::move(posted));
  } else if (posted.refusal) {
    reply(flight, std::move(*posted.refusal), false);
  } else {
    posted.body = std::move(request.body);
    answer_posted(flight, posted, false);
  }
}

void HttpTransport::Impl::to_worker(const std::shared_ptr<InFlight>& flight, Posted posted,
                                    std::shared_ptr<PendingCall> pending) {
  workers->submit([this, flight, posted = std::move(posted), pending = std::move(pending)]() mutable {
    if (flight->client_gone.load()) return;  // closed before its turn came
    answer_posted(flight, posted, true);
  });
}

namespace {

Refusal invalid_body() { return {"null", kInvalidRequest, std::string(kInvalidBodyMessage), {}}; }

Refusal unsupported_version(std::string_view requested) {
  std::string data = R"({"supported":)";
  data += kSupportedVersionsJson;
  data += R"(,"requested":)";
  append_json_quoted_utf8(data, requested);
  data += '}';
  return {"null", kUnsupportedProtocolVersion, "Unsupported protocol version", std::move(data)};
}

bool names_target(std::string_view method) {
  return method == "tools/call" || method == "prompts/get" || method == "resources/read";
}

std::string_view target_member(std::string_view method) { return method == "resources/read" ? "uri" : "name"; }

// A 2026-07-28 request repeats its version, method and name in headers, each sent once; the first
// that disagrees with the body is named.
std::optional<Refusal> routing_header_fault(const Inbound& message, const Posted& posted) {
  const auto mismatch = [&](std::string text) { return Refusal{message.id, kHeaderMismatch, std::move(text), {}}; };
  if (!message.modern) return Refusal{message.id, kInvalidParams, std::string(kMissingEnvelopeMessage), {}};
  if (!posted.duplicated.empty()) return mismatch(std::string(posted.duplicated) + " header appears more than once");
  if (!posted.has_protocol_version || posted.protocol_version != message.modern_version) {
    return mismatch("mcp-protocol-version header does not match the request envelope's protocol version");
  }
  if (!posted.has_method || posted.method_header != message.method) {
    return mismatch("mcp-method header does not match the request body's method");
  }
  if (names_target(message.method) && !message.target.empty()) {
    const std::optional<std::string> name = posted.has_name ? decode_header_value(posted.name_header) : std::nullopt;
    if (!name || *name != message.target) {
      return mismatch("mcp-name header does not match the request body's '" +
                      std::string(target_member(message.method)) + "' parameter");
    }
  }
  return std::nullopt;
}

// Parses into `arena_bytes`, which (with the body) the tree then points into.
JsonParseResult parse_body(std::string_view body, std::vector<std::uint8_t>& arena_bytes) {
  JsonParseResult parsed;
  for (std::size_t per_byte : {4u, 16u}) {
    arena_bytes.assign(per_byte * body.size() + 4096, 0);
    JsonArena arena{arena_bytes.data(), arena_bytes.size(), 0};
    parsed = parse_json(body, arena);
    if (parsed.ok || parsed.error != JsonError::out_of_arena) break;
  }
  return parsed;
}

Reply accepted() { return Reply{202, {}, {}, {}, false}; }

}  // namespace

bool HttpTransport::Impl::token_verified(Posted& posted) const {
  bool valid = false;
  try {
    valid = config.verify_token(posted.token);
  } catch (...) {
    valid = false;  // a checker that fails refuses
  }
  posted.token.clear();
  return valid;
}

void HttpTransport::Impl::refuse(const std::shared_ptr<InFlight>& flight, const Refusal& refusal, bool on_worker) {
  reply(flight,
        jsonrpc_reply(status_for_error(refusal.code),
                      error_response(refusal.id, refusal.code, refusal.message, refusal.data)),
        on_worker);
}

// Answers a posted message whose head passed: parses it, checks what its protocol era demands of
// the headers, and hands it to the service (on a worker when it runs host code).
void HttpTransport::Impl::answer_posted(const std::shared_ptr<InFlight>& flight, Posted& posted, bool on_worker) {
  if (!posted.token.empty()) {
    if (!token_verified(posted)) return reply(flight, unauthorized(true), on_worker);
    if (posted.refusal) return reply(flight, std::move(*posted.refusal), on_worker);
  }
  std::vector<std::uint8_t> arena_bytes;
  const JsonParseResult parsed = parse_body(posted.body, arena_bytes);
  if (!parsed.ok) return refuse(flight, {"null", kParseError, "Parse error", {}}, on_worker);
  if (parsed.value.kind != JsonKind::object) return refuse(flight, invalid_body(), on_worker);

  const Inbound message = classify_message(parsed.value);
  const bool both_eras = service.config().both_eras;
  const bool modern_header = posted.has_protocol_version && !is_handshake_version(posted.protocol_version);
  const bool modern = both_eras && (message.modern || modern_header);
  if (modern_header && !both_eras) {
    // Only the handshake revisions are served here, and the header names another.
    return refuse(flight, {"null", kInvalidRequest, "Bad Request: Unsupported protocol version", {}}, on_worker);
  }
  switch (message.kind) {
    case MessageKind::invalid:
      return refuse(flight, invalid_body(), on_worker);
    case MessageKind::response:  // a client's answer to a server request; this server sends none
      return modern ? refuse(flight, invalid_body(), on_worker) : reply(flight, accepted(), on_worker);
    case MessageKind::notification:
      return answer_notification(flight, message, posted, modern, on_worker);
    case MessageKind::request:
      break;
  }
  if (modern) {
    if (std::optional<Refusal> fault = routing_header_fault(message, posted)) return refuse(flight, *fault, on_worker);
  }
  flight->modern = modern;
  flight->wants_stream = !message.progress_token.empty();
  if (!on_worker && service.is_slow(message)) {
    return to_worker(flight, std::move(posted), service.expect(message, posted.scope));
  }
  dispatch(flight, message, posted.scope, on_worker);
}

// Acknowledged with 202 before the service sees it. At 2026-07-28 nothing is cancelled or acted on
// by a posted notification (a client cancels by closing), so it goes no further.
void HttpTransport::Impl::answer_notification(const std::shared_ptr<InFlight>& flight, const Inbound& message,
                                              const Posted& posted, bool modern, bool on_worker) {
  if (modern) {
    if (posted.protocol_version != kStatelessVersion) {
      return refuse(flight, unsupported_version(posted.protocol_version), on_worker);
    }
    return reply(flight, accepted(), on_worker);
  }
  reply(flight, accepted(), on_worker);
  SilentExchange silent;
  try {
    service.answer(message, silent, posted.scope);
  } catch (...) {
    // A notification has no answer to carry a failure.
  }
}

void HttpTransport::Impl::dispatch(const std::shared_ptr<InFlight>& flight, const Inbound& message,
                                   std::string_view scope, bool on_worker) {
  HttpExchange exchange(*this, flight, on_worker);
  try {
    service.answer(message, exchange, scope);
  } catch (...) {
    // Answered below, like a request the service left unanswered.
  }
  if (!exchange.responded()) {
    exchange.respond(error_response(message.id, kInternalError, "Internal error"), kInternalError);
  }
}

// --- answers -------------------------------------------------------------------------------------------

void HttpTransport::Impl::reply(const std::shared_ptr<InFlight>& flight, Reply answer, bool on_worker) {
  Delivery delivery;
  delivery.flight = flight;
  delivery.kind = Delivery::Kind::reply;
  delivery.reply = std::move(answer);
  deliver(std::move(delivery), on_worker);
}

void HttpTransport::Impl::deliver(Delivery delivery, bool on_worker) {
  if (!on_worker) return apply(std::move(delivery));
  {
    std::lock_guard lock(deliveries_mutex);
    deliveries.push_back(std::move(delivery));
  }
  sockets::signal_eventfd(wake);
}

void HttpTransport::Impl::drain_deliveries() {
  std::deque<Delivery> ready;
  {
    std::lock_guard lock(deliveries_mutex);
    ready.swap(deliveries);
  }
  for (Delivery& delivery : ready) {
    const std::uint64_t id = delivery.flight->connection;
    apply(std::move(delivery));
    pump(id);
  }
}

void HttpTransport::Impl::start_stream(Connection& connection, InFlight& flight) {
  connection.output +=
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache, no-transform\r\n"
      "X-Accel-Buffering: no\r\n";
  if (flight.chunked) connection.output += "Transfer-Encoding: chunked\r\n";
  const bool stays_open = flight.chunked && flight.keep_alive;
  connection.output += stays_open ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
  if (!flight.chunked) flight.keep_alive = false;  // the stream ends with the connection
  flight.streaming = true;
  flight.last_event = Clock::now();
}

// Writes one answer into its connection's output (when the request is still the one in flight
// there) and, for the final one, lets the connection read its next request.
void HttpTransport::Impl::apply(Delivery delivery) {
  Connection* connection = find(delivery.flight->connection);
  if (!connection || connection->in_flight != delivery.flight) return;
  InFlight& flight = *delivery.flight;
  switch (delivery.kind) {
    case Delivery::Kind::notification:
      if (connection->unsent() >= kOutputHighWater) return;  // a peer not reading loses progress, not answers
      if (!flight.streaming) start_stream(*connection, flight);
      connection->output += flight.chunked ? chunk(sse_event(delivery.message)) : sse_event(delivery.message);
      flight.last_event = Clock::now();
      return;
    case Delivery::Kind::response:
      if (flight.streaming) {
        connection->output += flight.chunked ? chunk(sse_event(delivery.message)) + "0\r\n\r\n"
                                             : sse_event(delivery.message);
      } else {
        connection->output += render(jsonrpc_reply(delivery.status, std::move(delivery.message)), flight.keep_alive);
      }
      break;
    case Delivery::Kind::reply:
      connection->output += render(delivery.reply, flight.keep_alive);
      if (delivery.reply.close) flight.keep_alive = false;
      break;
  }
  connection->in_flight.reset();
  if (!flight.keep_alive) connection->close_after_write = true;
}

// --- the public face -------------------------------------------------------------------------------------

HttpTransport::HttpTransport(McpService& service, HttpConfig config)
    : impl_(std::make_unique<Impl>(service, std::move(config))) {}

HttpTransport::~HttpTransport() = default;

std::string HttpTransport::listen() { return impl_->listen(); }

std::uint16_t HttpTransport::port() const { return impl_->bound_port; }

void HttpTransport::serve(const std::function<bool()>& interrupted) { impl_->serve(interrupted); }

void HttpTransport::stop() {
  impl_->stopping.store(true);
  if (impl_->wake >= 0) {
    sockets::signal_eventfd(impl_->wake);
  }
}

}  // namespace zanthe::agent

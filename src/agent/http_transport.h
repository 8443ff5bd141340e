// The Streamable HTTP transport of the MCP service: one endpoint, POST /mcp, on an epoll loop.
//
// One I/O thread (the one calling `serve`) accepts, reads, parses (with the system's http-parser)
// and writes; requests that run host code (`McpService::is_slow`) and token verification go to a
// worker pool, whose answers come back to the I/O thread through a queue and an eventfd. A
// connection reads no further request while one is being answered, so answers keep their order; a
// client that closes its connection meanwhile has cancelled its request.
//
// Both protocol eras are served statelessly: no Mcp-Session-Id is ever issued. Requests carrying
// the 2026-07-28 envelope must repeat its version, method and name in headers.
//
// Ownership: the caller owns the service and keeps it alive while the transport lives; the
// transport owns its sockets, threads and every buffer, each bounded per peer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <http_parser.h>

#include "agent/mcp_service.h"

namespace zanthe::agent {

struct HttpConfig {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;                    // 0: any free port
  std::vector<std::string> allowed_origins;  // beyond the loopback origins; "scheme://host:*" allows any port
  // Whether the Host header must name a loopback host; unset: when the bound address is loopback.
  // A relay in front (TLS) binds loopback for clients that are not, and says so here.
  std::optional<bool> check_host;
  std::vector<std::string> bearer_tokens;    // compared in constant time
  // Asked about a token none of `bearer_tokens` matches; may be empty. Called on a worker thread.
  std::function<bool(std::string_view token)> verify_token;
  std::string resource_metadata_json;  // served at /.well-known/oauth-protected-resource[/mcp] when auth is on
  std::string resource_metadata_url;   // named in WWW-Authenticate: Bearer resource_metadata="<url>"
  std::size_t max_body_bytes = 4u << 20;     // larger: 413
  std::size_t max_header_bytes = 64u << 10;  // larger: 431
  int header_timeout_ms = 10000;             // a request (head and body) must arrive within this, else 408
  int idle_timeout_ms = 60000;               // keep-alive connections idle longer are closed
  int stream_keepalive_ms = 15000;           // a silent event stream gets a comment this often; a request
                                             // asking for progress switches to a stream after this long
  std::size_t max_connections = 4096;        // beyond: 503 and close
  unsigned workers = 16;                     // threads answering slow requests (tool calls)

  [[nodiscard]] bool auth_enabled() const { return !bearer_tokens.empty() || static_cast<bool>(verify_token); }
};

struct HttpHeader {
  std::string name;  // lower case
  std::string value;  // without surrounding white space
};

struct HttpRequest {
  unsigned method = HTTP_GET;  // an http_method
  unsigned short version_major = 1;
  unsigned short version_minor = 1;
  std::string target;  // as sent: path and query
  std::vector<HttpHeader> headers;
  std::string body;    // empty when the head handler discarded it
  bool keep_alive = true;

  [[nodiscard]] std::string_view path() const;  // the target without its query
  [[nodiscard]] const HttpHeader* find(std::string_view lower_name) const;
  [[nodiscard]] std::size_t count(std::string_view lower_name) const;
  // The first value of a header, "" when absent.
  [[nodiscard]] std::string_view header(std::string_view lower_name) const;
  // Every value of a header joined with commas (a list header sent as several lines).
  [[nodiscard]] std::string joined(std::string_view lower_name) const;
};

// Reads requests one at a time from a connection's bytes. Bounded: the head by max_header_bytes
// (431), the body by max_body_bytes (413, decided from Content-Length before any of the body).
// Pipelined bytes after a complete request are left unread until `take`.
class HttpRequestReader {
 public:
  enum class State : std::uint8_t {
    reading,   // wants more bytes
    complete,  // a request is ready: take() it
    failed,    // malformed or over a limit: failure_status(), then close
    finished,  // no further request can follow on this connection (an upgrade)
  };
  enum class BodyAction : std::uint8_t {
    keep,     // read and keep the body
    discard,  // read the body but keep none of it (the request is refused anyway)
    stop,     // read nothing more: the reader fails with status 0 (the head handler answers)
  };
  // Called once a request's head is complete, before any of its body.
  using HeadHandler = std::function<BodyAction(const HttpRequest& head)>;

  HttpRequestReader(std::size_t max_header_bytes, std::size_t max_body_bytes, HeadHandler on_head = {});
  HttpRequestReader(const HttpRequestReader&) = delete;
  HttpRequestReader& operator=(const HttpRequestReader&) = delete;

  // Reads from `bytes` until a request is complete or reading fails; returns how many were used.
  // While reading, all of them are used.
  std::size_t feed(std::string_view bytes);
  // The peer sent its last byte.
  void finish();

  [[nodiscard]] State state() const { return state_; }
  // Some of the current request has arrived (its timeout runs).
  [[nodiscard]] bool started() const { return started_; }
  // 400 malformed, 413 body too large, 431 head too large; 0 when the head handler stopped it.
  [[nodiscard]] int failure_status() const { return failure_status_; }
  // The complete request; reading resumes with the next one.
  HttpRequest take();

 private:
  static const http_parser_settings& settings();
  static int on_message_begin(http_parser* parser);
  static int on_url(http_parser* parser, const char* at, std::size_t length);
  static int on_header_field(http_parser* parser, const char* at, std::size_t length);
  static int on_header_value(http_parser* parser, const char* at, std::size_t length);
  static int on_headers_complete(http_parser* parser);
  static int on_body(http_parser* parser, const char* at, std::size_t length);
  static int on_message_complete(http_parser* parser);

  bool count_head_bytes(std::size_t length);
  int fail(int status);

  http_parser parser_{};
  std::size_t max_header_bytes_;
  std::size_t max_body_bytes_;
  HeadHandler on_head_;
  HttpRequest request_;
  std::size_t head_bytes_ = 0;
  std::size_t body_bytes_ = 0;
  BodyAction body_action_ = BodyAction::keep;
  bool in_value_ = false;
  bool started_ = false;
  bool upgrade_ = false;
  State state_ = State::reading;
  int failure_status_ = 0;
};

class HttpTransport {
 public:
  HttpTransport(McpService& service, HttpConfig config);
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // Binds and listens; "" on success, else the reason (e.g. "address in use").
  std::string listen();
  [[nodiscard]] std::uint16_t port() const;
  // Serves until stop(); calls `interrupted` at least every 100 ms on the serving thread and stops
  // when it returns true. Returns once every running request has finished (they are told the
  // client is gone).
  void serve(const std::function<bool()>& interrupted);
  // From any thread.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zanthe::agent

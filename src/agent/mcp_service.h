// The MCP request answering shared by every transport, for both protocol eras on one server:
// the 2025 handshake revisions (initialize, then requests) and the stateless 2026-07-28 revision,
// where every request carries its own protocol version and client capabilities in params._meta.
//
// A transport reads a message, classifies it (`classify_message`), checks what its own framing
// demands (HTTP headers), and hands it to `McpService::answer` together with an `Exchange` through
// which the answer and any progress notifications leave. Slow requests (`is_slow`) are answered on
// a worker thread so the transport keeps reading: that is how a cancellation reaches a running call.
//
// Ownership: the caller owns the tool table and the texts of the configuration and keeps them alive
// while the service is used. `answer` may run on several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "agent/json_reader.h"
#include "agent/mcp_server.h"
#include "agent/tool_result.h"
#include "agent/worker_pool.h"

namespace zanthe::agent {

inline constexpr std::string_view kStatelessVersion = "2026-07-28";
inline constexpr std::string_view kProtocolVersionKey = "io.modelcontextprotocol/protocolVersion";
inline constexpr std::string_view kClientCapabilitiesKey = "io.modelcontextprotocol/clientCapabilities";
inline constexpr std::string_view kServerInfoKey = "io.modelcontextprotocol/serverInfo";
// The versions server/discover and an unsupported-version error name: the stateless revision first,
// then the handshake revisions, newest first.
inline constexpr std::string_view kSupportedVersionsJson =
    R"(["2026-07-28","2025-11-25","2025-06-18","2025-03-26","2024-11-05"])";

// JSON-RPC and MCP error codes a transport may need to answer with itself.
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kInternalError = -32603;
inline constexpr int kHeaderMismatch = -32020;
inline constexpr int kUnsupportedProtocolVersion = -32022;
// Answers a request the client cancelled; transports that can stay silent (stdio) drop it.
inline constexpr int kRequestCancelled = -32800;

enum class MessageKind : std::uint8_t { request, notification, response, invalid };

// What a transport needs to know of one parsed message before it is answered. Views point into the
// parsed tree (and so into the message text and its arena).
struct Inbound {
  MessageKind kind = MessageKind::invalid;
  std::string_view method;          // requests and notifications
  std::string id = "null";          // the id as it is echoed
  bool modern = false;              // params._meta names a protocol version: served statelessly
  std::string_view modern_version;  // that version, supported or not
  std::string progress_token;       // JSON text of params._meta.progressToken; empty without one
  std::string_view target;          // params.name of tools/call and prompts/get, params.uri of resources/read
  const JsonValue* root = nullptr;
};

[[nodiscard]] Inbound classify_message(const JsonValue& root);

// The transport's side of one message being answered, used only by the thread answering it.
class Exchange {
 public:
  virtual ~Exchange() = default;
  // A notification belonging to this request (progress). A transport that cannot carry it before
  // the response drops it.
  virtual void notify(std::string_view message) = 0;
  // The one response to a request. `error_code` is the JSON-RPC error code when it is an error, 0
  // for a result; HTTP picks its status from it.
  virtual void respond(std::string_view message, int error_code) = 0;
  // True once the client has given up on the request (closed its stream).
  [[nodiscard]] virtual bool closed_by_client() const { return false; }
};

// What a dispatch sees of the request it serves: its protocol era, progress and cancellation.
class CallContext {
 public:
  CallContext(Exchange& exchange, const Inbound& message, std::shared_ptr<std::atomic<bool>> cancel_flag);

  [[nodiscard]] bool modern() const { return modern_; }
  [[nodiscard]] std::string_view protocol_version() const { return protocol_version_; }
  [[nodiscard]] bool cancelled() const;
  // Sends notifications/progress when the request asked for progress with a token; else nothing.
  void report_progress(double progress, std::optional<double> total, std::string_view message);

 private:
  Exchange& exchange_;
  std::string progress_token_;
  std::string protocol_version_;
  bool modern_;
  std::shared_ptr<std::atomic<bool>> cancel_flag_;
};

// A tool call in a service: like ToolDispatch, with the call's context.
using ToolCallHandler =
    std::function<ToolResult(const ToolEntry& tool, const JsonValue* arguments, CallContext& call)>;

// A resources/* or prompts/* request: the result object's JSON text (ok) or the error object's
// ({"code":..,"message":..,"data":..}).
struct MethodAnswer {
  bool ok = false;
  int error_code = kInternalError;  // the error object's code, when not ok
  std::string body;
};
using MethodHandler = std::function<MethodAnswer(std::string_view method, const JsonValue* params, CallContext& call)>;

struct ServiceConfig {
  std::span<const ToolEntry> tools;
  ToolCallHandler call_tool;
  MethodHandler methods;                  // empty: resources/* and prompts/* are unknown methods
  std::string_view extra_capabilities;    // members added to "capabilities", e.g. "resources":{},"prompts":{}
  std::string_view server_name;
  std::string_view server_version;
  std::string_view instructions;          // optional guidance for the model, in initialize and server/discover
  std::int64_t list_ttl_ms = 60000;       // caching hint on the 2026-07-28 list and discover results
  // Around each run of host calls a worker makes back to back (see JobRunBracket); transports whose
  // answers never block the worker use it.
  JobRunBracket host_calls;
  // Serve requests carrying the 2026-07-28 envelope statelessly; false: the handshake era only, where
  // an envelope means nothing and server/discover is an unknown method.
  bool both_eras = true;
};

// In-flight requests by the key their cancellation names them with (transport scope + request id).
// A request is entered when it is read and again when it starts, so a cancellation that arrives
// while it waits for a worker is kept for it; each holder leaves once.
class CancelRegistry {
 public:
  std::shared_ptr<std::atomic<bool>> enter(const std::string& key);
  void leave(const std::string& key);
  void cancel(const std::string& key);

 private:
  struct Entry {
    std::shared_ptr<std::atomic<bool>> flag;
    int holders = 0;
  };
  std::mutex mutex_;
  std::unordered_map<std::string, Entry> running_;
};

// A request's place in the cancel registry from the moment it is read until it has been answered
// or dropped.
class PendingCall {
 public:
  PendingCall(CancelRegistry& registry, std::string key) : registry_(&registry), key_(std::move(key)) {
    registry_->enter(key_);
  }
  PendingCall(const PendingCall&) = delete;
  PendingCall& operator=(const PendingCall&) = delete;
  ~PendingCall() { registry_->leave(key_); }

 private:
  CancelRegistry* registry_;
  std::string key_;
};

class McpService {
 public:
  explicit McpService(ServiceConfig config);

  // Answers one message: exactly one `respond` for a request, none for a notification or response.
  // `scope` separates the request ids of different clients (a transport's own key for the client);
  // notifications/cancelled cancels the request of that id in the same scope.
  void answer(const Inbound& message, Exchange& exchange, std::string_view scope = {});

  // Holds a slow request's place while it waits for a worker (see CancelRegistry); keep the result
  // alive until the request has been answered or dropped.
  [[nodiscard]] std::shared_ptr<PendingCall> expect(const Inbound& message, std::string_view scope = {});

  // Requests that run host code (tools, resources, prompts) and so belong on a worker thread.
  [[nodiscard]] bool is_slow(const Inbound& message) const;
  // Whether the method is one this server answers in the message's era (for HTTP's 404).
  [[nodiscard]] bool knows_method(const Inbound& message) const;

  [[nodiscard]] const ServiceConfig& config() const { return config_; }

 private:
  struct Reply;

  void answer_method(const Inbound& message, const Reply& reply, std::string_view scope);
  void answer_host_call(const Inbound& message, const Reply& reply, std::string_view scope);
  void cancel(const Inbound& message, std::string_view scope);
  static std::string cancel_key(std::string_view scope, std::string_view id);

  ServiceConfig config_;
  CancelRegistry cancels_;
};

// A complete JSON-RPC error response: {"jsonrpc":"2.0","id":<id>,"error":{"code":..,"message":..[,"data":..]}}.
[[nodiscard]] std::string error_response(std::string_view id, int code, std::string_view message,
                                         std::string_view data_json = {});

}  // namespace zanthe::agent

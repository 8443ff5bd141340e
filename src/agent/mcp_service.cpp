#include "agent/mcp_service.h"

#include <charconv>
#include <cmath>

namespace zanthe::agent {
namespace {

constexpr std::string_view kRequestCancelledMessage = "Request cancelled";
constexpr std::string_view kMissingToolName = "missing tool name";
constexpr std::string_view kHandshakeMethodNotFound = "method not found";


bool is_resource_or_prompt_method(std::string_view method) {
  return method == "resources/list" || method == "resources/templates/list" || method == "resources/read" ||
         method == "prompts/list" || method == "prompts/get";
}

// Results a 2026-07-28 client may cache, and for how long they stay true.
enum class Caching : std::uint8_t { none, shared, per_caller };

Caching caching_of(std::string_view method) {
  if (method == "server/discover" || method == "tools/list" || method == "resources/list" ||
      method == "resources/templates/list" || method == "prompts/list") {
    return Caching::shared;
  }
  if (method == "resources/read") return Caching::per_caller;  // content may change between reads
  return Caching::none;
}

std::string number_json(double value) {
  if (!std::isfinite(value)) return "0";
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)error;
  return std::string(buffer, end);
}

const JsonValue* object_member(const JsonValue* object, std::string_view key) {
  return object && object->kind == JsonKind::object ? find_member(*object, key) : nullptr;
}

std::string_view string_member(const JsonValue* object, std::string_view key) {
  const JsonValue* value = object_member(object, key);
  return value && value->kind == JsonKind::string ? value->string() : std::string_view{};
}

std::string value_json(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::string: return json_quote(value.string());
    case JsonKind::integer: return std::to_string(value.payload.integer);
    case JsonKind::number: return number_json(value.payload.number);
    default: return id_text(&value);
  }
}

std::string response_text(std::string_view id, bool is_error, std::string_view body) {
  std::string message = R"({"jsonrpc":"2.0","id":)";
  message.reserve(message.size() + id.size() + body.size() + 12);
  message += id;
  message += is_error ? R"(,"error":)" : R"(,"result":)";
  message += body;
  message += '}';
  return message;
}

std::string error_body(int code, std::string_view message, std::string_view data_json = {}) {
  std::string body = R"({"code":)";
  body += std::to_string(code);
  body += R"(,"message":)";
  append_json_quoted_utf8(body, message);
  if (!data_json.empty()) {
    body += R"(,"data":)";
    body += data_json;
  }
  body += '}';
  return body;
}

const ToolEntry* find_tool(std::span<const ToolEntry> tools, std::string_view name) {
  for (const ToolEntry& tool : tools) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
}

// A definition goes out verbatim except for line breaks, which would split a stdio response line; in
// a definition that is valid JSON they can only stand between tokens, where a space means the same.
void append_definition(std::string& body, std::string_view definition) {
  for (char c : definition) body += (c == '\n' || c == '\r') ? ' ' : c;
}

std::string_view agreed_handshake_version(const JsonValue& root) {
  std::string_view proposed = string_member(find_member(root, "params"), "protocolVersion");
  if (proposed.empty()) return kDefaultProtocolVersion;
  for (std::string_view supported : kHandshakeVersions) {
    if (proposed == supported) return supported;
  }
  return kLatestHandshakeVersion;
}

}  // namespace

std::string error_response(std::string_view id, int code, std::string_view message, std::string_view data_json) {
  return response_text(id, true, error_body(code, message, data_json));
}

// --- classification ------------------------------------------------------------------------------

Inbound classify_message(const JsonValue& root) {
  Inbound message;
  message.root = &root;
  if (root.kind != JsonKind::object) return message;
  const JsonValue* id = find_member(root, "id");
  const JsonValue* method = find_member(root, "method");
  if (!method) {
    bool answers = find_member(root, "result") || find_member(root, "error");
    message.kind = answers && id ? MessageKind::response : MessageKind::invalid;
    return message;
  }
  if (method->kind != JsonKind::string) return message;
  message.method = method->string();
  message.kind = id ? MessageKind::request : MessageKind::notification;
  message.id = id_text(id);
  const JsonValue* params = find_member(root, "params");
  const JsonValue* meta = object_member(params, "_meta");
  if (const JsonValue* version = object_member(meta, kProtocolVersionKey)) {
    message.modern = true;
    if (version->kind == JsonKind::string) message.modern_version = version->string();
  }
  if (const JsonValue* token = object_member(meta, "progressToken")) {
    if (token->kind == JsonKind::string || token->kind == JsonKind::integer) message.progress_token = value_json(*token);
  }
  if (message.method == "tools/call" || message.method == "prompts/get") {
    message.target = string_member(params, "name");
  } else if (message.method == "resources/read") {
    message.target = string_member(params, "uri");
  }
  return message;
}

// --- calls -----------------------------------------------------------------------------------------

CallContext::CallContext(Exchange& exchange, const Inbound& message, std::shared_ptr<std::atomic<bool>> cancel_flag)
    : exchange_(exchange),
      progress_token_(message.progress_token),
      protocol_version_(message.modern ? std::string(message.modern_version) : std::string()),
      modern_(message.modern),
      cancel_flag_(std::move(cancel_flag)) {}

bool CallContext::cancelled() const {
  return (cancel_flag_ && cancel_flag_->load(std::memory_order_relaxed)) || exchange_.closed_by_client();
}

void CallContext::report_progress(double progress, std::optional<double> total, std::string_view message) {
  if (progress_token_.empty()) return;
  std::string note = R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":)";
  note += progress_token_;
  note += R"(,"progress":)";
  note += number_json(progress);
  if (total) {
    note += R"(,"total":)";
    note += number_json(*total);
  }
  if (!message.empty()) {
    note += R"(,"message":)";
    append_json_quoted_utf8(note, message);
  }
  note += "}}";
  exchange_.notify(note);
}

std::shared_ptr<std::atomic<bool>> CancelRegistry::enter(const std::string& key) {
  std::lock_guard lock(mutex_);
  Entry& entry = running_[key];
  if (!entry.flag) entry.flag = std::make_shared<std::atomic<bool>>(false);
  ++entry.holders;
  return entry.flag;
}

void CancelRegistry::leave(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto found = running_.find(key);
  if (found != running_.end() && --found->second.holders <= 0) running_.erase(found);
}

void CancelRegistry::cancel(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto found = running_.find(key);
  if (found != running_.end()) found->second.flag->store(true, std::memory_order_relaxed);
}

// --- the service -----------------------------------------------------------------------------------

// One request being answered: where its answer goes and how its results are dressed for its era.
struct McpService::Reply {
  const Inbound& message;
  Exchange& exchange;
  const ServiceConfig& config;

  void result(std::string_view body) const {
    if (!message.modern) {
      exchange.respond(response_text(message.id, false, body), 0);
      return;
    }
    exchange.respond(response_text(message.id, false, modern_result(body)), 0);
  }

  void error(int code, std::string_view text, std::string_view data_json = {}) const {
    exchange.respond(error_response(message.id, code, text, data_json), code);
  }

  // A stateless result names its type and the server that made it, and a cacheable one how long it
  // holds and for whom.
  std::string modern_result(std::string_view body) const {
    std::string dressed = R"({"resultType":"complete",)";
    Caching caching = caching_of(message.method);
    if (caching != Caching::none) {
      dressed += R"("ttlMs":)";
      dressed += std::to_string(caching == Caching::shared ? config.list_ttl_ms : 0);
      dressed += caching == Caching::shared ? R"(,"cacheScope":"public",)" : R"(,"cacheScope":"private",)";
    }
    dressed += R"("_meta":{")";
    dressed += kServerInfoKey;
    dressed += R"(":{"name":)";
    append_json_quoted(dressed, config.server_name);
    dressed += R"(,"version":)";
    append_json_quoted(dressed, config.server_version);
    dressed += "}}";
    std::string_view rest = body.size() >= 2 ? body.substr(1) : std::string_view("}");
    if (rest.find_first_not_of(" \t\r\n") != std::string_view::npos && rest.front() != '}') dressed += ',';
    dressed += rest;
    return dressed;
  }

  [[nodiscard]] bool refuses_envelope() const;
};

namespace {

std::string capabilities_json(const ServiceConfig& config) {
  std::string capabilities = R"({"tools":{"listChanged":false})";
  if (!config.extra_capabilities.empty()) {
    capabilities += ',';
    capabilities += config.extra_capabilities;
  }
  capabilities += '}';
  return capabilities;
}

void append_instructions(std::string& body, const ServiceConfig& config) {
  if (config.instructions.empty()) return;
  body += R"(,"instructions":)";
  append_json_quoted_utf8(body, config.instructions);
}

std::string initialize_body(const JsonValue& root, const ServiceConfig& config) {
  std::string body = R"({"protocolVersion":)";
  append_json_quoted(body, agreed_handshake_version(root));
  body += R"(,"capabilities":)";
  body += capabilities_json(config);
  body += R"(,"serverInfo":{"name":)";
  append_json_quoted(body, config.server_name);
  body += R"(,"version":)";
  append_json_quoted(body, config.server_version);
  body += '}';
  append_instructions(body, config);
  body += '}';
  return body;
}

std::string discover_body(const ServiceConfig& config) {
  std::string body = R"({"supportedVersions":)";
  body += kSupportedVersionsJson;
  body += R"(,"capabilities":)";
  body += capabilities_json(config);
  append_instructions(body, config);
  body += '}';
  return body;
}

std::string tools_list_body(std::span<const ToolEntry> tools, bool modern) {
  std::string body = R"({"tools":[)";
  for (std::size_t i = 0; i < tools.size(); ++i) {
    if (i > 0) body += ',';
    const ToolEntry& tool = tools[i];
    append_definition(body, modern && !tool.modern_definition.empty() ? tool.modern_definition : tool.definition);
  }
  body += "]}";
  return body;
}

}  // namespace

// Answers the envelope's own faults, before the method is looked at; false when it is sound.
bool McpService::Reply::refuses_envelope() const {
  const JsonValue* meta = object_member(find_member(*message.root, "params"), "_meta");
  if (!object_member(meta, kClientCapabilitiesKey)) {
    error(kInvalidParams, std::string("params._meta is missing the required envelope key(s): ") +
                                    std::string(kClientCapabilitiesKey));
    return true;
  }
  if (message.modern_version.empty()) {
    error(kInvalidParams, "the protocol-version envelope value must be a string");
    return true;
  }
  if (message.modern_version != kStatelessVersion) {
    std::string data = R"({"supported":)";
    data += kSupportedVersionsJson;
    data += R"(,"requested":)";
    append_json_quoted_utf8(data, message.modern_version);
    data += '}';
    error(kUnsupportedProtocolVersion, "Unsupported protocol version", data);
    return true;
  }
  return false;
}

McpService::McpService(ServiceConfig config) : config_(std::move(config)) {}

std::shared_ptr<PendingCall> McpService::expect(const Inbound& message, std::string_view scope) {
  return std::make_shared<PendingCall>(cancels_, cancel_key(scope, message.id));
}

bool McpService::is_slow(const Inbound& message) const {
  if (message.kind != MessageKind::request) return false;
  return message.method == "tools/call" || (config_.methods && is_resource_or_prompt_method(message.method));
}

bool McpService::knows_method(const Inbound& message) const {
  std::string_view method = message.method;
  if (method == "tools/list" || method == "tools/call") return true;
  if (config_.methods && is_resource_or_prompt_method(method)) return true;
  if (message.modern) return method == "server/discover";
  return method == "initialize" || method == "ping";
}

void McpService::answer(const Inbound& message, Exchange& exchange, std::string_view scope) {
  bool handshake_notice = message.kind == MessageKind::notification && message.method == "initialize";
  if (message.kind == MessageKind::notification && !handshake_notice) {
    if (message.method == "notifications/cancelled") cancel(message, scope);
    return;
  }
  // An initialize without an id is still answered (with id null); notifications/initialized never is.
  if ((message.kind != MessageKind::request && !handshake_notice) || message.method == "notifications/initialized") {
    return;
  }
  Reply reply{message, exchange, config_};
  bool modern = message.modern && config_.both_eras;
  if (modern && reply.refuses_envelope()) return;
  Inbound served = message;
  served.modern = modern;
  Reply dressed{served, exchange, config_};
  answer_method(served, dressed, scope);
}

void McpService::cancel(const Inbound& message, std::string_view scope) {
  const JsonValue* request_id = object_member(find_member(*message.root, "params"), "requestId");
  if (!request_id) return;
  cancels_.cancel(cancel_key(scope, id_text(request_id)));
}

std::string McpService::cancel_key(std::string_view scope, std::string_view id) {
  std::string key(scope);
  key += '\x1f';
  key += id;
  return key;
}

void McpService::answer_method(const Inbound& message, const Reply& reply, std::string_view scope) {
  std::string_view method = message.method;
  if (!knows_method(message)) {
    if (message.modern) {
      reply.error(kMethodNotFound, "Method not found", json_quote(method));
    } else {
      reply.error(kMethodNotFound, kHandshakeMethodNotFound);
    }
  } else if (method == "initialize") {
    reply.result(initialize_body(*message.root, config_));
  } else if (method == "ping") {
    reply.result("{}");
  } else if (method == "server/discover") {
    reply.result(discover_body(config_));
  } else if (method == "tools/list") {
    reply.result(tools_list_body(config_.tools, message.modern));
  } else {
    answer_host_call(message, reply, scope);
  }
}

void McpService::answer_host_call(const Inbound& message, const Reply& reply, std::string_view scope) {
  const JsonValue* params = find_member(*message.root, "params");
  const ToolEntry* tool = nullptr;
  if (message.method == "tools/call") {
    const JsonValue* name = object_member(params, "name");
    if (!name || name->kind != JsonKind::string) {
      reply.error(kInvalidParams, kMissingToolName);
      return;
    }
    tool = find_tool(config_.tools, name->string());
    if (!tool) {
      reply.error(kInvalidParams, "unknown tool " + std::string(name->string()));
      return;
    }
  }
  std::string key = cancel_key(scope, message.id);
  auto flag = cancels_.enter(key);
  CallContext call(reply.exchange, message, flag);
  if (call.cancelled()) {  // while it waited for a worker
    cancels_.leave(key);
    return reply.error(kRequestCancelled, kRequestCancelledMessage);
  }
  if (tool) {
    ToolResult result = config_.call_tool(*tool, object_member(params, "arguments"), call);
    cancels_.leave(key);
    if (flag->load()) return reply.error(kRequestCancelled, kRequestCancelledMessage);
    if (message.modern || !result.structured) return reply.result(render_tool_result(result));
    // A handshake-era client takes only an object as structured content.
    if (result.structured->empty() || result.structured->front() != '{') result.structured.reset();
    reply.result(render_tool_result(result));
    return;
  }
  MethodAnswer answer = config_.methods(message.method, params, call);
  cancels_.leave(key);
  if (flag->load()) return reply.error(kRequestCancelled, kRequestCancelledMessage);
  if (answer.ok) return reply.result(answer.body);
  reply.exchange.respond(response_text(message.id, true, answer.body), answer.error_code);
}


}  // namespace zanthe::agent

#include "agent/mcp_server.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>

#include "agent/mcp_service.h"
#include "agent/worker_pool.h"

namespace zanthe::agent {
namespace {

constexpr std::string_view kParseErrorBody = R"({"code":-32700,"message":"Parse error"})";
constexpr std::size_t kRetryArenaPerByte = 16;

void write_banner(std::string_view server_name, std::size_t tool_count, std::string_view eras) {
  std::string banner = "brellix mcp: ";
  banner += server_name;
  banner += " serving ";
  banner += std::to_string(tool_count);
  banner += " tools (JSON-RPC, MCP ";
  banner += eras;
  banner += ")\n";
  std::fwrite(banner.data(), 1, banner.size(), stderr);
}

std::string number_text(double value) {
  if (!std::isfinite(value)) return "null";  // JSON has no text for it
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)error;
  return std::string(buffer, end);
}

}  // namespace

std::string id_text(const JsonValue* id) {
  if (!id) return "null";
  switch (id->kind) {
    case JsonKind::boolean: return id->payload.boolean ? "true" : "false";
    case JsonKind::integer: return std::to_string(id->payload.integer);
    case JsonKind::number: return number_text(id->payload.number);
    case JsonKind::string: {
      std::string text;
      append_json_quoted_utf8(text, id->string());
      return text;
    }
    default: return "null";
  }
}

// Answers go out as lines; a request the client cancelled gets none, as the cancellation rules ask.
class McpServer::LineExchange final : public Exchange {
 public:
  explicit LineExchange(McpServer& server) : server_(server) {}
  void notify(std::string_view message) override { server_.write_line(message); }
  void respond(std::string_view message, int error_code) override {
    if (error_code != kRequestCancelled) server_.write_line(message);
  }

 private:
  McpServer& server_;
};

McpServer::McpServer(LineReader reader, LineWriter writer) : reader_(std::move(reader)), writer_(std::move(writer)) {}

void McpServer::write_line(std::string_view message) {
  std::lock_guard lock(write_mutex_);
  writer_(message);
}

void McpServer::write_response(std::string_view id, bool is_error, std::string_view body) {
  // One buffer serves every response, so a run of large responses does not allocate (and fault in)
  // fresh memory for each.
  std::lock_guard lock(write_mutex_);
  std::string& message = response_buffer_;
  message.assign(R"({"jsonrpc":"2.0","id":)");
  message.reserve(message.size() + id.size() + body.size() + 12);
  message += id;
  message += is_error ? R"(,"error":)" : R"(,"result":)";
  message += body;
  message += '}';
  writer_(message);
}

bool McpServer::parse_line(const std::string& line, std::vector<std::uint8_t>& arena_buffer, JsonParseResult& parsed) {
  JsonArena arena{arena_buffer.data(), arena_buffer.size(), 0};
  parsed = parse_json(line, arena);
  if (!parsed.ok && parsed.error == JsonError::out_of_arena) {
    // Only a line that does not fit the shared arena gets one of its own.
    arena_buffer.assign(kRetryArenaPerByte * line.size() + kLineArenaBytes, 0);
    JsonArena retry{arena_buffer.data(), arena_buffer.size(), 0};
    parsed = parse_json(line, retry);
  }
  if (parsed.ok) return true;
  write_response("null", true, kParseErrorBody);
  return false;
}

int McpServer::run(const ToolEntry* tools, std::size_t tool_count, const ToolDispatch& dispatch,
                   const ServerInfo& info, bool verbose) {
  if (verbose) write_banner(info.server_name, tool_count, kDefaultProtocolVersion);
  ServiceConfig config;
  config.tools = {tools, tool_count};
  config.call_tool = [&dispatch](const ToolEntry& tool, const JsonValue* arguments, CallContext&) {
    return dispatch(tool, arguments);
  };
  config.server_name = info.server_name;
  config.server_version = info.server_version;
  config.both_eras = false;
  McpService service(std::move(config));
  LineExchange exchange(*this);
  std::vector<std::uint8_t> arena(kLineArenaBytes);
  std::string line;
  JsonParseResult parsed;
  while (reader_(line)) {
    if (line.empty() || !parse_line(line, arena, parsed)) continue;
    service.answer(classify_message(parsed.value), exchange);
    if (arena.size() != kLineArenaBytes) arena.assign(kLineArenaBytes, 0);
  }
  return 0;
}

int McpServer::serve(McpService& service, unsigned workers, bool verbose) {
  if (verbose) write_banner(service.config().server_name, service.config().tools.size(), "2024-11-05 to 2026-07-28");
  LineExchange exchange(*this);
  std::vector<std::uint8_t> arena(kLineArenaBytes);
  std::string line;
  JsonParseResult parsed;
  // No host-call bracket here: a response written to a full pipe blocks, and the host's lock must not
  // be held then. Declared last: the pool's destructor waits for the calls still running.
  WorkerPool pool(workers);
  while (reader_(line)) {
    if (line.empty() || !parse_line(line, arena, parsed)) continue;
    Inbound message = classify_message(parsed.value);
    if (!service.is_slow(message)) {
      service.answer(message, exchange);
    } else {
      // The job parses its own copy: the tree read here points into this line and this arena.
      pool.submit([&service, &exchange, text = line, pending = service.expect(message)] {
        std::vector<std::uint8_t> own(kRetryArenaPerByte * text.size() + kLineArenaBytes);
        JsonArena job_arena{own.data(), own.size(), 0};
        JsonParseResult job = parse_json(text, job_arena);
        if (job.ok) service.answer(classify_message(job.value), exchange);
      });
    }
    if (arena.size() != kLineArenaBytes) arena.assign(kLineArenaBytes, 0);
  }
  return 0;
}

}  // namespace zanthe::agent

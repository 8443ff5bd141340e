#include "agent/mcp_server.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <span>
#include <vector>

namespace zanthe::agent {
namespace {

constexpr std::string_view kParseErrorBody = R"({"code":-32700,"message":"Parse error"})";
constexpr std::string_view kMethodNotFoundBody = R"({"code":-32601,"message":"method not found"})";
constexpr std::string_view kMissingToolNameBody = R"({"code":-32602,"message":"missing tool name"})";
constexpr std::size_t kRetryArenaPerByte = 16;

void write_banner(const ServerInfo& info, std::size_t tool_count) {
  std::string banner = "brellix mcp: ";
  banner += info.server_name;
  banner += " serving ";
  banner += std::to_string(tool_count);
  banner += " tools (JSON-RPC, MCP ";
  banner += kDefaultProtocolVersion;
  banner += ")\n";
  std::fwrite(banner.data(), 1, banner.size(), stderr);
}

std::string unknown_tool_body(std::string_view name) {
  std::string body = R"({"code":-32602,"message":"unknown tool )";
  append_json_escaped_utf8(body, name);
  body += "\"}";
  return body;
}

std::string number_text(double value) {
  if (!std::isfinite(value)) return "null";  // JSON has no text for it
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)error;
  return std::string(buffer, end);
}

// The proposed version when this server speaks it, else the latest it speaks.
std::string_view agreed_protocol_version(std::string_view proposed) {
  for (std::string_view supported : kHandshakeVersions) {
    if (proposed == supported) return supported;
  }
  return kLatestHandshakeVersion;
}

std::string_view requested_protocol_version(const JsonValue& root) {
  const JsonValue* params = find_member(root, "params");
  if (!params || params->kind != JsonKind::object || params->count == 0) return kDefaultProtocolVersion;
  const JsonValue* version = find_member(*params, "protocolVersion");
  if (!version || version->kind != JsonKind::string || version->count == 0) return kDefaultProtocolVersion;
  return agreed_protocol_version(version->string());
}

std::string initialize_body(const JsonValue& root, const ServerInfo& info) {
  std::string body = R"({"protocolVersion":)";
  append_json_quoted_utf8(body, requested_protocol_version(root));
  body += R"(,"capabilities":{"tools":{"listChanged":false}},"serverInfo":{"name":)";
  append_json_quoted(body, info.server_name);
  body += R"(,"version":)";
  append_json_quoted(body, info.server_version);
  body += "}}";
  return body;
}

// A definition goes out verbatim except for line breaks, which would split the response line; in a
// definition that is valid JSON they can only stand between tokens, where a space means the same.
void append_definition(std::string& body, std::string_view definition) {
  for (char c : definition) body += (c == '\n' || c == '\r') ? ' ' : c;
}

std::string tools_list_body(std::span<const ToolEntry> tools) {
  std::string body = R"({"tools":[)";
  for (std::size_t i = 0; i < tools.size(); ++i) {
    if (i > 0) body += ',';
    append_definition(body, tools[i].definition);
  }
  body += "]}";
  return body;
}

const ToolEntry* find_tool(std::span<const ToolEntry> tools, std::string_view name) {
  for (const ToolEntry& tool : tools) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
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

struct McpServer::Session {
  std::span<const ToolEntry> tools;
  const ToolDispatch& dispatch;
  const ServerInfo& info;
  std::vector<std::uint8_t> arena_buffer;
};

McpServer::McpServer(LineReader reader, LineWriter writer) : reader_(std::move(reader)), writer_(std::move(writer)) {}

int McpServer::run(const ToolEntry* tools, std::size_t tool_count, const ToolDispatch& dispatch,
                   const ServerInfo& info, bool verbose) {
  if (verbose) write_banner(info, tool_count);
  Session session{{tools, tool_count}, dispatch, info, std::vector<std::uint8_t>(kLineArenaBytes)};
  std::string line;
  while (reader_(line)) {
    if (!line.empty()) handle_line(line, session);
  }
  return 0;
}

void McpServer::write_response(std::string_view id, bool is_error, std::string_view body) {
  // One buffer serves every response, so a run of large responses does not allocate (and fault in)
  // fresh memory for each.
  std::string& message = response_buffer_;
  message.assign(R"({"jsonrpc":"2.0","id":)");
  message.reserve(message.size() + id.size() + body.size() + 12);
  message += id;
  message += is_error ? R"(,"error":)" : R"(,"result":)";
  message += body;
  message += '}';
  writer_(message);
}

void McpServer::handle_line(const std::string& line, Session& session) {
  JsonArena arena{session.arena_buffer.data(), session.arena_buffer.size(), 0};
  JsonParseResult parsed = parse_json(line, arena);
  std::vector<std::uint8_t> larger;  // only for a line that does not fit the shared arena
  if (!parsed.ok && parsed.error == JsonError::out_of_arena) {
    larger.resize(kRetryArenaPerByte * line.size() + kLineArenaBytes);
    JsonArena retry{larger.data(), larger.size(), 0};
    parsed = parse_json(line, retry);
  }
  if (!parsed.ok) {
    write_response("null", true, kParseErrorBody);
    return;
  }
  answer_parsed(parsed.value, session);
}

void McpServer::answer_parsed(const JsonValue& root, Session& session) {
  if (root.kind != JsonKind::object || root.count == 0) return;
  const JsonValue* id = find_member(root, "id");
  const JsonValue* method = find_member(root, "method");
  if (!method || method->kind != JsonKind::string) return;
  bool is_request = id != nullptr;
  std::string id_echo = id_text(id);
  std::string_view name = method->string();
  if (name == "initialize") {
    write_response(id_echo, false, initialize_body(root, session.info));
  } else if (!is_request || name == "notifications/initialized") {
    return;
  } else if (name == "ping") {
    write_response(id_echo, false, "{}");
  } else if (name == "tools/list") {
    write_response(id_echo, false, tools_list_body(session.tools));
  } else if (name == "tools/call") {
    answer_tool_call(root, id_echo, session);
  } else {
    write_response(id_echo, true, kMethodNotFoundBody);
  }
}

void McpServer::answer_tool_call(const JsonValue& root, std::string_view id, Session& session) {
  const JsonValue* params = find_member(root, "params");
  const JsonValue* name = params && params->kind == JsonKind::object ? find_member(*params, "name") : nullptr;
  if (!name || name->kind != JsonKind::string) {
    write_response(id, true, kMissingToolNameBody);
    return;
  }
  const ToolEntry* tool = find_tool(session.tools, name->string());
  if (!tool) {
    write_response(id, true, unknown_tool_body(name->string()));
    return;
  }
  const JsonValue* arguments = find_member(*params, "arguments");
  ToolResult result = session.dispatch(*tool, arguments);
  write_response(id, false, render_tool_result(result));
}

}  // namespace zanthe::agent

// Fuzz target for the MCP server loop: one input is a whole input stream, cut into lines at line
// feeds and served to the end (parse, classification, dispatch, rendering, the retry arena). The
// stub dispatch answers in every shape a host can: text, JSON objects, images, garbage, failures.
// Every response must be one line, be a JSON object, and no line may get more than one response.
// The same stream is served again by the two-era loop (2026-07-28 envelopes, progress, cancellation)
// with one worker, which must hold to the same rules, progress notifications aside.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/mcp_server.h"
#include "agent/mcp_service.h"

using namespace zanthe::agent;

namespace {

std::vector<std::string> split_lines(std::string_view stream) {
  std::vector<std::string> lines;
  while (!stream.empty()) {
    const std::size_t end = stream.find('\n');
    lines.emplace_back(stream.substr(0, end));
    stream = end == std::string_view::npos ? std::string_view() : stream.substr(end + 1);
  }
  return lines;
}

// Echoes the arguments' shape back so rendering sees every kind of output, JSON objects included.
std::string describe(const JsonValue* value) {
  if (!value) return "none";
  switch (value->kind) {
    case JsonKind::string: return std::string(value->string());
    case JsonKind::object: return "{\"members\":" + std::to_string(value->count) + "}";
    case JsonKind::array: {
      std::string text = "[";
      for (const JsonValue& item : value->array_items()) text += describe(&item) + ",";
      return text + "]";
    }
    default: return "scalar";
  }
}

ToolResult answer(const ToolEntry& tool, const JsonValue* arguments) {
  if (tool.name == "fail") return ToolResult{1, describe(arguments)};
  if (tool.name == "image") return ToolResult{0, "data:image/png;base64," + describe(arguments)};
  return ToolResult{0, describe(arguments)};
}

bool is_json_object_line(std::string_view message) {
  if (message.find_first_of("\r\n") != std::string_view::npos) return false;
  std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[16 * message.size() + 4096]);
  JsonArena arena{storage.get(), 16 * message.size() + 4096, 0};
  const JsonParseResult parsed = parse_json(message, arena);
  return parsed.ok && parsed.value.kind == JsonKind::object;
}

// A server reading `lines` in turn. Every message it writes must be one line holding a JSON object;
// each that is not a progress note counts in `responses`.
std::unique_ptr<McpServer> server_over(const std::vector<std::string>& lines, std::size_t& responses) {
  auto next = std::make_shared<std::size_t>(0);
  return std::make_unique<McpServer>(
      [&lines, next](std::string& line) {
        if (*next == lines.size()) return false;
        line = lines[(*next)++];
        return true;
      },
      [&responses](std::string_view message) {
        if (!is_json_object_line(message)) __builtin_trap();
        if (message.find("\"notifications/progress\"") == std::string_view::npos) ++responses;
      });
}

// Serves `lines` through the two-era loop; progress notes are counted apart from responses.
void serve_both_eras(const std::vector<std::string>& lines, const std::vector<ToolEntry>& tools) {
  std::size_t responses = 0;
  std::unique_ptr<McpServer> server = server_over(lines, responses);
  ServiceConfig config;
  config.tools = tools;
  config.call_tool = [](const ToolEntry& tool, const JsonValue* arguments, CallContext& call) {
    call.report_progress(1, 2, tool.name);
    ToolResult result = answer(tool, arguments);
    if (call.modern()) result.structured = "[1,\"two\"]";
    return result;
  };
  config.server_name = "fuzz";
  config.server_version = "0";
  McpService service(std::move(config));
  if (server->serve(service, 1, false) != 0 || responses > lines.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> lines = split_lines(std::string_view(reinterpret_cast<const char*>(data), size));
  std::size_t responses = 0;
  std::unique_ptr<McpServer> server = server_over(lines, responses);
  const std::vector<ToolEntry> tools{
      {"echo", "{\"name\":\"echo\"}", ""},
      {"fail", "{\"name\":\"fail\",\n\"inputSchema\":{}}", ""},
      {"image", "{\"name\":\"image\"}", ""},
  };
  ToolDispatch dispatch = answer;
  const int status = server->run(tools.data(), tools.size(), dispatch, ServerInfo{"fuzz", "0"}, false);
  if (status != 0 || responses > lines.size()) __builtin_trap();
  serve_both_eras(lines, tools);
  return 0;
}

// The MCP tool server loop: JSON-RPC 2.0 over an injected line source and sink.
//
// Ownership: the caller owns the tool table and the ServerInfo texts and keeps them alive for the
// whole run; the server owns its reader and writer and a 1 MiB parse arena for the length of `run`.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <mutex>
#include <vector>

#include "agent/json_reader.h"
#include "agent/tool_result.h"

namespace zanthe::agent {

struct ToolEntry {
  ToolEntry() = default;
  ToolEntry(std::string tool_name, std::string tool_definition, std::string tool_extra = {},
            std::string tool_modern_definition = {})
      : name(std::move(tool_name)),
        definition(std::move(tool_definition)),
        extra(std::move(tool_extra)),
        modern_definition(std::move(tool_modern_definition)) {}

  std::string name;
  std::string definition;  // the tool's complete tools/list element, inserted verbatim
  std::string extra;       // carried for the dispatch, never read by the server
  // The tools/list element for 2026-07-28 clients where it differs (an output schema that is not an
  // object); empty: the same as `definition`.
  std::string modern_definition;
};

// Fills `line` with the next input line without its line feed; false at the end of input.
using LineReader = std::function<bool(std::string& line)>;
// Emits one complete message as one line.
using LineWriter = std::function<void(std::string_view message)>;
// Runs one tool call; `arguments` is null when the request has none. Reports failures in the result.
using ToolDispatch = std::function<ToolResult(const ToolEntry& tool, const JsonValue* arguments)>;

struct ServerInfo {
  std::string_view server_name;
  std::string_view server_version;
};

inline constexpr std::string_view kDefaultProtocolVersion = "2025-06-18";
// The handshake revisions this server speaks; a client that proposes another is answered with the
// latest, as the lifecycle rules say (a server that echoed any text would claim a protocol it may
// not speak).
inline constexpr std::string_view kHandshakeVersions[] = {"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"};
inline constexpr std::string_view kLatestHandshakeVersion = "2025-11-25";
inline constexpr std::size_t kLineArenaBytes = 1u << 20;

// The text a JSON-RPC id is echoed with: "null" for absent, null and container ids, and for numbers
// that have no JSON text (non-finite); otherwise the shortest text that reads back as the same value.
[[nodiscard]] std::string id_text(const JsonValue* id);

class McpService;

class McpServer {
 public:
  McpServer(LineReader reader, LineWriter writer);

  // Serves the handshake era until the reader reports the end of input, then returns 0. Each line is
  // answered before the next is read.
  int run(const ToolEntry* tools, std::size_t tool_count, const ToolDispatch& dispatch, const ServerInfo& info,
          bool verbose);

  // Serves both eras through `service` until the end of input, then returns 0 once every request read
  // has been answered. Host calls run on `workers` threads while reading goes on, so a cancellation
  // reaches a running call, and their responses may leave out of order.
  int serve(McpService& service, unsigned workers, bool verbose);

  void write_response(std::string_view id, bool is_error, std::string_view body);

 private:
  class LineExchange;

  bool parse_line(const std::string& line, std::vector<std::uint8_t>& arena, JsonParseResult& parsed);
  void write_line(std::string_view message);

  LineReader reader_;
  LineWriter writer_;
  std::mutex write_mutex_;
  std::string response_buffer_;
};

}  // namespace zanthe::agent

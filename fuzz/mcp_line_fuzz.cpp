// Fuzz target for the MCP server: one input is one request line, run through the whole loop (parse,
// classification, dispatch with the arguments, rendering). Every response must be one line.
// Build as fuzz/dicom_reader_fuzz.cpp describes, with src/agent/*.cpp instead of src/dicom/*.cpp.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/mcp_server.h"

using namespace zanthe::agent;

namespace {

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> lines{std::string(reinterpret_cast<const char*>(data), size)};
  std::size_t next = 0;
  McpServer server(
      [&](std::string& line) {
        if (next == lines.size()) return false;
        line = lines[next++];
        return true;
      },
      [](std::string_view message) {
        for (char c : message) {
          if (c == '\n' || c == '\r') __builtin_trap();
        }
      });
  const std::vector<ToolEntry> tools{{"echo", "{\"name\":\"echo\"}", ""}};
  ToolDispatch dispatch = [](const ToolEntry&, const JsonValue* arguments) {
    return ToolResult{0, describe(arguments)};
  };
  return server.run(tools.data(), tools.size(), dispatch, ServerInfo{"fuzz", "0"}, false);
}

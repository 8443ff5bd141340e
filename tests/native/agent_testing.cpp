// Test-only view of the MCP engine: the JSON reader with a chosen arena, escaping, result rendering,
// and the server loop over an in-memory reader and writer.
//
// Parsed values come back in a shape that keeps everything the reader distinguishes: None, bool,
// int (integer kind), float (number kind), bytes (string), list (array), and for an object a tuple of
// (key bytes, value) pairs in document order, duplicates included.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/json_reader.h"
#include "agent/mcp_server.h"
#include "agent/tool_result.h"
#include "text/utf8.h"

namespace nb = nanobind;
using namespace zanthe::agent;

namespace {

nb::bytes to_bytes(std::string_view text) { return nb::bytes(text.data(), text.size()); }

nb::object to_test_value(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::null: return nb::none();
    case JsonKind::boolean: return nb::bool_(value.payload.boolean);
    case JsonKind::integer: return nb::int_(value.payload.integer);
    case JsonKind::number: return nb::float_(value.payload.number);
    case JsonKind::string: return to_bytes(value.string());
    case JsonKind::array: {
      nb::list items;
      for (const JsonValue& item : value.array_items()) items.append(to_test_value(item));
      return items;
    }
    case JsonKind::object: {
      nb::list members;
      for (const JsonMember& member : value.object_members()) {
        members.append(nb::make_tuple(to_bytes(member.key), to_test_value(member.value)));
      }
      return nb::tuple(members);
    }
  }
  return nb::none();
}

constexpr std::uint8_t kCanary = 0xA5;
constexpr std::size_t kGuardBytes = 64;

// (error name or "ok", value or None, arena bytes used). The arena starts `misalign` bytes past an
// 8-byte boundary and is fenced by guard bytes; a write outside it raises.
nb::tuple parse_with_arena(nb::bytes text, std::size_t capacity, std::size_t misalign) {
  if (misalign >= 8) throw std::invalid_argument("misalign must be below 8");
  std::vector<std::uint8_t> fenced(capacity + 2 * kGuardBytes, kCanary);
  std::uint8_t* start = fenced.data() + kGuardBytes - 8 + misalign;  // the vector's data is 8-aligned
  std::fill(start, start + capacity, std::uint8_t{0});
  JsonArena arena{capacity ? start : nullptr, capacity, 0};
  JsonParseResult parsed = parse_json({text.c_str(), text.size()}, arena);
  bool fence_intact = std::all_of(fenced.data(), start, [](std::uint8_t b) { return b == kCanary; }) &&
                      std::all_of(start + capacity, fenced.data() + fenced.size(),
                                  [](std::uint8_t b) { return b == kCanary; });
  if (!fence_intact) throw std::runtime_error("parse wrote outside its arena");
  if (!parsed.ok) return nb::make_tuple(json_error_name(parsed.error), nb::none(), arena.used);
  return nb::make_tuple("ok", to_test_value(parsed.value), arena.used);
}

nb::object find_member_in(nb::bytes text, nb::bytes key) {
  std::vector<std::uint8_t> buffer(kLineArenaBytes);
  JsonArena arena{buffer.data(), buffer.size(), 0};
  JsonParseResult parsed = parse_json({text.c_str(), text.size()}, arena);
  if (!parsed.ok) throw std::runtime_error("parse failed");
  const JsonValue* found = find_member(parsed.value, {key.c_str(), key.size()});
  return found ? to_test_value(*found) : nb::none();
}

using TestTool = std::tuple<nb::bytes, nb::bytes, nb::bytes>;

std::string as_string(const nb::bytes& bytes) { return {bytes.c_str(), bytes.size()}; }

// Runs the loop over `lines`; `dispatch(name, arguments)` answers each tool call with (code, output bytes).
nb::list run_server(std::vector<nb::bytes> lines, std::vector<TestTool> tools, nb::callable dispatch,
                    nb::bytes server_name, nb::bytes server_version, bool verbose) {
  std::vector<std::string> input;
  for (const nb::bytes& line : lines) input.push_back(as_string(line));
  std::vector<ToolEntry> table;
  for (const auto& [name, definition, extra] : tools) {
    table.push_back({as_string(name), as_string(definition), as_string(extra)});
  }
  std::size_t next = 0;
  nb::list written;
  McpServer server(
      [&](std::string& line) {
        if (next == input.size()) return false;
        line = input[next++];
        return true;
      },
      [&](std::string_view message) { written.append(to_bytes(message)); });
  ToolDispatch tool_dispatch = [&](const ToolEntry& tool, const JsonValue* arguments) {
    nb::object args = arguments ? to_test_value(*arguments) : nb::none();
    nb::tuple answer = nb::cast<nb::tuple>(dispatch(to_bytes(tool.name), args));
    return ToolResult{nb::cast<std::int32_t>(answer[0]), as_string(nb::cast<nb::bytes>(answer[1]))};
  };
  std::string name = as_string(server_name);
  std::string version = as_string(server_version);
  int code = server.run(table.data(), table.size(), tool_dispatch, ServerInfo{name, version}, verbose);
  if (code != 0) throw std::runtime_error("run returned non-zero");
  return written;
}

}  // namespace

NB_MODULE(_agent_testing, m) {
  m.attr("MAX_DEPTH") = kMaxJsonDepth;
  m.attr("LINE_ARENA_BYTES") = kLineArenaBytes;
  m.def("parse_json", &parse_with_arena, nb::arg("text"), nb::arg("capacity") = kLineArenaBytes,
        nb::arg("misalign") = 0);
  m.def("find_member", &find_member_in);
  m.def("json_escape", [](nb::bytes b) { return to_bytes(json_escape({b.c_str(), b.size()})); });
  m.def("json_quote", [](nb::bytes b) { return to_bytes(json_quote({b.c_str(), b.size()})); });
  m.def("json_escape_utf8", [](nb::bytes b) {
    std::string out;
    append_json_escaped_utf8(out, {b.c_str(), b.size()});
    return to_bytes(out);
  });
  m.def("is_valid_utf8", [](nb::bytes b) { return zanthe::text::is_valid_utf8({b.c_str(), b.size()}); });
  m.def("render_tool_result", [](std::int32_t code, nb::bytes output) {
    return to_bytes(render_tool_result({code, as_string(output)}));
  });
  m.def("render_content_block", [](nb::bytes b) { return to_bytes(render_content_block({b.c_str(), b.size()})); });
  m.def("render_structured_content",
        [](nb::bytes b) { return to_bytes(render_structured_content({b.c_str(), b.size()})); });
  m.def("run_server", &run_server, nb::arg("lines"), nb::arg("tools"), nb::arg("dispatch"),
        nb::arg("server_name") = nb::bytes("zanthe", 6), nb::arg("server_version") = nb::bytes("0.1", 3),
        nb::arg("verbose") = false);
}

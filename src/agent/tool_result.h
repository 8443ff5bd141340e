// Rendering of a tool's (code, output) pair as the body of an MCP tools/call result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zanthe::agent {

// What a tool call produced. Code 0 is success; any other code is reported as an error result.
struct ToolResult {
  ToolResult() = default;
  ToolResult(std::int32_t result_code, std::string result_output, std::optional<std::string> declared = std::nullopt)
      : code(result_code), output(std::move(result_output)), structured(std::move(declared)) {}

  std::int32_t code = 0;
  std::string output;
  // The structured content the tool declared (JSON text), which then replaces the one read off the
  // output; absent: an output that is one JSON object is also offered as structured content.
  std::optional<std::string> structured;
};

// Structured content is offered only for trimmed outputs up to this size.
inline constexpr std::size_t kMaxStructuredContentBytes = 4u << 20;

// {"content":[<block>],"isError":<flag><structured>}
[[nodiscard]] std::string render_tool_result(const ToolResult& result);

// An image block for a "data:image/...;base64,..." output, else a text block of the whole output.
[[nodiscard]] std::string render_content_block(std::string_view output);
// The same block, appended to `out`.
void append_content_block(std::string& out, std::string_view output);

// ,"structuredContent":<object> when the trimmed output is exactly one JSON object, else empty.
[[nodiscard]] std::string render_structured_content(std::string_view output);

}  // namespace zanthe::agent

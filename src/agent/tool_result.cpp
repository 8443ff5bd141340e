#include "agent/tool_result.h"

#include <memory>
#include <new>

#include "agent/json_reader.h"

namespace zanthe::agent {
namespace {

constexpr std::string_view kImagePrefix = "data:image/";
constexpr std::string_view kBase64Marker = ";base64,";
constexpr std::size_t kStructuredArenaPerByte = 16;
constexpr std::size_t kStructuredArenaExtra = 65536;

bool is_image_trailer(char c) { return c == ' ' || c == '\n' || c == '\r'; }
bool is_json_whitespace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

std::string_view trim_json_whitespace(std::string_view text) {
  while (!text.empty() && is_json_whitespace(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_json_whitespace(text.back())) text.remove_suffix(1);
  return text;
}

// True when the brackets of `text` close for the first time exactly at its last byte. Strings are
// skipped; "[" and "{" are not told apart, the parse that follows does that.
bool is_single_bracketed_value(std::string_view text) {
  bool in_string = false;
  bool escaped = false;
  std::size_t depth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      if (depth == 0 || --depth == 0) return i + 1 == text.size();
    }
  }
  return false;
}

bool parses_as_object(std::string_view text) {
  std::size_t capacity = kStructuredArenaPerByte * text.size() + kStructuredArenaExtra;
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[capacity]());
  JsonArena arena{buffer.get(), capacity, 0};
  JsonParseResult parsed = parse_json(text, arena);
  return parsed.ok && parsed.value.kind == JsonKind::object;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_number_start(char c) { return is_digit(c) || c == '-' || c == '+' || c == '.'; }
bool is_number_byte(char c) { return is_number_start(c) || c == 'e' || c == 'E'; }

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_standard_number(std::string_view token) {
  std::size_t at = 0;
  auto digits = [&] {
    std::size_t first = at;
    while (at < token.size() && is_digit(token[at])) ++at;
    return at > first;
  };
  if (at < token.size() && token[at] == '-') ++at;
  if (at < token.size() && token[at] == '0') {
    ++at;
  } else if (!digits()) {
    return false;
  }
  if (at < token.size() && token[at] == '.' && (++at, !digits())) return false;
  if (at < token.size() && (token[at] == 'e' || token[at] == 'E')) {
    ++at;
    if (at < token.size() && (token[at] == '+' || token[at] == '-')) ++at;
    if (!digits()) return false;
  }
  return at == token.size();
}

// Structured content goes out inside one response line that the client reads as standard JSON. The
// reader lets through raw control bytes in strings and numbers such as 007, +5, .5 and 1., which would
// make the client reject the whole response, so an object holding them is not offered; line breaks
// between tokens (pretty-printed output) become spaces. `text` has already parsed as one object.
bool to_standard_json_line(std::string_view text, std::string& line) {
  line.reserve(line.size() + text.size());
  bool in_string = false;
  bool escaped = false;
  for (std::size_t at = 0; at < text.size();) {
    char c = text[at];
    if (in_string) {
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '\n' || c == '\r') {
      c = ' ';
    } else if (is_number_start(c)) {
      std::size_t end = at;
      while (end < text.size() && is_number_byte(text[end])) ++end;
      if (!is_standard_number(text.substr(at, end - at))) return false;
      line.append(text.substr(at, end - at));
      at = end;
      continue;
    }
    line += c;
    ++at;
  }
  return true;
}

}  // namespace

void append_content_block(std::string& out, std::string_view output) {
  std::size_t significant = output.size();
  while (significant > 0 && is_image_trailer(output[significant - 1])) --significant;
  std::string_view head = output.substr(0, significant);
  std::size_t marker = head.find(kBase64Marker);
  if (significant >= kImagePrefix.size() && head.starts_with(kImagePrefix) && marker != std::string_view::npos) {
    out += "{\"type\":\"image\",\"mimeType\":";
    constexpr std::size_t kMediaTypeStart = 5;  // just after "data:"
    append_json_quoted(out, head.substr(kMediaTypeStart, marker - kMediaTypeStart));
    out += ",\"data\":";
    append_json_quoted(out, head.substr(marker + kBase64Marker.size()));
    out += '}';
    return;
  }
  out += "{\"type\":\"text\",\"text\":";
  append_json_quoted(out, output);
  out += '}';
}

std::string render_content_block(std::string_view output) {
  std::string block;
  append_content_block(block, output);
  return block;
}

std::string render_structured_content(std::string_view output) {
  std::string_view trimmed = trim_json_whitespace(output);
  if (trimmed.empty() || trimmed.size() > kMaxStructuredContentBytes) return {};
  if (trimmed.front() != '{' || !is_single_bracketed_value(trimmed)) return {};
  if (!parses_as_object(trimmed)) return {};
  std::string suffix = ",\"structuredContent\":";
  if (!to_standard_json_line(trimmed, suffix)) return {};
  return suffix;
}

std::string render_tool_result(const ToolResult& result) {
  std::string body = "{\"content\":[";
  append_content_block(body, result.output);
  body += "],\"isError\":";
  body += result.code == 0 ? "false" : "true";
  if (!result.structured) {
    body += render_structured_content(result.output);
  } else if (!result.structured->empty()) {
    body += ",\"structuredContent\":";
    body += *result.structured;
  }
  body += '}';
  return body;
}

}  // namespace zanthe::agent

// JSON reading into a caller-owned bump arena, member lookup, and JSON string quoting.
//
// Ownership: the caller owns the parsed text and the arena buffer. A parsed tree holds views into
// both (strings without escapes point into the text, tables and decoded strings into the arena), so
// it is valid only while neither changes. The reader never allocates on the heap and never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zanthe::agent {

enum class JsonKind : std::uint8_t { null, boolean, integer, number, string, array, object };

struct JsonMember;

struct JsonValue {
  JsonKind kind = JsonKind::null;
  std::size_t count = 0;  // bytes of a string, slots of an array or object
  union {
    bool boolean;
    std::int64_t integer;
    double number;
    const char* chars;
    const JsonValue* items;
    const JsonMember* members;
  } payload{};

  [[nodiscard]] std::string_view string() const { return {count ? payload.chars : "", count}; }
  [[nodiscard]] std::span<const JsonValue> array_items() const {
    return {count ? payload.items : nullptr, count};
  }
  [[nodiscard]] std::span<const JsonMember> object_members() const;
};

struct JsonMember {
  std::string_view key;
  JsonValue value;
};

inline std::span<const JsonMember> JsonValue::object_members() const {
  return {count ? payload.members : nullptr, count};
}

struct JsonArena {
  std::uint8_t* buffer = nullptr;
  std::size_t capacity = 0;
  std::size_t used = 0;  // fill mark
};

// The agent engine's one failure vocabulary. Its numbers are part of the reader's interface, and 0
// already names a failure (`empty`: nothing but white space), so success is told by `ok`, not by a
// zero code. Nothing else in the engine fails: the server answers every bad line with a JSON-RPC
// error body, and tool failures are results.
enum class JsonError : std::uint8_t {
  empty = 0,         // the text holds nothing but white space
  syntax = 1,        // anything malformed, nesting past kMaxJsonDepth included
  out_of_arena = 2,  // the arena is too small for the parsed tree
};

[[nodiscard]] const char* json_error_name(JsonError error);

// A value, or (ok false) the code of what went wrong; `error` is read only when ok is false.
struct JsonParseResult {
  JsonValue value;
  JsonError error = JsonError::syntax;
  bool ok = false;
};

// Deepest container nesting accepted; deeper input is a syntax error. Generous for real JSON
// Schemas, small enough that the recursive descent stays far from the stack's end.
inline constexpr int kMaxJsonDepth = 512;

// Reads one value from the start of `text`; whatever follows it is not looked at.
[[nodiscard]] JsonParseResult parse_json(std::string_view text, JsonArena& arena);

// The value of the first member named `key`, or nullptr (also when `value` is not an object).
[[nodiscard]] const JsonValue* find_member(const JsonValue& value, std::string_view key);

// `bytes` as the body of a JSON string literal (no quotes); bytes of 0x80 and above pass unchanged.
[[nodiscard]] std::string json_escape(std::string_view bytes);


// As append_json_escaped, but each byte that does not belong to a well-formed UTF-8 sequence is
// written as \ufffd. For request text echoed in a response: the reader passes such bytes through,
// and a response carrying them could not be decoded by the client.
void append_json_escaped_utf8(std::string& out, std::string_view bytes);
void append_json_quoted_utf8(std::string& out, std::string_view bytes);
void append_json_escaped(std::string& out, std::string_view bytes);

// `bytes` as a complete JSON string literal.
[[nodiscard]] std::string json_quote(std::string_view bytes);
void append_json_quoted(std::string& out, std::string_view bytes);

}  // namespace zanthe::agent

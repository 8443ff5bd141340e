// Fuzz target for the JSON reader and the tool-result rendering. The input is parsed into a tight
// and a roomy arena, quoted and read back, and rendered as a tool's output; every rendered body must
// be one line that the reader accepts as an object.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "agent/json_reader.h"
#include "agent/tool_result.h"

using namespace zanthe::agent;

namespace {

bool inside(std::string_view piece, const char* begin, std::size_t size) {
  return piece.empty() || (piece.data() >= begin && piece.size() <= size &&
                           piece.data() - begin <= static_cast<std::ptrdiff_t>(size - piece.size()));
}

// Every view of the tree lies in the text or in the arena, and nesting stays under the bound.
void check_tree(const JsonValue& value, std::string_view text, const JsonArena& arena, int depth) {
  if (depth > kMaxJsonDepth) __builtin_trap();
  const auto* arena_begin = reinterpret_cast<const char*>(arena.buffer);
  const auto in_text_or_arena = [&](std::string_view piece) {
    return inside(piece, text.data(), text.size()) || inside(piece, arena_begin, arena.used);
  };
  switch (value.kind) {
    case JsonKind::string:
      if (!in_text_or_arena(value.string())) __builtin_trap();
      break;
    case JsonKind::array:
      for (const JsonValue& item : value.array_items()) check_tree(item, text, arena, depth + 1);
      break;
    case JsonKind::object:
      for (const JsonMember& member : value.object_members()) {
        if (!in_text_or_arena(member.key)) __builtin_trap();
        check_tree(member.value, text, arena, depth + 1);
      }
      break;
    default: break;
  }
}

struct OwnedArena {
  explicit OwnedArena(std::size_t capacity)
      : storage(new std::uint8_t[capacity]), arena{storage.get(), capacity, 0} {}
  std::unique_ptr<std::uint8_t[]> storage;
  JsonArena arena;
};

JsonParseResult parse_in(std::string_view text, OwnedArena& owned) {
  owned.arena.used = 0;
  return parse_json(text, owned.arena);
}

void check_parse(std::string_view text) {
  OwnedArena tight(text.empty() ? 1 : (static_cast<unsigned char>(text[0]) % 64) + 1);
  (void)parse_in(text, tight);
  OwnedArena roomy(16 * text.size() + 4096);
  const JsonParseResult result = parse_in(text, roomy);
  if (result.ok) check_tree(result.value, text, roomy.arena, 0);
}

// Quoting any bytes gives a string literal that reads back as the same bytes.
void check_quote_round_trip(std::string_view bytes) {
  const std::string quoted = json_quote(bytes);
  OwnedArena arena(2 * quoted.size() + 64);
  const JsonParseResult result = parse_in(quoted, arena);
  if (!result.ok || result.value.kind != JsonKind::string || result.value.string() != bytes) __builtin_trap();
}

void check_rendered_body(std::string_view output, std::int32_t code) {
  const std::string body = render_tool_result(ToolResult{code, std::string(output)});
  if (body.find_first_of("\r\n") != std::string::npos) __builtin_trap();
  OwnedArena arena(16 * body.size() + 4096);
  const JsonParseResult result = parse_in(body, arena);
  if (!result.ok || result.value.kind != JsonKind::object) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exactly-sized copy, so that a read past the end is caught.
  std::unique_ptr<char[]> copy(new char[size == 0 ? 1 : size]);
  if (size > 0) std::memcpy(copy.get(), data, size);
  const std::string_view text(copy.get(), size);
  check_parse(text);
  check_quote_round_trip(text);
  check_rendered_body(text, size % 2 == 0 ? 0 : 1);
  return 0;
}

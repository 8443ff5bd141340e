#include "agent/json_reader.h"

#include "text/utf8.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

namespace zanthe::agent {
namespace {

constexpr std::size_t kSlotAlign = 8;
static_assert(alignof(JsonValue) <= kSlotAlign && alignof(JsonMember) <= kSlotAlign);
static_assert(sizeof(JsonValue) % kSlotAlign == 0 && sizeof(JsonMember) % kSlotAlign == 0);

constexpr std::size_t kMaxFloatToken = 63;

bool is_whitespace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_number_byte(unsigned char c) {
  return is_digit(c) || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

int hex_digit_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Padding that brings `offset` within `arena` to an address aligned for table slots.
std::size_t padding_for_slots(const JsonArena& arena, std::size_t offset) {
  auto address = reinterpret_cast<std::uintptr_t>(arena.buffer) + offset;
  return (kSlotAlign - address % kSlotAlign) % kSlotAlign;
}

// Recursive descent over one text. Finished tables and decoded strings grow from the arena's front
// (the fill mark); the elements of every open container wait on a scratch stack that grows down from
// the arena's end and move to an exact-size table at the front when their container closes. Each
// element is therefore copied once, and a parse costs time linear in the text, whatever its nesting.
class Parser {
 public:
  Parser(std::string_view text, JsonArena& arena)
      : cursor_(text.data()), end_(text.data() + text.size()), arena_(arena) {
    scratch_top_ = arena.buffer && arena.used <= arena.capacity ? scratch_floor(arena.capacity) : 0;
  }

  JsonParseResult parse_document() {
    skip_whitespace();
    if (cursor_ == end_) return failure(JsonError::empty);
    JsonValue value;
    if (!parse_value(value)) return failure(error_);
    return {value, JsonError::syntax, true};
  }

 private:
  const char* cursor_;
  const char* end_;
  JsonArena& arena_;
  std::size_t scratch_top_;  // offset of the lowest scratch byte in use
  int depth_ = 0;
  JsonError error_ = JsonError::syntax;

  static JsonParseResult failure(JsonError error) { return {JsonValue{}, error, false}; }

  bool fail(JsonError error) {
    error_ = error;
    return false;
  }

  // The highest slot-aligned offset at or below `offset`; 0 when none lies within the buffer (a small
  // arena that starts off a slot boundary).
  std::size_t scratch_floor(std::size_t offset) const {
    std::size_t misalignment = (reinterpret_cast<std::uintptr_t>(arena_.buffer) + offset) % kSlotAlign;
    return misalignment > offset ? 0 : offset - misalignment;
  }

  void skip_whitespace() {
    while (cursor_ != end_ && is_whitespace(static_cast<unsigned char>(*cursor_))) ++cursor_;
  }

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - cursor_); }

  // Front allocation; it may not reach into the scratch stack.
  void* allocate(std::size_t size, bool aligned) {
    if (!arena_.buffer || arena_.used > arena_.capacity) return nullptr;
    std::size_t start = arena_.used + (aligned ? padding_for_slots(arena_, arena_.used) : 0);
    if (start > scratch_top_ || size > scratch_top_ - start) return nullptr;
    arena_.used = start + size;
    return arena_.buffer + start;
  }

  template <typename Slot>
  bool push_scratch(const Slot& slot) {
    if (!arena_.buffer || scratch_top_ < arena_.used || sizeof(Slot) > scratch_top_ - arena_.used) {
      return fail(JsonError::out_of_arena);
    }
    scratch_top_ -= sizeof(Slot);
    std::memcpy(arena_.buffer + scratch_top_, &slot, sizeof(Slot));
    return true;
  }

  // Moves the `count` slots pushed since `mark` into an exact-size front table, in document order.
  template <typename Slot>
  const Slot* close_table(std::size_t mark, std::size_t count) {
    auto* pushed = reinterpret_cast<Slot*>(arena_.buffer + scratch_top_);
    std::reverse(pushed, pushed + count);  // the stack holds them last-first
    scratch_top_ = mark;
    void* table = allocate(count * sizeof(Slot), true);
    if (!table) return nullptr;
    std::memmove(table, pushed, count * sizeof(Slot));  // the regions may overlap
    return static_cast<const Slot*>(table);
  }

  bool parse_value(JsonValue& out) {
    if (cursor_ == end_) return fail(JsonError::syntax);
    switch (*cursor_) {
      case '"': return parse_string(out);
      case '[': return parse_array(out);
      case '{': return parse_object(out);
      case 't': return parse_literal("true", out, JsonKind::boolean, true);
      case 'f': return parse_literal("false", out, JsonKind::boolean, false);
      case 'n': return parse_literal("null", out, JsonKind::null, false);
      default: return parse_number(out);
    }
  }

  bool parse_literal(std::string_view word, JsonValue& out, JsonKind kind, bool truth) {
    if (remaining() < word.size() || std::string_view(cursor_, word.size()) != word) {
      return fail(JsonError::syntax);
    }
    cursor_ += word.size();
    out = JsonValue{};
    out.kind = kind;
    if (kind == JsonKind::boolean) out.payload.boolean = truth;
    return true;
  }

  bool parse_string(JsonValue& out) {
    std::string_view text;
    if (!parse_string_text(text)) return false;
    out = JsonValue{};
    out.kind = JsonKind::string;
    out.count = text.size();
    out.payload.chars = text.data();
    return true;
  }

  // The first `c` in [from, end), or nullptr.
  const char* find_char(const char* from, char c) const {
    if (from >= end_) return nullptr;
    return static_cast<const char*>(std::memchr(from, c, static_cast<std::size_t>(end_ - from)));
  }

  // Cursor on the opening quote; leaves it after the closing one.
  bool parse_string_text(std::string_view& text) {
    const char* body = cursor_ + 1;
    bool escaped = false;
    const char* quote = find_char(body, '"');
    // The first quote not skipped by a backslash ends the string. Each search starts where the
    // last one stopped, so the scan stays linear however many escapes the string holds.
    for (const char* scan = body;;) {
      if (!quote) return fail(JsonError::syntax);
      const auto* backslash = static_cast<const char*>(std::memchr(scan, '\\', static_cast<std::size_t>(quote - scan)));
      if (!backslash) break;
      escaped = true;
      if (end_ - backslash < 2) return fail(JsonError::syntax);
      scan = backslash + 2;
      if (scan > quote) quote = find_char(scan, '"');
    }
    cursor_ = quote + 1;
    std::string_view raw(body, static_cast<std::size_t>(quote - body));
    if (!escaped) {
      text = raw;
      return true;
    }
    auto* decoded = static_cast<char*>(allocate(raw.size(), false));
    if (!decoded) return fail(JsonError::out_of_arena);
    std::size_t length = 0;
    if (!decode_escapes(raw, decoded, length)) return fail(JsonError::syntax);
    text = std::string_view(decoded, length);
    return true;
  }

  static bool read_hex4(std::string_view raw, std::size_t at, std::uint32_t& unit) {
    if (raw.size() - at < 4) return false;
    unit = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      int digit = hex_digit_value(static_cast<unsigned char>(raw[at + i]));
      if (digit < 0) return false;
      unit = unit * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  static std::size_t write_utf8(std::uint32_t code_point, char* out) {
    if (code_point < 0x80) {
      out[0] = static_cast<char>(code_point);
      return 1;
    }
    if (code_point < 0x800) {
      out[0] = static_cast<char>(0xC0 | (code_point >> 6));
      out[1] = static_cast<char>(0x80 | (code_point & 0x3F));
      return 2;
    }
    if (code_point < 0x10000) {
      out[0] = static_cast<char>(0xE0 | (code_point >> 12));
      out[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      out[2] = static_cast<char>(0x80 | (code_point & 0x3F));
      return 3;
    }
    out[0] = static_cast<char>(0xF0 | (code_point >> 18));
    out[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 4;
  }

  // Decodes a "\uXXXX" escape (and the low half of a surrogate pair) starting at raw[at] == 'u'.
  // A lone surrogate is malformed. The UTF-8 written is never longer than the escape text read.
  static bool decode_unicode_escape(std::string_view raw, std::size_t& at, char* out, std::size_t& length) {
    std::uint32_t unit = 0;
    if (!read_hex4(raw, at + 1, unit)) return false;
    at += 5;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      std::uint32_t low = 0;
      if (raw.size() - at < 6 || raw[at] != '\\' || raw[at + 1] != 'u' || !read_hex4(raw, at + 2, low) ||
          low < 0xDC00 || low > 0xDFFF) {
        return false;
      }
      at += 6;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    length += write_utf8(unit, out + length);
    return true;
  }

  static bool decode_escapes(std::string_view raw, char* out, std::size_t& length) {
    std::size_t at = 0;
    while (at < raw.size()) {
      char c = raw[at];
      if (c != '\\') {
        out[length++] = c;
        ++at;
        continue;
      }
      ++at;  // the scanner guarantees a byte follows every backslash
      char escape = raw[at];
      char plain;
      switch (escape) {
        case '"': plain = '"'; break;
        case '\\': plain = '\\'; break;
        case '/': plain = '/'; break;
        case 'b': plain = '\b'; break;
        case 'f': plain = '\f'; break;
        case 'n': plain = '\n'; break;
        case 'r': plain = '\r'; break;
        case 't': plain = '\t'; break;
        case 'u':
          if (!decode_unicode_escape(raw, at, out, length)) return false;
          continue;
        default: return false;
      }
      out[length++] = plain;
      ++at;
    }
    return true;
  }

  bool parse_number(JsonValue& out) {
    const char* start = cursor_;
    if (*cursor_ == '-') ++cursor_;
    const char* token = cursor_;
    while (cursor_ != end_ && is_number_byte(static_cast<unsigned char>(*cursor_))) ++cursor_;
    if (cursor_ == token) return fail(JsonError::syntax);
    std::string_view digits(token, static_cast<std::size_t>(cursor_ - token));
    std::string_view whole(start, static_cast<std::size_t>(cursor_ - start));
    bool negative = start != token;
    bool integral = std::all_of(digits.begin(), digits.end(), [](char c) { return is_digit(c); });
    out = JsonValue{};
    if (integral) {
      std::int64_t value = 0;
      if (accumulate_integer(digits, negative, value)) {
        out.kind = JsonKind::integer;
        out.payload.integer = value;
        return true;
      }
      // Beyond the 64-bit range: a wrapped value would answer the wrong request, so read a double.
      out.kind = JsonKind::number;
      out.payload.number = read_long_integer_as_double(whole);
      return true;
    }
    double value = 0;
    if (!read_floating_token(whole, value)) return fail(JsonError::syntax);
    out.kind = JsonKind::number;
    out.payload.number = value;
    return true;
  }

  static bool accumulate_integer(std::string_view digits, bool negative, std::int64_t& value) {
    constexpr std::uint64_t kMaxMagnitude = std::uint64_t{1} << 63;
    std::uint64_t magnitude = 0;
    for (char c : digits) {
      auto digit = static_cast<std::uint64_t>(c - '0');
      if (magnitude > (kMaxMagnitude - digit) / 10) return false;
      magnitude = magnitude * 10 + digit;
    }
    if (!negative && magnitude == kMaxMagnitude) return false;
    value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
  }

  static double read_long_integer_as_double(std::string_view whole) {
    double value = 0;
    auto [end, error] = std::from_chars(whole.data(), whole.data() + whole.size(), value);
    (void)end;
    if (error == std::errc::result_out_of_range) {
      value = whole[0] == '-' ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }
    return value;
  }

  // Converted with from_chars rather than strtod: strtod follows the host's LC_NUMERIC, and a host that
  // sets a comma-decimal locale would have every fraction in a request refused.
  static bool read_floating_token(std::string_view whole, double& value) {
    if (whole.empty() || whole.size() > kMaxFloatToken) return false;
    std::size_t first = (whole[0] == '-' || whole[0] == '+') ? 1 : 0;
    if (first >= whole.size() || !(is_digit(static_cast<unsigned char>(whole[first])) || whole[first] == '.')) {
      return false;
    }
    std::string_view convertible = whole[0] == '+' ? whole.substr(1) : whole;  // from_chars takes no '+'
    const char* end = convertible.data() + convertible.size();
    auto [converted_end, error] = std::from_chars(convertible.data(), end, value);
    if (converted_end != end) return false;
    if (error == std::errc::result_out_of_range) value = out_of_range_value(whole);
    return error == std::errc{} || error == std::errc::result_out_of_range;
  }

  // What strtod gives for a token beyond the double range: an infinity when it overflows, a zero when it
  // underflows. A mantissa of at most 63 bytes lies between 1e-63 and 1e63, so only an exponent can
  // carry a token out of range, and its sign tells which way.
  static double out_of_range_value(std::string_view whole) {
    std::size_t exponent = whole.find_first_of("eE");
    bool underflow = exponent != std::string_view::npos && exponent + 1 < whole.size() && whole[exponent + 1] == '-';
    double magnitude = underflow ? 0.0 : std::numeric_limits<double>::infinity();
    return whole[0] == '-' ? -magnitude : magnitude;
  }

  bool enter_container() {
    if (depth_ >= kMaxJsonDepth) return fail(JsonError::syntax);
    ++depth_;
    ++cursor_;  // the opening bracket
    skip_whitespace();
    return true;
  }

  // After an element: true with `closed` set at the closing byte, true at a comma, else a syntax error.
  bool next_separator(char closing, bool& closed) {
    skip_whitespace();
    if (cursor_ == end_) return fail(JsonError::syntax);
    if (*cursor_ == closing) {
      ++cursor_;
      closed = true;
      return true;
    }
    if (*cursor_ != ',') return fail(JsonError::syntax);
    ++cursor_;
    skip_whitespace();
    closed = false;
    return true;
  }

  bool parse_element(JsonValue& element) { return parse_value(element); }

  bool parse_element(JsonMember& member) {
    if (cursor_ == end_ || *cursor_ != '"') return fail(JsonError::syntax);
    if (!parse_string_text(member.key)) return false;
    skip_whitespace();
    if (cursor_ == end_ || *cursor_ != ':') return fail(JsonError::syntax);
    ++cursor_;
    skip_whitespace();
    return parse_value(member.value);
  }

  // An array (Slot = JsonValue) or object (Slot = JsonMember); the cursor is on its opening byte.
  template <typename Slot>
  bool parse_container(JsonValue& out, JsonKind kind, char closing, const Slot*& table) {
    if (!enter_container()) return false;
    out = JsonValue{};
    out.kind = kind;
    if (cursor_ != end_ && *cursor_ == closing) {
      ++cursor_;
      --depth_;
      return true;
    }
    std::size_t mark = scratch_top_;
    std::size_t count = 0;
    for (bool closed = false; !closed;) {
      Slot element;
      if (!parse_element(element) || !push_scratch(element)) return false;
      ++count;
      if (!next_separator(closing, closed)) return false;
    }
    table = close_table<Slot>(mark, count);
    if (!table) return fail(JsonError::out_of_arena);
    out.count = count;
    --depth_;
    return true;
  }

  bool parse_array(JsonValue& out) {
    const JsonValue* items = nullptr;
    if (!parse_container(out, JsonKind::array, ']', items)) return false;
    out.payload.items = items;
    return true;
  }

  bool parse_object(JsonValue& out) {
    const JsonMember* members = nullptr;
    if (!parse_container(out, JsonKind::object, '}', members)) return false;
    out.payload.members = members;
    return true;
  }
};

constexpr char kHexDigits[] = "0123456789abcdef";

// Whether any of the eight bytes at p is below 0x20, a quote or a backslash, tested on all eight at
// once: a byte's high bit survives (b - n) & ~b only when b < n, and b ^ c is zero only when b == c.
bool any_byte_needs_escape(const char* p) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  const std::uint64_t quote = word ^ (kOnes * '"');
  const std::uint64_t backslash = word ^ (kOnes * '\\');
  const std::uint64_t below_space = (word - kOnes * 0x20) & ~word;
  const std::uint64_t zero_after_quote = (quote - kOnes) & ~quote;
  const std::uint64_t zero_after_backslash = (backslash - kOnes) & ~backslash;
  return ((below_space | zero_after_quote | zero_after_backslash) & kHighBits) != 0;
}

}  // namespace

const char* json_error_name(JsonError error) {
  switch (error) {
    case JsonError::empty: return "empty";
    case JsonError::syntax: return "syntax";
    case JsonError::out_of_arena: return "out_of_arena";
  }
  return "unknown";
}

JsonParseResult parse_json(std::string_view text, JsonArena& arena) { return Parser(text, arena).parse_document(); }

const JsonValue* find_member(const JsonValue& value, std::string_view key) {
  if (value.kind != JsonKind::object) return nullptr;
  for (const JsonMember& member : value.object_members()) {
    if (member.key == key) return &member.value;
  }
  return nullptr;
}

void append_json_escaped(std::string& out, std::string_view bytes) {
  out.reserve(out.size() + bytes.size());
  std::size_t clean_from = 0;  // bytes that need no escape are appended in whole runs
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    while (bytes.size() - i >= 8 && !any_byte_needs_escape(bytes.data() + i)) i += 8;
    if (i == bytes.size()) break;
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(bytes.data() + clean_from, i - clean_from);
    clean_from = i + 1;
    switch (byte) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default: {
        const char escape[] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(bytes.data() + clean_from, bytes.size() - clean_from);
}

std::string json_escape(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_json_escaped(out, bytes);
  return out;
}

void append_json_quoted(std::string& out, std::string_view bytes) {
  out += '"';
  append_json_escaped(out, bytes);
  out += '"';
}

void append_json_escaped_utf8(std::string& out, std::string_view bytes) {
  if (text::is_valid_utf8(bytes)) return append_json_escaped(out, bytes);
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = text::utf8_sequence_length(bytes, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    append_json_escaped(out, bytes.substr(at, length));
    at += length;
  }
}

void append_json_quoted_utf8(std::string& out, std::string_view bytes) {
  out += '"';
  append_json_escaped_utf8(out, bytes);
  out += '"';
}

std::string json_quote(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 2);
  append_json_quoted(out, bytes);
  return out;
}

}  // namespace zanthe::agent

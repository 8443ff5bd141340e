#include "dicom/character_sets.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "text/iconv_cache.h"
#include "text/utf8.h"

namespace zanthe::dicom {
namespace {

// ---------------------------------------------------------------------------------------------
// Conversion tables: glibc iconv, through the shared per-thread descriptors.

enum class Table : std::uint8_t {
  iso8859_1, iso8859_2, iso8859_3, iso8859_4, iso8859_5, iso8859_6, iso8859_7, iso8859_8,
  iso8859_9, iso8859_15, tis620, shift_jis, euc_jp, euc_kr, euc_cn, gb18030, gbk,
};

constexpr std::array<const char*, 17> kIconvNames = {
    "ISO-8859-1", "ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "ISO-8859-5", "ISO-8859-6",
    "ISO-8859-7", "ISO-8859-8", "ISO-8859-9", "ISO-8859-15", "TIS-620", "SHIFT_JIS",
    "EUC-JP", "EUC-KR", "EUC-CN", "GB18030", "GBK",
};

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Converts `bytes` with one table. A unit the table cannot decode becomes U+FFFD and decoding goes
// on after it: `error_unit` bytes for tables whose characters all have that width (so the rest stays
// aligned on character boundaries), the whole tail when the input ends inside a character.
// Returns true when something was replaced.
bool append_converted(Table table, std::string_view bytes, std::size_t error_unit, std::string& out) {
  if (bytes.empty()) return false;
  const iconv_t cd = text::converter_to_utf8(kIconvNames[static_cast<std::size_t>(table)]);
  if (cd == text::kNoConverter) {  // a C library without this gconv module: nothing can be read
    out.append(kReplacement);
    return true;
  }
  char* in = const_cast<char*>(bytes.data());  // iconv's prototype is not const-correct; it only reads
  std::size_t in_left = bytes.size();
  bool replaced = false;
  // A small fixed buffer keeps the cost of each call, and of each replaced unit, independent of how
  // much input is left.
  std::array<char, 1024> buffer;
  while (in_left > 0) {
    char* dst = buffer.data();
    std::size_t dst_left = buffer.size();
    const std::size_t rc = iconv(cd, &in, &in_left, &dst, &dst_left);
    const int error = errno;
    out.append(buffer.data(), buffer.size() - dst_left);
    if (rc != static_cast<std::size_t>(-1) || error == E2BIG) continue;
    out.append(kReplacement);
    replaced = true;
    const std::size_t skip = (error == EILSEQ) ? std::min(error_unit, in_left) : in_left;
    in += skip;
    in_left -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return replaced;
}

// ---------------------------------------------------------------------------------------------
// Direct byte readings that need no table.

void append_latin1(std::string_view bytes, std::string& out) {
  for (const char c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    if (b < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
}

// Undeclared bytes: writers that leave (0008,0005) out mostly write either UTF-8 or Latin-1, and a
// Latin-1 text almost never happens to be well-formed UTF-8. The choice is made for the whole value
// so that one value never mixes two readings.
void append_utf8_or_latin1(std::string_view value, std::string& out) {
  if (text::is_valid_utf8(value)) {
    out.append(value);
  } else {
    append_latin1(value, out);
  }
}

// ---------------------------------------------------------------------------------------------
// Code elements and the terms of (0008,0005).

// What a code element does with the bytes it owns.
enum class Graphic : std::uint8_t {
  none,            // G1 with nothing designated: GR bytes are read as Latin-1
  ascii,           // G0 ISO-IR 6; also JIS X 0201 Romaji, whose yen sign and overline sit where
                   // the value delimiter and tilde are, and which readers treat as ASCII
  jis_x0208,       // G0, two GL bytes per character
  jis_x0212,       // G0, two GL bytes per character
  shift_jis_kana,  // G1 JIS X 0201 katakana; Shift_JIS double bytes are taken too, as writers use them
  gr_single_byte,  // G1, the upper half of an ISO 8859 part or TIS-620
  gr_double_byte,  // G1, two GR bytes per character (KS X 1001, GB 2312)
  whole_value,     // no code element: the table reads the whole value (GB18030, GBK)
};

struct CodeElement {
  Graphic graphic;
  Table table;
};

[[nodiscard]] constexpr bool is_g0(Graphic g) {
  return g == Graphic::ascii || g == Graphic::jis_x0208 || g == Graphic::jis_x0212;
}
[[nodiscard]] constexpr bool is_double_byte_g0(Graphic g) {
  return g == Graphic::jis_x0208 || g == Graphic::jis_x0212;
}

// The table of these two is never consulted: ASCII is copied and an empty G1 reads as Latin-1.
constexpr CodeElement kAscii{Graphic::ascii, Table::iso8859_1};
constexpr CodeElement kNoG1{Graphic::none, Table::iso8859_1};
constexpr CodeElement upper_half(Table t) { return {Graphic::gr_single_byte, t}; }

// An escape sequence (the bytes after ESC) and the code element it designates.
struct Designation {
  std::string_view sequence;
  CodeElement element;
};

constexpr std::array kDesignations = std::to_array<Designation>({
    {"$(D", {Graphic::jis_x0212, Table::euc_jp}},
    {"$)A", {Graphic::gr_double_byte, Table::euc_cn}},
    {"$)C", {Graphic::gr_double_byte, Table::euc_kr}},
    {"$B", {Graphic::jis_x0208, Table::euc_jp}},
    {"(B", kAscii},
    {"(J", kAscii},
    {")I", {Graphic::shift_jis_kana, Table::shift_jis}},
    {"-A", upper_half(Table::iso8859_1)},
    {"-B", upper_half(Table::iso8859_2)},
    {"-C", upper_half(Table::iso8859_3)},
    {"-D", upper_half(Table::iso8859_4)},
    {"-F", upper_half(Table::iso8859_7)},
    {"-G", upper_half(Table::iso8859_6)},
    {"-H", upper_half(Table::iso8859_8)},
    {"-L", upper_half(Table::iso8859_5)},
    {"-M", upper_half(Table::iso8859_9)},
    {"-T", upper_half(Table::tis620)},
    {"-b", upper_half(Table::iso8859_15)},
});
static_assert(std::is_sorted(kDesignations.begin(), kDesignations.end(),
                             [](const Designation& a, const Designation& b) { return a.sequence < b.sequence; }));

enum class Scheme : std::uint8_t {
  default_repertoire,  // ISO_IR 6, no value, or a term nobody defined
  utf8,                // ISO_IR 192
  single_table,        // one table for the whole value, no code extensions
  jis_x0201,           // ISO_IR 13: ASCII in GL, Shift_JIS katakana in GR
  iso2022,             // "ISO 2022 ..." terms: code extensions
};

struct Term {
  std::string_view name;
  Scheme scheme;
  CodeElement element;
};

constexpr std::array kTerms = std::to_array<Term>({
    {"GB18030", Scheme::single_table, {Graphic::whole_value, Table::gb18030}},
    {"GBK", Scheme::single_table, {Graphic::whole_value, Table::gbk}},
    {"ISO 2022 IR 100", Scheme::iso2022, upper_half(Table::iso8859_1)},
    {"ISO 2022 IR 101", Scheme::iso2022, upper_half(Table::iso8859_2)},
    {"ISO 2022 IR 109", Scheme::iso2022, upper_half(Table::iso8859_3)},
    {"ISO 2022 IR 110", Scheme::iso2022, upper_half(Table::iso8859_4)},
    {"ISO 2022 IR 126", Scheme::iso2022, upper_half(Table::iso8859_7)},
    {"ISO 2022 IR 127", Scheme::iso2022, upper_half(Table::iso8859_6)},
    {"ISO 2022 IR 13", Scheme::iso2022, {Graphic::shift_jis_kana, Table::shift_jis}},
    {"ISO 2022 IR 138", Scheme::iso2022, upper_half(Table::iso8859_8)},
    {"ISO 2022 IR 144", Scheme::iso2022, upper_half(Table::iso8859_5)},
    {"ISO 2022 IR 148", Scheme::iso2022, upper_half(Table::iso8859_9)},
    {"ISO 2022 IR 149", Scheme::iso2022, {Graphic::gr_double_byte, Table::euc_kr}},
    {"ISO 2022 IR 159", Scheme::iso2022, {Graphic::jis_x0212, Table::euc_jp}},
    {"ISO 2022 IR 166", Scheme::iso2022, upper_half(Table::tis620)},
    {"ISO 2022 IR 203", Scheme::iso2022, upper_half(Table::iso8859_15)},
    {"ISO 2022 IR 58", Scheme::iso2022, {Graphic::gr_double_byte, Table::euc_cn}},
    {"ISO 2022 IR 6", Scheme::iso2022, kNoG1},
    {"ISO 2022 IR 87", Scheme::iso2022, {Graphic::jis_x0208, Table::euc_jp}},
    {"ISO_IR 100", Scheme::single_table, upper_half(Table::iso8859_1)},
    {"ISO_IR 101", Scheme::single_table, upper_half(Table::iso8859_2)},
    {"ISO_IR 109", Scheme::single_table, upper_half(Table::iso8859_3)},
    {"ISO_IR 110", Scheme::single_table, upper_half(Table::iso8859_4)},
    {"ISO_IR 126", Scheme::single_table, upper_half(Table::iso8859_7)},
    {"ISO_IR 127", Scheme::single_table, upper_half(Table::iso8859_6)},
    {"ISO_IR 13", Scheme::jis_x0201, {Graphic::shift_jis_kana, Table::shift_jis}},
    {"ISO_IR 138", Scheme::single_table, upper_half(Table::iso8859_8)},
    {"ISO_IR 144", Scheme::single_table, upper_half(Table::iso8859_5)},
    {"ISO_IR 148", Scheme::single_table, upper_half(Table::iso8859_9)},
    {"ISO_IR 166", Scheme::single_table, upper_half(Table::tis620)},
    {"ISO_IR 192", Scheme::utf8, kNoG1},
    {"ISO_IR 203", Scheme::single_table, upper_half(Table::iso8859_15)},
    {"ISO_IR 6", Scheme::default_repertoire, kNoG1},
});
static_assert(std::is_sorted(kTerms.begin(), kTerms.end(),
                             [](const Term& a, const Term& b) { return a.name < b.name; }));

constexpr Term kDefaultTerm{"", Scheme::default_repertoire, kNoG1};

template <typename Row, std::size_t N>
[[nodiscard]] const Row* find_row(const std::array<Row, N>& rows, std::string_view key,
                                  std::string_view Row::*field) {
  const auto it = std::lower_bound(rows.begin(), rows.end(), key,
                                   [&](const Row& row, std::string_view k) { return row.*field < k; });
  return (it != rows.end() && (*it).*field == key) ? &*it : nullptr;
}

// The two misspellings writers produce most: "ISO IR 100" / "ISO-IR 100" for "ISO_IR 100", and any
// other separators in "ISO 2022 IR ".
[[nodiscard]] std::string corrected_spelling(std::string_view term) {
  const auto is_separator = [&](std::size_t at) { return at < term.size() && term[at] != '_'; };
  if (term.size() > 6 && term.substr(0, 3) == "ISO" && is_separator(3) && term.substr(4, 2) == "IR") {
    return "ISO_IR" + std::string(term.substr(6));
  }
  if (term.size() > 12 && term.substr(0, 3) == "ISO" && term.substr(4, 4) == "2022" &&
      term.substr(9, 2) == "IR") {
    return "ISO 2022 IR " + std::string(term.substr(12));
  }
  return {};
}

[[nodiscard]] const Term& lookup_term(std::string_view name) {
  if (const Term* term = find_row(kTerms, name, &Term::name)) return *term;
  const std::string corrected = corrected_spelling(name);
  if (!corrected.empty()) {
    if (const Term* term = find_row(kTerms, corrected, &Term::name)) return *term;
  }
  return kDefaultTerm;
}

// UTF-8, GB18030 and GBK allow no code extensions; a first term of that kind makes the others moot.
[[nodiscard]] bool uses_code_extensions(const Term& first, std::size_t term_count) {
  switch (first.scheme) {
    case Scheme::iso2022: return true;
    case Scheme::default_repertoire:
    case Scheme::jis_x0201: return term_count > 1;
    case Scheme::single_table: return term_count > 1 && first.element.graphic == Graphic::gr_single_byte;
    case Scheme::utf8: return false;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// The ISO 2022 decoder: G0 for bytes below 0x80, G1 for bytes from 0x80 up.

constexpr std::uint8_t kEsc = 0x1B;

[[nodiscard]] bool is_gl_graphic(std::uint8_t b) { return b >= 0x21 && b <= 0x7E; }
[[nodiscard]] bool is_intermediate(std::uint8_t b) { return b >= 0x20 && b <= 0x2F; }
[[nodiscard]] bool is_final(std::uint8_t b) { return b >= 0x30 && b <= 0x7E; }
[[nodiscard]] bool is_shift_jis_lead(std::uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
[[nodiscard]] bool is_shift_jis_trail(std::uint8_t b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

// The bytes after which the initial character set is active again: line ends, form feed and other
// controls, the value separator, and in person names the component and group separators.
[[nodiscard]] bool is_reset_delimiter(std::uint8_t b, TextKind kind) {
  switch (b) {
    case '\t':
    case '\n':
    case '\f':
    case '\r':
    case '\\': return true;
    case '^':
    case '=': return kind == TextKind::person_name;
    default: return false;
  }
}

struct CodeState {
  Graphic g0;
  CodeElement g1;
};

class Iso2022Decoder {
 public:
  Iso2022Decoder(const CodeState& initial, bool escapes, TextKind kind, std::string& out)
      : initial_(initial), state_(initial), escapes_(escapes), kind_(kind), out_(out) {}

  // Every branch consumes at least one byte, so the cost is linear in the value.
  bool decode(std::string_view value) {
    value_ = value;
    std::size_t at = 0;
    while (at < value_.size()) {
      const std::uint8_t b = byte(at);
      if (b == kEsc && escapes_) {
        at = designate(at);
      } else if (b >= 0x80) {
        at = decode_g1_run(at);
      } else if (is_double_byte_g0(state_.g0) && is_gl_graphic(b)) {
        at = decode_g0_pairs(at);
      } else {
        out_.push_back(static_cast<char>(b));
        if (is_reset_delimiter(b, kind_)) reset();
        ++at;
      }
    }
    return repaired_;
  }

 private:
  [[nodiscard]] std::uint8_t byte(std::size_t at) const { return static_cast<std::uint8_t>(value_[at]); }

  void replace() {
    out_.append(kReplacement);
    repaired_ = true;
  }

  // Back to the initial set. When that set has nothing in G1 the GR bytes that follow have no
  // meaning in it; writers that forget to repeat the escape after a delimiter mean the G1 set they
  // designated last, so that one stays.
  void reset() {
    state_.g0 = initial_.g0;
    if (initial_.g1.graphic != Graphic::none) state_.g1 = initial_.g1;
  }

  // ESC, intermediate bytes, one final byte. An unknown or cut sequence becomes one U+FFFD and the
  // state stays as it was.
  std::size_t designate(std::size_t esc) {
    std::size_t at = esc + 1;
    while (at < value_.size() && is_intermediate(byte(at))) ++at;
    if (at == value_.size() || !is_final(byte(at))) {
      replace();
      return at;
    }
    const std::string_view sequence = value_.substr(esc + 1, at - esc);
    const Designation* d = find_row(kDesignations, sequence, &Designation::sequence);
    if (d == nullptr) {
      replace();
    } else if (is_g0(d->element.graphic)) {
      state_.g0 = d->element.graphic;
    } else {
      // A writer that ends a kanji run with the Latin set's G1 escape alone (and not ESC ( B too)
      // means the Latin text that follows, not more kanji.
      if (d->element.graphic == Graphic::gr_single_byte && is_double_byte_g0(state_.g0)) state_.g0 = Graphic::ascii;
      state_.g1 = d->element;
    }
    return at + 1;
  }

  std::size_t decode_g1_run(std::size_t start) {
    std::size_t end = start;
    const bool shift_jis = state_.g1.graphic == Graphic::shift_jis_kana;
    while (end < value_.size() && byte(end) >= 0x80) {
      // A Shift_JIS trail byte may lie below 0x80 (even on a delimiter); it belongs to its lead.
      const bool pair = shift_jis && is_shift_jis_lead(byte(end)) && end + 1 < value_.size() &&
                        is_shift_jis_trail(byte(end + 1));
      end += pair ? 2 : 1;
    }
    const std::string_view run = value_.substr(start, end - start);
    switch (state_.g1.graphic) {
      case Graphic::gr_double_byte:
        repaired_ |= append_converted(state_.g1.table, run, 2, out_);
        break;
      case Graphic::gr_single_byte:
      case Graphic::shift_jis_kana:
        repaired_ |= append_converted(state_.g1.table, run, 1, out_);
        break;
      default:
        append_latin1(run, out_);
        break;
    }
    return end;
  }

  // JIS X 0208 and 0212 in GL are EUC-JP with the high bits cleared (and, for 0212, without its
  // single-shift prefix), so one table serves both.
  std::size_t decode_g0_pairs(std::size_t start) {
    std::size_t end = start;
    while (end < value_.size() && is_gl_graphic(byte(end))) ++end;
    const bool supplementary = state_.g0 == Graphic::jis_x0212;
    const std::size_t pairs = (end - start) / 2;
    scratch_.clear();
    for (std::size_t i = 0; i < pairs; ++i) {
      if (supplementary) scratch_.push_back(static_cast<char>(0x8F));
      scratch_.push_back(static_cast<char>(byte(start + 2 * i) | 0x80));
      scratch_.push_back(static_cast<char>(byte(start + 2 * i + 1) | 0x80));
    }
    repaired_ |= append_converted(Table::euc_jp, scratch_, supplementary ? 3 : 2, out_);
    if ((end - start) % 2 != 0) replace();  // half a character before a control, ESC or the end
    return end;
  }

  const CodeState initial_;
  CodeState state_;
  const bool escapes_;
  const TextKind kind_;
  std::string& out_;
  std::string_view value_;
  std::string scratch_;
  bool repaired_ = false;
};

[[nodiscard]] CodeState initial_state(const Term& first) {
  const Graphic g = first.element.graphic;
  const bool g1 = g == Graphic::shift_jis_kana || g == Graphic::gr_single_byte || g == Graphic::gr_double_byte;
  return CodeState{Graphic::ascii, g1 ? first.element : kNoG1};
}

// No byte from 0x80 up and no ESC: the same text in every set this file knows.
[[nodiscard]] bool is_ascii_without_escapes(std::string_view value) {
  return std::all_of(value.begin(), value.end(), [](char c) {
    const auto b = static_cast<std::uint8_t>(c);
    return b < 0x80 && b != kEsc;
  });
}

[[nodiscard]] std::string_view trim_padding(std::string_view s) {
  const auto is_padding = [](char c) { return c == ' ' || c == '\0'; };
  while (!s.empty() && is_padding(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_padding(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

CharacterSets parse_specific_character_set(std::string_view value) {
  CharacterSets sets;
  if (trim_padding(value).empty()) return sets;
  std::size_t start = 0;
  while (true) {
    const std::size_t separator = value.find('\\', start);
    const std::size_t end = separator == std::string_view::npos ? value.size() : separator;
    sets.terms.emplace_back(trim_padding(value.substr(start, end - start)));
    if (separator == std::string_view::npos) break;
    start = separator + 1;
  }
  return sets;
}

bool is_plain_ascii(std::string_view value) {
  return std::all_of(value.begin(), value.end(), [](char c) {
    const auto b = static_cast<std::uint8_t>(c);
    return b >= 0x20 && b <= 0x7E;
  });
}

bool append_utf8(std::string_view value, const CharacterSets& sets, TextKind kind, std::string& out) {
  if (is_ascii_without_escapes(value)) {
    out.append(value);
    return false;
  }
  const Term& first = sets.terms.empty() ? kDefaultTerm : lookup_term(sets.terms.front());
  if (uses_code_extensions(first, sets.terms.size())) {
    return Iso2022Decoder(initial_state(first), true, kind, out).decode(value);
  }
  switch (first.scheme) {
    case Scheme::utf8:
      // Declared UTF-8 that is not: the bytes are most likely Latin-1 from an older writer.
      if (text::is_valid_utf8(value)) {
        out.append(value);
        return false;
      }
      append_latin1(value, out);
      return true;
    case Scheme::single_table:
      return append_converted(first.element.table, value, 1, out);
    case Scheme::jis_x0201:
      return Iso2022Decoder(initial_state(first), false, kind, out).decode(value);
    case Scheme::default_repertoire:
    case Scheme::iso2022:
      break;
  }
  append_utf8_or_latin1(value, out);
  return false;
}

}  // namespace zanthe::dicom

#include "dicom/json_model.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "dicom/byte_reading.h"
#include "dicom/character_sets.h"
#include "dicom/element_reader.h"
#include "dicom/part10_reader.h"
#include "dicom/vr_tables.h"

namespace zanthe::dicom {
namespace {

constexpr std::uint32_t kSpecificCharacterSet = 0x00080005u;
constexpr std::uint32_t kPixelRepresentation = 0x00280103u;
constexpr std::uint32_t kPixelData = 0x7FE00010u;
constexpr std::uint32_t kLutDescriptor = 0x00283002u;
constexpr std::uint32_t kLutData = 0x00283006u;
constexpr std::uint16_t kMetaGroup = 0x0002;
constexpr std::uint16_t kDelimiterGroup = 0xFFFE;

// Tags whose dictionary VR is "US or SS", settled by the Pixel Representation in force.
constexpr std::array<std::uint32_t, 20> kUsOrSsTags = {
    0x00189810, 0x00221452, 0x00280104, 0x00280105, 0x00280106, 0x00280107, 0x00280108,
    0x00280109, 0x00280110, 0x00280111, 0x00280120, 0x00280121, 0x00281101, 0x00281102,
    0x00281103, 0x00283002, 0x00409211, 0x00409216, 0x00603004, 0x00603006};
// LUT descriptors whose first value counts entries: 0 means 65536 even when read as SS.
constexpr std::array<std::uint32_t, 4> kLutDescriptorTags = {0x00281101, 0x00281102, 0x00281103, 0x00283002};

template <std::size_t N>
[[nodiscard]] bool listed(const std::array<std::uint32_t, N>& tags, std::uint32_t tag) {
  return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

constexpr VrCode vr_of(std::string_view letters) { return vr_code(letters[0], letters[1]); }

[[nodiscard]] bool is_binary_vr(VrCode vr) {
  for (std::string_view name : {"OB", "OD", "OF", "OL", "OV", "OW", "UN"}) {
    if (vr == vr_of(name)) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Reading numbers in the dataset's byte order

class Words {
 public:
  explicit Words(ByteOrder order) : big_(order == ByteOrder::big_endian) {}
  [[nodiscard]] std::uint16_t u16(const std::uint8_t* p) const { return big_ ? read_u16_big(p) : read_u16(p); }
  [[nodiscard]] std::uint32_t u32(const std::uint8_t* p) const { return big_ ? read_u32_big(p) : read_u32(p); }
  [[nodiscard]] std::uint64_t u64(const std::uint8_t* p) const {
    const std::uint64_t a = u32(p);
    const std::uint64_t b = u32(p + 4);
    return big_ ? (a << 32) | b : (b << 32) | a;
  }
  [[nodiscard]] std::uint32_t tag(const std::uint8_t* p) const { return big_ ? read_u32_big(p) : read_tag(p); }

 private:
  bool big_;
};

// ---------------------------------------------------------------------------------------------------
// Text

// The whitespace Python's str.strip() removes, as it can occur in text decoded from Latin-1.
[[nodiscard]] std::size_t whitespace_before(std::string_view s, std::size_t end) {
  if (end == 0) return 0;
  const auto c = static_cast<unsigned char>(s[end - 1]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F)) return 1;
  if (end >= 2 && static_cast<unsigned char>(s[end - 2]) == 0xC2 && (c == 0x85 || c == 0xA0)) return 2;
  return 0;
}

[[nodiscard]] std::size_t whitespace_at(std::string_view s, std::size_t start) {
  if (start >= s.size()) return 0;
  const auto c = static_cast<unsigned char>(s[start]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F)) return 1;
  if (c == 0xC2 && start + 1 < s.size()) {
    const auto d = static_cast<unsigned char>(s[start + 1]);
    if (d == 0x85 || d == 0xA0) return 2;
  }
  return 0;
}

[[nodiscard]] std::string_view strip_trailing_whitespace(std::string_view s) {
  std::size_t end = s.size();
  while (const std::size_t n = whitespace_before(s, end)) end -= n;
  return s.substr(0, end);
}

[[nodiscard]] std::string_view strip_whitespace(std::string_view s) {
  std::size_t start = 0;
  while (const std::size_t n = whitespace_at(s, start)) start += n;
  std::size_t end = s.size();
  while (end > start) {
    const std::size_t n = whitespace_before(s, end);
    if (n == 0) break;
    end -= n;
  }
  return s.substr(start, end - start);
}

// Trailing spaces and NULs, the padding of DICOM text.
[[nodiscard]] std::string_view strip_padding(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

[[nodiscard]] std::vector<std::string_view> split_values(std::string_view s) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t cut = s.find('\\');
    parts.push_back(s.substr(0, cut));
    if (cut == std::string_view::npos) return parts;
    s.remove_prefix(cut + 1);
  }
}

void append_latin1(std::string_view bytes, std::string& out) {
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

[[nodiscard]] std::string_view as_text(const std::uint8_t* p, std::uint64_t n) {
  return {reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)};
}

// ---------------------------------------------------------------------------------------------------
// Numbers as text

// A double as Python's json writes it (shortest round trip, ".0" on whole numbers); null when not finite.
void append_double(double value, std::string& out) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  std::array<char, 32> text{};
  const auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{}) {
    out += "null";
    return;
  }
  const std::string_view written(text.data(), static_cast<std::size_t>(end - text.data()));
  out += written;
  if (written.find_first_of(".e") == std::string_view::npos) out += ".0";
}

template <typename Integer>
void append_integer(Integer value, std::string& out) {
  std::array<char, 24> text{};
  const auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc{}) out.append(text.data(), static_cast<std::size_t>(end - text.data()));
}

// Python's float() of a decimal string: surrounding whitespace, a sign, nan and inf allowed.
[[nodiscard]] std::optional<double> parse_decimal(std::string_view s) {
  s = strip_whitespace(s);
  while (!s.empty() && s.back() == '\0') s.remove_suffix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) return std::nullopt;
  }
  if (s.empty()) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return negative ? -value : value;
}

// An IS value as pydicom reads it: Python's int() of the text, else the float truncated. nullopt when
// neither reads.
[[nodiscard]] std::optional<std::string> integer_text(std::string_view s) {
  s = strip_whitespace(s);
  std::string_view digits = s;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (!digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    std::string text = negative && digits != "0" ? "-" : "";
    text += digits;
    return text;
  }
  const std::optional<double> value = parse_decimal(s);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  const double whole = std::trunc(*value);
  std::array<char, 400> text{};
  const int n = std::snprintf(text.data(), text.size(), "%.0f", whole == 0 ? 0.0 : whole);
  if (n <= 0 || static_cast<std::size_t>(n) >= text.size()) return std::nullopt;
  return std::string(text.data(), static_cast<std::size_t>(n));
}

// ---------------------------------------------------------------------------------------------------
// JSON text

void append_json_string(std::string_view s, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

void append_base64(const std::uint8_t* p, std::size_t n, std::string& out) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out.reserve(out.size() + (n + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (std::uint32_t{p[i + 1]} << 8) | p[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(v >> shift) & 0x3F];
  }
  if (i < n) {
    const std::uint32_t v = (std::uint32_t{p[i]} << 16) | (i + 1 < n ? std::uint32_t{p[i + 1]} << 8 : 0);
    out += kAlphabet[(v >> 18) & 0x3F];
    out += kAlphabet[(v >> 12) & 0x3F];
    out += i + 1 < n ? kAlphabet[(v >> 6) & 0x3F] : '=';
    out += '=';
  }
}

void append_tag(std::uint32_t tag, std::string& out) {
  std::array<char, 9> text{};
  std::snprintf(text.data(), text.size(), "%08X", tag);
  out += '"';
  out.append(text.data(), 8);
  out += '"';
}

// ---------------------------------------------------------------------------------------------------
// Inflating a whole deflated dataset

enum class Inflated : std::uint8_t { complete, broken, too_large };

Inflated inflate_all(const std::uint8_t* in, std::size_t size, std::size_t cap, std::vector<std::uint8_t>& out) {
  out.clear();
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return Inflated::broken;
  constexpr std::size_t kSlice = std::size_t{1} << 30;
  std::size_t produced = 0;
  Inflated end = Inflated::broken;
  for (;;) {
    if (stream.avail_in == 0 && size > 0) {
      const std::size_t slice = std::min(size, kSlice);
      stream.next_in = const_cast<Bytef*>(in);
      stream.avail_in = static_cast<uInt>(slice);
      in += slice;
      size -= slice;
    }
    if (produced == out.size()) {
      if (produced >= cap) {
        end = Inflated::too_large;
        break;
      }
      out.resize(std::min(cap, std::max<std::size_t>(produced * 2, 64 << 10)));
    }
    const std::size_t room = std::min(out.size() - produced, kSlice);
    stream.next_out = out.data() + produced;
    stream.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&stream, Z_NO_FLUSH);
    produced += room - stream.avail_out;
    if (rc == Z_STREAM_END) {
      end = Inflated::complete;
      break;
    }
    if ((rc != Z_OK && rc != Z_BUF_ERROR) || (rc == Z_BUF_ERROR && stream.avail_in == 0 && size == 0)) break;
  }
  inflateEnd(&stream);
  out.resize(produced);
  return end;
}

// ---------------------------------------------------------------------------------------------------
// The walk

// What a dataset passes on to the items of its sequences.
struct Scope {
  CharacterSets sets;
  std::optional<std::uint16_t> pixel_representation;
};

// The VR letters and length form as written in front of a value the reader returned.
struct WrittenHeader {
  VrCode vr = kUnknownVr;  // 0 for the implicit form
  bool undefined_length = false;
};

class ModelWriter {
 public:
  ModelWriter(Encoding encoding, const JsonModelOptions& options, std::string& out)
      : encoding_(encoding), words_(encoding.byte_order), options_(options), out_(out) {}

  void dataset(const std::uint8_t* data, std::size_t size, const Scope& parent, int depth, bool top) {
    ElementList elements;
    if (!parse_dataset(data, size, encoding_, elements).ok()) {
      note(JsonModelCode::unreadable_element, "an element header is cut short by the end of the data");
    }
    std::erase_if(elements, [top](const DataElement& e) {
      const auto group = static_cast<std::uint16_t>(e.tag >> 16);
      return group == kDelimiterGroup || (top && group == kMetaGroup);
    });
    keep_last_of_each_tag(elements);
    const Scope scope = scope_of(elements, parent);
    out_ += '{';
    bool first = true;
    for (const DataElement& element : elements) {
      if (stopped()) break;
      if (!first) out_ += ',';
      first = false;
      append_tag(element.tag, out_);
      out_ += ':';
      attribute(element, elements, data, scope, depth);
    }
    out_ += '}';
  }

  [[nodiscard]] JsonModelCode code() const { return code_; }
  [[nodiscard]] std::string_view detail() const { return detail_; }
  [[nodiscard]] bool text_repaired() const { return text_repaired_; }
  [[nodiscard]] bool stopped() const { return out_.size() > options_.max_output; }

 private:
  // The first problem met is reported, except that past the depth bound the reader's searches for
  // item ends fail too: there the depth is the cause.
  void note(JsonModelCode code, std::string_view detail) {
    const bool deeper_cause = code == JsonModelCode::nesting_too_deep && code_ == JsonModelCode::malformed_sequence;
    if (code_ != JsonModelCode::ok && !deeper_cause) return;
    code_ = code;
    detail_ = detail;
  }

  // Tag order; a tag written twice keeps its last value, as a dictionary of the elements would.
  static void keep_last_of_each_tag(ElementList& elements) {
    std::stable_sort(elements.begin(), elements.end(),
                     [](const DataElement& a, const DataElement& b) { return a.tag < b.tag; });
    ElementList kept;
    kept.reserve(elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i) {
      if (i + 1 < elements.size() && elements[i + 1].tag == elements[i].tag) continue;
      kept.push_back(elements[i]);
    }
    elements.swap(kept);
  }

  [[nodiscard]] static const DataElement* find(const ElementList& elements, std::uint32_t tag) {
    const auto it = std::lower_bound(elements.begin(), elements.end(), tag,
                                     [](const DataElement& e, std::uint32_t t) { return e.tag < t; });
    return it != elements.end() && it->tag == tag ? &*it : nullptr;
  }

  [[nodiscard]] Scope scope_of(const ElementList& elements, const Scope& parent) const {
    Scope scope = parent;
    if (const DataElement* charset = find(elements, kSpecificCharacterSet)) {
      scope.sets = parse_specific_character_set(as_text(charset->value, charset->length));
    }
    if (const DataElement* representation = find(elements, kPixelRepresentation);
        representation != nullptr && representation->length >= 2) {
      scope.pixel_representation = words_.u16(representation->value);
    }
    return scope;
  }

  [[nodiscard]] WrittenHeader written_header(const DataElement& e, const std::uint8_t* begin) const {
    const std::uint8_t* v = e.value;
    const auto before = static_cast<std::size_t>(v - begin);
    if (!encoding_.implicit_vr) {
      if (before >= 12 && words_.tag(v - 12) == e.tag && is_long_vr(read_vr(v - 8))) {
        return {read_vr(v - 8), words_.u32(v - 4) == kUndefinedLength};
      }
      if (before >= 8 && words_.tag(v - 8) == e.tag && is_vr_code(read_vr(v - 4)) && !is_long_vr(read_vr(v - 4))) {
        return {read_vr(v - 4), words_.u16(v - 2) == 0xFFFF};
      }
    }
    if (before >= 8 && words_.tag(v - 8) == e.tag) return {kUnknownVr, words_.u32(v - 4) == kUndefinedLength};
    return {};
  }

  // The dictionary's VR, repeating groups folded onto their first; 0 when unknown.
  [[nodiscard]] static VrCode dictionary_vr(std::uint32_t tag) {
    auto group = static_cast<std::uint16_t>(tag >> 16);
    const auto element = static_cast<std::uint16_t>(tag);
    if ((group & 0xFF00) == 0x6000 || (group & 0xFF00) == 0x5000) {
      if (group % 2 == 0 && (group & 0x00FF) <= 0x1E) group &= 0xFF00;
    }
    const VrCode vr = lookup_vr(group, element);
    if (vr == kUnknownVr && element == 0) return kVrUL;
    return vr;
  }

  [[nodiscard]] static bool is_private_creator(std::uint32_t tag) {
    const auto element = static_cast<std::uint16_t>(tag);
    return element >= 0x0010 && element <= 0x00FF;
  }

  [[nodiscard]] bool known_private_sequence(const DataElement& e, const ElementList& level) const {
    const auto group = static_cast<std::uint16_t>(e.tag >> 16);
    const auto block = static_cast<std::uint16_t>((e.tag >> 8) & 0xFF);
    if (block < 0x10) return false;
    const DataElement* creator = find(level, (std::uint32_t{group} << 16) | block);
    if (creator == nullptr || creator->length == 0) return false;
    return is_private_sequence(creator->value, static_cast<std::size_t>(creator->length), group,
                               static_cast<std::uint8_t>(e.tag));
  }

  [[nodiscard]] bool starts_with_item(const DataElement& e) const {
    return e.length >= 4 && words_.tag(e.value) == kItemTag;
  }

  // A private element's VR: creators are LO, sequences known by their creator SQ, the rest UN.
  [[nodiscard]] VrCode private_vr(const DataElement& e, const ElementList& level, bool undefined) const {
    if (is_private_creator(e.tag)) return vr_of("LO");
    if (known_private_sequence(e, level)) return kVrSQ;
    if (undefined && starts_with_item(e)) return kVrSQ;
    return kVrUN;
  }

  // The dictionary's choice among the VRs a tag may take, as the rest of the dataset settles it.
  [[nodiscard]] VrCode settle_ambiguous(const DataElement& e, VrCode vr, const ElementList& level, const Scope& scope,
                                        bool undefined) const {
    if (e.tag == kPixelData) return undefined ? kVrOB : kVrOW;
    if (listed(kUsOrSsTags, e.tag)) {
      std::uint16_t representation = scope.pixel_representation.value_or(0);
      return representation == 0 ? vr_of("US") : vr_of("SS");
    }
    if (e.tag == kLutData) {
      const DataElement* descriptor = find(level, kLutDescriptor);
      if (descriptor != nullptr && descriptor->length >= 2 && words_.u16(descriptor->value) == 1) return vr_of("US");
      return kVrOW;
    }
    return vr;
  }

  [[nodiscard]] VrCode decide_vr(const DataElement& e, const WrittenHeader& written, const ElementList& level,
                                 const Scope& scope) const {
    const bool is_private = ((e.tag >> 16) & 1) != 0;
    const bool undefined = written.undefined_length;
    if (written.vr != kUnknownVr && written.vr != kVrUN) return written.vr;
    if (written.vr == kVrUN) {
      if (undefined) return kVrSQ;
      if (is_private) return private_vr(e, level, false);
      const VrCode known = e.length < 0xFFFF ? dictionary_vr(e.tag) : kUnknownVr;
      return known == kUnknownVr ? kVrUN : settle_ambiguous(e, known, level, scope, false);
    }
    if (is_private) return private_vr(e, level, undefined);
    const VrCode known = dictionary_vr(e.tag);
    if (known != kUnknownVr) return settle_ambiguous(e, known, level, scope, undefined);
    if (undefined && (e.vr == kVrSQ || starts_with_item(e))) return kVrSQ;
    return kVrUN;
  }

  void attribute(const DataElement& e, const ElementList& level, const std::uint8_t* begin, const Scope& scope,
                 int depth) {
    VrCode vr = decide_vr(e, written_header(e, begin), level, scope);
    if (!is_vr_code(vr)) vr = kVrUN;
    if (!fits_number_size(vr, e.length)) vr = kVrUN;
    out_ += "{\"vr\":\"";
    out_ += static_cast<char>(vr & 0xFF);
    out_ += static_cast<char>(vr >> 8);
    out_ += '"';
    if (vr == kVrSQ) {
      out_ += ",\"Value\":";
      items(e.value, e.length, scope, depth);
    } else if (e.length > 0) {
      value(e, vr, scope);
    }
    out_ += '}';
  }

  [[nodiscard]] static std::size_t number_size(VrCode vr) {
    if (vr == vr_of("US") || vr == vr_of("SS")) return 2;
    if (vr == vr_of("UL") || vr == vr_of("SL") || vr == vr_of("FL") || vr == vr_of("AT")) return 4;
    if (vr == vr_of("FD") || vr == vr_of("SV") || vr == vr_of("UV")) return 8;
    return 0;
  }

  // A binary number whose length is no multiple of its size cannot be read as such: it stays UN bytes.
  [[nodiscard]] static bool fits_number_size(VrCode vr, std::uint64_t length) {
    const std::size_t size = number_size(vr);
    if (size == 0 || vr == vr_of("AT")) return true;
    return length % size == 0;
  }

  void items(const std::uint8_t* value, std::uint64_t length, const Scope& scope, int depth) {
    out_ += '[';
    const std::uint8_t* p = value;
    const std::uint8_t* end = value + length;
    bool first = true;
    while (end - p >= 8 && !stopped()) {
      const std::uint32_t tag = words_.tag(p);
      if (tag == kSequenceDelimitationTag) break;
      if (tag != kItemTag) {
        note(JsonModelCode::malformed_sequence, "a sequence holds something other than items");
        break;
      }
      const std::uint32_t item_length = words_.u32(p + 4);
      const std::uint8_t* item = p + 8;
      const std::uint8_t* item_end = end;
      const std::uint8_t* next = end;
      if (item_length == kUndefinedLength) {
        const std::uint8_t* delimiter = find_item_end(item, end, encoding_, std::min(2 * depth, kMaxNestingDepth));
        if (delimiter != nullptr) {
          item_end = delimiter;
          next = std::min(delimiter + 8, end);
        } else {
          note(JsonModelCode::malformed_sequence, "an item of undefined length has no end");
        }
      } else if (item_length <= static_cast<std::uint64_t>(end - item)) {
        item_end = item + item_length;
        next = item_end;
      } else {
        note(JsonModelCode::malformed_sequence, "an item runs past the end of its sequence");
      }
      if (!first) out_ += ',';
      first = false;
      if (depth + 1 > options_.max_sequence_depth) {
        note(JsonModelCode::nesting_too_deep, "sequences are nested too deep; the deeper items are left empty");
        out_ += "{}";
      } else {
        dataset(item, static_cast<std::size_t>(item_end - item), scope, depth + 1, false);
      }
      p = next;
    }
    out_ += ']';
  }

  void value(const DataElement& e, VrCode vr, const Scope& scope) {
    if (is_binary_vr(vr)) {
      inline_binary(e);
    } else if (number_size(vr) != 0) {
      numbers(e, vr);
    } else if (vr == vr_of("PN")) {
      person_names(e, scope);
    } else {
      strings(e, vr, scope);
    }
  }

  void inline_binary(const DataElement& e) {
    const std::uint64_t encoded = (e.length + 2) / 3 * 4;
    if (encoded > options_.inline_limit) return;
    out_ += ",\"InlineBinary\":\"";
    append_base64(e.value, static_cast<std::size_t>(e.length), out_);
    out_ += '"';
  }

  void numbers(const DataElement& e, VrCode vr) {
    const std::size_t size = number_size(vr);
    const std::uint64_t count = e.length / size;
    if (count == 0) return;
    out_ += ",\"Value\":[";
    for (std::uint64_t i = 0; i < count && !stopped(); ++i) {
      if (i > 0) out_ += ',';
      number(e.value + i * size, vr, i == 0 && listed(kLutDescriptorTags, e.tag));
    }
    out_ += ']';
  }

  void number(const std::uint8_t* p, VrCode vr, bool counts_lut_entries) {
    if (vr == vr_of("US")) {
      append_integer(words_.u16(p), out_);
    } else if (vr == vr_of("SS")) {
      const auto value = static_cast<std::int16_t>(words_.u16(p));
      append_integer(counts_lut_entries && value < 0 ? value + 65536 : int{value}, out_);
    } else if (vr == vr_of("UL")) {
      append_integer(words_.u32(p), out_);
    } else if (vr == vr_of("SL")) {
      append_integer(static_cast<std::int32_t>(words_.u32(p)), out_);
    } else if (vr == vr_of("UV")) {
      append_integer(words_.u64(p), out_);
    } else if (vr == vr_of("SV")) {
      append_integer(static_cast<std::int64_t>(words_.u64(p)), out_);
    } else if (vr == vr_of("FL")) {
      float value = 0;
      const std::uint32_t bits = words_.u32(p);
      std::memcpy(&value, &bits, sizeof value);
      append_double(static_cast<double>(value), out_);
    } else if (vr == vr_of("FD")) {
      double value = 0;
      const std::uint64_t bits = words_.u64(p);
      std::memcpy(&value, &bits, sizeof value);
      append_double(value, out_);
    } else if (vr == vr_of("AT")) {
      std::array<char, 9> text{};
      std::snprintf(text.data(), text.size(), "%04X%04X", words_.u16(p), words_.u16(p + 2));
      append_json_string(std::string_view(text.data(), 8), out_);
    }
  }

  // Text of a VR in the default repertoire is read as Latin-1, the rest by the character set in force.
  [[nodiscard]] std::string decoded(std::string_view bytes, VrCode vr, const Scope& scope, TextKind kind) {
    std::string text;
    const bool by_character_set = vr == vr_of("SH") || vr == vr_of("LO") || vr == vr_of("UC") || vr == vr_of("ST") ||
                                  vr == vr_of("LT") || vr == vr_of("UT") || vr == vr_of("PN");
    if (by_character_set) {
      if (append_utf8(bytes, scope.sets, kind, text)) text_repaired_ = true;
    } else {
      append_latin1(bytes, text);
    }
    return text;
  }

  void strings(const DataElement& e, VrCode vr, const Scope& scope) {
    const std::string text = decoded(as_text(e.value, e.length), vr, scope, TextKind::text);
    std::vector<std::string_view> values;
    if (vr == vr_of("LT") || vr == vr_of("ST") || vr == vr_of("UT")) {
      values.push_back(strip_padding(text));
    } else if (vr == vr_of("UR")) {
      values.push_back(strip_trailing_whitespace(text));
    } else if (vr == vr_of("AE")) {
      values = split_values(text);
      for (auto& v : values) v = strip_whitespace(v);
    } else if (vr == vr_of("UI")) {
      values = split_values(strip_padding(text));
      for (auto& v : values) v = strip_whitespace(v);
    } else if (vr == vr_of("SH") || vr == vr_of("LO") || vr == vr_of("UC")) {
      values = split_values(text);
      for (auto& v : values) v = strip_padding(v);
    } else if (vr == vr_of("DS")) {
      values = split_values(strip_padding(strip_whitespace(text)));
    } else {
      values = split_values(strip_padding(text));
    }
    if (values.size() == 1 && values.front().empty()) return;
    out_ += ",\"Value\":[";
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i > 0) out_ += ',';
      string_value(values[i], vr);
    }
    out_ += ']';
  }

  void string_value(std::string_view v, VrCode vr) {
    if (vr == vr_of("DS") || vr == vr_of("IS")) {
      if (strip_whitespace(v).empty()) {
        out_ += "null";
        return;
      }
      if (vr == vr_of("IS")) {
        if (const std::optional<std::string> integer = integer_text(v)) {
          out_ += *integer;
          return;
        }
      } else if (const std::optional<double> number = parse_decimal(v)) {
        append_double(*number, out_);
        return;
      }
      append_json_string(strip_whitespace(v), out_);  // not a number: the text is kept
      return;
    }
    append_json_string(v, out_);
  }

  void person_names(const DataElement& e, const Scope& scope) {
    const std::string text = decoded(strip_padding(as_text(e.value, e.length)), vr_of("PN"), scope,
                                     TextKind::person_name);
    const std::vector<std::string_view> names = split_values(text);
    // One name of empty component groups ("=", "==") is an empty value.
    if (names.size() == 1 && names.front().find_first_not_of('=') == std::string_view::npos) return;
    out_ += ",\"Value\":[";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i > 0) out_ += ',';
      person_name(names[i]);
    }
    out_ += ']';
  }

  void person_name(std::string_view name) {
    static constexpr std::array<std::string_view, 3> kGroups = {"Alphabetic", "Ideographic", "Phonetic"};
    std::vector<std::string_view> groups;
    for (;;) {
      const std::size_t cut = name.find('=');
      groups.push_back(name.substr(0, cut));
      if (cut == std::string_view::npos) break;
      name.remove_prefix(cut + 1);
    }
    while (!groups.empty() && groups.back().empty()) groups.pop_back();
    if (groups.empty()) {
      out_ += "null";
      return;
    }
    out_ += '{';
    for (std::size_t i = 0; i < groups.size() && i < kGroups.size(); ++i) {
      if (i > 0) out_ += ',';
      append_json_string(kGroups[i], out_);
      out_ += ':';
      append_json_string(groups[i], out_);
    }
    out_ += '}';
  }

  Encoding encoding_;
  Words words_;
  const JsonModelOptions& options_;
  std::string& out_;
  JsonModelCode code_ = JsonModelCode::ok;
  std::string_view detail_{};
  bool text_repaired_ = false;
};

[[nodiscard]] JsonModelResult failure(JsonModelCode code, std::string_view detail) {
  JsonModelResult result;
  result.code = code;
  result.detail = detail;
  return result;
}

}  // namespace

JsonModelResult dataset_json_model(const std::uint8_t* data, std::size_t size, const JsonModelOptions& options) {
  std::vector<std::uint8_t> header;
  const LocatedDataset located = locate_dataset(data, size, header);
  switch (located.status.code) {
    case ReadCode::ok: break;
    case ReadCode::inflate_failed: return failure(JsonModelCode::inflate_failed, located.status.detail);
    case ReadCode::inflated_too_large: return failure(JsonModelCode::inflated_too_large, located.status.detail);
    default:
      // A file whose meta information ends the data holds an empty dataset.
      if (const MetaResult meta = read_file_meta(data, size); meta.ok() && meta.info.dataset_offset >= size) {
        return JsonModelResult{.json = "{}"};
      }
      return failure(JsonModelCode::not_dicom, located.status.detail);
  }
  const std::uint8_t* dataset = located.data;
  std::size_t dataset_size = located.size;
  std::vector<std::uint8_t> inflated;
  bool inflate_incomplete = false;
  if (located.deflated) {
    header = {};
    const std::size_t offset = located.status.offset;
    switch (inflate_all(data + offset, size - offset, options.max_inflated, inflated)) {
      case Inflated::complete: break;
      case Inflated::broken: inflate_incomplete = true; break;
      case Inflated::too_large:
        return failure(JsonModelCode::inflated_too_large, "the deflated dataset inflates past the cap");
    }
    if (inflated.empty()) return failure(JsonModelCode::inflate_failed, "the deflated stream is corrupt");
    dataset = inflated.data();
    dataset_size = inflated.size();
  }

  JsonModelResult result;
  ModelWriter writer(located.encoding, options, result.json);
  writer.dataset(dataset, dataset_size, Scope{}, 0, true);
  if (writer.stopped()) return failure(JsonModelCode::output_too_large, "the JSON text would pass its size cap");
  result.code = writer.code();
  result.detail = writer.detail();
  if (result.code == JsonModelCode::ok && inflate_incomplete) {
    result.code = JsonModelCode::inflate_incomplete;
    result.detail = "the deflated stream breaks off; what inflated is kept";
  }
  result.text_repaired = writer.text_repaired();
  return result;
}

}  // namespace zanthe::dicom

#include "hl7/er7_parser.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <numeric>
#include <utility>

namespace zanthe::hl7 {

namespace {

constexpr std::string_view kHeaderId = "MSH";
// "MSH", the field separator and the four encoding characters.
constexpr std::size_t kMinimumHeaderLength = 8;
constexpr std::size_t kDelimiterOffset = 3;
constexpr std::size_t kDelimiterCount = 5;
constexpr std::size_t kSegmentIdLength = 3;

// Printable ASCII without space: control bytes, space, DEL and non-ASCII cannot delimit.
[[nodiscard]] bool is_printable_delimiter(char byte) noexcept {
  const auto value = static_cast<unsigned char>(byte);
  return value >= 33 && value <= 126;
}

[[nodiscard]] bool delimiters_are_valid(std::string_view five) noexcept {
  for (std::size_t i = 0; i < five.size(); ++i) {
    if (!is_printable_delimiter(five[i])) return false;
    for (std::size_t j = i + 1; j < five.size(); ++j) {
      if (five[i] == five[j]) return false;
    }
  }
  return true;
}

[[nodiscard]] Delimiters delimiters_from(std::string_view five) noexcept {
  return Delimiters{five[0], five[1], five[2], five[3], five[4]};
}

[[nodiscard]] std::string_view first_line(std::string_view text) noexcept {
  const auto end = text.find_first_of("\r\n");
  return end == std::string_view::npos ? text : text.substr(0, end);
}

[[nodiscard]] std::string_view first_piece(std::string_view text, char separator) noexcept {
  return text.substr(0, text.find(separator));
}

// Where read_header keeps each MSH field it reads, by field number.
struct HeaderField {
  std::size_t number;
  std::string_view MessageHeader::*member;
};

constexpr HeaderField kHeaderFields[] = {
    {3, &MessageHeader::sending_application},   {4, &MessageHeader::sending_facility},
    {5, &MessageHeader::receiving_application}, {6, &MessageHeader::receiving_facility},
    {9, &MessageHeader::message_type},          {10, &MessageHeader::control_id},
    {11, &MessageHeader::processing_id},        {12, &MessageHeader::version},
    {18, &MessageHeader::character_set},
};

// Walks the header line's fields once. The separator after "MSH" is MSH-1, so the piece after it is
// MSH-2; a separator that is also M, S or H is never looked for inside the segment ID.
void read_header_fields(std::string_view line, MessageHeader& header) noexcept {
  const HeaderField* wanted = std::begin(kHeaderFields);
  std::size_t start = kDelimiterOffset + 1;
  for (std::size_t number = 2; wanted != std::end(kHeaderFields) && start <= line.size(); ++number) {
    const std::size_t end = std::min(line.find(header.delimiters.field, start), line.size());
    if (wanted->number == number) {
      header.*(wanted->member) = line.substr(start, end - start);
      ++wanted;
    }
    start = end + 1;
  }
  header.character_set = first_piece(header.character_set, header.delimiters.repetition);
}

[[nodiscard]] bool is_supported_version(std::string_view version) noexcept {
  return std::find(kSupportedVersions.begin(), kSupportedVersions.end(), version) !=
         kSupportedVersions.end();
}

[[nodiscard]] bool is_id_byte(char byte) noexcept {
  return (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9');
}

// Three ID bytes, then either nothing or the field separator.
[[nodiscard]] bool is_valid_segment(std::string_view segment, char field) noexcept {
  if (segment.size() < kSegmentIdLength) return false;
  if (!std::all_of(segment.begin(), segment.begin() + kSegmentIdLength, is_id_byte)) return false;
  return segment.size() == kSegmentIdLength || segment[kSegmentIdLength] == field;
}

[[nodiscard]] SegmentId segment_id_of(std::string_view segment) noexcept {
  return SegmentId{segment[0], segment[1], segment[2]};
}

// CR LF is one terminator; a lone CR or LF is another (so LF CR is two).
[[nodiscard]] std::size_t terminator_length(std::string_view text, std::size_t at) noexcept {
  const bool cr_lf = text[at] == '\r' && text.size() - at > 1 && text[at + 1] == '\n';
  return cr_lf ? 2 : 1;
}

// Position of `byte` at or after `from`, or the text's size; memchr scans many bytes per step.
[[nodiscard]] std::size_t find_byte(std::string_view text, char byte, std::size_t from) noexcept {
  if (from >= text.size()) return text.size();
  const void* found = std::memchr(text.data() + from, byte, text.size() - from);
  return found ? static_cast<std::size_t>(static_cast<const char*>(found) - text.data()) : text.size();
}

// Finds segment terminators front to back. The next CR and the next LF are each remembered until
// passed, so a text with only one kind is still scanned once, not once per segment.
class TerminatorFinder {
 public:
  explicit TerminatorFinder(std::string_view text) noexcept
      : text_(text), next_cr_(find_byte(text, '\r', 0)), next_lf_(find_byte(text, '\n', 0)) {}

  [[nodiscard]] std::size_t next_from(std::size_t from) noexcept {
    if (next_cr_ < from) next_cr_ = find_byte(text_, '\r', from);
    if (next_lf_ < from) next_lf_ = find_byte(text_, '\n', from);
    return std::min(next_cr_, next_lf_);
  }

 private:
  std::string_view text_;
  std::size_t next_cr_;
  std::size_t next_lf_;
};

[[nodiscard]] bool is_blank(char byte) noexcept {
  return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n' || byte == '\f' || byte == '\v';
}

[[nodiscard]] bool is_all_blank(std::string_view text) noexcept {
  return std::all_of(text.begin(), text.end(), is_blank);
}

// The segment split: fills segments and index, or refuses the first bad segment.
[[nodiscard]] Status collect_segments(std::string_view text, char field, Message& message) {
  TerminatorFinder terminators(text);
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = terminators.next_from(start);
    const std::string_view segment = text.substr(start, end - start);
    // Spaces or tabs after the last terminator are padding, not a segment.
    const bool after_terminator = start != 0;
    if (after_terminator && !segment.empty() && is_all_blank(segment) && is_all_blank(text.substr(end))) break;
    start = end < text.size() ? end + terminator_length(text, end) : end;
    if (segment.empty()) continue;
    const std::size_t offset = end - segment.size();
    if (!is_valid_segment(segment, field)) return refusal(ParseError::bad_segment_id, offset);
    message.segments.push_back(SegmentRef{segment_id_of(segment), offset, segment.size()});
  }
  message.index = SegmentIndex::of(message.segments);
  return {};
}

// Byte order of the three ID bytes, first byte most significant.
[[nodiscard]] bool id_less(const SegmentId& a, const SegmentId& b) noexcept {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
      });
}

}  // namespace

std::size_t SegmentIndex::lower_bound_of(SegmentId id) const noexcept {
  return static_cast<std::size_t>(std::lower_bound(ids_.begin(), ids_.end(), id, id_less) -
                                  ids_.begin());
}

SegmentIndex SegmentIndex::of(std::span<const SegmentRef> segments) {
  std::vector<std::uint64_t> by_id(segments.size());
  std::iota(by_id.begin(), by_id.end(), std::uint64_t{0});
  // Stable, so the ordinals of one ID stay in message order.
  std::stable_sort(by_id.begin(), by_id.end(), [&](std::uint64_t a, std::uint64_t b) {
    return id_less(segments[a].id, segments[b].id);
  });
  SegmentIndex index;
  for (const std::uint64_t ordinal : by_id) {
    const SegmentId& id = segments[ordinal].id;
    if (index.ids_.empty() || index.ids_.back() != id) {
      index.ids_.push_back(id);
      index.ordinals_.emplace_back();
    }
    index.ordinals_.back().push_back(ordinal);
  }
  return index;
}

std::span<const std::uint64_t> SegmentIndex::ordinals_of(SegmentId id) const noexcept {
  const std::size_t at = lower_bound_of(id);
  if (at < ids_.size() && ids_[at] == id) return ordinals_[at];
  return {};
}

SegmentView Message::segment_at(std::size_t ordinal) const noexcept {
  if (ordinal >= segments.size()) return SegmentView{};
  const SegmentRef& ref = segments[ordinal];
  return SegmentView{std::string_view(text).substr(ref.offset, ref.length), delimiters, ref.id};
}

Result<MessageHeader> read_header(std::string_view text) {
  if (text.empty()) return refusal(ParseError::empty);
  if (!text.starts_with(kHeaderId)) return refusal(ParseError::no_msh);
  if (text.size() < kMinimumHeaderLength) return refusal(ParseError::msh_too_short);
  const std::string_view five = text.substr(kDelimiterOffset, kDelimiterCount);
  if (!delimiters_are_valid(five)) return refusal(ParseError::bad_delimiters, kDelimiterOffset);
  MessageHeader header;
  header.delimiters = delimiters_from(five);
  // No terminator lies among the delimiters, so the line holds all eight bytes checked above.
  header.line = first_line(text);
  read_header_fields(header.line, header);
  return header;
}

ParseResult parse_message(std::string text) {
  const std::string_view view = text;
  Result<MessageHeader> header = read_header(view);
  if (!header.ok()) return header.status();
  const Delimiters delimiters = header.value().delimiters;
  if (!is_supported_version(first_piece(header.value().version, delimiters.component))) {
    return refusal(ParseError::unsupported_version);
  }
  Message message;
  if (Status segments = collect_segments(view, delimiters.field, message); !segments.ok()) return segments;
  message.text = std::move(text);
  message.delimiters = delimiters;
  return message;
}

std::vector<std::string_view> split_fields(const SegmentView& segment) {
  std::vector<std::string_view> pieces;
  const std::string_view text = segment.text;
  std::size_t start = 0;
  // The ID bytes are never cut, even when the field separator is a letter or digit they hold.
  for (std::size_t i = find_byte(text, segment.delimiters.field, std::min(text.size(), kSegmentIdLength));
       i < text.size(); i = find_byte(text, segment.delimiters.field, i + 1)) {
    pieces.push_back(text.substr(start, i - start));
    start = i + 1;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

}  // namespace zanthe::hl7

// ER7 (pipe-delimited HL7 v2) message parser.
//
// Ownership: parse_message takes the caller's string by value and moves it into the Message it
// returns; SegmentRef holds offsets into that text, and SegmentView and the pieces of split_fields
// are views into it, valid only while the Message lives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zanthe::hl7 {

// Why a message was rejected; 0 is never used. The names are what callers report.
enum class ParseError : std::uint8_t {
  empty = 1,
  no_msh = 2,
  msh_too_short = 3,
  bad_delimiters = 4,
  unsupported_version = 5,
  bad_segment_id = 6,
};

// "empty" … "bad_segment_id"; "unknown" for any other number.
[[nodiscard]] std::string_view error_name(ParseError code) noexcept;

// The five delimiter bytes of MSH-1 and MSH-2, defaulting to the standard set "|^~\&".
struct Delimiters {
  char field = '|';
  char component = '^';
  char repetition = '~';
  char escape = '\\';
  char subcomponent = '&';
};

using SegmentId = std::array<char, 3>;

struct SegmentRef {
  SegmentId id{};
  std::uint64_t offset = 0;  // first byte of the segment in the message text
  std::uint64_t length = 0;  // terminator excluded, never 0
};

struct SegmentView {
  std::string_view text;  // the segment's bytes, terminator excluded
  Delimiters delimiters;
  SegmentId id{};  // all zero in the empty view
};

// Segment ID -> ordinals of the segments bearing it, in message order. The IDs are kept sorted
// (first byte most significant) so a lookup is a binary search.
class SegmentIndex {
 public:
  // Groups the ordinals of `segments` by ID in one sort, so that many distinct IDs cost no more
  // than a few: inserting each new ID at its sorted place would shift every array behind it.
  [[nodiscard]] static SegmentIndex of(std::span<const SegmentRef> segments);
  [[nodiscard]] std::span<const std::uint64_t> ordinals_of(SegmentId id) const noexcept;
  [[nodiscard]] const std::vector<SegmentId>& ids() const noexcept { return ids_; }
  [[nodiscard]] const std::vector<std::vector<std::uint64_t>>& ordinals() const noexcept {
    return ordinals_;
  }

 private:
  [[nodiscard]] std::size_t lower_bound_of(SegmentId id) const noexcept;

  std::vector<SegmentId> ids_;
  std::vector<std::vector<std::uint64_t>> ordinals_;
};

struct Message {
  std::string text;
  Delimiters delimiters;
  std::vector<SegmentRef> segments;  // the first is always the MSH header
  SegmentIndex index;

  [[nodiscard]] std::size_t segment_count() const noexcept { return segments.size(); }
  // The empty view (no bytes, default delimiters, zero ID) for an ordinal past the end.
  [[nodiscard]] SegmentView segment_at(std::size_t ordinal) const noexcept;
};

// Either a Message or the ParseError that rejected the text.
class ParseResult {
 public:
  explicit ParseResult(Message message) : value_(std::move(message)) {}
  explicit ParseResult(ParseError error) : value_(error) {}

  [[nodiscard]] bool has_message() const noexcept { return value_.index() == 0; }
  [[nodiscard]] const Message& message() const& { return std::get<Message>(value_); }
  [[nodiscard]] Message&& message() && { return std::get<Message>(std::move(value_)); }
  [[nodiscard]] ParseError error() const { return std::get<ParseError>(value_); }

 private:
  std::variant<Message, ParseError> value_;
};

// The versions whose messages are accepted, compared as exact byte strings.
// Every published v2 version from 2.3 on; 2.1 and 2.2 are refused.
inline constexpr std::array<std::string_view, 12> kSupportedVersions = {
    "2.3", "2.3.1", "2.4", "2.5", "2.5.1", "2.6", "2.7", "2.7.1", "2.8", "2.8.1", "2.8.2", "2.9"};

// The delimiters of a text starting "MSH" whose bytes 3 to 7 are five distinct printable bytes.
[[nodiscard]] std::optional<Delimiters> header_delimiters(std::string_view text) noexcept;

// Checks the header, the version and every segment ID, and indexes the segments. Segment text
// is neither copied nor decoded. White space alone after the last segment terminator (as some
// writers pad files) is not a segment.
[[nodiscard]] ParseResult parse_message(std::string text);

// Cuts a segment at every field separator after its three ID bytes; always at least one piece,
// piece 0 being the ID.
[[nodiscard]] std::vector<std::string_view> split_fields(const SegmentView& segment);

}  // namespace zanthe::hl7

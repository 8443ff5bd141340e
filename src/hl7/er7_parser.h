// ER7 (pipe-delimited HL7 v2) message parser.
//
// Ownership: parse_message takes the caller's string by value and moves it into the Message it
// returns; SegmentRef holds offsets into that text, and SegmentView and the pieces of split_fields
// are views into it, valid only while the Message lives.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hl7/status.h"

namespace zanthe::hl7 {

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

// Either a Message or the refusal of the text: a status whose code is one of ParseError's.
using ParseResult = Result<Message>;

// The MSH fields callers need, as raw views into the message's first line.
struct MessageHeader {
  Delimiters delimiters;
  std::string_view line;                   // the whole header segment, terminator excluded
  std::string_view sending_application;    // MSH-3
  std::string_view sending_facility;       // MSH-4
  std::string_view receiving_application;  // MSH-5
  std::string_view receiving_facility;     // MSH-6
  std::string_view message_type;           // MSH-9
  std::string_view control_id;             // MSH-10
  std::string_view processing_id;          // MSH-11
  std::string_view version;                // MSH-12 as written, components included
  std::string_view character_set;          // MSH-18, first repetition
};

// The versions whose messages are accepted, compared as exact byte strings.
// Every published v2 version from 2.3 on; 2.1 and 2.2 are refused.
inline constexpr std::array<std::string_view, 12> kSupportedVersions = {
    "2.3", "2.3.1", "2.4", "2.5", "2.5.1", "2.6", "2.7", "2.7.1", "2.8", "2.8.1", "2.8.2", "2.9"};

// The header of a text, checked as parse_message checks it first (empty, no_msh, msh_too_short,
// bad_delimiters) and read from the first line alone: it serves messages the full parse refuses
// further on, whose acknowledgment must still mirror what the sender wrote. A field the line does
// not reach is empty.
[[nodiscard]] Result<MessageHeader> read_header(std::string_view text);

// Checks the header, the version and every segment ID, and indexes the segments. Segment text
// is neither copied nor decoded. White space alone after the last segment terminator (as some
// writers pad files) is not a segment.
[[nodiscard]] ParseResult parse_message(std::string text);

// Cuts a segment at every field separator after its three ID bytes; always at least one piece,
// piece 0 being the ID.
[[nodiscard]] std::vector<std::string_view> split_fields(const SegmentView& segment);

}  // namespace zanthe::hl7

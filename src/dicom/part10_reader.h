// Tolerant reader of one DICOM Part 10 instance.
//
// Ownership: the caller owns the input bytes and the element list. Every view handed out here
// (FileMetaInfo's UIDs, DataElement::value, find_text's result) points into the input bytes, which
// must outlive them. Nothing is copied and nothing throws for bad input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zanthe::dicom {

// A value representation as the two letters lie in the stream: low byte first letter ("SQ" is 0x5153).
// 0 means unknown.
using VrCode = std::uint16_t;

inline constexpr std::uint32_t kItemTag = 0xFFFEE000u;
inline constexpr std::uint32_t kItemDelimitationTag = 0xFFFEE00Du;
inline constexpr std::uint32_t kSequenceDelimitationTag = 0xFFFEE0DDu;
inline constexpr std::uint32_t kUndefinedLength = 0xFFFFFFFFu;

// One top-level element of the dataset. Nested elements stay inside their sequence's value.
struct DataElement {
  std::uint32_t tag;
  VrCode vr;
  std::uint64_t length;
  const std::uint8_t* value;
};

using ElementList = std::vector<DataElement>;

// ---------------------------------------------------------------------------------------------------
// How reads end
//
// Every function of this reader that can fail reports one ReadStatus: a ReadCode (0 for success), a
// fixed text naming the cause (empty on success) and an offset into the bytes it was given, whose
// meaning each function states. Nothing throws for bad input.

// What the strict file meta parser hands the lenient scan; the numbers are fixed. On truncated,
// bad_header or missing_uid the scan reads the group again and its outcome stands, so missing_uid
// never leaves read_file_meta; the other failures leave it as the ReadCodes of the same numbers.
enum class MetaStatus : std::uint8_t {
  ok = 0,
  no_magic = 5,
  truncated = 6,
  bad_header = 7,
  missing_uid = 8,
};

enum class ReadCode : std::uint8_t {
  ok = 0,
  not_dicom = 1,           // locate_dataset: neither a Part 10 file nor a bare dataset we recognise
  inflate_failed = 2,      // locate_dataset: a deflated dataset of which not one byte inflates
  inflated_too_large = 3,  // locate_dataset: a deflated dataset inflating past its cap before its header ends
  unreadable_element = 4,  // parse_dataset: stopped at an element header cut short by the end of the data
  no_magic = 5,            // read_file_meta: no "DICM" at offset 128
  truncated = 6,           // read_file_meta, read_meta_group_at: the data end inside the preamble, the
                           // magic or a meta element
  bad_header = 7,          // read_file_meta, read_meta_group_at: no group 0002 element where the group starts
};

struct ReadStatus {
  ReadCode code = ReadCode::ok;
  std::string_view detail{};  // a fixed text, for diagnostics
  std::size_t offset = 0;
  [[nodiscard]] bool ok() const { return code == ReadCode::ok; }
};

struct FileMetaInfo {
  std::string_view sop_class_uid;
  std::string_view sop_instance_uid;
  std::string_view transfer_syntax_uid;
  std::uint64_t dataset_offset = 0;
};

// The status offset is the dataset offset on success, else the start of what could not be read.
struct MetaResult {
  FileMetaInfo info;
  ReadStatus status;
  [[nodiscard]] bool ok() const { return status.ok(); }
};

// Strict group-length driven parse first; on truncated, bad_header or missing_uid the lenient scan decides.
[[nodiscard]] MetaResult read_file_meta(const std::uint8_t* data, std::size_t size);

// The lenient walk over group 0002 elements starting at `offset`, for a meta group written without
// preamble and magic; bad_header when no such element is there.
[[nodiscard]] MetaResult read_meta_group_at(const std::uint8_t* data, std::size_t size, std::size_t offset);

// How a dataset is encoded. Byte order applies to tags, lengths and binary values; VR letters and text
// values read the same in both orders.
enum class ByteOrder : std::uint8_t { little_endian, big_endian };

struct Encoding {
  bool implicit_vr = false;
  ByteOrder byte_order = ByteOrder::little_endian;
};

// Appends the dataset's top-level elements to `out`; `out` keeps whatever was read however it stops.
// ok when it stopped at the end of the data or at a zero group, unreadable_element at a header it could
// not read. The offset is where it stopped: the tag of the zero group or of the unreadable element, the
// start of 1 to 3 bytes too short for a tag, or the size when the last entry took every byte left.
ReadStatus parse_dataset(const std::uint8_t* data, std::size_t size, Encoding encoding, ElementList& out);

// The little-endian form.
ReadStatus parse_dataset(const std::uint8_t* data, std::size_t size, bool explicit_vr, ElementList& out);

// For bytes that may be only the start of a dataset: true when its top-level header certainly ends
// inside them, that is a walk reaches a top-level element of group 0x7FE0 or later, or a zero group,
// having read nothing whose reading would change with more bytes after `size`.
[[nodiscard]] bool header_ends_within(const std::uint8_t* data, std::size_t size, Encoding encoding);

// Where the dataset of one file lies and how to read it.
struct LocatedDataset {
  ReadStatus status;
  Encoding encoding{};
  const std::uint8_t* data = nullptr;  // first dataset byte: into the input, or into `inflated`
  std::size_t size = 0;
  FileMetaInfo meta{};                 // all empty when the file has no meta group
  bool has_meta = false;
  bool deflated = false;
  bool known_transfer_syntax = false;  // the meta names a transfer syntax of the DICOM standard
  [[nodiscard]] bool ok() const { return status.ok(); }
};

// The most bytes a deflated dataset may inflate to before its header is complete.
inline constexpr std::size_t kMaxInflatedBytes = std::size_t{256} << 20;

// Reads the file meta (when present), decides the dataset's encoding from the transfer syntax (or, with
// no meta group or an unknown syntax, from the dataset's first element) and inflates a deflated dataset
// into `inflated` (cleared first), stopping once its top-level header has ended or at `max_inflated`.
// Outcomes, in the order they are decided:
// - no "DICM" at 128 (or fewer than 132 bytes): the data from offset 0 is sniffed. A meta group written
//   without preamble (its first element is group 0002, explicit little endian) is read like one with
//   it; otherwise a bare dataset whose first elements read cleanly in explicit little endian, implicit
//   little endian or explicit big endian is ok, with has_meta false; anything else is not_dicom.
// - "DICM" but no group 0002 element at 132: the same sniff from offset 132.
// - a meta group that cannot be read (truncated), or no byte after it: not_dicom.
// - a syntax of the standard: its encoding (the compressed ones keep an explicit little-endian dataset);
//   a syntax we do not know, or none: known_transfer_syntax false and the encoding sniffed from the
//   dataset's first elements, explicit little endian when that is inconclusive.
// - deflated: inflate_failed when the stream gives no byte at all (a corrupt or cut stream otherwise
//   keeps what came out before the fault, status ok); inflated_too_large when `max_inflated` bytes came
//   out and neither the stream nor the header ended (the header ends at a top-level element of group
//   0x7FE0 or later, or a zero group).
// The status offset is where the dataset (for a deflated one, its stream) starts in the input, or where
// the failure was found. On failure `data` is null and `size` 0.
[[nodiscard]] LocatedDataset locate_dataset(const std::uint8_t* data, std::size_t size,
                                            std::vector<std::uint8_t>& inflated,
                                            std::size_t max_inflated = kMaxInflatedBytes);

// True exactly for Implicit VR Little Endian ("1.2.840.10008.1.2" once trailing NUL/space padding is gone).
[[nodiscard]] bool is_implicit_vr_little_endian(std::string_view transfer_syntax_uid);

// The first element with `tag`, trailing NUL/space and then leading spaces removed; empty when absent.
[[nodiscard]] std::string_view find_text(const ElementList& elements, std::uint32_t tag);

// The value of one element as find_text gives it.
[[nodiscard]] std::string_view element_text(const DataElement& element);

}  // namespace zanthe::dicom

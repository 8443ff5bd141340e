// Finds where a file's dataset starts and how it is encoded: from the meta group's transfer syntax, or,
// without a meta group (or with a syntax we do not know), from the dataset's first elements; inflates
// deflated datasets just far enough to hold their header.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "dicom/byte_reading.h"
#include "dicom/part10_reader.h"
#include "dicom/vr_tables.h"

namespace zanthe::dicom {
namespace {

constexpr std::size_t kPreambleSize = 128;
constexpr std::size_t kMetaStart = kPreambleSize + 4;

// ---------------------------------------------------------------------------------------------------
// Transfer syntaxes

enum class SyntaxKind : std::uint8_t { implicit_little, explicit_little, explicit_big, deflated };

struct KnownSyntax {
  std::string_view uid;
  SyntaxKind kind;
};

// Every transfer syntax of the standard, retired ones included, in byte order of the UID text. All but
// the first few keep the dataset in explicit VR little endian (compressed ones only encapsulate pixels).
constexpr auto kKnownSyntaxes = std::to_array<KnownSyntax>({
    {"1.2.840.10008.1.2", SyntaxKind::implicit_little},
    {"1.2.840.10008.1.2.1", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.1.98", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.1.99", SyntaxKind::deflated},
    {"1.2.840.10008.1.2.2", SyntaxKind::explicit_big},
    {"1.2.840.10008.1.2.4.100", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.100.1", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.101", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.101.1", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.102", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.102.1", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.103", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.103.1", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.104", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.104.1", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.105", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.105.1", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.106", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.106.1", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.107", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.108", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.110", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.111", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.112", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.201", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.202", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.203", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.204", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.205", SyntaxKind::deflated},
    {"1.2.840.10008.1.2.4.50", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.51", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.52", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.53", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.54", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.55", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.56", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.57", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.58", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.59", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.60", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.61", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.62", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.63", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.64", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.65", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.66", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.70", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.80", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.81", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.90", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.91", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.92", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.93", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.94", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.4.95", SyntaxKind::deflated},
    {"1.2.840.10008.1.2.5", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.6.1", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.6.2", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.7.1", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.7.2", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.2.7.3", SyntaxKind::explicit_little},
    {"1.2.840.10008.1.20", SyntaxKind::implicit_little},  // Papyrus 3 implicit VR little endian
});

constexpr bool uid_less(const KnownSyntax& a, const KnownSyntax& b) { return a.uid < b.uid; }
static_assert(std::is_sorted(kKnownSyntaxes.begin(), kKnownSyntaxes.end(), uid_less));

[[nodiscard]] std::optional<SyntaxKind> known_syntax(std::string_view uid) {
  const KnownSyntax key{uid, SyntaxKind::explicit_little};
  const auto it = std::lower_bound(kKnownSyntaxes.begin(), kKnownSyntaxes.end(), key, uid_less);
  if (it == kKnownSyntaxes.end() || it->uid != uid) return std::nullopt;
  return it->kind;
}

constexpr Encoding kExplicitLittle{.implicit_vr = false, .byte_order = ByteOrder::little_endian};
constexpr Encoding kImplicitLittle{.implicit_vr = true, .byte_order = ByteOrder::little_endian};
constexpr Encoding kExplicitBig{.implicit_vr = false, .byte_order = ByteOrder::big_endian};

[[nodiscard]] Encoding encoding_of(SyntaxKind kind) {
  switch (kind) {
    case SyntaxKind::implicit_little: return kImplicitLittle;
    case SyntaxKind::explicit_big: return kExplicitBig;
    case SyntaxKind::explicit_little:
    case SyntaxKind::deflated: break;
  }
  return kExplicitLittle;
}

// ---------------------------------------------------------------------------------------------------
// Recognising a dataset by its first elements

// A dataset opens with one of the low, even groups: the meta group written inline, the directory
// group, identification (almost always), patient, acquisition, study and series.
[[nodiscard]] bool is_plausible_first_group(std::uint16_t group) {
  return group >= 0x0002 && group <= 0x0020 && group % 2 == 0;
}

// How many leading elements must read cleanly (fewer when the data ends after whole elements).
constexpr int kElementsToCheck = 4;

enum class ElementCheck : std::uint8_t { whole, runs_past_end, malformed, undefined_length };

// Reads one element header strictly, as written: no repair, the tag after the previous one, the VR
// letters valid in explicit form. `offset` moves past the element when it is whole.
template <ByteOrder Order>
[[nodiscard]] ElementCheck check_element(const std::uint8_t* data, std::size_t size, bool implicit,
                                         std::uint32_t previous_tag, std::size_t& offset) {
  using Words = WordReader<Order>;
  const std::size_t left = size - offset;
  if (left < 8) return ElementCheck::runs_past_end;
  const std::uint8_t* p = data + offset;
  const std::uint32_t tag = Words::tag(p);
  if (tag <= previous_tag || (tag >> 16) == 0xFFFE) return ElementCheck::malformed;
  std::uint64_t header = 8;
  std::uint64_t length = 0;
  if (implicit) {
    length = Words::u32(p + 4);
  } else {
    const VrCode vr = read_vr(p + 4);
    if (!is_vr_code(vr)) return ElementCheck::malformed;
    if (is_long_vr(vr)) {
      if (left < 12) return ElementCheck::runs_past_end;
      if (p[6] != 0 || p[7] != 0) return ElementCheck::malformed;
      header = 12;
      length = Words::u32(p + 8);
    } else {
      length = Words::u16(p + 6);
    }
  }
  if (length == kUndefinedLength) return ElementCheck::undefined_length;
  if (length > left - header) return ElementCheck::runs_past_end;
  offset += header + length;
  return ElementCheck::whole;
}

// Whether the data opens with elements that read cleanly in this encoding: the first whole, then the
// second whole or cut by the end of the data, and so on for a few; an undefined length ends the check
// (its end is not known without walking it), and past two clean elements a broken one is the
// dataset's fault, not a sign of other data.
template <ByteOrder Order>
[[nodiscard]] bool opens_with_elements(const std::uint8_t* data, std::size_t size, bool implicit) {
  std::size_t offset = 0;
  std::uint32_t previous_tag = 0;
  for (int i = 0; i < kElementsToCheck && offset < size; ++i) {
    const std::uint32_t tag = size - offset >= 4 ? WordReader<Order>::tag(data + offset) : 0;
    switch (check_element<Order>(data, size, implicit, previous_tag, offset)) {
      case ElementCheck::whole: break;
      case ElementCheck::undefined_length: return true;
      case ElementCheck::runs_past_end: return i > 0;
      case ElementCheck::malformed: return i >= 2;
    }
    previous_tag = tag;
  }
  return offset > 0;
}

// The encoding a dataset without a usable transfer syntax is written in, when its first elements say
// so plainly: the group word read in one byte order must be a low group and the elements must read
// cleanly. Explicit when the VR letters are there; implicit only in little endian (the only such syntax).
[[nodiscard]] std::optional<Encoding> sniff_encoding(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return std::nullopt;
  const bool vr_written = is_vr_code(read_vr(data + 4));
  if (is_plausible_first_group(read_u16(data))) {
    const bool implicit = !vr_written;
    if (opens_with_elements<ByteOrder::little_endian>(data, size, implicit)) {
      return implicit ? kImplicitLittle : kExplicitLittle;
    }
  }
  if (vr_written && is_plausible_first_group(read_u16_big(data)) &&
      opens_with_elements<ByteOrder::big_endian>(data, size, false)) {
    return kExplicitBig;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------------
// Inflating

constexpr std::size_t kFirstInflateBytes = std::size_t{16} << 10;
// zlib counts in 32 bits; longer input and output are handed over in slices.
constexpr std::size_t kMaxZlibSlice = std::size_t{1} << 30;

enum class InflateEnd : std::uint8_t { header_complete, stream_corrupt, too_large };

class Inflater {
 public:
  Inflater() { ready_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
  ~Inflater() {
    if (ready_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Inflates the raw deflate stream `in` into `out`, doubling the buffer and probing the dataset at each
  // doubling so that the total work stays linear in what was inflated.
  InflateEnd run(const std::uint8_t* in, std::size_t in_size, std::vector<std::uint8_t>& out, std::size_t cap) {
    if (!ready_) return InflateEnd::stream_corrupt;
    in_ = in;
    in_left_ = in_size;
    std::size_t produced = 0;
    for (;;) {
      if (produced == out.size()) {
        if (produced > 0 && header_ends_within(out.data(), produced, kExplicitLittle)) {
          return InflateEnd::header_complete;
        }
        if (produced >= cap) return stream_ends_now() ? InflateEnd::header_complete : InflateEnd::too_large;
        grow(out, cap);
      }
      feed();
      const std::size_t room = std::min(out.size() - produced, kMaxZlibSlice);
      stream_.next_out = out.data() + produced;
      stream_.avail_out = static_cast<uInt>(room);
      const int rc = inflate(&stream_, Z_NO_FLUSH);
      produced += room - stream_.avail_out;
      if (rc == Z_STREAM_END) {
        out.resize(produced);
        return InflateEnd::header_complete;
      }
      const bool stalled = rc == Z_BUF_ERROR && stream_.avail_in == 0 && in_left_ == 0;
      if ((rc != Z_OK && rc != Z_BUF_ERROR) || stalled) {
        out.resize(produced);
        return InflateEnd::stream_corrupt;
      }
    }
  }

 private:
  void feed() {
    if (stream_.avail_in > 0 || in_left_ == 0) return;
    const std::size_t slice = std::min(in_left_, kMaxZlibSlice);
    stream_.next_in = const_cast<Bytef*>(in_);
    stream_.avail_in = static_cast<uInt>(slice);
    in_ += slice;
    in_left_ -= slice;
  }

  // Exact reservations keep the buffer within the cap (a plain resize could double past it).
  static void grow(std::vector<std::uint8_t>& out, std::size_t cap) {
    const std::size_t next = std::min(std::max(out.size() * 2, kFirstInflateBytes), cap);
    out.reserve(next);
    out.resize(next);
  }

  // With the buffer full at the cap: whether the stream ends without another byte.
  bool stream_ends_now() {
    std::uint8_t spare = 0;
    feed();
    stream_.next_out = &spare;
    stream_.avail_out = 1;
    return inflate(&stream_, Z_NO_FLUSH) == Z_STREAM_END && stream_.avail_out == 1;
  }

  z_stream stream_{};
  bool ready_ = false;
  const std::uint8_t* in_ = nullptr;
  std::size_t in_left_ = 0;
};

// ---------------------------------------------------------------------------------------------------
// Locating

[[nodiscard]] bool has_magic_at_128(const std::uint8_t* data, std::size_t size) {
  return size >= kMetaStart && data[128] == 'D' && data[129] == 'I' && data[130] == 'C' && data[131] == 'M';
}

constexpr std::string_view kNoDataset = "neither file meta information nor a dataset we recognise";

// `located` with its status offset already where the failure was found.
[[nodiscard]] LocatedDataset failed(LocatedDataset located, ReadCode code, std::string_view detail) {
  located.status.code = code;
  located.status.detail = detail;
  located.data = nullptr;
  located.size = 0;
  return located;
}

[[nodiscard]] LocatedDataset not_dicom(std::string_view detail, std::size_t offset) {
  LocatedDataset located;
  located.status.offset = offset;
  return failed(located, ReadCode::not_dicom, detail);
}

[[nodiscard]] LocatedDataset inflated_dataset(LocatedDataset located, std::vector<std::uint8_t>& inflated,
                                              std::size_t max_inflated) {
  located.deflated = true;
  const InflateEnd end = Inflater().run(located.data, located.size, inflated, max_inflated);
  if (end == InflateEnd::too_large) {
    return failed(located, ReadCode::inflated_too_large, "the deflated dataset inflates past the cap");
  }
  // A corrupt stream still gives whatever came out before the fault.
  if (inflated.empty()) return failed(located, ReadCode::inflate_failed, "the deflated stream is corrupt");
  located.data = inflated.data();
  located.size = inflated.size();
  return located;
}

// The dataset after a meta group that was read.
[[nodiscard]] LocatedDataset after_meta(const std::uint8_t* data, std::size_t size, const FileMetaInfo& meta,
                                        std::vector<std::uint8_t>& inflated, std::size_t max_inflated) {
  LocatedDataset located;
  located.meta = meta;
  located.has_meta = true;
  const auto offset = static_cast<std::size_t>(meta.dataset_offset);
  located.status.offset = offset;
  if (offset >= size) return failed(located, ReadCode::not_dicom, "nothing after the file meta information");
  located.data = data + offset;
  located.size = size - offset;

  const std::optional<SyntaxKind> kind = known_syntax(meta.transfer_syntax_uid);
  located.known_transfer_syntax = kind.has_value();
  if (!kind) {
    located.encoding = sniff_encoding(located.data, located.size).value_or(kExplicitLittle);
    return located;
  }
  located.encoding = encoding_of(*kind);
  if (*kind == SyntaxKind::deflated) return inflated_dataset(located, inflated, max_inflated);
  return located;
}

// Data with no preamble and magic in front, from `offset`: a meta group written without them, or a
// bare dataset.
[[nodiscard]] LocatedDataset without_magic(const std::uint8_t* data, std::size_t size, std::size_t offset,
                                           std::vector<std::uint8_t>& inflated, std::size_t max_inflated) {
  if (offset >= size) return not_dicom(kNoDataset, offset);
  const std::optional<Encoding> encoding = sniff_encoding(data + offset, size - offset);
  if (!encoding) return not_dicom(kNoDataset, offset);
  if (encoding->byte_order == ByteOrder::little_endian && read_u16(data + offset) == 0x0002) {
    const MetaResult meta = read_meta_group_at(data, size, offset);
    if (meta.ok()) return after_meta(data, size, meta.info, inflated, max_inflated);
  }
  LocatedDataset located;
  located.status.offset = offset;
  located.encoding = *encoding;
  located.data = data + offset;
  located.size = size - offset;
  return located;
}

}  // namespace

LocatedDataset locate_dataset(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& inflated,
                              std::size_t max_inflated) {
  inflated.clear();
  if (data == nullptr) return not_dicom(kNoDataset, 0);
  if (!has_magic_at_128(data, size)) return without_magic(data, size, 0, inflated, max_inflated);
  const MetaResult meta = read_file_meta(data, size);
  // "DICM" with no meta element after it: the dataset follows the magic directly.
  if (meta.status.code == ReadCode::bad_header) return without_magic(data, size, kMetaStart, inflated, max_inflated);
  if (!meta.ok()) return not_dicom(meta.status.detail, meta.status.offset);
  return after_meta(data, size, meta.info, inflated, max_inflated);
}

}  // namespace zanthe::dicom

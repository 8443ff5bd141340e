#include "dicom/part10_reader.h"

#include <algorithm>
#include <array>

#include "dicom/byte_reading.h"
#include "dicom/element_reader.h"
#include "dicom/vr_tables.h"

namespace zanthe::dicom {
namespace {

constexpr std::size_t kPreambleSize = 128;
constexpr std::size_t kMetaStart = kPreambleSize + 4;
constexpr std::uint16_t kMetaGroup = 0x0002;
constexpr std::uint16_t kDelimiterGroup = 0xFFFE;
constexpr std::uint16_t kPixelGroup = 0x7FE0;
constexpr std::size_t kMaxCreatorSlots = 64;
constexpr std::string_view kImplicitVrLittleEndian = "1.2.840.10008.1.2";
constexpr std::string_view kCutHeader = "an element header is cut short by the end of the data";

[[nodiscard]] bool is_padding(std::uint8_t b) { return b == 0x00 || b == 0x20; }

[[nodiscard]] std::string_view trim_trailing_padding(const std::uint8_t* value, std::size_t size) {
  while (size > 0 && is_padding(value[size - 1])) --size;
  return {reinterpret_cast<const char*>(value), size};
}

[[nodiscard]] bool has_magic(const std::uint8_t* data) {
  return data[128] == 'D' && data[129] == 'I' && data[130] == 'C' && data[131] == 'M';
}

// Keeps the three UIDs of the meta group; a later occurrence replaces an earlier one.
void take_meta_uid(FileMetaInfo& info, std::uint16_t group, std::uint16_t element, const std::uint8_t* value,
                   std::size_t size) {
  if (group != kMetaGroup) return;
  switch (element) {
    case 0x0002:
      info.sop_class_uid = trim_trailing_padding(value, size);
      break;
    case 0x0003:
      info.sop_instance_uid = trim_trailing_padding(value, size);
      break;
    case 0x0010:
      info.transfer_syntax_uid = trim_trailing_padding(value, size);
      break;
    default:
      break;
  }
}

// The strict parser's 12-byte-header VRs: the older set, without SV, UR and UV.
[[nodiscard]] bool is_strict_long_vr(VrCode vr) {
  return is_long_vr(vr) && vr != vr_code('S', 'V') && vr != vr_code('U', 'R') && vr != vr_code('U', 'V');
}

// One meta parser's outcome. The offset is the dataset offset on success, else the start of what could
// not be read.
struct MetaParse {
  FileMetaInfo info;
  MetaStatus status = MetaStatus::ok;
  std::uint64_t offset = 0;
};

[[nodiscard]] MetaParse fail(MetaStatus status, std::uint64_t offset) { return MetaParse{{}, status, offset}; }

[[nodiscard]] MetaParse read_meta_by_group_length(const std::uint8_t* data, std::size_t size) {
  if (size < kMetaStart) return fail(MetaStatus::truncated, 0);
  if (!has_magic(data)) return fail(MetaStatus::no_magic, kPreambleSize);
  if (size < 144) return fail(MetaStatus::truncated, kMetaStart);
  if (read_u16(data + 132) != kMetaGroup || read_u16(data + 134) != 0 || read_vr(data + 136) != kVrUL) {
    return fail(MetaStatus::bad_header, kMetaStart);
  }
  const std::uint32_t group_length = read_u32(data + 140);
  const std::uint64_t end = 144 + static_cast<std::uint64_t>(group_length);
  if (end > size) return fail(MetaStatus::truncated, kMetaStart);
  if (group_length < 8) return fail(MetaStatus::missing_uid, 144);

  MetaParse result;
  std::uint64_t offset = 144;
  while (offset + 8 <= end) {
    const std::uint8_t* p = data + offset;
    const VrCode vr = read_vr(p + 4);
    std::uint64_t header = 8;
    std::uint64_t length = read_u16(p + 6);
    if (is_strict_long_vr(vr)) {
      if (offset + 12 > end) return fail(MetaStatus::truncated, offset);
      header = 12;
      length = read_u32(p + 8);
    }
    if (header + length > end - offset) return fail(MetaStatus::truncated, offset);
    take_meta_uid(result.info, read_u16(p), read_u16(p + 2), p + header, length);
    offset += header + length;
  }
  const FileMetaInfo& info = result.info;
  if (info.sop_class_uid.empty() || info.sop_instance_uid.empty() || info.transfer_syntax_uid.empty()) {
    return fail(MetaStatus::missing_uid, 144);
  }
  result.info.dataset_offset = end;
  result.offset = end;
  return result;
}

// Walks group 0002 elements from `offset` whatever any group length says, accepting implicit VR ones.
[[nodiscard]] MetaParse scan_meta_group(const std::uint8_t* data, std::size_t size, std::size_t offset) {
  MetaParse result;
  const std::size_t start = offset;
  while (size - offset >= 8 && read_u16(data + offset) == kMetaGroup) {
    const std::uint8_t* p = data + offset;
    const VrCode vr = read_vr(p + 4);
    std::uint64_t header = 8;
    std::uint64_t length = 0;
    if (!is_vr_code(vr)) {
      length = read_u32(p + 4);
    } else if (is_long_vr(vr)) {
      if (size - offset < 12) return fail(MetaStatus::truncated, offset);
      header = 12;
      length = read_u32(p + 8);
    } else {
      length = read_u16(p + 6);
    }
    if (header + length > size - offset) return fail(MetaStatus::truncated, offset);
    take_meta_uid(result.info, kMetaGroup, read_u16(p + 2), p + header, length);
    offset += header + length;
  }
  if (offset == start) return fail(MetaStatus::bad_header, start);
  result.info.dataset_offset = offset;
  result.offset = offset;
  return result;
}

[[nodiscard]] MetaParse scan_meta_leniently(const std::uint8_t* data, std::size_t size) {
  if (size < 140) return fail(MetaStatus::truncated, size < kMetaStart ? 0 : kMetaStart);
  if (!has_magic(data)) return fail(MetaStatus::no_magic, kPreambleSize);
  return scan_meta_group(data, size, kMetaStart);
}

// The meta codes that leave this reader are ReadCodes of the same number.
static_assert(static_cast<int>(ReadCode::no_magic) == static_cast<int>(MetaStatus::no_magic));
static_assert(static_cast<int>(ReadCode::truncated) == static_cast<int>(MetaStatus::truncated));
static_assert(static_cast<int>(ReadCode::bad_header) == static_cast<int>(MetaStatus::bad_header));

[[nodiscard]] std::string_view meta_failure_text(MetaStatus status) {
  switch (status) {
    case MetaStatus::ok: break;
    case MetaStatus::no_magic: return "no \"DICM\" at offset 128";
    case MetaStatus::truncated: return "the data end inside the file meta information";
    case MetaStatus::bad_header: return "no file meta element where the meta group starts";
    case MetaStatus::missing_uid: return "a file meta UID is absent";
  }
  return {};
}

// The final outcome of the meta parsers, as this reader reports it (never missing_uid: see MetaStatus).
[[nodiscard]] MetaResult reported(const MetaParse& parse) {
  const auto offset = static_cast<std::size_t>(parse.offset);
  if (parse.status == MetaStatus::ok) return MetaResult{parse.info, ReadStatus{.offset = offset}};
  return MetaResult{{}, ReadStatus{static_cast<ReadCode>(parse.status), meta_failure_text(parse.status), offset}};
}

struct CreatorSlot {
  std::uint16_t group;
  std::uint8_t block;
  std::uint32_t length;
  const std::uint8_t* value;
};

// One walk over a dataset: the position, the remembered private creators and the output list.
// `Probe` walks a buffer that may be only a prefix of the dataset, keeps no element and tells whether the
// top-level header certainly ended inside it (see header_ends_within).
template <ByteOrder Order, bool Probe>
class DatasetParser {
  using Words = WordReader<Order>;

 public:
  DatasetParser(const std::uint8_t* data, std::size_t size, bool implicit_vr, ElementList* out)
      : data_(data), end_(data + size), reader_(implicit_vr), out_(out) {}

  ReadStatus run() {
    const Step last = walk();
    header_ended_ = last == Step::header_ended;
    const auto stop = static_cast<std::size_t>(p_ - data_);
    if (last == Step::unreadable) return ReadStatus{ReadCode::unreadable_element, kCutHeader, stop};
    return ReadStatus{.offset = stop};
  }

  [[nodiscard]] bool header_ended() const { return header_ended_; }

 private:
  enum class Step { next, end, unreadable, header_ended };

  Step walk() {
    for (;;) {
      if (end_ - p_ < 4) return Step::end;
      const std::uint32_t tag = Words::tag(p_);
      const auto group = static_cast<std::uint16_t>(tag >> 16);
      if (group == 0) return Probe ? Step::header_ended : Step::end;
      const Step step = group == kDelimiterGroup ? stray_item(tag) : element(tag);
      if (step != Step::next) return step;
    }
  }

  [[nodiscard]] std::uint64_t remaining(const std::uint8_t* from) const {
    return static_cast<std::uint64_t>(end_ - from);
  }

  void store(std::uint32_t tag, VrCode vr, std::uint64_t length, const std::uint8_t* value) {
    if constexpr (!Probe) out_->push_back(DataElement{tag, vr, length, value});
  }

  // The entry just stored took every byte left.
  Step stored_the_rest() {
    p_ = end_;
    return Step::end;
  }

  // An item or delimiter outside any sequence: keep an item's bytes as one entry, drop delimiters.
  Step stray_item(std::uint32_t tag) {
    if (end_ - p_ < 8) return Step::unreadable;
    if (tag == kItemDelimitationTag || tag == kSequenceDelimitationTag) {
      p_ += 8;
      return Step::next;
    }
    const std::uint32_t length = Words::u32(p_ + 4);
    const std::uint8_t* value = p_ + 8;
    if (length == kUndefinedLength) {
      const std::uint8_t* delimiter = reader_.find_item_end(value, end_, 0);
      if (delimiter == nullptr || end_ - delimiter < 8) {
        store(kItemTag, kUnknownVr, remaining(value), value);
        return stored_the_rest();
      }
      store(kItemTag, kUnknownVr, static_cast<std::uint64_t>(delimiter - value), value);
      p_ = delimiter + 8;
      return Step::next;
    }
    if (Probe && length > remaining(value)) return Step::end;
    const std::uint64_t kept = std::min<std::uint64_t>(length, remaining(value));
    store(kItemTag, kUnknownVr, kept, value);
    p_ = value + kept;
    return Step::next;
  }

  Step element(std::uint32_t tag) {
    const auto group = static_cast<std::uint16_t>(tag >> 16);
    const auto number = static_cast<std::uint16_t>(tag);
    // Pixel data and whatever follows it are not part of the header a probe waits for.
    if (Probe && group >= kPixelGroup) return Step::header_ended;
    const std::uint8_t* after_tag = p_ + 4;
    ElementHeader header;
    const std::uint32_t size = reader_.read_header(
        after_tag, static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining(after_tag), 0xFFFFFFFFu)), group,
        number, header);
    if (size == 0) return Step::unreadable;
    if (Probe && header.reached_end) return Step::end;
    const std::uint8_t* value = after_tag + size;
    remember_creator(group, number, header.length, value);
    if (header.length == kUndefinedLength) return undefined_length(tag, header.vr, value);
    return defined_length(tag, header, value);
  }

  void remember_creator(std::uint16_t group, std::uint16_t number, std::uint32_t length, const std::uint8_t* value) {
    if (group % 2 == 0 || number < 0x0010 || number > 0x00FF) return;
    if (length == 0 || length == kUndefinedLength || length > remaining(value)) return;
    if (slot_count_ == kMaxCreatorSlots) return;
    slots_[slot_count_++] = CreatorSlot{group, static_cast<std::uint8_t>(number), length, value};
  }

  // The creator reserving this element's block, newest first; only the first match is asked.
  [[nodiscard]] bool is_known_private_sequence(std::uint16_t group, std::uint16_t number) const {
    const auto block = static_cast<std::uint8_t>(number >> 8);
    if (group % 2 == 0 || block <= 0x0F) return false;
    for (std::size_t i = slot_count_; i-- > 0;) {
      const CreatorSlot& slot = slots_[i];
      if (slot.group == group && slot.block == block) {
        return is_private_sequence(slot.value, slot.length, group, static_cast<std::uint8_t>(number));
      }
    }
    return false;
  }

  Step defined_length(std::uint32_t tag, ElementHeader header, const std::uint8_t* value) {
    const auto group = static_cast<std::uint16_t>(tag >> 16);
    const std::uint64_t length = std::min<std::uint64_t>(header.length, remaining(value));
    // A probe keeps no VR, so the sequence tests that only change the VR are skipped.
    if constexpr (!Probe) {
      if (is_unknown_or_un(header.vr) && is_known_private_sequence(group, static_cast<std::uint16_t>(tag))) {
        header.vr = kVrSQ;
      }
      if (is_unknown_or_un(header.vr) && group != kPixelGroup && reader_.looks_like_sequence(value, length)) {
        header.vr = kVrSQ;
      }
    }
    store(tag, header.vr, length, value);
    p_ = value + length;
    return Step::next;
  }

  // Position after the items of an undefined-length value when a sequence delimiter closes them,
  // or nullptr when the value has no item structure.
  [[nodiscard]] const std::uint8_t* find_sequence_delimiter(const std::uint8_t* q) const {
    while (end_ - q >= 8) {
      const std::uint32_t tag = Words::tag(q);
      if (tag == kSequenceDelimitationTag) return q;
      if (tag != kItemTag) return nullptr;
      const std::uint32_t length = Words::u32(q + 4);
      const std::uint8_t* item_value = q + 8;
      if (length == kUndefinedLength) {
        const std::uint8_t* delimiter = reader_.find_item_end(item_value, end_, 1);
        if (delimiter == nullptr || end_ - delimiter < 8) return nullptr;
        q = delimiter + 8;
      } else {
        if (length > remaining(item_value) || remaining(item_value) - length < 8) return nullptr;
        q = item_value + length;
      }
    }
    return nullptr;
  }

  Step undefined_length(std::uint32_t tag, VrCode vr, const std::uint8_t* value) {
    const auto group = static_cast<std::uint16_t>(tag >> 16);
    const bool may_become_sequence = is_unknown_or_un(vr) && group != kPixelGroup;
    if (const std::uint8_t* delimiter = find_sequence_delimiter(value)) {
      store(tag, may_become_sequence ? kVrSQ : vr, static_cast<std::uint64_t>(delimiter - value), value);
      p_ = delimiter + 8;
      return Step::next;
    }
    const std::uint64_t rest = remaining(value);
    if (group == kPixelGroup && rest >= 1) {
      // Encapsulated pixel data with a broken fragment list: keep every remaining byte.
      store(tag, vr, rest, value);
      return stored_the_rest();
    }
    if (rest >= 4 && Words::u16(value) != kDelimiterGroup) {
      // No items at all: an empty sequence, and what follows is read as ordinary elements.
      store(tag, kVrSQ, 0, value);
      p_ = value;
      return Step::next;
    }
    store(tag, may_become_sequence ? kVrSQ : vr, rest, value);
    return stored_the_rest();
  }

  const std::uint8_t* data_;
  const std::uint8_t* end_;
  const std::uint8_t* p_ = data_;
  ElementReader<Order> reader_;
  ElementList* out_;
  std::array<CreatorSlot, kMaxCreatorSlots> slots_{};
  std::size_t slot_count_ = 0;
  bool header_ended_ = false;
};

}  // namespace

MetaResult read_file_meta(const std::uint8_t* data, std::size_t size) {
  const MetaParse strict = read_meta_by_group_length(data, size);
  if (strict.status == MetaStatus::ok || strict.status == MetaStatus::no_magic) return reported(strict);
  return reported(scan_meta_leniently(data, size));
}

ReadStatus parse_dataset(const std::uint8_t* data, std::size_t size, Encoding encoding, ElementList& out) {
  if (data == nullptr) return {};
  if (encoding.byte_order == ByteOrder::big_endian) {
    return DatasetParser<ByteOrder::big_endian, false>(data, size, encoding.implicit_vr, &out).run();
  }
  return DatasetParser<ByteOrder::little_endian, false>(data, size, encoding.implicit_vr, &out).run();
}

MetaResult read_meta_group_at(const std::uint8_t* data, std::size_t size, std::size_t offset) {
  if (data == nullptr || offset > size) return reported(fail(MetaStatus::truncated, offset));
  return reported(scan_meta_group(data, size, offset));
}

ReadStatus parse_dataset(const std::uint8_t* data, std::size_t size, bool explicit_vr, ElementList& out) {
  return parse_dataset(data, size, Encoding{.implicit_vr = !explicit_vr}, out);
}

bool header_ends_within(const std::uint8_t* data, std::size_t size, Encoding encoding) {
  if (data == nullptr) return false;
  if (encoding.byte_order == ByteOrder::big_endian) {
    DatasetParser<ByteOrder::big_endian, true> probe(data, size, encoding.implicit_vr, nullptr);
    (void)probe.run();
    return probe.header_ended();
  }
  DatasetParser<ByteOrder::little_endian, true> probe(data, size, encoding.implicit_vr, nullptr);
  (void)probe.run();
  return probe.header_ended();
}

bool is_implicit_vr_little_endian(std::string_view transfer_syntax_uid) {
  while (!transfer_syntax_uid.empty() && is_padding(static_cast<std::uint8_t>(transfer_syntax_uid.back()))) {
    transfer_syntax_uid.remove_suffix(1);
  }
  return transfer_syntax_uid == kImplicitVrLittleEndian;
}

std::string_view element_text(const DataElement& element) {
  std::string_view text = trim_trailing_padding(element.value, static_cast<std::size_t>(element.length));
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return text;
}

std::string_view find_text(const ElementList& elements, std::uint32_t tag) {
  const auto it =
      std::find_if(elements.begin(), elements.end(), [tag](const DataElement& e) { return e.tag == tag; });
  if (it == elements.end()) return {};
  return element_text(*it);
}

}  // namespace zanthe::dicom

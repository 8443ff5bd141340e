// Fuzz target for DICOM to FHIR end to end: the conversion of the whole file (meta, dataset, mapping,
// JSON writer), whose text must be one JSON object, then the reader's own paths on the raw bytes
// (locating the dataset, inflating it, the dataset in every encoding, the element and item walks).
// See fuzz/README.md for the build.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "agent/json_reader.h"
#include "dicom/element_reader.h"
#include "dicom/part10_reader.h"
#include "fhir/part10_conversion.h"

namespace {

void check_elements(const zanthe::dicom::ElementList& elements, const std::uint8_t* data, std::size_t size) {
  for (const auto& e : elements) {
    if (e.length == zanthe::dicom::kUndefinedLength || e.value < data ||
        e.length > static_cast<std::uint64_t>(data + size - e.value)) {
      __builtin_trap();
    }
  }
}

void read_dataset(const std::uint8_t* data, std::size_t size, zanthe::dicom::Encoding encoding) {
  zanthe::dicom::ElementList elements;
  const zanthe::dicom::ReadStatus status = zanthe::dicom::parse_dataset(data, size, encoding, elements);
  if (status.offset > size) __builtin_trap();
  check_elements(elements, data, size);
  (void)zanthe::dicom::find_text(elements, 0x0020000Du);
  (void)zanthe::dicom::header_ends_within(data, size, encoding);
}

// A small inflate cap keeps each run fast; the located bytes must lie in the input or the inflated buffer.
void locate(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> inflated;
  const zanthe::dicom::LocatedDataset located = zanthe::dicom::locate_dataset(data, size, inflated, 1u << 20);
  if (!located.ok()) return;
  const std::uint8_t* base = located.deflated ? inflated.data() : data;
  const std::size_t limit = located.deflated ? inflated.size() : size;
  if (located.data < base || located.size > static_cast<std::size_t>(base + limit - located.data)) __builtin_trap();
  read_dataset(located.data, located.size, located.encoding);
}

constexpr zanthe::dicom::Encoding kEncodings[] = {
    {.implicit_vr = false, .byte_order = zanthe::dicom::ByteOrder::little_endian},
    {.implicit_vr = true, .byte_order = zanthe::dicom::ByteOrder::little_endian},
    {.implicit_vr = false, .byte_order = zanthe::dicom::ByteOrder::big_endian},
};

// A successful conversion is a JSON object; a failure is one of the named codes, with its words.
void convert(const std::uint8_t* data, std::size_t size) {
  const zanthe::fhir::ConversionResult result = zanthe::fhir::convert_part10_to_imaging_study(data, size);
  if (!result.ok()) {
    if (result.status.code > zanthe::fhir::ConversionCode::emit_failed || result.status.detail.empty()) {
      __builtin_trap();
    }
    return;
  }
  const std::size_t capacity = 16 * result.json.size() + 4096;
  std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[capacity]);
  zanthe::agent::JsonArena arena{storage.get(), capacity, 0};
  const auto parsed = zanthe::agent::parse_json(result.json, arena);
  if (!parsed.ok || parsed.value.kind != zanthe::agent::JsonKind::object) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  // An exactly-sized copy, so that a read past the end is caught.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  if (size > 0) std::memcpy(copy.get(), input, size);
  const std::uint8_t* data = copy.get();
  convert(data, size);

  const auto meta = zanthe::dicom::read_file_meta(data, size);
  if (meta.ok() && meta.info.dataset_offset > size) __builtin_trap();
  locate(data, size);
  for (const zanthe::dicom::Encoding encoding : kEncodings) {
    read_dataset(data, size, encoding);
    (void)zanthe::dicom::looks_like_sequence(data, size, encoding);
    (void)zanthe::dicom::skip_element(data, size, encoding, 0);
    (void)zanthe::dicom::find_item_end(data, data + size, encoding, 0);
  }
  return 0;
}

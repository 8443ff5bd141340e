// Fuzz target for the DICOM reader: the whole file path (meta, then dataset in both VR forms) and the
// element walks on raw bytes. Build with clang's libFuzzer:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc fuzz/dicom_reader_fuzz.cpp
//     src/dicom/*.cpp -o build/dicom_reader_fuzz
// or with any compiler plus fuzz/mutation_driver.cpp (see there).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "dicom/element_reader.h"
#include "dicom/part10_reader.h"

namespace {

void check_elements(const zanthe::dicom::ElementList& elements, const std::uint8_t* data, std::size_t size) {
  for (const auto& e : elements) {
    if (e.length == zanthe::dicom::kUndefinedLength || e.value < data ||
        e.length > static_cast<std::uint64_t>(data + size - e.value)) {
      __builtin_trap();
    }
  }
}

void read_dataset(const std::uint8_t* data, std::size_t size, bool explicit_vr) {
  zanthe::dicom::ElementList elements;
  (void)zanthe::dicom::parse_dataset(data, size, explicit_vr, elements);
  check_elements(elements, data, size);
  (void)zanthe::dicom::find_text(elements, 0x0020000Du);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  // An exactly-sized copy, so that a read past the end is caught.
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  if (size > 0) std::memcpy(copy.get(), input, size);
  const std::uint8_t* data = copy.get();

  const auto meta = zanthe::dicom::read_file_meta(data, size);
  if (meta.ok()) {
    const std::size_t offset = static_cast<std::size_t>(meta.info.dataset_offset);
    if (offset > size) __builtin_trap();
    read_dataset(data + offset, size - offset,
                 !zanthe::dicom::is_implicit_vr_little_endian(meta.info.transfer_syntax_uid));
  }
  read_dataset(data, size, true);
  read_dataset(data, size, false);
  for (const bool implicit : {false, true}) {
    (void)zanthe::dicom::looks_like_sequence(data, size, implicit);
    (void)zanthe::dicom::skip_element(data, size, implicit, 0);
    (void)zanthe::dicom::find_item_end(data, data + size, implicit, 0);
  }
  return 0;
}

// Fuzz target for the DICOM JSON model of a whole file: the first input byte picks the inline limit and
// how small the output and inflate caps are, the rest is the file. What comes back must be one JSON
// object when the code says there is JSON, and nothing but a named failure otherwise. See fuzz/README.md.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "agent/json_reader.h"
#include "dicom/json_model.h"

namespace {

using zanthe::dicom::JsonModelCode;

constexpr std::size_t kInlineLimits[] = {0, 3, 4, 64, 1024, std::size_t{1} << 20};

[[nodiscard]] zanthe::dicom::JsonModelOptions options_from(std::uint8_t choice) {
  zanthe::dicom::JsonModelOptions options;
  options.inline_limit = kInlineLimits[choice % std::size(kInlineLimits)];
  // Tight caps now and then, so the paths that stop at them run too.
  options.max_output = (choice & 0x40) != 0 ? 512 : std::size_t{8} << 20;
  options.max_inflated = (choice & 0x80) != 0 ? 4096 : std::size_t{1} << 20;
  options.max_sequence_depth = (choice & 0x20) != 0 ? 3 : 32;
  return options;
}

void check(const zanthe::dicom::JsonModelResult& result, const zanthe::dicom::JsonModelOptions& options) {
  if (!result.has_json()) {
    if (!result.json.empty() || result.detail.empty() || result.code > JsonModelCode::output_too_large) {
      __builtin_trap();
    }
    return;
  }
  if ((result.code == JsonModelCode::ok) != result.detail.empty()) __builtin_trap();
  if (result.json.size() > options.max_output) __builtin_trap();
  const std::size_t capacity = 16 * result.json.size() + 4096;
  std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[capacity]);
  zanthe::agent::JsonArena arena{storage.get(), capacity, 0};
  const auto parsed = zanthe::agent::parse_json(result.json, arena);
  if (!parsed.ok || parsed.value.kind != zanthe::agent::JsonKind::object) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size == 0) return 0;
  const zanthe::dicom::JsonModelOptions options = options_from(input[0]);
  // An exactly-sized copy, so that a read past the end is caught.
  const std::size_t file_size = size - 1;
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[file_size + 1]);
  if (file_size > 0) std::memcpy(copy.get(), input + 1, file_size);
  check(zanthe::dicom::dataset_json_model(copy.get(), file_size, options), options);
  return 0;
}

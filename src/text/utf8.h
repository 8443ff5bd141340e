// UTF-8 well-formedness, shared by every engine that checks or repairs text.
#pragma once

#include <cstddef>
#include <string_view>

namespace zanthe::text {

// Bytes of the well-formed UTF-8 sequence starting at `at` in `bytes`, or 0 when none starts there.
// Overlong forms, surrogates and code points past U+10FFFF are refused, as every strict decoder does.
[[nodiscard]] std::size_t utf8_sequence_length(std::string_view bytes, std::size_t at) noexcept;

// Whether `bytes` is well-formed UTF-8 throughout.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace zanthe::text

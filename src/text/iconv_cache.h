// iconv descriptors converting to UTF-8, opened once per source character set and thread.
//
// iconv_open loads a gconv module and builds its state, far too slow to repeat per value; a descriptor
// carries conversion state, so it cannot be shared between threads either. The descriptors are closed
// when their thread ends.
#pragma once

#include <iconv.h>

namespace zanthe::text {

// What converter_to_utf8 gives when the C library has no conversion from that character set.
inline const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);  // iconv_open's own failure value

// The calling thread's descriptor from `charset` (an iconv name such as "ISO-8859-1") to UTF-8, reset
// to its initial shift state; kNoConverter when the C library cannot convert from it. `charset` must
// be a string that lives as long as the thread (a literal): descriptors are kept by its address.
[[nodiscard]] iconv_t converter_to_utf8(const char* charset);

}  // namespace zanthe::text

// The decoder of each encapsulated transfer syntax. Codecs of system libraries add their rows here.
#include <algorithm>
#include <initializer_list>
#include <string>

#include "pixels/codecs.h"
#include "pixels/frame.h"
#include "pixels/rle_decoder.h"

namespace zanthe::pixels {

PixelStatus decode_encapsulated(std::string_view transfer_syntax, std::span<const std::uint8_t> frame_bytes,
                                const ImagePixel& image, Frame& out) {
  if (transfer_syntax == "1.2.840.10008.1.2.5") return decode_rle_frame(frame_bytes, image, out);
  const auto is = [&](std::initializer_list<std::string_view> uids) {
    return std::find(uids.begin(), uids.end(), transfer_syntax) != uids.end();
  };
  if (is({"1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.51"})) return decode_jpeg_baseline(frame_bytes, image, out);
  if (is({"1.2.840.10008.1.2.4.57", "1.2.840.10008.1.2.4.70"})) return decode_jpeg_lossless(frame_bytes, image, out);
  if (is({"1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.81"})) return decode_jpeg_ls(frame_bytes, image, out);
  if (is({"1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91", "1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202",
          "1.2.840.10008.1.2.4.203"}))
    return decode_jpeg_2000(frame_bytes, image, out);
  return {PixelCode::unsupported_transfer_syntax, "unsupported transfer syntax " + std::string(transfer_syntax)};
}

}  // namespace zanthe::pixels

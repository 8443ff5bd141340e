// The decoder of each encapsulated transfer syntax. Codecs of system libraries add their rows here.
#include <string>

#include "pixels/frame.h"
#include "pixels/rle_decoder.h"

namespace zanthe::pixels {

PixelStatus decode_encapsulated(std::string_view transfer_syntax, std::span<const std::uint8_t> frame_bytes,
                                const ImagePixel& image, Frame& out) {
  if (transfer_syntax == "1.2.840.10008.1.2.5") return decode_rle_frame(frame_bytes, image, out);
  return {PixelCode::unsupported_transfer_syntax, "unsupported transfer syntax " + std::string(transfer_syntax)};
}

}  // namespace zanthe::pixels

#include "pixels/pixel_status.h"

namespace zanthe::pixels {

const char* pixel_code_name(PixelCode code) {
  switch (code) {
    case PixelCode::ok: return "ok";
    case PixelCode::not_dicom: return "not_dicom";
    case PixelCode::no_pixel_data: return "no_pixel_data";
    case PixelCode::bad_attributes: return "bad_attributes";
    case PixelCode::frame_out_of_range: return "frame_out_of_range";
    case PixelCode::truncated: return "truncated";
    case PixelCode::unsupported_transfer_syntax: return "unsupported_transfer_syntax";
    case PixelCode::decode_failed: return "decode_failed";
    case PixelCode::too_large: return "too_large";
    case PixelCode::encode_failed: return "encode_failed";
  }
  return "unknown";
}

}  // namespace zanthe::pixels

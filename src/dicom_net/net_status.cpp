#include "dicom_net/net_status.h"

namespace zanthe::dicom_net {

std::string_view net_code_name(NetCode code) noexcept {
  switch (code) {
    case NetCode::ok: return "ok";
    case NetCode::truncated: return "truncated";
    case NetCode::malformed: return "malformed";
    case NetCode::unsupported: return "unsupported";
    case NetCode::too_large: return "too_large";
    case NetCode::timed_out: return "timed_out";
    case NetCode::rejected: return "rejected";
    case NetCode::aborted: return "aborted";
    case NetCode::refused: return "refused";
    case NetCode::os_error: return "os_error";
    case NetCode::bad_argument: return "bad_argument";
  }
  return "unknown";
}

}  // namespace zanthe::dicom_net

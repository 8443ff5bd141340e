// How the DICOM networking engine reports failures: one code, a detail text and, where one exists,
// the offset in the bytes read. Nothing in this engine throws for bad input or a bad peer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

namespace zanthe::dicom_net {

enum class NetCode : std::uint8_t {
  ok = 0,
  truncated = 1,        // a PDU, an item or a command element ends before its declared length
  malformed = 2,        // a field that cannot hold what it holds (a bad item type, a length that overruns)
  unsupported = 3,      // well formed but not what we speak (a protocol version, an application context)
  too_large = 4,        // over a limit: a PDU past the negotiated maximum, an A-ASSOCIATE-RQ past its cap
  timed_out = 5,        // a deadline passed (ARTIM, a read, an answer)
  rejected = 6,         // the peer rejected the association
  aborted = 7,          // the peer aborted, or closed the connection mid-exchange
  refused = 8,          // the peer refused something proposed (no accepted presentation context)
  os_error = 9,         // a system call failed; os_error holds errno
  bad_argument = 10,    // the caller's request makes no sense (an empty AE title, a file that is no DICOM)
};

[[nodiscard]] std::string_view net_code_name(NetCode code) noexcept;

struct NetStatus {
  NetCode code = NetCode::ok;
  std::string detail;
  std::size_t offset = 0;
  int os_error = 0;
  [[nodiscard]] bool ok() const noexcept { return code == NetCode::ok; }
};

[[nodiscard]] inline NetStatus net_failure(NetCode code, std::string detail, std::size_t offset = 0) {
  return NetStatus{code, std::move(detail), offset, 0};
}

// A failed system call: what was being done, and errno.
[[nodiscard]] inline NetStatus os_failure(std::string what, int error) {
  NetStatus status = net_failure(NetCode::os_error, std::move(what) + ": " + std::strerror(error));
  status.os_error = error;
  return status;
}

}  // namespace zanthe::dicom_net

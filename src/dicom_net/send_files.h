// Sending files as an SCU: C-ECHO to a peer, and C-STORE of many files over as few associations as
// their presentation contexts allow, each file in its own transfer syntax.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dicom_net/association_client.h"
#include "dicom_net/net_status.h"

namespace zanthe::dicom_net {

// Opens an association proposing Verification, sends one C-ECHO and releases.
[[nodiscard]] NetStatus echo_peer(const ClientOptions& options, std::uint16_t& status);

// What became of one file: the C-STORE status, or none when it was never sent (unreadable, refused,
// or the association ended first) with the reason in `comment`.
struct SendOutcome {
  std::string path;
  std::string sop_instance;
  std::optional<std::uint16_t> status;
  std::string comment;
};

using SendCallback = std::function<void(const SendOutcome&)>;

// Sends every file, reporting each one once through `report` (never from two threads at once). The
// files' meta groups are read first, to propose one context per (SOP class, transfer syntax); files
// are read whole one at a time as they are sent. With several `associations`, the files are dealt
// out to that many associations sending side by side, each on a thread of its own. Fails (reporting
// nothing further) only when not one association can be made; later failures are reported per file.
[[nodiscard]] NetStatus send_files(const ClientOptions& options, const std::vector<std::string>& paths,
                                   const SendCallback& report, unsigned associations = 1);

}  // namespace zanthe::dicom_net

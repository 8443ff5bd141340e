// The SCU side of an association: connect, negotiate, C-ECHO and C-STORE, release. Blocking sockets on
// the calling thread; every wait has a deadline. One Association is used by one thread at a time.
//
// Nothing throws for a bad peer: each call answers a NetStatus. After a failure of the exchange itself
// (a timeout, a malformed or oversized PDU, an A-ABORT or a closed connection) the association is
// aborted and closed, and later calls answer bad_argument; a C-STORE the peer answers with a failure
// status, or one refused for want of a context, leaves it open.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dicom_net/dimse.h"
#include "dicom_net/net_status.h"
#include "dicom_net/pdu.h"

namespace zanthe::dicom_net {

struct ClientOptions {
  std::string host;
  std::uint16_t port = 0;
  std::string calling_ae = "ZANTHE";
  std::string called_ae = "ANY-SCP";
  std::chrono::milliseconds connect_timeout{10'000};
  std::chrono::milliseconds response_timeout{60'000};  // for each PDU awaited, and for each one sent
  std::uint32_t max_pdu_length = 1 << 20;  // the largest P-DATA-TF body we receive; 0 announces no limit
};

// The most presentation contexts one association carries (odd IDs 1 to 255).
inline constexpr std::size_t kMaxPresentationContexts = 128;
// Each PDV we send carries at most this much, whatever the peer would take.
inline constexpr std::size_t kMaxPdvData = std::size_t{1} << 20;

class Association {
 public:
  Association() = default;
  ~Association();  // aborts an association still established, then closes the socket
  Association(Association&& other) noexcept;
  Association& operator=(Association&& other) noexcept;
  Association(const Association&) = delete;
  Association& operator=(const Association&) = delete;

  // Connects (within connect_timeout), sends the A-ASSOCIATE-RQ with `contexts` and reads the answer:
  // ok on A-ASSOCIATE-AC; rejected (result, source and reason in the detail) on A-ASSOCIATE-RJ; aborted
  // on A-ABORT or a closed connection; timed_out when no answer comes within response_timeout.
  // bad_argument for no contexts, more than kMaxPresentationContexts, an even or repeated ID, or an empty
  // AE title. `out` is replaced (an open association in it is aborted first).
  [[nodiscard]] static NetStatus open(const ClientOptions& options, std::vector<PresentationContextRequest> contexts,
                                      Association& out);

  [[nodiscard]] bool is_open() const noexcept { return fd_ >= 0; }
  [[nodiscard]] const std::vector<PresentationContextRequest>& proposed_contexts() const noexcept { return proposed_; }
  // The peer's answer for each context, as its A-ASSOCIATE-AC listed them (refused ones included).
  [[nodiscard]] const std::vector<PresentationContextAccept>& context_results() const noexcept {
    return accept_.contexts;
  }
  // The whole A-ASSOCIATE-AC as parsed (the peer's AE titles, implementation, maximum PDU length).
  [[nodiscard]] const AssociateAccept& accept() const noexcept { return accept_; }
  // The ID of the accepted context for this SOP class in this transfer syntax; 0 when there is none.
  [[nodiscard]] std::uint8_t accepted_context(std::string_view sop_class, std::string_view transfer_syntax) const noexcept;

  // C-ECHO on an accepted Verification context (refused when there is none). `status` is the
  // response's status.
  [[nodiscard]] NetStatus echo(std::uint16_t& status);

  // C-STORE of one dataset, encoded in `transfer_syntax` (sent as it is: nothing is transcoded), on the
  // context accepted for (sop_class, transfer_syntax); refused when there is none. A dataset of odd
  // length (a deflated stream left unpadded) gets the one trailing NUL its encoding prescribes; every
  // fragment is even. `status` and `error_comment` come from the C-STORE-RSP; a failure status still
  // answers ok.
  [[nodiscard]] NetStatus store(std::span<const std::uint8_t> dataset, std::string_view sop_class,
                                std::string_view sop_instance, std::string_view transfer_syntax,
                                std::uint16_t& status, std::string& error_comment);

  // A-RELEASE-RQ, then waits for the A-RELEASE-RP (response_timeout); the socket is closed either way.
  [[nodiscard]] NetStatus release();

  // Sends an A-ABORT (service user, no reason) and closes the socket. Nothing happens when closed.
  void abort() noexcept;

 private:
  struct Message;
  [[nodiscard]] NetStatus send_pdu(std::span<const std::uint8_t> pdu);
  [[nodiscard]] NetStatus send_pdvs(std::uint8_t context_id, bool command, std::span<const std::uint8_t> data);
  [[nodiscard]] NetStatus read_pdu(std::uint8_t& type, std::vector<std::uint8_t>& body);
  [[nodiscard]] NetStatus read_message(std::uint8_t context_id, Message& out);
  [[nodiscard]] NetStatus exchange(std::uint8_t context_id, const Command& request,
                                   std::span<const std::uint8_t> dataset, std::uint16_t response_field,
                                   Command& response);
  // Sends `how` as an A-ABORT (unless the peer is the one gone), closes, hands `status` back.
  [[nodiscard]] NetStatus fail(NetStatus status, Abort how = Abort{0, 0});
  void close_socket() noexcept;

  int fd_ = -1;
  std::chrono::milliseconds response_timeout_{60'000};
  std::uint32_t max_pdu_length_ = 0;
  std::size_t pdv_data_limit_ = kMaxPdvData;
  std::uint16_t next_message_id_ = 1;
  std::vector<PresentationContextRequest> proposed_;
  AssociateAccept accept_;
  std::vector<std::uint8_t> receive_buffer_;
};

// One Part 10 file read for sending: its bytes, its SOP Class and Instance UIDs (the dataset's
// (0008,0016) and (0008,0018), or the file meta group's where the dataset has none), the meta group's
// transfer syntax, and where the dataset (everything after the meta group, as encoded in its transfer
// syntax; a deflated one stays deflated) starts in `bytes`.
struct FileToSend {
  std::string path;
  std::vector<std::uint8_t> bytes;
  std::string sop_class;
  std::string sop_instance;
  std::string transfer_syntax;
  std::size_t dataset_offset = 0;

  [[nodiscard]] std::span<const std::uint8_t> dataset() const noexcept {
    return std::span<const std::uint8_t>(bytes).subspan(dataset_offset);
  }
};

// Reads a file into `out`: os_error when it cannot be read; bad_argument when it is not a Part 10
// file (no file meta group, with or without the preamble) or its meta group lacks one of the
// three UIDs.
//
// With a `limit`, only the first `limit` bytes are read (the whole file when the meta group runs past
// them), enough to plan an association's contexts without holding every file; `bytes` then holds
// that prefix and the UIDs are those its dataset part names.
inline constexpr std::size_t kWholeFile = static_cast<std::size_t>(-1);
[[nodiscard]] NetStatus read_file_to_send(const std::string& path, FileToSend& out, std::size_t limit = kWholeFile);

// One presentation context per distinct (SOP class, transfer syntax) of `files`, in the order first
// seen, each proposing only that transfer syntax (instances are sent as they are encoded), with odd IDs
// from 1. At most kMaxPresentationContexts: files past that many distinct pairs get no context here
// (store answers refused for them), so callers with more split the files over several associations.
[[nodiscard]] std::vector<PresentationContextRequest> contexts_for(const std::vector<FileToSend>& files);

}  // namespace zanthe::dicom_net

// Fuzz target for the storage SCP as a peer meets it: one input is a connection's whole byte stream.
//
// The first byte's low bit puts a well-formed A-ASSOCIATE-RQ (Verification, CT Image Storage and Study
// Root FIND, both little-endian syntaxes) before the rest, so mutations reach the P-DATA-TF, DIMSE and
// storing paths rather than stopping at negotiation. The stream goes to a server on 127.0.0.1 storing
// into a temporary folder, the client's side shut after it. What comes back must be whole PDUs that
// read back with the codec, nothing after an A-ASSOCIATE-RJ, A-ABORT or A-RELEASE-RP, before the
// server closes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "dicom_net/pdu.h"
#include "dicom_net/sop_classes.h"
#include "dicom_net/storage_server.h"
#include "loopback_client.h"

using namespace zanthe::dicom_net;

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

struct Server {
  StorageServer server;
  std::thread loop;

  Server() {
    char folder[] = "/tmp/zanthe-scp-fuzz-XXXXXX";
    require(::mkdtemp(folder) != nullptr);
    ServerOptions options;
    options.port = 0;
    options.store = folder;
    options.sync = false;  // durability is not what is fuzzed; speed is what lets the fuzzer explore
    options.artim = std::chrono::milliseconds(2000);
    options.pdu_timeout = std::chrono::milliseconds(2000);
    options.idle_timeout = std::chrono::milliseconds(2000);
    options.max_pdu_length = 16384;
    options.max_dataset_bytes = 1 << 20;
    options.store_threads = 2;
    require(server.open(options, {}, {}).ok());
    loop = std::thread([this] { server.run(); });
    loop.detach();  // serves until the process ends
  }
};

[[nodiscard]] std::vector<std::uint8_t> request_prefix() {
  AssociateRequest request;
  request.called_ae = "ZANTHE";
  request.calling_ae = "FUZZ";
  const std::vector<std::string> syntaxes{std::string(kExplicitVrLittleEndian), std::string(kImplicitVrLittleEndian)};
  request.contexts = {{1, std::string(kVerificationSopClass), syntaxes},
                      {3, "1.2.840.10008.5.1.4.1.1.2", syntaxes},
                      {5, std::string(kStudyRootFind), syntaxes}};
  request.max_pdu_length = 16384;
  return build_associate_request(request);
}

// Every PDU the server sent must read back; after a final one, nothing more may come.
void check_answers(std::span<const std::uint8_t> answers) {
  bool ended = false;
  std::vector<Pdv> pdvs;
  while (!answers.empty()) {
    require(!ended);
    require(answers.size() >= kPduHeaderSize);
    const PduHeader header = read_pdu_header(answers.data());
    require(header.length <= answers.size() - kPduHeaderSize);
    const auto body = answers.subspan(kPduHeaderSize, header.length);
    switch (static_cast<PduType>(header.type)) {
      case PduType::associate_ac: {
        AssociateAccept accept;
        require(parse_associate_accept(body, accept).ok());
        break;
      }
      case PduType::associate_rj: {
        AssociateReject reject;
        require(parse_associate_reject(body, reject).ok());
        ended = true;
        break;
      }
      case PduType::abort: {
        Abort abort;
        require(parse_abort(body, abort).ok());
        ended = true;
        break;
      }
      case PduType::p_data_tf: require(parse_p_data(body, pdvs).ok()); break;
      case PduType::release_rp: ended = true; break;
      default: __builtin_trap();  // the server sends nothing else
    }
    answers = answers.subspan(kPduHeaderSize + header.length);
  }
}

void serve_stream(std::span<const std::uint8_t> stream) {
  // Never destroyed: its loop serves until the process ends, so no destructor may pull it away.
  static Server& served = *new Server;
  const std::string_view bytes(reinterpret_cast<const char*>(stream.data()), stream.size());
  const std::optional<std::string> answers = zanthe::fuzzing::exchange_on_loopback(served.server.port(), bytes);
  if (!answers) return;
  check_answers(std::span(reinterpret_cast<const std::uint8_t*>(answers->data()), answers->size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::vector<std::uint8_t> stream;
  if ((data[0] & 1u) != 0) stream = request_prefix();
  stream.insert(stream.end(), data + 1, data + size);
  serve_stream(stream);
  return 0;
}

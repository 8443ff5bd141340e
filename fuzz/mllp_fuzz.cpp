// Fuzz target for the MLLP listener's input surface. The input is framed twice: whole, and cut into
// reads of sizes taken from its own bytes; both must give the same frames, so that how TCP splits a
// stream never changes a message. Each frame's header is read and acknowledged (the ACK must parse
// back with the frame's control ID), its text checked against its character set, and its journal
// record written and read back unchanged. The raw input is also read as a journal file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hl7/acknowledgment.h"
#include "hl7/er7_parser.h"
#include "hl7/journal.h"
#include "hl7/mllp_framing.h"
#include "hl7/text_encoding.h"

using namespace zanthe::hl7;

namespace {

constexpr std::size_t kMaxMessageBytes = 512;

struct Seen {
  std::string message;
  std::size_t size;
  bool oversize;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> frames_of(std::string_view input, std::size_t step_seed) {
  FrameDecoder decoder(kMaxMessageBytes);
  std::vector<Seen> frames;
  const auto keep = [&](const Frame& frame) {
    frames.push_back(Seen{std::string(frame.message), frame.size, frame.oversize});
  };
  if (step_seed == 0) {
    decoder.feed(input, keep);
    return frames;
  }
  std::size_t at = 0;
  std::size_t step = step_seed;
  while (at < input.size()) {
    const std::size_t length = std::min(step % 97 + 1, input.size() - at);
    decoder.feed(input.substr(at, length), keep);
    at += length;
    step = step * 31 + static_cast<unsigned char>(input[at - 1]);
  }
  return frames;
}

// A temporary file holding bytes, for the journal reader.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view bytes) : fd_(memfd_create("journal", 0)) {
    if (fd_ < 0 || write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) __builtin_trap();
  }
  ~MemoryFile() { close(fd_); }
  [[nodiscard]] int fd() const noexcept { return fd_; }

 private:
  int fd_;
};

void check_acknowledgment(const Seen& frame) {
  const Result<MessageHeader> header = read_header(frame.message);
  // Mirrored fields come from the header line, so they hold no terminator: exactly three segments.
  const std::string ack = build_ack(AckRequest{frame.message, AckCode::error, "text|with^delimiters\r",
                                               condition::kApplicationInternalError, "ID-1", "20240101"});
  const Result<MessageHeader> ack_header = read_header(ack);
  if (!ack_header.ok()) __builtin_trap();
  if (header.ok() && ack_header.value().character_set != header.value().character_set) __builtin_trap();
  std::size_t segments = 0;
  for (const char byte : ack) segments += byte == '\r' ? 1 : 0;
  if (segments != 3 || ack.find('\n') != std::string::npos) __builtin_trap();
  const Status text = check_text(frame.message, header.ok() ? header.value().character_set : std::string_view{});
  if (text.code == ErrorCode::invalid_text && text.offset >= frame.message.size()) __builtin_trap();
}

void check_journal_round_trip(const Seen& frame) {
  JournalEntry entry;
  entry.received_us = static_cast<std::int64_t>(frame.size);
  entry.ack = AckCode::reject;
  entry.truncated = frame.oversize;
  entry.size = frame.size;
  entry.peer = "127.0.0.1:1";
  entry.control_id = std::string_view(frame.message).substr(0, 8);
  entry.message = frame.message;
  std::string record;
  append_record(record, entry);
  const MemoryFile file(record);
  JournalCursor cursor(file.fd());
  JournalEntry read;
  if (!cursor.next(read) || read.message != entry.message || read.size != entry.size ||
      read.truncated != entry.truncated || read.control_id != entry.control_id) {
    __builtin_trap();
  }
  if (cursor.next(read) || !cursor.status().ok()) __builtin_trap();
}

void read_as_journal(std::string_view input) {
  const MemoryFile file(input);
  JournalCursor cursor(file.fd());
  JournalEntry entry;
  while (cursor.next(entry)) {
    if (cursor.offset() > input.size()) __builtin_trap();
  }
  if (cursor.status().code == ErrorCode::torn_record && cursor.status().offset != cursor.offset()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<Seen> whole = frames_of(input, 0);
  if (frames_of(input, size + 1) != whole) __builtin_trap();
  for (const Seen& frame : whole) {
    if (frame.message.size() > kMaxMessageBytes) __builtin_trap();
    check_acknowledgment(frame);
    check_journal_round_trip(frame);
  }
  read_as_journal(input);
  return 0;
}

// MLLP framing: each message travels as 0x0B, the message bytes, 0x1C 0x0D.
//
// The decoder is fed whatever a read returned: frames split across reads, several frames in one
// read and bytes between frames (skipped) are all normal. A frame longer than the limit is not
// buffered whole: its first bytes are kept, the rest only counted.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "hl7/status.h"

namespace zanthe::hl7 {

inline constexpr char kFrameStart = 0x0B;
inline constexpr char kFrameEnd = 0x1C;
inline constexpr char kFrameTrailer = 0x0D;

// Bytes of an oversize message kept to identify it (its header) in the acknowledgment and journal.
inline constexpr std::size_t kOversizePrefixBytes = 64 * 1024;

struct Frame {
  std::string_view message;  // the whole message, or only its first bytes when oversize or shed
  std::size_t size = 0;      // the message's real size
  bool oversize = false;
  bool shed = false;  // given up while in progress to free memory (see shed())
};

class FrameDecoder {
 public:
  explicit FrameDecoder(std::size_t max_message_bytes) : max_message_bytes_(max_message_bytes) {}

  // Calls on_frame(const Frame&) for each frame completed by `bytes`. A frame's view is valid only
  // during its call.
  template <class OnFrame>
  void feed(std::string_view bytes, OnFrame&& on_frame);

  // True between a start byte and its end byte: a connection closing now cuts a message.
  [[nodiscard]] bool inside_frame() const noexcept { return state_ == State::inside; }
  // Bytes held for the frame in progress.
  [[nodiscard]] std::size_t buffered() const noexcept { return buffer_.size(); }
  // Bytes received so far of the frame in progress, held or not.
  [[nodiscard]] std::size_t frame_size() const noexcept { return size_; }
  // Keeps only the first bytes of the frame in progress, as for an oversize one: the frame is
  // still read to its end and reported, with `shed` set.
  void shed();

 private:
  enum class State { outside, inside };

  void start_frame() noexcept;
  void keep(std::string_view bytes);
  [[nodiscard]] Frame finish_frame() noexcept;
  [[nodiscard]] std::size_t prefix_bytes() const noexcept;

  std::size_t max_message_bytes_;
  State state_ = State::outside;
  std::string buffer_;
  std::size_t size_ = 0;
  bool shed_ = false;
  bool skip_trailer_ = false;
};

// Appends message framed for sending.
void append_frame(std::string& out, std::string_view message);

// Frames taken one at a time, as a sender waiting for an acknowledgment wants them: fed whatever a
// read returned, it hands out each whole frame in order. A frame past the limit is not worth its
// prefix to a sender, so it is a failure, even before it ends.
class FrameReader {
 public:
  explicit FrameReader(std::size_t max_message_bytes) : max_message_bytes_(max_message_bytes), decoder_(max_message_bytes) {}

  void feed(std::string_view bytes);
  // The oldest whole frame not taken yet, or nullopt while none is; oversize_frame when that frame,
  // or the one in progress, is past the limit: everything held is then dropped.
  [[nodiscard]] Result<std::optional<std::string>> next_frame();
  // Drops every byte held, whole frames included.
  void clear();

 private:
  struct Held {
    std::string message;
    bool oversize = false;
  };

  [[nodiscard]] Status oversize();

  std::size_t max_message_bytes_;
  FrameDecoder decoder_;
  std::deque<Held> frames_;
};

template <class OnFrame>
void FrameDecoder::feed(std::string_view bytes, OnFrame&& on_frame) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (skip_trailer_) {
      skip_trailer_ = false;
      if (bytes[at] == kFrameTrailer) ++at;
      continue;
    }
    if (state_ == State::outside) {
      const auto start = bytes.find(kFrameStart, at);
      if (start == std::string_view::npos) return;
      start_frame();
      at = start + 1;
      continue;
    }
    // Inside a frame: the end byte closes it; a start byte means the sender gave up on the frame
    // in progress and starts again.
    const auto stop = bytes.find_first_of(std::string_view("\x1c\x0b", 2), at);
    const std::string_view part = bytes.substr(at, stop == std::string_view::npos ? bytes.npos : stop - at);
    if (stop != std::string_view::npos && bytes[stop] == kFrameStart) {
      start_frame();
      at = stop + 1;
      continue;
    }
    if (stop != std::string_view::npos && buffer_.empty() && !shed_ && part.size() <= max_message_bytes_) {
      // The whole frame lies in this read: hand it out without copying.
      state_ = State::outside;
      skip_trailer_ = true;
      on_frame(Frame{part, part.size(), false});
      at = stop + 1;
      continue;
    }
    keep(part);
    if (stop == std::string_view::npos) return;
    state_ = State::outside;
    skip_trailer_ = true;
    const Frame frame = finish_frame();
    on_frame(frame);
    at = stop + 1;
  }
}

}  // namespace zanthe::hl7

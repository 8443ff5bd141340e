#include "hl7/mllp_framing.h"

#include <algorithm>
#include <utility>

namespace zanthe::hl7 {

// An idle connection should not keep the memory of the largest message it ever carried.
constexpr std::size_t kKeptCapacity = 1 << 20;

void FrameDecoder::start_frame() noexcept {
  state_ = State::inside;
  if (buffer_.capacity() > kKeptCapacity) std::string().swap(buffer_);
  buffer_.clear();
  size_ = 0;
  shed_ = false;
}

void FrameDecoder::keep(std::string_view bytes) {
  size_ += bytes.size();
  const std::size_t limit = size_ > max_message_bytes_ || shed_ ? prefix_bytes() : max_message_bytes_;
  if (buffer_.size() < limit) buffer_.append(bytes.substr(0, limit - buffer_.size()));
  if (buffer_.size() > limit) {
    buffer_.resize(limit);
    buffer_.shrink_to_fit();
  }
}

void FrameDecoder::shed() {
  shed_ = true;
  if (buffer_.size() > prefix_bytes()) {
    buffer_.resize(prefix_bytes());
    buffer_.shrink_to_fit();
  }
}

std::size_t FrameDecoder::prefix_bytes() const noexcept { return std::min(kOversizePrefixBytes, max_message_bytes_); }

Frame FrameDecoder::finish_frame() noexcept {
  const bool oversize = size_ > max_message_bytes_;
  return Frame{buffer_, size_, oversize, shed_ && !oversize};
}

void append_frame(std::string& out, std::string_view message) {
  out.push_back(kFrameStart);
  out.append(message);
  out.push_back(kFrameEnd);
  out.push_back(kFrameTrailer);
}

void FrameReader::feed(std::string_view bytes) {
  decoder_.feed(bytes, [&](const Frame& frame) { // An oversize frame's prefix is of no use to a sender.
    frames_.push_back(Held{frame.oversize ? std::string() : std::string(frame.message), frame.oversize}); });
}

Result<std::optional<std::string>> FrameReader::next_frame() {
  if (frames_.empty()) {
    if (decoder_.inside_frame() && decoder_.frame_size() > max_message_bytes_) return oversize();
    return std::optional<std::string>();
  }
  Held oldest = std::move(frames_.front());
  frames_.pop_front();
  if (oldest.oversize) return oversize();
  return std::optional<std::string>(std::move(oldest.message));
}

void FrameReader::clear() {
  decoder_ = FrameDecoder(max_message_bytes_);
  frames_.clear();
}

Status FrameReader::oversize() {
  clear();
  return failure(ErrorCode::oversize_frame, "a frame is larger than " + std::to_string(max_message_bytes_) + " bytes");
}

}  // namespace zanthe::hl7

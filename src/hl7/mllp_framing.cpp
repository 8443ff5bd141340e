#include "hl7/mllp_framing.h"

#include <algorithm>

namespace zanthe::hl7 {

// An idle connection should not keep the memory of the largest message it ever carried.
constexpr std::size_t kKeptCapacity = 1 << 20;

void FrameDecoder::start_frame() noexcept {
  state_ = State::inside;
  if (buffer_.capacity() > kKeptCapacity) std::string().swap(buffer_);
  buffer_.clear();
  size_ = 0;
}

void FrameDecoder::keep(std::string_view bytes) {
  size_ += bytes.size();
  const std::size_t limit = size_ > max_message_bytes_ ? std::min(kOversizePrefixBytes, max_message_bytes_)
                                                      : max_message_bytes_;
  if (buffer_.size() < limit) buffer_.append(bytes.substr(0, limit - buffer_.size()));
  if (buffer_.size() > limit) {
    buffer_.resize(limit);
    buffer_.shrink_to_fit();
  }
}

Frame FrameDecoder::finish_frame() noexcept {
  Frame frame{buffer_, size_, size_ > max_message_bytes_};
  return frame;
}

void append_frame(std::string& out, std::string_view message) {
  out.push_back(kFrameStart);
  out.append(message);
  out.push_back(kFrameEnd);
  out.push_back(kFrameTrailer);
}

}  // namespace zanthe::hl7

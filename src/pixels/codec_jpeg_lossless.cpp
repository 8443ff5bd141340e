// JPEG Lossless (process 14, Huffman coded, non-hierarchical): predictors 1-7, point transform,
// restart intervals, 2 to 16 bits, one or more components in one or several scans. No system
// library of this machine decodes it.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "pixels/codec_support.h"
#include "pixels/codecs.h"

namespace zanthe::pixels {

namespace {

using codec::failure;

PixelStatus lossless_failure(const std::string& detail) {
  return failure(PixelCode::decode_failed, "JPEG Lossless: " + detail);
}

// A Huffman table in the canonical form of its DHT segment, decoded a bit at a time.
struct HuffmanTable {
  bool defined = false;
  std::array<std::int32_t, 18> max_code{};  // the largest code of each length, -1 when none
  std::array<std::int32_t, 17> min_code{};
  std::array<std::int32_t, 17> first_value{};  // index in `values` of the first code of each length
  std::vector<std::uint8_t> values;
};

bool build_table(const std::uint8_t* counts, const std::uint8_t* values, std::size_t value_count, HuffmanTable& table) {
  table.values.assign(values, values + value_count);
  std::int32_t code = 0;
  std::int32_t index = 0;
  for (int length = 1; length <= 16; ++length) {
    const int count = counts[length - 1];
    table.first_value[length] = index;
    table.min_code[length] = code;
    code += count;
    index += count;
    table.max_code[length] = count ? code - 1 : -1;
    if (code > (1 << length)) return false;  // more codes than this length can hold
    code <<= 1;
  }
  table.max_code[17] = 0x7FFFFFFF;
  table.defined = true;
  return true;
}

// Reads the entropy-coded bytes of a scan: stuffed 0xFF 0x00 pairs are data, any other marker ends
// the segment. Reading past the segment's end is an error the caller sees through `overrun`.
class BitReader {
 public:
  BitReader(std::span<const std::uint8_t> bytes, std::size_t at) : bytes_(bytes), at_(at) {}

  int bit() {
    if (bits_left_ == 0) fill();
    --bits_left_;
    return (current_ >> bits_left_) & 1;
  }

  std::uint32_t bits(int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 1) | static_cast<std::uint32_t>(bit());
    return value;
  }

  // Drops the bits left in the current byte and reads the restart marker that must come next.
  bool restart() {
    bits_left_ = 0;
    while (at_ + 1 < bytes_.size() && bytes_[at_] == 0xFF && bytes_[at_ + 1] == 0xFF) ++at_;
    if (at_ + 1 >= bytes_.size() || bytes_[at_] != 0xFF || bytes_[at_ + 1] < 0xD0 || bytes_[at_ + 1] > 0xD7)
      return false;
    at_ += 2;
    at_marker_ = false;
    return true;
  }

  [[nodiscard]] bool overrun() const { return overrun_; }
  [[nodiscard]] std::size_t position() const { return at_; }

 private:
  void fill() {
    bits_left_ = 8;
    if (at_marker_ || at_ >= bytes_.size()) {
      overrun_ = true;
      current_ = 0;
      return;
    }
    const std::uint8_t byte = bytes_[at_];
    if (byte == 0xFF) {
      if (at_ + 1 < bytes_.size() && bytes_[at_ + 1] == 0x00) {
        at_ += 2;
        current_ = 0xFF;
        return;
      }
      at_marker_ = true;  // the segment ends here; the marker stays for the parser
      overrun_ = true;
      current_ = 0;
      return;
    }
    ++at_;
    current_ = byte;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t at_;
  std::uint32_t current_ = 0;
  int bits_left_ = 0;
  bool at_marker_ = false;
  bool overrun_ = false;
};

int decode_symbol(BitReader& reader, const HuffmanTable& table) {
  std::int32_t code = reader.bit();
  int length = 1;
  while (code > table.max_code[length]) {
    if (++length > 16) return -1;
    code = (code << 1) | reader.bit();
  }
  const std::int32_t index = table.first_value[length] + code - table.min_code[length];
  if (index < 0 || static_cast<std::size_t>(index) >= table.values.size()) return -1;
  return table.values[static_cast<std::size_t>(index)];
}

// The difference coded by magnitude category `category` (0-16) and its extra bits.
std::int32_t read_difference(BitReader& reader, int category) {
  if (category == 0) return 0;
  if (category == 16) return 32768;
  const auto extra = static_cast<std::int32_t>(reader.bits(category));
  return extra < (1 << (category - 1)) ? extra - (1 << category) + 1 : extra;
}

struct Component {
  std::uint8_t id = 0;
  std::uint8_t sampling = 0x11;
};

struct LosslessFrame {
  unsigned precision = 0;
  std::uint32_t rows = 0, columns = 0;
  std::vector<Component> components;
};

struct ScanComponent {
  std::size_t index = 0;  // in the frame's components
  const HuffmanTable* table = nullptr;
};

class LosslessDecoder {
 public:
  LosslessDecoder(std::span<const std::uint8_t> bytes, const ImagePixel& image) : bytes_(bytes), image_(image) {}

  PixelStatus run(Frame& out);

 private:
  PixelStatus read_frame_header(std::size_t at, std::size_t length);
  PixelStatus read_huffman_tables(std::size_t at, std::size_t length);
  PixelStatus read_scan(std::size_t at, std::size_t length, std::size_t& next);
  PixelStatus decode_scan(const std::vector<ScanComponent>& scan, int predictor, unsigned point_transform,
                          std::size_t at, std::size_t& next);

  std::span<const std::uint8_t> bytes_;
  const ImagePixel& image_;
  LosslessFrame frame_;
  bool have_frame_ = false;
  std::array<HuffmanTable, 4> tables_{};
  std::uint32_t restart_interval_ = 0;
  unsigned point_transform_ = 0;
  std::vector<std::uint16_t> samples_;  // interleaved, before the point transform is undone
  std::vector<bool> decoded_components_;
};

PixelStatus LosslessDecoder::read_frame_header(std::size_t at, std::size_t length) {
  if (have_frame_) return lossless_failure("a second frame header");
  if (length < 6) return lossless_failure("the frame header is too short");
  const std::uint8_t* p = bytes_.data() + at;
  frame_.precision = p[0];
  frame_.rows = (std::uint32_t{p[1]} << 8) | p[2];
  frame_.columns = (std::uint32_t{p[3]} << 8) | p[4];
  const std::size_t count = p[5];
  if (length < 6 + 3 * count || count == 0) return lossless_failure("the frame header's components overrun it");
  for (std::size_t c = 0; c < count; ++c) frame_.components.push_back({p[6 + 3 * c], p[7 + 3 * c]});
  if (frame_.precision < 2 || frame_.precision > 16)
    return lossless_failure("precision " + std::to_string(frame_.precision) + " is outside 2 to 16 bits");
  if (auto status = codec::check_geometry("JPEG Lossless", frame_.columns, frame_.rows, count, image_); !status.ok())
    return status;
  if (auto status = codec::check_precision("JPEG Lossless", frame_.precision, image_); !status.ok()) return status;
  for (const Component& component : frame_.components)
    if (component.sampling != 0x11) return lossless_failure("subsampled components are not supported");
  if (std::uint64_t{frame_.rows} * frame_.columns * count * sizeof(std::uint16_t) > codec::max_frame_bytes)
    return failure(PixelCode::too_large, "JPEG Lossless frame exceeds the decoder's limit");
  have_frame_ = true;
  samples_.assign(std::size_t{frame_.rows} * frame_.columns * count, 0);
  decoded_components_.assign(count, false);
  return {};
}

PixelStatus LosslessDecoder::read_huffman_tables(std::size_t at, std::size_t length) {
  const std::size_t end = at + length;
  while (at < end) {
    if (end - at < 17) return lossless_failure("a Huffman table is cut short");
    const std::uint8_t kind = bytes_[at];
    const std::uint8_t* counts = bytes_.data() + at + 1;
    std::size_t value_count = 0;
    for (int i = 0; i < 16; ++i) value_count += counts[i];
    if (end - at - 17 < value_count) return lossless_failure("a Huffman table's values overrun its segment");
    if ((kind >> 4) != 0 || (kind & 0x0F) > 3) return lossless_failure("an AC or unknown Huffman table");
    if (!build_table(counts, bytes_.data() + at + 17, value_count, tables_[kind & 0x0F]))
      return lossless_failure("a Huffman table holds more codes than its lengths allow");
    at += 17 + value_count;
  }
  return {};
}

PixelStatus LosslessDecoder::read_scan(std::size_t at, std::size_t length, std::size_t& next) {
  if (!have_frame_) return lossless_failure("a scan before the frame header");
  const std::uint8_t* p = bytes_.data() + at;
  if (length < 1) return lossless_failure("the scan header is too short");
  const std::size_t count = p[0];
  if (count == 0 || length < 4 + 2 * count) return lossless_failure("the scan header is too short");
  std::vector<ScanComponent> scan;
  for (std::size_t s = 0; s < count; ++s) {
    const std::uint8_t id = p[1 + 2 * s];
    const std::uint8_t table = p[2 + 2 * s] >> 4;
    std::size_t index = 0;
    while (index < frame_.components.size() && frame_.components[index].id != id) ++index;
    if (index == frame_.components.size()) return lossless_failure("a scan names an unknown component");
    if (table > 3 || !tables_[table].defined) return lossless_failure("a scan uses an undefined Huffman table");
    scan.push_back({index, &tables_[table]});
  }
  const int predictor = p[1 + 2 * count];
  const unsigned point_transform = p[3 + 2 * count] & 0x0F;
  if (predictor < 1 || predictor > 7) return lossless_failure("predictor " + std::to_string(predictor) + " is not 1 to 7");
  if (point_transform >= frame_.precision) return lossless_failure("the point transform exceeds the precision");
  point_transform_ = point_transform;
  return decode_scan(scan, predictor, point_transform, at + length, next);
}

PixelStatus LosslessDecoder::decode_scan(const std::vector<ScanComponent>& scan, int predictor,
                                         unsigned point_transform, std::size_t at, std::size_t& next) {
  // Restart intervals are whole rows (as libjpeg requires): each restarts the prediction at a row's start.
  if (restart_interval_ != 0 && restart_interval_ % frame_.columns != 0)
    return lossless_failure("restart interval " + std::to_string(restart_interval_) +
                            " is not a whole number of rows of " + std::to_string(frame_.columns));
  BitReader reader(bytes_, at);
  const std::size_t components = frame_.components.size();
  const std::size_t row_stride = std::size_t{frame_.columns} * components;
  const std::int32_t initial = 1 << (frame_.precision - point_transform - 1);
  std::uint32_t mcus_left = restart_interval_;
  std::uint32_t interval_row = 0;  // the first row of a restart interval predicts from the left
  bool interval_start = true;      // the first sample of an interval predicts the middle value
  for (std::uint32_t y = 0; y < frame_.rows; ++y) {
    for (std::uint32_t x = 0; x < frame_.columns; ++x) {
      if (restart_interval_ != 0) {
        if (mcus_left == 0) {
          if (!reader.restart()) return lossless_failure("a restart marker is missing");
          mcus_left = restart_interval_;
          interval_start = true;
          interval_row = y;
        }
        --mcus_left;
      }
      for (const ScanComponent& component : scan) {
        const std::size_t offset = std::size_t{y} * row_stride + std::size_t{x} * components + component.index;
        std::int32_t prediction;
        if (interval_start) {
          prediction = initial;
        } else if (y == interval_row) {
          prediction = samples_[offset - components];
        } else if (x == 0) {
          prediction = samples_[offset - row_stride];
        } else {
          const std::int32_t a = samples_[offset - components];
          const std::int32_t b = samples_[offset - row_stride];
          const std::int32_t c = samples_[offset - row_stride - components];
          switch (predictor) {
            case 1: prediction = a; break;
            case 2: prediction = b; break;
            case 3: prediction = c; break;
            case 4: prediction = a + b - c; break;
            case 5: prediction = a + ((b - c) >> 1); break;
            case 6: prediction = b + ((a - c) >> 1); break;
            default: prediction = (a + b) >> 1; break;
          }
        }
        const int category = decode_symbol(reader, *component.table);
        if (category < 0 || category > 16) return lossless_failure("an invalid Huffman code");
        const std::int32_t difference = read_difference(reader, category);
        samples_[offset] = static_cast<std::uint16_t>((prediction + difference) & 0xFFFF);
      }
      interval_start = false;
      if (reader.overrun()) return lossless_failure("the scan ends before the frame does");
    }
  }
  for (const ScanComponent& component : scan) decoded_components_[component.index] = true;
  // The parser goes on at the next marker that is neither stuffing nor a restart.
  std::size_t position = reader.position();
  while (position + 1 < bytes_.size() &&
         !(bytes_[position] == 0xFF && bytes_[position + 1] != 0x00 && bytes_[position + 1] != 0xFF &&
           (bytes_[position + 1] < 0xD0 || bytes_[position + 1] > 0xD7)))
    ++position;
  next = position;
  return {};
}

PixelStatus LosslessDecoder::run(Frame& out) {
  if (bytes_.size() < 4 || bytes_[0] != 0xFF || bytes_[1] != 0xD8)
    return lossless_failure("the frame does not start with an SOI marker");
  std::size_t at = 2;
  while (true) {
    while (at + 1 < bytes_.size() && bytes_[at] == 0xFF && bytes_[at + 1] == 0xFF) ++at;
    if (at + 2 > bytes_.size()) break;
    if (bytes_[at] != 0xFF) return lossless_failure("a marker expected at byte " + std::to_string(at));
    const std::uint8_t marker = bytes_[at + 1];
    if (marker == 0xD9) break;
    if (at + 4 > bytes_.size()) return lossless_failure("a marker segment is cut short");
    const std::size_t length = (std::size_t{bytes_[at + 2]} << 8) | bytes_[at + 3];
    if (length < 2 || at + 2 + length > bytes_.size())
      return lossless_failure("a marker segment overruns the frame at byte " + std::to_string(at));
    const std::size_t body = at + 4, body_length = length - 2;
    at += 2 + length;
    switch (marker) {
      case 0xC3:
        if (auto status = read_frame_header(body, body_length); !status.ok()) return status;
        break;
      case 0xC4:
        if (auto status = read_huffman_tables(body, body_length); !status.ok()) return status;
        break;
      case 0xDD:
        if (body_length < 2) return lossless_failure("the restart interval segment is too short");
        restart_interval_ = (std::uint32_t{bytes_[body]} << 8) | bytes_[body + 1];
        break;
      case 0xDA:
        if (auto status = read_scan(body, body_length, at); !status.ok()) return status;
        break;
      default:
        if ((marker >= 0xC0 && marker <= 0xCF && marker != 0xC8 && marker != 0xCC) || marker == 0xF7)
          return lossless_failure("frame type 0x" + std::string{"0123456789ABCDEF"[marker >> 4]} +
                                  "0123456789ABCDEF"[marker & 0x0F] + " is not lossless Huffman coding");
        break;  // APPn, COM, DQT, DNL and the like carry nothing the samples need
    }
  }
  if (!have_frame_) return lossless_failure("the stream has no lossless frame header");
  for (const bool decoded : decoded_components_)
    if (!decoded) return lossless_failure("a component has no scan");
  if (auto status = codec::prepare_frame(image_, out); !status.ok()) return status;
  for (std::size_t i = 0; i < samples_.size(); ++i) {
    const std::uint32_t value = std::uint32_t{samples_[i]} << point_transform_;
    codec::store_sample(out, i, image_.is_signed ? codec::sign_extend(value, frame_.precision) : std::int64_t{value});
  }
  return {};
}

}  // namespace

PixelStatus decode_jpeg_lossless(std::span<const std::uint8_t> bytes, const ImagePixel& image, Frame& out) {
  // A DCT stream filed under a lossless syntax is still read, by the DCT decoder.
  codec::JpegFrameHeader header;
  if (codec::read_jpeg_frame_header(bytes.data(), bytes.size(), header).ok() && header.marker <= 0xC2)
    return decode_jpeg_baseline(bytes, image, out);
  LosslessDecoder decoder(bytes, image);
  return decoder.run(out);
}

}  // namespace zanthe::pixels

// open_image: the dataset, its Image Pixel attributes and the index of its frames; read_frame: one
// frame's bytes, native ones unpacked here, encapsulated ones handed to their codec.
#include <zlib.h>

#include <algorithm>
#include <limits>
#include <string>

#include "dicom/byte_reading.h"
#include "dicom/part10_reader.h"
#include "pixels/frame.h"
#include "pixels/frame_native.h"

namespace zanthe::pixels {
namespace {

constexpr std::uint32_t kSamplesPerPixel = 0x00280002u;
constexpr std::uint32_t kPhotometric = 0x00280004u;
constexpr std::uint32_t kPlanarConfiguration = 0x00280006u;
constexpr std::uint32_t kNumberOfFrames = 0x00280008u;
constexpr std::uint32_t kRows = 0x00280010u;
constexpr std::uint32_t kColumns = 0x00280011u;
constexpr std::uint32_t kBitsAllocated = 0x00280100u;
constexpr std::uint32_t kBitsStored = 0x00280101u;
constexpr std::uint32_t kHighBit = 0x00280102u;
constexpr std::uint32_t kPixelRepresentation = 0x00280103u;
constexpr std::uint32_t kExtendedOffsetTable = 0x7FE00001u;
constexpr std::uint32_t kExtendedOffsetTableLengths = 0x7FE00002u;
constexpr std::uint32_t kFloatPixelData = 0x7FE00008u;
constexpr std::uint32_t kDoubleFloatPixelData = 0x7FE00009u;
constexpr std::uint32_t kPixelData = 0x7FE00010u;

// A deflated file's whole dataset is inflated (the dataset reader stops at the header); past this the
// file is refused rather than held in memory.
constexpr std::size_t kMaxInflatedDataset = std::size_t{1} << 30;

PixelStatus status(PixelCode code, std::string detail) { return {code, std::move(detail)}; }

std::string trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.remove_suffix(1);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return std::string(text);
}

// ---------------------------------------------------------------------------------------------------
// The dataset

// Inflates the raw deflate stream after the meta group into `out`, doubling up to the cap.
bool inflate_all(const std::uint8_t* in, std::size_t in_size, std::vector<std::uint8_t>& out) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
  out.assign(std::min<std::size_t>(std::max<std::size_t>(in_size * 4, 1 << 16), kMaxInflatedDataset), 0);
  std::size_t produced = 0;
  std::size_t consumed = 0;
  bool ok = false;
  for (;;) {
    if (produced == out.size()) {
      if (out.size() >= kMaxInflatedDataset) break;
      out.resize(std::min(out.size() * 2, kMaxInflatedDataset));
    }
    const std::size_t in_slice = std::min<std::size_t>(in_size - consumed, 1u << 30);
    const std::size_t out_slice = std::min<std::size_t>(out.size() - produced, 1u << 30);
    stream.next_in = const_cast<Bytef*>(in + consumed);
    stream.avail_in = static_cast<uInt>(in_slice);
    stream.next_out = out.data() + produced;
    stream.avail_out = static_cast<uInt>(out_slice);
    const int rc = inflate(&stream, Z_NO_FLUSH);
    consumed += in_slice - stream.avail_in;
    produced += out_slice - stream.avail_out;
    // A stream cut short keeps what came out, as the dataset reader does.
    if (rc == Z_STREAM_END || (rc == Z_BUF_ERROR && consumed == in_size) || rc == Z_DATA_ERROR) {
      ok = produced > 0;
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) break;
  }
  inflateEnd(&stream);
  out.resize(produced);
  return ok;
}

std::string default_transfer_syntax(dicom::Encoding encoding) {
  if (encoding.byte_order == dicom::ByteOrder::big_endian) return "1.2.840.10008.1.2.2";
  return encoding.implicit_vr ? "1.2.840.10008.1.2" : "1.2.840.10008.1.2.1";
}

PixelStatus read_dataset(const std::uint8_t* data, std::size_t size, DicomImage& out) {
  const dicom::LocatedDataset located = dicom::locate_dataset(data, size, out.storage, 1u << 20);
  const bool deflated_and_capped = !located.ok() && located.status.code == dicom::ReadCode::inflated_too_large;
  if (!located.ok() && !deflated_and_capped) {
    return status(PixelCode::not_dicom, "not a DICOM dataset: " + std::string(located.status.detail));
  }
  out.encoding = located.encoding;
  out.image.transfer_syntax = trimmed(located.meta.transfer_syntax_uid);
  if (out.image.transfer_syntax.empty()) out.image.transfer_syntax = default_transfer_syntax(located.encoding);
  const std::uint8_t* dataset = located.data;
  std::size_t dataset_size = located.size;
  if (located.deflated || deflated_and_capped) {
    const auto offset = static_cast<std::size_t>(located.meta.dataset_offset);
    if (offset >= size || !inflate_all(data + offset, size - offset, out.storage)) {
      return status(PixelCode::not_dicom, "the deflated dataset does not inflate within 1 GiB");
    }
    dataset = out.storage.data();
    dataset_size = out.storage.size();
  }
  out.elements.clear();
  (void)dicom::parse_dataset(dataset, dataset_size, out.encoding, out.elements);
  if (out.elements.empty()) return status(PixelCode::not_dicom, "the dataset has no element");
  return {};
}

// ---------------------------------------------------------------------------------------------------
// The Image Pixel attributes

struct AttributeReader {
  const DicomImage& image;
  std::string problem;

  // An unsigned attribute in [low, high]; `fallback` when absent (required attributes pass nullopt).
  std::uint32_t read(std::uint32_t tag, const char* name, std::optional<std::uint32_t> fallback, std::int64_t low,
                     std::int64_t high) {
    const dicom::DataElement* element = find_element(image, tag);
    std::optional<std::int64_t> value;
    if (element != nullptr && element->length > 0) value = element_integer(*element, image.encoding);
    if (!value && (element == nullptr || element->length == 0) && fallback) return *fallback;
    if (!value || *value < low || *value > high) {
      if (problem.empty()) {
        std::string what = " is missing";
        if (value) {
          what = " is " + std::to_string(*value);
        } else if (element != nullptr) {
          what = " is not a number ('" + std::string(dicom::element_text(*element).substr(0, 32)) + "')";
        }
        problem = std::string(name) + what + ", not in " + std::to_string(low) + ".." + std::to_string(high);
      }
      return fallback.value_or(0);
    }
    return static_cast<std::uint32_t>(*value);
  }
};

PixelStatus read_image_pixel(DicomImage& out) {
  ImagePixel& image = out.image;
  AttributeReader reader{out, {}};
  image.rows = reader.read(kRows, "Rows", std::nullopt, 1, 0xFFFF);
  image.columns = reader.read(kColumns, "Columns", std::nullopt, 1, 0xFFFF);
  image.samples_per_pixel = reader.read(kSamplesPerPixel, "Samples per Pixel", 1, 1, 4);
  image.bits_allocated = static_cast<std::uint16_t>(reader.read(kBitsAllocated, "Bits Allocated", std::nullopt, 1, 32));
  image.bits_stored = static_cast<std::uint16_t>(
      reader.read(kBitsStored, "Bits Stored", image.bits_allocated, 1, std::max<int>(image.bits_allocated, 1)));
  image.high_bit = static_cast<std::uint16_t>(reader.read(kHighBit, "High Bit", image.bits_stored - 1u,
                                                          image.bits_stored - 1, image.bits_allocated - 1));
  image.is_signed = reader.read(kPixelRepresentation, "Pixel Representation", 0, 0, 1) == 1;
  image.planar_configuration = static_cast<std::uint16_t>(
      reader.read(kPlanarConfiguration, "Planar Configuration", 0, 0, image.samples_per_pixel > 1 ? 1 : 0xFFFF));
  if (image.samples_per_pixel == 1) image.planar_configuration = 0;
  // An empty or zero Number of Frames is read as one frame, as other readers do.
  const std::uint32_t frames = reader.read(kNumberOfFrames, "Number of Frames", 1, 0, 0x7FFFFFFF);
  image.number_of_frames = std::max<std::uint32_t>(frames, 1);
  image.photometric = trimmed(dicom::find_text(out.elements, kPhotometric));
  if (!reader.problem.empty()) return status(PixelCode::bad_attributes, reader.problem);
  const std::uint16_t bits = image.bits_allocated;
  if (bits != 1 && bits != 8 && bits != 16 && bits != 32) {
    return status(PixelCode::bad_attributes, "Bits Allocated is " + std::to_string(bits) + ", not 1, 8, 16 or 32");
  }
  return {};
}

// ---------------------------------------------------------------------------------------------------
// Encapsulated frames

bool is_native_syntax(std::string_view uid) {
  return uid == "1.2.840.10008.1.2" || uid == "1.2.840.10008.1.2.1" || uid == "1.2.840.10008.1.2.2" ||
         uid == "1.2.840.10008.1.2.1.99" || uid == "1.2.840.10008.1.20";
}

// Encapsulated Uncompressed Explicit VR Little Endian: each frame's fragments hold it natively.
constexpr std::string_view kEncapsulatedUncompressed = "1.2.840.10008.1.2.1.98";

bool starts_with_item(const dicom::DataElement& element, dicom::Encoding encoding) {
  if (element.length < 8) return false;
  const std::uint32_t tag = encoding.byte_order == dicom::ByteOrder::big_endian ? dicom::read_u32_big(element.value)
                                                                               : dicom::read_tag(element.value);
  return tag == dicom::kItemTag;
}

// The items of encapsulated pixel data: the Basic Offset Table and the fragments.
PixelStatus read_items(const dicom::DataElement& pixel_data, dicom::Encoding encoding, Fragment& offset_table,
                       std::vector<Fragment>& fragments) {
  const bool big = encoding.byte_order == dicom::ByteOrder::big_endian;
  const std::uint8_t* p = pixel_data.value;
  const std::uint8_t* const end = p + pixel_data.length;
  std::size_t item = 0;
  while (end - p >= 8) {
    const std::uint32_t tag = big ? dicom::read_u32_big(p) : dicom::read_tag(p);
    if (tag == dicom::kSequenceDelimitationTag) break;
    if (tag != dicom::kItemTag) {
      return status(PixelCode::truncated, "pixel data item " + std::to_string(item) + " has no item tag");
    }
    const std::uint32_t length = big ? dicom::read_u32_big(p + 4) : dicom::read_u32(p + 4);
    const auto left = static_cast<std::size_t>(end - p - 8);
    if (length > left) {
      return status(PixelCode::truncated, "pixel data fragment " + std::to_string(item) + " of " +
                                              std::to_string(length) + " bytes runs past the end of the data (" +
                                              std::to_string(left) + " bytes left)");
    }
    const Fragment fragment{p + 8, length};
    if (item == 0) {
      offset_table = fragment;
    } else {
      fragments.push_back(fragment);
    }
    ++item;
    p += 8 + static_cast<std::size_t>(length);
  }
  if (item == 0) return status(PixelCode::truncated, "the encapsulated pixel data hold no Basic Offset Table item");
  return {};
}

std::uint64_t read_u64_le(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(dicom::read_u32(p)) | (static_cast<std::uint64_t>(dicom::read_u32(p + 4)) << 32);
}

// Frames from the Extended Offset Table: offsets from the first fragment's item tag, lengths without it.
bool index_extended(DicomImage& out, const std::uint8_t* first_item, const std::uint8_t* items_end) {
  const dicom::DataElement* offsets = find_element(out, kExtendedOffsetTable);
  const dicom::DataElement* lengths = find_element(out, kExtendedOffsetTableLengths);
  if (offsets == nullptr || lengths == nullptr || offsets->length == 0 || offsets->length != lengths->length ||
      offsets->length % 8 != 0 || offsets->length / 8 != out.image.number_of_frames) {
    return false;
  }
  const auto span = static_cast<std::uint64_t>(items_end - first_item);
  for (std::uint64_t i = 0; i < offsets->length / 8; ++i) {
    const std::uint64_t offset = read_u64_le(offsets->value + 8 * i);
    const std::uint64_t length = read_u64_le(lengths->value + 8 * i);
    if (offset > span || span - offset < 8 || length > span - offset - 8) return false;
    out.extended_frames.push_back(Fragment{first_item + offset + 8, static_cast<std::size_t>(length)});
  }
  return true;
}

// Frames from the Basic Offset Table: a fragment belongs to the frame whose offset it starts at or after.
void index_basic(DicomImage& out, const Fragment& table) {
  const bool big = out.encoding.byte_order == dicom::ByteOrder::big_endian;
  std::vector<std::uint64_t> offsets;
  for (std::size_t i = 0; i + 4 <= table.size; i += 4) {
    offsets.push_back(big ? dicom::read_u32_big(table.data + i) : dicom::read_u32(table.data + i));
  }
  std::uint64_t position = 0;
  std::size_t frame = 0;
  out.frame_starts.push_back(0);
  for (std::size_t f = 0; f < out.fragments.size(); ++f) {
    if (frame + 1 < offsets.size() && position >= offsets[frame + 1] && f > out.frame_starts.back()) {
      out.frame_starts.push_back(f);
      ++frame;
    }
    position += out.fragments[f].size + 8;
  }
}

bool ends_with_jpeg_end_marker(const Fragment& fragment) {
  const std::size_t from = fragment.size > 10 ? fragment.size - 10 : 0;
  for (std::size_t i = from; i + 1 < fragment.size; ++i) {
    if (fragment.data[i] == 0xFF && fragment.data[i + 1] == 0xD9) return true;
  }
  return false;
}

// Without offset tables: one frame, one fragment per frame, or frames ended by a JPEG EOI (or J2K EOC,
// the same two bytes) in a fragment's last ten bytes.
void index_without_tables(DicomImage& out) {
  const std::size_t count = out.fragments.size();
  const std::uint32_t frames = out.image.number_of_frames;
  if (count == 0) return;
  if (count == 1 || frames == 1) {
    out.frame_starts.push_back(0);
    return;
  }
  if (count <= frames) {
    for (std::size_t f = 0; f < count; ++f) out.frame_starts.push_back(f);
    return;
  }
  std::size_t start = 0;
  for (std::size_t f = 0; f < count; ++f) {
    if (ends_with_jpeg_end_marker(out.fragments[f])) {
      out.frame_starts.push_back(start);
      start = f + 1;
    }
  }
  if (start < count) out.frame_starts.push_back(start);
}

PixelStatus index_encapsulated(DicomImage& out) {
  Fragment table;
  if (PixelStatus items = read_items(out.pixel_data, out.encoding, table, out.fragments); !items.ok()) return items;
  const std::uint8_t* first_item = table.data + table.size;
  if (index_extended(out, first_item, out.pixel_data.value + out.pixel_data.length)) return {};
  if (table.size >= 4) {
    index_basic(out, table);
  } else {
    index_without_tables(out);
  }
  return {};
}

std::size_t frame_count_found(const DicomImage& image) {
  return image.extended_frames.empty() ? image.frame_starts.size() : image.extended_frames.size();
}

// The frame's fragments joined (a view when it is one fragment).
std::span<const std::uint8_t> encapsulated_frame(const DicomImage& image, std::uint32_t index,
                                                 std::vector<std::uint8_t>& joined) {
  if (!image.extended_frames.empty()) return {image.extended_frames[index].data, image.extended_frames[index].size};
  const std::size_t first = image.frame_starts[index];
  const std::size_t last =
      index + 1 < image.frame_starts.size() ? image.frame_starts[index + 1] : image.fragments.size();
  if (last - first == 1) return {image.fragments[first].data, image.fragments[first].size};
  std::size_t total = 0;
  for (std::size_t f = first; f < last; ++f) total += image.fragments[f].size;
  joined.clear();
  joined.reserve(total);
  for (std::size_t f = first; f < last; ++f) {
    joined.insert(joined.end(), image.fragments[f].data, image.fragments[f].data + image.fragments[f].size);
  }
  return joined;
}

PixelStatus read_encapsulated_frame(const DicomImage& image, std::uint32_t index, Frame& out) {
  if (index >= frame_count_found(image)) {
    return status(PixelCode::truncated, "frame " + std::to_string(index) + " is not in the pixel data, which hold " +
                                            std::to_string(frame_count_found(image)) + " frames");
  }
  std::vector<std::uint8_t> joined;
  const std::span<const std::uint8_t> bytes = encapsulated_frame(image, index, joined);
  if (image.image.transfer_syntax == kEncapsulatedUncompressed) {
    return unpack_native_frame(image.image, NativeData{bytes.data(), bytes.size()}, 0, out);
  }
  if (PixelStatus decoded = decode_encapsulated(image.image.transfer_syntax, bytes, image.image, out); !decoded.ok()) {
    out.bytes.clear();
    return decoded;
  }
  const std::size_t expected = frame_value_count(image.image) * sample_size(out.type);
  if (out.bytes.size() != expected) {
    const std::size_t got = out.bytes.size();
    out.bytes.clear();
    return status(PixelCode::decode_failed, "the decoder gave " + std::to_string(got) + " bytes for a frame of " +
                                                std::to_string(expected));
  }
  correct_stored_bits(out.image, out.type, out.bytes);
  return {};
}

}  // namespace

PixelStatus open_image(const std::uint8_t* data, std::size_t size, DicomImage& out) {
  out = DicomImage{};
  if (PixelStatus read = read_dataset(data, size, out); !read.ok()) return read;
  const dicom::DataElement* pixel_data = find_element(out, kPixelData);
  if (pixel_data == nullptr) {
    if (find_element(out, kFloatPixelData) != nullptr || find_element(out, kDoubleFloatPixelData) != nullptr) {
      return status(PixelCode::no_pixel_data, "Float Pixel Data and Double Float Pixel Data are not read");
    }
    return status(PixelCode::no_pixel_data, "the dataset has no Pixel Data (7FE0,0010)");
  }
  out.pixel_data = *pixel_data;
  if (PixelStatus attributes = read_image_pixel(out); !attributes.ok()) return attributes;
  if (PixelStatus size_check = check_frame_size(out.image); !size_check.ok()) return size_check;
  out.encapsulated = !is_native_syntax(out.image.transfer_syntax) && starts_with_item(out.pixel_data, out.encoding);
  if (out.encapsulated) return index_encapsulated(out);
  return {};
}

PixelStatus read_frame(const DicomImage& image, std::uint32_t index, Frame& out) {
  out = Frame{};
  out.image = image.image;
  out.type = sample_type_of(image.image);
  if (index >= image.image.number_of_frames) {
    return status(PixelCode::frame_out_of_range, "frame " + std::to_string(index) + " is past the last frame (" +
                                                     std::to_string(image.image.number_of_frames) + " frames, from 0)");
  }
  if (image.encapsulated) return read_encapsulated_frame(image, index, out);
  if (!is_native_syntax(image.image.transfer_syntax)) {
    return status(PixelCode::unsupported_transfer_syntax,
                  "unsupported transfer syntax " + image.image.transfer_syntax);
  }
  return read_native_frame(image, index, out);
}

}  // namespace zanthe::pixels

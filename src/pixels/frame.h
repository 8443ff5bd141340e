// Frames of stored values from one DICOM file: the Image Pixel attributes, where frame N lies (native,
// or encapsulated behind a Basic or Extended Offset Table or plain fragments), and native unpacking.
//
// Ownership: open_image keeps views into the caller's bytes (and, for a deflated dataset, into its own
// inflated copy), so the input must outlive the DicomImage. Nothing throws for bad input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/part10_reader.h"
#include "pixels/pixel_status.h"

namespace zanthe::pixels {

enum class SampleType : std::uint8_t { u8, i8, u16, i16, u32, i32 };

[[nodiscard]] constexpr std::size_t sample_size(SampleType type) {
  switch (type) {
    case SampleType::u8:
    case SampleType::i8: return 1;
    case SampleType::u16:
    case SampleType::i16: return 2;
    case SampleType::u32:
    case SampleType::i32: return 4;
  }
  return 1;
}

struct ImagePixel {  // the Image Pixel module and what decoding needs of the file
  std::uint32_t rows = 0, columns = 0, samples_per_pixel = 1, number_of_frames = 1;
  std::uint16_t bits_allocated = 0, bits_stored = 0, high_bit = 0;
  bool is_signed = false;  // Pixel Representation 1
  std::uint16_t planar_configuration = 0;
  std::string photometric;      // "MONOCHROME2", "RGB", "YBR_FULL_422", "PALETTE COLOR", ...
  std::string transfer_syntax;  // the UID, padding removed
};

// The sample type that holds a frame's stored values: by Bits Allocated (1 bit unpacks to bytes) and
// Pixel Representation.
[[nodiscard]] SampleType sample_type_of(const ImagePixel& image);

// One frame's stored values, interleaved (rows x columns x samples), native byte order, one
// SampleType per sample; 1-bit data unpacked to u8 0/1; signed values sign-extended from Bits Stored.
struct Frame {
  ImagePixel image;
  SampleType type = SampleType::u8;
  std::vector<std::uint8_t> bytes;
  // colour frames a codec handed back already as RGB (JPEG baseline YBR decoded by libjpeg):
  std::string photometric_after_decoding;  // empty: as image.photometric
};

// One fragment of encapsulated pixel data: its value inside the dataset.
struct Fragment {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// The parsed dataset of a file, kept for rendering (its elements point into `storage` or the input).
// Moving keeps every view valid; copying would not, so it is not allowed.
struct DicomImage {
  DicomImage() = default;
  DicomImage(const DicomImage&) = delete;
  DicomImage& operator=(const DicomImage&) = delete;
  DicomImage(DicomImage&&) = default;
  DicomImage& operator=(DicomImage&&) = default;

  dicom::Encoding encoding{};
  dicom::ElementList elements;  // the top-level elements, in file order
  ImagePixel image;
  dicom::DataElement pixel_data{};  // (7FE0,0010); its value is the items when encapsulated
  bool encapsulated = false;
  // Encapsulated only: every fragment after the Basic Offset Table item, and where each frame's
  // fragments start in that list (frame i is fragments [frame_starts[i], frame_starts[i + 1]), the
  // last running to the end); empty when the frames' bytes come from the Extended Offset Table.
  std::vector<Fragment> fragments;
  std::vector<std::size_t> frame_starts;
  std::vector<Fragment> extended_frames;  // one span per frame from the Extended Offset Table
  std::vector<std::uint8_t> storage;      // the inflated dataset of a deflated file
};

// Locates the dataset, reads the Image Pixel attributes and indexes the pixel data's frames.
// not_dicom, no_pixel_data (also for Float and Double Float Pixel Data), bad_attributes, truncated or
// too_large on failure, with a detail naming the values involved.
PixelStatus open_image(const std::uint8_t* data, std::size_t size, DicomImage& out);

// Frame `index` (from 0) as stored values. frame_out_of_range, truncated, too_large, or a codec's
// failure (unsupported_transfer_syntax, decode_failed) otherwise.
PixelStatus read_frame(const DicomImage& image, std::uint32_t index, Frame& out);

// Keeps only the Bits Stored bits ending at High Bit of each sample in `values` (samples of `type`, native
// byte order), sign-extended when the image is signed: the stored values a decoder's output holds.
void correct_stored_bits(const ImagePixel& image, SampleType type, std::span<std::uint8_t> values);

// P2's codecs, called by read_frame for encapsulated syntaxes (frame bytes = the frame's fragments joined):
PixelStatus decode_encapsulated(std::string_view transfer_syntax, std::span<const std::uint8_t> frame_bytes,
                                const ImagePixel& image, Frame& out);  // defined in codec_dispatch.cpp
// read_frame hands `out` with image and type set and bytes empty; the codec fills bytes with exactly
// rows x columns x samples values of out.type (it may change the type or set photometric_after_decoding).
// read_frame then applies correct_stored_bits and checks the size.

// ---------------------------------------------------------------------------------------------------
// Element lookup, for the readers of rendering attributes

// The first element with `tag` in a list, or nullptr.
[[nodiscard]] const dicom::DataElement* find_element(const dicom::ElementList& elements, std::uint32_t tag);
// The first top-level element with `tag`, or nullptr.
[[nodiscard]] const dicom::DataElement* find_element(const DicomImage& image, std::uint32_t tag);

// The items of a sequence element, each parsed as a dataset in `encoding` (an item's elements point into
// the sequence's value). At most `max_items` are read; a broken item ends the walk.
[[nodiscard]] std::vector<dicom::ElementList> sequence_items(const dicom::DataElement& sequence,
                                                             dicom::Encoding encoding,
                                                             std::size_t max_items = 1u << 20);

// The element's VR: as written, or from the dictionary when the dataset is implicit or says UN.
[[nodiscard]] dicom::VrCode effective_vr(const dicom::DataElement& element);

// Value `index` of a numeric element read by its VR in the dataset's byte order: US, SS, UL, SL, OW
// (16-bit words), OB, OL, FL, FD, and the text VRs IS and DS (backslash-separated). nullopt when absent
// or not a number; an integer read of a decimal value truncates toward zero.
[[nodiscard]] std::optional<double> element_number(const dicom::DataElement& element, dicom::Encoding encoding,
                                                   std::size_t index = 0);
[[nodiscard]] std::optional<std::int64_t> element_integer(const dicom::DataElement& element,
                                                          dicom::Encoding encoding, std::size_t index = 0);
// How many values the element holds by the same reading.
[[nodiscard]] std::size_t element_value_count(const dicom::DataElement& element, dicom::Encoding encoding);

}  // namespace zanthe::pixels

// The attribute texts of one DICOM instance that an ImagingStudy is made of, read tolerantly from a
// whole Part 10 buffer or from only the header of a file.
//
// Ownership: texts are UTF-8 views into the input bytes (or, for a file, the caller's buffer), into the
// inflated dataset or into the decoded text, the last two owned by the InstanceRead. They stay valid
// while both live and until the InstanceRead is reused.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/part10_reader.h"
#include "fhir/conversion_status.h"

namespace zanthe::fhir {

// The attributes read, in lookup order.
enum Attribute : std::size_t {
  study_instance_uid,
  accession_number,
  study_id,
  patient_id,
  study_date,
  study_time,
  study_description,
  referring_physician_name,
  modality,
  series_instance_uid,
  series_description,
  body_part_examined,
  laterality,
  series_date,
  series_time,
  sop_instance_uid,
  sop_class_uid,
  series_number,
  instance_number,
  timezone_offset,
  attribute_count,
};

using AttributeTexts = std::array<std::string_view, attribute_count>;

struct InstanceRead {
  ConversionStatus status;      // a reading failure, or ok
  AttributeTexts texts{};
  bool text_repaired = false;   // some bytes could not be decoded and became U+FFFD
  bool header_ended = false;    // the top-level header was read to the pixel data or the end of the input

  // Storage the texts may point into; kept between reads so that a reused InstanceRead allocates little.
  dicom::ElementList elements;
  std::vector<std::uint8_t> inflated;
  std::string decoded;

  [[nodiscard]] bool ok() const { return status.ok(); }
};

// The most bytes of one file read while looking for the end of its header.
inline constexpr std::size_t kMaxHeaderReadBytes = std::size_t{256} << 20;

// Reads the instance from the whole buffer `data` (which must outlive the texts).
void read_instance(const std::uint8_t* data, std::size_t size, InstanceRead& out);

// Reads the instance from the file at `path`, or from the open file `fd`: a prefix first, extended while
// the header continues, so that pixel data are not read. `buffer` receives the bytes read and must
// outlive the texts.
void read_instance_file(const char* path, std::vector<std::uint8_t>& buffer, InstanceRead& out);
void read_instance_fd(int fd, std::vector<std::uint8_t>& buffer, InstanceRead& out);

}  // namespace zanthe::fhir

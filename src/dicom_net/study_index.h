// The studies and series of the stored instances, for C-FIND (Study Root, STUDY and SERIES levels).
//
// Each instance adds its study's and series' attributes (text decoded to UTF-8 by the instance's own
// Specific Character Set; the first instance of a study or series sets them) and counts; studies also
// gather the modalities of their series. Queries match as PS3.4 C.2.2.2 describes: single values,
// lists of UIDs, universal (empty) keys, "*" and "?" wildcards in text, and ranges of dates and times.
// Identifiers are read and answered in Implicit or Explicit VR Little Endian; answers are in UTF-8
// ("ISO_IR 192").
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/part10_reader.h"
#include "dicom_net/net_status.h"

namespace zanthe::dicom_net {

enum class QueryLevel : std::uint8_t { study, series };

// The attributes the index keeps, in this order (tags sorted within each level).
inline constexpr std::size_t kIndexedKeyCount = 22;

struct InstanceAttributes {
  std::array<std::string, kIndexedKeyCount> values;  // UTF-8; empty when the instance lacks one
};

// The indexed attributes of one dataset's top-level elements.
[[nodiscard]] InstanceAttributes read_instance_attributes(const dicom::ElementList& elements);

// One C-FIND response identifier, encoded and ready to send.
using Identifier = std::vector<std::uint8_t>;

struct FindResult {
  std::uint16_t status = 0;  // of the final response when `identifiers` are the pending ones
  std::uint16_t pending_status = 0xFF00;  // 0xFF01 when the query held keys the index does not keep
  std::string error_comment;
  std::vector<Identifier> identifiers;
};

class StudyIndex {
 public:
  StudyIndex();
  ~StudyIndex();
  StudyIndex(const StudyIndex&) = delete;
  StudyIndex& operator=(const StudyIndex&) = delete;

  // Safe from several threads.
  void add(const InstanceAttributes& instance);

  // Reads every <root>/<study>/<series>/<instance>.dcm into the index, and removes temporary files a
  // crash left behind (never confirmed to their sender). Files that cannot be read are skipped and
  // counted in `skipped`.
  [[nodiscard]] NetStatus rebuild(const std::string& root, std::size_t& indexed, std::size_t& skipped);

  // Answers one C-FIND identifier (its bytes as received, in `implicit_vr` or explicit VR little
  // endian); the answers are encoded the same way.
  [[nodiscard]] FindResult find(std::span<const std::uint8_t> identifier, bool implicit_vr) const;

  [[nodiscard]] std::size_t studies() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zanthe::dicom_net

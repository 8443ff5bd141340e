// Every attribute of a DICOM file as the DICOM JSON model: one object per dataset, keyed by the tag as
// eight uppercase hex digits in tag order, each attribute {"vr": ..., "Value": [...]} or, for binary
// VRs, {"vr": ..., "InlineBinary": base64}. The file meta group is left out.
//
// Values follow pydicom's reading of the same bytes (its Dataset.to_json_dict with a bulk data handler):
// the VR from the stream, or from the dictionary in implicit VR (private elements other than creators
// are UN there); text split on backslashes and trimmed per VR, decoded by the Specific Character Set in
// force (a sequence item may set its own); IS and DS as numbers; binary numbers in the dataset's byte
// order; a binary value inline only while its base64 text is at most `inline_limit` characters, else
// the attribute carries its VR alone. Where pydicom fails on a value this keeps the data instead:
// an empty IS, DS or PN value inside a multi-valued one is null, IS or DS text that is no number stays
// a string, a non-finite FL/FD is null, a binary number whose length is no multiple of its size is UN,
// and text declared UTF-8 that is not is read as Latin-1 (append_utf8's repair) rather than as U+FFFD.
//
// Never throws for bad input: a file that is not DICOM gives no JSON; a damaged one gives what the
// tolerant reader found plus a status saying why it stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zanthe::dicom {

enum class JsonModelCode : std::uint8_t {
  ok = 0,
  // The JSON holds what could be read:
  unreadable_element = 1,   // an element header cut short by the end of the data
  malformed_sequence = 2,   // a sequence value that is not a run of items
  nesting_too_deep = 3,     // sequences nested past the bound; the deeper items are left empty
  inflate_incomplete = 4,   // a deflated dataset whose stream breaks off; what inflated is kept
  // No JSON:
  not_dicom = 16,
  inflate_failed = 17,
  inflated_too_large = 18,
  output_too_large = 19,
};

struct JsonModelOptions {
  std::size_t inline_limit = 1024;                 // most base64 characters of one InlineBinary
  std::size_t max_output = std::size_t{256} << 20;  // most bytes of JSON text
  std::size_t max_inflated = std::size_t{1} << 30;  // most bytes a deflated dataset may inflate to
  int max_sequence_depth = 32;                      // sequences within sequences
};

struct JsonModelResult {
  std::string json;  // empty when the code is not_dicom or later
  JsonModelCode code = JsonModelCode::ok;
  std::string_view detail{};  // a fixed text naming the cause; empty for ok
  bool text_repaired = false;  // some text bytes were invalid in their character set (U+FFFD)
  [[nodiscard]] bool has_json() const { return code < JsonModelCode::not_dicom; }
};

// The JSON model of the dataset of one Part 10 file (or a bare dataset, see locate_dataset).
[[nodiscard]] JsonModelResult dataset_json_model(const std::uint8_t* data, std::size_t size,
                                                 const JsonModelOptions& options = {});

}  // namespace zanthe::dicom

// Fuzz target for HL7 v2: the ER7 parser on the raw input (every piece of every segment must lie
// inside the text), then a round trip: the input cut into values for an ORU^R01, built, parsed back.
// Escaping must keep every value inside its field, so the built message has exactly the segments and
// fields of the same message built from plain values.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hl7/er7_parser.h"
#include "hl7/oru_builder.h"

using namespace zanthe::hl7;

namespace {

void check_parse(std::string_view input) {
  const ParseResult result = parse_message(std::string(input));
  if (!result.ok()) return;
  const Message& message = result.value();
  const char* begin = message.text.data();
  const char* end = begin + message.text.size();
  for (std::size_t i = 0; i <= message.segment_count(); ++i) {
    for (std::string_view piece : split_fields(message.segment_at(i))) {
      if (!piece.empty() && (piece.data() < begin || piece.data() + piece.size() > end)) __builtin_trap();
    }
  }
}

// The values of one message: 6 for the header, 12 for the patient and order, then observations.
constexpr std::size_t kFixedValues = 18;

std::vector<std::string_view> cut_values(std::string_view input) {
  std::vector<std::string_view> values;
  while (!input.empty() && values.size() < kFixedValues + 3 * 16) {
    const std::size_t end = input.find('\xff');
    values.push_back(input.substr(0, end));
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  }
  values.resize(values.size() < kFixedValues ? kFixedValues : values.size() - (values.size() - kFixedValues) % 3);
  return values;
}

std::string build(const std::vector<std::string_view>& v) {
  const OruConfig config{.our_app = v[0], .our_facility = v[1], .their_app = v[2], .their_facility = v[3],
                         .control_id = v[4], .timestamp = v[5]};
  const OruContext context{.patient_id = v[6], .patient_name = v[7], .patient_birth_date = v[8],
                           .patient_sex = v[9], .placer_order_number = v[10], .filler_order_number = v[11],
                           .accession_number = v[12], .procedure_code = v[13], .procedure_description = v[14],
                           .modality = v[15], .ordering_provider = v[16], .observation_datetime = v[17]};
  std::vector<OruObservation> observations;
  for (std::size_t i = kFixedValues; i + 2 < v.size(); i += 3) {
    observations.push_back(OruObservation{.value_type = "TX", .observation_id = v[i], .value = v[i + 1],
                                          .status = v[i + 2]});
  }
  return build_oru_message(config, context, observations.data(), observations.size());
}

std::vector<std::size_t> field_counts(const std::string& text) {
  const ParseResult result = parse_message(text);
  if (!result.ok()) __builtin_trap();
  const Message& message = result.value();
  std::vector<std::size_t> counts;
  for (std::size_t i = 0; i < message.segment_count(); ++i) counts.push_back(split_fields(message.segment_at(i)).size());
  return counts;
}

void check_round_trip(std::string_view input) {
  const std::vector<std::string_view> values = cut_values(input);
  const std::string built = build(values);
  if (built.find('\n') != std::string::npos) __builtin_trap();
  const std::vector<std::string_view> plain(values.size(), std::string_view("x"));
  if (field_counts(built) != field_counts(build(plain))) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check_parse(input);
  check_round_trip(input);
  return 0;
}

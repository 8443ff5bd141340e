#include "hl7/oru_builder.h"

#include <limits>

#include "hl7/er7_parser.h"

namespace zanthe::hl7 {

namespace {

constexpr Delimiters kOut{};
constexpr char kSegmentEnd = '\r';
constexpr std::size_t kBaseReserve = 256;
constexpr std::size_t kReservePerObservation = 96;

// Which bytes of a value become escape sequences. A structured value keeps its component,
// repetition and subcomponent separators so callers can pass "DOE^JOHN" as it should stand.
// CR and LF are always escaped: left raw they would end the segment mid-value.
enum class Escaping { all_delimiters, structured };

// The three-byte sequence for a delimiter, or the hexadecimal sequence for CR and LF;
// empty when the byte is copied as it is.
[[nodiscard]] std::string_view escape_sequence(char byte, Escaping escaping) noexcept {
  if (byte == kOut.escape) return "\\E\\";
  if (byte == kOut.field) return "\\F\\";
  if (byte == '\r') return "\\X0D\\";
  if (byte == '\n') return "\\X0A\\";
  if (escaping == Escaping::structured) return {};
  if (byte == kOut.component) return "\\S\\";
  if (byte == kOut.repetition) return "\\R\\";
  if (byte == kOut.subcomponent) return "\\T\\";
  return {};
}

void append_escaped(std::string& out, std::string_view value, Escaping escaping) {
  std::string scratch;
  scratch.reserve(value.size());
  for (const char byte : value) {
    const std::string_view sequence = escape_sequence(byte, escaping);
    if (sequence.empty()) {
      scratch.push_back(byte);
    } else {
      scratch.append(sequence);
    }
  }
  out.append(scratch);
}

void append_field(std::string& out, std::string_view value) {
  out.push_back(kOut.field);
  append_escaped(out, value, Escaping::all_delimiters);
}

void append_structured_field(std::string& out, std::string_view value) {
  out.push_back(kOut.field);
  append_escaped(out, value, Escaping::structured);
}

// Components of one field: every component after the first is preceded by the separator, even
// when the first is empty.
class ComponentWriter {
 public:
  explicit ComponentWriter(std::string& out) : out_(out) {}

  void append_component(std::string_view value) {
    if (!first_) out_.push_back(kOut.component);
    append_escaped(out_, value, Escaping::structured);
    first_ = false;
  }

 private:
  std::string& out_;
  bool first_ = true;
};

// Only the separators of fields that carry nothing.
void append_empty_fields(std::string& out, std::size_t count) { out.append(count, kOut.field); }

void append_msh(std::string& out, const OruConfig& config) {
  out.append("MSH|^~\\&");
  append_field(out, config.our_app);
  append_field(out, config.our_facility);
  append_field(out, config.their_app);
  append_field(out, config.their_facility);
  append_field(out, config.timestamp);
  append_empty_fields(out, 1);  // MSH-8
  out.append("|ORU^R01");
  append_field(out, config.control_id);
  append_field(out, "P");
  append_field(out, config.version);
  if (!config.specific_character_set.empty()) {
    append_empty_fields(out, 5);  // MSH-13 to MSH-17
    append_field(out, config.specific_character_set);
  }
  out.push_back(kSegmentEnd);
}

void append_pid(std::string& out, const OruContext& context) {
  out.append("PID");
  append_field(out, "1");
  append_empty_fields(out, 1);  // PID-2
  append_field(out, context.patient_id);
  append_empty_fields(out, 1);  // PID-4
  append_structured_field(out, context.patient_name);
  append_empty_fields(out, 1);  // PID-6
  append_field(out, context.patient_birth_date);
  append_field(out, context.patient_sex);
  out.push_back(kSegmentEnd);
}

void append_orc(std::string& out, const OruContext& context) {
  out.append("ORC");
  append_field(out, "RE");
  append_field(out, context.placer_order_number);
  append_field(out, context.filler_order_number);
  out.push_back(kSegmentEnd);
}

void append_obr(std::string& out, const OruContext& context) {
  out.append("OBR");
  append_field(out, "1");
  append_field(out, context.placer_order_number);
  append_field(out, context.filler_order_number);
  out.push_back(kOut.field);  // OBR-4: code ^ description
  ComponentWriter procedure(out);
  procedure.append_component(context.procedure_code);
  procedure.append_component(context.procedure_description);
  append_empty_fields(out, 2);  // OBR-5, OBR-6
  append_field(out, context.observation_datetime);
  append_empty_fields(out, 8);  // OBR-8 to OBR-15
  append_structured_field(out, context.ordering_provider);
  append_empty_fields(out, 1);  // OBR-17
  append_field(out, context.accession_number);
  append_empty_fields(out, 5);  // OBR-19 to OBR-23
  append_field(out, context.modality);
  out.push_back(kSegmentEnd);
}

void append_obx(std::string& out, std::size_t set_id, const OruObservation& observation) {
  out.append("OBX");
  append_field(out, std::to_string(set_id));
  append_field(out, observation.value_type);
  append_structured_field(out, observation.observation_id);
  append_empty_fields(out, 1);  // OBX-4
  append_field(out, observation.value);
  append_empty_fields(out, 5);  // OBX-6 to OBX-10
  append_field(out, observation.status);
  out.push_back(kSegmentEnd);
}

[[nodiscard]] std::size_t initial_reserve(std::size_t count) noexcept {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (count > (kMax - kBaseReserve) / kReservePerObservation) return kBaseReserve;
  return kBaseReserve + kReservePerObservation * count;
}

}  // namespace

std::string build_oru_message(const OruConfig& config, const OruContext& context,
                              const OruObservation* observations, std::size_t count) {
  std::string out;
  out.reserve(initial_reserve(count));
  append_msh(out, config);
  append_pid(out, context);
  append_orc(out, context);
  append_obr(out, context);
  for (std::size_t i = 0; i < count; ++i) append_obx(out, i + 1, observations[i]);
  return out;
}

}  // namespace zanthe::hl7

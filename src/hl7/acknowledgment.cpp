#include "hl7/acknowledgment.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace zanthe::hl7 {

namespace {

constexpr char kSegmentEnd = '\r';
constexpr std::string_view kDefaultVersion = "2.5";
constexpr std::string_view kDefaultProcessingId = "P";
// MSH-13 to MSH-17 stand between the version and the character set.
constexpr int kFieldsBeforeCharacterSet = 5;

[[nodiscard]] std::string_view first_piece(std::string_view text, char separator) noexcept {
  return text.substr(0, text.find(separator));
}

// Component 2 of MSH-9, the trigger event ("R01" of "ORU^R01^ORU_R01").
[[nodiscard]] std::string_view trigger_event(std::string_view message_type, char component) noexcept {
  const auto first = message_type.find(component);
  if (first == std::string_view::npos) return {};
  return first_piece(message_type.substr(first + 1), component);
}

// Free text for MSA-3 and ERR: every delimiter escaped, CR and LF as hexadecimal escapes so they
// cannot end the segment.
void append_escaped(std::string& out, std::string_view text, const Delimiters& d) {
  const auto escape = [&](char letter) {
    out.push_back(d.escape);
    out.push_back(letter);
    out.push_back(d.escape);
  };
  for (const char byte : text) {
    if (byte == d.escape) escape('E');
    else if (byte == d.field) escape('F');
    else if (byte == d.component) escape('S');
    else if (byte == d.repetition) escape('R');
    else if (byte == d.subcomponent) escape('T');
    else if (byte == '\r' || byte == '\n') {
      out.push_back(d.escape);
      out.append(byte == '\r' ? "X0D" : "X0A");
      out.push_back(d.escape);
    } else {
      out.push_back(byte);
    }
  }
}

class AckWriter {
 public:
  explicit AckWriter(const Delimiters& delimiters) : d_(delimiters) {}

  void raw_field(std::string_view value) {
    out_.push_back(d_.field);
    out_.append(value);
  }
  void text_field(std::string_view value) {
    out_.push_back(d_.field);
    append_escaped(out_, value, d_);
  }
  void start_segment(std::string_view id) { out_.append(id); }
  void end_segment() { out_.push_back(kSegmentEnd); }
  [[nodiscard]] const Delimiters& delimiters() const noexcept { return d_; }
  [[nodiscard]] std::string take() && { return std::move(out_); }

 private:
  Delimiters d_;
  std::string out_;
};

void write_header(AckWriter& w, const AckRequest& request, const MessageHeader& h) {
  const Delimiters& d = w.delimiters();
  w.start_segment("MSH");
  w.raw_field(std::string{d.component, d.repetition, d.escape, d.subcomponent});
  w.raw_field(h.receiving_application);
  w.raw_field(h.receiving_facility);
  w.raw_field(h.sending_application);
  w.raw_field(h.sending_facility);
  w.text_field(request.timestamp);
  w.raw_field({});
  const std::string_view trigger = trigger_event(h.message_type, d.component);
  w.raw_field(trigger.empty() ? std::string("ACK")
                              : "ACK" + std::string(1, d.component) + std::string(trigger) +
                                    std::string(1, d.component) + "ACK");
  w.text_field(request.control_id);
  w.raw_field(h.processing_id.empty() ? kDefaultProcessingId : h.processing_id);
  w.raw_field(h.version.empty() ? kDefaultVersion : h.version);
  if (!h.character_set.empty()) {
    for (int i = 0; i < kFieldsBeforeCharacterSet; ++i) w.raw_field({});
    w.raw_field(h.character_set);
  }
  w.end_segment();
}

void write_error(AckWriter& w, const AckRequest& request) {
  const Delimiters& d = w.delimiters();
  w.start_segment("ERR");
  w.raw_field({});  // ERR-1, kept only for versions before 2.5
  w.raw_field({});  // ERR-2, location
  std::string code(request.error_code);
  code.push_back(d.component);
  code.append(error_code_description(request.error_code));
  code.push_back(d.component);
  code.append("HL70357");
  w.raw_field(code);
  w.raw_field("E");
  for (int field = 5; field <= 7; ++field) w.raw_field({});
  w.text_field(request.text);  // ERR-8, user message
  w.end_segment();
}

}  // namespace

std::string_view ack_code_text(AckCode code) noexcept {
  switch (code) {
    case AckCode::accept: return "AA";
    case AckCode::error: return "AE";
    case AckCode::reject: return "AR";
  }
  return "AR";
}

Result<AckCode> ack_code_from(std::string_view text) {
  for (const AckCode code : {AckCode::accept, AckCode::error, AckCode::reject}) {
    if (ack_code_text(code) == text) return code;
  }
  return failure(ErrorCode::unknown_ack_code, "code must be AA, AE or AR, not '" + std::string(text) + "'");
}

std::string_view error_code_description(std::string_view code) noexcept {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 14> kTable = {{
      {condition::kMessageAccepted, "Message accepted"},
      {condition::kSegmentSequenceError, "Segment sequence error"},
      {condition::kRequiredFieldMissing, "Required field missing"},
      {condition::kDataTypeError, "Data type error"},
      {condition::kTableValueNotFound, "Table value not found"},
      {condition::kUnsupportedMessageType, "Unsupported message type"},
      {condition::kUnsupportedEventCode, "Unsupported event code"},
      {condition::kUnsupportedProcessingId, "Unsupported processing id"},
      {condition::kUnsupportedVersionId, "Unsupported version id"},
      {condition::kUnknownKeyIdentifier, "Unknown key identifier"},
      {condition::kDuplicateKeyIdentifier, "Duplicate key identifier"},
      {condition::kApplicationRecordLocked, "Application record locked"},
      {condition::kApplicationInternalError, "Application internal error"},
      {"", ""},
  }};
  for (const auto& [key, description] : kTable) {
    if (key == code) return description;
  }
  return {};
}

std::string build_ack(const AckRequest& request) {
  // Without a readable header the acknowledgment mirrors nothing, in the standard delimiters.
  const Result<MessageHeader> read = read_header(request.message);
  const MessageHeader header = read.ok() ? read.value() : MessageHeader{};
  AckWriter w(header.delimiters);
  write_header(w, request, header);
  w.start_segment("MSA");
  w.raw_field(ack_code_text(request.code));
  w.raw_field(header.control_id);
  if (!request.text.empty()) w.text_field(request.text);
  w.end_segment();
  if (!request.error_code.empty()) write_error(w, request);
  return std::move(w).take();
}

namespace {

void append_base36(std::string& out, std::uint64_t value) {
  constexpr std::string_view kDigits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  char digits[16];
  std::size_t count = 0;
  do {
    digits[count++] = kDigits[value % 36];
    value /= 36;
  } while (value != 0);
  while (count > 0) out.push_back(digits[--count]);
}

[[nodiscard]] std::uint64_t milliseconds_since_epoch() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

std::string fresh_control_id() {
  static const std::uint64_t start = milliseconds_since_epoch();
  static std::atomic<std::uint64_t> counter{0};
  std::string id;
  append_base36(id, start);
  id.push_back('-');
  append_base36(id, counter.fetch_add(1, std::memory_order_relaxed));
  return id;
}

std::string current_timestamp() {
  const std::uint64_t ms = milliseconds_since_epoch();
  const auto seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.%03u+0000", utc.tm_year + 1900,
                                   utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                                   static_cast<unsigned>(ms % 1000));
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace zanthe::hl7

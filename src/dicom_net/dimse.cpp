#include "dicom_net/dimse.h"

#include <string_view>
#include <utility>

#include "dicom/byte_reading.h"
#include "dicom/byte_writing.h"
#include "dicom_net/sop_classes.h"

namespace zanthe::dicom_net {

namespace {

constexpr std::size_t kElementHeaderSize = 8;  // implicit VR: tag, 4-byte length
constexpr std::size_t kMaxErrorComment = 64;   // LO

namespace element {
constexpr std::uint16_t kGroupLength = 0x0000;
constexpr std::uint16_t kAffectedSopClass = 0x0002;
constexpr std::uint16_t kCommandField = 0x0100;
constexpr std::uint16_t kMessageId = 0x0110;
constexpr std::uint16_t kMessageIdResponded = 0x0120;
constexpr std::uint16_t kMoveDestination = 0x0600;
constexpr std::uint16_t kPriority = 0x0700;
constexpr std::uint16_t kDataSetType = 0x0800;
constexpr std::uint16_t kStatus = 0x0900;
constexpr std::uint16_t kErrorComment = 0x0902;
constexpr std::uint16_t kAffectedSopInstance = 0x1000;
constexpr std::uint16_t kMoveOriginatorAe = 0x1030;
constexpr std::uint16_t kMoveOriginatorId = 0x1031;
}  // namespace element

using dicom::read_u16;
using dicom::read_u32;

[[nodiscard]] std::string padded_text_value(std::span<const std::uint8_t> value) {
  std::string_view text(reinterpret_cast<const char*>(value.data()), value.size());
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return std::string(text);
}

// A US value; an empty one counts as absent.
[[nodiscard]] NetStatus us_value(std::span<const std::uint8_t> value, std::size_t offset,
                                 std::optional<std::uint16_t>& out) {
  if (value.empty()) return {};
  if (value.size() != 2) return net_failure(NetCode::malformed, "a US command element is not 2 bytes", offset);
  out = read_u16(value.data());
  return {};
}

[[nodiscard]] NetStatus take_element(std::uint16_t tag_element, std::span<const std::uint8_t> value, std::size_t offset,
                                     Command& out, bool& have_command_field) {
  std::optional<std::uint16_t> number;
  switch (tag_element) {
    case element::kAffectedSopClass: out.affected_sop_class = padded_text_value(value); return {};
    case element::kMoveDestination: out.move_destination = padded_text_value(value); return {};
    case element::kErrorComment: out.error_comment = padded_text_value(value); return {};
    case element::kAffectedSopInstance: out.affected_sop_instance = padded_text_value(value); return {};
    case element::kMoveOriginatorAe: out.move_originator_ae = padded_text_value(value); return {};
    case element::kMessageId: return us_value(value, offset, out.message_id);
    case element::kMessageIdResponded: return us_value(value, offset, out.message_id_responded);
    case element::kPriority: return us_value(value, offset, out.priority);
    case element::kStatus: return us_value(value, offset, out.status);
    case element::kMoveOriginatorId: return us_value(value, offset, out.move_originator_id);
    case element::kCommandField:
      if (NetStatus status = us_value(value, offset, number); !status.ok()) return status;
      if (number) {
        out.command_field = *number;
        have_command_field = true;
      }
      return {};
    case element::kDataSetType:
      if (NetStatus status = us_value(value, offset, number); !status.ok()) return status;
      if (number) out.data_set_type = *number;
      return {};
    default:  // the group length and the elements of services zanthe does not speak
      return {};
  }
}

void put_header(std::vector<std::uint8_t>& out, std::uint16_t tag_element, std::uint32_t length) {
  dicom::append_u16(out, 0x0000);
  dicom::append_u16(out, tag_element);
  dicom::append_u32(out, length);
}

void put_us(std::vector<std::uint8_t>& out, std::uint16_t tag_element, std::optional<std::uint16_t> value) {
  if (!value) return;
  put_header(out, tag_element, 2);
  dicom::append_u16(out, *value);
}

// Text padded to an even length: UIDs with a NUL, other text with a space. Empty text is not sent.
void put_text(std::vector<std::uint8_t>& out, std::uint16_t tag_element, std::string_view text, char pad) {
  if (text.empty()) return;
  const bool odd = text.size() % 2 != 0;
  put_header(out, tag_element, static_cast<std::uint32_t>(text.size() + (odd ? 1 : 0)));
  out.insert(out.end(), text.begin(), text.end());
  if (odd) out.push_back(static_cast<std::uint8_t>(pad));
}

// A response names the request's SOP class, and answers its message ID.
[[nodiscard]] Command response_to(const Command& request, std::uint16_t command_field, std::uint16_t status) {
  Command response;
  response.command_field = command_field;
  response.affected_sop_class = request.affected_sop_class;
  response.message_id_responded = request.message_id.value_or(0);
  response.status = status;
  response.data_set_type = kNoDataSet;
  return response;
}

}  // namespace

NetStatus parse_command(std::span<const std::uint8_t> bytes, Command& out) {
  out = Command{};
  bool have_command_field = false;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < kElementHeaderSize) {
      return net_failure(NetCode::truncated, "a command element header is cut short", pos);
    }
    const std::uint16_t group = read_u16(bytes.data() + pos);
    const std::uint16_t tag_element = read_u16(bytes.data() + pos + 2);
    const std::uint32_t length = read_u32(bytes.data() + pos + 4);
    if (group != 0x0000) return net_failure(NetCode::malformed, "a command element outside group 0000", pos);
    if (length > bytes.size() - pos - kElementHeaderSize) {
      return net_failure(NetCode::truncated, "a command element runs past the command set", pos);
    }
    const std::span<const std::uint8_t> value = bytes.subspan(pos + kElementHeaderSize, length);
    if (NetStatus status = take_element(tag_element, value, pos, out, have_command_field); !status.ok()) return status;
    pos += kElementHeaderSize + length;
  }
  if (!have_command_field) return net_failure(NetCode::malformed, "the command set has no Command Field", 0);
  return {};
}

std::vector<std::uint8_t> encode_command(const Command& command) {
  std::vector<std::uint8_t> out;
  put_header(out, element::kGroupLength, 4);
  dicom::append_u32(out, 0);  // filled in below
  put_text(out, element::kAffectedSopClass, command.affected_sop_class, '\0');
  put_us(out, element::kCommandField, command.command_field);
  put_us(out, element::kMessageId, command.message_id);
  put_us(out, element::kMessageIdResponded, command.message_id_responded);
  put_text(out, element::kMoveDestination, command.move_destination, ' ');
  put_us(out, element::kPriority, command.priority);
  put_us(out, element::kDataSetType, command.data_set_type);
  put_us(out, element::kStatus, command.status);
  put_text(out, element::kErrorComment, command.error_comment, ' ');
  put_text(out, element::kAffectedSopInstance, command.affected_sop_instance, '\0');
  put_text(out, element::kMoveOriginatorAe, command.move_originator_ae, ' ');
  put_us(out, element::kMoveOriginatorId, command.move_originator_id);
  const std::uint32_t group_length = static_cast<std::uint32_t>(out.size() - 12);
  for (std::size_t i = 0; i < 4; ++i) out[8 + i] = static_cast<std::uint8_t>(group_length >> (8 * i));
  return out;
}

Command echo_request(std::uint16_t message_id) {
  Command command;
  command.command_field = command_field::kCEchoRq;
  command.affected_sop_class = std::string(kVerificationSopClass);
  command.message_id = message_id;
  command.data_set_type = kNoDataSet;
  return command;
}

Command echo_response(const Command& request, std::uint16_t status) {
  Command response = response_to(request, command_field::kCEchoRsp, status);
  if (response.affected_sop_class.empty()) response.affected_sop_class = std::string(kVerificationSopClass);
  return response;
}

Command store_request(std::uint16_t message_id, std::string sop_class, std::string sop_instance,
                      std::uint16_t priority) {
  Command command;
  command.command_field = command_field::kCStoreRq;
  command.affected_sop_class = std::move(sop_class);
  command.message_id = message_id;
  command.priority = priority;
  command.data_set_type = kDataSetPresent;
  command.affected_sop_instance = std::move(sop_instance);
  return command;
}

Command store_response(const Command& request, std::uint16_t status, std::string error_comment) {
  Command response = response_to(request, command_field::kCStoreRsp, status);
  response.affected_sop_instance = request.affected_sop_instance;
  if (error_comment.size() > kMaxErrorComment) error_comment.resize(kMaxErrorComment);
  response.error_comment = std::move(error_comment);
  return response;
}

Command find_response(const Command& request, std::uint16_t status, bool with_identifier) {
  Command response = response_to(request, command_field::kCFindRsp, status);
  response.data_set_type = with_identifier ? kDataSetPresent : kNoDataSet;
  return response;
}

}  // namespace zanthe::dicom_net

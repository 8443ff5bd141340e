#include "dicom_net/pdu.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "dicom/byte_reading.h"

namespace zanthe::dicom_net {

namespace {

// Version, reserved, called and calling AE titles, reserved: what precedes the items of an
// A-ASSOCIATE-RQ or -AC.
constexpr std::size_t kAssociateFixedSize = 68;
constexpr std::size_t kAeTitleSize = 16;
constexpr std::size_t kCalledAeOffset = 4;
constexpr std::size_t kCallingAeOffset = 20;
constexpr std::size_t kItemHeaderSize = 4;  // type, reserved, 2-byte length
constexpr std::size_t kMaxItemLength = 0xFFFF;
constexpr std::size_t kShortPduBodySize = 4;  // A-ASSOCIATE-RJ, A-RELEASE-RQ/RP, A-ABORT

namespace item {
constexpr std::uint8_t kApplicationContext = 0x10;
constexpr std::uint8_t kContextRequest = 0x20;
constexpr std::uint8_t kContextAccept = 0x21;
constexpr std::uint8_t kAbstractSyntax = 0x30;
constexpr std::uint8_t kTransferSyntax = 0x40;
constexpr std::uint8_t kUserInformation = 0x50;
constexpr std::uint8_t kMaxLength = 0x51;
constexpr std::uint8_t kImplementationClass = 0x52;
constexpr std::uint8_t kAsyncWindow = 0x53;
constexpr std::uint8_t kRoleSelection = 0x54;
constexpr std::uint8_t kImplementationVersion = 0x55;
}  // namespace item

// --- reading ----------------------------------------------------------------------------------

using dicom::read_u16_big;
using dicom::read_u32_big;

[[nodiscard]] std::string_view as_text(std::span<const std::uint8_t> bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// AE titles are padded with spaces; some peers pad with NULs instead.
[[nodiscard]] std::string ae_title(std::span<const std::uint8_t> field) {
  std::string_view text = as_text(field);
  const auto padding = [](char c) { return c == ' ' || c == '\0'; };
  while (!text.empty() && padding(text.front())) text.remove_prefix(1);
  while (!text.empty() && padding(text.back())) text.remove_suffix(1);
  return std::string(text);
}

// UIDs travel unpadded here, but a NUL or space pad (as in a dataset) is tolerated.
[[nodiscard]] std::string uid_text(std::span<const std::uint8_t> value) {
  std::string_view text = as_text(value);
  while (!text.empty() && (text.back() == '\0' || text.back() == ' ')) text.remove_suffix(1);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  return std::string(text);
}

// One item or sub-item; `offset` is where its header starts in the PDU body.
struct Item {
  std::uint8_t type = 0;
  std::span<const std::uint8_t> value;
  std::size_t offset = 0;
};

// Cuts `bytes` (starting at `base` in the body) into items, each of which must lie inside it.
[[nodiscard]] NetStatus split_items(std::span<const std::uint8_t> bytes, std::size_t base, std::vector<Item>& out) {
  out.clear();
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < kItemHeaderSize) {
      return net_failure(NetCode::truncated, "an item header is cut short", base + pos);
    }
    const std::size_t length = read_u16_big(bytes.data() + pos + 2);
    if (length > bytes.size() - pos - kItemHeaderSize) {
      return net_failure(NetCode::truncated, "an item runs past the end of its container", base + pos);
    }
    out.push_back(Item{bytes[pos], bytes.subspan(pos + kItemHeaderSize, length), base + pos});
    pos += kItemHeaderSize + length;
  }
  return {};
}

[[nodiscard]] std::size_t value_offset(const Item& item) noexcept { return item.offset + kItemHeaderSize; }

struct UserInformation {
  std::uint32_t max_pdu_length = 0;
  std::string implementation_class_uid;
  std::string implementation_version;
  std::vector<RoleSelection> roles;
  std::uint16_t max_operations_invoked = 1;
  std::uint16_t max_operations_performed = 1;
};

[[nodiscard]] NetStatus parse_role(const Item& sub, RoleSelection& role) {
  if (sub.value.size() < 4) return net_failure(NetCode::malformed, "a role selection item is too short", sub.offset);
  const std::size_t uid_length = read_u16_big(sub.value.data());
  if (uid_length != sub.value.size() - 4) {
    return net_failure(NetCode::malformed, "a role selection item's UID length disagrees with its length", sub.offset);
  }
  role.sop_class = uid_text(sub.value.subspan(2, uid_length));
  role.scu = sub.value[2 + uid_length] != 0;
  role.scp = sub.value[3 + uid_length] != 0;
  return {};
}

[[nodiscard]] NetStatus parse_user_information(const Item& user, UserInformation& out) {
  std::vector<Item> subs;
  if (NetStatus status = split_items(user.value, value_offset(user), subs); !status.ok()) return status;
  for (const Item& sub : subs) {
    switch (sub.type) {
      case item::kMaxLength:
        if (sub.value.size() != 4) return net_failure(NetCode::malformed, "a maximum length item is not 4 bytes", sub.offset);
        out.max_pdu_length = read_u32_big(sub.value.data());
        break;
      case item::kImplementationClass:
        out.implementation_class_uid = uid_text(sub.value);
        break;
      case item::kImplementationVersion:
        out.implementation_version = ae_title(sub.value);
        break;
      case item::kAsyncWindow:
        if (sub.value.size() != 4) {
          return net_failure(NetCode::malformed, "an asynchronous operations window item is not 4 bytes", sub.offset);
        }
        out.max_operations_invoked = read_u16_big(sub.value.data());
        out.max_operations_performed = read_u16_big(sub.value.data() + 2);
        break;
      case item::kRoleSelection: {
        RoleSelection role;
        if (NetStatus status = parse_role(sub, role); !status.ok()) return status;
        out.roles.push_back(std::move(role));
        break;
      }
      default:  // extended negotiation, user identity and whatever comes later: not ours to answer
        break;
    }
  }
  return {};
}

[[nodiscard]] NetStatus check_context_id(std::uint8_t id, std::size_t offset) {
  if (id % 2 == 0) return net_failure(NetCode::malformed, "a presentation context ID is even", offset);
  return {};
}

// Reserved byte counts after the ID: RQ has three, AC has reserved, result, reserved.
constexpr std::size_t kContextFixedSize = 4;

[[nodiscard]] NetStatus parse_context_request(const Item& context, PresentationContextRequest& out) {
  if (context.value.size() < kContextFixedSize) {
    return net_failure(NetCode::truncated, "a presentation context item is too short", context.offset);
  }
  out.id = context.value[0];
  if (NetStatus status = check_context_id(out.id, value_offset(context)); !status.ok()) return status;
  std::vector<Item> subs;
  NetStatus status = split_items(context.value.subspan(kContextFixedSize), value_offset(context) + kContextFixedSize, subs);
  if (!status.ok()) return status;
  for (const Item& sub : subs) {
    if (sub.type == item::kAbstractSyntax) {
      out.abstract_syntax = uid_text(sub.value);
    } else if (sub.type == item::kTransferSyntax) {
      out.transfer_syntaxes.push_back(uid_text(sub.value));
    }
  }
  return {};
}

[[nodiscard]] NetStatus parse_context_accept(const Item& context, PresentationContextAccept& out) {
  if (context.value.size() < kContextFixedSize) {
    return net_failure(NetCode::truncated, "a presentation context item is too short", context.offset);
  }
  out.id = context.value[0];
  if (NetStatus status = check_context_id(out.id, value_offset(context)); !status.ok()) return status;
  const std::uint8_t result = context.value[2];
  if (result > static_cast<std::uint8_t>(ContextResult::transfer_syntaxes_not_supported)) {
    return net_failure(NetCode::malformed, "a presentation context result is out of range", value_offset(context) + 2);
  }
  out.result = static_cast<ContextResult>(result);
  std::vector<Item> subs;
  NetStatus status = split_items(context.value.subspan(kContextFixedSize), value_offset(context) + kContextFixedSize, subs);
  if (!status.ok()) return status;
  // One transfer syntax is answered; should a peer send more, the first is the answer.
  const auto first = std::find_if(subs.begin(), subs.end(), [](const Item& s) { return s.type == item::kTransferSyntax; });
  if (first != subs.end()) out.transfer_syntax = uid_text(first->value);
  return {};
}

template <typename Context>
[[nodiscard]] bool has_context_id(const std::vector<Context>& contexts, std::uint8_t id) {
  return std::any_of(contexts.begin(), contexts.end(), [id](const Context& c) { return c.id == id; });
}

// What an A-ASSOCIATE-RQ and -AC share: the fixed fields, one application context item, one user
// information item. `on_context` parses the presentation context items of `context_type`.
struct AssociateCommon {
  std::uint16_t protocol_version = 0;
  std::string called_ae;
  std::string calling_ae;
  std::string application_context;
  UserInformation user;
};

template <typename OnContext>
[[nodiscard]] NetStatus parse_associate_common(std::span<const std::uint8_t> body, std::uint8_t context_type,
                                               AssociateCommon& out, OnContext&& on_context) {
  if (body.size() < kAssociateFixedSize) {
    return net_failure(NetCode::truncated, "the PDU ends inside its fixed fields", body.size());
  }
  out.protocol_version = read_u16_big(body.data());
  out.called_ae = ae_title(body.subspan(kCalledAeOffset, kAeTitleSize));
  out.calling_ae = ae_title(body.subspan(kCallingAeOffset, kAeTitleSize));
  std::vector<Item> items;
  if (NetStatus status = split_items(body.subspan(kAssociateFixedSize), kAssociateFixedSize, items); !status.ok()) {
    return status;
  }
  bool have_application_context = false;
  bool have_user_information = false;
  for (const Item& it : items) {
    if (it.type == item::kApplicationContext) {
      if (have_application_context) return net_failure(NetCode::malformed, "a second application context item", it.offset);
      have_application_context = true;
      out.application_context = uid_text(it.value);
    } else if (it.type == context_type) {
      if (NetStatus status = on_context(it); !status.ok()) return status;
    } else if (it.type == item::kUserInformation) {
      if (have_user_information) return net_failure(NetCode::malformed, "a second user information item", it.offset);
      have_user_information = true;
      if (NetStatus status = parse_user_information(it, out.user); !status.ok()) return status;
    }
  }
  if (!have_application_context) {
    return net_failure(NetCode::malformed, "no application context item", kAssociateFixedSize);
  }
  return {};
}

// Checked after everything is read, so that a caller answering with a rejection has the whole PDU.
[[nodiscard]] NetStatus check_spoken(std::uint16_t protocol_version, const std::string& application_context) {
  if ((protocol_version & 1) == 0) {
    return net_failure(NetCode::unsupported, "the protocol version does not include version 1", 0);
  }
  if (application_context != kApplicationContext) {
    return net_failure(NetCode::unsupported, "the application context is not the DICOM one", kAssociateFixedSize);
  }
  return {};
}

// --- writing ----------------------------------------------------------------------------------

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put_u16(out, static_cast<std::uint16_t>(v >> 16));
  put_u16(out, static_cast<std::uint16_t>(v));
}

void set_u16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
  out[at] = static_cast<std::uint8_t>(v >> 8);
  out[at + 1] = static_cast<std::uint8_t>(v);
}

void set_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
  set_u16(out, at, static_cast<std::uint16_t>(v >> 16));
  set_u16(out, at + 2, static_cast<std::uint16_t>(v));
}

void put_text(std::vector<std::uint8_t>& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

void put_ae_title(std::vector<std::uint8_t>& out, std::string_view title) {
  const std::string_view cut = title.substr(0, kAeTitleSize);
  put_text(out, cut);
  out.insert(out.end(), kAeTitleSize - cut.size(), ' ');
}

// Starts an item (or PDU) whose length is filled in by its end_ call; returns where it starts.
[[nodiscard]] std::size_t begin_item(std::vector<std::uint8_t>& out, std::uint8_t type) {
  const std::size_t start = out.size();
  out.insert(out.end(), {type, 0, 0, 0});
  return start;
}

void end_item(std::vector<std::uint8_t>& out, std::size_t start) {
  set_u16(out, start + 2, static_cast<std::uint16_t>(out.size() - start - kItemHeaderSize));
}

[[nodiscard]] std::size_t begin_pdu(std::vector<std::uint8_t>& out, PduType type) {
  const std::size_t start = out.size();
  out.insert(out.end(), {static_cast<std::uint8_t>(type), 0, 0, 0, 0, 0});
  return start;
}

void end_pdu(std::vector<std::uint8_t>& out, std::size_t start) {
  set_u32(out, start + 2, static_cast<std::uint32_t>(out.size() - start - kPduHeaderSize));
}

// A text item; text past what a 2-byte length holds is cut (no UID comes near it).
void put_text_item(std::vector<std::uint8_t>& out, std::uint8_t type, std::string_view text) {
  const std::size_t start = begin_item(out, type);
  put_text(out, text.substr(0, kMaxItemLength));
  end_item(out, start);
}

void put_fixed_fields(std::vector<std::uint8_t>& out, std::uint16_t protocol_version, std::string_view called,
                      std::string_view calling) {
  put_u16(out, protocol_version);
  put_u16(out, 0);
  put_ae_title(out, called);
  put_ae_title(out, calling);
  out.insert(out.end(), 32, 0);
}

[[nodiscard]] std::size_t role_item_size(const RoleSelection& role) { return kItemHeaderSize + 4 + role.sop_class.size(); }

void put_role(std::vector<std::uint8_t>& out, const RoleSelection& role) {
  const std::size_t start = begin_item(out, item::kRoleSelection);
  put_u16(out, static_cast<std::uint16_t>(role.sop_class.size()));
  put_text(out, role.sop_class);
  out.push_back(role.scu ? 1 : 0);
  out.push_back(role.scp ? 1 : 0);
  end_item(out, start);
}

// Appends a text sub-item when it fits in the `used` bytes of a container's 2-byte length.
void put_text_item_within(std::vector<std::uint8_t>& out, std::uint8_t type, std::string_view text, std::size_t& used) {
  if (kItemHeaderSize + text.size() > kMaxItemLength - used) return;
  put_text_item(out, type, text);
  used += kItemHeaderSize + text.size();
}

// The maximum length sub-item is always sent (zero meaning no limit): the standard makes it mandatory.
// Sub-items that would carry the item past its 2-byte length are left out, roles first.
void put_user_information(std::vector<std::uint8_t>& out, std::uint32_t max_pdu_length, std::string_view class_uid,
                          std::string_view version, const std::vector<RoleSelection>& roles,
                          std::uint16_t max_invoked, std::uint16_t max_performed, bool with_window) {
  const std::size_t start = begin_item(out, item::kUserInformation);
  const std::size_t sub = begin_item(out, item::kMaxLength);
  put_u32(out, max_pdu_length);
  end_item(out, sub);
  std::size_t used = kItemHeaderSize + 4;
  if (!class_uid.empty()) put_text_item_within(out, item::kImplementationClass, class_uid, used);
  if (!version.empty()) put_text_item_within(out, item::kImplementationVersion, version, used);
  if (with_window && (max_invoked != 1 || max_performed != 1)) {
    const std::size_t window = begin_item(out, item::kAsyncWindow);
    put_u16(out, max_invoked);
    put_u16(out, max_performed);
    end_item(out, window);
    used += kItemHeaderSize + 4;
  }
  for (const RoleSelection& role : roles) {
    if (role_item_size(role) > kMaxItemLength - used) break;
    used += role_item_size(role);
    put_role(out, role);
  }
  end_item(out, start);
}

// An absent abstract syntax stays absent; transfer syntaxes past the item's 2-byte length are left out.
void put_context_request(std::vector<std::uint8_t>& out, const PresentationContextRequest& context) {
  const std::size_t start = begin_item(out, item::kContextRequest);
  out.insert(out.end(), {context.id, 0, 0, 0});
  std::size_t used = kContextFixedSize;
  if (!context.abstract_syntax.empty()) put_text_item_within(out, item::kAbstractSyntax, context.abstract_syntax, used);
  for (const std::string& syntax : context.transfer_syntaxes) {
    if (kItemHeaderSize + syntax.size() > kMaxItemLength - used) break;
    put_text_item_within(out, item::kTransferSyntax, syntax, used);
  }
  end_item(out, start);
}

// The transfer syntax sub-item is sent even when empty: some peers expect it in every answer.
void put_context_accept(std::vector<std::uint8_t>& out, const PresentationContextAccept& context) {
  const std::size_t start = begin_item(out, item::kContextAccept);
  out.insert(out.end(), {context.id, 0, static_cast<std::uint8_t>(context.result), 0});
  const std::size_t room = kMaxItemLength - kContextFixedSize - kItemHeaderSize;
  put_text_item(out, item::kTransferSyntax, std::string_view(context.transfer_syntax).substr(0, room));
  end_item(out, start);
}

[[nodiscard]] std::vector<std::uint8_t> build_short_pdu(PduType type, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  std::vector<std::uint8_t> out;
  const std::size_t start = begin_pdu(out, type);
  out.insert(out.end(), {0, b1, b2, b3});
  end_pdu(out, start);
  return out;
}

}  // namespace

PduHeader read_pdu_header(const std::uint8_t* bytes) noexcept { return PduHeader{bytes[0], read_u32_big(bytes + 2)}; }

namespace {

// Reads an A-ASSOCIATE-RQ or -AC body into `out`: the fields both share, and each presentation context
// item of `context_item` through `parse_context`, IDs unique.
template <typename Associate, typename ParseContext>
NetStatus parse_associate(std::span<const std::uint8_t> body, std::uint8_t context_item, ParseContext parse_context,
                          Associate& out) {
  out = Associate{};
  AssociateCommon common;
  NetStatus status = parse_associate_common(body, context_item, common, [&](const Item& it) {
    typename decltype(out.contexts)::value_type context;
    if (NetStatus s = parse_context(it, context); !s.ok()) return s;
    if (has_context_id(out.contexts, context.id)) {
      return net_failure(NetCode::malformed, "two presentation contexts share an ID", value_offset(it));
    }
    out.contexts.push_back(std::move(context));
    return NetStatus{};
  });
  out.protocol_version = common.protocol_version;
  out.called_ae = std::move(common.called_ae);
  out.calling_ae = std::move(common.calling_ae);
  out.application_context = std::move(common.application_context);
  out.max_pdu_length = common.user.max_pdu_length;
  out.implementation_class_uid = std::move(common.user.implementation_class_uid);
  out.implementation_version = std::move(common.user.implementation_version);
  out.roles = std::move(common.user.roles);
  if constexpr (requires { out.max_operations_invoked; }) {
    out.max_operations_invoked = common.user.max_operations_invoked;
    out.max_operations_performed = common.user.max_operations_performed;
  }
  if (!status.ok()) return status;
  return check_spoken(out.protocol_version, out.application_context);
}

}  // namespace

NetStatus parse_associate_request(std::span<const std::uint8_t> body, AssociateRequest& out) {
  return parse_associate(body, item::kContextRequest, parse_context_request, out);
}

NetStatus parse_associate_accept(std::span<const std::uint8_t> body, AssociateAccept& out) {
  return parse_associate(body, item::kContextAccept, parse_context_accept, out);
}

NetStatus parse_associate_reject(std::span<const std::uint8_t> body, AssociateReject& out) {
  if (body.size() < kShortPduBodySize) return net_failure(NetCode::truncated, "an A-ASSOCIATE-RJ is cut short", body.size());
  out = AssociateReject{body[1], body[2], body[3]};
  return {};
}

NetStatus parse_abort(std::span<const std::uint8_t> body, Abort& out) {
  if (body.size() < kShortPduBodySize) return net_failure(NetCode::truncated, "an A-ABORT is cut short", body.size());
  out = Abort{body[2], body[3]};
  return {};
}

NetStatus parse_p_data(std::span<const std::uint8_t> body, std::vector<Pdv>& out) {
  out.clear();
  if (body.empty()) return net_failure(NetCode::malformed, "a P-DATA-TF without a PDV", 0);
  std::size_t pos = 0;
  while (pos < body.size()) {
    if (body.size() - pos < 4) return net_failure(NetCode::truncated, "a PDV length is cut short", pos);
    const std::uint32_t length = read_u32_big(body.data() + pos);
    if (length < 2) return net_failure(NetCode::malformed, "a PDV shorter than its context ID and header", pos);
    if (length > body.size() - pos - 4) return net_failure(NetCode::truncated, "a PDV runs past the PDU", pos);
    const std::uint8_t context_id = body[pos + 4];
    if (NetStatus status = check_context_id(context_id, pos + 4); !status.ok()) return status;
    const std::uint8_t control = body[pos + 5];
    out.push_back(Pdv{context_id, (control & 0x01) != 0, (control & 0x02) != 0, body.subspan(pos + 6, length - 2)});
    pos += 4 + std::size_t{length};
  }
  return {};
}

std::vector<std::uint8_t> build_associate_request(const AssociateRequest& request) {
  std::vector<std::uint8_t> out;
  const std::size_t pdu = begin_pdu(out, PduType::associate_rq);
  put_fixed_fields(out, request.protocol_version, request.called_ae, request.calling_ae);
  put_text_item(out, item::kApplicationContext, request.application_context);
  for (const PresentationContextRequest& context : request.contexts) put_context_request(out, context);
  put_user_information(out, request.max_pdu_length, request.implementation_class_uid, request.implementation_version,
                       request.roles, request.max_operations_invoked, request.max_operations_performed, true);
  end_pdu(out, pdu);
  return out;
}

std::vector<std::uint8_t> build_associate_accept(const AssociateAccept& accept) {
  std::vector<std::uint8_t> out;
  const std::size_t pdu = begin_pdu(out, PduType::associate_ac);
  put_fixed_fields(out, accept.protocol_version, accept.called_ae, accept.calling_ae);
  put_text_item(out, item::kApplicationContext, accept.application_context);
  for (const PresentationContextAccept& context : accept.contexts) put_context_accept(out, context);
  put_user_information(out, accept.max_pdu_length, accept.implementation_class_uid, accept.implementation_version,
                       accept.roles, 1, 1, false);
  end_pdu(out, pdu);
  return out;
}

std::vector<std::uint8_t> build_associate_reject(const AssociateReject& reject) {
  return build_short_pdu(PduType::associate_rj, reject.result, reject.source, reject.reason);
}

std::vector<std::uint8_t> build_release_request() { return build_short_pdu(PduType::release_rq, 0, 0, 0); }

std::vector<std::uint8_t> build_release_response() { return build_short_pdu(PduType::release_rp, 0, 0, 0); }

std::vector<std::uint8_t> build_abort(const Abort& abort) {
  return build_short_pdu(PduType::abort, 0, abort.source, abort.reason);
}

void write_p_data_header(std::uint8_t* out, std::uint8_t context_id, bool command, bool last,
                         std::uint32_t data_length) noexcept {
  const std::uint32_t pdu_length = data_length + 6;  // PDV length field, context ID, control header
  const std::uint32_t pdv_length = data_length + 2;
  out[0] = static_cast<std::uint8_t>(PduType::p_data_tf);
  out[1] = 0;
  out[2] = static_cast<std::uint8_t>(pdu_length >> 24);
  out[3] = static_cast<std::uint8_t>(pdu_length >> 16);
  out[4] = static_cast<std::uint8_t>(pdu_length >> 8);
  out[5] = static_cast<std::uint8_t>(pdu_length);
  out[6] = static_cast<std::uint8_t>(pdv_length >> 24);
  out[7] = static_cast<std::uint8_t>(pdv_length >> 16);
  out[8] = static_cast<std::uint8_t>(pdv_length >> 8);
  out[9] = static_cast<std::uint8_t>(pdv_length);
  out[10] = context_id;
  out[11] = static_cast<std::uint8_t>((command ? 0x01 : 0x00) | (last ? 0x02 : 0x00));
}

}  // namespace zanthe::dicom_net

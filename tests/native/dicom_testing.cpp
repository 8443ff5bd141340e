// Test-only module: exposes the DICOM reader's internals to pytest. Every call copies its input into
// a heap block of exactly that size, so that a sanitizer build catches any read past the end.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "dicom/dictionary_tables.h"
#include "dicom/element_reader.h"
#include "dicom/part10_reader.h"
#include "dicom/vr_tables.h"

namespace nb = nanobind;
using namespace zanthe::dicom;

namespace {

// Exactly-sized copy of a Python bytes object.
struct Buffer {
  explicit Buffer(const nb::bytes& b) : size(b.size()), data(new std::uint8_t[b.size()]) {
    if (size > 0) std::memcpy(data.get(), b.c_str(), size);
  }
  std::size_t size;
  std::unique_ptr<std::uint8_t[]> data;
};

std::string vr_text(VrCode vr) {
  if (vr == 0) return "";
  return std::string{static_cast<char>(vr & 0xFF), static_cast<char>(vr >> 8)};
}

VrCode vr_from_text(const std::string& vr) {
  if (vr.empty()) return 0;
  if (vr.size() != 2) throw nb::value_error("a VR is two letters");
  return vr_code(vr[0], vr[1]);
}

nb::bytes view_bytes(std::string_view v) { return nb::bytes(v.data(), v.size()); }

const char* code_name(ReadCode code) {
  switch (code) {
    case ReadCode::ok: return "ok";
    case ReadCode::not_dicom: return "not_dicom";
    case ReadCode::inflate_failed: return "inflate_failed";
    case ReadCode::inflated_too_large: return "inflated_too_large";
    case ReadCode::unreadable_element: return "unreadable_element";
    case ReadCode::no_magic: return "no_magic";
    case ReadCode::truncated: return "truncated";
    case ReadCode::bad_header: return "bad_header";
  }
  return "?";
}

// parse_dataset's outcome as the tests know it: 1 when it ran to the end or a zero group, 0 when it
// stopped at an unreadable header.
int parse_result(const ReadStatus& status) { return status.ok() ? 1 : 0; }

using ElementRow = std::tuple<std::uint32_t, std::string, std::uint64_t, std::uint64_t>;

Encoding encoding_of(bool implicit_vr, bool big_endian) {
  return Encoding{.implicit_vr = implicit_vr,
                  .byte_order = big_endian ? ByteOrder::big_endian : ByteOrder::little_endian};
}

std::vector<ElementRow> element_rows(const ElementList& elements, const std::uint8_t* base) {
  std::vector<ElementRow> rows;
  for (const DataElement& e : elements) {
    rows.emplace_back(e.tag, vr_text(e.vr), e.length, static_cast<std::uint64_t>(e.value - base));
  }
  return rows;
}

}  // namespace

NB_MODULE(_dicom_testing, m) {
  m.def("read_file_meta", [](const nb::bytes& input) {
    Buffer buf(input);
    const MetaResult r = read_file_meta(buf.data.get(), buf.size);
    nb::dict out;
    out["status"] = code_name(r.status.code);
    out["status_value"] = static_cast<int>(r.status.code);
    out["sop_class_uid"] = view_bytes(r.info.sop_class_uid);
    out["sop_instance_uid"] = view_bytes(r.info.sop_instance_uid);
    out["transfer_syntax_uid"] = view_bytes(r.info.transfer_syntax_uid);
    out["dataset_offset"] = r.info.dataset_offset;
    out["sop_class_null"] = r.info.sop_class_uid.data() == nullptr;
    return out;
  });
  m.def(
      "parse_dataset",
      [](const nb::bytes& input, bool explicit_vr) {
        Buffer buf(input);
        ElementList elements;
        const ReadStatus status = parse_dataset(buf.data.get(), buf.size, explicit_vr, elements);
        return std::make_tuple(parse_result(status), element_rows(elements, buf.data.get()));
      },
      nb::arg("data"), nb::arg("explicit_vr") = true,
      "(result, [(tag, vr, length, value offset)])");
  m.def(
      "parse_encoded",
      [](const nb::bytes& input, bool implicit_vr, bool big_endian) {
        Buffer buf(input);
        ElementList elements;
        const ReadStatus status =
            parse_dataset(buf.data.get(), buf.size, encoding_of(implicit_vr, big_endian), elements);
        return std::make_tuple(parse_result(status), status.offset, element_rows(elements, buf.data.get()));
      },
      nb::arg("data"), nb::kw_only(), nb::arg("implicit_vr") = false, nb::arg("big_endian") = false,
      "(result, stop offset, [(tag, vr, length, value offset)])");
  m.def(
      "header_ends_within",
      [](const nb::bytes& input, bool implicit_vr, bool big_endian) {
        Buffer buf(input);
        return header_ends_within(buf.data.get(), buf.size, encoding_of(implicit_vr, big_endian));
      },
      nb::arg("data"), nb::kw_only(), nb::arg("implicit_vr") = false, nb::arg("big_endian") = false);
  m.def(
      "locate_dataset",
      [](const nb::bytes& input, std::optional<std::size_t> max_inflated) {
        Buffer buf(input);
        std::vector<std::uint8_t> inflated;
        const LocatedDataset located =
            locate_dataset(buf.data.get(), buf.size, inflated, max_inflated.value_or(kMaxInflatedBytes));
        nb::dict out;
        out["status"] = code_name(located.status.code);
        out["implicit_vr"] = located.encoding.implicit_vr;
        out["big_endian"] = located.encoding.byte_order == ByteOrder::big_endian;
        out["has_meta"] = located.has_meta;
        out["deflated"] = located.deflated;
        out["known_transfer_syntax"] = located.known_transfer_syntax;
        out["transfer_syntax_uid"] = view_bytes(located.meta.transfer_syntax_uid);
        const bool in_input = located.data != nullptr && located.data >= buf.data.get() &&
                              located.data <= buf.data.get() + buf.size;
        out["offset"] = in_input ? nb::object(nb::int_(located.data - buf.data.get())) : nb::object(nb::none());
        out["inflated_size"] = inflated.size();
        out["dataset"] = nb::bytes(reinterpret_cast<const char*>(located.data), located.size);
        return out;
      },
      nb::arg("data"), nb::arg("max_inflated") = nb::none(),
      "status, encoding, meta flags, the dataset's offset in the input (None when inflated) and its bytes");
  m.def(
      "find_text",
      [](const nb::bytes& input, bool explicit_vr, std::uint32_t tag) {
        Buffer buf(input);
        ElementList elements;
        (void)parse_dataset(buf.data.get(), buf.size, explicit_vr, elements);
        return view_bytes(find_text(elements, tag));
      },
      nb::arg("data"), nb::arg("explicit_vr"), nb::arg("tag"));
  m.def("is_implicit_vr_little_endian",
        [](const nb::bytes& uid) { return is_implicit_vr_little_endian({uid.c_str(), uid.size()}); });
  m.def(
      "read_element_header",
      [](const nb::bytes& input, std::uint16_t group, std::uint16_t element, bool implicit) {
        Buffer buf(input);
        ElementHeader header;
        const std::uint32_t consumed = read_element_header(buf.data.get(), static_cast<std::uint32_t>(buf.size), group,
                                                           element, implicit, header);
        return std::make_tuple(consumed, vr_text(header.vr), header.length);
      },
      nb::arg("data"), nb::arg("group"), nb::arg("element"), nb::arg("implicit"),
      "(consumed, vr, length) for the bytes just after a tag");
  m.def(
      "find_item_end",
      [](const nb::bytes& input, bool implicit, int depth) -> std::optional<std::uint64_t> {
        Buffer buf(input);
        const std::uint8_t* end = find_item_end(buf.data.get(), buf.data.get() + buf.size, implicit, depth);
        if (end == nullptr) return std::nullopt;
        return static_cast<std::uint64_t>(end - buf.data.get());
      },
      nb::arg("data"), nb::arg("implicit"), nb::arg("depth") = 0);
  m.def("looks_like_sequence", [](const nb::bytes& input, bool implicit) {
    Buffer buf(input);
    return looks_like_sequence(buf.data.get(), buf.size, implicit);
  });
  m.def(
      "skip_element",
      [](const nb::bytes& input, bool implicit, int depth) {
        Buffer buf(input);
        return skip_element(buf.data.get(), buf.size, implicit, depth);
      },
      nb::arg("data"), nb::arg("implicit"), nb::arg("depth") = 0);
  m.def("lookup_vr", [](std::uint16_t group, std::uint16_t element) { return vr_text(lookup_vr(group, element)); });
  m.def("is_private_sequence", [](const nb::bytes& creator, std::uint16_t group, std::uint8_t element_low) {
    Buffer buf(creator);
    return is_private_sequence(buf.data.get(), buf.size, group, element_low);
  });
  m.def(
      "plausible_length",
      [](const nb::bytes& input, const std::string& vr, std::optional<std::uint32_t> n) {
        Buffer buf(input);
        const std::uint32_t available = n.value_or(static_cast<std::uint32_t>(buf.size));
        if (available > buf.size) throw nb::value_error("n beyond the data");
        return plausible_length(buf.data.get(), vr_from_text(vr), available);
      },
      nb::arg("data"), nb::arg("vr"), nb::arg("n") = nb::none());
  m.def("is_vr_code", [](std::uint16_t vr) { return is_vr_code(vr); });
  m.def("is_long_vr", [](std::uint16_t vr) { return is_long_vr(vr); });
  m.def("vr_letters", []() { return std::string(kVrLetters); });
  m.def("sequence_table", []() {
    std::vector<std::tuple<std::uint16_t, std::vector<std::uint16_t>>> rows;
    for (const auto& row : tables::kSequenceGroups) {
      rows.emplace_back(row.group, std::vector<std::uint16_t>(row.elements, row.elements + row.count));
    }
    return rows;
  }, "[(group, [element, ...])] in table order");
  m.def("vr_table", []() {
    std::vector<std::tuple<std::uint16_t, std::vector<std::uint16_t>, std::vector<std::string>>> rows;
    for (const auto& row : tables::kVrGroups) {
      std::vector<std::string> vrs;
      for (std::uint32_t i = 0; i < row.count; ++i) {
        vrs.push_back(std::string(kVrLetters.substr(2u * row.vr_indexes[i], 2)));
      }
      rows.emplace_back(row.group, std::vector<std::uint16_t>(row.elements, row.elements + row.count), vrs);
    }
    return rows;
  }, "[(group, [element, ...], [vr, ...])] in table order");
  m.def("private_sequence_table", []() {
    std::vector<std::string> creators;
    for (const std::uint16_t offset : tables::kPrivateCreatorOffsets) {
      creators.emplace_back(tables::kPrivateCreatorText.data() + offset);
    }
    std::vector<std::tuple<int, std::uint16_t, std::vector<std::uint8_t>>> rows;
    for (const auto& row : tables::kPrivateSequenceRows) {
      const std::uint8_t* run = tables::kPrivateSequenceElements.data() + row.start;
      rows.emplace_back(row.creator, row.group, std::vector<std::uint8_t>(run, run + row.count));
    }
    return std::make_tuple(creators, rows);
  }, "([creator, ...], [(creator index + 1, group, [element byte, ...])]) in table order");
  m.def("table_counts", []() {
    const TableCounts c = table_counts();
    nb::dict out;
    out["sequence_groups"] = c.sequence_groups;
    out["sequence_tags"] = c.sequence_tags;
    out["vr_groups"] = c.vr_groups;
    out["vr_tags"] = c.vr_tags;
    out["private_creators"] = c.private_creators;
    out["private_rows"] = c.private_rows;
    out["private_element_bytes"] = c.private_element_bytes;
    return out;
  });
}

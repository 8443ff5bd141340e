#include "fhir/time_zone.h"

#include <algorithm>

namespace zanthe::fhir {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Offsets run from -12:00 to +14:00 in practice; anything past 14 hours or 59 minutes is a typo.
bool format_offset(char sign, std::string_view hours, std::string_view minutes, std::string& out) {
  if (hours.size() != 2 || minutes.size() != 2) return false;
  for (const char c : {hours[0], hours[1], minutes[0], minutes[1]}) {
    if (!is_digit(c)) return false;
  }
  const int h = (hours[0] - '0') * 10 + (hours[1] - '0');
  const int m = (minutes[0] - '0') * 10 + (minutes[1] - '0');
  if (h > 14 || m > 59 || (h == 14 && m > 0)) return false;
  const char text[6] = {sign, hours[0], hours[1], ':', minutes[0], minutes[1]};
  out.assign(text, sizeof text);
  return true;
}

}  // namespace

std::string_view ZoneOffsets::offset_on(std::string_view date) const {
  const auto after = std::upper_bound(changes.begin(), changes.end(), date,
                                      [](std::string_view d, const Change& c) { return d < c.first_date; });
  if (after == changes.begin()) return {};
  return std::prev(after)->offset;
}

bool parse_fixed_offset(std::string_view text, std::string& fhir_offset) {
  if (text == "Z" || text == "UTC" || text == "z") {
    fhir_offset = "Z";
    return true;
  }
  if (text.size() < 3 || (text[0] != '+' && text[0] != '-')) return false;
  const char sign = text[0];
  text.remove_prefix(1);
  if (text.size() == 2) return format_offset(sign, text, "00", fhir_offset);
  if (text.size() == 4) return format_offset(sign, text.substr(0, 2), text.substr(2), fhir_offset);
  if (text.size() == 5 && text[2] == ':') return format_offset(sign, text.substr(0, 2), text.substr(3), fhir_offset);
  return false;
}

bool dicom_offset(std::string_view value, std::string& fhir_offset) {
  if (value.size() != 5 || (value[0] != '+' && value[0] != '-')) return false;
  return format_offset(value[0], value.substr(1, 2), value.substr(3, 2), fhir_offset);
}

}  // namespace zanthe::fhir

#include "fhir/json_writer.h"

#include <cstdio>
#include <cstring>

namespace zanthe::fhir {
namespace {

// Cursor over the caller's area. Every primitive checks the room left before it writes and either
// writes completely or records the failure and returns false.
class JsonBuffer {
 public:
  JsonBuffer(std::uint8_t* data, std::size_t capacity) : data_(data), capacity_(capacity) {}

  [[nodiscard]] std::size_t length() const { return length_; }
  [[nodiscard]] EmitError failure() const { return failure_; }

  bool reject() {
    failure_ = EmitError::bad_value;
    return false;
  }

  bool put_byte(char byte) {
    if (length_ >= capacity_) return overflow();
    data_[length_++] = static_cast<std::uint8_t>(byte);
    return true;
  }

  bool put_raw(const char* bytes, std::size_t count) {
    if (count > capacity_ - length_) return overflow();
    std::memcpy(data_ + length_, bytes, count);
    length_ += count;
    return true;
  }

  bool put_string(std::string_view text) {
    if (!put_byte('"')) return false;
    for (const char byte : text) {
      if (!put_escaped(static_cast<unsigned char>(byte))) return false;
    }
    return put_byte('"');
  }

  bool put_integer(std::int64_t value) {
    char scratch[24];
    const int digits = std::snprintf(scratch, sizeof scratch, "%lld", static_cast<long long>(value));
    if (digits <= 0 || static_cast<std::size_t>(digits) >= sizeof scratch) return overflow();
    return put_raw(scratch, static_cast<std::size_t>(digits));
  }

 private:
  bool overflow() {
    failure_ = EmitError::buffer_too_small;
    return false;
  }

  bool put_short_escape(char letter) {
    const char escape[2] = {'\\', letter};
    return put_raw(escape, 2);
  }

  bool put_escaped(unsigned char byte) {
    switch (byte) {
      case 0x08: return put_short_escape('b');
      case 0x09: return put_short_escape('t');
      case 0x0A: return put_short_escape('n');
      case 0x0C: return put_short_escape('f');
      case 0x0D: return put_short_escape('r');
      case 0x22: return put_short_escape('"');
      case 0x5C: return put_short_escape('\\');
      default: break;
    }
    if (byte >= 0x20) return put_byte(static_cast<char>(byte));
    char scratch[7];
    std::snprintf(scratch, sizeof scratch, "\\u%04x", byte);
    return put_raw(scratch, 6);
  }

  std::uint8_t* data_;
  std::size_t capacity_;
  std::size_t length_ = 0;
  EmitError failure_ = EmitError::buffer_too_small;
};

// The members of one JSON object: separators come from the per-object "member written yet" flag.
class ObjectWriter {
 public:
  explicit ObjectWriter(JsonBuffer& out) : out_(out) {}

  bool name(std::string_view member) {
    if (has_member_ && !out_.put_byte(',')) return false;
    has_member_ = true;
    return out_.put_string(member) && out_.put_byte(':');
  }

  bool text(std::string_view member, Text value) {
    if (value.empty()) return true;
    return name(member) && out_.put_string(value);
  }

  bool integer(std::string_view member, std::int64_t value) {
    if (value < 0) return true;
    return name(member) && out_.put_integer(value);
  }

  template <typename T, typename Element>
  bool list(std::string_view member, List<T> items, Element&& element) {
    if (items.empty()) return true;
    if (!name(member) || !out_.put_byte('[')) return false;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i > 0 && !out_.put_byte(',')) return false;
      if (!element(out_, items[i])) return false;
    }
    return out_.put_byte(']');
  }

  // Writes `{`, lets `body` fill the members, then `}`.
  template <typename Body>
  static bool write_object(JsonBuffer& out, Body&& body) {
    ObjectWriter members(out);
    return out.put_byte('{') && body(members) && out.put_byte('}');
  }

 private:
  JsonBuffer& out_;
  bool has_member_ = false;
};

bool write_coding(JsonBuffer& out, const Coding& coding) {
  return ObjectWriter::write_object(out, [&](ObjectWriter& o) {
    return o.text("system", coding.system) && o.text("version", coding.version) &&
           o.text("code", coding.code) && o.text("display", coding.display);
  });
}

bool write_reference(JsonBuffer& out, const Reference& ref) {
  return ObjectWriter::write_object(out, [&](ObjectWriter& o) {
    return o.text("reference", ref.reference) && o.text("type", ref.type) &&
           o.text("display", ref.display);
  });
}

bool write_codeable_concept(JsonBuffer& out, const CodeableConcept& codeable) {
  return ObjectWriter::write_object(out, [&](ObjectWriter& o) {
    return o.list("coding", codeable.coding, write_coding) && o.text("text", codeable.text);
  });
}

bool write_identifier(JsonBuffer& out, const Identifier& identifier) {
  return ObjectWriter::write_object(out, [&](ObjectWriter& o) {
    return o.text("use", identifier.use) && o.text("system", identifier.system) &&
           o.text("value", identifier.value);
  });
}

bool write_annotation(JsonBuffer& out, const Annotation& note) {
  return ObjectWriter::write_object(out, [&](ObjectWriter& o) {
    const bool author_written =
        is_present(note.authorReference)
            ? o.name("authorReference") && write_reference(out, note.authorReference)
            : o.text("authorString", note.authorString);
    return author_written && o.text("time", note.time) && o.text("text", note.text);
  });
}

bool write_performer(JsonBuffer& out, const ImagingStudyPerformer& performer) {
  const bool has_function = !performer.function.coding.empty() || !performer.function.text.empty();
  return ObjectWriter::write_object(out, [&](ObjectWriter& o) {
    if (has_function && !(o.name("function") && write_codeable_concept(out, performer.function))) {
      return false;
    }
    return o.name("actor") && write_reference(out, performer.actor);
  });
}

bool write_instance(JsonBuffer& out, const ImagingStudyInstance& instance) {
  if (instance.uid.empty() || instance.sopClass.code.empty()) return out.reject();
  return ObjectWriter::write_object(out, [&](ObjectWriter& o) {
    return o.text("uid", instance.uid) && o.integer("number", instance.number) &&
           o.name("sopClass") && write_coding(out, instance.sopClass) && o.text("title", instance.title);
  });
}

bool write_coding_if_coded(ObjectWriter& o, JsonBuffer& out, std::string_view member, const Coding& coding) {
  if (coding.code.empty()) return true;
  return o.name(member) && write_coding(out, coding);
}

bool write_series(JsonBuffer& out, const ImagingStudySeries& series) {
  if (series.uid.empty() || series.modality.code.empty()) return out.reject();
  return ObjectWriter::write_object(out, [&](ObjectWriter& o) {
    return o.text("uid", series.uid) && o.integer("number", series.number) && o.name("modality") &&
           write_coding(out, series.modality) && o.text("description", series.description) &&
           o.integer("numberOfInstances", series.numberOfInstances) &&
           o.list("endpoint", series.endpoint, write_reference) &&
           write_coding_if_coded(o, out, "bodySite", series.bodySite) &&
           write_coding_if_coded(o, out, "laterality", series.laterality) &&
           o.list("specimen", series.specimen, write_reference) && o.text("started", series.started) &&
           o.list("performer", series.performer, write_performer) &&
           o.list("instance", series.instance, write_instance);
  });
}

bool write_reference_if_present(ObjectWriter& o, JsonBuffer& out, std::string_view member,
                                const Reference& ref) {
  if (!is_present(ref)) return true;
  return o.name(member) && write_reference(out, ref);
}

bool write_study_members(ObjectWriter& o, JsonBuffer& out, const ImagingStudy& s) {
  return o.text("resourceType", "ImagingStudy") && o.text("id", s.id) &&
         o.list("identifier", s.identifier, write_identifier) && o.text("status", s.status) &&
         o.list("modality", s.modality, write_coding) && o.name("subject") &&
         write_reference(out, s.subject) && write_reference_if_present(o, out, "encounter", s.encounter) &&
         o.text("started", s.started) && o.list("basedOn", s.basedOn, write_reference) &&
         write_reference_if_present(o, out, "referrer", s.referrer) &&
         o.list("interpreter", s.interpreter, write_reference) &&
         o.list("endpoint", s.endpoint, write_reference) && o.integer("numberOfSeries", s.numberOfSeries) &&
         o.integer("numberOfInstances", s.numberOfInstances) &&
         write_reference_if_present(o, out, "procedureReference", s.procedureReference) &&
         o.list("procedureCode", s.procedureCode, write_codeable_concept) &&
         write_reference_if_present(o, out, "location", s.location) &&
         o.list("reasonCode", s.reasonCode, write_codeable_concept) &&
         o.list("reasonReference", s.reasonReference, write_reference) &&
         o.list("note", s.note, write_annotation) && o.text("description", s.description) &&
         o.list("series", s.series, write_series);
}

}  // namespace

std::string_view emit_error_name(EmitError error) {
  switch (error) {
    case EmitError::buffer_too_small: return "buffer_too_small";
    case EmitError::bad_value: return "bad_value";
  }
  return "unknown";
}

EmitResult write_imaging_study_json(const ImagingStudy& study, std::uint8_t* data, std::size_t capacity) {
  if (study.status.empty()) return {.error = EmitError::bad_value};
  if (capacity == 0) return {.error = EmitError::buffer_too_small};
  JsonBuffer out(data, capacity);
  const bool written =
      ObjectWriter::write_object(out, [&](ObjectWriter& o) { return write_study_members(o, out, study); });
  if (!written) return {.error = out.failure()};
  return {.length = out.length()};
}

}  // namespace zanthe::fhir

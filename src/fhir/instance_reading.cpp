#include "fhir/instance_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "dicom/character_sets.h"

namespace zanthe::fhir {
namespace {

constexpr std::array<std::uint32_t, attribute_count> kAttributeTags = {
    0x0020000D, 0x00080050, 0x00200010, 0x00100020, 0x00080020, 0x00080030, 0x00081030,
    0x00080090, 0x00080060, 0x0020000E, 0x0008103E, 0x00180015, 0x00200060, 0x00080021,
    0x00080031, 0x00080018, 0x00080016, 0x00200011, 0x00200013, 0x00080201,
};

constexpr std::uint32_t kSpecificCharacterSet = 0x00080005;
constexpr std::uint16_t kPixelGroup = 0x7FE0;
constexpr std::size_t kFirstReadBytes = 16384;
constexpr const char* kNoReadableDataset = "no readable DICOM dataset";

// Free text is decoded by the declared character set; UIDs, codes, dates and numbers are ASCII by
// definition and only ever repaired into valid UTF-8.
enum class TextRole : std::uint8_t { ascii, text, person_name };

constexpr TextRole role_of(std::size_t attribute) {
  switch (attribute) {
    case accession_number:
    case study_id:
    case patient_id:
    case study_description:
    case series_description: return TextRole::text;
    case referring_physician_name: return TextRole::person_name;
    default: return TextRole::ascii;
  }
}

void fail(InstanceRead& read, ConversionCode code, std::string detail, int error_number = 0) {
  read.status = ConversionStatus{code, std::move(detail), error_number};
}

// The file system's failures, in its own words.
void fail_system(InstanceRead& read, ConversionCode code, int error_number) {
  fail(read, code, "cannot read: " + std::generic_category().message(error_number), error_number);
}

// Why the DICOM reader found no dataset to read.
void fail_located(InstanceRead& read, const dicom::ReadStatus& located) {
  switch (located.code) {
    case dicom::ReadCode::inflate_failed:
      fail(read, ConversionCode::inflate_failed, "deflated dataset cannot be inflated (corrupt stream)");
      return;
    case dicom::ReadCode::inflated_too_large:
      fail(read, ConversionCode::inflated_too_large,
           "deflated dataset inflates past " + std::to_string(dicom::kMaxInflatedBytes) +
               " bytes before its header ends");
      return;
    default:
      fail(read, ConversionCode::no_readable_dataset, kNoReadableDataset);
      return;
  }
}

// The attributes' tags in ascending order, each with its place in AttributeTexts.
constexpr auto kTagsInOrder = [] {
  std::array<std::pair<std::uint32_t, std::size_t>, attribute_count> sorted{};
  for (std::size_t i = 0; i < attribute_count; ++i) sorted[i] = {kAttributeTags[i], i};
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}();

// The groups of the attributes read: identification, patient, acquisition, relationship.
constexpr bool is_attribute_group(std::uint32_t group) {
  return group == 0x0008 || group == 0x0010 || group == 0x0018 || group == 0x0020;
}

static_assert(std::all_of(kAttributeTags.begin(), kAttributeTags.end(),
                          [](std::uint32_t tag) { return is_attribute_group(tag >> 16); }));

// What find_text gives for every attribute, in one pass over the elements rather than one per tag.
void find_attribute_texts(const dicom::ElementList& elements, AttributeTexts& texts) {
  std::array<bool, attribute_count> seen{};
  for (const dicom::DataElement& element : elements) {
    if (!is_attribute_group(element.tag >> 16)) continue;
    const auto it = std::lower_bound(kTagsInOrder.begin(), kTagsInOrder.end(), element.tag,
                                     [](const auto& entry, std::uint32_t tag) { return entry.first < tag; });
    if (it == kTagsInOrder.end() || it->first != element.tag || seen[it->second]) continue;
    seen[it->second] = true;
    texts[it->second] = dicom::element_text(element);
  }
}

// Pixel data come last but for a few trailing elements of higher groups, so the walk back from the end
// stops at the first lower tag.
bool reaches_pixel_data(const dicom::ElementList& elements) {
  for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
    const std::uint32_t group = it->tag >> 16;
    if (group == kPixelGroup) return true;
    if (group < kPixelGroup) return false;
  }
  return false;
}

// Parses the dataset anew in `encoding` and picks the attribute texts out of it.
void read_elements(const dicom::LocatedDataset& located, dicom::Encoding encoding, InstanceRead& read) {
  read.elements.clear();
  read.texts = {};
  (void)dicom::parse_dataset(located.data, located.size, encoding, read.elements);
  read.header_ended = reaches_pixel_data(read.elements);
  find_attribute_texts(read.elements, read.texts);
}

// The meta group names no syntax we know, and the dataset's first elements made us read it other than
// as explicit VR little endian.
bool is_guessed_encoding(const dicom::LocatedDataset& located) {
  const dicom::Encoding encoding = located.encoding;
  const bool plain = !encoding.implicit_vr && encoding.byte_order == dicom::ByteOrder::little_endian;
  return located.has_meta && !located.known_transfer_syntax && !plain;
}

// Replaces the raw texts that are not plain ASCII by their UTF-8 form, kept in `read.decoded`.
void decode_texts(InstanceRead& read) {
  std::array<bool, attribute_count> to_convert{};
  bool any = false;
  for (std::size_t i = 0; i < attribute_count; ++i) {
    to_convert[i] = !read.texts[i].empty() && !dicom::is_plain_ascii(read.texts[i]);
    any = any || to_convert[i];
  }
  read.decoded.clear();
  if (!any) return;  // the common case: nothing to convert, no character set to look up
  const dicom::CharacterSets declared =
      dicom::parse_specific_character_set(dicom::find_text(read.elements, kSpecificCharacterSet));
  const dicom::CharacterSets undeclared{};
  std::array<std::pair<std::size_t, std::size_t>, attribute_count> spans{};  // offset, size in `decoded`
  for (std::size_t i = 0; i < attribute_count; ++i) {
    if (!to_convert[i]) continue;
    const TextRole role = role_of(i);
    const std::size_t start = read.decoded.size();
    const bool repaired = dicom::append_utf8(
        read.texts[i], role == TextRole::ascii ? undeclared : declared,
        role == TextRole::person_name ? dicom::TextKind::person_name : dicom::TextKind::text, read.decoded);
    read.text_repaired = read.text_repaired || repaired;
    spans[i] = {start, read.decoded.size() - start};
  }
  for (std::size_t i = 0; i < attribute_count; ++i) {
    if (to_convert[i]) read.texts[i] = std::string_view(read.decoded).substr(spans[i].first, spans[i].second);
  }
}

// A UID for messages: bytes outside printable ASCII (a damaged file) are shown as \xNN, so that the
// message stays text.
std::string printable(std::string_view uid) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : uid) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7E) {
      out.push_back(c);
    } else {
      out.append("\\x").push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}

void reset(InstanceRead& read) {
  read.status = {};
  read.texts = {};
  read.text_repaired = false;
  read.header_ended = false;
  read.elements.clear();
}

bool has_dicm_mark(const std::uint8_t* data, std::size_t size) {
  return size >= 132 && std::memcmp(data + 128, "DICM", 4) == 0;
}

// Whether reading more of the file could change the outcome of `read` over its first `size` bytes.
bool wants_more(const InstanceRead& read, const std::uint8_t* data, std::size_t size) {
  switch (read.status.code) {
    case ConversionCode::no_readable_dataset: return size < 132 || has_dicm_mark(data, size);  // a cut meta group
    case ConversionCode::inflate_failed:
    case ConversionCode::missing_study_instance_uid:
    case ConversionCode::unsupported_transfer_syntax:
    case ConversionCode::ok: return !read.header_ended;
    default: return false;
  }
}

bool read_fully(int fd, std::uint8_t* into, std::size_t count, std::uint64_t offset, int& error) {
  while (count > 0) {
    const ssize_t got = ::pread(fd, into, count, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    if (got == 0) {
      error = EIO;  // the file shrank while being read
      return false;
    }
    into += got;
    count -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

void read_instance(const std::uint8_t* data, std::size_t size, InstanceRead& out) {
  reset(out);
  const dicom::LocatedDataset located = dicom::locate_dataset(data, size, out.inflated);
  if (!located.ok()) {
    fail_located(out, located.status);
    return;
  }
  read_elements(located, located.encoding, out);
  if (out.texts[study_instance_uid].empty() && is_guessed_encoding(located)) {
    // A guess must never read less than the plain rule did: explicit VR little endian, whose header
    // repair reads implicit elements too. More bytes could change either reading.
    const bool guess_ended = out.header_ended;
    read_elements(located, dicom::Encoding{}, out);
    out.header_ended = out.header_ended && guess_ended;
  }
  if (out.texts[study_instance_uid].empty()) {
    // A syntax we do not know is a likelier reason than a file without its study.
    const bool unknown_syntax =
        located.has_meta && !located.known_transfer_syntax && !located.meta.transfer_syntax_uid.empty();
    if (!located.has_meta && !has_dicm_mark(data, size)) {
      // Bytes that only looked like a bare dataset, without preamble or meta group, and hold no study
      // are no evidence of DICOM at all.
      fail(out, ConversionCode::no_readable_dataset, kNoReadableDataset);
    } else if (unknown_syntax) {
      fail(out, ConversionCode::unsupported_transfer_syntax,
           "unsupported transfer syntax " + printable(located.meta.transfer_syntax_uid));
    } else {
      fail(out, ConversionCode::missing_study_instance_uid, "missing StudyInstanceUID (0020,000D)");
    }
  }
  if (out.ok()) decode_texts(out);
}

void read_instance_fd(int fd, std::vector<std::uint8_t>& buffer, InstanceRead& out) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    reset(out);
    fail_system(out, ConversionCode::cannot_read, error);
    return;
  }
  if (!S_ISREG(info.st_mode)) {
    reset(out);
    fail(out, ConversionCode::not_regular_file, "not a regular file");
    return;
  }
  const auto file_size = static_cast<std::uint64_t>(info.st_size);
  // Only the header is wanted: without read-ahead the kernel reads just the pages asked for. A file
  // that the first read takes whole gains nothing from the advice.
  if (file_size > kFirstReadBytes) (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  std::size_t have = 0;
  std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(file_size, kFirstReadBytes));
  for (;;) {
    if (buffer.size() < want) buffer.resize(want);
    int error = 0;
    if (!read_fully(fd, buffer.data() + have, want - have, have, error)) {
      reset(out);
      fail_system(out, ConversionCode::cannot_read, error);
      return;
    }
    have = want;
    read_instance(buffer.data(), have, out);
    if (have == file_size) {
      out.header_ended = true;
      return;
    }
    if (!wants_more(out, buffer.data(), have)) return;
    if (have >= kMaxHeaderReadBytes) {
      reset(out);
      fail(out, ConversionCode::header_too_large,
           "header not ended within the first " + std::to_string(kMaxHeaderReadBytes) + " bytes");
      return;
    }
    want = static_cast<std::size_t>(
        std::min<std::uint64_t>({file_size, std::uint64_t{have} * 2, std::uint64_t{kMaxHeaderReadBytes}}));
  }
}

void read_instance_file(const char* path, std::vector<std::uint8_t>& buffer, InstanceRead& out) {
  const FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    const int error = errno;
    reset(out);
    fail_system(out, ConversionCode::cannot_open, error);
    return;
  }
  read_instance_fd(fd.get(), buffer, out);
}

}  // namespace zanthe::fhir

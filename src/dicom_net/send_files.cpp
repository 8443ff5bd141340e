#include "dicom_net/send_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "dicom/part10_reader.h"
#include "dicom_net/sop_classes.h"

namespace zanthe::dicom_net {
namespace {

// Enough for the file meta group of any file but the most unusual; those are read whole.
constexpr std::size_t kProbeBytes = 64 * 1024;

// A file whose meta group has been read, not yet its dataset.
struct Probed {
  std::string path;
  std::string sop_class;
  std::string sop_instance;
  std::string transfer_syntax;
};

[[nodiscard]] NetStatus read_prefix(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    NetStatus failed = net_failure(NetCode::os_error, std::strerror(errno));
    failed.os_error = errno;
    return failed;
  }
  out.resize(limit);
  std::size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::read(fd, out.data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  out.resize(got);
  return {};
}

// The meta group's UIDs, reading only the start of the file where that suffices.
[[nodiscard]] NetStatus probe(const std::string& path, Probed& out) {
  std::vector<std::uint8_t> prefix;
  if (NetStatus read = read_prefix(path, kProbeBytes, prefix); !read.ok()) return read;
  dicom::MetaResult meta = dicom::read_file_meta(prefix.data(), prefix.size());
  if (!meta.ok() && prefix.size() == kProbeBytes) {
    FileToSend whole;
    if (NetStatus read = read_file_to_send(path, whole); !read.ok()) return read;
    out = Probed{path, whole.sop_class, whole.sop_instance, whole.transfer_syntax};
    return {};
  }
  if (!meta.ok()) return net_failure(NetCode::bad_argument, "not a DICOM Part 10 file");
  const dicom::FileMetaInfo& info = meta.info;
  if (info.sop_class_uid.empty() || info.sop_instance_uid.empty() || info.transfer_syntax_uid.empty()) {
    return net_failure(NetCode::bad_argument, "the file meta group lacks a SOP Class, SOP Instance or Transfer Syntax UID");
  }
  out = Probed{path, std::string(info.sop_class_uid), std::string(info.sop_instance_uid),
               std::string(info.transfer_syntax_uid)};
  return {};
}

// Consecutive runs of files that fit one association's presentation contexts.
[[nodiscard]] std::vector<std::vector<Probed>> batches_of(std::vector<Probed> files) {
  std::vector<std::vector<Probed>> batches;
  std::set<std::pair<std::string, std::string>> pairs;
  for (Probed& file : files) {
    std::pair<std::string, std::string> pair{file.sop_class, file.transfer_syntax};
    if (batches.empty() || (!pairs.contains(pair) && pairs.size() == kMaxPresentationContexts)) {
      batches.emplace_back();
      pairs.clear();
    }
    pairs.insert(std::move(pair));
    batches.back().push_back(std::move(file));
  }
  return batches;
}

[[nodiscard]] std::vector<PresentationContextRequest> contexts_of(const std::vector<Probed>& files) {
  std::vector<PresentationContextRequest> contexts;
  std::set<std::pair<std::string, std::string>> seen;
  for (const Probed& file : files) {
    if (!seen.insert({file.sop_class, file.transfer_syntax}).second) continue;
    PresentationContextRequest context;
    context.id = static_cast<std::uint8_t>(2 * contexts.size() + 1);
    context.abstract_syntax = file.sop_class;
    context.transfer_syntaxes = {file.transfer_syntax};
    contexts.push_back(std::move(context));
  }
  return contexts;
}

void report_unsent(const Probed& file, const std::string& reason, const SendCallback& report) {
  report(SendOutcome{file.path, file.sop_instance, std::nullopt, reason});
}

// Sends one file on an open association; false when the association ended.
bool send_one(Association& association, const Probed& file, const SendCallback& report) {
  if (association.accepted_context(file.sop_class, file.transfer_syntax) == 0) {
    report_unsent(file, "the peer accepted no context for SOP class " + file.sop_class + " in transfer syntax " +
                            file.transfer_syntax, report);
    return true;
  }
  FileToSend whole;
  if (NetStatus read = read_file_to_send(file.path, whole); !read.ok()) {
    report_unsent(file, "cannot read: " + read.detail, report);
    return true;
  }
  std::uint16_t status = 0;
  std::string comment;
  const NetStatus stored =
      association.store(whole.dataset(), whole.sop_class, whole.sop_instance, whole.transfer_syntax, status, comment);
  if (!stored.ok()) {
    report_unsent(file, "not stored: " + stored.detail, report);
    return association.is_open();
  }
  report(SendOutcome{file.path, whole.sop_instance, status, std::move(comment)});
  return true;
}

}  // namespace

NetStatus echo_peer(const ClientOptions& options, std::uint16_t& status) {
  PresentationContextRequest verification;
  verification.id = 1;
  verification.abstract_syntax = std::string(kVerificationSopClass);
  verification.transfer_syntaxes = {std::string(kExplicitVrLittleEndian), std::string(kImplicitVrLittleEndian)};
  Association association;
  if (NetStatus opened = Association::open(options, {verification}, association); !opened.ok()) return opened;
  if (NetStatus echoed = association.echo(status); !echoed.ok()) return echoed;
  return association.release();
}

NetStatus send_files(const ClientOptions& options, const std::vector<std::string>& paths, const SendCallback& report) {
  std::vector<Probed> readable;
  for (const std::string& path : paths) {
    Probed file;
    if (NetStatus probed = probe(path, file); !probed.ok()) {
      report(SendOutcome{path, "", std::nullopt, "cannot read: " + probed.detail});
      continue;
    }
    readable.push_back(std::move(file));
  }
  bool first = true;
  for (const std::vector<Probed>& batch : batches_of(std::move(readable))) {
    Association association;
    NetStatus opened = Association::open(options, contexts_of(batch), association);
    if (!opened.ok() && first) return opened;
    first = false;
    std::size_t next = 0;
    if (opened.ok()) {
      while (next < batch.size() && send_one(association, batch[next], report)) ++next;
      if (next < batch.size()) ++next;  // the file the association ended on was reported
    }
    const std::string reason = opened.ok() ? "the association ended before it was sent" : "no association: " + opened.detail;
    for (; next < batch.size(); ++next) report_unsent(batch[next], reason, report);
    if (association.is_open()) (void)association.release();
  }
  return {};
}

}  // namespace zanthe::dicom_net

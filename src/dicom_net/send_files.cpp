#include "dicom_net/send_files.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "dicom_net/sop_classes.h"

namespace zanthe::dicom_net {
namespace {

// Enough for the file meta group of any file but the most unusual; those are read whole.
constexpr std::size_t kProbeBytes = 64 * 1024;

// A file whose meta group and first dataset elements have been read, not yet the rest.
struct Probed {
  std::string path;
  std::string sop_class;
  std::string sop_instance;
  std::string transfer_syntax;
};

[[nodiscard]] NetStatus probe(const std::string& path, Probed& out) {
  FileToSend start;
  if (NetStatus read = read_file_to_send(path, start, kProbeBytes); !read.ok()) return read;
  out = Probed{path, std::move(start.sop_class), std::move(start.sop_instance), std::move(start.transfer_syntax)};
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
    report_unsent(file, read.detail, report);
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

namespace {

// One lane's files over its own associations, one after another. A failure to make the lane's
// first association is handed back with nothing reported, for the caller to decide about.
NetStatus send_lane(const ClientOptions& options, std::vector<Probed> files, const SendCallback& report) {
  bool first = true;
  for (const std::vector<Probed>& batch : batches_of(std::move(files))) {
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

}  // namespace

NetStatus send_files(const ClientOptions& options, const std::vector<std::string>& paths, const SendCallback& report,
                     unsigned associations) {
  std::mutex reporting;
  const SendCallback serialised = [&](const SendOutcome& outcome) {
    std::lock_guard lock(reporting);
    report(outcome);
  };
  std::vector<Probed> readable;
  for (const std::string& path : paths) {
    Probed file;
    if (NetStatus probed = probe(path, file); !probed.ok()) {
      serialised(SendOutcome{path, "", std::nullopt, probed.detail});
      continue;
    }
    readable.push_back(std::move(file));
  }
  if (readable.empty()) return {};
  // Files dealt out in turn, so the lanes carry about the same number each.
  const std::size_t count = std::clamp<std::size_t>(associations, 1, readable.size());
  std::vector<std::vector<Probed>> lanes(count);
  for (std::size_t i = 0; i < readable.size(); ++i) lanes[i % count].push_back(readable[i]);
  std::vector<NetStatus> first_failures(count);
  {
    std::vector<std::jthread> threads;
    for (std::size_t lane = 1; lane < count; ++lane) {
      threads.emplace_back([&, lane] { first_failures[lane] = send_lane(options, lanes[lane], serialised); });
    }
    first_failures[0] = send_lane(options, lanes[0], serialised);
  }
  const bool none_opened = std::all_of(first_failures.begin(), first_failures.end(),
                                       [](const NetStatus& status) { return !status.ok(); });
  if (none_opened) return first_failures.front();
  for (std::size_t lane = 0; lane < count; ++lane) {
    if (first_failures[lane].ok()) continue;
    for (const Probed& file : lanes[lane]) report_unsent(file, "no association: " + first_failures[lane].detail, serialised);
  }
  return {};
}

}  // namespace zanthe::dicom_net

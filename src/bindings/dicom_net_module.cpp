// zanthe._dicom_net: the storage SCP (with C-FIND) and the SCU (C-ECHO, C-STORE). The network work runs with the
// interpreter lock released; Python is entered only for the hooks.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "dicom_net/send_files.h"
#include "dicom_net/storage_server.h"

namespace nb = nanobind;
namespace net = zanthe::dicom_net;

namespace {

PyObject* association_error_type = nullptr;

nb::object owned(PyObject* object) {
  if (object == nullptr) throw nb::python_error();
  return nb::steal(object);
}

[[noreturn]] void raise_exception(PyObject* type, const nb::object& exception) {
  PyErr_SetObject(type, exception.ptr());
  throw nb::python_error();
}

// Raises what a failure means to a caller: OSError (by errno) for the system, ValueError for a bad
// request, AssociationError for everything the peer or the protocol did.
[[noreturn]] void raise_failure(const net::NetStatus& failure, const std::string& prefix) {
  const std::string message = prefix + failure.detail;
  switch (failure.code) {
    case net::NetCode::os_error: {
      const nb::object error = owned(PyObject_CallFunction(PyExc_OSError, "is", failure.os_error, message.c_str()));
      raise_exception(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error);
    }
    case net::NetCode::bad_argument: throw nb::value_error(message.c_str());
    default: {
      const nb::object error = owned(PyObject_CallFunction(association_error_type, "s", message.c_str()));
      const std::string_view reason = net::net_code_name(failure.code);
      const nb::str reason_text(reason.data(), reason.size());
      if (PyObject_SetAttrString(error.ptr(), "reason", reason_text.ptr()) != 0) throw nb::python_error();
      raise_exception(association_error_type, error);
    }
  }
}

std::chrono::milliseconds milliseconds_of(double seconds, const char* name) {
  if (!(seconds > 0) || !std::isfinite(seconds) || seconds > 1e9) {
    throw nb::value_error((std::string("dicom.net: ") + name + " must be a positive number of seconds").c_str());
  }
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000)));
}

void check_ae_title(const std::string& title, const char* name) {
  const bool printable = std::all_of(title.begin(), title.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '\\'; });
  if (title.empty() || title.size() > 16 || !printable || title.find_first_not_of(' ') == std::string::npos) {
    throw nb::value_error((std::string("dicom.net: ") + name +
                           " must be 1 to 16 printable ASCII characters, not all spaces, without a backslash")
                              .c_str());
  }
}

nb::dict stored_event_dict(const net::StoredEvent& event) {
  nb::dict out;
  out["path"] = event.instance.path;
  out["sop_class_uid"] = event.instance.sop_class;
  out["sop_instance_uid"] = event.instance.sop_instance;
  out["study_instance_uid"] = event.instance.study;
  out["series_instance_uid"] = event.instance.series;
  out["transfer_syntax"] = event.instance.transfer_syntax;
  out["size"] = event.instance.bytes;
  out["calling_ae"] = event.calling_ae;
  out["peer"] = event.peer;
  return out;
}

nb::dict summary_dict(const net::AssociationSummary& summary) {
  nb::dict out;
  out["calling_ae"] = summary.calling_ae;
  out["called_ae"] = summary.called_ae;
  out["peer"] = summary.peer;
  nb::list studies;
  for (const std::string& study : summary.studies) studies.append(study);
  out["studies"] = studies;
  out["stored"] = summary.stored;
  out["released"] = summary.released;
  return out;
}

// A hook called on a store thread: the lock is taken for it, and an exception it raises is reported
// as unraisable (it cannot undo a store already confirmed).
template <typename Event, typename Convert>
std::function<void(const Event&)> python_hook(nb::object hook, Convert convert) {
  if (hook.is_none()) return {};
  return [hook = std::move(hook), convert](const Event& event) {
    nb::gil_scoped_acquire locked;
    try {
      hook(convert(event));
    } catch (nb::python_error& error) {
      error.discard_as_unraisable(hook);
    }
  };
}

class PyStorageServer {
 public:
  PyStorageServer(const std::string& store, const std::string& host, int port, const std::string& ae_title, bool fsync,
                  std::optional<std::vector<std::string>> allowed_calling_aes, bool require_called_ae, double artim,
                  double idle_timeout, double pdu_timeout, std::uint32_t max_pdu_length,
                  std::uint64_t max_dataset_bytes, std::size_t max_associations, unsigned store_threads,
                  std::uint64_t journal_bytes, nb::object on_stored, nb::object on_association_end) {
    if (port < 0 || port > 65535) throw nb::value_error("dicom.net: port must be 0 to 65535");
    check_ae_title(ae_title, "ae_title");
    if (max_pdu_length < 4096) throw nb::value_error("dicom.net: max_pdu_length must be at least 4096");
    if (max_associations == 0) throw nb::value_error("dicom.net: max_associations must be at least 1");
    if (store_threads == 0 || store_threads > 256) throw nb::value_error("dicom.net: store_threads must be 1 to 256");
    if (journal_bytes < net::kLeastJournalBytes) throw nb::value_error("dicom.net: journal_bytes must be at least 8 MiB");
    net::ServerOptions options;
    options.store = store;
    options.host = host;
    options.port = static_cast<std::uint16_t>(port);
    options.ae_title = ae_title;
    options.sync = fsync;
    if (allowed_calling_aes) {
      for (const std::string& title : *allowed_calling_aes) check_ae_title(title, "allowed_calling_aes");
      options.allowed_calling_aes = *allowed_calling_aes;
    }
    options.require_called_ae = require_called_ae;
    options.artim = milliseconds_of(artim, "artim");
    options.idle_timeout = milliseconds_of(idle_timeout, "idle_timeout");
    options.pdu_timeout = milliseconds_of(pdu_timeout, "pdu_timeout");
    options.max_pdu_length = max_pdu_length;
    options.max_dataset_bytes = max_dataset_bytes;
    options.max_associations = max_associations;
    options.store_threads = store_threads;
    options.journal_bytes = journal_bytes;
    const net::NetStatus opened =
        server_.open(options, python_hook<net::StoredEvent>(std::move(on_stored), stored_event_dict),
                     python_hook<net::AssociationSummary>(std::move(on_association_end), summary_dict));
    if (!opened.ok()) raise_failure(opened, "dicom.net.StorageServer: ");
  }

  void serve() {
    if (served_) throw std::runtime_error("dicom.net.StorageServer: a server serves only once");
    served_ = true;
    serving_ = true;
    {
      nb::gil_scoped_release unlocked;
      server_.run();
    }
    serving_ = false;
    server_.close();  // the hooks go with the lock held, as they must
  }

  void stop() noexcept { server_.stop(); }

  void close() noexcept {
    server_.stop();
    if (!serving_) server_.close();
  }

  [[nodiscard]] int port() const noexcept { return server_.port(); }
  [[nodiscard]] std::uint64_t stored() const noexcept { return server_.stored_instances(); }

  [[nodiscard]] nb::dict opening() const {
    const net::StoreOpening& found = server_.opening();
    nb::dict out;
    out["indexed"] = found.indexed;
    out["unreadable"] = found.unreadable;
    out["journal_records"] = found.journal.records;
    out["written_back"] = found.journal.files_written;
    out["damaged_records"] = found.journal.damaged;
    return out;
  }

 private:
  net::StorageServer server_;
  bool served_ = false;
  bool serving_ = false;
};

net::ClientOptions client_options(const std::string& host, int port, const std::string& calling_ae,
                                  const std::string& called_ae, double timeout) {
  if (port <= 0 || port > 65535) throw nb::value_error("dicom.net: port must be 1 to 65535");
  check_ae_title(calling_ae, "calling_ae");
  check_ae_title(called_ae, "called_ae");
  net::ClientOptions options;
  options.host = host;
  options.port = static_cast<std::uint16_t>(port);
  options.calling_ae = calling_ae;
  options.called_ae = called_ae;
  options.connect_timeout = milliseconds_of(timeout, "timeout");
  options.response_timeout = options.connect_timeout;
  return options;
}

int echo(const std::string& host, int port, const std::string& calling_ae, const std::string& called_ae,
         double timeout) {
  const net::ClientOptions options = client_options(host, port, calling_ae, called_ae, timeout);
  std::uint16_t status = 0;
  net::NetStatus echoed;
  {
    nb::gil_scoped_release unlocked;
    echoed = net::echo_peer(options, status);
  }
  if (!echoed.ok()) raise_failure(echoed, "dicom.net.echo: ");
  return status;
}

// Sends the files, calling on_result(path, sop_instance_uid, status or None, comment) for each as
// its answer arrives; the lock is held only for those calls.
void send(const std::string& host, int port, const std::vector<std::string>& paths, const std::string& calling_ae,
          const std::string& called_ae, double timeout, unsigned associations, nb::object on_result) {
  const net::ClientOptions options = client_options(host, port, calling_ae, called_ae, timeout);
  if (associations == 0 || associations > 64) throw nb::value_error("dicom.net.send: associations must be 1 to 64");
  std::optional<nb::python_error> raised;
  const net::SendCallback report = [&](const net::SendOutcome& outcome) {
    nb::gil_scoped_acquire locked;
    if (raised || on_result.is_none()) return;
    try {
      on_result(outcome.path, outcome.sop_instance,
                outcome.status ? nb::object(nb::int_(*outcome.status)) : nb::none(), outcome.comment);
    } catch (nb::python_error& error) {
      raised.emplace(std::move(error));  // raised once the sending is over
    }
  };
  net::NetStatus sent;
  {
    nb::gil_scoped_release unlocked;
    sent = net::send_files(options, paths, report, associations);
  }
  if (raised) throw std::move(*raised);
  if (!sent.ok()) raise_failure(sent, "dicom.net.send: ");
}

}  // namespace

NB_MODULE(_dicom_net, m) {
  m.doc() = "DICOM networking: a durable storage SCP that answers C-FIND, and C-ECHO and C-STORE as an SCU.";
  association_error_type = PyErr_NewExceptionWithDoc(
      "zanthe._dicom_net.AssociationError",
      "A DICOM association failed: rejected, aborted, refused, timed out, or a peer that broke the protocol. "
      "`reason` names the kind.",
      PyExc_ConnectionError, nullptr);
  if (association_error_type == nullptr) throw nb::python_error();
  m.attr("AssociationError") = nb::borrow(association_error_type);

  const net::ServerOptions defaults;
  nb::class_<PyStorageServer>(m, "StorageServer",
                              "Storage, Verification and C-FIND SCP: every instance durable before its C-STORE succeeds.")
      .def(nb::init<const std::string&, const std::string&, int, const std::string&, bool,
                    std::optional<std::vector<std::string>>, bool, double, double, double, std::uint32_t,
                    std::uint64_t, std::size_t, unsigned, std::uint64_t, nb::object, nb::object>(),
           nb::arg("store"), nb::arg("host") = defaults.host, nb::arg("port") = defaults.port, nb::kw_only(),
           nb::arg("ae_title") = defaults.ae_title, nb::arg("fsync") = true,
           nb::arg("allowed_calling_aes") = nb::none(), nb::arg("require_called_ae") = false,
           nb::arg("artim") = 30.0, nb::arg("idle_timeout") = 60.0, nb::arg("pdu_timeout") = 30.0,
           nb::arg("max_pdu_length") = defaults.max_pdu_length, nb::arg("max_dataset_bytes") = defaults.max_dataset_bytes,
           nb::arg("max_associations") = defaults.max_associations, nb::arg("store_threads") = defaults.store_threads,
           nb::arg("journal_bytes") = defaults.journal_bytes, nb::arg("on_stored") = nb::none(), nb::arg("on_association_end") = nb::none())
      .def("serve", &PyStorageServer::serve, "Serve until stop() is called (the interpreter lock is released).")
      .def("stop", &PyStorageServer::stop, "Stop serving; safe from any thread.")
      .def("close", &PyStorageServer::close, "Stop, and free the port and the hooks.")
      .def_prop_ro("port", &PyStorageServer::port)
      .def_prop_ro("stored", &PyStorageServer::stored)
      .def_prop_ro("opening", &PyStorageServer::opening,
                   "What opening the store found: files indexed and unreadable, journal records, files written back.");

  m.def("echo", &echo, nb::arg("host"), nb::arg("port"), nb::kw_only(), nb::arg("calling_ae") = "ZANTHE",
        nb::arg("called_ae") = "ANY-SCP", nb::arg("timeout") = 30.0,
        "C-ECHO: the status of the peer's response.");
  m.def("send", &send, nb::arg("host"), nb::arg("port"), nb::arg("paths"), nb::kw_only(),
        nb::arg("calling_ae") = "ZANTHE", nb::arg("called_ae") = "ANY-SCP", nb::arg("timeout") = 60.0,
        nb::arg("associations") = 1, nb::arg("on_result") = nb::none(),
        "C-STORE of each file in its own transfer syntax; on_result(path, sop_instance_uid, status, comment) per file.");
}

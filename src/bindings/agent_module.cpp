// zanthe._agent: serve_stdio runs the MCP tool server over the process's stdin and stdout.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "agent/http_transport.h"
#include "agent/mcp_server.h"
#include "agent/mcp_service.h"

namespace nb = nanobind;
using namespace zanthe::agent;

namespace {

constexpr const char* kFailurePrefix = "zanthe.mcp: ";

nb::object json_to_pyobject(const JsonValue& value);

nb::object decode_utf8(std::string_view bytes) {
  PyObject* text = PyUnicode_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  if (!text) throw nb::python_error();
  return nb::steal(text);
}

nb::object json_to_pyobject(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::null: return nb::none();
    case JsonKind::boolean: return nb::bool_(value.payload.boolean);
    case JsonKind::integer: return nb::int_(value.payload.integer);
    case JsonKind::number: return nb::float_(value.payload.number);
    case JsonKind::string: return decode_utf8(value.string());
    case JsonKind::array: {
      nb::list list;
      for (const JsonValue& item : value.array_items()) list.append(json_to_pyobject(item));
      return list;
    }
    case JsonKind::object: {
      nb::dict dict;
      for (const JsonMember& member : value.object_members()) {
        dict[decode_utf8(member.key)] = json_to_pyobject(member.value);
      }
      return dict;
    }
  }
  return nb::none();
}

std::string traceback_text(nb::python_error& error) {
  nb::object lines = nb::module_::import_("traceback").attr("format_exception")(error.value());
  return nb::cast<std::string>(nb::str("").attr("join")(lines));
}

ToolResult failure_result(std::string description) { return {1, kFailurePrefix + std::move(description)}; }

// Runs one call into the host (with the lock held); every failure becomes `failed(description)`: the
// traceback, or when formatting that fails in turn, the exception's own description. Nothing
// propagates into the serving loops.
template <typename HostCall, typename Failed>
auto guarded(HostCall&& host_call, Failed&& failed) -> decltype(host_call()) {
  try {
    try {
      return host_call();
    } catch (nb::python_error& error) {
      return failed(traceback_text(error));
    }
  } catch (nb::python_error& error) {
    return failed(std::string(error.what()));
  } catch (const std::exception& error) {
    return failed(std::string(error.what()));
  }
}

// Calls the host's callable for one tool call, on the serving thread, with the interpreter lock held
// only for the call.
ToolResult call_host(const nb::callable& host, const ToolEntry& tool, const JsonValue* arguments) {
  nb::gil_scoped_acquire hold;
  return guarded(
      [&] {
        nb::object args = arguments ? json_to_pyobject(*arguments) : nb::none();
        nb::object answer = host(decode_utf8(tool.name), args);
        auto [code, output] = nb::cast<std::pair<std::int32_t, std::string>>(answer);
        return ToolResult(code, std::move(output));
      },
      [](std::string description) { return failure_result(std::move(description)); });
}

ToolDispatch make_tool_dispatch(nb::callable host) {
  return [host = std::move(host)](const ToolEntry& tool, const JsonValue* arguments) {
    return call_host(host, tool, arguments);
  };
}

// Lines from file descriptor 0 through a buffer of our own: the interpreter may leave C's stdin
// unbuffered, which would cost one system call per byte.
class StdinLineReader {
 public:
  bool operator()(std::string& line) {
    line.clear();
    for (;;) {
      auto* newline = static_cast<const char*>(std::memchr(buffer_ + start_, '\n', end_ - start_));
      if (newline) {
        std::size_t stop = static_cast<std::size_t>(newline - buffer_);
        line.append(buffer_ + start_, stop - start_);
        start_ = stop + 1;
        return true;
      }
      line.append(buffer_ + start_, end_ - start_);
      start_ = end_ = 0;
      if (!fill()) return !line.empty() && !failed_;  // a last line without a line feed still counts
    }
  }

  // Raises what a signal handler raised while the server waited (KeyboardInterrupt for Ctrl-C).
  // Call with the interpreter lock held, after serving.
  void raise_interruption() {
    if (!interruption_) return;
    nb::python_error raised = std::move(*interruption_);
    interruption_.reset();
    throw raised;
  }

 private:
  bool fill() {
    for (;;) {
      ssize_t got = ::read(STDIN_FILENO, buffer_, sizeof buffer_);
      if (got > 0) {
        end_ = static_cast<std::size_t>(got);
        return true;
      }
      if (got < 0 && errno == EINTR && !handlers_raised()) continue;
      failed_ = got < 0;
      return false;
    }
  }

  // A signal interrupted the read: let the interpreter run its handlers now. One that raises ends
  // serving (its exception leaves serve_stdio); any other signal leaves the server waiting.
  bool handlers_raised() {
    nb::gil_scoped_acquire hold;
    if (PyErr_CheckSignals() == 0) return false;
    interruption_ = std::make_unique<nb::python_error>();
    return true;
  }

  char buffer_[1 << 16];
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  bool failed_ = false;
  std::unique_ptr<nb::python_error> interruption_;  // made and dropped with the lock held
};

void write_stdout_line(std::string_view message) {
  // The stream's buffer joins message and line feed: small responses leave in one write, and large
  // ones are not copied to be framed.
  std::fwrite(message.data(), 1, message.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

using ToolItems = std::vector<std::tuple<std::string, std::string, std::string>>;

int serve_stdio(const ToolItems& items, nb::callable dispatch, const std::string& server_name,
                const std::string& server_version, bool verbose) {
  std::vector<ToolEntry> tools;
  tools.reserve(items.size());
  for (const auto& [name, definition, extra] : items) tools.emplace_back(name, definition, extra);
  // The dispatch's reference to the callable is made and dropped while the lock is held.
  ToolDispatch tool_dispatch = make_tool_dispatch(std::move(dispatch));
  auto reader = std::make_shared<StdinLineReader>();
  McpServer server([reader](std::string& line) { return (*reader)(line); }, write_stdout_line);
  ServerInfo info{server_name, server_version};
  int result = 0;
  {
    nb::gil_scoped_release unlocked;
    result = server.run(tools.data(), tools.size(), tool_dispatch, info, verbose);
  }
  reader->raise_interruption();
  return result;
}


// --- worker threads and the interpreter ------------------------------------------------------------

// A worker thread keeps one interpreter thread state for its whole life instead of making and
// dropping one per call (which costs an mmap/munmap pair and a cross-CPU flush each time). The
// transports join their workers before they return, with the lock released, so the state is dropped
// while the interpreter still runs.
class LastingThreadState {
 public:
  LastingThreadState() = default;
  LastingThreadState(const LastingThreadState&) = delete;
  LastingThreadState& operator=(const LastingThreadState&) = delete;
  ~LastingThreadState() {
    if (!saved_) return;
    PyEval_RestoreThread(saved_);
    PyGILState_Release(outer_);
  }

  // Call without the lock; threads the interpreter already knows (the host's own) are left alone.
  void keep() {
    if (saved_ || PyGILState_GetThisThreadState() != nullptr) return;
    outer_ = PyGILState_Ensure();
    saved_ = PyEval_SaveThread();
  }

 private:
  PyGILState_STATE outer_{};
  PyThreadState* saved_ = nullptr;
};

void keep_thread_state() {
  thread_local LastingThreadState lasting;
  lasting.keep();
}

// A worker holds the interpreter lock across a run of host calls it makes back to back; each call
// still takes it (again) for itself, so a call made outside a run is served the same way.
thread_local PyGILState_STATE run_lock_state{};

JobRunBracket interpreter_lock_per_run() {
  return {[] {
            keep_thread_state();
            run_lock_state = PyGILState_Ensure();
          },
          [] { PyGILState_Release(run_lock_state); }};
}

// --- both eras: the service object --------------------------------------------------------------

// What Python holds of a call while it runs. The context lives on the answering thread's stack, so
// it is dropped (under the lock) when the call returns: a Context kept by the host past its call
// then reports nothing and reads as cancelled.
struct CallSlot {
  std::mutex mutex;
  CallContext* context = nullptr;
  bool modern = false;
  std::string protocol_version;
};

class Call {
 public:
  explicit Call(std::shared_ptr<CallSlot> slot) : slot_(std::move(slot)) {}

  bool modern() const { return slot_->modern; }
  std::string protocol_version() const { return slot_->protocol_version; }
  bool cancelled() const {
    std::lock_guard lock(slot_->mutex);
    return !slot_->context || slot_->context->cancelled();
  }
  void progress(double done, std::optional<double> total, std::optional<std::string> message) {
    std::lock_guard lock(slot_->mutex);
    if (slot_->context) slot_->context->report_progress(done, total, message ? *message : std::string_view{});
  }

 private:
  std::shared_ptr<CallSlot> slot_;
};

// Opens a call's slot for Python and closes it when the call is over, whatever way it ends.
class OpenCall {
 public:
  OpenCall(CallContext& context, std::string_view handshake_version) : slot_(std::make_shared<CallSlot>()) {
    slot_->context = &context;
    slot_->modern = context.modern();
    slot_->protocol_version = context.modern() ? std::string(context.protocol_version()) : std::string(handshake_version);
  }
  ~OpenCall() {
    std::lock_guard lock(slot_->mutex);
    slot_->context = nullptr;
  }
  nb::object python() const { return nb::cast(Call(slot_)); }

 private:
  std::shared_ptr<CallSlot> slot_;
};

// JSON text from the host goes out inside one line: a line break can only stand between tokens of
// valid JSON (json.dumps escapes those in strings), where a space means the same.
std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

ToolResult tool_answer(const nb::object& answer) {
  nb::tuple parts = nb::cast<nb::tuple>(answer);
  if (parts.size() != 2 && parts.size() != 3) throw nb::type_error("a tool call answers (code, output[, structured])");
  ToolResult result(nb::cast<std::int32_t>(parts[0]), nb::cast<std::string>(parts[1]));
  if (parts.size() == 3 && !parts[2].is_none()) result.structured = one_line(nb::cast<std::string>(parts[2]));
  return result;
}

std::string failure_object(int code, std::string_view message) {
  std::string body = "{\"code\":" + std::to_string(code) + ",\"message\":";
  append_json_quoted_utf8(body, message);
  return body + "}";
}

// The code of a JSON-RPC error object the host made; an object without one is an internal error.
int error_object_code(const std::string& body) {
  std::vector<std::uint8_t> buffer(16 * body.size() + 4096);
  JsonArena arena{buffer.data(), buffer.size(), 0};
  JsonParseResult parsed = parse_json(body, arena);
  const JsonValue* code = parsed.ok ? find_member(parsed.value, "code") : nullptr;
  return code && code->kind == JsonKind::integer ? static_cast<int>(code->payload.integer) : kInternalError;
}

MethodAnswer method_answer(const nb::object& answer) {
  auto [ok, body] = nb::cast<std::pair<bool, std::string>>(answer);
  MethodAnswer result;
  result.ok = ok;
  result.body = one_line(std::move(body));
  if (!ok) {
    result.error_code = error_object_code(result.body);
    if (result.error_code == kInternalError && result.body.find("\"code\"") == std::string::npos) {
      result.body = failure_object(kInternalError, "the host answered a malformed error");
    }
  }
  return result;
}

class Service {
 public:
  Service(const std::vector<std::tuple<std::string, std::string, std::string>>& items, nb::callable call_tool,
          std::string server_name, std::string server_version, std::optional<nb::callable> methods,
          std::string capabilities, std::string instructions)
      : call_tool_(std::move(call_tool)),
        methods_(methods ? nb::object(*methods) : nb::none()),
        server_name_(std::move(server_name)),
        server_version_(std::move(server_version)),
        capabilities_(std::move(capabilities)),
        instructions_(std::move(instructions)) {
    tools_.reserve(items.size());
    for (const auto& [name, definition, modern] : items) tools_.emplace_back(name, definition, "", modern);
    ServiceConfig config;
    config.tools = tools_;
    config.call_tool = [this](const ToolEntry& tool, const JsonValue* arguments, CallContext& call) {
      return run_tool(tool, arguments, call);
    };
    if (!methods_.is_none()) {
      config.methods = [this](std::string_view method, const JsonValue* params, CallContext& call) {
        return call_method(method, params, call);
      };
    }
    config.extra_capabilities = capabilities_;
    config.instructions = instructions_;
    config.server_name = server_name_;
    config.server_version = server_version_;
    config.host_calls = interpreter_lock_per_run();
    service_ = std::make_unique<McpService>(std::move(config));
  }

  McpService& service() { return *service_; }

  // The cyclic collector's view: the host's callables usually reach this object back (through the
  // module or server that holds it).
  int visit_python(visitproc visit, void* arg) {
    Py_VISIT(call_tool_.ptr());
    Py_VISIT(methods_.ptr());
    return 0;
  }
  void clear_python() {
    call_tool_ = nb::none();
    methods_ = nb::none();
  }

  int serve_stdio(bool verbose, unsigned workers) {
    auto reader = std::make_shared<StdinLineReader>();
    McpServer server([reader](std::string& line) { return (*reader)(line); }, write_stdout_line);
    int result = 0;
    {
      nb::gil_scoped_release unlocked;
      result = server.serve(*service_, workers, verbose);
    }
    reader->raise_interruption();
    return result;
  }

 private:
  ToolResult run_tool(const ToolEntry& tool, const JsonValue* arguments, CallContext& call) {
    keep_thread_state();
    nb::gil_scoped_acquire hold;
    return guarded(
        [&] {
          OpenCall open(call, kLatestHandshakeVersion);
          nb::object args = arguments ? json_to_pyobject(*arguments) : nb::none();
          return tool_answer(call_tool_(decode_utf8(tool.name), args, open.python()));
        },
        [](std::string description) { return failure_result(std::move(description)); });
  }

  MethodAnswer call_method(std::string_view method, const JsonValue* params, CallContext& call) {
    keep_thread_state();
    nb::gil_scoped_acquire hold;
    return guarded(
        [&] {
          OpenCall open(call, kLatestHandshakeVersion);
          nb::object arguments = params ? json_to_pyobject(*params) : nb::none();
          return method_answer(methods_(decode_utf8(method), arguments, open.python()));
        },
        [](std::string description) {
          return MethodAnswer{false, kInternalError, failure_object(kInternalError, description)};
        });
  }

  std::vector<ToolEntry> tools_;
  nb::object call_tool_;
  nb::object methods_;
  std::string server_name_;
  std::string server_version_;
  std::string capabilities_;
  std::string instructions_;
  std::unique_ptr<McpService> service_;
};


// --- Streamable HTTP --------------------------------------------------------------------------------

// Token checks by a host callable, with the lock taken for the call; a callable that fails refuses.
std::function<bool(std::string_view)> token_verifier(const nb::object& verify) {
  if (verify.is_none()) return {};
  return [verify](std::string_view token) {
    keep_thread_state();
    nb::gil_scoped_acquire hold;
    try {
      return nb::cast<bool>(verify(decode_utf8(token)));
    } catch (nb::python_error& error) {
      error.discard_as_unraisable("zanthe: verify_token");
      return false;
    } catch (const std::exception&) {
      return false;
    }
  };
}

class HttpServer {
 public:
  HttpServer(nb::object owner, McpService& service, HttpConfig config, nb::object verify)
      : owner_(std::move(owner)), verify_(std::move(verify)) {
    config.verify_token = token_verifier(verify_);
    transport_ = std::make_unique<HttpTransport>(service, std::move(config));
    std::string failure = transport_->listen();
    if (!failure.empty()) {
      PyErr_SetString(PyExc_OSError, failure.c_str());
      throw nb::python_error();
    }
  }

  std::uint16_t port() const { return transport_->port(); }

  // Serves with the lock released; the interpreter's signal handlers run every 100 ms, and one that
  // raises (KeyboardInterrupt) ends serving with its exception.
  void serve() {
    std::unique_ptr<nb::python_error> interruption;
    {
      nb::gil_scoped_release unlocked;
      transport_->serve([&interruption] {
        nb::gil_scoped_acquire hold;
        if (PyErr_CheckSignals() == 0) return false;
        interruption = std::make_unique<nb::python_error>();
        return true;
      });
    }
    if (interruption) {
      nb::python_error raised = std::move(*interruption);
      interruption.reset();
      throw raised;
    }
  }

  void stop() { transport_->stop(); }

  int visit_python(visitproc visit, void* arg) {
    Py_VISIT(owner_.ptr());
    Py_VISIT(verify_.ptr());
    return 0;
  }
  void clear_python() {
    // The transport's verifier holds its own reference; only the ones seen by the collector go.
    owner_ = nb::none();
    verify_ = nb::none();
  }

 private:
  nb::object owner_;   // the Service, kept alive while the transport uses it
  nb::object verify_;
  std::unique_ptr<HttpTransport> transport_;
};

HttpServer open_http(nb::handle self, const std::string& host, std::uint16_t port,
                     std::vector<std::string> allowed_origins, std::vector<std::string> bearer_tokens,
                     nb::object verify_token, std::string resource_metadata, std::string resource_metadata_url,
                     unsigned workers, std::optional<bool> check_host) {
  HttpConfig config;
  config.check_host = check_host;
  config.host = host;
  config.port = port;
  config.allowed_origins = std::move(allowed_origins);
  config.bearer_tokens = std::move(bearer_tokens);
  config.resource_metadata_json = std::move(resource_metadata);
  config.resource_metadata_url = std::move(resource_metadata_url);
  config.workers = workers;
  Service& service = nb::cast<Service&>(self);
  return HttpServer(nb::borrow(self), service.service(), std::move(config), std::move(verify_token));
}

// The cyclic collector's slots for a bound class that holds host objects (visit_python, clear_python).
template <typename Holder>
int traverse_holder(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  return nb::inst_ptr<Holder>(self)->visit_python(visit, arg);
}

template <typename Holder>
int clear_holder(PyObject* self) {
  nb::inst_ptr<Holder>(self)->clear_python();
  return 0;
}

template <typename Holder>
PyType_Slot holder_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(traverse_holder<Holder>)},
                              {Py_tp_clear, reinterpret_cast<void*>(clear_holder<Holder>)},
                              {0, nullptr}};

}  // namespace

NB_MODULE(_agent, m) {
  m.def("serve_stdio", &serve_stdio, nb::arg("tools"), nb::arg("dispatch"), nb::arg("server_name") = "zanthe",
        nb::arg("server_version") = "0.1", nb::arg("verbose") = false,
        "Run the brellix MCP server over stdio; dispatch(name, args) -> (code, output) per tools/call. "
        "Blocks until stdin EOF.");

  nb::class_<Call>(m, "Call", "One running call: its protocol era, progress reporting and cancellation.")
      .def_prop_ro("modern", &Call::modern, "True for a stateless (2026-07-28) request.")
      .def_prop_ro("protocol_version", &Call::protocol_version)
      .def_prop_ro("cancelled", &Call::cancelled, "True once the client cancelled the call (or it is over).")
      .def("progress", &Call::progress, nb::arg("progress"), nb::arg("total") = nb::none(),
           nb::arg("message") = nb::none(), "Report progress; nothing happens unless the client asked for it.");

  nb::class_<Service>(m, "Service", "Tools (and resources and prompts) served in both protocol eras.",
                     nb::type_slots(holder_slots<Service>))
      .def(nb::init<const std::vector<std::tuple<std::string, std::string, std::string>>&, nb::callable, std::string,
                    std::string, std::optional<nb::callable>, std::string, std::string>(),
           nb::arg("tools"), nb::arg("call_tool"), nb::arg("server_name") = "zanthe", nb::arg("server_version") = "0.1",
           nb::kw_only(), nb::arg("methods") = nb::none(), nb::arg("capabilities") = "",
           nb::arg("instructions") = "")
      .def("serve_stdio", &Service::serve_stdio, nb::arg("verbose") = false, nb::arg("workers") = 8,
           "Serve over stdin and stdout until stdin ends; host calls run on `workers` threads.")
      .def("http", &open_http, nb::arg("host") = "127.0.0.1", nb::arg("port") = 0,
           nb::arg("allowed_origins") = std::vector<std::string>(), nb::arg("bearer_tokens") = std::vector<std::string>(),
           nb::arg("verify_token") = nb::none(), nb::arg("resource_metadata") = "",
           nb::arg("resource_metadata_url") = "", nb::arg("workers") = 16, nb::arg("check_host") = nb::none(),
           "A Streamable HTTP server at /mcp, bound and listening; serve() runs it.");

  nb::class_<HttpServer>(m, "HttpServer", "The service over Streamable HTTP (POST /mcp).", nb::type_slots(holder_slots<HttpServer>))
      .def_prop_ro("port", &HttpServer::port)
      .def("serve", &HttpServer::serve, "Serve until stop() or until a signal handler raises.")
      .def("stop", &HttpServer::stop, "Stop serving (from any thread); running calls are told the client is gone.");
}

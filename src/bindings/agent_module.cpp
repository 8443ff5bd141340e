// zanthe._agent: serve_stdio runs the MCP tool server over the process's stdin and stdout.
#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "agent/mcp_server.h"

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

// Calls the host's callable for one tool call, on the serving thread, with the interpreter lock held
// only for the call. Every failure becomes an error result; nothing propagates into the loop.
ToolResult call_host(const nb::callable& host, const ToolEntry& tool, const JsonValue* arguments) {
  nb::gil_scoped_acquire hold;
  try {
    try {
      nb::object args = arguments ? json_to_pyobject(*arguments) : nb::none();
      nb::object name = decode_utf8(tool.name);
      nb::object answer = host(name, args);
      auto [code, output] = nb::cast<std::pair<std::int32_t, std::string>>(answer);
      return {code, std::move(output)};
    } catch (nb::python_error& error) {
      return failure_result(traceback_text(error));
    }
  } catch (nb::python_error& error) {
    // Formatting the traceback failed in turn: keep at least the exception's own description.
    return failure_result(error.what());
  } catch (const std::exception& error) {
    return failure_result(error.what());
  }
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
  for (const auto& [name, definition, extra] : items) tools.push_back({name, definition, extra});
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

}  // namespace

NB_MODULE(_agent, m) {
  m.def("serve_stdio", &serve_stdio, nb::arg("tools"), nb::arg("dispatch"), nb::arg("server_name") = "zanthe",
        nb::arg("server_version") = "0.1", nb::arg("verbose") = false,
        "Run the brellix MCP server over stdio; dispatch(name, args) -> (code, output) per tools/call. "
        "Blocks until stdin EOF.");
}

// Fuzz target for the HTTP transport: one input is a connection's whole byte stream.
//
// Reading: the first byte picks the limits and where the stream is cut in two; the rest is read once
// whole and once in two parts (byte by byte when short), with the head handler keeping, discarding
// or refusing bodies by path. Both readings must yield the same requests and end the same way, and
// no request may exceed the limits or keep a body its head handler discarded.
//
// Serving: the same bytes go to a transport serving a stub service on 127.0.0.1 (head checks, both
// eras, worker calls with progress streams), the client's side shut after them. What comes back must
// read as well-formed HTTP responses, no more final ones than requests, before the server closes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "agent/http_transport.h"
#include "loopback_client.h"

using namespace zanthe::agent;

namespace {

struct Reading {
  std::vector<HttpRequest> requests;
  std::vector<bool> discarded;
  HttpRequestReader::State end = HttpRequestReader::State::reading;
};

struct Limits {
  std::size_t header_bytes;
  std::size_t body_bytes;
};

// The served transport's limits; its requests are counted with these and every body kept.
constexpr Limits kServedLimits{8u << 10, 64u << 10};

HttpRequestReader::BodyAction action_for(std::string_view path, const Limits& limits) {
  if (&limits == &kServedLimits) return HttpRequestReader::BodyAction::keep;
  if (path.starts_with("/discard")) return HttpRequestReader::BodyAction::discard;
  if (path.starts_with("/stop")) return HttpRequestReader::BodyAction::stop;
  return HttpRequestReader::BodyAction::keep;
}

// Feeds `parts` in turn, taking every complete request, as a connection does.
Reading read_all(const std::vector<std::string_view>& parts, const Limits& limits) {
  Reading reading;
  bool discarding = false;
  HttpRequestReader reader(limits.header_bytes, limits.body_bytes, [&](const HttpRequest& head) {
    const HttpRequestReader::BodyAction action = action_for(head.path(), limits);
    discarding = action == HttpRequestReader::BodyAction::discard;
    return action;
  });
  for (std::string_view part : parts) {
    while (!part.empty() && reader.state() == HttpRequestReader::State::reading) {
      const std::size_t used = reader.feed(part);
      if (used > part.size()) __builtin_trap();
      part.remove_prefix(used);
      if (reader.state() == HttpRequestReader::State::reading && !part.empty()) __builtin_trap();
      if (reader.state() == HttpRequestReader::State::complete) {
        reading.requests.push_back(reader.take());
        reading.discarded.push_back(discarding);
      }
    }
  }
  reader.finish();
  reading.end = reader.state();
  if (reading.end == HttpRequestReader::State::failed) {
    const int status = reader.failure_status();
    if (status != 0 && status != 400 && status != 413 && status != 431) __builtin_trap();
  }
  return reading;
}

bool same_request(const HttpRequest& a, const HttpRequest& b) {
  if (a.method != b.method || a.target != b.target || a.body != b.body || a.keep_alive != b.keep_alive ||
      a.version_major != b.version_major || a.version_minor != b.version_minor ||
      a.headers.size() != b.headers.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.headers.size(); ++i) {
    if (a.headers[i].name != b.headers[i].name || a.headers[i].value != b.headers[i].value) return false;
  }
  return true;
}

void check_limits(const Reading& reading, const Limits& limits) {
  for (std::size_t i = 0; i < reading.requests.size(); ++i) {
    const HttpRequest& request = reading.requests[i];
    if (request.body.size() > limits.body_bytes) __builtin_trap();
    if (reading.discarded[i] && !request.body.empty()) __builtin_trap();
    std::size_t head = request.target.size();
    for (const HttpHeader& header : request.headers) {
      head += header.name.size() + header.value.size();
      for (char c : header.name) {
        if (c >= 'A' && c <= 'Z') __builtin_trap();
      }
    }
    if (head > limits.header_bytes) __builtin_trap();
    (void)request.path();
    (void)request.joined("accept");
  }
}

// --- serving ----------------------------------------------------------------------------------------

ToolResult stub_call(const ToolEntry& tool, const JsonValue* arguments, CallContext& call) {
  if (tool.name == "progress") {
    for (int step = 1; step <= 3; ++step) call.report_progress(step, 3, "step");
  }
  return ToolResult{tool.name == "fail" ? 1 : 0, arguments ? "arguments" : "none"};
}

MethodAnswer stub_method(std::string_view method, const JsonValue*, CallContext&) {
  if (method == "resources/read") return MethodAnswer{true, 0, R"({"contents":[]})"};
  return MethodAnswer{false, kInvalidParams, R"({"code":-32602,"message":"unknown"})"};
}

struct Server {
  std::vector<ToolEntry> tools{{"echo", "{\"name\":\"echo\"}", ""},
                               {"progress", "{\"name\":\"progress\",\n\"inputSchema\":{}}", ""},
                               {"fail", "{\"name\":\"fail\"}", ""}};
  std::unique_ptr<McpService> service;
  std::unique_ptr<HttpTransport> transport;
  std::thread loop;

  Server() {
    ServiceConfig config;
    config.tools = tools;
    config.call_tool = stub_call;
    config.methods = stub_method;
    config.server_name = "fuzz";
    config.server_version = "0";
    service = std::make_unique<McpService>(config);
    HttpConfig http;
    http.bearer_tokens = {"secret"};
    http.resource_metadata_json = R"({"resource":"http://127.0.0.1/mcp"})";
    http.resource_metadata_url = "http://127.0.0.1/.well-known/oauth-protected-resource/mcp";
    http.max_body_bytes = kServedLimits.body_bytes;
    http.max_header_bytes = kServedLimits.header_bytes;
    http.workers = 2;
    transport = std::make_unique<HttpTransport>(*service, http);
    if (!transport->listen().empty()) __builtin_trap();
    loop = std::thread([this] { transport->serve({}); });
    loop.detach();  // serves until the process ends
  }
};

struct ResponseCount {
  std::size_t finals = 0;
  bool in_head = false;
};

int count_final(http_parser* parser) {
  auto* count = static_cast<ResponseCount*>(parser->data);
  if (parser->status_code >= 200) ++count->finals;
  return 0;
}

// Sends the stream, shuts the sending side and reads until the server closes; every byte read must
// be an HTTP response.
void serve_stream(std::string_view stream, std::size_t most_requests) {
  // Never destroyed: its loop serves until the process ends, so no destructor may pull it away.
  static Server& server = *new Server;
  const std::optional<std::string> answered = zanthe::fuzzing::exchange_on_loopback(server.transport->port(), stream);
  if (!answered) return;
  const std::string& answers = *answered;

  ResponseCount count;
  http_parser parser{};
  http_parser_init(&parser, HTTP_RESPONSE);
  parser.data = &count;
  http_parser_settings settings{};
  http_parser_settings_init(&settings);
  settings.on_message_complete = count_final;
  const std::size_t used = http_parser_execute(&parser, &settings, answers.data(), answers.size());
  if (HTTP_PARSER_ERRNO(&parser) != HPE_OK || used != answers.size()) __builtin_trap();
  if (count.finals > most_requests + 1) __builtin_trap();  // one more: the refusal of a malformed rest
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  static constexpr Limits kLimits[] = {{64u << 10, 4u << 20}, {256, 64}, {40, 1u << 20}, {8u << 10, 0}};
  const Limits& limits = kLimits[control & 3u];
  const std::size_t cut = stream.empty() ? 0 : (static_cast<std::size_t>(control >> 2) * stream.size()) / 63;

  const Reading whole = read_all({stream}, limits);
  std::vector<std::string_view> parts;
  if (stream.size() <= 512 && (control & 0x80u)) {
    for (std::size_t i = 0; i < stream.size(); ++i) parts.push_back(stream.substr(i, 1));
  } else {
    parts = {stream.substr(0, cut), stream.substr(cut)};
  }
  const Reading split = read_all(parts, limits);

  check_limits(whole, limits);
  check_limits(split, limits);
  // Where a limit and a syntax fault meet, which one is seen first may depend on the cut; the
  // requests before it and the fact of failing may not.
  if (whole.requests.size() != split.requests.size() || (whole.end == HttpRequestReader::State::failed) !=
                                                            (split.end == HttpRequestReader::State::failed)) {
    __builtin_trap();
  }
  for (std::size_t i = 0; i < whole.requests.size(); ++i) {
    if (!same_request(whole.requests[i], split.requests[i])) __builtin_trap();
  }
  serve_stream(stream, read_all({stream}, kServedLimits).requests.size());
  return 0;
}

// What the servers (MLLP, HTTP, DICOM) share of their sockets: a listening TCP socket on a host and
// port, the "host:port" names of peers, and the eventfd wake-ups of their event loops.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace zanthe::sockets {

// A non-blocking TCP socket bound and listening on the first address of `host` that takes it (empty:
// every address), SO_REUSEADDR set. On failure fd is -1 and either `resolve_failure` holds the
// resolver's text (the host could not be resolved) or `error` the errno of the last attempt.
struct Listening {
  int fd = -1;
  std::uint16_t port = 0;  // the one bound (a port of 0 asks for a free one)
  sockaddr_storage address{};
  int error = 0;
  std::string resolve_failure;
};

[[nodiscard]] Listening listen_tcp(const std::string& host, std::uint16_t port, int backlog);

[[nodiscard]] std::uint16_t port_of(const sockaddr_storage& address) noexcept;

// "host:port", with an IPv6 host in brackets ("[::1]:2575") so the port stays readable.
[[nodiscard]] std::string join_host_port(std::string_view host, std::string_view port);

// The numeric "host:port" of a peer; "unknown" when it has no such name.
[[nodiscard]] std::string peer_name(const sockaddr_storage& address, socklen_t length);

// An eventfd's wake-up, and the reading that rearms it. Neither can usefully fail.
void signal_eventfd(int fd) noexcept;
void drain_eventfd(int fd) noexcept;

}  // namespace zanthe::sockets

#include "sockets/listening.h"

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace zanthe::sockets {

Listening listen_tcp(const std::string& host, std::uint16_t port, int backlog) {
  Listening out;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int resolved = getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
      resolved != 0) {
    out.resolve_failure = gai_strerror(resolved);
    return out;
  }
  out.error = EADDRNOTAVAIL;  // no address at all
  for (addrinfo* a = found; a != nullptr && out.fd < 0; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      out.error = errno;
      continue;
    }
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, backlog) != 0) {
      out.error = errno;
      ::close(fd);
      continue;
    }
    socklen_t length = sizeof out.address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&out.address), &length);
    out.port = port_of(out.address);
    out.fd = fd;
    out.error = 0;
  }
  freeaddrinfo(found);
  return out;
}

std::uint16_t port_of(const sockaddr_storage& address) noexcept {
  if (address.ss_family == AF_INET6) {
    sockaddr_in6 v6{};
    std::memcpy(&v6, &address, sizeof v6);
    return ntohs(v6.sin6_port);
  }
  sockaddr_in v4{};
  std::memcpy(&v4, &address, sizeof v4);
  return ntohs(v4.sin_port);
}

std::string join_host_port(std::string_view host, std::string_view port) {
  const bool v6 = host.find(':') != std::string_view::npos;
  return (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::string(port);
}

std::string peer_name(const sockaddr_storage& address, socklen_t length) {
  std::array<char, NI_MAXHOST> host{};
  std::array<char, NI_MAXSERV> service{};
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host.data(), host.size(), service.data(),
                  service.size(), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "unknown";
  }
  return join_host_port(host.data(), service.data());
}

void signal_eventfd(int fd) noexcept {
  const std::uint64_t one = 1;
  // A full counter still wakes the reader; nothing more to do on failure.
  [[maybe_unused]] const ssize_t wrote = ::write(fd, &one, sizeof one);
}

void drain_eventfd(int fd) noexcept {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = ::read(fd, &count, sizeof count);
}

}  // namespace zanthe::sockets

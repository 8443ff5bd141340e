// The client side of the harnesses that serve their input to a live server on 127.0.0.1: one
// connection per input, the whole stream sent, the sending side shut, everything read back until
// the server closes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zanthe::fuzzing {

// What the server sent back, or nothing when no connection could be made (out of local ports or
// descriptors: the client's trouble, not the server's).
[[nodiscard]] inline std::optional<std::string> exchange_on_loopback(std::uint16_t port, std::string_view stream) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // A reset instead of TIME_WAIT on close: tens of thousands of runs would use up the local ports.
  const linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  timeval patience{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  for (std::size_t sent = 0; sent < stream.size();) {
    const ssize_t n = ::send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server ended the connection: what it said is still read below
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  std::string answers;
  char buffer[1 << 16];
  while (true) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answers.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answers;
}

}  // namespace zanthe::fuzzing

#pragma once

// A raw HTTP exchange over a real loopback socket: send bytes, read everything
// until the server closes (or a time-out passes).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

inline int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until end of stream; `closed` tells whether the server closed in time.
inline std::string readAll(int fd, bool* closed = nullptr,
                           std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  std::string reply;
  auto deadline = std::chrono::steady_clock::now() + limit;
  if (closed) *closed = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) return reply;
    char buffer[8192];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      return reply;
    }
    reply.append(buffer, size_t(n));
  }
}

inline std::string httpExchange(int port, const std::string& request, bool* closed = nullptr) {
  int fd = connectLoopback(port);
  if (fd < 0) return "<connect failed>";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply = readAll(fd, closed);
  close(fd);
  return reply;
}

// A port that was free a moment ago.
inline int freeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

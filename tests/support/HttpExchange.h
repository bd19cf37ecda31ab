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

// A port that is free on 127.0.0.1, 127.0.1.1 and [::1] alike, as the plug-in
// takes one; 0 when none was found.
inline int freePortOnEveryLoopback() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int port = freeLoopbackPort();
    int held[3];
    held[0] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, "127.0.1.1", &address.sin_addr);
    bool free = bind(held[0], reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    held[1] = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_port = htons(uint16_t(port));
    address6.sin6_addr = in6addr_loopback;
    int on = 1;
    setsockopt(held[1], IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    free = free && bind(held[1], reinterpret_cast<sockaddr*>(&address6), sizeof address6) == 0;
    held[2] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    free = free && bind(held[2], reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    for (int fd : held) close(fd);
    if (free) return port;
  }
  return 0;
}

// The plug-in's listeners on one port: "127.0.0.1:P,127.0.1.1:P,[::1]:P".
inline std::string everyLoopback(int port) {
  const std::string p = std::to_string(port);
  return "127.0.0.1:" + p + ",127.0.1.1:" + p + ",[::1]:" + p;
}

// The plug-in's access list for those listeners.
constexpr const char* kLoopbackAccessList = "-0.0.0.0/0,+127.0.0.1,+127.0.1.1,+::1";

// A client connected to [::1]:PORT; -1 when it could not connect.
inline int connectIPv6Loopback(int port) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(uint16_t(port));
  address.sin6_addr = in6addr_loopback;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Opens many connections that each send an unfinished request head, as a
// slow or hostile client would:
//   hold_connections PORT COUNT
// Prints "held N" once N connections are open, holds them until SIGTERM, then
// prints "forbidden=F ended=E": how many were answered with 403 and how many
// the server had closed by then.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT COUNT\n", argv[0]);
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string unfinished = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
  std::vector<int> held;
  for (int i = 0; i < std::atoi(argv[2]); ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      continue;
    }
    send(fd, unfinished.data(), unfinished.size(), MSG_NOSIGNAL);
    held.push_back(fd);
  }
  std::printf("held %zu\n", held.size());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);

  int forbidden = 0, ended = 0;
  for (int fd : held) {
    std::string reply;
    char buffer[512];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) reply.append(buffer, size_t(n));
    if (reply.compare(0, 22, "HTTP/1.1 403 Forbidden") == 0) ++forbidden;
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) ++ended;
    close(fd);
  }
  std::printf("forbidden=%d ended=%d\n", forbidden, ended);
  return 0;
}

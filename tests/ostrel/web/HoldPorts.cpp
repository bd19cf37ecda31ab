// Listens on ports of one address, as another user's program would:
//   hold_ports ADDRESS FIRST LAST
// ADDRESS is an IPv4 or IPv6 literal. Prints "held N" once it listens on every
// port it could have from FIRST to LAST, and holds them until SIGTERM.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s ADDRESS FIRST LAST\n", argv[0]);
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);

  sockaddr_in address4{};
  sockaddr_in6 address6{};
  const bool ipv6 = std::strchr(argv[1], ':') != nullptr;
  if (ipv6 ? inet_pton(AF_INET6, argv[1], &address6.sin6_addr) != 1
           : inet_pton(AF_INET, argv[1], &address4.sin_addr) != 1) {
    std::fprintf(stderr, "hold_ports: not an address: %s\n", argv[1]);
    return 2;
  }
  address4.sin_family = AF_INET;
  address6.sin6_family = AF_INET6;
  int held = 0;
  for (int port = std::atoi(argv[2]); port <= std::atoi(argv[3]); ++port) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (ipv6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    address4.sin_port = address6.sin6_port = htons(uint16_t(port));
    const sockaddr* to = ipv6 ? reinterpret_cast<sockaddr*>(&address6) : reinterpret_cast<sockaddr*>(&address4);
    if (bind(fd, to, ipv6 ? sizeof address6 : sizeof address4) == 0 && listen(fd, 1) == 0) {
      ++held;
    } else {
      close(fd);
    }
  }
  std::printf("held %d\n", held);
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  return 0;
}

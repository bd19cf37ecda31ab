// A client process of the project's own for the admission tests of the
// Windows build: connects to the port given on 127.0.0.1 (or on ::1 with "6"),
// sends one byte and holds the connection until the server closes it.
//
//   admission_client PORT [6]

#include <cstdlib>
#include <cstring>

#include "support/Portable.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const int port = std::atoi(argv[1]);
  const bool ipv6 = argc > 2 && std::strcmp(argv[2], "6") == 0;
  const int sock = int(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
  if (sock < 0) return 3;
  int connected;
  if (ipv6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(uint16_t(port));
    connected = connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    connected = connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  if (connected != 0) return 4;
  // A byte first: under wine a process is named as a socket's owner only
  // once it has used the socket itself (wine hands it the descriptor then).
  if (send(sock, "c", 1, 0) != 1) return 5;
  char byte;
  while (recv(sock, &byte, 1, 0) > 0) {
  }
  closeSocket(sock);
  return 0;
}

#include "platform/SocketOwner.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// The kernel's state number of a socket in TIME_WAIT.
constexpr uint8_t kTimeWait = 6;

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

// One exact lookup in one address family.
SocketLookup lookup(int fd, uint8_t family, uint32_t localAddress, uint16_t localPort, uint32_t remoteAddress,
                    uint16_t remotePort, uid_t& owner) {
  DiagRequest request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.body.sdiag_family = family;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0u;
  request.body.id.idiag_sport = htons(localPort);
  request.body.id.idiag_dport = htons(remotePort);
  if (family == AF_INET) {
    request.body.id.idiag_src[0] = htonl(localAddress);
    request.body.id.idiag_dst[0] = htonl(remoteAddress);
  } else {
    request.body.id.idiag_src[2] = request.body.id.idiag_dst[2] = htonl(0xFFFF);
    request.body.id.idiag_src[3] = htonl(localAddress);
    request.body.id.idiag_dst[3] = htonl(remoteAddress);
  }
  request.body.id.idiag_cookie[0] = request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return SocketLookup::Unavailable;

  alignas(nlmsghdr) char buffer[8192];
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, 1000) <= 0) return SocketLookup::Unavailable;
  ssize_t length = recv(fd, buffer, sizeof buffer, 0);
  if (length <= 0) return SocketLookup::Unavailable;
  for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, size_t(length));
       message = NLMSG_NEXT(message, length)) {
    if (message->nlmsg_type == NLMSG_ERROR) {
      auto* error = static_cast<nlmsgerr*>(NLMSG_DATA(message));
      return error->error == -ENOENT ? SocketLookup::NotFound : SocketLookup::Unavailable;
    }
    if (message->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        message->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      const auto* found = static_cast<inet_diag_msg*>(NLMSG_DATA(message));
      // A closed socket waiting out its time (or one no process holds any
      // more) reports uid 0: that is nobody's uid, least of all root's.
      if (found->idiag_state == kTimeWait || found->idiag_inode == 0) return SocketLookup::NotFound;
      owner = found->idiag_uid;
      return SocketLookup::Found;
    }
  }
  return SocketLookup::Unavailable;
}

}  // namespace

SocketLookup findTcpSocketOwner(uint32_t localAddress, uint16_t localPort, uint32_t remoteAddress,
                                uint16_t remotePort, uid_t& owner) {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return SocketLookup::Unavailable;
  SocketLookup result = lookup(fd, AF_INET, localAddress, localPort, remoteAddress, remotePort, owner);
  if (result == SocketLookup::NotFound)
    result = lookup(fd, AF_INET6, localAddress, localPort, remoteAddress, remotePort, owner);
  close(fd);
  return result;
}

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
SocketLookup lookup(int fd, uint8_t family, const TcpEndpoint& local, const TcpEndpoint& remote,
                    SocketOwnerId& owner) {
  DiagRequest request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.body.sdiag_family = family;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0u;
  request.body.id.idiag_sport = htons(local.port);
  request.body.id.idiag_dport = htons(remote.port);
  if (family == AF_INET) {
    request.body.id.idiag_src[0] = htonl(local.ipv4Address());
    request.body.id.idiag_dst[0] = htonl(remote.ipv4Address());
  } else {
    std::memcpy(request.body.id.idiag_src, local.address.data(), local.address.size());
    std::memcpy(request.body.id.idiag_dst, remote.address.data(), remote.address.size());
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

SocketLookup findTcpSocketOwner(const TcpEndpoint& local, const TcpEndpoint& remote, SocketOwnerId& owner) {
  if (local.isIPv4() != remote.isIPv4()) return SocketLookup::NotFound;
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return SocketLookup::Unavailable;
  SocketLookup result = SocketLookup::NotFound;
  if (local.isIPv4()) result = lookup(fd, AF_INET, local, remote, owner);
  // A dual-stack socket carries an IPv4 connection as mapped addresses; an
  // IPv6 connection lives among IPv6 sockets only.
  if (result == SocketLookup::NotFound) result = lookup(fd, AF_INET6, local, remote, owner);
  close(fd);
  return result;
}

#include "ostrel/web/Socket.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include "ostrel/engine/engine.h"

Socket::Socket(Connection* connection, int /*wsTimeout*/)
    : outputFormat_(1), connection_(connection) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (connection && getsockname(connection->client.sock, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
      local.sin_family == AF_INET) {
    serverAddress_ = ntohl(local.sin_addr.s_addr);
    serverPort_ = ntohs(local.sin_port);
  }
}

void Socket::setRequestData(const std::string& rawRequest, int requestLength, int dataLength) {
  rawRequest_ = rawRequest;
  requestLength_ = requestLength;
  dataLength_ = dataLength;
}

void Socket::addHeader(const std::string& name, const std::string& value) { headers_.emplace(name, value); }

std::string Socket::header(const std::string& name) const {
  auto it = headers_.find(name);
  return it == headers_.end() ? std::string() : it->second;
}

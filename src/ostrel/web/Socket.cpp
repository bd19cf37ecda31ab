#include "ostrel/web/Socket.h"

Socket::Socket(Connection* connection, int /*wsTimeout*/) : outputFormat_(1), connection_(connection) {}

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

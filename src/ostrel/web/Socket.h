#pragma once

// The per-request wrapper of an engine connection: what the receivers know of
// the request beyond its URI and parameters (the connection, the raw request as
// the engine read it, the headers) and the output format the receiver chose.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "ostrel/web/ServedOrigins.h"

struct Connection;

class Socket {
 public:
  // `wsTimeout` is accepted and has no effect: channels have no inactivity time-out.
  Socket(Connection* connection, int wsTimeout);
  virtual ~Socket() = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  void setRequestData(const std::string& rawRequest, int requestLength, int dataLength);
  // The first value of a name is kept when a request repeats it.
  void addHeader(const std::string& name, const std::string& value);

  int outputFormat() const { return outputFormat_; }
  void setOutputFormat(int format) { outputFormat_ = format; }

  const std::string& rawRequest() const { return rawRequest_; }
  int requestLength() const { return requestLength_; }
  int dataLength() const { return dataLength_; }
  // Exact name; empty when absent.
  std::string header(const std::string& name) const;
  const std::map<std::string, std::string>& headers() const { return headers_; }

  Connection* connection() const { return connection_; }
  // Whether a Referer or Origin names this server (never, until the gate has
  // told the request which origins the server has).
  bool namesThisServer(const std::string& url) const { return origins_ && origins_->names(url); }
  void setServedOrigins(std::shared_ptr<const ServedOrigins> origins) { origins_ = std::move(origins); }

 private:
  std::atomic<int> outputFormat_;
  std::string rawRequest_;
  int requestLength_ = 0;
  int dataLength_ = 0;
  std::map<std::string, std::string> headers_;
  Connection* connection_;
  std::shared_ptr<const ServedOrigins> origins_;
};

using SocketPtr = std::shared_ptr<Socket>;

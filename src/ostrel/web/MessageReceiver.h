#pragma once

#include <atomic>
#include <string>

#include "ostrel/web/Message.h"
#include "ostrel/web/Socket.h"

// A component the request callback routes to.
class MessageReceiver {
 public:
  virtual void process(MessagePtr& result, const std::string& query, const std::string& uri,
                       const SocketPtr& socket) = 0;
  virtual ~MessageReceiver() = default;
  // True when a request for URI becomes a channel that this receiver keeps
  // open; such a request is checked by its handshake, not by its Referer.
  virtual bool opensChannel(const std::string& /*uri*/) const { return false; }
  // Ends the connections this receiver keeps (event channels); called by the
  // server's stop.
  virtual void closeAll() {}

  const std::string& defaultUIType() const { return defaultUIType_; }
  // Written by the start sequence only, before the engine runs.
  void setDefaultUIType(const std::string& uiType) { defaultUIType_ = uiType; }
  int responseCoding() const { return responseCoding_; }
  void setResponseCoding(int coding) { responseCoding_ = coding; }

 private:
  std::string defaultUIType_;
  // The engine's "resp_coding", written by the router before each call on
  // any worker thread.
  std::atomic<int> responseCoding_{0};
};

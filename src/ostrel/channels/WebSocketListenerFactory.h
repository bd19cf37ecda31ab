#pragma once

#include <memory>
#include <string>

#include "ostrel/channels/WebSocketListener.h"

// Makes the listener of one channel of a route.
class WebSocketListenerFactory {
 public:
  virtual ~WebSocketListenerFactory() = default;
  // The base's listeners register with `reliable` (none: they take part in no
  // reliable delivery).
  explicit WebSocketListenerFactory(ReliableListener* reliable = nullptr) : reliable_(reliable) {}

  // `name` is the route's last part, `uri` the request URI. The base makes a
  // plain reliable listener.
  virtual WebSocketListenerPtr create(const std::string& name, const std::string& uri);

 private:
  ReliableListener* const reliable_;
};

using WebSocketListenerFactoryPtr = std::shared_ptr<WebSocketListenerFactory>;

#pragma once

#include <memory>
#include <string>

#include "ostrel/channels/WebSocketListener.h"

// Makes the listener of one channel of a route.
class WebSocketListenerFactory {
 public:
  virtual ~WebSocketListenerFactory() = default;
  // `name` is the route's last part, `uri` the request URI. The base makes a
  // plain reliable listener.
  virtual WebSocketListenerPtr create(const std::string& name, const std::string& uri);
};

using WebSocketListenerFactoryPtr = std::shared_ptr<WebSocketListenerFactory>;

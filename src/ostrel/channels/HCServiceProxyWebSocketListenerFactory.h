#pragma once

#include <chrono>

#include "ostrel/channels/WebSocketListenerFactory.h"

// Makes host-event listeners: the topic and the reliable flag follow the URI.
class HCServiceProxyWebSocketListenerFactory : public WebSocketListenerFactory {
 public:
  // How often an idle keep-alive channel gets the control event.
  static constexpr std::chrono::milliseconds kKeepAliveInterval{10000};

  explicit HCServiceProxyWebSocketListenerFactory(bool keepAlive,
                                                  std::chrono::milliseconds keepAliveInterval = kKeepAliveInterval)
      : keepAlive_(keepAlive), keepAliveInterval_(keepAliveInterval) {}

  WebSocketListenerPtr create(const std::string& name, const std::string& uri) override;

  // The topic and the reliable flag of a request URI.
  static void channelKind(const std::string& uri, std::string& topic, bool& reliable);

 private:
  const bool keepAlive_;
  const std::chrono::milliseconds keepAliveInterval_;
};

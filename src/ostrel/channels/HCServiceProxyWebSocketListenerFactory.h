#pragma once

#include <chrono>

#include "ostrel/channels/ReliableListener.h"
#include "ostrel/channels/WebSocketListenerFactory.h"

class MessageDispatcher;

// Makes host-event listeners: the topic and the reliable flag follow the URI.
class HCServiceProxyWebSocketListenerFactory : public WebSocketListenerFactory {
 public:
  // How often an idle keep-alive channel gets the control event.
  static constexpr std::chrono::milliseconds kKeepAliveInterval{10000};

  // Listeners subscribe to `dispatcher`; reliable ones register with `reliable`.
  HCServiceProxyWebSocketListenerFactory(bool keepAlive, MessageDispatcher& dispatcher, ReliableListener* reliable,
                                         std::chrono::milliseconds keepAliveInterval = kKeepAliveInterval)
      : keepAlive_(keepAlive), dispatcher_(dispatcher), reliable_(reliable), keepAliveInterval_(keepAliveInterval) {}

  WebSocketListenerPtr create(const std::string& name, const std::string& uri) override;

  // The topic and the reliable flag of a request URI.
  static void channelKind(const std::string& uri, std::string& topic, bool& reliable);

 private:
  const bool keepAlive_;
  MessageDispatcher& dispatcher_;
  ReliableListener* const reliable_;
  const std::chrono::milliseconds keepAliveInterval_;
};

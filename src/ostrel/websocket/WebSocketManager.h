#pragma once

// Serves the event channels (".ws"): binds routes to listener factories and, for
// each upgrade request, makes a listener, ties it to the request's Socket and
// runs the channel on the calling worker thread until it ends.

#include <list>
#include <map>
#include <mutex>
#include <string>

#include "ostrel/web/MessageReceiver.h"
#include "ostrel/websocket/WebSocketListenerFactory.h"

class WebSocketManager : public MessageReceiver {
 public:
  // The process-wide manager.
  static WebSocketManager& instance();

  WebSocketManager() = default;
  WebSocketManager(const WebSocketManager&) = delete;
  WebSocketManager& operator=(const WebSocketManager&) = delete;

  // Start-up only, before the engine runs; a bound route keeps its first factory.
  void addRoute(const std::string& route, const WebSocketListenerFactoryPtr& factory);
  // Returns when the channel has ended; the result is always of type 4.
  void process(MessagePtr& result, const std::string& query, const std::string& uri,
               const SocketPtr& socket) override;
  // A bound route: only such a URI is answered with a handshake.
  bool opensChannel(const std::string& uri) const override;
  // Ends every open channel.
  void closeAll();

  // "1.0/Events/all" from "/1.0/Events/all.ws".
  static std::string routeOf(const std::string& uri);
  size_t openChannels() const;

 private:
  int channelOutputFormat();

  std::map<std::string, WebSocketListenerFactoryPtr> routes_;
  // Guards channels_.
  mutable std::mutex mutex_;
  // The listeners of the open channels.
  std::list<WebSocketListenerPtr> channels_;
};

#pragma once

// Serves the event channels (".ws"): binds routes to listener factories and, for
// each upgrade request, makes a listener, answers the handshake on the calling
// worker thread and hands the connection to a channel of its own, so that the
// worker goes back to the engine at once.

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/web/MessageReceiver.h"
#include "ostrel/channels/Channel.h"
#include "ostrel/channels/WebSocketListenerFactory.h"

class WebSocketManager : public MessageReceiver {
 public:
  // Each open channel has a thread; a crowd of tabs beyond this many is
  // refused with 503 until some close.
  static constexpr size_t kMaxChannels = 256;

  // The output format of the channels opened from now on: the default UI's,
  // asked at each opening (-1, unset, passes texts unchanged).
  using FormatSource = std::function<int()>;

  explicit WebSocketManager(FormatSource outputFormat = [] { return 1; }) : outputFormat_(std::move(outputFormat)) {}
  ~WebSocketManager() override;
  WebSocketManager(const WebSocketManager&) = delete;
  WebSocketManager& operator=(const WebSocketManager&) = delete;

  // Start-up only, before the engine runs; a bound route keeps its first factory.
  void addRoute(const std::string& route, const WebSocketListenerFactoryPtr& factory);
  // Answers the handshake and leaves the channel open on its own thread; the
  // result is always of type 4.
  void process(MessagePtr& result, const std::string& query, const std::string& uri,
               const SocketPtr& socket) override;
  // A bound route: only such a URI is answered with a handshake.
  bool opensChannel(const std::string& uri) const override;
  // Ends every open channel and waits until their threads are gone.
  void closeAll() override;

  // "1.0/Events/all" from "/1.0/Events/all.ws".
  static std::string routeOf(const std::string& uri);
  size_t openChannels() const;
  // Limits of the channels opened from now on.
  void setChannelLimits(const Channel::Limits& limits) { limits_ = limits; }

 private:
  struct Open {
    WebSocketListenerPtr listener;
    std::shared_ptr<Channel> channel;
  };

  void channelEnded(const Channel* channel);
  void joinEnded();
  bool reservePlace();

  const FormatSource outputFormat_;
  std::map<std::string, WebSocketListenerFactoryPtr> routes_;
  Channel::Limits limits_;
  // Guards open_, ended_ and reserved_.
  mutable std::mutex mutex_;
  // Places taken by handshakes under way.
  size_t reserved_ = 0;
  // The open channels with their listeners.
  std::list<Open> open_;
  // Channels whose threads have finished their work, still to be joined.
  std::vector<std::shared_ptr<Channel>> ended_;
};
